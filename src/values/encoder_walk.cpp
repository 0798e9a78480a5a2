#include "values/encoder_impl.hpp"

namespace sarv::values::impl {

St Encoder::put_str(PyObject* s, long cap, long& chars) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n <= cap && PyUnicode_IS_ASCII(s)) {  // most names and texts
        chars = static_cast<long>(n);
        pack_str(out_, std::string_view(static_cast<const char*>(PyUnicode_DATA(s)), static_cast<size_t>(n)));
        return St::Ok;
    }
    Py_ssize_t keep = n <= cap ? n : cap;
    Text suffix;
    if (n > cap) {
        suffix.utf8_text(ELLIPSIS).ascii("(+").number(static_cast<long long>(n - cap)).ascii(" chars)");
    }
    chars = static_cast<long>(keep) + suffix.chars;
    if (PyUnicode_IS_ASCII(s)) {
        pack_str_header(out_, static_cast<size_t>(keep) + suffix.utf8.size());
        out_.append(static_cast<const char*>(PyUnicode_DATA(s)), static_cast<size_t>(keep));
    } else {
        bool escaped = false;
        SizeCounter count;
        str_utf8(s, 0, keep, count, escaped);
        if (escaped) {
            if (in_exact_) {
                return St::Abort;
            }
            ++escapes_;
        }
        pack_str_header(out_, count.size + suffix.utf8.size());
        str_utf8(s, 0, keep, out_, escaped);
    }
    out_.append(suffix.utf8);
    return St::Ok;
}

St Encoder::walk(PyObject* o, int depth, Walk& w) {
    if (!nest_ok()) {
        return St::Abort;
    }
    PyTypeObject* tp = Py_TYPE(o);
    if (tp == &PyUnicode_Type) {
        long chars = 0;
        SARV_TRY(put_str(o, MAX_STR_CHARS, chars));
        w.budget -= chars + 1;
        return St::Ok;
    }
    if (tp == &PyLong_Type) {
        w.budget -= 9;
        if (exact_scalar(o)) {  // one digit
            return St::Ok;
        }
        bool in_range;
        SARV_TRY(put_int(o, in_range));
        unproven_ += in_range ? 0 : 1;  // (its text follows the interpreter's digit limit)
        return St::Ok;
    }
    if (tp == &PyFloat_Type) {
        w.budget -= 9;
        pack_f64(out_, PyFloat_AS_DOUBLE(o));
        return St::Ok;
    }
    if (tp == &PyBool_Type || o == Py_None) {
        w.budget -= 9;
        o == Py_None ? pack_nil(out_) : pack_bool(out_, o == Py_True);
        return St::Ok;
    }
    // The builtin containers need nothing from the type table but for their markers.
    if (tp == &PyDict_Type) {
        return walk_dict(o, tp, depth, w);
    }
    if (tp == &PyList_Type) {
        return walk_sequence(o, tp, Handler::List, depth, w);
    }
    if (tp == &PyTuple_Type) {
        return walk_sequence(o, tp, Handler::Tuple, depth, w);
    }
    const TypeInfo* ti = type_info(tp);
    if (ti == nullptr) {
        return St::Err;
    }
    return dispatch(o, tp, *ti, depth, w);
}

