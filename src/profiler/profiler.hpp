// The profiler: configuration read once at registration, the frame buffers, and the
// per-thread state of the event handler.
#pragma once

#include "common.hpp"
#include "encode/msgpack_write.hpp"
#include "profiler/frame_decision.hpp"
#include "interp/code_cache.hpp"
#include "interp/frame_access.hpp"
#include "plugins/plugins.hpp"
#include "record/call_stack.hpp"
#include "profiler/event.hpp"
#include "profiler/record_list.hpp"
#include "record/clock.hpp"
#include "record/paths.hpp"
#include "record/thread.hpp"
#include "record/ulid.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace sarv {

struct CodeInfo;
struct DocumentMeta;
struct RaiseDescription;

// A recorded call that raised, whose exception is not known yet.
struct PendingRaise {
    uintptr_t frame;
    PrefixedId frame_id;
};

struct ThreadState;

namespace detail {
// Set by a backend that is told how a frame left (sys.monitoring): the event is a
// suspension (PY_YIELD) or not, and need not be read from the generator's state.
enum class KnownExit : uint8_t { Unknown, Ended, Suspended };
// The hook's per-thread words, in one thread-local object: in a shared library each
// thread-local variable read is a call, and one event reads several of these.
struct ThreadWords {
    // Some profiler has raises pending on this thread: every event looks for the exception.
    bool raises_pending = false;
    KnownExit known_exit = KnownExit::Unknown;
    // Set by a backend handed the exception a frame is left by (sys.monitoring's
    // PY_UNWIND): the recorded raising call's id, whose companion record that backend
    // writes at once, after the call's own record.
    bool names_raises = false;
    std::optional<PrefixedId> raised_frame_id;
    // The thread's state of the profiler with this serial (SarvProfiler::thread_state).
    uint64_t state_serial = 0;
    ThreadState* state = nullptr;
};
inline thread_local ThreadWords words;  // trivially destructible: nothing runs at thread exit
}  // namespace detail

// State that only its own thread touches: no lock needed.
struct ThreadState {
    CallStack call_frames;
    std::unordered_map<uintptr_t, PrefixedId> frame_ids;
    // Suspended generators' and coroutines' frames: the id of the activation that started
    // each, which its resumptions' records name. A frame can go without resuming (3.12+
    // closes a generator with no handler without running it; one finished on a thread not
    // recorded) and a new generator's frame take its memory: only a frame past its code's
    // start resumes.
    std::unordered_map<uintptr_t, PrefixedId> suspended;
    std::vector<PendingRaise> pending_raises;
    std::optional<ThreadInfo> thread_info;
    std::string thread_entries;  // the record's "thread" and "thread_native_id" entries, and the next key
    Buffer scratch;  // reused for every record this thread encodes
    DirectLocals locals;  // reused likewise; empty between events
    IdGenerator ids;      // the random part of this thread's frame ids
    Batch batch;     // reused for every event of this thread
};

using FrameList = std::vector<std::string>;  // the records of one batch
using ThreadFrames = std::unordered_map<size_t, RecordList>;

// A trace's opening marker (a test's or a request's start): `in_list` while it is the
// first record of frames_of_interest, `aside` once "ring" has dropped it from there. The
// document writes it first either way.
struct Opening {
    std::string record;
    bool in_list = false;
    bool aside = false;
};

// Records taken out of the buffers for one document; put back in front if saving fails.
struct TakenFrames {
    RecordList frames_of_interest;
    ThreadFrames frames;
    size_t dropped = 0;  // records the caps dropped from this trace
    Opening opening;  // as the profiler held it
};

class SarvProfiler {
public:
    // Reads the companion package's profiler object. Null with a Python error set on
    // failure; broken invariants throw InternalFault.
    static std::unique_ptr<SarvProfiler> new_from_python(PyObject* profiler);

    // `known`: the frame's code entry when the caller has it (else it is looked up).
    // `raised`: a return event of a frame left by an exception (arg is then None).
    void profile(PyFrameObject* frame, PyObject* arg, Event event, CodeInfo* known = nullptr, bool raised = false);
    // True when the code of this entry (null: none yet) is already known to be left out,
    // with no plugin to run: no allocation, no Python call, no error.
    bool is_quickly_excluded(const CodeInfo* info) const {
        return info != nullptr && info->profiler_serial == serial && info->plugins == nullptr &&
               !info->decision.included && (info->decision.excluded || info->decision.attrs_generated);
    }
    // Whether this profiler leaves out every frame of the code, plugins included (the
    // entry is read, never refreshed: it may be another profiler's).
    bool leaves_out(const CodeInfo& info) const;
    bool push_frames(Event event, Batch& batch);
    // Moves the batch's records[begin, end) into the buffer chosen for the thread.
    void push_frame_range(size_t thread_id, const Batch& batch, size_t begin, size_t end);
    // One frame record, for an event without plugin records (no boundary can be among them).
    void push_record(size_t thread_id, std::string_view record);
    Ref build_trace();
    // build_trace() with what storage reads of the document otherwise by walking its
    // records: (bytes, record_count, tail_offset, edge_records), as the pieces save_in_db
    // hands over describe themselves.
    Ref build_described_trace();
    bool save_in_db();

    static void log_error(PyFrameObject* frame, Event event, PyObject* co_filename, PyObject* co_name);

