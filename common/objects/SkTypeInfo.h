#pragma once
// The type information of the interfaces that every component's device and
// discovery objects serve (ISkRefresh, ISkConnection, ISkCmdTarget, ISkLoader,
// their event interfaces and _ISkTrace), so that each component's type library
// describes them from the same tables. A library lists these entries among its
// own types; they refer to no other type of the library.

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "winport/automation/TypeLibData.h"

namespace SkTypeInfo {

using winport::TlbFunc;
using winport::TlbImpl;
using winport::TlbParam;
using winport::TlbType;
using winport::TlbTypeInfo;

inline constexpr USHORT kRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
inline constexpr USHORT kOptional = PARAMFLAG_FIN | PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT;

inline constexpr TlbType kLong{VT_I4};
inline constexpr TlbType kInt{VT_INT};
inline constexpr TlbType kBstr{VT_BSTR};
inline constexpr TlbType kLongOut{VT_I4, 1};
inline constexpr TlbType kBstrOut{VT_BSTR, 1};

inline constexpr WORD kDual = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
inline constexpr WORD kDispinterface = TYPEFLAG_FDISPATCHABLE;

inline constexpr TlbImpl kDispatchBase[] = {{winport::kTlbIDispatch}};

inline constexpr TlbParam kTextOut[] = {{u"pVal", kBstrOut, kRetval}};
inline constexpr TlbParam kLongRetval[] = {{u"pVal", kLongOut, kRetval}};
inline constexpr TlbParam kTextIn[] = {{u"newVal", kBstr}};
inline constexpr TlbParam kLongIn[] = {{u"newVal", kLong}};
inline constexpr TlbParam kBoolOut[] = {{u"pVal", {VT_BOOL, 1}, kRetval}};
inline constexpr TlbParam kPercentage[] = {{u"nPercentage", kInt}};

template <class T, size_t N>
constexpr USHORT Count(const T (&)[N]) {
    return static_cast<USHORT>(N);
}

// ---------------------------------------------------------------- discovery

inline constexpr TlbParam kDeviceInfoParams[] = {{u"dwID", kLong},
                                                 {u"ppDeviceInfo", {VT_DISPATCH, 1}, kRetval}};

inline constexpr TlbFunc kRefreshFuncs[] = {
    {u"Refresh", 210},
    {u"Cancel", 211},
    {u"Reset", 212},
    {u"DeviceInfo", 214, INVOKE_PROPERTYGET, kDeviceInfoParams, 2},
};

inline constexpr TlbParam kRefreshComplete[] = {{u"lError", kInt}, {u"bstrDetails", kBstr}};
inline constexpr TlbParam kDeviceId[] = {{u"dwID", kInt}};

inline constexpr TlbFunc kRefreshEventFuncs[] = {
    {u"OnRefreshProgress", DISPID_OnRefreshProgress, INVOKE_FUNC, kPercentage, 1, VT_VOID},
    {u"OnRefreshComplete", DISPID_OnRefreshComplete, INVOKE_FUNC, kRefreshComplete, 2, VT_VOID},
    {u"OnDeviceUpdate", DISPID_OnDeviceUpdate, INVOKE_FUNC, kDeviceId, 1, VT_VOID},
    {u"OnDeviceRemove", DISPID_OnDeviceRemove, INVOKE_FUNC, kDeviceId, 1, VT_VOID},
};

inline constexpr TlbParam kTrace[] = {{u"nLevel", kInt}, {u"bstrText", kBstr}};
inline constexpr TlbFunc kTraceFuncs[] = {{u"OnTrace", DISPID_OnTrace, INVOKE_FUNC, kTrace, 2, VT_VOID}};

// ---------------------------------------------------------------- device objects

inline constexpr TlbFunc kConnectionFuncs[] = {
    {u"Address", 150, INVOKE_PROPERTYPUT, kTextIn, 1},
    {u"Address", 150, INVOKE_PROPERTYGET, kTextOut, 1},
    {u"Connected", 152, INVOKE_PROPERTYGET, kBoolOut, 1},
    {u"Connect", 153},
    {u"Disconnect", 154},
};

inline constexpr TlbParam kCommand[] = {{u"bstrCommand", kBstr}, {u"lParam", kLong, kOptional, 0}};

inline constexpr TlbFunc kCmdTargetFuncs[] = {
    {u"Flags", 173, INVOKE_PROPERTYGET, kLongRetval, 1},
    {u"Flags", 173, INVOKE_PROPERTYPUT, kLongIn, 1},
    {u"Command", 170, INVOKE_FUNC, kCommand, 2},
    {u"Cancel", 171},
};

inline constexpr TlbParam kLoad[] = {{u"bstrFileName", kBstr}, {u"nFlags", kInt, kOptional, 0}};

inline constexpr TlbFunc kLoaderFuncs[] = {
    {u"Load", 190, INVOKE_FUNC, kLoad, 2},
    {u"Cancel", 192},
};

inline constexpr TlbParam kConnectComplete[] = {{u"lError", kLong}, {u"bstrDetails", kBstr}};
inline constexpr TlbParam kDisconnect[] = {{u"lReason", kLong}, {u"bstrDetails", kBstr}};
inline constexpr TlbFunc kConnectionEventFuncs[] = {
    {u"OnConnectComplete", DISPID_OnConnectComplete, INVOKE_FUNC, kConnectComplete, 2, VT_VOID},
    {u"OnDisconnect", DISPID_OnDisconnect, INVOKE_FUNC, kDisconnect, 2, VT_VOID},
};

inline constexpr TlbParam kCommandComplete[] = {
    {u"lError", kLong}, {u"bstrDetails", kBstr}, {u"bstrResponse", kBstr}, {u"lParam", kLong}};
inline constexpr TlbFunc kCmdTargetEventFuncs[] = {
    {u"OnCommandComplete", DISPID_OnCommandComplete, INVOKE_FUNC, kCommandComplete, 4, VT_VOID},
};

inline constexpr TlbParam kLoadComplete[] = {{u"lError", kLong}, {u"bstrDetails", kBstr}};
inline constexpr TlbFunc kLoaderEventFuncs[] = {
    {u"OnLoadProgress", DISPID_OnLoadProgress, INVOKE_FUNC, kPercentage, 1, VT_VOID},
    {u"OnLoadComplete", DISPID_OnLoadComplete, INVOKE_FUNC, kLoadComplete, 2, VT_VOID},
};

// ---------------------------------------------------------------- the entries

constexpr TlbTypeInfo Dual(const char16_t* name, const char16_t* doc, const GUID& iid, const TlbFunc* funcs,
                           USHORT count) {
    return {.kind = TKIND_DISPATCH,
            .name = name,
            .guid = iid,
            .flags = kDual,
            .doc = doc,
            .impls = kDispatchBase,
            .implCount = 1,
            .funcs = funcs,
            .funcCount = count};
}

constexpr TlbTypeInfo Dispinterface(const char16_t* name, const char16_t* doc, const GUID& iid,
                                    const TlbFunc* funcs, USHORT count) {
    TlbTypeInfo info = Dual(name, doc, iid, funcs, count);
    info.flags = kDispinterface;
    return info;
}

inline constexpr TlbTypeInfo kISkRefresh =
    Dual(u"ISkRefresh", u"ISkRefresh Interface", IID_ISkRefresh, kRefreshFuncs, Count(kRefreshFuncs));
inline constexpr TlbTypeInfo kISkRefreshEvents =
    Dispinterface(u"_ISkRefreshEvents", u"_ISkRefreshEvents Interface", DIID__ISkRefreshEvents,
                  kRefreshEventFuncs, Count(kRefreshEventFuncs));
inline constexpr TlbTypeInfo kISkTrace =
    Dispinterface(u"_ISkTrace", u"_ISkTrace Interface", DIID__ISkTrace, kTraceFuncs, Count(kTraceFuncs));
inline constexpr TlbTypeInfo kISkConnection =
    Dual(u"ISkConnection", u"ISkConnection Interface", IID_ISkConnection, kConnectionFuncs,
         Count(kConnectionFuncs));
inline constexpr TlbTypeInfo kISkCmdTarget = Dual(u"ISkCmdTarget", u"ISkCmdTarget Interface",
                                                  IID_ISkCmdTarget, kCmdTargetFuncs, Count(kCmdTargetFuncs));
inline constexpr TlbTypeInfo kISkLoader =
    Dual(u"ISkLoader", u"ISkLoader Interface", IID_ISkLoader, kLoaderFuncs, Count(kLoaderFuncs));
inline constexpr TlbTypeInfo kISkConnectionEvents =
    Dispinterface(u"_ISkConnectionEvents", u"_ISkConnectionEvents Interface", DIID__ISkConnectionEvents,
                  kConnectionEventFuncs, Count(kConnectionEventFuncs));
inline constexpr TlbTypeInfo kISkCmdTargetEvents =
    Dispinterface(u"_ISkCmdTargetEvents", u"_ISkCmdTargetEvents Interface", DIID__ISkCmdTargetEvents,
                  kCmdTargetEventFuncs, Count(kCmdTargetEventFuncs));
inline constexpr TlbTypeInfo kISkLoaderEvents =
    Dispinterface(u"_ISkLoaderEvents", u"_ISkLoaderEvents Interface", DIID__ISkLoaderEvents,
                  kLoaderEventFuncs, Count(kLoaderEventFuncs));

}  // namespace SkTypeInfo
