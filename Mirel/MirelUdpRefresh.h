#pragma once
// The discovery engine: broadcasts the echo request "_?" five times, keeps a
// list of every device that answers, asks each new one for its version ("X")
// and P-code machine state ("PC"), removes the devices that stayed silent, and
// reports progress, updates, removals and completion as events.
//
// Every entry point (method, datagram, timer) holds a Scope: the events are
// fired after the engine's state is final, and nothing the engine holds is
// touched after them (see CompletionScope). A sink may call anything, and
// drop the last reference, from any event.

#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <unordered_map>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "Mirel/MirelUdpDeviceInfo.h"
#include "common/CompletionScope.h"
#include "common/IntrusiveList.h"
#include "common/Retransmitter.h"
#include "common/WinServiceWnd.h"
#include "common/WinSocket.h"
#include "common/objects/SkConnectionPoint.h"
#include "common/objects/SkConnectionPointContainer.h"
#include "common/objects/SkObjectBase.h"

class CMirelUdpRefresh final : public SkDualImpl<ISkRefresh>, public SkConnectionPointContainer {
public:
    static constexpr uint32_t kCompleted = 0;
    static constexpr uint32_t kCancelled = 1223;  // ERROR_CANCELLED
    static constexpr int kReceiveBufferSize = 4096;
    // Room in the system's buffer for the answers of thousands of devices to one
    // broadcast, which all arrive at once.
    static constexpr int kSystemReceiveBuffer = 16 * 1024 * 1024;
    // Anyone can answer the echo with a made-up MAC, and each new MAC costs a
    // list entry and two queries that hold the retransmitter's window until
    // they expire. A new MAC is therefore listed only while its sender has
    // fewer than kMaxUnconfirmedPerSender new devices that have not yet answered
    // a query; a device confirms itself by answering one. When the scan holds
    // kMaxUnconfirmed of them, a new MAC takes the place of the oldest that has
    // answered the echo only once and has had no query sent yet: a real device
    // answers every copy of the echo and so keeps its place. Listed devices are
    // never turned away.
    static constexpr int kMaxUnconfirmedPerSender = 4;
    static constexpr size_t kMaxUnconfirmed = 16384;
    // Once a query has gone unanswered, the queries not yet sent of new devices
    // that answered the echo only once are dropped (they stay listed, as
    // devices whose queries expired), and no scan runs longer than kMaxScanMs:
    // what is still outstanding then is given up and the scan completes.
    static constexpr uint32_t kMaxScanMs = 20000;

    // Creates an object and queries it for riid.
    static HRESULT CreateInstance(REFIID riid, void** ppv);
    // The class object's creator: with an outer object (riid must then be
    // IID_IUnknown) an aggregated object, whose inner unknown goes to *ppv.
    static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

    // IUnknown: this object's, or the outer object's when aggregated.
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        return m_Aggregation.QueryInterface(riid, ppvObject);
    }
    ULONG AddRef() override { return m_Aggregation.AddRef(); }
    ULONG Release() override { return m_Aggregation.Release(); }

    // ISkRefresh. Refresh returns E_ABORT from the events fired while the
    // object is destroyed.
    HRESULT Refresh() override;
    HRESULT Cancel() override;
    HRESULT Reset() override;
    HRESULT get_DeviceInfo(LONG dwID, IDispatch** ppDeviceInfo) override;

    // For tools and tests: the listed devices in order of discovery.
    size_t DeviceCount() const { return m_lstDevices.size(); }
    template <typename F>
    void ForEachDevice(F&& f) const {
        for (const auto& device : m_lstDevices)
            f(*device.Get());
    }
    bool IsBusy() const { return m_bBusy; }

