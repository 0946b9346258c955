// The frame reader against a scripted port on a virtual clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/frame_bytes.h"
#include "link/link_protocol.h"
#include "serial/read_policy.h"
#include "serial/serial_port.h"
#include "tests/fake_device.h"

namespace {

using bytes = std::vector<std::uint8_t>;

struct read_outcome {
    int result;
    std::string printed;
};

class FrameReader : public ::testing::Test {
  protected:
    void SetUp() override { fake_reset(); }

    read_outcome read() {
        ::testing::internal::CaptureStdout();
        const int result = read_packet(packet);
        return {result, ::testing::internal::GetCapturedStdout()};
    }

    std::string payload() const {
        return std::string(packet.data.begin(), packet.data.begin() + packet.len);
    }

    Packet packet{};
};

TEST_F(FrameReader, DeliversThePayloadOfAKnownFrame) {
    fake_arrive(0, {0xAD, 0x00, 0x03, 0xA2, 0x4F, 0x4B, 0xA6});
    const read_outcome out = read();
    EXPECT_EQ(out.result, LINK_OK);
    EXPECT_EQ(out.printed, "");
    EXPECT_EQ(packet.len, 2);
    EXPECT_EQ(payload(), "OK");
}

TEST_F(FrameReader, UnstuffsLengthBodyAndCheckBeforeUsingThem) {
    // 16 payload bytes give length 17 (0x11); 0x11, 0x13 and 0x5C travel escaped.
    bytes body(16, 'z');
    body[0] = 0x11;
    body[1] = 0x13;
    body[2] = 0x5C;
    fake_arrive(0, frame_bytes(FRAME_TYPE_TEXT, body));
    ASSERT_EQ(read().result, LINK_OK);
    EXPECT_EQ(packet.len, 16);
    EXPECT_EQ(bytes(packet.data.begin(), packet.data.begin() + 16), body);
}

TEST_F(FrameReader, LengthTwoDeliversOneByte) {
    fake_arrive(0, frame_bytes(FRAME_TYPE_TEXT, "A"));
    ASSERT_EQ(read().result, LINK_OK);
    EXPECT_EQ(payload(), "A");
}

TEST_F(FrameReader, LargestFrameIsDeliveredAndItsCheckByteCompared) {
    bytes body(PAYLOAD_MAX);
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<std::uint8_t>(i * 7);
    }
    bytes wire = frame_bytes(FRAME_TYPE_TEXT, body);
    fake_arrive(0, wire);
    ASSERT_EQ(read().result, LINK_OK);
    EXPECT_EQ(packet.len, PAYLOAD_MAX);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), packet.data.begin()));

    // The same frame with its check byte corrupted must not be delivered.
    fake_reset();
    wire.back() = static_cast<std::uint8_t>(wire.back() == 0x00 ? 0x01 : 0x00);
    fake_arrive(0, wire);
    const read_outcome out = read();
    EXPECT_EQ(out.result, LINK_FAILED);
    EXPECT_NE(out.printed.find(" crc error "), std::string::npos) << out.printed;
}

TEST_F(FrameReader, WarningsHaveTheirExactText) {
    struct warning_case {
        const char* name;
        bytes wire;
        std::string printed;
    };
    const std::vector<warning_case> cases{
        {"length 0", {0xAD, 0x00, 0x00}, "[warn]:[read_packet]:len error 0\r\n"},
        {"length 1", {0xAD, 0x00, 0x01, 0xA2, 0xA2}, "[warn]:[read_packet]:len error 1\r\n"},
        {"wrong check",
         {0xAD, 0x00, 0x03, 0xA2, 0x4F, 0x4B, 0x07},
         "[warn]:[read_packet]: crc error 166 7\r\n"},
        {"escape then zero", {0x5C, 0x00}, "[warn]:esc char error 0x00\r\n"},
        {"escape inside body",
         {0xAD, 0x00, 0x03, 0xA2, 0x5C, 0x5C},
         "[warn]:esc char error 0x5c\r\n"},
    };
    for (const warning_case& c : cases) {
        fake_reset();
        fake_arrive(0, c.wire);
        const read_outcome out = read();
        EXPECT_EQ(out.result, LINK_FAILED) << c.name;
        EXPECT_EQ(out.printed, c.printed) << c.name;
    }
}

