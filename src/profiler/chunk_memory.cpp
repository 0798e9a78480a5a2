#include "profiler/chunk_memory.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace sarv {
namespace {

constexpr size_t PAGE = 4096;
// Large chunks given back and kept for the next ones (as malloc keeps freed memory of
// the main thread's heap; memory of other threads' heaps goes back to the system and is
// faulted in again). At most POOL_MAX of them, 32 MiB.
constexpr size_t POOL_MAX = 16;
// A tail smaller than this stays with a large chunk when sealed, so the chunk keeps its
// size and can be kept for reuse.
constexpr size_t KEEP_TAIL = 64 * 1024;

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

struct Pool {
    std::mutex mutex;  // chunks are given back by whichever thread drops a list
    std::vector<char*> chunks;
};

Pool& pool() {
    static auto* p = new Pool();  // never destroyed: lists may be dropped at exit
    return *p;
}

// `size` bytes of fresh memory, every page already in place: one call instead of a fault
// per page. Null when the mapping fails.
char* map_populated(size_t size) {
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return data == MAP_FAILED ? nullptr : static_cast<char*>(data);
}

}  // namespace

bool ChunkMemory::maps(size_t capacity) { return capacity >= LARGE / 2; }

ChunkMemory ChunkMemory::allocate(size_t capacity) {
    ChunkMemory memory;
    if (maps(capacity)) {
        size_t size = round_up(capacity, PAGE);
        char* data = nullptr;
        if (size == LARGE) {
            Pool& p = pool();
            std::lock_guard<std::mutex> guard(p.mutex);
            if (!p.chunks.empty()) {
                data = p.chunks.back();
                p.chunks.pop_back();
            }
        }
        if (data == nullptr) {
            data = map_populated(size);
        }
        if (data != nullptr) {
            memory.data_ = data;
            memory.capacity_ = size;
            memory.mapped_ = true;
            return memory;
        }
    }
    memory.data_ = static_cast<char*>(std::malloc(capacity));
    if (memory.data_ == nullptr) {
        throw std::bad_alloc();
    }
    memory.capacity_ = capacity;
    return memory;
}

void ChunkMemory::shrink_to(size_t size) {
    if (size >= capacity_ || data_ == nullptr) {
        return;
    }
    if (mapped_) {
        size_t keep = round_up(size, PAGE);
        if (keep > 0 && capacity_ - keep >= KEEP_TAIL) {
            munmap(data_ + keep, capacity_ - keep);
            capacity_ = keep;
        }
        return;
    }
    if (size == 0) {
        return;
    }
    if (char* shrunk = static_cast<char*>(std::realloc(data_, size))) {
        data_ = shrunk;
        capacity_ = size;
    }
}

void ChunkMemory::release() {
    if (data_ == nullptr) {
        return;
    }
    if (!mapped_) {
        std::free(data_);
    } else {
        bool kept = false;
        if (capacity_ == LARGE) {
            Pool& p = pool();
            std::lock_guard<std::mutex> guard(p.mutex);
            if (p.chunks.size() < POOL_MAX) {
                p.chunks.push_back(data_);
                kept = true;
            }
        }
        if (!kept) {
            munmap(data_, capacity_);
        }
    }
    data_ = nullptr;
    capacity_ = 0;
    mapped_ = false;
}

}  // namespace sarv
