// regsvr: registers self-registering component libraries, as regsvr32 does.

#include <iostream>

#include "tools/regsvr/RegsvrCommand.h"

int main(int argc, char** argv) {
    CLI::App app(
        "Registers component libraries into the registry (OSKAN_REGISTRY, or "
        "~/.config/oskan/registry.reg)",
        "regsvr");
    regsvr::RegsvrCommand command(std::cout, std::cerr);
    command.Register(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : regsvr::kExitArguments;
    }
    return command.Run();
}
