#pragma once
// The host's side of the Device Server wire protocol (docs/fixed-firmware-protocol.md):
// the port, MAC and address texts, and the discovery reply.

#include <cstdint>
#include <string>
#include <string_view>

namespace OdsProtocol {

// Device Servers listen on a port of their own, so SkOS devices never see
// their traffic and neither kind's scan hears the other.
constexpr unsigned short kServerPort = 65534;
constexpr char kDiscoveryRequest[] = "#?";
// Every Device Server datagram, either way, begins with this.
constexpr char kLead = '#';

// Six pairs of hexadecimal digits joined by "-" or ":", any letter case.
bool ParseMac(std::string_view text, uint8_t mac[6]);
// "00-90-E8-01-02-03": the form the servers and the information objects use.
std::string FormatMac(const uint8_t mac[6]);
// A dotted-quad IPv4 address, four decimal numbers of 0 to 255; network order.
bool ParseIpv4(std::string_view text, uint32_t* address);

// "PASSWORD@ADDRESS", "@ADDRESS" or "ADDRESS": the password is what comes
// before the last "@" (it may itself hold "@").
struct AddressText {
    std::string password;
    std::string address;
};
AddressText SplitAddress(std::string_view text);

// One answer to the discovery request:
//   "#[" MAC "]I" IP TAB VERSION TAB DIRECT TAB PROTECTED TAB UPTIME TAB DESC1 TAB DESC2
// Fields after DESC2 (a later server's) are ignored.
struct ServerRecord {
    uint8_t mac[6] = {};
    std::string ip;
    std::string version;
    int32_t directAccess = 0;
    int32_t passwordProtected = 0;
    int32_t uptime = 0;
    std::string firstDescription;
    std::string secondDescription;
};
bool ParseDiscoveryReply(std::string_view datagram, ServerRecord* record);

// An addressed reply "#[" MAC "]" TEXT: the MAC and the text after the bracket.
bool ParseReplyHeader(std::string_view datagram, uint8_t mac[6], std::string_view* text);

}  // namespace OdsProtocol