private:
    friend class SkAggregation<CMirelUdpRefresh>;

    enum RefreshPacketKind { RPK_ECHO = 0, RPK_VERSION = 1, RPK_STATE = 2 };

    struct RefreshPacket {
        ListLink<RefreshPacket> m_Link;
        RefreshPacketKind m_Kind = RPK_ECHO;
        CMirelUdpRefresh* m_pEngine = nullptr;
        MirelUdpDeviceInfo* m_pDevice = nullptr;  // not a counted reference
        uint32_t m_dwRequestId = 0;
        uint32_t m_dwLastSent = 0;
        uint32_t m_dwDeadline = 0;
        RetransmitterPacket* m_hPacket = nullptr;
    };

    struct RefreshConfig {
        uint32_t m_nTick = 50;
        uint32_t m_nRetryInterval = 500;
        uint32_t m_nTries = 5;
        uint32_t m_nWindow = 4;
        uint16_t m_nPort = 65535;
    };

    using DeviceList = std::list<ComPtr<MirelUdpDeviceInfo>>;

    // Held by every entry point: keeps the object alive and fires the events
    // when the outermost one ends.
    class Scope : public CompletionScope {
    public:
        explicit Scope(CMirelUdpRefresh* engine)
            : CompletionScope(engine->m_Completions, static_cast<ISkRefresh*>(engine)) {}
    };

    // Why the devices that did not answer the echo are being removed.
    enum class SilentWalk { None, EchoExpired, AtTimeLimit };

    CMirelUdpRefresh();
    ~CMirelUdpRefresh();
    // The interface map.
    HRESULT InternalQueryInterface(REFIID riid, void** ppvObject);
    // The body of Refresh, and its undoing when it runs out of memory.
    HRESULT StartScan(bool wasBusy);
    void AbandonStart(bool wasBusy);

    // Scan steps
    void StopScan();
    void Complete(uint32_t error, const char* details);
    void CompleteIfDone();
    void FinishSendFailure();
    RefreshPacket* CreateQuery(RefreshPacketKind kind, MirelUdpDeviceInfo* device);
    RefreshPacket* NewPacket(RefreshPacketKind kind, MirelUdpDeviceInfo* device, uint32_t requestId);
    void ReleaseRequest(RefreshPacket* packet);
    void ReportProgress();
    void StartSilentWalk(SilentWalk walk);
    void RemoveNextSilentDevice();
    void ContinueSilentWalk();
    void FinishSilentWalk();

    // Reply handling
    void OnReceive(const char* data, int length, const SOCKADDR_IN* sender);
    void OnEchoReply(const uint8_t mac[6], const SOCKADDR_IN* sender);
    void OnQueryReply(RefreshPacket* query, const char* body, int bodyLength);
    // False when a new MAC is turned away (see kMaxUnconfirmedPerSender).
    bool AdmitNewDevice(const uint8_t mac[6], const SOCKADDR_IN* sender);
    bool EvictOneShotDevice();
    void Forget(uint64_t key);
    void Confirm(const uint8_t mac[6]);
    void DetachQuery(RefreshPacket* packet);
    void DropOneShotQueries();
    void DropRequest(RefreshPacket* packet);
    void EndAtTimeLimit();
    void FinishAtTimeLimit();
    MirelUdpDeviceInfo* FindOrAddDevice(const uint8_t mac[6]);
    void UnlinkDevice(DeviceList::iterator it);

    // Callbacks of the socket, the retransmitter and the progress tick
    static void ReceiveHandler(const char* data, int length, const SOCKADDR_IN* sender, void* user);
    static int SendHandler(RetransmitterPacket* packet, void* user, const void* data, int length);
    static void ExpireHandler(RetransmitterPacket* packet, void* user, const void* data, int length);
    static void ProgressTickHandler(void* user);
    void OnExpired(RefreshPacket* packet);

    // Events
    void FireRefreshProgress(int percentage);
    void FireRefreshComplete(uint32_t error, const char* details);
    void FireDeviceUpdate(uint32_t id);
    void FireDeviceRemove(uint32_t id);

    static uint64_t MacKey(const uint8_t mac[6]);

    SkAggregation<CMirelUdpRefresh> m_Aggregation{this};
    SkConnectionPoint m_cpRefreshEvents;
    SkConnectionPoint m_cpTrace;  // offered to hosts; discovery writes no trace
    bool m_bBusy = false;
    WinTimer m_ProgressTick;
    WinAsyncSocket m_Socket;
    SOCKADDR_IN m_Destination{};
    DeviceList m_lstDevices;  // in order of first discovery; one reference each
    std::unordered_map<uint32_t, DeviceList::iterator> m_DeviceMap;
    std::unordered_map<uint64_t, DeviceList::iterator> m_MacIndex;  // replies are matched without a list walk
    // New devices of this scan that have not answered a query yet, how many
    // each sender has, and their order of arrival.
    struct Unconfirmed {
        uint32_t m_dwSender = 0;
        int m_nEchoAnswers = 1;
        RefreshPacket* m_pQueries[2] = {nullptr, nullptr};  // outstanding ones
    };
    std::unordered_map<uint64_t, Unconfirmed> m_Unconfirmed;
    std::unordered_map<uint32_t, int> m_UnconfirmedBySender;
    std::deque<uint64_t> m_UnconfirmedOrder;
    bool m_bQueryUnanswered = false;  // a query of this scan expired
    uint32_t m_dwNextDeviceId = 0;
    const RefreshConfig m_Config;
    RefreshPacket* m_pEchoPacket = nullptr;
    std::unordered_map<uint32_t, RefreshPacket*> m_PacketMap;
    IntrusiveList<RefreshPacket, &RefreshPacket::m_Link> m_lstPackets;  // owned records
    uint32_t m_dwNextRequestId = 0;
    Retransmitter m_Retransmitter;
    uint32_t m_dwScanStart = 0;
    // The removal of the devices silent to the echo, one per step; every stop
    // of the scan ends it.
    SilentWalk m_SilentWalk = SilentWalk::None;
    DeviceList::iterator m_SilentNext;
    RefreshPacket* m_pEndedEcho = nullptr;  // released when the walk is done
    // A send failure noticed inside the retransmitter, finished once the
    // retransmitter's operation has returned.
    bool m_bSendFailed = false;
    bool m_bDestroying = false;  // Refresh is refused from the final events
    uint32_t m_dwSendError = 0;
    CompletionQueue m_Completions;  // the events of the running entry points
};
