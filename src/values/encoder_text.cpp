#include "values/encoder_impl.hpp"

namespace sarv::values::impl {

St Encoder::name_into(Text& t, PyTypeObject* tp) {
    const TypeInfo* ti = type_info(tp);
    if (ti == nullptr) {
        return St::Err;
    }
    if (!ti->name_ok) {
        return St::Decline;
    }
    t.utf8.append(ti->name);
    t.chars += ti->name_chars;
    return St::Ok;
}

St Encoder::marker(std::string_view prefix, PyTypeObject* tp, std::string_view suffix, Text& t) {
    t.ascii(prefix);
    SARV_TRY(name_into(t, tp));
    t.utf8_text(suffix);
    return St::Ok;
}

St Encoder::put_marker(std::string_view prefix, PyTypeObject* tp, std::string_view suffix) {
    Text t;
    SARV_TRY(marker(prefix, tp, suffix, t));
    return put_text(t);
}

St Encoder::put_depth_marker(PyTypeObject* tp, Walk& w) {
    w.budget -= 8;
    const TypeInfo* ti = type_info(tp);
    if (ti != nullptr && !ti->depth_marker.empty()) {
        out_.append(ti->depth_marker);
        return St::Ok;
    }
    return put_marker("<", tp, " \xe2\x80\xa6>");
}

St Encoder::put_cycle_marker(PyTypeObject* tp, Walk& w) {
    w.budget -= 8;
    return put_marker("<cycle ", tp, ">");
}

St Encoder::int_text(PyObject* v, Text& t) {
    Ref bits_obj = Ref::steal(PyObject_CallMethod(v, "bit_length", nullptr));
    if (!bits_obj) {
        return St::Err;
    }
    long long bits = PyLong_AsLongLong(bits_obj.get());
    if (bits > MAX_INT_BITS) {
        t.ascii("<int ").number(bits).ascii(" bits>");
        return St::Ok;
    }
    Ref repr = Ref::steal(PyLong_Type.tp_repr(v));
    if (!repr) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) {  // the program lowered the digits limit
            return St::Err;
        }
        PyErr_Clear();
        t.ascii("<int ").number(bits).ascii(" bits>");
        return St::Ok;
    }
    t.str(repr.get());
    return St::Ok;
}

St Encoder::put_int(PyObject* v, bool& in_range) {
    in_range = pack_64_bits(v);
    if (in_range) {
        return St::Ok;
    }
    Text t;
    SARV_TRY(int_text(v, t));
    return put_text(t);
}

St Encoder::scalar_repr(PyObject* v, Text& t) {
    PyTypeObject* tp = Py_TYPE(v);
    if (v == Py_None) {
        t.ascii("None");
    } else if (tp == &PyBool_Type) {
        t.ascii(v == Py_True ? "True" : "False");
    } else if (tp == &PyFloat_Type) {
        float_repr(PyFloat_AS_DOUBLE(v), t);
    } else if (tp == &PyLong_Type) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0) {
            t.number(x);
            return St::Ok;
        }
        Ref bits_obj = Ref::steal(PyObject_CallMethod(v, "bit_length", nullptr));
        if (!bits_obj) {
            return St::Err;
        }
        if (PyLong_AsLongLong(bits_obj.get()) > MAX_INT_BITS) {
            return int_text(v, t);
        }
        Ref repr = Ref::steal(PyLong_Type.tp_repr(v));
        if (!repr) {
            return St::Err;
        }
        t.str(repr.get());
    } else if (tp == &PyBytes_Type) {
        Py_ssize_t n = PyBytes_GET_SIZE(v);
        Ref head =
            n > MAX_BYTES ? Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(v), MAX_BYTES)) : Ref::borrow(v);
        if (!head) {
            return St::Err;
        }
        Ref repr = Ref::steal(PyBytes_Type.tp_repr(head.get()));
        if (!repr) {
            return St::Err;
        }
        t.str(repr.get());
    } else {
        Ref repr = Ref::steal(PyUnicode_Type.tp_repr(v));
        if (!repr) {
            return St::Err;
        }
        t.str(repr.get());
    }
    return St::Ok;
}

void Encoder::float_repr(double d, Text& t) {
    char* s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (s == nullptr) {
        t.ascii("?");
        return;
    }
    t.ascii(s);
    PyMem_Free(s);
}

