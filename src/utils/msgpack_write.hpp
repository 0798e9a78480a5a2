// MessagePack writing. Every form is the smallest that holds the value; floats are always
// float 64 (0xcb). Records are encoded once and afterwards only spliced verbatim.
#pragma once

#include <msgpack/pack.hpp>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sarv {

using Buffer = std::string;

// Sinks the packer writes into: a growable buffer, a size counter, and a fixed region
// sized beforehand (used to write a document straight into its final bytes object).
struct BufferSink {
    Buffer* out;
    void write(const char* data, size_t size) { out->append(data, size); }
};
struct CountingSink {
    size_t size = 0;
    void write(const char*, size_t n) { size += n; }
};
struct FixedSink {
    char* cursor;
    void write(const char* data, size_t size) {
        std::memcpy(cursor, data, size);
        cursor += size;
    }
};

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

private:
    Sink& sink_;
    msgpack::packer<Sink> packer_;
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
