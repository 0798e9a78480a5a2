// The profiler: configuration read once at registration, the frame buffers, and the
// per-thread state of the event handler.
#pragma once

#include "common.hpp"
#include "encode/msgpack_write.hpp"
#include "profiler/config.hpp"
#include "profiler/frame_decision.hpp"
#include "interp/code_cache.hpp"
#include "interp/frame_access.hpp"
#include "plugins/plugins.hpp"
#include "record/call_stack.hpp"
#include "profiler/event.hpp"
#include "profiler/hook_event.hpp"
#include "profiler/record_list.hpp"
#include "profiler/trace_buffers.hpp"
#include "record/clock.hpp"
#include "record/paths.hpp"
#include "record/thread.hpp"
#include "record/ulid.hpp"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace sarv {

struct CodeInfo;
struct DocumentMeta;
class Spool;
struct FlushOut;
struct RaiseDescription;

// A recorded call that raised, whose exception is not known yet.
struct PendingRaise {
    uintptr_t frame;
    PrefixedId frame_id;
};

struct ThreadState;

// A call left out of the trace that has not returned yet: timed, counted on its code.
struct LeftOutCall {
    uintptr_t activation;
    CodeInfo* code;   // alive while its frame runs
    uint64_t start;   // ticks()
    bool counted;     // a call (not a generator's resumption), counted on its code

    // Its time (and whether it raised) added to its code's counts.
    void finish(bool raised) const {
        CallCounts& counts = code->calls;
        uint64_t now = ticks();
        uint64_t spent = now > start ? now - start : 0;  // (a counter behind on another core: no time)
        counts.total_ticks += spent;
        counts.longest_ticks = spent > counts.longest_ticks ? spent : counts.longest_ticks;
        counts.raised += raised && counted;
    }
};

namespace detail {
// The hook's per-thread words, in one thread-local object: in a shared library each
// thread-local variable read is a call, and one event reads several of these.
struct ThreadWords {
    // Some profiler has raises pending on this thread: every event looks for the exception.
    // Written through set_raises_pending only.
    bool raises_pending = false;
    // The thread's state of the profiler with this serial (SarvProfiler::thread_state).
    uint64_t state_serial = 0;
    ThreadState* state = nullptr;
    // That state while the thread runs calls left out of its trace (the budget), else null.
    ThreadState* skipping = nullptr;
};
inline thread_local ThreadWords words;  // trivially destructible: nothing runs at thread exit
// A thread-local's address, computed once: the compiler would compute it again at each use
// (a call in a shared library); the empty asm hides where it came from.
template <class T>
inline T& kept_address(T& local) {
    T* at = &local;
    asm("" : "+r"(at));
    return *at;
}
// Threads whose raises_pending is set. While none has it, the hook's quick path reads no
// thread-local word (each read is a call in a shared library). A thread that ends with
// it set keeps the count up: events then only take the slower look.
inline std::atomic<int> threads_with_raises{0};
inline bool any_raises_pending() { return threads_with_raises.load(std::memory_order_relaxed) != 0; }
inline void set_raises_pending(bool pending) {
    ThreadWords& w = words;
    if (w.raises_pending != pending) {
        w.raises_pending = pending;
        threads_with_raises.fetch_add(pending ? 1 : -1, std::memory_order_relaxed);
    }
}
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
    // The calls left out that are running, outermost first: the first one's caller is
    // recorded (or nothing is), the others run under it.
    std::vector<LeftOutCall> left_out;
};

// Taken for each whole event that touches shared state. Events run with the interpreter
// lock held, so a flag guarded by it is enough while no holder lets that lock go; one
// that does (the spool's backpressure, Python code run for plugins or values) leaves the
// flag set, and a thread finding it set waits on the condition without the interpreter
// lock, because the holder may need it back to finish.
struct HandlerGate {
    std::atomic<bool> busy{false};  // set and cleared with the interpreter lock held
    uint32_t forks = watch_forks();  // forks_so_far() when it was taken
    int waiting = 0;                 // threads waiting for it (under the interpreter lock)
    std::mutex mutex;
    std::condition_variable freed;
};

class SarvProfiler {
public:
    // Reads the companion package's profiler object. Null with a Python error set on
    // failure; broken invariants throw InternalFault.
    static std::unique_ptr<SarvProfiler> new_from_python(PyObject* profiler);

