#pragma once
// The identifiers of the ods component (fixed-firmware Device Servers) and the
// interface of its device information object. Its objects serve the shared
// interfaces and event interfaces of Mirel/MirelInterfaces.h and
// Mirel/MirelEvents.h, with the same IIDs and DISPIDs, so a host drives both
// kinds of device with one code path.

#include "Mirel/MirelInterfaces.h"

inline constexpr GUID LIBID_ODSLib = {
    0x508E2EFD, 0xE126, 0x481A, {0x87, 0xE0, 0xAA, 0xCD, 0xFD, 0x27, 0x7A, 0x0C}};
inline constexpr CLSID CLSID_OdsUdpRefresh = {
    0xBD50048A, 0x43CE, 0x4C61, {0xA3, 0xAE, 0x76, 0x23, 0x82, 0x19, 0x74, 0xD6}};
inline constexpr CLSID CLSID_OdsUdpDevice = {
    0x6759C80B, 0xC355, 0x41BB, {0xAA, 0x5B, 0x35, 0xD8, 0xA4, 0x12, 0x92, 0xFF}};
inline constexpr CLSID CLSID_OdsUdpBcastDevice = {
    0x813900F5, 0xC9B3, 0x4A34, {0x8C, 0x8C, 0x86, 0x48, 0x5A, 0x0D, 0x4A, 0xBF}};
inline constexpr CLSID CLSID_OdsSerialLoader = {
    0x3CFC89DB, 0xB264, 0x4EA6, {0x8D, 0x5D, 0x54, 0xB4, 0xB6, 0x65, 0x55, 0x1E}};
inline constexpr IID IID_IFixedFirmwareDeviceInfo = {
    0x82CE6173, 0xDC04, 0x42C7, {0xA3, 0x1C, 0x58, 0x12, 0x97, 0xAD, 0x99, 0xA6}};

// One Device Server as the last scans saw it. Read-only for hosts.
struct IFixedFirmwareDeviceInfo : public IDispatch {
    virtual HRESULT get_MacAddress(BSTR* pVal) = 0;         // 1 "00-90-E8-01-02-03"
    virtual HRESULT get_IpAddress(BSTR* pVal) = 0;          // 2 its configured address
    virtual HRESULT get_Ping(LONG* pVal) = 0;               // 3 average reply time, ms; -1 none yet
    virtual HRESULT get_Version(BSTR* pVal) = 0;            // 4
    virtual HRESULT get_DirectAccess(LONG* pVal) = 0;       // 5 nonzero: reached at its IP address
    virtual HRESULT get_PasswordProtected(LONG* pVal) = 0;  // 6 nonzero: connecting needs a password
    virtual HRESULT get_Uptime(LONG* pVal) = 0;             // 7 seconds since it started
    virtual HRESULT get_FirstDescription(BSTR* pVal) = 0;   // 8
    virtual HRESULT get_SecondDescription(BSTR* pVal) = 0;  // 9

protected:
    ~IFixedFirmwareDeviceInfo() = default;
};
