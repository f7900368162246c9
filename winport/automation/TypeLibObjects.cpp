#include "winport/automation/TypeLibObjects.h"

#include <new>

#include "winport/com/ComEntry.h"
#include "winport/registry/RegistryTree.h"

namespace winport::typelib {

namespace {

// IUnknown and IDispatch as every library sees its base interfaces.
constexpr TlbParam kQueryInterfaceParams[] = {{u"riid", {VT_VOID, 1}},
                                              {u"ppvObj", {VT_VOID, 2}, PARAMFLAG_FOUT}};
constexpr TlbFunc kIUnknownFuncs[] = {
    {u"QueryInterface", 0x60000000, INVOKE_FUNC, kQueryInterfaceParams, 2, VT_HRESULT, FUNCFLAG_FRESTRICTED},
    {u"AddRef", 0x60000001, INVOKE_FUNC, nullptr, 0, VT_UI4, FUNCFLAG_FRESTRICTED},
    {u"Release", 0x60000002, INVOKE_FUNC, nullptr, 0, VT_UI4, FUNCFLAG_FRESTRICTED},
};
constexpr TlbParam kGetTypeInfoCountParams[] = {{u"pctinfo", {VT_UINT, 1}, PARAMFLAG_FOUT}};
constexpr TlbParam kGetTypeInfoParams[] = {
    {u"itinfo", {VT_UINT}}, {u"lcid", {VT_UI4}}, {u"pptinfo", {VT_VOID, 2}, PARAMFLAG_FOUT}};
constexpr TlbParam kGetIDsOfNamesParams[] = {{u"riid", {VT_VOID, 1}},
                                             {u"rgszNames", {VT_VOID, 2}},
                                             {u"cNames", {VT_UINT}},
                                             {u"lcid", {VT_UI4}},
                                             {u"rgdispid", {VT_I4, 1}, PARAMFLAG_FOUT}};
constexpr TlbParam kInvokeParams[] = {{u"dispidMember", {VT_I4}},
                                      {u"riid", {VT_VOID, 1}},
                                      {u"lcid", {VT_UI4}},
                                      {u"wFlags", {VT_UI2}},
                                      {u"pdispparams", {VT_VOID, 1}},
                                      {u"pvarResult", {VT_VARIANT, 1}, PARAMFLAG_FOUT},
                                      {u"pexcepinfo", {VT_VOID, 1}, PARAMFLAG_FOUT},
                                      {u"puArgErr", {VT_UINT, 1}, PARAMFLAG_FOUT}};
constexpr TlbFunc kIDispatchFuncs[] = {
    {u"GetTypeInfoCount", 0x60010000, INVOKE_FUNC, kGetTypeInfoCountParams, 1, VT_HRESULT,
     FUNCFLAG_FRESTRICTED},
    {u"GetTypeInfo", 0x60010001, INVOKE_FUNC, kGetTypeInfoParams, 3, VT_HRESULT, FUNCFLAG_FRESTRICTED},
    {u"GetIDsOfNames", 0x60010002, INVOKE_FUNC, kGetIDsOfNamesParams, 5, VT_HRESULT, FUNCFLAG_FRESTRICTED},
    {u"Invoke", 0x60010003, INVOKE_FUNC, kInvokeParams, 8, VT_HRESULT, FUNCFLAG_FRESTRICTED},
};
constexpr TlbImpl kIDispatchBase[] = {{kTlbIUnknown}};
constexpr TlbTypeInfo kBuiltinTypes[] = {
    {.kind = TKIND_INTERFACE,
     .name = u"IUnknown",
     .guid = IID_IUnknown,
     .flags = TYPEFLAG_FHIDDEN,
     .funcs = kIUnknownFuncs,
     .funcCount = 3},
    {.kind = TKIND_INTERFACE,
     .name = u"IDispatch",
     .guid = IID_IDispatch,
     .flags = TYPEFLAG_FHIDDEN,
     .impls = kIDispatchBase,
     .implCount = 1,
     .funcs = kIDispatchFuncs,
     .funcCount = 4},
};
constexpr TlbLibrary kBuiltinLibrary = {
    kTlbFormat,
    u"stdole",
    u"OLE Automation",
    {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}},
    2,
    0,
    0,
    0,
    kBuiltinTypes,
    2};

constexpr MEMBERID kFirstVarMemid = 0x40000000;

bool IsInterfaceKind(TYPEKIND kind) {
    return kind == TKIND_INTERFACE || kind == TKIND_DISPATCH;
}

bool IsValidInvokeKind(INVOKEKIND kind) {
    return kind == INVOKE_FUNC || kind == INVOKE_PROPERTYGET || kind == INVOKE_PROPERTYPUT ||
           kind == INVOKE_PROPERTYPUTREF;
}

// The invoke kind a DISPATCH_ flag asks for.
bool Matches(INVOKEKIND kind, WORD wFlags) {
    return ((wFlags & DISPATCH_METHOD) && kind == INVOKE_FUNC) ||
           ((wFlags & DISPATCH_PROPERTYGET) && kind == INVOKE_PROPERTYGET) ||
           ((wFlags & DISPATCH_PROPERTYPUT) && kind == INVOKE_PROPERTYPUT) ||
           ((wFlags & DISPATCH_PROPERTYPUTREF) && kind == INVOKE_PROPERTYPUTREF);
}

HRESULT SetBstr(BSTR* out, const std::u16string& text) {
    if (!out)
        return S_OK;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HREFTYPE HrefOf(int type) {
    if (type == kTlbIUnknown)
        return kHrefIUnknown;
    if (type == kTlbIDispatch)
        return kHrefIDispatch;
    return static_cast<HREFTYPE>(type);
}

bool IsValidTypeRef(int type, USHORT typeCount) {
    return type == kTlbIUnknown || type == kTlbIDispatch || (type >= 0 && type < typeCount);
}

}  // namespace

// ------------------------------------------------------------------ Library

Library* Library::Create(const TlbLibrary& tables, HRESULT* status) {
    Library* library = nullptr;
    *status = ComEntry([&] {
        library = new Library();
        return S_OK;
    });
    if (!library)
        return nullptr;
    library->AddRef();
    *status = ComEntry([&] { return library->Copy(tables); });
    if (FAILED(*status)) {
        library->Release();
        return nullptr;
    }
    return library;
}

Library& Library::Builtin() {
    static Library* builtin = [] {
        HRESULT status = S_OK;
        return Create(kBuiltinLibrary, &status);  // holds its one reference for the process
    }();
    return *builtin;
}

HRESULT Library::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITypeLib) {
        *ppv = static_cast<ITypeLib*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG Library::Release() {
    ULONG count = --m_refs;
    if (count == 0)
        delete this;
    return count;
}

HRESULT Library::Copy(const TlbLibrary& tables) {
    if (tables.format != kTlbFormat || !tables.name || (tables.typeCount && !tables.types))
        return TYPE_E_INVDATAREAD;
    m_name = tables.name;
    m_doc = tables.doc ? tables.doc : u"";
    m_attr = TLIBATTR{tables.libid,        tables.lcid,         SYS_NATIVE,
                      tables.majorVersion, tables.minorVersion, tables.flags};
    for (USHORT i = 0; i < tables.typeCount; ++i)
        m_types.push_back(std::make_unique<TypeInfo>(this, i));
    for (USHORT i = 0; i < tables.typeCount; ++i) {
        HRESULT hr = CopyType(tables.types[i], m_types[i].get(), tables.typeCount);
        if (FAILED(hr))
            return hr;
    }
    // Vtable offsets follow the base interface's slots, so they are laid out
    // once every type is known; a chain of bases longer than the library
    // has types is a cycle.
    for (auto& type : m_types) {
        if (!IsInterfaceKind(type->kind))
            continue;
        WORD slots = 0;
        bool hasBase = !type->impls.empty();
        HREFTYPE href = hasBase ? type->impls[0].href : 0;
        for (size_t depth = 0; hasBase; ++depth) {
            if (depth > m_types.size())
                return TYPE_E_INVDATAREAD;
            if (href == kHrefIUnknown || href == kHrefIDispatch) {
                slots = static_cast<WORD>(slots + (href == kHrefIUnknown ? 3 : 7));
                break;
            }
            const TypeInfo* base = m_types[href].get();
            if (!IsInterfaceKind(base->kind))
                return TYPE_E_INVDATAREAD;
            slots = static_cast<WORD>(slots + base->funcs.size());
            hasBase = !base->impls.empty();
            href = hasBase ? base->impls[0].href : 0;
        }
        type->baseSlots = slots;
        bool vtable = type->kind == TKIND_INTERFACE || (type->flags & TYPEFLAG_FDUAL);
        for (size_t i = 0; i < type->funcs.size(); ++i) {
            Func& func = type->funcs[i];
            func.funckind = type->kind == TKIND_INTERFACE ? FUNC_PUREVIRTUAL : FUNC_DISPATCH;
            func.oVft = vtable ? static_cast<SHORT>((slots + i) * sizeof(void*)) : SHORT{-1};
        }
    }
    return S_OK;
}

bool Library::CopyTypeDesc(const TlbType& source, USHORT typeCount, TYPEDESC* target) {
    TYPEDESC base{};
    base.vt = source.vt;
    if (source.vt == VT_USERDEFINED) {
        if (!IsValidTypeRef(source.userType, typeCount))
            return false;
        base.hreftype = HrefOf(source.userType);
    } else if (source.vt == VT_CARRAY) {
        if (source.elements == 0)
            return false;
        ARRAYDESC& array = m_arrays.emplace_back();
        array.tdescElem.vt = source.arrayOf;
        array.tdescElem.lptdesc = nullptr;
        array.cDims = 1;
        array.rgbounds[0] = SAFEARRAYBOUND{source.elements, 0};
        base.lpadesc = &array;
    } else if (source.vt == VT_PTR) {
        return false;  // written as `pointers`
    } else {
        base.lptdesc = nullptr;
    }
    if (source.pointers > 3)
        return false;
    for (int i = 0; i < source.pointers; ++i) {
        TYPEDESC& pointee = m_typeNodes.emplace_back(base);
        base = TYPEDESC{};
        base.vt = VT_PTR;
        base.lptdesc = &pointee;
    }
    *target = base;
    return true;
}

HRESULT Library::CopyType(const TlbTypeInfo& source, TypeInfo* target, USHORT typeCount) {
    if (!source.name)
        return TYPE_E_INVDATAREAD;
    bool interfaceKind = IsInterfaceKind(source.kind);
    bool valid = source.kind == TKIND_ENUM || source.kind == TKIND_RECORD || interfaceKind ||
                 source.kind == TKIND_COCLASS;
    if (!valid || (source.implCount && !source.impls) || (source.funcCount && !source.funcs) ||
        (source.varCount && !source.vars))
        return TYPE_E_INVDATAREAD;
    if ((source.funcCount && !interfaceKind) || (source.varCount && interfaceKind))
        return TYPE_E_INVDATAREAD;
    if (interfaceKind && source.implCount > 1)
        return TYPE_E_INVDATAREAD;
    if (!interfaceKind && source.kind != TKIND_COCLASS && source.implCount)
        return TYPE_E_INVDATAREAD;

    target->kind = source.kind;
    target->name = source.name;
    target->doc = source.doc ? source.doc : u"";
    target->guid = source.guid;
    target->flags = source.flags;
    target->size = source.size;
    for (USHORT i = 0; i < source.implCount; ++i) {
        if (!IsValidTypeRef(source.impls[i].type, typeCount))
            return TYPE_E_INVDATAREAD;
        target->impls.push_back(Impl{HrefOf(source.impls[i].type), source.impls[i].flags});
    }
    for (USHORT i = 0; i < source.funcCount; ++i) {
        const TlbFunc& f = source.funcs[i];
        if (!f.name || !IsValidInvokeKind(f.invkind) || (f.paramCount && !f.params))
            return TYPE_E_INVDATAREAD;
        Func func{f.name, f.doc ? f.doc : u"", f.memid, f.invkind, FUNC_PUREVIRTUAL, -1, {}, {}, f.flags};
        func.result.vt = f.result;
        func.result.lptdesc = nullptr;
        for (USHORT p = 0; p < f.paramCount; ++p) {
            const TlbParam& param = f.params[p];
            Param copy{param.name ? param.name : u"", {}, param.flags, param.defaultValue};
            if (!param.name || !CopyTypeDesc(param.type, typeCount, &copy.type))
                return TYPE_E_INVDATAREAD;
            // A return value is the last parameter and is written through a pointer.
            if ((param.flags & PARAMFLAG_FRETVAL) && (p + 1 != f.paramCount || param.type.pointers == 0))
                return TYPE_E_INVDATAREAD;
            func.params.push_back(std::move(copy));
        }
        target->funcs.push_back(std::move(func));
    }
    for (USHORT i = 0; i < source.varCount; ++i) {
        const TlbVar& v = source.vars[i];
        Var var{v.name ? v.name : u"",
                v.doc ? v.doc : u"",
                kFirstVarMemid + i,
                {},
                source.kind == TKIND_ENUM ? VAR_CONST : VAR_PERINSTANCE,
                v.value};
        if (!v.name || !CopyTypeDesc(v.type, typeCount, &var.type))
            return TYPE_E_INVDATAREAD;
        target->vars.push_back(std::move(var));
    }
    return S_OK;
}

TypeInfo* Library::Resolve(HREFTYPE href) {
    if (href == kHrefIUnknown)
        return Builtin().m_types[0].get();
    if (href == kHrefIDispatch)
        return Builtin().m_types[1].get();
    return href < m_types.size() ? m_types[href].get() : nullptr;
}

HRESULT Library::GetTypeInfo(UINT index, ITypeInfo** ppTInfo) {
    if (!ppTInfo)
        return E_INVALIDARG;
    *ppTInfo = nullptr;
    if (index >= m_types.size())
        return TYPE_E_ELEMENTNOTFOUND;
    *ppTInfo = m_types[index].get();
    AddRef();
    return S_OK;
}

HRESULT Library::GetTypeInfoType(UINT index, TYPEKIND* pTKind) {
    if (!pTKind)
        return E_INVALIDARG;
    if (index >= m_types.size())
        return TYPE_E_ELEMENTNOTFOUND;
    *pTKind = m_types[index]->kind;
    return S_OK;
}

HRESULT Library::GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) {
    if (!ppTinfo)
        return E_INVALIDARG;
    *ppTinfo = nullptr;
    for (auto& type : m_types) {
        if (type->guid == guid) {
            *ppTinfo = type.get();
            AddRef();
            return S_OK;
        }
    }
    return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT Library::GetLibAttr(TLIBATTR** ppTLibAttr) {
    if (!ppTLibAttr)
        return E_INVALIDARG;
    *ppTLibAttr = new (std::nothrow) TLIBATTR(m_attr);
    return *ppTLibAttr ? S_OK : E_OUTOFMEMORY;
}

HRESULT Library::GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                  BSTR* pBstrHelpFile) {
    if (index < -1 || index >= static_cast<INT>(m_types.size()))
        return TYPE_E_ELEMENTNOTFOUND;
    if (index >= 0)
        return m_types[index]->GetDocumentation(MEMBERID_NIL, pBstrName, pBstrDocString, pdwHelpContext,
                                                pBstrHelpFile);
    if (pdwHelpContext)
        *pdwHelpContext = 0;
    if (pBstrHelpFile)
        *pBstrHelpFile = nullptr;
    HRESULT hr = SetBstr(pBstrName, m_name);
    if (SUCCEEDED(hr))
        hr = SetBstr(pBstrDocString, m_doc);
    return hr;
}

