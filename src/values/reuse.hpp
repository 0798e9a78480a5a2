// Encoded values kept for reuse: the bytes the capped walk wrote for a dict, a list, a
// tuple or an instance, with a proof that says exactly when they are still the bytes it
// would write. A program's `self` is recorded at every call and return of its methods,
// almost always unchanged; walking it again costs far more than checking the proof.
//
// A proof is a list of checks, in the order the walk met the values, so that a check
// only ever reads an object that the checks before it showed to be still held:
// - a dict: its stamp is the one it had (every change of a dict, and every new dict, gets
//   a stamp never given before: the version tag on 3.11, a cell kept by a dict watcher
//   later);
// - a list or tuple: the same type, size and item pointers; the items that are immutable
//   builtins (str, int, float, bytes, bool, None) are held by the proof, so that no other
//   object can take their address; the others have checks of their own;
// - a set or frozenset: the same type, size and hash table (slots, keys and hashes, in
//   table order, the order the walk meets them), its keys held or checked as a list's;
// - an instance: the same class (version tag and __qualname__) and the same dict with the
//   same stamp;
// - a container written as a depth marker: the same type;
// - a value reused inside this one: its own proof.
// No reference to a mutable object of the program is held: only its address, compared.
// Values whose bytes depend on anything else (sets, text forms, cycles, Python code run
// while writing) are never kept.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common.hpp"

namespace sarv::values::reuse {

enum class CheckKind : uint8_t { Dict, Seq, Instance, Type, Sub, Set };

struct Check {
    CheckKind kind;
    uint32_t n = 0;   // Seq: the size; Set: the table's slots; Sub: the index in Proof::subs;
                      // Dict, Instance: the dict's Stamp::cell
    uint32_t at = 0;  // Seq, Set: where its item pointers (a set: key, hash) start in Proof::items
    PyObject* obj = nullptr;
    PyTypeObject* type = nullptr;  // Seq, Instance, Type
    uint64_t stamp = 0;            // Dict; Instance: its dict's; Set: its size
    PyObject* dict = nullptr;      // Instance
    PyObject* qualname = nullptr;  // Instance (held by the proof)
    unsigned int tag = 0;          // Instance: the class's version tag
};

struct Proof {
    uint64_t covers = 0;  // path_bit() of every container checked, here and in the subs
    std::vector<Check> checks;
    std::vector<PyObject*> items;
    std::vector<Ref> held;
    std::vector<std::shared_ptr<const Proof>> subs;
};

struct Entry {
    std::string bytes;
    std::shared_ptr<const Proof> proof;
    long cost = 0;             // of the capped walk's budget
    uint32_t escapes = 0;      // texts written with escapes (the exact form refuses them)
    uint32_t tail_at = 0;      // a list cut at MAX_ITEMS items: where its "…(+N items)" starts
};

namespace detail {
extern int state;  // 0: not decided yet; 1: on; -1: off
bool decide();
}  // namespace detail
// Whether values are kept and reused (on unless switched off, or unavailable here).
inline bool enabled() { return detail::state > 0 || (detail::state == 0 && detail::decide()); }
// Off forgets every value kept. For the differential tests.
void set_enabled(bool on);
// Forgets every value kept (the redaction rules changed).
void forget();

// The stamp of a dict for a proof (`value` 0 when none can be given: no proof then), and
// where a check finds it again (3.12+; 0 where the dict holds it).
struct Stamp {
    uint64_t value = 0;
    uint32_t cell = 0;
};
Stamp stamp_for_proof(PyObject* dict);

// The same for a cache outside the encoder (whether values are reused or not): whatever a
// dict holds is what it held when it had this stamp, as long as unchanged() says so.
Stamp watch_dict(PyObject* dict);

namespace detail {
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030C0000
extern std::vector<uint64_t> cells;  // the stamp of each cell; 0: none (changed, or free)
#endif
}  // namespace detail

// Whether `dict` (held, or shown to be held) has the stamp it had; checked at every event
// by some callers, so inline.
inline bool unchanged(PyObject* dict, const Stamp& stamp) {
#if defined(Py_GIL_DISABLED)
    (void)dict, (void)stamp;
    return false;
#elif PY_VERSION_HEX >= 0x030C0000
    (void)dict;
    return stamp.value != 0 && detail::cells[stamp.cell] == stamp.value;
#else
    return stamp.value != 0 && reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == stamp.value;
#endif
}

// The value kept for `obj` written at `depth`, or null; valid until the next keep() or
// forget() (no code of the program runs in between while a value is being written).
const Entry* find(PyObject* obj, int depth);
void keep(PyObject* obj, int depth, std::shared_ptr<const Entry> entry);

// holds() for a list cut at MAX_ITEMS items (the proof's first check) that has grown or
// shrunk since, still past MAX_ITEMS items: its first items are the ones written.
bool holds_regrown(const Proof& proof, PyObject* const* path, int n_path, uint64_t path_bits);

// One bit of 64 for a container: a proof's bits and the path's meet only when one of its
// containers may be on the path (the common case, none, is one test instead of a search).
inline uint64_t path_bit(PyObject* o) {
    return uint64_t{1} << ((reinterpret_cast<uintptr_t>(o) >> 4) * 0x9E3779B97F4A7C15ull >> 58);
}

// Whether the proof holds now; no container it covers may be one of the `path` (the
// containers being written around it, which would be written as cycles; `path_bits` the
// OR of their path_bit()). Runs no code of the program.
bool holds(const Proof& proof, PyObject* const* path, int n_path, uint64_t path_bits);

// The path_bit() of every container the proof checks (its `covers`, once it is complete).
uint64_t covered(const Proof& proof);

// Sets whose table has more slots are not kept (their snapshot would cost more than the walk).
inline constexpr size_t MAX_SET_SLOTS = 256;

// Values kept and values reused since the process started.
struct Counts {
    uint64_t kept = 0;
    uint64_t reused = 0;
};
extern Counts counts;  // GIL-guarded

// Whether `o` is a value a proof may hold a reference to, so that identity proves it.
inline bool is_immutable_leaf(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    return tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type || o == Py_None ||
           tp == &PyBytes_Type;
}

}  // namespace sarv::values::reuse
