// BSTR layout and allocation; VARIANT layout, copy and clear.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "winport/automation/oleauto.h"

namespace {

uint32_t PrefixOf(BSTR bstr) {
    uint32_t count;
    std::memcpy(&count, reinterpret_cast<const unsigned char*>(bstr) - 4, sizeof(count));
    return count;
}

// Counts its references; checks that variants hold and give back exactly one.
class Probe final : public IDispatch {
public:
    HRESULT QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    ULONG refs = 1;
};

class BstrTest : public ::testing::Test {
protected:
    void TearDown() override { winport::SimulateBstrAllocationFailure(-1); }
};

TEST_F(BstrTest, IsLengthPrefixedAndZeroTerminated) {
    BSTR s = SysAllocString(u"Mirel");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 5u);
    EXPECT_EQ(SysStringByteLen(s), 10u);
    EXPECT_EQ(PrefixOf(s), 10u);
    EXPECT_EQ(s[5], u'\0');
    EXPECT_EQ(std::u16string(s), u"Mirel");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s) % alignof(OLECHAR), 0u);
    SysFreeString(s);
}

TEST_F(BstrTest, KeepsEmbeddedZeros) {
    const OLECHAR text[] = {u'a', 0, u'b', 0, 0};
    BSTR s = SysAllocStringLen(text, 4);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 4u);
    EXPECT_EQ(std::u16string(s, 4), std::u16string(text, 4));
    EXPECT_EQ(s[4], u'\0');
    EXPECT_EQ(winport::BstrToU16(s), std::u16string(text, 4));
    EXPECT_EQ(winport::BstrToAnsiLen(s), std::string("a\0b\0", 4));
    EXPECT_EQ(winport::BstrToAnsi(s), "a");  // as zero-terminated text
    SysFreeString(s);
}

TEST_F(BstrTest, EmptyNullAndZeroFilledStrings) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);

    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(empty[0], u'\0');
    SysFreeString(empty);

    BSTR zeroed = SysAllocStringLen(nullptr, 3);
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(SysStringLen(zeroed), 3u);
    for (int i = 0; i <= 3; ++i) {
        EXPECT_EQ(zeroed[i], 0);
    }
    SysFreeString(zeroed);

    BSTR odd = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(SysStringByteLen(odd), 3u);
    EXPECT_EQ(SysStringLen(odd), 1u);
    EXPECT_EQ(std::memcmp(odd, "abc\0\0", 5), 0);
    SysFreeString(odd);
}

TEST_F(BstrTest, ReAllocReplacesTheString) {
    BSTR s = SysAllocString(u"old");
    EXPECT_TRUE(SysReAllocString(&s, u"a longer new text"));
    EXPECT_EQ(std::u16string(s), u"a longer new text");
    EXPECT_EQ(SysStringLen(s), 17u);
    winport::SimulateBstrAllocationFailure(0);
    EXPECT_FALSE(SysReAllocString(&s, u"x"));
    EXPECT_EQ(std::u16string(s), u"a longer new text");
    SysFreeString(s);
}

TEST_F(BstrTest, SimulatedAllocationFailureHitsExactlyOneAllocation) {
    winport::SimulateBstrAllocationFailure(1);
    BSTR first = SysAllocString(u"1");
    BSTR second = SysAllocString(u"2");
    BSTR third = SysAllocString(u"3");
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    SysFreeString(first);
    SysFreeString(third);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);  // not representable
}

TEST(Variant, HasTheWindowsLayout) {
    EXPECT_EQ(sizeof(VARIANT), sizeof(void*) == 8 ? 24u : 16u);
    EXPECT_EQ(offsetof(VARIANT, vt), 0u);
    EXPECT_EQ(offsetof(VARIANT, lVal), 8u);
    EXPECT_EQ(offsetof(VARIANT, bstrVal), 8u);
    EXPECT_EQ(offsetof(VARIANT, punkVal), 8u);
    EXPECT_EQ(sizeof(VARTYPE), 2u);
    EXPECT_EQ(sizeof(VARIANT_BOOL), 2u);
    EXPECT_EQ(offsetof(DISPPARAMS, cArgs), 2 * sizeof(void*));
}

