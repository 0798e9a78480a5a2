// The event handler: runs for every Python call and return of every hooked thread. The
// plugin stage and the frame decision come first; a recorded frame then goes through the
// three steps of profiler/event.hpp: gather (here), encode (record.cpp), commit (here).
#include "profiler/profiler.hpp"
#include "boundary.hpp"
#include "interp/code_cache.hpp"
#include "interp/frames.hpp"
#include "profiler/event.hpp"
#include "record/qualname.hpp"

#include <algorithm>
#include <cstdint>
#include <new>

namespace sarv {
namespace {

// Holds the handler gate for an event. Waiting for it, the interpreter lock is let go:
// its holder may be running Python code and need that lock back to finish.
class HandlerLock {
public:
    explicit HandlerLock(HandlerGate& gate) : gate_(gate) {
        const uint32_t forks = forks_so_far();
        if (gate_.busy.load(std::memory_order_relaxed)) [[unlikely]] {
            wait(forks);
        }
        gate_.busy.store(true, std::memory_order_relaxed);
        gate_.forks = forks;
    }
    ~HandlerLock() {
        gate_.busy.store(false, std::memory_order_release);
        if (gate_.waiting != 0) [[unlikely]] {
            // Under the mutex: a waiter then either saw the flag clear or already waits
            // for this notification.
            std::lock_guard<std::mutex> guard(gate_.mutex);
            gate_.freed.notify_all();
        }
    }
    HandlerLock(const HandlerLock&) = delete;
    HandlerLock& operator=(const HandlerLock&) = delete;

private:
    [[gnu::noinline]] void wait(uint32_t forks) {
        if (gate_.forks != forks) {
            // Held at a fork by a thread this child does not have (one that had let the
            // interpreter lock go inside its event): it never lets go here, and the mutex
            // may be held by a thread gone likewise. Waiters there were are gone too.
            gate_.waiting = 0;
            new (&gate_.mutex) std::mutex();
            new (&gate_.freed) std::condition_variable();
            return;
        }
        ++gate_.waiting;
        // Another waiter woken first may have taken it again before this thread had the
        // interpreter lock back.
        while (gate_.busy.load(std::memory_order_acquire)) {
            Py_BEGIN_ALLOW_THREADS {
                std::unique_lock<std::mutex> lock(gate_.mutex);
                gate_.freed.wait(lock, [&] { return !gate_.busy.load(std::memory_order_acquire); });
            }
            Py_END_ALLOW_THREADS
        }
        --gate_.waiting;
    }

