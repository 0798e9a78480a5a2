#include "values/reuse.hpp"

#include <cstring>
#include <unordered_map>

#include "values/limits.hpp"

namespace sarv::values::reuse {
namespace {

// Kept values are forgotten all at once past these (a program's objects that died leave
// entries nobody asks for; their proofs can no longer hold, they only take room).
constexpr size_t MAX_ENTRIES = 1 << 14;
constexpr size_t MAX_BYTES = 8 << 20;

struct Key {
    PyObject* obj;
    int depth;
    bool operator==(const Key& o) const { return obj == o.obj && depth == o.depth; }
};
struct KeyHash {
    size_t operator()(const Key& k) const {
        return (reinterpret_cast<uintptr_t>(k.obj) >> 4) * 0x9E3779B97F4A7C15ull ^ static_cast<size_t>(k.depth);
    }
};

// GIL-guarded; never destroyed (used at exit).
struct Kept {
    std::unordered_map<Key, std::shared_ptr<const Entry>, KeyHash> entries;
    size_t bytes = 0;
};
Kept& kept() {
    static Kept* k = new Kept();
    return *k;
}

#if defined(Py_GIL_DISABLED)
bool available() { return false; }
uint64_t current_stamp(PyObject*) { return 0; }
#elif PY_VERSION_HEX >= 0x030C0000
// Dicts have no usable version tag from 3.12: a watcher forgets the stamp of a dict at
// each of its changes and when it is freed, and a dict without one gets a new one.
std::unordered_map<PyObject*, uint64_t>* stamps = nullptr;
int watcher = -1;
uint64_t next_stamp = 1;
constexpr size_t MAX_STAMPS = 1 << 16;

int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    stamps->erase(dict);
    return 0;
}

bool available() {
    if (watcher >= 0) {
        return true;
    }
    watcher = PyDict_AddWatcher(on_dict_event);
    if (watcher < 0) {
        PyErr_Clear();  // all of them taken: values are walked every time
        return false;
    }
    stamps = new std::unordered_map<PyObject*, uint64_t>();
    return true;
}

uint64_t current_stamp(PyObject* dict) {
    auto it = stamps->find(dict);
    return it == stamps->end() ? 0 : it->second;
}
#else
bool available() { return true; }
// Every change of a dict, and every new dict, takes the next value of one counter.
uint64_t current_stamp(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#endif

bool on_path(PyObject* o, PyObject* const* path, int n_path) {
    for (int i = 0; i < n_path; ++i) {
        if (path[i] == o) {
            return true;
        }
    }
    return false;
}

bool instance_holds(const Check& c) {
    PyTypeObject* tp = Py_TYPE(c.obj);
    if (tp != c.type || tp->tp_version_tag != c.tag ||
        ((tp->tp_flags & Py_TPFLAGS_HEAPTYPE) && reinterpret_cast<PyHeapTypeObject*>(tp)->ht_qualname != c.qualname)) {
        return false;
    }
    // (the class is unchanged: its instances' __dict__ is the generic one)
    Ref d = Ref::steal(PyObject_GenericGetDict(c.obj, nullptr));
    if (!d) {
        PyErr_Clear();
        return false;
    }
    return d.get() == c.dict && current_stamp(c.dict) == c.stamp;
}

bool seq_holds(const Proof& proof, const Check& c) {
    if (Py_TYPE(c.obj) != c.type || static_cast<uint64_t>(Py_SIZE(c.obj)) != c.n) {
        return false;
    }
    PyObject** items = c.type == &PyList_Type ? reinterpret_cast<PyListObject*>(c.obj)->ob_item
                                              : reinterpret_cast<PyTupleObject*>(c.obj)->ob_item;
    size_t k = std::min<size_t>(c.n, MAX_ITEMS);  // (the items written)
    return k == 0 || std::memcmp(items, proof.items.data() + c.at, k * sizeof(PyObject*)) == 0;
}

}  // namespace

Counts counts;

namespace detail {
int state = 0;  // (off when switched off, or with no way to stamp dicts here)

bool decide() {
    state = available() ? 1 : -1;
    return state > 0;
}
}  // namespace detail

void set_enabled(bool on) {
    forget();
    detail::state = on && available() ? 1 : -1;
}

void forget() {
    Kept& k = kept();
    k.entries.clear();
    k.bytes = 0;
}

uint64_t stamp_for_proof(PyObject* dict) {
#if defined(Py_GIL_DISABLED)
    (void)dict;
    return 0;
#elif PY_VERSION_HEX >= 0x030C0000
    if (uint64_t s = current_stamp(dict)) {
        return s;
    }
    if (stamps->size() >= MAX_STAMPS) {
        stamps->clear();  // every proof that names a dict fails from now on: kept values are useless
        forget();
    }
    if (PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return 0;
    }
    uint64_t s = next_stamp++;
    stamps->emplace(dict, s);
    return s;
#else
    return current_stamp(dict);
#endif
}

const Entry* find(PyObject* obj, int depth) {
    Kept& k = kept();
    auto it = k.entries.find(Key{obj, depth});
    return it == k.entries.end() ? nullptr : it->second.get();
}

void keep(PyObject* obj, int depth, std::shared_ptr<const Entry> entry) {
    Kept& k = kept();
    if (k.entries.size() >= MAX_ENTRIES || k.bytes + entry->bytes.size() > MAX_BYTES) {
        forget();
    }
    ++counts.kept;
    k.bytes += entry->bytes.size();
    auto [it, added] = k.entries.try_emplace(Key{obj, depth}, entry);
    if (!added) {
        k.bytes -= it->second->bytes.size();
        it->second = std::move(entry);
    }
}

bool holds(const Proof& proof, PyObject* const* path, int n_path) {
    for (const Check& c : proof.checks) {
        bool ok = false;
        switch (c.kind) {
            case CheckKind::Dict: ok = Py_TYPE(c.obj) == &PyDict_Type && current_stamp(c.obj) == c.stamp; break;
            case CheckKind::Seq: ok = seq_holds(proof, c); break;
            case CheckKind::Instance: ok = instance_holds(c); break;
            case CheckKind::Type: ok = Py_TYPE(c.obj) == c.type; break;
            case CheckKind::Sub: ok = holds(*proof.subs[c.n], path, n_path); break;
        }
        if (!ok || (c.kind != CheckKind::Type && c.kind != CheckKind::Sub && on_path(c.obj, path, n_path))) {
            return false;
        }
    }
    return true;
}

}  // namespace sarv::values::reuse
