// What the value encoder knows about classes: the standard classes it writes as text, and
// per class of a value, how that class's instances are written.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common.hpp"

namespace sarv::values {

// How instances of a class are written. The first group is found by the exact class, the
// rest through the class's MRO (subclasses of builtins, standard value types) or, for
// anything else, as an object map.
enum class Handler : uint8_t {
    Dict,
    List,
    Tuple,
    Set,
    FrozenSet,
    Bytes,
    ByteArray,
    MemoryView,
    Function,
    Builtin,
    Method,
    Ext,
    Range,
    Path,
    Str,
    Scalar,
    Complex,
    DateTime,
    Date,
    Time,
    TimeDelta,
    Decimal,
    Uuid,
    Class,
    Module,
    Exception,
    Enum,
    Object,
};

// Handlers whose result may stand as a map key as it is (a text, a number, bytes).
inline bool is_text_handler(Handler h) {
    switch (h) {
        case Handler::Enum:
        case Handler::DateTime:
        case Handler::Date:
        case Handler::Time:
        case Handler::TimeDelta:
        case Handler::Decimal:
        case Handler::Uuid:
        case Handler::Path:
        case Handler::Complex:
        case Handler::Range:
        case Handler::Class:
        case Handler::Function:
        case Handler::Method:
        case Handler::Builtin:
        case Handler::Module: return true;
        default: return false;
    }
}

// Facts about one class, valid while the class keeps its version tag (the interpreter
// gives a class a new tag whenever it or a base changes). Descriptors are borrowed from
// the class dicts, which cannot change without a new tag.
struct TypeInfo {
    unsigned int tag = 0;
    bool plain_metaclass = false;  // type(cls) is type
    Handler handler = Handler::Object;
    bool name_ok = false;          // `name` is valid Unicode (else the value is declined)
    std::string name;              // "module.Qual", UTF-8
    long name_chars = 0;
    bool qual_ok = false;          // __qualname__ alone (enum members name their class so)
    std::string qual;
    PyObject* dict_descr = nullptr;  // the genuine instance __dict__ descriptor, if any
    // That descriptor is the one every class statement makes, on a class without a
    // builtin base that keeps its own dict: it reads PyObject_GenericGetDict.
    bool generic_dict = false;
    std::vector<std::pair<PyObject*, PyObject*>> slots;  // (name, member descriptor)
    // An object of a class with neither instance __dict__ nor slots is always the map
    // {"__class__": name}, written here once.
    // A heap type's __qualname__ when the facts were read: assigning it does not give the
    // class a new version tag on every interpreter, so it is compared at each use.
    Ref qualname;
    bool class_only = false;
    // An instance's attributes are its __dict__ alone, read through the genuine descriptor
    // (no slots, no args), and its map starts with `class_entry`.
    bool plain_instance = false;
    std::string class_map;
    std::string class_entry;   // the "__class__": name entry of its map, packed (when name_ok)
    std::string depth_marker;  // "<module.Qual …>", packed (when name_ok)
    std::string light_marker;  // "<module.Qual>", packed: an instance in the lightweight form
};

// The standard classes and C accessors the encoder uses, fetched once. Never destroyed.
struct Known {
    PyTypeObject* datetime = nullptr;
    PyTypeObject* date = nullptr;
    PyTypeObject* time = nullptr;
    PyTypeObject* timedelta = nullptr;
    PyTypeObject* timezone = nullptr;
    PyTypeObject* zoneinfo = nullptr;  // may stay null
    PyTypeObject* decimal = nullptr;
    PyTypeObject* uuid = nullptr;
    PyTypeObject* enum_base = nullptr;
    PyTypeObject* ext_type = nullptr;   // msgpack.ExtType, may stay null
    PyTypeObject* timestamp = nullptr;  // msgpack.Timestamp, may stay null
    PyTypeObject* paths[6] = {};
    PyObject* datetime_isoformat = nullptr;
    PyObject* date_isoformat = nullptr;
    PyObject* time_isoformat = nullptr;
    PyObject* timedelta_str = nullptr;
    PyObject* decimal_str = nullptr;
    PyObject* path_str = nullptr;
    PyObject* datetime_tzinfo = nullptr;
    PyObject* time_tzinfo = nullptr;
    PyObject* date_fields[3] = {};      // year, month, day
    PyObject* datetime_fields[4] = {};  // hour, minute, second, microsecond
    PyObject* time_fields[4] = {};
    PyObject* uuid_int = nullptr;       // member descriptor, or null
    PyObject* timestamp_seconds = nullptr;
    PyObject* timestamp_nanoseconds = nullptr;
    PyObject* type_qualname = nullptr;  // type.__dict__["__qualname__"]
    PyObject* type_module = nullptr;
    PyObject* enum_name = nullptr;  // "_name_", "_value_"
    PyObject* enum_value = nullptr;
};

namespace detail {
extern Known* known;
}
// Null until init() succeeded.
inline const Known* known() { return detail::known; }
// Imports the standard modules and fetches what Known holds; false with a Python error
// set when that fails. Call with the GIL held, outside any profiled event.
bool init();

namespace detail {
// In front of the table of class facts, a small cache by address (GIL-guarded).
inline constexpr size_t FRONT_SLOTS = 64;
struct FrontSlot {
    const PyTypeObject* tp;
    TypeInfo* info;
};
extern FrontSlot front[FRONT_SLOTS];
inline FrontSlot& front_slot(const PyTypeObject* tp) {
    return front[(reinterpret_cast<uintptr_t>(tp) >> 4) % FRONT_SLOTS];
}
// Whether the facts kept are still those of `tp` (its tag is checked by the caller).
inline bool current(const TypeInfo& info, PyTypeObject* tp) {
    if (info.plain_metaclass != (Py_TYPE(tp) == &PyType_Type)) {
        return false;
    }
    return !(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
           reinterpret_cast<PyHeapTypeObject*>(tp)->ht_qualname == info.qualname.get();
}
const TypeInfo* type_info_slow(PyTypeObject* tp);
// Set while trim_types has something to drop.
extern bool trim_wanted;
void trim();
}  // namespace detail

// The facts for `tp`: cached, or computed (and cached when the class has a version tag).
// Null with a Python error set only on an interpreter failure (out of memory).
[[gnu::always_inline]] inline const TypeInfo* type_info(PyTypeObject* tp) {
    const detail::FrontSlot& slot = detail::front_slot(tp);
    unsigned int tag = tp->tp_version_tag;
    if (slot.tp == tp && tag != 0 && slot.info->tag == tag && detail::current(*slot.info, tp)) {
        return slot.info;
    }
    return detail::type_info_slow(tp);
}

// The facts type_info has cached for `tp`, or null: never computes them (no code runs).
[[gnu::always_inline]] inline const TypeInfo* cached_type_info(PyTypeObject* tp) {
    const detail::FrontSlot& slot = detail::front_slot(tp);
    unsigned int tag = tp->tp_version_tag;
    if (slot.tp == tp && tag != 0 && slot.info->tag == tag && detail::current(*slot.info, tp)) {
        return slot.info;
    }
    return nullptr;
}

// Drops what type_info kept for one encoding only. Call when no encoding is in progress.
inline void trim_types() {
    if (detail::trim_wanted) {
        detail::trim();
    }
}

// A class's dict (the mapping its __dict__ shows); new reference, null without error.
Ref type_dict(PyTypeObject* tp);

}  // namespace sarv::values
