// Text between the ANSI code page (UTF-8) and UTF-16, invalid input included.
#include <gtest/gtest.h>

#include <string>

#include "winport/automation/oleauto.h"

namespace {

using winport::AnsiToUtf16;
using winport::Utf16ToAnsi;

const std::u16string kBad(1, u'\xFFFD');

TEST(TextConversion, AsciiAndNonAscii) {
    EXPECT_EQ(AnsiToUtf16(""), u"");
    EXPECT_EQ(AnsiToUtf16("UDP connection established"), u"UDP connection established");
    EXPECT_EQ(AnsiToUtf16("\xC3\xA9"), u"é");                   // 2 bytes
    EXPECT_EQ(AnsiToUtf16("\xE2\x82\xAC"), u"€");               // 3 bytes
    EXPECT_EQ(AnsiToUtf16("\xEF\xBF\xBF"), u"\xFFFF");          // highest 3-byte value
    EXPECT_EQ(AnsiToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");  // 4 bytes, a surrogate pair
    EXPECT_EQ(AnsiToUtf16("\xF4\x8F\xBF\xBF"), u"\U0010FFFF");  // the highest code point
    EXPECT_EQ(AnsiToUtf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
    EXPECT_EQ(Utf16ToAnsi(u"Grüße, 温度 \U0001F600"), "Grüße, 温度 \U0001F600");
    EXPECT_EQ(Utf16ToAnsi(std::u16string(u"a\0b", 3)), std::string("a\0b", 3));
}

TEST(TextConversion, InvalidUtf8BecomesReplacementCharacters) {
    struct Case {
        std::string in;
        std::u16string out;
    };
    const Case cases[] = {
        {"\x80", kBad},  // stray continuation byte
        {"a\xBF"
         "b",
         u"a\xFFFD"
         "b"},
        {"\xC0\x80", kBad + kBad},  // overlong forms
        {"\xC1\xBF", kBad + kBad},
        {"\xE0\x80\x80", kBad + kBad + kBad},
        {"\xF0\x80\x80\x80", kBad + kBad + kBad + kBad},
        {"\xED\xA0\x80", kBad + kBad + kBad},             // an encoded surrogate
        {"\xF4\x90\x80\x80", kBad + kBad + kBad + kBad},  // past U+10FFFF
        {"\xF5\x80", kBad + kBad},
        {"\xFF", kBad},
        {"\xFE\xFF", kBad + kBad},
        {"\xC3", kBad},  // cut short at the end
        {"\xE2\x82", kBad},
        {"\xF0\x9F\x98", kBad},
        {"\xE2\x82"
         "A",
         kBad + u"A"},  // cut short by the next character
        {"\xF0\x9F\x98\xC3\xA9", kBad + u"é"},
        {"\xC3\xA9\xA9", u"é" + kBad},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AnsiToUtf16(c.in), c.out) << ::testing::PrintToString(c.in);
    }
}

TEST(TextConversion, UnpairedSurrogatesBecomeReplacementCharacters) {
    EXPECT_EQ(Utf16ToAnsi(std::u16string(1, u'\xD83D')), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf16ToAnsi(std::u16string(1, u'\xDE00')), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf16ToAnsi(std::u16string{u'\xDE00', u'\xD83D'}), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(Utf16ToAnsi(std::u16string{u'\xD83D', u'x'}), "\xEF\xBF\xBDx");
}

TEST(TextConversion, AnyBytesConvertAndValidTextRoundTrips) {
    uint32_t seed = 99;
    for (int n = 0; n < 2000; ++n) {
        std::string bytes;
        const int length = n % 17;
        for (int i = 0; i < length; ++i) {
            seed = seed * 1103515245u + 12345u;
            bytes.push_back(static_cast<char>(seed >> 16));
        }
        const std::u16string wide = AnsiToUtf16(bytes);
        const std::string narrow = Utf16ToAnsi(wide);
        // Whatever came in, what comes out is valid and stable.
        EXPECT_EQ(AnsiToUtf16(narrow), wide);
        EXPECT_EQ(Utf16ToAnsi(AnsiToUtf16(narrow)), narrow);
        if (wide.find(u'\xFFFD') == std::u16string::npos) {
            EXPECT_EQ(narrow, bytes);
        }
    }
}

TEST(TextConversion, BstrHelpers) {
    BSTR b = winport::AnsiToBstr("Grüße");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 5u);
    EXPECT_EQ(winport::BstrToU16(b), u"Grüße");
    EXPECT_EQ(winport::BstrToAnsi(b), "Grüße");
    SysFreeString(b);

    b = winport::AnsiToBstr("abc\0def", 7);
    EXPECT_EQ(winport::BstrToU16(b), std::u16string(u"abc\0def", 7));
    EXPECT_EQ(winport::BstrToAnsiLen(b), std::string("abc\0def", 7));
    SysFreeString(b);

    b = winport::AnsiToBstr("abcdef", 2);
    EXPECT_EQ(winport::BstrToU16(b), u"ab");
    SysFreeString(b);

    b = winport::AnsiToBstr("");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 0u);
    SysFreeString(b);

    EXPECT_EQ(winport::AnsiToBstr(nullptr), nullptr);
    EXPECT_EQ(winport::BstrToAnsi(nullptr), "");
    EXPECT_EQ(winport::BstrToU16(nullptr), u"");

    b = winport::U16ToBstr(u"\U0001F600");
    EXPECT_EQ(SysStringLen(b), 2u);
    EXPECT_EQ(winport::BstrToAnsi(b), "\U0001F600");
    SysFreeString(b);

    winport::SimulateBstrAllocationFailure(0);
    EXPECT_EQ(winport::AnsiToBstr("x"), nullptr);
}

}  // namespace
