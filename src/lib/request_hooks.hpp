#pragma once

#include "common.hpp"

namespace sarv {

// register_context_profiler(var, fallback): a profile hook for the calling thread that
// hands each event to the profiler the context variable holds in the running context.
PyObject* register_context_profiler(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// restart_trace(profiler, trace_id): the profiler starts a new trace of this id, its buffers
// emptied, as a "start_test" boundary does; a thread that serves one request after another
// keeps one profiler (and the code objects' cached decisions made for it).
PyObject* restart_trace(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// buffered_size(profiler): the bytes of the records the profiler holds (what a document of
// its trace would copy).
PyObject* buffered_size(PyObject* module, PyObject* profiler);

// described_trace(profiler): its trace's document as build_trace() makes it, with what
// describes it without reading its records: (bytes, record_count, tail_offset, edge_records).
PyObject* described_trace(PyObject* module, PyObject* profiler);

// arm_thread(thread_id, hook): installs a hook on another thread (the thread's ident), one
// that has none: a SarvProfiler's, or, for a contextvars.ContextVar, the hook of
// register_context_profiler(var, None). A request found slow is recorded from then on, the
// calls before not. False where that cannot be done (3.12 and newer; the thread gone or
// hooked already).
PyObject* arm_thread(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// monitored_profiler(), as thread_monitored_profiler: the SarvProfiler the calling thread records for through
// sys.monitoring, or None (sys.getprofile() shows only a profile hook).
PyObject* thread_monitored_profiler(PyObject* module, PyObject* unused);

}  // namespace sarv
