// The extension modules' contents, made by the core library. Each module's own file
// (lib/entry.cpp) only calls one of these, so a process holds one copy of the core and its
// statics however many of the modules it imports.
#pragma once

#include "common.hpp"

// The only names the core library exports: everything else stays hidden in it.
#define SARV_EXPORT __attribute__((visibility("default")))

namespace sarv {

SARV_EXPORT PyObject* make_sarv_module() noexcept;
SARV_EXPORT PyObject* make_speedups_module() noexcept;
SARV_EXPORT PyObject* make_requests_module() noexcept;
// (Built into the library only with the private test-only extension.)
SARV_EXPORT PyObject* make_testing_module() noexcept;

}  // namespace sarv
