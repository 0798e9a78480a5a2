// The interpreter's internal frame layout (CPython 3.11), for the few reads the hook makes
// straight from frames: a few loads instead of API calls with their checks and references.
// Its headers are installed with every build of 3.11. Include only from .cpp files that
// need it (it defines Py_BUILD_CORE); SARV_FRAME_INTERNALS tells whether it is there.
#pragma once

#include "common.hpp"

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && defined(__has_include)
#if __has_include(<internal/pycore_frame.h>)
#define Py_BUILD_CORE 1
#include <internal/pycore_code.h>
#include <internal/pycore_frame.h>
#include <opcode.h>
#define SARV_FRAME_INTERNALS 1
#endif
#endif
