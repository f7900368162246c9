#include "ods/OdsSerialLoader.h"

#include "Mirel/MirelTypes.h"
#include "common/objects/SkEventFiring.h"
#include "winport/base/errors.h"
#include "winport/com/ComEntry.h"

namespace {

std::string OpenFailureText(DWORD error, const std::string& port) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            return "There is no serial port " + port;
        case ERROR_ACCESS_DENIED:
            return "The serial port " + port + " is in use by another program, or access to it is denied";
        case ERROR_NOT_SUPPORTED:
            return port + " is not a serial port";
        default:
            return "The serial port " + port + " cannot be opened: " + winport::ErrorText(error);
    }
}

}  // namespace

// ---------------------------------------------------------------- loader part

OdsSerialLoaderPart::OdsSerialLoaderPart(IUnknown* owner, SerialPort& port, SkConnectionPoint& events)
    : m_pOwner(owner),
      m_cpEvents(events),
      m_Engine(&port, owner, &OdsSerialLoaderPart::OnProgress, &OdsSerialLoaderPart::OnComplete, this) {}

// Cancelled here rather than by the engine's destructor, while the part is
// still whole for the completion it fires.
OdsSerialLoaderPart::~OdsSerialLoaderPart() {
    m_Engine.Cancel();
}

HRESULT OdsSerialLoaderPart::Load(BSTR bstrFileName, int nFlags) {
    if (nFlags & ~OLF_FIXED_FIRMWARE)
        return E_INVALIDARG;
    return winport::ComEntry([&] { return m_Engine.Load(winport::BstrToAnsiLen(bstrFileName)); });
}

HRESULT OdsSerialLoaderPart::Cancel() {
    return winport::ComEntry([&] { return m_Engine.Cancel(); });
}

void OdsSerialLoaderPart::OnProgress(int nPercentage, void* user) {
    auto* self = static_cast<OdsSerialLoaderPart*>(user);
    SkFireDispatchEvent(self->m_cpEvents, DISPID_OnLoadProgress, {static_cast<LONG>(nPercentage)});
}

void OdsSerialLoaderPart::OnComplete(uint32_t lError, const char* pszDetails, void* user) {
    auto* self = static_cast<OdsSerialLoaderPart*>(user);
    winport::ComEntry([&] {
        return SkFireDispatchEvent(self->m_cpEvents, DISPID_OnLoadComplete,
                                   {static_cast<LONG>(lError), pszDetails});
    });
}

// ---------------------------------------------------------------- object

HRESULT COdsSerialLoader::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown)
        return CLASS_E_NOAGGREGATION;
    return (new COdsSerialLoader())->m_Aggregation.Create(outer, riid, ppv);
}

COdsSerialLoader::COdsSerialLoader()
    : m_cpConnectionEvents(Identity(), DIID__ISkConnectionEvents),
      m_cpLoaderEvents(Identity(), DIID__ISkLoaderEvents),
      m_Loader(Identity(), m_Port, m_cpLoaderEvents) {
    SetConnectionPoints({&m_cpConnectionEvents, &m_cpLoaderEvents});
}

HRESULT COdsSerialLoader::InternalQueryInterface(REFIID riid, void** ppvObject) {
    if (!ppvObject)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ISkConnection) {
        *ppvObject = static_cast<ISkConnection*>(this);
    } else if (riid == IID_IConnectionPointContainer) {
        *ppvObject = static_cast<IConnectionPointContainer*>(this);
    } else if (riid == IID_ISkLoader) {
        *ppvObject = static_cast<ISkLoader*>(&m_Loader);
    } else {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

HRESULT COdsSerialLoader::put_Address(BSTR newVal) {
    return winport::ComEntry([&] {
        // The address of an open port stays the one it was opened with.
        if (m_Port.IsOpen())
            return HRESULT_FROM_WIN32(ERROR_BUSY);
        m_Address = winport::BstrToU16(newVal);
        return S_OK;
    });
}

HRESULT COdsSerialLoader::get_Address(BSTR* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = SysAllocStringLen(m_Address.data(), static_cast<UINT>(m_Address.size()));
    return *pVal ? S_OK : E_OUTOFMEMORY;
}

// A port that went away (unplugged) reads as not connected.
HRESULT COdsSerialLoader::get_Connected(VARIANT_BOOL* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = m_Port.IsOpen() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT COdsSerialLoader::Connect() {
    if (m_Port.IsOpen())
        return S_OK;
    if (m_Address.empty())
        return E_INVALIDARG;  // "Address" first
    CompletionScope scope(m_Completions, Identity());
    return winport::ComEntry([&] {
        const std::string path = winport::Utf16ToAnsi(m_Address);
        const DWORD error = m_Port.Open(path);
        FireConnection(
            DISPID_OnConnectComplete, error,
            error == ERROR_SUCCESS ? "Serial connection established" : OpenFailureText(error, path));
        return S_OK;
    });
}

HRESULT COdsSerialLoader::Disconnect() {
    CompletionScope scope(m_Completions, Identity());
    return winport::ComEntry([&] {
        m_Loader.Engine().Cancel();  // an upload cannot outlive its port
        if (!m_Port.IsOpen())
            return S_OK;
        m_Port.Close();
        FireConnection(DISPID_OnDisconnect, 0, "Serial port closed");
        return S_OK;
    });
}

void COdsSerialLoader::FireConnection(DISPID dispid, uint32_t code, const std::string& details) {
    m_Completions.Post([this, dispid, code, details] {
        winport::ComEntry([&] {
            return SkFireDispatchEvent(m_cpConnectionEvents, dispid,
                                       {static_cast<LONG>(code), details.c_str()});
        });
    });
}
