// One call or return event on its way to a frame record, in three steps:
// - gather: the backend that saw the event (today the profile hook, from the frame) fills
//   an EventFacts; nothing is written yet;
// - encode: write_frame_record turns the facts into the record's bytes (record.cpp);
// - commit: the thread's call stack is updated and the record goes to the buffers.
#pragma once

#include "common.hpp"
#include "encode/msgpack_write.hpp"
#include "interp/frame_access.hpp"
#include "record/call_stack.hpp"
#include "record/clock.hpp"
#include "record/thread.hpp"
#include "record/ulid.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace sarv {

enum class Event { Call, Return };
inline const char* event_text(Event e) { return e == Event::Call ? "call" : "return"; }

// How an activation (or a part of a generator's or coroutine's) ended. Only the others
// than an ordinary return are written, as an "end" entry, so that the bytes of ordinary
// records stay as they always were.
enum class End : uint8_t { Returned, Raised, Yielded, Awaited };

// What a frame record says about one event. `shown_path` and `names_entries` point into
// the code's cache entry, which another profiler may refresh once Python code runs: they
// are written before the values, whose encoding may run some. `thread_entries` belongs to
// the thread and does not change.
struct EventFacts {
    Event event = Event::Call;
    std::string_view shown_path;     // the code's file name as records show it
    int line = 0;
    std::string_view names_entries;  // encode_names_entries of the code
    Maybe<PrefixedId> frame_id;  // none for a return whose call was not recorded
    Maybe<CallSite> call_site;
    WallClock now{};                     // the record's timestamp (and the new id's time)
    std::string_view thread_entries;     // encode_thread_entries of the thread
    End end = End::Returned;             // of a return
    Maybe<PrefixedId> resumes;           // of a call resuming a generator: its first activation
    PyObject* arg = nullptr;             // borrowed, as all below
    // The variables: read straight from the frame, or else a dict of them.
    const DirectLocals* direct = nullptr;
    PyObject* locals = nullptr;
};

// The record's "co_name" and "qualname" entries and the key "event": the same for every
// event of a code object, so encoded once and kept with it.
std::string encode_names_entries(std::string_view co_name, std::optional<std::string_view> qualname);
// The record's "thread" and "thread_native_id" entries and the key "timestamp": the same
// for every record of a thread, so encoded once and kept with it.
std::string encode_thread_entries(const ThreadInfo& thread);

// Appends the frame record of an event to `out`: a map of 12 entries (and "end" after them
// for a return other than an ordinary one, "resumes" for a call resuming a generator or
// coroutine) whose "arg" and "locals" are encoded by the companion package's serialiser. False with a Python error
// set when a value cannot be encoded (what was appended is then to be dropped).
bool write_frame_record(const EventFacts& facts, bool lightweight, Buffer& out);

}  // namespace sarv