HRESULT Library::IsName(LPOLESTR szNameBuf, ULONG, BOOL* pfName) {
    if (!szNameBuf || !pfName)
        return E_INVALIDARG;
    std::u16string_view wanted(szNameBuf);
    *pfName = FALSE;
    auto matches = [&](const std::u16string& name) {
        if (*pfName || !registry::NamesEqual(name, wanted))
            return;
        *pfName = TRUE;
        name.copy(szNameBuf, name.size());  // the caller learns the name's own case
    };
    for (auto& type : m_types) {
        matches(type->name);
        for (auto& func : type->funcs) {
            matches(func.name);
            for (auto& param : func.params)
                matches(param.name);
        }
        for (auto& var : type->vars)
            matches(var.name);
    }
    return S_OK;
}

HRESULT Library::FindName(LPOLESTR szNameBuf, ULONG, ITypeInfo** ppTInfo, MEMBERID* rgMemId,
                          USHORT* pcFound) {
    if (!szNameBuf || !ppTInfo || !rgMemId || !pcFound)
        return E_INVALIDARG;
    std::u16string_view wanted(szNameBuf);
    USHORT found = 0;
    auto add = [&](TypeInfo* type, MEMBERID memid) {
        if (found >= *pcFound)
            return;
        ppTInfo[found] = type;
        AddRef();
        rgMemId[found++] = memid;
    };
    for (auto& type : m_types) {
        if (registry::NamesEqual(type->name, wanted))
            add(type.get(), MEMBERID_NIL);
        bool listed = false;
        for (auto& func : type->funcs) {
            if (!listed && registry::NamesEqual(func.name, wanted)) {
                add(type.get(), func.memid);
                listed = true;
            }
        }
        for (auto& var : type->vars)
            if (registry::NamesEqual(var.name, wanted))
                add(type.get(), var.memid);
    }
    *pcFound = found;
    return S_OK;
}

