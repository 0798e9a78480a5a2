#include "values/types.hpp"

#include <array>
#include <deque>
#include <unordered_map>

namespace sarv::values {
namespace {

Known*& known_ = detail::known;

// Classes seen by the encoder, by address; entries are checked against the class's
// version tag at each use. In front, a small cache by address (hashing costs a division):
// detail::front.
struct Table {
    std::unordered_map<const PyTypeObject*, TypeInfo> entries;
    // Classes without a version tag, and new facts of changed classes: kept until the
    // next trim, since an encoding in progress may hold the entries they replace.
    std::deque<TypeInfo> untagged;
    std::vector<const PyTypeObject*> stale;
};
constexpr size_t MAX_ENTRIES = 1024;

Table& table() {
    static auto* t = new Table();  // GIL-guarded; never destroyed (may be used at exit)
    return *t;
}

using detail::front_slot;

// The getter of the __dict__ descriptor a class statement makes (typeobject.c's
// subtype_dict), read from a class made for that once.
getter class_dict_getter = nullptr;

Ref get_attr(PyObject* o, const char* name) { return Ref::steal(PyObject_GetAttrString(o, name)); }

// cls.__dict__[name] of a class, as a strong reference; null with an error set if missing.
Ref class_entry(PyObject* cls, const char* name) {
    Ref d = type_dict(reinterpret_cast<PyTypeObject*>(cls));
    if (!d) {
        PyErr_Format(PyExc_AttributeError, "no class dict for %s", name);
        return {};
    }
    PyObject* found = PyDict_GetItemString(d.get(), name);
    if (found == nullptr) {
        PyErr_Format(PyExc_AttributeError, "%s", name);
        return {};
    }
    return Ref::borrow(found);
}

PyTypeObject* as_type(const Ref& r) {
    return r && PyType_Check(r.get()) ? reinterpret_cast<PyTypeObject*>(r.get()) : nullptr;
}

// The standard classes the encoder writes as text.
bool fetch_classes(Known& k) {
    Ref dt = Ref::steal(PyImport_ImportModule("datetime"));
    Ref dec = Ref::steal(PyImport_ImportModule("decimal"));
    Ref uu = Ref::steal(PyImport_ImportModule("uuid"));
    Ref pl = Ref::steal(PyImport_ImportModule("pathlib"));
    Ref en = Ref::steal(PyImport_ImportModule("enum"));
    if (!dt || !dec || !uu || !pl || !en) {
        return false;
    }
    const char* path_names[6] = {"PurePath", "PurePosixPath", "PureWindowsPath", "Path", "PosixPath", "WindowsPath"};
    Ref classes[] = {get_attr(dt.get(), "datetime"),  get_attr(dt.get(), "date"),     get_attr(dt.get(), "time"),
                     get_attr(dt.get(), "timedelta"), get_attr(dt.get(), "timezone"), get_attr(dec.get(), "Decimal"),
                     get_attr(uu.get(), "UUID"),      get_attr(en.get(), "Enum")};
    for (const Ref& c : classes) {
        if (!as_type(c)) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_TypeError, "a standard class is not a class");
            }
            return false;
        }
    }
    PyTypeObject** slots[] = {&k.datetime, &k.date,    &k.time, &k.timedelta,
                              &k.timezone, &k.decimal, &k.uuid, &k.enum_base};
    for (size_t i = 0; i < 8; ++i) {
        *slots[i] = as_type(classes[i]);
        Py_INCREF(classes[i].get());  // kept for the life of the process
    }
    for (int i = 0; i < 6; ++i) {
        Ref p = get_attr(pl.get(), path_names[i]);
        if (!as_type(p)) {
            return false;
        }
        k.paths[i] = as_type(p);
        Py_INCREF(p.get());
    }
    return true;
}

