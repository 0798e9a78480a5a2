#include "values/encoder_impl.hpp"

namespace sarv::values::impl {
namespace {

// Values this short cost less to write than to keep: their checks stay in the proof of
// the value around them.
constexpr size_t KEEP_FROM_BYTES = 32;
constexpr size_t INLINE_CHECKS = 4;

}  // namespace

bool Encoder::reuse_kept(PyObject* o, int depth, Walk& w) {
    pause_gc();
    const reuse::Entry* e = reuse::find(o, depth);
    // The budget must last to its end, as it did when it was written (no item cut short).
    if (!e || w.budget - e->cost <= 0) {
        return false;
    }
    if (in_exact_ && (e->escapes != 0 || tree_depth_ + MAX_DEPTH + 2 > exact_nest_)) {
        return false;
    }
    uint64_t path_bits = 0;
    for (int i = 0; i < w.n_active; ++i) {
        path_bits |= reuse::path_bit(w.active[i]);
    }
    if (!reuse::holds(*e->proof, w.active, w.n_active, path_bits)) {
        return e->tail_at != 0 && reuse_regrown(o, depth, *e, w, path_bits);
    }
    ++reuse::counts.reused;
    out_.append(e->bytes);
    w.budget -= e->cost;
    escapes_ += e->escapes;
    const reuse::Proof& p = *e->proof;
    if (p.subs.empty() && p.items.empty() && p.checks.size() <= INLINE_CHECKS) {
        // A small proof (a dict of scalars, an instance of them): its checks go into the
        // enclosing proof, cheaper to check there than through a proof of its own.
        proof_.checks.insert(proof_.checks.end(), p.checks.begin(), p.checks.end());
        proof_.held.insert(proof_.held.end(), p.held.begin(), p.held.end());
        return true;
    }
    reuse::Check c{reuse::CheckKind::Sub};
    c.n = static_cast<uint32_t>(proof_.subs.size());
    proof_.checks.push_back(c);
    proof_.subs.push_back(e->proof);
    return true;
}

// A list cut at MAX_ITEMS items that grew (or shrank) past them since: its first items are
// written as they were, then the count of the others. Kept again with its new size, so that
// the values around it can be proven against it.
bool Encoder::reuse_regrown(PyObject* o, int depth, const reuse::Entry& e, Walk& w, uint64_t path_bits) {
    Py_ssize_t n = Py_SIZE(o);
    if (n > static_cast<Py_ssize_t>(UINT32_MAX) || !reuse::holds_regrown(*e.proof, w.active, w.n_active, path_bits)) {
        return false;
    }
    const long cost = e.cost;
    const uint32_t escapes = e.escapes, tail_at = e.tail_at;
    auto proof = std::make_shared<reuse::Proof>(*e.proof);
    proof->checks[0].n = static_cast<uint32_t>(n);
    size_t mark = out_.size();
    out_.append(e.bytes.data(), tail_at);
    Text t;
    t.utf8_text(ELLIPSIS)
        .ascii("(+")
        .number(static_cast<long>(n) - MAX_ITEMS)
        .ascii(" items)");  // as the walk writes it
    if (put_text(t) != St::Ok) {
        out_.resize(mark);
        return false;
    }
    ++reuse::counts.reused;
    w.budget -= cost;
    escapes_ += escapes;
    auto entry = std::make_shared<reuse::Entry>();
    entry->bytes.assign(out_.data() + mark, out_.size() - mark);
    entry->proof = proof;
    entry->cost = cost;
    entry->escapes = escapes;
    entry->tail_at = tail_at;
    reuse::keep(o, depth, std::move(entry));  // (`e` is gone from here on)
    reuse::Check c{reuse::CheckKind::Sub};
    c.n = static_cast<uint32_t>(proof_.subs.size());
    proof_.checks.push_back(c);
    proof_.subs.push_back(std::move(proof));
    return true;
}

void Encoder::rewind_proof(const NodeMark& m) {
    proof_.checks.resize(m.checks);
    proof_.items.resize(m.items);
    proof_.held.resize(m.held);
    proof_.subs.resize(m.subs);
    unproven_ = m.unproven;
    escapes_ = m.escapes;
}

void Encoder::node_end(const NodeMark& m, St s, PyObject* o, int depth, const Walk& w, size_t tail) {
    // (a budget spent inside is spent for the values around it too: none of them is kept)
    if (s != St::Ok || unproven_ != m.unproven || w.budget <= 0) {
        unproven_ += s != St::Ok ? 1 : 0;
        proof_.checks.resize(m.checks);
        proof_.items.resize(m.items);
        proof_.held.resize(m.held);
        proof_.subs.resize(m.subs);
        return;
    }
    size_t size = out_.size() - m.out;
    if (size < KEEP_FROM_BYTES) {
        return;
    }
    auto proof = std::make_shared<reuse::Proof>();
    proof->checks.assign(proof_.checks.begin() + static_cast<std::ptrdiff_t>(m.checks), proof_.checks.end());
    // A small proof (a dict of scalars, an instance of them) stays in the enclosing one as
    // well: cheaper to check there than through a proof of its own.
    bool small =
        proof_.subs.size() == m.subs && proof_.items.size() == m.items && proof->checks.size() <= INLINE_CHECKS;
    if (small) {
        proof->held.assign(proof_.held.begin() + static_cast<std::ptrdiff_t>(m.held), proof_.held.end());
    } else {
        for (reuse::Check& c : proof->checks) {
            if (c.kind == reuse::CheckKind::Seq || c.kind == reuse::CheckKind::Set) {
                c.at -= static_cast<uint32_t>(m.items);
            } else if (c.kind == reuse::CheckKind::Sub) {
                c.n -= static_cast<uint32_t>(m.subs);
            }
        }
        proof->items.assign(proof_.items.begin() + static_cast<std::ptrdiff_t>(m.items), proof_.items.end());
        proof->held.assign(std::make_move_iterator(proof_.held.begin() + static_cast<std::ptrdiff_t>(m.held)),
                           std::make_move_iterator(proof_.held.end()));
        proof->subs.assign(std::make_move_iterator(proof_.subs.begin() + static_cast<std::ptrdiff_t>(m.subs)),
                           std::make_move_iterator(proof_.subs.end()));
        proof_.checks.resize(m.checks);
        proof_.items.resize(m.items);
        proof_.held.resize(m.held);
        proof_.subs.resize(m.subs);
    }
    proof->covers = reuse::covered(*proof);
    auto entry = std::make_shared<reuse::Entry>();
    entry->bytes.assign(out_.data() + m.out, size);
    entry->proof = proof;
    entry->cost = m.budget - w.budget;
    entry->escapes = escapes_ - m.escapes;
    if (tail != SIZE_MAX && tail > m.out && tail - m.out <= UINT32_MAX) {
        entry->tail_at = static_cast<uint32_t>(tail - m.out);
    }
    reuse::keep(o, depth, std::move(entry));
    if (!small) {
        reuse::Check c{reuse::CheckKind::Sub};
        c.n = static_cast<uint32_t>(proof_.subs.size());
        proof_.checks.push_back(c);
        proof_.subs.push_back(std::move(proof));
    }
}

void Encoder::note_dict(PyObject* d) {
    reuse::Stamp stamp = reuse::stamp_for_proof(d);
    if (stamp.value == 0) {
        ++unproven_;
        return;
    }
    reuse::Check c{reuse::CheckKind::Dict};
    c.obj = d;
    c.n = stamp.cell;
    c.stamp = stamp.value;
    proof_.checks.push_back(c);
}

void Encoder::note_seq(PyObject* o, PyTypeObject* tp) {
    Py_ssize_t n = Py_SIZE(o);
    if (n > static_cast<Py_ssize_t>(UINT32_MAX)) {
        ++unproven_;
        return;
    }
    reuse::Check c{reuse::CheckKind::Seq};
    c.obj = o;
    c.type = tp;
    c.n = static_cast<uint32_t>(n);
    c.at = static_cast<uint32_t>(proof_.items.size());
    PyObject** items =
        tp == &PyList_Type ? reinterpret_cast<PyListObject*>(o)->ob_item : reinterpret_cast<PyTupleObject*>(o)->ob_item;
    Py_ssize_t k = std::min<Py_ssize_t>(n, MAX_ITEMS);  // (the items the walk reads)
    for (Py_ssize_t i = 0; i < k; ++i) {
        proof_.items.push_back(items[i]);
        if (reuse::is_immutable_leaf(items[i])) {
            proof_.held.push_back(Ref::borrow(items[i]));  // (the others have checks of their own)
        }
    }
    proof_.checks.push_back(c);
}

void Encoder::note_set(PyObject* o, PyTypeObject* tp) {
    auto* so = reinterpret_cast<PySetObject*>(o);
    size_t slots = static_cast<size_t>(so->mask) + 1;
    if (slots > reuse::MAX_SET_SLOTS) {
        ++unproven_;
        return;
    }
    reuse::Check c{reuse::CheckKind::Set};
    c.obj = o;
    c.type = tp;
    c.n = static_cast<uint32_t>(slots);
    c.at = static_cast<uint32_t>(proof_.items.size());
    c.stamp = static_cast<uint64_t>(so->used);
    for (size_t i = 0; i < slots; ++i) {
        PyObject* key = so->table[i].key;
        proof_.items.push_back(key);
        proof_.items.push_back(reinterpret_cast<PyObject*>(so->table[i].hash));
        // (a freed slot holds the set's own marker for one, never freed, not an immutable)
        if (key != nullptr && reuse::is_immutable_leaf(key)) {
            proof_.held.push_back(Ref::borrow(key));
        }
    }
    proof_.checks.push_back(c);
}

void Encoder::note_instance(PyObject* o, PyTypeObject* tp) {
    Ref d = Ref::steal(PyObject_GenericGetDict(o, nullptr));
    if (!d) {
        PyErr_Clear();  // (the walk meets the same failure and writes it as it does)
        ++unproven_;
        return;
    }
    PyObject* qual = reinterpret_cast<PyHeapTypeObject*>(tp)->ht_qualname;
    reuse::Stamp stamp = Py_TYPE(d.get()) == &PyDict_Type ? reuse::stamp_for_proof(d.get()) : reuse::Stamp{};
    if (stamp.value == 0 || qual == nullptr || !PyUnicode_CheckExact(qual)) {
        ++unproven_;
        return;
    }
    reuse::Check c{reuse::CheckKind::Instance};
    c.obj = o;
    c.type = tp;
    c.tag = tp->tp_version_tag;
    c.qualname = qual;
    c.dict = d.get();
    c.n = stamp.cell;
    c.stamp = stamp.value;
    proof_.held.push_back(Ref::borrow(qual));
    proof_.checks.push_back(c);
}

bool Encoder::plain_key_tuple(PyObject* k, int depth) {
    if (Py_TYPE(k) != &PyTuple_Type) {
        return false;
    }
    if (depth <= 0) {
        return true;  // (written as "<tuple …>")
    }
    Py_ssize_t n = std::min<Py_ssize_t>(PyTuple_GET_SIZE(k), MAX_ITEMS);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* e = PyTuple_GET_ITEM(k, i);
        PyTypeObject* tp = Py_TYPE(e);
        if (tp == &PyLong_Type) {
            int overflow = 0;
            PyLong_AsLongLongAndOverflow(e, &overflow);
            if (overflow != 0) {
                return false;  // (its text follows the interpreter's digit limit)
            }
        } else if (!(tp == &PyUnicode_Type || tp == &PyFloat_Type || tp == &PyBool_Type || e == Py_None ||
                     tp == &PyBytes_Type || plain_key_tuple(e, depth - 1))) {
            return false;
        }
    }
    return true;
}

}  // namespace sarv::values::impl