// ------------------------------------------------------------------ TypeInfo

HRESULT TypeInfo::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITypeInfo) {
        *ppv = static_cast<ITypeInfo*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG TypeInfo::AddRef() {
    return m_library->AddRef();
}

ULONG TypeInfo::Release() {
    return m_library->Release();
}

HRESULT TypeInfo::GetTypeAttr(TYPEATTR** ppTypeAttr) {
    if (!ppTypeAttr)
        return E_INVALIDARG;
    auto* attr = new (std::nothrow) TYPEATTR{};
    if (!attr)
        return E_OUTOFMEMORY;
    TLIBATTR* libAttr = nullptr;
    m_library->GetLibAttr(&libAttr);
    attr->guid = guid;
    attr->lcid = libAttr ? libAttr->lcid : 0;
    m_library->ReleaseTLibAttr(libAttr);
    attr->memidConstructor = MEMBERID_NIL;
    attr->memidDestructor = MEMBERID_NIL;
    attr->typekind = kind;
    attr->cFuncs = static_cast<WORD>(funcs.size());
    attr->cVars = static_cast<WORD>(vars.size());
    attr->cImplTypes = static_cast<WORD>(impls.size());
    attr->wTypeFlags = flags;
    bool interfaceKind = IsInterfaceKind(kind);
    attr->cbSizeInstance = kind == TKIND_RECORD ? size : kind == TKIND_ENUM ? 4 : sizeof(void*);
    attr->cbAlignment = interfaceKind || kind == TKIND_COCLASS ? alignof(void*) : 4;
    if (kind == TKIND_INTERFACE || (flags & TYPEFLAG_FDUAL))
        attr->cbSizeVft = static_cast<WORD>((baseSlots + funcs.size()) * sizeof(void*));
    else if (kind == TKIND_DISPATCH)
        attr->cbSizeVft = static_cast<WORD>(7 * sizeof(void*));
    attr->tdescAlias.vt = VT_EMPTY;
    attr->tdescAlias.lptdesc = nullptr;
    *ppTypeAttr = attr;
    return S_OK;
}

void TypeInfo::ReleaseTypeAttr(TYPEATTR* pTypeAttr) {
    delete pTypeAttr;
}

HRESULT TypeInfo::GetTypeComp(ITypeComp** ppTComp) {
    if (ppTComp)
        *ppTComp = nullptr;
    return E_NOTIMPL;
}

HRESULT TypeInfo::GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) {
    if (!ppFuncDesc)
        return E_INVALIDARG;
    *ppFuncDesc = nullptr;
    if (index >= funcs.size())
        return TYPE_E_ELEMENTNOTFOUND;
    const Func& func = funcs[index];
    auto* desc = new (std::nothrow) FUNCDESC{};
    if (!desc)
        return E_OUTOFMEMORY;
    desc->memid = func.memid;
    desc->funckind = func.funckind;
    desc->invkind = func.invkind;
    desc->callconv = CC_STDCALL;
    desc->cParams = static_cast<SHORT>(func.params.size());
    desc->oVft = func.oVft < 0 ? SHORT{0} : func.oVft;
    desc->elemdescFunc.tdesc = func.result;
    desc->wFuncFlags = func.flags;
    if (!func.params.empty()) {
        desc->lprgelemdescParam = new (std::nothrow) ELEMDESC[func.params.size()]{};
        if (!desc->lprgelemdescParam) {
            delete desc;
            return E_OUTOFMEMORY;
        }
    }
    for (size_t i = 0; i < func.params.size(); ++i) {
        const Param& param = func.params[i];
        ELEMDESC& elem = desc->lprgelemdescParam[i];
        elem.tdesc = param.type;
        elem.paramdesc.wParamFlags = param.flags;
        if (param.flags & PARAMFLAG_FOPT)
            ++desc->cParamsOpt;
        if (param.flags & PARAMFLAG_FHASDEFAULT) {
            auto* ex = new (std::nothrow) PARAMDESCEX{};
            if (!ex) {
                ReleaseFuncDesc(desc);
                return E_OUTOFMEMORY;
            }
            ex->cBytes = sizeof(PARAMDESCEX);
            VariantInit(&ex->varDefaultValue);
            ex->varDefaultValue.vt = VT_I4;
            ex->varDefaultValue.lVal = param.defaultValue;
            elem.paramdesc.pparamdescex = ex;
        }
    }
    *ppFuncDesc = desc;
    return S_OK;
}

