// The link protocol against a scripted port on a virtual clock: the frame on the wire,
// the reader's rules, the greeting and one greeting cycle.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/poll_cycle.h"
#include "link/frame_bytes.h"
#include "link/link_protocol.h"
#include "link_stats/link_stats.h"
#include "serial/read_policy.h"
#include "serial/serial_port.h"
#include "tests/fake_device.h"
#include "tests/tables.h"

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

// "TEXT*N": TEXT N times.
std::string repeated(const std::string& text) {
    const std::size_t star = text.rfind('*');
    std::string out = text.substr(0, star);
    for (int n = star == std::string::npos ? 1 : std::stoi(text.substr(star + 1)); n > 1; --n) {
        out += text.substr(0, star);
    }
    return out;
}

bytes from_hex(const std::string& digits) {
    bytes out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// Schedules the arrivals of a row of tests/tables/reader.tsv.
void schedule(const std::string& arrivals) {
    std::istringstream items(arrivals == "-" ? "" : arrivals);
    for (std::string item; items >> item;) {
        const std::size_t colon = item.find(':');
        const std::size_t equals = item.find('=', colon);
        const std::int64_t at = std::stoll(item.substr(0, colon));
        const std::string type = item.substr(colon + 1, equals - colon - 1);
        const bytes wire = equals == std::string::npos
                               ? from_hex(repeated(type))
                               : frame_bytes(type.empty() ? FRAME_TYPE_TEXT : from_hex(type)[0],
                                             repeated(item.substr(equals + 1)));
        const bool spread = item[colon - 1] == '~';
        for (std::size_t i = 0; i < wire.size(); ++i) {
            fake_arrive(at + (spread ? static_cast<std::int64_t>(i) : 0), {wire[i]});
        }
    }
}

TEST(FrameReader, EachRuleOfTheLink) {
    const std::map<std::string, no_response_cause> causes{
        {"silent", no_response_cause::silent},
        {"noise", no_response_cause::noise},
        {"cut", no_response_cause::cut},
        {"bad_frame", no_response_cause::bad_frame},
        {"other_type", no_response_cause::other_type}};
    static Packet packet;
    for (const table_row& row : table("reader")) {
        fake_reset();
        fake.step_per_reading = std::stoll(row[8]);
        schedule(row[1]);
        ::testing::internal::CaptureStdout();
        const int result = read_packet(packet);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), row[3] == "-" ? "" : row[3]) << row[0];
        if (row[2] != "-") {
            ASSERT_EQ(result, LINK_OK) << row[0];
            EXPECT_EQ(std::string(packet.data.begin(), packet.data.begin() + packet.len),
                      repeated(row[2]))
                << row[0];
        } else {
            EXPECT_EQ(result, LINK_FAILED) << row[0];
            std::istringstream seen_words(row[4]);
            std::string cause;
            read_seen expected{};
            seen_words >> cause >> expected.cut_bytes >> expected.cut_pause_ms >> expected.resumed;
            const read_seen& seen = last_read_seen();
            EXPECT_EQ(seen.cause, causes.at(cause)) << row[0];
            if (seen.cause == no_response_cause::cut) {
                EXPECT_EQ(seen.cut_bytes, expected.cut_bytes) << row[0];
                EXPECT_EQ(seen.cut_pause_ms, expected.cut_pause_ms) << row[0];
                EXPECT_EQ(seen.resumed, expected.resumed) << row[0];
            }
        }
        if (row[5] != "-") {
            EXPECT_GE(fake.now, std::stoll(row[5])) << row[0];
            EXPECT_LE(fake.now, std::stoll(row[5]) + 4) << row[0];
        }
        EXPECT_EQ(fake_unread(), std::stoul(row[6])) << row[0];
        EXPECT_LE(fake.wakeups + fake.reads, row[7] == "-" ? 1 << 30 : std::stoi(row[7])) << row[0];
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