St Encoder::dispatch(PyObject* o, PyTypeObject* tp, const TypeInfo& ti, int depth, Walk& w) {
    // Of the values met here, only bytes, sets and instances of plain classes are proven.
    if (reuse_ && tp != &PyBytes_Type && tp != &PySet_Type && tp != &PyFrozenSet_Type &&
        (ti.handler != Handler::Object || ti.class_only)) {
        ++unproven_;
    }
    switch (ti.handler) {
        case Handler::Dict: return walk_dict(o, tp, depth, w);
        case Handler::List:
        case Handler::Tuple:
        case Handler::Set:
        case Handler::FrozenSet: return walk_sequence(o, tp, ti.handler, depth, w);
        case Handler::Bytes:
        case Handler::ByteArray: {
            const char* data = ti.handler == Handler::Bytes ? PyBytes_AS_STRING(o) : PyByteArray_AS_STRING(o);
            Py_ssize_t n = Py_SIZE(o);
            return put_bytes(data, n, w);
        }
        case Handler::MemoryView: return walk_memoryview(o, tp, w);
        case Handler::Ext: return put_ext(o, &w);
        case Handler::Scalar: {
            w.budget -= 9;
            if (PyLong_Check(o)) {
                Ref exact = Ref::steal(PyLong_Type.tp_as_number->nb_int(o));
                if (!exact) {
                    return St::Err;
                }
                bool in_range;
                return put_int(exact.get(), in_range);
            }
            pack_f64(out_, PyFloat_AS_DOUBLE(o));
            return St::Ok;
        }
        case Handler::Str: {
            long chars = 0;
            SARV_TRY(put_str(o, MAX_STR_CHARS, chars));
            w.budget -= chars + 1;
            return St::Ok;
        }
        case Handler::Object:
            if (ti.class_only && depth > 0 && (!in_exact_ || tree_depth_ <= exact_nest_)) {
                w.budget -= ti.name_chars + 12;  // as the object's map counts it
                out_.append(ti.class_map);
                return St::Ok;
            }
            return walk_object(o, tp, ti, depth, w, nullptr);
        case Handler::Exception: {
            PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(o)->args;
            Ref held = Ref::borrow(args != nullptr ? args : Py_None);
            return walk_object(o, tp, ti, depth, w, held.get());
        }
        case Handler::Function: {
            if (put_function_text(o)) {
                w.budget -= 32;
                return St::Ok;
            }
            [[fallthrough]];
        }
        default: {
            Text t;
            bool object_instead = false;
            SARV_TRY(text_form(o, ti, w, t, object_instead));
            if (object_instead) {
                return walk_object(o, tp, ti, depth, w, nullptr);
            }
            return put_text(t);
        }
    }
}

// What a container's walk meets before its items (the depth limit, a cycle, no room to
// track one more container): the outcome when the walk does not go in.
std::optional<St> Encoder::stop_before_items(PyObject* o, PyTypeObject* tp, int depth, Walk& w) {
    if (depth <= 0) {
        if (reuse_) {
            note_marker(o, tp);
        }
        return put_depth_marker(tp, w);
    }
    if (w.on_path(o)) {
        ++unproven_;
        return put_cycle_marker(tp, w);
    }
    if (w.n_active >= static_cast<int>(std::size(w.active))) {
        return St::Decline;
    }
    return std::nullopt;
}

St Encoder::walk_sequence(PyObject* o, PyTypeObject* tp, Handler h, int depth, Walk& w) {
    if (std::optional<St> stop = stop_before_items(o, tp, depth, w)) {
        return *stop;
    }
    const bool set = tp == &PySet_Type || tp == &PyFrozenSet_Type;
    if (!reuse_ || (tp != &PyList_Type && tp != &PyTuple_Type && !set)) {
        return walk_sequence_body(o, h, depth, w);
    }
    if (reuse_kept(o, depth, w)) {
        return St::Ok;
    }
    NodeMark m = node_start(w);
    set ? note_set(o, tp) : note_seq(o, tp);
    St s = walk_sequence_body(o, h, depth, w);
    node_end(m, s, o, depth, w, list_tail_);
    return s;
}

St Encoder::walk_sequence_body(PyObject* o, Handler h, int depth, Walk& w) {
    OnPath on_path(w, o);
    int child = depth - 1;
    w.budget -= 1;
    size_t at = open_container();
    size_t count = 0;
    Py_ssize_t n = h == Handler::List || h == Handler::Tuple ? Py_SIZE(o) : PySet_GET_SIZE(o);
    ++tree_depth_;
    St s = St::Ok;
    long taken = 0;
    bool secret_value = h == Handler::Tuple && secret_pair(o);
    size_t cut_at = SIZE_MAX;
    Ref iter;
    if (h == Handler::Set || h == Handler::FrozenSet) {
        iter = Ref::steal(PySet_Type.tp_iter(o));  // set's own iteration, not an override
        if (!iter) {
            --tree_depth_;
            return St::Err;
        }
    }
    for (Py_ssize_t i = 0;; ++i) {
        Ref item;
        if (h == Handler::List) {
            if (i >= PyList_GET_SIZE(o)) break;
            item = Ref::borrow(PyList_GET_ITEM(o, i));
        } else if (h == Handler::Tuple) {
            if (i >= PyTuple_GET_SIZE(o)) break;
            item = Ref::borrow(PyTuple_GET_ITEM(o, i));
        } else {
            item = Ref::steal(Py_TYPE(iter.get())->tp_iternext(iter.get()));
            if (!item) {
                if (PyErr_Occurred()) {
                    if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) {
                        s = St::Err;
                        break;
                    }
                    PyErr_Clear();
                    s = put_changed(count);
                }
                break;
            }
        }
        if (!nest_ok()) {
            s = St::Abort;
            break;
        }
        if (taken >= MAX_ITEMS || w.budget <= 0) {
            if (h == Handler::List && taken >= MAX_ITEMS) {
                cut_at = out_.size();
            }
            Text t;
            t.utf8_text(ELLIPSIS).ascii("(+").number(std::max<long>(static_cast<long>(n) - taken, 1)).ascii(" items)");
            s = put_text(t);
            ++count;
            break;
        }
        if (i == 1 && secret_value) {
            put_redacted(w);
            ++count;
            ++taken;
            continue;
        }
        size_t mark = out_.size();
        size_t key_mark = keys_.size();
        s = recover(walk(item.get(), child, w), mark, key_mark, item.get());
        if (s != St::Ok) {
            break;
        }
        ++count;
        ++taken;
    }
    --tree_depth_;
    list_tail_ = SIZE_MAX;  // (read right after this walk: any list inside set its own before)
    if (s != St::Ok) {
        return s;
    }
    close_container(at, count, false);
    if (cut_at != SIZE_MAX) {
        list_tail_ = cut_at - (5 - container_header_size(count));  // (the header took its final size)
    }
    return St::Ok;
}

