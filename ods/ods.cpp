// The ods component library (fixed-firmware Device Servers): its exports, its
// type library, its version record, and what it does when it is loaded.

#include "ods/OdsModule.h"
#include "ods/OdsTypeLib.h"
#include "winport/com/ComponentExports.h"
#include "winport/loop/winsock.h"

namespace {

// Sockets are started once, when the library is loaded, and never cleaned up.
__attribute__((constructor)) void StartSockets() {
    WSADATA data{};
    WSAStartup(0x0202, &data);
}

}  // namespace

OSKAN_COMPONENT_EXPORTS(OdsModule, OdsTypeLibrary)

OSKAN_COMPONENT_VERSION(Ods, "ods")
