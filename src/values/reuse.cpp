#include "values/reuse.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "values/limits.hpp"

namespace sarv::values::reuse {
namespace {

// Kept values are forgotten all at once past these (a program's objects that died leave
// entries nobody asks for; their proofs can no longer hold, they only take room).
constexpr size_t MAX_ENTRIES = 1 << 14;
constexpr size_t MAX_BYTES = 8 << 20;

// Open addressing with linear probing: entries are only ever added or replaced, and all
// forgotten at once, so no slot is ever emptied alone (no tombstones). At most half full.
struct Slot {
    PyObject* obj = nullptr;
    int depth = 0;
    std::shared_ptr<const Entry> entry;
};

size_t slot_hash(PyObject* obj, int depth) {
    return static_cast<size_t>(
        ((reinterpret_cast<uintptr_t>(obj) >> 4) ^ static_cast<uintptr_t>(depth)) * 0x9E3779B97F4A7C15ull >> 32);
}

// GIL-guarded; never destroyed (used at exit).
struct Kept {
    std::vector<Slot> slots;  // a power of two of them, or none
    size_t count = 0;
    size_t bytes = 0;

    Slot& place(PyObject* obj, int depth) {
        size_t mask = slots.size() - 1;
        for (size_t i = slot_hash(obj, depth) & mask;; i = (i + 1) & mask) {
            Slot& s = slots[i];
            if (s.obj == nullptr || (s.obj == obj && s.depth == depth)) {
                return s;
            }
        }
    }
    void grow() {
        std::vector<Slot> old = std::exchange(slots, std::vector<Slot>(slots.empty() ? 1024 : 2 * slots.size()));
        for (Slot& s : old) {
            if (s.obj != nullptr) {
                place(s.obj, s.depth) = std::move(s);
            }
        }
    }
};
Kept& kept() {
    static Kept* k = new Kept();
    return *k;
}

#if defined(Py_GIL_DISABLED)
bool available() { return false; }
#elif PY_VERSION_HEX >= 0x030C0000
// Dicts have no usable version tag from 3.12: a dict watcher does the tag's work. A watched
// dict has a cell holding its stamp; the watcher zeroes the stamp at each change of the
// dict and frees the cell when the dict is freed; a dict without a stamp gets a new one
// from one counter. A proof names the cell, so that its check reads one word instead of
// looking the dict up: a stamp is never given twice, so a cell that holds the stamp a
// proof saw holds it for the same dict, unchanged since.
using detail::cells;
std::vector<uint32_t> free_cells;
int watcher = -1;
uint64_t next_stamp = 1;
constexpr size_t MAX_STAMPS = 1 << 16;  // dicts alive and watched; past it all are dropped

// The cell of each watched dict alive, by address: open addressing with linear probing,
// at most half full; a dict freed leaves no tombstone (the entries after it move back).
struct CellSlot {
    PyObject* dict = nullptr;
    uint32_t cell = 0;
};
std::vector<CellSlot> cell_of;  // a power of two of them

size_t cell_hash(PyObject* dict) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(dict) >> 4) * 0x9E3779B97F4A7C15ull >> 32);
}

CellSlot& cell_slot(PyObject* dict) {
    size_t mask = cell_of.size() - 1;
    for (size_t i = cell_hash(dict) & mask;; i = (i + 1) & mask) {
        CellSlot& s = cell_of[i];
        if (s.dict == nullptr || s.dict == dict) {
            return s;
        }
    }
}

void drop_cell(PyObject* dict) {
    size_t mask = cell_of.size() - 1;
    size_t i = cell_hash(dict) & mask;
    while (cell_of[i].dict != dict) {
        if (cell_of[i].dict == nullptr) {
            return;  // (not stamped since the cells were last dropped)
        }
        i = (i + 1) & mask;
    }
    cells[cell_of[i].cell] = 0;
    free_cells.push_back(cell_of[i].cell);
    // Backward shift: an entry after the hole moves into it unless its home lies
    // cyclically within (hole, entry], so that every probe still meets it.
    for (size_t j = (i + 1) & mask; cell_of[j].dict != nullptr; j = (j + 1) & mask) {
        size_t home = cell_hash(cell_of[j].dict) & mask;
        if (((j - home) & mask) >= ((j - i) & mask)) {
            cell_of[i] = cell_of[j];
            i = j;
        }
    }
    cell_of[i] = CellSlot{};
}

