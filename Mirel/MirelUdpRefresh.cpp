#include "Mirel/MirelUdpRefresh.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/MessageTransport.h"
#include "common/objects/SkEventFiring.h"
#include "winport/com/ComEntry.h"
#include "winport/loop/ServiceLoop.h"

namespace {

constexpr HRESULT kSocketUnavailable = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);  // 0x800700B7
constexpr HRESULT kNoSuchDevice = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);       // 0x80070002

// Reads the request id after a reply's "|" as strtoul would; false when no
// hexadecimal digit follows.
bool ReadRequestId(const char* text, uint32_t* id) {
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 16);
    if (end == text)
        return false;
    *id = value > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
    return true;
}

}  // namespace

HRESULT CMirelUdpRefresh::CreateInstance(REFIID riid, void** ppv) {
    return CreateInstance(nullptr, riid, ppv);
}

HRESULT CMirelUdpRefresh::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown)
        return CLASS_E_NOAGGREGATION;
    return (new CMirelUdpRefresh())->m_Aggregation.Create(outer, riid, ppv);
}

CMirelUdpRefresh::CMirelUdpRefresh()
    : m_cpRefreshEvents(static_cast<ISkRefresh*>(this), DIID__ISkRefreshEvents),
      m_cpTrace(static_cast<ISkRefresh*>(this), DIID__ISkTrace) {
    SetConnectionPoints({&m_cpRefreshEvents, &m_cpTrace});
    RetransmitterConfig config;
    config.m_nTick = m_Config.m_nTick;
    config.m_nWindow = m_Config.m_nWindow;
    config.m_nTransmissionLimit = static_cast<int32_t>(m_Config.m_nTries);
    config.m_nInterval = m_Config.m_nRetryInterval;
    config.m_pfnSend = &CMirelUdpRefresh::SendHandler;
    config.m_pfnExpire = &CMirelUdpRefresh::ExpireHandler;
    m_Retransmitter.Configure(config);
}

CMirelUdpRefresh::~CMirelUdpRefresh() {
    // A running scan completes as cancelled to the sinks still connected; a
    // scan they start from there could never complete.
    m_bDestroying = true;
    Reset();
}

HRESULT CMirelUdpRefresh::InternalQueryInterface(REFIID riid, void** ppvObject) {
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

HRESULT CMirelUdpRefresh::Refresh() {
    if (m_bDestroying)
        return E_ABORT;
    Scope scope(this);
    const bool wasBusy = m_bBusy;
    const HRESULT hr = winport::ComEntry([&] { return StartScan(wasBusy); });
    if (hr == E_OUTOFMEMORY || hr == E_UNEXPECTED)
        AbandonStart(wasBusy);
    return hr;
}

// A scan that could not start is not left half started; the one it
// interrupted still completes once, as cancelled.
void CMirelUdpRefresh::AbandonStart(bool wasBusy) {
    StopScan();
    if (wasBusy && m_bBusy) {
        winport::ComEntry([&] {
            Complete(kCancelled, "Refresh cancelled");
            return S_OK;
        });
        return;
    }
    m_Socket.CloseDatagram();
    m_ProgressTick.Kill();
    m_bBusy = false;
    m_dwScanStart = 0;
}

HRESULT CMirelUdpRefresh::StartScan(bool wasBusy) {
    StopScan();
    if (!m_Socket.OpenDatagram(&CMirelUdpRefresh::ReceiveHandler, this, kReceiveBufferSize)) {
        // The interrupted scan still ends with exactly one completion.
        if (wasBusy)
            Complete(kCancelled, "Refresh cancelled");
        return kSocketUnavailable;
    }
    m_Socket.SetSystemReceiveBuffer(kSystemReceiveBuffer);
    m_Destination = SOCKADDR_IN{};
    m_Destination.sin_family = AF_INET;
    m_Destination.sin_port = htons(m_Config.m_nPort);
    m_Destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);

    for (auto& device : m_lstDevices)
        device->PartialReset();

    m_dwNextRequestId = winport::GetTickCount();
    m_dwScanStart = winport::GetTickCount() - 1;
    m_bBusy = true;
    m_ProgressTick.Set(m_Config.m_nTick, &CMirelUdpRefresh::ProgressTickHandler, this);

    m_pEchoPacket = NewPacket(RPK_ECHO, nullptr, 0);
    m_pEchoPacket->m_hPacket = m_Retransmitter.AddPacket("_?", 2, m_pEchoPacket);
    FinishSendFailure();
    return S_OK;
}

