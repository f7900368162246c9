// Late binding through a type information: arguments found by position and
// by name, optional ones filled in, converted to the parameters' types, and
// the call made through the vtable; and the conversions themselves.
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/AllocationFailure.h"
#include "tests/winport/fixture/SampleComponent.h"
#include "winport/automation/typelib.h"

namespace {

VARIANT Int(LONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

VARIANT Text(const char* text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = winport::AnsiToBstr(text);
    return v;
}

VARIANT Missing() {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

class DispInvokeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ComPtr<ITypeLib> library;
        ASSERT_EQ(winport::CreateTypeLib(&SampleTypeLibrary(), library.ReleaseAndGetAddressOf()), S_OK);
        ASSERT_EQ(library->GetTypeInfoOfGuid(IID_ISampleCounter, m_info.ReleaseAndGetAddressOf()), S_OK);
        ASSERT_EQ(CreateSampleCounter(nullptr, IID_ISampleCounter, m_counter.ReleaseAndGetVoidAddressOf()),
                  S_OK);
    }
    void TearDown() override {
        for (auto& v : m_args)
            VariantClear(&v);
        VariantClear(&m_result);
    }

    // Calls memid with the arguments in declaration order (they are passed
    // reversed, as DISPPARAMS holds them).
    HRESULT Call(MEMBERID memid, WORD flags, std::vector<VARIANT> args, std::vector<DISPID> named = {},
                 EXCEPINFO* excep = nullptr) {
        for (auto& v : m_args)
            VariantClear(&v);
        m_args.assign(args.rbegin(), args.rend());
        m_named = std::move(named);
        DISPPARAMS params{m_args.data(), m_named.empty() ? nullptr : m_named.data(),
                          static_cast<UINT>(m_args.size()), static_cast<UINT>(m_named.size())};
        VariantClear(&m_result);
        m_argErr = 12345;
        return m_info->Invoke(static_cast<ISampleCounter*>(m_counter.Get()), memid, flags, &params, &m_result,
                              excep, &m_argErr);
    }
    LONG Value() {
        LONG value = 0;
        m_counter->get_Value(&value);
        return value;
    }

    ComPtr<ITypeInfo> m_info;
    ComPtr<ISampleCounter> m_counter;
    std::vector<VARIANT> m_args;
    std::vector<DISPID> m_named;
    VARIANT m_result{};
    UINT m_argErr = 0;
};

TEST_F(DispInvokeTest, PropertyPutAndGet) {
    ASSERT_EQ(Call(1, DISPATCH_PROPERTYPUT, {Int(41)}, {DISPID_PROPERTYPUT}), S_OK);
    EXPECT_EQ(Value(), 41);
    ASSERT_EQ(Call(1, DISPATCH_PROPERTYGET, {}), S_OK);
    EXPECT_EQ(m_result.vt, VT_I4);
    EXPECT_EQ(m_result.lVal, 41);
    // A caller that sets method and property get together, as script hosts do.
    ASSERT_EQ(Call(1, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}), S_OK);
    EXPECT_EQ(m_result.lVal, 41);
}

// Out of memory anywhere in a call through the type information, or in
// copying a type library, is E_OUTOFMEMORY: nothing is thrown to the caller.
TEST_F(DispInvokeTest, RunningOutOfMemoryIsAnErrorNotAnException) {
    for (size_t failAt = 0;; ++failAt) {
        ASSERT_LT(failAt, 1000u);
        VARIANT args[2] = {Int(3), Int(5)};  // reversed: Add(5, 3)
        DISPPARAMS params{args, nullptr, 2, 0};
        VARIANT result;
        VariantInit(&result);
        BSTR names[4] = {};
        UINT count = 0;
        ComPtr<ITypeLib> copy;
        HRESULT invoked = E_FAIL, named = E_FAIL, copied = E_FAIL;
        bool failed = false;
        {
            oskan::test::AllocationFailure failure(failAt);
            EXPECT_NO_THROW(invoked = m_info->Invoke(static_cast<ISampleCounter*>(m_counter.Get()), 2,
                                                     DISPATCH_METHOD, &params, &result, nullptr, nullptr));
            EXPECT_NO_THROW(named = m_info->GetNames(2, names, 4, &count));
            EXPECT_NO_THROW(copied =
                                winport::CreateTypeLib(&SampleTypeLibrary(), copy.ReleaseAndGetAddressOf()));
            failed = failure.Happened();
        }
        for (UINT i = 0; i < count; ++i)
            SysFreeString(names[i]);
        for (HRESULT hr : {invoked, named, copied})
            EXPECT_TRUE(hr == S_OK || (failed && hr == E_OUTOFMEMORY)) << std::hex << hr << " at " << failAt;
        if (!failed) {
            EXPECT_EQ(result.vt, VT_I4);
            EXPECT_EQ(count, 4u);
            EXPECT_TRUE(copy);
            break;
        }
        VariantClear(&result);
    }
}

