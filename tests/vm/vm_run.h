// What the VM tier's boot leaves for its checks: the run folder, and the settings of the
// run that both sides use.
#pragma once

#include <cstddef>
#include <filesystem>

// The guest's files (GUEST_DIR) and the host's device players' records and logs.
inline const std::filesystem::path RUN_DIR = TERVALO_VM_RUN_DIR;
inline const std::filesystem::path GUEST_DIR = RUN_DIR / "guest";

// Cycles the guest runs before pulling the adapter (and the UART alongside), and before
// pulling the CDC-ACM board.
inline constexpr std::size_t CYCLES = 13;
inline constexpr std::size_t ACM_CYCLES = 9;
// Cycles each emulated USB-serial chip runs before its pull.
inline constexpr std::size_t CHIP_CYCLES = 5;
