#pragma once
// Keeps every outgoing request until its owner removes it, resends it at a fixed
// interval, reports it through an expiry function after a number of
// transmissions, and keeps at most a window of packets in flight; the rest wait
// in order of addition.

#include <cstdint>
#include <memory>

#include "common/AliveGuard.h"
#include "common/IntrusiveList.h"
#include "common/WinServiceWnd.h"

struct RetransmitterPacket;

struct PacketConfig {
    using SendFunction = int (*)(RetransmitterPacket* packet, void* user, const void* data, int length);
    using ExpireFunction = void (*)(RetransmitterPacket* packet, void* user, const void* data, int length);

    int32_t m_nTransmissionLimit = 5;  // 0: never expires
    uint32_t m_nInterval = 500;        // milliseconds between two transmissions
    SendFunction m_pfnSend = nullptr;
    ExpireFunction m_pfnExpire = nullptr;
};

struct RetransmitterConfig {
    uint32_t m_nTick = 200;  // milliseconds
    uint32_t m_nWindow = 4;
    int32_t m_nTransmissionLimit = 5;
    uint32_t m_nInterval = 500;
    PacketConfig::SendFunction m_pfnSend = nullptr;
    PacketConfig::ExpireFunction m_pfnExpire = nullptr;
};

// One request held by the retransmitter; its address is the owner's handle.
struct RetransmitterPacket {
    ListLink<RetransmitterPacket> m_Link;
    void* m_pUser = nullptr;
    PacketConfig m_Config;
    bool m_bInFlight = false;
    uint32_t m_dwLastTransmission = 0;  // tick count
    int32_t m_nTransmissions = 0;       // in the current cycle
    uint64_t m_nTransmitSerial = 0;     // of its last transmission, engine-wide
    int m_nLength = 0;
    std::unique_ptr<uint8_t[]> m_Data;
};

class Retransmitter {
public:
    using Packet = RetransmitterPacket;

    Retransmitter() = default;
    Retransmitter(const Retransmitter&) = delete;
    Retransmitter& operator=(const Retransmitter&) = delete;
    ~Retransmitter();

    void Configure(const RetransmitterConfig& config);
    const RetransmitterConfig& Config() const { return m_Config; }

    // Copies the data; sends it at once when the window has room. Null when the
    // packet cannot be allocated (nothing changes then).
    Packet* AddPacket(const void* data, int length, void* user, const PacketConfig* config = nullptr);
    void RemovePacket(Packet* packet);
    void RemoveAll();
    // Suspends transmission while locked; the last unlock sends every packet in
    // flight at once with a fresh count. An unlock without a lock is ignored.
    void LockTransmission(BOOL lock);

    size_t InFlightCount() const { return m_nInFlight; }
    size_t WaitingCount() const { return m_lstWaiting.Size(); }
    bool IsTimerArmed() const { return m_bTimerArmed; }
    int32_t LockCount() const { return m_nTransmissionLockCount; }

private:
    using PacketList = IntrusiveList<Packet, &Packet::m_Link>;

    // Walks over the in-flight list, and every other place that calls a send
    // or expiry function: those may remove packets (any, or all) or destroy
    // the engine.
    using Walk = FrameStack<Packet>::Frame;

    static void OnTick(void* user);
    void Tick();
    void Transmit(Packet* packet);
    void EnterWindow(Packet* packet);
    // False when a send function destroyed the engine.
    bool PromoteWaiting();
    void UpdateTimer();
    void FreePacket(Packet* packet);

    PacketList m_lstWaiting;
    PacketList m_lstPackets;  // in flight, in order of entry into the window
    size_t m_nInFlight = 0;
    RetransmitterConfig m_Config;
    int32_t m_nTransmissionLockCount = 0;
    WinTimer m_Timer;
    bool m_bTimerArmed = false;
    FrameStack<Packet> m_Walks;
    uint64_t m_nTransmitSerial = 0;  // counts every transmission; never wraps
};
