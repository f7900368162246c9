#include "tools/mirel/ServerCommand.h"

#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <iostream>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "tools/Printable.h"
#include "tools/mirel/ObjectFactory.h"
#include "tools/mirel/ProgressDisplay.h"
#include "winport/com/ocidl.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/host/EventConnection.h"
#include "winport/loop/ServiceLoop.h"

namespace mirel {

namespace {

using oskan::tools::Printable;

constexpr char16_t kServerByIpProgID[] = u"ods.udpdevice";
constexpr char16_t kServerByMacProgID[] = u"ods.udpbcastdevice";
constexpr LONG kPasswordNeeded = 5;
constexpr LONG kNoAnswer = 1460;
constexpr LONG kCancelled = 1223;
constexpr int kFixedFirmware = 8;  // OLF_FIXED_FIRMWARE
constexpr double kMaxTimeoutSeconds = 7 * 24 * 3600;

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

struct Outcome {
    bool done = false;
    LONG error = 0;
    std::string details;
    std::string response;
};

// A device object of the right class for the address, with sinks on its
// connection, command and loader events.
class ServerSession {
public:
    ServerSession(bool byIp, ProgressDisplay& progress) {
        if (FAILED(ObjectFactory::Create(byIp ? kServerByIpProgID : kServerByMacProgID, IID_ISkConnection,
                                         m_connection.ReleaseAndGetVoidAddressOf(), &m_problem)))
            return;
        m_connection.As(IID_ISkCmdTarget, &m_target);
        m_connection.As(IID_ISkLoader, &m_loader);
        using winport::DispatchSink;
        auto handler = [this, &progress](DISPID id, const DISPPARAMS& p) {
            switch (id) {
                case DISPID_OnConnectComplete:
                    connected = {true, DispatchSink::IntArg(p, 0), DispatchSink::TextArg(p, 1), {}};
                    break;
                case DISPID_OnCommandComplete: {
                    command = {true, DispatchSink::IntArg(p, 0), DispatchSink::TextArg(p, 1), {}};
                    const VARIANT* response = DispatchSink::Arg(p, 2);
                    if (response && V_VT(response) == VT_BSTR)
                        command.response = winport::BstrToAnsiLen(V_BSTR(response));
                    break;
                }
                case DISPID_OnLoadProgress:
                    progress.Update(DispatchSink::IntArg(p, 0));
                    break;
                case DISPID_OnLoadComplete:
                    loaded = {true, DispatchSink::IntArg(p, 0), DispatchSink::TextArg(p, 1), {}};
                    break;
            }
        };
        m_sinks[0] = DispatchSink::Create(DIID__ISkConnectionEvents, handler);
        m_sinks[1] = DispatchSink::Create(DIID__ISkCmdTargetEvents, handler);
        m_sinks[2] = DispatchSink::Create(DIID__ISkLoaderEvents, handler);
        m_connectionEvents =
            winport::EventConnection(m_connection.Get(), DIID__ISkConnectionEvents, m_sinks[0].Get());
        m_commandEvents =
            winport::EventConnection(m_connection.Get(), DIID__ISkCmdTargetEvents, m_sinks[1].Get());
        m_loaderEvents =
            winport::EventConnection(m_connection.Get(), DIID__ISkLoaderEvents, m_sinks[2].Get());
        if (!m_target || !m_loader || !m_connectionEvents.Connected() || !m_commandEvents.Connected() ||
            !m_loaderEvents.Connected())
            m_problem = "cannot connect to the Device Server object's events";
    }
    ~ServerSession() {
        if (m_connection)
            m_connection->Disconnect();
    }
    ServerSession(const ServerSession&) = delete;
    ServerSession& operator=(const ServerSession&) = delete;

    const std::string& Problem() const { return m_problem; }
    ISkConnection* Connection() const { return m_connection.Get(); }
    ISkCmdTarget* Target() const { return m_target.Get(); }
    ISkLoader* Loader() const { return m_loader.Get(); }

    Outcome connected, command, loaded;

private:
    ComPtr<ISkConnection> m_connection;
    ComPtr<ISkCmdTarget> m_target;
    ComPtr<ISkLoader> m_loader;
    ComPtr<winport::DispatchSink> m_sinks[3];
    winport::EventConnection m_connectionEvents, m_commandEvents, m_loaderEvents;
    std::string m_problem;
};

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(hr));
    return text;
}

class Runner {
public:
    Runner(const ServerOptions& options, std::ostream& out, std::ostream& err, const PasswordPrompt& prompt)
        : m_options(options), m_out(out), m_err(err), m_prompt(prompt), m_password(options.password) {
        const double seconds = options.timeoutSeconds > 0
                                   ? options.timeoutSeconds
                                   : (options.action == ServerAction::Upload ? 600 : 10);
        m_timeoutMs = static_cast<uint32_t>(std::ceil(seconds * 1000));
    }

