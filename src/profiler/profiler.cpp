#include "profiler/profiler.hpp"
#include "profiler/reports.hpp"
#include "boundary.hpp"

namespace sarv {
namespace {

std::atomic<uint64_t> next_profiler_serial{1};
std::atomic<uint64_t> next_thread_token{1};

// Each thread gets a token on first use; tokens are never reused, so a thread that starts
// after another ended can never find that thread's state as its own.
uint64_t this_thread_token() {
    thread_local uint64_t token = 0;
    if (token == 0) {
        token = next_thread_token.fetch_add(1, std::memory_order_relaxed);
    }
    return token;
}

}  // namespace

SarvProfiler::SarvProfiler(ProfilerConfig config_read)
    : serial(next_profiler_serial.fetch_add(1, std::memory_order_relaxed)), config(std::move(config_read)),
      buffers(config) {}

std::unique_ptr<SarvProfiler> SarvProfiler::new_from_python(PyObject* py_profiler) {
    ProfilerConfig config;
    PluginMap plugins;
    std::string trace_id;
    if (!ProfilerConfig::read(py_profiler, config, plugins, trace_id)) {
        return nullptr;
    }
    auto p = std::make_unique<SarvProfiler>(std::move(config));
    p->plugins = std::move(plugins);
    p->buffers.trace_id = std::move(trace_id);
    p->buffers.created = timestamp();
    watch_working_directory();
    return p;
}

// One cached slot per thread (detail::words): the hot path finds its state without a hash probe.
ThreadState& SarvProfiler::new_thread_state(detail::ThreadWords& w) {
    uint64_t token = this_thread_token();
    std::lock_guard<std::mutex> guard(threads_mutex);
    auto& slot = threads[token];
    if (!slot) {
        slot = std::make_unique<ThreadState>();
    }
    w.state_serial = serial;
    w.state = slot.get();
    return *slot;
}

bool SarvProfiler::ensure_thread_info(ThreadState& ts) {
    if (ts.thread_info) {
        return true;
    }
    ThreadInfo info;
    if (!current_thread(info)) {
        return false;
    }
    ts.thread_info = std::move(info);
    return true;
}

void SarvProfiler::log_error(PyFrameObject* frame, Event event, PyObject* co_filename, PyObject* co_name) {
    Ref error = FetchedError().take_exception();
    if (!error) {
        return;
    }
    // Ctrl-C that arrived while our hook ran Python code must still reach the program:
    // swallow it here and raise it again at the program's next chance.
    if (PyErr_GivenExceptionMatches(error.get(), PyExc_KeyboardInterrupt)) {
        PyErr_SetInterrupt();
        return;
    }
    static const char FORMAT[] =
        "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n    event: %s\n    frame locals: %s\n";
    // Said outside the hook (see reports.hpp), with the locals as they are now: a copy
    // (a frame's f_locals is a live view from 3.13 on).
    Ref locals = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(frame), names().f_locals));
    Ref snapshot =
        locals ? Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), locals.get())) : Ref();
    if (!snapshot) {
        PyErr_Clear();
        snapshot = Ref::borrow(Py_None);
    }
    Ref format = Ref::steal(PyUnicode_FromString(FORMAT));
    Ref args = Ref::steal(Py_BuildValue("(OOsO)", co_filename, co_name, event_text(event), snapshot.get()));
    if (!format || !args) {
        // (out of memory): never reaches the program; left on the unraisable hook.
        ensure_error_set();
        PyErr_WriteUnraisable(nullptr);
        return;
    }
    queue_warning(std::move(format), std::move(args), std::move(error));
}

int SarvProfiler::traverse(visitproc visit, void* arg) {
    for (auto& [name, processors] : plugins) {
        for (auto& p : processors) {
            Py_VISIT(p.call.get());
            Py_VISIT(p.process.get());
            Py_VISIT(p.context.get());
        }
    }
    // Never waits: the collector runs with the interpreter lock held. Leaving references
    // out only makes the collector keep objects, never free one still in use.
    std::unique_lock<std::mutex> guard(threads_mutex, std::try_to_lock);
    if (guard.owns_lock()) {
        for (auto& [token, state] : threads) {
            for (auto& entry : state->call_frames) {
                Py_VISIT(entry.frame.get());
            }
        }
    }
    return 0;
}

}  // namespace sarv
