#include "utils/fast_encode.hpp"

#include <array>
#include <cstring>
#include <initializer_list>
#include <unordered_map>
#include <vector>

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
// Object maps: the levels of objects written as maps (OBJECT_DEPTH), and the size of a
// whole result holding any, below which the companion's walker would cut nothing
// (_FAST_OBJECT_OUTPUT_MAX).
constexpr int OBJECT_DEPTH = 3;
constexpr size_t OBJECT_OUTPUT_MAX = 1000;

// What the companion found out about a class (its "module.Qual" name, and how its
// instances are written), told to us through note_type. Valid while the class keeps the
// version tag it had then: the interpreter gives a class a new tag whenever it or one of
// its bases is changed, and a new class never gets the tag of a dead one.
struct TypeEntry {
    unsigned int tag = 0;
    TypeKind kind = TypeKind::Other;
    std::string name;  // UTF-8
};
constexpr size_t MAX_TYPE_ENTRIES = 1024;

std::unordered_map<const PyTypeObject*, TypeEntry>& type_entries() {
    static auto* entries = new std::unordered_map<const PyTypeObject*, TypeEntry>();  // GIL-guarded
    return *entries;
}

// In front of the table, a small cache by address (the table's hashing costs a division):
// a slot holds the table's entry for that class, or null when it has none. note_type keeps
// the slot of the class it changes up to date; clearing the table clears every slot.
struct TypeCacheSlot {
    const PyTypeObject* type = nullptr;
    const TypeEntry* entry = nullptr;
};
constexpr size_t TYPE_CACHE_SLOTS = 64;

std::array<TypeCacheSlot, TYPE_CACHE_SLOTS>& type_cache() {
    static auto* cache = new std::array<TypeCacheSlot, TYPE_CACHE_SLOTS>();  // GIL-guarded
    return *cache;
}

TypeCacheSlot& cache_slot(const PyTypeObject* tp) {
    return type_cache()[(reinterpret_cast<uintptr_t>(tp) >> 4) % TYPE_CACHE_SLOTS];
}

const TypeEntry* find_type(PyTypeObject* tp) {
    unsigned int tag = tp->tp_version_tag;
    if (tag == 0) {
        return nullptr;
    }
    TypeCacheSlot& slot = cache_slot(tp);
    if (slot.type != tp) {
        auto& entries = type_entries();
        auto it = entries.find(tp);
        slot = {tp, it != entries.end() ? &it->second : nullptr};
    }
    // A class that died and left its address to a new one: never the new one's tag.
    return slot.entry != nullptr && slot.entry->tag == tag ? slot.entry : nullptr;
}

// "\xe2\x80\xa6", the ellipsis of the companion's depth markers.
constexpr std::string_view ELLIPSIS = "\xe2\x80\xa6";
constexpr std::string_view CLASS_KEY = "\xa9__class__";  // fixstr "__class__"

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
        if (tp == &PyFunction_Type) {
            return function_text("<function ", o);
        }
        if (tp == &PyMethod_Type) {
            PyObject* function = PyMethod_GET_FUNCTION(o);
            return Py_TYPE(function) == &PyFunction_Type && function_text("<bound method ", function);
        }
        if (tp == &PyCFunction_Type) {
            const char* name = reinterpret_cast<PyCFunctionObject*>(o)->m_ml->ml_name;
            return name != nullptr && texts({"<built-in function ", name, ">"});
        }
        const TypeEntry* entry = find_type(tp);
        if (entry == nullptr || entry->kind == TypeKind::Other) {
            return false;
        }
        active_size_ = 0;
        return object_map(o, *entry, OBJECT_DEPTH);
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
        std::string_view utf8;
        if (!utf8_of(o, utf8) || utf8.size() > EXACT_MAX_BYTES) {
            return false;
        }
        w_.str(utf8);
        return true;
    }

    bool integer(PyObject* o) {
        // Small ints without the general conversion: one digit and a sign.
#if PY_VERSION_HEX >= 0x030C0000
        if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
            auto v = static_cast<long long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
            v < 0 ? w_.sint(v) : w_.uint(static_cast<uint64_t>(v));
            return true;
        }
#else
        if (Py_ABS(Py_SIZE(o)) <= 1) {
            auto v = static_cast<long long>(Py_SIZE(o)) * static_cast<long long>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
            v < 0 ? w_.sint(v) : w_.uint(static_cast<uint64_t>(v));
            return true;
        }
