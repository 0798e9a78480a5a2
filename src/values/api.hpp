// The value encoder as the profiler's extension reaches it: through the capsule
// "sarv._speedups._C_API", so that both use the one copy whose class facts are kept.
#pragma once

#include "common.hpp"
#include "values/encoder.hpp"

namespace sarv::values {

using ValueEncoderFn = Outcome (*)(PyObject* obj, Buffer& out);
using EntriesEncoderFn = Outcome (*)(PyObject* const* keys, const Ref* values, size_t n, Buffer& out);
struct SpeedupsApi {
    int version;
    ValueEncoderFn encode;
    ValueEncoderFn encode_light;
    EntriesEncoderFn encode_entries;
    EntriesEncoderFn encode_entries_light;
};
inline constexpr int SPEEDUPS_API_VERSION = 3;
inline constexpr const char* SPEEDUPS_CAPSULE = "sarv._speedups._C_API";

// The encoders behind `function` when it is a serialiser of sarv._speedups (the
// lightweight ones when `lightweight`); else null. Never fails.
struct NativeEncoders {
    ValueEncoderFn value = nullptr;
    EntriesEncoderFn entries = nullptr;
};
NativeEncoders speedups_encoders(PyObject* function, bool lightweight);

}  // namespace sarv::values
