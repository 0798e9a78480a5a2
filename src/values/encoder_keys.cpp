#include "values/encoder_impl.hpp"

namespace sarv::values::impl {

uint64_t be(const unsigned char* p, int n) {
    uint64_t v = 0;
    for (int k = 0; k < n; ++k) {
        v = (v << 8) | p[k];
    }
    return v;
}

KeyKind read_key(const unsigned char* p, size_t len, Num& num, std::string_view& content) {
    unsigned char c = p[0];
    auto as_int = [&](int64_t v) {
        num = {true, v < 0, v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v), 0};
        return KeyKind::Num;
    };
    auto as_uint = [&](uint64_t v) {
        num = {true, false, v, 0};
        return KeyKind::Num;
    };
    if (c <= 0x7f) return as_int(c);
    if (c >= 0xe0) return as_int(static_cast<int8_t>(c));
    if (c >= 0xa0 && c <= 0xbf) {
        content = std::string_view(reinterpret_cast<const char*>(p + 1), c & 0x1f);
        return KeyKind::Str;
    }
    switch (c) {
        case 0xc0: return KeyKind::Nil;
        case 0xc2: return as_int(0);
        case 0xc3: return as_int(1);
        case 0xcc: return as_int(p[1]);
        case 0xcd: return as_int(be(p + 1, 2));
        case 0xce: return as_int(be(p + 1, 4));
        case 0xcf: return as_uint(be(p + 1, 8));
        case 0xd0: return as_int(static_cast<int8_t>(p[1]));
        case 0xd1: return as_int(static_cast<int16_t>(be(p + 1, 2)));
        case 0xd2: return as_int(static_cast<int32_t>(be(p + 1, 4)));
        case 0xd3: return as_int(static_cast<int64_t>(be(p + 1, 8)));
        case 0xcb: {
            uint64_t bits = be(p + 1, 8);
            double d;
            std::memcpy(&d, &bits, sizeof d);
            if (std::isnan(d)) {
                return KeyKind::NaN;
            }
            if (d == std::floor(d) && d >= -9223372036854775808.0 && d < 18446744073709551616.0) {
                return d < 0 ? as_int(static_cast<int64_t>(d)) : as_uint(static_cast<uint64_t>(d));
            }
            num = {false, false, 0, d};
            return KeyKind::Num;
        }
        case 0xd9: content = std::string_view(reinterpret_cast<const char*>(p + 2), p[1]); return KeyKind::Str;
        case 0xda: content = std::string_view(reinterpret_cast<const char*>(p + 3), be(p + 1, 2)); return KeyKind::Str;
        case 0xdb: content = std::string_view(reinterpret_cast<const char*>(p + 5), be(p + 1, 4)); return KeyKind::Str;
        case 0xc4: content = std::string_view(reinterpret_cast<const char*>(p + 2), p[1]); return KeyKind::Bin;
        case 0xc5: content = std::string_view(reinterpret_cast<const char*>(p + 3), be(p + 1, 2)); return KeyKind::Bin;
        case 0xc6: content = std::string_view(reinterpret_cast<const char*>(p + 5), be(p + 1, 4)); return KeyKind::Bin;
        default: content = std::string_view(reinterpret_cast<const char*>(p), len); return KeyKind::Ext;
    }
}

St Encoder::key_text(PyObject* k, PyTypeObject* tp, int depth, Text& out) {
    Text t;  // cut on its own: an element's text is cut before it is joined
    SARV_TRY(key_text_alone(k, tp, depth, t));
    out.text(t);
    return St::Ok;
}

