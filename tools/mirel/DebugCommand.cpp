#include "tools/mirel/DebugCommand.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "tools/Printable.h"
#include "tools/mirel/DeviceCommand.h"
#include "tools/mirel/DeviceListOutput.h"
#include "tools/mirel/ObjectFactory.h"
#include "winport/com/ocidl.h"
#include "winport/host/Bstr.h"
#include "winport/host/EventConnection.h"
#include "winport/host/SinkObject.h"
#include "winport/loop/ServiceLoop.h"
#include "winport/loop/winsock.h"

namespace mirel {

namespace {

constexpr double kMaxTimeoutSeconds = 24 * 3600;
constexpr uint32_t kAddressSpace = 0x10000;

// The outcome of what the tool waits for.
struct Outcome {
    bool done = false;
    LONG error = 0;
    std::vector<uint8_t> data;
};

// The tool's sink of the debugger's events.
class DebugSink final : public winport::SinkObject<DebugSink, _ISkDebuggeeEvents, IID__ISkDebuggeeEvents> {
public:
    static ComPtr<DebugSink> Create() {
        ComPtr<DebugSink> sink;
        sink.Attach(new DebugSink());
        return sink;
    }

    HRESULT OnKeepAlive() override { return S_OK; }
    HRESULT OnPCodeMachineStateChange() override { return S_OK; }
    HRESULT OnMemoryProgress(int) override { return S_OK; }
    HRESULT OnError(LONG, const OLECHAR* details) override {
        lastError = details ? winport::Utf16ToAnsi(details) : std::string();
        return S_OK;
    }
    HRESULT OnDebugCommandComplete(LONG lError, const OLECHAR*) override {
        command.done = true;
        command.error = lError;
        return S_OK;
    }
    HRESULT OnReadMemoryComplete(LONG lError, const OLECHAR*, ULONG, ULONG dwLength, void* pvData,
                                 LONG) override {
        read.done = true;
        read.error = lError;
        if (pvData)
            read.data.assign(static_cast<uint8_t*>(pvData), static_cast<uint8_t*>(pvData) + dwLength);
        return S_OK;
    }

