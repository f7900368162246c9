#pragma once
// Which networks a run of mirel reaches: "--interface NAME" (repeatable) or
// OSKAN_INTERFACES names the interfaces its broadcasts go out on, and
// "mirel interfaces" lists them.

#include <iosfwd>
#include <string>
#include <vector>

#include "tools/mirel/Command.h"

namespace mirel {

// Checks the interfaces asked for (the names given, else OSKAN_INTERFACES) and
// hands the names given to the components through OSKAN_INTERFACES. kExitUsage
// for a name no interface has, or when none of them can broadcast now.
int ApplyInterfaceSelection(const std::vector<std::string>& names, std::ostream& err);

// Prints the interfaces the broadcasts go out on, with their addresses.
int ListInterfaces(std::ostream& out);

class InterfacesCommand : public Command {
public:
    CLI::App* Register(CLI::App& app) override;
    int Run() override;
};

}  // namespace mirel
