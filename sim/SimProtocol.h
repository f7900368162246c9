#pragma once
// The wire format as an SkOS device sees it: requests are "_?" (the discovery
// echo) or "_[" MAC "]" followed by a body; replies are "[" MAC "]" followed by
// a reply text. Text requests end in "|%08x", a request id that the reply
// echoes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace oskan::sim {

using MacAddress = std::array<uint8_t, 6>;

inline constexpr uint16_t kDevicePort = 65535;
inline constexpr std::string_view kEchoRequest = "_?";
// A device reads one Ethernet frame's worth of UDP payload; longer datagrams
// are not requests.
inline constexpr size_t kMaxRequestBytes = 1472;

// Reads up to six numbers joined by "." the way the host reads MAC text: each
// number by atol rules (leading blanks and a sign accepted, reading stops at
// the first non-digit), keeping its low 8 bits. Returns how many it read; only
// six count as a MAC.
size_t ParseMacText(std::string_view text, MacAddress& mac);
std::string FormatMacText(const MacAddress& mac);

// MACs as 48-bit numbers, so that a run of devices can count up.
uint64_t MacToNumber(const MacAddress& mac);
MacAddress MacFromNumber(uint64_t number);

// A datagram that a device would read.
struct SimRequest {
    bool echo = false;
    MacAddress mac{};       // the addressed device; unset for the echo
    std::string_view body;  // the bytes after the bracket; "?" for the echo
};

// Null for anything that is neither the echo nor an addressed request: empty,
// overlong, no "_[" prefix, no "]", fewer than six MAC numbers.
std::optional<SimRequest> ParseRequest(std::string_view datagram);

// A text request split at its id suffix: "|" and one to eight hexadecimal
// digits that end the body. Without one, the whole body is the command.
struct TextCommand {
    std::string_view command;
    std::optional<uint32_t> id;
};
TextCommand SplitRequestId(std::string_view body);

std::string FormatRequestId(uint32_t id);  // "|%08x"
// The host writes every id as eight lower-case hexadecimal digits; a "X" or
// "PC" query with any other suffix did not come from it.
bool IsQueryWithForeignId(std::string_view body);
std::string FormatReply(const MacAddress& mac, std::string_view text);

}  // namespace oskan::sim