void TypeInfo::ReleaseFuncDesc(FUNCDESC* pFuncDesc) {
    if (!pFuncDesc)
        return;
    for (SHORT i = 0; pFuncDesc->lprgelemdescParam && i < pFuncDesc->cParams; ++i)
        delete pFuncDesc->lprgelemdescParam[i].paramdesc.pparamdescex;
    delete[] pFuncDesc->lprgelemdescParam;
    delete pFuncDesc;
}

HRESULT TypeInfo::GetVarDesc(UINT index, VARDESC** ppVarDesc) {
    if (!ppVarDesc)
        return E_INVALIDARG;
    *ppVarDesc = nullptr;
    if (index >= vars.size())
        return TYPE_E_ELEMENTNOTFOUND;
    const Var& var = vars[index];
    auto* desc = new (std::nothrow) VARDESC{};
    if (!desc)
        return E_OUTOFMEMORY;
    desc->memid = var.memid;
    desc->varkind = var.kind;
    desc->elemdescVar.tdesc = var.type;
    if (var.kind == VAR_CONST) {
        desc->lpvarValue = new (std::nothrow) VARIANT{};
        if (!desc->lpvarValue) {
            delete desc;
            return E_OUTOFMEMORY;
        }
        desc->lpvarValue->vt = VT_I4;
        desc->lpvarValue->lVal = var.value;
    } else {
        desc->oInst = static_cast<ULONG>(var.value);
    }
    *ppVarDesc = desc;
    return S_OK;
}

