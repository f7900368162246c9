#include "sim/SimCommands.h"

#include "sim/SimOptions.h"

namespace oskan::sim {

namespace {

constexpr const char* kAccepted = "A";
constexpr const char* kRefused = "E";

void Buzz(SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
    if (command.text != "B") {
        replies.push_back(device.UnknownReply());
        return;
    }
    device.Buzz();
    replies.emplace_back(kAccepted);
}

void RequestReboot(SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
    if (command.text != "EC") {
        replies.push_back(device.UnknownReply());
        return;
    }
    device.RequestReboot();
    replies.emplace_back(kAccepted);
}

void ChangeMac(SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
    std::optional<MacAddress> mac = ParseMacOption(command.text.substr(1));
    if (!mac) {
        replies.emplace_back(kRefused);
        return;
    }
    device.SetNextMac(*mac);
    replies.emplace_back(kAccepted);
}

}  // namespace

void AddDeviceCommands(SimHandlers& handlers) {
    handlers.Add("B", Buzz);
    handlers.Add("EC", RequestReboot);
    handlers.Add("H", ChangeMac);
}

}  // namespace oskan::sim