    Outcome command;
    Outcome read;
    std::string lastError;  // of replies that could not be read

private:
    friend class winport::SinkObject<DebugSink, _ISkDebuggeeEvents, IID__ISkDebuggeeEvents>;
    DebugSink() = default;
    ~DebugSink() = default;
};

// What the operation is: how to start it and which completion ends it.
struct Plan {
    enum Kind { State, Command, Read, Write };
    Kind kind = State;
    std::function<HRESULT(ISkDebuggee*)> start;
};

std::optional<uint32_t> Address(const std::string& text, std::string& problem) {
    std::optional<uint32_t> value = ParseHexNumber(text);
    if (!value || *value >= kAddressSpace) {
        problem = "'" + text + "' is not an address (hexadecimal, 0 to ffff)";
        return std::nullopt;
    }
    return value;
}

std::optional<uint32_t> Length(const std::string& text, uint32_t address, std::string& problem) {
    std::optional<uint32_t> value = ParseHexNumber(text);
    if (!value || *value == 0 || *value > kAddressSpace - address) {
        problem = "'" + text + "' is not a length (hexadecimal, at least 1, within the 64 KiB of memory)";
        return std::nullopt;
    }
    return value;
}

std::optional<int> SysCall(const std::string& text, std::string& problem) {
    long long value = -1;
    if (!text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos)
        value = std::stoll(text);
    if (value < 0 || value > INT_MAX) {
        problem = "'" + text + "' is not a system call number (decimal)";
        return std::nullopt;
    }
    return static_cast<int>(value);
}

std::optional<int> Register(const std::string& text, std::string& problem) {
    static const char* const kNames[] = {"a", "b", "pc", "sp", "fl"};
    for (int i = 0; i < 5; ++i)
        if (text == kNames[i])
            return i;
    problem = "'" + text + "' is not a register (a, b, pc, sp or fl)";
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> WriteData(const std::string& text, uint32_t address,
                                              std::string& problem) {
    std::optional<std::vector<uint8_t>> bytes = ParseHexBytes(text);
    if (!bytes || bytes->empty() || bytes->size() > kAddressSpace - address) {
        problem = "'" + text + "' is not the bytes to write (hexadecimal pairs, within the 64 KiB of memory)";
        return std::nullopt;
    }
    return bytes;
}

// "r:ADDR:LEN,w:ADDR:LEN,b:ADDR:LEN"
// The items of a list joined by ","; none for an empty text.
std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    if (text.empty())
        return items;
    size_t pos = 0;
    for (;;) {
        const size_t end = text.find(',', pos);
        items.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        if (end == std::string::npos)
            return items;
        pos = end + 1;
    }
}

std::optional<std::vector<OSKAN_MEMORY_BREAKPOINT>> MemoryBreakpoints(const std::string& text,
                                                                      std::string& problem) {
    std::vector<OSKAN_MEMORY_BREAKPOINT> list;
    for (const std::string& item : SplitList(text)) {
        const size_t colon = item.find(':', 2);
        std::optional<uint32_t> address, length;
        if (item.size() > 2 && item[1] == ':' && colon != std::string::npos) {
            address = ParseHexNumber(item.substr(2, colon - 2));
            length = ParseHexNumber(item.substr(colon + 1));
        }
        const std::string types = "rwb";
        const size_t type = item.empty() ? std::string::npos : types.find(item[0]);
        if (type == std::string::npos || !address || *address >= kAddressSpace || !length) {
            problem = "'" + item + "' is not a memory breakpoint (r:ADDR:LEN, w:ADDR:LEN or b:ADDR:LEN)";
            return std::nullopt;
        }
        list.push_back({static_cast<OSKAN_MEMORY_BREAKPOINT_TYPE>(type), *address, *length});
    }
    return list;
}

// What the arguments of an operation are, in the order they are given.
enum class Arg {
    kSysCall,        // decimal
    kAddress,        // hexadecimal, within the address space
    kStringAddress,  // an address with room for a string's two-byte header
    kStepLength,     // hexadecimal, any value
    kMemoryLength,   // hexadecimal, at least 1, within the memory from the address
    kRegister,       // a, b, pc, sp or fl
    kValue,          // hexadecimal, at most eight digits
    kBytes,          // hexadecimal pairs, within the memory from the address
    kBreakpointList  // r:ADDR:LEN,...; may be left out (none)
};

// The arguments once read; each operation uses its own.
struct Arguments {
    int call = -1;  // none: memory rather than a property
    uint32_t address = 0;
    uint32_t length = 0;
    int reg = 0;
    uint32_t value = 0;
    std::vector<uint8_t> bytes;
    std::vector<OSKAN_MEMORY_BREAKPOINT> breakpoints;
};

// One debugger operation: its name, its usage after "mirel debug MAC ", its
// arguments, and how it starts.
struct Operation {
    const char* name;
    const char* usage;
    std::vector<Arg> args;
    Plan::Kind kind;
    HRESULT (*start)(ISkDebuggee*, Arguments&);
};

const std::vector<Operation>& Operations() {
    using A = Arguments;
    using D = ISkDebuggee;
    static const std::vector<Operation> kOperations = {
        {"state", "state", {}, Plan::State, nullptr},
        {"run", "run", {}, Plan::Command, [](D* d, A&) { return d->Run(); }},
        {"break", "break", {}, Plan::Command, [](D* d, A&) { return d->Break(); }},
        {"restart", "restart", {}, Plan::Command, [](D* d, A&) { return d->Restart(); }},
        {"step", "step", {}, Plan::Command, [](D* d, A&) { return d->StepInstruction(); }},
        {"step-out", "step-out", {}, Plan::Command, [](D* d, A&) { return d->StepOut(); }},
        {"run-to",
         "run-to ADDR",
         {Arg::kAddress},
         Plan::Command,
         [](D* d, A& a) { return d->RunTo(a.address); }},
        {"step-into",
         "step-into ADDR LEN",
         {Arg::kAddress, Arg::kStepLength},
         Plan::Command,
         [](D* d, A& a) { return d->StepInto(a.address, a.length); }},
        {"step-over",
         "step-over ADDR LEN",
         {Arg::kAddress, Arg::kStepLength},
         Plan::Command,
         [](D* d, A& a) { return d->StepOver(a.address, a.length); }},
        {"set-register",
         "set-register a|b|pc|sp|fl VALUE",
         {Arg::kRegister, Arg::kValue},
         Plan::Command,
         [](D* d, A& a) { return d->SetRegisterValue(a.reg, static_cast<int>(a.value)); }},
        {"memory-breakpoints",
         "memory-breakpoints [r:ADDR:LEN,w:ADDR:LEN,b:ADDR:LEN]",
         {Arg::kBreakpointList},
         Plan::Command,
         [](D* d, A& a) {
             return d->SetMemoryBreakpoints(a.breakpoints.data(), static_cast<int>(a.breakpoints.size()));
         }},
        {"read",
         "read ADDR LEN",
         {Arg::kAddress, Arg::kMemoryLength},
         Plan::Read,
         [](D* d, A& a) { return d->ReadMemory(a.address, a.length, 0); }},
        {"read-string",
         "read-string ADDR",
         {Arg::kStringAddress},
         Plan::Read,
         [](D* d, A& a) { return d->ReadString(a.address, 0); }},
        {"read-property",
         "read-property SYSCALL ADDR LEN",
         {Arg::kSysCall, Arg::kAddress, Arg::kMemoryLength},
         Plan::Read,
         [](D* d, A& a) { return d->ReadProperty(a.call, a.address, a.length, 0); }},
        {"read-string-property",
         "read-string-property SYSCALL ADDR",
         {Arg::kSysCall, Arg::kStringAddress},
         Plan::Read,
         [](D* d, A& a) { return d->ReadStringProperty(a.call, a.address, 0); }},
        {"write",
         "write ADDR HEXBYTES",
         {Arg::kAddress, Arg::kBytes},
         Plan::Write,
         [](D* d, A& a) {
             return d->WriteMemory(a.address, static_cast<ULONG>(a.bytes.size()), a.bytes.data());
         }},
        {"write-property",
         "write-property SYSCALL ADDR HEXBYTES",
         {Arg::kSysCall, Arg::kAddress, Arg::kBytes},
         Plan::Write,
         [](D* d, A& a) {
             return d->WriteProperty(a.call, a.address, static_cast<ULONG>(a.bytes.size()), a.bytes.data());
         }},
    };
    return kOperations;
}

template <typename T>
bool Store(std::optional<T> value, T& into) {
    if (value)
        into = std::move(*value);
    return value.has_value();
}

// Reads one argument into its place; false, with the problem, when it is not one.
bool ReadArgument(Arg kind, const std::string& text, Arguments& a, std::string& problem) {
    switch (kind) {
        case Arg::kSysCall:
            return Store(SysCall(text, problem), a.call);
        case Arg::kAddress:
            return Store(Address(text, problem), a.address);
        case Arg::kStringAddress:
            if (!Store(Address(text, problem), a.address))
                return false;
            if (a.address + 2 <= kAddressSpace)
                return true;
            problem = "a string needs two bytes of header at its address";
            return false;
        case Arg::kStepLength:
            if (Store(ParseHexNumber(text), a.length))
                return true;
            problem = "'" + text + "' is not a length (hexadecimal)";
            return false;
        case Arg::kMemoryLength:
            return Store(Length(text, a.address, problem), a.length);
        case Arg::kRegister:
            return Store(Register(text, problem), a.reg);
        case Arg::kValue:
            if (Store(ParseHexNumber(text), a.value))
                return true;
            problem = "'" + text + "' is not a value (hexadecimal, at most 8 digits)";
            return false;
        case Arg::kBytes:
            return Store(WriteData(text, a.address, problem), a.bytes);
        case Arg::kBreakpointList:
            return Store(MemoryBreakpoints(text, problem), a.breakpoints);
    }
    return false;
}

bool CountFits(const Operation& operation, size_t count) {
    const size_t most = operation.args.size();
    const bool lastOptional = most > 0 && operation.args.back() == Arg::kBreakpointList;
    return count == most || (lastOptional && count == most - 1);
}

std::optional<Plan> MakePlan(const DebugOptions& options, std::string& problem) {
    const std::vector<Operation>& operations = Operations();
    auto operation = std::find_if(operations.begin(), operations.end(),
                                  [&](const Operation& o) { return options.operation == o.name; });
    if (operation == operations.end()) {
        problem = "'" + options.operation + "' is not an operation (";
        for (const Operation& o : operations)
            problem += std::string(o.name) + (&o == &operations.back() ? ")" : ", ");
        return std::nullopt;
    }
    const std::vector<std::string>& args = options.arguments;
    if (!CountFits(*operation, args.size())) {
        problem = std::string("usage: mirel debug MAC ") + operation->usage;
        return std::nullopt;
    }
    Arguments read;
    for (size_t i = 0; i < operation->args.size(); ++i)
        if (!ReadArgument(operation->args[i], i < args.size() ? args[i] : std::string(), read, problem))
            return std::nullopt;
    if (!operation->start)
        return Plan{};
    return Plan{operation->kind, [start = operation->start, read = std::move(read)](ISkDebuggee* d) mutable {
                    return start(d, read);
                }};
}

std::optional<std::vector<ULONG>> CodeBreakpoints(const std::string& text, std::string& problem) {
    std::vector<ULONG> list;
    for (const std::string& item : SplitList(text)) {
        auto address = Address(item, problem);
        if (!address)
            return std::nullopt;
        list.push_back(*address);
    }
    return list;
}

std::string FormatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

// One run: the device object, its link, and the deadline of the whole run.
class DebugSession {
public:
    DebugSession(const DebugOptions& options, std::ostream& err)
        : m_options(options),
          m_err(err),
          m_deadline(winport::ServiceLoop::Current().NowMs() +
                     static_cast<uint64_t>(options.timeoutSeconds * 1000.0)) {}
    ~DebugSession() {
        if (m_debuggee)
            m_debuggee->EndDebug();
        m_events.Disconnect();
        if (m_connection)
            m_connection->Disconnect();
    }

