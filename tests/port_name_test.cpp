// Port names and what the tool says about its port, the same on every platform.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "console/outside_text.h"
#include "serial/device_path.h"
#include "serial/port_messages.h"
#include "tests/tables.h"

namespace {

std::string path_for(const std::string& name) {
    std::array<char, DEVICE_PATH_SIZE> path{};
    return device_path_for(name.c_str(), path) == 0 ? path.data() : "<refused>";
}

TEST(PortName, ParsesLikeTheFormattedInputConversionAndSaturates) {
    for (const table_row& row : table("port_names")) {
        int expected_number = 0;
        const int expected = std::sscanf(row[0].c_str(), "COM%d", &expected_number);
        int number = 0;
        EXPECT_EQ(parse_port_name(row[0].c_str(), &number), expected) << '"' << row[0] << '"';
        EXPECT_EQ(number, expected_number) << '"' << row[0] << '"';
    }
    int number = 0;
    ASSERT_EQ(parse_port_name("COM-4294967295", &number), PORT_NAME_NUMBER);
    EXPECT_EQ(number, -2147483647 - 1);
}

TEST(DevicePath, SmallNumbersKeepTheNameAsTypedLargeOnesTheNumberAlone) {
    for (const table_row& row : table("device_paths")) {
        EXPECT_EQ(path_for(row[0]), row[1]) << '"' << row[0] << '"';
    }
    // The longest name kept as typed, one longer, and a name far too long for any path.
    const std::string longest = "COM1" + std::string(DEVICE_PATH_SIZE - 5, 'x');
    EXPECT_EQ(path_for(longest), longest);
    EXPECT_EQ(path_for(longest + "x"), "<refused>");
    EXPECT_EQ(path_for("COM12" + std::string(100000, 'x')), "\\\\.\\COM12");
}

TEST(PortMessages, APermissionRefusalSaysWhoCanHelpAndLongNamesAreCut) {
    for (const table_row& row : table("port_messages")) {
        port_report report{};
        report.failure = OPEN_PERMISSION;
        report.owner.known = row[0] == "1";
        std::snprintf(report.owner.user.data(), report.owner.user.size(), "%s", row[1].c_str());
        std::snprintf(report.owner.group.data(), report.owner.group.size(), "%s", row[2].c_str());
        report.owner.mode = static_cast<unsigned>(std::stoul(row[3], nullptr, 8));
        std::snprintf(report.path.data(), report.path.size(), "/dev/ttyUSB0");
        message_line line{};
        open_failure_message("COM3", report, line);
        EXPECT_EQ(line.data(), "tervalo: COM3: permission denied (/dev/ttyUSB0)" + row[4] + "\n");
    }
    port_report report{};
    report.failure = OPEN_BAD_NAME;
    message_line out{};
    open_failure_message(("COM1" + std::string(2 * MESSAGE_SIZE, 'x')).c_str(), report, out);
    const std::string line(out.data());
    EXPECT_EQ(line.size(), MESSAGE_SIZE - 1);
    EXPECT_TRUE(line.starts_with("tervalo: COM1xxx") && line.ends_with("x\n")) << line;
}

TEST(OutsideText, ControlsAndBytesThatAreNotUtf8AreShownAsHex) {
    for (const table_row& row : table("outside_text")) {
        std::array<char, 128> out{};
        EXPECT_EQ(safe_line(row[0], out), row[1]);
    }
    // Cut to fit: never half an escape, and the line still ends.
    std::array<char, 8> small{};
    EXPECT_EQ(std::string(safe_line("ab\x01\x02\n", small)), "ab\\x01\n");
}

TEST(LineKept, EachDifferenceIsNamedAndTheLineAskedForSaysNothing) {
    for (const table_row& row : table("line_kept")) {
        const line_state kept{static_cast<std::uint32_t>(std::stoul(row[0])),
                              static_cast<std::uint8_t>(std::stoi(row[1])),
                              row[2][0],
                              static_cast<std::uint8_t>(std::stoi(row[3])),
                              row[4] == "1",
                              row[5] == "1"};
        message_line out{};
        const bool said = line_kept_message(
            "COM4", kept, line_at(static_cast<std::uint32_t>(std::stoul(row[6]))), out);
        EXPECT_EQ(said, !row[7].empty()) << row[7];
        EXPECT_EQ(std::string(out.data()), said ? "tervalo: COM4: " + row[7] + " (asked for " +
                                                      row[6] + " 8N1 without flow control)\n"
                                                : "");
    }
}

}  // namespace
