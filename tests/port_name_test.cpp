// How port names become device paths, the same on every platform.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "serial/device_path.h"
#include "serial/port_messages.h"

namespace {

std::string path_for(const std::string& name) {
    std::array<char, DEVICE_PATH_SIZE> path{};
    if (device_path_for(name.c_str(), path) != 0) {
        return "<refused>";
    }
    return path.data();
}

TEST(PortName, ParsesLikeTheFormattedInputConversion) {
    // Everything the C library's sscanf("COM%d") can read without overflow must come
    // out the same from our parser, which also runs where that sscanf behaves otherwise.
    const char* names[] = {"",       "C",      "CO",     "COM",           "COM ",   "COM-",
                           "COM+",   "COM- 1", "COM -1", "COM\t7x",       "COMx",   "com3",
                           "COM3x",  "xCOM1",  "COM+-1", " COM1",         "COM007", "COM+12",
                           "COM12x", "COM-0",  "COM9",   "COM10",         "CoM1",   "COM1 2",
                           "COM\n5", "COM.5",  "COM0x1", "COM 2147483647"};
    for (const char* name : names) {
        int expected_number = 0;
        const int expected = std::sscanf(name, "COM%d", &expected_number);
        int number = 0;
        const int got = parse_port_name(name, &number);
        EXPECT_EQ(got, expected) << '"' << name << '"';
        EXPECT_EQ(number, expected_number) << '"' << name << '"';
    }
}

TEST(PortName, OutOfRangeNumbersSaturateInsteadOfWrapping) {
    int number = 0;
    ASSERT_EQ(parse_port_name("COM99999999999", &number), PORT_NAME_NUMBER);
    EXPECT_EQ(number, 2147483647);
    ASSERT_EQ(parse_port_name("COM-4294967295", &number), PORT_NAME_NUMBER);
    EXPECT_EQ(number, -2147483647 - 1);
}

TEST(DevicePath, NamesAreTakenAsTypedUnlessALargeNumberStandsAlone) {
    EXPECT_EQ(path_for("COM1"), "COM1");
    EXPECT_EQ(path_for("COM9"), "COM9");
    EXPECT_EQ(path_for("COM3x"), "COM3x");
    EXPECT_EQ(path_for("COM-1"), "COM-1");
    EXPECT_EQ(path_for("COM 5"), "COM 5");
    EXPECT_EQ(path_for(""), "");
    EXPECT_EQ(path_for("COM"), "COM");
    // Whatever the number, text around it keeps the name as typed: never another port.
    for (const char* name : {"COM12x", "COM 12", "COM+12", "COM12 ", "COM\t10"}) {
        EXPECT_EQ(path_for(name), name);
    }
}

TEST(DevicePath, NumbersFromTenUseTheDeviceNamespaceForm) {
    EXPECT_EQ(path_for("COM10"), "\\\\.\\COM10");
    EXPECT_EQ(path_for("COM011"), "\\\\.\\COM11");
    EXPECT_EQ(path_for("COM99999999999"), "\\\\.\\COM2147483647");
}

TEST(DevicePath, RefusesNamesThatAreNotPortsOrDoNotFit) {
    EXPECT_EQ(path_for("com3"), "<refused>");
    EXPECT_EQ(path_for("/dev/ttyUSB0"), "<refused>");
    EXPECT_EQ(path_for("COMx"), "<refused>");

    const std::string longest = "COM1" + std::string(DEVICE_PATH_SIZE - 5, 'x');
    EXPECT_EQ(path_for(longest), longest);
    EXPECT_EQ(path_for(longest + "x"), "<refused>");
    EXPECT_EQ(path_for("COM1" + std::string(100000, 'x')), "<refused>");
    EXPECT_EQ(path_for("COM12" + std::string(5000, 'x')), "<refused>");
}

TEST(OpenFailureMessage, APermissionRefusalSaysWhoCanHelp) {
    struct row {
        device_owner owner;
        std::string reason;
    };
    const std::vector<row> rows{
        {{true, {"root"}, {"dialout"}, 0660},
         "; add yourself to the dialout group (sudo usermod -aG dialout $USER) and log in "
         "again"},
        // Joining dialout would not help here.
        {{true, {"root"}, {"root"}, 0600}, "; owned by root (group root, mode 600)"},
        {{true, {"1234"}, {"tty"}, 0620}, "; owned by 1234 (group tty, mode 620)"},
        // Only a directory on the way refused: nothing known of the device.
        {{false, {}, {}, 0}, ""},
    };
    for (const row& r : rows) {
        port_report report{};
        report.failure = OPEN_PERMISSION;
        report.owner = r.owner;
        std::snprintf(report.path.data(), report.path.size(), "/dev/ttyUSB0");
        static message_line line;
        open_failure_message("COM3", report, line);
        EXPECT_EQ(line.data(), "tervalo: COM3: permission denied (/dev/ttyUSB0)" + r.reason + "\n");
    }
}

}  // namespace