    bool Open() {
        std::string problem;
        if (FAILED(ObjectFactory::Create(kDeviceProgID, IID_ISkConnection,
                                         m_connection.ReleaseAndGetVoidAddressOf(), &problem))) {
            m_err << "mirel: " << problem << "\n";
            return false;
        }
        if (FAILED(m_connection.As(IID_ISkDebuggee, &m_debuggee))) {
            m_err << "mirel: the device object has no debugger interface\n";
            return false;
        }
        m_events = winport::EventConnection(m_connection.Get(), IID__ISkDebuggeeEvents, m_sink.Get());
        if (!m_events.Connected()) {
            m_err << "mirel: cannot connect to the debugger's events\n";
            return false;
        }
        if (FAILED(m_connection->put_Address(winport::Bstr::FromUtf8(m_options.mac).get()))) {
            m_err << "mirel: the device object refused the address " << m_options.mac << "\n";
            return false;
        }
        if (FAILED(m_connection->Connect())) {
            m_err << "mirel: cannot open a UDP socket: "
                  << winport::ErrorText(static_cast<uint32_t>(WSAGetLastError())) << "\n";
            return false;
        }
        return true;
    }

    ISkDebuggee* Debuggee() const { return m_debuggee.Get(); }

    // Starts a command (or write) and waits for its completion.
    int Command(const std::function<HRESULT(ISkDebuggee*)>& start, const char* what) {
        m_sink->command = Outcome{};
        if (int refused = Started(start(m_debuggee.Get()), what); refused != kExitOk)
            return refused;
        return Wait(m_sink->command, what);
    }
    int Read(const std::function<HRESULT(ISkDebuggee*)>& start, std::vector<uint8_t>* data) {
        m_sink->read = Outcome{};
        if (int refused = Started(start(m_debuggee.Get()), "the read"); refused != kExitOk)
            return refused;
        int result = Wait(m_sink->read, "the read");
        if (result == kExitOk)
            *data = m_sink->read.data;
        return result;
    }
    // Sets the code breakpoints; a running machine gets them at once, and
    // that is waited for.
    int SetBreakpoints(std::vector<ULONG>& list) {
        m_sink->command = Outcome{};
        HRESULT hr = m_debuggee->SetCodeBreakpoints(list.data(), static_cast<int>(list.size()));
        if (int refused = Started(hr, "--breakpoints"); refused != kExitOk)
            return refused;
        OSKAN_PCODE_MACHINE_STATE state{};
        if (m_debuggee->GetPCodeMachineState(&state) == S_OK)
            return kExitOk;
        return Wait(m_sink->command, "the breakpoints");
    }

private:
    int Started(HRESULT hr, const char* what) {
        if (SUCCEEDED(hr))
            return kExitOk;
        m_err << "mirel: " << what << " was refused: " << winport::ErrorText(static_cast<uint32_t>(hr))
              << "\n";
        return kExitUsage;
    }
    int Wait(const Outcome& outcome, const char* what) {
        winport::ServiceLoop& loop = winport::ServiceLoop::Current();
        const uint64_t now = loop.NowMs();
        if (now < m_deadline)
            loop.RunUntil([&] { return outcome.done; }, static_cast<uint32_t>(m_deadline - now));
        if (outcome.done && outcome.error == 0)
            return kExitOk;
        m_debuggee->Cancel();
        if (!m_sink->lastError.empty()) {
            m_err << "mirel: " << m_options.mac << " answered " << what
                  << " with replies that could not be read (" << oskan::tools::Printable(m_sink->lastError)
                  << ")\n";
            return kExitDeviceError;
        }
        m_err << "mirel: timed out after " << FormatSeconds(m_options.timeoutSeconds) << " s waiting for "
              << what << " from " << m_options.mac << "\n";
        return kExitTimeout;
    }

