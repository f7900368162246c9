// The holders the tools and tests use around events and strings.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "winport/host/Bstr.h"
#include "winport/host/EventConnection.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOLDERS_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define HOLDERS_TEST_ASAN 1
#endif
#ifdef HOLDERS_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

using winport::Bstr;
using winport::EventConnection;

// {3f1c2a10-6b7e-4d55-9a0b-1c2d3e4f5a6b}
const IID kEvents = {0x3f1c2a10, 0x6b7e, 0x4d55, {0x9a, 0x0b, 0x1c, 0x2d, 0x3e, 0x4f, 0x5a, 0x6b}};

// A source with one connection point for kEvents that counts what is done to it.
class CountingSource final : public IConnectionPointContainer, public IConnectionPoint {
public:
    HRESULT QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IConnectionPointContainer)
            *out = static_cast<IConnectionPointContainer*>(this);
        else if (iid == IID_IConnectionPoint)
            *out = static_cast<IConnectionPoint*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }  // lives on the test's stack

    HRESULT EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        ++finds;
        *point = nullptr;
        if (iid != kEvents)
            return CONNECT_E_NOCONNECTION;
        *point = this;
        AddRef();
        return S_OK;
    }

    HRESULT GetConnectionInterface(IID* iid) override {
        *iid = kEvents;
        return S_OK;
    }
    HRESULT GetConnectionPointContainer(IConnectionPointContainer**) override { return E_NOTIMPL; }
    HRESULT Advise(IUnknown* sink, DWORD* cookie) override {
        *cookie = 0;
        if (refuseAdvise)
            return CONNECT_E_ADVISELIMIT;
        sinks.push_back(sink);
        *cookie = static_cast<DWORD>(sinks.size());
        return S_OK;
    }
    HRESULT Unadvise(DWORD cookie) override {
        unadvised.push_back(cookie);
        return cookie >= 1 && cookie <= sinks.size() ? S_OK : CONNECT_E_NOCONNECTION;
    }
    HRESULT EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

    ULONG refs = 1;
    int finds = 0;
    bool refuseAdvise = false;
    std::vector<IUnknown*> sinks;
    std::vector<DWORD> unadvised;
};

// Not a container at all.
class PlainObject final : public IUnknown {
public:
    HRESULT QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (iid != IID_IUnknown)
            return E_NOINTERFACE;
        *out = this;
        return S_OK;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
};

TEST(EventConnection, AdvisesOnceAndUnadvisesOnScopeExit) {
    CountingSource source;
    PlainObject sink;
    {
        EventConnection connection(static_cast<IConnectionPointContainer*>(&source), kEvents, &sink);
        EXPECT_TRUE(connection.Connected());
        EXPECT_EQ(connection.Result(), S_OK);
        EXPECT_EQ(connection.FailedStep(), EventConnection::Step::kNone);
        EXPECT_EQ(connection.Cookie(), 1u);
        EXPECT_EQ(source.finds, 1);
        ASSERT_EQ(source.sinks.size(), 1u);
        EXPECT_EQ(source.sinks[0], &sink);
        EXPECT_TRUE(source.unadvised.empty());
        EXPECT_EQ(source.refs, 2u);  // the connection holds the point
    }
    EXPECT_EQ(source.unadvised, (std::vector<DWORD>{1}));
    EXPECT_EQ(source.refs, 1u);
}

TEST(EventConnection, MovesWithoutUnadvisingTwice) {
    CountingSource source;
    PlainObject sink;
    EventConnection first(static_cast<IConnectionPointContainer*>(&source), kEvents, &sink);
    EventConnection second = std::move(first);
    EXPECT_FALSE(first.Connected());
    EXPECT_TRUE(second.Connected());
    EXPECT_EQ(first.Disconnect(), S_FALSE);
    EXPECT_TRUE(source.unadvised.empty());

    EventConnection third(static_cast<IConnectionPointContainer*>(&source), kEvents, &sink);
    third = std::move(second);  // the connection third held goes first
    EXPECT_EQ(source.unadvised, (std::vector<DWORD>{2}));
    EXPECT_EQ(third.Cookie(), 1u);
    EXPECT_EQ(third.Disconnect(), S_OK);
    EXPECT_EQ(third.Disconnect(), S_FALSE);
    EXPECT_EQ(source.unadvised, (std::vector<DWORD>{2, 1}));
    EXPECT_EQ(source.refs, 1u);
}

