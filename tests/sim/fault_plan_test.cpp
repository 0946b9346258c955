// Every fault the simulator can inject, played to the real frame reader and greeting
// cycle over the scripted port: the tool's output must be exactly what the plan says
// it will be, and the cycle after must be clean. This is what makes the simulator's
// record trustworthy as the soak test's oracle.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "app/poll_cycle.h"
#include "sim/fault_plan.h"
#include "tests/fake_device.h"
#include "timing/clock.h"

namespace {

// Schedules the plan's writes as they would arrive after a greeting sent at `sent_at`.
void play(const reply_plan& plan, std::int64_t sent_at) {
    std::int64_t at = sent_at + 1;
    for (const write_step& step : plan.steps) {
        at += step.wait_ms;
        fake_arrive(at, step.bytes);
    }
}

std::string cycle_output(Packet& packet) {
    ::testing::internal::CaptureStdout();
    cycle_record record;
    run_cycle(packet, record);
    // As the tool's loop does between cycles: late and unsolicited replies land here.
    pause_ms(CYCLE_PAUSE_MS);
    return ::testing::internal::GetCapturedStdout();
}

struct fault_case {
    fault_kind fault;
    std::string text;
};

class EveryFault : public ::testing::TestWithParam<fault_case> {};

TEST_P(EveryFault, ToolPrintsWhatThePlanSaysAndRecovers) {
    const auto& [fault, text] = GetParam();
    std::mt19937 random(7);
    static Packet packet;
    for (int round = 0; round < 5; ++round) {  // noise differs from round to round
        fake_reset();
        const reply_plan plan = plan_reply(fault, text, 0, random);
        play(plan, 0);
        const std::string printed = cycle_output(packet);
        if (plan.expected) {
            EXPECT_EQ(printed, *plan.expected) << fault_name(fault) << " round " << round;
        } else {
            EXPECT_TRUE(fault == fault_kind::raw_noise || fault == fault_kind::gap)
                << fault_name(fault) << " left open";
        }
        // Whatever the fault left on the line, the next greeting's purge takes it.
        play(plan_reply(fault_kind::none, "next", 0, random), fake_now());
        EXPECT_EQ(cycle_output(packet), "[info]:response: next\r\n")
            << fault_name(fault) << " round " << round;
    }
}

std::vector<fault_case> all_cases() {
    std::vector<fault_case> cases;
    // Plain text; bytes that travel escaped; a text whose check byte is 0xAD, the start
    // byte; and the largest payload.
    const std::string texts[] = {"reply 12", std::string("\x11\x13\x5c|\xad", 5),
                                 std::string("\x0f", 1), std::string(PAYLOAD_MAX, 'L')};
    for (const std::string& text : texts) {
        cases.push_back({fault_kind::none, text});
        for (const fault_kind fault : ALL_FAULTS) {
            cases.push_back({fault, text});
        }
    }
    return cases;
}

std::string case_name(const ::testing::TestParamInfo<fault_case>& info) {
    std::string name = std::to_string(info.index) + "_" + std::string(fault_name(info.param.fault));
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Sim, EveryFault, ::testing::ValuesIn(all_cases()), case_name);

TEST(FaultPlan, GapIsLeftOpenOnlyWhenTheTailCouldStartAFrame) {
    std::mt19937 random(1);
    EXPECT_TRUE(plan_reply(fault_kind::gap, "reply 12", 0, random).expected);
    // "\x0f" gives the check byte 0xAD, which the tool would take for a new start.
    EXPECT_FALSE(plan_reply(fault_kind::gap, std::string("\x0f", 1), 0, random).expected);
}

TEST(FaultPlan, DelayAppliesToTheFirstWriteButNeverMakesALateReplyLater) {
    std::mt19937 random(1);
    EXPECT_EQ(plan_reply(fault_kind::none, "x", 700, random).steps.at(0).wait_ms, 700);
    EXPECT_EQ(plan_reply(fault_kind::late, "x", 700, random).steps.at(0).wait_ms, LATE_REPLY_MS);
    EXPECT_TRUE(plan_reply(fault_kind::silence, "x", 700, random).steps.empty());
}

TEST(FaultPlan, InertNoiseHoldsNoStartOrEscapeByte) {
    std::mt19937 random(3);
    for (int i = 0; i < 200; ++i) {
        const reply_plan plan = plan_reply(fault_kind::noise, "r", 0, random);
        const auto& bytes = plan.steps.at(0).bytes;
        const auto frame_start = std::find(bytes.begin(), bytes.end(), FRAME_START);
        ASSERT_NE(frame_start, bytes.end());
        EXPECT_EQ(std::find(bytes.begin(), frame_start, ESCAPE_BYTE), frame_start);
        EXPECT_GE(frame_start - bytes.begin(), 16);
    }
}

TEST(FaultPlan, NamesRoundTrip) {
    EXPECT_EQ(fault_from_name("none"), fault_kind::none);
    for (const fault_kind fault : ALL_FAULTS) {
        EXPECT_EQ(fault_from_name(fault_name(fault)), fault);
    }
    EXPECT_FALSE(fault_from_name("crc"));
    EXPECT_FALSE(fault_from_name(""));
}

}  // namespace
