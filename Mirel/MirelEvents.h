#pragma once
// The event interfaces of the Mirel objects: the IIDs of the dispinterfaces
// with the DISPIDs of their members, and the custom debugger event interface.

#include "winport/automation/oleauto.h"

// _ISkRefreshEvents (MirelUdpRefresh)
inline constexpr IID DIID__ISkRefreshEvents = {
    0x954C4341, 0xFD5B, 0x4C32, {0xBA, 0x64, 0x03, 0x95, 0xB4, 0xF2, 0x2C, 0x3A}};
constexpr DISPID DISPID_OnRefreshProgress = 215;  // (int nPercentage)
constexpr DISPID DISPID_OnRefreshComplete = 216;  // (int lError, BSTR bstrDetails)
constexpr DISPID DISPID_OnDeviceRemove = 218;     // (int dwID)
constexpr DISPID DISPID_OnDeviceUpdate = 219;     // (int dwID)

// _ISkTrace (MirelUdpDevice, MirelUdpRefresh)
inline constexpr IID DIID__ISkTrace = {
    0xBD156EA0, 0xAA1E, 0x4628, {0x8D, 0xAA, 0xED, 0xFF, 0xEB, 0xF5, 0x0F, 0x03}};
constexpr DISPID DISPID_OnTrace = 110;  // (int nLevel, BSTR bstrText)

// _ISkConnectionEvents (MirelUdpDevice)
inline constexpr IID DIID__ISkConnectionEvents = {
    0x1E29818D, 0x5D00, 0x4F49, {0xA0, 0xC7, 0x49, 0x8D, 0x27, 0xB4, 0x3F, 0x78}};
constexpr DISPID DISPID_OnConnectComplete = 155;  // (long lError, BSTR bstrDetails)
constexpr DISPID DISPID_OnDisconnect = 156;       // (long lReason, BSTR bstrDetails)

// _ISkCmdTargetEvents (MirelUdpDevice)
inline constexpr IID DIID__ISkCmdTargetEvents = {
    0x3D08A6CB, 0xDB87, 0x43FE, {0x9A, 0x27, 0x73, 0x45, 0x15, 0xC4, 0x6B, 0x1C}};
// (long lError, BSTR bstrDetails, BSTR bstrResponse, long lParam)
constexpr DISPID DISPID_OnCommandComplete = 172;

// _ISkLoaderEvents (MirelUdpDevice)
inline constexpr IID DIID__ISkLoaderEvents = {
    0x1FD8F394, 0x5F03, 0x4F46, {0xAF, 0x7D, 0x67, 0x15, 0x65, 0xFB, 0xB0, 0x0A}};
constexpr DISPID DISPID_OnLoadProgress = 193;  // (int nPercentage)
constexpr DISPID DISPID_OnLoadComplete = 194;  // (long lError, BSTR bstrDetails)

// _ISkDebuggeeEvents (MirelUdpDevice): a custom interface, called directly
// through the vtable. Its text arguments are zero-terminated UTF-16 owned by
// the caller and valid only during the call: not allocated strings, never to
// be freed or kept. The IDL's long is 32 bits, as everywhere in the
// interfaces (LONG, ULONG).
inline constexpr IID IID__ISkDebuggeeEvents = {
    0xE926AAD7, 0x2DBF, 0x4F86, {0xBF, 0xBD, 0x7D, 0xE5, 0xD8, 0xA1, 0xE3, 0xBE}};

struct _ISkDebuggeeEvents : public IUnknown {
    virtual HRESULT OnKeepAlive() = 0;
    virtual HRESULT OnPCodeMachineStateChange() = 0;
    virtual HRESULT OnMemoryProgress(int nPercentage) = 0;
    virtual HRESULT OnError(LONG lError, const OLECHAR* bstrDetails) = 0;
    virtual HRESULT OnDebugCommandComplete(LONG lError, const OLECHAR* bstrDetails) = 0;
    virtual HRESULT OnReadMemoryComplete(LONG lError, const OLECHAR* bstrDetails, ULONG dwAddress,
                                         ULONG dwLength, void* pvData, LONG lParam) = 0;

protected:
    ~_ISkDebuggeeEvents() = default;
};
