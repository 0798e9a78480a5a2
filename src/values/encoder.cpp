#include "values/encoder_impl.hpp"

namespace sarv::values {
namespace impl {

Outcome Encoder::dump(PyObject* obj) {
    PyTypeObject* tp = Py_TYPE(obj);
    bool too_long =
        (tp == &PyDict_Type && PyDict_GET_SIZE(obj) > static_cast<Py_ssize_t>(EXACT_MAX_BYTES)) ||
        ((tp == &PyList_Type || tp == &PyBytes_Type) && Py_SIZE(obj) > static_cast<Py_ssize_t>(EXACT_MAX_BYTES)) ||
        (tp == &PyUnicode_Type && PyUnicode_GET_LENGTH(obj) > static_cast<Py_ssize_t>(EXACT_MAX_BYTES));
    if (!too_long) {
        St s = exact(obj, PACK_NEST_LIMIT);
        if (s == St::Ok && !(used_default_ && map_dup_) && out_.size() - start_ <= EXACT_MAX_BYTES) {
            return Outcome::Done;
        }
        if (St r = after_exact(s); r != St::Ok) {
            return finish(r);
        }
    }
    return capped([&](Walk& w) { return walk(obj, MAX_DEPTH, w); }, Py_TYPE(obj));
}

Outcome Encoder::dump_entries(PyObject* const* keys, const Ref* values, size_t n) {
    if (n <= EXACT_MAX_BYTES) {
        St s = exact_entries(keys, values, n);
        if (s == St::Ok && !(used_default_ && map_dup_) && out_.size() - start_ <= EXACT_MAX_BYTES) {
            return Outcome::Done;
        }
        if (St r = after_exact(s); r != St::Ok) {
            return finish(r);
        }
    }
    return capped(
        [&](Walk& w) {
            Pairs src;
            src.keys = keys;
            src.values = values;
            src.n = n;
            return walk_pairs(src, static_cast<long>(n), MAX_DEPTH - 1, false, w);
        },
        &PyDict_Type);
}

Outcome Encoder::dump_light(PyObject* obj) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp != &PyDict_Type && !(PyType_IsSubtype(tp, &PyDict_Type) && !PyType_IsSubtype(tp, known()->enum_base))) {
        return light_top(obj);
    }
    Pairs src;
    src.dict = obj;
    src.size0 = PyDict_GET_SIZE(obj);
    return light_map(src, src.size0, tp);
}

Outcome Encoder::dump_light_entries(PyObject* const* keys, const Ref* values, size_t n) {
    if (St s = light_named_entries(keys, values, n); s != St::Slow) {
        if (s == St::Err && is_exception_pending()) {  // as light_map handles it
            out_.resize(start_);
            return finish(failure_marker(&PyDict_Type));
        }
        return finish(s);
    }
    Pairs src;
    src.keys = keys;
    src.values = values;
    src.n = n;
    return light_map(src, static_cast<Py_ssize_t>(n), &PyDict_Type);
}

template <class F>
Outcome Encoder::capped(F&& body, PyTypeObject* tp) {
    in_exact_ = false;
    Walk w;
    St s = body(w);
    if (s == St::Err && is_exception_pending()) {
        out_.resize(start_);
        truncate_keys(0);
        scopes_.clear();
        s = failure_marker(tp);
    }
    return finish(s);
}

St Encoder::failure_marker(PyTypeObject* tp) {
    Ref exc_type = Ref::borrow(PyErr_Occurred());
    PyErr_Clear();
    Ref value_type = Ref::borrow(reinterpret_cast<PyObject*>(tp));
    Text t;
    t.ascii("<unserializable ");
    SARV_TRY(name_into(t, tp));
    t.ascii(": ");
    SARV_TRY(name_into(t, reinterpret_cast<PyTypeObject*>(exc_type.get())));
    return put_text(t);
}

Outcome Encoder::light_top(PyObject* obj) {
    St s = light_value(obj);
    if (s == St::Err && is_exception_pending()) {
        out_.resize(start_);
        s = failure_marker(Py_TYPE(obj));
    }
    return finish(s);
}

