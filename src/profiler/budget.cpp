// The call budget: a trace records each function's first `call_budget` calls in full and
// leaves the later ones out whole, with everything they call. A left-out call costs a
// count and two tick readings, so a long run or a big test suite costs about what code not
// recorded costs, while the trace still says, per function, how many calls it left out and
// how long they took. Recording that ends at a "stop" cap leaves the rest out the same way.
#include "profiler/profiler.hpp"
#include "boundary.hpp"
#include "interp/code_cache.hpp"
#include "interp/frames.hpp"
#include "record/paths.hpp"
#include "record/qualname.hpp"

#include <algorithm>
#include <chrono>

namespace sarv {

double seconds_per_tick() {
    using Clock = std::chrono::steady_clock;
    static const Clock::time_point first_time = Clock::now();
    static const uint64_t first_ticks = ticks();
    auto elapsed = std::chrono::duration<double>(Clock::now() - first_time).count();
    uint64_t counted = ticks() - first_ticks;
    // Too short to tell: a rate typical of today's processors (the durations are tiny).
    if (elapsed < 1e-3 || counted == 0) {
        return 1 / 3e9;
    }
    return elapsed / static_cast<double>(counted);
}

uint64_t new_trace_serial() {
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

namespace {
// Read once when the module loads, so the rate is measured over the whole process.
[[maybe_unused]] const double calibration_start = seconds_per_tick();

bool resumes(const CodeInfo& info, PyFrameObject* frame) {
    return info.suspends != Suspends::Never && frame_past_start(frame);
}

}  // namespace

CallCounts* SarvProfiler::counts_of(CodeInfo& info, PyCodeObject* code) {
    CallCounts& counts = info.calls;
    uint64_t current = buffers.trace_serial.load(std::memory_order_relaxed);
    if (counts.trace != current) {
        if (code == nullptr) {
            return nullptr;
        }
        counts = CallCounts{};
        counts.trace = current;
    }
    return &counts;
}

void SarvProfiler::list_left_out(PyCodeObject* code, PyFrameObject* frame, CodeInfo& info) {
    // The note names the function as its records do; the name is read now, while a frame
    // of it is at hand (a function never recorded has none yet).
    if (!info.qualname.text) {
        FetchedError pending;
        std::optional<std::string_view> unused;
        if (!get_qualname_cached(frame, info.qualname, unused)) {
            PyErr_Clear();
        }
    }
    buffers.note_left_out(code);
}

SarvProfiler::LeftOut SarvProfiler::left_out_event(ThreadState& ts, CodeInfo& info, uintptr_t activation, Event event,
                                                   bool raised, bool resuming, PyCodeObject* code,
                                                   PyFrameObject* frame) {
    if (ts.left_out.empty()) {
        return LeftOut::Outside;
    }
    if (event == Event::Call) {
        if (info.decision.excluded || info.decision.attrs_generated) {
            return LeftOut::Consumed;  // not the user's code: never counted
        }
        bool counted = !resuming;
        if (counted) {
            CallCounts* counts = counts_of(info, code);
            if (counts == nullptr || (counts->left_out == 0 && code == nullptr)) {
                return LeftOut::Slow;  // first left out in this trace: listed, which needs the code
            }
            if (counts->left_out++ == 0) {
                list_left_out(code, frame, info);
            }
        }
        enter_left_out(ts, info, activation, counted);
        return LeftOut::Consumed;
    }
    size_t at = ts.left_out.size();
    while (at > 0 && ts.left_out[at - 1].activation != activation) {
        --at;
    }
    if (at == 0) {
        if (code == nullptr) {
            return LeftOut::Slow;  // (the frame is needed to tell which)
        }
        if (frame != nullptr && activation_index(ts.call_frames, frame) < ts.call_frames.size()) {
            // A recorded call returns: the calls left out above it are over, their returns
            // unseen (a generator's suspension switched off meanwhile on another thread).
            ts.left_out.clear();
            detail::words.skipping = nullptr;
            return LeftOut::Outside;
        }
        return LeftOut::Consumed;  // a frame whose call was not seen here (library code's, say)
    }
    --at;
    if (at == 0 && raised && ts.left_out[0].counted && info.calls.trace == buffers.trace_serial.load()) {
        return LeftOut::RaisedRoot;
    }
    // Entries above it lost their returns (the hook was off meanwhile): dropped untimed.
    ts.left_out.erase(ts.left_out.begin() + static_cast<ptrdiff_t>(at) + 1, ts.left_out.end());
    leave_left_out(ts, raised);
    return LeftOut::Consumed;
}

bool SarvProfiler::admit_call(PyFrameObject* frame, CodeInfo& info, PyCodeObject* code, ThreadState& ts) {
    bool is_resumption = resumes(info, frame);
    bool over = buffers.ended.load(std::memory_order_relaxed);
    if (is_resumption) {
        // A generator resumed follows its first activation: recorded if that was.
        if (ts.suspended.count(reinterpret_cast<uintptr_t>(frame)) != 0) {
            return !over;
        }
        if (!over && (config.call_budget == 0 || counts_of(info, code)->recorded < config.call_budget)) {
            return true;  // started before the trace: seen as a new call, as always
        }
    }
    CallCounts* counts = nullptr;
    if (!is_resumption) {
        if (config.call_budget == 0 && !over) {
            return true;
        }
        counts = counts_of(info, code);
        counts->user_code = true;  // (the caller found the frame recorded by the filters)
        if (!over && counts->recorded < config.call_budget) {
            ++counts->recorded;
            return true;
        }
        if (counts->left_out++ == 0) {
            list_left_out(code, frame, info);
        }
    }
    if (over && untimed(info)) {
        // Its suspensions may no longer be seen: a running call kept for it would be left
        // standing, and take the calls that follow for its own.
        buffers.calls_after_end += !is_resumption;
        return false;
    }
    enter_left_out(ts, info, activation_of(frame), !is_resumption);
    return false;
}

bool SarvProfiler::stop_timing_past_cap(CodeInfo& info, PyCodeObject* code) {
    if (info.profiler_serial != serial || info.plugins != nullptr || info.suspends == Suspends::Never ||
        (!info.decision.included && (info.decision.excluded || info.decision.attrs_generated)) ||
        !buffers.ended.load(std::memory_order_relaxed)) {
        return false;
    }
    counts_of(info, code)->untimed = true;
    return true;
}

void SarvProfiler::drop_return(PyFrameObject* frame, const CodeInfo& info, ThreadState& ts) {
    auto identity = reinterpret_cast<uintptr_t>(frame);
    size_t at = activation_index(ts.call_frames, frame);
    if (untimed(info) && at == ts.call_frames.size() && ts.suspended.count(identity) == 0) {
        return;  // not a recorded call's: counted when it was called, with both its records
    }
    end_activation(ts.call_frames, frame, at);
    ts.frame_ids.erase(identity);
    ts.suspended.erase(identity);
    buffers.count_dropped();
}

void TraceBuffers::take_left_out(TakenFrames& taken) {
    taken.left_out_codes = std::exchange(left_out_codes, {});
    uint64_t trace = trace_serial.load(std::memory_order_relaxed);
    struct Entry {
        const CodeInfo* info;
        PyCodeObject* code;
    };
    std::vector<Entry> entries;
    for (const Ref& code : taken.left_out_codes) {
        auto* c = reinterpret_cast<PyCodeObject*>(code.get());
        const CodeInfo* info = peek_code_info(c);
        if (info != nullptr && info->calls.trace == trace && info->calls.left_out != 0) {
            entries.push_back(Entry{info, c});
        }
    }
    if (entries.empty()) {
        taken.left_out_note = std::exchange(restored_left_out, {});
        return;
    }
    restored_left_out.clear();
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.info->calls.left_out > b.info->calls.left_out; });
    const double per_tick = seconds_per_tick();
    Buffer note;
    BufferSink sink{&note};
    MsgpackWriter<BufferSink> w(sink);
    w.map_header(3);
    w.str_pair("type", "calls_left_out");
    w.int_pair("budget", config_.call_budget);
    w.str("functions");
    w.array_header(entries.size());
    for (const Entry& entry : entries) {
        const CodeInfo& info = *entry.info;
        const CallCounts& counts = info.calls;
        w.map_header(7);
        std::string path(shown_filename(info.filename));
        path += ':';
        path += std::to_string(entry.code->co_firstlineno);
        w.str_pair("path", path);
        w.str_pair("co_name", info.name);
        w.str_pair("qualname",
                   info.qualname.text ? std::optional<std::string_view>(*info.qualname.text) : std::nullopt);
        w.int_pair("calls", counts.left_out);
        w.int_pair("raised", counts.raised);
        if (counts.untimed) {
            // Not known: its resumptions were not followed (nil, as for a number unusable).
            w.str("total");
            w.nil();
            w.str("longest");
            w.nil();
        } else {
            w.f64_pair("total", static_cast<double>(counts.total_ticks) * per_tick);
            w.f64_pair("longest", static_cast<double>(counts.longest_ticks) * per_tick);
        }
    }
    taken.left_out_note.assign(note.view());
}

void SarvProfiler::record_raised_root(const HookEvent& ev, CodeInfo& info, ThreadState& ts, double duration) {
    --info.calls.left_out;  // recorded after all: not left out
    ++info.calls.recorded;
    PyFrameObject* frame = ev.frame;
    HookEvent call = ev;
    call.kind = HookEvent::Kind::Call;
    call.arg = Py_None;
    call.exception = nullptr;
    HookEvent unwind = ev;
    unwind.arg = Py_None;
    Maybe<PrefixedId> named;
    if (!process_frame(call, info, ts, named, duration) || !process_frame(unwind, info, ts, named)) {
        end_activation(ts.call_frames, frame);
        log_error(frame, Event::Return, info.filename_obj.get(), info.name_obj.get());
        return;
    }
    if (named) {
        name_raise(*named, ev.exception, ts);
    }
}

}  // namespace sarv
