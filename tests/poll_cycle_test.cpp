// One greeting cycle against the scripted port: what it sends, what it prints, and the
// record it leaves of itself.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/poll_cycle.h"
#include "link/frame_bytes.h"
#include "link_stats/link_stats.h"
#include "serial/serial_port.h"
#include "tests/fake_device.h"

namespace {

std::string run_one_cycle(Packet& packet, cycle_record& record) {
    ::testing::internal::CaptureStdout();
    run_cycle(packet, record);
    return ::testing::internal::GetCapturedStdout();
}

TEST(PollCycle, PrintsTheResponseUpToItsFirstZeroByteAndRecordsItWhole) {
    fake_reset();
    static Packet packet;
    cycle_record record;
    // Arrived before the greeting: purged, never read.
    fake_arrive(0, {0xAD, 0x00, 0x02, 0xA2, 's', 0xA2 ^ 's'});
    fake_arrive(1, frame_bytes(FRAME_TYPE_TEXT, std::string("AB\0CD", 5)));

    const std::uint64_t greetings = link_stats.greetings;
    const std::uint64_t responses = link_stats.responses;
    const std::uint32_t one_ms_trips = link_stats.round_trips[round_trip_bucket(1000)];
    EXPECT_EQ(run_one_cycle(packet, record), "[info]:response: AB\r\n");
    // The response came after 1 ms; the pause is the caller's.
    EXPECT_EQ(fake_now(), 1);
    EXPECT_EQ(fake_sent().size(), 10u);
    EXPECT_EQ(link_stats.responses, responses + 1);
    EXPECT_EQ(link_stats.round_trips[round_trip_bucket(1000)], one_ms_trips + 1);
    EXPECT_EQ(record.seq, greetings + 1);
    EXPECT_EQ(record.result, cycle_result::response);
    EXPECT_EQ(std::string(record.payload.begin(), record.payload.end()), std::string("AB\0CD", 5));
    EXPECT_EQ(record.round_trip_us, 1000);
    EXPECT_EQ(record.warnings.count, 0u);
}

TEST(PollCycle, DeliveredPayloadIsPrintedRaw) {
    fake_reset();
    static Packet packet;
    cycle_record record;
    const std::string text = "line\r\n\x1b[1mbold\xff";
    // Arrives just after the greeting has gone out.
    fake_arrive(1, frame_bytes(FRAME_TYPE_TEXT, text));
    EXPECT_EQ(run_one_cycle(packet, record), "[info]:response: " + text + "\r\n");
}

TEST(PollCycle, TheRecordHoldsTheResultAndEveryWarningWithItsNumbers) {
    using enum link_warning;
    struct expected_warning {
        link_warning kind;
        std::uint16_t first;
        std::uint16_t second;
    };
    const std::vector<std::uint8_t> good = frame_bytes(FRAME_TYPE_TEXT, "ok");
    std::vector<std::uint8_t> escape_then_good{0x5C, 0x41};
    escape_then_good.insert(escape_then_good.end(), good.begin(), good.end());
    std::vector<std::uint8_t> many_length_errors;
    for (int i = 0; i < 20; ++i) {
        many_length_errors.insert(many_length_errors.end(), {0xAD, 0x00, 0x01});
    }
    const struct {
        const char* name;
        std::vector<std::uint8_t> sent;
        bool port_open;
        cycle_result result;
        std::optional<std::string> payload;
        std::size_t warning_count;
        std::vector<expected_warning> kept;
    } cases[] = {
        {"a bad check byte, then silence",
         {0xAD, 0x00, 0x03, 0xA2, 0x4F, 0x4B, 0x00},
         true,
         cycle_result::no_response,
         std::nullopt,
         1,
         {{crc, 166, 0}}},
        {"a broken escape, then a good frame",
         escape_then_good,
         true,
         cycle_result::response,
         "ok",
         1,
         {{escape, 0x41, 0}}},
        {"more warnings than are kept: all counted, the first kept", many_length_errors, true,
         cycle_result::no_response, std::nullopt, 20,
         std::vector<expected_warning>(CYCLE_WARNINGS_KEPT, {length, 1, 0})},
        {"the port away: nothing sent", good, false, cycle_result::port_away, std::nullopt, 0, {}},
    };
    static Packet packet;
    for (const auto& c : cases) {
        fake_reset();
        if (!c.port_open) {
            port_handle = PORT_CLOSED;
        }
        fake_arrive(1, c.sent);
        cycle_record record;
        record.warnings.count = 99;  // left from an earlier cycle: must not show
        run_one_cycle(packet, record);
        EXPECT_EQ(record.result, c.result) << c.name;
        EXPECT_EQ(fake_sent().empty(), !c.port_open) << c.name;
        if (c.payload) {
            EXPECT_EQ(std::string(record.payload.begin(), record.payload.end()), *c.payload)
                << c.name;
        } else {
            EXPECT_TRUE(record.payload.empty()) << c.name;
            EXPECT_EQ(record.round_trip_us, 0) << c.name;
        }
        ASSERT_EQ(record.warnings.count, c.warning_count) << c.name;
        for (std::size_t i = 0; i < c.kept.size(); ++i) {
            EXPECT_EQ(record.warnings.kept[i].kind, c.kept[i].kind) << c.name << " " << i;
            EXPECT_EQ(record.warnings.kept[i].first, c.kept[i].first) << c.name << " " << i;
            EXPECT_EQ(record.warnings.kept[i].second, c.kept[i].second) << c.name << " " << i;
        }
        EXPECT_GT(record.ended.unix_us, 0) << c.name;
    }
}

TEST(PollCycle, SilenceIsReportedOnceAfterTheDeadline) {
    fake_reset();
    static Packet packet;
    cycle_record record;
    const std::uint64_t no_response = link_stats.no_response;
    EXPECT_EQ(run_one_cycle(packet, record), "[warn]:no response\r\n");
    EXPECT_EQ(link_stats.no_response, no_response + 1);
    EXPECT_GE(fake_now(), 1000);
    EXPECT_LE(fake_now(), 1004);
}

}  // namespace
