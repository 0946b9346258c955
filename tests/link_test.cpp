// The link protocol against a scripted port on a virtual clock: the frame on the wire,
// the reader's rules, the greeting and one greeting cycle.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/poll_cycle.h"
#include "link/frame_bytes.h"
#include "link/link_protocol.h"
#include "link_stats/link_stats.h"
#include "serial/read_policy.h"
#include "serial/serial_port.h"
#include "tests/fake_device.h"

namespace {

using bytes = std::vector<std::uint8_t>;

bytes text_frame(std::string_view payload) {
    return frame_bytes(FRAME_TYPE_TEXT, payload);
}

bytes joined(bytes first, const bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

TEST(Stuffing, OnlyXonXoffAndTheEscapeTravelEscapedAsTheirComplement) {
    for (int v = 0; v <= 0xFF; ++v) {
        const auto value = static_cast<std::uint8_t>(v);
        const auto complement = static_cast<std::uint8_t>(0xFF - v);
        const bool reserved = v == 0x11 || v == 0x13 || v == 0x5C;
        std::array<std::uint8_t, 2> out{};
        ASSERT_EQ(put_escaped(out.data(), value), reserved ? 2U : 1U) << v;
        EXPECT_EQ(out, (reserved ? std::array<std::uint8_t, 2>{0x5C, complement}
                                 : std::array<std::uint8_t, 2>{value, 0}))
            << v;
        // Behind an escape the reader takes exactly those complements, each for its value.
        std::uint8_t decoded = 0x42;
        EXPECT_EQ(unescape(complement, &decoded), reserved) << v;
        EXPECT_EQ(decoded, reserved ? value : 0x42) << v;
    }
}

TEST(Encoder, KnownFramesAndWhatCannotBeOne) {
    // 16 bytes: length 17 (0x11) is stuffed, and so is the check byte, made 0x11 too.
    const bytes stuffed = joined({0x13, 0x5C, 0xFC}, bytes(13, 0));
    const bytes stuffed_wire = joined({0xAD, 0x00, 0x5C, 0xEE, 0xA2, 0x5C, 0xEC, 0x5C, 0xA3, 0xFC},
                                      joined(bytes(13, 0), {0x5C, 0xEE}));
    const struct {
        bytes payload;
        std::size_t room;
        bytes wire;  // empty: refused
    } cases[] = {
        {stuffed, STUFFED_FRAME_MAX, stuffed_wire},
        {{0xAD}, STUFFED_FRAME_MAX, {0xAD, 0x00, 0x02, 0xA2, 0xAD, 0x0F}},  // not stuffed
        {{}, STUFFED_FRAME_MAX, {}},
        {bytes(PAYLOAD_MAX + 1, 'x'), STUFFED_FRAME_MAX, {}},
        {{'a', 'b'}, 7, {}},  // room enough only if nothing needed stuffing
    };
    for (const auto& c : cases) {
        bytes out(c.room);
        out.resize(encode_frame(FRAME_TYPE_TEXT, c.payload, out));
        EXPECT_EQ(out, c.wire) << c.payload.size();
    }
    // The worst case fits the bound: type, payload and check doubled, length 0xFFFF plain.
    bytes out(STUFFED_FRAME_MAX);
    EXPECT_EQ(encode_frame(0x5C, bytes(PAYLOAD_MAX, 0x5C), out), 3 + 2 * (PAYLOAD_MAX + 2));
}

struct arrival {
    std::int64_t at_ms;
    bytes wire;
};

// What the reader saw when it delivered nothing; the rest only for cut.
struct seen_case {
    no_response_cause cause = no_response_cause::silent;
    std::uint32_t cut_bytes = 0;
    std::int64_t cut_pause_ms = 0;
    bool resumed = false;
};

struct read_case {
    const char* rule;
    std::vector<arrival> arrivals;
    std::string payload = "";  // delivered; empty: nothing is
    std::string printed = "";
    seen_case seen = {};          // when nothing is delivered
    std::int64_t ended_ms = -1;   // the virtual time read_packet returns at, give or take 4 ms
    std::size_t unread = 0;       // bytes left for later
    int calls_max = 1 << 30;      // wake-ups and reads: each one a system call
    std::int64_t clock_step = 0;  // each reading of the clock advances it
};

TEST(FrameReader, EachRuleOfTheLink) {
    using enum no_response_cause;
    const std::string len = "[warn]:[read_packet]:len error ";
    const std::string crc = "[warn]:[read_packet]: crc error ";
    const std::string esc = "[warn]:esc char error 0x";
    const std::string stuffed = "\x11\x13\x5Czzzzzzzzzzzzz";  // length 17: 0x11
    std::string largest(PAYLOAD_MAX, 0);  // the payload XORs to 0x01, the check byte to 0xA3
    for (std::size_t i = 0; i < largest.size(); ++i) {
        largest[i] = static_cast<char>(i);
    }
    bytes largest_bad = text_frame(largest);
    largest_bad.back() = 0x00;
    const bytes gap = text_frame("gap");
    const bytes head(gap.begin(), gap.begin() + 3);
    const bytes rest(gap.begin() + 3, gap.end());
    std::vector<arrival> slow_body;  // from 900 ms, one byte a millisecond
    for (const std::uint8_t b : text_frame(std::string(400, 'b'))) {
        slow_body.push_back({900 + static_cast<std::int64_t>(slow_body.size()), {b}});
    }
    // clang-format off
    const read_case cases[] = {
        {"a known frame", {{0, {0xAD, 0x00, 0x03, 0xA2, 0x4F, 0x4B, 0xA6}}}, "OK"},
        {"length, body and check unstuffed", {{0, text_frame(stuffed)}}, stuffed},
        {"length 2: one byte", {{0, text_frame("A")}}, "A"},
        {"the largest frame", {{0, text_frame(largest)}}, largest},
        {"the largest frame, its check byte wrong", {{0, largest_bad}}, "", crc + "163 0\r\n", {bad_frame}},
        {"a wrong check byte", {{0, {0xAD, 0x00, 0x03, 0xA2, 0x4F, 0x4B, 0x07}}}, "", crc + "166 7\r\n", {bad_frame}},
        {"length 0", {{0, {0xAD, 0x00, 0x00}}}, "", len + "0\r\n", {bad_frame}},
        {"length 1, then hunting resumes", {{0, {0xAD, 0x00, 0x01, 0xA2, 0xA2}}, {0, gap}}, "gap", len + "1\r\n"},
        {"a bad escape pair", {{0, {0x5C, 0x00}}}, "", esc + "00\r\n", {bad_frame}},
        {"a bad escape in the body, then hunting resumes", {{0, {0xAD, 0x00, 0x03, 0xA2, 0x5C, 0x5C}}, {0, gap}}, "gap", esc + "5c\r\n"},
        {"a stray escape takes the start byte with it", {{0, {0x5C}}, {0, gap}}, "", esc + "ad\r\n", {bad_frame}},
        {"noise without a start or an escape is skipped silently", {{0, {0x00, 0xFF, 0x41, 0xA2, 0x11, 0x13, 0x0D, 0x0A}}, {0, gap}}, "gap"},
        {"noise alone, an escape pair in it", {{0, {0x01, 0x5C, 0xA3}}, {400, {0x41}}}, "", "", {noise}},
        {"a stray start takes the next frame for its length and body", {{0, {0xAD}}, {0, gap}}, "", "", {cut, 9, 1000, false}, 1000},
        {"other types are skipped silently", {{0, frame_bytes(0xA1, "no")}, {300, gap}}, "gap"},
        {"another type outweighs a warning and noise", {{0, {0x01}}, {10, frame_bytes(0xA1, "x")}, {20, {0xAD, 0x00, 0x00}}}, "", len + "0\r\n", {other_type}},
        {"a warning outweighs a cut", {{0, head}, {100, {0xAD, 0x00, 0x00}}}, "", len + "0\r\n", {bad_frame}},
        {"paused 50 ms after the header", {{100, head}, {150, rest}}, "", "", {cut, 3, 50, true}},
        {"stopped short: the pause runs to the deadline", {{0, bytes(gap.begin(), gap.end() - 2)}}, "", "", {cut, 6, 1000, false}},
        {"a gap of 1 ms is bridged", {{0, head}, {1, rest}}, "gap"},
        // The byte after a gap of 2 or 3 ms ends the attempt and begins the next one.
        {"a gap of 2 ms ends the frame", {{0, {0xAD, 0x00}}, {2, gap}}, "gap"},
        {"a gap of 3 ms ends the frame", {{0, {0xAD, 0x00}}, {3, gap}}, "gap"},
        {"a frame across the receive buffer's edge", {{0, bytes(RECEIVE_BUFFER_SIZE - 3, 0x00)}, {0, gap}}, "gap"},
        {"what has arrived is taken in one read", {{0, text_frame(std::string(1000, 'r'))}}, std::string(1000, 'r'), "", {}, -1, 0, 2},
        {"the frame after an accepted one stays unread", {{0, text_frame("one")}, {0, gap}}, "one", "", {}, -1, gap.size()},
        {"silence: waited on, not polled, for a second", {}, "", "", {silent}, 1000, 0, 6},
        {"woken by the reply", {{437, gap}}, "gap", "", {}, 437, 0, 6},
        {"noise and refusals between idle stretches", {{100, {0x01, 0x02}}, {300, {0xAD, 0x00, 0x00}}, {600, {0x5C, 0x00}}, {800, gap}}, "gap", len + "0\r\n" + esc + "00\r\n"},
        {"the last millisecond is in time", {{999, gap}}, "gap"},
        {"at the deadline, too late", {{1000, gap}}, "", "", {}, -1, gap.size()},
        {"a body across the deadline is not cut", slow_body, std::string(400, 'b'), "", {}, 1300},
        {"the first attempt runs even on a clock past the deadline", {{0, gap}}, "gap", "", {}, -1, 0, 1 << 30, 5000},
    };
    // clang-format on
    static Packet packet;
    for (const read_case& c : cases) {
        fake_reset();
        fake.step_per_reading = c.clock_step;
        for (const arrival& a : c.arrivals) {
            fake_arrive(a.at_ms, a.wire);
        }
        ::testing::internal::CaptureStdout();
        const int result = read_packet(packet);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed) << c.rule;
        EXPECT_EQ(result, c.payload.empty() ? LINK_FAILED : LINK_OK) << c.rule;
        if (result == LINK_OK) {
            EXPECT_EQ(std::string(packet.data.begin(), packet.data.begin() + packet.len), c.payload)
                << c.rule;
        } else {
            const read_seen& seen = last_read_seen();
            EXPECT_EQ(seen.cause, c.seen.cause) << c.rule;
            if (seen.cause == cut) {
                EXPECT_EQ(seen.cut_bytes, c.seen.cut_bytes) << c.rule;
                EXPECT_EQ(seen.cut_pause_ms, c.seen.cut_pause_ms) << c.rule;
                EXPECT_EQ(seen.resumed, c.seen.resumed) << c.rule;
            }
        }
        if (c.ended_ms >= 0) {
            EXPECT_GE(fake.now, c.ended_ms) << c.rule;
            EXPECT_LE(fake.now, c.ended_ms + 4) << c.rule;
        }
        EXPECT_EQ(fake_unread(), c.unread) << c.rule;
        EXPECT_LE(fake.wakeups + fake.reads, c.calls_max) << c.rule;
    }
}

TEST(Greeting, SendsTheTenBytesAfterAPurgeOfTheReceiveBuffer) {
    fake_reset();
    fake_arrive(0, joined(text_frame("one"), text_frame("two")));
    static Packet packet;
    ASSERT_EQ(read_packet(packet), LINK_OK);
    // "two" waits in the receive buffer: input at once, without a wake-up.
    EXPECT_TRUE(wait_for_input(1000));
    EXPECT_EQ(fake.now + fake.wakeups, 0);
    EXPECT_EQ(send_hello(), 10);
    EXPECT_EQ(fake.sent, (bytes{0xAD, 0x00, 0x06, 0xA2, 0x68, 0x65, 0x6C, 0x6C, 0x6F, 0xC0}));
    EXPECT_EQ(fake.purges, 1);
    EXPECT_EQ(fake_unread(), 0U);
}

TEST(PollCycle, PrintsTheResponseRawAndRecordsTheCycle) {
    using enum link_warning;
    const std::string none = "[warn]:no response\r\n";
    const std::string raw = "line\r\n\x1b[1mbold\xff";
    const std::string zero("AB\0CD", 5);
    const std::string response = "[info]:response: ";
    bytes length_errors;
    std::string length_lines;
    for (int i = 0; i < 20; ++i) {
        length_errors.insert(length_errors.end(), {0xAD, 0x00, 0x01});
        length_lines += "[warn]:[read_packet]:len error 1\r\n";
    }
    const struct {
        const char* name;
        bytes reply;  // 1 ms after the greeting; a stale frame before it is purged
        bool port_open;
        cycle_result result;
        std::string printed;
        std::string payload;
        std::size_t warning_count;
        std::vector<warning_seen> kept;
    } cases[] = {
        // clang-format off
        {"up to the first zero on the console, whole in the record", text_frame(zero), true, cycle_result::response, response + "AB\r\n", zero, 0, {}},
        {"raw bytes", text_frame(raw), true, cycle_result::response, response + raw + "\r\n", raw, 0, {}},
        {"a bad check byte, then silence", {0xAD, 0x00, 0x03, 0xA2, 0x4F, 0x4B, 0x00}, true, cycle_result::no_response, "[warn]:[read_packet]: crc error 166 0\r\n" + none, "", 1, {{crc, 166, 0}}},
        {"a broken escape, then a good frame", joined({0x5C, 0x41}, text_frame("ok")), true, cycle_result::response, "[warn]:esc char error 0x41\r\n" + response + "ok\r\n", "ok", 1, {{escape, 0x41, 0}}},
        {"more warnings than are kept: all counted, the first kept", length_errors, true, cycle_result::no_response, length_lines + none, "", 20, std::vector<warning_seen>(CYCLE_WARNINGS_KEPT, {length, 1, 0})},
        {"the port away: nothing sent", text_frame("ok"), false, cycle_result::port_away, none, "", 0, {}},
        // clang-format on
    };
    static Packet packet;
    for (const auto& c : cases) {
        fake_reset();
        port_handle = c.port_open ? port_handle : PORT_CLOSED;
        fake_arrive(0, text_frame("stale"));
        fake_arrive(1, c.reply);
        const link_counters& s = link_stats;
        const std::uint64_t before[] = {s.greetings, s.responses, s.no_response, s.cycles_away};
        cycle_record record;
        record.warnings.count = 99;  // left from an earlier cycle: must not show
        ::testing::internal::CaptureStdout();
        run_cycle(packet, record);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed) << c.name;
        EXPECT_EQ(record.seq, before[0] + 1) << c.name;
        EXPECT_EQ(record.result, c.result) << c.name;
        EXPECT_EQ(s.responses - before[1], c.result == cycle_result::response) << c.name;
        EXPECT_EQ(s.no_response - before[2], c.result == cycle_result::no_response) << c.name;
        EXPECT_EQ(s.cycles_away - before[3], !c.port_open) << c.name;
        EXPECT_EQ(fake.sent.size(), c.port_open ? 10U : 0U) << c.name;
        EXPECT_EQ(std::string(record.payload.begin(), record.payload.end()), c.payload) << c.name;
        // The response came 1 ms after the greeting; silence is given up after a second.
        EXPECT_EQ(record.round_trip_us, c.payload.empty() ? 0 : 1000) << c.name;
        EXPECT_LE(fake.now, c.payload.empty() ? 1004 : 1) << c.name;
        ASSERT_EQ(record.warnings.count, c.warning_count) << c.name;
        for (std::size_t i = 0; i < c.kept.size(); ++i) {
            const warning_seen& kept = record.warnings.kept.at(i);
            EXPECT_EQ(kept.kind, c.kept[i].kind) << c.name << " " << i;
            EXPECT_EQ(kept.first * 256 + kept.second, c.kept[i].first * 256 + c.kept[i].second)
                << c.name << " " << i;
        }
        EXPECT_GT(record.ended.unix_us, 0) << c.name;
    }
}

}  // namespace
