// The registry file's text form: what reads back unchanged, and what is
// refused with the line of the fault.
#include <gtest/gtest.h>

#include "tests/support/HostileFiles.h"
#include "winport/automation/oleauto.h"
#include "winport/registry/RegistryTree.h"
#include "winport/registry/registry.h"

namespace {

using namespace winport::registry;

const Value* FindValue(const Tree& tree, Root root, std::vector<std::u16string> path,
                       const std::u16string& name) {
    Key* key = tree.Find(root, path);
    if (!key)
        return nullptr;
    auto it = key->values.find(name);
    return it == key->values.end() ? nullptr : &it->second;
}

std::u16string Text(const Value* value) {
    std::u16string text;
    if (value)
        DataString(value->data, &text);
    return text;
}

bool ParseError(const std::string& text, std::string* error) {
    Tree tree;
    return !Parse(text, &tree, error);
}

TEST(RegistryTreeText, ReadsKeysValuesAndTypes) {
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; a comment\n"
        "[HKEY_CLASSES_ROOT\\Mirel.UdpDevice\\CLSID]\n"
        "@=\"{EC32CBBA-6B33-4A61-8839-86FB2A857F37}\"\n"
        "\"Quoted \\\"name\\\"\"=\"back\\\\slash\"\n"
        "\"Count\"=dword:0000002a\n"
        "\"Bytes\"=hex:01,02,\\\n"
        "  ff\n"
        "\"Expand\"=hex(2):41,00,00,00\n";
    Tree tree;
    std::string error;
    ASSERT_TRUE(Parse(text, &tree, &error)) << error;
    EXPECT_EQ(Text(FindValue(tree, kClassesRoot, {u"Mirel.UdpDevice", u"CLSID"}, u"")),
              u"{EC32CBBA-6B33-4A61-8839-86FB2A857F37}");
    EXPECT_EQ(Text(FindValue(tree, kClassesRoot, {u"Mirel.UdpDevice", u"CLSID"}, u"Quoted \"name\"")),
              u"back\\slash");
    const Value* count = FindValue(tree, kClassesRoot, {u"Mirel.UdpDevice", u"CLSID"}, u"Count");
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count->type, REG_DWORD);
    EXPECT_EQ(count->data, (std::vector<BYTE>{0x2a, 0, 0, 0}));
    const Value* bytes = FindValue(tree, kClassesRoot, {u"Mirel.UdpDevice", u"CLSID"}, u"Bytes");
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes->type, REG_BINARY);
    EXPECT_EQ(bytes->data, (std::vector<BYTE>{1, 2, 0xff}));
    const Value* expand = FindValue(tree, kClassesRoot, {u"Mirel.UdpDevice", u"CLSID"}, u"Expand");
    ASSERT_NE(expand, nullptr);
    EXPECT_EQ(expand->type, REG_EXPAND_SZ);
    EXPECT_EQ(Text(expand), u"A");
}

TEST(RegistryTreeText, NamesCompareWithoutCaseAndKeepTheirFirstSpelling) {
    Tree tree;
    std::string error;
    ASSERT_TRUE(
        Parse("REGEDIT4\n[HKEY_CLASSES_ROOT\\Mirel.UdpRefresh]\n@=\"a\"\n"
              "[hkey_classes_root\\MIREL.UDPREFRESH\\CurVer]\n\"Value\"=\"1\"\n\"VALUE\"=\"2\"\n",
              &tree, &error))
        << error;
    Key* key = tree.Find(kClassesRoot, {u"mirel.udprefresh"});
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->name, u"Mirel.UdpRefresh");
    EXPECT_EQ(key->subkeys.size(), 1u);
    EXPECT_EQ(Text(FindValue(tree, kClassesRoot, {u"Mirel.UdpRefresh", u"curver"}, u"value")), u"2");
    EXPECT_EQ(tree.Find(kClassesRoot, {u"Mirel.UdpRefresh", u"curver"})->values.size(), 1u);
}

TEST(RegistryTreeText, FormatReadsBackTheSameTree) {
    Tree tree;
    Key* key = tree.roots[kClassesRoot].Ensure(u"CLSID")->Ensure(u"{X}");
    key->values[u""] = Value{REG_SZ, StringData(u"Device \"One\" \\ two")};
    key->values[u"Lines"] = Value{REG_SZ, StringData(u"first\nsecond")};  // cannot be quoted on one line
    key->values[u"Wide"] = Value{REG_SZ, StringData(u"\u00e9\u4e2d")};
    key->values[u"Odd"] = Value{REG_SZ, {0x41}};  // not whole characters
    key->values[u"Number"] = Value{REG_DWORD, {1, 2, 3, 4}};
    std::vector<BYTE> big(100);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<BYTE>(i);
    key->values[u"Big"] = Value{REG_BINARY, big};
    tree.roots[kCurrentUser].Ensure(u"Empty")->Ensure(u"Leaf");

    std::string text = Format(tree);
    Tree again;
    std::string error;
    ASSERT_TRUE(Parse(text, &again, &error)) << error << "\n" << text;
    EXPECT_EQ(Format(again), text);
    Key* copy = again.Find(kClassesRoot, {u"CLSID", u"{X}"});
    ASSERT_NE(copy, nullptr);
    for (const auto& [name, value] : key->values) {
        auto it = copy->values.find(name);
        ASSERT_NE(it, copy->values.end()) << winport::Utf16ToAnsi(name);
        EXPECT_EQ(it->second.type, value.type) << winport::Utf16ToAnsi(name);
        EXPECT_EQ(it->second.data, value.data) << winport::Utf16ToAnsi(name);
    }
    EXPECT_NE(again.Find(kCurrentUser, {u"Empty", u"Leaf"}), nullptr);
    EXPECT_NE(text.find("\"Number\"=dword:04030201"), std::string::npos);
}

