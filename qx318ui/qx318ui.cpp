// The qx318ui component library: its exports, its type library and its
// version record.

#include "qx318ui/Qx318Module.h"
#include "qx318ui/Qx318TypeLib.h"
#include "winport/base/versioninfo.h"

extern "C" {

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    return Qx318Module().GetClassObject(rclsid, riid, ppv);
}

HRESULT DllCanUnloadNow() {
    return Qx318Module().CanUnloadNow();
}

HRESULT DllRegisterServer() {
    return Qx318Module().RegisterServer();
}

HRESULT DllUnregisterServer() {
    return Qx318Module().UnregisterServer();
}

const winport::TlbLibrary* OskanTypeLib() {
    return &Qx318TypeLibrary();
}

}  // extern "C"

#define QX318UI_VERSION_STRINGS                                                    \
    "FileDescription\0qx318ui Module\0FileVersion\0"                               \
    "1, 0, 0, 1\0InternalName\0qx318ui\0"                                          \
    "OriginalFilename\0qx318ui.DLL\0ProductName\0qx318ui Module\0ProductVersion\0" \
    "1, 0, 0, 1\0"                                                                 \
    "OLESelfRegister\0\0"

extern "C" __attribute__((section(".oskan.version"), used))
const winport::VersionRecord<sizeof(QX318UI_VERSION_STRINGS)>
    kQx318uiVersion = {"OSKAN VERSION 1",
                       {1, 0, 0, 1},
                       {1, 0, 0, 1},
                       winport::VFT_DLL,
                       {'0', '4', '0', '9', '0', '4', 'B', '0'},
                       sizeof(QX318UI_VERSION_STRINGS),
                       QX318UI_VERSION_STRINGS};
