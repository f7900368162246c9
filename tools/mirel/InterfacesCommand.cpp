#include "tools/mirel/InterfacesCommand.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "common/BroadcastInterfaces.h"

namespace mirel {

namespace {

std::string Dotted(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string Row(const std::string& name, const std::string& address, const std::string& broadcast) {
    char line[128];
    std::snprintf(line, sizeof line, "%-16s %-16s %s\n", name.c_str(), address.c_str(), broadcast.c_str());
    return line;
}

}  // namespace

int ApplyInterfaceSelection(const std::vector<std::string>& names, std::ostream& err) {
    InterfaceSelection selection;
    if (!names.empty()) {
        std::string joined;
        for (const std::string& name : names)
            joined += name + ",";
        selection = InterfaceSelection::Parse(joined);
        if (!selection.IsRestricted()) {
            err << "mirel: --interface needs the name of an interface\n";
            return kExitUsage;
        }
    } else {
        selection = InterfaceSelection::FromEnvironment();
    }
    if (!selection.IsRestricted())
        return kExitOk;
    const char* from = names.empty() ? " (OSKAN_INTERFACES)" : "";
    bool unknown = false;
    std::vector<std::string> unusable;
    for (const std::string& name : selection.Names()) {
        std::string why = BroadcastInterfaces::Unusable(name);
        if (why == "no such interface") {
            err << "mirel: unknown interface \"" << name << "\"" << from
                << "; \"mirel interfaces\" lists the ones in use\n";
            unknown = true;
        } else if (!why.empty()) {
            unusable.push_back(name + ": " + why);
        }
    }
    if (unknown)
        return kExitUsage;
    if (unusable.size() == selection.Names().size()) {
        err << "mirel: none of the interfaces asked for" << from << " can broadcast now:";
        for (const std::string& reason : unusable)
            err << " " << reason << ";";
        err << "\n";
        return kExitUsage;
    }
    for (const std::string& reason : unusable)
        err << "mirel: not used now, " << reason << "\n";
    if (!names.empty())
        setenv(BroadcastInterfaces::kEnvironmentVariable, selection.Text().c_str(), 1);
    return kExitOk;
}

int ListInterfaces(std::ostream& out) {
    BroadcastInterfaces::List interfaces =
        BroadcastInterfaces::Enumerate(InterfaceSelection::FromEnvironment());
    if (interfaces.empty()) {
        out << "No interface but the loopback can broadcast: requests go where the routing table sends "
               "255.255.255.255.\n";
        return kExitOk;
    }
    out << Row("INTERFACE", "ADDRESS", "BROADCAST");
    for (const BroadcastInterface& link : interfaces)
        out << Row(link.name, Dotted(link.address), Dotted(link.broadcast));
    return kExitOk;
}

CLI::App* InterfacesCommand::Register(CLI::App& app) {
    return app.add_subcommand("interfaces",
                              "List the network interfaces that requests go out on, with their addresses");
}

int InterfacesCommand::Run() {
    return ListInterfaces(std::cout);
}

}  // namespace mirel
