// Buffered records, stored back to back in large chunks: a buffered record costs its own
// bytes plus four for its length, and a document copies long runs at once. Once the spool
// has a list's oldest records on disk, they may leave memory: the list then starts with
// runs of records in the spool's files (see spool.hpp), which documents read from there.
#pragma once

#include "profiler/chunk_memory.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sarv {

// A file the spool wrote, still read by the records that left memory for it: open (and
// so locked) for as long as any of them may be read, even once removed from its folder.
struct SpoolFile {
    int fd;
    explicit SpoolFile(int descriptor) : fd(descriptor) {}
    ~SpoolFile() { ::close(fd); }
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;
};

// Records that left memory: `count` records, `bytes` long, at `data` in `file`; their
// sizes, 4 bytes each, lie just before them.
struct SpilledRun {
    std::shared_ptr<const SpoolFile> file;
    uint64_t data = 0;
    size_t count = 0;
    size_t bytes = 0;
    uint64_t sizes() const { return data - 4 * count; }
};

// Reading records back from the spool failed (the error number in `error`).
struct SpoolReadError : std::runtime_error {
    int error;
    explicit SpoolReadError(int e) : std::runtime_error("reading the spool failed"), error(e) {}
};

// `size` bytes at `offset` of `fd` into `into`; throws SpoolReadError.
inline void read_spool_file(int fd, char* into, size_t size, uint64_t offset) {
    while (size > 0) {
        ssize_t n = ::pread(fd, into, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw SpoolReadError(n < 0 ? errno : EIO);  // (a file shorter than written: EIO)
        }
        into += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
}

class RecordList {
public:
    RecordList() = default;
    RecordList(RecordList&&) noexcept = default;
    RecordList& operator=(RecordList&&) noexcept = default;
    RecordList(const RecordList&) = delete;
    RecordList& operator=(const RecordList&) = delete;

    size_t count() const { return spilled_count_ + sizes_.size() - head_; }
    size_t bytes() const { return spilled_bytes_ + bytes_; }
    // Positions that stay put while the oldest records are dropped: the records, and bytes,
    // dropped from the front since the list was made, and where its newest record ends.
    // (The spool names the records it has copied by them.)
    size_t first_index() const { return base_ - spilled_count_; }
    size_t end_index() const { return base_ + sizes_.size() - head_; }
    size_t first_byte() const { return byte_base_ - spilled_bytes_; }
    size_t end_byte() const { return byte_base_ + bytes_; }
    bool empty() const { return count() == 0; }
    // The records still in memory begin at these positions (after the spilled runs).
    size_t memory_index() const { return base_; }
    size_t memory_byte() const { return byte_base_; }
    size_t memory_count() const { return sizes_.size() - head_; }
    size_t memory_bytes() const { return bytes_; }
    const std::vector<SpilledRun>& spilled() const { return spilled_; }

    // (Inline, with a new chunk out of line: one push per recorded event.)
    [[gnu::always_inline]] void push(std::string_view record) {
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
    // Returns how many went. (Only records in memory: a ring keeps its records there.)
    size_t drop_front(size_t n) {
        n = release_front(n);
        base_ += n;
        return n;
    }

    // The oldest records in memory (`run.count` of them, `run.bytes` long) are `run` in a
    // spool file from now on: their memory is given back, and the list reads them there.
    void spill(const SpilledRun& run) {
        if (run.count == 0 || run.count > memory_count()) {
            return;
        }
        // What documents read without going to the disk: copies of the list's first two
        // records and of its last.
        size_t index = 0;
        for_first_in_memory(run.count, [&](std::string_view record) {
            if (first_records_.size() < 2) {
                first_records_.emplace_back(record);
            }
            if (++index == run.count) {
                last_spilled_.assign(record);
            }
        });
        release_front(run.count);
        spilled_.push_back(run);
        spilled_count_ += run.count;
        spilled_bytes_ += run.bytes;
        base_ += run.count;
    }

private:
    // Gives back the memory of the `n` oldest records in memory (fewer if there are
    // fewer); the positions are the caller's. How many went.
    size_t release_front(size_t n) {
        n = std::min(n, memory_count());
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
        if (memory_count() == 0) {
            chunks_.clear();
            sizes_.clear();
            bytes_ = 0;
            first_chunk_ = head_ = head_offset_ = 0;
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

public:
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

    // A list of the same records in memory of its own (the spilled runs shared: a file's
    // records never change).
    RecordList copy() const {
        RecordList list;
        list.spilled_ = spilled_;
        list.spilled_count_ = spilled_count_;
        list.spilled_bytes_ = spilled_bytes_;
        list.first_records_ = first_records_;
        list.last_spilled_ = last_spilled_;
        list.base_ = spilled_count_;
        list.byte_base_ = spilled_bytes_;
        for_each_record([&list](std::string_view record) { list.push(record); });
        return list;
    }

    // Moves every record of `other` after ours.
    void append(RecordList&& other) {
        if (other.empty()) {
            return;
        }
        if (empty()) {
            *this = std::move(other);
            return;
        }
        if (!other.spilled_.empty()) {
            if (memory_count() == 0) {
                // Ours all spilled: theirs follow as they are.
                size_t first = first_index();
                size_t first_byte = this->first_byte();
                std::vector<SpilledRun> runs = std::move(spilled_);
                runs.insert(runs.end(), other.spilled_.begin(), other.spilled_.end());
                size_t count = spilled_count_ + other.spilled_count_;
                size_t bytes = spilled_bytes_ + other.spilled_bytes_;
                std::vector<std::string> firsts = std::move(first_records_);
                for (size_t i = 0; firsts.size() < 2 && i < other.first_records_.size(); ++i) {
                    firsts.push_back(other.first_records_[i]);
                }
                *this = std::move(other);
                spilled_ = std::move(runs);
                spilled_count_ = count;
                spilled_bytes_ = bytes;
                first_records_ = std::move(firsts);
                base_ = first + count;  // (the positions go on from ours)
                byte_base_ = first_byte + bytes;
                return;
            }
            other.load_spilled();  // (records on disk after records in memory: read back)
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
        spilled_.clear();
        spilled_count_ = spilled_bytes_ = 0;
        first_records_.clear();
        last_spilled_.clear();
    }

    // Reads the spilled runs back into memory (throws SpoolReadError): for the rare list
    // that must follow records in memory.
    void load_spilled() {
        if (spilled_.empty()) {
            return;
        }
        RecordList loaded;
        for (const SpilledRun& run : spilled_) {
            std::vector<uint32_t> sizes(run.count);
            read_spool_file(run.file->fd, reinterpret_cast<char*>(sizes.data()), 4 * run.count, run.sizes());
            std::string data(run.bytes, '\0');
            read_spool_file(run.file->fd, data.data(), run.bytes, run.data);
            size_t at = 0;
            for (uint32_t size : sizes) {
                if (size > data.size() - at) {
                    throw SpoolReadError(EIO);
                }
                loaded.push(std::string_view(data.data() + at, size));
                at += size;
            }
        }
        size_t first = first_index();
        size_t first_byte = this->first_byte();
        spilled_.clear();
        spilled_count_ = spilled_bytes_ = 0;
        first_records_.clear();
        last_spilled_.clear();
        loaded.append(std::move(*this));
        *this = std::move(loaded);
        base_ = first;
        byte_base_ = first_byte;
    }

    // The records' bytes in memory in order, as a few long runs (documents write the
    // spilled runs before them).
    template <class F>
    void for_each_run(F&& f) const {
        for (size_t i = first_chunk_; i < chunks_.size(); ++i) {
            size_t from = i == first_chunk_ ? head_offset_ : 0;
            if (chunks_[i].size > from) {
                f(std::string_view(chunks_[i].data.data() + from, chunks_[i].size - from));
            }
        }
    }

    // Each record in memory on its own (for inspection; documents use the runs).
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
    // position `from_byte` (see first_byte()); from the first record in memory if those
    // were dropped or spilled. Stops where `f` returns false.
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
                if (!f(std::string_view(chunks_[i].data.data() + offset, sizes_[index]))) {
                    return;
                }
                offset += sizes_[index++];
            }
        }
    }

    // The first `n` records (or all, if fewer), each on its own; `n` at most 2 once
    // records were spilled (copies of those two are kept in memory).
    template <class F>
    void for_first(size_t n, F&& f) const {
        size_t kept = std::min(n, first_records_.size());
        for (size_t i = 0; i < kept; ++i) {
            f(std::string_view(first_records_[i]));
        }
        // (the copies are every spilled record when there are fewer than two)
        for_first_in_memory(kept < spilled_count_ ? 0 : n - kept, f);
    }

    // The newest record; the list must not be empty.
    std::string_view last() const {
        if (memory_count() == 0) {
            return last_spilled_;
        }
        const Chunk& chunk = chunks_.back();  // records are pushed into the last chunk
        size_t size = sizes_.back();
        return {chunk.data.data() + chunk.size - size, size};
    }

private:
    template <class F>
    void for_first_in_memory(size_t n, F&& f) const {
        size_t index = head_;
        size_t end = head_ + std::min(n, memory_count());
        for (size_t i = first_chunk_; i < chunks_.size() && index < end; ++i) {
            size_t offset = i == first_chunk_ ? head_offset_ : 0;
            while (offset < chunks_[i].size && index < end) {
                f(std::string_view(chunks_[i].data.data() + offset, sizes_[index]));
                offset += sizes_[index++];
            }
        }
    }

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

    [[gnu::noinline]] void new_chunk(size_t at_least) {
        seal();
        // An eighth of what is held already, so the one chunk being filled never wastes
        // more than a small share of the list; past a megabyte, large mapped chunks (their
        // unused tail is given back when the list is sealed).
        // (Spilled records count: a list that spills keeps its large chunks.)
        size_t capacity = std::max(at_least, std::clamp(bytes() / 8, MIN_CHUNK, MAX_CHUNK));
        if (bytes() >= MAX_CHUNK) {
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
    // The position of the first record in memory: records dropped from the front since
    // the list was made, or spilled (and their bytes).
    size_t base_ = 0;
    size_t byte_base_ = 0;
    // The oldest records, in the spool's files (before those in memory).
    std::vector<SpilledRun> spilled_;
    size_t spilled_count_ = 0;
    size_t spilled_bytes_ = 0;
    std::vector<std::string> first_records_;  // copies of the first two, once spilled
    std::string last_spilled_;                // and of the last spilled
};

}  // namespace sarv
