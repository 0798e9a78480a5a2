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

    size_t count() const { return sizes_.size() - head_; }
    size_t bytes() const { return bytes_; }
    // Positions that stay put while the oldest records are dropped: the records, and bytes,
    // dropped from the front since the list was made, and where its newest record ends.
    // (The spool names the records it has copied by them.)
    size_t first_index() const { return base_; }
    size_t end_index() const { return base_ + count(); }
    size_t first_byte() const { return byte_base_; }
    size_t end_byte() const { return byte_base_ + bytes_; }
    bool empty() const { return count() == 0; }

    void push(std::string_view record) {
        if (chunks_.size() == first_chunk_ || chunks_.back().data.capacity() - chunks_.back().size < record.size()) {
            new_chunk(record.size());
        }
        Chunk& chunk = chunks_.back();
        std::memcpy(chunk.data.data() + chunk.size, record.data(), record.size());
        chunk.size += record.size();
        sizes_.push_back(static_cast<uint32_t>(record.size()));
        bytes_ += record.size();
    }

    // Forgets the `n` oldest records (all of them if there are fewer), giving back each
    // chunk once nothing of it is left: the list as a ring of the most recent records.
    // Returns how many went.
    size_t drop_front(size_t n) {
        n = std::min(n, count());
        for (size_t i = 0; i < n; ++i) {
            size_t size = sizes_[head_++];
            head_offset_ += size;
            bytes_ -= size;
            byte_base_ += size;
            while (first_chunk_ + 1 < chunks_.size() && head_offset_ >= chunks_[first_chunk_].size) {
                head_offset_ -= chunks_[first_chunk_].size;
                chunks_[first_chunk_++] = Chunk{};
            }
        }
        base_ += n;
        if (empty()) {
            size_t base = base_;
            size_t byte_base = byte_base_;
            clear();
            base_ = base;  // (the positions go on)
            byte_base_ = byte_base;
            return n;
        }
        // Spent entries at the front are erased once they are the larger part.
        if (first_chunk_ >= 16 && first_chunk_ * 2 >= chunks_.size()) {
            chunks_.erase(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(first_chunk_));
            first_chunk_ = 0;
        }
        if (head_ >= 4096 && head_ * 2 >= sizes_.size()) {
            sizes_.erase(sizes_.begin(), sizes_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
        return n;
    }

    // Forgets the oldest records until at least `bytes` are given back (or none is left);
    // returns how many went.
    size_t drop_front_bytes(size_t bytes) {
        size_t n = 0;
        for (size_t freed = 0; head_ + n < sizes_.size() && freed < bytes; ++n) {
            freed += sizes_[head_ + n];
        }
        drop_front(n);
        return n;
    }

    // A list of the same records in memory of its own.
    RecordList copy() const {
        RecordList list;
        for_each_record([&list](std::string_view record) { list.push(record); });
        return list;
    }

    // Moves every record of `other` after ours.
    void append(RecordList&& other) {
        if (other.empty()) {
            return;
        }
        normalize();
        other.normalize();
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
        first_chunk_ = head_ = head_offset_ = 0;
        base_ = byte_base_ = 0;
    }

    // The records' bytes in order, as a few long runs.
    template <class F>
    void for_each_run(F&& f) const {
        for (size_t i = first_chunk_; i < chunks_.size(); ++i) {
            size_t from = i == first_chunk_ ? head_offset_ : 0;
            if (chunks_[i].size > from) {
                f(std::string_view(chunks_[i].data.data() + from, chunks_[i].size - from));
            }
        }
    }

    // Each record on its own (for inspection; documents use the runs).
    template <class F>
    void for_each_record(F&& f) const {
        size_t index = head_;
        for (size_t i = first_chunk_; i < chunks_.size(); ++i) {
            size_t offset = i == first_chunk_ ? head_offset_ : 0;
            while (offset < chunks_[i].size) {
                f(std::string_view(chunks_[i].data.data() + offset, sizes_[index]));
                offset += sizes_[index++];
            }
        }
    }

    // Each record from position `from` on (see first_index()), whose bytes begin at
    // position `from_byte` (see first_byte()); from the first record held if those were
    // dropped.
    template <class F>
    void for_each_from(size_t from, size_t from_byte, F&& f) const {
        size_t index = head_;
        size_t offset = head_offset_;
        if (from > base_) {
            index += from - base_;
            offset += from_byte - byte_base_;
        }
        if (index >= sizes_.size()) {
            return;
        }
        size_t i = first_chunk_;
        while (i < chunks_.size() && offset >= chunks_[i].size) {
            offset -= chunks_[i++].size;  // (records never straddle two chunks)
        }
        for (; i < chunks_.size(); ++i, offset = 0) {
            while (offset < chunks_[i].size) {
                f(std::string_view(chunks_[i].data.data() + offset, sizes_[index]));
                offset += sizes_[index++];
            }
        }
    }

    // The first `n` records (or all, if fewer), each on its own.
    template <class F>
    void for_first(size_t n, F&& f) const {
        size_t index = head_;
        size_t end = head_ + std::min(n, count());
        for (size_t i = first_chunk_; i < chunks_.size() && index < end; ++i) {
            size_t offset = i == first_chunk_ ? head_offset_ : 0;
            while (offset < chunks_[i].size && index < end) {
                f(std::string_view(chunks_[i].data.data() + offset, sizes_[index]));
                offset += sizes_[index++];
            }
        }
    }

    // The newest record; the list must not be empty.
    std::string_view last() const {
        const Chunk& chunk = chunks_.back();  // records are pushed into the last chunk
        size_t size = sizes_.back();
        return {chunk.data.data() + chunk.size - size, size};
    }

private:
    struct Chunk {
        ChunkMemory data;
        size_t size = 0;  // bytes used
    };

    static constexpr size_t MIN_CHUNK = 4096;
    static constexpr size_t MAX_CHUNK = 1 << 20;

    // Erases what drop_front() left at the front, and moves the rest of the first chunk
    // to its start, so that the list is plain chunks and sizes again.
    void normalize() {
        if (first_chunk_ > 0) {
            chunks_.erase(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(first_chunk_));
            first_chunk_ = 0;
        }
        if (head_ > 0) {
            sizes_.erase(sizes_.begin(), sizes_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
        if (head_offset_ > 0 && !chunks_.empty()) {
            Chunk& first = chunks_.front();
            std::memmove(first.data.data(), first.data.data() + head_offset_, first.size - head_offset_);
            first.size -= head_offset_;
        }
        head_offset_ = 0;
    }

    // Gives the unused tail of the last chunk back before another chunk follows it.
    void seal() {
        if (chunks_.size() == first_chunk_) {
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
    // Records forgotten by drop_front(): chunks before first_chunk_ are given back, sizes
    // before head_ no longer count, and the first chunk's records start at head_offset_.
    size_t first_chunk_ = 0;
    size_t head_ = 0;
    size_t head_offset_ = 0;
    size_t base_ = 0;       // records dropped from the front since the list was made
    size_t byte_base_ = 0;  // their bytes
};

}  // namespace sarv