TEST_F(FrameReader, KeepsHuntingAfterEveryKindOfRefusal) {
    const bytes good = frame_bytes(FRAME_TYPE_TEXT, "after");
    const std::vector<bytes> refusals{
        {0xAD, 0x00, 0x00},                          // length 0
        {0xAD, 0x00, 0x03, 0xA2, 0x4F, 0x4B, 0x07},  // wrong check byte
        {0x5C, 0x00},                                // bad escape
        frame_bytes(0x17, "x"),                      // another type
    };
    for (const bytes& refusal : refusals) {
        fake_reset();
        fake_arrive(0, refusal);
        fake_arrive(0, good);
        EXPECT_EQ(read().result, LINK_OK);
        EXPECT_EQ(payload(), "after");
    }
}

TEST_F(FrameReader, NoiseWithoutStartOrEscapeIsSkippedByteByByte) {
    fake_arrive(0, {0x00, 0xFF, 0x41, 0xA2, 0x11, 0x13, 0x0D, 0x0A});
    fake_arrive(0, frame_bytes(FRAME_TYPE_TEXT, "ok"));
    const read_outcome out = read();
    EXPECT_EQ(out.result, LINK_OK);
    EXPECT_EQ(out.printed, "");
    EXPECT_EQ(payload(), "ok");
}

TEST_F(FrameReader, AStartByteInNoiseSwallowsTheFollowingFrame) {
    // The stray 0xAD takes the real frame's bytes as its length (0xAD00) and body; no
    // resynchronisation happens, and the body runs dry within the second.
    fake_arrive(0, {0xAD});
    fake_arrive(0, frame_bytes(FRAME_TYPE_TEXT, "lost"));
    EXPECT_EQ(read().result, LINK_FAILED);
    EXPECT_GE(fake_now(), 1000);
}

TEST_F(FrameReader, StrayEscapeBeforeTheStartLosesThatFrame) {
    fake_arrive(0, {0x5C});
    fake_arrive(0, frame_bytes(FRAME_TYPE_TEXT, "lost"));
    const read_outcome out = read();
    EXPECT_EQ(out.result, LINK_FAILED);
    EXPECT_EQ(out.printed, "[warn]:esc char error 0xad\r\n");
}

TEST_F(FrameReader, OtherTypesAreSkippedSilently) {
    fake_arrive(0, frame_bytes(0xA1, "no"));
    fake_arrive(300, frame_bytes(FRAME_TYPE_TEXT, "yes"));
    const read_outcome out = read();
    EXPECT_EQ(out.result, LINK_OK);
    EXPECT_EQ(out.printed, "");
    EXPECT_EQ(payload(), "yes");
}

TEST_F(FrameReader, ResponseLateInTheSecondIsStillDelivered) {
    fake_arrive(990, frame_bytes(FRAME_TYPE_TEXT, "late"));
    ASSERT_EQ(read().result, LINK_OK);
    EXPECT_EQ(payload(), "late");
}

TEST_F(FrameReader, GivesUpAfterOneSecondOfSilence) {
    const read_outcome out = read();
    EXPECT_EQ(out.result, LINK_FAILED);
    EXPECT_EQ(out.printed, "");
    EXPECT_GE(fake_now(), 1000);
    EXPECT_LE(fake_now(), 1004);
}

TEST_F(FrameReader, ResponseAfterTheDeadlineIsLeftUnread) {
    fake_arrive(1100, frame_bytes(FRAME_TYPE_TEXT, "too late"));
    EXPECT_EQ(read().result, LINK_FAILED);
    EXPECT_GT(fake_unread(), 0u);
}

