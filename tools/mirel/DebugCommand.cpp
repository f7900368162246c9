#include "tools/mirel/DebugCommand.h"

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
#include "winport/loop/ServiceLoop.h"
#include "winport/host/SinkObject.h"
#include "winport/com/ocidl.h"
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

std::optional<Plan> MakePlan(const DebugOptions& options, std::string& problem) {
    const std::string& op = options.operation;
    const std::vector<std::string>& args = options.arguments;
    auto expect = [&](size_t count, const char* usage) {
        if (args.size() == count)
            return true;
        problem = std::string("usage: mirel debug MAC ") + usage;
        return false;
    };
    auto command = [](std::function<HRESULT(ISkDebuggee*)> start) {
        return Plan{Plan::Command, std::move(start)};
    };

    if (op == "state")
        return expect(0, "state") ? std::optional<Plan>(Plan{}) : std::nullopt;
    if (op == "run")
        return expect(0, "run") ? std::optional(command(&ISkDebuggee::Run)) : std::nullopt;
    if (op == "break")
        return expect(0, "break") ? std::optional(command(&ISkDebuggee::Break)) : std::nullopt;
    if (op == "restart")
        return expect(0, "restart") ? std::optional(command(&ISkDebuggee::Restart)) : std::nullopt;
    if (op == "step")
        return expect(0, "step") ? std::optional(command(&ISkDebuggee::StepInstruction)) : std::nullopt;
    if (op == "step-out")
        return expect(0, "step-out") ? std::optional(command(&ISkDebuggee::StepOut)) : std::nullopt;
    if (op == "run-to") {
        if (!expect(1, "run-to ADDR"))
            return std::nullopt;
        auto address = Address(args[0], problem);
        if (!address)
            return std::nullopt;
        return command([a = *address](ISkDebuggee* d) { return d->RunTo(a); });
    }
    if (op == "step-into" || op == "step-over") {
        if (!expect(2, op == "step-into" ? "step-into ADDR LEN" : "step-over ADDR LEN"))
            return std::nullopt;
        auto address = Address(args[0], problem);
        auto length = address ? ParseHexNumber(args[1]) : std::nullopt;
        if (address && !length)
            problem = "'" + args[1] + "' is not a length (hexadecimal)";
        if (!length)
            return std::nullopt;
        if (op == "step-into")
            return command([a = *address, l = *length](ISkDebuggee* d) { return d->StepInto(a, l); });
        return command([a = *address, l = *length](ISkDebuggee* d) { return d->StepOver(a, l); });
    }
    if (op == "set-register") {
        if (!expect(2, "set-register a|b|pc|sp|fl VALUE"))
            return std::nullopt;
        auto reg = Register(args[0], problem);
        auto value = reg ? ParseHexNumber(args[1]) : std::nullopt;
        if (reg && !value)
            problem = "'" + args[1] + "' is not a value (hexadecimal, at most 8 digits)";
        if (!value)
            return std::nullopt;
        return command(
            [r = *reg, v = *value](ISkDebuggee* d) { return d->SetRegisterValue(r, static_cast<int>(v)); });
    }
    if (op == "memory-breakpoints") {
        if (args.size() > 1) {
            problem = "usage: mirel debug MAC memory-breakpoints [r:ADDR:LEN,w:ADDR:LEN,b:ADDR:LEN]";
            return std::nullopt;
        }
        auto list = MemoryBreakpoints(args.empty() ? std::string() : args[0], problem);
        if (!list)
            return std::nullopt;
        return command([l = *list](ISkDebuggee* d) mutable {
            return d->SetMemoryBreakpoints(l.data(), static_cast<int>(l.size()));
        });
    }
    if (op == "read" || op == "read-property") {
        const bool property = op == "read-property";
        if (!expect(property ? 3 : 2, property ? "read-property SYSCALL ADDR LEN" : "read ADDR LEN"))
            return std::nullopt;
        std::optional<int> call = property ? SysCall(args[0], problem) : std::optional<int>(-1);
        auto address = call ? Address(args[property], problem) : std::nullopt;
        auto length = address ? Length(args[property + 1], *address, problem) : std::nullopt;
        if (!length)
            return std::nullopt;
        return Plan{Plan::Read, [c = *call, a = *address, l = *length](ISkDebuggee* d) {
                        return c < 0 ? d->ReadMemory(a, l, 0) : d->ReadProperty(c, a, l, 0);
                    }};
    }
    if (op == "read-string" || op == "read-string-property") {
        const bool property = op == "read-string-property";
        if (!expect(property ? 2 : 1, property ? "read-string-property SYSCALL ADDR" : "read-string ADDR"))
            return std::nullopt;
        std::optional<int> call = property ? SysCall(args[0], problem) : std::optional<int>(-1);
        auto address = call ? Address(args[property], problem) : std::nullopt;
        if (address && *address + 2 > kAddressSpace)
            problem = "a string needs two bytes of header at its address";
        if (!address || *address + 2 > kAddressSpace)
            return std::nullopt;
        return Plan{Plan::Read, [c = *call, a = *address](ISkDebuggee* d) {
                        return c < 0 ? d->ReadString(a, 0) : d->ReadStringProperty(c, a, 0);
                    }};
    }
    if (op == "write" || op == "write-property") {
        const bool property = op == "write-property";
        if (!expect(property ? 3 : 2,
                    property ? "write-property SYSCALL ADDR HEXBYTES" : "write ADDR HEXBYTES"))
            return std::nullopt;
        std::optional<int> call = property ? SysCall(args[0], problem) : std::optional<int>(-1);
        auto address = call ? Address(args[property], problem) : std::nullopt;
        auto data = address ? WriteData(args[property + 1], *address, problem) : std::nullopt;
        if (!data)
            return std::nullopt;
        return Plan{Plan::Write, [c = *call, a = *address, bytes = *data](ISkDebuggee* d) mutable {
                        const auto size = static_cast<ULONG>(bytes.size());
                        return c < 0 ? d->WriteMemory(a, size, bytes.data())
                                     : d->WriteProperty(c, a, size, bytes.data());
                    }};
    }
    problem =
        "'" + op +
        "' is not an operation (state, run, break, restart, step, step-out, run-to, step-into, step-over, "
        "set-register, memory-breakpoints, read, read-string, read-property, read-string-property, write, "
        "write-property)";
    return std::nullopt;
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
        if (m_point)
            m_point->Unadvise(m_cookie);
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
        ComPtr<IConnectionPointContainer> container;
        if (FAILED(m_connection.As(IID_IConnectionPointContainer, &container)) ||
            FAILED(
                container->FindConnectionPoint(IID__ISkDebuggeeEvents, m_point.ReleaseAndGetAddressOf())) ||
            FAILED(m_point->Advise(m_sink.Get(), &m_cookie))) {
            m_point.Reset();
            m_err << "mirel: cannot connect to the debugger's events\n";
            return false;
        }
        BSTR address = winport::AnsiToBstr(m_options.mac);
        HRESULT hr = m_connection->put_Address(address);
        SysFreeString(address);
        if (FAILED(hr)) {
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
    ComPtr<IConnectionPoint> m_point;
    DWORD m_cookie = 0;
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
