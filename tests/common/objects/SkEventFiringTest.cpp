// Delivery of dispatch and custom events: sink order, the Invoke call, the
// argument array, the strings every sink gets for itself, and sink failures.
#include <gtest/gtest.h>

#include "Mirel/MirelEvents.h"
#include "common/objects/SkEventFiring.h"
#include "tests/support/TestSinks.h"

namespace {

using oskan::test::CallOrder;
using oskan::test::TestDebuggeeSink;
using oskan::test::TestEventSource;
using oskan::test::TestSink;

class SkEventFiring : public ::testing::Test {
protected:
    void SetUp() override {
        source = TestEventSource::Create({DIID__ISkCmdTargetEvents, IID__ISkDebuggeeEvents});
    }
    void TearDown() override { winport::SimulateBstrAllocationFailure(-1); }

    SkConnectionPoint& Commands() { return source->Point(0); }
    SkConnectionPoint& Debuggee() { return source->Point(1); }

    ComPtr<TestSink> Connect(const std::string& name) {
        auto sink = TestSink::Create(DIID__ISkCmdTargetEvents, name, &order);
        EXPECT_EQ(Commands().Advise(sink.Get(), &sink->cookie), S_OK);
        return sink;
    }

    void FireCommandComplete(LONG lError, const char* details, const char* response, LONG lParam) {
        EXPECT_EQ(
            SkFireDispatchEvent(Commands(), DISPID_OnCommandComplete, {lError, details, response, lParam}),
            S_OK);
    }

    CallOrder order;
    ComPtr<TestEventSource> source;
};

TEST_F(SkEventFiring, NothingHappensWithoutSinks) {
    EXPECT_EQ(SkFireDispatchEvent(Commands(), DISPID_OnCommandComplete, {0, "a", "b", 0}), S_OK);
    EXPECT_EQ(SkFireDispatchEvent(Commands(), DISPID_OnCommandComplete), S_OK);
    EXPECT_EQ(source->RefCount(), 1u);
}

TEST_F(SkEventFiring, InvokeIsCalledAsAnEventMethod) {
    auto sink = Connect("A");
    FireCommandComplete(0, "Operation completed successfully", "B|00000001", 7);
    ASSERT_EQ(sink->calls.size(), 1u);
    const auto& call = sink->calls[0];
    EXPECT_EQ(call.dispid, DISPID_OnCommandComplete);
    EXPECT_EQ(call.riid, IID_NULL);
    EXPECT_EQ(call.lcid, LOCALE_USER_DEFAULT);
    EXPECT_EQ(call.lcid, 1024u);
    EXPECT_EQ(call.flags, DISPATCH_METHOD);
    EXPECT_EQ(call.cArgs, 4u);
    EXPECT_EQ(call.cNamedArgs, 0u);
    EXPECT_FALSE(call.hasNamedArgs);
    EXPECT_FALSE(call.hasResult);
    EXPECT_FALSE(call.hasExcepInfo);
    EXPECT_FALSE(call.hasArgErr);
}

TEST_F(SkEventFiring, ArgumentsStandInReverseOrder) {
    auto sink = Connect("A");
    FireCommandComplete(-5, "details", "response", 42);
    ASSERT_EQ(sink->calls.size(), 1u);
    const auto& args = sink->calls[0].args;
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args[0].vt, VT_I4);
    EXPECT_EQ(args[0].lVal, 42);
    EXPECT_EQ(args[1].vt, VT_BSTR);
    EXPECT_EQ(args[1].text, u"response");
    EXPECT_EQ(args[2].vt, VT_BSTR);
    EXPECT_EQ(args[2].text, u"details");
    EXPECT_EQ(args[3].vt, VT_I4);
    EXPECT_EQ(args[3].lVal, -5);
}

