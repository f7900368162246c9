#pragma once
// Discovery of Device Servers: broadcasts the discovery request "#?" to the
// servers' port five times, 500 ms apart; every server answers each copy with
// everything the information object shows, so one scan needs no queries. A
// server that answered no copy is removed when the request expires.
//
// Every entry point (method, datagram, timer) holds a CompletionScope: the
// events are fired after the engine's state is final, and nothing the engine
// holds is touched after them. A sink may call anything, and drop the last
// reference, from any event.

#include <cstdint>
#include <list>
#include <unordered_map>

#include "Mirel/MirelEvents.h"
#include "common/CompletionScope.h"
#include "common/Retransmitter.h"
#include "common/WinServiceWnd.h"
#include "common/WinSocket.h"
#include "common/objects/SkConnectionPoint.h"
#include "common/objects/SkConnectionPointContainer.h"
#include "common/objects/SkObjectBase.h"
#include "ods/OdsDeviceInfo.h"
#include "ods/OdsInterfaces.h"

class COdsUdpRefresh final : public SkDualImpl<ISkRefresh>, public SkConnectionPointContainer {
public:
    static constexpr uint32_t kCompleted = 0;
    static constexpr uint32_t kCancelled = 1223;  // ERROR_CANCELLED
    static constexpr int kReceiveBufferSize = 2048;
    static constexpr int kSystemReceiveBuffer = 4 * 1024 * 1024;
    static constexpr uint32_t kTick = 50;
    static constexpr uint32_t kRetryInterval = 500;
    static constexpr uint32_t kTries = 5;
    // Anyone can answer with made-up MACs; a list is never grown past this.
    static constexpr size_t kMaxDevices = 65536;

    static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        return m_Aggregation.QueryInterface(riid, ppvObject);
    }
    ULONG AddRef() override { return m_Aggregation.AddRef(); }
    ULONG Release() override { return m_Aggregation.Release(); }

    // ISkRefresh
    HRESULT Refresh() override;
    HRESULT Cancel() override;
    HRESULT Reset() override;
    HRESULT get_DeviceInfo(LONG dwID, IDispatch** ppDeviceInfo) override;

    // For tools and tests.
    size_t DeviceCount() const { return m_lstDevices.size(); }
    bool IsBusy() const { return m_bBusy; }

private:
    friend class SkAggregation<COdsUdpRefresh>;
    using DeviceList = std::list<ComPtr<OdsDeviceInfo>>;

    COdsUdpRefresh();
    ~COdsUdpRefresh();
    HRESULT InternalQueryInterface(REFIID riid, void** ppvObject);
    IUnknown* Identity() { return static_cast<ISkRefresh*>(this); }

    void StopScan();
    void Complete(uint32_t error, const char* details);
    void FinishSendFailure();
    void RemoveSilentDevices();
    void ReportProgress();
    void OnReceive(const char* data, int length);

    static void ReceiveHandler(const char* data, int length, const SOCKADDR_IN* sender, void* user);
    static int SendHandler(RetransmitterPacket* packet, void* user, const void* data, int length);
    static void ExpireHandler(RetransmitterPacket* packet, void* user, const void* data, int length);
    static void ProgressTickHandler(void* user);

    void FireEvent(DISPID dispid, LONG value);

    static uint64_t MacKey(const uint8_t mac[6]);

    SkAggregation<COdsUdpRefresh> m_Aggregation{this};
    SkConnectionPoint m_cpRefreshEvents;
    SkConnectionPoint m_cpTrace;  // offered to hosts; discovery writes no trace
    bool m_bBusy = false;
    bool m_bDestroying = false;
    WinTimer m_ProgressTick;
    WinAsyncSocket m_Socket;
    SOCKADDR_IN m_Destination{};
    DeviceList m_lstDevices;  // in order of first discovery; one reference each
    std::unordered_map<uint32_t, DeviceList::iterator> m_DeviceMap;
    std::unordered_map<uint64_t, DeviceList::iterator> m_MacIndex;
    uint32_t m_dwNextDeviceId = 0;
    RetransmitterPacket* m_hProbe = nullptr;  // the discovery request, while it runs
    uint32_t m_dwLastSent = 0;
    uint32_t m_dwDeadline = 0;
    uint32_t m_dwScanStart = 0;
    bool m_bSendFailed = false;
    uint32_t m_dwSendError = 0;
    Retransmitter m_Retransmitter;
    CompletionQueue m_Completions;
};
