#pragma once
// One simulated fixed-firmware Device Server: its identity, password, login
// key, address and firmware uploads. Pure logic: a request goes in, the reply
// texts come out; sockets, faults and timing belong to the ServerSimulator.
// The protocol is docs/fixed-firmware-protocol.md.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/SimProtocol.h"
#include "sim/SimUpload.h"

namespace oskan::sim {

inline constexpr uint16_t kServerPort = 65534;
inline constexpr std::string_view kServerDiscovery = "#?";

// "00-90-E8-01-02-03" (upper case); the reading takes "-" or ":" and any case.
std::string FormatServerMac(const MacAddress& mac);
std::optional<MacAddress> ParseServerMac(std::string_view text);
// Dotted IPv4 to network order, strictly.
std::optional<uint32_t> ParseIpv4(std::string_view text);
std::string FormatIpv4(uint32_t address);

struct SimServerSettings {
    MacAddress mac{0x00, 0x90, 0xE8, 0x00, 0x00, 0x01};
    uint32_t ip = 0;  // network order
    std::string version = "2.10";
    bool directAccess = true;
    std::string password;  // empty: not protected
    std::string firstDescription = "Device Server";
    std::string secondDescription;
    uint32_t rebootMs = 2000;
};

// A request as a server reads it: "#[" TARGET ["/" KEY] "]" BODY.
struct SimServerRequest {
    bool discovery = false;
    bool anyServer = false;  // TARGET "*"
    MacAddress mac{};        // TARGET a MAC
    std::string_view key;
    std::string_view body;
};
std::optional<SimServerRequest> ParseServerRequest(std::string_view datagram);

class SimServer {
public:
    explicit SimServer(SimServerSettings settings);

    const SimServerSettings& Settings() const { return m_settings; }
    const MacAddress& Mac() const { return m_settings.mac; }
    uint32_t Ip() const { return m_settings.ip; }
    const std::string& Key() const { return m_key; }
    void SetPassword(std::string password) { m_settings.password = std::move(password); }

    // The answer to the discovery request; uptime in seconds.
    std::string DiscoveryReply(uint64_t uptimeSeconds) const;
    // The request's kind, as it is counted and silenced: "?", "L", "A", "B",
    // "EC", "QF", "D", "N", "E", or the text itself.
    static std::string_view KindOf(const SimServerRequest& request);
    // The replies to an addressed request (framed, with the id echoed).
    std::vector<std::string> Handle(const SimServerRequest& request);

    // What the server was asked to do beside answering.
    bool TakeRebootRequest();
    void Reboot();
    uint64_t Buzzes() const { return m_buzzes; }
    uint64_t Boots() const { return m_boots; }
    uint64_t AddressChanges() const { return m_addressChanges; }
    SimUpload& Upload() { return m_upload; }
    const SimUpload& Upload() const { return m_upload; }

private:
    std::string Reply(std::string_view text, std::optional<uint32_t> id) const;
    std::optional<std::string> ChangeAddress(std::string_view arguments);
    void NewKey();

    SimServerSettings m_settings;
    std::string m_key;
    uint64_t m_boots = 0;
    uint64_t m_buzzes = 0;
    uint64_t m_addressChanges = 0;
    bool m_rebootRequested = false;
    SimUpload m_upload;
};

}  // namespace oskan::sim
