// Generators and coroutines leave their frame at every yield and await, and the interpreter
// reports each such exit as a return: these tell a suspension from the end.
#pragma once

#include "common.hpp"

#include <cstdint>

namespace sarv {

enum class Suspends : uint8_t { Never, Generator, Coroutine, AsyncGenerator };

// What kind of frame the code runs in, from its flags.
Suspends suspends_of(PyCodeObject* code);

enum class Exit : uint8_t { Returned, Yielded, Awaited };

// How a frame of `kind` code left at a return event whose value is `value` (borrowed; the
// value the consumer receives is put in `value`: an async generator's yield hands the
// interpreter a wrapper). False with a Python error set when it cannot be read.
bool frame_exit(PyFrameObject* frame, Suspends kind, PyObject*& value, Exit& out);
// The same for an exit known to be a suspension (a yield or an await).
Exit suspension_exit(Suspends kind, PyObject*& value);

}  // namespace sarv
