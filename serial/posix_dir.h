// Directory listing without the heap: opendir allocates, so directories are read with
// getdents64 into a fixed buffer and each name is used where the kernel put it. Shared
// by the port list (sysfs, the working directory) and the terminal check (/proc).
#pragma once

#include <array>
#include <cstddef>
#include <span>

// Room for one read of a directory; a record of any name length the kernel gives fits.
inline constexpr std::size_t DIR_BUFFER_SIZE = 8192;

// The name in the getdents64 record at *at of records, zero-terminated in place, and
// *at moved to the next record. nullptr when no whole, well-formed record is left.
const char* next_dir_entry(std::span<const char> records, std::size_t* at);

// Reads the next records of the directory open at dir_fd into buffer; the byte count,
// 0 at the end, -1 on failure.
long read_dir_records(int dir_fd, std::span<char, DIR_BUFFER_SIZE> buffer);

// Calls visit(name) with every entry of the directory open at dir_fd but "." and "..",
// until visit returns false or the entries run out. The descriptor stays open.
template <typename Visit>
void for_each_entry(int dir_fd, Visit visit) {
    alignas(8) std::array<char, DIR_BUFFER_SIZE> buffer{};
    for (long got = read_dir_records(dir_fd, buffer); got > 0;
         got = read_dir_records(dir_fd, buffer)) {
        const std::span<const char> records(buffer.data(), static_cast<std::size_t>(got));
        std::size_t at = 0;
        for (const char* name = next_dir_entry(records, &at); name != nullptr;
             name = next_dir_entry(records, &at)) {
            const bool dot =
                name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
            if (!dot && !visit(name)) {
                return;
            }
        }
    }
}
