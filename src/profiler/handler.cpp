// The event handler: runs for every Python call and return of every hooked thread.
#include "profiler/profiler.hpp"
#include "utils/code_cache.hpp"
#include "utils/qualname.hpp"
#include "utils/serialize.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <tuple>

namespace sarv {
namespace {

// Takes the handler lock without ever waiting for it while holding the interpreter lock:
// its holder may be running Python code and need the interpreter lock back to finish.
class HandlerLock {
public:
    explicit HandlerLock(std::mutex& mutex) : mutex_(mutex) {
        if (!mutex_.try_lock()) {
            Py_BEGIN_ALLOW_THREADS mutex_.lock();
            Py_END_ALLOW_THREADS
        }
    }
    ~HandlerLock() { mutex_.unlock(); }
    HandlerLock(const HandlerLock&) = delete;
    HandlerLock& operator=(const HandlerLock&) = delete;

private:
    std::mutex& mutex_;
};

// Locals to encode: the frame's mapping, without the module's "__builtins__" (never
// changing the frame's own dict), and as a dict even where f_locals is another mapping.
Ref locals_for_record(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
    Ref locals = Ref::steal(PyFrame_GetLocals(frame));  // what the f_locals attribute gives
#else
    Ref locals = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(frame), names().f_locals));
#endif
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

// Where a recorded activation of `frame` is on its thread's stack (nearly always the top);
// the stack's size when it is not there.
size_t activation_index(const CallStack& stack, PyFrameObject* frame) {
    auto* obj = reinterpret_cast<PyObject*>(frame);
    for (size_t i = stack.size(); i > 0; --i) {
        if (stack[i - 1].frame.get() == obj) {
            return i - 1;
        }
    }
    return stack.size();
}

// Empties the thread's reused variables when the event is done with them, on every path.
struct ReleaseLocals {
    DirectLocals& locals;
    ~ReleaseLocals() { locals.clear(); }
};

// Ends a recorded activation on its thread's stack: removes the frame's entry (found at
// `at` before, when the caller searched already) and whatever a failed return left above
// it. A frame that is not on the stack (its call was not recorded, or failed) leaves the
// entries of its callers in place for their own returns.
void end_activation(CallStack& stack, PyFrameObject* frame, size_t at = SIZE_MAX) {
    if (at >= stack.size() || stack[at].frame.get() != reinterpret_cast<PyObject*>(frame)) {
        at = activation_index(stack, frame);
    }
    if (at < stack.size()) {
        stack.erase(stack.begin() + static_cast<ptrdiff_t>(at), stack.end());
    }
}

// Keys are constant: each is written as its finished fixstr bytes, header included.
// (Split literals: a hex escape would swallow a following hex letter.)
constexpr std::string_view K_PATH = "\xa4" "path";
constexpr std::string_view K_CO_NAME = "\xa7" "co_name";
constexpr std::string_view K_QUALNAME = "\xa8" "qualname";
constexpr std::string_view K_EVENT = "\xa5" "event";
constexpr std::string_view K_FRAME_ID = "\xa8" "frame_id";
constexpr std::string_view K_ARG = "\xa3" "arg";
constexpr std::string_view K_LOCALS = "\xa6" "locals";
constexpr std::string_view K_THREAD = "\xa6" "thread";
constexpr std::string_view K_THREAD_NATIVE_ID = "\xb0" "thread_native_id";
constexpr std::string_view K_TIMESTAMP = "\xa9" "timestamp";
constexpr std::string_view TYPE_FRAME_THEN_CALL_SITE = "\xa4" "type" "\xa5" "frame" "\xb3" "user_code_call_site";
constexpr std::string_view K_CALL_FRAME_ID = "\xad" "call_frame_id";
constexpr std::string_view K_LINE_NUMBER = "\xab" "line_number";
// Record entries that stay the same over many records, encoded once and kept as bytes.
template <class Write>
std::string encoded(Write write) {
    Buffer out;
    BufferSink sink{&out};
    MsgpackWriter<BufferSink> w(sink);
    write(w);
    return std::string(out.view());
}

constexpr std::string_view EVENT_CALL = "\xa4" "call";
constexpr std::string_view EVENT_RETURN = "\xa6" "return";

}  // namespace

void SarvProfiler::refresh_code_info(CodeInfo& info) {
    info.decision = static_decision(include_frames, ignore_frames, info.filename);
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
}

