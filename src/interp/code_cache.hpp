// What the hook needs to know about a code object, computed once per code object and kept
// in the interpreter's per-code extra slot, which frees it when the code object dies (so a
// reused address can never see a stale entry).
#pragma once

#include "common.hpp"
#include "compat.hpp"
#include "filters/filters.hpp"
#include "interp/suspension.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sarv {

struct PluginProcessor;

// The name of one code object, remembered together with the module name it was built
// from. Kept per code object; record/qualname.hpp fills it.
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

// How an event reads the variables of a frame running some code.
enum class LocalsAccess : int8_t {
    Unknown,     // not looked at yet
    ThroughDict,  // PyFrame_GetLocals, always
    Direct,      // straight from the frame's slots
    DirectKeepingOrder,  // the same, for a generator or coroutine: the order kept on the frame
};

// What the current trace did with a code object's calls, for the call budget: valid while
// `trace` is the serial of the trace being recorded (a new trace starts from zero).
struct CallCounts {
    uint64_t trace = 0;
    uint64_t recorded = 0;  // calls recorded in full
    uint64_t left_out = 0;  // calls left out (at any depth)
    uint64_t raised = 0;    // of those, calls that ended by raising
    uint64_t total_ticks = 0;
    uint64_t longest_ticks = 0;
    bool user_code = false;  // the filters record its frames (so a call past the budget is left out)
    // Past a "stop" cap (3.12+): its generators' resumptions were switched off, so its calls
    // are counted but their time is not known.
    bool untimed = false;
};

struct CodeInfo {
    Ref filename_obj;  // co_filename and co_name, as the code object holds them
    Ref name_obj;
    std::string filename;  // UTF-8; undecodable parts as backslash escapes
    std::string name;
    bool attrs_make = false;  // the file name ends with attrs' class-building module
    Suspends suspends = Suspends::Never;  // a generator's or coroutine's code
    QualnameCache qualname;
    // The file name as records show it, a part of `filename` (offset, size), valid while
    // the working-directory epoch is shown_epoch - 1 (0: not known).
    uint64_t shown_epoch = 0;
    size_t shown_offset = 0;
    size_t shown_size = 0;
    // The record's co_name and qualname entries and the next key, encoded, for
    // qualname.version names_version.
    std::string names_bytes;
    uint64_t names_version = 0;
    // Whether events of this code may read variables straight from the frame, and from
    // which instruction on (the end of the prologue).
    LocalsAccess locals_access = LocalsAccess::Unknown;
    int body_start = 0;
    // For generators and coroutines: the slots, in order, of the names dict last seen or
    // left on one of their frames, and that dict's version tag then (tags are never
    // reused, so an equal tag is that dict, unchanged).
    uint64_t names_dict_version = 0;
    std::vector<uint8_t> names_dict_order;
    // Lines of the instructions events were last seen at (instruction index + 1, line),
    // where the interpreter reads a line from the start of the code's line table each time.
    std::array<std::pair<int, int>, 4> lines{};
    uint8_t lines_next = 0;

    // The part that depends on one profiler's configuration, valid while profiler_serial
    // names that profiler. Serials are never reused, so a dead profiler cannot match.
    uint64_t profiler_serial = 0;
    StaticDecision decision{};
    std::vector<PluginProcessor>* plugins = nullptr;  // processors listed under `name`
    // profiler_serial when that profiler leaves out every event of the code and runs no
    // plugin for it, else 0: the one comparison the hook makes for most events.
    uint64_t left_out_by = 0;

    CallCounts calls;

    // Whether every profiler hooked through sys.monitoring leaves the code out, as of the
    // set of those profilers numbered `everywhere_generation` (0: not known). A thread that
    // records nothing asks this at every event of code some profiler wants: answered here
    // it costs a load, not the filters' substring searches.
    uint64_t everywhere_generation = 0;
    bool everywhere = false;
};

// Never null. Throws InternalFault when co_filename or co_name is not a str.
CodeInfo& code_info(PyCodeObject* code);
// The interpreter's per-code extra slot that holds the entries; negative when none was given.
Py_ssize_t code_extra_index();

namespace detail {
inline constexpr Py_ssize_t NOT_ASKED = -2;
inline Py_ssize_t code_extra_slot = NOT_ASKED;  // code_extra_index() (negative: none to be had)
CodeInfo* peek_code_info_by_call(PyCodeObject* code);
}  // namespace detail

// The entry already made for this code object, or null: never allocates, never fails.
// Runs for every event of every hooked thread.
inline CodeInfo* peek_code_info(PyCodeObject* code) {
#if SARV_CODE_EXTRA_LAYOUT
    // What code_get_extra reads, without its checks and its call (the block behind
    // co_extra is private to codeobject.c).
    struct CodeExtra {
        Py_ssize_t ce_size;
        void* ce_extras[1];
    };
    // (one unsigned comparison: a negative index, no slot, is out of range too)
    auto index = static_cast<size_t>(detail::code_extra_slot);
    auto* extra = static_cast<CodeExtra*>(code->co_extra);
    return extra != nullptr && index < static_cast<size_t>(extra->ce_size)
               ? static_cast<CodeInfo*>(extra->ce_extras[index])
               : nullptr;
#else
    return detail::peek_code_info_by_call(code);
#endif
}

}  // namespace sarv
