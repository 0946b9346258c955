// How port names become device paths, and where those paths lead on Linux.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "serial/device_path.h"
#include "serial/posix_device.h"

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

TEST(DevicePath, SmallNumbersKeepTheNameAsTyped) {
    EXPECT_EQ(path_for("COM1"), "COM1");
    EXPECT_EQ(path_for("COM9"), "COM9");
    EXPECT_EQ(path_for("COM3x"), "COM3x");
    EXPECT_EQ(path_for("COM-1"), "COM-1");
    EXPECT_EQ(path_for("COM 5"), "COM 5");
    EXPECT_EQ(path_for(""), "");
    EXPECT_EQ(path_for("COM"), "COM");
}

TEST(DevicePath, NumbersFromTenUseTheDeviceNamespaceForm) {
    EXPECT_EQ(path_for("COM10"), "\\\\.\\COM10");
    EXPECT_EQ(path_for("COM12x"), "\\\\.\\COM12");
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
    // Large numbers form their path from the number, so the length of the name is moot.
    EXPECT_EQ(path_for("COM12" + std::string(5000, 'x')), "\\\\.\\COM12");
}

class PosixDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        original_ = std::filesystem::current_path();
        dir_ =
            std::filesystem::temp_directory_path() / ("tervalo-names-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(original_);
        std::filesystem::remove_all(dir_);
    }

    static std::string device_for(const std::string& path) {
        std::array<char, DEVICE_PATH_SIZE> device{};
        if (posix_device_for(path.c_str(), device) != 0) {
            return "<nowhere>";
        }
        return device.data();
    }

    std::filesystem::path original_;
    std::filesystem::path dir_;
};

TEST_F(PosixDevice, BuiltInPortsCountFromOne) {
    EXPECT_EQ(device_for("COM1"), "/dev/ttyS0");
    EXPECT_EQ(device_for("COM3"), "/dev/ttyS2");
    EXPECT_EQ(device_for("\\\\.\\COM12"), "/dev/ttyS11");
}

TEST_F(PosixDevice, OtherFormsLeadNowhere) {
    for (const char* path : {"COM0", "COM-1", "COM3x", "COM 5", "COM03", "", "COM", "\\\\.\\",
                             "\\\\.\\COM", "COM99999999999"}) {
        EXPECT_EQ(device_for(path), "<nowhere>") << '"' << path << '"';
    }
}

TEST_F(PosixDevice, AnEntryInTheWorkingDirectoryWins) {
    std::filesystem::create_symlink("/dev/null", "COM3");
    std::filesystem::create_symlink("/does/not/exist", "COM12");
    EXPECT_EQ(device_for("COM3"), "COM3");
    // A dangling link is still what the user meant; opening it will fail.
    EXPECT_EQ(device_for("\\\\.\\COM12"), "COM12");
    std::filesystem::create_symlink("/dev/null", "COM3x");
    EXPECT_EQ(device_for("COM3x"), "COM3x");
}

}  // namespace
