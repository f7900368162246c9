#pragma once
// The version record of a component library: file and product version, file
// type and the version strings, as a Windows version resource holds them. A
// library embeds the record in an ELF section of its own, and it is read from
// the file without loading it.
//
// Embedding, with the strings as name/value pairs, each ended by a zero:
//
//     #define STRINGS "FileDescription\0Sample Module\0" "InternalName\0Sample\0"
//     extern "C" __attribute__((section(".oskan.version"), used))
//     const winport::VersionRecord<sizeof(STRINGS)> kVersion = {
//         "OSKAN VERSION 1", {1, 0, 0, 1}, {1, 0, 0, 1}, winport::VFT_DLL,
//         {'0', '4', '0', '9', '0', '4', 'B', '0'}, sizeof(STRINGS), STRINGS};

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace winport {

constexpr uint32_t VFT_APP = 1;
constexpr uint32_t VFT_DLL = 2;

inline constexpr char kVersionSection[] = ".oskan.version";
inline constexpr char kVersionMagic[16] = "OSKAN VERSION 1";

template <size_t N>
struct VersionRecord {
    char magic[16];
    uint16_t fileVersion[4];
    uint16_t productVersion[4];
    uint32_t fileType;
    char language[8];  // the string table's language and code page, "040904B0"
    uint32_t stringsSize;
    char strings[N];
};

struct FileVersionInfo {
    uint16_t fileVersion[4] = {};
    uint16_t productVersion[4] = {};
    uint32_t fileType = 0;
    std::string language;
    std::vector<std::pair<std::string, std::string>> strings;  // in record order

    // The value of a string, or null.
    const std::string* Find(const std::string& name) const;
};

// Reads the record from a 64-bit little-endian ELF file. False, with the
// reason in *error, when the file cannot be read, is no such ELF file, or has
// no well-formed record.
bool ReadFileVersionInfo(const std::string& path, FileVersionInfo* info, std::string* error);

}  // namespace winport
