// Qualified names ("module.Qual.name") of the code a frame runs.
#pragma once

#include "common.hpp"
#include "interp/code_cache.hpp"

#include <optional>
#include <string>

namespace sarv {

// "module.Qual.name" of the code a frame runs, or nothing when no name can be found.
// With `use_co_qualname` false the lookup path of interpreters without co_qualname is
// taken even where the attribute exists (tests reach that path this way).
bool get_qualname(PyFrameObject* frame, std::optional<std::string>& out, bool use_co_qualname = true);

// get_qualname, reusing the remembered text while the frame's module name is the same
// object. `out` stays valid until the cache changes.
bool get_qualname_cached(PyFrameObject* frame, QualnameCache& cache, std::optional<std::string_view>& out);

}  // namespace sarv
