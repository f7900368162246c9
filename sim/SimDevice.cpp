#include "sim/SimDevice.h"

#include <algorithm>
#include <cstdio>

#include "sim/SimCommands.h"
#include "sim/SimPcodeMachine.h"
#include "sim/SimUpload.h"

namespace oskan::sim {

namespace {

bool IsPrintable(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

// Request names are one or two letters; cutting there keeps a stream of
// hostile requests from growing the counters without bound.
std::string_view LeadingCapitals(std::string_view body) {
    size_t n = 0;
    while (n < body.size() && n < 2 && body[n] >= 'A' && body[n] <= 'Z')
        ++n;
    return body.substr(0, n);
}

void ReplyVersion(SimDevice& device, const SimCommand&, std::vector<std::string>& replies) {
    replies.push_back(device.VersionText());
}

void ReplyState(SimDevice& device, const SimCommand&, std::vector<std::string>& replies) {
    replies.push_back(device.StatusField());
}

void ReplyUnknown(SimDevice& device, const SimCommand&, std::vector<std::string>& replies) {
    replies.push_back(device.UnknownReply());
}

}  // namespace

void SimHandlers::Add(std::string prefix, Handler handler, Kind kind) {
    if (prefix.empty())
        return;
    m_longestPrefix = std::max(m_longestPrefix, prefix.size());
    Entry entry{prefix, std::move(handler), kind};
    m_entries.insert_or_assign(std::move(prefix), std::move(entry));
}

const SimHandlers::Entry* SimHandlers::Find(std::string_view body) const {
    for (size_t length = std::min(body.size(), m_longestPrefix); length > 0; --length) {
        auto it = m_entries.find(body.substr(0, length));
        if (it != m_entries.end())
            return &it->second;
    }
    return nullptr;
}

std::shared_ptr<const SimHandlers> SimHandlers::Defaults() {
    static const std::shared_ptr<const SimHandlers> defaults = [] {
        auto handlers = std::make_shared<SimHandlers>();
        handlers->Add("X", ReplyVersion);
        handlers->Add("PC", ReplyState);
        AddDeviceCommands(*handlers);
        AddUploadHandlers(*handlers);
        AddDebuggerCommands(*handlers);  // "PC" answers with the whole machine state
        handlers->SetFallback(ReplyUnknown);
        return handlers;
    }();
    return defaults;
}

SimDevice::SimDevice(const MacAddress& mac, std::shared_ptr<const SimHandlers> handlers)
    : m_mac(mac), m_macText(FormatMacText(mac)), m_handlers(std::move(handlers)) {
    m_flags.running = true;
}

void SimDevice::SetMachineMode(SimMachineMode mode) {
    m_flags = MachineFlags{};
    switch (mode) {
        case SimMachineMode::FileError:
            m_flags.fileError = true;
            break;
        case SimMachineMode::Running:
            m_flags.running = true;
            break;
        case SimMachineMode::StoppedBusy:
            m_flags.busy = true;
            break;
        case SimMachineMode::StoppedIdle:
            break;
    }
}

SimMachineMode SimDevice::MachineMode() const {
    if (m_flags.fileError)
        return SimMachineMode::FileError;
    if (m_flags.running)
        return SimMachineMode::Running;
    if (m_flags.busy)
        return SimMachineMode::StoppedBusy;
    return SimMachineMode::StoppedIdle;
}

SimPcodeMachine& SimDevice::Machine() {
    if (!m_machine)
        m_machine = std::make_shared<SimPcodeMachine>();
    return *m_machine;
}

void SimDevice::Reboot() {
    if (m_nextMac) {
        m_mac = *m_nextMac;
        m_macText = FormatMacText(m_mac);
        m_nextMac.reset();
    }
    ++m_reboots;
}

std::string SimDevice::StatusField() const {
    char text[32];
    std::snprintf(text, sizeof text, "A%c%c%c/%02x", m_flags.fileError ? 'E' : '*',
                  m_flags.running ? 'R' : '*', m_flags.busy ? 'B' : '*', m_errorCode);
    return text;
}

std::string SimDevice::VersionText() const {
    return "A" + m_version + "/" + m_buildId + "/" + m_projectName;
}

std::string_view SimDevice::KindOf(const SimRequest& request) const {
    if (request.echo)
        return kEchoKind;
    if (const SimHandlers::Entry* entry = m_handlers->Find(request.body))
        return entry->prefix;
    return LeadingCapitals(request.body);
}

std::vector<std::string> SimDevice::Handle(std::string_view datagram) {
    std::optional<SimRequest> request = ParseRequest(datagram);
    if (!request)
        return {};
    return Handle(*request);
}

std::vector<std::string> SimDevice::Handle(const SimRequest& request) {
    if (request.echo)
        return {FormatReply(m_mac, "")};
    if (request.mac != m_mac)
        return {};
    std::vector<std::string> replies = HandleAddressed(request.body);
    for (std::string& reply : replies)
        reply = FormatReply(m_mac, reply);
    return replies;
}

std::vector<std::string> SimDevice::HandleAddressed(std::string_view body) {
    std::vector<std::string> replies;
    const SimHandlers::Entry* entry = m_handlers->Find(body);
    if (entry && entry->kind == SimHandlers::Kind::Binary) {
        entry->handler(*this, SimCommand{body, body, std::nullopt}, replies);
        return replies;
    }
    if (IsQueryWithForeignId(body))
        return replies;
    // Text requests are printable; anything else is line noise to a device.
    TextCommand text = SplitRequestId(body);
    if (text.command.empty() || !IsPrintable(text.command))
        return replies;
    const SimHandlers::Handler& handler = entry ? entry->handler : m_handlers->Fallback();
    if (!handler)
        return replies;
    handler(*this, SimCommand{body, text.command, text.id}, replies);
    if (text.id)
        for (std::string& reply : replies)
            reply += FormatRequestId(*text.id);
    return replies;
}

}  // namespace oskan::sim
