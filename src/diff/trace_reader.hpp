// The reading loop of `sarv diff` (sarv.diff.read): a stored trace document walked record
// by record into compact call trees, without a Python object per record.
#pragma once

#include "common.hpp"

namespace sarv::diff {

// read_calls(pieces, ids, keys, other, /) -> (records, threads, seconds); see the stub in
// python/sarv/_speedups.pyi for what goes in and comes out.
PyObject* read_calls(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace sarv::diff
