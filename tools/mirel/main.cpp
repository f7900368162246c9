// mirel: finds SkOS devices and fixed-firmware Device Servers on the local
// network and works with them from a terminal or a script.

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "tools/mirel/DebugCommand.h"
#include "tools/mirel/DeviceCommand.h"
#include "tools/mirel/DiscoverCommand.h"
#include "tools/mirel/InterfacesCommand.h"
#include "tools/mirel/SerialUploadCommand.h"
#include "tools/mirel/ServerCommand.h"
#include "tools/mirel/UploadCommand.h"

int main(int argc, char** argv) {
    CLI::App app("Works with SkOS devices on the local network", "mirel");
    app.require_subcommand(1);
    // Before or after the subcommand, once per interface.
    app.fallthrough();
    std::vector<std::string> interfaces;
    app.add_option("--interface", interfaces,
                   "Send only on this network interface (repeatable; default: every interface that can "
                   "broadcast, or those OSKAN_INTERFACES names)")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);

    std::vector<std::unique_ptr<mirel::Command>> commands;
    commands.push_back(std::make_unique<mirel::DiscoverCommand>());
    commands.push_back(std::make_unique<mirel::TextCommand>());
    commands.push_back(std::make_unique<mirel::BuzzCommand>());
    commands.push_back(std::make_unique<mirel::RebootCommand>());
    commands.push_back(std::make_unique<mirel::ChangeMacCommand>());
    commands.push_back(std::make_unique<mirel::UploadCommand>());
    commands.push_back(std::make_unique<mirel::DebugCommand>());
    commands.push_back(std::make_unique<mirel::InterfacesCommand>());
    commands.push_back(std::make_unique<mirel::ServerCommand>());
    commands.push_back(std::make_unique<mirel::SerialUploadCommand>());
    std::vector<std::pair<CLI::App*, mirel::Command*>> registered;
    for (auto& command : commands)
        registered.emplace_back(command->Register(app), command.get());

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : mirel::kExitUsage;
    }
    if (int code = mirel::ApplyInterfaceSelection(interfaces, std::cerr); code != mirel::kExitOk)
        return code;
    for (auto& [sub, command] : registered)
        if (sub->parsed())
            return command->Run();
    return mirel::kExitUsage;
}
