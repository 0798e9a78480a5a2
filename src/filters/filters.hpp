// Which frames are the user's own code. The decision is made from the code's file name,
// plus, for the attrs rule, the file names of the caller (and its caller).
#pragma once

#include "common.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace sarv {

// A needle prepared once; reports whether it occurs anywhere in a haystack, byte-exact and
// case-sensitive. An empty needle occurs everywhere.
class Finder {
public:
    explicit Finder(std::string needle) : needle_(std::move(needle)) {}
    bool occurs_in(std::string_view haystack) const;
    const std::string& needle() const { return needle_; }

private:
    std::string needle_;
};

std::vector<Finder> build_finders(std::vector<std::string> strings);
bool any_occurs(const std::vector<Finder>& finders, std::string_view haystack);

// The process-wide default tables, built on first use.
const Finder& frozen_finder();
const Finder& exec_finder();
const std::vector<Finder>& library_finders();
const std::vector<Finder>& sarv_finders();

bool library_filter(std::string_view filename);
bool frozen_filter(std::string_view filename);
bool sarv_filter(std::string_view filename);
bool exec_filter(std::string_view filename);
bool pytest_filter(std::string_view filename);
bool attrs_generated_name(std::string_view filename);
bool attrs_make_file(std::string_view filename);

// The part of the decision that depends on the file name alone (everything but the caller
// rule of attrs), so it can be remembered per code object.
struct StaticDecision {
    bool included;         // some include fragment occurs
    bool excluded;         // a default table, pytest's expression code, or an ignore fragment
    bool attrs_generated;  // the name starts with "<attrs generated"
};
StaticDecision static_decision(const std::vector<Finder>& include_frames,
                               const std::vector<Finder>& ignore_frames, std::string_view filename);

// The caller rule of attrs: the caller, or for a caller without a file name the caller's
// caller, lives in attrs' class-building module.
bool attrs_caller_filter(PyFrameObject* frame);

// Combines the predicates: included, or excluded by none of them.
bool frame_is_recorded(const StaticDecision& decision, PyFrameObject* frame);

}  // namespace sarv
