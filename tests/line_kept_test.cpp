// What the tool says on standard error about its port. A pseudo-terminal takes any
// setting, so only a table of read-back lines shows each part of the comparison and the
// text of a line the driver kept.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/port_messages.h"

namespace {

TEST(LineKept, EachDifferenceIsNamedAndTheWantedLineSaysNothing) {
    struct kept_case {
        line_state line;
        std::string said;  // empty: nothing to say
        std::uint32_t asked_baud = WANTED_LINE.baud;
    };
    const std::vector<kept_case> cases{
        {WANTED_LINE, ""},
        {{9600, 8, 'N', 2, false, false}, "the driver kept 9600 baud 8N1"},
        // A chip's own rate, within a UART's tolerance (2 %) of the one asked for, or not.
        {{923077, 8, 'N', 2, false, false}, ""},
        {{903168, 8, 'N', 2, false, false}, ""},
        {{903167, 8, 'N', 2, false, false}, "the driver kept 903167 baud 8N1"},
        {{1000000, 8, 'N', 2, false, false}, "the driver kept 1000000 baud 8N1"},
        {{921600, 7, 'E', 2, false, false}, "the driver kept 921600 baud 7E1"},
        {{921600, 8, 'O', 4, false, false}, "the driver kept 921600 baud 8O2"},
        {{921600, 8, 'M', 3, false, false}, "the driver kept 921600 baud 8M1.5"},
        {{921600, 8, 'N', 2, true, false}, "the driver kept 921600 baud 8N1, RTS/CTS flow control"},
        {{921600, 8, 'N', 2, false, true},
         "the driver kept 921600 baud 8N1, XON/XOFF flow control"},
        {{115200, 8, 'S', 4, true, true},
         "the driver kept 115200 baud 8S2, RTS/CTS flow control, XON/XOFF flow control"},
        // -b: compared with the rate asked for, whatever it is.
        {line_at(115200), "", 115200},
        {WANTED_LINE, "the driver kept 921600 baud 8N1", 115200},
    };
    for (const kept_case& c : cases) {
        message_line out{};
        const bool said = line_kept_message("COM4", c.line, line_at(c.asked_baud), out);
        EXPECT_EQ(said, !c.said.empty()) << c.said;
        const std::string asked =
            " (asked for " + std::to_string(c.asked_baud) + " 8N1 without flow control)\n";
        EXPECT_EQ(std::string(out.data()),
                  c.said.empty() ? "" : "tervalo: COM4: " + c.said + asked);
    }
}

}  // namespace

namespace {

TEST(PortMessages, ANameTooLongForTheLineIsCutAndTheLineStillEnds) {
    port_report report{};
    report.failure = OPEN_BAD_NAME;
    const std::string name = "COM1" + std::string(2 * MESSAGE_SIZE, 'x');
    message_line out{};
    open_failure_message(name.c_str(), report, out);
    const std::string line(out.data());
    EXPECT_EQ(line.size(), MESSAGE_SIZE - 1);
    EXPECT_EQ(line.rfind("tervalo: COM1xxx", 0), 0U);
    EXPECT_EQ(line.back(), '\n');
}

}  // namespace