St Encoder::cut(Text& t, long cap) {
    if (t.chars <= cap) {
        return St::Ok;
    }
    if (t.escaped) {
        return St::Decline;  // characters and bytes no longer line up
    }
    size_t at = 0;
    long seen = 0;
    while (at < t.utf8.size()) {
        if ((static_cast<unsigned char>(t.utf8[at]) & 0xc0) != 0x80) {
            if (seen == cap) {
                break;
            }
            ++seen;
        }
        ++at;
    }
    long extra = t.chars - cap;
    t.utf8.resize(at);
    t.chars = cap;
    t.ascii("").utf8_text(ELLIPSIS);
    t.ascii("(+").number(extra).ascii(" chars)");
    return St::Ok;
}

St Encoder::text_str_result(Ref r, Text& t, long cap) {
    if (!r) {
        return St::Err;
    }
    if (!PyUnicode_Check(r.get())) {
        PyErr_SetString(PyExc_TypeError, "a text form is not a str");
        return St::Err;
    }
    t.str(r.get());
    return cut(t, cap);
}

St Encoder::naive_iso(PyObject* o, PyObject* const* clock_fields, bool with_date, Text& t) {
    long v[7] = {};
    int first = with_date ? 0 : 3;
    for (int i = first; i < 7; ++i) {
        PyObject* descr = i < 3 ? known()->date_fields[i] : clock_fields[i - 3];
        Ref f = descr_get(descr, o);
        if (!f) {
            return St::Err;
        }
        v[i] = PyLong_AsLong(f.get());
        if (v[i] == -1 && PyErr_Occurred()) {
            return St::Err;
        }
    }
    if (with_date) {
        char y[8];
        std::snprintf(y, sizeof y, "%04ld", v[0]);
        t.ascii(y).ascii("-");
        two(t, v[1]);
        t.ascii("-");
        two(t, v[2]);
        t.ascii("T");
    }
    two(t, v[3]);
    t.ascii(":");
    two(t, v[4]);
    t.ascii(":");
    two(t, v[5]);
    if (v[6] != 0) {
        char us[8];
        std::snprintf(us, sizeof us, ".%06ld", v[6]);
        t.ascii(us);
    }
    return St::Ok;
}

St Encoder::name_suffix(Text& t, PyObject* tz) {
    t.ascii("[tz: ");
    SARV_TRY(name_into(t, Py_TYPE(tz)));
    t.ascii("]");
    return St::Ok;
}

St Encoder::text_form(PyObject* o, const TypeInfo& ti, Walk& w, Text& t, bool& object_instead) {
    const Known& k = *known();
    switch (ti.handler) {
        case Handler::Enum: return enum_text(o, ti, w, t);
        case Handler::DateTime: {
            w.budget -= 33;
            Ref tz = descr_get(k.datetime_tzinfo, o);
            if (!tz) return St::Err;
            if (safe_tz(tz.get())) return text_str_result(call1(k.datetime_isoformat, o), t, LONG_MAX);
            SARV_TRY(naive_iso(o, k.datetime_fields, true, t));
            return name_suffix(t, tz.get());
        }
        case Handler::Date: w.budget -= 11; return text_str_result(call1(k.date_isoformat, o), t, LONG_MAX);
        case Handler::Time: {
            w.budget -= 22;
            Ref tz = descr_get(k.time_tzinfo, o);
            if (!tz) return St::Err;
            if (safe_tz(tz.get())) return text_str_result(call1(k.time_isoformat, o), t, LONG_MAX);
            SARV_TRY(naive_iso(o, k.time_fields, false, t));
            return name_suffix(t, tz.get());
        }
        case Handler::TimeDelta: w.budget -= 20; return text_str_result(call1(k.timedelta_str, o), t, LONG_MAX);
        case Handler::Decimal: {
            SARV_TRY(text_str_result(call1(k.decimal_str, o), t, MAX_STR_CHARS));
            w.budget -= t.chars + 1;
            return St::Ok;
        }
        case Handler::Uuid: return uuid_text(o, w, t, object_instead);
        case Handler::Path: {
            SARV_TRY(text_str_result(call1(k.path_str, o), t, MAX_STR_CHARS));
            w.budget -= t.chars + 1;
            return St::Ok;
        }
        case Handler::Complex:
        case Handler::Range: {
            Ref r = Ref::steal(ti.handler == Handler::Complex ? PyComplex_Type.tp_repr(o) : PyRange_Type.tp_repr(o));
            SARV_TRY(text_str_result(std::move(r), t, LONG_MAX));
            w.budget -= t.chars + 1;
            return St::Ok;
        }
        case Handler::Class:
            w.budget -= 32;
            t.ascii("<class ");
            SARV_TRY(name_into(t, reinterpret_cast<PyTypeObject*>(o)));
            t.ascii(">");
            return St::Ok;
        case Handler::Function:
            w.budget -= 32;
            t.ascii("<function ");
            SARV_TRY(function_name(o, t));
            t.ascii(">");
            return St::Ok;
        case Handler::Method: {
            w.budget -= 32;
            PyObject* func = PyMethod_GET_FUNCTION(o);
            if (Py_TYPE(func) == &PyFunction_Type) {
                t.ascii("<bound method ");
                SARV_TRY(function_name(func, t));
            } else {
                t.ascii("<bound method of ");
                SARV_TRY(name_into(t, Py_TYPE(func)));
            }
            t.ascii(">");
            return St::Ok;
        }
        case Handler::Builtin: {
            w.budget -= 32;
            const char* name = reinterpret_cast<PyCFunctionObject*>(o)->m_ml->ml_name;
            t.ascii("<built-in function ").utf8_text(name != nullptr ? name : "?").ascii(">");
            return St::Ok;
        }
        case Handler::Module: {
            w.budget -= 32;
            PyObject* md = PyModule_GetDict(o);
            PyObject* name =
                md != nullptr && PyDict_CheckExact(md) ? PyDict_GetItemWithError(md, names().dunder_name) : nullptr;
            if (name == nullptr && PyErr_Occurred()) {
                return St::Err;
            }
            if (name != nullptr && PyUnicode_CheckExact(name)) {
                t.ascii("<module ").str(name).ascii(">");
            } else {
                t.ascii("<module>");
            }
            return St::Ok;
        }
        default: PyErr_SetString(PyExc_SystemError, "sarv: not a text form"); return St::Err;
    }
}

