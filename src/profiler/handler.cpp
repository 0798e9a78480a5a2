// The event handler: runs for every Python call and return of every hooked thread.
#include "profiler/profiler.hpp"
#include "utils/code_cache.hpp"
#include "utils/qualname.hpp"
#include "utils/serialize.hpp"

#include <algorithm>

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
    Ref locals = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(frame), names().f_locals));
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

// Ends a recorded activation on its thread's stack: removes the frame's entry and whatever a
// failed return left above it. A frame that is not on the stack (its call was not recorded,
// or failed) leaves the entries of its callers in place for their own returns.
void end_activation(CallStack& stack, PyFrameObject* frame) {
    auto* obj = reinterpret_cast<PyObject*>(frame);
    for (size_t i = stack.size(); i > 0; --i) {
        if (stack[i - 1].frame.get() == obj) {
            stack.erase(stack.begin() + static_cast<ptrdiff_t>(i - 1), stack.end());
            return;
        }
    }
}

// Keys are constant: their bytes are written as they stand.
constexpr std::string_view K_PATH = "path", K_CO_NAME = "co_name", K_QUALNAME = "qualname", K_EVENT = "event",
                           K_FRAME_ID = "frame_id", K_ARG = "arg", K_LOCALS = "locals", K_THREAD = "thread",
                           K_THREAD_NATIVE_ID = "thread_native_id", K_TIMESTAMP = "timestamp", K_TYPE = "type",
                           K_CALL_SITE = "user_code_call_site";

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

void SarvProfiler::profile(PyFrameObject* frame, PyObject* arg, Event event) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    CodeInfo& info = code_info(reinterpret_cast<PyCodeObject*>(code.get()));
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
    Batch batch;
    PyObject* co_filename = info.filename_obj.get();
    PyObject* co_name = info.name_obj.get();
    if (processors != nullptr) {
        Ref event_obj = Ref::steal(PyUnicode_FromString(event_text(event)));
        if (!event_obj) {
            log_error(frame, event, co_filename, co_name);
            return;
        }
        ThreadState& ts = thread_state();
        PluginEvent ev{reinterpret_cast<PyObject*>(frame), event_text(event), event_obj.get(), arg,
                       info.filename, lightweight_repr, &ts.call_frames};
        run_plugins(*processors, ev, batch, [&] { log_error(frame, event, co_filename, co_name); });
    }
    if (!recorded) {
        recorded = frame_is_recorded(decision, frame);
    }
    if (*recorded && !process_frame(frame, arg, event, info, batch)) {
        if (event == Event::Return) {
            end_activation(thread_state().call_frames, frame);  // over, even without a record
        }
        log_error(frame, event, co_filename, co_name);
        return;
    }
    if (!push_frames(event, batch)) {
        log_error(frame, event, co_filename, co_name);
    }
}

bool SarvProfiler::process_frame(PyFrameObject* frame, PyObject* arg, Event event, const CodeInfo& code,
                                 Batch& batch) {
    ThreadState& ts = thread_state();
    if (!ensure_thread_info(ts)) {
        return false;
    }
    std::string path;
    if (!filename_with_lineno(frame, code.filename, path)) {
        return false;
    }
    std::optional<std::string> qualname;
    if (!get_qualname(frame, qualname)) {
        return false;
    }
    Ref locals = locals_for_record(frame);
    if (!locals) {
        return false;
    }
    auto identity = reinterpret_cast<uintptr_t>(frame);
    std::optional<PrefixedId> frame_id;
    if (event == Event::Call) {
        frame_id = new_frame_id();
        ts.frame_ids.insert_or_assign(identity, *frame_id);
    } else if (auto it = ts.frame_ids.find(identity); it != ts.frame_ids.end()) {
        frame_id = it->second;
    }
    std::optional<CallSite> site;
    if (!user_code_call_site(ts.call_frames, frame_id, site)) {
        return false;
    }

    // Entries 1-5 are known now; the two encoded values follow straight into the buffer.
    Buffer& out = ts.scratch;
    out.clear();
    BufferSink sink{&out};
    MsgpackWriter<BufferSink> w(sink);
    w.map_header(12);
    w.str_pair(K_PATH, path);
    w.str_pair(K_CO_NAME, code.name);
    w.str_pair(K_QUALNAME, qualname ? std::optional<std::string_view>(*qualname) : std::nullopt);
    w.str_pair(K_EVENT, event_text(event));
    w.str_pair(K_FRAME_ID, frame_id ? std::optional<std::string_view>(frame_id->view()) : std::nullopt);
    w.str(K_ARG);
    if (!dump_msgpack_into(arg, lightweight_repr, out)) {
        return false;
    }
    w.str(K_LOCALS);
    if (!dump_msgpack_into(locals.get(), lightweight_repr, out)) {
        return false;
    }
    locals.reset();

    // The call stack changes only once every value has been gathered.
    if (event == Event::Return) {
        end_activation(ts.call_frames, frame);
    } else {
        ts.call_frames.push_back(CallFrame{Ref::borrow(reinterpret_cast<PyObject*>(frame)), *frame_id});
    }

    w.str_pair(K_THREAD, ts.thread_info->name);
    w.int_pair(K_THREAD_NATIVE_ID, ts.thread_info->native_id);
    w.f64_pair(K_TIMESTAMP, timestamp());
    w.str_pair(K_TYPE, "frame");
    w.str(K_CALL_SITE);
    if (site) {
        w.map_header(2);
        w.str_pair("call_frame_id", site->call_frame_id.view());
        w.str("line_number");
        w.sint(site->line_number);
    } else {
        w.nil();
    }
    // An exact-size copy: buffered records carry no spare capacity.
    batch.records.emplace_back(out.data(), out.size());
    batch.types.emplace_back("frame");
    return true;
}

int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) {
        return 0;
    }
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
        profiler->profile(frame, arg_ref.get(), event);
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