    HandlerGate& gate_;
};

// Locals to encode: the frame's mapping, without the module's "__builtins__" (never
// changing the frame's own dict), and as a dict even where f_locals is another mapping.
Ref locals_for_record(PyFrameObject* frame) {
    Ref locals = Ref::steal(frame_locals(frame));
    if (!locals) {
        return {};
    }
    if (!PyDict_Check(locals.get())) {
        Ref copy = Ref::steal(PyDict_New());
        if (!copy || PyDict_Merge(copy.get(), locals.get(), 1) < 0) {
            return {};
        }
        if (PyDict_DelItem(copy.get(), names().dunder_builtins) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
                return {};
            }
            PyErr_Clear();
        }
        return copy;
    }
    PyObject* builtins = PyDict_GetItemWithError(locals.get(), names().dunder_builtins);
    if (builtins == nullptr) {
        return PyErr_Occurred() ? Ref() : locals;
    }
    Ref copy = Ref::steal(PyDict_Copy(locals.get()));
    if (!copy || PyDict_DelItem(copy.get(), names().dunder_builtins) < 0) {
        return {};
    }
    return copy;
}

// Empties the thread's reused variables when the event is done with them, on every path.
struct ReleaseLocals {
    DirectLocals& locals;
    ~ReleaseLocals() { locals.clear(); }
};

// The code's file name as records show it: a part of the name, kept on the code's entry
// while the working directory stays the same.
std::string_view shown_path(CodeInfo& code) {
    uint64_t epoch = 0;
    bool watched = working_directory_epoch(epoch);
    if (watched && code.shown_epoch == epoch + 1) {
        return std::string_view(code.filename).substr(code.shown_offset, code.shown_size);
    }
    std::string_view shown = shown_filename(code.filename);
    // Always a part of the name (possibly empty, possibly without data()).
    code.shown_offset = shown.empty() ? code.filename.size() : static_cast<size_t>(shown.data() - code.filename.data());
    code.shown_size = shown.size();
    code.shown_epoch = watched ? epoch + 1 : 0;
    return shown;
}

// The code's "co_name" and "qualname" entries, encoded again when its qualified name changed.
bool names_entries(PyFrameObject* frame, CodeInfo& code, std::string_view& out) {
    std::optional<std::string_view> qualname;
    if (!get_qualname_cached(frame, code.qualname, qualname)) {
        return false;
    }
    if (code.names_version != code.qualname.version || code.names_bytes.empty()) {
        code.names_bytes = encode_names_entries(code.name, qualname);
        code.names_version = code.qualname.version;
    }
    out = code.names_bytes;
    return true;
}

// A frame event's facts, with what keeps them valid and what the commit step needs.
struct GatheredEvent {
    EventFacts facts;
    Ref locals;                    // the dict facts.locals points to, when one was made
    size_t activation = SIZE_MAX;  // a return's entry on the call stack (searched once)
    bool suspending = false;       // the code is a generator's or coroutine's
    bool stale_suspension = false;  // a first activation in the memory of a frame left suspended
};

// A return's end (raised; for a generator's or coroutine's frame, yielded or awaited), and
// for a call resuming one, the activation that started it.
bool how_it_ended(const HookEvent& ev, const CodeInfo& code, const ThreadState& ts, GatheredEvent& out) {
    PyFrameObject* frame = ev.frame;
    EventFacts& facts = out.facts;
    out.suspending = code.suspends != Suspends::Never;
    if (facts.event == Event::Call) {
        if (out.suspending) {
            if (auto it = ts.suspended.find(reinterpret_cast<uintptr_t>(frame)); it != ts.suspended.end()) {
                if (frame_past_start(frame)) {
                    facts.resumes = it->second;
                } else {
                    out.stale_suspension = true;
                }
            }
        }
        return true;
    }
    if (ev.raised()) {
        facts.end = End::Raised;
        return true;
    }
    if (!out.suspending) {
        return true;  // returned
    }
    Exit exit = Exit::Returned;
    if (ev.exit_known) {
        if (ev.suspended) {
            exit = suspension_exit(code.suspends, facts.arg);
        }
    } else if (!frame_exit(frame, code.suspends, facts.arg, exit)) {
        return false;
    }
    facts.end = exit == Exit::Yielded ? End::Yielded : exit == Exit::Awaited ? End::Awaited : End::Returned;
    return true;
}

// Generators suspended on a thread and never finished there (resumed on another, or left
// while the hook was off) would keep their entries: past this many, all are forgotten.
constexpr size_t MAX_SUSPENDED = 1 << 16;

void note_suspension(PyFrameObject* frame, const GatheredEvent& gathered, ThreadState& ts) {
    const EventFacts& facts = gathered.facts;
    if (!gathered.suspending) {
        return;
    }
    auto identity = reinterpret_cast<uintptr_t>(frame);
    if (facts.event != Event::Return) {
        if (gathered.stale_suspension) {
            ts.suspended.erase(identity);
        }
        return;
    }
    if ((facts.end == End::Yielded || facts.end == End::Awaited) && facts.frame_id) {
        if (ts.suspended.size() >= MAX_SUSPENDED) {
            ts.suspended.clear();
        }
        ts.suspended.try_emplace(identity, *facts.frame_id);  // the first activation's id stays
    } else {
        ts.suspended.erase(identity);
    }
}

// Whether the interpreter goes back to `caller` (a frame object) when `frame` returns. The
// caller then has waited at its call of `frame` since that call was recorded, so it stands
// at the same line. (Not so for a frame below on the stack that a greenlet's switch ran
// meanwhile; without the interpreter's frames at hand, never said.)
bool returns_to(PyFrameObject* frame, PyObject* caller) {
#ifdef SARV_FRAME_INTERNALS
    _PyInterpreterFrame* f = frame->f_frame;
    if (f == nullptr) {
        return false;
    }
    _PyInterpreterFrame* back = f->previous;
    while (back != nullptr && _PyFrame_IsIncomplete(back)) {
        back = back->previous;
    }
    return back != nullptr && reinterpret_cast<PyObject*>(back->frame_obj) == caller;
#else
    (void)frame, (void)caller;
    return false;
#endif
}

// Whether `frame` is the activation on top of the thread's stack of recorded calls.
bool returns_from_top(const ThreadState& ts, PyFrameObject* frame) {
    return !ts.call_frames.empty() && ts.call_frames.back().frame.get() == reinterpret_cast<PyObject*>(frame);
}

// Gather: what the record of this event says, read from the frame. Nothing is written yet.
bool gather_frame_event(SarvProfiler& profiler, const HookEvent& ev, CodeInfo& code, ThreadState& ts,
                        GatheredEvent& out, double backdate) {
    PyFrameObject* frame = ev.frame;
    const Event event = ev.event();
    EventFacts& facts = out.facts;
    facts.event = event;
    facts.arg = ev.arg;
    if (!ts.thread_info && !profiler.ensure_thread_info(ts)) {
        return false;
    }
    if (ts.thread_entries.empty()) {
        ts.thread_entries = encode_thread_entries(*ts.thread_info);
    }
    facts.thread_entries = ts.thread_entries;
    if (!frame_line(frame, facts.line)) {
        return false;
    }
    facts.shown_path = shown_path(code);
    if (!names_entries(frame, code, facts.names_entries)) {
        return false;
    }

    // The variables as they are now, before any Python code runs.
    uint64_t listed = 0;
    if (event == Event::Return) {
        out.activation = activation_index(ts.call_frames, frame);
        if (out.activation < ts.call_frames.size() && ts.call_frames[out.activation].direct_locals) {
            listed = ts.call_frames[out.activation].listed;
        }
    }
    if (read_direct_locals(frame, code, listed, ts.locals)) {
        facts.direct = &ts.locals;
    } else {
        out.locals = locals_for_record(frame);
        if (!out.locals) {
            return false;
        }
        facts.locals = out.locals.get();
    }

    // One reading of the clock for the record's timestamp and its frame id's time.
    facts.now = wall_clock();
    if (backdate > 0) {
        facts.now.seconds -= backdate;
        auto back = static_cast<uint64_t>(backdate * 1000);
        facts.now.millis = facts.now.millis > back ? facts.now.millis - back : 0;
    }
    auto identity = reinterpret_cast<uintptr_t>(frame);
    if (event == Event::Call) {
        facts.frame_id = new_frame_id_at(facts.now.millis, ts.ids);
        ts.frame_ids.insert_or_assign(identity, *facts.frame_id);
    } else if (out.activation < ts.call_frames.size()) {
        // The entry its call pushed, with the id that call also left in frame_ids (the
        // frame is held there, so no other frame has its address meanwhile).
        facts.frame_id = ts.call_frames[out.activation].frame_id;
    } else if (auto it = ts.frame_ids.find(identity); it != ts.frame_ids.end()) {
        facts.frame_id = it->second;
    }
    if (!how_it_ended(ev, code, ts, out)) {
        return false;
    }
    if (event == Event::Return && out.activation + 1 == ts.call_frames.size() && ts.call_frames.size() > 1 &&
        returns_to(frame, ts.call_frames[out.activation - 1].frame.get())) {
        facts.call_site = ts.call_frames.back().call_site;  // (what the search below would find)
        return true;
    }
    return user_code_call_site(ts.call_frames, facts.frame_id, facts.call_site);
}

// Commit: the thread's call stack takes the event in, and the record goes to the buffers,
// or to the event's batch when plugins added records to it.
void commit_frame_event(SarvProfiler& profiler, const HookEvent& ev, const GatheredEvent& gathered, ThreadState& ts,
                        std::string_view record, Maybe<PrefixedId>& named) {
    PyFrameObject* frame = ev.frame;
    const EventFacts& facts = gathered.facts;
    note_suspension(frame, gathered, ts);
    if (facts.event == Event::Return && facts.end == End::Raised && facts.frame_id) {
        if (ev.exception != nullptr) {
            named = *facts.frame_id;
        } else {
            profiler.note_raise(frame, *facts.frame_id, ts);
        }
    }
    if (facts.event == Event::Return) {
        end_activation(ts.call_frames, frame, gathered.activation);
    } else {
        bool direct = facts.direct != nullptr;
        ts.call_frames.push_back(CallFrame{Ref::borrow(reinterpret_cast<PyObject*>(frame)), *facts.frame_id, direct,
                                           direct ? facts.direct->bound : 0, facts.call_site});
    }
    // Without plugin records the record goes straight into the buffers; else it joins the
    // event's batch (an exact-size copy: buffered records carry no spare capacity).
    if (ts.batch.empty()) {
        profiler.push_record(ts.thread_info->native_id, record);
    } else {
        ts.batch.records.emplace_back(record);
        ts.batch.types.emplace_back("frame");
    }
}

// The plugin stage: each processor whose function this is adds its record to the event's
// batch. False (reported) when the event could not be handed to them.
bool plugin_stage(const HookEvent& ev, const CodeInfo& info, std::vector<PluginProcessor>& processors,
                  bool lightweight_repr, ThreadState& ts) {
    const Event event = ev.event();
    PyObject* co_filename = info.filename_obj.get();
    PyObject* co_name = info.name_obj.get();
    Ref event_obj = Ref::steal(PyUnicode_FromString(event_text(event)));
    if (!event_obj) {
        SarvProfiler::log_error(ev.frame, event, co_filename, co_name);
        return false;
    }
    PluginEvent plugin_ev{reinterpret_cast<PyObject*>(ev.frame),
                          event_text(event),
                          event_obj.get(),
                          ev.arg,
                          info.filename,
                          lightweight_repr,
                          &ts.call_frames};
    run_plugins(processors, plugin_ev, ts.batch,
                [&] { SarvProfiler::log_error(ev.frame, event, co_filename, co_name); });
    return true;
}

}  // namespace

