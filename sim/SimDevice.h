#pragma once
// One simulated SkOS device: its identity, its P-code machine state, and the
// replies it gives. Pure logic: a request goes in, the reply datagrams come
// out; sockets, faults and timing belong to the Simulator.
//
// Requests are dispatched by their leading letters to handlers (the longest
// registered prefix wins, so "EC" and "E" or "QF" and "Q" can coexist). A text
// handler sees the command without its id suffix, and the id is appended to
// each of its replies; a binary handler (data blocks) sees the raw body.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/SimProtocol.h"

namespace oskan::sim {

// The values are those of OSKAN_PCODE_MACHINE_MODE.
enum class SimMachineMode { FileError = 1, Running = 2, StoppedIdle = 3, StoppedBusy = 4 };

// The kind under which the echo is counted and silenced.
inline constexpr std::string_view kEchoKind = "?";

class SimDevice;
class SimUpload;
class SimPcodeMachine;

// What a handler sees of one addressed request.
struct SimCommand {
    std::string_view body;  // the bytes after the bracket, as received
    std::string_view text;  // text handlers: the body without its id suffix
    std::optional<uint32_t> id;
};

class SimHandlers {
public:
    // A handler appends reply texts, without the bracketed MAC and (for text
    // handlers) without the id.
    using Handler =
        std::function<void(SimDevice& device, const SimCommand& command, std::vector<std::string>& replies)>;
    enum class Kind { Text, Binary };
    struct Entry {
        std::string prefix;
        Handler handler;
        Kind kind = Kind::Text;
    };

    // Replaces any handler registered under the same prefix.
    void Add(std::string prefix, Handler handler, Kind kind = Kind::Text);
    // For printable text commands that no prefix matches.
    void SetFallback(Handler handler) { m_fallback = std::move(handler); }

    // The entry with the longest prefix of body, or null.
    const Entry* Find(std::string_view body) const;
    const Handler& Fallback() const { return m_fallback; }

    // The standard set: "X", "PC", the device commands "B", "EC" and "H", and
    // the device's UnknownReply for any other text command.
    static std::shared_ptr<const SimHandlers> Defaults();

private:
    std::map<std::string, Entry, std::less<>> m_entries;
    size_t m_longestPrefix = 0;
    Handler m_fallback;
};

class SimDevice {
public:
    explicit SimDevice(const MacAddress& mac,
                       std::shared_ptr<const SimHandlers> handlers = SimHandlers::Defaults());

    const MacAddress& Mac() const { return m_mac; }
    const std::string& MacText() const { return m_macText; }

    const std::string& Version() const { return m_version; }
    void SetVersion(std::string version) { m_version = std::move(version); }
    const std::string& BuildId() const { return m_buildId; }
    void SetBuildId(std::string buildId) { m_buildId = std::move(buildId); }
    const std::string& ProjectName() const { return m_projectName; }
    void SetProjectName(std::string name) { m_projectName = std::move(name); }

    // The P-code machine flags as a state reply reports them.
    struct MachineFlags {
        bool fileError = false;
        bool running = false;
        bool busy = false;
    };
    const MachineFlags& Flags() const { return m_flags; }
    void SetFlags(const MachineFlags& flags) { m_flags = flags; }
    void SetMachineMode(SimMachineMode mode);
    // The mode the host reads from the flags.
    SimMachineMode MachineMode() const;
    uint32_t ErrorCode() const { return m_errorCode; }
    void SetErrorCode(uint32_t code) { m_errorCode = code; }

    // The reply to a text command that no handler knows ("A" at first).
    const std::string& UnknownReply() const { return m_unknownReply; }
    void SetUnknownReply(std::string reply) { m_unknownReply = std::move(reply); }

    // Device commands (sim/SimCommands.cpp). A reboot asked for by a command
    // is taken by the Simulator, which keeps the device silent for RebootMs;
    // Reboot() then ends it, and a MAC set meanwhile takes effect.
    uint64_t BuzzCount() const { return m_buzzes; }
    void Buzz() { ++m_buzzes; }
    uint32_t RebootMs() const { return m_rebootMs; }
    void SetRebootMs(uint32_t ms) { m_rebootMs = ms; }
    void RequestReboot() { m_rebootRequested = true; }
    bool TakeRebootRequest() { return std::exchange(m_rebootRequested, false); }
    const std::optional<MacAddress>& NextMac() const { return m_nextMac; }
    void SetNextMac(std::optional<MacAddress> mac) { m_nextMac = mac; }
    void Reboot();
    uint64_t RebootCount() const { return m_reboots; }

    // The upload protocol's state: the image taken, refusals to make
    // (sim/SimUpload.h).
    SimUpload& Upload();

    // The P-code machine that the debugger's requests work on
    // (sim/SimPcodeMachine.h).
    SimPcodeMachine& Machine();

    // Messages the device sends later on its own, such as the state of a
    // machine that stopped at a breakpoint. The Simulator takes them after
    // each request and, once the delay has passed, sends what the function
    // returns then (nothing: no message) to the host that sent the request.
    using LaterMessage = std::function<std::optional<std::string>(SimDevice& device)>;
    void SendLater(uint32_t delayMs, LaterMessage make) { m_later.emplace_back(delayMs, std::move(make)); }
    std::vector<std::pair<uint32_t, LaterMessage>> TakeLaterMessages() { return std::exchange(m_later, {}); }

    // "A", the error, running and busy flags ("*" when clear), "/" and the
    // error code in hexadecimal: "AE**/01".
    std::string StatusField() const;
    // "A" version "/" build id "/" project name.
    std::string VersionText() const;

    // The kind a request is counted under: the matching handler's prefix, else
    // the command's first one or two capital letters ("B", "EC", "H"); "?" for
    // the echo.
    std::string_view KindOf(const SimRequest& request) const;

    // The reply datagrams to a request; none when it is not addressed to this
    // device or not understood.
    std::vector<std::string> Handle(const SimRequest& request);
    std::vector<std::string> Handle(std::string_view datagram);

private:
    std::vector<std::string> HandleAddressed(std::string_view body);

    MacAddress m_mac;
    std::string m_macText;
    std::shared_ptr<const SimHandlers> m_handlers;
    std::string m_version = "1.00";
    std::string m_buildId;
    std::string m_projectName;
    MachineFlags m_flags;
    uint32_t m_errorCode = 0;
    std::string m_unknownReply = "A";
    uint64_t m_buzzes = 0;
    uint32_t m_rebootMs = 2000;
    bool m_rebootRequested = false;
    std::optional<MacAddress> m_nextMac;
    uint64_t m_reboots = 0;
    std::shared_ptr<SimUpload> m_upload;         // made on first use
    std::shared_ptr<SimPcodeMachine> m_machine;  // made on first use
    std::vector<std::pair<uint32_t, LaterMessage>> m_later;
};

}  // namespace oskan::sim
