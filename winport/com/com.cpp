#include "winport/com/com.h"

namespace winport {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Positions of the hexadecimal digit pairs of each GUID byte in the registry
// form, in the order Data1 (4 bytes, most significant first), Data2, Data3,
// Data4[0..7].
constexpr size_t kBytePositions[16] = {1, 3, 5, 7, 10, 12, 15, 17, 20, 22, 25, 27, 29, 31, 33, 35};

void GuidBytes(REFGUID guid, uint8_t bytes[16]) {
    bytes[0] = static_cast<uint8_t>(guid.Data1 >> 24);
    bytes[1] = static_cast<uint8_t>(guid.Data1 >> 16);
    bytes[2] = static_cast<uint8_t>(guid.Data1 >> 8);
    bytes[3] = static_cast<uint8_t>(guid.Data1);
    bytes[4] = static_cast<uint8_t>(guid.Data2 >> 8);
    bytes[5] = static_cast<uint8_t>(guid.Data2);
    bytes[6] = static_cast<uint8_t>(guid.Data3 >> 8);
    bytes[7] = static_cast<uint8_t>(guid.Data3);
    for (int i = 0; i < 8; ++i) {
        bytes[8 + i] = guid.Data4[i];
    }
}

template <class Char>
void FormatGuid(REFGUID guid, Char* out /* GUID_STRING_LENGTH characters */) {
    uint8_t bytes[16];
    GuidBytes(guid, bytes);
    for (size_t i = 0; i < GUID_STRING_LENGTH; ++i) {
        out[i] = static_cast<Char>('-');
    }
    out[0] = static_cast<Char>('{');
    out[GUID_STRING_LENGTH - 1] = static_cast<Char>('}');
    for (size_t i = 0; i < 16; ++i) {
        out[kBytePositions[i]] = static_cast<Char>(kHexDigits[bytes[i] >> 4]);
        out[kBytePositions[i] + 1] = static_cast<Char>(kHexDigits[bytes[i] & 0xF]);
    }
}

template <class Char>
int HexValue(Char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<int>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<int>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<int>(c - 'A' + 10);
    }
    return -1;
}

template <class Char>
bool ParseGuid(std::basic_string_view<Char> text, GUID* guid) {
    if (guid == nullptr || text.size() != GUID_STRING_LENGTH) {
        return false;
    }
    if (text[0] != '{' || text[GUID_STRING_LENGTH - 1] != '}' || text[9] != '-' || text[14] != '-' ||
        text[19] != '-' || text[24] != '-') {
        return false;
    }
    uint8_t bytes[16];
    for (size_t i = 0; i < 16; ++i) {
        const int high = HexValue(text[kBytePositions[i]]);
        const int low = HexValue(text[kBytePositions[i] + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    guid->Data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
                  static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    guid->Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    guid->Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i) {
        guid->Data4[i] = bytes[8 + i];
    }
    return true;
}

}  // namespace

std::string GuidToString(REFGUID guid) {
    std::string text(GUID_STRING_LENGTH, '\0');
    FormatGuid(guid, text.data());
    return text;
}

std::u16string GuidToU16String(REFGUID guid) {
    std::u16string text(GUID_STRING_LENGTH, u'\0');
    FormatGuid(guid, text.data());
    return text;
}

bool GuidFromString(std::string_view text, GUID* guid) {
    return ParseGuid(text, guid);
}

bool GuidFromString(std::u16string_view text, GUID* guid) {
    return ParseGuid(text, guid);
}

}  // namespace winport

int StringFromGUID2(REFGUID guid, LPOLESTR lpsz, int cchMax) {
    if (lpsz == nullptr || cchMax < static_cast<int>(GUID_STRING_LENGTH + 1)) {
        return 0;
    }
    winport::FormatGuid(guid, lpsz);
    lpsz[GUID_STRING_LENGTH] = u'\0';
    return static_cast<int>(GUID_STRING_LENGTH + 1);
}