TEST_F(SkEventFiring, TextsBecomeWellFormedStrings) {
    auto sink = Connect("A");
    const char16_t withZero[] = {u'a', 0, u'b'};
    const OLECHAR* nullText = nullptr;
    EXPECT_EQ(SkFireDispatchEvent(
                  Commands(), DISPID_OnCommandComplete,
                  {SkEventArg("Grüße 温度"), SkEventArg(std::u16string_view(withZero, 3)),
                   SkEventArg(nullText), SkEventArg(u"wide"), SkEventArg::Ansi(std::string("x\0y", 3)),
                   SkEventArg(""), SkEventArg(static_cast<LONG>(0x7FFFFFFF))}),
              S_OK);
    ASSERT_EQ(sink->calls.size(), 1u);
    const auto& args = sink->calls[0].args;
    ASSERT_EQ(args.size(), 7u);
    EXPECT_EQ(args[0].vt, VT_I4);
    EXPECT_EQ(args[0].lVal, 0x7FFFFFFF);
    EXPECT_EQ(args[1].vt, VT_BSTR);  // an empty text is an empty string, not a null one
    EXPECT_FALSE(args[1].isNullBstr);
    EXPECT_EQ(args[1].text, u"");
    EXPECT_EQ(args[2].text, std::u16string(u"x\0y", 3));
    EXPECT_EQ(args[3].text, u"wide");
    EXPECT_EQ(args[4].vt, VT_BSTR);
    EXPECT_TRUE(args[4].isNullBstr);
    EXPECT_EQ(args[5].text, std::u16string(withZero, 3));
    EXPECT_EQ(args[6].text, u"Grüße 温度");
}

TEST_F(SkEventFiring, SinksAreCalledInSlotOrder) {
    auto a = Connect("A");
    auto b = Connect("B");
    FireCommandComplete(0, "d", "r", 0);
    FireCommandComplete(1, "d", "r", 0);
    EXPECT_EQ(order, (CallOrder{"A", "B", "A", "B"}));

    // The third sink takes the first one's slot and comes before the second.
    EXPECT_EQ(Commands().Unadvise(a->cookie), S_OK);
    auto c = Connect("C");
    EXPECT_EQ(Commands().SinkAt(0), static_cast<IUnknown*>(c.Get()));
    order.clear();
    FireCommandComplete(2, "d", "r", 0);
    EXPECT_EQ(order, (CallOrder{"C", "B"}));
    EXPECT_EQ(a->calls.size(), 2u);
}

TEST_F(SkEventFiring, EverySinkOfAGrownTableIsCalled) {
    std::vector<ComPtr<TestSink>> sinks;
    CallOrder expected;
    for (int i = 0; i < 9; ++i) {
        sinks.push_back(Connect("S" + std::to_string(i)));
        expected.push_back("S" + std::to_string(i));
    }
    ASSERT_EQ(Commands().SlotCount(), 16u);
    FireCommandComplete(0, "d", "r", 0);
    EXPECT_EQ(order, expected);
    // Emptied slots are skipped.
    EXPECT_EQ(Commands().Unadvise(sinks[0]->cookie), S_OK);
    EXPECT_EQ(Commands().Unadvise(sinks[5]->cookie), S_OK);
    order.clear();
    FireCommandComplete(0, "d", "r", 0);
    EXPECT_EQ(order, (CallOrder{"S1", "S2", "S3", "S4", "S6", "S7", "S8"}));
}

TEST_F(SkEventFiring, EverySinkGetsItsOwnStrings) {
    auto a = Connect("A");
    auto b = Connect("B");
    auto c = Connect("C");
    // A writes into the strings it received, B frees them, and neither is
    // seen by the next sink.
    a->onInvoke = [](TestSink&, DISPPARAMS* params) {
        for (UINT i = 0; i < params->cArgs; ++i) {
            VARIANT& v = params->rgvarg[i];
            if (v.vt == VT_BSTR && SysStringLen(v.bstrVal) > 0) {
                v.bstrVal[0] = u'#';
            }
        }
    };
    b->onInvoke = [](TestSink&, DISPPARAMS* params) {
        for (UINT i = 0; i < params->cArgs; ++i) {
            EXPECT_EQ(VariantClear(&params->rgvarg[i]), S_OK);
        }
    };
    FireCommandComplete(3, "details", "response", 9);
    for (const auto* sink : {a.Get(), b.Get(), c.Get()}) {
        ASSERT_EQ(sink->calls.size(), 1u) << sink->Name();
        const auto& args = sink->calls[0].args;
        ASSERT_EQ(args.size(), 4u);
        EXPECT_EQ(args[0].lVal, 9) << sink->Name();
        EXPECT_EQ(args[1].text, u"response") << sink->Name();
        EXPECT_EQ(args[2].text, u"details") << sink->Name();
        EXPECT_EQ(args[3].lVal, 3) << sink->Name();
    }
}