    // A call or return event (an unwinding frame's arg is None here).
    void profile(const HookEvent& ev);
    // True when the code of this entry (null: none yet) is already known to be left out,
    // with no plugin to run: no allocation, no Python call, no error.
    // An event of code without plugins that the trace leaves out (a call past the budget,
    // or one that such a call makes), handled without the slow path: true when it was.
    // `activation`: activation_of the event's frame; `resuming`: a call resuming a generator.
    // (`w`: the thread's words, when the caller has read them already)
    bool leaves_out_quickly(CodeInfo* info, uintptr_t activation, bool call, bool raised, bool resuming,
                            detail::ThreadWords& w = detail::words) {
        if (info == nullptr || info->profiler_serial != serial || info->plugins != nullptr) {
            return false;
        }
        if (w.raises_pending || w.state_serial != serial) {
            return false;
        }
        if (w.skipping != nullptr) {
            if (w.skipping != w.state) {
                return false;
            }
            // The usual events inline: a call counted (its code named already), the return
            // of the innermost call left out; the rest out of line.
            std::vector<LeftOutCall>& running = w.state->left_out;
            CallCounts& counts = info->calls;
            if (call && !resuming && counts.left_out != 0 && !info->decision.excluded &&
                !info->decision.attrs_generated &&
                counts.trace == buffers.trace_serial.load(std::memory_order_relaxed)) {
                ++counts.left_out;
                enter_left_out(*w.state, *info, activation, true, w);
                return true;
            }
            if (!call && !running.empty() && running.back().activation == activation &&
                (running.size() > 1 || !raised)) {
                leave_left_out(*w.state, raised, w);
                return true;
            }
            return left_out_event(*w.state, *info, activation, call ? Event::Call : Event::Return, raised, resuming,
                                  nullptr, nullptr) == LeftOut::Consumed;
        }
        // A new call of a function already past its budget in this trace (its first call
        // left out went the slow way, which named it for the trace's note and found it
        // recorded by the filters).
        CallCounts& counts = info->calls;
        if (!call || resuming || counts.left_out == 0 || !counts.user_code ||
            counts.trace != buffers.trace_serial.load(std::memory_order_relaxed) || info->suspends != Suspends::Never ||
            (counts.recorded < config.call_budget && !buffers.ended.load(std::memory_order_relaxed))) {
            return false;
        }
        ++counts.left_out;
        enter_left_out(*w.state, *info, activation, true, w);
        return true;
    }
    // Past a "stop" cap, a resumption or suspension of generator code without plugins: its
    // calls stay counted but their time is no longer measured, so that sys.monitoring can
    // switch its resumptions and suspensions off. True when the code is (now) so marked.
    bool stop_timing_past_cap(CodeInfo& info, PyCodeObject* code);
    // Marked so in this trace: its calls are left out without being timed.
    bool untimed(const CodeInfo& info) const {
        return info.calls.untimed && info.calls.trace == buffers.trace_serial.load(std::memory_order_relaxed);
    }
    // A call left out starts on the thread of `ts` (`counted`: a call, not a generator's
    // resumption), or the innermost one returns: the one place either is done.
    // (`w`: the thread's words, read once by the caller: a thread-local read is a call here)
    void enter_left_out(ThreadState& ts, CodeInfo& info, uintptr_t activation, bool counted,
                        detail::ThreadWords& w = detail::words) {
        buffers.calls_after_end += counted && buffers.ended.load(std::memory_order_relaxed);
        ts.left_out.push_back(LeftOutCall{activation, &info, ticks(), counted});
        w.skipping = &ts;
    }
    void leave_left_out(ThreadState& ts, bool raised, detail::ThreadWords& w = detail::words) {
        ts.left_out.back().finish(raised);
        ts.left_out.pop_back();
        if (ts.left_out.empty()) {
            w.skipping = nullptr;
        }
    }
    // The thread is hooked afresh: calls left out before, whose returns the hook may not
    // have seen, are forgotten.
    void forget_left_out() {
        thread_state().left_out.clear();
        detail::words.skipping = nullptr;
    }
    // What an event does to the calls left out on its thread: nothing (Outside: the thread
    // runs none); counted (Consumed); the outermost one ended by raising, to be recorded
    // after all (RaisedRoot); or it needs the code object, which `code` null lacks (Slow).
    enum class LeftOut { Outside, Consumed, RaisedRoot, Slow };
    // (`code` and `frame`: the event's, or null on the quick path.)
    LeftOut left_out_event(ThreadState& ts, CodeInfo& info, uintptr_t activation, Event event, bool raised,
                           bool resuming, PyCodeObject* code, PyFrameObject* frame);
    bool is_quickly_excluded(const CodeInfo* info) const {
        return info != nullptr && info->profiler_serial == serial && info->plugins == nullptr &&
               !info->decision.included && (info->decision.excluded || info->decision.attrs_generated);
    }
    // Whether this profiler leaves out every frame of the code, plugins included (the
    // entry is read, never refreshed: it may be another profiler's).
    bool leaves_out(const CodeInfo& info) const;
    bool push_frames(Event event, Batch& batch);
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

