// Buffered records, stored back to back in large chunks: a buffered record costs its own
// bytes plus four for its length, and a document copies long runs at once.
#pragma once

#include "profiler/chunk_memory.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

namespace sarv {

class RecordList {
public:
    RecordList() = default;
    RecordList(RecordList&&) noexcept = default;
    RecordList& operator=(RecordList&&) noexcept = default;
    RecordList(const RecordList&) = delete;
    RecordList& operator=(const RecordList&) = delete;

    size_t count() const { return sizes_.size(); }
    size_t bytes() const { return bytes_; }
    bool empty() const { return sizes_.empty(); }

    void push(std::string_view record) {
        if (chunks_.empty() || chunks_.back().data.capacity() - chunks_.back().size < record.size()) {
            new_chunk(record.size());
        }
        Chunk& chunk = chunks_.back();
        std::memcpy(chunk.data.data() + chunk.size, record.data(), record.size());
        chunk.size += record.size();
        sizes_.push_back(static_cast<uint32_t>(record.size()));
        bytes_ += record.size();
    }

    // Moves every record of `other` after ours.
    void append(RecordList&& other) {
        if (other.empty()) {
            return;
        }
        seal();
        for (auto& chunk : other.chunks_) {
            chunks_.push_back(std::move(chunk));
        }
        sizes_.insert(sizes_.end(), other.sizes_.begin(), other.sizes_.end());
        bytes_ += other.bytes_;
        other.clear();
    }

    // Moves every record of `other` before ours.
    void prepend(RecordList&& other) {
        other.append(std::move(*this));
        *this = std::move(other);
    }

    void clear() {
        chunks_.clear();
        sizes_.clear();
        bytes_ = 0;
    }

    // The records' bytes in order, as a few long runs.
    template <class F>
    void for_each_run(F&& f) const {
        for (const auto& chunk : chunks_) {
            if (chunk.size != 0) {
                f(std::string_view(chunk.data.data(), chunk.size));
            }
        }
    }

    // Each record on its own (for inspection; documents use the runs).
    template <class F>
    void for_each_record(F&& f) const {
        size_t index = 0;
        for (const auto& chunk : chunks_) {
            size_t offset = 0;
            while (offset < chunk.size) {
                f(std::string_view(chunk.data.data() + offset, sizes_[index]));
                offset += sizes_[index++];
            }
        }
    }

private:
    struct Chunk {
        ChunkMemory data;
        size_t size = 0;  // bytes used
    };

    static constexpr size_t MIN_CHUNK = 4096;
    static constexpr size_t MAX_CHUNK = 1 << 20;

    // Gives the unused tail of the last chunk back before another chunk follows it.
    void seal() {
        if (chunks_.empty()) {
            return;
        }
        Chunk& last = chunks_.back();
        if (last.size == 0) {
            chunks_.pop_back();
        } else {
            last.data.shrink_to(last.size);
        }
    }

    void new_chunk(size_t at_least) {
        seal();
        // An eighth of what is held already, so the one chunk being filled never wastes
        // more than a small share of the list; past a megabyte, large mapped chunks (their
        // unused tail is given back when the list is sealed).
        size_t capacity = std::max(at_least, std::clamp(bytes_ / 8, MIN_CHUNK, MAX_CHUNK));
        if (bytes_ >= MAX_CHUNK) {
            capacity = std::max(at_least, ChunkMemory::LARGE);
        }
        Chunk chunk;
        chunk.data = ChunkMemory::allocate(capacity);
        chunks_.push_back(std::move(chunk));
    }

    std::vector<Chunk> chunks_;
    std::vector<uint32_t> sizes_;
    size_t bytes_ = 0;
};

}  // namespace sarv