St Encoder::put_changed(size_t& count) {
    Text t;
    t.utf8_text(ELLIPSIS).ascii("(changed during serialization)");
    ++count;
    return put_text(t);
}

St Encoder::walk_dict(PyObject* o, PyTypeObject* tp, int depth, Walk& w) {
    if (std::optional<St> stop = stop_before_items(o, tp, depth, w)) {
        return *stop;
    }
    if (!reuse_ || tp != &PyDict_Type) {
        return walk_dict_body(o, depth, w);
    }
    if (reuse_kept(o, depth, w)) {
        return St::Ok;
    }
    NodeMark m = node_start(w);
    note_dict(o);
    St s = walk_dict_body(o, depth, w);
    node_end(m, s, o, depth, w);
    return s;
}

St Encoder::walk_dict_body(PyObject* o, int depth, Walk& w) {
    OnPath on_path(w, o);
    if (PyDict_GET_SIZE(o) <= MAX_ITEMS) {
        NodeMark mark = node_start(w);
        St s = plain_pairs(o, 0, {}, depth - 1, w);
        if (s != St::Slow) {
            return s;
        }
        out_.resize(mark.out);
        w.budget = mark.budget;
        rewind_proof(mark);
    }
    Pairs src;
    src.dict = o;
    src.size0 = PyDict_GET_SIZE(o);
    return walk_pairs(src, static_cast<long>(src.size0), depth - 1, false, w);
}

St Encoder::plain_pairs(PyObject* d, size_t prefix_count, std::string_view prefix, int child, Walk& w) {
    Py_ssize_t n = PyDict_GET_SIZE(d);
    pack_map_header(out_, static_cast<size_t>(n) + prefix_count);
    out_.append(prefix);
    if (n == 0) {
        return St::Ok;
    }
    w.budget -= 1;
    ++tree_depth_;
    Py_ssize_t pos = 0;
    PyObject *kb, *vb;
    St s = St::Ok;
    while (PyDict_GET_SIZE(d) == n && PyDict_Next(d, &pos, &kb, &vb)) {
        if (w.budget <= 0 || !nest_ok() || Py_TYPE(kb) != &PyUnicode_Type || !PyUnicode_IS_ASCII(kb) ||
            PyUnicode_GET_LENGTH(kb) > MAX_STR_CHARS) {
            s = St::Slow;
            break;
        }
        std::string_view key(static_cast<const char*>(PyUnicode_DATA(kb)),
                             static_cast<size_t>(PyUnicode_GET_LENGTH(kb)));
        if (prefix_count > 0 && (key == "__class__" || key == "args")) {
            s = St::Slow;
            break;
        }
        pack_str(out_, key);
        w.budget -= static_cast<long>(key.size()) + 1;
        if (secret_ascii_name(kb, static_cast<Py_ssize_t>(key.size()))) {
            put_redacted(w);
            continue;
        }
        PyTypeObject* vt = Py_TYPE(vb);
        if ((vt == &PyLong_Type || vt == &PyFloat_Type || vt == &PyBool_Type || vb == Py_None) && exact_scalar(vb)) {
            w.budget -= 9;  // as walk() counts these
            continue;
        }
        Ref k = Ref::borrow(kb), v = Ref::borrow(vb);
        size_t vmark = out_.size();
        s = recover(walk(v.get(), child, w), vmark, keys_.size(), v.get());
        if (s != St::Ok) {
            break;
        }
    }
    --tree_depth_;
    if (s == St::Ok && PyDict_GET_SIZE(d) != n) {
        s = St::Slow;  // changed while Python code ran
    }
    return s;
}

