// One greeting cycle against the scripted port: what it sends and what it prints.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/poll_cycle.h"
#include "link_stats/link_stats.h"
#include "tests/fake_device.h"

namespace {

std::string run_one_cycle(Packet& packet) {
    ::testing::internal::CaptureStdout();
    run_cycle(packet);
    return ::testing::internal::GetCapturedStdout();
}

TEST(PollCycle, PrintsTheResponseUpToItsFirstZeroByteAndPauses) {
    fake_reset();
    static Packet packet;
    // "AB\0CD": only the text before the zero byte shows.
    std::vector<std::uint8_t> payload{'A', 'B', 0, 'C', 'D'};
    std::vector<std::uint8_t> wire(STUFFED_FRAME_MAX);
    wire.resize(encode_frame(FRAME_TYPE_TEXT, payload, wire));
    // Arrived before the greeting: purged, never read.
    fake_arrive(0, {0xAD, 0x00, 0x02, 0xA2, 's', 0xA2 ^ 's'});
    fake_arrive(1, wire);

    const std::uint64_t responses = link_stats.responses;
    const std::uint32_t one_ms_trips = link_stats.round_trips[1];
    EXPECT_EQ(run_one_cycle(packet), "[info]:response: AB\r\n");
    EXPECT_EQ(fake_now(), 1 + 1000);  // the response came after 1 ms, then the pause
    EXPECT_EQ(fake_sent().size(), 10u);
    // Counted for the summary, with its round trip.
    EXPECT_EQ(link_stats.responses, responses + 1);
    EXPECT_EQ(link_stats.round_trips[1], one_ms_trips + 1);
}

TEST(PollCycle, DeliveredPayloadIsPrintedRaw) {
    fake_reset();
    static Packet packet;
    const std::string text = "line\r\n\x1b[1mbold\xff";
    std::vector<std::uint8_t> payload(text.begin(), text.end());
    std::vector<std::uint8_t> wire(STUFFED_FRAME_MAX);
    wire.resize(encode_frame(FRAME_TYPE_TEXT, payload, wire));
    // Arrives just after the greeting has gone out.
    fake_arrive(1, wire);
    EXPECT_EQ(run_one_cycle(packet), "[info]:response: " + text + "\r\n");
}

TEST(PollCycle, SilenceIsReportedOnceAfterTheDeadline) {
    fake_reset();
    static Packet packet;
    const std::uint64_t no_response = link_stats.no_response;
    EXPECT_EQ(run_one_cycle(packet), "[warn]:no response\r\n");
    EXPECT_EQ(link_stats.no_response, no_response + 1);
    EXPECT_GE(fake_now(), 2000);
    EXPECT_LE(fake_now(), 2004);
}

}  // namespace
