// The file name a record shows: relative to the working directory.
#pragma once

#include "common.hpp"

#include <cstdint>
#include <string_view>

namespace sarv {

// The path shown for `filename` given a working directory (exposed for tests).
std::string_view relative_to(std::string_view filename, std::string_view cwd);
// `filename` relative to the process's current working directory.
std::string_view shown_filename(std::string_view filename);
// Changes when the working directory may have changed; false when changes are not watched
// (then the directory may differ at every call).
bool working_directory_epoch(uint64_t& epoch);
// From now on the working directory is read again only after os.chdir / os.fchdir (seen
// through an audit hook), instead of at every record. Called at registration.
void watch_working_directory();

}  // namespace sarv
