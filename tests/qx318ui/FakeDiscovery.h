#pragma once
// A discovery object of either kind for the Device Explorer's tests: it hands
// out information objects the test fills in and fires _ISkRefreshEvents when
// the test says, so that cases no simulator produces (letters in a MAC, every
// machine mode, Device Servers) can be listed.

#include <initializer_list>
#include <iterator>
#include <map>
#include <string>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "ods/OdsInterfaces.h"
#include "winport/com/ocidl.h"

namespace qx318ui::test {

// IDispatch that nobody calls late-bound here.
template <class Interface>
class NoLateBinding : public Interface {
public:
    HRESULT GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

template <class Interface>
class RefCounted : public NoLateBinding<Interface> {
public:
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        const ULONG count = --m_refs;
        if (count == 0)
            delete this;
        return count;
    }

protected:
    virtual ~RefCounted() = default;

private:
    ULONG m_refs = 0;
};

inline HRESULT TextOut(BSTR* out, const std::string& text) {
    *out = winport::AnsiToBstr(text);
    return *out ? S_OK : E_OUTOFMEMORY;
}

class FakeSkosInfo final : public RefCounted<IMirelUdpDeviceInfo> {
public:
    std::string mac, ip, version, project;
    LONG ping = 5;
    OSKAN_PCODE_MACHINE_MODE mode = OPCM_MODE_RUNNING;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IMirelUdpDeviceInfo) {
            *ppv = static_cast<IMirelUdpDeviceInfo*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT get_MacAddress(BSTR* v) override { return TextOut(v, mac); }
    HRESULT get_IpAddress(BSTR* v) override { return TextOut(v, ip); }
    HRESULT get_Ping(LONG* v) override {
        *v = ping;
        return S_OK;
    }
    HRESULT get_Version(BSTR* v) override { return TextOut(v, version); }
    HRESULT get_ProjectName(BSTR* v) override { return TextOut(v, project); }
    HRESULT get_BuildId(BSTR* v) override { return TextOut(v, "0"); }
    HRESULT get_PcmMode(OSKAN_PCODE_MACHINE_MODE* v) override {
        *v = mode;
        return S_OK;
    }
};

class FakeFixedInfo final : public RefCounted<IFixedFirmwareDeviceInfo> {
public:
    std::string mac, ip, version, description1, description2;
    LONG ping = 7;
    LONG directAccess = 0;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IFixedFirmwareDeviceInfo) {
            *ppv = static_cast<IFixedFirmwareDeviceInfo*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT get_MacAddress(BSTR* v) override { return TextOut(v, mac); }
    HRESULT get_IpAddress(BSTR* v) override { return TextOut(v, ip); }
    HRESULT get_Ping(LONG* v) override {
        *v = ping;
        return S_OK;
    }
    HRESULT get_Version(BSTR* v) override { return TextOut(v, version); }
    HRESULT get_DirectAccess(LONG* v) override {
        *v = directAccess;
        return S_OK;
    }
    HRESULT get_PasswordProtected(LONG*) override { return E_NOTIMPL; }
    HRESULT get_Uptime(LONG*) override { return E_NOTIMPL; }
    HRESULT get_FirstDescription(BSTR* v) override { return TextOut(v, description1); }
    HRESULT get_SecondDescription(BSTR* v) override { return TextOut(v, description2); }
};

// The COM shell of a discovery object with one event sink: ISkRefresh, its
// connection point container and the one connection point of
// _ISkRefreshEvents. What the object does is the derived class's.
class OneSinkRefresh : public RefCounted<ISkRefresh>,
                       public IConnectionPointContainer,
                       public IConnectionPoint {
public:
    bool HasSink() const { return static_cast<bool>(m_sink); }

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ISkRefresh)
            *ppv = static_cast<ISkRefresh*>(this);
        else if (riid == IID_IConnectionPointContainer)
            *ppv = static_cast<IConnectionPointContainer*>(this);
        else if (riid == IID_IConnectionPoint)
            *ppv = static_cast<IConnectionPoint*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return RefCounted<ISkRefresh>::AddRef(); }
    ULONG Release() override { return RefCounted<ISkRefresh>::Release(); }

    // IConnectionPointContainer
    HRESULT EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** point) override {
        *point = nullptr;
        if (riid != DIID__ISkRefreshEvents)
            return CONNECT_E_NOCONNECTION;
        *point = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }

    // IConnectionPoint
    HRESULT GetConnectionInterface(IID* iid) override {
        *iid = DIID__ISkRefreshEvents;
        return S_OK;
    }
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) override {
        *container = static_cast<IConnectionPointContainer*>(this);
        AddRef();
        return S_OK;
    }
    HRESULT Advise(IUnknown* sink, DWORD* cookie) override {
        if (m_sink)
            return CONNECT_E_ADVISELIMIT;
        HRESULT hr = sink->QueryInterface(IID_IDispatch, m_sink.ReleaseAndGetVoidAddressOf());
        *cookie = 1;
        return hr;
    }
    HRESULT Unadvise(DWORD cookie) override {
        if (cookie != 1 || !m_sink)
            return CONNECT_E_NOCONNECTION;
        m_sink.Reset();
        return S_OK;
    }
    HRESULT EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

protected:
    // An event with integer arguments, given in declaration order.
    void Fire(DISPID dispid, std::initializer_list<LONG> args) {
        if (!m_sink)
            return;
        VARIANT values[2];
        UINT count = 0;
        // Arguments go last first.
        for (auto it = std::rbegin(args); it != std::rend(args) && count < 2; ++it) {
            VariantInit(&values[count]);
            V_VT(&values[count]) = VT_I4;
            V_I4(&values[count]) = *it;
            ++count;
        }
        DISPPARAMS params{values, nullptr, count, 0};
        ComPtr<IDispatch> sink = m_sink;
        sink->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    }

    ComPtr<IDispatch> m_sink;
};

// What the tests script: devices to hand out, and events fired when they say.
class FakeDiscovery final : public OneSinkRefresh {
public:
    int refreshes = 0;
    int cancels = 0;
    bool busy = false;
    // Ids whose DeviceInfo fails.
    std::map<LONG, bool> failing;

    void Add(LONG id, IDispatch* info) { m_devices[id] = ComPtr<IDispatch>(info); }

    void FireProgress(int percent) { Fire(DISPID_OnRefreshProgress, {percent}); }
    void FireUpdate(LONG id) { Fire(DISPID_OnDeviceUpdate, {id}); }
    void FireRemove(LONG id) { Fire(DISPID_OnDeviceRemove, {id}); }
    void FireComplete() {
        busy = false;
        Fire(DISPID_OnRefreshComplete, {0, 0});
    }

    // ISkRefresh
    HRESULT Refresh() override {
        ++refreshes;
        busy = true;
        return S_OK;
    }
    HRESULT Cancel() override {
        ++cancels;
        if (busy)
            FireComplete();
        return S_OK;
    }
    HRESULT Reset() override { return S_OK; }
    HRESULT get_DeviceInfo(LONG id, IDispatch** info) override {
        *info = nullptr;
        auto found = m_devices.find(id);
        if (found == m_devices.end() || failing.count(id))
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        return found->second.CopyTo(info);
    }

private:
    std::map<LONG, ComPtr<IDispatch>> m_devices;
};

}  // namespace qx318ui::test
