#include <array>

#include "link/link_protocol.h"
#include "serial/serial_port.h"

int send_hello() {
    static constexpr std::array<std::uint8_t, 5> hello{'h', 'e', 'l', 'l', 'o'};
    // The room encode_frame asks for a five-byte payload (it fills ten of the twenty
    // bytes), left unfilled: encode_frame writes the bytes that are sent, and only those.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init)
    std::array<std::uint8_t, stuffed_frame_max(hello.size())> frame;
    const std::size_t size = encode_frame(FRAME_TYPE_TEXT, hello, frame);
    port_send(frame.data(), size);
    return static_cast<int>(size);
}