void SarvProfiler::refresh_code_info(CodeInfo& info) {
    info.decision = static_decision(config.include_frames, config.ignore_frames, info.filename);
    info.plugins = nullptr;
    if (!plugins.empty()) {
        if (auto it = plugins.find(info.name); it != plugins.end()) {
            // Only keep the list when some processor's path test can pass for this file.
            bool any = std::any_of(it->second.begin(), it->second.end(),
                                   [&](const PluginProcessor& p) { return p.path_fragment.occurs_in(info.filename); });
            info.plugins = any ? &it->second : nullptr;
        }
    }
    info.profiler_serial = serial;
    info.left_out_by = is_quickly_excluded(&info) ? serial : 0;
}

bool SarvProfiler::leaves_out(const CodeInfo& info) const {
    if (info.profiler_serial == serial) {
        return is_quickly_excluded(&info);
    }
    StaticDecision decision = static_decision(config.include_frames, config.ignore_frames, info.filename);
    if (decision.included || !(decision.excluded || decision.attrs_generated)) {
        return false;
    }
    if (auto it = plugins.find(info.name); it != plugins.end()) {
        return std::none_of(it->second.begin(), it->second.end(),
                            [&](const PluginProcessor& p) { return p.path_fragment.occurs_in(info.filename); });
    }
    return true;
}

