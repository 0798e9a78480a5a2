// Texts the value encoder builds: UTF-8 as the walker's packer writes it, with the length
// in characters that the walker's limits count.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "common.hpp"

namespace sarv::values {

// Characters of valid UTF-8: the bytes that start one.
inline long utf8_chars(std::string_view s) {
    long n = 0;
    for (char c : s) {
        n += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    }
    return n;
}

// The UTF-8 of `n` characters of a str from character `from`, lone surrogates written as
// "\udc80" (the "backslashreplace" error handler); `escaped` tells whether any was.
template <class Out>
void str_utf8(PyObject* s, Py_ssize_t from, Py_ssize_t n, Out& out, bool& escaped) {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    if (kind == PyUnicode_1BYTE_KIND && PyUnicode_IS_ASCII(s)) {
        out.append(static_cast<const char*>(data) + from, static_cast<size_t>(n));
        return;
    }
    char buf[64];
    size_t used = 0;
    for (Py_ssize_t i = from; i < from + n; ++i) {
        if (used > sizeof buf - 10) {
            out.append(buf, used);
            used = 0;
        }
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) {
            buf[used++] = static_cast<char>(c);
        } else if (c < 0x800) {
            buf[used++] = static_cast<char>(0xc0 | (c >> 6));
            buf[used++] = static_cast<char>(0x80 | (c & 0x3f));
        } else if (c >= 0xd800 && c <= 0xdfff) {
            static const char hex[] = "0123456789abcdef";
            buf[used++] = '\\';
            buf[used++] = 'u';
            for (int shift = 12; shift >= 0; shift -= 4) {
                buf[used++] = hex[(c >> shift) & 0xf];
            }
            escaped = true;
        } else if (c < 0x10000) {
            buf[used++] = static_cast<char>(0xe0 | (c >> 12));
            buf[used++] = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            buf[used++] = static_cast<char>(0x80 | (c & 0x3f));
        } else {
            buf[used++] = static_cast<char>(0xf0 | (c >> 18));
            buf[used++] = static_cast<char>(0x80 | ((c >> 12) & 0x3f));
            buf[used++] = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            buf[used++] = static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    out.append(buf, used);
}

// Counts what str_utf8 would append.
struct SizeCounter {
    size_t size = 0;
    void append(const char*, size_t n) { size += n; }
};

struct StringOut {
    std::string* s;
    void append(const char* p, size_t n) { s->append(p, n); }
};

struct Text {
    std::string utf8;
    long chars = 0;
    bool escaped = false;  // holds escaped lone surrogates

    Text& ascii(std::string_view s) {
        utf8.append(s);
        chars += static_cast<long>(s.size());
        return *this;
    }
    Text& utf8_text(std::string_view s) {
        utf8.append(s);
        chars += utf8_chars(s);
        return *this;
    }
    Text& text(const Text& t) {
        utf8.append(t.utf8);
        chars += t.chars;
        escaped = escaped || t.escaped;
        return *this;
    }
    Text& str(PyObject* s) {
        StringOut o{&utf8};
        str_utf8(s, 0, PyUnicode_GET_LENGTH(s), o, escaped);
        chars += static_cast<long>(PyUnicode_GET_LENGTH(s));
        return *this;
    }
    template <class Int>
    Text& number(Int v) {
        char buf[32];
        char* end = std::to_chars(buf, buf + sizeof buf, v).ptr;
        return ascii(std::string_view(buf, static_cast<size_t>(end - buf)));
    }
};

}  // namespace sarv::values
