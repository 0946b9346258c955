// The result codes of the link and of the port beneath it. Every call that can fail
// returns one: 0 for success, a negative value for each way of failing, and callers may
// treat every negative value alike. Apart from link_protocol.h so that the port's
// functions, below the link, return the same codes.
#pragma once

enum link_result : int {
    LINK_OK = 0,
    LINK_FAILED = -1,        // nothing arrived in time, the frame was refused, or the call failed
    LINK_ESCAPE_ERROR = -3,  // 0x5C followed by a byte that is not a valid escape
};
