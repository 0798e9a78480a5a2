// MessagePack forms written straight into a Buffer, always the smallest one, as msgpack's
// own packer writes them (use_bin_type, float 64).
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "encode/msgpack_write.hpp"

namespace sarv::values {

[[gnu::always_inline]] inline void put_be(char* at, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        *at++ = static_cast<char>(v >> (8 * i));
    }
}

[[gnu::always_inline]] inline void pack_nil(Buffer& out) { out.push_back('\xc0'); }
[[gnu::always_inline]] inline void pack_bool(Buffer& out, bool v) { out.push_back(v ? '\xc3' : '\xc2'); }

[[gnu::always_inline]] inline void pack_uint(Buffer& out, uint64_t v) {
    if (v < 0x80) {
        out.push_back(static_cast<char>(v));
    } else if (v < 0x100) {
        char* at = out.extend(2);
        at[0] = '\xcc';
        at[1] = static_cast<char>(v);
    } else if (v < 0x10000) {
        char* at = out.extend(3);
        at[0] = '\xcd';
        put_be(at + 1, v, 2);
    } else if (v < 0x100000000ULL) {
        char* at = out.extend(5);
        at[0] = '\xce';
        put_be(at + 1, v, 4);
    } else {
        char* at = out.extend(9);
        at[0] = '\xcf';
        put_be(at + 1, v, 8);
    }
}

[[gnu::always_inline]] inline void pack_int(Buffer& out, int64_t v) {
    if (v >= 0) {
        pack_uint(out, static_cast<uint64_t>(v));
    } else if (v >= -32) {
        out.push_back(static_cast<char>(v));
    } else if (v >= -128) {
        char* at = out.extend(2);
        at[0] = '\xd0';
        at[1] = static_cast<char>(v);
    } else if (v >= -32768) {
        char* at = out.extend(3);
        at[0] = '\xd1';
        put_be(at + 1, static_cast<uint64_t>(v), 2);
    } else if (v >= -2147483648LL) {
        char* at = out.extend(5);
        at[0] = '\xd2';
        put_be(at + 1, static_cast<uint64_t>(v), 4);
    } else {
        char* at = out.extend(9);
        at[0] = '\xd3';
        put_be(at + 1, static_cast<uint64_t>(v), 8);
    }
}

[[gnu::always_inline]] inline void pack_f64(Buffer& out, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    char* at = out.extend(9);
    at[0] = '\xcb';
    put_be(at + 1, bits, 8);
}

inline void pack_str_header(Buffer& out, size_t n) {
    if (n < 32) {
        out.push_back(static_cast<char>(0xa0 | n));
    } else if (n < 0x100) {
        char* at = out.extend(2);
        at[0] = '\xd9';
        at[1] = static_cast<char>(n);
    } else if (n < 0x10000) {
        char* at = out.extend(3);
        at[0] = '\xda';
        put_be(at + 1, n, 2);
    } else {
        char* at = out.extend(5);
        at[0] = '\xdb';
        put_be(at + 1, n, 4);
    }
}

[[gnu::noinline]] inline void pack_long_str(Buffer& out, std::string_view s) {
    pack_str_header(out, s.size());
    out.append(s.data(), s.size());
}

[[gnu::always_inline]] inline void pack_str(Buffer& out, std::string_view s) {
    if (s.size() < 32) {  // most texts are names: header and text in one piece
        char* at = out.extend(1 + s.size());
        at[0] = static_cast<char>(0xa0 | s.size());
        copy_bytes(at + 1, s.data(), s.size());
        return;
    }
    pack_long_str(out, s);
}

inline void pack_bin_header(Buffer& out, size_t n) {
    if (n < 0x100) {
        char* at = out.extend(2);
        at[0] = '\xc4';
        at[1] = static_cast<char>(n);
    } else if (n < 0x10000) {
        char* at = out.extend(3);
        at[0] = '\xc5';
        put_be(at + 1, n, 2);
    } else {
        char* at = out.extend(5);
        at[0] = '\xc6';
        put_be(at + 1, n, 4);
    }
}

inline void pack_bin(Buffer& out, std::string_view b) {
    pack_bin_header(out, b.size());
    out.append(b.data(), b.size());
}

// Array (0x90) or map (0x80) headers.
[[gnu::always_inline]] inline size_t container_header_size(size_t n) { return n < 16 ? 1 : n < 0x10000 ? 3 : 5; }

[[gnu::always_inline]] inline void write_container_header(char* at, size_t n, bool map) {
    if (n < 16) {
        at[0] = static_cast<char>((map ? 0x80 : 0x90) | n);
    } else if (n < 0x10000) {
        at[0] = map ? '\xde' : '\xdc';
        put_be(at + 1, n, 2);
    } else {
        at[0] = map ? '\xdf' : '\xdd';
        put_be(at + 1, n, 4);
    }
}

[[gnu::always_inline]] inline void pack_array_header(Buffer& out, size_t n) {
    write_container_header(out.extend(container_header_size(n)), n, false);
}
[[gnu::always_inline]] inline void pack_map_header(Buffer& out, size_t n) {
    write_container_header(out.extend(container_header_size(n)), n, true);
}

// Extension types (fixext 1/2/4/8/16, else ext 8/16/32).
inline void pack_ext_header(Buffer& out, int8_t code, size_t n) {
    switch (n) {
        case 1: out.push_back('\xd4'); break;
        case 2: out.push_back('\xd5'); break;
        case 4: out.push_back('\xd6'); break;
        case 8: out.push_back('\xd7'); break;
        case 16: out.push_back('\xd8'); break;
        default:
            if (n < 0x100) {
                char* at = out.extend(2);
                at[0] = '\xc7';
                at[1] = static_cast<char>(n);
            } else if (n < 0x10000) {
                char* at = out.extend(3);
                at[0] = '\xc8';
                put_be(at + 1, n, 2);
            } else {
                char* at = out.extend(5);
                at[0] = '\xc9';
                put_be(at + 1, n, 4);
            }
    }
    out.push_back(static_cast<char>(code));
}

// The timestamp extension (type -1) in the smallest of its three forms.
inline void pack_timestamp(Buffer& out, int64_t seconds, uint32_t nanoseconds) {
    if ((static_cast<uint64_t>(seconds) >> 34) == 0) {
        uint64_t data64 = (static_cast<uint64_t>(nanoseconds) << 34) | static_cast<uint64_t>(seconds);
        if ((data64 & 0xffffffff00000000ULL) == 0) {
            char* at = out.extend(6);
            at[0] = '\xd6';
            at[1] = '\xff';
            put_be(at + 2, data64, 4);
        } else {
            char* at = out.extend(10);
            at[0] = '\xd7';
            at[1] = '\xff';
            put_be(at + 2, data64, 8);
        }
    } else {
        char* at = out.extend(15);
        at[0] = '\xc7';
        at[1] = 12;
        at[2] = '\xff';
        put_be(at + 3, nanoseconds, 4);
        put_be(at + 7, static_cast<uint64_t>(seconds), 8);
    }
}

}  // namespace sarv::values
