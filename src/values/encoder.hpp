// The value encoder: any Python value as exactly one MessagePack value, byte for byte as
// sarv.serialize's reference walker writes it (its docstring describes the format), without
// running code of the program. Values are written whole while they are plain data within
// EXACT_MAX_BYTES, else through the capped walk; no value is read past its caps. The value
// under a name that holds a secret (redact.hpp) is written as "[redacted]": by the capped
// walk, which therefore writes any value whose plain data holds such a name.
#pragma once

#include "common.hpp"
#include "encode/msgpack_write.hpp"

namespace sarv::values {

enum class Outcome : uint8_t {
    Done,      // appended to `out`
    Declined,  // `out` as it was: a value this encoder does not write (the Python walker does)
    Failed,    // `out` as it was, a Python error set (one that is not an Exception, or init failed)
};

// sarv.serialize.dump_msgpack(obj)
Outcome encode(PyObject* obj, Buffer& out);
// sarv.serialize.dump_msgpack_lightweight_repr(obj)
Outcome encode_light(PyObject* obj, Buffer& out);
// The same for a dict of these n entries (distinct str keys), without making the dict.
Outcome encode_entries(PyObject* const* keys, const Ref* values, size_t n, Buffer& out);
Outcome encode_entries_light(PyObject* const* keys, const Ref* values, size_t n, Buffer& out);

// Counts since the process started: values encoded, values declined.
struct Counts {
    uint64_t encoded = 0;
    uint64_t declined = 0;
};
Counts counts();

}  // namespace sarv::values