HRESULT CMirelUdpRefresh::Cancel() {
    if (!m_bBusy)
        return S_OK;
    Scope scope(this);
    StopScan();
    // The scan has ended before its event is made; out of memory loses only the event.
    return winport::ComEntry([&] {
        Complete(kCancelled, "Refresh cancelled");
        return S_OK;
    });
}

HRESULT CMirelUdpRefresh::Reset() {
    Scope scope(this);
    const HRESULT cancelled = static_cast<ISkRefresh*>(this)->Cancel();
    // Released outside the list, so a device's destruction never meets a half
    // cleared list.
    DeviceList released;
    released.swap(m_lstDevices);
    m_DeviceMap.clear();
    m_MacIndex.clear();
    return cancelled;
}

HRESULT CMirelUdpRefresh::get_DeviceInfo(LONG dwID, IDispatch** ppDeviceInfo) {
    if (!ppDeviceInfo)
        return E_POINTER;
    *ppDeviceInfo = nullptr;
    return winport::ComEntry([&] {
        auto it = m_DeviceMap.find(static_cast<uint32_t>(dwID));
        if (it == m_DeviceMap.end())
            return kNoSuchDevice;
        return (*it->second)->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ppDeviceInfo));
    });
}

// ---------------------------------------------------------------- scan steps

void CMirelUdpRefresh::StopScan() {
    m_SilentWalk = SilentWalk::None;
    m_pEndedEcho = nullptr;
    m_Retransmitter.RemoveAll();
    while (RefreshPacket* packet = m_lstPackets.PopFront())
        std::unique_ptr<RefreshPacket> owned(packet);
    m_PacketMap.clear();
    m_pEchoPacket = nullptr;
    m_bSendFailed = false;
    m_Unconfirmed.clear();
    m_UnconfirmedBySender.clear();
    m_UnconfirmedOrder.clear();
    m_bQueryUnanswered = false;
}

void CMirelUdpRefresh::Complete(uint32_t error, const char* details) {
    m_Socket.CloseDatagram();
    m_ProgressTick.Kill();
    m_bBusy = false;
    m_dwScanStart = 0;
    m_bSendFailed = false;
    FireRefreshComplete(error, details);
}

void CMirelUdpRefresh::CompleteIfDone() {
    if (!m_bBusy || !m_lstPackets.Empty())
        return;
    if (m_bSendFailed)
        Complete(m_dwSendError, "Error sending packet");
    else
        Complete(kCompleted, "Refresh complete");
}

void CMirelUdpRefresh::FinishSendFailure() {
    if (!m_bSendFailed)
        return;
    const uint32_t error = m_dwSendError;
    StopScan();
    Complete(error, "Error sending packet");
}

CMirelUdpRefresh::RefreshPacket* CMirelUdpRefresh::NewPacket(RefreshPacketKind kind,
                                                             MirelUdpDeviceInfo* device, uint32_t requestId) {
    auto packet = std::make_unique<RefreshPacket>();
    packet->m_Kind = kind;
    packet->m_pEngine = this;
    packet->m_pDevice = device;
    packet->m_dwRequestId = requestId;
    RefreshPacket* record = packet.release();  // owned by m_lstPackets
    m_lstPackets.PushBack(record);
    if (requestId != 0)
        m_PacketMap[requestId] = record;
    return record;
}

CMirelUdpRefresh::RefreshPacket* CMirelUdpRefresh::CreateQuery(RefreshPacketKind kind,
                                                               MirelUdpDeviceInfo* device) {
    if (m_dwNextRequestId == 0)
        ++m_dwNextRequestId;
    const uint32_t requestId = m_dwNextRequestId++;
    const uint8_t* mac = device->Mac();
    char text[64];
    int length = std::snprintf(text, sizeof text, "_[%u.%u.%u.%u.%u.%u]%s|%08x", mac[0], mac[1], mac[2],
                               mac[3], mac[4], mac[5], kind == RPK_VERSION ? "X" : "PC", requestId);
    RefreshPacket* query = NewPacket(kind, device, requestId);
    query->m_hPacket = m_Retransmitter.AddPacket(text, length, query);
    return query;
}

