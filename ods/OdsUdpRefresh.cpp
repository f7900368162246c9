#include "ods/OdsUdpRefresh.h"

#include <vector>

#include "common/objects/SkEventFiring.h"
#include "ods/OdsProtocol.h"
#include "winport/base/errors.h"
#include "winport/com/ComEntry.h"
#include "winport/loop/ServiceLoop.h"

namespace {

constexpr HRESULT kSocketUnavailable = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);  // 0x800700B7
constexpr HRESULT kNoSuchDevice = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

}  // namespace

HRESULT COdsUdpRefresh::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown)
        return CLASS_E_NOAGGREGATION;
    return (new COdsUdpRefresh())->m_Aggregation.Create(outer, riid, ppv);
}

COdsUdpRefresh::COdsUdpRefresh()
    : m_cpRefreshEvents(Identity(), DIID__ISkRefreshEvents), m_cpTrace(Identity(), DIID__ISkTrace) {
    SetConnectionPoints({&m_cpRefreshEvents, &m_cpTrace});
    RetransmitterConfig config;
    config.m_nTick = kTick;
    config.m_nWindow = 1;
    config.m_nTransmissionLimit = kTries;
    config.m_nInterval = kRetryInterval;
    config.m_pfnSend = &COdsUdpRefresh::SendHandler;
    config.m_pfnExpire = &COdsUdpRefresh::ExpireHandler;
    m_Retransmitter.Configure(config);
}

// A running scan completes as cancelled to the sinks still connected.
COdsUdpRefresh::~COdsUdpRefresh() {
    m_bDestroying = true;
    Reset();
}

HRESULT COdsUdpRefresh::InternalQueryInterface(REFIID riid, void** ppvObject) {
    if (!ppvObject)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ISkRefresh) {
        *ppvObject = static_cast<ISkRefresh*>(this);
    } else if (riid == IID_IConnectionPointContainer) {
        *ppvObject = static_cast<IConnectionPointContainer*>(this);
    } else {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// ---------------------------------------------------------------- ISkRefresh

HRESULT COdsUdpRefresh::Refresh() {
    if (m_bDestroying)
        return E_ABORT;
    CompletionScope scope(m_Completions, m_bDestroying ? nullptr : Identity());
    // A scan in progress is discarded without an event.
    StopScan();
    if (!m_Socket.OpenDatagram(&COdsUdpRefresh::ReceiveHandler, this, kReceiveBufferSize))
        return kSocketUnavailable;
    m_Socket.SetSystemReceiveBuffer(kSystemReceiveBuffer);
    m_Destination = SOCKADDR_IN{};
    m_Destination.sin_family = AF_INET;
    m_Destination.sin_port = htons(OdsProtocol::kServerPort);
    m_Destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    for (auto& device : m_lstDevices)
        device->StartScan();
    m_dwScanStart = winport::GetTickCount() - 1;
    m_dwLastSent = 0;
    m_dwDeadline = 0;
    m_bBusy = true;
    m_bSendFailed = false;
    return winport::ComEntry([&] {
        m_ProgressTick.Set(kTick, &COdsUdpRefresh::ProgressTickHandler, this);
        m_hProbe = m_Retransmitter.AddPacket(OdsProtocol::kDiscoveryRequest, 2, this);
        if (!m_hProbe) {
            StopScan();
            return E_OUTOFMEMORY;
        }
        FinishSendFailure();
        return S_OK;
    });
}

HRESULT COdsUdpRefresh::Cancel() {
    if (!m_bBusy)
        return S_OK;
    CompletionScope scope(m_Completions, m_bDestroying ? nullptr : Identity());
    StopScan();
    Complete(kCancelled, "Refresh cancelled");
    return S_OK;
}

HRESULT COdsUdpRefresh::Reset() {
    CompletionScope scope(m_Completions, m_bDestroying ? nullptr : Identity());
    Cancel();
    // Released outside the list, so a device's destruction never meets a half
    // cleared list.
    DeviceList released;
    released.swap(m_lstDevices);
    m_DeviceMap.clear();
    m_MacIndex.clear();
    return S_OK;
}

HRESULT COdsUdpRefresh::get_DeviceInfo(LONG dwID, IDispatch** ppDeviceInfo) {
    if (!ppDeviceInfo)
        return E_POINTER;
    *ppDeviceInfo = nullptr;
    auto it = m_DeviceMap.find(static_cast<uint32_t>(dwID));
    if (it == m_DeviceMap.end())
        return kNoSuchDevice;
    return (*it->second)->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ppDeviceInfo));
}

// ---------------------------------------------------------------- scan steps

void COdsUdpRefresh::StopScan() {
    m_Retransmitter.RemoveAll();
    m_hProbe = nullptr;
    m_Socket.CloseDatagram();
    m_ProgressTick.Kill();
    m_bBusy = false;
    m_dwScanStart = 0;
}

void COdsUdpRefresh::Complete(uint32_t error, const char* details) {
    StopScan();
    m_Completions.Post([this, error, details] {
        winport::ComEntry([&] {
            return SkFireDispatchEvent(m_cpRefreshEvents, DISPID_OnRefreshComplete,
                                       {static_cast<LONG>(error), details});
        });
    });
}

void COdsUdpRefresh::FinishSendFailure() {
    if (!m_bSendFailed || !m_bBusy)
        return;
    m_bSendFailed = false;
    Complete(m_dwSendError, "Error sending packet");
}

