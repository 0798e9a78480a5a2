// Small facts about frames and threads that frame records carry.
#pragma once

#include "common.hpp"
#include "utils/ulid.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sarv {

struct ThreadInfo {
    std::string name;
    size_t native_id = 0;
};

struct CallSite {
    PrefixedId call_frame_id;
    long line_number = 0;
};

// One recorded activation that has not returned yet.
struct CallFrame {
    Ref frame;
    PrefixedId frame_id;
    // Variables read straight from the frame at the call event (no f_locals dict made):
    // the slots bound then, which a dict made then would list first at the return.
    bool direct_locals = false;
    uint64_t listed = 0;
};
using CallStack = std::vector<CallFrame>;

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
// The frame's current line; a TypeError when the interpreter has none for it.
bool frame_line(PyFrameObject* frame, int& line);

// (name, native id) of threading.current_thread().
bool current_thread(ThreadInfo& out);

// Seconds since the Unix epoch, with fraction. Negative before the epoch, never a failure.
double timestamp();
// The same reading of the clock as timestamp() and in whole milliseconds (0 before the
// epoch): a record's timestamp and its frame id's time come from one reading.
struct WallClock {
    double seconds;
    uint64_t millis;
};
WallClock wall_clock();

// The nearest recorded caller of the activation `frame_id`, given the stack as it was
// before the current event changed it. Returns false with a Python error set on failure.
bool user_code_call_site(const CallStack& stack, const std::optional<PrefixedId>& frame_id,
                         std::optional<CallSite>& out);

}  // namespace sarv