void drop_all_cells() {
    std::fill(cells.begin(), cells.end(), 0);
    free_cells.clear();
    for (size_t i = cells.size(); i > 0; --i) {
        free_cells.push_back(static_cast<uint32_t>(i - 1));
    }
    std::fill(cell_of.begin(), cell_of.end(), CellSlot{});
}

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
    if (event == PyDict_EVENT_DEALLOCATED) {
        drop_cell(dict);
    } else {
        CellSlot& s = cell_slot(dict);
        if (s.dict != nullptr) {
            cells[s.cell] = 0;
        }
    }
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
    cell_of.resize(2 * MAX_STAMPS);
    return true;
}
#else
bool available() { return true; }
#endif

// Whether `dict` (a dict the checks before showed to be still held) has the stamp a proof saw.
inline bool stamp_holds(PyObject* dict, uint32_t cell, uint64_t stamp) {
#if defined(Py_GIL_DISABLED)
    (void)dict, (void)cell, (void)stamp;
    return false;
#elif PY_VERSION_HEX >= 0x030C0000
    (void)dict;
    return cells[cell] == stamp;
#else
    (void)cell;
    return Py_TYPE(dict) == &PyDict_Type && reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == stamp;
#endif
}

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
    return d.get() == c.dict && stamp_holds(c.dict, c.n, c.stamp);
}

bool set_holds(const Proof& proof, const Check& c) {
    if (Py_TYPE(c.obj) != c.type) {
        return false;
    }
    auto* so = reinterpret_cast<PySetObject*>(c.obj);
    if (static_cast<uint64_t>(so->mask) + 1 != c.n || static_cast<uint64_t>(so->used) != c.stamp) {
        return false;
    }
    static_assert(sizeof(setentry) == 2 * sizeof(PyObject*));
    return std::memcmp(so->table, proof.items.data() + c.at, c.n * sizeof(setentry)) == 0;
}

bool seq_holds(const Proof& proof, const Check& c) {
    if (Py_TYPE(c.obj) != c.type || static_cast<uint64_t>(Py_SIZE(c.obj)) != c.n) {
        return false;
    }
    PyObject** items = c.type == &PyList_Type ? reinterpret_cast<PyListObject*>(c.obj)->ob_item
                                              : reinterpret_cast<PyTupleObject*>(c.obj)->ob_item;
    size_t k = std::min<size_t>(c.n, MAX_ITEMS);  // (the items written)
    const PyObject* const* seen = proof.items.data() + c.at;
    if (k <= 8) {
        // (most are short: a loop costs less than the call)
        for (size_t i = 0; i < k; ++i) {
            if (items[i] != seen[i]) {
                return false;
            }
        }
        return true;
    }
    return std::memcmp(items, seen, k * sizeof(PyObject*)) == 0;
}

}  // namespace

Counts counts;

namespace detail {
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030C0000
std::vector<uint64_t> cells;
#endif
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
    k.slots = std::vector<Slot>();
    k.count = 0;
    k.bytes = 0;
}

Stamp stamp_for_proof(PyObject* dict) {
#if defined(Py_GIL_DISABLED)
    (void)dict;
    return {};
#elif PY_VERSION_HEX >= 0x030C0000
    CellSlot* s = &cell_slot(dict);
    if (s->dict != nullptr) {
        uint64_t& stamp = cells[s->cell];
        if (stamp == 0) {
            stamp = next_stamp++;  // (changed since its last stamp: still watched)
        }
        return {stamp, s->cell};
    }
    if (cells.size() - free_cells.size() >= MAX_STAMPS) {
        drop_all_cells();  // every proof that names a dict fails from now on: kept values are useless
        forget();
        s = &cell_slot(dict);
    }
    if (PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return {};
    }
    uint32_t cell;
    if (free_cells.empty()) {
        cell = static_cast<uint32_t>(cells.size());
        cells.push_back(0);
    } else {
        cell = free_cells.back();
        free_cells.pop_back();
    }
    cells[cell] = next_stamp++;
    *s = CellSlot{dict, cell};
    return {cells[cell], cell};
#else
    return {reinterpret_cast<PyDictObject*>(dict)->ma_version_tag, 0};
#endif
}

Stamp watch_dict(PyObject* dict) {
    if (!available()) {
        return {};
    }
    return stamp_for_proof(dict);
}

