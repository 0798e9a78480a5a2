// Redaction by name: the value of a local, an argument, a str dict key or an attribute
// whose name looks like it holds a secret is written as the text "[redacted]". The verdict
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
inline constexpr size_t VERDICT_SLOTS = 2048;
struct Redaction {
    bool on = false;
    Py_ssize_t shortest = 0;  // bytes of the shortest rule: shorter ASCII names cannot match
    Verdict verdicts[VERDICT_SLOTS] = {};
};
extern Redaction redaction;  // GIL-guarded

inline size_t verdict_slot(PyObject* name) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(name) * 0x9E3779B97F4A7C15ull) >> 53) & (VERDICT_SLOTS - 1);
}
bool judge_and_keep(PyObject* name);
}  // namespace detail

// Whether the value under `name` (a str or a str subclass) is written as "[redacted]".
// Runs no code of the program and never fails (a name that cannot be read is a secret).
inline bool secret_name(PyObject* name) {
    const detail::Redaction& r = detail::redaction;
    if (!r.on || (PyUnicode_IS_ASCII(name) && PyUnicode_GET_LENGTH(name) < r.shortest)) {
        return false;
    }
    if (Py_TYPE(name) == &PyUnicode_Type) {
        const detail::Verdict& v = r.verdicts[detail::verdict_slot(name)];
        if (v.name == name) {
            return v.secret;
        }
    }
    return detail::judge_and_keep(name);
}

}  // namespace sarv::values
