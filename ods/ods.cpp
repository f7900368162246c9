// The ods component library (fixed-firmware Device Servers): its exports, its type library, its version
// record, and what it does when it is loaded.

#include "ods/OdsModule.h"
#include "ods/OdsTypeLib.h"
#include "winport/base/versioninfo.h"
#include "winport/loop/winsock.h"

namespace {

// Sockets are started once, when the library is loaded, and never cleaned up.
__attribute__((constructor)) void StartSockets() {
    WSADATA data{};
    WSAStartup(0x0202, &data);
}

}  // namespace

extern "C" {

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    return OdsModule().GetClassObject(rclsid, riid, ppv);
}

HRESULT DllCanUnloadNow() {
    return OdsModule().CanUnloadNow();
}

HRESULT DllRegisterServer() {
    return OdsModule().RegisterServer();
}

HRESULT DllUnregisterServer() {
    return OdsModule().UnregisterServer();
}

const winport::TlbLibrary* OskanTypeLib() {
    return &OdsTypeLibrary();
}

}  // extern "C"

#define ODS_VERSION_STRINGS                                                \
    "FileDescription\0ods Module\0FileVersion\0"                           \
    "1, 0, 0, 1\0InternalName\0ods\0"                                      \
    "OriginalFilename\0ods.DLL\0ProductName\0ods Module\0ProductVersion\0" \
    "1, 0, 0, 1\0"                                                         \
    "OLESelfRegister\0\0"

extern "C" __attribute__((section(".oskan.version"), used))
const winport::VersionRecord<sizeof(ODS_VERSION_STRINGS)>
    kOdsVersion = {"OSKAN VERSION 1",
                   {1, 0, 0, 1},
                   {1, 0, 0, 1},
                   winport::VFT_DLL,
                   {'0', '4', '0', '9', '0', '4', 'B', '0'},
                   sizeof(ODS_VERSION_STRINGS),
                   ODS_VERSION_STRINGS};
