#pragma once
// mirel debug MAC OP [ARGS...]: one debugger operation on a device's P-code
// machine. Begins the debugging link, waits for the first machine state,
// applies --breakpoints, runs the operation, prints the machine state (or the
// bytes read) and ends the link.
//
// Operations: state | run | break | restart | step | step-out | run-to ADDR |
// step-into ADDR LEN | step-over ADDR LEN | set-register a|b|pc|sp|fl VALUE |
// memory-breakpoints [r:ADDR:LEN,w:ADDR:LEN,b:ADDR:LEN] | read ADDR LEN |
// read-string ADDR | read-property SYSCALL ADDR LEN |
// read-string-property SYSCALL ADDR | write ADDR HEXBYTES |
// write-property SYSCALL ADDR HEXBYTES. Addresses, lengths and values are
// hexadecimal, with or without 0x; system calls are decimal.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "Mirel/MirelInterfaces.h"
#include "tools/mirel/Command.h"

namespace mirel {

struct DebugOptions {
    std::string mac;
    std::string operation;
    std::vector<std::string> arguments;
    std::optional<std::string> breakpoints;  // --breakpoints A,B,...
    bool json = false;
    double timeoutSeconds = 10;
};

// Hexadecimal with or without 0x, at most eight digits.
std::optional<uint32_t> ParseHexNumber(const std::string& text);
// Pairs of hexadecimal digits, optionally separated by spaces, ':' or '-'.
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text);

// "stopped_idle error=0 A=0000 B=0000 PC=0040 SP=f000 FL=0 ticks=100", or
// the JSON object with mode, error, a, b, pc, sp, flags and ticks.
std::string FormatMachineState(const OSKAN_PCODE_MACHINE_STATE& state, bool json);
// "de ad be ef"
std::string FormatBytes(const uint8_t* bytes, size_t count);

// Runs one operation on the thread's service loop; the result goes to out,
// messages to err. kExitOk; kExitUsage for bad arguments or when the link
// cannot be made; kExitTimeout when the device did not answer in time (the
// operation is cancelled); kExitDeviceError when its replies could not be
// read.
int RunDebug(const DebugOptions& options, std::ostream& out, std::ostream& err);

class DebugCommand : public Command {
public:
    CLI::App* Register(CLI::App& app) override;
    int Run() override;

private:
    DebugOptions m_options;
    std::string m_breakpoints;
    CLI::Option* m_breakpointsOption = nullptr;
};

}  // namespace mirel