TEST_F(SkEventFiring, ASinkMayReplaceTheVariantsItReceives) {
    auto a = Connect("A");
    auto b = Connect("B");
    a->onInvoke = [](TestSink&, DISPPARAMS* params) {
        // Strings of its own in place of the integers, integers in place of
        // the strings: the firing code frees what is there afterwards.
        VariantClear(&params->rgvarg[0]);
        params->rgvarg[0].vt = VT_BSTR;
        params->rgvarg[0].bstrVal = SysAllocString(u"mine");
        VariantClear(&params->rgvarg[1]);
        params->rgvarg[1].vt = VT_I4;
        params->rgvarg[1].lVal = 5;
    };
    FireCommandComplete(3, "details", "response", 9);
    ASSERT_EQ(b->calls.size(), 1u);
    EXPECT_EQ(b->calls[0].args[0].vt, VT_I4);
    EXPECT_EQ(b->calls[0].args[0].lVal, 9);
    EXPECT_EQ(b->calls[0].args[1].vt, VT_BSTR);
    EXPECT_EQ(b->calls[0].args[1].text, u"response");
}

TEST_F(SkEventFiring, TheFiringCodeKeepsItsOwnTextWhileSinksRun) {
    auto a = Connect("A");
    auto b = Connect("B");
    std::string details = "first details";
    // A sink that makes the firing code change its text (as one that starts the
    // next operation from inside the event would).
    a->onInvoke = [&details](TestSink&, DISPPARAMS*) { details.assign(200, 'z'); };
    SkFireDispatchEvent(Commands(), DISPID_OnCommandComplete, {0, details.c_str(), "r", 0});
    ASSERT_EQ(b->calls.size(), 1u);
    EXPECT_EQ(b->calls[0].args[2].text, u"first details");
}

TEST_F(SkEventFiring, AStringThatCannotBeAllocatedBecomesAnError) {
    auto a = Connect("A");
    auto b = Connect("B");
    // The first string allocation of the firing fails: A's "details".
    winport::SimulateBstrAllocationFailure(0);
    SkFireDispatchEvent(Commands(), DISPID_OnCommandComplete, {1, "details", "response", 2});
    ASSERT_EQ(a->calls.size(), 1u);
    const auto& args = a->calls[0].args;
    EXPECT_EQ(args[2].vt, VT_ERROR);
    EXPECT_EQ(args[2].lVal, E_OUTOFMEMORY);
    EXPECT_EQ(args[1].vt, VT_BSTR);
    EXPECT_EQ(args[1].text, u"response");
    ASSERT_EQ(b->calls.size(), 1u);
    EXPECT_EQ(b->calls[0].args[2].vt, VT_BSTR);
    EXPECT_EQ(b->calls[0].args[2].text, u"details");
}

TEST_F(SkEventFiring, AFailingSinkDoesNotStopDelivery) {
    auto a = Connect("A");
    auto b = Connect("B");
    a->invokeResult = E_FAIL;
    b->invokeResult = DISP_E_MEMBERNOTFOUND;
    auto c = Connect("C");
    EXPECT_EQ(SkFireDispatchEvent(Commands(), DISPID_OnCommandComplete, {0, "d", "r", 0}), S_OK);
    EXPECT_EQ(order, (CallOrder{"A", "B", "C"}));
}

TEST_F(SkEventFiring, SinksAndTheSourceAreHeldDuringTheirCall) {
    auto a = Connect("A");
    ULONG sinkCount = 0;
    ULONG sourceCount = 0;
    a->onInvoke = [&](TestSink& self, DISPPARAMS*) {
        sinkCount = self.RefCount();
        sourceCount = source->RefCount();
    };
    FireCommandComplete(0, "d", "r", 0);
    EXPECT_EQ(sinkCount, 3u);    // test, connection, firing
    EXPECT_EQ(sourceCount, 2u);  // test, firing
    EXPECT_EQ(a->RefCount(), 2u);
    EXPECT_EQ(source->RefCount(), 1u);
}

