// What a port backend supplies beneath read_byte (serial/read_policy.cpp): one raw try.
// The real backends and the tests' scripted port each implement it, so read_byte's
// policy is the same code over all of them. The wait it pairs with is wait_for_input.
#pragma once

#include <cstdint>

// Takes one byte that has already arrived, without waiting. Returns 0 when a byte was
// stored in dst, -1 when none was there. Called only while port_handle is open.
int try_read_byte(std::uint8_t* dst);
