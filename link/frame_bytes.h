// A whole frame's wire bytes in a vector, for the code that plays or tests the far end
// of the link: tests, the simulator, benchmarks and fuzzers. The tool itself encodes
// into fixed buffers (send_hello).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// The stuffed frame of the given type and payload; empty where encode_frame refuses the
// payload (empty, or longer than PAYLOAD_MAX).
std::vector<std::uint8_t> frame_bytes(std::uint8_t type, std::span<const std::uint8_t> payload);

// The same, with the payload given as text.
std::vector<std::uint8_t> frame_bytes(std::uint8_t type, std::string_view payload);
