#pragma once

#include "common.hpp"

namespace sarv {

// register_context_profiler(var, fallback): a profile hook for the calling thread that
// hands each event to the profiler the context variable holds in the running context.
PyObject* register_context_profiler(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace sarv