    // A recorded call left by an exception: its companion record follows once the exception
    // is seen handled (settle_raises, at a later event; `unwinding`: that event is another
    // frame's exit by the same exception).
    void note_raise(PyFrameObject* frame, const PrefixedId& frame_id, ThreadState& ts);
    void settle_raises(bool unwinding);
    // The same companion record at once, where the backend is handed the exception.
    void name_raise(const PrefixedId& frame_id, PyObject* exception, ThreadState& ts);

    ThreadState& thread_state() {
        detail::ThreadWords& w = detail::words;
        return w.state_serial == serial ? *w.state : new_thread_state(w);
    }
    bool ensure_thread_info(ThreadState& ts);

    // thread_state() when the thread's cached slot is another profiler's.
    ThreadState& new_thread_state(detail::ThreadWords& w);

    // A number never reused, so caches keyed by it cannot mistake a dead profiler for us.
    const uint64_t serial;

    std::string db_path;
    std::string source;
    double created = 0;
    size_t main_thread_id = 0;
    size_t timeout = 60;
    bool one_trace_per_test = false;
    bool threading = false;
    bool lightweight_repr = false;
    // "max_records" and "max_bytes": the most records, and bytes of records, the buffers
    // hold (0: no limit). Past either, the oldest are dropped ("max_records_mode" "ring")
    // or new ones are not kept ("stop"). A trace's boundary markers are always kept.
    size_t max_records = 0;
    size_t max_bytes = 0;
    bool keep_latest = true;
    std::vector<Finder> include_frames;
    std::vector<Finder> ignore_frames;

    // Lock order wherever several are held: trace_id, frames_of_interest, frames.
    std::mutex trace_id_mutex;
    std::string trace_id;
    std::mutex frames_of_interest_mutex;
    RecordList frames_of_interest;
    std::mutex frames_mutex;
    ThreadFrames frames;
    // Records dropped for the caps since the buffers were last taken, and whether "stop"
    // has refused one (nothing after it is kept); under frames_of_interest_mutex.
    // `cap_reported`: the warning was given.
    size_t dropped = 0;
    bool stopped = false;
    Opening opening;  // under frames_of_interest_mutex
    std::atomic<bool> cap_reported{false};

    // Held for each whole event that touches shared state; taken without holding the
    // interpreter lock while waiting, because its holder may be running Python code.
    std::mutex plugins_mutex;
    PluginMap plugins;

    // Visits every Python object the profiler holds (the frames on the per-thread call
    // stacks, the plugins' callables and contexts), for the cyclic garbage collector.
    int traverse(visitproc visit, void* arg);

    SarvProfiler();

private:
    // The frame record of an event: gathered from the frame, encoded, committed.
    bool process_frame(PyFrameObject* frame, PyObject* arg, Event event, bool raised, CodeInfo& code, ThreadState& ts);
    void refresh_code_info(CodeInfo& info);
    void write_companion(const PrefixedId& frame_id, const RaiseDescription& description, ThreadState& ts);
    // The thread's info and record entries, made if need be; false (no error set) on failure.
    bool thread_entries_ready(ThreadState& ts);
    void take_frames(TakenFrames& taken);
    // With a cap: how many of `incoming` records (sizes `size_of(i)`, oldest first) may be
    // stored, the first ones ("stop") or the newest ones ("ring", which drops the oldest
    // held records to make room). Called with frames_of_interest_mutex and frames_mutex held.
    enum class Cap { None, Records, Bytes };  // the cap reached
    template <class SizeOf>
    size_t make_room(size_t incoming, const SizeOf& size_of, Cap& reached);
    void report_cap(Cap reached);
    // Forgets what the caps did: for a new trace, under frames_of_interest_mutex.
    void reset_caps();
    void restore_frames(TakenFrames&& taken);
    // The document of the taken records as one bytes object (null with an error set).
    Ref document_bytes(const DocumentMeta& meta, TakenFrames& taken);
    Ref build_document(bool described);

    std::mutex threads_mutex;
    std::unordered_map<uint64_t, std::unique_ptr<ThreadState>> threads;
};

// The Python object wrapping a profiler.
struct PyProfiler {
    PyObject_HEAD SarvProfiler* state;
};
namespace detail {
inline PyTypeObject* created_profiler_type = nullptr;  // profiler_type(), once made
}

// The Python type wrapping a profiler; created on first use.
PyTypeObject* profiler_type();
// The wrapped profiler of a SarvProfiler instance, or null with TypeError set.
SarvProfiler* profiler_of(PyObject* obj);
// The wrapped profiler when obj is exactly a SarvProfiler; null otherwise, no error set.
inline SarvProfiler* exact_profiler_of(PyObject* obj) {
    PyTypeObject* type = detail::created_profiler_type;
    return obj != nullptr && type != nullptr && Py_TYPE(obj) == type ? reinterpret_cast<PyProfiler*>(obj)->state
                                                                     : nullptr;
}
// Wraps a new profiler in a Python object (a new reference).
Ref wrap_profiler(std::unique_ptr<SarvProfiler> profiler);

// The C-level profile function registered with each SarvProfiler object.
int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg);
// What it does for every event but the quickly excluded ones; `info`: the frame's code
// entry when already found.
int handle_event(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg, CodeInfo* info);

}  // namespace sarv
