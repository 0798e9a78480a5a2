// The encoder's working parts, shared by the files that write one kind of thing each:
// encoder.cpp (entry points, outcomes, the lightweight form), encoder_exact.cpp (the
// exact form), encoder_walk.cpp (the capped walk), encoder_keys.cpp (map keys and their
// duplicates), encoder_text.cpp (texts and the text forms of standard values).
#pragma once

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "values/encoder.hpp"
#include "values/limits.hpp"
#include "values/pack.hpp"
#include "values/redact.hpp"
#include "values/reuse.hpp"
#include "values/text.hpp"
#include "values/types.hpp"

namespace sarv::values::impl {

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

inline constexpr std::string_view ELLIPSIS = "\xe2\x80\xa6";

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
inline constexpr size_t FILTER_FROM = 12;

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

// Reads a scalar as packed (the encoder's own output): its kind, and for Num its value,
// else the span of its content.
KeyKind read_key(const unsigned char* p, size_t len, Num& num, std::string_view& content);
uint64_t be(const unsigned char* p, int n);

inline bool is_exception_pending() { return PyErr_ExceptionMatches(PyExc_Exception); }

// The encoder's working memory, kept from one value to the next.
struct Scratch {
    std::vector<KeyEntry> keys;
    std::vector<uint32_t> others;
    std::vector<KeyScope> scopes;
    reuse::Proof proof;  // the proofs of the values being written, innermost last
    bool in_use = false;
};

// Where the writing of a value that may be kept started.
struct NodeMark {
    size_t out, checks, items, held, subs;
    uint32_t unproven, escapes;
    long budget;
};

class Encoder {
public:
    Encoder(Buffer& out, Scratch& scratch)
        : out_(out), start_(out.size()), keys_(scratch.keys), others_(scratch.others), scopes_(scratch.scopes),
          proof_(scratch.proof), reuse_(reuse::enabled()) {
        keys_.clear();
        others_.clear();
        scopes_.clear();
    }
    // (the references the proofs being built hold go with them)
    ~Encoder() {
        drop_proofs();
#if PY_VERSION_HEX < 0x030C0000
        if (gc_paused_) {
            PyGC_Enable();
        }
#endif
    }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    Outcome dump(PyObject* obj);

    Outcome dump_entries(PyObject* const* keys, const Ref* values, size_t n);

    Outcome dump_light(PyObject* obj);

    Outcome dump_light_entries(PyObject* const* keys, const Ref* values, size_t n);

private:
    // ---- outcome handling -------------------------------------------------------------

