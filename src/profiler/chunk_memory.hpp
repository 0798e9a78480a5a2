// Memory for the chunks of buffered records. Buffering records is mostly writing fresh
// memory, and every fresh page costs a fault when first written (several microseconds on
// a virtual machine). Large chunks are therefore mapped directly with all their pages put
// in place by one call; small ones come from malloc.
#pragma once

#include <cstddef>
#include <utility>

namespace sarv {

class ChunkMemory {
public:
    static constexpr size_t LARGE = size_t{2} << 20;  // the size of large chunks

    ChunkMemory() = default;
    // At least `capacity` bytes (more when mapped: whole pages). Throws bad_alloc.
    static ChunkMemory allocate(size_t capacity);
    // Whether allocate() maps chunks of this size.
    static bool maps(size_t capacity);

    ChunkMemory(ChunkMemory&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)),
          mapped_(std::exchange(other.mapped_, false)) {}
    ChunkMemory& operator=(ChunkMemory&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(capacity_, other.capacity_);
        std::swap(mapped_, other.mapped_);
        return *this;
    }
    ChunkMemory(const ChunkMemory&) = delete;
    ChunkMemory& operator=(const ChunkMemory&) = delete;
    ~ChunkMemory() { release(); }

    char* data() const { return data_; }
    size_t capacity() const { return capacity_; }
    // Gives back what lies beyond the first `size` bytes (as far as the memory allows).
    void shrink_to(size_t size);

private:
    void release();

    char* data_ = nullptr;
    size_t capacity_ = 0;
    bool mapped_ = false;
};

}  // namespace sarv
