#pragma once
// The network interfaces a limited broadcast goes out on: every interface that
// is up, is not the loopback and broadcasts over IPv4. On Linux a datagram to
// 255.255.255.255 leaves through the one interface the routing table picks,
// so devices on the machine's other links would never hear it; the socket
// sends one copy on each interface listed here instead.
//
// OSKAN_INTERFACES (names joined by commas) narrows the set for the process.

#include <netinet/in.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct BroadcastInterface {
    std::string name;
    unsigned index = 0;
    in_addr address{};    // the interface's own IPv4 address, the source of each copy
    in_addr broadcast{};  // its directed broadcast address, for the user's information
};

// The names OSKAN_INTERFACES (or a command line) asks for; empty means every
// interface that qualifies.
class InterfaceSelection {
public:
    InterfaceSelection() = default;
    // Names joined by commas; blanks around a name and empty entries are ignored.
    static InterfaceSelection Parse(std::string_view list);
    static InterfaceSelection FromEnvironment();

    bool IsRestricted() const { return !m_names.empty(); }
    bool Allows(std::string_view name) const;
    const std::vector<std::string>& Names() const { return m_names; }
    std::string Text() const;  // joined by commas, as OSKAN_INTERFACES takes it

private:
    std::vector<std::string> m_names;
};

class BroadcastInterfaces {
public:
    using List = std::vector<BroadcastInterface>;

    static constexpr const char* kEnvironmentVariable = "OSKAN_INTERFACES";

    // Every interface that qualifies now, in the system's order, one entry per
    // interface (its first IPv4 address), restricted to the selection.
    static List Enumerate(const InterfaceSelection& selection);
    // Why an interface of that name cannot carry broadcasts now; empty when it can.
    static std::string Unusable(std::string_view name);

    // The set for this process, read again whenever the system has reported a
    // change of links or addresses since the last call, or OSKAN_INTERFACES
    // changed. Safe from any thread.
    static BroadcastInterfaces& Shared();
    struct Snapshot {
        std::shared_ptr<const List> interfaces;
        bool restricted = false;  // OSKAN_INTERFACES was set: an empty list means "nowhere"
    };
    Snapshot Current();

    BroadcastInterfaces();
    ~BroadcastInterfaces();
    BroadcastInterfaces(const BroadcastInterfaces&) = delete;
    BroadcastInterfaces& operator=(const BroadcastInterfaces&) = delete;

private:
    // True when the system reported something since the last look (or we cannot tell).
    bool ChangesPending();

    std::mutex m_Lock;
    int m_hNotifications = -1;  // a routing socket subscribed to link and address changes
    bool m_bValid = false;
    std::string m_SelectionText;
    Snapshot m_Current;
};
