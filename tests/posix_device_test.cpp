// Where device paths lead on Linux: an entry in the working directory, else a ttyS port.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <string>

#include "serial/device_path.h"
#include "serial/posix_device.h"

namespace {

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