TEST(RegistryTreeText, RemovalLinesDeleteKeysAndValues) {
    Tree tree;
    std::string error;
    ASSERT_TRUE(
        Parse("REGEDIT4\n[HKEY_CLASSES_ROOT\\A\\B]\n\"v\"=\"1\"\n\"w\"=\"2\"\n\"v\"=-\n"
              "[HKEY_CLASSES_ROOT\\C]\n[-HKEY_CLASSES_ROOT\\C]\n",
              &tree, &error))
        << error;
    EXPECT_EQ(FindValue(tree, kClassesRoot, {u"A", u"B"}, u"v"), nullptr);
    EXPECT_NE(FindValue(tree, kClassesRoot, {u"A", u"B"}, u"w"), nullptr);
    EXPECT_EQ(tree.Find(kClassesRoot, {u"C"}), nullptr);
}

TEST(RegistryTreeText, MalformedTextIsRefusedWithItsLine) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"garbage\n", "line 1: the file does not begin with"},
        {"REGEDIT4\n\"v\"=\"1\"\n", "line 2: a value stands outside of any key"},
        {"REGEDIT4\n[HKEY_NOWHERE\\A]\n", "line 2: unknown root key"},
        {"REGEDIT4\n[HKEY_CLASSES_ROOT\\A\n", "line 2: a key line must end"},
        {"REGEDIT4\n[HKEY_CLASSES_ROOT\\A\\\\B]\n", "line 2: a key name is empty"},
        {"REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"v\"=\"open\n", "line 3: a quoted text has no closing quote"},
        {"REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"v\"=\"a\\nb\"\n", "line 3: a backslash"},
        {"REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"v\"=dword:123456789\n", "line 3: a dword value"},
        {"REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"v\"=hex:1g\n", "line 3: \"1g\" is not a hexadecimal byte"},
        {"REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"v\"=hex:01,\\\n", "the hexadecimal data of a value is cut off"},
        {"REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"v\" \"1\"\n", "line 3: \"=\" was expected"},
        {"REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"v\"=\"1\" trailing\n", "line 3: unexpected text"},
        {"REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"v\"=sz:1\n", "line 3: the value's data is neither"},
        {"REGEDIT4\n[-HKEY_CLASSES_ROOT]\n", "line 2: a root key cannot be removed"},
        // Bytes that are not UTF-8 would be replaced, and distinct names would merge.
        {"REGEDIT4\n[HKEY_CLASSES_ROOT\\A\xff]\n", "line 2: the line is not valid UTF-8"},
        {"REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"v\xc3\"=\"1\"\n", "line 3: the line is not valid UTF-8"},
        {"REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"v\"=\"\xed\xa0\x80\"\n", "line 3: the line is not valid UTF-8"},
        {"REGEDIT4\n; \xc0\xaf\n", "line 2: the line is not valid UTF-8"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_TRUE(ParseError(c.text, &error)) << c.text;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.text << " -> " << error;
    }
}

TEST(RegistryTreeText, KeysDeeperThanTheLimitAreRefusedWithoutDescending) {
    using oskan::test::DeepRegistryText;
    Tree tree;
    std::string error;
    ASSERT_TRUE(Parse(DeepRegistryText(kMaxKeyDepth), &tree, &error)) << error;
    std::vector<std::u16string> path(kMaxKeyDepth, u"k");
    EXPECT_NE(tree.Find(kCurrentUser, path), nullptr);
    for (size_t levels : {kMaxKeyDepth + 1, size_t{10'000}, size_t{1'000'000}}) {
        Tree deep;
        error.clear();
        EXPECT_FALSE(Parse(DeepRegistryText(levels), &deep, &error)) << levels;
        EXPECT_NE(error.find("line 3: a key lies more than 512 levels deep"), std::string::npos) << error;
        EXPECT_TRUE(deep.roots[kCurrentUser].subkeys.empty());
    }
}

TEST(RegistryTreeText, FormatWritesEachPathOnceAndReadsBack) {
    // The deepest keys of the longest names: written out as every level's
    // section, this 130 KB file became 33 MB.
    const std::string name(255, 'n');
    const std::string text = oskan::test::DeepRegistryText(kMaxKeyDepth, name);
    Tree tree;
    std::string error;
    ASSERT_TRUE(Parse(text, &tree, &error)) << error;
    std::string formatted = Format(tree);
    EXPECT_LT(formatted.size(), 2 * text.size());
    Tree again;
    ASSERT_TRUE(Parse(formatted, &again, &error)) << error;
    EXPECT_EQ(Format(again), formatted);
    std::vector<std::u16string> path(kMaxKeyDepth, winport::AnsiToUtf16(name));
    EXPECT_NE(again.Find(kCurrentUser, path), nullptr);
}

TEST(RegistryTreeText, ATreeOfAnyDepthIsFreedWithoutRecursion) {
    auto tree = std::make_unique<Tree>();
    Key* key = &tree->roots[kUsers];
    for (int i = 0; i < 300'000; ++i)
        key = key->Ensure(u"k");
    tree.reset();  // a recursive destructor runs out of stack here
    SUCCEED();
}

TEST(RegistryTreeText, EmptyTextIsAnEmptyRegistry) {
    Tree tree;
    std::string error;
    EXPECT_TRUE(Parse("", &tree, &error));
    EXPECT_TRUE(Parse("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n", &tree, &error)) << error;
    EXPECT_TRUE(tree.roots[kClassesRoot].subkeys.empty());
}

}  // namespace
