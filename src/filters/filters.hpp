// Which frames are the user's own code, as far as the code's file name tells: the finders,
// the default tables and the predicates over a file name (profiler/frame_decision.hpp adds
// the caller rule of attrs, which reads frames).
#pragma once

#include <string>
#include <string_view>
#include <utility>
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
StaticDecision static_decision(const std::vector<Finder>& include_frames, const std::vector<Finder>& ignore_frames,
                               std::string_view filename);

}  // namespace sarv
