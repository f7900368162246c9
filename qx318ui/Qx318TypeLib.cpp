#include "qx318ui/Qx318TypeLib.h"

#include "qx318ui/Qx318Interfaces.h"

namespace {

using winport::kTlbIDispatch;
using winport::TlbFunc;
using winport::TlbImpl;
using winport::TlbParam;
using winport::TlbType;
using winport::TlbTypeInfo;
using winport::TlbVar;

// The types in the order of the library.
enum { kBrowseDlgFlags, kQx318BrowseDlg, kISkDialog, kTypeCount };

constexpr USHORT kIn = PARAMFLAG_FIN;
constexpr USHORT kRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
constexpr WORD kDual = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;

constexpr TlbVar kFlags[] = {{u"QBDF_STANDALONE_MODE", TlbType{VT_INT}, QBDF_STANDALONE_MODE}};

constexpr TlbParam kLongOut[] = {{u"pnFlags", {VT_I4, 1}, kRetval}};
constexpr TlbParam kLongIn[] = {{u"pnFlags", {VT_I4}, kIn}};
constexpr TlbParam kInputOut[] = {{u"pInput", {VT_VARIANT, 1}, kRetval}};
constexpr TlbParam kInputIn[] = {{u"pInput", {VT_VARIANT}, kIn}};
constexpr TlbParam kOutputOut[] = {{u"pOutput", {VT_VARIANT, 1}, kRetval}};
constexpr TlbParam kResultOut[] = {{u"pnModalResult", {VT_I4, 1}, kRetval}};

constexpr TlbFunc kDialogFuncs[] = {
    {u"Flags", DISPID_ISkDialog_Flags, INVOKE_PROPERTYGET, kLongOut, 1},
    {u"Flags", DISPID_ISkDialog_Flags, INVOKE_PROPERTYPUT, kLongIn, 1},
    {u"Input", DISPID_ISkDialog_Input, INVOKE_PROPERTYGET, kInputOut, 1},
    {u"Input", DISPID_ISkDialog_Input, INVOKE_PROPERTYPUT, kInputIn, 1},
    {u"Output", DISPID_ISkDialog_Output, INVOKE_PROPERTYGET, kOutputOut, 1},
    {u"DoModal", DISPID_ISkDialog_DoModal, INVOKE_FUNC, kResultOut, 1},
};

constexpr TlbImpl kDispatchBase[] = {{kTlbIDispatch}};
constexpr TlbImpl kBrowseDlgClass[] = {{kISkDialog, IMPLTYPEFLAG_FDEFAULT}};

template <class T, size_t N>
constexpr USHORT Count(const T (&)[N]) {
    return static_cast<USHORT>(N);
}

constexpr TlbTypeInfo kTypes[kTypeCount] = {
    {.kind = TKIND_ENUM,
     .name = u"QX318_BROWSE_DLG_FLAGS",
     .guid = GUID_QX318_BROWSE_DLG_FLAGS,
     .vars = kFlags,
     .varCount = Count(kFlags)},
    {.kind = TKIND_COCLASS,
     .name = u"Qx318BrowseDlg",
     .guid = CLSID_Qx318BrowseDlg,
     .flags = TYPEFLAG_FCANCREATE,
     .doc = u"Qx318BrowseDlg Class",
     .impls = kBrowseDlgClass,
     .implCount = Count(kBrowseDlgClass)},
    {.kind = TKIND_DISPATCH,
     .name = u"ISkDialog",
     .guid = IID_ISkDialog,
     .flags = kDual,
     .doc = u"ISkDialog Interface",
     .impls = kDispatchBase,
     .implCount = 1,
     .funcs = kDialogFuncs,
     .funcCount = Count(kDialogFuncs)},
};

constexpr winport::TlbLibrary kLibrary = {winport::kTlbFormat,
                                          u"QX318UILib",
                                          u"Oskan QX318 User Interface 1.0",
                                          LIBID_QX318UILib,
                                          1,
                                          0,
                                          0,
                                          LIBFLAG_FHASDISKIMAGE,
                                          kTypes,
                                          kTypeCount};

}  // namespace

const winport::TlbLibrary& Qx318TypeLibrary() {
    return kLibrary;
}
