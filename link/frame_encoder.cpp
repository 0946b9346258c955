#include "link/link_protocol.h"

std::size_t encode_frame(std::uint8_t type, std::span<const std::uint8_t> payload,
                         std::span<std::uint8_t> out) {
    if (payload.empty() || payload.size() > PAYLOAD_MAX) {
        return 0;
    }
    // Every byte may double, so the worst case is checked once rather than per byte.
    if (out.size() < stuffed_frame_max(payload.size())) {
        return 0;
    }
    const std::size_t length = payload.size() + 1;
    const auto check = static_cast<std::uint8_t>(
        type ^ xor_check(payload.data(), static_cast<std::uint16_t>(payload.size())));
    std::uint8_t* at = out.data();
    at += put_escaped(at, FRAME_START);
    at += put_escaped(at, static_cast<std::uint8_t>(length >> 8));
    at += put_escaped(at, static_cast<std::uint8_t>(length & 0xFF));
    at += put_escaped(at, type);
    for (const std::uint8_t byte : payload) {
        at += put_escaped(at, byte);
    }
    at += put_escaped(at, check);
    return static_cast<std::size_t>(at - out.data());
}
