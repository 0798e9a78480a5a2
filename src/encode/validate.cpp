#include "encode/validate.hpp"

#include <cstdint>
#include <vector>

namespace sarv {
namespace {

uint64_t big_endian(const unsigned char* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

// Strict UTF-8, as Python decodes it: no overlong forms, no surrogates, nothing past U+10FFFF.
bool valid_utf8(const unsigned char* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        uint32_t min, code;
        if ((c & 0xe0) == 0xc0) {
            extra = 1;
            min = 0x80;
            code = c & 0x1fu;
        } else if ((c & 0xf0) == 0xe0) {
            extra = 2;
            min = 0x800;
            code = c & 0x0fu;
        } else if ((c & 0xf8) == 0xf0) {
            extra = 3;
            min = 0x10000;
            code = c & 0x07u;
        } else {
            return false;
        }
        if (n - i <= extra) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xc0) != 0x80) {
                return false;
            }
            code = (code << 6) | (p[i + k] & 0x3f);
        }
        if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// The timestamp extension (type -1) must have one of its three forms, nanoseconds < 10^9.
bool valid_timestamp(const unsigned char* p, size_t n) {
    if (n == 4) {
        return true;
    }
    if (n == 8) {
        return (big_endian(p, 8) >> 34) < 1000000000;
    }
    return n == 12 && big_endian(p, 4) < 1000000000;
}

// What a value's first bytes say: its payload's length, or the values a container holds.
struct Head {
    uint64_t length = 0;    // payload bytes that follow
    uint64_t children = 0;  // for containers (a map's keys and values)
    bool container = false;
    bool map = false;
    bool text = false;
    int ext = 0;  // 0: no ext; else 1 + its type byte
};

// Reads the head of the value at `pos` (its first byte is there), leaving `pos` at its
// payload; the reason when it is malformed, else null.
const char* read_head(const unsigned char* p, size_t size, size_t& pos, Head& h) {
    auto need = [&](size_t n) { return size - pos >= n; };
    const unsigned char c = p[pos++];
    if (c <= 0x7f || c >= 0xe0 || c == 0xc0 || c == 0xc2 || c == 0xc3) {
    } else if (c <= 0x8f) {
        h.container = h.map = true, h.children = 2u * (c & 0x0f);
    } else if (c <= 0x9f) {
        h.container = true, h.children = c & 0x0f;
    } else if (c <= 0xbf) {
        h.text = true, h.length = c & 0x1f;
    } else if (c == 0xc1) {
        return "it uses the reserved byte 0xc1";
    } else if (c >= 0xc4 && c <= 0xc9) {
        size_t width = size_t{1} << ((c - 0xc4) % 3);  // bin 8/16/32, ext 8/16/32
        if (!need(width)) {
            return "it ends inside a value";
        }
        h.length = big_endian(p + pos, width);
        pos += width;
        h.ext = c >= 0xc7;
    } else if (c >= 0xca && c <= 0xd3) {
        static const uint8_t widths[] = {4, 8, 1, 2, 4, 8, 1, 2, 4, 8};
        h.length = widths[c - 0xca];
    } else if (c >= 0xd4 && c <= 0xd8) {
        h.length = uint64_t{1} << (c - 0xd4), h.ext = 1;
    } else if (c >= 0xd9 && c <= 0xdb) {
        size_t width = size_t{1} << (c - 0xd9);
        if (!need(width)) {
            return "it ends inside a value";
        }
        h.length = big_endian(p + pos, width), pos += width, h.text = true;
    } else {
        size_t width = (c == 0xdc || c == 0xde) ? 2 : 4;
        if (!need(width)) {
            return "it ends inside a value";
        }
        h.children = big_endian(p + pos, width), pos += width;
        h.container = true, h.map = c >= 0xde;
        if (h.map) {
            h.children *= 2;
        }
    }
    if (h.ext) {
        if (!need(1)) {
            return "it ends inside a value";
        }
        h.ext = 1 + p[pos++];
    }
    return nullptr;
}

}  // namespace

const char* check_msgpack_value(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    size_t pos = 0;
    // Values still to read in each open container, innermost last; a map counts its keys
    // and values, so an even count left means a key comes next.
    struct Open {
        uint64_t left;
        bool map;
    };
    thread_local std::vector<Open> open;  // keeps its capacity: no allocation per value
    open.clear();
    uint64_t top_level = 1;
    auto need = [&](size_t n) { return size - pos >= n; };
    while (top_level > 0 || !open.empty()) {
        if (!open.empty() && open.back().left == 0) {
            open.pop_back();
            continue;
        }
        bool key = !open.empty() && open.back().map && open.back().left % 2 == 0;
        if (open.empty()) {
            --top_level;
        } else {
            --open.back().left;
        }
        if (!need(1)) {
            return "it ends inside a value";
        }
        Head head;
        if (const char* fault = read_head(p, size, pos, head)) {
            return fault;
        }
        const auto [length, children, container, map, text, ext] = head;
        if (!need(length)) {
            return "it ends inside a value";
        }
        if (text && !valid_utf8(p + pos, length)) {
            return "a text is not valid UTF-8";
        }
        // Negative types are reserved for the format itself; readers refuse all but the
        // timestamp (-1).
        if (ext > 1 + 0x7f && ext != 1 + 0xff) {
            return "it uses a reserved extension type";
        }
        if (ext == 1 + 0xff && !valid_timestamp(p + pos, length)) {
            return "a timestamp extension is malformed";
        }
        pos += length;
        if (container) {
            if (key) {
                return "a map key is an array or a map";
            }
            if (open.size() >= MAX_MSGPACK_NESTING) {
                return "its containers are nested too deeply";
            }
            open.push_back(Open{children, map});
        }
    }
    return pos == size ? nullptr : "more than one value follows";
}

}  // namespace sarv