void TypeInfo::ReleaseVarDesc(VARDESC* pVarDesc) {
    if (!pVarDesc)
        return;
    if (pVarDesc->varkind == VAR_CONST)
        delete pVarDesc->lpvarValue;
    delete pVarDesc;
}

HRESULT TypeInfo::GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) {
    return ComEntry([&] { return CollectNames(memid, rgBstrNames, cMaxNames, pcNames); });
}

HRESULT TypeInfo::CollectNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) {
    if (!rgBstrNames || !pcNames)
        return E_INVALIDARG;
    *pcNames = 0;
    std::vector<const std::u16string*> names;
    for (const Func& func : funcs) {
        if (func.memid != memid)
            continue;
        names.push_back(&func.name);
        // The value of a property put is not named.
        size_t count = func.params.size();
        if ((func.invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF)) && count)
            --count;
        for (size_t i = 0; i < count; ++i)
            names.push_back(&func.params[i].name);
        break;
    }
    for (const Var& var : vars)
        if (names.empty() && var.memid == memid)
            names.push_back(&var.name);
    if (names.empty())
        return TYPE_E_ELEMENTNOTFOUND;
    for (UINT i = 0; i < cMaxNames && i < names.size(); ++i) {
        if (FAILED(SetBstr(&rgBstrNames[i], *names[i]))) {
            for (UINT j = 0; j < i; ++j)
                SysFreeString(rgBstrNames[j]);
            return E_OUTOFMEMORY;
        }
        ++*pcNames;
    }
    return S_OK;
}

