#pragma once
// IDispatch of the dual interfaces, served from the registered type library of
// the component (SkComponentModule looks the interface's type information up
// once), which drives GetIDsOfNames and Invoke. Without registration they fail
// with the lookup's error; the vtable is not affected.

#include "Mirel/MirelInterfaces.h"
#include "winport/automation/typelib.h"

// The IID of each dual interface, for the templates that serve them. A
// component specializes it for interfaces of its own beside their object.
template <class Interface>
struct SkInterfaceId;
template <>
struct SkInterfaceId<ISkRefresh> {
    static constexpr const IID& value = IID_ISkRefresh;
};
template <>
struct SkInterfaceId<ISkConnection> {
    static constexpr const IID& value = IID_ISkConnection;
};
template <>
struct SkInterfaceId<ISkCmdTarget> {
    static constexpr const IID& value = IID_ISkCmdTarget;
};
template <>
struct SkInterfaceId<ISkLoader> {
    static constexpr const IID& value = IID_ISkLoader;
};

// The four methods of IDispatch for the interface iid; `self` is the
// object's pointer of that interface.
HRESULT SkDispatchGetTypeInfoCount(UINT* pctinfo);
HRESULT SkDispatchGetTypeInfo(REFIID iid, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
HRESULT SkDispatchGetIDsOfNames(REFIID iid, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                DISPID* rgDispId);
HRESULT SkDispatchInvoke(REFIID iid, IDispatch* self, DISPID dispIdMember, REFIID riid, LCID lcid,
                         WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                         UINT* puArgErr);