St Encoder::function_name(PyObject* f, Text& t) {
    auto* fn = reinterpret_cast<PyFunctionObject*>(f);
    PyObject* qual = fn->func_qualname;
    PyObject* mod = fn->func_module;
    if (qual == nullptr || !PyUnicode_CheckExact(qual)) {
        return St::Decline;  // formatting a str subclass would run its __str__
    }
    if (mod != nullptr && PyUnicode_CheckExact(mod) && PyUnicode_GET_LENGTH(mod) > 0) {
        t.str(mod).ascii(".");
    }
    t.str(qual);
    return t.escaped ? St::Decline : St::Ok;
}

St Encoder::enum_text(PyObject* o, const TypeInfo& ti, Walk& w, Text& t) {
    w.budget -= 16;
    Text cls;
    if (ti.qual_ok) {
        cls.utf8_text(ti.qual);
    } else {
        cls.ascii("?");
    }
    Ref attrs;
    SARV_TRY(instance_dict(o, ti, attrs));
    if (attrs) {
        PyObject* name = PyDict_GetItemWithError(attrs.get(), known()->enum_name);
        if (name == nullptr && PyErr_Occurred()) {
            return St::Err;
        }
        if (name != nullptr && PyUnicode_CheckExact(name)) {
            Ref keep = Ref::borrow(name);
            t.text(cls).ascii(".").str(name);
            return t.escaped ? St::Decline : St::Ok;
        }
        PyObject* value = PyDict_GetItemWithError(attrs.get(), known()->enum_value);
        if (value == nullptr && PyErr_Occurred()) {
            return St::Err;
        }
        if (value != nullptr && is_repr_scalar(value)) {
            Ref keep = Ref::borrow(value);
            t.text(cls).ascii("(");
            SARV_TRY(scalar_repr(value, t));
            t.ascii(")");
            return St::Ok;
        }
    }
    t.ascii("<").text(cls).ascii(">");
    return St::Ok;
}

St Encoder::uuid_text(PyObject* o, Walk& w, Text& t, bool& object_instead) {
    PyObject* descr = known()->uuid_int;
    Ref value;
    if (descr != nullptr) {
        value = descr_get(descr, o);
        if (!value) {
            return St::Err;
        }
    }
    if (!value || !PyLong_CheckExact(value.get())) {
        object_instead = true;
        return St::Ok;
    }
    unsigned char bytes[16];
#if PY_VERSION_HEX >= 0x030D0000
    Py_ssize_t need = PyLong_AsNativeBytes(
        value.get(), bytes, 16,
        Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER | Py_ASNATIVEBYTES_REJECT_NEGATIVE);
    if (need < 0) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
            return St::Err;
        }
        PyErr_Clear();
        object_instead = true;
        return St::Ok;
    }
    if (need > 16) {
        object_instead = true;
        return St::Ok;
    }
#else
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(value.get()), bytes, 16, 0, 0) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return St::Err;
        }
        PyErr_Clear();
        object_instead = true;
        return St::Ok;
    }
