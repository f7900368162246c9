#pragma once
// One subcommand of the mirel tool: it declares its options on its own CLI11
// subcommand and runs when that subcommand was chosen.

#include <CLI/CLI.hpp>

namespace mirel {

// Exit codes shared by every subcommand.
constexpr int kExitOk = 0;
constexpr int kExitDeviceError = 1;  // the device or the network refused
constexpr int kExitUsage = 2;        // bad arguments, or the operation could not start
constexpr int kExitTimeout = 3;

class Command {
public:
    virtual ~Command() = default;
    // Adds the subcommand and its options to the application.
    virtual CLI::App* Register(CLI::App& app) = 0;
    virtual int Run() = 0;
};

}  // namespace mirel