St Encoder::light_value(PyObject* v) {
    PyTypeObject* tp = Py_TYPE(v);
    if (tp == &PyLong_Type) {
        if (pack_64_bits(v)) {
            return St::Ok;
        }
        Text t;
        SARV_TRY(int_text(v, t));
        SARV_TRY(cut(t, LIGHT_MAX_STR_CHARS));
        return put_text(t);
    }
    if (tp == &PyUnicode_Type) {
        long chars = 0;
        return put_str(v, LIGHT_MAX_STR_CHARS, chars);
    }
    if (tp == &PyFloat_Type) {
        pack_f64(out_, PyFloat_AS_DOUBLE(v));
        return St::Ok;
    }
    if (tp == &PyBool_Type || v == Py_None) {
        v == Py_None ? pack_nil(out_) : pack_bool(out_, v == Py_True);
        return St::Ok;
    }
    const TypeInfo* ti = type_info(tp);
    if (ti != nullptr && !ti->light_marker.empty()) {
        out_.append(ti->light_marker);
        return St::Ok;
    }
    return put_marker("<", tp, ">");
}

St Encoder::light_named_entries(PyObject* const* keys, const Ref* values, size_t n) {
    if (n > static_cast<size_t>(MAX_ITEMS)) {
        return St::Slow;
    }
    for (size_t i = 0; i < n; ++i) {
        PyObject* k = keys[i];
        if (Py_TYPE(k) != &PyUnicode_Type || !PyUnicode_IS_ASCII(k) || PyUnicode_GET_LENGTH(k) > MAX_STR_CHARS ||
            !values[i]) {
            return St::Slow;
        }
    }
    pack_map_header(out_, n);
    for (size_t i = 0; i < n; ++i) {
        PyObject* k = keys[i];
        Py_ssize_t length = PyUnicode_GET_LENGTH(k);
        pack_str(out_, std::string_view(static_cast<const char*>(PyUnicode_DATA(k)), static_cast<size_t>(length)));
        if (secret_ascii_name(k, length)) {
            pack_str(out_, REDACTED);
        } else {
            SARV_TRY(light_value(values[i].get()));
        }
    }
    return St::Ok;
}

Outcome Encoder::light_map(Pairs& src, Py_ssize_t n, PyTypeObject* tp) {
    size_t at = open_container();
    size_t count = 0;
    open_scope();
    St s = light_pairs(src, n, count);
    scopes_.clear();
    if (s == St::Err && is_exception_pending()) {
        out_.resize(start_);
        truncate_keys(0);
        scopes_.clear();
        return finish(failure_marker(tp));
    }
    if (s == St::Ok) {
        close_container(at, count, true);
    }
    truncate_keys(0);
    scopes_.clear();
    return finish(s);
}

St Encoder::light_pairs(Pairs& src, Py_ssize_t n, size_t& count) {
    long taken = 0;
    for (;;) {
        Ref k, v;
        int got = src.next(k, v);
        if (got == 0) {
            return St::Ok;
        }
        if (got < 0) {
            SARV_TRY(put_unique_str_key(ELLIPSIS, 0));
            pack_str(out_, "(changed during serialization)");
            ++count;
            return St::Ok;
        }
        if (taken >= MAX_ITEMS) {
            SARV_TRY(put_unique_str_key(ELLIPSIS, 0));
            Text t;
            t.ascii("+").number(std::max<long>(static_cast<long>(n) - taken, 1)).ascii(" entries");
            ++count;
            return put_text(t);
        }
        size_t mark = out_.size();
        bool source = false;
        if (PyUnicode_CheckExact(k.get()) && PyUnicode_GET_LENGTH(k.get()) <= MAX_STR_CHARS) {
            long chars;
            SARV_TRY(put_str(k.get(), MAX_STR_CHARS, chars));
            source = true;
        } else {
            Walk w;
            St ks = key(k.get(), w, source);
            if (ks == St::Err && is_exception_pending()) {
                out_.resize(mark);
                ks = failure_marker(Py_TYPE(k.get()));
                source = false;
            }
            SARV_TRY(ks);
        }
        SARV_TRY(settle_key(mark, source, 0));
        if (PyUnicode_Check(k.get()) && secret_name(k.get())) {
            pack_str(out_, REDACTED);
        } else {
            SARV_TRY(light_value(v.get()));
        }
        ++count;
        ++taken;
    }
}

}  // namespace impl

