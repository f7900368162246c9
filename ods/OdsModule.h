#pragma once
// The ods component library's module: its class table, the registry scripts
// of its classes, the lock count every live object holds, and the type library
// its dual interfaces are served from (also as SkComponentModule, for the
// shared object pieces). The exports of the library forward to it (ods/ods.cpp).
//
// A class is added with one entry in kClasses (ods/OdsModule.cpp): its CLSID,
// its creator and its registry script, written with ODS_CLASS_SCRIPT.

#include "winport/com/ComModule.h"

winport::ComModule& OdsModule();

// The registry script of one creatable class: the ".1" and the
// version-independent ProgID and the class key with the library's path and
// type library. String literals: PROGID "ods.udpdevice", NAME "OdsUdpDevice
// Class", CLSID "{...}".
#define ODS_CLASS_SCRIPT(PROGID, NAME, CLSID)                              \
    "HKCR\n"                                                               \
    "{\n"                                                                  \
    "    " PROGID ".1 = s '" NAME                                          \
    "'\n"                                                                  \
    "    {\n"                                                              \
    "        CLSID = s '" CLSID                                            \
    "'\n"                                                                  \
    "    }\n"                                                              \
    "    " PROGID " = s '" NAME                                            \
    "'\n"                                                                  \
    "    {\n"                                                              \
    "        CLSID = s '" CLSID                                            \
    "'\n"                                                                  \
    "        CurVer = s '" PROGID                                          \
    ".1'\n"                                                                \
    "    }\n"                                                              \
    "    NoRemove CLSID\n"                                                 \
    "    {\n"                                                              \
    "        ForceRemove " CLSID " = s '" NAME                             \
    "'\n"                                                                  \
    "        {\n"                                                          \
    "            ProgID = s '" PROGID                                      \
    ".1'\n"                                                                \
    "            VersionIndependentProgID = s '" PROGID                    \
    "'\n"                                                                  \
    "            ForceRemove 'Programmable'\n"                             \
    "            InprocServer32 = s '%MODULE%'\n"                          \
    "            {\n"                                                      \
    "                val ThreadingModel = s 'Apartment'\n"                 \
    "            }\n"                                                      \
    "            'TypeLib' = s '{508E2EFD-E126-481A-87E0-AACDFD277A0C}'\n" \
    "        }\n"                                                          \
    "    }\n"                                                              \
    "}\n"
