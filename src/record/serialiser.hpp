// The companion package's value encoders, reached through the interpreter's module cache.
#pragma once

#include "common.hpp"
#include "values/api.hpp"
#include "encode/msgpack_write.hpp"
#include "encode/validate.hpp"

namespace sarv {

// Appends sarv.serialize.dump_msgpack(obj) (or its lightweight variant) to `out`. On
// failure `out` is left as it was and a Python error is set.
bool dump_msgpack_into(PyObject* obj, bool lightweight, Buffer& out);

// Converts a serialiser result to bytes: bytes and bytearray in one copy, other sequences
// item by item (each an int 0..255); a str is refused.
bool append_byte_sequence(PyObject* result, Buffer& out);

// dump_msgpack_into for a value spliced into a record: the result must also be exactly one
// MessagePack value that readers can decode (check_msgpack_value), else ValueError and
// `out` is left as it was. One bad result must not make the whole trace unreadable.
bool dump_msgpack_value_into(PyObject* obj, bool lightweight, Buffer& out);

// The same for several values of one event: the serialiser is looked up once, and again
// only after Python code has run (which may have replaced it).
class ValueSerialiser {
public:
    explicit ValueSerialiser(bool lightweight) : lightweight_(lightweight) {}
    bool dump_into(PyObject* obj, Buffer& out);
    // What dump_into gives for a dict of these n entries in this order (a dict is made
    // only when the serialiser is not the native one, or the native one declines).
    bool dump_entries_into(PyObject* const* keys, const Ref* values, size_t n, Buffer& out);

private:
    // The usual path (the kept serialiser, its native encoder) stays small: what may run
    // Python code is out of line.
    bool find();
    [[gnu::noinline]] bool call_into(PyObject* obj, Buffer& out);
    [[gnu::noinline]] bool call_with_dict(PyObject* const* keys, const Ref* values, size_t n, Buffer& out);

    bool lightweight_;
    values::NativeEncoders native_;
    Ref function_;
};

}  // namespace sarv
