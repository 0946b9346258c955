#include "sim/fault_plan.h"

#include <algorithm>
#include <array>
#include <span>
#include <utility>

#include "app/poll_cycle.h"
#include "link/frame_bytes.h"
#include "link/link_protocol.h"
#include "link/output_lines.h"
#include "sim/printed_line.h"

namespace {

using byte_vector = std::vector<std::uint8_t>;

constexpr std::uint8_t OTHER_FRAME_TYPE = 0xA1;
constexpr std::uint8_t INVALID_ESCAPE = 0x41;
constexpr std::size_t NOISE_MIN = 16;
constexpr std::size_t NOISE_MAX = 64;

static_assert(READ_DEADLINE_MS < LATE_REPLY_MS && LATE_REPLY_MS < READ_DEADLINE_MS + CYCLE_PAUSE_MS,
              "a late reply arrives while the tool pauses");

byte_vector as_bytes(std::string_view text) {
    return byte_vector(text.begin(), text.end());
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

// What every fault's plan starts from: the intact reply and the line it gives.
struct reply_parts {
    byte_vector payload;
    byte_vector reply;
    std::string answered;
    int delay_ms;
    std::mt19937& random;
};

// One plan per fault. Each starts from a plan with no writes whose expected output is
// the intact reply's line.

void plan_none(const reply_parts& parts, reply_plan& plan) {
    plan.steps = {{parts.delay_ms, false, parts.reply}};
}

void plan_silence(const reply_parts&, reply_plan& plan) {
    plan.expected = NO_RESPONSE_LINE;
    plan.note = "no reply";
}

// Past the tool's deadline but inside its pause, so the next greeting's purge
// discards the reply and the cycle after is untouched.
void plan_late(const reply_parts& parts, reply_plan& plan) {
    plan.steps = {{LATE_REPLY_MS, false, parts.reply}};
    plan.expected = NO_RESPONSE_LINE;
    plan.note = "reply after " + std::to_string(LATE_REPLY_MS) + " ms";
}

void plan_bad_check(const reply_parts& parts, reply_plan& plan) {
    const std::uint8_t good = body_check(parts.payload);
    const auto bad = static_cast<std::uint8_t>(good ^ 0x01);
    std::array<std::uint8_t, 2> stuffed{};
    byte_vector frame = parts.reply;
    frame.resize(frame.size() - put_escaped(stuffed.data(), good));
    append_escaped(frame, bad);
    plan.steps = {{parts.delay_ms, false, frame}};
    plan.expected = printed_line(CHECK_ERROR_FORMAT, good, bad) + NO_RESPONSE_LINE;
    plan.note = "check byte " + std::to_string(bad) + " instead of " + std::to_string(good);
}

void plan_short_length(int length, const reply_parts& parts, reply_plan& plan) {
    plan.steps = {{parts.delay_ms, false, frame_header(static_cast<std::uint16_t>(length))}};
    plan.expected = printed_line(LENGTH_ERROR_FORMAT, length) + NO_RESPONSE_LINE;
    plan.note = "a header of length " + std::to_string(length) + " and nothing else";
}

void plan_length_0(const reply_parts& parts, reply_plan& plan) {
    plan_short_length(0, parts, plan);
}

void plan_length_1(const reply_parts& parts, reply_plan& plan) {
    plan_short_length(1, parts, plan);
}

void plan_bad_escape(const reply_parts& parts, reply_plan& plan) {
    byte_vector broken = frame_header(static_cast<std::uint16_t>(parts.payload.size() + 1));
    append_escaped(broken, FRAME_TYPE_TEXT);
    broken.push_back(ESCAPE_BYTE);
    broken.push_back(INVALID_ESCAPE);
    plan.steps = {{parts.delay_ms, false, joined(broken, parts.reply)}};
    plan.expected = printed_line(ESCAPE_ERROR_FORMAT, INVALID_ESCAPE) + parts.answered;
    plan.note = "a frame broken by 5c 41, then the reply";
}

void plan_other_type(const reply_parts& parts, reply_plan& plan) {
    plan.steps = {
        {parts.delay_ms, false, joined(frame_bytes(OTHER_FRAME_TYPE, "status"), parts.reply)}};
    plan.note = "a frame of type 0xa1, then the reply";
}

void plan_noise(const reply_parts& parts, reply_plan& plan) {
    const byte_vector junk = noise(parts.random, true);
    plan.steps = {{parts.delay_ms, false, joined(junk, parts.reply)}};
    plan.note = std::to_string(junk.size()) + " inert bytes, then the reply";
}

void plan_raw_noise(const reply_parts& parts, reply_plan& plan) {
    const byte_vector junk = noise(parts.random, false);
    plan.steps = {{parts.delay_ms, false, joined(junk, parts.reply)}};
    plan.expected.reset();
    plan.note = std::to_string(junk.size()) + " random bytes, then the reply";
}

void plan_gap(const reply_parts& parts, reply_plan& plan) {
    const auto head = static_cast<std::ptrdiff_t>(
        frame_header(static_cast<std::uint16_t>(parts.payload.size() + 1)).size());
    const byte_vector first(parts.reply.begin(), parts.reply.begin() + head);
    const byte_vector rest(parts.reply.begin() + head, parts.reply.end());
    plan.steps = {{parts.delay_ms, false, first}, {GAP_MS, false, rest}};
    plan.expected =
        tail_is_inert(rest) ? std::optional<std::string>(NO_RESPONSE_LINE) : std::nullopt;
    plan.note = "the reply with a pause of " + std::to_string(GAP_MS) + " ms after byte " +
                std::to_string(head);
}

void plan_split(const reply_parts& parts, reply_plan& plan) {
    const auto half = static_cast<std::ptrdiff_t>(parts.reply.size() / 2);
    plan.steps = {
        {parts.delay_ms, false, byte_vector(parts.reply.begin(), parts.reply.begin() + half)},
        {0, true, byte_vector(parts.reply.begin() + half, parts.reply.end())}};
    plan.note = "the reply in two writes";
}

void plan_unsolicited(const reply_parts& parts, reply_plan& plan) {
    plan.steps = {{parts.delay_ms, false, parts.reply},
                  {UNSOLICITED_AFTER_MS, false, frame_bytes(FRAME_TYPE_TEXT, "unsolicited")}};
    plan.note = "the reply, then a frame during the pause";
}

void plan_largest(const reply_parts& parts, reply_plan& plan) {
    byte_vector big(PAYLOAD_MAX);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = parts.payload[i % parts.payload.size()];
    }
    plan.steps = {{parts.delay_ms, false, frame_bytes(FRAME_TYPE_TEXT, big)}};
    plan.expected =
        response_line(std::string_view(reinterpret_cast<const char*>(big.data()), big.size()));
    plan.note = "a reply of " + std::to_string(big.size()) + " payload bytes";
}

// Every fault: its name, as options and records spell it, and its plan.
struct fault_entry {
    fault_kind fault;
    std::string_view name;
    void (*plan)(const reply_parts&, reply_plan&);
};

constexpr std::array<fault_entry, 14> FAULTS{{
    {fault_kind::none, "none", plan_none},
    {fault_kind::silence, "silence", plan_silence},
    {fault_kind::late, "late", plan_late},
    {fault_kind::bad_check, "bad-check", plan_bad_check},
    {fault_kind::length_0, "length-0", plan_length_0},
    {fault_kind::length_1, "length-1", plan_length_1},
    {fault_kind::bad_escape, "bad-escape", plan_bad_escape},
    {fault_kind::other_type, "other-type", plan_other_type},
    {fault_kind::noise, "noise", plan_noise},
    {fault_kind::raw_noise, "raw-noise", plan_raw_noise},
    {fault_kind::gap, "gap", plan_gap},
    {fault_kind::split, "split", plan_split},
    {fault_kind::unsolicited, "unsolicited", plan_unsolicited},
    {fault_kind::largest, "largest", plan_largest},
}};

static_assert(FAULTS.size() == std::size(ALL_FAULTS) + 1, "every fault, and none, has a plan");

const fault_entry* entry_of(fault_kind fault) {
    for (const fault_entry& entry : FAULTS) {
        if (entry.fault == fault) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

std::string_view fault_name(fault_kind fault) {
    const fault_entry* entry = entry_of(fault);
    return entry != nullptr ? entry->name : "?";
}

std::optional<fault_kind> fault_from_name(std::string_view name) {
    for (const fault_entry& entry : FAULTS) {
        if (entry.name == name) {
            return entry.fault;
        }
    }
    return std::nullopt;
}

std::string response_line(std::string_view text) {
    // %s stops at the first zero byte, as the tool's line does.
    return printed_line(RESPONSE_FORMAT, std::string(text).c_str());
}

reply_plan plan_reply(fault_kind fault, std::string_view text, int delay_ms, std::mt19937& random) {
    byte_vector payload = as_bytes(text);
    byte_vector reply = frame_bytes(FRAME_TYPE_TEXT, payload);
    const reply_parts parts{std::move(payload), std::move(reply), response_line(text), delay_ms,
                            random};
    reply_plan plan{fault, {}, parts.answered, ""};
    const auto make_plan = entry_of(fault)->plan;
    make_plan(parts, plan);
    return plan;
}