    const DebugOptions& m_options;
    std::ostream& m_err;
    const uint64_t m_deadline;
    ComPtr<DebugSink> m_sink = DebugSink::Create();
    ComPtr<ISkConnection> m_connection;
    ComPtr<ISkDebuggee> m_debuggee;
    winport::EventConnection m_events;
};

}  // namespace

std::optional<uint32_t> ParseHexNumber(const std::string& text) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 8 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
    return static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
}

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text) {
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-') {
            if (digits.size() % 2 != 0)
                return std::nullopt;  // a separator inside a pair
            continue;
        }
        digits += c;
    }
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.size() % 2 != 0 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string FormatMachineState(const OSKAN_PCODE_MACHINE_STATE& state, bool json) {
    if (json) {
        nlohmann::json object = {{"mode", ModeName(state.m_Mode)}, {"error", state.m_lError},
                                 {"a", state.m_Registers[0]},      {"b", state.m_Registers[1]},
                                 {"pc", state.m_Registers[2]},     {"sp", state.m_Registers[3]},
                                 {"flags", state.m_Registers[4]},  {"ticks", state.m_dwTickCount}};
        return object.dump();
    }
    char text[160];
    std::snprintf(text, sizeof text, "%s error=%x A=%04x B=%04x PC=%04x SP=%04x FL=%x ticks=%u",
                  ModeName(state.m_Mode), static_cast<uint32_t>(state.m_lError), state.m_Registers[0],
                  state.m_Registers[1], state.m_Registers[2], state.m_Registers[3], state.m_Registers[4],
                  state.m_dwTickCount);
    return text;
}

