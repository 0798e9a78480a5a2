#include "values/encoder.hpp"

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "values/limits.hpp"
#include "values/pack.hpp"
#include "values/redact.hpp"
#include "values/text.hpp"
#include "values/types.hpp"

namespace sarv::values {
namespace {

// How a step ended. Err: a Python error is set, to be handled where the walker catches
// Exceptions. Abort: the exact form cannot stand, the capped walk writes the value.
// Decline: the whole value is left to the Python walker.
// Slow: a shortcut met something it does not handle; nothing of it stands, the general
// way writes the value.
enum class St : uint8_t { Ok, Err, Abort, Decline, Slow };

#define SARV_TRY(expr)         \
    do {                       \
        St step_ = (expr);     \
        if (step_ != St::Ok) { \
            return step_;      \
        }                      \
    } while (0)

constexpr std::string_view ELLIPSIS = "\xe2\x80\xa6";

Counts counts_;
int active_encodings = 0;  // GIL-guarded

// One capped walk's state: what is left of the content budget, and the containers and
// objects on the current path (for cycles).
struct Walk {
    long budget = MAX_TOTAL_BYTES;
    PyObject* active[48];
    int n_active = 0;

    bool on_path(PyObject* o) const {
        for (int i = 0; i < n_active; ++i) {
            if (active[i] == o) {
                return true;
            }
        }
        return false;
    }
};

// Keeps `o` on the walk's path for the scope.
class OnPath {
public:
    OnPath(Walk& w, PyObject* o) : w_(w) { w_.active[w_.n_active++] = o; }
    ~OnPath() { --w_.n_active; }
    OnPath(const OnPath&) = delete;
    OnPath& operator=(const OnPath&) = delete;

private:
    Walk& w_;
};

// A map key as written, for the checks of keys that are equal once decoded.
enum class KeyKind : uint8_t { Str, Bin, Num, Nil, Ext, NaN, Unread };
struct KeyEntry {
    uint32_t off;
    uint32_t len;
    uint32_t hash;  // equal keys have equal hashes
    KeyKind kind;
    bool source;  // a key of the map's own dict, written as it is: distinct from every other such key
    bool maybe = true;  // false once the map's filter has shown no earlier key with its hash
};

// The keys of one map being written. Past a few keys, a filter of their hashes spares the
// comparison with every earlier key (maps of converted keys, such as tuple keys).
struct KeyScope {
    size_t start;
    bool filtered;
    uint64_t bits[16];
    bool test_and_set(uint32_t h) {
        uint64_t& word = bits[(h >> 6) & 15];
        uint64_t bit = uint64_t{1} << (h & 63);
        bool seen = (word & bit) != 0;
        word |= bit;
        return seen;
    }
    bool test(uint32_t h) const { return (bits[(h >> 6) & 15] >> (h & 63)) & 1; }
};
constexpr size_t FILTER_FROM = 12;

inline uint32_t hash_bytes(std::string_view s, uint32_t h) {
    for (char c : s) {
        h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    }
    return h;
}

// A number key, as Python compares decoded numbers: ints (bools included) and integral
// floats by value, other floats as doubles.
struct Num {
    bool integral;
    bool negative;
    uint64_t magnitude;
    double d;
    bool operator==(const Num& o) const {
        return integral == o.integral && (integral ? negative == o.negative && magnitude == o.magnitude : d == o.d);
    }
};

uint64_t be(const unsigned char* p, int n) {
    uint64_t v = 0;
    for (int k = 0; k < n; ++k) {
        v = (v << 8) | p[k];
    }
    return v;
}

// Reads a scalar as packed (the encoder's own output): its kind, and for Num its value,
// else the span of its content.
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

bool is_exception_pending() { return PyErr_ExceptionMatches(PyExc_Exception); }

// The encoder's working memory, kept from one value to the next.
struct Scratch {
    std::vector<KeyEntry> keys;
    std::vector<uint32_t> others;
    std::vector<KeyScope> scopes;
    bool in_use = false;
};

class Encoder {
public:
    Encoder(Buffer& out, Scratch& scratch)
        : out_(out), start_(out.size()), keys_(scratch.keys), others_(scratch.others), scopes_(scratch.scopes) {
        keys_.clear();
        others_.clear();
        scopes_.clear();
    }