const Entry* find(PyObject* obj, int depth) {
    Kept& k = kept();
    if (k.slots.empty()) {
        return nullptr;
    }
    const Slot& s = k.place(obj, depth);
    return s.obj == nullptr ? nullptr : s.entry.get();
}

void keep(PyObject* obj, int depth, std::shared_ptr<const Entry> entry) {
    Kept& k = kept();
    if (k.count >= MAX_ENTRIES || k.bytes + entry->bytes.size() > MAX_BYTES) {
        forget();
    }
    if (2 * (k.count + 1) > k.slots.size()) {
        k.grow();
    }
    ++counts.kept;
    k.bytes += entry->bytes.size();
    Slot& s = k.place(obj, depth);
    if (s.obj == nullptr) {
        s.obj = obj;
        s.depth = depth;
        ++k.count;
    } else {
        k.bytes -= s.entry->bytes.size();
    }
    s.entry = std::move(entry);
}

namespace {

bool holds_from(const Proof& proof, size_t first, PyObject* const* path, int n_path, uint64_t path_bits);

// (one loop per answer to "may a container checked be on the path": the common answer, no,
// checks nothing more; the usual checks, a dict's stamp and a depth marker's type, inline)
template <bool Search>
bool holds_checks(const Proof& proof, size_t first, PyObject* const* path, int n_path, uint64_t path_bits) {
    const Check* end = proof.checks.data() + proof.checks.size();
    for (const Check* c = proof.checks.data() + first; c != end; ++c) {
        switch (c->kind) {
            case CheckKind::Type:
                if (Py_TYPE(c->obj) != c->type) {
                    return false;
                }
                continue;  // (not written as a container: never on the path)
            case CheckKind::Dict:
                if (!stamp_holds(c->obj, c->n, c->stamp)) {
                    return false;
                }
                break;
            case CheckKind::Sub:
                if (!holds_from(*proof.subs[c->n], 0, path, n_path, path_bits)) {
                    return false;
                }
                continue;  // (its containers were looked for on the path by its own checks)
            case CheckKind::Seq:
                if (!seq_holds(proof, *c)) {
                    return false;
                }
                break;
            case CheckKind::Instance:
                if (!instance_holds(*c)) {
                    return false;
                }
                break;
            case CheckKind::Set:
                if (!set_holds(proof, *c)) {
                    return false;
                }
                break;
        }
        if constexpr (Search) {
            if (on_path(c->obj, path, n_path)) {
                return false;
            }
        }
    }
    return true;
}

bool holds_from(const Proof& proof, size_t first, PyObject* const* path, int n_path, uint64_t path_bits) {
    // (none of its containers can be on the path when their bits and the path's do not meet)
    return (proof.covers & path_bits) != 0 ? holds_checks<true>(proof, first, path, n_path, path_bits)
                                           : holds_checks<false>(proof, first, path, n_path, path_bits);
}

}  // namespace

bool holds(const Proof& proof, PyObject* const* path, int n_path, uint64_t path_bits) {
    return holds_from(proof, 0, path, n_path, path_bits);
}

bool holds_regrown(const Proof& proof, PyObject* const* path, int n_path, uint64_t path_bits) {
    if (proof.checks.empty()) {
        return false;
    }
    const Check& c = proof.checks[0];
    if (c.kind != CheckKind::Seq || c.type != &PyList_Type || Py_TYPE(c.obj) != &PyList_Type || c.n <= MAX_ITEMS ||
        Py_SIZE(c.obj) <= MAX_ITEMS || on_path(c.obj, path, n_path)) {
        return false;
    }
    PyObject** items = reinterpret_cast<PyListObject*>(c.obj)->ob_item;
    return std::memcmp(items, proof.items.data() + c.at, MAX_ITEMS * sizeof(PyObject*)) == 0 &&
           holds_from(proof, 1, path, n_path, path_bits);
}

uint64_t covered(const Proof& proof) {
    uint64_t bits = 0;
    for (const Check& c : proof.checks) {
        if (c.kind != CheckKind::Type && c.kind != CheckKind::Sub) {
            bits |= path_bit(c.obj);
        }
    }
    for (const auto& sub : proof.subs) {
        bits |= sub->covers;
    }
    return bits;
}

}  // namespace sarv::values::reuse
