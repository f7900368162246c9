#pragma once
// The interface hosts call on the Device Explorer's dialog object, with its
// identifiers. ISkDialog is dual: the seven IDispatch slots first, then the
// members in order.

#include "winport/automation/oleauto.h"
#include "winport/com/com.h"

inline constexpr GUID LIBID_QX318UILib = {
    0x1AA4122A, 0x0EB2, 0x4F64, {0xAA, 0xF3, 0xF8, 0xD7, 0x81, 0x6C, 0xAD, 0x31}};
inline constexpr CLSID CLSID_Qx318BrowseDlg = {
    0x44679E5D, 0xABE5, 0x49AB, {0x9F, 0x98, 0xDE, 0x0F, 0xE1, 0x60, 0xEB, 0xDF}};
inline constexpr IID IID_ISkDialog = {
    0x4A5FC17D, 0x7ADC, 0x4DD3, {0x81, 0x73, 0x28, 0x15, 0x88, 0x8E, 0xDC, 0xED}};
inline constexpr GUID GUID_QX318_BROWSE_DLG_FLAGS = {
    0xC02C51FD, 0xBA7C, 0x4042, {0x82, 0xBE, 0x0D, 0x1D, 0xE0, 0x08, 0x72, 0xB3}};

enum QX318_BROWSE_DLG_FLAGS : int32_t {
    // Select never ends the dialog and its button is hidden.
    QBDF_STANDALONE_MODE = 1,
};

constexpr DISPID DISPID_ISkDialog_Flags = 120;
constexpr DISPID DISPID_ISkDialog_DoModal = 121;
constexpr DISPID DISPID_ISkDialog_Input = 122;
constexpr DISPID DISPID_ISkDialog_Output = 123;

struct ISkDialog : public IDispatch {
    virtual HRESULT get_Flags(LONG* pnFlags) = 0;      // 120
    virtual HRESULT put_Flags(LONG nFlags) = 0;        // 120
    virtual HRESULT get_Input(VARIANT* pInput) = 0;    // 122
    virtual HRESULT put_Input(VARIANT input) = 0;      // 122
    virtual HRESULT get_Output(VARIANT* pOutput) = 0;  // 123
    virtual HRESULT DoModal(LONG* pnModalResult) = 0;  // 121

protected:
    ~ISkDialog() = default;
};
