// What a port backend supplies beneath read_byte and wait_for_input
// (serial/read_policy.cpp): a read of what has arrived, and a wait. The real backends
// and the tests' scripted port each implement them, so the reading policy and its
// receive buffer are the same code over all of them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/link_result.h"

// The receive buffer's size: what one read may take. Linux's terminal layer holds at
// most 4 KiB of input for a reader (a pseudo-terminal hands over up to that at once),
// and Windows drivers' default input queue is 4,096 bytes, so one read can empty what
// the system holds; a USB adapter delivers far less per packet (64 or 512 bytes). At
// 921,600 baud it is 44 ms of line, more than the reader ever falls behind.
inline constexpr std::size_t RECEIVE_BUFFER_SIZE = 4096;

// Reads up to size bytes that have already arrived into dst, in one call and without
// waiting. Returns how many it stored, 0 when none had arrived. Called only while
// port_handle is open; a device found gone closes the port.
std::size_t read_arrived(std::uint8_t* dst, std::size_t size);

// Waits up to ms milliseconds for the port to have a byte. Returns LINK_FAILED when the
// time ran out (or the port is closed, or its device gone: then it pauses for ms, so that
// a caller looping on it cannot spin), LINK_OK when a byte is ready to be read, or the
// number of bytes it has already read into dst (at most size) where the platform's wait
// is a read.
int wait_for_port(int ms, std::uint8_t* dst, std::size_t size);

// Forgets what the receive buffer holds: the backend calls it when it discards pending
// input and when it closes the port.
void drop_received();

// How many received bytes the buffer holds that read_byte has not handed out yet.
std::size_t received_unread();