    int Run() {
        if (std::string problem = CheckOptions(); !problem.empty()) {
            m_err << "mirel: " << problem << "\n";
            return kExitUsage;
        }
        return m_options.action == ServerAction::ChangeIp ? ChangeIp() : Act();
    }

private:
    std::string CheckOptions() const {
        if (m_options.timeoutSeconds < 0 || m_options.timeoutSeconds > kMaxTimeoutSeconds)
            return "--timeout must be more than 0 and at most 604800 seconds";
        if (m_password && m_password->find_first_of("|/\r\n") != std::string::npos)
            return "a password cannot hold '|', '/' or a line break";
        if (m_options.action == ServerAction::ChangeIp) {
            if (!IsServerMac(m_options.address))
                return "'" + Printable(m_options.address) +
                       "' is not a Device Server MAC (e.g. 00-90-E8-01-02-03)";
            if (!IsIpv4Text(m_options.newIp))
                return "'" + Printable(m_options.newIp) + "' is not an IPv4 address";
            return {};
        }
        if (!IsIpv4Text(m_options.address) && !IsServerMac(m_options.address))
            return "'" + Printable(m_options.address) +
                   "' is neither an IP address nor a Device Server MAC (e.g. 00-90-E8-01-02-03)";
        return {};
    }

    bool Wait(const Outcome& outcome) {
        return winport::ServiceLoop::Current().RunUntil([&] { return outcome.done; }, m_timeoutMs);
    }

    // Connects, asking for the password once when the server wants one.
    int Connect(ServerSession& session) {
        for (int attempt = 0;; ++attempt) {
            session.connected = {};
            const std::string address = m_password.value_or("") + "@" + m_options.address;
            if (FAILED(session.Connection()->put_Address(winport::Bstr::FromUtf8(address).get()))) {
                m_err << "mirel: the Device Server object refused the address "
                      << Printable(m_options.address) << "\n";
                return kExitUsage;
            }
            if (FAILED(session.Connection()->Connect())) {
                m_err << "mirel: cannot open a UDP socket\n";
                return kExitUsage;
            }
            if (!Wait(session.connected)) {
                session.Connection()->Disconnect();
                m_err << "mirel: timed out without an answer from " << m_options.address << "\n";
                return kExitTimeout;
            }
            const Outcome& result = session.connected;
            if (result.error == 0)
                return kExitOk;
            if (result.error == kNoAnswer) {
                m_err << "mirel: " << m_options.address << " does not answer\n";
                return kExitTimeout;
            }
            if (result.error == kPasswordNeeded && attempt == 0 && !m_options.password) {
                if (std::optional<std::string> typed = m_prompt("Password for " + m_options.address + ": ")) {
                    m_password = std::move(typed);
                    continue;
                }
            }
            m_err << "mirel: error " << result.error << ": " << Printable(result.details)
                  << (result.error == kPasswordNeeded && !m_options.password ? " (give it with --password)"
                                                                             : "")
                  << "\n";
            return kExitDeviceError;
        }
    }

    int Act() {
        ProgressDisplay progress("uploading");
        ServerSession session(IsIpv4Text(m_options.address), progress);
        if (!session.Problem().empty()) {
            m_err << "mirel: " << session.Problem() << "\n";
            return kExitUsage;
        }
        if (int code = Connect(session); code != kExitOk)
            return code;
        if (m_options.action == ServerAction::Upload)
            return Upload(session, progress);
        return Command(session, m_options.action == ServerAction::Buzz ? "B" : "EC");
    }

    int Command(ServerSession& session, const std::string& text) {
        session.command = {};
        if (HRESULT hr = session.Target()->Command(winport::Bstr::FromUtf8(text).get(), 0); FAILED(hr)) {
            m_err << "mirel: cannot send the command: " << Hex(hr) << "\n";
            return kExitUsage;
        }
        if (!Wait(session.command) || session.command.error == kCancelled) {
            session.Target()->Cancel();
            m_err << "mirel: timed out without a reply from " << m_options.address << "\n";
            return kExitTimeout;
        }
        const Outcome& result = session.command;
        if (result.error != 0) {
            m_err << "mirel: error " << result.error << ": " << Printable(result.details) << "\n";
            return kExitDeviceError;
        }
        m_out << Printable(result.response) << "\n";
        if (result.response.empty() || result.response[0] != 'A') {
            m_err << "mirel: " << m_options.address << " did not accept the command"
                  << (!result.response.empty() && result.response[0] == 'D' ? " (password missing or wrong)"
                                                                            : "")
                  << "\n";
            return kExitDeviceError;
        }
        return kExitOk;
    }

    int Upload(ServerSession& session, ProgressDisplay& progress) {
        if (HRESULT hr =
                session.Loader()->Load(winport::Bstr::FromUtf8(m_options.file).get(), kFixedFirmware);
            FAILED(hr)) {
            m_err << "mirel: cannot upload " << Printable(m_options.file) << ": " << Hex(hr) << ": "
                  << winport::ErrorText(static_cast<uint32_t>(hr)) << "\n";
            return kExitUsage;
        }
        if (!Wait(session.loaded)) {
            session.Loader()->Cancel();
            progress.Finish();
            m_err << "mirel: the upload had not ended after " << m_timeoutMs / 1000 << " s; cancelled\n";
            return kExitTimeout;
        }
        progress.Finish();
        const Outcome& result = session.loaded;
        if (result.error != 0) {
            m_err << "mirel: error " << result.error << ": " << Printable(result.details) << "\n";
            return kExitDeviceError;
        }
        m_out << Printable(result.details) << "\n";
        return kExitOk;
    }