TEST_F(DispInvokeTest, AnOmittedOptionalParameterTakesItsDefault) {
    ASSERT_EQ(Call(2, DISPATCH_METHOD, {Int(5)}), S_OK);
    EXPECT_EQ(m_result.lVal, 5 * kSampleDefaultStep);
    ASSERT_EQ(Call(2, DISPATCH_METHOD, {Int(5), Missing()}), S_OK);  // passed as "missing"
    EXPECT_EQ(m_result.lVal, 10);
    ASSERT_EQ(Call(2, DISPATCH_METHOD, {Int(5), Int(3)}), S_OK);
    EXPECT_EQ(m_result.lVal, 25);
}

TEST_F(DispInvokeTest, NamedArgumentsGoToTheirParameters) {
    // Add(step:=4, amount:=10): named arguments stand first in DISPPARAMS.
    VARIANT args[2] = {Int(4), Int(10)};
    DISPID named[2] = {1, 0};
    DISPPARAMS params{args, named, 2, 2};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(m_info->Invoke(static_cast<ISampleCounter*>(m_counter.Get()), 2, DISPATCH_METHOD, &params,
                             &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.lVal, 40);
    DISPID twice[2] = {0, 0};
    params.rgdispidNamedArgs = twice;
    UINT argErr = 99;
    EXPECT_EQ(m_info->Invoke(static_cast<ISampleCounter*>(m_counter.Get()), 2, DISPATCH_METHOD, &params,
                             &result, nullptr, &argErr),
              DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(argErr, 1u);
}

TEST_F(DispInvokeTest, ArgumentsAreConvertedToTheParameterTypes) {
    ASSERT_EQ(Call(2, DISPATCH_METHOD, {Text(" 7 "), Int(2)}), S_OK);
    EXPECT_EQ(m_result.lVal, 14);
    ASSERT_EQ(Call(3, DISPATCH_METHOD, {Int(123), Int(1)}), S_OK);  // number as text, 1 as true
    ASSERT_EQ(m_result.vt, VT_BSTR);
    EXPECT_EQ(winport::BstrToAnsi(m_result.bstrVal), "123=14!");
    LONG byRef = 6;
    VARIANT reference;
    VariantInit(&reference);
    reference.vt = VT_BYREF | VT_I4;
    reference.plVal = &byRef;
    ASSERT_EQ(Call(2, DISPATCH_METHOD, {reference}), S_OK);
    EXPECT_EQ(m_result.lVal, 20);
}

TEST_F(DispInvokeTest, ArgumentsThatDoNotFitAreRefusedWithTheirPosition) {
    EXPECT_EQ(Call(2, DISPATCH_METHOD, {Int(1), Text("two")}), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(m_argErr, 0u);  // rgvarg index: the last argument stands first
    VARIANT huge;
    VariantInit(&huge);
    huge.vt = VT_I8;
    huge.llVal = 1LL << 40;
    EXPECT_EQ(Call(2, DISPATCH_METHOD, {huge}), DISP_E_OVERFLOW);
    EXPECT_EQ(m_argErr, 0u);
    EXPECT_EQ(Value(), 0);  // nothing was called
}

TEST_F(DispInvokeTest, WrongCountsMembersAndKinds) {
    EXPECT_EQ(Call(2, DISPATCH_METHOD, {Int(1), Int(2), Int(3)}), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Call(2, DISPATCH_METHOD, {}), DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(Call(99, DISPATCH_METHOD, {}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(2, DISPATCH_PROPERTYPUT, {Int(1)}, {DISPID_PROPERTYPUT}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(6, DISPATCH_PROPERTYPUT, {Int(1)}, {DISPID_PROPERTYPUT}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Value(), 0);
}

TEST_F(DispInvokeTest, AFailingMethodIsReportedThroughTheExceptionOrDirectly) {
    EXCEPINFO excep{};
    EXPECT_EQ(Call(4, DISPATCH_METHOD, {Int(E_ACCESSDENIED)}, {}, &excep), DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, E_ACCESSDENIED);
    EXPECT_EQ(winport::BstrToAnsi(excep.bstrDescription), "Access is denied.");
    SysFreeString(excep.bstrDescription);
    EXPECT_EQ(Call(4, DISPATCH_METHOD, {Int(E_ACCESSDENIED)}), E_ACCESSDENIED);
    EXPECT_EQ(Call(4, DISPATCH_METHOD, {Int(S_FALSE)}), S_OK);
}

TEST_F(DispInvokeTest, ManyNarrowAndWideArgumentsArriveIntact) {
    std::vector<VARIANT> args;
    for (LONG i = 1; i <= 8; ++i)
        args.push_back(Int(i * 100 - 1));
    ASSERT_EQ(Call(5, DISPATCH_METHOD, args), S_OK);
    LONG expected = 0;
    for (LONG i = 1; i <= 8; ++i)
        expected += i * (i * 100 - 1);
    EXPECT_EQ(m_result.lVal, expected);

    VARIANT big;
    VariantInit(&big);
    big.vt = VT_I8;
    big.llVal = -123456789012LL;
    ASSERT_EQ(Call(7, DISPATCH_METHOD, {Int(255), big}), S_OK);
    EXPECT_EQ(m_result.vt, VT_I8);
    EXPECT_EQ(m_result.llVal, -123456789012LL * 1000 + 255);
    EXPECT_EQ(Call(7, DISPATCH_METHOD, {Int(256), Int(0)}), DISP_E_OVERFLOW);
}

TEST_F(DispInvokeTest, EnumerationsAndInterfacesComeBackAsTheirVariantTypes) {
    ASSERT_EQ(Call(6, DISPATCH_PROPERTYGET, {}), S_OK);
    EXPECT_EQ(m_result.vt, VT_I4);
    EXPECT_EQ(m_result.lVal, SM_STOPPED);
    ASSERT_EQ(Call(8, DISPATCH_PROPERTYGET, {}), S_OK);
    ASSERT_EQ(m_result.vt, VT_DISPATCH);
    EXPECT_EQ(m_result.pdispVal, static_cast<IDispatch*>(m_counter.Get()));
    // The result holds a reference of its own.
    ULONG before = m_counter->AddRef();
    m_counter->Release();
    VariantClear(&m_result);
    ULONG after = m_counter->AddRef();
    m_counter->Release();
    EXPECT_EQ(after, before - 1);
}

TEST_F(DispInvokeTest, DispinterfaceMembersHaveNoVtableToCall) {
    ComPtr<ITypeLib> library;
    m_info->GetContainingTypeLib(library.ReleaseAndGetAddressOf(), nullptr);
    ComPtr<ITypeInfo> events;
    ASSERT_EQ(library->GetTypeInfoOfGuid(DIID__ISampleEvents, events.ReleaseAndGetAddressOf()), S_OK);
    VARIANT args[2] = {Text("x"), Int(1)};
    DISPPARAMS params{args, nullptr, 2, 0};
    EXPECT_EQ(events->Invoke(m_counter.Get(), 100, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    VariantClear(&args[0]);
}

TEST(DispCallFunc, RefusesWhatItCannotPass) {
    ComPtr<ISampleCounter> counter;
    ASSERT_EQ(CreateSampleCounter(nullptr, IID_ISampleCounter, counter.ReleaseAndGetVoidAddressOf()), S_OK);
    VARIANT real;
    VariantInit(&real);
    real.vt = VT_R8;
    real.dblVal = 1.5;
    VARTYPE types[] = {VT_R8};
    VARIANTARG* args[] = {&real};
    VARIANT result;
    const ULONG_PTR putValue = 8 * sizeof(void*);
    EXPECT_EQ(DispCallFunc(counter.Get(), putValue, CC_STDCALL, VT_HRESULT, 1, types, args, &result),
              DISP_E_BADVARTYPE);
    EXPECT_EQ(DispCallFunc(counter.Get(), putValue + 1, CC_STDCALL, VT_HRESULT, 1, types, args, &result),
              E_INVALIDARG);
    EXPECT_EQ(DispCallFunc(nullptr, putValue, CC_STDCALL, VT_HRESULT, 0, nullptr, nullptr, &result),
              E_INVALIDARG);
    VARIANT value = Int(9);
    types[0] = VT_I4;
    args[0] = &value;
    ASSERT_EQ(DispCallFunc(counter.Get(), putValue, CC_STDCALL, VT_HRESULT, 1, types, args, &result), S_OK);
    EXPECT_EQ(result.vt, VT_ERROR);
    EXPECT_EQ(result.scode, S_OK);
    LONG read = 0;
    counter->get_Value(&read);
    EXPECT_EQ(read, 9);
}

// ---------------------------------------------------------------- conversions

TEST(VariantChangeType, IntegersBooleansAndText) {
    VARIANT out;
    VariantInit(&out);
    VARIANT source = Text("-42");
    ASSERT_EQ(VariantChangeType(&out, &source, 0, VT_I2), S_OK);
    EXPECT_EQ(out.vt, VT_I2);
    EXPECT_EQ(out.iVal, -42);
    ASSERT_EQ(VariantChangeType(&out, &source, 0, VT_BOOL), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    VariantClear(&source);

    source = Text("TRUE");
    ASSERT_EQ(VariantChangeType(&out, &source, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, -1);
    VariantClear(&source);

    source = Int(0);
    source.vt = VT_BOOL;
    source.boolVal = VARIANT_FALSE;
    ASSERT_EQ(VariantChangeType(&out, &source, 0, VT_BSTR), S_OK);
    EXPECT_EQ(winport::BstrToAnsi(out.bstrVal), "False");
    VariantClear(&out);

    source.vt = VT_R8;
    source.dblVal = 2.5;  // halves round to even
    ASSERT_EQ(VariantChangeType(&out, &source, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 2);
    source.dblVal = 3.5;
    ASSERT_EQ(VariantChangeType(&out, &source, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 4);

    source = Int(-1);
    EXPECT_EQ(VariantChangeType(&out, &source, 0, VT_UI4), DISP_E_OVERFLOW);
    EXPECT_EQ(out.vt, VT_I4);  // left as it was
    source = Text("12abc");
    EXPECT_EQ(VariantChangeType(&out, &source, 0, VT_I4), DISP_E_TYPEMISMATCH);
    VariantClear(&source);
    source = Text("99999999999999999999999");
    EXPECT_EQ(VariantChangeType(&out, &source, 0, VT_I8), DISP_E_OVERFLOW);
    VariantClear(&source);
}

TEST(VariantChangeType, InterfacesAndReferences) {
    ComPtr<ISampleCounter> counter;
    ASSERT_EQ(CreateSampleCounter(nullptr, IID_ISampleCounter, counter.ReleaseAndGetVoidAddressOf()), S_OK);
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_UNKNOWN;
    ComPtr<ISampleRaw> raw;
    ASSERT_EQ(counter.As(IID_ISampleRaw, &raw), S_OK);
    source.punkVal = raw.Get();  // another interface of the object
    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(VariantChangeType(&out, &source, 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(out.pdispVal, static_cast<IDispatch*>(counter.Get()));
    VariantClear(&out);
    EXPECT_EQ(VariantChangeType(&out, &source, 0, VT_I4), DISP_E_TYPEMISMATCH);

    VARIANT inner = Int(17);
    VARIANT reference;
    VariantInit(&reference);
    reference.vt = VT_BYREF | VT_VARIANT;
    reference.pvarVal = &inner;
    ASSERT_EQ(VariantChangeType(&out, &reference, 0, VT_BSTR), S_OK);
    EXPECT_EQ(winport::BstrToAnsi(out.bstrVal), "17");
    VariantClear(&out);
    reference.pvarVal = &reference;  // a loop
    EXPECT_EQ(VariantChangeType(&out, &reference, 0, VT_I4), DISP_E_TYPEMISMATCH);
}

}  // namespace
