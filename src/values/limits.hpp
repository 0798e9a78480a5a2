// The caps of recorded values. sarv.serialize checks at import that its own copies (the
// reference walker's) are these.
#pragma once

#include <cstddef>

namespace sarv::values {

inline constexpr int MAX_DEPTH = 16;         // container levels below a value
inline constexpr int OBJECT_DEPTH = 3;       // levels below any non-builtin object
inline constexpr long MAX_ITEMS = 100;       // entries kept of a container or object
inline constexpr long MAX_STR_CHARS = 1000;  // characters kept of a text
inline constexpr long MAX_BYTES = 1000;      // bytes kept of a byte string
inline constexpr long MAX_INT_BITS = 3300;   // larger ints are written as "<int N bits>"
inline constexpr long MAX_TOTAL_BYTES = 32 * 1024;   // content of one capped value
inline constexpr size_t EXACT_MAX_BYTES = 16 * 1024;  // plain data up to this is written whole
inline constexpr long LIGHT_MAX_STR_CHARS = 100;     // texts of the lightweight form
// Levels of nesting the exact form accepts (msgpack's packer: DEFAULT_RECURSE_LIMIT).
inline constexpr int PACK_NEST_LIMIT = 1024;

}  // namespace sarv::values
