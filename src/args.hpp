// Binding of fast-call arguments by name, for the functions whose parameters may be given
// positionally or by keyword.
#pragma once

#include "common.hpp"

#include <array>

namespace sarv {

template <size_t N>
bool bind_args(const char* function, const std::array<const char*, N>& params, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, std::array<PyObject*, N>& out) {
    out.fill(nullptr);
    if (static_cast<size_t>(nargs) > N) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given", function, N, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[static_cast<size_t>(i)] = args[i];
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        size_t index = N;
        for (size_t j = 0; j < N; ++j) {
            if (PyUnicode_CompareWithASCIIString(key, params[j]) == 0) {
                index = j;
                break;
            }
        }
        if (index == N) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
            return false;
        }
        if (out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, params[index]);
            return false;
        }
        out[index] = args[nargs + k];
    }
    for (size_t j = 0; j < N; ++j) {
        if (out[j] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required positional argument: '%s'", function, params[j]);
            return false;
        }
    }
    return true;
}

}  // namespace sarv
