#include "tests/e2e/bad_input_rounds.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/e2e/log_lines.h"

namespace {

const std::string NO_RESPONSE = NO_RESPONSE_LINE;
const std::string GOOD_LINE = printed_line(RESPONSE_FORMAT, "fine");

struct bad_input {
    byte_string bytes;
    std::string printed;  // exact, or empty when the outcome is not fixed
    std::string cause;    // in the log, or empty when not fixed
};

std::vector<bad_input> bad_inputs(const byte_string& good_frame) {
    std::mt19937 random(20261208);  // deterministic noise, 0x03 and friends included
    byte_string raw_noise(300);
    for (auto& b : raw_noise) {
        b = static_cast<std::uint8_t>(random());
    }
    const byte_string truncated(good_frame.begin(), good_frame.end() - 2);
    return {
        {{0x01, 0x02, 0xAD, 0x00, 0x00},
         printed_line(LENGTH_ERROR_FORMAT, 0) + NO_RESPONSE,
         "bad_frame"},
        {{0xAD, 0x00, 0x03, 0xA2, 0x4F, 0x4B, 0x00},
         printed_line(CHECK_ERROR_FORMAT, 166, 0) + NO_RESPONSE,
         "bad_frame"},
        {{0x5C, 0x41}, printed_line(ESCAPE_ERROR_FORMAT, 0x41) + NO_RESPONSE, "bad_frame"},
        {truncated, NO_RESPONSE, "cut"},
        {{0xAD, 0xFF, 0xFF, 0xA2, 'x'}, NO_RESPONSE, "cut"},  // absurd length, then silence
        {raw_noise, "", ""},
        {frame_bytes(0xA1, "fine"), NO_RESPONSE, "other_type"},
    };
}

}  // namespace

void play_bad_input_rounds(tool_run& tool, const pty_device& device,
                           const std::function<bool()>& next_greeting,
                           const std::filesystem::path& log) {
    const byte_string good_frame = frame_bytes(0xA2, "fine");
    std::size_t seen = tool.output().size();
    const std::vector<bad_input> inputs = bad_inputs(good_frame);
    for (const bad_input& input : inputs) {
        ASSERT_TRUE(next_greeting());
        device.send(input.bytes);
        ASSERT_TRUE(next_greeting());
        device.send(good_frame);
        ASSERT_TRUE(tool.wait_for_output(GOOD_LINE, SHORT_WAIT, seen))
            << tool.output().substr(seen);
        const std::string all = tool.output();
        const std::string this_round = all.substr(seen);
        seen = all.size();
        ASSERT_EQ(this_round.substr(this_round.size() - GOOD_LINE.size()), GOOD_LINE);
        if (!input.printed.empty()) {
            EXPECT_EQ(this_round, input.printed + GOOD_LINE);
        }
        ASSERT_TRUE(tool.running());
    }
    // Each bad input's greeting is followed by a good one; its line is logged before that.
    const std::vector<nlohmann::json> greetings = greeting_lines(read_log_lines(log));
    ASSERT_GE(greetings.size(), 2 * inputs.size() - 1);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const nlohmann::json& line = greetings[2 * i];
        if (!inputs[i].cause.empty()) {
            EXPECT_EQ(line["cause"].value("kind", ""), inputs[i].cause) << line.dump();
        }
    }
}