namespace {

using impl::Encoder;
using impl::Scratch;

Counts counts_;
int active_encodings = 0;  // GIL-guarded

// Counts an encoding as in progress, so that type facts it holds stay valid.
class Active {
public:
    Active() { ++active_encodings; }
    ~Active() {
        if (--active_encodings == 0) {
            trim_types();
        }
    }
    Active(const Active&) = delete;
    Active& operator=(const Active&) = delete;
};

template <class F>
Outcome run(Buffer& out, F&& f) {
    if (known() == nullptr) {
        ++counts_.declined;
        return Outcome::Declined;
    }
    size_t start = out.size();
    Outcome result;
    try {
        Active active;
        // One set for the process, as the GIL lets one encoding run at a time; an encoding
        // started while another is in progress (by code that runs inside it, in this
        // thread or another) gets its own.
        static Scratch* shared = new Scratch();  // never destroyed: may be used at exit
        std::unique_ptr<Scratch> own;
        if (shared->in_use) {
            own = std::make_unique<Scratch>();
        }
        Scratch& scratch = own ? *own : *shared;
        scratch.in_use = true;
        struct Release {
            Scratch& s;
            ~Release() { s.in_use = false; }
        } release{scratch};
        Encoder e(out, scratch);
        result = f(e);
    } catch (const std::bad_alloc&) {
        out.resize(start);
        PyErr_NoMemory();
        return Outcome::Failed;
    }
    if (result == Outcome::Declined) {
        ++counts_.declined;
    } else if (result == Outcome::Done) {
        ++counts_.encoded;
    }
    return result;
}

// Values written alike in every form, without setting up an encoding: None (the argument
// of every call event), bools, floats, small ints and short ASCII texts.
[[gnu::always_inline]] inline bool write_plain_scalar(PyObject* o, Buffer& out) {
    PyTypeObject* tp = Py_TYPE(o);
    if (o == Py_None) {
        pack_nil(out);
    } else if (tp == &PyLong_Type) {
#if PY_VERSION_HEX >= 0x030C0000
        if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
            return false;
        }
        pack_int(out, static_cast<int64_t>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o))));
#else
        if (Py_ABS(Py_SIZE(o)) > 1) {
            return false;
        }
        pack_int(out, static_cast<int64_t>(Py_SIZE(o)) *
                          static_cast<int64_t>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]));
#endif
    } else if (tp == &PyUnicode_Type) {
        if (!PyUnicode_IS_ASCII(o) || PyUnicode_GET_LENGTH(o) > LIGHT_MAX_STR_CHARS) {
            return false;
        }
        pack_str(out, std::string_view(static_cast<const char*>(PyUnicode_DATA(o)),
                                       static_cast<size_t>(PyUnicode_GET_LENGTH(o))));
    } else if (tp == &PyFloat_Type) {
        pack_f64(out, PyFloat_AS_DOUBLE(o));
    } else if (tp == &PyBool_Type) {
        pack_bool(out, o == Py_True);
    } else {
        return false;
    }
    return true;
}

bool plain_scalar(PyObject* o, Buffer& out) {
    if (!write_plain_scalar(o, out)) {
        return false;
    }
    ++counts_.encoded;
    return true;
}

}  // namespace

Outcome encode(PyObject* obj, Buffer& out) {
    if (plain_scalar(obj, out)) {
        return Outcome::Done;
    }
    return run(out, [&](Encoder& e) { return e.dump(obj); });
}

namespace {

// A value the lightweight form writes as its class's marker, that marker already cached;
// false (nothing written) for anything else. (Numbers, texts, bools and None are written as
// values, whatever their size.)
bool cached_light_marker(PyObject* o, Buffer& out) {
    PyTypeObject* tp = Py_TYPE(o);
    if (tp == &PyLong_Type || tp == &PyUnicode_Type || tp == &PyFloat_Type || tp == &PyBool_Type || o == Py_None) {
        return false;
    }
    const TypeInfo* ti = cached_type_info(tp);
    if (ti == nullptr || ti->light_marker.empty()) {
        return false;
    }
    out.append(ti->light_marker);
    return true;
}

}  // namespace