// The methods and descriptors of those classes that the encoder calls.
bool fetch_accessors(Known& k) {
    struct Entry {
        PyObject** slot;
        PyTypeObject* cls;
        const char* name;
    };
    const Entry entries[] = {
        {&k.datetime_isoformat, k.datetime, "isoformat"},
        {&k.date_isoformat, k.date, "isoformat"},
        {&k.time_isoformat, k.time, "isoformat"},
        {&k.timedelta_str, k.timedelta, "__str__"},
        {&k.decimal_str, k.decimal, "__str__"},
        {&k.path_str, k.paths[0], "__str__"},
        {&k.datetime_tzinfo, k.datetime, "tzinfo"},
        {&k.time_tzinfo, k.time, "tzinfo"},
        {&k.date_fields[0], k.date, "year"},
        {&k.date_fields[1], k.date, "month"},
        {&k.date_fields[2], k.date, "day"},
        {&k.datetime_fields[0], k.datetime, "hour"},
        {&k.datetime_fields[1], k.datetime, "minute"},
        {&k.datetime_fields[2], k.datetime, "second"},
        {&k.datetime_fields[3], k.datetime, "microsecond"},
        {&k.time_fields[0], k.time, "hour"},
        {&k.time_fields[1], k.time, "minute"},
        {&k.time_fields[2], k.time, "second"},
        {&k.time_fields[3], k.time, "microsecond"},
        {&k.type_qualname, &PyType_Type, "__qualname__"},
        {&k.type_module, &PyType_Type, "__module__"},
    };
    for (const Entry& e : entries) {
        Ref v = class_entry(reinterpret_cast<PyObject*>(e.cls), e.name);
        if (!v) {
            return false;
        }
        *e.slot = v.release();
    }
    k.enum_name = PyUnicode_InternFromString("_name_");
    k.enum_value = PyUnicode_InternFromString("_value_");
    if (k.enum_name == nullptr || k.enum_value == nullptr) {
        return false;
    }
    // The UUID's value, when the class keeps it in a slot (else UUIDs are objects).
    Ref d = type_dict(k.uuid);
    PyObject* descr = d ? PyDict_GetItemString(d.get(), "int") : nullptr;
    if (descr != nullptr && Py_TYPE(descr) == &PyMemberDescr_Type) {
        k.uuid_int = Ref::borrow(descr).release();
    }
    return true;
}

// msgpack's own types, written as msgpack writes them, when msgpack is there.
void fetch_msgpack(Known& k) {
    Ref mp = Ref::steal(PyImport_ImportModule("msgpack"));
    if (mp) {
        Ref ext = get_attr(mp.get(), "ExtType");
        Ref ts = get_attr(mp.get(), "Timestamp");
        if (as_type(ext) && PyType_IsSubtype(as_type(ext), &PyTuple_Type)) {
            k.ext_type = as_type(ext);
            ext.release();
        }
        if (as_type(ts)) {
            Ref sec = class_entry(ts.get(), "seconds");
            Ref ns = class_entry(ts.get(), "nanoseconds");
            if (sec && ns && Py_TYPE(sec.get()) == &PyMemberDescr_Type && Py_TYPE(ns.get()) == &PyMemberDescr_Type) {
                k.timestamp = as_type(ts);
                ts.release();
                k.timestamp_seconds = sec.release();
                k.timestamp_nanoseconds = ns.release();
            }
        }
    }
    PyErr_Clear();
}

