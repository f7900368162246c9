#include "sim/SimAppFile.h"

#include <cstring>

#include "sim/SimFaults.h"

namespace oskan::sim {

namespace {

void PutField(std::vector<uint8_t>& image, uint32_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        image[offset + static_cast<uint32_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::vector<uint8_t> MakeApplicationFile(const SimApplicationFile& file) {
    std::vector<uint8_t> image(kAppHeaderBytes, 0);
    SimRandom random(file.seed);
    for (size_t i = 0; i < file.codeBytes; ++i)
        image.push_back(static_cast<uint8_t>(random.Next()));

    const size_t area = image.size();
    auto addString = [&](const std::string& text) {
        const uint32_t offset = static_cast<uint32_t>(image.size() - area);
        image.insert(image.end(), text.begin(), text.end());
        image.push_back(0);
        return offset;
    };
    PutField(image, kAppBuildIdField, addString(file.buildId));
    PutField(image, kAppPlatformField, file.platform ? addString(*file.platform) : kAppNoPlatform);
    addString(file.projectName);
    PutField(image, kAppStringAreaField, static_cast<uint32_t>(area));
    PutField(image, kAppStringAreaSizeField, static_cast<uint32_t>(image.size() - area));

    image.resize((image.size() + kAppBlockBytes - 1) / kAppBlockBytes * kAppBlockBytes, 0);
    return image;
}

uint32_t ReadAppField(const std::vector<uint8_t>& image, uint32_t offset) {
    if (static_cast<uint64_t>(offset) + 4 > image.size())
        return 0;
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | image[offset + static_cast<uint32_t>(i)];
    return value;
}

std::string ReadAppString(const std::vector<uint8_t>& image, uint32_t field) {
    const uint32_t offset = ReadAppField(image, field);
    if (offset > ReadAppField(image, kAppStringAreaSizeField))
        return {};
    const uint64_t start = static_cast<uint64_t>(ReadAppField(image, kAppStringAreaField)) + offset;
    if (start >= image.size())
        return {};
    const char* begin = reinterpret_cast<const char*>(image.data()) + start;
    return std::string(begin, strnlen(begin, image.size() - static_cast<size_t>(start)));
}

}  // namespace oskan::sim
