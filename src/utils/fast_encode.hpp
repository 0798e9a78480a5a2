// Native encoding of plain values, byte for byte as the companion package's serialisers
// write them (sarv.serialize: dump_msgpack and dump_msgpack_lightweight_repr). Only values
// whose encoding involves no Python code and no cutting are taken; every other value is
// declined and left to the companion package.
#pragma once

#include "common.hpp"
#include "utils/msgpack_write.hpp"

namespace sarv {

// How the companion writes instances of a class: not as an object map (Other), as
// {"__class__": name} (ClassOnly), or with the entries of their instance __dict__ (OwnDict).
enum class TypeKind : int { Other = 0, ClassOnly = 1, OwnDict = 2 };

// Remembers the "module.Qual" name and kind the companion found for a class, until the
// class is changed. False when not remembered (a class with a metaclass, no version tag).
bool note_type(PyObject* type, PyObject* name, TypeKind kind);

// Appends the encoding of `obj` to `out` and returns true; or returns false with `out` as
// it was. Never runs Python code, never leaves a Python error set.
bool encode_plain(PyObject* obj, Buffer& out);
bool encode_plain_light(PyObject* obj, Buffer& out);
// The same for a dict of these n entries in this order, without the dict.
bool encode_plain_map(PyObject* const* keys, const Ref* values, size_t n, Buffer& out);
bool encode_plain_map_light(PyObject* const* keys, const Ref* values, size_t n, Buffer& out);

// The encoders of sarv._speedups, reached from the profiler's own extension through the
// capsule "sarv._speedups._C_API": the classes noted by the companion are known there.
using PlainEncoderFn = bool (*)(PyObject* obj, Buffer& out);
using PlainMapEncoderFn = bool (*)(PyObject* const* keys, const Ref* values, size_t n, Buffer& out);
struct SpeedupsApi {
    int version;
    PlainEncoderFn encode;
    PlainEncoderFn encode_light;
    PlainMapEncoderFn encode_map;
    PlainMapEncoderFn encode_map_light;
};
inline constexpr int SPEEDUPS_API_VERSION = 2;
inline constexpr const char* SPEEDUPS_CAPSULE = "sarv._speedups._C_API";

// The encoders behind `function` when it is the serialiser of sarv._speedups (the
// lightweight ones when `lightweight`), which tries them before anything else; else null.
// Never fails.
struct PlainEncoders {
    PlainEncoderFn value = nullptr;
    PlainMapEncoderFn map = nullptr;
};
PlainEncoders speedups_encoders(PyObject* function, bool lightweight);

}  // namespace sarv
