#pragma once
// Text that came from outside (a device on the network, a library file) as it
// may reach a terminal: nothing in it may drive the terminal. Control
// characters (C0, DEL and the C1 range U+0080 to U+009F) and bytes that are
// not part of a valid UTF-8 sequence are written as \xNN, one per byte;
// everything else passes unchanged.

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace oskan::tools {

namespace detail {

inline bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence of two or more bytes at `at`; 0 when
// there is none (ASCII, a stray or truncated byte, an overlong form, an
// encoded surrogate, a value past U+10FFFF).
inline size_t MultiByteLength(std::string_view text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    const auto second = static_cast<unsigned char>(text[at + 1]);
    if (second < low || second > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (!IsContinuation(static_cast<unsigned char>(text[at + i])))
            return 0;
    return length;
}

}  // namespace detail

inline std::string Printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x20 && byte < 0x7F) {
            out += static_cast<char>(byte);
            ++at;
            continue;
        }
        const size_t length = detail::MultiByteLength(text, at);
        // U+0080 to U+009F are encoded as C2 80 to C2 9F.
        const bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
        if (length != 0 && !c1) {
            out.append(text.substr(at, length));
            at += length;
            continue;
        }
        const size_t escapedBytes = c1 ? 2 : 1;
        for (size_t i = 0; i < escapedBytes; ++i) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[at + i]));
            out += escaped;
        }
        at += escapedBytes;
    }
    return out;
}

// The same for a text of several lines: its line breaks stay.
inline std::string PrintableLines(std::string_view text) {
    std::string out;
    size_t from = 0;
    for (size_t end; (end = text.find('\n', from)) != std::string_view::npos; from = end + 1)
        out += Printable(text.substr(from, end - from)) + '\n';
    return out + Printable(text.substr(from));
}

}  // namespace oskan::tools
