// The link protocol against a scripted port on a virtual clock: the frame on the wire,
// the reader's rules and one greeting cycle.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/poll_cycle.h"
#include "link/frame_bytes.h"
#include "link/link_protocol.h"
#include "link_stats/link_stats.h"
#include "serial/serial_port.h"
#include "tests/fake_device.h"
#include "tests/tables.h"

namespace {

using bytes = std::vector<std::uint8_t>;

TEST(Stuffing, OnlyXonXoffAndTheEscapeTravelEscapedAsTheirComplement) {
    for (int v = 0; v <= 0xFF; ++v) {
        const auto value = static_cast<std::uint8_t>(v);
        const auto complement = static_cast<std::uint8_t>(0xFF - v);
        const bool reserved = v == 0x11 || v == 0x13 || v == 0x5C;
        bytes out(2);
        out.resize(put_escaped(out.data(), value));
        EXPECT_EQ(out, (reserved ? bytes{0x5C, complement} : bytes{value})) << v;
        // Behind an escape the reader takes exactly those complements, each for its value.
        std::uint8_t decoded = 0x42;
        EXPECT_EQ(unescape(complement, &decoded), reserved) << v;
        EXPECT_EQ(decoded, reserved ? value : 0x42) << v;
    }
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
    for (std::string item; std::getline(items, item, ' ');) {
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

TEST(Encoder, KnownFramesAndWhatCannotBeOne) {
    for (const table_row& row : table("encoder")) {
        bytes out(row[1] == "max" ? STUFFED_FRAME_MAX : std::stoul(row[1]));
        out.resize(encode_frame(FRAME_TYPE_TEXT, from_hex(repeated(row[0])), out));
        EXPECT_EQ(out, from_hex(row[2])) << row[0].substr(0, 20);
    }
    // The worst case fits the bound: type, payload and check doubled, length 0xFFFF plain.
    bytes out(STUFFED_FRAME_MAX);
    EXPECT_EQ(encode_frame(0x5C, bytes(PAYLOAD_MAX, 0x5C), out), 3 + 2 * (PAYLOAD_MAX + 2));
}

TEST(FrameReader, EachRuleOfTheLink) {
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
            const read_seen& seen = last_read_seen();
            std::ostringstream cause;
            cause << CAUSE_NAMES.at(static_cast<std::size_t>(seen.cause));
            if (seen.cause == no_response_cause::cut) {
                cause << ' ' << seen.cut_bytes << ' ' << seen.cut_pause_ms << ' ' << seen.resumed;
            }
            EXPECT_EQ(cause.str(), row[4]) << row[0];
        }
        if (row[5] != "-") {
            EXPECT_GE(fake.now, std::stoll(row[5])) << row[0];
            EXPECT_LE(fake.now, std::stoll(row[5]) + 4) << row[0];
        }
        EXPECT_EQ(fake_unread(), std::stoul(row[6])) << row[0];
        EXPECT_LE(fake.wakeups + fake.reads, row[7] == "-" ? 1 << 30 : std::stoi(row[7])) << row[0];
    }
}

TEST(PollCycle, PrintsTheResponseRawAndRecordsTheCycle) {
    const std::string results[] = {"response", "no_response", "port_away"};
    const char* kinds[] = {"crc", "escape", "length"};
    static Packet packet;
    for (const table_row& row : table("poll_cycle")) {
        fake_reset();
        port_handle = row[2] == "open" ? port_handle : PORT_CLOSED;
        fake_arrive(0, frame_bytes(FRAME_TYPE_TEXT, "stale"));
        schedule(row[1]);
        const link_counters& s = link_stats;
        const std::uint64_t before[] = {s.greetings, s.responses, s.no_response, s.cycles_away};
        cycle_record record;
        record.warnings.count = 99;  // left from an earlier cycle: must not show
        ::testing::internal::CaptureStdout();
        run_cycle(packet, record);
        const std::string payload = row[4] == "-" ? "" : row[4];
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  (row[5] == "-" ? "" : repeated(row[5])) +
                      (payload.empty()
                           ? "[warn]:no response\r\n"
                           : "[info]:response: " + payload.substr(0, payload.find('\0')) + "\r\n"))
            << row[0];
        EXPECT_EQ(results[static_cast<int>(record.result)], row[3]) << row[0];
        EXPECT_EQ(record.seq, before[0] + 1) << row[0];
        EXPECT_EQ(s.responses - before[1], row[3] == results[0]) << row[0];
        EXPECT_EQ(s.no_response - before[2], row[3] == results[1]) << row[0];
        EXPECT_EQ(s.cycles_away - before[3], row[3] == results[2]) << row[0];
        // The greeting is "hello", after a purge that took the stale frame.
        EXPECT_EQ(fake.sent, row[2] == "open" ? from_hex("AD0006A268656C6C6FC0") : bytes{})
            << row[0];
        EXPECT_EQ(std::string(record.payload.begin(), record.payload.end()), payload) << row[0];
        // The response came 1 ms after the greeting; silence is given up after a second.
        EXPECT_EQ(record.round_trip_us, payload.empty() ? 0 : 1000) << row[0];
        EXPECT_LE(fake.now, payload.empty() ? 1004 : 1) << row[0];
        EXPECT_EQ(record.warnings.count, std::stoul(row[6])) << row[0];
        std::string kept;
        for (std::size_t i = 0; i < std::min(record.warnings.count, CYCLE_WARNINGS_KEPT); ++i) {
            const warning_seen& w = record.warnings.kept.at(i);
            kept += std::string(kinds[static_cast<int>(w.kind)]) + " " + std::to_string(w.first) +
                    " " + std::to_string(w.second) + ";";
        }
        EXPECT_EQ(kept, row[7] == "-" ? "" : repeated(row[7])) << row[0];
        EXPECT_GT(record.ended.unix_us, 0) << row[0];
    }
}

}  // namespace
