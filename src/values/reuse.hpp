// Encoded values kept for reuse: the bytes the capped walk wrote for a dict, a list, a
// tuple or an instance, with a proof that says exactly when they are still the bytes it
// would write. A program's `self` is recorded at every call and return of its methods,
// almost always unchanged; walking it again costs far more than checking the proof.
//
// A proof is a list of checks, in the order the walk met the values, so that a check
// only ever reads an object that the checks before it showed to be still held:
// - a dict: its stamp is the one it had (every change of a dict, and every new dict, gets
//   a stamp never given before: the version tag on 3.11, a table fed by a dict watcher
//   later);
// - a list or tuple: the same type, size and item pointers; the items that are immutable
//   builtins (str, int, float, bytes, bool, None) are held by the proof, so that no other
//   object can take their address; the others have checks of their own;
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

enum class CheckKind : uint8_t { Dict, Seq, Instance, Type, Sub };

struct Check {
    CheckKind kind;
    uint32_t n = 0;   // Seq: the size; Sub: the index in Proof::subs
    uint32_t at = 0;  // Seq: where its item pointers start in Proof::items
    PyObject* obj = nullptr;
    PyTypeObject* type = nullptr;  // Seq, Instance, Type
    uint64_t stamp = 0;            // Dict; Instance: its dict's
    PyObject* dict = nullptr;      // Instance
    PyObject* qualname = nullptr;  // Instance (held by the proof)
    unsigned int tag = 0;          // Instance: the class's version tag
};

struct Proof {
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

// The stamp of a dict for a proof; 0 when none can be given (no proof then).
uint64_t stamp_for_proof(PyObject* dict);

// The value kept for `obj` written at `depth`, or null; valid until the next keep() or
// forget() (no code of the program runs in between while a value is being written).
const Entry* find(PyObject* obj, int depth);
void keep(PyObject* obj, int depth, std::shared_ptr<const Entry> entry);

// Whether the proof holds now; no container it covers may be one of the `path` (the
// containers being written around it, which would be written as cycles). Runs no code
// of the program.
bool holds(const Proof& proof, PyObject* const* path, int n_path);

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
