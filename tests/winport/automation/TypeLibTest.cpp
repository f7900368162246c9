// Type library objects over static tables: the descriptions they give, and
// tables they refuse.
#include <gtest/gtest.h>

#include "tests/winport/fixture/SampleComponent.h"
#include "winport/automation/TypeLibData.h"
#include "winport/automation/typelib.h"

namespace {

ComPtr<ITypeLib> SampleLib() {
    ComPtr<ITypeLib> library;
    EXPECT_EQ(winport::CreateTypeLib(&SampleTypeLibrary(), library.ReleaseAndGetAddressOf()), S_OK);
    return library;
}

ComPtr<ITypeInfo> TypeOf(ITypeLib* library, REFGUID guid) {
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(library->GetTypeInfoOfGuid(guid, info.ReleaseAndGetAddressOf()), S_OK);
    return info;
}

std::u16string Name(ITypeInfo* info, MEMBERID memid) {
    BSTR name = nullptr;
    if (FAILED(info->GetDocumentation(memid, &name, nullptr, nullptr, nullptr)))
        return u"?";
    std::u16string text = winport::BstrToU16(name);
    SysFreeString(name);
    return text;
}

TEST(TypeLib, LibraryAttributesAndTypes) {
    ComPtr<ITypeLib> library = SampleLib();
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, LIBID_SampleLib);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->lcid, 0u);
    EXPECT_EQ(attr->syskind, SYS_NATIVE);
    library->ReleaseTLibAttr(attr);
    EXPECT_EQ(library->GetTypeInfoCount(), 5u);
    TYPEKIND kind{};
    EXPECT_EQ(library->GetTypeInfoType(4, &kind), S_OK);
    EXPECT_EQ(kind, TKIND_COCLASS);
    EXPECT_EQ(library->GetTypeInfoType(5, &kind), TYPE_E_ELEMENTNOTFOUND);
    BSTR name = nullptr, doc = nullptr;
    ASSERT_EQ(library->GetDocumentation(-1, &name, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(winport::BstrToU16(name), u"SampleLib");
    EXPECT_EQ(winport::BstrToU16(doc), u"Sample Objects 1.0");
    SysFreeString(name);
    SysFreeString(doc);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(library->GetTypeInfoOfGuid(IID_IDispatch, info.ReleaseAndGetAddressOf()),
              TYPE_E_ELEMENTNOTFOUND);
}

TEST(TypeLib, ADualInterfaceListsItsFunctionsInVtableOrder) {
    ComPtr<ITypeLib> library = SampleLib();
    ComPtr<ITypeInfo> counter = TypeOf(library.Get(), IID_ISampleCounter);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(counter->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
    EXPECT_EQ(attr->cFuncs, 9);
    EXPECT_EQ(attr->cbSizeVft, (7 + 9) * sizeof(void*));
    counter->ReleaseTypeAttr(attr);

    // Value get and put take the slots after the seven of IDispatch, then Add...
    const char16_t* names[] = {u"Value", u"Value", u"Add", u"Describe", u"Check",
                               u"Sum8",  u"Mode",  u"Mix", u"Self"};
    for (UINT i = 0; i < 9; ++i) {
        FUNCDESC* func = nullptr;
        ASSERT_EQ(counter->GetFuncDesc(i, &func), S_OK);
        EXPECT_EQ(func->oVft, static_cast<SHORT>((7 + i) * sizeof(void*))) << i;
        EXPECT_EQ(Name(counter.Get(), func->memid), names[i]);
        counter->ReleaseFuncDesc(func);
    }
    FUNCDESC* add = nullptr;
    ASSERT_EQ(counter->GetFuncDesc(2, &add), S_OK);
    EXPECT_EQ(add->memid, 2);
    EXPECT_EQ(add->invkind, INVOKE_FUNC);
    EXPECT_EQ(add->cParams, 3);
    EXPECT_EQ(add->cParamsOpt, 1);
    EXPECT_EQ(add->elemdescFunc.tdesc.vt, VT_HRESULT);
    const ELEMDESC& step = add->lprgelemdescParam[1];
    EXPECT_EQ(step.tdesc.vt, VT_I4);
    EXPECT_EQ(step.paramdesc.wParamFlags, PARAMFLAG_FIN | PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT);
    ASSERT_NE(step.paramdesc.pparamdescex, nullptr);
    EXPECT_EQ(step.paramdesc.pparamdescex->varDefaultValue.vt, VT_I4);
    EXPECT_EQ(step.paramdesc.pparamdescex->varDefaultValue.lVal, kSampleDefaultStep);
    const ELEMDESC& result = add->lprgelemdescParam[2];
    EXPECT_EQ(result.tdesc.vt, VT_PTR);
    EXPECT_EQ(result.tdesc.lptdesc->vt, VT_I4);
    EXPECT_TRUE(result.paramdesc.wParamFlags & PARAMFLAG_FRETVAL);
    counter->ReleaseFuncDesc(add);
    FUNCDESC* none = nullptr;
    EXPECT_EQ(counter->GetFuncDesc(9, &none), TYPE_E_ELEMENTNOTFOUND);
}

TEST(TypeLib, BaseInterfacesAndCoclassesAreReachable) {
    ComPtr<ITypeLib> library = SampleLib();
    ComPtr<ITypeInfo> counter = TypeOf(library.Get(), IID_ISampleCounter);
    HREFTYPE base = 0;
    ASSERT_EQ(counter->GetRefTypeOfImplType(0, &base), S_OK);
    ComPtr<ITypeInfo> dispatch;
    ASSERT_EQ(counter->GetRefTypeInfo(base, dispatch.ReleaseAndGetAddressOf()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(dispatch->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_IDispatch);
    EXPECT_EQ(attr->cbSizeVft, 7 * sizeof(void*));
    dispatch->ReleaseTypeAttr(attr);

    ComPtr<ITypeInfo> raw = TypeOf(library.Get(), IID_ISampleRaw);
    FUNCDESC* poke = nullptr;
    ASSERT_EQ(raw->GetFuncDesc(0, &poke), S_OK);
    EXPECT_EQ(poke->funckind, FUNC_PUREVIRTUAL);
    EXPECT_EQ(poke->oVft, static_cast<SHORT>(3 * sizeof(void*)));  // after IUnknown's three
    raw->ReleaseFuncDesc(poke);

    ComPtr<ITypeInfo> coclass = TypeOf(library.Get(), CLSID_SampleCounter);
    INT flags = 0;
    ASSERT_EQ(coclass->GetImplTypeFlags(1, &flags), S_OK);
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
    HREFTYPE events = 0;
    ASSERT_EQ(coclass->GetRefTypeOfImplType(1, &events), S_OK);
    ComPtr<ITypeInfo> eventInfo;
    ASSERT_EQ(coclass->GetRefTypeInfo(events, eventInfo.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(Name(eventInfo.Get(), MEMBERID_NIL), u"_ISampleEvents");
    EXPECT_EQ(coclass->GetImplTypeFlags(3, &flags), TYPE_E_ELEMENTNOTFOUND);

    ComPtr<ITypeLib> containing;
    UINT index = 99;
    ASSERT_EQ(eventInfo->GetContainingTypeLib(containing.ReleaseAndGetAddressOf(), &index), S_OK);
    EXPECT_EQ(containing.Get(), library.Get());
    EXPECT_EQ(index, 2u);
}

TEST(TypeLib, EnumerationsCarryTheirValues) {
    ComPtr<ITypeLib> library = SampleLib();
    ComPtr<ITypeInfo> mode;
    ASSERT_EQ(library->GetTypeInfo(0, mode.ReleaseAndGetAddressOf()), S_OK);
    VARDESC* var = nullptr;
    ASSERT_EQ(mode->GetVarDesc(2, &var), S_OK);
    EXPECT_EQ(var->varkind, VAR_CONST);
    EXPECT_EQ(var->lpvarValue->vt, VT_I4);
    EXPECT_EQ(var->lpvarValue->lVal, SM_STOPPED);
    EXPECT_EQ(Name(mode.Get(), var->memid), u"SM_STOPPED");
    mode->ReleaseVarDesc(var);
}

TEST(TypeLib, NamesAndIdsOfMembersAndParameters) {
    ComPtr<ITypeLib> library = SampleLib();
    ComPtr<ITypeInfo> counter = TypeOf(library.Get(), IID_ISampleCounter);
    const char16_t* request[] = {u"aDD", u"STEP", u"amount"};
    MEMBERID ids[3] = {};
    ASSERT_EQ(counter->GetIDsOfNames(const_cast<LPOLESTR*>(request), 3, ids), S_OK);
    EXPECT_EQ(ids[0], 2);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], 0);
    const char16_t* unknown[] = {u"Subtract"};
    EXPECT_EQ(counter->GetIDsOfNames(const_cast<LPOLESTR*>(unknown), 1, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], MEMBERID_NIL);
    const char16_t* badParam[] = {u"Add", u"nothing"};
    EXPECT_EQ(counter->GetIDsOfNames(const_cast<LPOLESTR*>(badParam), 2, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 2);
    EXPECT_EQ(ids[1], MEMBERID_NIL);

    BSTR names[4] = {};
    UINT count = 0;
    ASSERT_EQ(counter->GetNames(2, names, 4, &count), S_OK);
    ASSERT_EQ(count, 4u);
    EXPECT_EQ(winport::BstrToU16(names[0]), u"Add");
    EXPECT_EQ(winport::BstrToU16(names[2]), u"step");
    for (UINT i = 0; i < count; ++i)
        SysFreeString(names[i]);

    OLECHAR buffer[] = u"isamplecounter";
    BOOL found = FALSE;
    ASSERT_EQ(library->IsName(buffer, 0, &found), S_OK);
    EXPECT_TRUE(found);
    EXPECT_EQ(std::u16string(buffer), u"ISampleCounter");
}

// Tables with a fault in one place, each refused as a whole.
TEST(TypeLib, InconsistentTablesAreRefused) {
    using namespace winport;
    static constexpr TlbParam kRetvalFirst[] = {{u"p", {VT_I4, 1}, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL},
                                                {u"q", {VT_I4}}};
    static constexpr TlbParam kRetvalByValue[] = {{u"p", {VT_I4}, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}};
    static constexpr TlbParam kBadUserType[] = {{u"p", {VT_USERDEFINED, 0, 7}}};
    static constexpr TlbFunc kFuncsRetvalFirst[] = {{u"F", 1, INVOKE_FUNC, kRetvalFirst, 2}};
    static constexpr TlbFunc kFuncsRetvalByValue[] = {{u"F", 1, INVOKE_FUNC, kRetvalByValue, 1}};
    static constexpr TlbFunc kFuncsBadUserType[] = {{u"F", 1, INVOKE_FUNC, kBadUserType, 1}};
    static constexpr TlbFunc kFuncsBadKind[] = {{u"F", 1, static_cast<INVOKEKIND>(3)}};
    static constexpr TlbImpl kSelfBase[] = {{0}};
    static constexpr TlbImpl kOutOfRange[] = {{5}};
    static constexpr TlbTypeInfo kCases[][1] = {
        {{.kind = TKIND_INTERFACE, .name = u"I", .guid = {}, .funcs = kFuncsRetvalFirst, .funcCount = 1}},
        {{.kind = TKIND_INTERFACE, .name = u"I", .guid = {}, .funcs = kFuncsRetvalByValue, .funcCount = 1}},
        {{.kind = TKIND_INTERFACE, .name = u"I", .guid = {}, .funcs = kFuncsBadUserType, .funcCount = 1}},
        {{.kind = TKIND_INTERFACE, .name = u"I", .guid = {}, .funcs = kFuncsBadKind, .funcCount = 1}},
        {{.kind = TKIND_INTERFACE, .name = u"I", .guid = {}, .impls = kSelfBase, .implCount = 1}},
        {{.kind = TKIND_COCLASS, .name = u"C", .guid = {}, .impls = kOutOfRange, .implCount = 1}},
        {{.kind = TKIND_ENUM, .name = u"E", .guid = {}, .funcs = kFuncsBadKind, .funcCount = 1}},
        {{.kind = TKIND_INTERFACE, .name = nullptr, .guid = {}}},
        {{.kind = TKIND_ALIAS, .name = u"A", .guid = {}}},
        {{.kind = TKIND_INTERFACE, .name = u"I", .guid = {}, .funcs = nullptr, .funcCount = 2}},
    };
    int i = 0;
    for (const auto& types : kCases) {
        TlbLibrary tables = {kTlbFormat, u"Bad", u"", {}, 1, 0, 0, 0, types, 1};
        ComPtr<ITypeLib> library;
        EXPECT_EQ(CreateTypeLib(&tables, library.ReleaseAndGetAddressOf()), TYPE_E_INVDATAREAD)
            << "case " << i;
        EXPECT_FALSE(library) << "case " << i;
        ++i;
    }
    TlbLibrary wrongFormat = {kTlbFormat + 1, u"Bad", u"", {}, 1, 0, 0, 0, nullptr, 0};
    ComPtr<ITypeLib> library;
    EXPECT_EQ(CreateTypeLib(&wrongFormat, library.ReleaseAndGetAddressOf()), TYPE_E_INVDATAREAD);
}

TEST(TypeLib, TheLibraryLivesAsLongAsAnyOfItsTypes) {
    ComPtr<ITypeInfo> counter;
    {
        ComPtr<ITypeLib> library = SampleLib();
        counter = TypeOf(library.Get(), IID_ISampleCounter);
    }
    // The library object went with its last outside reference but one: the
    // type information still answers.
    EXPECT_EQ(Name(counter.Get(), 3), u"Describe");
    ComPtr<ITypeLib> library;
    ASSERT_EQ(counter->GetContainingTypeLib(library.ReleaseAndGetAddressOf(), nullptr), S_OK);
    EXPECT_EQ(library->GetTypeInfoCount(), 5u);
}

}  // namespace
