#include "link/frame_bytes.h"

#include "link/link_protocol.h"

std::vector<std::uint8_t> frame_bytes(std::uint8_t type, std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> out(stuffed_frame_max(payload.size()));
    out.resize(encode_frame(type, payload, out));
    return out;
}

std::vector<std::uint8_t> frame_bytes(std::uint8_t type, std::string_view payload) {
    const std::vector<std::uint8_t> bytes(payload.begin(), payload.end());
    return frame_bytes(type, bytes);
}
