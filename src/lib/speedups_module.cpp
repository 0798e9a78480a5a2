// The module sarv._speedups: the companion package's serialisers, with the common case
// (plain builtin values) encoded natively and everything else handed to the Python
// implementation given to set_fallbacks.
#include "utils/fast_encode.hpp"

namespace {

// Never destroyed: static destructors may run after the interpreter is gone.
sarv::Ref* fallbacks = new sarv::Ref[2];

PyObject* dump(PyObject* obj, bool lightweight) {
    try {
        thread_local sarv::Buffer scratch;  // no Python code runs while it is in use
        scratch.clear();
        if (lightweight ? sarv::encode_plain_light(obj, scratch) : sarv::encode_plain(obj, scratch)) {
            return PyBytes_FromStringAndSize(scratch.data(), static_cast<Py_ssize_t>(scratch.size()));
        }
        sarv::Ref fallback = fallbacks[lightweight ? 1 : 0];  // set_fallbacks may run meanwhile
        if (!fallback) {
            PyErr_SetString(PyExc_RuntimeError, "sarv._speedups: set_fallbacks() was not called");
            return nullptr;
        }
        return PyObject_CallOneArg(fallback.get(), obj);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        sarv::raise_panic(fault.what());
    } catch (...) {
        sarv::raise_panic("unknown internal fault");
    }
    return nullptr;
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

PyObject* note_type(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "note_type() takes 3 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    long kind = PyLong_AsLong(args[2]);
    if (kind == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (kind < 0 || kind > 2) {
        PyErr_SetString(PyExc_ValueError, "note_type(): kind must be 0, 1 or 2");
        return nullptr;
    }
    try {
        return PyBool_FromLong(sarv::note_type(args[0], args[1], static_cast<sarv::TypeKind>(kind)));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        sarv::raise_panic(fault.what());
    }
    return nullptr;
}

const sarv::SpeedupsApi api = {sarv::SPEEDUPS_API_VERSION, sarv::encode_plain, sarv::encode_plain_light,
                               sarv::encode_plain_map, sarv::encode_plain_map_light};

PyMethodDef methods[] = {
    {"dump_msgpack", dump_msgpack, METH_O,
     "dump_msgpack(obj, /)\n--\n\nEncode any value as exactly one MessagePack value (see sarv.serialize)."},
    {"dump_msgpack_lightweight_repr", dump_msgpack_lightweight_repr, METH_O,
     "dump_msgpack_lightweight_repr(obj, /)\n--\n\nEncode short texts only (see sarv.serialize)."},
    {"set_fallbacks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_fallbacks)), METH_FASTCALL,
     "set_fallbacks(general, lightweight, /)\n--\n\nThe Python serialisers for values not encoded natively."},
    {"note_type", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(note_type)), METH_FASTCALL,
     "note_type(cls, name, kind, /)\n--\n\nRemember the class name and kind (0 other, 1 class only, 2 own __dict__) "
     "the Python serialiser found for `cls`, until the class changes. Returns whether it was remembered."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "sarv._speedups", "Native fast paths of sarv.serialize.", -1, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__speedups(void) {
    sarv::Ref module = sarv::Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module) {
        return nullptr;
    }
    // Read-only use by the profiler's extension; the struct lives as long as this library.
    sarv::Ref capsule = sarv::Ref::steal(PyCapsule_New(const_cast<sarv::SpeedupsApi*>(&api), sarv::SPEEDUPS_CAPSULE, nullptr));
    if (!capsule || PyModule_AddObjectRef(module.get(), "_C_API", capsule.get()) < 0) {
        return nullptr;
    }
    return module.release();
}
