#include "tools/mirel/DeviceListOutput.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

namespace {

std::vector<mirel::DeviceRow> Rows() {
    mirel::DeviceRow a;
    a.id = 0;
    a.mac = "2.0.0.1.2.3";
    a.ip = "127.0.0.2";
    a.ping = 12;
    a.version = "4.2";
    a.buildId = "b1";
    a.project = "Boiler room";
    a.mode = OPCM_MODE_RUNNING;
    mirel::DeviceRow b;
    b.id = 17;
    b.mac = "2.0.0.1.2.44";
    b.ip = "127.0.0.3";
    b.ping = -1;
    b.project = "\xff bad utf-8";
    b.mode = OPCM_MODE_UNKNOWN;
    return {a, b};
}

TEST(DeviceListOutput, TableColumnsLineUp) {
    std::ostringstream out;
    mirel::PrintDeviceTable(out, Rows());
    std::istringstream lines(out.str());
    std::string header, first, second;
    std::getline(lines, header);
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_EQ(header.rfind("ID  MAC", 0), 0u);
    for (const char* column : {"IP", "PING", "VERSION", "PROJECT", "MODE"}) {
        size_t at = header.find(column);
        ASSERT_NE(at, std::string::npos) << column;
        EXPECT_NE(first[at], ' ') << column;  // every value starts under its heading
    }
    EXPECT_EQ(second.find("12 ms"), std::string::npos);
    EXPECT_NE(second.find(" - "), std::string::npos);  // no ping measured
    EXPECT_NE(first.find("running"), std::string::npos);
    EXPECT_NE(second.find("unknown"), std::string::npos);
}

TEST(DeviceListOutput, JsonHasTheDocumentedKeysAndSurvivesBadText) {
    std::ostringstream out;
    mirel::PrintDeviceJson(out, Rows());
    auto list = nlohmann::json::parse(out.str());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["id"], 0);
    EXPECT_EQ(list[0]["mac"], "2.0.0.1.2.3");
    EXPECT_EQ(list[0]["ip"], "127.0.0.2");
    EXPECT_EQ(list[0]["ping"], 12);
    EXPECT_EQ(list[0]["version"], "4.2");
    EXPECT_EQ(list[0]["build_id"], "b1");
    EXPECT_EQ(list[0]["project"], "Boiler room");
    EXPECT_EQ(list[0]["mode"], "running");
    EXPECT_EQ(list[1]["ping"], -1);
    EXPECT_EQ(list[1]["mode"], "unknown");
}

TEST(DeviceListOutput, BothKindsHaveAKindColumnAndTheirOwnKeys) {
    std::vector<mirel::DeviceRow> rows = Rows();
    mirel::DeviceRow server;
    server.kind = mirel::DeviceKind::Fixed;
    server.id = 0;
    server.mac = "00-90-E8-00-00-01";
    server.ip = "127.1.0.2";
    server.ping = 3;
    server.version = "2.10";
    server.directAccess = true;
    server.description = "Press-1 / Hall\x1b";
    rows.push_back(server);

    std::ostringstream table;
    mirel::PrintDeviceTable(table, rows, true);
    std::istringstream lines(table.str());
    std::string header, first, second, third;
    std::getline(lines, header);
    std::getline(lines, first);
    std::getline(lines, second);
    std::getline(lines, third);
    EXPECT_EQ(header.rfind("KIND   ID  MAC", 0), 0u) << header;
    EXPECT_NE(header.find("DIRECT  DESCRIPTION"), std::string::npos) << header;
    EXPECT_EQ(first.rfind("skos ", 0), 0u);
    EXPECT_EQ(third.rfind("fixed", 0), 0u);
    EXPECT_EQ(third.substr(header.find("DIRECT"), 3), "yes");
    EXPECT_NE(third.find("Press-1 / Hall\\x1b"), std::string::npos) << third;

    std::ostringstream json;
    mirel::PrintDeviceJson(json, rows, true);
    auto list = nlohmann::json::parse(json.str());
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]["kind"], "skos");
    EXPECT_TRUE(list[0]["direct_access"].is_null());
    EXPECT_TRUE(list[0]["description"].is_null());
    EXPECT_EQ(list[2]["kind"], "fixed");
    EXPECT_EQ(list[2]["direct_access"], true);
    EXPECT_EQ(list[2]["description"], "Press-1 / Hall\x1b");
    EXPECT_TRUE(list[2]["mode"].is_null());

    // Without both kinds, nothing changes.
    std::ostringstream plain;
    mirel::PrintDeviceJson(plain, Rows());
    EXPECT_FALSE(nlohmann::json::parse(plain.str())[0].contains("kind"));
}

// Text a device sent, as any host on the network may choose it.
mirel::DeviceRow HostileRow() {
    mirel::DeviceRow row;
    row.id = 3;
    row.mac = "2.0.0.1.2.5";
    row.ip = "127.0.0.4";
    row.version =
        "\x1b]0;owned\x07"
        "4.2";
    row.buildId = "b\x1b[2K\rX";
    row.project =
        "Pump \xc2\x9b"
        "31m\x7f \xc3\xa9t\xc3\xa9";
    return row;
}

TEST(DeviceListOutput, TableWritesControlCharactersEscaped) {
    std::ostringstream out;
    mirel::PrintDeviceTable(out, {HostileRow()});
    const std::string text = out.str();
    for (char c : text)
        EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << static_cast<int>(c);
    EXPECT_EQ(text.find('\x7f'), std::string::npos);
    EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos);
    EXPECT_NE(text.find("\\x1b]0;owned\\x074.2"), std::string::npos) << text;
    EXPECT_NE(text.find("b\\x1b[2K\\x0dX"), std::string::npos) << text;
    // Other text outside ASCII stays as it is.
    EXPECT_NE(text.find("Pump \\xc2\\x9b31m\\x7f \xc3\xa9t\xc3\xa9"), std::string::npos) << text;
}

TEST(DeviceListOutput, JsonEscapesControlCharacters) {
    std::ostringstream out;
    mirel::PrintDeviceJson(out, {HostileRow()});
    const std::string text = out.str();
    for (char c : text)
        EXPECT_TRUE(c == '\n' ||
                    (static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f))
            << static_cast<int>(c);
    auto list = nlohmann::json::parse(text);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["version"], HostileRow().version);
    EXPECT_EQ(list[0]["build_id"], HostileRow().buildId);
    EXPECT_EQ(list[0]["project"], HostileRow().project);
}

TEST(DeviceListOutput, ModeNames) {
    EXPECT_STREQ(mirel::ModeName(OPCM_MODE_FILE_ERROR), "file_error");
    EXPECT_STREQ(mirel::ModeName(OPCM_MODE_STOPPED_IDLE), "stopped_idle");
    EXPECT_STREQ(mirel::ModeName(OPCM_MODE_STOPPED_BUSY), "stopped_busy");
    EXPECT_STREQ(mirel::ModeName(static_cast<OSKAN_PCODE_MACHINE_MODE>(42)), "unknown");
}

}  // namespace