bool fetch(Known& k) {
    if (!fetch_classes(k) || !fetch_accessors(k)) {
        return false;
    }
    // Optional: time zones implemented by the standard library, msgpack's own types.
    Ref zi = Ref::steal(PyImport_ImportModule("zoneinfo"));
    if (zi) {
        Ref z = get_attr(zi.get(), "ZoneInfo");
        if (as_type(z)) {
            k.zoneinfo = as_type(z);
            z.release();
        }
    }
    PyErr_Clear();
    // The __dict__ getter of a class statement's class (optional: without it, instance
    // dicts are read through their descriptors).
    {
        Ref probe = Ref::steal(
            PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()N", "_sarv_probe", PyDict_New()));
        Ref descr = probe ? class_entry(probe.get(), "__dict__") : Ref();
        if (descr && Py_TYPE(descr.get()) == &PyGetSetDescr_Type) {
            class_dict_getter = reinterpret_cast<PyGetSetDescrObject*>(descr.get())->d_getset->get;
        }
    }
    PyErr_Clear();
    fetch_msgpack(k);
    return true;
}

// Calls a getset descriptor of `type` on a class.
Ref type_getter(PyObject* descr, PyTypeObject* tp) {
    return Ref::steal(
        Py_TYPE(descr)->tp_descr_get(descr, reinterpret_cast<PyObject*>(tp), reinterpret_cast<PyObject*>(Py_TYPE(tp))));
}

// "module.Qual" of a class, read through type's own getters (never a metaclass's), or "?".
// False with an error set only for errors that are not Exceptions.
bool class_name(PyTypeObject* tp, TypeInfo& info) {
    const Known& k = *known_;
    bool plain = Py_TYPE(tp) == &PyType_Type;
    Ref qual = type_getter(k.type_qualname, tp);
    Ref mod;
    bool failed = !qual;
    if (!failed) {
        mod = type_getter(k.type_module, tp);
        if (!mod) {
            // A plain class's missing __module__ makes the name unknown; a metaclass's
            // class is named by its qualified name alone.
            failed = plain || !PyErr_ExceptionMatches(PyExc_AttributeError);
        }
    }
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return false;
        }
        PyErr_Clear();
    }
    info.name_ok = true;
    if (failed || !PyUnicode_CheckExact(qual.get())) {
        info.name.assign(1, '?');  // (assigning a literal trips a false -Wrestrict in GCC 12)
        info.name_chars = 1;
        return true;
    }
    std::string_view q, m;
    Py_ssize_t qn = 0, mn = 0;
    const char* qs = PyUnicode_AsUTF8AndSize(qual.get(), &qn);
    if (qs == nullptr) {
        PyErr_Clear();
        info.name_ok = false;
        return true;
    }
    q = std::string_view(qs, static_cast<size_t>(qn));
    info.qual_ok = true;
    info.qual.assign(q);
    long chars = static_cast<long>(PyUnicode_GET_LENGTH(qual.get()));
    if (mod && PyUnicode_CheckExact(mod.get()) && PyUnicode_GET_LENGTH(mod.get()) > 0) {
        const char* ms = PyUnicode_AsUTF8AndSize(mod.get(), &mn);
        if (ms == nullptr) {
            PyErr_Clear();
            info.name_ok = false;
            return true;
        }
        m = std::string_view(ms, static_cast<size_t>(mn));
        info.name.assign(m).append(".").append(q);
        chars += static_cast<long>(PyUnicode_GET_LENGTH(mod.get())) + 1;
    } else {
        info.name.assign(q);
    }
    info.name_chars = chars;
    return true;
}

Handler exact_handler(PyTypeObject* tp, bool& found) {
    found = true;
    const Known& k = *known_;
    if (tp == &PyDict_Type) return Handler::Dict;
    if (tp == &PyList_Type) return Handler::List;
    if (tp == &PyTuple_Type) return Handler::Tuple;
    if (tp == &PySet_Type) return Handler::Set;
    if (tp == &PyFrozenSet_Type) return Handler::FrozenSet;
    if (tp == &PyBytes_Type) return Handler::Bytes;
    if (tp == &PyByteArray_Type) return Handler::ByteArray;
    if (tp == &PyMemoryView_Type) return Handler::MemoryView;
    if (tp == &PyFunction_Type) return Handler::Function;
    if (tp == &PyCFunction_Type) return Handler::Builtin;
    if (tp == &PyMethod_Type) return Handler::Method;
    if (tp == &PyRange_Type) return Handler::Range;
    if (k.ext_type != nullptr && tp == k.ext_type) return Handler::Ext;
    for (PyTypeObject* p : k.paths) {
        if (tp == p) return Handler::Path;
    }
    found = false;
    return Handler::Object;
}

Handler base_handler(PyTypeObject* base) {
    const Known& k = *known_;
    if (base == &PyDict_Type) return Handler::Dict;
    if (base == &PyList_Type) return Handler::List;
    if (base == &PyTuple_Type) return Handler::Tuple;
    if (base == &PySet_Type) return Handler::Set;
    if (base == &PyFrozenSet_Type) return Handler::FrozenSet;
    if (base == &PyUnicode_Type) return Handler::Str;
    if (base == &PyLong_Type || base == &PyFloat_Type) return Handler::Scalar;
    if (base == &PyBytes_Type) return Handler::Bytes;
    if (base == &PyByteArray_Type) return Handler::ByteArray;
    if (base == &PyComplex_Type) return Handler::Complex;
    if (base == k.datetime) return Handler::DateTime;
    if (base == k.date) return Handler::Date;
    if (base == k.time) return Handler::Time;
    if (base == k.timedelta) return Handler::TimeDelta;
    if (base == k.decimal) return Handler::Decimal;
    if (base == k.uuid) return Handler::Uuid;
    if (base == &PyType_Type) return Handler::Class;
    if (base == &PyModule_Type) return Handler::Module;
    if (base == reinterpret_cast<PyTypeObject*>(PyExc_BaseException)) return Handler::Exception;
    return Handler::Object;
}