void CMirelUdpRefresh::ReleaseRequest(RefreshPacket* packet) {
    DetachQuery(packet);
    m_Retransmitter.RemovePacket(packet->m_hPacket);
    m_lstPackets.Remove(packet);
    if (packet->m_dwRequestId != 0)
        m_PacketMap.erase(packet->m_dwRequestId);
    if (packet == m_pEchoPacket)
        m_pEchoPacket = nullptr;
    std::unique_ptr<RefreshPacket> owned(packet);
    ReportProgress();
}

void CMirelUdpRefresh::ReportProgress() {
    const uint32_t now = winport::GetTickCount();
    uint32_t horizon = winport::GetTickCount();
    // Distances from the scan start, so the tick count may wrap during a scan.
    for (RefreshPacket* packet = m_lstPackets.Front(); packet;
         packet = decltype(m_lstPackets)::Next(packet)) {
        if (packet->m_dwDeadline == 0)
            break;
        if (packet->m_dwDeadline - m_dwScanStart > horizon - m_dwScanStart)
            horizon = packet->m_dwDeadline;
    }
    const uint32_t percentage = (now - m_dwScanStart) * 100u / (horizon - m_dwScanStart);
    FireRefreshProgress(static_cast<int>(percentage));
}

// The echo's answers are all in: the devices that gave none leave the list,
// one per step, so that a sink may stop, restart or reset the scan from each
// removal before the next.
void CMirelUdpRefresh::StartSilentWalk(SilentWalk walk) {
    m_pEndedEcho = std::exchange(m_pEchoPacket, nullptr);
    m_SilentWalk = walk;
    m_SilentNext = m_lstDevices.begin();
    RemoveNextSilentDevice();
}

void CMirelUdpRefresh::RemoveNextSilentDevice() {
    // Nothing else changes the list while the walk runs: echo answers are no
    // longer taken, and every stop of the scan ends the walk.
    for (auto it = m_SilentNext; it != m_lstDevices.end(); ++it) {
        if ((*it)->Ping() != -1)
            continue;
        m_SilentNext = std::next(it);
        const uint32_t id = (*it)->DeviceId();
        UnlinkDevice(it);
        FireDeviceRemove(id);
        m_Completions.Post([this] { ContinueSilentWalk(); });
        return;
    }
    FinishSilentWalk();
}

void CMirelUdpRefresh::ContinueSilentWalk() {
    if (m_SilentWalk == SilentWalk::None)
        return;  // the scan stopped
    Scope scope(this);
    RemoveNextSilentDevice();
}

void CMirelUdpRefresh::FinishSilentWalk() {
    const SilentWalk walk = std::exchange(m_SilentWalk, SilentWalk::None);
    if (walk == SilentWalk::AtTimeLimit) {
        FinishAtTimeLimit();
        return;
    }
    if (m_bQueryUnanswered)
        DropOneShotQueries();
    ReleaseRequest(std::exchange(m_pEndedEcho, nullptr));
    CompleteIfDone();
}

void CMirelUdpRefresh::UnlinkDevice(DeviceList::iterator it) {
    m_DeviceMap.erase((*it)->DeviceId());
    m_MacIndex.erase(MacKey((*it)->Mac()));
    m_lstDevices.erase(it);
}

// ---------------------------------------------------------------- replies

void CMirelUdpRefresh::ReceiveHandler(const char* data, int length, const SOCKADDR_IN* sender, void* user) {
    auto* self = static_cast<CMirelUdpRefresh*>(user);
    Scope scope(self);
    // A send failure ends the scan first; its completion waits for the scope,
    // so the datagram of the failed scan is not read.
    self->FinishSendFailure();
    if (self->m_bBusy)
        self->OnReceive(data, length, sender);
    self->FinishSendFailure();
}