    const ProfilerConfig config;
    TraceBuffers buffers;

    // The successful saves since the spool's last flush: trace id and the generation each
    // left (the records they took are storage's).
    std::vector<std::pair<std::string, uint64_t>> saves_since_flush;

    // The spool: the trace's records copied to a file as they are made, by spool_flush()
    // (called from a thread of sarv's; by the hook only when the flushes fall behind it:
    // spool_catch_up). See spool.hpp.
    // `folder`: where the file goes; false with an OSError set if it cannot be used.
    bool spool_to(const std::string& folder);
    // Copies what was recorded since the last flush; false with an error set when the
    // file could not be written (it is then left as it is, and no longer written).
    // `retired`: how many files of saved traces are kept until storage has them on disk.
    // (`raise_failure` false: a failed write is kept for the next flush to raise.)
    bool spool_flush(size_t& retired, bool raise_failure = true);
    // Removes those files (storage has every save handed to it on disk).
    void spool_release();
    // No more spooling; the file is removed if `remove` (the trace is saved). The paths
    // of the files left for saves not yet on disk.
    std::vector<std::string> spool_close(bool remove);
    std::shared_ptr<Spool> spool;  // null: not spooled
    // Bytes of a list's records in memory past which the thread recording into it writes
    // the spool itself (the flushes have fallen behind); SIZE_MAX while records do not
    // leave memory. Set by the flushes.
    std::atomic<size_t> spool_wait_at{SIZE_MAX};
    void spool_catch_up();
    // Saves holding the taken records; the spool is left as it is meanwhile.
    std::atomic<int> saves_running{0};
    struct SpoolHold {
        SarvProfiler& p;
        explicit SpoolHold(SarvProfiler& profiler) : p(profiler) { p.saves_running.fetch_add(1); }
        ~SpoolHold() { p.saves_running.fetch_sub(1); }
        SpoolHold(const SpoolHold&) = delete;
        SpoolHold& operator=(const SpoolHold&) = delete;
    };

    // Held for each whole event that touches shared state (handler.cpp).
    HandlerGate handler_gate;
    PluginMap plugins;

    // Visits every Python object the profiler holds (the frames on the per-thread call
    // stacks, the plugins' callables and contexts), for the cyclic garbage collector.
    int traverse(visitproc visit, void* arg);

    explicit SarvProfiler(ProfilerConfig config_read);

private:
    // The frame record of an event: gathered from the frame, encoded, committed.
    // `backdate`: seconds before now the event happened (a call recorded late). `named`:
    // set to the call's id when the frame raised an exception the event carries, whose
    // companion record the caller writes after the event's records.
    bool process_frame(const HookEvent& ev, CodeInfo& code, ThreadState& ts, Maybe<PrefixedId>& named,
                       double backdate = 0);
    // A call of recorded code: whether it is recorded (within the budget, recording not
    // ended); if not, the thread starts a run of calls left out with it.
    bool admit_call(PyFrameObject* frame, CodeInfo& info, PyCodeObject* code, ThreadState& ts);
    // The counts of `info` for the current trace (started afresh for a new trace, which
    // needs `code`: null without it).
    CallCounts* counts_of(CodeInfo& info, PyCodeObject* code);
    // The code's first call left out of this trace: its note will name it.
    void list_left_out(PyCodeObject* code, PyFrameObject* frame, CodeInfo& info);
    // The outermost call left out ended by raising (`ev`): recorded after all, a call and its return.
    void record_raised_root(const HookEvent& ev, CodeInfo& info, ThreadState& ts, double duration);
    // A return of a recorded call after recording ended: no record, the stacks kept true.
    void drop_return(PyFrameObject* frame, const CodeInfo& info, ThreadState& ts);
    void refresh_code_info(CodeInfo& info);
    void write_companion(const PrefixedId& frame_id, const RaiseDescription& description, ThreadState& ts);
    // The thread's info and record entries, made if need be; false (no error set) on failure.
    bool thread_entries_ready(ThreadState& ts);
    // The flush's copy of the buffers (a slice of it: `more` when some is left), with the
    // locks held (spool.cpp).
    bool spool_copy(Spool& s, const DocumentMeta& meta, FlushOut& out, bool& fresh, bool& remove, bool& retire,
                    bool& more);
    // After a write: the records it put in the file leave memory, once the trace is large
    // (with the locks held).
    void spool_spill(Spool& s);
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
// The handler's one entry, for both backends: every event but those their quick paths
// leave out. 0, or -1 with a Python error set when `obj` is not a profiler (a C call then
// is ignored). A C call names the exception of a recorded call that raised, if the call
// runs inside the exception's handler.
int handle_event(PyObject* obj, const HookEvent& ev);

}  // namespace sarv
