#include "filters/filters.hpp"

#include <cstring>

namespace sarv {

bool Finder::occurs_in(std::string_view haystack) const {
    if (needle_.empty()) {
        return true;
    }
    return memmem(haystack.data(), haystack.size(), needle_.data(), needle_.size()) != nullptr;
}

std::vector<Finder> build_finders(std::vector<std::string> strings) {
    std::vector<Finder> finders;
    finders.reserve(strings.size());
    for (auto& s : strings) {
        finders.emplace_back(std::move(s));
    }
    return finders;
}

bool any_occurs(const std::vector<Finder>& finders, std::string_view haystack) {
    for (const auto& finder : finders) {
        if (finder.occurs_in(haystack)) {
            return true;
        }
    }
    return false;
}

// Function-local statics: C++ guarantees one initialisation even when threads race.
const Finder& frozen_finder() {
    static const Finder finder("<frozen ");
    return finder;
}

const Finder& exec_finder() {
    static const Finder finder("<string>");
    return finder;
}

const std::vector<Finder>& library_finders() {
    static const std::vector<Finder> finders = build_finders({"lib/python", "/site-packages/"});
    return finders;
}

const std::vector<Finder>& sarv_finders() {
    // One file or folder a line (the formatter would pack an even count in columns).
    // clang-format off
    static const std::vector<Finder> finders = build_finders({
        "/sarv/_children/",
        "/sarv/cli/",
        "/sarv/config.py",
        "/sarv/db.py",
        "/sarv/db_writer.py",
        "/sarv/destinations.py",
        "/sarv/diff/",
        "/sarv/django_schema.py",
        "/sarv/filters/",
        "/sarv/generate_tests/",
        "/sarv/git.py",
        "/sarv/__init__.py",
        "/sarv/__main__.py",
        "/sarv/middleware.py",
        "/sarv/notebook.py",
        "/sarv/profiler.py",
        "/sarv/process_ends.py",
        "/sarv/pytest_plugin.py",
        "/sarv/serialize/",
        "/sarv/store/",
        "/sarv/utils.py",
        "/sarv/version.py",
        "/sarv/views/",
        "/sarv/web/",
        "/sarv/exceptions.py",
        "/sarv/plugins.py",
    });
    // clang-format on
    return finders;
}

bool library_filter(std::string_view filename) { return any_occurs(library_finders(), filename); }
bool frozen_filter(std::string_view filename) { return frozen_finder().occurs_in(filename); }
bool sarv_filter(std::string_view filename) { return any_occurs(sarv_finders(), filename); }
bool exec_filter(std::string_view filename) { return exec_finder().occurs_in(filename); }
bool pytest_filter(std::string_view filename) { return filename == "<pytest match expression>"; }
bool attrs_generated_name(std::string_view filename) { return filename.starts_with("<attrs generated"); }
bool attrs_make_file(std::string_view filename) { return filename.ends_with("attr/_make.py"); }

StaticDecision static_decision(const std::vector<Finder>& include_frames, const std::vector<Finder>& ignore_frames,
                               std::string_view filename) {
    StaticDecision d{};
    d.included = any_occurs(include_frames, filename);
    d.attrs_generated = attrs_generated_name(filename);
    d.excluded = library_filter(filename) || frozen_filter(filename) || sarv_filter(filename) ||
                 exec_filter(filename) || pytest_filter(filename) || any_occurs(ignore_frames, filename);
    return d;
}

}  // namespace sarv