namespace {

// One entry of the lightweight form, as light_named_entries and light_pairs write it, for a
// name that is a short ASCII text and a value that is a plain scalar, a short ASCII text or
// an object whose class marker is cached; false (part of it written) for anything else.
[[gnu::always_inline]] inline bool light_entry(PyObject* k, PyObject* v, Buffer& out) {
    if (v == nullptr || Py_TYPE(k) != &PyUnicode_Type || !PyUnicode_IS_ASCII(k) ||
        PyUnicode_GET_LENGTH(k) > LIGHT_MAX_STR_CHARS) {
        return false;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(k);
    pack_str(out, std::string_view(static_cast<const char*>(PyUnicode_DATA(k)), static_cast<size_t>(length)));
    if (secret_ascii_name(k, length)) {
        pack_str(out, REDACTED);
        return true;
    }
    return write_plain_scalar(v, out) || cached_light_marker(v, out);
}

// A dict of such entries (a result, most often): its keys are distinct texts, so none
// needs the check for keys that decode equal. No code runs while it is read.
bool light_dict(PyObject* d, Buffer& out) {
    Py_ssize_t n = PyDict_GET_SIZE(d);
    if (n > static_cast<Py_ssize_t>(MAX_ITEMS)) {
        return false;
    }
    size_t start = out.size();
    pack_map_header(out, static_cast<size_t>(n));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (!light_entry(k, v, out)) {
            out.resize(start);
            return false;
        }
    }
    return true;
}

}  // namespace

Outcome encode_light(PyObject* obj, Buffer& out) {
    if (plain_scalar(obj, out)) {
        return Outcome::Done;
    }
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp == &PyDict_Type ? light_dict(obj, out)
                           : !PyDict_Check(obj) && cached_light_marker(obj, out)) {  // (a dict's entries are written)
        ++counts_.encoded;
        return Outcome::Done;
    }
    return run(out, [&](Encoder& e) { return e.dump_light(obj); });
}

namespace {

// Variables that all hold plain scalars under short ASCII names that hold no secret (most
// events of most programs): written without setting up an encoding, alike in every form.
// False with `out` as it was for anything else.
bool plain_entries(PyObject* const* keys, const Ref* values, size_t n, Buffer& out) {
    if (n > static_cast<size_t>(MAX_ITEMS)) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {  // objects are common: no writing before one is met
        PyObject* v = values[i].get();
        PyTypeObject* tp = v == nullptr ? nullptr : Py_TYPE(v);
        if (tp != &PyLong_Type && tp != &PyUnicode_Type && v != Py_None && tp != &PyFloat_Type && tp != &PyBool_Type) {
            return false;
        }
    }
    size_t start = out.size();
    pack_map_header(out, n);
    for (size_t i = 0; i < n; ++i) {
        PyObject* k = keys[i];
        PyObject* v = values[i].get();
        if (Py_TYPE(k) != &PyUnicode_Type || !PyUnicode_IS_ASCII(k) || v == nullptr ||
            PyUnicode_GET_LENGTH(k) > LIGHT_MAX_STR_CHARS || secret_ascii_name(k, PyUnicode_GET_LENGTH(k))) {
            out.resize(start);
            return false;
        }
        pack_str(out, std::string_view(static_cast<const char*>(PyUnicode_DATA(k)),
                                       static_cast<size_t>(PyUnicode_GET_LENGTH(k))));
        if (!write_plain_scalar(v, out)) {
            out.resize(start);
            return false;
        }
    }
    if (out.size() - start > EXACT_MAX_BYTES) {  // the exact form's bound: the capped walk writes these
        out.resize(start);
        return false;
    }
    ++counts_.encoded;
    return true;
}

// The lightweight form of variables that are plain scalars, short ASCII texts or objects
// whose class marker is cached (most events of most programs), as light_named_entries
// writes them, without setting up an encoding. False with `out` as it was for anything else.
bool light_entries(PyObject* const* keys, const Ref* values, size_t n, Buffer& out) {
    if (n > static_cast<size_t>(MAX_ITEMS)) {
        return false;
    }
    size_t start = out.size();
    pack_map_header(out, n);
    for (size_t i = 0; i < n; ++i) {
        if (!light_entry(keys[i], values[i].get(), out)) {
            out.resize(start);
            return false;
        }
    }
    ++counts_.encoded;
    return true;
}

}  // namespace

Outcome encode_entries(PyObject* const* keys, const Ref* values, size_t n, Buffer& out) {
    if (plain_entries(keys, values, n, out)) {
        return Outcome::Done;
    }
    return run(out, [&](Encoder& e) { return e.dump_entries(keys, values, n); });
}

Outcome encode_entries_light(PyObject* const* keys, const Ref* values, size_t n, Buffer& out) {
    if (light_entries(keys, values, n, out)) {
        return Outcome::Done;
    }
    return run(out, [&](Encoder& e) { return e.dump_light_entries(keys, values, n); });
}

Counts counts() { return counts_; }

}  // namespace sarv::values
