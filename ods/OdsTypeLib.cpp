#include "ods/OdsTypeLib.h"

#include "common/objects/SkTypeInfo.h"
#include "ods/OdsInterfaces.h"

namespace {

using SkTypeInfo::Count;
using SkTypeInfo::kLongRetval;
using SkTypeInfo::kTextOut;
using winport::TlbFunc;
using winport::TlbImpl;
using winport::TlbTypeInfo;

// The types in the order of the library. A class added to the library adds
// its coclass (and any interface of its own) here and in kTypes.
enum {
    kIFixedFirmwareDeviceInfo,
    kOdsUdpRefresh,
    kISkRefresh,
    kISkRefreshEvents,
    kISkTrace,
    kOdsUdpDevice,
    kOdsUdpBcastDevice,
    kISkConnection,
    kISkCmdTarget,
    kISkLoader,
    kISkConnectionEvents,
    kISkCmdTargetEvents,
    kISkLoaderEvents,
    kOdsSerialLoader,
    kTypeCount
};

constexpr TlbFunc kDeviceInfoFuncs[] = {
    {u"MacAddress", 1, INVOKE_PROPERTYGET, kTextOut, 1},
    {u"IpAddress", 2, INVOKE_PROPERTYGET, kTextOut, 1},
    {u"Ping", 3, INVOKE_PROPERTYGET, kLongRetval, 1},
    {u"Version", 4, INVOKE_PROPERTYGET, kTextOut, 1},
    {u"DirectAccess", 5, INVOKE_PROPERTYGET, kLongRetval, 1},
    {u"PasswordProtected", 6, INVOKE_PROPERTYGET, kLongRetval, 1},
    {u"Uptime", 7, INVOKE_PROPERTYGET, kLongRetval, 1},
    {u"FirstDescription", 8, INVOKE_PROPERTYGET, kTextOut, 1},
    {u"SecondDescription", 9, INVOKE_PROPERTYGET, kTextOut, 1},
};

constexpr TlbImpl kRefreshClass[] = {
    {kISkRefresh, IMPLTYPEFLAG_FDEFAULT},
    {kISkRefreshEvents, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
    {kISkTrace, IMPLTYPEFLAG_FSOURCE},
};

constexpr TlbImpl kSerialLoaderClass[] = {
    {kISkConnection, IMPLTYPEFLAG_FDEFAULT},
    {kISkLoader},
    {kISkConnectionEvents, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
    {kISkLoaderEvents, IMPLTYPEFLAG_FSOURCE},
};

constexpr TlbImpl kDeviceClass[] = {
    {kISkConnection, IMPLTYPEFLAG_FDEFAULT},
    {kISkCmdTarget},
    {kISkLoader},
    {kISkConnectionEvents, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
    {kISkCmdTargetEvents, IMPLTYPEFLAG_FSOURCE},
    {kISkLoaderEvents, IMPLTYPEFLAG_FSOURCE},
    {kISkTrace, IMPLTYPEFLAG_FSOURCE},
};

constexpr TlbTypeInfo Coclass(const char16_t* name, const char16_t* doc, const GUID& clsid,
                              const TlbImpl* impls, USHORT count) {
    return {.kind = TKIND_COCLASS,
            .name = name,
            .guid = clsid,
            .flags = TYPEFLAG_FCANCREATE,
            .doc = doc,
            .impls = impls,
            .implCount = count};
}

constexpr TlbTypeInfo kTypes[kTypeCount] = {
    SkTypeInfo::Dual(u"IFixedFirmwareDeviceInfo", u"IFixedFirmwareDeviceInfo Interface",
                     IID_IFixedFirmwareDeviceInfo, kDeviceInfoFuncs, Count(kDeviceInfoFuncs)),
    Coclass(u"OdsUdpRefresh", u"OdsUdpRefresh Class", CLSID_OdsUdpRefresh, kRefreshClass,
            Count(kRefreshClass)),
    SkTypeInfo::kISkRefresh,
    SkTypeInfo::kISkRefreshEvents,
    SkTypeInfo::kISkTrace,
    Coclass(u"OdsUdpDevice", u"OdsUdpDevice Class", CLSID_OdsUdpDevice, kDeviceClass, Count(kDeviceClass)),
    Coclass(u"OdsUdpBcastDevice", u"OdsUdpBcastDevice Class", CLSID_OdsUdpBcastDevice, kDeviceClass,
            Count(kDeviceClass)),
    SkTypeInfo::kISkConnection,
    SkTypeInfo::kISkCmdTarget,
    SkTypeInfo::kISkLoader,
    SkTypeInfo::kISkConnectionEvents,
    SkTypeInfo::kISkCmdTargetEvents,
    SkTypeInfo::kISkLoaderEvents,
    Coclass(u"OdsSerialLoader", u"OdsSerialLoader Class", CLSID_OdsSerialLoader, kSerialLoaderClass,
            Count(kSerialLoaderClass)),
};

constexpr winport::TlbLibrary kLibrary = {winport::kTlbFormat,
                                          u"ODSLib",
                                          u"Oskan Device Server Objects 1.0",
                                          LIBID_ODSLib,
                                          1,
                                          0,
                                          0,
                                          LIBFLAG_FHASDISKIMAGE,
                                          kTypes,
                                          kTypeCount};

}  // namespace

const winport::TlbLibrary& OdsTypeLibrary() {
    return kLibrary;
}
