#pragma once
// The type library objects behind ITypeLib and ITypeInfo: a copy of a
// library's tables, owned by the objects, so that they outlive the component
// library they were loaded from. A library and its type informations share
// one reference count.

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "winport/automation/TypeLibData.h"
#include "winport/automation/typelib.h"

namespace winport::typelib {

class Library;

// A base interface or coclass interface reached by hreftype: types of the
// same library are their index; IUnknown and IDispatch are the built-in ones.
constexpr HREFTYPE kHrefIUnknown = 0x40000000;
constexpr HREFTYPE kHrefIDispatch = 0x40000001;

struct Param {
    std::u16string name;
    TYPEDESC type;
    USHORT flags;
    LONG defaultValue;
};

struct Func {
    std::u16string name;
    std::u16string doc;
    MEMBERID memid;
    INVOKEKIND invkind;
    FUNCKIND funckind;
    SHORT oVft;  // -1 without a vtable slot
    std::vector<Param> params;
    TYPEDESC result;
    WORD flags;
};

struct Var {
    std::u16string name;
    std::u16string doc;
    MEMBERID memid;
    TYPEDESC type;
    VARKIND kind;
    LONG value;
};

struct Impl {
    HREFTYPE href;
    int flags;
};

// How Invoke passes one parameter: the base type (enumerations read as VT_I4)
// behind `pointers` levels of indirection.
struct CallType {
    VARTYPE vt;
    int pointers;
};

class TypeInfo final : public ITypeInfo {
public:
    TypeInfo(Library* library, UINT index) : m_library(library), m_index(index) {}

    // IUnknown: the library's count.
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // ITypeInfo
    HRESULT GetTypeAttr(TYPEATTR** ppTypeAttr) override;
    HRESULT GetTypeComp(ITypeComp** ppTComp) override;
    HRESULT GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) override;
    HRESULT GetVarDesc(UINT index, VARDESC** ppVarDesc) override;
    HRESULT GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) override;
    HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) override;
    HRESULT GetImplTypeFlags(UINT index, INT* pImplTypeFlags) override;
    HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override;
    HRESULT Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
    HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                             BSTR* pBstrHelpFile) override;
    HRESULT GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return E_NOTIMPL; }
    HRESULT GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) override;
    HRESULT AddressOfMember(MEMBERID, INVOKEKIND, PVOID*) override { return E_NOTIMPL; }
    HRESULT CreateInstance(IUnknown*, REFIID, PVOID*) override { return E_NOTIMPL; }
    HRESULT GetMops(MEMBERID, BSTR*) override { return E_NOTIMPL; }
    HRESULT GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override;
    void ReleaseTypeAttr(TYPEATTR* pTypeAttr) override;
    void ReleaseFuncDesc(FUNCDESC* pFuncDesc) override;
    void ReleaseVarDesc(VARDESC* pVarDesc) override;

    // The copied description.
    TYPEKIND kind = TKIND_ENUM;
    std::u16string name;
    std::u16string doc;
    GUID guid{};
    WORD flags = 0;
    ULONG size = 0;
    WORD baseSlots = 0;  // vtable slots before the first function
    std::vector<Impl> impls;
    std::vector<Func> funcs;
    std::vector<Var> vars;

    // The call type of a parameter; false when Invoke cannot pass it.
    bool ResolveCallType(const TYPEDESC& type, CallType* out) const;

private:
    const Func* FindFunc(MEMBERID memid, WORD wFlags, bool* memidKnown) const;
    // The bodies of GetNames and Invoke, which may run out of memory; the
    // methods turn that into E_OUTOFMEMORY.
    HRESULT CollectNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames);
    HRESULT InvokeMember(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                         VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);

    Library* m_library;
    UINT m_index;
};

class Library final : public ITypeLib {
public:
    // The tables copied into a new library with one reference; null with
    // TYPE_E_INVDATAREAD in *status when they are inconsistent.
    static Library* Create(const TlbLibrary& tables, HRESULT* status);
    // IUnknown and IDispatch, shared by every library.
    static Library& Builtin();

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override;

    // ITypeLib
    UINT GetTypeInfoCount() override { return static_cast<UINT>(m_types.size()); }
    HRESULT GetTypeInfo(UINT index, ITypeInfo** ppTInfo) override;
    HRESULT GetTypeInfoType(UINT index, TYPEKIND* pTKind) override;
    HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) override;
    HRESULT GetLibAttr(TLIBATTR** ppTLibAttr) override;
    HRESULT GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
    HRESULT GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                             BSTR* pBstrHelpFile) override;
    HRESULT IsName(LPOLESTR szNameBuf, ULONG lHashVal, BOOL* pfName) override;
    HRESULT FindName(LPOLESTR szNameBuf, ULONG lHashVal, ITypeInfo** ppTInfo, MEMBERID* rgMemId,
                     USHORT* pcFound) override;
    void ReleaseTLibAttr(TLIBATTR* pTLibAttr) override { delete pTLibAttr; }

    // The type information an hreftype names; null when it names none.
    TypeInfo* Resolve(HREFTYPE href);
    TypeInfo* Type(UINT index) { return m_types[index].get(); }

private:
    Library() = default;
    ~Library() = default;
    HRESULT Copy(const TlbLibrary& tables);
    HRESULT CopyType(const TlbTypeInfo& source, TypeInfo* target, USHORT typeCount);
    bool CopyTypeDesc(const TlbType& source, USHORT typeCount, TYPEDESC* target);

    std::atomic<ULONG> m_refs{0};
    std::u16string m_name;
    std::u16string m_doc;
    TLIBATTR m_attr{};
    std::vector<std::unique_ptr<TypeInfo>> m_types;
    // Storage of the TYPEDESC chains and array descriptions, with stable addresses.
    std::deque<TYPEDESC> m_typeNodes;
    std::deque<ARRAYDESC> m_arrays;
};

}  // namespace winport::typelib