St Encoder::walk_pairs(Pairs& src, long n, int child, bool keep_written, Walk& w) {
    w.budget -= 1;
    size_t at = open_container();
    size_t count = 0;
    size_t scope = open_scope();
    ++tree_depth_;
    St s = walk_pairs_body(src, n, child, keep_written, w, scope, count);
    --tree_depth_;
    close_scope(scope);
    if (s != St::Ok) {
        return s;
    }
    close_container(at, count, true);
    return St::Ok;
}

St Encoder::walk_pairs_body(Pairs& src, long n, int child, bool keep_written, Walk& w, size_t scope, size_t& count) {
    long taken = 0;
    for (;;) {
        Ref k, v;
        int got = src.next(k, v);
        if (got == 0) {
            return St::Ok;
        }
        if (!nest_ok()) {
            return St::Abort;
        }
        if (got < 0) {
            ++unproven_;
            SARV_TRY(put_unique_str_key(ELLIPSIS, scope));
            Text t;
            t.ascii("(changed during serialization)");
            ++count;
            return put_text(t);
        }
        if (taken >= MAX_ITEMS || w.budget <= 0) {
            SARV_TRY(put_unique_str_key(ELLIPSIS, scope));
            Text t;
            t.ascii("+").number(std::max<long>(n - taken, 1)).ascii(" entries");
            ++count;
            return put_text(t);
        }
        // (a key of the object's dict can only meet a key that is not one of them)
        if (keep_written && PyUnicode_CheckExact(k.get()) && has_str_key(k.get(), scope, !src.from_slots)) {
            ++taken;  // an attribute named like an entry already written
            continue;
        }
        size_t mark = out_.size();
        size_t key_mark = keys_.size();
        bool source = false;
        St ks = key(k.get(), w, source);
        if (ks == St::Err && is_exception_pending()) {
            out_.resize(mark);
            truncate_keys(key_mark);
            ks = failure_marker(Py_TYPE(k.get()));
            source = false;
            ++unproven_;
        }
        SARV_TRY(ks);
        if (src.from_slots) {
            source = false;
        }
        SARV_TRY(settle_key(mark, source, scope));
        if (PyUnicode_Check(k.get()) && secret_name(k.get())) {
            put_redacted(w);
        } else {
            size_t vmark = out_.size();
            SARV_TRY(recover(walk(v.get(), child, w), vmark, keys_.size(), v.get()));
        }
        ++count;
        ++taken;
    }
}

St Encoder::key(PyObject* k, Walk& w, bool& source) {
    PyTypeObject* tp = Py_TYPE(k);
    if (tp == &PyUnicode_Type) {
        long chars = 0;
        SARV_TRY(put_str(k, MAX_STR_CHARS, chars));
        source = PyUnicode_GET_LENGTH(k) <= MAX_STR_CHARS;
        w.budget -= chars + 1;
        return St::Ok;
    }
    if (tp == &PyLong_Type) {
        w.budget -= 9;
        SARV_TRY(put_int(k, source));
        unproven_ += source ? 0 : 1;
        return St::Ok;
    }
    if (tp == &PyFloat_Type || tp == &PyBool_Type || k == Py_None) {
        source = true;
        return walk(k, 0, w);
    }
    const TypeInfo* ti = type_info(tp);
    if (ti == nullptr) {
        return St::Err;
    }
    Handler h = ti->handler;
    if (is_text_handler(h) || h == Handler::Scalar || h == Handler::Str || h == Handler::Bytes) {
        source = tp == &PyBytes_Type && PyBytes_GET_SIZE(k) <= MAX_BYTES;
        return dispatch(k, tp, *ti, 0, w);
    }
    if (reuse_ && !plain_key_tuple(k, 3)) {
        ++unproven_;
    }
    Text t;
    SARV_TRY(key_text(k, tp, 3, t));
    w.budget -= t.chars + 1;
    return put_text(t);
}

