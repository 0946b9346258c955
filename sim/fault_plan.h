// What the simulated device answers to one greeting: the bytes it writes, when, and
// what the tool must print for that cycle as a result. Each fault is built so that the
// tool's reaction is fixed by the frame rules alone, which is what lets a test compare
// the tool's output with this plan line for line.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

enum class fault_kind {
    none,         // the reply, intact
    silence,      // no reply at all
    late,         // the reply, after the tool has given up waiting
    bad_check,    // the reply with a wrong check byte
    length_0,     // a frame header declaring a length of 0, nothing after it
    length_1,     // the same with a length of 1
    bad_escape,   // a frame broken by an invalid escape pair, then the reply
    other_type,   // a valid frame of another type, then the reply
    noise,        // bytes that cannot start a frame or an escape, then the reply
    raw_noise,    // random bytes of any value, then the reply: the outcome is open
    gap,          // the reply with a pause inside it, long enough to drop it
    split,        // the reply in two writes, back to back
    unsolicited,  // the reply, then another frame during the tool's pause
    largest,      // a reply of the largest payload, 65,534 bytes
};

inline constexpr fault_kind ALL_FAULTS[] = {
    fault_kind::silence,   fault_kind::late,       fault_kind::bad_check,  fault_kind::length_0,
    fault_kind::length_1,  fault_kind::bad_escape, fault_kind::other_type, fault_kind::noise,
    fault_kind::raw_noise, fault_kind::gap,        fault_kind::split,      fault_kind::unsolicited,
    fault_kind::largest,
};

// The faults keep well clear of the tool's limits: a late reply comes after its
// one-second wait (READ_DEADLINE_MS) and inside the pause after it, a gap is many
// times longer than the pause it tolerates inside a frame.
inline constexpr int LATE_REPLY_MS = 1500;
inline constexpr int GAP_MS = 50;
inline constexpr int UNSOLICITED_AFTER_MS = 100;
// Longest pause between two back-to-back writes still counted as no pause at all.
inline constexpr int BACK_TO_BACK_MS = 1;

// One write of the plan.
struct write_step {
    int wait_ms;                      // pause before this write
    bool back_to_back;                // must follow the previous write without a pause
    std::vector<std::uint8_t> bytes;  // may be empty: nothing written
};

struct reply_plan {
    fault_kind fault;
    std::vector<write_step> steps;
    // What the tool prints for this cycle, or nullopt when the rules leave it open
    // (raw noise, or a reply the device could not deliver as planned).
    std::optional<std::string> expected;
    std::string note;  // for the log: what was done to the reply
};

// The fault's name as options and records spell it ("bad-check"), and back.
std::string_view fault_name(fault_kind fault);
std::optional<fault_kind> fault_from_name(std::string_view name);

// The plan for one greeting: the reply carrying text (1 to 65,534 bytes), damaged or
// surrounded as fault says, after delay_ms (at most 900) more. random supplies noise.
reply_plan plan_reply(fault_kind fault, std::string_view text, int delay_ms, std::mt19937& random);

// The line the tool prints for an intact reply of text.
std::string response_line(std::string_view text);