void CMirelUdpRefresh::OnReceive(const char* data, int length, const SOCKADDR_IN* sender) {
    if (length < 1 || data[0] != '[')
        return;
    const char* close = static_cast<const char*>(std::memchr(data, ']', static_cast<size_t>(length)));
    if (!close)
        return;
    uint8_t mac[6];
    if (MessageTransport::ParseMacText(data + 1, static_cast<int>(close - data) - 1, mac) != 6)
        return;

    // The datagram is zero-terminated; the text ends at the first zero.
    const char* body = close + 1;
    const char* bar = std::strchr(body, '|');
    if (!bar) {
        if (m_pEchoPacket)
            OnEchoReply(mac, sender);
        return;
    }
    uint32_t requestId = 0;
    if (!ReadRequestId(bar + 1, &requestId))
        return;
    auto it = m_PacketMap.find(requestId);
    if (it == m_PacketMap.end())
        return;
    RefreshPacket* query = it->second;
    if (std::memcmp(query->m_pDevice->Mac(), mac, 6) != 0)
        return;
    OnQueryReply(query, body, static_cast<int>(bar - body));
}

bool CMirelUdpRefresh::AdmitNewDevice(const uint8_t mac[6], const SOCKADDR_IN* sender) {
    const uint64_t key = MacKey(mac);
    if (m_MacIndex.count(key)) {
        auto unconfirmed = m_Unconfirmed.find(key);
        if (unconfirmed != m_Unconfirmed.end())
            ++unconfirmed->second.m_nEchoAnswers;
        return true;
    }
    const uint32_t address = sender ? sender->sin_addr.s_addr : 0;
    auto pending = m_UnconfirmedBySender.find(address);
    if (pending != m_UnconfirmedBySender.end() && pending->second >= kMaxUnconfirmedPerSender)
        return false;
    if (m_Unconfirmed.size() >= kMaxUnconfirmed && !EvictOneShotDevice())
        return false;
    ++m_UnconfirmedBySender[address];
    m_Unconfirmed[key].m_dwSender = address;
    m_UnconfirmedOrder.push_back(key);
    return true;
}

// Takes the place of the oldest new device that answered the echo once and
// has had no query sent: it leaves the list. False when there is none.
bool CMirelUdpRefresh::EvictOneShotDevice() {
    while (!m_UnconfirmedOrder.empty()) {
        const uint64_t key = m_UnconfirmedOrder.front();
        m_UnconfirmedOrder.pop_front();  // whoever is passed over can never be taken later
        auto it = m_Unconfirmed.find(key);
        if (it == m_Unconfirmed.end() || it->second.m_nEchoAnswers > 1)
            continue;
        bool sent = false;
        for (RefreshPacket* query : it->second.m_pQueries)
            sent |= query && query->m_dwDeadline != 0;
        if (sent)
            continue;
        for (RefreshPacket*& query : it->second.m_pQueries) {
            if (query)
                DropRequest(std::exchange(query, nullptr));
        }
        Forget(key);
        auto listed = m_MacIndex.find(key);
        if (listed != m_MacIndex.end()) {
            const uint32_t id = (*listed->second)->DeviceId();
            UnlinkDevice(listed->second);
            FireDeviceRemove(id);
        }
        return true;
    }
    return false;
}

void CMirelUdpRefresh::Forget(uint64_t key) {
    auto it = m_Unconfirmed.find(key);
    if (it == m_Unconfirmed.end())
        return;
    auto sender = m_UnconfirmedBySender.find(it->second.m_dwSender);
    if (sender != m_UnconfirmedBySender.end() && --sender->second <= 0)
        m_UnconfirmedBySender.erase(sender);
    m_Unconfirmed.erase(it);
}

void CMirelUdpRefresh::Confirm(const uint8_t mac[6]) {
    Forget(MacKey(mac));
}

void CMirelUdpRefresh::DetachQuery(RefreshPacket* packet) {
    if (packet->m_Kind == RPK_ECHO || !packet->m_pDevice)
        return;
    auto it = m_Unconfirmed.find(MacKey(packet->m_pDevice->Mac()));
    if (it == m_Unconfirmed.end())
        return;
    for (RefreshPacket*& query : it->second.m_pQueries) {
        if (query == packet)
            query = nullptr;
    }
}

// A query went unanswered, so someone may be answering the echo for devices
// that do not exist: new devices that answered only one copy of the echo lose
// the queries not sent yet, which would each hold the window for seconds.
void CMirelUdpRefresh::DropOneShotQueries() {
    for (auto& [key, entry] : m_Unconfirmed) {
        if (entry.m_nEchoAnswers > 1)
            continue;
        for (RefreshPacket*& query : entry.m_pQueries) {
            if (query && query->m_dwDeadline == 0)
                DropRequest(std::exchange(query, nullptr));
        }
    }
}

