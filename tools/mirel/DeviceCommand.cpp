#include "tools/mirel/DeviceCommand.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "common/MessageTransport.h"
#include "common/SkCmdTarget.h"
#include "tools/Printable.h"
#include "tools/mirel/ObjectFactory.h"
#include "winport/com/ocidl.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/host/EventConnection.h"
#include "winport/loop/ServiceLoop.h"
#include "winport/loop/winsock.h"

namespace mirel {

namespace {

constexpr double kMaxTimeoutSeconds = 24 * 3600;

// What OnCommandComplete reported.
struct Completion {
    bool done = false;
    LONG error = 0;
    std::string details;
    std::string response;
};

using oskan::tools::Printable;

std::string FormatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

// A problem with the options, or an empty text.
std::string CheckOptions(const DeviceCommandOptions& options) {
    if (!IsMacText(options.mac))
        return "'" + Printable(options.mac) +
               "' is not a MAC address (six numbers of 0 to 255 joined by '.', e.g. "
               "2.0.0.1.2.3)";
    if (!(options.timeoutSeconds > 0 && options.timeoutSeconds <= kMaxTimeoutSeconds))
        return "--timeout must be more than 0 and at most " + FormatSeconds(kMaxTimeoutSeconds) + " seconds";
    // Measured as it goes out: bytes that are not UTF-8 become three-byte
    // replacement characters on the way.
    if (winport::Utf16ToAnsi(winport::AnsiToUtf16(options.text)).size() >
        static_cast<size_t>(MessageTransport::kMaxRequestBody))
        return "the command is longer than " + std::to_string(MessageTransport::kMaxRequestBody) +
               " characters, the most one request carries";
    return {};
}

HRESULT SetAddress(ISkConnection* connection, const std::string& mac) {
    return connection->put_Address(winport::Bstr::FromUtf8(mac).get());
}

HRESULT SendCommand(ISkCmdTarget* target, const std::string& text) {
    return target->Command(winport::Bstr::FromUtf8(text).get(), 0);
}

int Finish(const Completion& completion, const DeviceCommandOptions& options, std::ostream& out,
           std::ostream& err) {
    if (!completion.done || completion.error == static_cast<LONG>(ERROR_CANCELLED)) {
        err << "mirel: timed out after " << FormatSeconds(options.timeoutSeconds)
            << " s without a reply from " << options.mac << "\n";
        return kExitTimeout;
    }
    if (completion.error != 0) {
        err << "mirel: error " << completion.error << ": " << Printable(completion.details) << "\n";
        return kExitDeviceError;
    }
    out << Printable(completion.response) << "\n";
    if (completion.response.empty() || completion.response[0] != 'A') {
        err << "mirel: " << options.mac << " did not accept the command"
            << (completion.response.empty()
                    ? std::string(" (empty reply)")
                    : " (status '" + Printable(completion.response.substr(0, 1)) + "')")
            << "\n";
        return kExitDeviceError;
    }
    return kExitOk;
}

CLI::Option* AddTimeoutOption(CLI::App* sub, DeviceCommandOptions& options) {
    return sub->add_option("--timeout", options.timeoutSeconds,
                           "Seconds to wait for the reply before giving up (default 10)");
}

void AddMacArgument(CLI::App* sub, std::string& mac, const char* name, const char* what) {
    sub->add_option(name, mac, what)->required();
}

}  // namespace

bool IsMacText(std::string_view text) {
    int numbers = 0;
    size_t pos = 0;
    for (;;) {
        const size_t end = std::min(text.find('.', pos), text.size());
        const std::string_view part = text.substr(pos, end - pos);
        if (++numbers > 6 || part.empty() || part.size() > 3)
            return false;
        unsigned value = 0;
        for (char c : part) {
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        if (value > 255)
            return false;
        if (end == text.size())
            break;
        pos = end + 1;
    }
    return numbers == 6;
}

int RunDeviceCommand(const DeviceCommandOptions& options, std::ostream& out, std::ostream& err) {
    if (std::string problem = CheckOptions(options); !problem.empty()) {
        err << "mirel: " << problem << "\n";
        return kExitUsage;
    }
    ComPtr<ISkConnection> connection;
    ComPtr<ISkCmdTarget> target;
    std::string problem;
    if (FAILED(ObjectFactory::Create(kDeviceProgID, IID_ISkConnection,
                                     connection.ReleaseAndGetVoidAddressOf(), &problem))) {
        err << "mirel: " << problem << "\n";
        return kExitUsage;
    }
    if (FAILED(connection.As(IID_ISkCmdTarget, &target))) {
        err << "mirel: the device object has no command interface\n";
        return kExitUsage;
    }
    Completion completion;
    auto sink = winport::DispatchSink::Create(DIID__ISkCmdTargetEvents, [&](DISPID id, const DISPPARAMS& p) {
        using winport::DispatchSink;
        if (id != DISPID_OnCommandComplete)
            return;
        completion.done = true;
        completion.error = DispatchSink::IntArg(p, 0);
        completion.details = DispatchSink::TextArg(p, 1);
        const VARIANT* response = DispatchSink::Arg(p, 2);
        if (response && V_VT(response) == VT_BSTR)
            completion.response = winport::BstrToAnsiLen(V_BSTR(response));
    });
    winport::EventConnection events(connection.Get(), DIID__ISkCmdTargetEvents, sink.Get());
    if (!events.Connected()) {
        err << "mirel: cannot connect to the device object's events\n";
        return kExitUsage;
    }
    if (FAILED(SetAddress(connection.Get(), options.mac))) {
        err << "mirel: the device object refused the address " << options.mac << "\n";
        return kExitUsage;
    }
    if (options.noId)
        target->put_Flags(SkCmdTarget::kFlagNoId);
    if (FAILED(connection->Connect())) {
        err << "mirel: cannot open a UDP socket: "
            << winport::ErrorText(static_cast<uint32_t>(WSAGetLastError())) << "\n";
        return kExitUsage;
    }
    if (HRESULT hr = SendCommand(target.Get(), options.text); FAILED(hr)) {
        err << "mirel: cannot send the command: " << winport::ErrorText(static_cast<uint32_t>(hr)) << "\n";
        return kExitUsage;
    }
    const auto timeoutMs = static_cast<uint32_t>(std::ceil(options.timeoutSeconds * 1000));
    if (!winport::ServiceLoop::Current().RunUntil([&] { return completion.done; }, timeoutMs))
        target->Cancel();  // completes the command as cancelled
    connection->Disconnect();
    return Finish(completion, options, out, err);
}

CLI::App* TextCommand::Register(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("command", "Send a text command to a device and print its reply");
    AddMacArgument(sub, m_options.mac, "MAC", "The device's MAC address, e.g. 2.0.0.1.2.3");
    sub->add_option("TEXT", m_options.text, "The command text, e.g. B")->required();
    sub->add_flag("--no-id", m_options.noId,
                  "Send the text without a request id (one such command at a time)");
    AddTimeoutOption(sub, m_options);
    return sub;
}

int TextCommand::Run() {
    return RunDeviceCommand(m_options, std::cout, std::cerr);
}

CLI::App* BuzzCommand::Register(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("buzz", "Make a device buzz");
    AddMacArgument(sub, m_options.mac, "MAC", "The device's MAC address, e.g. 2.0.0.1.2.3");
    AddTimeoutOption(sub, m_options);
    return sub;
}

int BuzzCommand::Run() {
    m_options.text = "B";
    return RunDeviceCommand(m_options, std::cout, std::cerr);
}

CLI::App* RebootCommand::Register(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("reboot", "Reboot a device");
    AddMacArgument(sub, m_options.mac, "MAC", "The device's MAC address, e.g. 2.0.0.1.2.3");
    AddTimeoutOption(sub, m_options);
    return sub;
}

int RebootCommand::Run() {
    m_options.text = "EC";
    return RunDeviceCommand(m_options, std::cout, std::cerr);
}

CLI::App* ChangeMacCommand::Register(CLI::App& app) {
    CLI::App* sub = app.add_subcommand(
        "change-mac", "Give a device a new MAC address; it takes effect when the device reboots next");
    AddMacArgument(sub, m_options.mac, "MAC", "The device's MAC address now");
    AddMacArgument(sub, m_newMac, "NEWMAC", "The new MAC address");
    AddTimeoutOption(sub, m_options);
    return sub;
}

int ChangeMacCommand::Run() {
    if (!IsMacText(m_newMac)) {
        std::cerr << "mirel: NEWMAC '" << Printable(m_newMac)
                  << "' is not a MAC address (six numbers of 0 to 255 joined by "
                  << "'.', e.g. 2.0.0.1.2.4)\n";
        return kExitUsage;
    }
    m_options.text = "H" + m_newMac;
    return RunDeviceCommand(m_options, std::cout, std::cerr);
}

}  // namespace mirel
