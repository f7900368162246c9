#pragma once
// The enumerations and flags of Mirel's interfaces that hosts pass and read:
// the P-code machine's mode and the load flags. Header only, so the shared
// engines and every component that serves these interfaces use the same values.

#include <cstdint>

// The mode a device's P-code machine reports.
enum OSKAN_PCODE_MACHINE_MODE : int32_t {
    OPCM_MODE_UNKNOWN = 0,
    OPCM_MODE_FILE_ERROR = 1,
    OPCM_MODE_RUNNING = 2,
    OPCM_MODE_STOPPED_IDLE = 3,
    OPCM_MODE_STOPPED_BUSY = 4,
};

// Load flags (nFlags of ISkLoader::Load).
constexpr int OLF_LOAD_APPLICATION = 1;        // an application file; clear: firmware
constexpr int OLF_SKIP_IF_LOADED = 2;          // application: done when the device runs this build
constexpr int OLF_CHECK_FIRMWARE_VERSION = 4;  // application: refuse a firmware platform mismatch
constexpr int OLF_FIXED_FIRMWARE = 8;          // acknowledgements carry n + 1; firmware ends with "E"
