#include "record/serialiser.hpp"

#include "compat.hpp"
#include "values/reuse.hpp"

#include <algorithm>

namespace sarv {
namespace {

constexpr size_t MAX_RESERVE_HINT = 1 << 16;

}  // namespace

bool append_byte_sequence(PyObject* result, Buffer& out) {
    if (PyBytes_Check(result)) {
        out.append(PyBytes_AS_STRING(result), static_cast<size_t>(PyBytes_GET_SIZE(result)));
        return true;
    }
    if (PyByteArray_Check(result)) {
        out.append(PyByteArray_AS_STRING(result), static_cast<size_t>(PyByteArray_GET_SIZE(result)));
        return true;
    }
    if (PyUnicode_Check(result)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(result)) {
        raise_conversion_error(result, "Sequence");
        return false;
    }
    size_t start = out.size();
    Py_ssize_t hint = PySequence_Size(result);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        // A hint only: __len__ may claim anything, and the items decide.
        out.reserve(start + std::min(static_cast<size_t>(hint), MAX_RESERVE_HINT));
    }
    Ref iter = Ref::steal(PyObject_GetIter(result));
    bool ok = static_cast<bool>(iter);
    while (ok) {
        Ref item = Ref::steal(PyIter_Next(iter.get()));
        if (!item) {
            ok = !PyErr_Occurred();
            break;
        }
        if (!PyLong_Check(item.get())) {
            raise_not_an_integer(item.get());
            ok = false;
            break;
        }
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(item.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) {
            ok = false;
            break;
        }
        if (overflow != 0 || value < 0 || value > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            ok = false;
            break;
        }
        out.push_back(static_cast<char>(value));
    }
    if (!ok) {
        out.resize(start);
    }
    return ok;
}

namespace {

Ref lookup_serialiser(bool lightweight) {
    const Names& n = names();
    Ref module = import_module(n.mod_sarv_serialize);
    if (!module) {
        return {};
    }
    PyObject* name = lightweight ? n.dump_msgpack_lightweight_repr : n.dump_msgpack;
    Ref function = module_function(module.get(), name);
    if (!function && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // Another thread may still be importing the module (import_module's shortcut does
        // not wait for it): the import machinery does.
        PyErr_Clear();
        module = Ref::steal(PyImport_Import(n.mod_sarv_serialize));
        if (!module) {
            return {};
        }
        function = module_function(module.get(), name);
    }
    return function;
}

// Two dict lookups per recorded event add up. While sys.modules and the module's dict are
// unchanged (their stamps say so: every change gives a dict a new one), the function found
// last time is still what a lookup would find.
struct CachedSerialiser {
    Ref modules;
    values::reuse::Stamp modules_stamp;
    Ref module;
    PyObject* module_dict = nullptr;  // the module's own, as long as it is held
    values::reuse::Stamp module_stamp;
    Ref function;
    values::NativeEncoders encoders;  // values::speedups_encoders(function)
};

CachedSerialiser* const serialiser_cache = new CachedSerialiser[2];  // GIL-guarded; never destroyed

// The serialiser looked up (and kept, where the stamps can prove it unchanged later).
[[gnu::noinline]] Ref find_serialiser(bool lightweight, values::NativeEncoders& encoders) {
    CachedSerialiser& c = serialiser_cache[lightweight ? 1 : 0];
    PyObject* modules = PyImport_GetModuleDict();
    c.function.reset();
    Ref function = lookup_serialiser(lightweight);
    encoders = function ? values::speedups_encoders(function.get(), lightweight) : values::NativeEncoders{};
    if (!function || modules == nullptr || !PyDict_CheckExact(modules)) {
        return function;
    }
    PyObject* module = PyDict_GetItemWithError(modules, names().mod_sarv_serialize);
    if (module == nullptr || !PyModule_CheckExact(module)) {
        PyErr_Clear();
        return function;
    }
    PyObject* dict = PyModule_GetDict(module);
    PyObject* found =
        PyDict_GetItemWithError(dict, lightweight ? names().dump_msgpack_lightweight_repr : names().dump_msgpack);
    if (found != function.get()) {  // reached some other way (a module __getattr__, ...): not cached
        PyErr_Clear();
        return function;
    }
    values::reuse::Stamp modules_stamp = values::reuse::watch_dict(modules);
    values::reuse::Stamp module_stamp = values::reuse::watch_dict(dict);
    if (modules_stamp.value == 0 || module_stamp.value == 0) {
        return function;  // (no stamps here: looked up every time)
    }
    c.modules = Ref::borrow(modules);
    c.modules_stamp = modules_stamp;
    c.module = Ref::borrow(module);
    c.module_dict = dict;
    c.module_stamp = module_stamp;
    c.function = function;
    c.encoders = encoders;
    return function;
}

// The serialiser, and in `encoders` the native encoders behind it (if any). The kept one
// is checked here, at every record; the lookup is out of line.
inline Ref serialiser(bool lightweight, values::NativeEncoders& encoders) {
    CachedSerialiser& c = serialiser_cache[lightweight ? 1 : 0];
    PyObject* modules = PyImport_GetModuleDict();
    if (c.function && modules == c.modules.get() && values::reuse::unchanged(modules, c.modules_stamp) &&
        values::reuse::unchanged(c.module_dict, c.module_stamp)) [[likely]] {
        encoders = c.encoders;
        return c.function;
    }
    return find_serialiser(lightweight, encoders);
}

bool call_serialiser(PyObject* function, PyObject* obj, Buffer& out) {
    Ref result = Ref::steal(PyObject_CallOneArg(function, obj));
    if (!result) {
        return false;
    }
    return append_byte_sequence(result.get(), out);
}

}  // namespace

