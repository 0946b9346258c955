#include "sim/fault_plan.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <span>

#include "link/link_protocol.h"

namespace {

using byte_vector = std::vector<std::uint8_t>;

constexpr std::uint8_t OTHER_FRAME_TYPE = 0xA1;
constexpr std::uint8_t INVALID_ESCAPE = 0x41;
constexpr std::size_t NOISE_MIN = 16;
constexpr std::size_t NOISE_MAX = 64;

struct named_fault {
    fault_kind fault;
    std::string_view name;
};

constexpr std::array<named_fault, 14> NAMES{{
    {fault_kind::none, "none"},
    {fault_kind::silence, "silence"},
    {fault_kind::late, "late"},
    {fault_kind::bad_check, "bad-check"},
    {fault_kind::length_0, "length-0"},
    {fault_kind::length_1, "length-1"},
    {fault_kind::bad_escape, "bad-escape"},
    {fault_kind::other_type, "other-type"},
    {fault_kind::noise, "noise"},
    {fault_kind::raw_noise, "raw-noise"},
    {fault_kind::gap, "gap"},
    {fault_kind::split, "split"},
    {fault_kind::unsolicited, "unsolicited"},
    {fault_kind::largest, "largest"},
}};

byte_vector as_bytes(std::string_view text) {
    return byte_vector(text.begin(), text.end());
}

byte_vector encoded(std::uint8_t type, const byte_vector& payload) {
    byte_vector out(STUFFED_FRAME_MAX);
    out.resize(encode_frame(type, payload, out));
    return out;
}

void append_escaped(byte_vector& out, std::uint8_t value) {
    std::array<std::uint8_t, 2> stuffed{};
    const std::size_t size = put_escaped(stuffed.data(), value);
    out.insert(out.end(), stuffed.begin(), stuffed.begin() + static_cast<std::ptrdiff_t>(size));
}

// Start byte and length, stuffed: the part of a frame before its body.
byte_vector frame_header(std::uint16_t length) {
    byte_vector out;
    append_escaped(out, FRAME_START);
    append_escaped(out, static_cast<std::uint8_t>(length >> 8));
    append_escaped(out, static_cast<std::uint8_t>(length & 0xFF));
    return out;
}

std::uint8_t body_check(const byte_vector& payload) {
    return static_cast<std::uint8_t>(
        FRAME_TYPE_TEXT ^ xor_check(payload.data(), static_cast<std::uint16_t>(payload.size())));
}

byte_vector noise(std::mt19937& random, bool avoid_frame_bytes) {
    const std::size_t size = NOISE_MIN + random() % (NOISE_MAX - NOISE_MIN + 1);
    byte_vector out;
    while (out.size() < size) {
        const auto value = static_cast<std::uint8_t>(random());
        if (avoid_frame_bytes && (value == FRAME_START || value == ESCAPE_BYTE)) {
            continue;
        }
        out.push_back(value);
    }
    return out;
}

byte_vector joined(byte_vector first, const byte_vector& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The tool's reaction to a frame's start byte that arrives alone and too early: none.
// Its reaction to the rest, hunted byte by byte for a start byte, is fixed only when
// no 0xAD is among it (a 0x5C in a well-stuffed tail always forms a valid pair).
bool tail_is_inert(std::span<const std::uint8_t> tail) {
    return std::find(tail.begin(), tail.end(), FRAME_START) == tail.end();
}

std::string check_error_line(std::uint8_t computed, std::uint8_t received) {
    return "[warn]:[read_packet]: crc error " + std::to_string(computed) + " " +
           std::to_string(received) + "\r\n";
}

std::string length_error_line(int length) {
    return "[warn]:[read_packet]:len error " + std::to_string(length) + "\r\n";
}

std::string escape_error_line(std::uint8_t second) {
    std::array<char, 8> hex{};
    std::snprintf(hex.data(), hex.size(), "%02x", second);
    return std::string("[warn]:esc char error 0x") + hex.data() + "\r\n";
}

}  // namespace

std::string_view fault_name(fault_kind fault) {
    for (const named_fault& entry : NAMES) {
        if (entry.fault == fault) {
            return entry.name;
        }
    }
    return "?";
}

std::optional<fault_kind> fault_from_name(std::string_view name) {
    for (const named_fault& entry : NAMES) {
        if (entry.name == name) {
            return entry.fault;
        }
    }
    return std::nullopt;
}

std::string response_line(std::string_view text) {
    return "[info]:response: " + std::string(text.substr(0, text.find('\0'))) + "\r\n";
}

reply_plan plan_reply(fault_kind fault, std::string_view text, int delay_ms, std::mt19937& random) {
    const byte_vector payload = as_bytes(text);
    const byte_vector reply = encoded(FRAME_TYPE_TEXT, payload);
    const std::string answered = response_line(text);
    const std::string silent(NO_RESPONSE_LINE);

    reply_plan plan{fault, {}, answered, ""};
    switch (fault) {
        case fault_kind::none:
            plan.steps = {{delay_ms, false, reply}};
            break;
        case fault_kind::silence:
            plan.expected = silent;
            plan.note = "no reply";
            break;
        case fault_kind::late:
            // Past the tool's deadline but inside its pause, so the next greeting's
            // purge discards the reply and the cycle after is untouched.
            plan.steps = {{LATE_REPLY_MS, false, reply}};
            plan.expected = silent;
            plan.note = "reply after " + std::to_string(LATE_REPLY_MS) + " ms";
            break;
        case fault_kind::bad_check: {
            const std::uint8_t good = body_check(payload);
            const auto bad = static_cast<std::uint8_t>(good ^ 0x01);
            std::array<std::uint8_t, 2> stuffed{};
            byte_vector frame = reply;
            frame.resize(frame.size() - put_escaped(stuffed.data(), good));
            append_escaped(frame, bad);
            plan.steps = {{delay_ms, false, frame}};
            plan.expected = check_error_line(good, bad) + silent;
            plan.note = "check byte " + std::to_string(bad) + " instead of " + std::to_string(good);
            break;
        }
        case fault_kind::length_0:
        case fault_kind::length_1: {
            const int length = fault == fault_kind::length_0 ? 0 : 1;
            plan.steps = {{delay_ms, false, frame_header(static_cast<std::uint16_t>(length))}};
            plan.expected = length_error_line(length) + silent;
            plan.note = "a header of length " + std::to_string(length) + " and nothing else";
            break;
        }
        case fault_kind::bad_escape: {
            byte_vector broken = frame_header(static_cast<std::uint16_t>(payload.size() + 1));
            append_escaped(broken, FRAME_TYPE_TEXT);
            broken.push_back(ESCAPE_BYTE);
            broken.push_back(INVALID_ESCAPE);
            plan.steps = {{delay_ms, false, joined(broken, reply)}};
            plan.expected = escape_error_line(INVALID_ESCAPE) + answered;
            plan.note = "a frame broken by 5c 41, then the reply";
            break;
        }
        case fault_kind::other_type:
            plan.steps = {
                {delay_ms, false, joined(encoded(OTHER_FRAME_TYPE, as_bytes("status")), reply)}};
            plan.note = "a frame of type 0xa1, then the reply";
            break;
        case fault_kind::noise:
        case fault_kind::raw_noise: {
            const bool raw = fault == fault_kind::raw_noise;
            const byte_vector junk = noise(random, !raw);
            plan.steps = {{delay_ms, false, joined(junk, reply)}};
            if (raw) {
                plan.expected.reset();
            }
            plan.note = std::to_string(junk.size()) + (raw ? " random" : " inert") +
                        " bytes, then the reply";
            break;
        }
        case fault_kind::gap: {
            const std::size_t head =
                frame_header(static_cast<std::uint16_t>(payload.size() + 1)).size();
            const byte_vector first(reply.begin(),
                                    reply.begin() + static_cast<std::ptrdiff_t>(head));
            const byte_vector rest(reply.begin() + static_cast<std::ptrdiff_t>(head), reply.end());
            plan.steps = {{delay_ms, false, first}, {GAP_MS, false, rest}};
            plan.expected = tail_is_inert(rest) ? std::optional<std::string>(silent) : std::nullopt;
            plan.note = "the reply with a pause of " + std::to_string(GAP_MS) + " ms after byte " +
                        std::to_string(head);
            break;
        }
        case fault_kind::split: {
            const auto half = static_cast<std::ptrdiff_t>(reply.size() / 2);
            plan.steps = {{delay_ms, false, byte_vector(reply.begin(), reply.begin() + half)},
                          {0, true, byte_vector(reply.begin() + half, reply.end())}};
            plan.note = "the reply in two writes";
            break;
        }
        case fault_kind::unsolicited:
            plan.steps = {
                {delay_ms, false, reply},
                {UNSOLICITED_AFTER_MS, false, encoded(FRAME_TYPE_TEXT, as_bytes("unsolicited"))}};
            plan.note = "the reply, then a frame during the pause";
            break;
        case fault_kind::largest: {
            byte_vector big(PAYLOAD_MAX);
            for (std::size_t i = 0; i < big.size(); ++i) {
                big[i] = payload[i % payload.size()];
            }
            plan.steps = {{delay_ms, false, encoded(FRAME_TYPE_TEXT, big)}};
            plan.expected = response_line(
                std::string_view(reinterpret_cast<const char*>(big.data()), big.size()));
            plan.note = "a reply of " + std::to_string(big.size()) + " payload bytes";
            break;
        }
    }
    return plan;
}
