#include "values/encoder_impl.hpp"

namespace sarv::values::impl {

St Encoder::exact(PyObject* o, int nest) {
    if (nest < 0) {
        return St::Abort;  // msgpack: "recursion limit exceeded"
    }
    --nest;
    if (out_.size() - start_ > EXACT_MAX_BYTES) {
        return St::Abort;
    }
    if (exact_scalar(o)) {
        return St::Ok;
    }
    PyTypeObject* tp = Py_TYPE(o);
    if (PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE)) {
        return exact_instance(o, tp, nest);  // none of the builtin classes below
    }
    if (tp == &PyUnicode_Type) {
        return exact_str(o);
    }
    if (tp == &PyLong_Type) {
        if (pack_64_bits(o)) {
            return St::Ok;
        }
        return exact_default(o, nest);
    }
    if (o == Py_None) {
        pack_nil(out_);
        return St::Ok;
    }
    if (tp == &PyBool_Type) {
        pack_bool(out_, o == Py_True);
        return St::Ok;
    }
    if (tp == &PyFloat_Type) {
        pack_f64(out_, PyFloat_AS_DOUBLE(o));
        return St::Ok;
    }
    if (tp == &PyDict_Type) {
        return exact_dict(o, nest);
    }
    if (tp == &PyList_Type) {
        return exact_list(o, nest);
    }
    if (tp == &PyBytes_Type || tp == &PyByteArray_Type || tp == &PyMemoryView_Type) {
        return exact_binary(o, tp);
    }
    if (tp == &PyTuple_Type || tp == &PySet_Type || tp == &PyFrozenSet_Type) {
        return exact_default(o, nest);
    }
    return exact_instance(o, tp, nest);
}

St Encoder::exact_str(PyObject* o) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(o);
    if (static_cast<size_t>(n) > room()) {
        return St::Abort;
    }
    if (PyUnicode_IS_ASCII(o)) {
        pack_str(out_, std::string_view(static_cast<const char*>(PyUnicode_DATA(o)), static_cast<size_t>(n)));
        return St::Ok;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
    if (utf8 == nullptr) {
        return St::Err;
    }
    pack_str(out_, std::string_view(utf8, static_cast<size_t>(size)));
    return St::Ok;
}

St Encoder::exact_dict(PyObject* o, int nest) {
    Py_ssize_t n = PyDict_GET_SIZE(o);
    if (static_cast<size_t>(n) > room()) {
        return St::Abort;
    }
    pack_map_header(out_, static_cast<size_t>(n));
    // Keys of the dict written as they are cannot equal one another: only when some
    // key is not (a default function's text, ...) is the map written again with
    // every key noted and compared.
    size_t body = out_.size();
    Py_ssize_t pos = 0;
    PyObject *kb, *vb;
    St s = St::Ok;
    while (s == St::Ok && PyDict_Next(o, &pos, &kb, &vb)) {
        if (nest < 0 || !exact_scalar(kb)) {
            s = St::Slow;
            break;
        }
        // (exact_scalar writes only ASCII texts)
        if (Py_TYPE(kb) == &PyUnicode_Type && secret_ascii_name(kb, PyUnicode_GET_LENGTH(kb))) {
            s = St::Abort;  // the capped walk writes a map that holds a secret
            break;
        }
        if (exact_scalar(vb)) {
            if (out_.size() - start_ > EXACT_MAX_BYTES) {
                s = St::Abort;
            }
            continue;
        }
        Ref v = Ref::borrow(vb);
        s = exact(v.get(), nest);
        if (s == St::Ok && PyDict_GET_SIZE(o) != n) {
            s = St::Abort;  // changed while Python code ran
        }
    }
    if (s != St::Slow) {
        return s;
    }
    out_.resize(body);
    return exact_dict_keyed(o, n, nest);
}

St Encoder::exact_dict_keyed(PyObject* o, Py_ssize_t n, int nest) {
    Py_ssize_t pos = 0;
    PyObject *kb, *vb;
    St s = St::Ok;
    size_t scope = open_scope();
    while (s == St::Ok && PyDict_Next(o, &pos, &kb, &vb)) {
        Ref k = Ref::borrow(kb), v = Ref::borrow(vb);
        s = exact_key(k.get(), nest, scope);
        if (s == St::Ok) {
            s = PyUnicode_Check(k.get()) && secret_name(k.get()) ? St::Abort : exact(v.get(), nest);
        }
        if (s == St::Ok && PyDict_GET_SIZE(o) != n) {
            s = St::Abort;
        }
    }
    close_scope(scope);
    return s;
}

