#pragma once
// Compiled application files (*.opc) as far as hosts and devices read them: a
// header of little-endian 32-bit fields, the code, and a string area of
// zero-terminated strings. Makes valid files for tests and the demo, and reads
// the strings back the way a device does.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace oskan::sim {

inline constexpr uint32_t kAppBuildIdField = 36;     // offset of the build identifier in the string area
inline constexpr uint32_t kAppPlatformField = 40;    // offset of the required platform, or kAppNoPlatform
inline constexpr uint32_t kAppStringAreaField = 80;  // file offset of the string area
inline constexpr uint32_t kAppStringAreaSizeField = 84;
inline constexpr uint32_t kAppNoPlatform = 0xFFFFFFFF;
inline constexpr size_t kAppHeaderBytes = 128;
inline constexpr size_t kAppBlockBytes = 128;

struct SimApplicationFile {
    std::string buildId = "sim-app";
    std::optional<std::string> platform;  // the firmware platform it needs ("P-1.2"); none: any
    std::string projectName = "SIM";
    size_t codeBytes = 1024;  // pseudo-random code, the same for the same seed
    uint64_t seed = 1;
};

// Header, code, string area (build identifier, platform, project name), zero
// padding up to a whole number of 128-byte blocks.
std::vector<uint8_t> MakeApplicationFile(const SimApplicationFile& file);

// The 32-bit field at a file offset; 0 outside the file.
uint32_t ReadAppField(const std::vector<uint8_t>& image, uint32_t offset);
// The string a header field points to; empty when it points beyond the
// string area or the file; cut at the end of the file.
std::string ReadAppString(const std::vector<uint8_t>& image, uint32_t field);

}  // namespace oskan::sim