TEST_F(FrameReader, FirstAttemptRunsEvenWhenTheClockHasAlreadyRunOut) {
    fake_clock_step_per_reading(5000);
    fake_arrive(0, frame_bytes(FRAME_TYPE_TEXT, "first"));
    ASSERT_EQ(read().result, LINK_OK);
    EXPECT_EQ(payload(), "first");
}

TEST_F(FrameReader, ABodyArrivingAcrossTheDeadlineIsNotCutShort) {
    // Start at 900 ms, then one byte every millisecond: the frame ends well after 1 s.
    const bytes wire = frame_bytes(FRAME_TYPE_TEXT, std::string(400, 'b'));
    for (std::size_t i = 0; i < wire.size(); ++i) {
        fake_arrive(900 + static_cast<std::int64_t>(i), {wire[i]});
    }
    ASSERT_EQ(read().result, LINK_OK);
    EXPECT_EQ(packet.len, 400);
    EXPECT_GT(fake_now(), 1200);
}

TEST_F(FrameReader, AGapOfThreeMillisecondsInsideAFrameEndsTheAttempt) {
    const bytes wire = frame_bytes(FRAME_TYPE_TEXT, "gap");
    fake_arrive(0, bytes(wire.begin(), wire.begin() + 4));
    fake_arrive(3, bytes(wire.begin() + 4, wire.end()));
    fake_arrive(10, frame_bytes(FRAME_TYPE_TEXT, "next"));
    ASSERT_EQ(read().result, LINK_OK);
    EXPECT_EQ(payload(), "next");
}

TEST_F(FrameReader, AGapOfOneMillisecondInsideAFrameIsBridged) {
    const bytes wire = frame_bytes(FRAME_TYPE_TEXT, "gap");
    fake_arrive(0, bytes(wire.begin(), wire.begin() + 4));
    fake_arrive(1, bytes(wire.begin() + 4, wire.end()));
    ASSERT_EQ(read().result, LINK_OK);
    EXPECT_EQ(payload(), "gap");
}

TEST_F(FrameReader, AGapOfTwoMillisecondsInsideAFrameEndsTheAttemptToo) {
    // The byte at 2 ms cuts the second pause short, but the read has given up by then:
    // the pause ending early only moves the next attempt forward.
    const bytes wire = frame_bytes(FRAME_TYPE_TEXT, "gap");
    fake_arrive(0, bytes(wire.begin(), wire.begin() + 4));
    fake_arrive(2, bytes(wire.begin() + 4, wire.end()));
    fake_arrive(10, frame_bytes(FRAME_TYPE_TEXT, "next"));
    ASSERT_EQ(read().result, LINK_OK);
    EXPECT_EQ(payload(), "next");
}

TEST_F(FrameReader, ByteArrivingDuringTheSecondPauseIsLeftForTheNextAttempt) {
    fake_arrive(2, {0x42});
    std::uint8_t byte = 0;
    EXPECT_EQ(read_byte(&byte), LINK_FAILED);
    EXPECT_EQ(fake_unread(), 1u);
    EXPECT_EQ(fake_now(), 2);
    ASSERT_EQ(read_byte(&byte), LINK_OK);
    EXPECT_EQ(byte, 0x42);
}

TEST_F(FrameReader, AnIdleLineIsWaitedOnNotPolledEveryMillisecond) {
    // Hunting through empty attempts would wake the process about 1,000 times a second.
    EXPECT_EQ(read().result, LINK_FAILED);
    EXPECT_LE(fake_wakeups(), 5);
    EXPECT_GE(fake_now(), 1000);

    fake_reset();
    fake_arrive(437, frame_bytes(FRAME_TYPE_TEXT, "woken"));
    ASSERT_EQ(read().result, LINK_OK);
    EXPECT_EQ(payload(), "woken");
    EXPECT_EQ(fake_now(), 437);
    EXPECT_LE(fake_wakeups(), 5);
}

