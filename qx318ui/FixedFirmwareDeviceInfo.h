#pragma once
// What the Device Explorer reads of a "fixed firmware" Device Server, as the
// Device Server component's discovery object hands it out: its properties
// follow the IDispatch slots in this order, and are read through the vtable.

#include "winport/automation/oleauto.h"
#include "winport/com/com.h"

inline constexpr IID IID_IFixedFirmwareDeviceInfo = {
    0x82CE6173, 0xDC04, 0x42C7, {0xA3, 0x1C, 0x58, 0x12, 0x97, 0xAD, 0x99, 0xA6}};

struct IFixedFirmwareDeviceInfo : public IDispatch {
    virtual HRESULT get_MacAddress(BSTR* pVal) = 0;    // 1010
    virtual HRESULT get_IpAddress(BSTR* pVal) = 0;     // 1011
    virtual HRESULT get_Ping(LONG* pVal) = 0;          // 1012
    virtual HRESULT get_Version(BSTR* pVal) = 0;       // 1013
    virtual HRESULT get_DirectAccess(LONG* pVal) = 0;  // 1014
    // Two properties the Explorer never reads; only their slots matter here.
    virtual HRESULT get_Unread1(VARIANT* pVal) = 0;    // 1015
    virtual HRESULT get_Unread2(VARIANT* pVal) = 0;    // 1016
    virtual HRESULT get_Description1(BSTR* pVal) = 0;  // 1017
    virtual HRESULT get_Description2(BSTR* pVal) = 0;  // 1018

protected:
    ~IFixedFirmwareDeviceInfo() = default;
};
