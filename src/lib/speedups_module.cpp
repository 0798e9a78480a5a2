// The module sarv._speedups: the companion package's serialisers, written by the native
// value encoder, with the Python walker given to set_fallbacks for the rare value the
// encoder leaves to it.
#include "boundary.hpp"
#include "diff/trace_reader.hpp"
#include "lib/modules.hpp"
#include "profiler/spool.hpp"
#include "values/api.hpp"
#include "values/limits.hpp"
#include "values/redact.hpp"
#include "values/types.hpp"

namespace {

// Never destroyed: static destructors may run after the interpreter is gone.
sarv::Ref* fallbacks = new sarv::Ref[2];

// Results are assembled in a reused buffer; an encoding started by Python code that runs
// inside another one (a finaliser, a hook) gets its own.
struct Scratch {
    sarv::Buffer buffer;
    bool in_use = false;
};

PyObject* dump(PyObject* obj, bool lightweight) {
    return sarv::guarded([&]() -> PyObject* {
        thread_local Scratch kept;
        Scratch& scratch = kept;  // (one lookup of the thread's storage)
        sarv::Buffer own;
        bool reuse = !scratch.in_use;
        sarv::Buffer& out = reuse ? scratch.buffer : own;
        out.clear();
        scratch.in_use = true;
        sarv::values::Outcome done =
            lightweight ? sarv::values::encode_light(obj, out) : sarv::values::encode(obj, out);
        if (reuse) {
            scratch.in_use = false;
        }
        if (done == sarv::values::Outcome::Done) {
            return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
        }
        if (done == sarv::values::Outcome::Failed) {
            return nullptr;
        }
        sarv::Ref fallback = fallbacks[lightweight ? 1 : 0];  // set_fallbacks may run meanwhile
        if (!fallback) {
            PyErr_SetString(PyExc_RuntimeError, "sarv._speedups: set_fallbacks() was not called");
            return nullptr;
        }
        return PyObject_CallOneArg(fallback.get(), obj);
    });
}

PyObject* dump_msgpack(PyObject*, PyObject* obj) { return dump(obj, false); }

PyObject* dump_msgpack_lightweight_repr(PyObject*, PyObject* obj) { return dump(obj, true); }

PyObject* set_fallbacks(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "set_fallbacks() takes 2 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    for (int i = 0; i < 2; ++i) {
        if (!PyCallable_Check(args[i])) {
            PyErr_SetString(PyExc_TypeError, "set_fallbacks() takes two callables");
            return nullptr;
        }
    }
    fallbacks[0] = sarv::Ref::borrow(args[0]);
    fallbacks[1] = sarv::Ref::borrow(args[1]);
    Py_RETURN_NONE;
}

// set_redaction(rules): rules is a list of (kind, text) with kind 0 equals, 1 contains,
// 2 prefix, 3 suffix and text already normalised; [] turns redaction off.
PyObject* set_redaction(PyObject*, PyObject* rules) {
    return sarv::guarded([&]() -> PyObject* {
        if (!PyList_CheckExact(rules)) {
            PyErr_SetString(PyExc_TypeError, "set_redaction() takes a list of (kind, text) tuples");
            return nullptr;
        }
        std::vector<sarv::values::NamePattern> patterns;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rules); ++i) {
            PyObject* rule = PyList_GET_ITEM(rules, i);
            if (!PyTuple_CheckExact(rule) || PyTuple_GET_SIZE(rule) != 2 ||
                !PyLong_CheckExact(PyTuple_GET_ITEM(rule, 0)) || !PyUnicode_CheckExact(PyTuple_GET_ITEM(rule, 1))) {
                PyErr_SetString(PyExc_TypeError, "set_redaction() takes a list of (kind, text) tuples");
                return nullptr;
            }
            long kind = PyLong_AsLong(PyTuple_GET_ITEM(rule, 0));
            if (kind < 0 || kind > 3 || PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(rule, 1)) == 0) {
                PyErr_Clear();
                PyErr_SetString(PyExc_ValueError, "set_redaction(): a rule's kind is 0 to 3 and its text not empty");
                return nullptr;
            }
            sarv::Ref utf8 =
                sarv::Ref::steal(PyUnicode_AsEncodedString(PyTuple_GET_ITEM(rule, 1), "utf-8", "surrogatepass"));
            if (!utf8) {
                return nullptr;
            }
            patterns.push_back(
                {static_cast<sarv::values::NamePattern::Kind>(kind),
                 std::string(PyBytes_AS_STRING(utf8.get()), static_cast<size_t>(PyBytes_GET_SIZE(utf8.get())))});
        }
        sarv::values::set_name_patterns(std::move(patterns));
        Py_RETURN_NONE;
    });
}

PyObject* limits(PyObject*, PyObject*) {
    namespace v = sarv::values;
    return Py_BuildValue("{s:i,s:i,s:l,s:l,s:l,s:l,s:l,s:n,s:l}", "MAX_DEPTH", v::MAX_DEPTH, "OBJECT_DEPTH",
                         v::OBJECT_DEPTH, "MAX_ITEMS", v::MAX_ITEMS, "MAX_STR_CHARS", v::MAX_STR_CHARS, "MAX_BYTES",
                         v::MAX_BYTES, "MAX_INT_BITS", v::MAX_INT_BITS, "MAX_TOTAL_BYTES", v::MAX_TOTAL_BYTES,
                         "EXACT_MAX_BYTES", static_cast<Py_ssize_t>(v::EXACT_MAX_BYTES), "LIGHT_MAX_STR_CHARS",
                         v::LIGHT_MAX_STR_CHARS);
}

PyObject* counts(PyObject*, PyObject*) {
    sarv::values::Counts c = sarv::values::counts();
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(c.encoded),
                         static_cast<unsigned long long>(c.declined));
}

PyMethodDef methods[] = {
    {"dump_msgpack", dump_msgpack, METH_O,
     "dump_msgpack(obj, /)\n--\n\nEncode any value as exactly one MessagePack value (see sarv.serialize)."},
    {"dump_msgpack_lightweight_repr", dump_msgpack_lightweight_repr, METH_O,
     "dump_msgpack_lightweight_repr(obj, /)\n--\n\nEncode short texts only (see sarv.serialize)."},
    {"set_fallbacks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_fallbacks)), METH_FASTCALL,
     "set_fallbacks(general, lightweight, /)\n--\n\nThe Python serialisers for the values the native encoder leaves " "to them."},
    {"set_redaction", set_redaction, METH_O,
     "set_redaction(rules, /)\n--\n\nThe names whose values are written as \"[redacted]\" (see " "sarv.serialize.set_redaction)."},
    {"limits", limits, METH_NOARGS, "limits()\n--\n\nThe caps of recorded values, by name."},
    {"read_calls", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sarv::diff::read_calls)), METH_FASTCALL,
     "read_calls(pieces, ids, keys, other, /)\n--\n\nThe call trees of a trace document for sarv diff (see sarv.diff.read)."},
    {"assemble_spool", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sarv::assemble_spool)), METH_FASTCALL,
     "assemble_spool(data, ended=None, /)\n--\n\nThe trace a spool holds (see sarv.store.spool)."},
    {"counts", counts, METH_NOARGS,
     "counts()\n--\n\n(values encoded natively, values left to the Python serialisers) since the process started."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "sarv._speedups",
    "The native value encoder of sarv.serialize.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* create_module() {
    if (!sarv::values::init()) {
        return nullptr;
    }
    return PyModule_Create2(&module_def, PYTHON_API_VERSION);
}

}  // namespace

PyObject* sarv::make_speedups_module() noexcept { return guarded(create_module); }
