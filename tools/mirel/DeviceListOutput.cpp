#include "tools/mirel/DeviceListOutput.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>

#include "tools/Printable.h"

namespace mirel {

const char* ModeName(OSKAN_PCODE_MACHINE_MODE mode) {
    switch (mode) {
        case OPCM_MODE_FILE_ERROR:
            return "file_error";
        case OPCM_MODE_RUNNING:
            return "running";
        case OPCM_MODE_STOPPED_IDLE:
            return "stopped_idle";
        case OPCM_MODE_STOPPED_BUSY:
            return "stopped_busy";
        default:
            return "unknown";
    }
}

void PrintDeviceTable(std::ostream& out, const std::vector<DeviceRow>& rows) {
    constexpr size_t kColumns = 8;
    using Line = std::array<std::string, kColumns>;
    std::vector<Line> lines{{"ID", "MAC", "IP", "PING", "VERSION", "BUILD", "PROJECT", "MODE"}};
    for (const DeviceRow& row : rows) {
        // Every text a device sent, escaped: any host on the network may answer.
        using oskan::tools::Printable;
        lines.push_back({std::to_string(row.id), Printable(row.mac), Printable(row.ip),
                         row.ping < 0 ? "-" : std::to_string(row.ping) + " ms", Printable(row.version),
                         Printable(row.buildId), Printable(row.project), ModeName(row.mode)});
    }
    std::array<size_t, kColumns> widths{};
    for (const Line& line : lines)
        for (size_t c = 0; c < kColumns; ++c)
            widths[c] = std::max(widths[c], line[c].size());
    for (const Line& line : lines) {
        std::string text;
        for (size_t c = 0; c < kColumns; ++c) {
            text += line[c];
            if (c + 1 < kColumns)
                text.append(widths[c] - line[c].size() + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        out << text << '\n';
    }
}

void PrintDeviceJson(std::ostream& out, const std::vector<DeviceRow>& rows) {
    nlohmann::json list = nlohmann::json::array();
    for (const DeviceRow& row : rows) {
        list.push_back({{"id", row.id},
                        {"mac", row.mac},
                        {"ip", row.ip},
                        {"ping", row.ping},
                        {"version", row.version},
                        {"build_id", row.buildId},
                        {"project", row.project},
                        {"mode", ModeName(row.mode)}});
    }
    // Replace, not throw, on text that is not valid UTF-8: a device chose it.
    // ASCII only: control characters, DEL and the C1 range leave as \u escapes.
    out << list.dump(2, ' ', true, nlohmann::json::error_handler_t::replace) << '\n';
}

}  // namespace mirel
