#include "utils/fast_encode.hpp"

#include <cstring>

namespace sarv {
namespace {

// The companion's limits (sarv/serialize.py): results above EXACT_MAX_BYTES are rebuilt by
// its capped walker; the lightweight form keeps texts of at most LIGHT_MAX_STR_CHARS and
// dicts of at most MAX_ITEMS entries with keys of at most MAX_STR_CHARS.
constexpr size_t EXACT_MAX_BYTES = 16 * 1024;
constexpr Py_ssize_t MAX_ITEMS = 100;
constexpr Py_ssize_t MAX_STR_CHARS = 1000;
constexpr Py_ssize_t LIGHT_MAX_STR_CHARS = 100;
// Deeper values are rare in locals; the companion handles them (and its own limits).
constexpr int MAX_NESTING = 32;

class PlainEncoder {
public:
    explicit PlainEncoder(Buffer& out) : out_(out), start_(out.size()), sink_{&out}, w_(sink_) {}

    bool value(PyObject* o, int depth) {
        if (scalar(o)) {
            return true;
        }
        PyTypeObject* tp = Py_TYPE(o);
        if (depth >= MAX_NESTING) {
            return false;
        }
        if (tp == &PyDict_Type) {
            Py_ssize_t n = PyDict_GET_SIZE(o);
            w_.map_header(static_cast<size_t>(n));
            Py_ssize_t pos = 0, seen = 0;
            PyObject *key, *item;
            // Nothing here runs Python code, so the dict cannot change while it is read.
            while (PyDict_Next(o, &pos, &key, &item)) {
                if (!scalar(key) || !value(item, depth + 1) || too_big()) {
                    return false;
                }
                ++seen;
            }
            return seen == n;
        }
        if (tp == &PyList_Type || tp == &PyTuple_Type) {
            Py_ssize_t n = Py_SIZE(o);
            PyObject** items = tp == &PyList_Type ? reinterpret_cast<PyListObject*>(o)->ob_item
                                                  : reinterpret_cast<PyTupleObject*>(o)->ob_item;
            w_.array_header(static_cast<size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (!value(items[i], depth + 1) || too_big()) {
                    return false;
                }
            }
            return true;
        }
        return false;
    }

    // None, bool, int of 64 bits, float, valid str and bytes: what may also be a map key.
    bool scalar(PyObject* o) {
        PyTypeObject* tp = Py_TYPE(o);
        if (tp == &PyUnicode_Type) {
            return text(o);
        }
        if (tp == &PyLong_Type) {
            return integer(o);
        }
        if (o == Py_None) {
            w_.nil();
            return true;
        }
        if (tp == &PyFloat_Type) {
            w_.f64(PyFloat_AS_DOUBLE(o));
            return true;
        }
        if (tp == &PyBool_Type) {
            w_.boolean(o == Py_True);
            return true;
        }
        if (tp == &PyBytes_Type) {
            auto n = static_cast<size_t>(PyBytes_GET_SIZE(o));
            if (n > EXACT_MAX_BYTES) {
                return false;
            }
            w_.bin_header(n);
            w_.raw(std::string_view(PyBytes_AS_STRING(o), n));
            return true;
        }
        return false;
    }

    bool text(PyObject* o) {
        Py_ssize_t n = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(o, &n);
        if (utf8 == nullptr) {  // lone surrogates: the companion escapes them
            PyErr_Clear();
            return false;
        }
        if (static_cast<size_t>(n) > EXACT_MAX_BYTES) {
            return false;
        }
        w_.str_header(static_cast<size_t>(n));
        w_.raw(std::string_view(utf8, static_cast<size_t>(n)));
        return true;
    }

    bool integer(PyObject* o) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow == 0) {
            if (v < 0) {
                w_.sint(v);
            } else {
                w_.uint(static_cast<uint64_t>(v));
            }
            return true;
        }
        if (overflow < 0) {
            return false;
        }
        unsigned long long u = PyLong_AsUnsignedLongLong(o);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();  // beyond 64 bits: the companion writes its text
            return false;
        }
        w_.uint(u);
        return true;
    }

    bool too_big() const { return out_.size() - start_ > EXACT_MAX_BYTES; }

    bool finish(bool ok) {
        if (!ok || too_big()) {
            out_.resize(start_);
            return false;
        }
        return true;
    }

    MsgpackWriter<BufferSink>& writer() { return w_; }

private:
    Buffer& out_;
    size_t start_;
    BufferSink sink_;
    MsgpackWriter<BufferSink> w_;
};

// The lightweight form of one value: the value itself for what it keeps whole.
bool light_scalar(PlainEncoder& e, PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    if (tp == &PyUnicode_Type) {
        return PyUnicode_GET_LENGTH(o) <= LIGHT_MAX_STR_CHARS && e.text(o);
    }
    if (tp == &PyBytes_Type) {
        return false;  // written as its class name
    }
    return e.scalar(o);
}

bool is_function_of(PyObject* function, const char* module_name, const char* function_name) {
    if (!PyCFunction_Check(function)) {
        return false;
    }
    PyObject* self = PyCFunction_GET_SELF(function);
    if (self == nullptr || !PyModule_Check(self)) {
        return false;
    }
    PyModuleDef* def = PyModule_GetDef(self);
    auto* method = reinterpret_cast<PyCFunctionObject*>(function)->m_ml;
    return def != nullptr && def->m_name != nullptr && std::strcmp(def->m_name, module_name) == 0 &&
           method != nullptr && std::strcmp(method->ml_name, function_name) == 0;
}

}  // namespace

bool encode_plain(PyObject* obj, Buffer& out) {
    PlainEncoder e(out);
    return e.finish(e.value(obj, 0));
}

bool encode_plain_light(PyObject* obj, Buffer& out) {
    PlainEncoder e(out);
    if (Py_TYPE(obj) != &PyDict_Type) {
        return e.finish(light_scalar(e, obj));
    }
    // A locals dict: names to short values.
    Py_ssize_t n = PyDict_GET_SIZE(obj);
    if (n > MAX_ITEMS) {
        return false;
    }
    e.writer().map_header(static_cast<size_t>(n));
    Py_ssize_t pos = 0, seen = 0;
    PyObject *key, *item;
    bool ok = true;
    while (ok && PyDict_Next(obj, &pos, &key, &item)) {
        ok = Py_TYPE(key) == &PyUnicode_Type && PyUnicode_GET_LENGTH(key) <= MAX_STR_CHARS && e.text(key) &&
             light_scalar(e, item);
        ++seen;
    }
    return e.finish(ok && seen == n);
}

bool is_speedups_serialiser(PyObject* function, bool lightweight) {
    // Strong references, so an identity test cannot be fooled by a reused address; never
    // destroyed, since the interpreter may be gone by the time static objects are.
    static Ref* known = new Ref[2];
    Ref& slot = known[lightweight ? 1 : 0];
    if (function == slot.get()) {
        return true;
    }
    if (!is_function_of(function, "sarv._speedups", lightweight ? "dump_msgpack_lightweight_repr" : "dump_msgpack")) {
        return false;
    }
    slot = Ref::borrow(function);
    return true;
}

}  // namespace sarv
