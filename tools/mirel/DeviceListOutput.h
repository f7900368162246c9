#pragma once
// The device list as people and programs read it: an aligned table, or JSON.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "common/MessageTransport.h"

namespace mirel {

enum class DeviceKind { Skos, Fixed };

struct DeviceRow {
    DeviceKind kind = DeviceKind::Skos;
    int32_t id = 0;
    std::string mac, ip;
    int32_t ping = -1;
    std::string version, buildId, project;
    OSKAN_PCODE_MACHINE_MODE mode = OPCM_MODE_UNKNOWN;
    // Device Servers
    bool directAccess = false;
    std::string description;  // first and second, joined by " / "
};

// "unknown", "file_error", "running", "stopped_idle", "stopped_busy".
const char* ModeName(OSKAN_PCODE_MACHINE_MODE mode);

// withKind: both kinds, with the KIND, DIRECT and DESCRIPTION columns (JSON:
// "kind", "direct_access", "description"; null where a kind has no such value).
void PrintDeviceTable(std::ostream& out, const std::vector<DeviceRow>& rows, bool withKind = false);
void PrintDeviceJson(std::ostream& out, const std::vector<DeviceRow>& rows, bool withKind = false);

}  // namespace mirel