TEST(Variant, InitAndClear) {
    VARIANT v;
    std::memset(&v, 0xAB, sizeof(v));
    VariantInit(&v);
    EXPECT_EQ(v.vt, VT_EMPTY);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"owned");
    EXPECT_EQ(VariantClear(&v), S_OK);  // frees the string (the leak checker watches)
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(VariantClear(&v), S_OK);

    Probe probe;
    v.vt = VT_DISPATCH;
    v.pdispVal = &probe;
    probe.AddRef();
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(probe.refs, 1u);
    v.vt = VT_UNKNOWN;
    v.punkVal = &probe;
    probe.AddRef();
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(probe.refs, 1u);
    v.vt = VT_DISPATCH;
    v.pdispVal = nullptr;
    EXPECT_EQ(VariantClear(&v), S_OK);

    v.vt = VT_BOOL;
    v.boolVal = VARIANT_TRUE;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);

    v.vt = 0x0FFF;  // no such type: left alone
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
    EXPECT_EQ(v.vt, 0x0FFF);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(Variant, CopyDuplicatesStrings) {
    const OLECHAR text[] = {u'x', 0, u'y'};
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_BSTR;
    src.bstrVal = SysAllocStringLen(text, 3);
    VARIANT dst;
    VariantInit(&dst);
    dst.vt = VT_BSTR;
    dst.bstrVal = SysAllocString(u"replaced");  // cleared by the copy
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_EQ(dst.vt, VT_BSTR);
    EXPECT_NE(dst.bstrVal, src.bstrVal);
    EXPECT_EQ(winport::BstrToU16(dst.bstrVal), std::u16string(text, 3));
    // The copies are independent.
    dst.bstrVal[0] = u'#';
    EXPECT_EQ(src.bstrVal[0], u'x');
    EXPECT_EQ(VariantClear(&src), S_OK);
    EXPECT_EQ(winport::BstrToU16(dst.bstrVal), std::u16string(u"#\0y", 3));
    EXPECT_EQ(VariantCopy(&dst, &dst), S_OK);
    EXPECT_EQ(VariantClear(&dst), S_OK);

    // A null string copies as a null string.
    src.vt = VT_BSTR;
    src.bstrVal = nullptr;
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_EQ(dst.vt, VT_BSTR);
    EXPECT_EQ(dst.bstrVal, nullptr);
}

TEST(Variant, CopyAddsAReferenceToInterfaces) {
    Probe probe;
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_DISPATCH;
    src.pdispVal = &probe;
    probe.AddRef();
    VARIANT dst;
    VariantInit(&dst);
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_EQ(dst.pdispVal, &probe);
    EXPECT_EQ(probe.refs, 3u);
    // Copying over an interface gives the old reference back.
    src.vt = VT_I4;
    probe.Release();
    src.lVal = 7;
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_EQ(probe.refs, 1u);
    EXPECT_EQ(dst.vt, VT_I4);
    EXPECT_EQ(dst.lVal, 7);

    src.vt = VT_UNKNOWN;
    src.punkVal = static_cast<IUnknown*>(&probe);
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_EQ(probe.refs, 2u);
    EXPECT_EQ(VariantClear(&dst), S_OK);
    EXPECT_EQ(probe.refs, 1u);
}

TEST_F(BstrTest, FailedCopyLeavesTheDestinationEmpty) {
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_BSTR;
    src.bstrVal = SysAllocString(u"text");
    VARIANT dst;
    VariantInit(&dst);
    dst.vt = VT_I4;
    dst.lVal = 3;
    winport::SimulateBstrAllocationFailure(0);
    EXPECT_EQ(VariantCopy(&dst, &src), E_OUTOFMEMORY);
    EXPECT_EQ(dst.vt, VT_EMPTY);
    src.vt = 0x0FFF;
    EXPECT_EQ(VariantCopy(&dst, &src), DISP_E_BADVARTYPE);
    src.vt = VT_BSTR;
    EXPECT_EQ(VariantClear(&src), S_OK);
}

}  // namespace
