#include "values/redact.hpp"

#include <algorithm>

#include "values/limits.hpp"
#include "values/reuse.hpp"

namespace sarv::values {
namespace detail {
Redaction redaction;
}  // namespace detail

namespace {

// Never destroyed: used while the interpreter finalises.
std::vector<NamePattern>* patterns_ = new std::vector<NamePattern>();

bool matches(std::string_view name) {
    for (const NamePattern& p : *patterns_) {
        bool hit = false;
        switch (p.kind) {
            case NamePattern::Kind::Equals: hit = name == p.text; break;
            case NamePattern::Kind::Contains: hit = name.find(p.text) != std::string_view::npos; break;
            case NamePattern::Kind::Prefix: hit = name.starts_with(p.text); break;
            case NamePattern::Kind::Suffix: hit = name.ends_with(p.text); break;
        }
        if (hit) {
            return true;
        }
    }
    return false;
}

void drop_dashes(std::string_view text, std::string& out) {
    out.reserve(text.size());
    for (char c : text) {
        if (c != '-' && c != '_') {
            out.push_back(c);
        }
    }
}

// The name as the rules see it: its first MAX_STR_CHARS characters (what a key keeps when
// written), lower-cased as str.lower does, without '-' and '_', as UTF-8 (lone surrogates
// passed through, so that texts compare as the walker's str methods compare them).
bool normalised(PyObject* name, std::string& out) {
    if (PyBytes_CheckExact(name)) {
        // A header's name as servers give it: ASCII letters lower-cased (bytes.lower), the
        // first MAX_BYTES bytes.
        std::string_view text(PyBytes_AS_STRING(name),
                              std::min<size_t>(static_cast<size_t>(PyBytes_GET_SIZE(name)), MAX_BYTES));
        out.reserve(text.size());
        for (char c : text) {
            if (c != '-' && c != '_') {
                out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
            }
        }
        return true;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    Ref part = n > MAX_STR_CHARS ? Ref::steal(PyUnicode_Substring(name, 0, MAX_STR_CHARS)) : Ref::borrow(name);
    if (!part) {
        return false;
    }
    if (PyUnicode_IS_ASCII(part.get())) {
        std::string_view text(static_cast<const char*>(PyUnicode_DATA(part.get())),
                              static_cast<size_t>(PyUnicode_GET_LENGTH(part.get())));
        out.reserve(text.size());
        for (char c : text) {
            if (c != '-' && c != '_') {
                out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
            }
        }
        return true;
    }
    // str.lower itself (not a subclass's override), fetched once.
    static PyObject* lower = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower");
    if (lower == nullptr) {
        return false;
    }
    Ref lowered = Ref::steal(PyObject_CallOneArg(lower, part.get()));
    if (!lowered || !PyUnicode_Check(lowered.get())) {
        return false;
    }
    Ref utf8 = Ref::steal(PyUnicode_AsEncodedString(lowered.get(), "utf-8", "surrogatepass"));
    if (!utf8) {
        return false;
    }
    drop_dashes(std::string_view(PyBytes_AS_STRING(utf8.get()), static_cast<size_t>(PyBytes_GET_SIZE(utf8.get()))),
                out);
    return true;
}

}  // namespace

namespace detail {

bool judge_and_keep(PyObject* name) {
    Ref held = Ref::borrow(name);
    std::string text;
    bool secret = true;  // a name that cannot be read keeps its value out
    if (normalised(name, text)) {
        secret = matches(text);
    } else {
        PyErr_Clear();
    }
    if (Py_TYPE(name) == &PyUnicode_Type || Py_TYPE(name) == &PyBytes_Type) {
        if (redaction.kept >= VERDICTS_MAX) {
            forget_verdicts();
        }
        size_t i = verdict_slot(name);
        while (redaction.verdicts[i].name != nullptr) {
            i = (i + 1) & (VERDICT_SLOTS - 1);
        }
        redaction.verdicts[i] = Verdict{held.release(), secret};
        ++redaction.kept;
    }
    return secret;
}

void forget_verdicts() {
    for (Verdict& v : redaction.verdicts) {
        Ref old = Ref::steal(std::exchange(v.name, nullptr));  // (a str's release runs no code)
    }
    redaction.kept = 0;
}

}  // namespace detail

void set_name_patterns(std::vector<NamePattern> patterns) {
    detail::Redaction& r = detail::redaction;
    detail::forget_verdicts();
    reuse::forget();  // values kept were written under the old rules
    *patterns_ = std::move(patterns);
    r.on = !patterns_->empty();
    r.shortest = PY_SSIZE_T_MAX;
    for (const NamePattern& p : *patterns_) {
        r.shortest = std::min(r.shortest, static_cast<Py_ssize_t>(p.text.size()));
    }
}

}  // namespace sarv::values