St Encoder::key_text_alone(PyObject* k, PyTypeObject* tp, int depth, Text& t) {
    if (tp == &PyByteArray_Type) {
        Py_ssize_t n = std::min<Py_ssize_t>(PyByteArray_GET_SIZE(k), MAX_BYTES);
        Ref b = Ref::steal(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(k), n));
        if (!b) return St::Err;
        Ref repr = Ref::steal(PyBytes_Type.tp_repr(b.get()));
        if (!repr) return St::Err;
        t.str(repr.get());
        return cut(t, MAX_STR_CHARS);
    }
    bool is_tuple = PyType_IsSubtype(tp, &PyTuple_Type);
    if ((is_tuple || PyType_IsSubtype(tp, &PyFrozenSet_Type)) && !PyType_IsSubtype(tp, known()->enum_base)) {
        return items_key_text(k, tp, is_tuple, depth, t);
    }
    const TypeInfo* ti = type_info(tp);
    if (ti == nullptr) {
        return St::Err;
    }
    Handler h = ti->handler;
    if (is_text_handler(h) || h == Handler::Scalar || h == Handler::Str) {
        Walk scratch;
        if (h == Handler::Str) {
            Text s;
            s.str(k);
            SARV_TRY(cut(s, MAX_STR_CHARS));
            t.text(s);
            return St::Ok;
        }
        if (h == Handler::Scalar) {
            return scalar_key_text(k, t);
        }
        Text form;
        bool object_instead = false;
        SARV_TRY(text_form(k, *ti, scratch, form, object_instead));
        if (object_instead) {
            return marker("<", tp, " \xe2\x80\xa6>", t);  // the object at depth 0
        }
        t.text(form);
        return St::Ok;
    }
    t.ascii("<");
    SARV_TRY(name_into(t, tp));
    char addr[32];
    std::snprintf(addr, sizeof addr, " object at %#llx>",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(k)));
    t.ascii(addr);
    return St::Ok;
}

St Encoder::items_key_text(PyObject* k, PyTypeObject* tp, bool is_tuple, int depth, Text& t) {
    if (depth <= 0) {
        return marker("<", tp, " \xe2\x80\xa6>", t);
    }
    t.ascii(is_tuple ? "(" : "frozenset({");
    Py_ssize_t n = is_tuple ? PyTuple_GET_SIZE(k) : PySet_GET_SIZE(k);
    Ref iter;
    if (!is_tuple) {
        iter = Ref::steal(PySet_Type.tp_iter(k));
        if (!iter) return St::Err;
    }
    long parts = 0;
    for (Py_ssize_t i = 0; i < MAX_ITEMS; ++i) {
        Ref e;
        if (is_tuple) {
            if (i >= PyTuple_GET_SIZE(k)) break;
            e = Ref::borrow(PyTuple_GET_ITEM(k, i));
        } else {
            e = Ref::steal(Py_TYPE(iter.get())->tp_iternext(iter.get()));
            if (!e) {
                if (PyErr_Occurred()) return St::Err;
                break;
            }
        }
        if (parts > 0) {
            t.ascii(", ");
        }
        if (is_repr_scalar(e.get())) {
            SARV_TRY(scalar_repr(e.get(), t));
        } else {
            SARV_TRY(key_text(e.get(), Py_TYPE(e.get()), depth - 1, t));
        }
        ++parts;
    }
    if (n > MAX_ITEMS) {
        t.ascii(parts > 0 ? ", " : "").utf8_text(ELLIPSIS);
        ++parts;
    }
    if (is_tuple) {
        t.ascii(parts == 1 ? ",)" : ")");
    } else {
        t.ascii("})");
    }
    return cut(t, MAX_STR_CHARS);
}

St Encoder::scalar_key_text(PyObject* k, Text& t) {
    if (PyLong_Check(k)) {
        Ref exact = Ref::steal(PyLong_Type.tp_as_number->nb_int(k));
        if (!exact) return St::Err;
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(exact.get(), &overflow);
        if (overflow == 0) {
            t.number(x);
            return St::Ok;
        }
        if (overflow > 0) {
            unsigned long long u = PyLong_AsUnsignedLongLong(exact.get());
            if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                t.number(u);
                return St::Ok;
            }
            PyErr_Clear();
        }
        return int_text(exact.get(), t);
    }
    float_repr(PyFloat_AS_DOUBLE(k), t);
    return St::Ok;
}

