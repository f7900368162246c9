#include "Mirel/mireludpdevice.h"

#include "common/objects/SkEventFiring.h"
#include "winport/com/ComEntry.h"

HRESULT CMirelUdpDevice::CreateInstance(REFIID riid, void** ppv) {
    return CreateInstance(nullptr, riid, ppv);
}

HRESULT CMirelUdpDevice::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown)
        return CLASS_E_NOAGGREGATION;
    return (new CMirelUdpDevice())->m_Aggregation.Create(outer, riid, ppv);
}

CMirelUdpDevice::CMirelUdpDevice()
    : m_cpConnectionEvents(Identity(), DIID__ISkConnectionEvents),
      m_cpLoaderEvents(Identity(), DIID__ISkLoaderEvents),
      m_cpDebuggeeEvents(Identity(), IID__ISkDebuggeeEvents),
      m_cpCmdTargetEvents(Identity(), DIID__ISkCmdTargetEvents),
      m_cpTrace(Identity(), DIID__ISkTrace),
      m_CmdTarget(Identity(), m_Transport, m_cpCmdTargetEvents),
      m_Loader(Identity(), m_Transport, m_cpLoaderEvents),
      m_Debuggee(Identity(), &m_Transport, m_cpDebuggeeEvents, m_cpTrace) {
    SetConnectionPoints(
        {&m_cpConnectionEvents, &m_cpLoaderEvents, &m_cpDebuggeeEvents, &m_cpCmdTargetEvents, &m_cpTrace});
}

// The parts are members declared after the transport, so they are destroyed
// first; destruction fires no OnDisconnect.
CMirelUdpDevice::~CMirelUdpDevice() = default;

HRESULT CMirelUdpDevice::InternalQueryInterface(REFIID riid, void** ppvObject) {
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
    } else if (riid == IID_ISkDebuggee) {
        *ppvObject = static_cast<ISkDebuggee*>(&m_Debuggee);
    } else {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// ---------------------------------------------------------------- ISkConnection

HRESULT CMirelUdpDevice::put_Address(BSTR newVal) {
    return winport::ComEntry([&] {
        // Both forms are made before the old address goes.
        std::u16string address = winport::BstrToU16(newVal);
        const std::string ansi = winport::Utf16ToAnsi(address);
        m_Transport.SetAddress({});
        m_Address.clear();
        if (address.empty())
            return S_OK;
        HRESULT hr = m_Transport.SetAddress(ansi);
        if (SUCCEEDED(hr))
            m_Address.swap(address);  // an unreadable address leaves none set
        return hr;
    });
}

HRESULT CMirelUdpDevice::get_Address(BSTR* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = SysAllocStringLen(m_Address.data(), static_cast<UINT>(m_Address.size()));
    return *pVal ? S_OK : E_OUTOFMEMORY;
}

HRESULT CMirelUdpDevice::get_Connected(VARIANT_BOOL* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = m_bConnected ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CMirelUdpDevice::Connect() {
    if (m_bConnected)
        return S_OK;
    const HRESULT opened = winport::ComEntry([&] { return m_Transport.Open() ? S_OK : E_FAIL; });
    if (FAILED(opened)) {
        m_Transport.Close();  // whatever the opening got before it failed
        return opened;
    }
    m_bConnected = true;
    // Connected before the event is made: out of memory loses only the event.
    return winport::ComEntry([&] {
        return SkFireDispatchEvent(m_cpConnectionEvents, DISPID_OnConnectComplete,
                                   {LONG{0}, "UDP connection established"});
    });
}

HRESULT CMirelUdpDevice::Disconnect() {
    if (!m_bConnected)
        return S_OK;
    m_Transport.Close();
    m_bConnected = false;
    return winport::ComEntry([&] {
        return SkFireDispatchEvent(m_cpConnectionEvents, DISPID_OnDisconnect, {LONG{0}, "Connection closed"});
    });
}