#endif
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

    // One str made of several parts.
    bool texts(std::initializer_list<std::string_view> parts) {
        size_t size = 0;
        for (std::string_view part : parts) {
            size += part.size();
        }
        w_.str_header(size);
        for (std::string_view part : parts) {
            w_.raw(part);
        }
        return true;
    }

    // A map of these entries, as a dict of them at `depth` would be written.
    bool entries(PyObject* const* keys, const Ref* values, size_t n, int depth) {
        w_.map_header(n);
        for (size_t i = 0; i < n; ++i) {
            if (!scalar(keys[i]) || !value(values[i].get(), depth + 1) || too_big()) {
                return false;
            }
        }
        return true;
    }

    bool too_big() const { return out_.size() - start_ > EXACT_MAX_BYTES; }

    bool finish(bool ok) {
        size_t limit = wrote_object_map_ ? OBJECT_OUTPUT_MAX : EXACT_MAX_BYTES;
        if (!ok || out_.size() - start_ > limit) {
            out_.resize(start_);
            return false;
        }
        return true;
    }

    MsgpackWriter<BufferSink>& writer() { return w_; }

private:
    static bool utf8_of(PyObject* s, std::string_view& out) {
        if (PyUnicode_IS_COMPACT_ASCII(s)) {  // most names and texts: the characters are the UTF-8
            out = std::string_view(static_cast<const char*>(PyUnicode_DATA(s)), static_cast<size_t>(PyUnicode_GET_LENGTH(s)));
            return true;
        }
        Py_ssize_t n = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(s, &n);
        if (utf8 == nullptr) {  // lone surrogates: the companion escapes them
            PyErr_Clear();
            return false;
        }
        out = std::string_view(utf8, static_cast<size_t>(n));
        return true;
    }

    // "<function module.qual>" and the like: module and qualified name of a function.
    bool function_text(std::string_view prefix, PyObject* function) {
        auto* f = reinterpret_cast<PyFunctionObject*>(function);
        std::string_view qual, module;
        if (f->func_qualname == nullptr || !PyUnicode_CheckExact(f->func_qualname) || !utf8_of(f->func_qualname, qual)) {
            return false;
        }
        PyObject* mod = f->func_module;
        if (mod != nullptr && PyUnicode_Check(mod) && PyUnicode_GET_LENGTH(mod) > 0) {
            if (!PyUnicode_CheckExact(mod) || !utf8_of(mod, module)) {
                return false;
            }
            return texts({prefix, module, ".", qual, ">"});
        }
        return texts({prefix, qual, ">"});
    }

    // {"__class__": name, attribute: value, ...} of an object whose class the companion
    // writes this way, `depth` levels of objects allowed from here (at least 1).
    bool object_map(PyObject* o, const TypeEntry& entry, int depth) {
        wrote_object_map_ = true;
        if (entry.kind == TypeKind::ClassOnly) {
            w_.map_header(1);
            w_.raw(CLASS_KEY);
            w_.str(entry.name);
            return true;
        }
        // The object's own class made its __dict__ (nothing else can be behind it).
        Ref attrs = Ref::steal(PyObject_GenericGetDict(o, nullptr));
        if (!attrs) {
            PyErr_Clear();
            return false;
        }
        if (Py_TYPE(attrs.get()) != &PyDict_Type || PyDict_GET_SIZE(attrs.get()) > MAX_ITEMS) {
            return false;
        }
        Py_ssize_t n = PyDict_GET_SIZE(attrs.get());
        if (active_size_ == OBJECT_DEPTH) {
            return false;  // (each level lowers `depth`: never this deep)
        }
        w_.map_header(static_cast<size_t>(n) + 1);
        w_.raw(CLASS_KEY);
        w_.str(entry.name);
        active_[active_size_++] = o;
        Py_ssize_t pos = 0, seen = 0;
        PyObject *key, *item;
        bool ok = true;
        while (ok && PyDict_Next(attrs.get(), &pos, &key, &item)) {
            ++seen;
            // An attribute named "__class__" would not replace the first entry.
            ok = Py_TYPE(key) == &PyUnicode_Type &&
                 !(PyUnicode_GET_LENGTH(key) == 9 && PyUnicode_CompareWithASCIIString(key, "__class__") == 0) &&
                 text(key) && attribute(item, depth) && !too_big();
        }
        --active_size_;
        return ok && seen == n;
    }

    bool attribute(PyObject* v, int depth) {
        PyTypeObject* tp = Py_TYPE(v);
        if (tp == &PyLong_Type || tp == &PyUnicode_Type || v == Py_None || tp == &PyFloat_Type || tp == &PyBool_Type) {
            return scalar(v);
        }
        const TypeEntry* entry = find_type(tp);
        if (entry == nullptr || entry->kind == TypeKind::Other) {
            return false;
        }
        if (depth <= 1) {
            return texts({"<", entry->name, " ", ELLIPSIS, ">"});
        }
        for (int i = 0; i < active_size_; ++i) {
            if (active_[i] == v) {
                return texts({"<cycle ", entry->name, ">"});
            }
        }
        return object_map(v, *entry, depth - 1);
    }

    Buffer& out_;
    size_t start_;
    BufferSink sink_;
    MsgpackWriter<BufferSink> w_;
    bool wrote_object_map_ = false;
    // The objects on the path, for cycles: one per level of object maps.
    std::array<PyObject*, OBJECT_DEPTH> active_{};
    int active_size_ = 0;
};