// The header of a packed text of `size` bytes (below 65536), as pack_str_header writes it.
void append_str_header(std::string& out, size_t size) {
    if (size < 32) {
        out.push_back(static_cast<char>(0xa0 | size));
    } else if (size < 256) {
        out.push_back('\xd9');
        out.push_back(static_cast<char>(size));
    } else {
        out.push_back('\xda');
        out.push_back(static_cast<char>(size >> 8));
        out.push_back(static_cast<char>(size));
    }
}

// The first class of tp's base chain that is not a heap type and keeps an instance dict:
// the class statement's getter reads the dict through that class's own descriptor.
PyTypeObject* builtin_base_with_dict(PyTypeObject* tp) {
    for (; tp->tp_base != nullptr; tp = tp->tp_base) {
        if (tp->tp_dictoffset != 0 && !(tp->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
            return tp;
        }
    }
    return nullptr;
}

bool compute(PyTypeObject* tp, TypeInfo& info) {
    info.tag = tp->tp_version_tag;
    if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        info.qualname = Ref::borrow(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_qualname);
    }
    info.plain_metaclass = Py_TYPE(tp) == &PyType_Type;
    info.dict_descr = nullptr;
    info.slots.clear();
    if (!class_name(tp, info)) {
        return false;
    }
    PyObject* mro = tp->tp_mro;
    Py_ssize_t n = mro != nullptr && PyTuple_Check(mro) ? PyTuple_GET_SIZE(mro) : 0;
    bool found = false;
    info.handler = exact_handler(tp, found);
    if (!found) {
        // Enum first: IntEnum and StrEnum list int or str before Enum in their MRO.
        if (PyType_IsSubtype(tp, known_->enum_base)) {
            info.handler = Handler::Enum;
        } else {
            info.handler = Handler::Object;
            for (Py_ssize_t i = 0; i < n; ++i) {
                Handler h = base_handler(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
                if (h != Handler::Object) {
                    info.handler = h;
                    break;
                }
            }
        }
    }
    // The instance __dict__: the first class of the MRO naming "__dict__" decides; only
    // the interpreter's own descriptor kinds are read.
    bool dict_seen = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref d = type_dict(cls);
        if (!d) {
            continue;
        }
        if (!dict_seen) {
            PyObject* descr = PyDict_GetItemWithError(d.get(), names().dunder_dict);
            if (descr != nullptr) {
                dict_seen = true;
                if (Py_TYPE(descr) == &PyGetSetDescr_Type || Py_TYPE(descr) == &PyMemberDescr_Type) {
                    info.dict_descr = descr;
                }
            } else if (PyErr_Occurred()) {
                return false;
            }
        }
        PyObject* has_slots = PyDict_GetItemString(d.get(), "__slots__");
        if (has_slots == nullptr) {
            continue;
        }
        Py_ssize_t pos = 0;
        PyObject *key, *descr;
        while (PyDict_Next(d.get(), &pos, &key, &descr)) {
            if (Py_TYPE(descr) != &PyMemberDescr_Type || !PyUnicode_CheckExact(key)) {
                continue;
            }
            if (PyUnicode_CompareWithASCIIString(key, "__weakref__") == 0 ||
                PyUnicode_CompareWithASCIIString(key, "__dict__") == 0) {
                continue;
            }
            info.slots.emplace_back(key, descr);
        }
    }
    if (info.name_ok && info.name.size() < 65536) {
        info.class_entry.assign("\xa9__class__");
        append_str_header(info.class_entry, info.name.size());
        info.class_entry.append(info.name);
    }
    if (info.name_ok && info.name.size() < 65000) {
        // "<" name " …>": the text of an instance met beyond the depth limits.
        append_str_header(info.depth_marker, 1 + info.name.size() + 5);
        info.depth_marker.append("<").append(info.name).append(" \xe2\x80\xa6>");
        append_str_header(info.light_marker, 1 + info.name.size() + 1);
        info.light_marker.append("<").append(info.name).append(">");
    }
    info.class_only = info.handler == Handler::Object && info.dict_descr == nullptr && info.slots.empty() &&
                      !info.class_entry.empty();
    if (info.class_only) {
        info.class_map.assign(1, '\x81').append(info.class_entry);
    }
    info.plain_instance = info.handler == Handler::Object && info.dict_descr != nullptr && info.slots.empty() &&
                          !info.class_entry.empty();
    info.generic_dict = info.dict_descr != nullptr && class_dict_getter != nullptr &&
                        Py_TYPE(info.dict_descr) == &PyGetSetDescr_Type &&
                        reinterpret_cast<PyGetSetDescrObject*>(info.dict_descr)->d_getset->get == class_dict_getter &&
                        builtin_base_with_dict(tp) == nullptr;
    return true;
}

