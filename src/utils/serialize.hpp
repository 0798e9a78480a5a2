// The companion package's value encoders, reached through the interpreter's module cache.
#pragma once

#include "common.hpp"
#include "utils/msgpack_write.hpp"

namespace sarv {

// Appends sarv.serialize.dump_msgpack(obj) (or its lightweight variant) to `out`. On
// failure `out` is left as it was and a Python error is set.
bool dump_msgpack_into(PyObject* obj, bool lightweight, Buffer& out);

// Converts a serialiser result to bytes: bytes and bytearray in one copy, other sequences
// item by item (each an int 0..255); a str is refused.
bool append_byte_sequence(PyObject* result, Buffer& out);

}  // namespace sarv
