#pragma once

#include "common.hpp"

#include <optional>
#include <string>

namespace sarv {

// "module.Qual.name" of the code a frame runs, or nothing when no name can be found.
// With `use_co_qualname` false the lookup path of interpreters without co_qualname is
// taken even where the attribute exists (tests reach that path this way).
bool get_qualname(PyFrameObject* frame, std::optional<std::string>& out, bool use_co_qualname = true);

}  // namespace sarv
