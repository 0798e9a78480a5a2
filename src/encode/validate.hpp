// The check a serialiser's result passes before it is spliced into a record: one bad
// result must not make the whole trace unreadable.
#pragma once

#include <cstddef>
#include <string_view>

namespace sarv {

// Null when `bytes` holds exactly one complete MessagePack value with valid UTF-8 texts,
// map keys that are not containers, no extension of a reserved (negative) type but
// well-formed timestamps, and at most MAX_MSGPACK_NESTING nested containers; otherwise
// what is wrong with it.
inline constexpr size_t MAX_MSGPACK_NESTING = 1000;
const char* check_msgpack_value(std::string_view bytes);

}  // namespace sarv