TEST_F(FrameReader, TheDeadlineFallsBetweenTheLastMillisecondAndTheNext) {
    fake_arrive(999, frame_bytes(FRAME_TYPE_TEXT, "just in time"));
    ASSERT_EQ(read().result, LINK_OK);
    EXPECT_EQ(payload(), "just in time");

    fake_reset();
    fake_arrive(1000, frame_bytes(FRAME_TYPE_TEXT, "too late"));
    EXPECT_EQ(read().result, LINK_FAILED);
    EXPECT_EQ(fake_unread(), frame_bytes(FRAME_TYPE_TEXT, "too late").size());
}

TEST_F(FrameReader, NoiseAndRefusalsBetweenIdleStretchesAreStillHuntedThrough) {
    fake_arrive(100, {0x01, 0x02});
    fake_arrive(300, {0xAD, 0x00, 0x00});
    fake_arrive(600, {0x5C, 0x00});
    fake_arrive(800, frame_bytes(FRAME_TYPE_TEXT, "fourth"));
    const read_outcome out = read();
    ASSERT_EQ(out.result, LINK_OK);
    EXPECT_EQ(out.printed, "[warn]:[read_packet]:len error 0\r\n[warn]:esc char error 0x00\r\n");
    EXPECT_EQ(payload(), "fourth");
}

TEST_F(FrameReader, BytesAfterAnAcceptedFrameStayUnread) {
    fake_arrive(0, frame_bytes(FRAME_TYPE_TEXT, "one"));
    fake_arrive(0, frame_bytes(FRAME_TYPE_TEXT, "two"));
    ASSERT_EQ(read().result, LINK_OK);
    EXPECT_EQ(payload(), "one");
    EXPECT_EQ(fake_unread(), frame_bytes(FRAME_TYPE_TEXT, "two").size());
}

TEST_F(FrameReader, BytesTakenInOneReadAreHandedOutAsSingleReadsWould) {
    // The backend reads everything that has arrived at once, up to its buffer's size;
    // what the reader sees must not depend on where those reads fall.
    const bytes wire = frame_bytes(FRAME_TYPE_TEXT, "split");
    const bytes next = frame_bytes(FRAME_TYPE_TEXT, "next");
    struct arrival {
        std::int64_t at_ms;
        bytes wire;
    };
    struct buffer_case {
        const char* name;
        std::vector<arrival> arrivals;
        std::string payload;
    };
    const bytes noise(RECEIVE_BUFFER_SIZE - 3, 0x00);  // the frame starts 3 bytes before the edge
    const std::vector<buffer_case> cases{
        {"frame split across two reads",
         {{0, bytes(wire.begin(), wire.begin() + 5)}, {1, bytes(wire.begin() + 5, wire.end())}},
         "split"},
        {"frame across the buffer's edge", {{0, noise}, {0, wire}}, "split"},
        {"gap while the buffer is empty ends the attempt",
         {{0, bytes(wire.begin(), wire.begin() + 5)},
          {3, bytes(wire.begin() + 5, wire.end())},
          {10, next}},
         "next"},
        {"two frames in one read: the first is delivered", {{0, wire}, {0, next}}, "split"},
    };
    for (const buffer_case& c : cases) {
        fake_reset();
        for (const arrival& a : c.arrivals) {
            fake_arrive(a.at_ms, a.wire);
        }
        const read_outcome out = read();
        EXPECT_EQ(out.result, LINK_OK) << c.name;
        EXPECT_EQ(out.printed, "") << c.name;
        EXPECT_EQ(payload(), c.payload) << c.name;
    }
}

