// Preloaded into a program under measurement (LD_PRELOAD), counts its heap allocations
// in a file that the driver reads while the program runs: the file named by
// TERVALO_ALLOC_COUNTER holds one 64-bit count, shared through mmap. glibc's own entry
// points do the allocating, so nothing here allocates.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Interposing glibc's allocator means using its reserved names: its internal entry
// points, and its own parameter names, which the definitions below must repeat.
// NOLINTBEGIN(bugprone-reserved-identifier)
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* old, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {

std::atomic<std::uint64_t>* shared_count = nullptr;

__attribute__((constructor)) void map_counter() {
    const char* path = std::getenv("TERVALO_ALLOC_COUNTER");
    if (path == nullptr) {
        return;
    }
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    void* page = mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (page != MAP_FAILED) {
        shared_count = static_cast<std::atomic<std::uint64_t>*>(page);
    }
}

void count_one() {
    if (shared_count != nullptr) {
        shared_count->fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

extern "C" {

void* malloc(std::size_t __size) {
    count_one();
    return __libc_malloc(__size);
}

void* calloc(std::size_t __nmemb, std::size_t __size) {
    count_one();
    return __libc_calloc(__nmemb, __size);
}

void* realloc(void* __ptr, std::size_t __size) {
    count_one();
    return __libc_realloc(__ptr, __size);
}

void* memalign(std::size_t alignment, std::size_t size) {
    count_one();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
    count_one();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** __memptr, std::size_t __alignment, std::size_t __size) {
    count_one();
    void* block = __libc_memalign(__alignment, __size);
    if (block == nullptr) {
        return ENOMEM;
    }
    *__memptr = block;
    return 0;
}

}  // extern "C"
// NOLINTEND(bugprone-reserved-identifier)