// Releases a request that was never sent, without a progress event: it waits
// in the retransmitter's queue, so removing it sends nothing.
void CMirelUdpRefresh::DropRequest(RefreshPacket* packet) {
    m_Retransmitter.RemovePacket(packet->m_hPacket);
    m_lstPackets.Remove(packet);
    if (packet->m_dwRequestId != 0)
        m_PacketMap.erase(packet->m_dwRequestId);
    delete packet;
}

void CMirelUdpRefresh::EndAtTimeLimit() {
    if (m_pEchoPacket)
        StartSilentWalk(SilentWalk::AtTimeLimit);
    else
        FinishAtTimeLimit();
}

void CMirelUdpRefresh::FinishAtTimeLimit() {
    StopScan();
    ReportProgress();
    Complete(kCompleted, "Refresh complete");
}

MirelUdpDeviceInfo* CMirelUdpRefresh::FindOrAddDevice(const uint8_t mac[6]) {
    auto found = m_MacIndex.find(MacKey(mac));
    if (found != m_MacIndex.end())
        return found->second->Get();
    ComPtr<MirelUdpDeviceInfo> device = MirelUdpDeviceInfo::Create();
    device->SetDeviceId(m_dwNextDeviceId++);
    device->SetMac(mac);
    auto it = m_lstDevices.insert(m_lstDevices.end(), std::move(device));
    m_DeviceMap[(*it)->DeviceId()] = it;
    m_MacIndex[MacKey(mac)] = it;
    return it->Get();
}

void CMirelUdpRefresh::OnEchoReply(const uint8_t mac[6], const SOCKADDR_IN* sender) {
    const uint32_t replyTime = winport::GetTickCount() - m_pEchoPacket->m_dwLastSent;
    if (!AdmitNewDevice(mac, sender))
        return;
    ComPtr<MirelUdpDeviceInfo> device(FindOrAddDevice(mac));
    if (device->Ping() == -1) {
        char ip[INET_ADDRSTRLEN] = "";
        if (sender)
            inet_ntop(AF_INET, &sender->sin_addr, ip, sizeof ip);
        device->SetText(MirelUdpDeviceInfo::kIpAddress, ip, std::strlen(ip));
        RefreshPacket* version = CreateQuery(RPK_VERSION, device.Get());
        RefreshPacket* state = CreateQuery(RPK_STATE, device.Get());
        auto unconfirmed = m_Unconfirmed.find(MacKey(mac));
        if (unconfirmed != m_Unconfirmed.end()) {
            unconfirmed->second.m_pQueries[0] = version;
            unconfirmed->second.m_pQueries[1] = state;
        }
    }
    device->AddSample(replyTime);
    FireDeviceUpdate(device->DeviceId());
}

namespace {

struct VersionFields {
    std::string_view version, buildId, projectName;
};

bool ParseVersionBody(std::string_view body, VersionFields* fields) {
    if (body.empty() || body[0] != 'A')
        return false;
    size_t first = body.find('/');
    if (first == std::string_view::npos)
        return false;
    fields->version = body.substr(1, first - 1);
    size_t second = body.find('/', first + 1);
    if (second == std::string_view::npos) {
        fields->buildId = body.substr(first + 1);
        fields->projectName = {};
    } else {
        fields->buildId = body.substr(first + 1, second - first - 1);
        fields->projectName = body.substr(second + 1);
    }
    return true;
}

}  // namespace

void CMirelUdpRefresh::OnQueryReply(RefreshPacket* query, const char* body, int bodyLength) {
    VersionFields fields;
    OSKAN_PCODE_MACHINE_MODE mode = OPCM_MODE_UNKNOWN;
    if (query->m_Kind == RPK_VERSION) {
        if (!ParseVersionBody(std::string_view(body, static_cast<size_t>(bodyLength)), &fields))
            return;
    } else if (!MessageTransport::ParseStatusField(body, bodyLength, &mode, nullptr)) {
        return;
    }
    const uint32_t replyTime = winport::GetTickCount() - query->m_dwLastSent;
    const RefreshPacketKind kind = query->m_Kind;
    ComPtr<MirelUdpDeviceInfo> device(query->m_pDevice);
    Confirm(device->Mac());
    ReleaseRequest(query);

    if (kind == RPK_VERSION) {
        device->SetText(MirelUdpDeviceInfo::kVersion, fields.version.data(), fields.version.size());
        device->SetText(MirelUdpDeviceInfo::kBuildId, fields.buildId.data(), fields.buildId.size());
        device->SetText(MirelUdpDeviceInfo::kProjectName, fields.projectName.data(),
                        fields.projectName.size());
    } else {
        device->SetMode(mode);
    }
    device->AddSample(replyTime);
    FireDeviceUpdate(device->DeviceId());
    CompleteIfDone();
}

