#pragma once
// Event sinks and an event source for tests.
//
// TestSink is a dispatch sink: it answers IUnknown, IDispatch and one
// configurable event IID, records every Invoke with deep copies of its
// arguments, and can run a test's action from inside the call.
// TestDebuggeeSink records the custom debugger events; it is a SinkObject,
// as a host's sink of a custom event interface is.
// TestEventSource is an object with connection points for given IIDs; like the
// component's objects it tolerates references taken during its destruction.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "common/objects/SkConnectionPoint.h"
#include "common/objects/SkConnectionPointContainer.h"
#include "winport/automation/oleauto.h"
#include "winport/com/com.h"
#include "winport/host/SinkObject.h"

namespace oskan::test {

// The names of the sinks in the order they were called, shared by the sinks of
// one test.
using CallOrder = std::vector<std::string>;

struct RecordedArg {
    VARTYPE vt = VT_EMPTY;
    LONG lVal = 0;            // VT_I4, VT_BOOL, VT_ERROR (scode)
    bool isNullBstr = false;  // VT_BSTR
    std::u16string text;      // VT_BSTR, all SysStringLen characters
};

struct RecordedInvoke {
    DISPID dispid = 0;
    IID riid = IID_NULL;
    LCID lcid = 0;
    WORD flags = 0;
    UINT cArgs = 0;
    UINT cNamedArgs = 0;
    bool hasNamedArgs = false;
    bool hasResult = false;
    bool hasExcepInfo = false;
    bool hasArgErr = false;
    std::vector<RecordedArg> args;  // in rgvarg order: the last argument first
};

class TestSink final : public IDispatch {
public:
    // eventIid IID_NULL: the sink answers only IUnknown and IDispatch.
    static ComPtr<TestSink> Create(REFIID eventIid, std::string name = {}, CallOrder* order = nullptr);

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;
    // IDispatch
    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

    ULONG RefCount() const { return m_cRef; }
    const std::string& Name() const { return m_name; }

    // Runs inside Invoke after the call has been recorded.
    std::function<void(TestSink& self, DISPPARAMS* params)> onInvoke;
    // What Invoke returns.
    HRESULT invokeResult = S_OK;
    // When failed, what QueryInterface answers for the event IID.
    HRESULT queryFailure = S_OK;
    // Set when the sink is destroyed.
    std::shared_ptr<bool> destroyed = std::make_shared<bool>(false);
    // Room for a test's own cookie.
    DWORD cookie = 0;

    std::vector<RecordedInvoke> calls;

private:
    TestSink(REFIID eventIid, std::string name, CallOrder* order)
        : m_eventIid(eventIid), m_name(std::move(name)), m_order(order) {}
    ~TestSink() { *destroyed = true; }

    ULONG m_cRef = 1;
    const IID m_eventIid;
    const std::string m_name;
    CallOrder* const m_order;
};

class TestDebuggeeSink final
    : public winport::SinkObject<TestDebuggeeSink, _ISkDebuggeeEvents, IID__ISkDebuggeeEvents> {
public:
    static ComPtr<TestDebuggeeSink> Create(std::string name = {}, CallOrder* order = nullptr);

    HRESULT OnKeepAlive() override;
    HRESULT OnPCodeMachineStateChange() override;
    HRESULT OnMemoryProgress(int nPercentage) override;
    HRESULT OnError(LONG lError, const OLECHAR* bstrDetails) override;
    HRESULT OnDebugCommandComplete(LONG lError, const OLECHAR* bstrDetails) override;
    HRESULT OnReadMemoryComplete(LONG lError, const OLECHAR* bstrDetails, ULONG dwAddress, ULONG dwLength,
                                 void* pvData, LONG lParam) override;

    // The references held, read through a reference taken and given back.
    ULONG RefCount() {
        AddRef();
        return Release();
    }

    struct Call {
        std::string member;
        LONG lError = 0;
        int nPercentage = 0;
        const OLECHAR* pText = nullptr;
        std::u16string text;
        ULONG dwAddress = 0;
        ULONG dwLength = 0;
        void* pvData = nullptr;
        LONG lParam = 0;
    };
    std::vector<Call> calls;
    // Runs inside every member after the call has been recorded.
    std::function<void(TestDebuggeeSink& self)> onCall;
    HRESULT result = S_OK;
    std::shared_ptr<bool> destroyed = std::make_shared<bool>(false);

private:
    friend class winport::SinkObject<TestDebuggeeSink, _ISkDebuggeeEvents, IID__ISkDebuggeeEvents>;
    TestDebuggeeSink(std::string name, CallOrder* order) : m_name(std::move(name)), m_order(order) {}
    ~TestDebuggeeSink() { *destroyed = true; }
    HRESULT Record(Call call);

    const std::string m_name;
    CallOrder* const m_order;
};

class TestEventSource final : public SkConnectionPointContainer {
public:
    // One connection point per IID, in this order; each bounded by maxSlots.
    static ComPtr<TestEventSource> Create(const std::vector<IID>& iids,
                                          size_t maxSlots = SkConnectionPoint::kDefaultMaxSlots);

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;

    SkConnectionPoint& Point(size_t index) { return *m_points[index]; }
    ULONG RefCount() const { return m_cRef; }

    // Runs at the start of the destructor, while the connections still exist
    // (to fire events from the destruction path).
    std::function<void(TestEventSource& self)> onDestroy;
    std::shared_ptr<bool> destroyed = std::make_shared<bool>(false);

private:
    TestEventSource(const std::vector<IID>& iids, size_t maxSlots);
    ~TestEventSource();

    // Held while the destructor runs, so that references taken and given back
    // then do not destroy the object a second time.
    static constexpr ULONG kDestroying = 0x40000000;

    ULONG m_cRef = 1;
    std::vector<std::unique_ptr<SkConnectionPoint>> m_points;
};

}  // namespace oskan::test
