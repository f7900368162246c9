#include "sim/SimProtocol.h"
#include "winport/base/hexdigit.h"

#include <cstdio>

namespace oskan::sim {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// atol's reading, modulo 256: only the low 8 bits are kept, and they do not
// depend on the higher digits, so no overflow can occur.
uint8_t ReadNumberLow8(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    uint8_t value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i)
        value = static_cast<uint8_t>(value * 10 + (text[i] - '0'));
    return negative ? static_cast<uint8_t>(-value) : value;
}

}  // namespace

size_t ParseMacText(std::string_view text, MacAddress& mac) {
    size_t count = 0;
    size_t pos = 0;
    while (pos < text.size() && count < mac.size()) {
        mac[count++] = ReadNumberLow8(text.substr(pos));
        size_t dot = text.find('.', pos);
        if (dot == std::string_view::npos)
            break;
        pos = dot + 1;
    }
    return count;
}

namespace {

// Decimal without printf: every reply carries the MAC, so this is on the
// simulator's hot path.
void AppendMacText(std::string& out, const MacAddress& mac) {
    for (size_t i = 0; i < mac.size(); ++i) {
        if (i)
            out += '.';
        const unsigned value = mac[i];
        if (value >= 100)
            out += static_cast<char>('0' + value / 100);
        if (value >= 10)
            out += static_cast<char>('0' + value / 10 % 10);
        out += static_cast<char>('0' + value % 10);
    }
}

}  // namespace

std::string FormatMacText(const MacAddress& mac) {
    std::string text;
    AppendMacText(text, mac);
    return text;
}

uint64_t MacToNumber(const MacAddress& mac) {
    uint64_t number = 0;
    for (uint8_t byte : mac)
        number = (number << 8) | byte;
    return number;
}

MacAddress MacFromNumber(uint64_t number) {
    MacAddress mac{};
    for (size_t i = mac.size(); i-- > 0; number >>= 8)
        mac[i] = static_cast<uint8_t>(number & 0xff);
    return mac;
}

std::optional<SimRequest> ParseRequest(std::string_view datagram) {
    if (datagram.empty() || datagram.size() > kMaxRequestBytes)
        return std::nullopt;
    if (datagram == kEchoRequest)
        return SimRequest{true, {}, datagram.substr(1)};
    if (!datagram.starts_with("_["))
        return std::nullopt;
    size_t close = datagram.find(']', 2);
    if (close == std::string_view::npos)
        return std::nullopt;
    SimRequest request;
    if (ParseMacText(datagram.substr(2, close - 2), request.mac) != request.mac.size())
        return std::nullopt;
    request.body = datagram.substr(close + 1);
    return request;
}

TextCommand SplitRequestId(std::string_view body) {
    size_t bar = body.rfind('|');
    if (bar == std::string_view::npos)
        return {body, std::nullopt};
    std::string_view digits = body.substr(bar + 1);
    if (digits.empty() || digits.size() > 8)
        return {body, std::nullopt};
    uint32_t id = 0;
    for (char c : digits) {
        int value = winport::HexDigitValue(c);
        if (value < 0)
            return {body, std::nullopt};
        id = (id << 4) | static_cast<uint32_t>(value);
    }
    return {body.substr(0, bar), id};
}

bool IsQueryWithForeignId(std::string_view body) {
    const size_t bar = body.rfind('|');
    if (bar == std::string_view::npos)
        return false;
    const std::string_view command = body.substr(0, bar);
    if (command != "X" && command != "PC")
        return false;
    const std::string_view digits = body.substr(bar + 1);
    if (digits.size() != 8)
        return true;
    for (char c : digits)
        if (!IsDigit(c) && (c < 'a' || c > 'f'))
            return true;
    return false;
}

std::string FormatRequestId(uint32_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "|%08x", id);
    return text;
}

std::string FormatReply(const MacAddress& mac, std::string_view text) {
    std::string reply;
    reply.reserve(2 + 23 + text.size());
    reply += '[';
    AppendMacText(reply, mac);
    reply += ']';
    reply.append(text);
    return reply;
}

}  // namespace oskan::sim