St Encoder::exact_list(PyObject* o, int nest) {
    Py_ssize_t n = PyList_GET_SIZE(o);
    if (static_cast<size_t>(n) > room()) {
        return St::Abort;
    }
    pack_array_header(out_, static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyList_GET_SIZE(o) != n) {
            return St::Abort;
        }
        Ref item = Ref::borrow(PyList_GET_ITEM(o, i));
        SARV_TRY(exact(item.get(), nest));
    }
    return PyList_GET_SIZE(o) == n ? St::Ok : St::Abort;
}

St Encoder::exact_binary(PyObject* o, PyTypeObject* tp) {
    if (tp != &PyMemoryView_Type) {
        Py_ssize_t n = Py_SIZE(o);
        if (static_cast<size_t>(n) > room()) {
            return St::Abort;
        }
        pack_bin(out_, std::string_view(tp == &PyBytes_Type ? PyBytes_AS_STRING(o) : PyByteArray_AS_STRING(o),
                                        static_cast<size_t>(n)));
        return St::Ok;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) < 0) {
        return St::Err;
    }
    St s = St::Abort;
    if (static_cast<size_t>(view.len) <= room()) {
        pack_bin(out_, std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)));
        s = St::Ok;
    }
    PyBuffer_Release(&view);
    return s;
}

St Encoder::exact_instance(PyObject* o, PyTypeObject* tp, int nest) {
    const Known& k = *known();
    if (k.ext_type != nullptr && tp == k.ext_type) {
        return put_ext(o, nullptr);
    }
    if (k.timestamp != nullptr && tp == k.timestamp) {
        return put_timestamp(o);
    }
    if (nest < 0) {
        return exact_default(o, nest);
    }
    const TypeInfo* ti = type_info(tp);
    if (ti == nullptr) {
        return St::Err;
    }
    if (ti->handler == Handler::Object) {
        // An instance that is always {"__class__": name} (a generator, a lock, ...), or
        // whose attributes are all scalars: written as the walker's tree writes it,
        // without setting one up.
        if (ti->class_only) {
            used_default_ = true;
            out_.append(ti->class_map);
            return St::Ok;
        }
        if (ti->plain_instance) {
            if (St s = scalar_object(o, *ti); s != St::Slow) {
                used_default_ = true;
                return s;
            }
        }
    } else if (ti->handler == Handler::Function && put_function_text(o)) {
        used_default_ = true;  // (as the walker's tree writes a function)
        return St::Ok;
    }
    return exact_default(o, nest, ti);
}

bool Encoder::scalar_attribute(PyObject* kb, PyObject* vb, long& budget) {
    if (budget <= 0 || Py_TYPE(kb) != &PyUnicode_Type || !PyUnicode_IS_ASCII(kb) ||
        PyUnicode_GET_LENGTH(kb) > MAX_STR_CHARS) {
        return false;
    }
    std::string_view key(static_cast<const char*>(PyUnicode_DATA(kb)), static_cast<size_t>(PyUnicode_GET_LENGTH(kb)));
    if (key == "__class__" || key == "args") {
        return false;
    }
    pack_str(out_, key);
    budget -= static_cast<long>(key.size()) + 1;
    if (secret_ascii_name(kb, static_cast<Py_ssize_t>(key.size()))) {
        budget -= REDACTED_COST;
        pack_str(out_, REDACTED);
        return true;
    }
    PyTypeObject* vt = Py_TYPE(vb);
    if (vt == &PyUnicode_Type) {
        Py_ssize_t chars = PyUnicode_GET_LENGTH(vb);
        if (!PyUnicode_IS_ASCII(vb) || chars > MAX_STR_CHARS) {
            return false;
        }
        pack_str(out_, std::string_view(static_cast<const char*>(PyUnicode_DATA(vb)), static_cast<size_t>(chars)));
        budget -= static_cast<long>(chars) + 1;
        return true;
    }
    if ((vt == &PyLong_Type || vt == &PyFloat_Type || vt == &PyBool_Type || vb == Py_None) && exact_scalar(vb)) {
        budget -= 9;
        return true;
    }
    return false;
}

St Encoder::scalar_object(PyObject* o, const TypeInfo& ti) {
    Ref attrs;
    SARV_TRY(instance_dict(o, ti, attrs));
    PyObject* d = attrs.get();
    if (d == nullptr || !PyDict_CheckExact(d) || PyDict_GET_SIZE(d) > MAX_ITEMS) {
        return St::Slow;
    }
    size_t mark = out_.size();
    Py_ssize_t n = PyDict_GET_SIZE(d);
    pack_map_header(out_, static_cast<size_t>(n) + 1);
    out_.append(ti.class_entry);
    long budget = MAX_TOTAL_BYTES - (ti.name_chars + 12) - 1;
    Py_ssize_t pos = 0;
    PyObject *kb, *vb;
    bool whole = true;
    while (whole && PyDict_Next(d, &pos, &kb, &vb)) {
        whole = scalar_attribute(kb, vb, budget);
    }
    if (whole) {
        return St::Ok;
    }
    out_.resize(mark);
    return St::Slow;
}

