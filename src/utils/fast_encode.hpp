// Native encoding of plain values, byte for byte as the companion package's serialisers
// write them (sarv.serialize: dump_msgpack and dump_msgpack_lightweight_repr). Only values
// whose encoding involves no Python code and no cutting are taken; every other value is
// declined and left to the companion package.
#pragma once

#include "common.hpp"
#include "utils/msgpack_write.hpp"

namespace sarv {

// Appends the encoding of `obj` to `out` and returns true; or returns false with `out` as
// it was. Never runs Python code, never leaves a Python error set.
bool encode_plain(PyObject* obj, Buffer& out);
bool encode_plain_light(PyObject* obj, Buffer& out);

// Whether `function` is the serialiser of sarv._speedups (the lightweight one when
// `lightweight`), which tries encode_plain / encode_plain_light before anything else.
bool is_speedups_serialiser(PyObject* function, bool lightweight);

}  // namespace sarv
