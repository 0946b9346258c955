// The simulator's command line and its choice of fault per cycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "sim/sim_options.h"
#include "sim/sim_record.h"

namespace {

struct parsed {
    std::string error;
    sim_options options;
};

parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "tervalo-sim");
    parsed out;
    out.error = parse_options(static_cast<int>(args.size()), args.data(), out.options);
    return out;
}

TEST(SimOptions, DefaultsAnswerEveryGreetingIntactOnCom1) {
    const parsed p = parse({});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.port, "COM1");
    EXPECT_TRUE(p.options.faults.empty());
    EXPECT_FALSE(p.options.mix_seed);
}

TEST(SimOptions, ValuesComeSeparateOrAfterAnEqualsSign) {
    const parsed p = parse({"--port=COM7", "--text", "a b=c", "--delay=900", "--fault",
                            "gap,bad-check", "--every", "3", "--record=r.tsv", "--replace"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.port, "COM7");
    EXPECT_EQ(p.options.text, "a b=c");
    EXPECT_EQ(p.options.delay_ms, 900);
    EXPECT_EQ(p.options.faults, (std::vector{fault_kind::gap, fault_kind::bad_check}));
    EXPECT_EQ(p.options.every, 3);
    EXPECT_EQ(p.options.record_path, "r.tsv");
    EXPECT_TRUE(p.options.replace_link);
}

TEST(SimOptions, MixWithoutAListDrawsFromEveryFault) {
    const parsed p = parse({"--mix", "4294967295"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.mix_seed, 4294967295u);
    EXPECT_EQ(p.options.faults.size(), std::size(ALL_FAULTS));
}

TEST(SimOptions, BadInputNamesTheProblem) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases{
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"COM1"}, "unknown option 'COM1'"},
        {{"--port"}, "--port needs a value"},
        {{"--port", "dir/COM1"}, "--port needs a plain file name"},
        {{"--port", ".."}, "--port needs a plain file name"},
        {{"--port="}, "--port needs a plain file name"},
        {{"--delay", "901"}, "--delay needs"},
        {{"--delay", "-1"}, "--delay needs"},
        {{"--delay", "5ms"}, "--delay needs"},
        {{"--every", "0"}, "--every needs"},
        {{"--mix", "4294967296"}, "--mix needs"},
        {{"--fault", "gap,crc"}, "unknown fault 'crc'"},
        {{"--fault", "gap,"}, "unknown fault ''"},
        {{"--fault", "none"}, "unknown fault 'none'"},
        {{"--text", ""}, "--text needs"},
        {{"--help=yes"}, "--help takes no value"},
        {{"--log", ""}, "--log needs a file name"},
    };
    for (const auto& [args, message] : cases) {
        const parsed p = parse(args);
        EXPECT_TRUE(p.error.starts_with(message)) << args.front() << ": " << p.error;
        EXPECT_EQ(p.error.find('\n'), std::string::npos);
    }
}

TEST(SimOptions, HelpListsEveryOptionAndFault) {
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
    std::vector<fault_kind> faults;
    fault_kind previous = fault_kind::none;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        previous = fault_for_cycle(options, static_cast<std::uint64_t>(cycle), previous, random);
        faults.push_back(previous);
    }
    return faults;
}

TEST(FaultSchedule, EveryNthCycleTakesTheNextFaultInTurn) {
    const parsed p = parse({"--fault", "gap,late", "--every", "3"});
    const auto n = fault_kind::none;
    EXPECT_EQ(schedule(p.options, 12),
              (std::vector{n, n, fault_kind::gap, n, n, fault_kind::late, n, n, fault_kind::gap, n,
                           n, fault_kind::late}));
}

TEST(FaultSchedule, MixIsRepeatableCoversTheListAndAlwaysRecovers) {
    const parsed p = parse({"--mix", "42"});
    const auto faults = schedule(p.options, 2000);
    EXPECT_EQ(faults, schedule(p.options, 2000));
    EXPECT_NE(faults, schedule(parse({"--mix", "43"}).options, 2000));
    std::set<fault_kind> seen(faults.begin(), faults.end());
    EXPECT_EQ(seen.size(), std::size(ALL_FAULTS) + 1);
    for (std::size_t i = 1; i < faults.size(); ++i) {
        ASSERT_FALSE(faults[i] != fault_kind::none && faults[i - 1] != fault_kind::none) << i;
    }
    const auto intact = std::count(faults.begin(), faults.end(), fault_kind::none);
    EXPECT_GT(intact, 1000);
    EXPECT_LT(intact, 1600);
}

TEST(SimRecord, EscapingRoundTripsEveryByteAndKeepsFieldsOnOneLine) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    const std::string escaped = escape_bytes(all);
    EXPECT_EQ(escaped.find_first_of("\t\r\n"), std::string::npos);
    EXPECT_EQ(unescape_bytes(escaped), all);
    EXPECT_EQ(escape_bytes("ok\r\n\\"), "ok\\r\\n\\\\");
    for (const char* bad : {"\\", "\\q", "\\x4", "\\xg0"}) {
        EXPECT_FALSE(unescape_bytes(bad)) << bad;
    }
}

TEST(SimRecord, LineHoldsCycleFaultCountExpectedAndFirstBytes) {
    const std::vector<std::uint8_t> sent{0xAD, 0x00, 0x02, 0xA2, 'x', 0xDA};
    EXPECT_EQ(record_line(7, "split", 6, std::string("[info]:response: x\r\n"), sent),
              "7\tsplit\t6\t[info]:response: x\\r\\n\tad0002a278da\n");
    EXPECT_EQ(record_line(8, "raw-noise", 0, std::nullopt, {}), "8\traw-noise\t0\t*\t-\n");
    const std::vector<std::uint8_t> many(40, 0x11);
    EXPECT_TRUE(record_line(9, "largest", 40, "", many).ends_with(std::string(64, '1') + "...\n"));
}

}  // namespace
