// What the hook needs to know about a code object, computed once per code object and kept
// in the interpreter's per-code extra slot, which frees it when the code object dies (so a
// reused address can never see a stale entry).
#pragma once

#include "common.hpp"
#include "filters/filters.hpp"
#include "utils/qualname.hpp"

#include <array>
#include <cstdint>
#include <utility>
#include <string>

namespace sarv {

struct PluginProcessor;

struct CodeInfo {
    Ref filename_obj;  // co_filename and co_name, as the code object holds them
    Ref name_obj;
    std::string filename;  // UTF-8; undecodable parts as backslash escapes
    std::string name;
    bool attrs_make = false;  // the file name ends with attrs' class-building module
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
    // Whether events of this code may read variables straight from the frame (-1: not
    // known yet), and from which instruction on (the end of the prologue).
    int8_t direct_locals = -1;
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
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x03100000
    // What _PyCode_GetExtra (PyUnstable_Code_GetExtra from 3.12 on) reads, without its
    // checks and its call. The block behind co_extra is private to codeobject.c (the same
    // from 3.6 to 3.15).
    struct CodeExtra {
        Py_ssize_t ce_size;
        void* ce_extras[1];
    };
    Py_ssize_t index = detail::code_extra_slot;
    auto* extra = static_cast<CodeExtra*>(code->co_extra);
    return index >= 0 && extra != nullptr && index < extra->ce_size ? static_cast<CodeInfo*>(extra->ce_extras[index])
                                                                    : nullptr;
#else
    return detail::peek_code_info_by_call(code);
#endif
}

}  // namespace sarv