    Outcome dump(PyObject* obj) {
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

    Outcome dump_entries(PyObject* const* keys, const Ref* values, size_t n) {
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

    Outcome dump_light(PyObject* obj) {
        PyTypeObject* tp = Py_TYPE(obj);
        if (tp != &PyDict_Type && !(PyType_IsSubtype(tp, &PyDict_Type) && !PyType_IsSubtype(tp, known()->enum_base))) {
            return light_top(obj);
        }
        Pairs src;
        src.dict = obj;
        src.size0 = PyDict_GET_SIZE(obj);
        return light_map(src, src.size0, tp);
    }

    Outcome dump_light_entries(PyObject* const* keys, const Ref* values, size_t n) {
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

private:
    // ---- outcome handling -------------------------------------------------------------

    // What follows an exact attempt that did not stand: Ok to go on with the capped walk.
    St after_exact(St s) {
        out_.resize(start_);
        truncate_keys(0);
        scopes_.clear();
        if (s == St::Err) {
            if (!is_exception_pending()) {
                return St::Err;
            }
            PyErr_Clear();
        }
        return s == St::Decline ? St::Decline : St::Ok;
    }

    Outcome finish(St s) {
        if (s == St::Ok) {
            return Outcome::Done;
        }
        out_.resize(start_);
        if (s == St::Err) {
            return Outcome::Failed;
        }
        PyErr_Clear();
        return Outcome::Declined;
    }

    template <class F>
    Outcome capped(F&& body, PyTypeObject* tp) {
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

    // Replaces a pending Exception with the text "<unserializable module.Qual: ExcType>".
    St failure_marker(PyTypeObject* tp) {
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

    // After a step that failed: for a pending Exception, the output is cut back to `mark`
    // and the marker is written in place of the value; anything else goes on up.
    St recover(St s, size_t mark, size_t key_mark, PyObject* value) {
        if (s != St::Err || !is_exception_pending()) {
            return s;
        }
        out_.resize(mark);
        truncate_keys(key_mark);
        return failure_marker(Py_TYPE(value));
    }

    // ---- writing texts ----------------------------------------------------------------

    St put_text(const Text& t) {
        if (t.escaped && in_exact_) {
            return St::Abort;  // msgpack refuses text that is not valid Unicode
        }
        pack_str(out_, t.utf8);
        return St::Ok;
    }

    // The first `cap` characters of a str (all of them if it is not longer), with the
    // "…(+K chars)" suffix when cut; `chars` gets the written length in characters.
    St put_str(PyObject* s, long cap, long& chars) {
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
            if (escaped && in_exact_) {
                return St::Abort;
            }
            pack_str_header(out_, count.size + suffix.utf8.size());
            str_utf8(s, 0, keep, out_, escaped);
        }
        out_.append(suffix.utf8);
        return St::Ok;
    }

    // "module.Qual" of a class.
    St name_into(Text& t, PyTypeObject* tp) {
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

    St marker(std::string_view prefix, PyTypeObject* tp, std::string_view suffix, Text& t) {
        t.ascii(prefix);
        SARV_TRY(name_into(t, tp));
        t.utf8_text(suffix);
        return St::Ok;
    }

    St put_marker(std::string_view prefix, PyTypeObject* tp, std::string_view suffix) {
        Text t;
        SARV_TRY(marker(prefix, tp, suffix, t));
        return put_text(t);
    }

    St put_depth_marker(PyTypeObject* tp, Walk& w) {
        w.budget -= 8;
        const TypeInfo* ti = type_info(tp);
        if (ti != nullptr && !ti->depth_marker.empty()) {
            out_.append(ti->depth_marker);
            return St::Ok;
        }
        return put_marker("<", tp, " \xe2\x80\xa6>");
    }

    // The value of a name that holds a secret: counted as the text it is.
    void put_redacted(Walk& w) {
        w.budget -= REDACTED_COST;
        pack_str(out_, REDACTED);
    }

    St put_cycle_marker(PyTypeObject* tp, Walk& w) {
        w.budget -= 8;
        return put_marker("<cycle ", tp, ">");
    }

    // The text of an int beyond 64 bits: its decimal digits, or "<int N bits>".
    St int_text(PyObject* v, Text& t) {
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

    // An exact int: itself within 64 bits, else its text.
    // An int within -2**63..2**64-1 as itself; false (nothing written, no error) beyond.
    bool pack_64_bits(PyObject* v) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0) {
            pack_int(out_, x);
            return true;
        }
        if (overflow > 0) {
            unsigned long long u = PyLong_AsUnsignedLongLong(v);
            if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                pack_uint(out_, u);
                return true;
            }
            PyErr_Clear();
        }
        return false;
    }

    St put_int(PyObject* v, bool& in_range) {
        in_range = pack_64_bits(v);
        if (in_range) {
            return St::Ok;
        }
        Text t;
        SARV_TRY(int_text(v, t));
        return put_text(t);
    }

    // repr() of a str, int, float, bool, None or bytes (the first MAX_BYTES), as the text
    // of a key or of a key's element.
    St scalar_repr(PyObject* v, Text& t) {
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

    static void float_repr(double d, Text& t) {
        char* s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (s == nullptr) {
            t.ascii("?");
            return;
        }
        t.ascii(s);
        PyMem_Free(s);
    }

    static bool is_repr_scalar(PyObject* v) {
        PyTypeObject* tp = Py_TYPE(v);
        return tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type ||
               v == Py_None || tp == &PyBytes_Type;
    }

    // The first `cap` characters of a text, with the "…(+K chars)" suffix when cut.
    static St cut(Text& t, long cap) {
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

    // ---- text forms of standard values ------------------------------------------------

    static Ref call1(PyObject* f, PyObject* arg) { return Ref::steal(PyObject_CallOneArg(f, arg)); }
    static Ref descr_get(PyObject* descr, PyObject* o) {
        return Ref::steal(Py_TYPE(descr)->tp_descr_get(descr, o, reinterpret_cast<PyObject*>(Py_TYPE(o))));
    }

    St text_str_result(Ref r, Text& t, long cap) {
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

    bool safe_tz(PyObject* tz) {
        PyTypeObject* tp = Py_TYPE(tz);
        return tz == Py_None || tp == known()->timezone || (known()->zoneinfo != nullptr && tp == known()->zoneinfo);
    }

    static void two(Text& t, long v) {
        char b[2] = {static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)};
        t.ascii(std::string_view(b, 2));
    }

    // isoformat of the naive date and time read from the fields (a time zone of the
    // program's own is not asked for its offset).
    St naive_iso(PyObject* o, PyObject* const* clock_fields, bool with_date, Text& t) {
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

    St name_suffix(Text& t, PyObject* tz) {
        t.ascii("[tz: ");
        SARV_TRY(name_into(t, Py_TYPE(tz)));
        t.ascii("]");
        return St::Ok;
    }

    // The text form of a value of a text handler. `object_instead` is set for a UUID
    // whose value cannot be read, which the walker writes as an object.
    St text_form(PyObject* o, const TypeInfo& ti, Walk& w, Text& t, bool& object_instead) {
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
                Ref r =
                    Ref::steal(ti.handler == Handler::Complex ? PyComplex_Type.tp_repr(o) : PyRange_Type.tp_repr(o));
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

    St function_name(PyObject* f, Text& t) {
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

    St enum_text(PyObject* o, const TypeInfo& ti, Walk& w, Text& t) {
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

    St uuid_text(PyObject* o, Walk& w, Text& t, bool& object_instead) {
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

    // The instance __dict__ through the genuine descriptor, when it is a dict; `attrs`
    // stays empty otherwise.
    [[gnu::always_inline]] St instance_dict(PyObject* o, const TypeInfo& ti, Ref& attrs) {
        if (ti.dict_descr == nullptr) {
            return St::Ok;
        }
        // (what the class statement's descriptor would call)
        Ref d =
            ti.generic_dict
                ? Ref::steal(PyObject_GenericGetDict(o, nullptr))
                : Ref::steal(
                      Py_TYPE(ti.dict_descr)->tp_descr_get(ti.dict_descr, o, reinterpret_cast<PyObject*>(Py_TYPE(o))));
        if (!d) {
            return St::Err;
        }
        if (PyDict_Check(d.get())) {
            attrs = std::move(d);
        }
        return St::Ok;
    }

    // ---- the capped walk --------------------------------------------------------------

    // Whether a value may be written at the current depth of the tree written for the
    // exact form's default (msgpack's nesting limit counts those levels too).
    bool nest_ok() const { return !in_exact_ || tree_depth_ <= exact_nest_ + 1; }

    St walk(PyObject* o, int depth, Walk& w) {
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
            return put_int(o, in_range);
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

    St dispatch(PyObject* o, PyTypeObject* tp, const TypeInfo& ti, int depth, Walk& w) {
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

    // "<function module.qual>" of a function whose names are ASCII texts, the common case,
    // straight from the two texts; false (nothing written) for any other.
    bool put_function_text(PyObject* o) {
        auto* fn = reinterpret_cast<PyFunctionObject*>(o);
        PyObject* qual = fn->func_qualname;
        PyObject* mod = fn->func_module;
        bool with_module = mod != nullptr && PyUnicode_CheckExact(mod) && PyUnicode_GET_LENGTH(mod) > 0;
        if (qual == nullptr || !PyUnicode_CheckExact(qual) || !PyUnicode_IS_ASCII(qual) ||
            (with_module && !PyUnicode_IS_ASCII(mod))) {
            return false;
        }
        std::string_view q(static_cast<const char*>(PyUnicode_DATA(qual)),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(qual)));
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

    St put_bytes(const char* data, Py_ssize_t n, Walk& w) {
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

    St walk_memoryview(PyObject* o, PyTypeObject* tp, Walk& w) {
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

    // An ExtType: its code and data as msgpack's extension type.
    St put_ext(PyObject* o, Walk* w) {
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

    // Container headers are written once the count is known: room for the largest one
    // first, the content moved down if a smaller one fits.
    size_t open_container() {
        size_t at = out_.size();
        out_.extend(5);
        return at;
    }

    void close_container(size_t at, size_t count, bool map) {
        size_t h = container_header_size(count);
        size_t body = out_.size() - at - 5;
        char* base = out_.data() + at;
        if (h != 5) {
            std::memmove(base + h, base + 5, body);
        }
        write_container_header(base, count, map);
        out_.resize(at + h + body);
    }

    St walk_sequence(PyObject* o, PyTypeObject* tp, Handler h, int depth, Walk& w) {
        if (depth <= 0) {
            return put_depth_marker(tp, w);
        }
        if (w.on_path(o)) {
            return put_cycle_marker(tp, w);
        }
        if (w.n_active >= static_cast<int>(std::size(w.active))) {
            return St::Decline;
        }
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
                Text t;
                t.utf8_text(ELLIPSIS)
                    .ascii("(+")
                    .number(std::max<long>(static_cast<long>(n) - taken, 1))
                    .ascii(" items)");
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
        if (s != St::Ok) {
            return s;
        }
        close_container(at, count, false);
        return St::Ok;
    }

    St put_changed(size_t& count) {
        Text t;
        t.utf8_text(ELLIPSIS).ascii("(changed during serialization)");
        ++count;
        return put_text(t);
    }

    St walk_dict(PyObject* o, PyTypeObject* tp, int depth, Walk& w) {
        if (depth <= 0) {
            return put_depth_marker(tp, w);
        }
        if (w.on_path(o)) {
            return put_cycle_marker(tp, w);
        }
        if (w.n_active >= static_cast<int>(std::size(w.active))) {
            return St::Decline;
        }
        OnPath on_path(w, o);
        if (PyDict_GET_SIZE(o) <= MAX_ITEMS) {
            size_t mark = out_.size();
            long budget = w.budget;
            St s = plain_pairs(o, 0, {}, depth - 1, w);
            if (s != St::Slow) {
                return s;
            }
            out_.resize(mark);
            w.budget = budget;
        }
        Pairs src;
        src.dict = o;
        src.size0 = PyDict_GET_SIZE(o);
        return walk_pairs(src, static_cast<long>(src.size0), depth - 1, false, w);
    }

    // The common map: at most MAX_ITEMS entries of a dict whose keys are ASCII texts of at
    // most MAX_STR_CHARS, none equal to the `prefix` entries already counted, and the
    // budget lasting to the end. Then no key needs a check and the count is known up front;
    // anything else is Slow.
    St plain_pairs(PyObject* d, size_t prefix_count, std::string_view prefix, int child, Walk& w) {
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
            if ((vt == &PyLong_Type || vt == &PyFloat_Type || vt == &PyBool_Type || vb == Py_None) &&
                exact_scalar(vb)) {
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

    // Where the entries of a map come from: a dict (its size checked at every step, as
    // Python's dict iteration does), then slot values, or arrays of keys and values.
    struct Pairs {
        PyObject* dict = nullptr;
        Py_ssize_t pos = 0;
        Py_ssize_t size0 = 0;
        bool dict_done = false;
        const std::vector<std::pair<PyObject*, Ref>>* slots = nullptr;
        size_t slot_i = 0;
        PyObject* const* keys = nullptr;
        const Ref* values = nullptr;
        size_t n = 0;
        size_t i = 0;
        bool from_slots = false;  // the last pair came from a slot

        // 1: a pair; 0: no more; -1: the dict changed size.
        int next(Ref& k, Ref& v) {
            from_slots = false;
            if (dict != nullptr && !dict_done) {
                if (PyDict_GET_SIZE(dict) != size0) {
                    dict_done = true;
                    return -1;
                }
                PyObject *kb, *vb;
                if (PyDict_Next(dict, &pos, &kb, &vb)) {
                    k = Ref::borrow(kb);
                    v = Ref::borrow(vb);
                    return 1;
                }
                dict_done = true;
            }
            if (slots != nullptr && slot_i < slots->size()) {
                const auto& [name, value] = (*slots)[slot_i++];
                k = Ref::borrow(name);
                v = value;
                from_slots = true;
                return 1;
            }
            if (keys != nullptr && i < n) {
                k = Ref::borrow(keys[i]);
                v = values[i];
                ++i;
                return 1;
            }
            return 0;
        }
    };

    St walk_pairs(Pairs& src, long n, int child, bool keep_written, Walk& w) {
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

    St walk_pairs_body(Pairs& src, long n, int child, bool keep_written, Walk& w, size_t scope, size_t& count) {
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

    // A map key as the walker writes it; `source` tells whether it is the dict's own key
    // unchanged.
    St key(PyObject* k, Walk& w, bool& source) {
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
            return put_int(k, source);
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
        Text t;
        SARV_TRY(key_text(k, tp, 3, t));
        w.budget -= t.chars + 1;
        return put_text(t);
    }

    // Readable text of a key that is not a scalar, such as "(1, 'a')", appended to `out`.
    St key_text(PyObject* k, PyTypeObject* tp, int depth, Text& out) {
        Text t;  // cut on its own: an element's text is cut before it is joined
        SARV_TRY(key_text_alone(k, tp, depth, t));
        out.text(t);
        return St::Ok;
    }

    St key_text_alone(PyObject* k, PyTypeObject* tp, int depth, Text& t) {
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

    St walk_object(PyObject* o, PyTypeObject* tp, const TypeInfo& ti, int depth, Walk& w, PyObject* args) {
        if (depth <= 0) {
            return put_depth_marker(tp, w);
        }
        if (depth > OBJECT_DEPTH) {
            depth = OBJECT_DEPTH;
        }
        if (w.on_path(o)) {
            return put_cycle_marker(tp, w);
        }
        if (w.n_active >= static_cast<int>(std::size(w.active))) {
            return St::Decline;
        }
        if (!ti.name_ok) {
            return St::Decline;
        }
        OnPath on_path(w, o);
        if (args == nullptr && ti.slots.empty() && ti.dict_descr != nullptr) {
            size_t mark = out_.size();
            long budget = w.budget;
            St s = plain_object(o, ti, depth, w);
            if (s != St::Slow) {
                return s;
            }
            out_.resize(mark);
            w.budget = budget;
        }
        size_t at = open_container();
        size_t scope = open_scope();
        ++tree_depth_;
        St s = object_body(o, ti, depth, w, args, at, scope);
        --tree_depth_;
        close_scope(scope);
        return s;
    }

    // An object whose class has an instance __dict__ and no slots, its attributes as
    // plain_pairs takes them.
    St plain_object(PyObject* o, const TypeInfo& ti, int depth, Walk& w) {
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

    St object_body(PyObject* o, const TypeInfo& ti, int depth, Walk& w, PyObject* args, size_t at, size_t scope) {
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

    // ---- map keys -----------------------------------------------------------------------

    // Keys of a map are noted as they are written. A key of the map's own dict, written
    // unchanged, is read (kind and hash) only when another kind of key may equal it.
    void register_key(size_t mark, bool source) {
        keys_.push_back(KeyEntry{static_cast<uint32_t>(mark), static_cast<uint32_t>(out_.size() - mark), 0,
                                 KeyKind::Unread, source});
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

    size_t open_scope() {
        KeyScope& sc = scopes_.emplace_back();  // (its filter is cleared when it starts)
        sc.start = keys_.size();
        sc.filtered = false;
        return keys_.size();
    }

    void close_scope(size_t start) {
        truncate_keys(start);
        scopes_.pop_back();
    }

    // Starts the filter of the innermost map, from the keys before the last one.
    void start_filter(size_t scope) {
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

    void truncate_keys(size_t size) {
        keys_.resize(std::min(size, keys_.size()));
        while (!others_.empty() && others_.back() >= keys_.size()) {
            others_.pop_back();
        }
    }

    void read_entry(KeyEntry& e) const {
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

    bool same_key(const KeyEntry& a, const KeyEntry& b) const {
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

    // Whether the key just written (the last entry) equals an earlier key of the map.
    bool duplicate(size_t scope) {
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

    bool is_packed_str(const KeyEntry& k) const {
        auto c = static_cast<unsigned char>(out_.data()[k.off]);
        return (c >= 0xa0 && c <= 0xbf) || (c >= 0xd9 && c <= 0xdb);
    }

    // Whether a str key with this text is in the map (among the keys that are not the
    // dict's own, with `others_only`).
    bool has_str_content(std::string_view text, size_t scope, bool others_only = false) {
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

    std::string_view str_content(const KeyEntry& e) const {
        Num num{};
        std::string_view content;
        read_key(reinterpret_cast<const unsigned char*>(out_.data() + e.off), e.len, num, content);
        return content;
    }

    bool has_str_key(PyObject* k, size_t scope, bool others_only) {
        if (PyUnicode_IS_ASCII(k)) {
            return has_str_content(std::string_view(static_cast<const char*>(PyUnicode_DATA(k)),
                                                    static_cast<size_t>(PyUnicode_GET_LENGTH(k))),
                                   scope, others_only);
        }
        std::string text;
        StringOut o{&text};
        bool escaped = false;
        str_utf8(k, 0, PyUnicode_GET_LENGTH(k), o, escaped);
        return has_str_content(text, scope, others_only);
    }

    // Registers the key written from `mark`; a key equal to an earlier one is written
    // again as a text not yet taken ("key", "key~2", ...).
    St settle_key(size_t mark, bool source, size_t scope) {
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

    St key_base_text(const KeyEntry& e, Text& t) {
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

    St put_unique_str_key(std::string_view base, size_t scope) {
        std::string candidate(base);
        for (long i = 2; has_str_content(candidate, scope); ++i) {
            candidate.assign(base).append("~").append(std::to_string(i));
        }
        size_t mark = out_.size();
        pack_str(out_, candidate);
        register_key(mark, false);
        return St::Ok;
    }

    // ---- the exact form -----------------------------------------------------------------

    size_t room() const {
        size_t used = out_.size() - start_;
        return used >= EXACT_MAX_BYTES ? 0 : EXACT_MAX_BYTES - used;
    }

    // Small ints, ASCII texts, None, bools and floats, written at once; false for anything
    // else (nothing written).
    [[gnu::always_inline]] bool exact_scalar(PyObject* o) {
        PyTypeObject* tp = Py_TYPE(o);
        if (tp == &PyLong_Type) {
#if PY_VERSION_HEX >= 0x030C0000
            if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
                pack_int(out_, static_cast<int64_t>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o))));
                return true;
            }
#else
            if (Py_ABS(Py_SIZE(o)) <= 1) {
                auto v = static_cast<int64_t>(Py_SIZE(o)) *
                         static_cast<int64_t>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
                if (v >= 0 && v < 0x80) {
                    out_.push_back(static_cast<char>(v));
                } else {
                    pack_int(out_, v);
                }
                return true;
            }
#endif
            return false;
        }
        if (tp == &PyUnicode_Type) {
            if (!PyUnicode_IS_ASCII(o) || static_cast<size_t>(PyUnicode_GET_LENGTH(o)) > room()) {
                return false;
            }
            pack_str(out_, std::string_view(static_cast<const char*>(PyUnicode_DATA(o)),
                                            static_cast<size_t>(PyUnicode_GET_LENGTH(o))));
            return true;
        }
        if (o == Py_None) {
            pack_nil(out_);
            return true;
        }
        if (tp == &PyFloat_Type) {
            pack_f64(out_, PyFloat_AS_DOUBLE(o));
            return true;
        }
        if (tp == &PyBool_Type) {
            pack_bool(out_, o == Py_True);
            return true;
        }
        return false;
    }

    St exact(PyObject* o, int nest) {
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
            size_t scope = open_scope();
            pos = 0;
            s = St::Ok;
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
        if (tp == &PyList_Type) {
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
        if (tp == &PyBytes_Type || tp == &PyByteArray_Type) {
            Py_ssize_t n = Py_SIZE(o);
            if (static_cast<size_t>(n) > room()) {
                return St::Abort;
            }
            pack_bin(out_, std::string_view(tp == &PyBytes_Type ? PyBytes_AS_STRING(o) : PyByteArray_AS_STRING(o),
                                            static_cast<size_t>(n)));
            return St::Ok;
        }
        if (tp == &PyMemoryView_Type) {
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
        if (tp == &PyTuple_Type || tp == &PySet_Type || tp == &PyFrozenSet_Type) {
            return exact_default(o, nest);
        }
        return exact_instance(o, tp, nest);
    }

    // Whether exact() writes `o` itself, rather than through exact_instance: the builtin
    // scalars and containers (and anything of a class that subclasses one of them without
    // being a heap type: left to exact()).
    static bool exact_writes_itself(PyObject* o, PyTypeObject* tp) {
        if (PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE)) {
            return false;
        }
        constexpr unsigned long builtin_bases = Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS |
                                                Py_TPFLAGS_TUPLE_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS |
                                                Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS;
        return PyType_HasFeature(tp, builtin_bases) || o == Py_None || tp == &PyFloat_Type || tp == &PyByteArray_Type ||
               tp == &PyMemoryView_Type || tp == &PySet_Type || tp == &PyFrozenSet_Type;
    }

    // What exact() writes for a value of any class but the builtin ones it writes itself.
    St exact_instance(PyObject* o, PyTypeObject* tp, int nest) {
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

    // One entry of scalar_object; false (the entry partly written) where the walker's tree
    // would do more.
    bool scalar_attribute(PyObject* kb, PyObject* vb, long& budget) {
        if (budget <= 0 || Py_TYPE(kb) != &PyUnicode_Type || !PyUnicode_IS_ASCII(kb) ||
            PyUnicode_GET_LENGTH(kb) > MAX_STR_CHARS) {
            return false;
        }
        std::string_view key(static_cast<const char*>(PyUnicode_DATA(kb)),
                             static_cast<size_t>(PyUnicode_GET_LENGTH(kb)));
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

    // An instance of a plain class (ti.plain_instance) whose attributes are numbers, bools,
    // None or ASCII texts of at most MAX_STR_CHARS under ASCII names: written from here as
    // walk_object, plain_object and plain_pairs write it at the top of the walker's tree
    // (budget included: any case where it would run out is left to them). Slow, with
    // nothing written, for anything else.
    St scalar_object(PyObject* o, const TypeInfo& ti) {
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

    St put_timestamp(PyObject* o) {
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

    // A key of an exact dict, with the check of keys equal once decoded.
    St exact_key(PyObject* k, int nest, size_t scope) {
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

    St exact_entries(PyObject* const* keys, const Ref* values, size_t n) {
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
                pack_str(out_,
                         std::string_view(static_cast<const char*>(PyUnicode_DATA(k)), static_cast<size_t>(length)));
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

    // What msgpack's packer does with a value it cannot write itself: the default
    // function turns tuples and sets into lists and anything else into the walker's tree.
    // `ti`: the class facts of `o`, when the caller has them.
    St exact_default(PyObject* o, int nest, const TypeInfo* ti = nullptr) {
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

    // ---- the lightweight form ---------------------------------------------------------

    Outcome light_top(PyObject* obj) {
        St s = light_value(obj);
        if (s == St::Err && is_exception_pending()) {
            out_.resize(start_);
            s = failure_marker(Py_TYPE(obj));
        }
        return finish(s);
    }

    St light_value(PyObject* v) {
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

    // Variables under ASCII names, the usual case: distinct texts as written, so none of
    // the checks of keys that read back alike. Slow, with nothing written, for anything
    // else: light_map writes it.
    St light_named_entries(PyObject* const* keys, const Ref* values, size_t n) {
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

    Outcome light_map(Pairs& src, Py_ssize_t n, PyTypeObject* tp) {
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

    St light_pairs(Pairs& src, Py_ssize_t n, size_t& count) {
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

    Buffer& out_;
    size_t start_;
    std::vector<KeyEntry>& keys_;
    std::vector<uint32_t>& others_;  // indices of the keys_ that are not a dict's own
    std::vector<KeyScope>& scopes_;
    bool used_default_ = false;
    bool map_dup_ = false;
    bool in_exact_ = false;  // the walker writes part of the exact form
    int exact_nest_ = 0;
    int tree_depth_ = 0;
};

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

Outcome encode_light(PyObject* obj, Buffer& out) {
    if (plain_scalar(obj, out)) {
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

}  // namespace

Outcome encode_entries(PyObject* const* keys, const Ref* values, size_t n, Buffer& out) {
    if (plain_entries(keys, values, n, out)) {
        return Outcome::Done;
    }
    return run(out, [&](Encoder& e) { return e.dump_entries(keys, values, n); });
}

Outcome encode_entries_light(PyObject* const* keys, const Ref* values, size_t n, Buffer& out) {
    if (plain_entries(keys, values, n, out)) {
        return Outcome::Done;
    }
    return run(out, [&](Encoder& e) { return e.dump_light_entries(keys, values, n); });
}

Counts counts() { return counts_; }

}  // namespace sarv::values
