// How port names become device paths, the same on every platform.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "console/outside_text.h"
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

TEST(DevicePath, SmallNumbersKeepTheNameAsTypedLargeOnesTheNumberAlone) {
    const std::string longest = "COM1" + std::string(DEVICE_PATH_SIZE - 5, 'x');
    const std::vector<std::pair<std::string, std::string>> rows{
        {"COM1", "COM1"},
        {"COM9", "COM9"},
        {"COM3x", "COM3x"},
        {"COM-1", "COM-1"},
        {"COM-12", "COM-12"},
        {"COM 5", "COM 5"},
        {"", ""},
        {"COM", "COM"},
        {longest, longest},
        // From 10 up what follows the number is not looked at, nor how it was written.
        {"COM10", "\\\\.\\COM10"},
        {"COM12x", "\\\\.\\COM12"},
        {"COM 12", "\\\\.\\COM12"},
        {"COM+12", "\\\\.\\COM12"},
        {"COM\t10 ", "\\\\.\\COM10"},
        {"COM011", "\\\\.\\COM11"},
        {"COM99999999999", "\\\\.\\COM2147483647"},
        {"COM12" + std::string(1100, 'x'), "\\\\.\\COM12"},
        // Not ports, or a name kept as typed that does not fit.
        {"com3", "<refused>"},
        {" COM1", "<refused>"},
        {"/dev/ttyUSB0", "<refused>"},
        {"COMx", "<refused>"},
        {longest + "x", "<refused>"},
        {"COM1" + std::string(100000, 'x'), "<refused>"},
    };
    for (const auto& [name, path] : rows) {
        EXPECT_EQ(path_for(name), path) << '"' << name.substr(0, 20) << '"';
    }
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

TEST(OutsideText, ControlsAndBytesThatAreNotUtf8AreShownAsHex) {
    const std::vector<std::pair<std::string, std::string>> rows{
        {"COM3 caf\xc3\xa9 \xe2\x82\xac\n", "COM3 caf\xc3\xa9 \xe2\x82\xac\n"},
        {"\x1b]0;OWNED\x07\x1b[2J\nok\n", "\\x1b]0;OWNED\\x07\\x1b[2J\\x0aok\n"},
        {"a\tb\rc\x7f\n\n", "a\\x09b\\x0dc\\x7f\\x0a\n"},
        // C1 controls (CSI as U+009B) are escaped, the first character after them is not.
        {"\xc2\x9b"
         "2J\xc2\xa0",
         "\\xc2\\x9b2J\xc2\xa0"},
        // A stray byte, an overlong slash, a surrogate, a cut sequence.
        {"\xff\xc0\xaf\xed\xa0\x80\xe2\x82", "\\xff\\xc0\\xaf\\xed\\xa0\\x80\\xe2\\x82"},
    };
    for (const auto& [raw, shown] : rows) {
        std::array<char, 128> out{};
        EXPECT_EQ(safe_line(raw, out), shown);
    }
    // Cut to fit: never half an escape, and the line still ends.
    std::array<char, 8> small{};
    EXPECT_EQ(std::string(safe_line("ab\x01\x02\n", small)), "ab\\x01\n");
}

}  // namespace