void COdsUdpRefresh::RemoveSilentDevices() {
    for (auto it = m_lstDevices.begin(); it != m_lstDevices.end();) {
        if ((*it)->Ping() >= 0) {
            ++it;
            continue;
        }
        ComPtr<OdsDeviceInfo> device = *it;
        const uint32_t id = device->DeviceId();
        m_DeviceMap.erase(id);
        m_MacIndex.erase(MacKey(device->Mac()));
        it = m_lstDevices.erase(it);
        // The event holds the object until it has been fired.
        m_Completions.Post([this, id, device] {
            winport::ComEntry([&] {
                return SkFireDispatchEvent(m_cpRefreshEvents, DISPID_OnDeviceRemove, {static_cast<LONG>(id)});
            });
        });
    }
}

void COdsUdpRefresh::ReportProgress() {
    if (!m_bBusy)
        return;
    const uint32_t now = winport::GetTickCount();
    uint32_t horizon = now;
    if (m_dwDeadline != 0 && m_dwDeadline - m_dwScanStart > horizon - m_dwScanStart)
        horizon = m_dwDeadline;
    const uint32_t span = horizon - m_dwScanStart;
    const uint64_t percentage = span == 0 ? 100 : uint64_t{now - m_dwScanStart} * 100 / span;
    FireEvent(DISPID_OnRefreshProgress, static_cast<LONG>(percentage > 100 ? 100 : percentage));
}

void COdsUdpRefresh::OnReceive(const char* data, int length) {
    if (!m_bBusy || !m_hProbe || length <= 0)
        return;
    OdsProtocol::ServerRecord record;
    if (!OdsProtocol::ParseDiscoveryReply(std::string_view(data, static_cast<size_t>(length)), &record))
        return;
    const uint32_t replyTime = winport::GetTickCount() - m_dwLastSent;
    OdsDeviceInfo* device = nullptr;
    if (auto found = m_MacIndex.find(MacKey(record.mac)); found != m_MacIndex.end()) {
        device = found->second->Get();
    } else {
        if (m_lstDevices.size() >= kMaxDevices)
            return;
        ComPtr<OdsDeviceInfo> created = OdsDeviceInfo::Create();
        created->SetDeviceId(m_dwNextDeviceId++);
        m_lstDevices.push_back(created);
        auto it = std::prev(m_lstDevices.end());
        m_DeviceMap.emplace(created->DeviceId(), it);
        m_MacIndex.emplace(MacKey(record.mac), it);
        device = created.Get();
    }
    device->Update(record);
    device->AddSample(replyTime);
    FireEvent(DISPID_OnDeviceUpdate, static_cast<LONG>(device->DeviceId()));
}

// ---------------------------------------------------------------- callbacks

void COdsUdpRefresh::ReceiveHandler(const char* data, int length, const SOCKADDR_IN*, void* user) {
    auto* self = static_cast<COdsUdpRefresh*>(user);
    CompletionScope scope(self->m_Completions, self->Identity());
    winport::ComEntry([&] {
        self->OnReceive(data, length);
        return S_OK;
    });
}

int COdsUdpRefresh::SendHandler(RetransmitterPacket*, void* user, const void* data, int length) {
    auto* self = static_cast<COdsUdpRefresh*>(user);
    const uint32_t now = winport::GetTickCount();
    self->m_dwLastSent = now;
    if (self->m_dwDeadline == 0)
        self->m_dwDeadline = now + kTries * kRetryInterval;
    if (self->m_bSendFailed)
        return SOCKET_ERROR;
    const int sent = self->m_Socket.SendTo(data, length, &self->m_Destination);
    if (sent == SOCKET_ERROR) {
        // Stopping here would pull the packet from under the running
        // retransmitter operation; the stop is finished once it has returned.
        self->m_bSendFailed = true;
        self->m_dwSendError = static_cast<uint32_t>(WSAGetLastError());
    }
    return sent;
}

void COdsUdpRefresh::ExpireHandler(RetransmitterPacket*, void* user, const void*, int) {
    auto* self = static_cast<COdsUdpRefresh*>(user);
    // The retransmitter's walk is still running: the scan ends on the next tick.
    self->m_hProbe = nullptr;
}

void COdsUdpRefresh::ProgressTickHandler(void* user) {
    auto* self = static_cast<COdsUdpRefresh*>(user);
    CompletionScope scope(self->m_Completions, self->Identity());
    winport::ComEntry([&] {
        if (self->m_bSendFailed) {
            self->FinishSendFailure();
            return S_OK;
        }
        if (!self->m_hProbe) {
            self->StopScan();
            self->RemoveSilentDevices();
            self->FireEvent(DISPID_OnRefreshProgress, 100);
            self->Complete(kCompleted, "Refresh complete");
            return S_OK;
        }
        self->ReportProgress();
        self->m_ProgressTick.Set(kTick, &COdsUdpRefresh::ProgressTickHandler, self);
        return S_OK;
    });
}

void COdsUdpRefresh::FireEvent(DISPID dispid, LONG value) {
    m_Completions.Post([this, dispid, value] {
        winport::ComEntry([&] { return SkFireDispatchEvent(m_cpRefreshEvents, dispid, {value}); });
    });
}

uint64_t COdsUdpRefresh::MacKey(const uint8_t mac[6]) {
    uint64_t key = 0;
    for (int i = 0; i < 6; ++i)
        key = (key << 8) | mac[i];
    return key;
}
