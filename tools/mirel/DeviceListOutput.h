#pragma once
// The device list as people and programs read it: an aligned table, or JSON.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "common/MessageTransport.h"

namespace mirel {

struct DeviceRow {
    int32_t id = 0;
    std::string mac, ip;
    int32_t ping = -1;
    std::string version, buildId, project;
    OSKAN_PCODE_MACHINE_MODE mode = OPCM_MODE_UNKNOWN;
};

// "unknown", "file_error", "running", "stopped_idle", "stopped_busy".
const char* ModeName(OSKAN_PCODE_MACHINE_MODE mode);

void PrintDeviceTable(std::ostream& out, const std::vector<DeviceRow>& rows);
void PrintDeviceJson(std::ostream& out, const std::vector<DeviceRow>& rows);

}  // namespace mirel
