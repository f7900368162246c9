#include "ods/OdsUdpDevice.h"

#include "common/objects/SkEventFiring.h"
#include "winport/com/ComEntry.h"

namespace {

constexpr HRESULT kSocketUnavailable = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);  // 0x800700B7
constexpr uint32_t kRefused = 31;                                                 // ERROR_GEN_FAILURE

}  // namespace

HRESULT COdsUdpDevice::CreateInstance(OdsAddressing addressing, IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown)
        return CLASS_E_NOAGGREGATION;
    return (new COdsUdpDevice(addressing))->m_Aggregation.Create(outer, riid, ppv);
}

COdsUdpDevice::COdsUdpDevice(OdsAddressing addressing)
    : m_cpConnectionEvents(Identity(), DIID__ISkConnectionEvents),
      m_cpLoaderEvents(Identity(), DIID__ISkLoaderEvents),
      m_cpCmdTargetEvents(Identity(), DIID__ISkCmdTargetEvents),
      m_cpTrace(Identity(), DIID__ISkTrace),
      m_Transport(addressing),
      m_CmdTarget(Identity(), m_Transport, m_cpCmdTargetEvents),
      m_Loader(Identity(), m_Transport, m_cpLoaderEvents) {
    SetConnectionPoints({&m_cpConnectionEvents, &m_cpLoaderEvents, &m_cpCmdTargetEvents, &m_cpTrace});
    m_Transport.SetExpiryHandler(&COdsUdpDevice::OnExpired, this);
}

// A login still outstanding completes as cancelled to the sinks still connected.
COdsUdpDevice::~COdsUdpDevice() {
    if (m_hLoginClient) {
        CompletionScope scope(m_Completions);
        FinishConnect(kCancelled, "Connect cancelled");
    }
}

HRESULT COdsUdpDevice::InternalQueryInterface(REFIID riid, void** ppvObject) {
    if (!ppvObject)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ISkConnection) {
        *ppvObject = static_cast<ISkConnection*>(this);
    } else if (riid == IID_IConnectionPointContainer) {
        *ppvObject = static_cast<IConnectionPointContainer*>(this);
    } else if (riid == IID_ISkCmdTarget) {
        *ppvObject = static_cast<ISkCmdTarget*>(&m_CmdTarget);
    } else if (riid == IID_ISkLoader) {
        *ppvObject = static_cast<ISkLoader*>(&m_Loader);
    } else {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// ---------------------------------------------------------------- ISkConnection

HRESULT COdsUdpDevice::put_Address(BSTR newVal) {
    return winport::ComEntry([&] {
        std::u16string address = winport::BstrToU16(newVal);
        const std::string ansi = winport::Utf16ToAnsi(address);
        // The address of a live link stays what the link was opened with.
        if (m_bConnected || m_hLoginClient)
            return HRESULT_FROM_WIN32(ERROR_BUSY);
        m_Address.clear();
        HRESULT hr = m_Transport.SetAddress(ansi);
        if (SUCCEEDED(hr))
            m_Address.swap(address);
        return hr;
    });
}

HRESULT COdsUdpDevice::get_Address(BSTR* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = SysAllocStringLen(m_Address.data(), static_cast<UINT>(m_Address.size()));
    return *pVal ? S_OK : E_OUTOFMEMORY;
}

HRESULT COdsUdpDevice::get_Connected(VARIANT_BOOL* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = m_bConnected ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT COdsUdpDevice::Connect() {
    if (m_bConnected || m_hLoginClient)
        return S_OK;
    if (!m_Transport.HasAddress())
        return E_INVALIDARG;  // "Address" first
    CompletionScope scope(m_Completions, Identity());
    return winport::ComEntry([&] {
        if (!m_Transport.Open()) {
            m_Transport.Close();
            return kSocketUnavailable;
        }
        m_Transport.SetKey({});
        if (m_Transport.IsBroadcast()) {
            FinishConnect(kConnected, "UDP connection established");
            return S_OK;
        }
        m_hLoginClient = m_Transport.OpenClient(&COdsUdpDevice::OnLoginReply, this);
        if (m_hLoginClient)
            m_hLoginRequest =
                m_Transport.SendRequest(m_hLoginClient, &m_dwLoginId, "L%s", m_Transport.Password().c_str());
        if (!m_hLoginRequest) {
            EndLogin();
            m_Transport.Close();
            return E_OUTOFMEMORY;
        }
        return S_OK;
    });
}

HRESULT COdsUdpDevice::Disconnect() {
    CompletionScope scope(m_Completions, Identity());
    if (m_hLoginClient) {
        FinishConnect(kCancelled, "Connect cancelled");
        return S_OK;
    }
    if (!m_bConnected)
        return S_OK;
    m_Transport.Close();
    m_Transport.SetKey({});
    m_bConnected = false;
    m_Completions.Post([this] {
        winport::ComEntry([&] {
            return SkFireDispatchEvent(m_cpConnectionEvents, DISPID_OnDisconnect,
                                       {LONG{0}, "Connection closed"});
        });
    });
    return S_OK;
}

// ---------------------------------------------------------------- login

void COdsUdpDevice::OnLoginReply(const char* text, int length, void* user) {
    auto* self = static_cast<COdsUdpDevice*>(user);
    if (!self->m_hLoginClient || length < 1)
        return;
    const uint32_t id = MessageTransport::ParseReplyId(text, length);
    if (id == 0 || id != self->m_dwLoginId)
        return;
    CompletionScope scope(self->m_Completions, self->Identity());
    std::string_view reply(text, static_cast<size_t>(length));
    reply = reply.substr(0, reply.rfind('|'));
    if (reply[0] == 'A') {
        self->m_Transport.SetKey(std::string(reply.substr(1)));
        self->FinishConnect(kConnected, "Connected to the Device Server");
    } else if (reply[0] == 'D') {
        self->FinishConnect(kPasswordNeeded, self->m_Transport.Password().empty()
                                                 ? "The Device Server needs a password"
                                                 : "The password is wrong");
    } else {
        self->FinishConnect(kRefused, "The Device Server refused the connection");
    }
}

void COdsUdpDevice::OnExpired(RetransmitterPacket* packet, void* user) {
    auto* self = static_cast<COdsUdpDevice*>(user);
    if (!self->m_hLoginRequest || self->m_hLoginRequest->m_pPacket != packet)
        return;
    CompletionScope scope(self->m_Completions, self->Identity());
    self->FinishConnect(kNoAnswer, "The Device Server does not answer");
}

void COdsUdpDevice::EndLogin() {
    if (m_hLoginClient)
        m_Transport.CloseClient(m_hLoginClient);
    m_hLoginClient = nullptr;
    m_hLoginRequest = nullptr;
    m_dwLoginId = 0;
}

void COdsUdpDevice::FinishConnect(uint32_t error, const char* details) {
    EndLogin();
    m_bConnected = error == kConnected;
    if (!m_bConnected) {
        m_Transport.Close();
        m_Transport.SetKey({});
    }
    FireConnectComplete(error, details);
}

void COdsUdpDevice::FireConnectComplete(uint32_t error, const std::string& details) {
    m_Completions.Post([this, error, details] {
        winport::ComEntry([&] {
            return SkFireDispatchEvent(m_cpConnectionEvents, DISPID_OnConnectComplete,
                                       {static_cast<LONG>(error), details.c_str()});
        });
    });
}
