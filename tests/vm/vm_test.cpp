// The VM tier's driver runs, as vm-guest (run-guest) left them, against the device
// players' records.
#include <gtest/gtest.h>

#include <tuple>

#include "sim/sim_record.h"
#include "tests/e2e/record_check.h"

namespace {

const std::filesystem::path GUEST_DIR = std::filesystem::path(TERVALO_VM_RUN_DIR) / "guest";

// The end of the output's last cycle but one: the cycle under way at the kill, and the
// one before it, may be missing from the record.
std::size_t settled_end(const std::string& output) {
    std::vector<std::size_t> ends{0, 0};
    for (std::size_t at = 0, end = 0; (end = output.find("\r\n", at)) != std::string::npos;
         at = end + 2) {
        if (is_final_line(std::string_view(output).substr(at, end - at))) {
            ends.push_back(end + 2);
        }
    }
    return ends[ends.size() - 2];
}

// Through each driver the tool's output cycle by cycle as the record says, faults
// included. The emulated UART sends byte by byte, and a busy host can stall it past the
// 2 ms the player allows between bytes: the player drops that greeting, as the tool
// would, and its record lacks the cycle (up to a quarter of them: -1).
TEST(VmDrivers, ResponsesAndFaultsMatchTheDevicePlayersRecord) {
    const std::string NO_RESPONSE = NO_RESPONSE_LINE;
    for (const auto& [name, may_break, least] :
         {std::tuple{"ftdi", 0, 6}, {"uart", -1, 6}, {"acm", 0, 6}, {"pl2303ta", 0, 2}}) {
        SCOPED_TRACE(name);
        std::string output = contents_of(GUEST_DIR / (std::string(name) + ".out"));
        output.resize(settled_end(output));
        ASSERT_TRUE(output.starts_with(BANNER)) << "vm-guest runs first: " << escape_bytes(output);
        const std::vector<record_entry> record =
            read_record(GUEST_DIR / (std::string(name) + ".tsv"));
        const std::size_t allowed =
            may_break >= 0 ? static_cast<std::size_t>(may_break) : record.size() / 4;
        std::size_t at = BANNER.size();
        std::size_t broken = 0;
        std::size_t cycles = 0;
        std::size_t faults = 0;
        for (const record_entry& entry : record) {
            std::size_t next = at;
            std::string mismatch = compare_cycle(output, next, entry);
            while (!mismatch.empty() && broken < allowed &&
                   output.compare(at, NO_RESPONSE.size(), NO_RESPONSE) == 0) {
                at += NO_RESPONSE.size();
                ++broken;
                mismatch = compare_cycle(output, next = at, entry);
            }
            if (at >= output.size()) {
                break;
            }
            ASSERT_EQ(mismatch, "");
            at = next;
            ++cycles;
            faults += entry.fault != "none" ? 1U : 0U;
        }
        EXPECT_EQ(at, output.size()) << "beyond the record: " << escape_bytes(output.substr(at));
        EXPECT_GE(cycles, static_cast<std::size_t>(least));
        EXPECT_GE(faults, cycles / 2) << "the player mixed in too few faults";
    }
}

}  // namespace
