// The Mirel component library: its exports, its type library, its version
// record, and what it does when it is loaded.

#include "Mirel/MirelModule.h"
#include "Mirel/MirelTypeLib.h"
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
    return MirelModule().GetClassObject(rclsid, riid, ppv);
}

HRESULT DllCanUnloadNow() {
    return MirelModule().CanUnloadNow();
}

HRESULT DllRegisterServer() {
    return MirelModule().RegisterServer();
}

HRESULT DllUnregisterServer() {
    return MirelModule().UnregisterServer();
}

const winport::TlbLibrary* OskanTypeLib() {
    return &MirelTypeLibrary();
}

}  // extern "C"

#define MIREL_VERSION_STRINGS                                                  \
    "FileDescription\0Mirel Module\0FileVersion\0"                             \
    "1, 0, 0, 1\0InternalName\0Mirel\0"                                        \
    "OriginalFilename\0Mirel.DLL\0ProductName\0Mirel Module\0ProductVersion\0" \
    "1, 0, 0, 1\0"                                                             \
    "OLESelfRegister\0\0"

extern "C" __attribute__((section(".oskan.version"), used))
const winport::VersionRecord<sizeof(MIREL_VERSION_STRINGS)>
    kMirelVersion = {"OSKAN VERSION 1",
                     {1, 0, 0, 1},
                     {1, 0, 0, 1},
                     winport::VFT_DLL,
                     {'0', '4', '0', '9', '0', '4', 'B', '0'},
                     sizeof(MIREL_VERSION_STRINGS),
                     MIREL_VERSION_STRINGS};