    // What follows an exact attempt that did not stand: Ok to go on with the capped walk.
    St after_exact(St s) {
        out_.resize(start_);
        truncate_keys(0);
        scopes_.clear();
        drop_proofs();
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
    Outcome capped(F&& body, PyTypeObject* tp);

    // Replaces a pending Exception with the text "<unserializable module.Qual: ExcType>".
    St failure_marker(PyTypeObject* tp);

    // After a step that failed: for a pending Exception, the output is cut back to `mark`
    // and the marker is written in place of the value; anything else goes on up.
    St recover(St s, size_t mark, size_t key_mark, PyObject* value) {
        if (s != St::Err || !is_exception_pending()) {
            return s;
        }
        out_.resize(mark);
        truncate_keys(key_mark);
        ++unproven_;
        return failure_marker(Py_TYPE(value));
    }

    // ---- values kept for reuse ----------------------------------------------------------

    NodeMark node_start(const Walk& w) const {
        return NodeMark{out_.size(),
                        proof_.checks.size(),
                        proof_.items.size(),
                        proof_.held.size(),
                        proof_.subs.size(),
                        unproven_,
                        escapes_,
                        w.budget};
    }
    // Writes the value kept for `o` at `depth` when its proof holds (true); call with `o`
    // not yet on the walk's path.
    bool reuse_kept(PyObject* o, int depth, Walk& w);
    // The cyclic collector held off from the first value that may be kept to the end of
    // the encoding: on 3.11 an allocation may start it, and the finalizers it runs may
    // change (or let another thread change) the values being written. Later versions
    // collect only between bytecodes.
    void pause_gc() {
#if PY_VERSION_HEX < 0x030C0000
        if (!gc_paused_) {
            gc_paused_ = PyGC_Disable() != 0;
        }
#endif
    }
    // After the value `o` was written at `depth` from `m` (ending with `s`): kept when all
    // of it is proven; its proof then stands for it in the enclosing value's.
    // `tail`: where a list cut at MAX_ITEMS items wrote the count of the others.
    void node_end(const NodeMark& m, St s, PyObject* o, int depth, const Walk& w, size_t tail = SIZE_MAX);
    bool reuse_regrown(PyObject* o, int depth, const reuse::Entry& e, Walk& w, uint64_t path_bits);
    // The proof built since `m` forgotten (that part is written again).
    void rewind_proof(const NodeMark& m);
    void note_dict(PyObject* d);
    void note_seq(PyObject* o, PyTypeObject* tp);
    void note_set(PyObject* o, PyTypeObject* tp);
    void note_instance(PyObject* o, PyTypeObject* tp);
    // A builtin container written as a depth marker.
    void note_marker(PyObject* o, PyTypeObject* tp) {
        reuse::Check c{reuse::CheckKind::Type};
        c.obj = o;
        c.type = tp;
        proof_.checks.push_back(c);
    }
    void drop_proofs() {
        proof_.checks.clear();
        proof_.items.clear();
        proof_.held.clear();
        proof_.subs.clear();
    }
    // A map key whose text depends on nothing but its value: a tuple of numbers, texts,
    // bools, None and such tuples (the keys of memo dicts).
    static bool plain_key_tuple(PyObject* k, int depth);

    // ---- writing texts ----------------------------------------------------------------

    St put_text(const Text& t) {
        if (t.escaped) {
            if (in_exact_) {
                return St::Abort;  // msgpack refuses text that is not valid Unicode
            }
            ++escapes_;
        }
        pack_str(out_, t.utf8);
        return St::Ok;
    }

    // The first `cap` characters of a str (all of them if it is not longer), with the
    // "…(+K chars)" suffix when cut; `chars` gets the written length in characters.
    St put_str(PyObject* s, long cap, long& chars);

    // "module.Qual" of a class.
    St name_into(Text& t, PyTypeObject* tp);

    St marker(std::string_view prefix, PyTypeObject* tp, std::string_view suffix, Text& t);

    St put_marker(std::string_view prefix, PyTypeObject* tp, std::string_view suffix);

    St put_depth_marker(PyTypeObject* tp, Walk& w);

    // The value of a name that holds a secret: counted as the text it is.
    void put_redacted(Walk& w) {
        w.budget -= REDACTED_COST;
        pack_str(out_, REDACTED);
    }

    St put_cycle_marker(PyTypeObject* tp, Walk& w);

    // The text of an int beyond 64 bits: its decimal digits, or "<int N bits>".
    St int_text(PyObject* v, Text& t);

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

    St put_int(PyObject* v, bool& in_range);

    // repr() of a str, int, float, bool, None or bytes (the first MAX_BYTES), as the text
    // of a key or of a key's element.
    St scalar_repr(PyObject* v, Text& t);

    static void float_repr(double d, Text& t);

    static bool is_repr_scalar(PyObject* v) {
        PyTypeObject* tp = Py_TYPE(v);
        return tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type ||
               v == Py_None || tp == &PyBytes_Type;
    }

    // The first `cap` characters of a text, with the "…(+K chars)" suffix when cut.
    static St cut(Text& t, long cap);

    // ---- text forms of standard values ------------------------------------------------

    static Ref call1(PyObject* f, PyObject* arg) { return Ref::steal(PyObject_CallOneArg(f, arg)); }
    static Ref descr_get(PyObject* descr, PyObject* o) {
        return Ref::steal(Py_TYPE(descr)->tp_descr_get(descr, o, reinterpret_cast<PyObject*>(Py_TYPE(o))));
    }

    St text_str_result(Ref r, Text& t, long cap);

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
    St naive_iso(PyObject* o, PyObject* const* clock_fields, bool with_date, Text& t);

    St name_suffix(Text& t, PyObject* tz);

    // The text form of a value of a text handler. `object_instead` is set for a UUID
    // whose value cannot be read, which the walker writes as an object.
    St text_form(PyObject* o, const TypeInfo& ti, Walk& w, Text& t, bool& object_instead);

    St function_name(PyObject* f, Text& t);

    St enum_text(PyObject* o, const TypeInfo& ti, Walk& w, Text& t);

    St uuid_text(PyObject* o, Walk& w, Text& t, bool& object_instead);

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

    St walk(PyObject* o, int depth, Walk& w);

    St dispatch(PyObject* o, PyTypeObject* tp, const TypeInfo& ti, int depth, Walk& w);

    // "<function module.qual>" of a function whose names are ASCII texts, the common case,
    // straight from the two texts; false (nothing written) for any other.
    bool put_function_text(PyObject* o);

    St put_bytes(const char* data, Py_ssize_t n, Walk& w);

    St walk_memoryview(PyObject* o, PyTypeObject* tp, Walk& w);

    // An ExtType: its code and data as msgpack's extension type.
    St put_ext(PyObject* o, Walk* w);

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

    std::optional<St> stop_before_items(PyObject* o, PyTypeObject* tp, int depth, Walk& w);
    St walk_sequence(PyObject* o, PyTypeObject* tp, Handler h, int depth, Walk& w);
    St walk_sequence_body(PyObject* o, Handler h, int depth, Walk& w);

    St put_changed(size_t& count);

    St walk_dict(PyObject* o, PyTypeObject* tp, int depth, Walk& w);
    St walk_dict_body(PyObject* o, int depth, Walk& w);

    // The common map: at most MAX_ITEMS entries of a dict whose keys are ASCII texts of at
    // most MAX_STR_CHARS, none equal to the `prefix` entries already counted, and the
    // budget lasting to the end. Then no key needs a check and the count is known up front;
    // anything else is Slow.
    St plain_pairs(PyObject* d, size_t prefix_count, std::string_view prefix, int child, Walk& w);

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

    St walk_pairs(Pairs& src, long n, int child, bool keep_written, Walk& w);

    St walk_pairs_body(Pairs& src, long n, int child, bool keep_written, Walk& w, size_t scope, size_t& count);

    // A map key as the walker writes it; `source` tells whether it is the dict's own key
    // unchanged.
    St key(PyObject* k, Walk& w, bool& source);

    // Readable text of a key that is not a scalar, such as "(1, 'a')", appended to `out`.
    St key_text(PyObject* k, PyTypeObject* tp, int depth, Text& out);

    St key_text_alone(PyObject* k, PyTypeObject* tp, int depth, Text& t);
    // "(1, 'a')", "frozenset({1})": a tuple's or frozenset's elements, each as a key's text.
    St items_key_text(PyObject* k, PyTypeObject* tp, bool is_tuple, int depth, Text& t);
    // An int or float of a subclass, as the number it is.
    St scalar_key_text(PyObject* k, Text& t);

    St walk_object(PyObject* o, PyTypeObject* tp, const TypeInfo& ti, int depth, Walk& w, PyObject* args);
    St walk_object_body(PyObject* o, const TypeInfo& ti, int depth, Walk& w, PyObject* args);

    // An object whose class has an instance __dict__ and no slots, its attributes as
    // plain_pairs takes them.
    St plain_object(PyObject* o, const TypeInfo& ti, int depth, Walk& w);

    St object_body(PyObject* o, const TypeInfo& ti, int depth, Walk& w, PyObject* args, size_t at, size_t scope);

    // ---- map keys -----------------------------------------------------------------------

    // Keys of a map are noted as they are written. A key of the map's own dict, written
    // unchanged, is read (kind and hash) only when another kind of key may equal it.
    void register_key(size_t mark, bool source);

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
    void start_filter(size_t scope);

    void truncate_keys(size_t size) {
        keys_.resize(std::min(size, keys_.size()));
        while (!others_.empty() && others_.back() >= keys_.size()) {
            others_.pop_back();
        }
    }

    void read_entry(KeyEntry& e) const;

    bool same_key(const KeyEntry& a, const KeyEntry& b) const;

    // Whether the key just written (the last entry) equals an earlier key of the map.
    bool duplicate(size_t scope);

    bool is_packed_str(const KeyEntry& k) const {
        auto c = static_cast<unsigned char>(out_.data()[k.off]);
        return (c >= 0xa0 && c <= 0xbf) || (c >= 0xd9 && c <= 0xdb);
    }

    // Whether a str key with this text is in the map (among the keys that are not the
    // dict's own, with `others_only`).
    bool has_str_content(std::string_view text, size_t scope, bool others_only = false);

    std::string_view str_content(const KeyEntry& e) const {
        Num num{};
        std::string_view content;
        read_key(reinterpret_cast<const unsigned char*>(out_.data() + e.off), e.len, num, content);
        return content;
    }

    bool has_str_key(PyObject* k, size_t scope, bool others_only);

    // Registers the key written from `mark`; a key equal to an earlier one is written
    // again as a text not yet taken ("key", "key~2", ...).
    St settle_key(size_t mark, bool source, size_t scope);

    St key_base_text(const KeyEntry& e, Text& t);

    St put_unique_str_key(std::string_view base, size_t scope);

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

    St exact(PyObject* o, int nest);
    St exact_str(PyObject* o);
    St exact_dict(PyObject* o, int nest);
    // A dict with a key that is not written as it is: every key noted and compared.
    St exact_dict_keyed(PyObject* o, Py_ssize_t n, int nest);
    St exact_list(PyObject* o, int nest);
    // bytes, bytearray, memoryview
    St exact_binary(PyObject* o, PyTypeObject* tp);

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
    St exact_instance(PyObject* o, PyTypeObject* tp, int nest);

    // One entry of scalar_object; false (the entry partly written) where the walker's tree
    // would do more.
    bool scalar_attribute(PyObject* kb, PyObject* vb, long& budget);

    // An instance of a plain class (ti.plain_instance) whose attributes are numbers, bools,
    // None or ASCII texts of at most MAX_STR_CHARS under ASCII names: written from here as
    // walk_object, plain_object and plain_pairs write it at the top of the walker's tree
    // (budget included: any case where it would run out is left to them). Slow, with
    // nothing written, for anything else.
    St scalar_object(PyObject* o, const TypeInfo& ti);

    St put_timestamp(PyObject* o);

    // A key of an exact dict, with the check of keys equal once decoded.
    St exact_key(PyObject* k, int nest, size_t scope);

    St exact_entries(PyObject* const* keys, const Ref* values, size_t n);

    // What msgpack's packer does with a value it cannot write itself: the default
    // function turns tuples and sets into lists and anything else into the walker's tree.
    // `ti`: the class facts of `o`, when the caller has them.
    St exact_default(PyObject* o, int nest, const TypeInfo* ti = nullptr);

    // ---- the lightweight form ---------------------------------------------------------

    Outcome light_top(PyObject* obj);

    St light_value(PyObject* v);

    // Variables under ASCII names, the usual case: distinct texts as written, so none of
    // the checks of keys that read back alike. Slow, with nothing written, for anything
    // else: light_map writes it.
    St light_named_entries(PyObject* const* keys, const Ref* values, size_t n);

    Outcome light_map(Pairs& src, Py_ssize_t n, PyTypeObject* tp);

    St light_pairs(Pairs& src, Py_ssize_t n, size_t& count);

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
    reuse::Proof& proof_;
    bool reuse_;
    size_t list_tail_ = SIZE_MAX;  // set by a list's walk: where it wrote the count of items cut
    uint32_t unproven_ = 0;  // things written that no proof covers (counted, compared by node)
    uint32_t escapes_ = 0;   // texts written with escapes
    bool gc_paused_ = false;
};

}  // namespace sarv::values::impl
