#include "tests/support/TestSinks.h"

namespace oskan::test {

namespace {

RecordedArg RecordArg(const VARIANT& v) {
    RecordedArg arg;
    arg.vt = v.vt;
    switch (v.vt) {
        case VT_I4:
            arg.lVal = v.lVal;
            break;
        case VT_BOOL:
            arg.lVal = v.boolVal;
            break;
        case VT_ERROR:
            arg.lVal = v.scode;
            break;
        case VT_BSTR:
            arg.isNullBstr = v.bstrVal == nullptr;
            arg.text = winport::BstrToU16(v.bstrVal);
            break;
        default:
            break;
    }
    return arg;
}

}  // namespace

// TestSink

ComPtr<TestSink> TestSink::Create(REFIID eventIid, std::string name, CallOrder* order) {
    ComPtr<TestSink> sink;
    sink.Attach(new TestSink(eventIid, std::move(name), order));
    return sink;
}

HRESULT TestSink::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    *ppvObject = nullptr;
    const bool isEvent = !IsEqualIID(m_eventIid, IID_NULL) && IsEqualIID(riid, m_eventIid);
    if (isEvent && FAILED(queryFailure)) {
        return queryFailure;
    }
    if (isEvent || IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
        *ppvObject = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG TestSink::AddRef() {
    return ++m_cRef;
}

ULONG TestSink::Release() {
    const ULONG count = --m_cRef;
    if (count == 0) {
        delete this;
    }
    return count;
}

HRESULT TestSink::GetTypeInfoCount(UINT* pctinfo) {
    if (pctinfo == nullptr) {
        return E_POINTER;
    }
    *pctinfo = 0;
    return S_OK;
}

HRESULT TestSink::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
    if (ppTInfo != nullptr) {
        *ppTInfo = nullptr;
    }
    return E_NOTIMPL;
}

HRESULT TestSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

HRESULT TestSink::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                         VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    RecordedInvoke call;
    call.dispid = dispIdMember;
    call.riid = riid;
    call.lcid = lcid;
    call.flags = wFlags;
    call.hasResult = pVarResult != nullptr;
    call.hasExcepInfo = pExcepInfo != nullptr;
    call.hasArgErr = puArgErr != nullptr;
    if (pDispParams != nullptr) {
        call.cArgs = pDispParams->cArgs;
        call.cNamedArgs = pDispParams->cNamedArgs;
        call.hasNamedArgs = pDispParams->rgdispidNamedArgs != nullptr;
        for (UINT i = 0; i < pDispParams->cArgs; ++i) {
            call.args.push_back(RecordArg(pDispParams->rgvarg[i]));
        }
    }
    calls.push_back(std::move(call));
    if (m_order != nullptr) {
        m_order->push_back(m_name);
    }
    if (onInvoke) {
        onInvoke(*this, pDispParams);
    }
    return invokeResult;
}

// TestDebuggeeSink

ComPtr<TestDebuggeeSink> TestDebuggeeSink::Create(std::string name, CallOrder* order) {
    ComPtr<TestDebuggeeSink> sink;
    sink.Attach(new TestDebuggeeSink(std::move(name), order));
    return sink;
}

HRESULT TestDebuggeeSink::Record(Call call) {
    if (call.pText != nullptr) {
        call.text = call.pText;
    }
    calls.push_back(std::move(call));
    if (m_order != nullptr) {
        m_order->push_back(m_name);
    }
    if (onCall) {
        onCall(*this);
    }
    return result;
}

HRESULT TestDebuggeeSink::OnKeepAlive() {
    Call call;
    call.member = "OnKeepAlive";
    return Record(std::move(call));
}

HRESULT TestDebuggeeSink::OnPCodeMachineStateChange() {
    Call call;
    call.member = "OnPCodeMachineStateChange";
    return Record(std::move(call));
}

HRESULT TestDebuggeeSink::OnMemoryProgress(int nPercentage) {
    Call call;
    call.member = "OnMemoryProgress";
    call.nPercentage = nPercentage;
    return Record(std::move(call));
}

HRESULT TestDebuggeeSink::OnError(LONG lError, const OLECHAR* bstrDetails) {
    Call call;
    call.member = "OnError";
    call.lError = lError;
    call.pText = bstrDetails;
    return Record(std::move(call));
}

HRESULT TestDebuggeeSink::OnDebugCommandComplete(LONG lError, const OLECHAR* bstrDetails) {
    Call call;
    call.member = "OnDebugCommandComplete";
    call.lError = lError;
    call.pText = bstrDetails;
    return Record(std::move(call));
}

HRESULT TestDebuggeeSink::OnReadMemoryComplete(LONG lError, const OLECHAR* bstrDetails, ULONG dwAddress,
                                               ULONG dwLength, void* pvData, LONG lParam) {
    Call call;
    call.member = "OnReadMemoryComplete";
    call.lError = lError;
    call.pText = bstrDetails;
    call.dwAddress = dwAddress;
    call.dwLength = dwLength;
    call.pvData = pvData;
    call.lParam = lParam;
    return Record(std::move(call));
}

// TestEventSource

ComPtr<TestEventSource> TestEventSource::Create(const std::vector<IID>& iids, size_t maxSlots) {
    ComPtr<TestEventSource> source;
    source.Attach(new TestEventSource(iids, maxSlots));
    return source;
}

TestEventSource::TestEventSource(const std::vector<IID>& iids, size_t maxSlots) {
    for (const IID& iid : iids) {
        m_points.push_back(std::make_unique<SkConnectionPoint>(static_cast<IConnectionPointContainer*>(this),
                                                               iid, maxSlots));
        AddConnectionPoint(m_points.back().get());
    }
}

TestEventSource::~TestEventSource() {
    if (onDestroy) {
        onDestroy(*this);
    }
    *destroyed = true;
}

HRESULT TestEventSource::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPointContainer)) {
        *ppvObject = static_cast<IConnectionPointContainer*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

ULONG TestEventSource::AddRef() {
    return ++m_cRef;
}

ULONG TestEventSource::Release() {
    const ULONG count = --m_cRef;
    if (count == 0) {
        m_cRef = kDestroying;
        delete this;
    }
    return count;
}

}  // namespace oskan::test
