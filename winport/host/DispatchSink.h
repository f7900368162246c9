#pragma once
// A host's event sink for one dispatch event interface: a small COM object that
// answers the event IID (and IDispatch, IUnknown) and hands every Invoke to a
// handler. Arguments arrive as the source sends them: in reverse order, the
// last argument at index 0; Arg(params, i) reads them in declaration order.

#include <functional>
#include <string>
#include <utility>

#include "winport/automation/oleauto.h"
#include "winport/com/com.h"

namespace winport {

class DispatchSink final : public IDispatch {
public:
    using Handler = std::function<void(DISPID dispid, const DISPPARAMS& params)>;

    static ComPtr<DispatchSink> Create(REFIID eventIid, Handler handler) {
        return ComPtr<DispatchSink>(new DispatchSink(eventIid, std::move(handler)));
    }

    // The i-th argument in declaration order, or null when there is none.
    static const VARIANT* Arg(const DISPPARAMS& params, UINT i) {
        return i < params.cArgs ? &params.rgvarg[params.cArgs - 1 - i] : nullptr;
    }
    static LONG IntArg(const DISPPARAMS& params, UINT i) {
        const VARIANT* v = Arg(params, i);
        return v && V_VT(v) == VT_I4 ? V_I4(v) : 0;
    }
    static std::string TextArg(const DISPPARAMS& params, UINT i) {
        const VARIANT* v = Arg(params, i);
        return v && V_VT(v) == VT_BSTR ? BstrToAnsi(V_BSTR(v)) : std::string();
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == m_eventIid) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        ULONG count = --m_refs;
        if (count == 0)
            delete this;
        return count;
    }
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        if (!params)
            return E_INVALIDARG;
        if (m_handler)
            m_handler(dispid, *params);
        return S_OK;
    }

private:
    DispatchSink(REFIID eventIid, Handler handler) : m_eventIid(eventIid), m_handler(std::move(handler)) {}
    ~DispatchSink() = default;

    const IID m_eventIid;
    Handler m_handler;
    ULONG m_refs = 0;
};

}  // namespace winport
