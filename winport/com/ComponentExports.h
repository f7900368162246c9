#pragma once
// What every component library exports, written once: the four functions a
// host and regsvr call, forwarded to the component's module, the tables of its
// type library, and its version record (a component library of version
// 1.0.0.1 named NAME: "NAME Module", "NAME.DLL", self-registering).
//
//     OSKAN_COMPONENT_EXPORTS(MirelModule, MirelTypeLibrary)
//     OSKAN_COMPONENT_VERSION(Mirel, "Mirel")
//
// Only these symbols leave the library (ComponentExports.map).

#include "winport/automation/typelib.h"
#include "winport/base/versioninfo.h"
#include "winport/com/ComModule.h"

#define OSKAN_COMPONENT_EXPORTS(module, typeLibrary)                      \
    extern "C" {                                                          \
    HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) { \
        return module().GetClassObject(rclsid, riid, ppv);                \
    }                                                                     \
    HRESULT DllCanUnloadNow() {                                           \
        return module().CanUnloadNow();                                   \
    }                                                                     \
    HRESULT DllRegisterServer() {                                         \
        return module().RegisterServer();                                 \
    }                                                                     \
    HRESULT DllUnregisterServer() {                                       \
        return module().UnregisterServer();                               \
    }                                                                     \
    const winport::TlbLibrary* OskanTypeLib() {                           \
        return &typeLibrary();                                            \
    }                                                                     \
    }

#define OSKAN_COMPONENT_VERSION_STRINGS(name)            \
    "FileDescription\0" name                             \
    " Module\0FileVersion\0"                             \
    "1, 0, 0, 1\0InternalName\0" name                    \
    "\0"                                                 \
    "OriginalFilename\0" name ".DLL\0ProductName\0" name \
    " Module\0ProductVersion\0"                          \
    "1, 0, 0, 1\0"                                       \
    "OLESelfRegister\0\0"

#define OSKAN_COMPONENT_VERSION(symbol, name)                                   \
    extern "C" __attribute__((section(".oskan.version"), used))                 \
    const winport::VersionRecord<sizeof(OSKAN_COMPONENT_VERSION_STRINGS(name))> \
        k##symbol##Version = {"OSKAN VERSION 1",                                \
                              {1, 0, 0, 1},                                     \
                              {1, 0, 0, 1},                                     \
                              winport::VFT_DLL,                                 \
                              {'0', '4', '0', '9', '0', '4', 'B', '0'},         \
                              sizeof(OSKAN_COMPONENT_VERSION_STRINGS(name)),    \
                              OSKAN_COMPONENT_VERSION_STRINGS(name)};
