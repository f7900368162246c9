#include "Mirel/MirelTypeLib.h"

#include <cstddef>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "common/objects/SkTypeInfo.h"

namespace {

using SkTypeInfo::Count;
using SkTypeInfo::kBstr;
using SkTypeInfo::kDispatchBase;
using SkTypeInfo::kDual;
using SkTypeInfo::kInt;
using SkTypeInfo::kLong;
using SkTypeInfo::kLongRetval;
using SkTypeInfo::kPercentage;
using SkTypeInfo::kRetval;
using SkTypeInfo::kTextOut;
using winport::kTlbIUnknown;
using winport::TlbFunc;
using winport::TlbImpl;
using winport::TlbParam;
using winport::TlbType;
using winport::TlbTypeInfo;
using winport::TlbVar;

// The types in the order of the library.
enum {
    kIMirelUdpDeviceInfo,
    kMachineMode,
    kMirelUdpRefresh,
    kISkRefresh,
    kISkRefreshEvents,
    kISkTrace,
    kMirelUdpDevice,
    kISkConnection,
    kISkCmdTarget,
    kISkLoader,
    kISkDebuggee,
    kMachineState,
    kMemoryBreakpoint,
    kMemoryBreakpointType,
    kISkConnectionEvents,
    kISkCmdTargetEvents,
    kISkLoaderEvents,
    kISkDebuggeeEvents,
    kTypeCount
};

inline constexpr GUID GUID_OSKAN_PCODE_MACHINE_MODE = {
    0xBD95DA8D, 0x557B, 0x47BB, {0x80, 0x85, 0x61, 0x09, 0x31, 0x75, 0x06, 0xF6}};
inline constexpr GUID GUID_OSKAN_PCODE_MACHINE_STATE = {
    0xCAF645A4, 0x5F94, 0x4423, {0x98, 0xB2, 0xCF, 0xA1, 0x3B, 0x7A, 0xE0, 0xA3}};
inline constexpr GUID GUID_OSKAN_MEMORY_BREAKPOINT = {
    0x403CFC38, 0xBD77, 0x4ABD, {0x87, 0x32, 0x78, 0x92, 0xAA, 0x3F, 0x6E, 0xCD}};
inline constexpr GUID GUID_OSKAN_MEMORY_BREAKPOINT_TYPE = {
    0x5040B00C, 0xDEB6, 0x4A03, {0x95, 0x53, 0xE4, 0x71, 0x9C, 0x29, 0x41, 0x50}};

constexpr USHORT kIn = PARAMFLAG_FIN;
constexpr USHORT kOut = PARAMFLAG_FOUT;

constexpr TlbType kULong{VT_UI4};
constexpr TlbImpl kUnknownBase[] = {{kTlbIUnknown}};

// ---------------------------------------------------------------- IMirelUdpDeviceInfo

constexpr TlbParam kModeOut[] = {{u"pVal", {VT_USERDEFINED, 1, kMachineMode}, kRetval}};

constexpr TlbFunc kDeviceInfoFuncs[] = {
    {u"MacAddress", 1010, INVOKE_PROPERTYGET, kTextOut, 1},
    {u"IpAddress", 1011, INVOKE_PROPERTYGET, kTextOut, 1},
    {u"Ping", 1012, INVOKE_PROPERTYGET, kLongRetval, 1},
    {u"Version", 1013, INVOKE_PROPERTYGET, kTextOut, 1},
    {u"ProjectName", 1014, INVOKE_PROPERTYGET, kTextOut, 1},
    {u"BuildId", 1015, INVOKE_PROPERTYGET, kTextOut, 1},
    {u"PcmMode", 1016, INVOKE_PROPERTYGET, kModeOut, 1},
};

constexpr TlbVar kMachineModes[] = {
    {u"OPCM_MODE_UNKNOWN", kInt, OPCM_MODE_UNKNOWN},
    {u"OPCM_MODE_FILE_ERROR", kInt, OPCM_MODE_FILE_ERROR},
    {u"OPCM_MODE_RUNNING", kInt, OPCM_MODE_RUNNING},
    {u"OPCM_MODE_STOPPED_IDLE", kInt, OPCM_MODE_STOPPED_IDLE},
    {u"OPCM_MODE_STOPPED_BUSY", kInt, OPCM_MODE_STOPPED_BUSY},
};

// ---------------------------------------------------------------- discovery

constexpr TlbImpl kRefreshClass[] = {
    {kISkRefresh, IMPLTYPEFLAG_FDEFAULT},
    {kISkRefreshEvents, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
    {kISkTrace, IMPLTYPEFLAG_FSOURCE},
};

// ---------------------------------------------------------------- the device object

constexpr TlbImpl kDeviceClass[] = {
    {kISkConnection, IMPLTYPEFLAG_FDEFAULT},
    {kISkCmdTarget},
    {kISkLoader},
    {kISkDebuggee},
    {kISkConnectionEvents, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
    {kISkCmdTargetEvents, IMPLTYPEFLAG_FSOURCE},
    {kISkLoaderEvents, IMPLTYPEFLAG_FSOURCE},
    {kISkDebuggeeEvents, IMPLTYPEFLAG_FSOURCE},
    {kISkTrace, IMPLTYPEFLAG_FSOURCE},
};

// ISkDebuggee: a custom interface; its members carry the identifiers a
// compiler gives members without one.
constexpr MEMBERID kDebuggeeFirst = 0x60010000;
constexpr TlbParam kMachineStateOut[] = {{u"pState", {VT_USERDEFINED, 1, kMachineState}, kOut}};
constexpr TlbParam kAddress[] = {{u"dwAddress", kULong}};
constexpr TlbParam kRange[] = {{u"dwAddress", kULong}, {u"dwLength", kULong}};
constexpr TlbParam kCodeBreakpoints[] = {{u"pBreakpoints", {VT_UI4, 1}}, {u"nCount", kInt}};
constexpr TlbParam kMemoryBreakpoints[] = {{u"pBreakpoints", {VT_USERDEFINED, 1, kMemoryBreakpoint}},
                                           {u"nCount", kInt}};
constexpr TlbParam kRegister[] = {{u"nRegister", kInt}, {u"nValue", kInt}};
constexpr TlbParam kReadMemory[] = {{u"dwAddress", kULong}, {u"dwLength", kULong}, {u"lParam", kLong}};
constexpr TlbParam kReadString[] = {{u"dwAddress", kULong}, {u"lParam", kLong}};
constexpr TlbParam kReadProperty[] = {
    {u"nSysCall", kInt}, {u"dwAddress", kULong}, {u"dwLength", kULong}, {u"lParam", kLong}};
constexpr TlbParam kReadStringProperty[] = {{u"nSysCall", kInt}, {u"dwAddress", kULong}, {u"lParam", kLong}};
constexpr TlbParam kCancelRead[] = {{u"lParam", kLong}};
constexpr TlbParam kWriteMemory[] = {
    {u"dwAddress", kULong}, {u"dwLength", kULong}, {u"pvData", {VT_VOID, 1}}};
constexpr TlbParam kWriteProperty[] = {
    {u"nSysCall", kInt}, {u"dwAddress", kULong}, {u"dwLength", kULong}, {u"pvData", {VT_VOID, 1}}};

constexpr TlbFunc kDebuggeeFuncs[] = {
    {u"BeginDebug", kDebuggeeFirst + 0},
    {u"EndDebug", kDebuggeeFirst + 1},
    {u"Cancel", kDebuggeeFirst + 2},
    {u"GetPCodeMachineState", kDebuggeeFirst + 3, INVOKE_FUNC, kMachineStateOut, 1},
    {u"Synchronize", kDebuggeeFirst + 4},
    {u"Run", kDebuggeeFirst + 5},
    {u"Break", kDebuggeeFirst + 6},
    {u"RunTo", kDebuggeeFirst + 7, INVOKE_FUNC, kAddress, 1},
    {u"Restart", kDebuggeeFirst + 8},
    {u"StepInstruction", kDebuggeeFirst + 9},
    {u"StepInto", kDebuggeeFirst + 10, INVOKE_FUNC, kRange, 2},
    {u"StepOver", kDebuggeeFirst + 11, INVOKE_FUNC, kRange, 2},
    {u"StepOut", kDebuggeeFirst + 12},
    {u"SetCodeBreakpoints", kDebuggeeFirst + 13, INVOKE_FUNC, kCodeBreakpoints, 2},
    {u"SetMemoryBreakpoints", kDebuggeeFirst + 14, INVOKE_FUNC, kMemoryBreakpoints, 2},
    {u"SetRegisterValue", kDebuggeeFirst + 15, INVOKE_FUNC, kRegister, 2},
    {u"ReadMemory", kDebuggeeFirst + 16, INVOKE_FUNC, kReadMemory, 3},
    {u"ReadString", kDebuggeeFirst + 17, INVOKE_FUNC, kReadString, 2},
    {u"ReadProperty", kDebuggeeFirst + 18, INVOKE_FUNC, kReadProperty, 4},
    {u"ReadStringProperty", kDebuggeeFirst + 19, INVOKE_FUNC, kReadStringProperty, 3},
    {u"CancelRead", kDebuggeeFirst + 20, INVOKE_FUNC, kCancelRead, 1},
    {u"WriteMemory", kDebuggeeFirst + 21, INVOKE_FUNC, kWriteMemory, 3},
    {u"WriteProperty", kDebuggeeFirst + 22, INVOKE_FUNC, kWriteProperty, 4},
};

constexpr TlbVar kMachineStateFields[] = {
    {u"m_Mode", {VT_USERDEFINED, 0, kMachineMode}, offsetof(OSKAN_PCODE_MACHINE_STATE, m_Mode)},
    {u"m_lError", kLong, offsetof(OSKAN_PCODE_MACHINE_STATE, m_lError)},
    {u"m_Registers", {VT_CARRAY, 0, -1, 5, VT_UI4}, offsetof(OSKAN_PCODE_MACHINE_STATE, m_Registers)},
    {u"m_dwTickCount", kULong, offsetof(OSKAN_PCODE_MACHINE_STATE, m_dwTickCount)},
};

constexpr TlbVar kMemoryBreakpointFields[] = {
    {u"m_Type", {VT_USERDEFINED, 0, kMemoryBreakpointType}, offsetof(OSKAN_MEMORY_BREAKPOINT, m_Type)},
    {u"m_dwAddress", kULong, offsetof(OSKAN_MEMORY_BREAKPOINT, m_dwAddress)},
    {u"m_dwLength", kULong, offsetof(OSKAN_MEMORY_BREAKPOINT, m_dwLength)},
};

constexpr TlbVar kMemoryBreakpointTypes[] = {
    {u"OMBP_READ", kInt, OMBP_READ},
    {u"OMBP_WRITE", kInt, OMBP_WRITE},
    {u"OMBP_READ_WRITE", kInt, OMBP_READ_WRITE},
};

constexpr TlbParam kDebugError[] = {{u"lError", kLong}, {u"bstrDetails", kBstr}};
constexpr TlbParam kReadMemoryComplete[] = {{u"lError", kLong},        {u"bstrDetails", kBstr},
                                            {u"dwAddress", kULong},    {u"dwLength", kULong},
                                            {u"pvData", {VT_VOID, 1}}, {u"lParam", kLong}};
constexpr TlbFunc kDebuggeeEventFuncs[] = {
    {u"OnKeepAlive", kDebuggeeFirst + 0},
    {u"OnPCodeMachineStateChange", kDebuggeeFirst + 1},
    {u"OnMemoryProgress", kDebuggeeFirst + 2, INVOKE_FUNC, kPercentage, 1},
    {u"OnError", kDebuggeeFirst + 3, INVOKE_FUNC, kDebugError, 2},
    {u"OnDebugCommandComplete", kDebuggeeFirst + 4, INVOKE_FUNC, kDebugError, 2},
    {u"OnReadMemoryComplete", kDebuggeeFirst + 5, INVOKE_FUNC, kReadMemoryComplete, 6},
};

constexpr TlbTypeInfo kTypes[kTypeCount] = {
    {.kind = TKIND_DISPATCH,
     .name = u"IMirelUdpDeviceInfo",
     .guid = IID_IMirelUdpDeviceInfo,
     .flags = kDual,
     .doc = u"IMirelUdpDeviceInfo Interface",
     .impls = kDispatchBase,
     .implCount = 1,
     .funcs = kDeviceInfoFuncs,
     .funcCount = Count(kDeviceInfoFuncs)},
    {.kind = TKIND_ENUM,
     .name = u"OSKAN_PCODE_MACHINE_MODE",
     .guid = GUID_OSKAN_PCODE_MACHINE_MODE,
     .vars = kMachineModes,
     .varCount = Count(kMachineModes)},
    {.kind = TKIND_COCLASS,
     .name = u"MirelUdpRefresh",
     .guid = CLSID_MirelUdpRefresh,
     .flags = TYPEFLAG_FCANCREATE,
     .doc = u"MirelUdpRefresh Class",
     .impls = kRefreshClass,
     .implCount = Count(kRefreshClass)},
    SkTypeInfo::kISkRefresh,
    SkTypeInfo::kISkRefreshEvents,
    SkTypeInfo::kISkTrace,
    {.kind = TKIND_COCLASS,
     .name = u"MirelUdpDevice",
     .guid = CLSID_MirelUdpDevice,
     .flags = TYPEFLAG_FCANCREATE,
     .doc = u"MirelUdpDevice Class",
     .impls = kDeviceClass,
     .implCount = Count(kDeviceClass)},
    SkTypeInfo::kISkConnection,
    SkTypeInfo::kISkCmdTarget,
    SkTypeInfo::kISkLoader,
    {.kind = TKIND_INTERFACE,
     .name = u"ISkDebuggee",
     .guid = IID_ISkDebuggee,
     .doc = u"ISkDebuggee Interface",
     .impls = kUnknownBase,
     .implCount = 1,
     .funcs = kDebuggeeFuncs,
     .funcCount = Count(kDebuggeeFuncs)},
    {.kind = TKIND_RECORD,
     .name = u"OSKAN_PCODE_MACHINE_STATE",
     .guid = GUID_OSKAN_PCODE_MACHINE_STATE,
     .vars = kMachineStateFields,
     .varCount = Count(kMachineStateFields),
     .size = sizeof(OSKAN_PCODE_MACHINE_STATE)},
    {.kind = TKIND_RECORD,
     .name = u"OSKAN_MEMORY_BREAKPOINT",
     .guid = GUID_OSKAN_MEMORY_BREAKPOINT,
     .vars = kMemoryBreakpointFields,
     .varCount = Count(kMemoryBreakpointFields),
     .size = sizeof(OSKAN_MEMORY_BREAKPOINT)},
    {.kind = TKIND_ENUM,
     .name = u"OSKAN_MEMORY_BREAKPOINT_TYPE",
     .guid = GUID_OSKAN_MEMORY_BREAKPOINT_TYPE,
     .vars = kMemoryBreakpointTypes,
     .varCount = Count(kMemoryBreakpointTypes)},
    SkTypeInfo::kISkConnectionEvents,
    SkTypeInfo::kISkCmdTargetEvents,
    SkTypeInfo::kISkLoaderEvents,
    {.kind = TKIND_INTERFACE,
     .name = u"_ISkDebuggeeEvents",
     .guid = IID__ISkDebuggeeEvents,
     .doc = u"_ISkDebuggeeEvents Interface",
     .impls = kUnknownBase,
     .implCount = 1,
     .funcs = kDebuggeeEventFuncs,
     .funcCount = Count(kDebuggeeEventFuncs)},
};

constexpr winport::TlbLibrary kLibrary = {winport::kTlbFormat,
                                          u"MIRELLib",
                                          u"Oskan Mirel Objects 1.0",
                                          LIBID_MIRELLib,
                                          1,
                                          0,
                                          0,
                                          LIBFLAG_FHASDISKIMAGE,
                                          kTypes,
                                          kTypeCount};

}  // namespace

const winport::TlbLibrary& MirelTypeLibrary() {
    return kLibrary;
}
