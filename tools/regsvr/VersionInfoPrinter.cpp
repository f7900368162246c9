#include "tools/regsvr/VersionInfoPrinter.h"

#include <cstdint>
#include <iomanip>

#include "tools/Printable.h"
#include "winport/base/versioninfo.h"

namespace regsvr {

namespace {

std::string Dotted(const uint16_t (&parts)[4]) {
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) + "." +
           std::to_string(parts[3]);
}

const char* FileTypeName(uint32_t type) {
    switch (type) {
        case winport::VFT_APP:
            return "application";
        case winport::VFT_DLL:
            return "library";
        default:
            return "unknown";
    }
}

}  // namespace

bool VersionInfoPrinter::Print(const std::string& path) {
    winport::FileVersionInfo info;
    std::string error;
    if (!winport::ReadFileVersionInfo(path, &info, &error)) {
        m_err << "regsvr: " << path << ": " << error << "\n";
        return false;
    }
    auto line = [&](const std::string& name, const std::string& value) {
        m_out << "  " << std::left << std::setw(18) << name << value << "\n";
    };
    m_out << path << "\n";
    line("file version", Dotted(info.fileVersion));
    line("product version", Dotted(info.productVersion));
    line("file type", FileTypeName(info.fileType));
    // The record's texts are whatever the file holds.
    using oskan::tools::Printable;
    line("language", Printable(info.language));
    for (const auto& [name, value] : info.strings)
        line(Printable(name), value.empty() ? "(empty)" : Printable(value));
    return true;
}

}  // namespace regsvr
