#pragma once

#include "common.hpp"

namespace sarv {

// register_profiler(profiler) and register_noop_profiler(), shared by every module that
// exposes them.
PyObject* register_profiler(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* register_noop_profiler(PyObject* module, PyObject* unused);

}  // namespace sarv