// The lightweight form of one value: the value itself for what it keeps whole.
bool light_scalar(PlainEncoder& e, PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    if (tp == &PyUnicode_Type) {
        return PyUnicode_GET_LENGTH(o) <= LIGHT_MAX_STR_CHARS && e.text(o);
    }
    if (tp != &PyBytes_Type && e.scalar(o)) {
        return true;
    }
    // Anything else is the name of its class.
    const TypeEntry* entry = tp == &PyLong_Type ? nullptr : find_type(tp);
    return entry != nullptr && e.texts({"<", entry->name, ">"});
}

// One entry of a lightweight locals map: a name that is not too long, a short value.
bool light_entry(PlainEncoder& e, PyObject* key, PyObject* item) {
    return Py_TYPE(key) == &PyUnicode_Type && PyUnicode_GET_LENGTH(key) <= MAX_STR_CHARS && e.text(key) &&
           light_scalar(e, item);
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
    if (obj == Py_None) {  // the argument of every call event
        out.push_back('\xc0');
        return true;
    }
    PlainEncoder e(out);
    return e.finish(e.value(obj, 0));
}

bool encode_plain_light(PyObject* obj, Buffer& out) {
    PlainEncoder e(out);
    if (Py_TYPE(obj) != &PyDict_Type) {
        // A dict subclass at the top is a map too, of its items: left to the companion.
        return !PyDict_Check(obj) && e.finish(light_scalar(e, obj));
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
        ok = light_entry(e, key, item);
        ++seen;
    }
    return e.finish(ok && seen == n);
}

bool encode_plain_map(PyObject* const* keys, const Ref* values, size_t n, Buffer& out) {
    PlainEncoder e(out);
    return e.finish(e.entries(keys, values, n, 0));
}

bool encode_plain_map_light(PyObject* const* keys, const Ref* values, size_t n, Buffer& out) {
    if (n > static_cast<size_t>(MAX_ITEMS)) {
        return false;
    }
    PlainEncoder e(out);
    e.writer().map_header(n);
    bool ok = true;
    for (size_t i = 0; ok && i < n; ++i) {
        ok = light_entry(e, keys[i], values[i].get());
    }
    return e.finish(ok);
}

bool note_type(PyObject* type, PyObject* name, TypeKind kind) {
    if (!PyType_Check(type) || Py_TYPE(type) != &PyType_Type || !PyUnicode_CheckExact(name)) {
        return false;  // a metaclass may compute names in its own way: never cached
    }
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    if (tp->tp_version_tag == 0) {
        // A lookup through the type's method cache gives it a tag, when tags are left.
        (void)_PyType_Lookup(tp, names().dunder_dict);
        if (tp->tp_version_tag == 0) {
            return false;
        }
    }
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &n);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    auto& entries = type_entries();
    if (entries.size() >= MAX_TYPE_ENTRIES && entries.find(tp) == entries.end()) {
        entries.clear();
        type_cache().fill(TypeCacheSlot{});
    }
    TypeEntry& entry = entries[tp];
    entry.tag = tp->tp_version_tag;
    entry.kind = kind;
    entry.name.assign(utf8, static_cast<size_t>(n));
    cache_slot(tp) = {tp, &entry};
    return true;
}

PlainEncoders speedups_encoders(PyObject* function, bool lightweight) {
    // Strong references, so an identity test cannot be fooled by a reused address; never
    // destroyed, since the interpreter may be gone by the time static objects are.
    struct Known {
        Ref function;
        PlainEncoders encoders;
    };
    static Known* known = new Known[2];
    Known& slot = known[lightweight ? 1 : 0];
    if (function == slot.function.get()) {
        return slot.encoders;
    }
    if (!is_function_of(function, "sarv._speedups", lightweight ? "dump_msgpack_lightweight_repr" : "dump_msgpack")) {
        return {};
    }
    PyObject* module = PyCFunction_GET_SELF(function);
    Ref capsule = Ref::steal(PyObject_GetAttrString(module, "_C_API"));
    auto* api = capsule ? static_cast<const SpeedupsApi*>(PyCapsule_GetPointer(capsule.get(), SPEEDUPS_CAPSULE)) : nullptr;
    if (api == nullptr || api->version != SPEEDUPS_API_VERSION) {
        PyErr_Clear();
        return {};
    }
    slot.function = Ref::borrow(function);
    slot.encoders = lightweight ? PlainEncoders{api->encode_light, api->encode_map_light}
                                : PlainEncoders{api->encode, api->encode_map};
    return slot.encoders;
}

}  // namespace sarv
