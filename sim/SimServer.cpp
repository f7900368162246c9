#include "sim/SimServer.h"

#include <arpa/inet.h>

#include <cstdio>

namespace oskan::sim {

namespace {

constexpr size_t kBlockRequestBytes = 3 + SimUpload::kBlockBytes;

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Texts in the discovery reply never carry its separator or a line break.
std::string Printable(std::string_view text) {
    std::string out;
    for (char c : text)
        out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    return out;
}

}  // namespace

std::string FormatServerMac(const MacAddress& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return text;
}

std::optional<MacAddress> ParseServerMac(std::string_view text) {
    if (text.size() != 17 || (text[2] != '-' && text[2] != ':'))
        return std::nullopt;
    MacAddress mac{};
    for (size_t i = 0; i < 6; ++i) {
        if (i > 0 && text[i * 3 - 1] != text[2])
            return std::nullopt;
        const int high = HexValue(text[i * 3]);
        const int low = HexValue(text[i * 3 + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        mac[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return mac;
}

std::optional<uint32_t> ParseIpv4(std::string_view text) {
    uint32_t host = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at >= text.size() || text[at++] != '.'))
            return std::nullopt;
        uint32_t value = 0;
        size_t digits = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits)
            value = value * 10 + static_cast<uint32_t>(text[at] - '0');
        if (digits == 0 || digits > 3 || value > 255)
            return std::nullopt;
        host = host << 8 | value;
    }
    if (at != text.size())
        return std::nullopt;
    return htonl(host);
}

std::string FormatIpv4(uint32_t address) {
    in_addr in{};
    in.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

std::optional<SimServerRequest> ParseServerRequest(std::string_view datagram) {
    if (datagram.empty() || datagram.size() > kMaxRequestBytes)
        return std::nullopt;
    SimServerRequest request;
    if (datagram == kServerDiscovery) {
        request.discovery = true;
        request.body = "?";
        return request;
    }
    if (datagram.size() < 2 || datagram[0] != '#' || datagram[1] != '[')
        return std::nullopt;
    const size_t close = datagram.find(']', 2);
    if (close == std::string_view::npos)
        return std::nullopt;
    std::string_view target = datagram.substr(2, close - 2);
    if (size_t slash = target.find('/'); slash != std::string_view::npos) {
        request.key = target.substr(slash + 1);
        target = target.substr(0, slash);
    }
    if (target == "*") {
        request.anyServer = true;
    } else if (std::optional<MacAddress> mac = ParseServerMac(target)) {
        request.mac = *mac;
    } else {
        return std::nullopt;
    }
    request.body = datagram.substr(close + 1);
    return request;
}

SimServer::SimServer(SimServerSettings settings) : m_settings(std::move(settings)) {
    NewKey();
}

void SimServer::NewKey() {
    // Different for every boot and every server, and the same in every run.
    uint64_t mixed =
        MacToNumber(m_settings.mac) * 0x9E3779B97F4A7C15ull + (m_boots + 1) * 0xBF58476D1CE4E5B9ull;
    mixed ^= mixed >> 31;
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<uint32_t>(mixed));
    m_key = text;
}

std::string SimServer::DiscoveryReply(uint64_t uptimeSeconds) const {
    std::string reply = "#[" + FormatServerMac(m_settings.mac) + "]I" + FormatIpv4(m_settings.ip);
    reply += "\t" + Printable(m_settings.version);
    reply += m_settings.directAccess ? "\t1" : "\t0";
    reply += m_settings.password.empty() ? "\t0" : "\t1";
    reply += "\t" + std::to_string(uptimeSeconds % 1000000000);
    reply += "\t" + Printable(m_settings.firstDescription);
    reply += "\t" + Printable(m_settings.secondDescription);
    return reply;
}

std::string_view SimServer::KindOf(const SimServerRequest& request) {
    if (request.discovery)
        return "?";
    std::string_view body = request.body;
    if (body.size() == kBlockRequestBytes && body[0] == 'D')
        return "D";
    std::string_view command = SplitRequestId(body).command;
    for (std::string_view kind : {"EC", "QF", "L", "A", "B", "N", "E", "Q"})
        if (command.substr(0, kind.size()) == kind)
            return kind;
    return command;
}

std::string SimServer::Reply(std::string_view text, std::optional<uint32_t> id) const {
    std::string reply = "#[" + FormatServerMac(m_settings.mac) + "]";
    reply += text;
    if (id)
        reply += FormatRequestId(*id);
    return reply;
}

std::vector<std::string> SimServer::Handle(const SimServerRequest& request) {
    std::vector<std::string> replies;
    if (request.discovery)
        return replies;
    const bool authorized = m_settings.password.empty() || request.key == m_key;
    if (request.body.size() == kBlockRequestBytes && request.body[0] == 'D') {
        if (!authorized)
            return replies;  // a block of nobody's upload
        const auto* bytes = reinterpret_cast<const uint8_t*>(request.body.data());
        const uint16_t number = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
        replies.push_back(Reply(m_upload.Block(number, bytes + 3, 1), std::nullopt));
        return replies;
    }
    const TextCommand text = SplitRequestId(request.body);
    const std::string_view command = text.command;
    if (command == "E" && !text.id) {
        // The end of a firmware upload: never answered.
        if (authorized && m_upload.TakeFirmware())
            m_rebootRequested = true;
        return replies;
    }
    if (command.substr(0, 1) == "L") {
        const bool right = m_settings.password.empty() || command.substr(1) == m_settings.password;
        replies.push_back(Reply(right ? "A" + m_key : std::string("D"), text.id));
        return replies;
    }
    if (command.substr(0, 1) == "A") {
        if (std::optional<std::string> answer = ChangeAddress(command.substr(1)))
            replies.push_back(Reply(*answer, text.id));
        return replies;
    }
    if (!authorized) {
        replies.push_back(Reply("D", text.id));
        return replies;
    }
    if (command == "B") {
        ++m_buzzes;
        replies.push_back(Reply("A", text.id));
    } else if (command == "EC") {
        m_rebootRequested = true;
        replies.push_back(Reply("A", text.id));
    } else if (command == "QF") {
        replies.push_back(Reply(m_upload.Start(SimUploadKind::Firmware, text.id.value_or(0)), text.id));
    } else if (command == "N") {
        replies.push_back(
            Reply(m_upload.Finish(nullptr, SimUploadKind::Firmware, text.id.value_or(0)), text.id));
    } else {
        // Applications, and anything else, are not for a fixed firmware.
        replies.push_back(Reply("F", text.id));
    }
    return replies;
}

// MAC "/" PASSWORD "/" NEWIP: only the named server answers.
std::optional<std::string> SimServer::ChangeAddress(std::string_view arguments) {
    const size_t first = arguments.find('/');
    const size_t last = arguments.rfind('/');
    if (first == std::string_view::npos || first == last)
        return std::nullopt;
    std::optional<MacAddress> mac = ParseServerMac(arguments.substr(0, first));
    if (!mac || *mac != m_settings.mac)
        return std::nullopt;
    const std::string_view password = arguments.substr(first + 1, last - first - 1);
    if (!m_settings.password.empty() && password != m_settings.password)
        return "D";
    std::optional<uint32_t> ip = ParseIpv4(arguments.substr(last + 1));
    if (!ip)
        return "F";
    m_settings.ip = *ip;
    ++m_addressChanges;
    return "A";
}

bool SimServer::TakeRebootRequest() {
    const bool requested = m_rebootRequested;
    m_rebootRequested = false;
    return requested;
}

void SimServer::Reboot() {
    ++m_boots;
    NewKey();
}

}  // namespace oskan::sim