void SarvProfiler::profile(PyFrameObject* frame, PyObject* arg, Event event, CodeInfo* known) {
    CodeInfo* found = known;
    if (found == nullptr) {
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
        found = &code_info(reinterpret_cast<PyCodeObject*>(code.get()));
    }
    CodeInfo& info = *found;
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
        recorded = frame_is_recorded(decision, frame);
        if (!*recorded) {
            return;
        }
    }
    HandlerLock lock(plugins_mutex);
    ThreadState& ts = thread_state();
    Batch& batch = ts.batch;
    batch.types.clear();
    batch.records.clear();
    PyObject* co_filename = info.filename_obj.get();
    PyObject* co_name = info.name_obj.get();
    if (processors != nullptr) {
        Ref event_obj = Ref::steal(PyUnicode_FromString(event_text(event)));
        if (!event_obj) {
            log_error(frame, event, co_filename, co_name);
            return;
        }
        PluginEvent ev{reinterpret_cast<PyObject*>(frame), event_text(event), event_obj.get(), arg,
                       info.filename, lightweight_repr, &ts.call_frames};
        run_plugins(*processors, ev, batch, [&] { log_error(frame, event, co_filename, co_name); });
    }
    if (!recorded) {
        recorded = frame_is_recorded(decision, frame);
    }
    if (*recorded && !process_frame(frame, arg, event, info, ts)) {
        if (event == Event::Return) {
            end_activation(ts.call_frames, frame);  // over, even without a record
        }
        log_error(frame, event, co_filename, co_name);
        return;
    }
    if (!push_frames(event, batch)) {
        log_error(frame, event, co_filename, co_name);
    }
}

bool SarvProfiler::process_frame(PyFrameObject* frame, PyObject* arg, Event event, CodeInfo& code, ThreadState& ts) {
    if (!ensure_thread_info(ts)) {
        return false;
    }
    int line = 0;
    if (!frame_line(frame, line)) {
        return false;
    }
    std::string_view shown;
    uint64_t epoch = 0;
    bool watched = working_directory_epoch(epoch);
    if (watched && code.shown_epoch == epoch + 1) {
        shown = std::string_view(code.filename).substr(code.shown_offset, code.shown_size);
    } else {
        shown = shown_filename(code.filename);
        // Always a part of the name (possibly empty, possibly without data()).
        code.shown_offset = shown.empty() ? code.filename.size() : static_cast<size_t>(shown.data() - code.filename.data());
        code.shown_size = shown.size();
        code.shown_epoch = watched ? epoch + 1 : 0;
    }
    std::optional<std::string_view> qualname;
    if (!get_qualname_cached(frame, code.qualname, qualname)) {
        return false;
    }
    if (code.names_version != code.qualname.version || code.names_bytes.empty()) {
        code.names_bytes = encoded([&](MsgpackWriter<BufferSink>& nw) {
            nw.raw(K_CO_NAME);
            nw.str(code.name);
            nw.raw(K_QUALNAME);
            qualname ? nw.str(*qualname) : nw.nil();
            nw.raw(K_EVENT);
        });
        code.names_version = code.qualname.version;
    }

    // The variables as they are now, before any Python code runs below.
    DirectLocals& direct = ts.locals;
    ReleaseLocals release{direct};
    uint64_t listed = 0;
    size_t activation = SIZE_MAX;
    if (event == Event::Return) {
        activation = activation_index(ts.call_frames, frame);
        if (activation < ts.call_frames.size() && ts.call_frames[activation].direct_locals) {
            listed = ts.call_frames[activation].listed;
        }
    }
    Ref locals;
    bool is_direct = read_direct_locals(frame, code, listed, direct);
    if (!is_direct) {
        locals = locals_for_record(frame);
        if (!locals) {
            return false;
        }
    }
    auto identity = reinterpret_cast<uintptr_t>(frame);
    std::optional<PrefixedId> frame_id;
    // One reading of the clock for the record's timestamp and its frame id's time.
    WallClock now = wall_clock();
    if (event == Event::Call) {
        frame_id = new_frame_id_at(now.millis, ts.ids);
        ts.frame_ids.insert_or_assign(identity, *frame_id);
    } else if (auto it = ts.frame_ids.find(identity); it != ts.frame_ids.end()) {
        frame_id = it->second;
    }
    std::optional<CallSite> site;
    if (!user_code_call_site(ts.call_frames, frame_id, site)) {
        return false;
    }

    // The entries up to "arg" are known now: written at once, in room made for all of them
    // (so nothing read from the code's cache is held while Python code runs below).
    Buffer& out = ts.scratch;
    out.clear();
    char digits[32];  // (room beyond the 11 an int needs keeps array-bound checks quiet)
    char* digits_end = std::to_chars(digits, digits + sizeof(digits), line).ptr;
    auto digits_size = static_cast<size_t>(digits_end - digits);
    size_t path_size = shown.size() + 1 + digits_size;
    std::string_view event_value = event == Event::Call ? EVENT_CALL : EVENT_RETURN;
    constexpr size_t ID_SIZE = 1 + std::tuple_size_v<decltype(PrefixedId::text)>;  // fixstr header and text
    Filler head{out.extend(1 + K_PATH.size() + Filler::str_header_size(path_size) + path_size +
                           code.names_bytes.size() + event_value.size() + K_FRAME_ID.size() +
                           (frame_id ? ID_SIZE : 1) + K_ARG.size())};
    head.byte(0x8c);  // a map of 12 entries
    head.put(K_PATH);
    head.str_header(path_size);
    head.put(shown);
    head.byte(':');
    head.put(std::string_view(digits, digits_size));
    head.put(code.names_bytes);  // ends with the "event" key
    head.put(event_value);
    head.put(K_FRAME_ID);
    if (frame_id) {
        head.str_header(frame_id->view().size());
        head.put(frame_id->view());
    } else {
        head.byte(0xc0);
    }
    head.put(K_ARG);

    // The two encoded values go straight into the record.
    ValueSerialiser serialiser(lightweight_repr);
    if (!serialiser.dump_into(arg, out)) {
        return false;
    }
    out.append(K_LOCALS);
    if (is_direct ? !serialiser.dump_entries_into(direct.names.data(), direct.values.data(), direct.names.size(), out)
                  : !serialiser.dump_into(locals.get(), out)) {
        return false;
    }
    locals.reset();

    // The call stack changes only once every value has been gathered.
    if (event == Event::Return) {
        end_activation(ts.call_frames, frame, activation);
    } else {
        ts.call_frames.push_back(
            CallFrame{Ref::borrow(reinterpret_cast<PyObject*>(frame)), *frame_id, is_direct, direct.bound});
    }

    if (ts.thread_entries.empty()) {  // the same in every record of the thread
        ts.thread_entries = encoded([&](MsgpackWriter<BufferSink>& ew) {
            ew.raw(K_THREAD);
            ew.str(ts.thread_info->name);
            ew.raw(K_THREAD_NATIVE_ID);
            ew.uint(ts.thread_info->native_id);
            ew.raw(K_TIMESTAMP);
        });
    }
    Filler tail{out.extend(ts.thread_entries.size() + 9 + TYPE_FRAME_THEN_CALL_SITE.size() +
                           (site ? 1 + K_CALL_FRAME_ID.size() + ID_SIZE + K_LINE_NUMBER.size() : 1))};
    tail.put(ts.thread_entries);  // ends with the "timestamp" key
    tail.f64(now.seconds);
    tail.put(TYPE_FRAME_THEN_CALL_SITE);
    if (site) {
        tail.byte(0x82);  // a map of 2 entries
        tail.put(K_CALL_FRAME_ID);
        tail.str_header(site->call_frame_id.view().size());
        tail.put(site->call_frame_id.view());
        tail.put(K_LINE_NUMBER);
        BufferSink sink{&out};
        MsgpackWriter<BufferSink>(sink).sint(site->line_number);
    } else {
        tail.byte(0xc0);
    }
    // Without plugin records the record goes straight into the buffers; else it joins the
    // event's batch (an exact-size copy: buffered records carry no spare capacity).
    if (ts.batch.empty()) {
        push_record(ts.thread_info->native_id, out.view());
    } else {
        ts.batch.records.emplace_back(out.view());
        ts.batch.types.emplace_back("frame");
    }
    return true;
}

