#include "serial/posix_dir.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

const char* next_dir_entry(std::span<const char> records, std::size_t* at) {
    constexpr std::size_t NAME_AT = offsetof(dirent64, d_name);
    if (*at + NAME_AT >= records.size()) {
        return nullptr;
    }
    // The record's length, read bytewise: the buffer holds records, not dirent64 objects,
    // and a name may run past the 256 bytes that struct has room for.
    unsigned short length = 0;
    std::memcpy(&length, records.data() + *at + offsetof(dirent64, d_reclen), sizeof length);
    if (length <= NAME_AT || length > records.size() - *at) {
        return nullptr;
    }
    const char* name = records.data() + *at + NAME_AT;
    if (std::memchr(name, '\0', length - NAME_AT) == nullptr) {
        return nullptr;
    }
    *at += length;
    return name;
}

long read_dir_records(int dir_fd, std::span<char, DIR_BUFFER_SIZE> buffer) {
    ssize_t got = -1;
    // Returns the bytes read, 0 at the end of the directory, or -1 with errno set.
    do {
        got = getdents64(dir_fd, buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    return got;
}