TEST(EventConnection, ReportsTheStepThatFailed) {
    CountingSource source;
    PlainObject sink;
    PlainObject notASource;
    {
        EventConnection noContainer(&notASource, kEvents, &sink);
        EXPECT_FALSE(noContainer.Connected());
        EXPECT_EQ(noContainer.FailedStep(), EventConnection::Step::kQueryContainer);
        EXPECT_EQ(noContainer.Result(), E_NOINTERFACE);

        EventConnection noPoint(static_cast<IConnectionPointContainer*>(&source), IID_IDispatch, &sink);
        EXPECT_FALSE(noPoint.Connected());
        EXPECT_EQ(noPoint.FailedStep(), EventConnection::Step::kFindConnectionPoint);
        EXPECT_EQ(noPoint.Result(), CONNECT_E_NOCONNECTION);

        source.refuseAdvise = true;
        EventConnection refused(static_cast<IConnectionPointContainer*>(&source), kEvents, &sink);
        EXPECT_FALSE(refused.Connected());
        EXPECT_EQ(refused.FailedStep(), EventConnection::Step::kAdvise);
        EXPECT_EQ(refused.Result(), CONNECT_E_ADVISELIMIT);
        EXPECT_EQ(refused.Disconnect(), S_FALSE);

        EventConnection nothing(nullptr, kEvents, &sink);
        EXPECT_EQ(nothing.Result(), E_POINTER);
    }
    EXPECT_TRUE(source.unadvised.empty()) << "nothing was advised, so nothing is unadvised";
    EXPECT_EQ(source.refs, 1u);
}

// Whether the memory of a string has been given back (known only under ASan;
// elsewhere a double free or a leak is what the sanitizer-free build misses).
bool Freed([[maybe_unused]] BSTR text, [[maybe_unused]] bool expected) {
#ifdef HOLDERS_TEST_ASAN
    return __asan_address_is_poisoned(text) != 0;
#else
    return expected;
#endif
}

TEST(Bstr, FreesExactlyOnce) {
    BSTR raw = winport::AnsiToBstr("held");
    {
        Bstr held(raw);
        EXPECT_EQ(held.get(), raw);
        EXPECT_FALSE(Freed(raw, false));
        Bstr moved = std::move(held);
        EXPECT_EQ(held.get(), nullptr);
        EXPECT_EQ(moved.get(), raw);
        Bstr assigned;
        assigned = std::move(moved);
        Bstr& alias = assigned;
        assigned = std::move(alias);  // to itself: still held
        EXPECT_EQ(assigned.get(), raw);
        EXPECT_FALSE(Freed(raw, false));
    }  // a second free would stop the test under ASan
    EXPECT_TRUE(Freed(raw, true));
}

TEST(Bstr, ReleaseHandsOwnershipOver) {
    Bstr held = Bstr::FromUtf8("mine now");
    BSTR raw = held.release();
    EXPECT_EQ(held.get(), nullptr);
    EXPECT_EQ(held.release(), nullptr);
    held.reset();
    EXPECT_FALSE(Freed(raw, false));
    EXPECT_EQ(winport::BstrToAnsiLen(raw), "mine now");
    SysFreeString(raw);
}

TEST(Bstr, OutParameterReuseFreesTheOldValue) {
    auto produce = [](const char* text, BSTR* out) {
        *out = winport::AnsiToBstr(text);
        return S_OK;
    };
    Bstr text;
    ASSERT_EQ(produce("first", &text), S_OK);
    BSTR first = text.get();
    EXPECT_EQ(text.ToUtf8(), "first");
    ASSERT_EQ(produce("second", &text), S_OK);
    EXPECT_TRUE(Freed(first, true));
    EXPECT_EQ(text.ToUtf8(), "second");

    BSTR second = text.get();
    text.reset(winport::AnsiToBstr("third"));
    EXPECT_TRUE(Freed(second, true));
    text.reset(text.get());  // the same string again: kept
    EXPECT_EQ(text.ToUtf8(), "third");
}

TEST(Bstr, ConvertsFromAndToUtf8) {
    const std::string text(
        "gr\xC3\xBC\xC3\x9F"
        "e\0zero",
        12);
    Bstr held = Bstr::FromUtf8(text);
    ASSERT_NE(held.get(), nullptr);
    EXPECT_EQ(SysStringLen(held.get()), 10u);  // UTF-16 units, the zero among them
    EXPECT_EQ(held.ToUtf8(), text);
    EXPECT_EQ(Bstr().ToUtf8(), "");
    EXPECT_EQ(Bstr::FromUtf8("").ToUtf8(), "");
}

}  // namespace