std::string FormatBytes(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += hex;
    }
    return text;
}

int RunDebug(const DebugOptions& options, std::ostream& out, std::ostream& err) {
    std::string problem;
    if (!IsMacText(options.mac))
        problem = "'" + options.mac +
                  "' is not a MAC address (six numbers of 0 to 255 joined by '.', e.g. 2.0.0.1.2.3)";
    else if (!(options.timeoutSeconds > 0 && options.timeoutSeconds <= kMaxTimeoutSeconds))
        problem =
            "--timeout must be more than 0 and at most " + FormatSeconds(kMaxTimeoutSeconds) + " seconds";
    std::optional<Plan> plan = problem.empty() ? MakePlan(options, problem) : std::nullopt;
    std::optional<std::vector<ULONG>> breakpoints;
    if (plan && options.breakpoints)
        breakpoints = CodeBreakpoints(*options.breakpoints, problem);
    if (!problem.empty()) {
        err << "mirel: " << problem << "\n";
        return kExitUsage;
    }

    DebugSession session(options, err);
    if (!session.Open())
        return kExitUsage;
    if (int result =
            session.Command([](ISkDebuggee* d) { return d->BeginDebug(); }, "the first machine state");
        result != kExitOk)
        return result;
    if (breakpoints)
        if (int result = session.SetBreakpoints(*breakpoints); result != kExitOk)
            return result;

    std::vector<uint8_t> data;
    int result = kExitOk;
    switch (plan->kind) {
        case Plan::State:
            break;
        case Plan::Command:
            result = session.Command(plan->start, ("'" + options.operation + "'").c_str());
            break;
        case Plan::Write:
            result = session.Command(plan->start, "the write");
            break;
        case Plan::Read:
            result = session.Read(plan->start, &data);
            break;
    }
    if (result != kExitOk)
        return result;
    if (plan->kind == Plan::Read) {
        if (options.json)
            out << nlohmann::json({{"bytes", FormatBytes(data.data(), data.size())}, {"length", data.size()}})
                       .dump()
                << "\n";
        else
            out << FormatBytes(data.data(), data.size()) << "\n";
        return kExitOk;
    }
    OSKAN_PCODE_MACHINE_STATE state{};
    session.Debuggee()->GetPCodeMachineState(&state);
    out << FormatMachineState(state, options.json) << "\n";
    return kExitOk;
}