// Kept out of line (and in its own file from the hook), so that the common case pays for
// none of its set-up.
int handle_event(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg, CodeInfo* info) {
    Event event = what == PyTrace_CALL ? Event::Call : Event::Return;
    if (obj == nullptr || frame == nullptr) {
        ensure_error_set();
        return -1;
    }
    SarvProfiler* profiler = profiler_of(obj);
    if (profiler == nullptr) {
        return -1;
    }
    // Our own reference: Python code run by the handler may replace this thread's hook.
    Ref keep = Ref::borrow(obj);
    Ref arg_ref = Ref::borrow(arg != nullptr ? arg : Py_None);
    // An exception in flight (a frame unwinding) must come out of the hook unchanged.
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    bool had_error = PyErr_Occurred() != nullptr;
    if (had_error) {
        PyErr_Fetch(&type, &value, &tb);
    }
    try {
        profiler->profile(frame, arg_ref.get(), event, info);
    } catch (const std::exception& fault) {
        PyErr_Format(PyExc_RuntimeError, "sarv: internal fault while profiling: %s", fault.what());
        PyErr_WriteUnraisable(nullptr);
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "sarv: unknown internal fault while profiling");
        PyErr_WriteUnraisable(nullptr);
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();  // the handler reports its own failures; nothing leaks into the program
    }
    if (had_error) {
        PyErr_Restore(type, value, tb);
    }
    return 0;
}

}  // namespace sarv