HRESULT TypeInfo::GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) {
    if (!pRefType)
        return E_INVALIDARG;
    if (index >= impls.size())
        return TYPE_E_ELEMENTNOTFOUND;
    *pRefType = impls[index].href;
    return S_OK;
}

HRESULT TypeInfo::GetImplTypeFlags(UINT index, INT* pImplTypeFlags) {
    if (!pImplTypeFlags)
        return E_INVALIDARG;
    if (index >= impls.size())
        return TYPE_E_ELEMENTNOTFOUND;
    *pImplTypeFlags = impls[index].flags;
    return S_OK;
}

HRESULT TypeInfo::GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) {
    if (!rgszNames || !pMemId || cNames == 0)
        return E_INVALIDARG;
    for (UINT i = 0; i < cNames; ++i)
        pMemId[i] = MEMBERID_NIL;
    if (!rgszNames[0])
        return E_INVALIDARG;
    const Func* member = nullptr;
    for (const Func& func : funcs) {
        if (registry::NamesEqual(func.name, rgszNames[0])) {
            member = &func;
            break;
        }
    }
    if (!member) {
        for (const Var& var : vars) {
            if (registry::NamesEqual(var.name, rgszNames[0])) {
                pMemId[0] = var.memid;
                return cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
            }
        }
        return DISP_E_UNKNOWNNAME;
    }
    pMemId[0] = member->memid;
    // Further names are parameters of the member; their ids are their positions.
    HRESULT hr = S_OK;
    for (UINT i = 1; i < cNames; ++i) {
        for (size_t p = 0; rgszNames[i] && p < member->params.size(); ++p)
            if (registry::NamesEqual(member->params[p].name, rgszNames[i]))
                pMemId[i] = static_cast<MEMBERID>(p);
        if (pMemId[i] == MEMBERID_NIL)
            hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT TypeInfo::GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                   DWORD* pdwHelpContext, BSTR* pBstrHelpFile) {
    const std::u16string* foundName = nullptr;
    const std::u16string* foundDoc = nullptr;
    if (memid == MEMBERID_NIL) {
        foundName = &name;
        foundDoc = &doc;
    }
    for (const Func& func : funcs) {
        if (!foundName && func.memid == memid) {
            foundName = &func.name;
            foundDoc = &func.doc;
        }
    }
    for (const Var& var : vars) {
        if (!foundName && var.memid == memid) {
            foundName = &var.name;
            foundDoc = &var.doc;
        }
    }
    if (!foundName)
        return TYPE_E_ELEMENTNOTFOUND;
    if (pdwHelpContext)
        *pdwHelpContext = 0;
    if (pBstrHelpFile)
        *pBstrHelpFile = nullptr;
    HRESULT hr = SetBstr(pBstrName, *foundName);
    if (SUCCEEDED(hr)) {
        hr = SetBstr(pBstrDocString, *foundDoc);
        if (FAILED(hr) && pBstrName) {
            SysFreeString(*pBstrName);
            *pBstrName = nullptr;
        }
    }
    return hr;
}

HRESULT TypeInfo::GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) {
    if (!ppTInfo)
        return E_INVALIDARG;
    *ppTInfo = m_library->Resolve(hRefType);
    if (!*ppTInfo)
        return TYPE_E_ELEMENTNOTFOUND;
    (*ppTInfo)->AddRef();
    return S_OK;
}

HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) {
    if (!ppTLib)
        return E_INVALIDARG;
    *ppTLib = m_library;
    m_library->AddRef();
    if (pIndex)
        *pIndex = m_index;
    return S_OK;
}

const Func* TypeInfo::FindFunc(MEMBERID memid, WORD wFlags, bool* memidKnown) const {
    *memidKnown = false;
    for (const Func& func : funcs) {
        if (func.memid != memid)
            continue;
        *memidKnown = true;
        if (Matches(func.invkind, wFlags))
            return &func;
    }
    return nullptr;
}

bool TypeInfo::ResolveCallType(const TYPEDESC& type, CallType* out) const {
    const TYPEDESC* t = &type;
    int pointers = 0;
    while (t->vt == VT_PTR) {
        t = t->lptdesc;
        ++pointers;
    }
    VARTYPE vt = t->vt;
    if (vt == VT_USERDEFINED) {
        const TypeInfo* target = m_library->Resolve(t->hreftype);
        if (!target)
            return false;
        if (target->kind == TKIND_ENUM) {
            vt = VT_I4;
        } else if (target->kind == TKIND_DISPATCH || target->kind == TKIND_INTERFACE) {
            vt = target->kind == TKIND_DISPATCH || target->guid == IID_IDispatch ? VT_DISPATCH : VT_UNKNOWN;
            // An interface is described behind the pointer that holds it.
            if (pointers == 0)
                return false;
            --pointers;
        } else {
            return false;
        }
    }
    switch (vt) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
        case VT_BOOL:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_UNKNOWN:
        case VT_ERROR:
            break;
        case VT_VARIANT:
            if (pointers == 0)
                return false;  // a VARIANT by value is no machine word
            break;
        default:
            return false;
    }
    *out = CallType{vt, pointers};
    return true;
}

}  // namespace winport::typelib
