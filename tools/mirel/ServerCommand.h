#pragma once
// mirel server buzz|reboot|change-ip|upload: fixed-firmware Device Servers,
// reached at their IP address (direct access) or by broadcast with their MAC.
// A server that needs a password gets --password, or, when the server asks
// for one and stdin is a terminal, what the user types (without echo).

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "tools/mirel/Command.h"

namespace mirel {

enum class ServerAction { Buzz, Reboot, ChangeIp, Upload };

struct ServerOptions {
    ServerAction action = ServerAction::Buzz;
    std::string address;  // IP address or MAC; change-ip: the MAC
    std::string newIp;    // change-ip
    std::string file;     // upload
    std::optional<std::string> password;
    double timeoutSeconds = 0;  // 0: the action's default (10 s, uploads 600 s)
};

// Asks for a password; nothing when there is nobody to ask.
using PasswordPrompt = std::function<std::optional<std::string>(const std::string& question)>;
// Reads it from the terminal on stdin with the echo off; nothing when stdin
// is not a terminal.
std::optional<std::string> AskOnTerminal(const std::string& question);

// Six pairs of hexadecimal digits joined by "-" or ":" (00-90-E8-01-02-03).
bool IsServerMac(std::string_view text);
bool IsIpv4Text(std::string_view text);

// Exit codes: kExitOk when the server accepted, kExitDeviceError when it
// refused (wrong or missing password included), kExitUsage for bad options or
// when nothing could start, kExitTimeout when it did not answer in time.
int RunServerCommand(const ServerOptions& options, std::ostream& out, std::ostream& err,
                     const PasswordPrompt& prompt);

class ServerCommand : public Command {
public:
    CLI::App* Register(CLI::App& app) override;
    int Run() override;

private:
    ServerOptions m_options;
    std::string m_password;
    CLI::App* m_buzz = nullptr;
    CLI::App* m_reboot = nullptr;
    CLI::App* m_changeIp = nullptr;
    CLI::App* m_upload = nullptr;
};

}  // namespace mirel
