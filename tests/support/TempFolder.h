#pragma once
// Private temporary folders for tests. A folder that cannot be made ends the
// test program: anything else would have the test use, and then remove, a
// folder that is not its own.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

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
    // The path of a file in the folder.
    std::string File(const std::string& name) const { return m_dir + "/" + name; }

    // Writes a file in the folder, replacing one of that name, and gives its path.
    std::string Write(const std::string& name, std::string_view bytes) const {
        const std::string path = File(name);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    template <class Byte>
    std::string Write(const std::string& name, const std::vector<Byte>& bytes) const {
        static_assert(sizeof(Byte) == 1);
        return Write(name, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }

private:
    std::string m_dir;
};

}  // namespace oskan::test