TEST_F(FrameReader, AReplyThatHasArrivedIsReadInOneCallNotOnePerByte) {
    fake_arrive(0, frame_bytes(FRAME_TYPE_TEXT, std::string(1000, 'r')));
    ASSERT_EQ(read().result, LINK_OK);
    EXPECT_EQ(packet.len, 1000);
    EXPECT_EQ(fake_reads(), 1);
}

TEST_F(FrameReader, BufferedBytesCountAsInputForTheWaitAndTheGreetingPurgesThem) {
    fake_arrive(0, frame_bytes(FRAME_TYPE_TEXT, "one"));
    fake_arrive(0, frame_bytes(FRAME_TYPE_TEXT, "two"));
    ASSERT_EQ(read().result, LINK_OK);
    // "two" sits in the receive buffer: ready at once, without a wake-up.
    const int wakeups = fake_wakeups();
    EXPECT_TRUE(wait_for_input(1000));
    EXPECT_EQ(fake_now(), 0);
    EXPECT_EQ(fake_wakeups(), wakeups);

    send_hello();
    EXPECT_EQ(fake_unread(), 0u);
    EXPECT_EQ(read().result, LINK_FAILED);
}

TEST_F(FrameReader, EveryUnansweredSecondHasTheCauseOfWhatItSaw) {
    const bytes wire = frame_bytes(FRAME_TYPE_TEXT, "reply");
    const bytes head(wire.begin(), wire.begin() + 3);
    const bytes rest(wire.begin() + 3, wire.end());
    struct cause_case {
        const char* name;
        std::vector<std::pair<std::int64_t, bytes>> arrivals;
        no_response_cause cause;
        read_seen cut;  // for cut: bytes, pause, resumed
    };
    using enum no_response_cause;
    const std::vector<cause_case> cases{
        {"nothing", {}, silent, {}},
        {"bytes that start no frame, an escape pair among them",
         {{0, {0x01, 0x5C, 0xA3}}, {400, {0x41}}},
         noise,
         {}},
        {"paused 50 ms after its header", {{100, head}, {150, rest}}, cut, {cut, 3, 50, true}},
        {"stopped short: the pause runs to the deadline",
         {{0, bytes(wire.begin(), wire.end() - 2)}},
         cut,
         {cut, static_cast<std::uint32_t>(wire.size() - 2), 1000, false}},
        {"a length warning", {{0, {0xAD, 0x00, 0x01}}}, bad_frame, {}},
        {"a warning outweighs a cut", {{0, head}, {100, {0xAD, 0x00, 0x00}}}, bad_frame, {}},
        {"another type outweighs a warning and noise",
         {{0, {0x01}}, {10, frame_bytes(0xA1, "x")}, {20, {0xAD, 0x00, 0x00}}},
         other_type,
         {}},
    };
    for (const cause_case& c : cases) {
        fake_reset();
        for (const auto& [at_ms, arriving] : c.arrivals) {
            fake_arrive(at_ms, arriving);
        }
        ASSERT_EQ(read().result, LINK_FAILED) << c.name;
        const read_seen& seen = last_read_seen();
        EXPECT_EQ(seen.cause, c.cause) << c.name;
        if (c.cause == cut) {
            EXPECT_EQ(seen.cut_bytes, c.cut.cut_bytes) << c.name;
            EXPECT_EQ(seen.cut_pause_ms, c.cut.cut_pause_ms) << c.name;
            EXPECT_EQ(seen.resumed, c.cut.resumed) << c.name;
        }
    }
}

TEST(Greeting, SendsTheTenBytesAfterAPurge) {
    fake_reset();
    fake_arrive(0, {1, 2, 3});
    EXPECT_EQ(send_hello(), 10);
    EXPECT_EQ(fake_sent(), (bytes{0xAD, 0x00, 0x06, 0xA2, 0x68, 0x65, 0x6C, 0x6C, 0x6F, 0xC0}));
    EXPECT_EQ(fake_purges(), 1);
    EXPECT_EQ(fake_unread(), 0u);
}

}  // namespace
