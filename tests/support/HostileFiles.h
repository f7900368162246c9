#pragma once
// Files that a careless reader or writer would trip over: registry text nested
// far deeper than any registry may be, symbolic links planted where a writer
// puts its files, and the modes such files are left with.

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace oskan::test {

// One key `levels` levels below HKEY_CURRENT_USER, each level named `name`.
inline std::string DeepKeyPath(size_t levels, std::string_view name = "k") {
    std::string path = "HKEY_CURRENT_USER";
    path.reserve(path.size() + levels * (name.size() + 1));
    for (size_t i = 0; i < levels; ++i) {
        path.push_back('\\');
        path += name;
    }
    return path;
}

// A whole registry file holding that one key with one value.
inline std::string DeepRegistryText(size_t levels, std::string_view name = "k") {
    return "Windows Registry Editor Version 5.00\n\n[" + DeepKeyPath(levels, name) + "]\n\"v\"=\"1\"\n";
}

// The same path as the registry functions take it, below a root.
inline std::u16string DeepSubKey(size_t levels, std::u16string_view name = u"k") {
    std::u16string path;
    for (size_t i = 0; i < levels; ++i) {
        if (i)
            path.push_back(u'\\');
        path += name;
    }
    return path;
}

// A symbolic link at `at` to `target`; the test cannot go on without it.
inline void PlantSymlink(const std::string& target, const std::string& at) {
    std::error_code error;
    std::filesystem::create_symlink(target, at, error);
    if (error) {
        std::fprintf(stderr, "cannot plant a symbolic link at %s: %s\n", at.c_str(), error.message().c_str());
        std::abort();
    }
}

// The permission bits of a file (not following a link); -1 when it is missing.
inline int FileMode(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

inline bool IsSymlink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace oskan::test
