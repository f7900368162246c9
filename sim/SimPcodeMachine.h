#pragma once
// The P-code machine of a simulated SkOS device, as its debugger sees it:
// registers A, B, PC, SP and FL, a tick count, 64 KiB of memory, code and
// memory breakpoints, and a table of system properties that the property
// system calls move through a scratch area of memory.
//
// The machine does not execute code. Running towards a target (the next code
// breakpoint in address order, or a run-to address) stops there after
// StopDelayMs; with no target it runs until broken. The tick count advances
// by one per millisecond from a run request until the machine stops, and by
// the length of each step.
//
// The debugger requests it answers (AddDebuggerCommands), each with the whole
// state message unless noted:
//   "PC"                      state (the keep-alive "PC" has no id)
//   "PR+" list                run; list = code breakpoints "%04x" joined by ","
//   "PR" addr "+" list        run to addr
//   "PB"                      break
//   "E"                       restart: registers cleared, running
//   "PS"                      one instruction
//   "PO" addr "-" len "+" list             step into: to the end of the line
//   "PO" addr "-" len "," sp "+" list      step over (len 0: step out, back to
//                                          the return address at [SP])
//   "CB" list                 code breakpoints
//   "MB" list                 memory breakpoints "R0200-4,W0300-2,B..."
//   "SA" "SB" "SP" "SS" "SF" + value       set A, B, PC, SP, FL
//   "GM" addr "," count       read 1 to 16 bytes: status, "@", the address at
//                             offset 10, ":", the bytes from offset 16
//   "SM" addr ",xx,xx..."     write 1 to 16 bytes: "A"
//   "GP" n                    property n into the scratch area: "A"
//   "SR" n                    the scratch area into property n: "A"
// A malformed request, or a property not in the table, is refused with "E".
// When the machine stops on its own it sends the state beginning with "J"
// instead of "A", without id.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace oskan::sim {

class SimHandlers;

enum SimRegister { kRegA = 0, kRegB = 1, kRegPC = 2, kRegSP = 3, kRegFL = 4 };

struct SimMemoryBreakpoint {
    char type = 'B';  // 'R', 'W' or 'B'
    uint32_t address = 0;
    uint32_t length = 0;
    bool operator==(const SimMemoryBreakpoint&) const = default;
};

class SimPcodeMachine {
public:
    static constexpr size_t kMemorySize = 0x10000;
    static constexpr uint32_t kInitialSP = 0xF000;
    static constexpr uint32_t kDefaultScratch = 0xFF00;
    static constexpr uint32_t kDefaultStopDelayMs = 100;

    SimPcodeMachine();

    uint32_t Register(SimRegister reg) const { return m_registers[reg]; }
    // PC and SP keep 16 bits, FL three.
    void SetRegister(SimRegister reg, uint32_t value);

    // The tick count now, at the loop's clock in milliseconds.
    uint32_t Ticks(uint32_t nowMs) const;
    void SetTicks(uint32_t ticks) { m_ticks = ticks; }
    void AddTicks(uint32_t ticks) { m_ticks += ticks; }
    // Starts or stops the clock of the tick count.
    void StartClock(uint32_t nowMs);
    void StopClock(uint32_t nowMs);
    bool ClockRunning() const { return m_clockRunning; }

    // Memory, allocated on first use (thousands of devices share a process).
    // Reads and writes that pass the end are cut there.
    std::vector<uint8_t> Read(uint32_t address, size_t count) const;
    void Write(uint32_t address, const std::vector<uint8_t>& bytes);
    uint8_t At(uint32_t address) const;

    const std::vector<uint16_t>& CodeBreakpoints() const { return m_codeBreakpoints; }
    void SetCodeBreakpoints(std::vector<uint16_t> addresses) { m_codeBreakpoints = std::move(addresses); }
    const std::vector<SimMemoryBreakpoint>& MemoryBreakpoints() const { return m_memoryBreakpoints; }
    void SetMemoryBreakpoints(std::vector<SimMemoryBreakpoint> list) {
        m_memoryBreakpoints = std::move(list);
    }

    // Where the machine stops when it runs from PC, with an optional run-to
    // address: the nearest of the targets ahead of PC in address order
    // (wrapping at the end of memory); -1 when there is none.
    int32_t NextStop(int32_t runTo) const;
    // Each run or break makes earlier scheduled stops void.
    uint64_t RunGeneration() const { return m_runGeneration; }
    uint64_t NewRunGeneration() { return ++m_runGeneration; }
    uint32_t StopDelayMs() const { return m_stopDelayMs; }
    void SetStopDelayMs(uint32_t ms) { m_stopDelayMs = ms; }

    // System properties: each keeps the size it was set with.
    void SetProperty(int sysCall, std::vector<uint8_t> value) { m_properties[sysCall] = std::move(value); }
    const std::vector<uint8_t>* Property(int sysCall) const;
    uint32_t ScratchAddress() const { return m_scratch; }
    void SetScratchAddress(uint32_t address) { m_scratch = address & 0xFFFF; }
    // "GP" and "SR": false for a system call not in the table.
    bool LoadProperty(int sysCall);
    bool StoreProperty(int sysCall);

    // A string as the machine keeps it: character count, capacity, characters.
    static std::vector<uint8_t> StringValue(std::string_view text, uint8_t capacity = 0);

private:
    void EnsureMemory();

    std::array<uint32_t, 5> m_registers{};
    uint32_t m_ticks = 0;
    bool m_clockRunning = false;
    uint32_t m_clockStart = 0;
    std::vector<uint8_t> m_memory;  // empty until first written
    std::vector<uint16_t> m_codeBreakpoints;
    std::vector<SimMemoryBreakpoint> m_memoryBreakpoints;
    uint64_t m_runGeneration = 0;
    uint32_t m_stopDelayMs = kDefaultStopDelayMs;
    std::map<int, std::vector<uint8_t>> m_properties;
    uint32_t m_scratch = kDefaultScratch;
};

// Registers the debugger requests above.
void AddDebuggerCommands(SimHandlers& handlers);

}  // namespace oskan::sim
