// MessagePack writing. Every form is the smallest that holds the value; floats are always
// float 64 (0xcb). Records are encoded once and afterwards only spliced verbatim.
#pragma once

#include "common.hpp"

#include <msgpack/pack.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sarv {

// A growable byte buffer whose appends inline to a capacity check and a copy: records
// are assembled from a couple of dozen small pieces, on every recorded event.
// Copies `size` bytes. Most pieces of a record are a header, a key, a name or an id:
// copied with a few fixed-size moves, not a library call (two overlapping moves cover
// every size of a range). Every move stays within [from, from + size): GCC, inlining this
// where a source is a small array of unknown fill, cannot see that and warns.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif
[[gnu::always_inline]] inline void copy_bytes(char* to, const char* from, size_t size) {
    if (size > 64) {
        std::memcpy(to, from, size);
    } else if (size >= 32) {  // (a thread's entries, a path, the names of a method)
        std::memcpy(to, from, 32);
        std::memcpy(to + size - 32, from + size - 32, 32);
    } else if (size >= 16) {
        std::memcpy(to, from, 16);
        std::memcpy(to + size - 16, from + size - 16, 16);
    } else if (size >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + size - 8, from + size - 8, 8);
    } else if (size >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + size - 4, from + size - 4, 4);
    } else if (size > 0) {
        to[0] = from[0];
        to[size / 2] = from[size / 2];
        to[size - 1] = from[size - 1];
    }
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        return *this;
    }
    ~Buffer() { std::free(data_); }

    [[gnu::always_inline]] void append(const char* data, size_t size) {
        if (size > capacity_ - size_) {
            grow(size);
        }
        copy_bytes(data_ + size_, data, size);
        size_ += size;
    }
    void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }
    // Room for `size` more bytes, which the caller fills: one capacity check for many pieces.
    [[gnu::always_inline]] char* extend(size_t size) {
        if (size > capacity_ - size_) {
            grow(size);
        }
        char* at = data_ + size_;
        size_ += size;
        return at;
    }
    [[gnu::always_inline]] void push_back(char c) {
        if (size_ == capacity_) {
            grow(1);
        }
        data_[size_++] = c;
    }
    void reserve(size_t capacity) {
        if (capacity > capacity_) {
            grow(capacity - size_);
        }
    }
    // Only ever used to cut back to an earlier size.
    void resize(size_t size) { size_ = size < size_ ? size : size_; }
    void clear() { size_ = 0; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const char* data() const { return data_; }
    char* data() { return data_; }
    std::string_view view() const { return {data_, size_}; }

private:
    // Out of line: every inlined append pays only for the capacity test.
    [[gnu::noinline]] void grow(size_t extra) {
        size_t wanted = size_ + extra;
        size_t capacity = capacity_ ? capacity_ : 256;
        while (capacity < wanted) {
            capacity *= 2;
        }
        char* grown = static_cast<char*>(std::realloc(data_, capacity));
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        data_ = grown;
        capacity_ = capacity;
    }

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Sinks the packer writes into: a growable buffer, a size counter, and a region sized
// beforehand by the counter (count, then write: a document goes straight into its final
// bytes object).
struct BufferSink {
    Buffer* out;
    void write(const char* data, size_t size) { out->append(data, size); }
};
struct CountingSink {
    size_t size = 0;
    void write(const char*, size_t n) { size += n; }
};
// Never writes past its end: a count and a writing that disagree are an internal fault,
// not a heap overrun; finish() checks that the region was filled exactly.
struct BoundedSink {
    char* cursor;
    char* end;
    void write(const char* data, size_t size) {
        if (size > static_cast<size_t>(end - cursor)) {
            throw InternalFault("MessagePack writing outgrew the room counted for it");
        }
        std::memcpy(cursor, data, size);
        cursor += size;
    }
    void finish() const {
        if (cursor != end) {
            throw InternalFault("MessagePack writing left room counted for it unfilled");
        }
    }
};

// Count, then write: the same code runs twice over a Room, first counting (Room<false>),
// then writing into room made for exactly the count (Room<true>). Both passes advance by
// the same amounts, computed by the same code, so the writing pass lands only where the
// counting pass measured; one capacity check serves many small pieces, and no byte count
// is summed by hand. write_counted confirms that the room was filled exactly.
template <bool Writing>
class Room {
public:
    Room() = default;                         // counting
    explicit Room(char* room) : base_(room) {}  // writing
    void put(std::string_view bytes) {
        if constexpr (Writing) {
            copy_bytes(base_ + size_, bytes.data(), bytes.size());
        }
        size_ += bytes.size();
    }
    void byte(uint8_t b) {
        if constexpr (Writing) {
            base_[size_] = static_cast<char>(b);
        }
        ++size_;
    }
    // The forms MsgpackWriter writes: fixstr, str 8, 16 or 32; float 64.
    void str_header(size_t size) {
        if (size < 32) {
            byte(static_cast<uint8_t>(0xa0 | size));
        } else if (size < 256) {
            sized(0xd9, size, 1);
        } else if (size < 65536) {
            sized(0xda, size, 2);
        } else {
            sized(0xdb, size, 4);
        }
    }
    void f64(double value) {
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof(bits));
        sized(0xcb, bits, 8);
    }
    size_t size() const { return size_; }

private:
    // A type byte followed by `value` in `bytes` big-endian bytes.
    void sized(uint8_t type, uint64_t value, int bytes) {
        if constexpr (Writing) {
            char* at = base_ + size_;
            *at++ = static_cast<char>(type);
            for (int i = bytes - 1; i >= 0; --i) {
                *at++ = static_cast<char>(static_cast<uint8_t>(value >> (8 * i)));
            }
        }
        size_ += 1 + static_cast<size_t>(bytes);
    }

    char* base_ = nullptr;
    size_t size_ = 0;
};

