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

// The configuration lookups bypass a dict subclass's own __getitem__.
PyObject* config_lookup(PyObject* config, const char* key, const char* fault) {
    Ref key_obj = Ref::steal(PyUnicode_FromString(key));
    PyObject* value = key_obj ? PyDict_GetItemWithError(config, key_obj.get()) : nullptr;
    if (value == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        throw InternalFault(fault);
    }
    return value;  // borrowed
}

// include_frames / ignore_frames: a failing subscription means "not configured".
bool read_filter_list(PyObject* filters, const char* key, std::vector<Finder>& out) {
    Ref key_obj = Ref::steal(PyUnicode_FromString(key));
    if (!key_obj) {
        return false;
    }
    Ref value = Ref::steal(PyObject_GetItem(filters, key_obj.get()));
    if (!value) {
        PyErr_Clear();
        return true;
    }
    std::vector<std::string> strings;
    if (!to_str_list(value.get(), strings)) {
        return false;
    }
    out = build_finders(std::move(strings));
    return true;
}

// "threading" and "lightweight_repr": anything but a bool counts as false.
bool lenient_bool(PyObject* value) {
    bool result = false;
    if (value == nullptr || !to_bool_strict(value, result)) {
        PyErr_Clear();
        return false;
    }
    return result;
}

bool attr_text(PyObject* obj, const char* attr, std::string& out) {
    Ref value = Ref::steal(PyObject_GetAttrString(obj, attr));
    if (!value) {
        return false;
    }
    std::string_view text;
    if (!utf8_view(value.get(), text)) {
        return false;
    }
    out.assign(text);
    return true;
}

}  // namespace

SarvProfiler::SarvProfiler() : serial(next_profiler_serial.fetch_add(1, std::memory_order_relaxed)) {
    trace_serial.store(new_trace_serial(), std::memory_order_relaxed);
}

std::unique_ptr<SarvProfiler> SarvProfiler::new_from_python(PyObject* py_profiler) {
    auto p = std::make_unique<SarvProfiler>();
    Ref config = Ref::steal(PyObject_GetAttrString(py_profiler, "config"));
    if (!config) {
        return nullptr;
    }
    if (!PyDict_Check(config.get())) {
        raise_conversion_error(config.get(), "PyDict");
        return nullptr;
    }
    if (PyObject* filters = config_lookup(config.get(), "filters", "config.get(\"filters\" should not raise.")) {
        Ref keep = Ref::borrow(filters);
        if (!read_filter_list(keep.get(), "include_frames", p->include_frames) ||
            !read_filter_list(keep.get(), "ignore_frames", p->ignore_frames)) {
            return nullptr;
        }
    }
    {
        Ref main_thread = module_attr(names().mod_threading, "main_thread");
        Ref thread = main_thread ? Ref::steal(PyObject_CallNoArgs(main_thread.get())) : Ref();
        Ref native_id = thread ? Ref::steal(PyObject_GetAttr(thread.get(), names().native_id)) : Ref();
        if (!native_id || !to_usize(native_id.get(), p->main_thread_id)) {
            return nullptr;
        }
    }
    if (PyObject* timeout = config_lookup(config.get(), "sqlite_busy_timeout",
                                          "config.get(\"sqlite_busy_timeout\" should not raise.")) {
        Ref keep = Ref::borrow(timeout);
        if (!to_usize(keep.get(), p->timeout)) {
            return nullptr;
        }
    }
    if (PyObject* cap = config_lookup(config.get(), "max_records", "config.get(\"max_records\" should not raise.")) {
        Ref keep = Ref::borrow(cap);
        if (keep.get() != Py_None && !to_usize(keep.get(), p->max_records)) {
            return nullptr;
        }
    }
    if (PyObject* cap = config_lookup(config.get(), "max_bytes", "config.get(\"max_bytes\" should not raise.")) {
        Ref keep = Ref::borrow(cap);
        if (keep.get() != Py_None && !to_usize(keep.get(), p->max_bytes)) {
            return nullptr;
        }
    }
    if (PyObject* mode =
            config_lookup(config.get(), "max_records_mode", "config.get(\"max_records_mode\" should not raise.")) {
        Ref keep = Ref::borrow(mode);
        std::string_view text;
        if (!utf8_view(keep.get(), text)) {
            return nullptr;
        }
        if (text != "ring" && text != "stop") {
            PyErr_Format(PyExc_ValueError, "max_records_mode must be \"ring\" or \"stop\", not %R", keep.get());
            return nullptr;
        }
        p->keep_latest = text == "ring";
    }
    if (PyObject* budget = config_lookup(config.get(), "call_budget", "config.get(\"call_budget\" should not raise.")) {
        Ref keep = Ref::borrow(budget);
        if (keep.get() != Py_None && !to_usize(keep.get(), p->call_budget)) {
            return nullptr;
        }
    }
    p->threading = lenient_bool(config_lookup(config.get(), "threading", "config.get(\"threading\" should not raise."));
    p->lightweight_repr = lenient_bool(
        config_lookup(config.get(), "lightweight_repr", "config.get(\"lightweight_repr\" should not raise."));
    if (!load_plugins(config.get(), p->plugins)) {
        return nullptr;
    }
    {
        Ref db_path = Ref::steal(PyObject_GetAttrString(py_profiler, "db_path"));
        Ref text = db_path ? Ref::steal(PyObject_Str(db_path.get())) : Ref();
        std::string_view view;
        if (!text || !utf8_view(text.get(), view)) {
            return nullptr;
        }
        p->db_path.assign(view);
    }
    {
        Ref value = Ref::steal(PyObject_GetAttrString(py_profiler, "one_trace_per_test"));
        if (!value || !to_bool_strict(value.get(), p->one_trace_per_test)) {
            return nullptr;
        }
    }
    if (!attr_text(py_profiler, "trace_id", p->trace_id) || !attr_text(py_profiler, "source", p->source)) {
        return nullptr;
    }
    p->created = timestamp();
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