// The facts still hold for `tp` (its tag was checked by the caller).
unsigned int version_tag(PyTypeObject* tp) {
    if (tp->tp_version_tag == 0) {
#if PY_VERSION_HEX >= 0x030C0000
        PyUnstable_Type_AssignVersionTag(tp);
#else
        (void)_PyType_Lookup(tp, names().dunder_dict);  // gives the class a tag, when tags are left
#endif
    }
    return tp->tp_version_tag;
}

}  // namespace

Ref type_dict(PyTypeObject* tp) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(tp));
#else
    return Ref::borrow(tp->tp_dict);
#endif
}

namespace detail {
Known* known = nullptr;
FrontSlot front[FRONT_SLOTS] = {};
bool trim_wanted = false;
}  // namespace detail

bool init() {
    if (known_ != nullptr) {
        return true;
    }
    auto* k = new Known();
    if (!fetch(*k)) {
        delete k;  // what it holds stays referenced: harmless, init is retried at most a few times
        return false;
    }
    known_ = k;
    return true;
}

namespace detail {

const TypeInfo* type_info_slow(PyTypeObject* tp) {
    Table& t = table();
    unsigned int tag = version_tag(tp);
    if (tag == 0) {
        trim_wanted = true;
        TypeInfo& info = t.untagged.emplace_back();
        return compute(tp, info) ? &info : nullptr;
    }
    FrontSlot& slot = front_slot(tp);
    if (slot.tp == tp && slot.info->tag == tag && current(*slot.info, tp)) {
        return slot.info;
    }
    auto it = t.entries.find(tp);
    if (it != t.entries.end() && it->second.tag == tag && current(it->second, tp)) {
        slot = {tp, &it->second};
        return &it->second;
    }
    TypeInfo fresh;
    if (!compute(tp, fresh)) {
        return nullptr;
    }
    if (it != t.entries.end()) {
        // Replaced only between encodings (see trim_types): an encoding in progress may
        // hold the old entry. Until then the new facts live beside it.
        trim_wanted = true;
        t.stale.push_back(tp);
        TypeInfo& info = t.untagged.emplace_back(std::move(fresh));
        return &info;
    }
    TypeInfo& info = t.entries.emplace(tp, std::move(fresh)).first->second;
    if (t.entries.size() >= MAX_ENTRIES) {
        trim_wanted = true;
    }
    slot = {tp, &info};
    return &info;
}

void trim() {
    trim_wanted = false;
    Table& t = table();
    t.untagged.clear();
    if (t.entries.size() >= MAX_ENTRIES) {
        t.entries.clear();
        std::fill(std::begin(front), std::end(front), FrontSlot{nullptr, nullptr});
    }
    // Entries of changed classes go, so that their next use caches the new facts (the
    // classes are not looked at: they may be gone by now).
    for (const PyTypeObject* tp : t.stale) {
        FrontSlot& slot = front_slot(tp);
        if (slot.tp == tp) {
            slot = {nullptr, nullptr};
        }
        t.entries.erase(tp);
    }
    t.stale.clear();
}

}  // namespace detail

}  // namespace sarv::values
