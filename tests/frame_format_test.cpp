// The frame format on the wire: stuffing, check byte and the encoder that puts them
// together.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "link/link_protocol.h"

namespace {

std::vector<std::uint8_t> encode(std::uint8_t type, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> out(STUFFED_FRAME_MAX);
    out.resize(encode_frame(type, payload, out));
    return out;
}

TEST(Stuffing, EscapesExactlyTheThreeReservedValues) {
    for (int value = 0; value <= 0xFF; ++value) {
        std::array<std::uint8_t, 2> out{0, 0};
        const std::size_t n = put_escaped(out.data(), static_cast<std::uint8_t>(value));
        if (value == 0x11 || value == 0x13 || value == 0x5C) {
            ASSERT_EQ(n, 2u) << value;
            EXPECT_EQ(out[0], ESCAPE_BYTE);
            EXPECT_EQ(out[1], 0xFF - value);
        } else {
            ASSERT_EQ(n, 1u) << value;
            EXPECT_EQ(out[0], value);
        }
    }
}

// The reader accepts behind an escape byte exactly the bytes the encoder puts there,
// and gives back the value each one stood for.
TEST(Stuffing, UnescapeUndoesPutEscapedAndRefusesTheRest) {
    std::array<int, 256> stood_for{};
    stood_for.fill(-1);
    for (int value = 0; value <= 0xFF; ++value) {
        std::array<std::uint8_t, 2> out{};
        if (put_escaped(out.data(), static_cast<std::uint8_t>(value)) == 2) {
            stood_for[out[1]] = value;
        }
    }
    for (int second = 0; second <= 0xFF; ++second) {
        std::uint8_t decoded = 0x42;
        const bool accepted = unescape(static_cast<std::uint8_t>(second), &decoded);
        if (stood_for[static_cast<std::size_t>(second)] < 0) {
            EXPECT_FALSE(accepted) << second;
            EXPECT_EQ(decoded, 0x42) << second;
        } else {
            EXPECT_TRUE(accepted) << second;
            EXPECT_EQ(decoded, stood_for[static_cast<std::size_t>(second)]) << second;
        }
    }
}

TEST(Stuffing, KnownPairs) {
    std::array<std::uint8_t, 2> out{};
    put_escaped(out.data(), 0x11);
    EXPECT_EQ(out, (std::array<std::uint8_t, 2>{0x5C, 0xEE}));
    put_escaped(out.data(), 0x13);
    EXPECT_EQ(out, (std::array<std::uint8_t, 2>{0x5C, 0xEC}));
    put_escaped(out.data(), 0x5C);
    EXPECT_EQ(out, (std::array<std::uint8_t, 2>{0x5C, 0xA3}));
}

TEST(Checksum, FoldsXorOverCount) {
    const std::array<std::uint8_t, 6> body{0xA2, 'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(xor_check(body.data(), 6), 0xC0);
    EXPECT_EQ(xor_check(body.data(), 1), 0xA2);
    EXPECT_EQ(xor_check(body.data(), 2), 0xA2 ^ 'h');
}

TEST(Encoder, GreetingIsTheKnownTenBytes) {
    EXPECT_EQ(
        encode(FRAME_TYPE_TEXT, {'h', 'e', 'l', 'l', 'o'}),
        (std::vector<std::uint8_t>{0xAD, 0x00, 0x06, 0xA2, 0x68, 0x65, 0x6C, 0x6C, 0x6F, 0xC0}));
}

TEST(Encoder, StuffsLengthBodyAndCheckButNotTheStart) {
    // Payload of 16 bytes: length 17 (0x11) must be stuffed. The body holds 0x13 and
    // 0x5C; the check byte works out to 0x11 and is stuffed as well.
    std::vector<std::uint8_t> payload(16, 0x00);
    payload[0] = 0x13;
    payload[1] = 0x5C;
    payload[2] = static_cast<std::uint8_t>(0x11 ^ FRAME_TYPE_TEXT ^ 0x13 ^ 0x5C);
    const std::vector<std::uint8_t> wire = encode(FRAME_TYPE_TEXT, payload);
    std::vector<std::uint8_t> expected{0xAD, 0x00, 0x5C, 0xEE, 0xA2,
                                       0x5C, 0xEC, 0x5C, 0xA3, payload[2]};
    expected.insert(expected.end(), 13, 0x00);
    expected.insert(expected.end(), {0x5C, 0xEE});
    EXPECT_EQ(wire, expected);
    for (std::size_t i = 0; i < wire.size(); ++i) {
        EXPECT_NE(wire[i], 0x11) << i;
        EXPECT_NE(wire[i], 0x13) << i;
    }
}

TEST(Encoder, StartByteValueInsideTheBodyTravelsUnchanged) {
    EXPECT_EQ(encode(FRAME_TYPE_TEXT, {0xAD}),
              (std::vector<std::uint8_t>{0xAD, 0x00, 0x02, 0xA2, 0xAD, 0xA2 ^ 0xAD}));
}

TEST(Encoder, LargestFrameInWorstCaseFitsTheBound) {
    const std::vector<std::uint8_t> payload(PAYLOAD_MAX, 0x5C);
    const std::vector<std::uint8_t> wire = encode(0x5C, payload);
    // Length 0xFFFF and check byte 0x5C (an even count of 0x5C payload bytes XOR type
    // 0x5C) are plain; type, payload and check double.
    EXPECT_EQ(wire.size(), 1u + 2u + 2u * (PAYLOAD_MAX + 1) + 2u);
    EXPECT_LE(wire.size(), STUFFED_FRAME_MAX);
}

TEST(Encoder, RefusesWhatCannotBeAFrame) {
    std::vector<std::uint8_t> out(STUFFED_FRAME_MAX);
    EXPECT_EQ(encode_frame(FRAME_TYPE_TEXT, {}, out), 0u);
    const std::vector<std::uint8_t> too_long(PAYLOAD_MAX + 1, 'x');
    EXPECT_EQ(encode_frame(FRAME_TYPE_TEXT, too_long, out), 0u);
    // A buffer that could hold this frame only if nothing needed stuffing.
    const std::vector<std::uint8_t> payload{'a', 'b'};
    std::vector<std::uint8_t> small(7);
    EXPECT_EQ(encode_frame(FRAME_TYPE_TEXT, payload, small), 0u);
}

}  // namespace
