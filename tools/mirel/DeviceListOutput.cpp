#include "tools/mirel/DeviceListOutput.h"

#include <algorithm>
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

namespace {

bool IsFixed(const DeviceRow& row) {
    return row.kind == DeviceKind::Fixed;
}

}  // namespace

void PrintDeviceTable(std::ostream& out, const std::vector<DeviceRow>& rows, bool withKind) {
    using Line = std::vector<std::string>;
    std::vector<Line> lines{{"ID", "MAC", "IP", "PING", "VERSION", "BUILD", "PROJECT", "MODE"}};
    if (withKind) {
        lines[0].insert(lines[0].begin(), "KIND");
        lines[0].insert(lines[0].end(), {"DIRECT", "DESCRIPTION"});
    }
    for (const DeviceRow& row : rows) {
        // Every text a device sent, escaped: any host on the network may answer.
        using oskan::tools::Printable;
        Line line{std::to_string(row.id),
                  Printable(row.mac),
                  Printable(row.ip),
                  row.ping < 0 ? "-" : std::to_string(row.ping) + " ms",
                  Printable(row.version),
                  IsFixed(row) ? "-" : Printable(row.buildId),
                  IsFixed(row) ? "-" : Printable(row.project),
                  IsFixed(row) ? "-" : ModeName(row.mode)};
        if (withKind) {
            line.insert(line.begin(), IsFixed(row) ? "fixed" : "skos");
            line.push_back(IsFixed(row) ? (row.directAccess ? "yes" : "no") : "-");
            line.push_back(IsFixed(row) ? Printable(row.description) : "");
        }
        lines.push_back(std::move(line));
    }
    const size_t columns = lines[0].size();
    std::vector<size_t> widths(columns, 0);
    for (const Line& line : lines)
        for (size_t c = 0; c < columns; ++c)
            widths[c] = std::max(widths[c], line[c].size());
    for (const Line& line : lines) {
        std::string text;
        for (size_t c = 0; c < columns; ++c) {
            text += line[c];
            if (c + 1 < columns)
                text.append(widths[c] - line[c].size() + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        out << text << '\n';
    }
}

void PrintDeviceJson(std::ostream& out, const std::vector<DeviceRow>& rows, bool withKind) {
    nlohmann::json list = nlohmann::json::array();
    for (const DeviceRow& row : rows) {
        nlohmann::json entry = {{"id", row.id},           {"mac", row.mac},
                                {"ip", row.ip},           {"ping", row.ping},
                                {"version", row.version}, {"build_id", row.buildId},
                                {"project", row.project}, {"mode", ModeName(row.mode)}};
        if (withKind) {
            entry["kind"] = IsFixed(row) ? "fixed" : "skos";
            entry["direct_access"] =
                IsFixed(row) ? nlohmann::json(row.directAccess) : nlohmann::json(nullptr);
            entry["description"] = IsFixed(row) ? nlohmann::json(row.description) : nlohmann::json(nullptr);
            if (IsFixed(row)) {
                entry["build_id"] = nullptr;
                entry["project"] = nullptr;
                entry["mode"] = nullptr;
            }
        }
        list.push_back(std::move(entry));
    }
    // Replace, not throw, on text that is not valid UTF-8: a device chose it.
    // ASCII only: control characters, DEL and the C1 range leave as \u escapes.
    out << list.dump(2, ' ', true, nlohmann::json::error_handler_t::replace) << '\n';
}

}  // namespace mirel