bool dump_msgpack_into(PyObject* obj, bool lightweight, Buffer& out) {
    values::NativeEncoders unused;
    Ref function = serialiser(lightweight, unused);
    return function && call_serialiser(function.get(), obj, out);
}

bool ValueSerialiser::find() {
    if (!function_) {
        function_ = serialiser(lightweight_, native_);
        if (!function_) {
            return false;
        }
    }
    return true;
}

bool ValueSerialiser::dump_into(PyObject* obj, Buffer& out) {
    if (!find()) {
        return false;
    }
    // The companion's own serialiser starts with the native encoder of plain values: use it
    // here directly, writing into the record, and skip the call, the bytes object and the
    // check of a result we wrote ourselves.
    if (native_.value != nullptr) {
        values::Outcome done = native_.value(obj, out);
        if (done != values::Outcome::Declined) {
            return done == values::Outcome::Done;
        }
    }
    return call_into(obj, out);
}

bool ValueSerialiser::dump_entries_into(PyObject* const* keys, const Ref* values, size_t n, Buffer& out) {
    if (!find()) {
        return false;
    }
    if (native_.entries != nullptr) {
        values::Outcome done = native_.entries(keys, values, n, out);
        if (done != values::Outcome::Declined) {
            return done == values::Outcome::Done;
        }
    }
    return call_with_dict(keys, values, n, out);
}

bool ValueSerialiser::call_with_dict(PyObject* const* keys, const Ref* values, size_t n, Buffer& out) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (PyDict_SetItem(dict.get(), keys[i], values[i].get()) < 0) {
            return false;
        }
    }
    return call_into(dict.get(), out);
}

bool ValueSerialiser::call_into(PyObject* obj, Buffer& out) {
    // Python code runs from here on and may replace the serialiser: look it up again next time.
    Ref function = std::move(function_);
    native_ = {};
    size_t start = out.size();
    if (!call_serialiser(function.get(), obj, out)) {
        return false;
    }
    if (const char* problem = check_msgpack_value(out.view().substr(start))) {
        out.resize(start);
        PyErr_Format(PyExc_ValueError, "the serialiser's result is not one readable MessagePack value: %s", problem);
        return false;
    }
    return true;
}

bool dump_msgpack_value_into(PyObject* obj, bool lightweight, Buffer& out) {
    return ValueSerialiser(lightweight).dump_into(obj, out);
}

}  // namespace sarv