TEST_F(SkEventFiring, CustomEventsCallTheSinksDirectly) {
    auto a = TestDebuggeeSink::Create("A", &order);
    auto b = TestDebuggeeSink::Create("B", &order);
    DWORD cookie = 0;
    ASSERT_EQ(Debuggee().Advise(a.Get(), &cookie), S_OK);
    ASSERT_EQ(Debuggee().Advise(b.Get(), &cookie), S_OK);
    a->result = E_FAIL;  // ignored

    static const OLECHAR kDetails[] = u"Operation completed successfully";
    unsigned char data[4] = {1, 2, 3, 4};
    SkFireCustomEvent<_ISkDebuggeeEvents>(Debuggee(),
                                          [](_ISkDebuggeeEvents* sink) { return sink->OnKeepAlive(); });
    SkFireCustomEvent<_ISkDebuggeeEvents>(
        Debuggee(), [](_ISkDebuggeeEvents* sink) { return sink->OnPCodeMachineStateChange(); });
    SkFireCustomEvent<_ISkDebuggeeEvents>(
        Debuggee(), [](_ISkDebuggeeEvents* sink) { return sink->OnMemoryProgress(37); });
    SkFireCustomEvent<_ISkDebuggeeEvents>(
        Debuggee(), [](_ISkDebuggeeEvents* sink) { return sink->OnError(-2, kDetails); });
    SkFireCustomEvent<_ISkDebuggeeEvents>(
        Debuggee(), [](_ISkDebuggeeEvents* sink) { return sink->OnDebugCommandComplete(1223, kDetails); });
    SkFireCustomEvent<_ISkDebuggeeEvents>(Debuggee(), [&](_ISkDebuggeeEvents* sink) {
        return sink->OnReadMemoryComplete(0, kDetails, 0x8000F000u, 4, data, 99);
    });

    EXPECT_EQ(order, (CallOrder{"A", "B", "A", "B", "A", "B", "A", "B", "A", "B", "A", "B"}));
    for (const auto* sink : {a.Get(), b.Get()}) {
        ASSERT_EQ(sink->calls.size(), 6u);
        EXPECT_EQ(sink->calls[0].member, "OnKeepAlive");
        EXPECT_EQ(sink->calls[1].member, "OnPCodeMachineStateChange");
        EXPECT_EQ(sink->calls[2].member, "OnMemoryProgress");
        EXPECT_EQ(sink->calls[2].nPercentage, 37);
        EXPECT_EQ(sink->calls[3].member, "OnError");
        EXPECT_EQ(sink->calls[3].lError, -2);
        EXPECT_EQ(sink->calls[4].member, "OnDebugCommandComplete");
        EXPECT_EQ(sink->calls[4].lError, 1223);
        const auto& read = sink->calls[5];
        EXPECT_EQ(read.member, "OnReadMemoryComplete");
        // The text is passed as it is, not copied into a string.
        EXPECT_EQ(read.pText, kDetails);
        EXPECT_EQ(read.text, u"Operation completed successfully");
        EXPECT_EQ(read.dwAddress, 0x8000F000u);
        EXPECT_EQ(read.dwLength, 4u);
        EXPECT_EQ(read.pvData, data);
        EXPECT_EQ(read.lParam, 99);
    }
}

TEST_F(SkEventFiring, ADispatchSinkCannotConnectToTheCustomInterface) {
    auto sink = TestSink::Create(DIID__ISkCmdTargetEvents);
    DWORD cookie = 0;
    EXPECT_EQ(Debuggee().Advise(sink.Get(), &cookie), CONNECT_E_CANNOTCONNECT);
    auto debuggee = TestDebuggeeSink::Create();
    EXPECT_EQ(Commands().Advise(debuggee.Get(), &cookie), CONNECT_E_CANNOTCONNECT);
}

}  // namespace