CLI::App* DebugCommand::Register(CLI::App& app) {
    CLI::App* sub =
        app.add_subcommand("debug", "Control a device's P-code machine, read and write its memory");
    sub->add_option("mac", m_options.mac, "MAC address of the device, e.g. 2.0.0.1.2.3")->required();
    sub->add_option("operation", m_options.operation,
                    "state, run, break, restart, step, step-out, run-to, step-into, step-over, set-register, "
                    "memory-breakpoints, read, read-string, read-property, read-string-property, write, "
                    "write-property")
        ->required();
    sub->add_option(
        "arguments", m_options.arguments,
        "the operation's arguments: addresses, lengths and values in hexadecimal, system calls in "
        "decimal");
    m_breakpointsOption = sub->add_option("--breakpoints", m_breakpoints,
                                          "Code breakpoints to set first: addresses A,B,... in hexadecimal "
                                          "(an empty list clears them)");
    sub->add_flag("--json", m_options.json, "Print the machine state or the bytes read as a JSON object");
    sub->add_option("--timeout", m_options.timeoutSeconds,
                    "Seconds to wait for the device in all (default 10)");
    return sub;
}

int DebugCommand::Run() {
    if (m_breakpointsOption && m_breakpointsOption->count() > 0)
        m_options.breakpoints = m_breakpoints;
    return RunDebug(m_options, std::cout, std::cerr);
}

}  // namespace mirel
