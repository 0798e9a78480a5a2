#include "utils/serialize.hpp"

namespace sarv {

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
        out.reserve(start + static_cast<size_t>(hint));
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

bool dump_msgpack_into(PyObject* obj, bool lightweight, Buffer& out) {
    const Names& n = names();
    Ref module = import_module(n.mod_sarv_serialize);
    if (!module) {
        return false;
    }
    Ref function = module_function(module.get(), lightweight ? n.dump_msgpack_lightweight_repr : n.dump_msgpack);
    if (!function) {
        return false;
    }
    Ref result = Ref::steal(PyObject_CallOneArg(function.get(), obj));
    if (!result) {
        return false;
    }
    return append_byte_sequence(result.get(), out);
}

}  // namespace sarv