void SarvProfiler::profile(const HookEvent& ev) {
    PyFrameObject* frame = ev.frame;
    const Event event = ev.event();
    const bool raised = ev.raised();
    detail::ThreadWords& w = ev.words != nullptr ? *ev.words : detail::kept_address(detail::words);
    auto this_thread = [&]() -> ThreadState& { return w.state_serial == serial ? *w.state : new_thread_state(w); };
    if (w.raises_pending) [[unlikely]] {
        settle_raises(raised);
    }
    // The code object itself only where a call left out may name it for the trace's note.
    Ref code;
    auto code_object = [&] {
        if (!code) {
            code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
        }
        return reinterpret_cast<PyCodeObject*>(code.get());
    };
    CodeInfo& info = ev.code != nullptr ? *ev.code : code_info(code_object());
    if (info.profiler_serial != serial) {
        refresh_code_info(info);
    }
    // Copied out: Python code run below may let another profiler's thread refresh `info`.
    std::vector<PluginProcessor>* processors = info.plugins;
    const StaticDecision decision = info.decision;
    // Nothing shared is touched by an event without plugins whose frame is left out, so
    // such an event costs no lock at all.
    std::optional<bool> recorded;
    if (processors == nullptr) {
        if (w.skipping != nullptr) {
            ThreadState& running = this_thread();
            bool resuming = event == Event::Call && info.suspends != Suspends::Never && frame_past_start(frame);
            LeftOut done =
                left_out_event(running, info, activation_of(frame), event, raised, resuming, code_object(), frame);
            if (done == LeftOut::Consumed) {
                return;
            }
            if (done == LeftOut::RaisedRoot) {
                // The call that raised is the one users look for: recorded after all.
                uint64_t now = ticks();
                uint64_t start = running.left_out.front().start;
                double duration = now > start ? static_cast<double>(now - start) * seconds_per_tick() : 0;
                running.left_out.clear();
                w.skipping = nullptr;
                HandlerLock lock(handler_gate);
                running.batch.types.clear();
                running.batch.records.clear();
                record_raised_root(ev, info, running, duration);
                return;
            }
        }
        // The return of the activation on top of the stack was recorded at its call, and
        // the frames above it, which the caller rule reads, are still those its call saw
        // (a frame's callers stay while it runs): the rule would say the same again.
        recorded = (event == Event::Return && !decision.included && !decision.excluded && !decision.attrs_generated &&
                    returns_from_top(this_thread(), frame)) ||
                   frame_is_recorded(decision, frame);
        if (!*recorded) {
            return;
        }
        if (config.call_budget != 0 || buffers.ended.load(std::memory_order_relaxed)) {
            ThreadState& ts = this_thread();
            if (event == Event::Call) {
                if (!admit_call(frame, info, code_object(), ts)) {
                    return;
                }
            } else if (buffers.ended.load(std::memory_order_relaxed)) {
                drop_return(frame, info, ts);
                return;
            }
        }
    }
    HandlerLock lock(handler_gate);
    ThreadState& ts = this_thread();
    Batch& batch = ts.batch;
    batch.types.clear();
    batch.records.clear();
    PyObject* co_filename = info.filename_obj.get();
    PyObject* co_name = info.name_obj.get();
    if (processors != nullptr && !plugin_stage(ev, info, *processors, config.lightweight_repr, ts)) {
        return;
    }
    if (!recorded) {
        recorded = frame_is_recorded(decision, frame);
    }
    Maybe<PrefixedId> named;
    if (*recorded && !process_frame(ev, info, ts, named)) {
        if (event == Event::Return) {
            end_activation(ts.call_frames, frame);  // over, even without a record
        }
        log_error(frame, event, co_filename, co_name);
        return;
    }
    if (!batch.empty() && !push_frames(event, batch)) {
        log_error(frame, event, co_filename, co_name);
    }
    if (named) {
        name_raise(*named, ev.exception, ts);  // after the event's records
    }
}