St Encoder::exact_key(PyObject* k, int nest, size_t scope) {
    size_t mark = out_.size();
    bool was_default = used_default_;
    used_default_ = false;
    St s = exact(k, nest);
    bool derived = used_default_ || Py_TYPE(k) == &PyMemoryView_Type;
    used_default_ = used_default_ || was_default;
    if (s != St::Ok) {
        return s;
    }
    unsigned char c = static_cast<unsigned char>(out_.data()[mark]);
    if ((c >= 0x80 && c <= 0x9f) || c == 0xdc || c == 0xdd || c == 0xde || c == 0xdf) {
        return St::Abort;  // an array or a map as a key: does not read back
    }
    register_key(mark, !derived);
    if (duplicate(scope)) {
        map_dup_ = true;  // reads back as one key: not kept when the default function ran
    }
    return St::Ok;
}

St Encoder::exact_entries(PyObject* const* keys, const Ref* values, size_t n) {
    int nest = PACK_NEST_LIMIT - 1;
    pack_map_header(out_, n);
    for (size_t i = 0; i < n; ++i) {
        if (out_.size() - start_ > EXACT_MAX_BYTES) {
            return St::Abort;
        }
        PyObject* k = keys[i];
        if (Py_TYPE(k) == &PyUnicode_Type && PyUnicode_IS_ASCII(k)) {  // a name: written as exact() would
            Py_ssize_t length = PyUnicode_GET_LENGTH(k);
            if (secret_ascii_name(k, length)) {
                return St::Abort;
            }
            pack_str(out_, std::string_view(static_cast<const char*>(PyUnicode_DATA(k)), static_cast<size_t>(length)));
        } else {
            SARV_TRY(exact(k, nest));
            if (PyUnicode_Check(k) && secret_name(k)) {
                return St::Abort;
            }
        }
        // (a value past the bound fails the final check of the size)
        PyObject* v = values[i].get();
        if (!exact_scalar(v)) {
            PyTypeObject* tp = Py_TYPE(v);
            // An instance of a class of the program (`self`), a generator, a function:
            // what exact() would do.
            SARV_TRY(!exact_writes_itself(v, tp) && out_.size() - start_ <= EXACT_MAX_BYTES
                         ? exact_instance(v, tp, nest - 1)
                         : exact(v, nest));
        }
    }
    return St::Ok;
}

St Encoder::exact_default(PyObject* o, int nest, const TypeInfo* ti) {
    used_default_ = true;
    PyTypeObject* tp = Py_TYPE(o);
    if (tp == &PyTuple_Type) {
        Py_ssize_t n = PyTuple_GET_SIZE(o);
        if (static_cast<size_t>(n) > room()) {
            return St::Abort;
        }
        if (secret_pair(o)) {
            return St::Abort;  // the capped walk writes data that holds a secret
        }
        pack_array_header(out_, static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            SARV_TRY(exact(PyTuple_GET_ITEM(o, i), nest));
        }
        return St::Ok;
    }
    if (tp == &PySet_Type || tp == &PyFrozenSet_Type) {
        Py_ssize_t n = PySet_GET_SIZE(o);
        if (static_cast<size_t>(n) > room()) {
            return St::Abort;
        }
        // list(o) first, as the default function does: the elements may run code.
        std::vector<Ref> items;
        items.reserve(static_cast<size_t>(n));
        Ref iter = Ref::steal(PySet_Type.tp_iter(o));
        if (!iter) {
            return St::Err;
        }
        while (Ref item = Ref::steal(Py_TYPE(iter.get())->tp_iternext(iter.get()))) {
            items.push_back(std::move(item));
        }
        if (PyErr_Occurred()) {
            return St::Err;
        }
        pack_array_header(out_, items.size());
        for (const Ref& item : items) {
            SARV_TRY(exact(item.get(), nest));
        }
        return St::Ok;
    }
    // The walker's tree, packed at this level of nesting.
    bool outer_in_exact = in_exact_;
    int outer_nest = exact_nest_;
    int outer_depth = tree_depth_;
    in_exact_ = true;
    exact_nest_ = nest;
    tree_depth_ = 0;
    Walk w;
    // (what walk() would do for a type exact() has not written itself)
    St s = ti != nullptr ? dispatch(o, Py_TYPE(o), *ti, MAX_DEPTH, w) : walk(o, MAX_DEPTH, w);
    in_exact_ = outer_in_exact;
    exact_nest_ = outer_nest;
    tree_depth_ = outer_depth;
    return s;
}

}  // namespace sarv::values::impl