    // Sent to every server at 255.255.255.255; the one with the MAC answers.
    int ChangeIp() {
        ProgressDisplay progress("");
        ServerSession session(true, progress);
        if (!session.Problem().empty()) {
            m_err << "mirel: " << session.Problem() << "\n";
            return kExitUsage;
        }
        const std::string mac = m_options.address;
        m_options.address = "255.255.255.255";
        if (int code = Connect(session); code != kExitOk)
            return code;
        m_options.address = mac;
        for (int attempt = 0;; ++attempt) {
            const int code =
                Command(session, "A" + mac + "/" + m_password.value_or("") + "/" + m_options.newIp);
            if (code == kExitDeviceError && session.command.response == "D" && attempt == 0 &&
                !m_options.password) {
                if (std::optional<std::string> typed = m_prompt("Password for " + mac + ": ")) {
                    m_password = std::move(typed);
                    continue;
                }
            }
            return code;
        }
    }

    ServerOptions m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    const PasswordPrompt& m_prompt;
    std::optional<std::string> m_password;
    uint32_t m_timeoutMs = 10000;
};

}  // namespace

bool IsServerMac(std::string_view text) {
    if (text.size() != 17 || (text[2] != '-' && text[2] != ':'))
        return false;
    for (size_t i = 0; i < 6; ++i)
        if ((i > 0 && text[i * 3 - 1] != text[2]) || !IsHex(text[i * 3]) || !IsHex(text[i * 3 + 1]))
            return false;
    return true;
}

bool IsIpv4Text(std::string_view text) {
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at >= text.size() || text[at++] != '.'))
            return false;
        unsigned value = 0;
        size_t digits = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits)
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
        if (digits == 0 || digits > 3 || value > 255)
            return false;
    }
    return at == text.size();
}

std::optional<std::string> AskOnTerminal(const std::string& question) {
    if (!isatty(STDIN_FILENO))
        return std::nullopt;
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0)
        return std::nullopt;
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    std::cerr << question << std::flush;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::string line;
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << "\n";
    if (!read)
        return std::nullopt;
    return line;
}

int RunServerCommand(const ServerOptions& options, std::ostream& out, std::ostream& err,
                     const PasswordPrompt& prompt) {
    return Runner(options, out, err, prompt).Run();
}

CLI::App* ServerCommand::Register(CLI::App& app) {
    CLI::App* server = app.add_subcommand("server", "Work with fixed-firmware Device Servers");
    server->require_subcommand(1);
    auto common = [this](CLI::App* sub) {
        sub->add_option("--password", m_password,
                        "The server's password (asked on the terminal when needed)");
        sub->add_option("--timeout", m_options.timeoutSeconds,
                        "Seconds to wait before giving up (default 10, uploads 600)");
    };
    const char* addressHelp = "The server's IP address (direct access) or MAC, e.g. 00-90-E8-01-02-03";
    m_buzz = server->add_subcommand("buzz", "Make a Device Server buzz");
    m_buzz->add_option("ADDRESS", m_options.address, addressHelp)->required();
    common(m_buzz);
    m_reboot = server->add_subcommand("reboot", "Reboot a Device Server");
    m_reboot->add_option("ADDRESS", m_options.address, addressHelp)->required();
    common(m_reboot);
    m_changeIp = server->add_subcommand("change-ip", "Give a Device Server a new IP address");
    m_changeIp->add_option("MAC", m_options.address, "The server's MAC, e.g. 00-90-E8-01-02-03")->required();
    m_changeIp->add_option("NEWIP", m_options.newIp, "The new IPv4 address")->required();
    common(m_changeIp);
    m_upload = server->add_subcommand("upload", "Upload firmware to a Device Server");
    m_upload->add_option("ADDRESS", m_options.address, addressHelp)->required();
    m_upload->add_option("FILE", m_options.file, "The firmware file (whole 128-byte blocks)")->required();
    common(m_upload);
    return server;
}

int ServerCommand::Run() {
    if (m_buzz->parsed())
        m_options.action = ServerAction::Buzz;
    else if (m_reboot->parsed())
        m_options.action = ServerAction::Reboot;
    else if (m_changeIp->parsed())
        m_options.action = ServerAction::ChangeIp;
    else
        m_options.action = ServerAction::Upload;
    for (CLI::App* sub : {m_buzz, m_reboot, m_changeIp, m_upload})
        if (sub->parsed() && sub->count("--password") > 0)
            m_options.password = m_password;
    return RunServerCommand(m_options, std::cout, std::cerr, &AskOnTerminal);
}

}  // namespace mirel