// Appends what `write(room)` writes, counted first; `write` takes either kind of Room.
template <class Buf, class Write>
void write_counted(Buf& buffer, Write&& write) {
    Room<false> counter;
    write(counter);
    Room<true> room(buffer.extend(counter.size()));
    write(room);
    if (room.size() != counter.size()) {
        throw InternalFault("a record's writing and its count disagree");
    }
}

template <class Sink>
class MsgpackWriter {
public:
    explicit MsgpackWriter(Sink& sink) : sink_(sink), packer_(sink) {}

    void str(std::string_view text) {
        str_header(text.size());
        raw(text);
    }
    // The header of a text of `size` bytes; the caller appends exactly that many.
    void str_header(size_t size) { packer_.pack_str(static_cast<uint32_t>(size)); }
    // The same for a byte string (bin 8/16/32).
    void bin_header(size_t size) { packer_.pack_bin(static_cast<uint32_t>(size)); }
    void uint(uint64_t value) { packer_.pack_uint64(value); }
    void sint(int64_t value) { packer_.pack_int64(value); }
    // The library writes 0xcb for every double, whole numbers included; tests pin it.
    void f64(double value) { packer_.pack_double(value); }
    void nil() { packer_.pack_nil(); }
    void boolean(bool value) { value ? packer_.pack_true() : packer_.pack_false(); }
    void map_header(size_t count) { packer_.pack_map(static_cast<uint32_t>(count)); }
    void array_header(size_t count) { packer_.pack_array(static_cast<uint32_t>(count)); }
    void raw(std::string_view bytes) { sink_.write(bytes.data(), bytes.size()); }

    void str_pair(std::string_view key, std::optional<std::string_view> value) {
        str(key);
        if (value) {
            str(*value);
        } else {
            nil();
        }
    }
    void int_pair(std::string_view key, uint64_t value) {
        str(key);
        uint(value);
    }
    void f64_pair(std::string_view key, double value) {
        str(key);
        f64(value);
    }
    // The value must hold exactly one complete MessagePack value; it is left empty.
    void raw_pair(std::string_view key, std::string& value) {
        str(key);
        raw(value);
        value.clear();
    }
    // Array of pre-encoded records; the header counts elements.
    void raw_frames(const std::vector<std::string>& frames) {
        array_header(frames.size());
        for (const auto& frame : frames) {
            raw(frame);
        }
    }
    // The same for records kept back to back: `list` has count() and for_each_run().
    template <class List>
    void raw_frame_runs(const List& list) {
        array_header(list.count());
        list.for_each_run([this](std::string_view run) { raw(run); });
    }

private:
    Sink& sink_;
    msgpack::packer<Sink> packer_;
};

// An int in its smallest form, as MsgpackWriter::sint writes it (at most 9 bytes).
struct IntBytes {
    char bytes[9];
    size_t size = 0;
    void write(const char* data, size_t n) {
        std::memcpy(bytes + size, data, n);
        size += n;
    }
    explicit IntBytes(int64_t value) { MsgpackWriter<IntBytes>(*this).sint(value); }
    std::string_view view() const { return {bytes, size}; }
};

// Convenience wrappers over a growable buffer.
inline void write_str_pair(Buffer& buf, std::string_view key, std::optional<std::string_view> value) {
    BufferSink sink{&buf};
    MsgpackWriter<BufferSink>(sink).str_pair(key, value);
}
inline void write_int_pair(Buffer& buf, std::string_view key, uint64_t value) {
    BufferSink sink{&buf};
    MsgpackWriter<BufferSink>(sink).int_pair(key, value);
}
inline void write_f64_pair(Buffer& buf, std::string_view key, double value) {
    BufferSink sink{&buf};
    MsgpackWriter<BufferSink>(sink).f64_pair(key, value);
}
inline void write_raw_pair(Buffer& buf, std::string_view key, std::string& value) {
    BufferSink sink{&buf};
    MsgpackWriter<BufferSink>(sink).raw_pair(key, value);
}
inline void write_raw_frames(Buffer& buf, std::vector<std::string>&& frames) {
    BufferSink sink{&buf};
    MsgpackWriter<BufferSink>(sink).raw_frames(frames);
    frames.clear();
}

}  // namespace sarv
