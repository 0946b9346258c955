// The simulator's parts. Every fault it injects is played to the real reader and cycle on
// the scripted port: the tool must print exactly what the plan says, which is what makes
// the simulator's record the soak test's answer key.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "app/poll_cycle.h"
#include "sim/fault_plan.h"
#include "sim/sim_options.h"
#include "sim/sim_record.h"
#include "tests/fake_device.h"
#include "tests/tables.h"
#include "timing/clock.h"

namespace {

// Plays the plan's writes as they arrive after a greeting sent now, then runs the cycle
// and the pause after it, in which late and unsolicited replies land.
std::string cycle_against(const reply_plan& plan) {
    std::int64_t at = fake.now + 1;
    for (const write_step& step : plan.steps) {
        at += step.wait_ms;
        fake_arrive(at, step.bytes);
    }
    static Packet packet;
    cycle_record record;
    ::testing::internal::CaptureStdout();
    run_cycle(packet, record);
    pause_ms(CYCLE_PAUSE_MS);
    return ::testing::internal::GetCapturedStdout();
}

TEST(EveryFault, ToolPrintsWhatThePlanSaysAndRecovers) {
    // Plain text; bytes that travel escaped; a text whose check byte is 0xAD, the start
    // byte; the largest payload.
    const std::string texts[] = {"reply 12", std::string("\x11\x13\x5c|\xad", 5),
                                 std::string("\x0f", 1), std::string(PAYLOAD_MAX, 'L')};
    std::vector<fault_kind> faults(std::begin(ALL_FAULTS), std::end(ALL_FAULTS));
    faults.push_back(fault_kind::none);
    std::mt19937 random(7);
    for (const std::string& text : texts) {
        for (const fault_kind fault : faults) {
            for (int round = 0; round < 3; ++round) {  // the noise differs from round to round
                fake_reset();
                const reply_plan plan = plan_reply(fault, text, 0, random);
                const std::string printed = cycle_against(plan);
                const std::string what = std::string(fault_name(fault)) + " " + text.substr(0, 8);
                EXPECT_EQ(printed, plan.expected.value_or(printed)) << what;
                // Only raw noise, and a gap whose tail could start a frame, are left open.
                EXPECT_TRUE(plan.expected || fault == fault_kind::raw_noise ||
                            fault == fault_kind::gap)
                    << what;
                // Whatever the fault left on the line, the next greeting's purge takes it.
                EXPECT_EQ(cycle_against(plan_reply(fault_kind::none, "next", 0, random)),
                          "[info]:response: next\r\n")
                    << what;
            }
        }
    }
}

TEST(FaultPlan, DelayNoiseAndNames) {
    std::mt19937 random(1);
    // The delay is the first write's, but never makes a late reply later.
    EXPECT_EQ(plan_reply(fault_kind::none, "x", 700, random).steps.at(0).wait_ms, 700);
    EXPECT_EQ(plan_reply(fault_kind::late, "x", 700, random).steps.at(0).wait_ms, LATE_REPLY_MS);
    EXPECT_TRUE(plan_reply(fault_kind::silence, "x", 700, random).steps.empty());
    // "\x0f" gives the check byte 0xAD, which after a gap the tool takes for a new start.
    EXPECT_TRUE(plan_reply(fault_kind::gap, "reply 12", 0, random).expected);
    EXPECT_FALSE(plan_reply(fault_kind::gap, "\x0f", 0, random).expected);
    // Inert noise: at least 16 bytes, none of them a start or an escape byte.
    for (int i = 0; i < 200; ++i) {
        const reply_plan plan = plan_reply(fault_kind::noise, "r", 0, random);
        const auto& noise = plan.steps.at(0).bytes;
        const auto start = std::find(noise.begin(), noise.end(), FRAME_START);
        ASSERT_GE(start - noise.begin(), 16);
        EXPECT_EQ(std::find(noise.begin(), start, ESCAPE_BYTE), start);
    }
    for (const fault_kind fault : ALL_FAULTS) {
        EXPECT_EQ(fault_from_name(fault_name(fault)), fault);
    }
    EXPECT_EQ(fault_from_name("none"), fault_kind::none);
    EXPECT_FALSE(fault_from_name("crc"));
}

// The options of a command line, and the problem it has (none: "").
std::pair<sim_options, std::string> parsed(std::vector<const char*> args) {
    args.insert(args.begin(), "tervalo-sim");
    sim_options options;
    std::string problem = parse_options(static_cast<int>(args.size()), args.data(), options);
    return {options, problem};
}

TEST(SimOptions, BadInputNamesTheProblemOnOneLineGoodInputNoneAndHelpListsEverything) {
    for (const table_row& row : table("sim_options")) {
        std::vector<const char*> args;
        for (std::size_t i = 1; i < row.size(); ++i) {
            args.push_back(row[i].c_str());
        }
        const std::string error = parsed(args).second;
        EXPECT_TRUE(row[0].empty()
                        ? error.empty()
                        : error.starts_with(row[0]) && error.find('\n') == std::string::npos)
            << row[1] << ": " << error;
    }
    const std::string help = usage_text();
    for (const char* option : {"--port", "--replace", "--open", "--text", "--delay", "--fault",
                               "--every", "--mix", "--log", "--record", "--help"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
    for (const fault_kind fault : ALL_FAULTS) {
        std::string listed(" ");
        listed += fault_name(fault);
        EXPECT_NE(help.find(listed), std::string::npos) << listed;
    }
}

std::vector<fault_kind> schedule(const sim_options& options, int cycles) {
    std::mt19937 random(options.mix_seed.value_or(0));
    std::vector<fault_kind> faults{fault_kind::none};
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        faults.push_back(
            fault_for_cycle(options, static_cast<std::uint64_t>(cycle), faults.back(), random));
    }
    return {faults.begin() + 1, faults.end()};
}

TEST(FaultSchedule, EveryNthInTurnOrAMixThatIsRepeatableAndAlwaysRecovers) {
    using enum fault_kind;
    EXPECT_EQ(schedule(parsed({"--fault=gap,late", "--every", "3"}).first, 9),
              (std::vector{none, none, gap, none, none, late, none, none, gap}));
    const sim_options mix = parsed({"--mix", "42"}).first;
    const auto faults = schedule(mix, 2000);
    EXPECT_EQ(faults, schedule(mix, 2000));
    EXPECT_NE(faults, schedule(parsed({"--mix", "43"}).first, 2000));
    EXPECT_EQ(std::set(faults.begin(), faults.end()).size(), std::size(ALL_FAULTS) + 1);
    for (std::size_t i = 1; i < faults.size(); ++i) {
        ASSERT_TRUE(faults[i] == none || faults[i - 1] == none) << i;
    }
    const auto intact = std::count(faults.begin(), faults.end(), none);
    EXPECT_GT(intact, 1000);
    EXPECT_LT(intact, 1600);
}

TEST(SimRecord, EveryByteEscapedOnOneLineAndTheLineItsFields) {
    std::string all(256, '\0');
    std::iota(all.begin(), all.end(), '\0');
    EXPECT_EQ(escape_bytes(all).find_first_of("\t\r\n"), std::string::npos);
    EXPECT_EQ(unescape_bytes(escape_bytes(all)), all);
    EXPECT_EQ(escape_bytes("ok\r\n\\"), "ok\\r\\n\\\\");
    for (const char* bad : {"\\", "\\q", "\\x4", "\\xg0"}) {
        EXPECT_FALSE(unescape_bytes(bad)) << bad;
    }
    EXPECT_EQ(record_line(7, "split", 6, std::string("[info]:response: x\r\n"),
                          std::vector<std::uint8_t>{0xAD, 0x00, 0x02, 0xA2, 'x', 0xDA}),
              "7\tsplit\t6\t[info]:response: x\\r\\n\tad0002a278da\n");
    EXPECT_EQ(record_line(8, "raw-noise", 0, std::nullopt, {}), "8\traw-noise\t0\t*\t-\n");
    EXPECT_TRUE(record_line(9, "largest", 40, "", std::vector<std::uint8_t>(40, 0x11))
                    .ends_with(std::string(64, '1') + "...\n"));
}

}  // namespace