void Encoder::register_key(size_t mark, bool source) {
    keys_.push_back(
        KeyEntry{static_cast<uint32_t>(mark), static_cast<uint32_t>(out_.size() - mark), 0, KeyKind::Unread, source});
    KeyEntry& k = keys_.back();
    if (!source) {
        read_entry(k);
        others_.push_back(static_cast<uint32_t>(keys_.size() - 1));
    }
    if (!scopes_.empty() && scopes_.back().filtered) {
        read_entry(k);
        k.maybe = scopes_.back().test_and_set(k.hash);
    }
}

void Encoder::start_filter(size_t scope) {
    KeyScope& sc = scopes_.back();
    std::fill(std::begin(sc.bits), std::end(sc.bits), 0);
    sc.filtered = true;
    size_t last = keys_.size() - 1;
    for (size_t i = scope; i < last; ++i) {
        read_entry(keys_[i]);
        sc.test_and_set(keys_[i].hash);
    }
    KeyEntry& k = keys_.back();
    read_entry(k);
    k.maybe = sc.test_and_set(k.hash);
}

void Encoder::read_entry(KeyEntry& e) const {
    if (e.kind != KeyKind::Unread) {
        return;
    }
    Num num{};
    std::string_view content;
    KeyKind kind = read_key(reinterpret_cast<const unsigned char*>(out_.data() + e.off), e.len, num, content);
    uint32_t h = 2166136261u ^ static_cast<uint32_t>(kind);
    if (kind == KeyKind::Num) {
        uint64_t bits = num.magnitude;
        if (!num.integral) {
            std::memcpy(&bits, &num.d, sizeof bits);
        }
        h = static_cast<uint32_t>((bits ^ (bits >> 29) ^ (num.negative ? 0x9e3779b9u : 0u)) * 0x85ebca6bu) ^
            (num.integral ? 1u : 2u);
    } else if (kind != KeyKind::Nil) {
        h = hash_bytes(content, h);
    }
    e.hash = h;
    e.kind = kind;
}

bool Encoder::same_key(const KeyEntry& a, const KeyEntry& b) const {
    if (a.kind == KeyKind::NaN || b.kind == KeyKind::NaN) {
        return false;
    }
    Num na{}, nb{};
    std::string_view ca, cb;
    KeyKind ka = read_key(reinterpret_cast<const unsigned char*>(out_.data() + a.off), a.len, na, ca);
    KeyKind kb = read_key(reinterpret_cast<const unsigned char*>(out_.data() + b.off), b.len, nb, cb);
    if (ka != kb) {
        return false;
    }
    if (ka == KeyKind::Num) {
        return na == nb;
    }
    return ka == KeyKind::Nil || ca == cb;
}

bool Encoder::duplicate(size_t scope) {
    size_t last = keys_.size() - 1;
    if (!scopes_.empty() && !scopes_.back().filtered && last - scope >= FILTER_FROM &&
        (!keys_.back().source || (!others_.empty() && others_.back() >= scope))) {
        start_filter(scope);
    }
    KeyEntry& k = keys_.back();
    if (!k.maybe) {
        return false;
    }
    if (k.source) {
        // Only keys that are not the dict's own can equal it.
        bool read = false;
        for (size_t j = others_.size(); j-- > 0 && others_[j] >= scope;) {
            if (others_[j] == last) {
                continue;
            }
            const KeyEntry& e = keys_[others_[j]];
            if (e.kind == KeyKind::Str && is_packed_str(k)) {
                // Two texts: equal exactly when their packed bytes are.
                if (e.len == k.len && std::memcmp(out_.data() + e.off, out_.data() + k.off, k.len) == 0) {
                    return true;
                }
                continue;
            }
            if (!read) {
                read_entry(k);
                read = true;
            }
            if (e.hash == k.hash && same_key(k, e)) {
                return true;
            }
        }
        return false;
    }
    for (size_t i = scope; i < last; ++i) {
        KeyEntry& e = keys_[i];
        read_entry(e);
        if (e.hash == k.hash && same_key(k, e)) {
            return true;
        }
    }
    return false;
}

