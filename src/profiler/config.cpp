// Reading the configuration from the companion package's profiler object.
#include "profiler/config.hpp"
#include "boundary.hpp"

namespace sarv {
namespace {

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
    return utf8_copy(Ref::steal(PyObject_GetAttrString(obj, attr)).get(), out);
}

}  // namespace

bool ProfilerConfig::read(PyObject* py_profiler, ProfilerConfig& out, PluginMap& plugins, std::string& trace_id) {
    Ref config = Ref::steal(PyObject_GetAttrString(py_profiler, "config"));
    if (!config) {
        return false;
    }
    if (!PyDict_Check(config.get())) {
        raise_conversion_error(config.get(), "PyDict");
        return false;
    }
    if (PyObject* filters = config_lookup(config.get(), "filters", "config.get(\"filters\" should not raise.")) {
        Ref keep = Ref::borrow(filters);
        if (!read_filter_list(keep.get(), "include_frames", out.include_frames) ||
            !read_filter_list(keep.get(), "ignore_frames", out.ignore_frames)) {
            return false;
        }
    }
    {
        Ref main_thread = module_attr(names().mod_threading, "main_thread");
        Ref thread = main_thread ? Ref::steal(PyObject_CallNoArgs(main_thread.get())) : Ref();
        Ref native_id = thread ? Ref::steal(PyObject_GetAttr(thread.get(), names().native_id)) : Ref();
        if (!native_id || !to_usize(native_id.get(), out.main_thread_id)) {
            return false;
        }
    }
    if (PyObject* timeout = config_lookup(config.get(), "sqlite_busy_timeout",
                                          "config.get(\"sqlite_busy_timeout\" should not raise.")) {
        Ref keep = Ref::borrow(timeout);
        if (!to_usize(keep.get(), out.timeout)) {
            return false;
        }
    }
    if (PyObject* cap = config_lookup(config.get(), "max_records", "config.get(\"max_records\" should not raise.")) {
        Ref keep = Ref::borrow(cap);
        if (keep.get() != Py_None && !to_usize(keep.get(), out.max_records)) {
            return false;
        }
    }
    if (PyObject* cap = config_lookup(config.get(), "max_bytes", "config.get(\"max_bytes\" should not raise.")) {
        Ref keep = Ref::borrow(cap);
        if (keep.get() != Py_None && !to_usize(keep.get(), out.max_bytes)) {
            return false;
        }
    }
    if (PyObject* mode =
            config_lookup(config.get(), "max_records_mode", "config.get(\"max_records_mode\" should not raise.")) {
        Ref keep = Ref::borrow(mode);
        std::string_view text;
        if (!utf8_view(keep.get(), text)) {
            return false;
        }
        if (text != "ring" && text != "stop") {
            PyErr_Format(PyExc_ValueError, "max_records_mode must be \"ring\" or \"stop\", not %R", keep.get());
            return false;
        }
        out.keep_latest = text == "ring";
    }
    if (PyObject* budget = config_lookup(config.get(), "call_budget", "config.get(\"call_budget\" should not raise.")) {
        Ref keep = Ref::borrow(budget);
        if (keep.get() != Py_None && !to_usize(keep.get(), out.call_budget)) {
            return false;
        }
    }
    out.threading =
        lenient_bool(config_lookup(config.get(), "threading", "config.get(\"threading\" should not raise."));
    out.lightweight_repr = lenient_bool(
        config_lookup(config.get(), "lightweight_repr", "config.get(\"lightweight_repr\" should not raise."));
    if (!load_plugins(config.get(), plugins)) {
        return false;
    }
    {
        Ref db_path = Ref::steal(PyObject_GetAttrString(py_profiler, "db_path"));
        Ref text = db_path ? Ref::steal(PyObject_Str(db_path.get())) : Ref();
        std::string_view view;
        if (!text || !utf8_view(text.get(), view)) {
            return false;
        }
        out.db_path.assign(view);
    }
    {
        Ref value = Ref::steal(PyObject_GetAttrString(py_profiler, "one_trace_per_test"));
        if (!value || !to_bool_strict(value.get(), out.one_trace_per_test)) {
            return false;
        }
    }
    if (!attr_text(py_profiler, "trace_id", trace_id) || !attr_text(py_profiler, "source", out.source)) {
        return false;
    }
    return true;
}

}  // namespace sarv
