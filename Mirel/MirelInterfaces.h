#pragma once
// The interfaces that hosts call on Mirel's objects, with their identifiers.
// Dual interfaces: the seven IDispatch slots first, then the members in order.

#include "Mirel/MirelTypes.h"
#include "winport/automation/oleauto.h"
#include "winport/com/com.h"

inline constexpr GUID LIBID_MIRELLib = {
    0xEDD4E586, 0x0DBA, 0x4A9D, {0xA8, 0x7B, 0x0B, 0x69, 0x93, 0x95, 0x96, 0x4F}};
inline constexpr CLSID CLSID_MirelUdpDevice = {
    0xEC32CBBA, 0x6B33, 0x4A61, {0x88, 0x39, 0x86, 0xFB, 0x2A, 0x85, 0x7F, 0x37}};
inline constexpr CLSID CLSID_MirelUdpRefresh = {
    0x7B4C2E0F, 0xC81F, 0x4E66, {0xBA, 0x72, 0x4F, 0xB9, 0xB4, 0x5B, 0x06, 0xE3}};
inline constexpr IID IID_IMirelUdpDeviceInfo = {
    0x73D695B4, 0x4838, 0x4655, {0x9D, 0x3D, 0x8F, 0x5D, 0x53, 0x9F, 0xF7, 0xA6}};
inline constexpr IID IID_ISkRefresh = {
    0x34BA7B52, 0x4C96, 0x49AE, {0x96, 0x27, 0x3E, 0xCD, 0x53, 0x9B, 0x33, 0x5B}};
inline constexpr IID IID_ISkConnection = {
    0x2A598238, 0xDB4D, 0x4DE9, {0xBC, 0x69, 0xDB, 0xE4, 0x7C, 0xAC, 0x52, 0xDA}};
inline constexpr IID IID_ISkCmdTarget = {
    0x7CDDCF21, 0x356E, 0x4F94, {0x9C, 0x21, 0x51, 0x91, 0x54, 0xE4, 0x2E, 0x53}};
inline constexpr IID IID_ISkLoader = {
    0x4168252F, 0xEB19, 0x42E0, {0x92, 0xC0, 0x9D, 0x80, 0xEE, 0x55, 0xB9, 0xC1}};
inline constexpr IID IID_ISkDebuggee = {
    0x6EE11D7D, 0xE3AC, 0x43E0, {0xA3, 0xAD, 0x3D, 0x9F, 0xB6, 0xDE, 0xA5, 0xE1}};

struct IMirelUdpDeviceInfo : public IDispatch {
    virtual HRESULT get_MacAddress(BSTR* pVal) = 0;                   // 1010
    virtual HRESULT get_IpAddress(BSTR* pVal) = 0;                    // 1011
    virtual HRESULT get_Ping(LONG* pVal) = 0;                         // 1012
    virtual HRESULT get_Version(BSTR* pVal) = 0;                      // 1013
    virtual HRESULT get_ProjectName(BSTR* pVal) = 0;                  // 1014
    virtual HRESULT get_BuildId(BSTR* pVal) = 0;                      // 1015
    virtual HRESULT get_PcmMode(OSKAN_PCODE_MACHINE_MODE* pVal) = 0;  // 1016

protected:
    ~IMirelUdpDeviceInfo() = default;
};

struct ISkRefresh : public IDispatch {
    virtual HRESULT Refresh() = 0;                                            // 210
    virtual HRESULT Cancel() = 0;                                             // 211
    virtual HRESULT Reset() = 0;                                              // 212
    virtual HRESULT get_DeviceInfo(LONG dwID, IDispatch** ppDeviceInfo) = 0;  // 214

protected:
    ~ISkRefresh() = default;
};

struct ISkConnection : public IDispatch {
    virtual HRESULT put_Address(BSTR newVal) = 0;           // 150
    virtual HRESULT get_Address(BSTR* pVal) = 0;            // 150
    virtual HRESULT get_Connected(VARIANT_BOOL* pVal) = 0;  // 152
    virtual HRESULT Connect() = 0;                          // 153
    virtual HRESULT Disconnect() = 0;                       // 154

protected:
    ~ISkConnection() = default;
};

