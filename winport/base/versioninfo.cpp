#include "winport/base/versioninfo.h"

#include <elf.h>

#include <cstring>
#include <fstream>

namespace winport {

namespace {

// The fixed part of the record, before the strings.
struct RecordHead {
    char magic[16];
    uint16_t fileVersion[4];
    uint16_t productVersion[4];
    uint32_t fileType;
    char language[8];
    uint32_t stringsSize;
};
static_assert(offsetof(VersionRecord<1>, strings) == sizeof(RecordHead));

constexpr uint64_t kMaxSectionSize = 1 << 20;

bool ReadAt(std::ifstream& file, uint64_t offset, void* buffer, size_t size) {
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(static_cast<char*>(buffer), static_cast<std::streamsize>(size));
    return static_cast<size_t>(file.gcount()) == size;
}

bool FindSection(std::ifstream& file, const char* wanted, std::string* bytes, std::string* error) {
    Elf64_Ehdr header{};
    if (!ReadAt(file, 0, &header, sizeof header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        *error = "not an ELF file";
        return false;
    }
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
        header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shstrndx >= header.e_shnum) {
        *error = "not a 64-bit little-endian ELF file with sections";
        return false;
    }
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (!ReadAt(file, header.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr))) {
        *error = "the section table is cut off";
        return false;
    }
    const Elf64_Shdr& names = sections[header.e_shstrndx];
    if (names.sh_size > kMaxSectionSize) {
        *error = "the section names are too large";
        return false;
    }
    std::string nameTable(names.sh_size, '\0');
    if (!ReadAt(file, names.sh_offset, nameTable.data(), nameTable.size())) {
        *error = "the section names are cut off";
        return false;
    }
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_name >= nameTable.size() ||
            std::strcmp(nameTable.c_str() + section.sh_name, wanted) != 0)
            continue;
        if (section.sh_type == SHT_NOBITS || section.sh_size > kMaxSectionSize)
            break;
        bytes->assign(section.sh_size, '\0');
        if (ReadAt(file, section.sh_offset, bytes->data(), bytes->size()))
            return true;
        *error = "the version record is cut off";
        return false;
    }
    *error = "the file carries no version record";
    return false;
}

bool ParseRecord(const std::string& bytes, FileVersionInfo* info, std::string* error) {
    RecordHead head{};
    if (bytes.size() < sizeof head) {
        *error = "the version record is too short";
        return false;
    }
    std::memcpy(&head, bytes.data(), sizeof head);
    if (std::memcmp(head.magic, kVersionMagic, sizeof head.magic) != 0 ||
        head.stringsSize > bytes.size() - sizeof head) {
        *error = "the version record is malformed";
        return false;
    }
    std::memcpy(info->fileVersion, head.fileVersion, sizeof head.fileVersion);
    std::memcpy(info->productVersion, head.productVersion, sizeof head.productVersion);
    info->fileType = head.fileType;
    info->language.assign(head.language, sizeof head.language);
    info->strings.clear();
    // name\0value\0 pairs; an empty name or the end of the data ends them.
    const char* p = bytes.data() + sizeof head;
    const char* end = p + head.stringsSize;
    while (p < end && *p) {
        const char* nameEnd = static_cast<const char*>(std::memchr(p, 0, static_cast<size_t>(end - p)));
        if (!nameEnd || nameEnd + 1 >= end)
            break;
        const char* valueEnd =
            static_cast<const char*>(std::memchr(nameEnd + 1, 0, static_cast<size_t>(end - nameEnd - 1)));
        if (!valueEnd)
            break;
        info->strings.emplace_back(std::string(p, nameEnd), std::string(nameEnd + 1, valueEnd));
        p = valueEnd + 1;
    }
    return true;
}

}  // namespace

const std::string* FileVersionInfo::Find(const std::string& name) const {
    for (const auto& [key, value] : strings)
        if (key == name)
            return &value;
    return nullptr;
}

bool ReadFileVersionInfo(const std::string& path, FileVersionInfo* info, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot open " + path;
        return false;
    }
    std::string bytes;
    if (!FindSection(file, kVersionSection, &bytes, error))
        return false;
    return ParseRecord(bytes, info, error);
}

}  // namespace winport
