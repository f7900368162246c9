#include "sim/SimPcodeMachine.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "sim/SimDevice.h"
#include "winport/base/hexdigit.h"
#include "winport/loop/ServiceLoop.h"

namespace oskan::sim {

namespace {

constexpr const char* kRefused = "E";
constexpr size_t kMaxBlockBytes = 16;
// The length of one instruction, for "PS".
constexpr uint32_t kInstructionLength = 1;

// Reads one to eight hexadecimal digits from the front of text.
std::optional<uint32_t> TakeHex(std::string_view& text) {
    size_t n = 0;
    uint32_t value = 0;
    while (n < text.size() && n < 8 && winport::HexDigitValue(text[n]) >= 0)
        value = (value << 4) | static_cast<uint32_t>(winport::HexDigitValue(text[n++]));
    if (n == 0 || (n < text.size() && winport::HexDigitValue(text[n]) >= 0))
        return std::nullopt;
    text.remove_prefix(n);
    return value;
}

std::optional<int> TakeDecimal(std::string_view text) {
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool TakeChar(std::string_view& text, char c) {
    if (text.empty() || text.front() != c)
        return false;
    text.remove_prefix(1);
    return true;
}

// A code breakpoint list: addresses joined by ",", possibly empty; it must
// use up the text.
std::optional<std::vector<uint16_t>> ParseCodeList(std::string_view text) {
    std::vector<uint16_t> list;
    if (text.empty())
        return list;
    while (true) {
        std::optional<uint32_t> address = TakeHex(text);
        if (!address || *address > 0xFFFF)
            return std::nullopt;
        list.push_back(static_cast<uint16_t>(*address));
        if (text.empty())
            return list;
        if (!TakeChar(text, ','))
            return std::nullopt;
    }
}

std::optional<std::vector<SimMemoryBreakpoint>> ParseMemoryList(std::string_view text) {
    std::vector<SimMemoryBreakpoint> list;
    if (text.empty())
        return list;
    while (true) {
        SimMemoryBreakpoint breakpoint;
        if (text.empty() || (text[0] != 'R' && text[0] != 'W' && text[0] != 'B'))
            return std::nullopt;
        breakpoint.type = text[0];
        text.remove_prefix(1);
        std::optional<uint32_t> address = TakeHex(text);
        if (!address || *address > 0xFFFF || !TakeChar(text, '-'))
            return std::nullopt;
        std::optional<uint32_t> length = TakeHex(text);
        if (!length)
            return std::nullopt;
        breakpoint.address = *address;
        breakpoint.length = *length;
        list.push_back(breakpoint);
        if (text.empty())
            return list;
        if (!TakeChar(text, ','))
            return std::nullopt;
    }
}

uint32_t Now() {
    return winport::GetTickCount();
}

// The tick count runs from a run request until the machine stops (stopped
// by setting the flags directly, it stops counting when next asked).
void SetRunning(SimDevice& device, bool running) {
    SimDevice::MachineFlags flags = device.Flags();
    flags.running = running;
    flags.busy = false;
    device.SetFlags(flags);
    if (running)
        device.Machine().StartClock(Now());
    else
        device.Machine().StopClock(Now());
}

std::string StateMessage(SimDevice& device, char letter) {
    const uint32_t now = Now();
    if (!device.Flags().running)
        device.Machine().StopClock(now);
    const SimPcodeMachine& machine = device.Machine();
    const uint32_t fl = machine.Register(kRegFL);
    std::string status = device.StatusField();
    status[0] = letter;
    char text[160];
    std::snprintf(text, sizeof text, "%s A:%04x B:%04x PC:%04x SP:%04x FL:%c%c%c/%u", status.c_str(),
                  machine.Register(kRegA), machine.Register(kRegB), machine.Register(kRegPC),
                  machine.Register(kRegSP), (fl & 1) ? 'C' : '*', (fl & 2) ? 'Z' : '*', (fl & 4) ? 'N' : '*',
                  machine.Ticks(now));
    return text;
}

void ReplyState(SimDevice& device, std::vector<std::string>& replies) {
    replies.push_back(StateMessage(device, 'A'));
}

// When the machine runs towards a target, it stops there later and says so.
void ScheduleStop(SimDevice& device, int32_t runTo) {
    SimPcodeMachine& machine = device.Machine();
    const uint64_t generation = machine.NewRunGeneration();
    const int32_t target = machine.NextStop(runTo);
    if (target < 0)
        return;
    device.SendLater(machine.StopDelayMs(),
                     [generation, target](SimDevice& later) -> std::optional<std::string> {
                         SimPcodeMachine& m = later.Machine();
                         if (m.RunGeneration() != generation || !later.Flags().running)
                             return std::nullopt;
                         m.SetRegister(kRegPC, static_cast<uint32_t>(target));
                         SetRunning(later, false);
                         m.NewRunGeneration();
                         return StateMessage(later, 'J');
                     });
}

void Run(SimDevice& device, int32_t runTo, std::vector<uint16_t> breakpoints,
         std::vector<std::string>& replies) {
    if (device.Flags().fileError) {
        // Without a loaded application there is nothing to run.
        ReplyState(device, replies);
        return;
    }
    device.Machine().SetCodeBreakpoints(std::move(breakpoints));
    SetRunning(device, true);
    ScheduleStop(device, runTo);
    ReplyState(device, replies);
}

void Stop(SimDevice& device) {
    SetRunning(device, false);
    device.Machine().NewRunGeneration();
}

// "PR+list" or "PRaddr+list".
void HandleRun(SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
    std::string_view text = command.text.substr(2);
    int32_t runTo = -1;
    if (!text.empty() && text.front() != '+') {
        std::optional<uint32_t> address = TakeHex(text);
        if (!address || *address > 0xFFFF) {
            replies.emplace_back(kRefused);
            return;
        }
        runTo = static_cast<int32_t>(*address);
    }
    std::optional<std::vector<uint16_t>> list;
    if (TakeChar(text, '+'))
        list = ParseCodeList(text);
    if (!list) {
        replies.emplace_back(kRefused);
        return;
    }
    Run(device, runTo, std::move(*list), replies);
}

void HandleBreak(SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
    if (command.text != "PB") {
        replies.emplace_back(kRefused);
        return;
    }
    Stop(device);
    ReplyState(device, replies);
}

void HandleRestart(SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
    if (command.text != "E") {
        replies.push_back(device.UnknownReply());
        return;
    }
    SimPcodeMachine& machine = device.Machine();
    Stop(device);
    for (SimRegister reg : {kRegA, kRegB, kRegPC, kRegFL})
        machine.SetRegister(reg, 0);
    machine.SetRegister(kRegSP, SimPcodeMachine::kInitialSP);
    machine.SetTicks(0);
    device.SetErrorCode(0);
    Run(device, -1, machine.CodeBreakpoints(), replies);
}

void HandleStepInstruction(SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
    if (command.text != "PS") {
        replies.emplace_back(kRefused);
        return;
    }
    SimPcodeMachine& machine = device.Machine();
    Stop(device);
    machine.SetRegister(kRegPC, machine.Register(kRegPC) + kInstructionLength);
    machine.AddTicks(1);
    ReplyState(device, replies);
}

// "POaddr-len+list", "POaddr-len,sp+list".
void HandleStep(SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
    std::string_view text = command.text.substr(2);
    std::optional<uint32_t> address = TakeHex(text);
    std::optional<uint32_t> length;
    std::optional<uint32_t> frame;
    if (address && TakeChar(text, '-'))
        length = TakeHex(text);
    const bool framed = length && TakeChar(text, ',');
    if (framed)
        frame = TakeHex(text);
    std::optional<std::vector<uint16_t>> list;
    if (length && framed == frame.has_value() && TakeChar(text, '+'))
        list = ParseCodeList(text);
    if (!list) {
        replies.emplace_back(kRefused);
        return;
    }
    SimPcodeMachine& machine = device.Machine();
    Stop(device);
    machine.SetCodeBreakpoints(std::move(*list));
    if (frame && *length == 0) {
        // Out of the frame: back to the return address on the stack.
        const uint32_t sp = machine.Register(kRegSP);
        machine.SetRegister(kRegPC, machine.At(sp) | (uint32_t{machine.At(sp + 1)} << 8));
        machine.SetRegister(kRegSP, sp + 2);
        machine.AddTicks(1);
    } else {
        machine.SetRegister(kRegPC, *address + *length);
        machine.AddTicks(std::max<uint32_t>(*length, 1));
    }
    ReplyState(device, replies);
}

void HandleCodeBreakpoints(SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
    std::optional<std::vector<uint16_t>> list = ParseCodeList(command.text.substr(2));
    if (!list) {
        replies.emplace_back(kRefused);
        return;
    }
    device.Machine().SetCodeBreakpoints(std::move(*list));
    if (device.Flags().running)
        ScheduleStop(device, -1);
    ReplyState(device, replies);
}

void HandleMemoryBreakpoints(SimDevice& device, const SimCommand& command,
                             std::vector<std::string>& replies) {
    std::optional<std::vector<SimMemoryBreakpoint>> list = ParseMemoryList(command.text.substr(2));
    if (!list) {
        replies.emplace_back(kRefused);
        return;
    }
    device.Machine().SetMemoryBreakpoints(std::move(*list));
    ReplyState(device, replies);
}

SimHandlers::Handler SetRegisterHandler(SimRegister reg) {
    return [reg](SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
        std::string_view text = command.text.substr(2);
        std::optional<uint32_t> value = TakeHex(text);
        if (!value || !text.empty()) {
            replies.emplace_back(kRefused);
            return;
        }
        device.Machine().SetRegister(reg, *value);
        ReplyState(device, replies);
    };
}

// "GMaddr,count": the reply puts the address at offset 10 and the bytes,
// three characters each, from offset 16.
void HandleReadMemory(SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
    std::string_view text = command.text.substr(2);
    std::optional<uint32_t> address = TakeHex(text);
    std::optional<uint32_t> count;
    if (address && TakeChar(text, ','))
        count = TakeHex(text);
    if (!count || !text.empty() || *count == 0 || *count > kMaxBlockBytes ||
        *address + *count > SimPcodeMachine::kMemorySize) {
        replies.emplace_back(kRefused);
        return;
    }
    const SimDevice::MachineFlags& flags = device.Flags();
    char head[32];
    std::snprintf(head, sizeof head, "A%c%c%c/%02x @ %04x: ", flags.fileError ? 'E' : '*',
                  flags.running ? 'R' : '*', flags.busy ? 'B' : '*', device.ErrorCode() & 0xFF, *address);
    std::string reply = head;
    for (uint8_t byte : device.Machine().Read(*address, *count)) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x ", byte);
        reply += hex;
    }
    replies.push_back(std::move(reply));
}

// "SMaddr,xx,xx...".
void HandleWriteMemory(SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
    std::string_view text = command.text.substr(2);
    std::optional<uint32_t> address = TakeHex(text);
    std::vector<uint8_t> bytes;
    while (address && TakeChar(text, ',')) {
        std::optional<uint32_t> byte = TakeHex(text);
        if (!byte || *byte > 0xFF)
            break;
        bytes.push_back(static_cast<uint8_t>(*byte));
    }
    if (!address || !text.empty() || bytes.empty() || bytes.size() > kMaxBlockBytes ||
        *address + bytes.size() > SimPcodeMachine::kMemorySize) {
        replies.emplace_back(kRefused);
        return;
    }
    device.Machine().Write(*address, bytes);
    replies.emplace_back("A");
}

SimHandlers::Handler PropertyHandler(bool load) {
    return [load](SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
        std::optional<int> sysCall = TakeDecimal(command.text.substr(2));
        SimPcodeMachine& machine = device.Machine();
        const bool done =
            sysCall && (load ? machine.LoadProperty(*sysCall) : machine.StoreProperty(*sysCall));
        replies.emplace_back(done ? "A" : kRefused);
    };
}

void HandleState(SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
    if (command.text != "PC") {
        replies.emplace_back(kRefused);
        return;
    }
    ReplyState(device, replies);
}

}  // namespace

SimPcodeMachine::SimPcodeMachine() {
    m_registers[kRegSP] = kInitialSP;
    // A few properties to look at: a version word, a serial number, a name.
    SetProperty(1, {0x02, 0x01});
    SetProperty(2, {0x78, 0x56, 0x34, 0x12});
    SetProperty(3, StringValue("SkOS", 16));
}

void SimPcodeMachine::SetRegister(SimRegister reg, uint32_t value) {
    switch (reg) {
        case kRegPC:
        case kRegSP:
            value &= 0xFFFF;
            break;
        case kRegFL:
            value &= 0x7;
            break;
        default:
            break;
    }
    m_registers[reg] = value;
}

uint32_t SimPcodeMachine::Ticks(uint32_t nowMs) const {
    return m_clockRunning ? m_ticks + (nowMs - m_clockStart) : m_ticks;
}

void SimPcodeMachine::StartClock(uint32_t nowMs) {
    if (m_clockRunning)
        return;
    m_clockRunning = true;
    m_clockStart = nowMs;
}

void SimPcodeMachine::StopClock(uint32_t nowMs) {
    if (!m_clockRunning)
        return;
    m_ticks = Ticks(nowMs);
    m_clockRunning = false;
}

void SimPcodeMachine::EnsureMemory() {
    if (m_memory.empty())
        m_memory.assign(kMemorySize, 0);
}

std::vector<uint8_t> SimPcodeMachine::Read(uint32_t address, size_t count) const {
    if (address >= kMemorySize)
        return {};
    count = std::min<size_t>(count, kMemorySize - address);
    if (m_memory.empty())
        return std::vector<uint8_t>(count, 0);
    return std::vector<uint8_t>(m_memory.begin() + address, m_memory.begin() + address + count);
}

void SimPcodeMachine::Write(uint32_t address, const std::vector<uint8_t>& bytes) {
    if (address >= kMemorySize || bytes.empty())
        return;
    EnsureMemory();
    const size_t count = std::min<size_t>(bytes.size(), kMemorySize - address);
    std::copy_n(bytes.begin(), count, m_memory.begin() + address);
}

uint8_t SimPcodeMachine::At(uint32_t address) const {
    address &= 0xFFFF;
    return m_memory.empty() ? 0 : m_memory[address];
}

int32_t SimPcodeMachine::NextStop(int32_t runTo) const {
    const uint32_t pc = m_registers[kRegPC];
    // Distance ahead of PC, PC itself last: a run never stops where it starts.
    auto ahead = [pc](uint32_t address) { return (address - pc - 1) & 0xFFFF; };
    int32_t best = runTo;
    for (uint16_t address : m_codeBreakpoints)
        if (best < 0 || ahead(address) < ahead(static_cast<uint32_t>(best)))
            best = address;
    return best;
}

const std::vector<uint8_t>* SimPcodeMachine::Property(int sysCall) const {
    auto it = m_properties.find(sysCall);
    return it == m_properties.end() ? nullptr : &it->second;
}

bool SimPcodeMachine::LoadProperty(int sysCall) {
    const std::vector<uint8_t>* value = Property(sysCall);
    if (!value)
        return false;
    Write(m_scratch, *value);
    return true;
}

bool SimPcodeMachine::StoreProperty(int sysCall) {
    auto it = m_properties.find(sysCall);
    if (it == m_properties.end())
        return false;
    std::vector<uint8_t> stored = Read(m_scratch, it->second.size());
    stored.resize(it->second.size(), 0);
    it->second = std::move(stored);
    return true;
}

std::vector<uint8_t> SimPcodeMachine::StringValue(std::string_view text, uint8_t capacity) {
    const size_t length = std::min<size_t>(text.size(), 255);
    capacity = std::max<uint8_t>(capacity, static_cast<uint8_t>(length));
    std::vector<uint8_t> value(size_t{capacity} + 2, 0);
    value[0] = static_cast<uint8_t>(length);
    value[1] = capacity;
    std::copy_n(text.begin(), length, value.begin() + 2);
    return value;
}

void AddDebuggerCommands(SimHandlers& handlers) {
    handlers.Add("PC", HandleState);
    handlers.Add("PR", HandleRun);
    handlers.Add("PB", HandleBreak);
    handlers.Add("E", HandleRestart);
    handlers.Add("PS", HandleStepInstruction);
    handlers.Add("PO", HandleStep);
    handlers.Add("CB", HandleCodeBreakpoints);
    handlers.Add("MB", HandleMemoryBreakpoints);
    handlers.Add("SA", SetRegisterHandler(kRegA));
    handlers.Add("SB", SetRegisterHandler(kRegB));
    handlers.Add("SP", SetRegisterHandler(kRegPC));
    handlers.Add("SS", SetRegisterHandler(kRegSP));
    handlers.Add("SF", SetRegisterHandler(kRegFL));
    handlers.Add("GM", HandleReadMemory);
    handlers.Add("SM", HandleWriteMemory);
    handlers.Add("GP", PropertyHandler(true));
    handlers.Add("SR", PropertyHandler(false));
}

}  // namespace oskan::sim