bool SarvProfiler::process_frame(const HookEvent& ev, CodeInfo& code, ThreadState& ts, Maybe<PrefixedId>& named,
                                 double backdate) {
    ReleaseLocals release{ts.locals};
    GatheredEvent gathered;
    if (!gather_frame_event(*this, ev, code, ts, gathered, backdate)) {
        return false;
    }
    Buffer& out = ts.scratch;
    out.clear();
    if (!write_frame_record(gathered.facts, config.lightweight_repr, out)) {
        return false;
    }
    gathered.locals.reset();
    commit_frame_event(*this, ev, gathered, ts, out.view(), named);
    return true;
}

namespace {

int handle_c_call(PyObject* obj) {
    SarvProfiler* profiler = exact_profiler_of(obj);
    if (profiler == nullptr) {
        return 0;
    }
    Ref keep = Ref::borrow(obj);
    FetchedError in_flight;
    guarded<Boundary::Unraisable>([&] { profiler->settle_raises(false); });
    in_flight.restore();
    return 0;
}

}  // namespace

// Kept out of line (and in its own file from the hook), so that the common case pays for
// none of its set-up.
int handle_event(PyObject* obj, const HookEvent& ev) {
    if (ev.kind == HookEvent::Kind::CCall) {
        return handle_c_call(obj);
    }
    if (obj == nullptr || ev.frame == nullptr) {
        ensure_error_set();
        return -1;
    }
    SarvProfiler* profiler = exact_profiler_of(obj);  // (inline: the usual case)
    if (profiler == nullptr && (profiler = profiler_of(obj)) == nullptr) {
        return -1;
    }
    // Our own reference: Python code run by the handler may replace this thread's hook.
    Ref keep = Ref::borrow(obj);
    HookEvent event = ev;
    Ref arg_ref = Ref::borrow(ev.arg != nullptr ? ev.arg : Py_None);
    event.arg = arg_ref.get();
    // An exception in flight (a frame unwinding) comes out of the hook unchanged; the
    // handler reports its own failures, and nothing of them leaks into the program.
    FetchedError in_flight;
    guarded<Boundary::Unraisable>([&] { profiler->profile(event); });
    in_flight.restore();
    return 0;
}

}  // namespace sarv
