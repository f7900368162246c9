// The trace channel: OnTrace with the level and the text as a string, and the
// formatting variant's 260-character buffer.
#include <gtest/gtest.h>

#include "Mirel/MirelEvents.h"
#include "common/objects/SkTrace.h"
#include "tests/support/TestSinks.h"

namespace {

using oskan::test::TestEventSource;
using oskan::test::TestSink;

class SkTrace : public ::testing::Test {
protected:
    void SetUp() override {
        source = TestEventSource::Create({DIID__ISkConnectionEvents, DIID__ISkTrace});
        sink = TestSink::Create(DIID__ISkTrace);
        ASSERT_EQ(Trace().Advise(sink.Get(), &sink->cookie), S_OK);
    }

    SkConnectionPoint& Trace() { return source->Point(1); }

    // The text of the last OnTrace, checking the shape of the call.
    std::u16string LastText(int expectedLevel) {
        EXPECT_FALSE(sink->calls.empty());
        if (sink->calls.empty()) {
            return {};
        }
        const auto& call = sink->calls.back();
        EXPECT_EQ(call.dispid, DISPID_OnTrace);
        EXPECT_EQ(call.flags, DISPATCH_METHOD);
        EXPECT_EQ(call.lcid, LOCALE_USER_DEFAULT);
        EXPECT_EQ(call.cArgs, 2u);
        if (call.args.size() != 2) {
            return {};
        }
        EXPECT_EQ(call.args[1].vt, VT_I4);
        EXPECT_EQ(call.args[1].lVal, expectedLevel);
        EXPECT_EQ(call.args[0].vt, VT_BSTR);
        return call.args[0].text;
    }

    ComPtr<TestEventSource> source;
    ComPtr<TestSink> sink;
};

TEST_F(SkTrace, FiresOnTraceWithLevelAndText) {
    SkFireTrace(Trace(), 4, "[2.0.0.1.2.3]A0|0000002a");
    EXPECT_EQ(LastText(4), u"[2.0.0.1.2.3]A0|0000002a");
    SkFireTrace(Trace(), 5, "PC");
    EXPECT_EQ(LastText(5), u"PC");
    SkFireTrace(Trace(), 6, "");
    EXPECT_EQ(LastText(6), u"");
    EXPECT_EQ(sink->calls.size(), 3u);
}

TEST_F(SkTrace, TextIsConvertedFromTheAnsiCodePage) {
    SkFireTrace(Trace(), 7, "J Grüße \xE6\xB8\xA9");
    EXPECT_EQ(LastText(7), u"J Grüße 温");
    SkFireTrace(Trace(), 7, "bad \xFF\xC3 end");
    EXPECT_EQ(LastText(7), u"bad \xFFFD\xFFFD end");
}

TEST_F(SkTrace, FormattingVariantPrintsFirst) {
    SkFireTraceF(Trace(), 3, "%s|%08x", "S", 0x2Au);
    EXPECT_EQ(LastText(3), u"S|0000002a");
}

TEST_F(SkTrace, FormattedTextIsCutTo260Characters) {
    const std::string exact(260, 'x');
    SkFireTraceF(Trace(), 3, "%s", exact.c_str());
    EXPECT_EQ(LastText(3), std::u16string(260, u'x'));

    const std::string longer = std::string(250, 'a') + std::string(50, 'b');
    SkFireTraceF(Trace(), 3, "%s|%08x", longer.c_str(), 7u);
    EXPECT_EQ(LastText(3), std::u16string(250, u'a') + std::u16string(10, u'b'));

    // A cut through a multi-byte character leaves it off whole.
    const std::string accented = std::string(259, 'x') + "é";
    SkFireTraceF(Trace(), 3, "%s", accented.c_str());
    EXPECT_EQ(LastText(3), std::u16string(259, u'x'));
    const std::string fits = std::string(258, 'x') + "é";
    SkFireTraceF(Trace(), 3, "%s", fits.c_str());
    EXPECT_EQ(LastText(3), std::u16string(258, u'x') + u"é");
}

TEST_F(SkTrace, UnformattedTextIsNotCut) {
    const std::string longer(400, 'y');
    SkFireTrace(Trace(), 4, longer.c_str());
    EXPECT_EQ(LastText(4), std::u16string(400, u'y'));
}

TEST_F(SkTrace, EverySinkIsCalledAndNothingWithoutSinks) {
    auto second = TestSink::Create(DIID__ISkTrace);
    ASSERT_EQ(Trace().Advise(second.Get(), &second->cookie), S_OK);
    SkFireTraceF(Trace(), 5, "PC");
    EXPECT_EQ(sink->calls.size(), 1u);
    ASSERT_EQ(second->calls.size(), 1u);
    EXPECT_EQ(second->calls[0].args[0].text, u"PC");

    ASSERT_EQ(Trace().Unadvise(sink->cookie), S_OK);
    ASSERT_EQ(Trace().Unadvise(second->cookie), S_OK);
    SkFireTrace(Trace(), 5, "PC");
    SkFireTraceF(Trace(), 5, "%s", "PC");
    EXPECT_EQ(sink->calls.size(), 1u);
    EXPECT_EQ(second->calls.size(), 1u);
}

}  // namespace