St Encoder::walk_object(PyObject* o, PyTypeObject* tp, const TypeInfo& ti, int depth, Walk& w, PyObject* args) {
    if (depth <= 0) {
        ++unproven_;  // (the marker names a class, which may be assigned to the object)
        return put_depth_marker(tp, w);
    }
    if (depth > OBJECT_DEPTH) {
        depth = OBJECT_DEPTH;
    }
    if (w.on_path(o)) {
        ++unproven_;
        return put_cycle_marker(tp, w);
    }
    if (w.n_active >= static_cast<int>(std::size(w.active))) {
        return St::Decline;
    }
    if (!ti.name_ok) {
        return St::Decline;
    }
    // Instances of plain classes: attributes in a dict the class statement's getter gives.
    bool keep = reuse_ && args == nullptr && ti.plain_instance && ti.generic_dict && tp->tp_version_tag != 0 &&
                (tp->tp_flags & Py_TPFLAGS_HEAPTYPE);
    if (!keep) {
        unproven_ += reuse_ ? 1 : 0;
        return walk_object_body(o, ti, depth, w, args);
    }
    if (reuse_kept(o, depth, w)) {
        return St::Ok;
    }
    NodeMark m = node_start(w);
    note_instance(o, tp);
    St s = walk_object_body(o, ti, depth, w, args);
    node_end(m, s, o, depth, w);
    return s;
}

St Encoder::walk_object_body(PyObject* o, const TypeInfo& ti, int depth, Walk& w, PyObject* args) {
    OnPath on_path(w, o);
    if (args == nullptr && ti.slots.empty() && ti.dict_descr != nullptr) {
        NodeMark mark = node_start(w);
        St s = plain_object(o, ti, depth, w);
        if (s != St::Slow) {
            return s;
        }
        out_.resize(mark.out);
        w.budget = mark.budget;
        rewind_proof(mark);
    }
    size_t at = open_container();
    size_t scope = open_scope();
    ++tree_depth_;
    St s = object_body(o, ti, depth, w, args, at, scope);
    --tree_depth_;
    close_scope(scope);
    return s;
}

St Encoder::plain_object(PyObject* o, const TypeInfo& ti, int depth, Walk& w) {
    ++tree_depth_;
    bool nest = nest_ok();
    --tree_depth_;
    if (!nest) {
        return St::Slow;
    }
    Ref attrs;
    SARV_TRY(instance_dict(o, ti, attrs));
    if (!attrs || !PyDict_CheckExact(attrs.get()) || PyDict_GET_SIZE(attrs.get()) > MAX_ITEMS) {
        return St::Slow;
    }
    if (ti.class_entry.empty()) {
        return St::Slow;
    }
    w.budget -= ti.name_chars + 12;
    std::string_view prefix = ti.class_entry;  // "__class__": name, ahead of the attributes
    return plain_pairs(attrs.get(), 1, prefix, depth - 1, w);
}

St Encoder::object_body(PyObject* o, const TypeInfo& ti, int depth, Walk& w, PyObject* args, size_t at, size_t scope) {
    if (!nest_ok()) {
        return St::Abort;
    }
    size_t kmark = out_.size();
    pack_str(out_, "__class__");
    register_key(kmark, false);
    pack_str(out_, ti.name);
    w.budget -= ti.name_chars + 12;
    size_t prefix = 1;
    if (args != nullptr) {
        kmark = out_.size();
        pack_str(out_, "args");
        register_key(kmark, false);
        SARV_TRY(walk(args, depth - 1, w));
        ++prefix;
    }
    Ref attrs;
    SARV_TRY(instance_dict(o, ti, attrs));
    std::vector<std::pair<PyObject*, Ref>> slot_values;
    for (const auto& [name, descr] : ti.slots) {
        Ref v = Ref::steal(Py_TYPE(descr)->tp_descr_get(descr, o, reinterpret_cast<PyObject*>(Py_TYPE(o))));
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {  // a slot never assigned is left out
                return St::Err;
            }
            PyErr_Clear();
            continue;
        }
        slot_values.emplace_back(name, std::move(v));
    }
    Py_ssize_t n = (attrs ? PyDict_GET_SIZE(attrs.get()) : 0) + static_cast<Py_ssize_t>(slot_values.size());
    if (n == 0) {
        close_container(at, prefix, true);
        return St::Ok;
    }
    Pairs src;
    if (attrs) {
        src.dict = attrs.get();
        src.size0 = PyDict_GET_SIZE(attrs.get());
    }
    src.slots = &slot_values;
    // The entries go on in the map that holds "__class__" (and "args").
    w.budget -= 1;
    size_t count = 0;
    SARV_TRY(walk_pairs_body(src, static_cast<long>(n), depth - 1, true, w, scope, count));
    close_container(at, count + prefix, true);
    return St::Ok;
}

}  // namespace sarv::values::impl
