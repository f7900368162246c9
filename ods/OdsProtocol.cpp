#include "ods/OdsProtocol.h"

#include <arpa/inet.h>

#include <cstdio>
#include <vector>

namespace OdsProtocol {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A decimal number that fits 31 bits, nothing else.
bool ParseNumber(std::string_view text, int32_t* value) {
    if (text.empty() || text.size() > 9)
        return false;
    int32_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + (c - '0');
    }
    *value = result;
    return true;
}

std::vector<std::string_view> SplitFields(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        fields.push_back(
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            return fields;
        start = end + 1;
    }
}

}  // namespace

bool ParseMac(std::string_view text, uint8_t mac[6]) {
    if (text.size() != 17)
        return false;
    const char separator = text[2];
    if (separator != '-' && separator != ':')
        return false;
    for (int i = 0; i < 6; ++i) {
        const size_t at = static_cast<size_t>(i) * 3;
        if (i > 0 && text[at - 1] != separator)
            return false;
        const int high = HexValue(text[at]);
        const int low = HexValue(text[at + 1]);
        if (high < 0 || low < 0)
            return false;
        mac[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

std::string FormatMac(const uint8_t mac[6]) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return text;
}

bool ParseIpv4(std::string_view text, uint32_t* address) {
    const std::vector<std::string_view> parts = SplitFields(text, '.');
    if (parts.size() != 4)
        return false;
    uint32_t host = 0;
    for (std::string_view part : parts) {
        int32_t value = 0;
        if (part.size() > 3 || !ParseNumber(part, &value) || value > 255)
            return false;
        host = host << 8 | static_cast<uint32_t>(value);
    }
    *address = htonl(host);
    return true;
}

AddressText SplitAddress(std::string_view text) {
    const size_t at = text.rfind('@');
    if (at == std::string_view::npos)
        return {{}, std::string(text)};
    return {std::string(text.substr(0, at)), std::string(text.substr(at + 1))};
}

bool ParseReplyHeader(std::string_view datagram, uint8_t mac[6], std::string_view* text) {
    if (datagram.size() < 2 || datagram[0] != kLead || datagram[1] != '[')
        return false;
    const size_t close = datagram.find(']', 2);
    if (close == std::string_view::npos || !ParseMac(datagram.substr(2, close - 2), mac))
        return false;
    *text = datagram.substr(close + 1);
    return true;
}

bool ParseDiscoveryReply(std::string_view datagram, ServerRecord* record) {
    std::string_view text;
    ServerRecord parsed;
    if (!ParseReplyHeader(datagram, parsed.mac, &text) || text.empty() || text[0] != 'I')
        return false;
    const std::vector<std::string_view> fields = SplitFields(text.substr(1), '\t');
    uint32_t ip = 0;
    if (fields.size() < 7 || !ParseIpv4(fields[0], &ip) || !ParseNumber(fields[2], &parsed.directAccess) ||
        !ParseNumber(fields[3], &parsed.passwordProtected) || !ParseNumber(fields[4], &parsed.uptime))
        return false;
    parsed.ip = fields[0];
    parsed.version = fields[1];
    parsed.firstDescription = fields[5];
    parsed.secondDescription = fields[6];
    *record = std::move(parsed);
    return true;
}

}  // namespace OdsProtocol