bool Encoder::has_str_content(std::string_view text, size_t scope, bool others_only) {
    uint32_t h = hash_bytes(text, 2166136261u ^ static_cast<uint32_t>(KeyKind::Str));
    if (!scopes_.empty() && scopes_.back().filtered && !scopes_.back().test(h)) {
        return false;
    }
    if (others_only) {
        for (size_t j = others_.size(); j-- > 0 && others_[j] >= scope;) {
            const KeyEntry& e = keys_[others_[j]];
            if (e.kind == KeyKind::Str && e.hash == h && str_content(e) == text) {
                return true;
            }
        }
        return false;
    }
    for (size_t i = scope; i < keys_.size(); ++i) {
        KeyEntry& e = keys_[i];
        read_entry(e);
        if (e.kind != KeyKind::Str || e.hash != h) {
            continue;
        }
        Num num{};
        std::string_view content;
        read_key(reinterpret_cast<const unsigned char*>(out_.data() + e.off), e.len, num, content);
        if (content == text) {
            return true;
        }
    }
    return false;
}

bool Encoder::has_str_key(PyObject* k, size_t scope, bool others_only) {
    if (PyUnicode_IS_ASCII(k)) {
        return has_str_content(
            std::string_view(static_cast<const char*>(PyUnicode_DATA(k)), static_cast<size_t>(PyUnicode_GET_LENGTH(k))),
            scope, others_only);
    }
    std::string text;
    StringOut o{&text};
    bool escaped = false;
    str_utf8(k, 0, PyUnicode_GET_LENGTH(k), o, escaped);
    return has_str_content(text, scope, others_only);
}

St Encoder::settle_key(size_t mark, bool source, size_t scope) {
    register_key(mark, source);
    if (!duplicate(scope)) {
        return St::Ok;
    }
    Text base;
    SARV_TRY(key_base_text(keys_.back(), base));
    truncate_keys(keys_.size() - 1);
    out_.resize(mark);
    return put_unique_str_key(base.utf8, scope);
}

St Encoder::key_base_text(const KeyEntry& e, Text& t) {
    Num num{};
    std::string_view content;
    const auto* p = reinterpret_cast<const unsigned char*>(out_.data() + e.off);
    KeyKind kind = read_key(p, e.len, num, content);
    switch (kind) {
        case KeyKind::Str: t.utf8_text(content); return St::Ok;
        case KeyKind::Nil: t.ascii("None"); return St::Ok;
        case KeyKind::Bin: {
            Ref b = Ref::steal(PyBytes_FromStringAndSize(
                content.data(), std::min<Py_ssize_t>(static_cast<Py_ssize_t>(content.size()), MAX_BYTES)));
            if (!b) return St::Err;
            Ref repr = Ref::steal(PyBytes_Type.tp_repr(b.get()));
            if (!repr) return St::Err;
            t.str(repr.get());
            return St::Ok;
        }
        default: break;
    }
    unsigned char c = p[0];
    if (c == 0xc2 || c == 0xc3) {
        t.ascii(c == 0xc3 ? "True" : "False");
    } else if (c == 0xcb) {
        uint64_t bits = be(p + 1, 8);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        float_repr(d, t);
    } else if (c == 0xcf) {
        t.number(be(p + 1, 8));
    } else {
        if (num.negative) {
            t.ascii("-");
        }
        t.number(num.magnitude);
    }
    return St::Ok;
}

St Encoder::put_unique_str_key(std::string_view base, size_t scope) {
    std::string candidate(base);
    for (long i = 2; has_str_content(candidate, scope); ++i) {
        candidate.assign(base).append("~").append(std::to_string(i));
    }
    size_t mark = out_.size();
    pack_str(out_, candidate);
    register_key(mark, false);
    return St::Ok;
}

}  // namespace sarv::values::impl
