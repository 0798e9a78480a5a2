// Redaction by name: the value of a local, an argument, a str dict key or an attribute
// whose name looks like it holds a secret is written as the text "[redacted]", and so is
// the second item of a (name, value) pair with such a name. The verdict
// on a name is worked out once per str object and kept (names are interned, so a program
// shows the encoder the same few hundred objects over and over).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"

namespace sarv::values {

inline constexpr std::string_view REDACTED = "[redacted]";
// What "[redacted]" costs of a capped walk's budget (as a text: its length and one).
inline constexpr long REDACTED_COST = 11;

// One rule, on the normalised name (lower-cased, '-' and '_' removed), as UTF-8.
struct NamePattern {
    enum class Kind : uint8_t { Equals, Contains, Prefix, Suffix };
    Kind kind;
    std::string text;
};

// Replaces the rules and forgets every verdict; no rules turns redaction off.
void set_name_patterns(std::vector<NamePattern> patterns);

namespace detail {
struct Verdict {
    PyObject* name;  // a strong reference, so a verdict is never taken for a new object at a reused address
    bool secret;
};
// Open addressing, probed linearly: a program's few hundred names each keep their verdict
// (a table where colliding names evict each other would judge two hot names over and over).
// Emptied when half full.
inline constexpr size_t VERDICT_SLOTS = 4096;
inline constexpr size_t VERDICTS_MAX = VERDICT_SLOTS / 2;
struct Redaction {
    bool on = false;
    // Bytes of the shortest rule: shorter ASCII names cannot match (the largest length
    // when redaction is off, so that one test settles most names either way).
    Py_ssize_t shortest = PY_SSIZE_T_MAX;
    size_t kept = 0;
    Verdict verdicts[VERDICT_SLOTS] = {};
};
extern Redaction redaction;  // GIL-guarded

inline size_t verdict_slot(PyObject* name) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(name) * 0x9E3779B97F4A7C15ull) >> 52);
}
bool judge_and_keep(PyObject* name);
void forget_verdicts();
}  // namespace detail

namespace detail {
inline bool kept_verdict(PyObject* name) {
    for (size_t i = verdict_slot(name);; i = (i + 1) & (VERDICT_SLOTS - 1)) {
        const Verdict& v = redaction.verdicts[i];
        if (v.name == name) {
            return v.secret;
        }
        if (v.name == nullptr) {
            return judge_and_keep(name);
        }
    }
}
}  // namespace detail

// Whether the value under `name` (a str or a str subclass) is written as "[redacted]".
// Runs no code of the program and never fails (a name that cannot be read is a secret).
inline bool secret_name(PyObject* name) {
    const detail::Redaction& r = detail::redaction;
    if ((PyUnicode_IS_ASCII(name) && PyUnicode_GET_LENGTH(name) < r.shortest) || !r.on) {
        return false;
    }
    return Py_TYPE(name) == &PyUnicode_Type ? detail::kept_verdict(name) : detail::judge_and_keep(name);
}

// The same for an exact str of `length` ASCII characters (most names): one test and one
// probe of the kept verdicts.
inline bool secret_ascii_name(PyObject* name, Py_ssize_t length) {
    return length >= detail::redaction.shortest && detail::kept_verdict(name);
}

// Whether a tuple is a name and its value, (name, value) with a secret name (a str or
// bytes, as headers are given: ASGI's (b"authorization", b"...")): its second item is
// written as "[redacted]".
inline bool secret_pair(PyObject* tuple) {
    if (PyTuple_GET_SIZE(tuple) != 2) {
        return false;
    }
    PyObject* name = PyTuple_GET_ITEM(tuple, 0);
    if (PyBytes_CheckExact(name)) {
        return PyBytes_GET_SIZE(name) >= detail::redaction.shortest && detail::kept_verdict(name);
    }
    return PyUnicode_Check(name) && secret_name(name);
}

}  // namespace sarv::values
