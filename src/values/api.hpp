// The value encoder behind sarv._speedups' serialisers, for the profiler to call directly
// when the companion serialiser it is given is one of them.
#pragma once

#include "common.hpp"
#include "values/encoder.hpp"

namespace sarv::values {

using ValueEncoderFn = Outcome (*)(PyObject* obj, Buffer& out);
using EntriesEncoderFn = Outcome (*)(PyObject* const* keys, const Ref* values, size_t n, Buffer& out);

// The encoders behind `function` when it is a serialiser of sarv._speedups (the
// lightweight ones when `lightweight`); else null. Never fails.
struct NativeEncoders {
    ValueEncoderFn value = nullptr;
    EntriesEncoderFn entries = nullptr;
};
NativeEncoders speedups_encoders(PyObject* function, bool lightweight);

}  // namespace sarv::values