// ---------------------------------------------------------------- callbacks

int CMirelUdpRefresh::SendHandler(RetransmitterPacket*, void* user, const void* data, int length) {
    auto* packet = static_cast<RefreshPacket*>(user);
    CMirelUdpRefresh* self = packet->m_pEngine;
    const uint32_t now = winport::GetTickCount();
    packet->m_dwLastSent = now;
    if (packet->m_dwDeadline == 0)
        packet->m_dwDeadline = now + self->m_Config.m_nTries * self->m_Config.m_nRetryInterval;
    if (self->m_bSendFailed)
        return SOCKET_ERROR;  // the scan is already being stopped
    int sent = self->m_Socket.SendTo(data, length, &self->m_Destination);
    if (sent == SOCKET_ERROR) {
        // Stopping here would pull the packets from under the running
        // retransmitter operation; the stop is finished once it has returned.
        self->m_bSendFailed = true;
        self->m_dwSendError = static_cast<uint32_t>(WSAGetLastError());
    }
    return sent;
}

void CMirelUdpRefresh::ExpireHandler(RetransmitterPacket*, void* user, const void*, int) {
    auto* packet = static_cast<RefreshPacket*>(user);
    CMirelUdpRefresh* self = packet->m_pEngine;
    Scope scope(self);
    self->OnExpired(packet);
}

void CMirelUdpRefresh::OnExpired(RefreshPacket* packet) {
    if (packet == m_pEchoPacket) {
        StartSilentWalk(SilentWalk::EchoExpired);
        return;
    }
    if (packet == m_pEndedEcho)
        return;  // the running walk releases it
    m_bQueryUnanswered = true;
    DetachQuery(packet);
    DropOneShotQueries();
    ReleaseRequest(packet);
    CompleteIfDone();
}

void CMirelUdpRefresh::ProgressTickHandler(void* user) {
    auto* self = static_cast<CMirelUdpRefresh*>(user);
    Scope scope(self);
    if (self->m_bSendFailed) {
        self->FinishSendFailure();
        return;
    }
    if (self->m_bBusy && winport::GetTickCount() - (self->m_dwScanStart + 1) >= kMaxScanMs) {
        self->EndAtTimeLimit();
        return;
    }
    self->ReportProgress();
    if (self->m_bBusy)
        self->m_ProgressTick.Set(self->m_Config.m_nTick, &CMirelUdpRefresh::ProgressTickHandler, self);
}

uint64_t CMirelUdpRefresh::MacKey(const uint8_t mac[6]) {
    uint64_t key = 0;
    for (int i = 0; i < 6; ++i)
        key = (key << 8) | mac[i];
    return key;
}

// ---------------------------------------------------------------- events

// Posted: fired when the running entry point ends.
void CMirelUdpRefresh::FireRefreshProgress(int percentage) {
    m_Completions.Post([this, percentage] {
        SkFireDispatchEvent(m_cpRefreshEvents, DISPID_OnRefreshProgress, {static_cast<LONG>(percentage)});
    });
}

void CMirelUdpRefresh::FireRefreshComplete(uint32_t error, const char* details) {
    m_Completions.Post([this, error, details] {
        SkFireDispatchEvent(m_cpRefreshEvents, DISPID_OnRefreshComplete, {static_cast<LONG>(error), details});
    });
}

void CMirelUdpRefresh::FireDeviceUpdate(uint32_t id) {
    m_Completions.Post([this, id] {
        SkFireDispatchEvent(m_cpRefreshEvents, DISPID_OnDeviceUpdate, {static_cast<LONG>(id)});
    });
}

void CMirelUdpRefresh::FireDeviceRemove(uint32_t id) {
    m_Completions.Post([this, id] {
        SkFireDispatchEvent(m_cpRefreshEvents, DISPID_OnDeviceRemove, {static_cast<LONG>(id)});
    });
}
