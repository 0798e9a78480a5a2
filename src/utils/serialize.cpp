#include "utils/serialize.hpp"

#include <algorithm>


namespace sarv {
namespace {

constexpr size_t MAX_RESERVE_HINT = 1 << 16;

uint64_t big_endian(const unsigned char* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

// Strict UTF-8, as Python decodes it: no overlong forms, no surrogates, nothing past U+10FFFF.
bool valid_utf8(const unsigned char* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        uint32_t min, code;
        if ((c & 0xe0) == 0xc0) {
            extra = 1;
            min = 0x80;
            code = c & 0x1fu;
        } else if ((c & 0xf0) == 0xe0) {
            extra = 2;
            min = 0x800;
            code = c & 0x0fu;
        } else if ((c & 0xf8) == 0xf0) {
            extra = 3;
            min = 0x10000;
            code = c & 0x07u;
        } else {
            return false;
        }
        if (n - i <= extra) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xc0) != 0x80) {
                return false;
            }
            code = (code << 6) | (p[i + k] & 0x3f);
        }
        if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// The timestamp extension (type -1) must have one of its three forms, nanoseconds < 10^9.
bool valid_timestamp(const unsigned char* p, size_t n) {
    if (n == 4) {
        return true;
    }
    if (n == 8) {
        return (big_endian(p, 8) >> 34) < 1000000000;
    }
    return n == 12 && big_endian(p, 4) < 1000000000;
}

}  // namespace

const char* check_msgpack_value(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    size_t pos = 0;
    // Values still to read in each open container, innermost last; a map counts its keys
    // and values, so an even count left means a key comes next.
    struct Open {
        uint64_t left;
        bool map;
    };
    thread_local std::vector<Open> open;  // keeps its capacity: no allocation per value
    open.clear();
    uint64_t top_level = 1;
    auto need = [&](size_t n) { return size - pos >= n; };
    while (top_level > 0 || !open.empty()) {
        if (!open.empty() && open.back().left == 0) {
            open.pop_back();
            continue;
        }
        bool key = !open.empty() && open.back().map && open.back().left % 2 == 0;
        if (open.empty()) {
            --top_level;
        } else {
            --open.back().left;
        }
        if (!need(1)) {
            return "it ends inside a value";
        }
        const unsigned char c = p[pos++];
        uint64_t length = 0;       // payload bytes that follow
        uint64_t children = 0;     // for containers
        bool container = false, map = false, text = false;
        int ext = 0;  // 0: no ext; else 1 + its type byte read below
        if (c <= 0x7f || c >= 0xe0 || c == 0xc0 || c == 0xc2 || c == 0xc3) {
        } else if (c <= 0x8f) {
            container = map = true, children = 2u * (c & 0x0f);
        } else if (c <= 0x9f) {
            container = true, children = c & 0x0f;
        } else if (c <= 0xbf) {
            text = true, length = c & 0x1f;
        } else if (c == 0xc1) {
            return "it uses the reserved byte 0xc1";
        } else if (c >= 0xc4 && c <= 0xc9) {
            size_t width = size_t{1} << ((c - 0xc4) % 3);  // bin 8/16/32, ext 8/16/32
            if (!need(width)) {
                return "it ends inside a value";
            }
            length = big_endian(p + pos, width);
            pos += width;
            ext = c >= 0xc7;
        } else if (c >= 0xca && c <= 0xd3) {
            static const uint8_t widths[] = {4, 8, 1, 2, 4, 8, 1, 2, 4, 8};
            length = widths[c - 0xca];
        } else if (c >= 0xd4 && c <= 0xd8) {
            length = uint64_t{1} << (c - 0xd4), ext = 1;
        } else if (c >= 0xd9 && c <= 0xdb) {
            size_t width = size_t{1} << (c - 0xd9);
            if (!need(width)) {
                return "it ends inside a value";
            }
            length = big_endian(p + pos, width), pos += width, text = true;
        } else {
            size_t width = (c == 0xdc || c == 0xde) ? 2 : 4;
            if (!need(width)) {
                return "it ends inside a value";
            }
            children = big_endian(p + pos, width), pos += width;
            container = true, map = c >= 0xde;
            if (map) {
                children *= 2;
            }
        }
        if (ext) {
            if (!need(1)) {
                return "it ends inside a value";
            }
            ext = 1 + p[pos++];
        }
        if (!need(length)) {
            return "it ends inside a value";
        }
        if (text && !valid_utf8(p + pos, length)) {
            return "a text is not valid UTF-8";
        }
        // Negative types are reserved for the format itself; readers refuse all but the
        // timestamp (-1).
        if (ext > 1 + 0x7f && ext != 1 + 0xff) {
            return "it uses a reserved extension type";
        }
        if (ext == 1 + 0xff && !valid_timestamp(p + pos, length)) {
            return "a timestamp extension is malformed";
        }
        pos += length;
        if (container) {
            if (key) {
                return "a map key is an array or a map";
            }
            if (open.size() >= MAX_MSGPACK_NESTING) {
                return "its containers are nested too deeply";
            }
            open.push_back(Open{children, map});
        }
    }
    return pos == size ? nullptr : "more than one value follows";
}

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

#if PY_VERSION_HEX < 0x030C0000
// Two dict lookups per recorded event add up. The interpreter gives a dict a new version
// tag at every change (never one used before), so while sys.modules and the module's
// dict keep their tags, the function found last time is still what a lookup would find.
struct CachedSerialiser {
    Ref modules;
    uint64_t modules_version = 0;
    Ref module;
    uint64_t module_version = 0;
    Ref function;
    values::NativeEncoders encoders;  // values::speedups_encoders(function)
};

uint64_t version_of(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

// The serialiser, and in `encoders` the native encoders behind it (if any).
Ref serialiser(bool lightweight, values::NativeEncoders& encoders) {
    static auto* cache = new CachedSerialiser[2];  // GIL-guarded; never destroyed
    CachedSerialiser& c = cache[lightweight ? 1 : 0];
    PyObject* modules = PyImport_GetModuleDict();
    if (c.function && modules == c.modules.get() && version_of(modules) == c.modules_version &&
        version_of(PyModule_GetDict(c.module.get())) == c.module_version) {
        encoders = c.encoders;
        return c.function;
    }
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
    PyObject* found = PyDict_GetItemWithError(dict, lightweight ? names().dump_msgpack_lightweight_repr : names().dump_msgpack);
    if (found != function.get()) {  // reached some other way (a module __getattr__, ...): not cached
        PyErr_Clear();
        return function;
    }
    c.modules = Ref::borrow(modules);
    c.modules_version = version_of(modules);
    c.module = Ref::borrow(module);
    c.module_version = version_of(dict);
    c.function = function;
    c.encoders = encoders;
    return function;
}
#else
Ref serialiser(bool lightweight, values::NativeEncoders& encoders) {
    Ref function = lookup_serialiser(lightweight);
    encoders = function ? values::speedups_encoders(function.get(), lightweight) : values::NativeEncoders{};
    return function;
}
#endif

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