// ---------------------------------------------------------------- ISkDebuggee
// A custom interface (IUnknown-based, no automation): the debugger of the
// P-code machine.

// A machine state as the device reports it; 32 bytes, compared byte for byte.
struct OSKAN_PCODE_MACHINE_STATE {
    OSKAN_PCODE_MACHINE_MODE m_Mode;
    LONG m_lError;
    ULONG m_Registers[5];  // A, B, PC, SP, FL
    ULONG m_dwTickCount;
};
static_assert(sizeof(OSKAN_PCODE_MACHINE_STATE) == 32);

enum OSKAN_MEMORY_BREAKPOINT_TYPE : int32_t {
    OMBP_READ = 0,
    OMBP_WRITE = 1,
    OMBP_READ_WRITE = 2,
};

struct OSKAN_MEMORY_BREAKPOINT {
    OSKAN_MEMORY_BREAKPOINT_TYPE m_Type;
    ULONG m_dwAddress;
    ULONG m_dwLength;
};

struct ISkDebuggee : public IUnknown {
    virtual HRESULT BeginDebug() = 0;
    virtual HRESULT EndDebug() = 0;
    virtual HRESULT Cancel() = 0;
    virtual HRESULT GetPCodeMachineState(OSKAN_PCODE_MACHINE_STATE* pState) = 0;
    virtual HRESULT Synchronize() = 0;
    virtual HRESULT Run() = 0;
    virtual HRESULT Break() = 0;
    virtual HRESULT RunTo(ULONG dwAddress) = 0;
    virtual HRESULT Restart() = 0;
    virtual HRESULT StepInstruction() = 0;
    virtual HRESULT StepInto(ULONG dwAddress, ULONG dwLength) = 0;
    virtual HRESULT StepOver(ULONG dwAddress, ULONG dwLength) = 0;
    virtual HRESULT StepOut() = 0;
    virtual HRESULT SetCodeBreakpoints(ULONG* pBreakpoints, int nCount) = 0;
    virtual HRESULT SetMemoryBreakpoints(OSKAN_MEMORY_BREAKPOINT* pBreakpoints, int nCount) = 0;
    virtual HRESULT SetRegisterValue(int nRegister, int nValue) = 0;
    virtual HRESULT ReadMemory(ULONG dwAddress, ULONG dwLength, LONG lParam) = 0;
    virtual HRESULT ReadString(ULONG dwAddress, LONG lParam) = 0;
    virtual HRESULT ReadProperty(int nSysCall, ULONG dwAddress, ULONG dwLength, LONG lParam) = 0;
    virtual HRESULT ReadStringProperty(int nSysCall, ULONG dwAddress, LONG lParam) = 0;
    virtual HRESULT CancelRead(LONG lParam) = 0;
    virtual HRESULT WriteMemory(ULONG dwAddress, ULONG dwLength, void* pvData) = 0;
    virtual HRESULT WriteProperty(int nSysCall, ULONG dwAddress, ULONG dwLength, void* pvData) = 0;

protected:
    ~ISkDebuggee() = default;
};

struct ISkCmdTarget : public IDispatch {
    virtual HRESULT get_Flags(LONG* pVal) = 0;                   // 173
    virtual HRESULT put_Flags(LONG newVal) = 0;                  // 173
    virtual HRESULT Command(BSTR bstrCommand, LONG lParam) = 0;  // 170; lParam optional, 0 by default
    virtual HRESULT Cancel() = 0;                                // 171

protected:
    ~ISkCmdTarget() = default;
};

// Upload of firmware and application files; the flags are the OLF_ values of
// common/skloader.h.
struct ISkLoader : public IDispatch {
    virtual HRESULT Load(BSTR bstrFileName, int nFlags) = 0;  // 190; nFlags optional, 0 by default
    virtual HRESULT Cancel() = 0;                             // 192

protected:
    ~ISkLoader() = default;
};