#endif
    w.budget -= 37;
    static const char hex[] = "0123456789abcdef";
    char s[36];
    size_t at = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            s[at++] = '-';
        }
        s[at++] = hex[bytes[i] >> 4];
        s[at++] = hex[bytes[i] & 0xf];
    }
    t.ascii(std::string_view(s, at));
    return St::Ok;
}

bool Encoder::put_function_text(PyObject* o) {
    auto* fn = reinterpret_cast<PyFunctionObject*>(o);
    PyObject* qual = fn->func_qualname;
    PyObject* mod = fn->func_module;
    bool with_module = mod != nullptr && PyUnicode_CheckExact(mod) && PyUnicode_GET_LENGTH(mod) > 0;
    if (qual == nullptr || !PyUnicode_CheckExact(qual) || !PyUnicode_IS_ASCII(qual) ||
        (with_module && !PyUnicode_IS_ASCII(mod))) {
        return false;
    }
    std::string_view q(static_cast<const char*>(PyUnicode_DATA(qual)), static_cast<size_t>(PyUnicode_GET_LENGTH(qual)));
    std::string_view m;
    if (with_module) {
        m = std::string_view(static_cast<const char*>(PyUnicode_DATA(mod)),
                             static_cast<size_t>(PyUnicode_GET_LENGTH(mod)));
    }
    pack_str_header(out_, 10 + m.size() + (with_module ? 1 : 0) + q.size() + 1);
    out_.append("<function ", 10);
    if (with_module) {
        out_.append(m);
        out_.push_back('.');
    }
    out_.append(q);
    out_.push_back('>');
    return true;
}

St Encoder::put_bytes(const char* data, Py_ssize_t n, Walk& w) {
    Py_ssize_t keep = n <= MAX_BYTES ? n : MAX_BYTES;
    Text suffix;
    if (n > MAX_BYTES) {
        suffix.utf8_text(ELLIPSIS).ascii("(+").number(static_cast<long long>(n - MAX_BYTES)).ascii(" bytes)");
    }
    size_t size = static_cast<size_t>(keep) + suffix.utf8.size();
    w.budget -= static_cast<long>(size) + 1;
    pack_bin_header(out_, size);
    out_.append(data, static_cast<size_t>(keep));
    out_.append(suffix.utf8);
    return St::Ok;
}

St Encoder::walk_memoryview(PyObject* o, PyTypeObject* tp, Walk& w) {
    Ref contiguous = Ref::steal(PyObject_GetAttrString(o, "c_contiguous"));
    if (!contiguous) {
        return St::Err;
    }
    if (contiguous.get() != Py_True) {
        return put_depth_marker(tp, w);
    }
    Py_buffer* view = PyMemoryView_GET_BUFFER(o);
    Ref flat;
    if (view->ndim == 1 && view->format != nullptr && std::strcmp(view->format, "B") == 0) {
        flat = Ref::borrow(o);
    } else {
        flat = Ref::steal(PyObject_CallMethod(o, "cast", "s", "B"));
        if (!flat) {
            return St::Err;
        }
    }
    Py_buffer* fv = PyMemoryView_GET_BUFFER(flat.get());
    return put_bytes(static_cast<const char*>(fv->buf), view->len, w);
}

St Encoder::put_ext(PyObject* o, Walk* w) {
    PyObject* code = PyTuple_GET_ITEM(o, 0);
    PyObject* data = PyTuple_GET_ITEM(o, 1);
    if (!PyLong_Check(code) || !PyBytes_Check(data)) {
        return St::Decline;
    }
    long c = PyLong_AsLong(code);
    if (c < -128 || c > 127) {
        PyErr_Clear();
        return St::Decline;
    }
    Py_ssize_t n = PyBytes_GET_SIZE(data);
    if (w != nullptr) {
        w->budget -= static_cast<long>(n) + 3;
    }
    pack_ext_header(out_, static_cast<int8_t>(c), static_cast<size_t>(n));
    out_.append(PyBytes_AS_STRING(data), static_cast<size_t>(n));
    return St::Ok;
}

St Encoder::put_timestamp(PyObject* o) {
    Ref sec = descr_get(known()->timestamp_seconds, o);
    Ref ns = descr_get(known()->timestamp_nanoseconds, o);
    if (!sec || !ns) {
        return St::Err;
    }
    long long s = PyLong_AsLongLong(sec.get());
    unsigned long n = PyLong_AsUnsignedLong(ns.get());
    if (PyErr_Occurred()) {
        return St::Err;
    }
    pack_timestamp(out_, s, static_cast<uint32_t>(n));
    return St::Ok;
}

}  // namespace sarv::values::impl
