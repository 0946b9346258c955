// The frame reader's throughput in memory, next to the line's: 921,600 baud with 8N1
// framing is 10 bits a byte, 92,160 bytes per second.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "bench/memory_port.h"
#include "link/frame_bytes.h"
#include "link/link_protocol.h"

namespace {

constexpr double LINE_BYTES_PER_SECOND = 921600.0 / 10.0;

Packet packet;

void read_or_abort() {
    if (read_packet(packet) != LINK_OK) {
        std::abort();
    }
    benchmark::DoNotOptimize(packet.len);
}

// The largest frame, payload bytes chosen so that about one in 85 needs stuffing.
void LargestFrame(benchmark::State& state) {
    std::vector<std::uint8_t> payload(PAYLOAD_MAX);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    const std::vector<std::uint8_t> wire = frame_bytes(FRAME_TYPE_TEXT, payload);
    memory_port_load(wire);
    for (auto iteration : state) {
        (void)iteration;
        memory_port_rewind();
        read_or_abort();
    }
    const auto bytes = static_cast<double>(state.iterations()) * static_cast<double>(wire.size());
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.counters["wire_bytes"] = static_cast<double>(wire.size());
    state.counters["x_line_rate"] =
        benchmark::Counter(bytes / LINE_BYTES_PER_SECOND, benchmark::Counter::kIsRate);
}
BENCHMARK(LargestFrame);

// Short responses back to back: a five-byte payload, ten bytes on the wire.
void ShortFrames(benchmark::State& state) {
    constexpr std::size_t FRAMES = 1000;
    const std::vector<std::uint8_t> one = frame_bytes(FRAME_TYPE_TEXT, "world");
    std::vector<std::uint8_t> wire;
    for (std::size_t i = 0; i < FRAMES; ++i) {
        wire.insert(wire.end(), one.begin(), one.end());
    }
    memory_port_load(wire);
    std::size_t left = 0;
    for (auto iteration : state) {
        (void)iteration;
        if (left == 0) {
            memory_port_rewind();
            left = FRAMES;
        }
        read_or_abort();
        --left;
    }
    const auto frames = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.counters["wire_bytes"] = static_cast<double>(one.size());
    const double line_frames_per_second = LINE_BYTES_PER_SECOND / static_cast<double>(one.size());
    state.counters["x_line_rate"] =
        benchmark::Counter(frames / line_frames_per_second, benchmark::Counter::kIsRate);
}
BENCHMARK(ShortFrames);

}  // namespace

BENCHMARK_MAIN();
