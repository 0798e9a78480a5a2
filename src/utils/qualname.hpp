#pragma once

#include "common.hpp"

#include <optional>
#include <string>

namespace sarv {

// "module.Qual.name" of the code a frame runs, or nothing when no name can be found.
// With `use_co_qualname` false the lookup path of interpreters without co_qualname is
// taken even where the attribute exists (tests reach that path this way).
bool get_qualname(PyFrameObject* frame, std::optional<std::string>& out, bool use_co_qualname = true);

// The name of one code object, remembered together with the module name it was built
// from. Kept per code object by the event handler.
struct QualnameCache {
    Ref module;  // the module's __name__ object the text was built from
    std::optional<std::string> text;
    uint64_t version = 0;  // counts changes of `text`
    // The globals dict the module name was read from (not owned: only compared) and its
    // version tag then. A dict gets a new tag at every change, and a new dict never gets
    // an old tag, so while both match, __name__ is still `module`.
    const void* globals = nullptr;
    uint64_t globals_version = 0;
};

// get_qualname, reusing the remembered text while the frame's module name is the same
// object. `out` stays valid until the cache changes.
bool get_qualname_cached(PyFrameObject* frame, QualnameCache& cache, std::optional<std::string_view>& out);

}  // namespace sarv
