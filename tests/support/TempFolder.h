#pragma once
// Private temporary folders for tests. A folder that cannot be made ends the
// test program: anything else would have the test use, and then remove, a
// folder that is not its own.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace oskan::test {

// A new folder that only this user can enter, below $TMPDIR or /tmp.
inline std::string MakePrivateFolder(const char* prefix) {
    std::error_code error;
    std::filesystem::path parent = std::filesystem::temp_directory_path(error);
    if (error) {
        std::fprintf(stderr, "cannot make a temporary folder: %s\n", error.message().c_str());
        std::abort();
    }
    std::string pattern = (parent / (std::string(prefix) + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) {
        std::perror(("cannot make a temporary folder " + pattern).c_str());
        std::abort();
    }
    return pattern;
}

// Removes a folder and what it holds; links inside are removed, never followed.
inline void RemoveFolder(const std::string& dir) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

// A private folder for the life of the object.
class TempFolder {
public:
    explicit TempFolder(const char* prefix = "oskan-test") : m_dir(MakePrivateFolder(prefix)) {}
    ~TempFolder() { RemoveFolder(m_dir); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return m_dir; }

private:
    std::string m_dir;
};

}  // namespace oskan::test
