// Reading a trace document without decoding it: MessagePack skipped and measured in place,
// the parts of a frame record the comparison needs found by position, and the hashes of
// values (object addresses left out). Used by the reading loop of `sarv diff`.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common.hpp"

namespace sarv::diff {

using Byte = unsigned char;

// A Python error is set: unwinds to the entry point, which returns null.
struct PythonError {};

[[noreturn]] inline void raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    throw PythonError{};
}

// ---- hashes

inline uint64_t finish(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

// Eight bytes a step: the values of a million records are hundreds of megabytes.
class Hasher {
public:
    void word(uint64_t w) { h_ = std::rotl(h_ ^ (w * 0xc2b2ae3d27d4eb4fULL), 31) * 0x9e3779b97f4a7c15ULL; }
    void bytes(const Byte* p, size_t n) {
        word(n);  // (so that the parts hashed one after the other stay apart)
        for (; n >= 8; p += 8, n -= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            word(w);
        }
        if (n != 0) {
            uint64_t w = 0;
            std::memcpy(&w, p, n);
            word(w);
        }
    }
    // Never 0, which marks "no record" in the arrays.
    int64_t done() const {
        uint64_t v = finish(h_);
        return v == 0 ? 1 : static_cast<int64_t>(v);
    }

private:
    uint64_t h_ = 0x9e3779b97f4a7c15ULL;
};

inline int64_t combine(int64_t a, int64_t b) {
    Hasher h;
    h.word(static_cast<uint64_t>(a));
    h.word(static_cast<uint64_t>(b));
    return h.done();
}

inline bool is_hex(Byte b) { return (b >= '0' && b <= '9') || ((b | 0x20) >= 'a' && (b | 0x20) <= 'f'); }

inline constexpr std::string_view AT = " at 0x";

// The bytes hashed with object addresses (" at 0x" and 4 hex digits or more) left out:
// they differ from run to run whatever the program does.
inline void hash_masked(Hasher& h, const Byte* p, size_t n, std::string& scratch) {
    const Byte* end = p + n;
    auto next = [&](const Byte* from) {
        return static_cast<const Byte*>(memmem(from, static_cast<size_t>(end - from), AT.data(), AT.size()));
    };
    const Byte* found = next(p);
    if (found == nullptr) {
        h.bytes(p, n);
        return;
    }
    scratch.clear();
    const Byte* from = p;
    while (found != nullptr) {
        const Byte* digits = found + AT.size();
        const Byte* q = digits;
        while (q < end && is_hex(*q)) {
            ++q;
        }
        scratch.append(reinterpret_cast<const char*>(from), static_cast<size_t>(digits - from));
        if (q - digits >= 4) {
            scratch.push_back('?');
            from = q;
        } else {
            from = digits;
        }
        found = next(from);
    }
    scratch.append(reinterpret_cast<const char*>(from), static_cast<size_t>(end - from));
    h.bytes(reinterpret_cast<const Byte*>(scratch.data()), scratch.size());
}

// ---- MessagePack, read without decoding

inline uint64_t big_endian(const Byte* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

[[noreturn]] inline void malformed() { raise_value_error("the trace document is malformed"); }

// The end of the value that begins at p, or null when the bytes end first.
inline const Byte* skip(const Byte* p, const Byte* end) {
    uint64_t pending = 1;
    while (pending != 0) {
        if (p >= end) {
            return nullptr;
        }
        const Byte b = *p++;
        --pending;
        if (b <= 0x7f || b >= 0xe0) {
            continue;
        }
        if (b <= 0x8f) {
            pending += 2 * (b & 0x0fu);
            continue;
        }
        if (b <= 0x9f) {
            pending += b & 0x0fu;
            continue;
        }
        size_t n = 0;      // bytes that follow
        int length = 0;    // of which the first `length` bytes count the rest
        size_t extra = 0;  // bytes after the count (an extension's type)
        if (b <= 0xbf) {
            n = b & 0x1fu;
        } else {
            switch (b) {
                case 0xc0:
                case 0xc2:
                case 0xc3: continue;
                case 0xcc:
                case 0xd0: n = 1; break;
                case 0xcd:
                case 0xd1:
                case 0xd4: n = 2; break;
                case 0xd5: n = 3; break;
                case 0xca:
                case 0xce:
                case 0xd2: n = 4; break;
                case 0xd6: n = 5; break;
                case 0xcb:
                case 0xcf:
                case 0xd3: n = 8; break;
                case 0xd7: n = 9; break;
                case 0xd8: n = 17; break;
                case 0xc4:
                case 0xd9: length = 1; break;
                case 0xc5:
                case 0xda: length = 2; break;
                case 0xc6:
                case 0xdb: length = 4; break;
                case 0xc7: length = 1, extra = 1; break;
                case 0xc8: length = 2, extra = 1; break;
                case 0xc9: length = 4, extra = 1; break;
                case 0xdc:
                case 0xdd:
                case 0xde:
                case 0xdf: {
                    const int size = (b & 1) == 0 ? 2 : 4;
                    if (end - p < size) {
                        return nullptr;
                    }
                    const uint64_t count = big_endian(p, size);
                    pending += b >= 0xde ? 2 * count : count;
                    p += size;
                    continue;
                }
                default: malformed();
            }
        }
        if (length != 0) {
            if (end - p < length) {
                return nullptr;
            }
            n = big_endian(p, length) + static_cast<size_t>(length) + extra;
        }
        if (static_cast<size_t>(end - p) < n) {
            return nullptr;
        }
        p += n;
    }
    return p;
}

// A text's bytes (p at its header), or false for any other value.
inline bool text_of(const Byte* p, const Byte* end, std::string_view& out) {
    size_t n;
    const Byte* q;
    if ((*p & 0xe0) == 0xa0) {
        n = *p & 0x1fu;
        q = p + 1;
    } else if (*p == 0xd9 || *p == 0xda || *p == 0xdb) {
        const int size = 1 << (*p - 0xd9);
        n = big_endian(p + 1, size);
        q = p + 1 + size;
    } else {
        return false;
    }
    if (q > end || static_cast<size_t>(end - q) < n) {
        return false;
    }
    out = std::string_view(reinterpret_cast<const char*>(q), n);
    return true;
}

inline bool unsigned_of(const Byte* p, uint64_t& out) {
    if (*p <= 0x7f) {
        out = *p;
        return true;
    }
    if (*p >= 0xcc && *p <= 0xcf) {
        out = big_endian(p + 1, 1 << (*p - 0xcc));
        return true;
    }
    return false;
}

// Reads a map's or an array's header at p (`base` 0x80 for maps, 0x90 for arrays): false
// when the bytes end first.
inline bool header(const Byte* p, const Byte* end, Byte base, uint64_t& count, size_t& size) {
    if (p >= end) {
        return false;
    }
    const Byte sized16 = base == 0x80 ? 0xde : 0xdc;
    if ((*p & 0xf0) == base) {
        count = *p & 0x0fu;
        size = 1;
    } else if (*p == sized16 || *p == sized16 + 1) {
        size = *p == sized16 ? 3 : 5;
        if (static_cast<size_t>(end - p) < size) {
            return false;
        }
        count = big_endian(p + 1, static_cast<int>(size) - 1);
    } else {
        malformed();
    }
    return true;
}

// ---- frame records

inline constexpr size_t ID_SIZE = 30;  // "frm_" and a ULID

struct FrameId {
    std::array<Byte, ID_SIZE> bytes{};
    bool present = false;
    bool operator==(const FrameId& other) const { return present == other.present && bytes == other.bytes; }
};

// The parts of one frame record that the comparison reads, as places in the record.
struct FrameView {
    bool frame = false;       // a frame record of the layout the core writes
    const Byte* function = nullptr;     // from "path" to "event": file and line, names
    const Byte* event = nullptr;        //
    bool call = false;        // else a return
    FrameId id;               //
    const Byte* values = nullptr;       // "arg" and "locals", up to "thread"
    const Byte* thread = nullptr;       //
    std::string_view name;    // the thread's
    uint64_t native_id = 0;   //
    double timestamp = 0.0;   //
    const Byte* tail = nullptr;         // the caller's line, how the call ended ("resumes" left out)
    const Byte* tail_end = nullptr;     //
    bool raised = false;      //
};

inline constexpr std::string_view FRAME_KEYS[12] = {"\xa4path",      "\xa7" "co_name",  "\xa8qualname",
                                                    "\xa5" "event",  "\xa8" "frame_id", "\xa3" "arg",
                                                    "\xa6locals",    "\xa6thread",      "\xb0thread_native_id",
                                                    "\xa9timestamp", "\xa4type",        "\xb3user_code_call_site"};
inline constexpr std::string_view K_RESUMES = "\xa7resumes";
inline constexpr std::string_view K_END = "\xa3" "end";
inline constexpr std::string_view RAISED = "\xa6raised";

inline bool bytes_are(const Byte* p, const Byte* end, std::string_view text) {
    return static_cast<size_t>(end - p) == text.size() && std::memcmp(p, text.data(), text.size()) == 0;
}

// One entry of a frame record read into the view.
inline void frame_entry(FrameView& v, size_t i, const Byte* key, const Byte* value, const Byte* after) {
    if (i >= 12) {
        if (bytes_are(key, value, K_RESUMES)) {
            v.tail_end = v.tail_end != nullptr ? v.tail_end : key;
        } else if (v.tail_end == nullptr && bytes_are(key, value, K_END) && bytes_are(value, after, RAISED)) {
            v.raised = true;
        }
        return;
    }
    if (!bytes_are(key, value, FRAME_KEYS[i])) {
        v.frame = false;
        return;
    }
    switch (i) {
        case 3:
            v.event = key;
            v.call = bytes_are(value, after, "\xa4" "call");
            v.frame = v.call || bytes_are(value, after, "\xa6return");
            break;
        case 4:
            v.id.present = *value == 0xa0 + ID_SIZE;
            if (v.id.present) {
                std::memcpy(v.id.bytes.data(), value + 1, ID_SIZE);
            }
            break;
        case 5: v.values = key; break;
        case 7:
            v.thread = key;
            v.frame = text_of(value, after, v.name);
            break;
        case 8: v.frame = unsigned_of(value, v.native_id); break;
        case 9:
            v.frame = *value == 0xcb;
            if (v.frame) {
                v.timestamp = std::bit_cast<double>(big_endian(value + 1, 8));
            }
            break;
        case 11:
            // A caller: its id is left out (it differs in every run), its line is kept.
            v.tail = after;
            if (*value == 0x82) {
                const Byte* first_value = skip(value + 1, after);
                v.tail = first_value != nullptr ? skip(first_value, after) : nullptr;
                v.frame = v.tail != nullptr;
            }
            break;
        default: break;
    }
}

// The record that begins at p: its end, or null when the bytes end first. `v` says whether
// it is a frame record and where its parts are.
inline const Byte* read_record(const Byte* p, const Byte* end, FrameView& v) {
    v = FrameView{};
    uint64_t count;
    if ((*p & 0xf0) == 0x80) {
        count = *p & 0x0fu;
        ++p;
    } else if (*p == 0xde) {
        if (end - p < 3) {
            return nullptr;
        }
        count = big_endian(p + 1, 2);
        p += 3;
    } else {
        return skip(p, end);
    }
    v.frame = count >= 12;
    v.function = p;
    for (uint64_t i = 0; i < count; ++i) {
        const Byte* key = p;
        const Byte* value = skip(key, end);
        if (value == nullptr) {
            return nullptr;
        }
        p = skip(value, end);
        if (p == nullptr) {
            return nullptr;
        }
        if (v.frame) {
            frame_entry(v, static_cast<size_t>(i), key, value, p);
        }
    }
    if (v.tail_end == nullptr) {
        v.tail_end = p;
    }
    return p;
}

}  // namespace sarv::diff
