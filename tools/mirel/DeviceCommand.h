#pragma once
// mirel command, buzz, reboot and change-mac: one text command to one device,
// addressed by its MAC, and the device's reply.

#include <iosfwd>
#include <string>
#include <string_view>

#include "tools/mirel/Command.h"

namespace mirel {

// What one run sends and how long it waits.
struct DeviceCommandOptions {
    std::string mac;
    std::string text;
    bool noId = false;
    double timeoutSeconds = 10;
};

// Six decimal numbers of 0 to 255 joined by "." (2.0.0.1.2.3). Stricter than
// the device object, which reads any text it can, so that a typo is refused
// before it reaches the network.
bool IsMacText(std::string_view text);

// Sends the command and waits on the thread's service loop for the reply,
// which goes to out (control characters written as \xNN). Returns kExitOk
// when the device accepted the command (its reply begins with "A"),
// kExitDeviceError when it answered otherwise, kExitUsage for bad options or
// when nothing could be sent, kExitTimeout when no reply came in time (the
// command is cancelled). Messages go to err.
int RunDeviceCommand(const DeviceCommandOptions& options, std::ostream& out, std::ostream& err);

// mirel command MAC TEXT [--no-id] [--timeout S]
class TextCommand : public Command {
public:
    CLI::App* Register(CLI::App& app) override;
    int Run() override;

private:
    DeviceCommandOptions m_options;
};

// mirel buzz MAC [--timeout S]
class BuzzCommand : public Command {
public:
    CLI::App* Register(CLI::App& app) override;
    int Run() override;

private:
    DeviceCommandOptions m_options;
};

// mirel reboot MAC [--timeout S]
class RebootCommand : public Command {
public:
    CLI::App* Register(CLI::App& app) override;
    int Run() override;

private:
    DeviceCommandOptions m_options;
};

// mirel change-mac MAC NEWMAC [--timeout S]
class ChangeMacCommand : public Command {
public:
    CLI::App* Register(CLI::App& app) override;
    int Run() override;

private:
    DeviceCommandOptions m_options;
    std::string m_newMac;
};

}  // namespace mirel
