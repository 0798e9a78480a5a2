#include "plugins/plugins.hpp"
#include "record/serialiser.hpp"
#include "record/clock.hpp"
#include "record/thread.hpp"

#include <cstring>

namespace sarv {
namespace {

// Plain dictionary lookup (bypasses a subclass's __getitem__). A str key cannot make it
// fail on an ordinary dict; only hostile keys stored in the dict can.
PyObject* plain_lookup_checked(PyObject* dict, const char* key) {
    Ref key_obj = Ref::steal(PyUnicode_InternFromString(key));
    if (!key_obj) {
        throw InternalFault("a string is always a valid dict key");
    }
    PyObject* value = PyDict_GetItemWithError(dict, key_obj.get());
    if (value == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        throw InternalFault("a string is always a valid dict key");
    }
    return value;  // borrowed
}

bool subscript_text(PyObject* desc, const char* key, std::string& out) {
    Ref name = Ref::steal(PyUnicode_FromString(key));
    return name && utf8_copy(Ref::steal(PyObject_GetItem(desc, name.get())).get(), out);
}

bool compile_processor(PyObject* desc, PyObject* context, PluginMap& map, const std::string& name) {
    std::string fragment;
    if (!subscript_text(desc, "path_fragment", fragment)) {
        return false;
    }
    std::string call_type;
    std::string return_type;
    if (!subscript_text(desc, "call_type", call_type) || !subscript_text(desc, "return_type", return_type)) {
        return false;
    }
    std::optional<std::string> subtype;
    if (PyObject* value = plain_lookup_checked(desc, "subtype")) {
        std::string_view text;
        if (!utf8_view(value, text)) {
            return false;
        }
        subtype.emplace(text);
    }
    Ref call;
    if (PyObject* value = plain_lookup_checked(desc, "call"); value != nullptr && value != Py_None) {
        call = Ref::borrow(value);
    }
    Ref process;
    if (PyObject* value = plain_lookup_checked(desc, "process"); value != nullptr && value != Py_None) {
        process = Ref::borrow(value);
    }
    std::optional<std::vector<std::string>> events;
    if (PyObject* value = plain_lookup_checked(desc, "events"); value != nullptr && value != Py_None) {
        std::vector<std::string> list;
        if (!to_str_list(value, list)) {
            return false;
        }
        events = std::move(list);
    }
    map[name].push_back(PluginProcessor{Finder(std::move(fragment)),
                                        std::move(call_type),
                                        std::move(return_type),
                                        std::move(subtype),
                                        std::move(call),
                                        std::move(process),
                                        std::move(events),
                                        Ref::borrow(context),
                                        {}});
    return true;
}

PyObject* mapping_class() {
    static PyObject* mapping = nullptr;  // kept for the life of the process
    if (mapping == nullptr) {
        Ref cls = module_attr(names().mod_collections_abc, "Mapping");
        if (!cls) {
            return nullptr;
        }
        mapping = cls.release();
    }
    return mapping;
}

// dict (or subclass) or a collections.abc.Mapping; a failing check counts as "not one".
bool is_mapping(PyObject* obj) {
    if (PyDict_Check(obj)) {
        return true;
    }
    PyObject* mapping = mapping_class();
    int result = mapping ? PyObject_IsInstance(obj, mapping) : -1;
    if (result < 0) {
        PyErr_WriteUnraisable(obj);
        return false;
    }
    return result == 1;
}

bool set_item(PyObject* dict, PyObject* key, Ref value) {
    if (!value) {
        return false;
    }
    if (PyDict_SetItem(dict, key, value.get()) < 0) {
        PyErr_Clear();
        throw InternalFault("a string is always a valid dict key");
    }
    return true;
}

Ref text(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

}  // namespace

bool load_plugins(PyObject* config, PluginMap& out) {
    Ref module = import_module(names().mod_sarv_plugins);
    if (!module) {
        PyErr_Clear();
        throw InternalFault("sarv.plugins should always be importable");
    }
    Ref load = Ref::steal(PyObject_GetAttrString(module.get(), "load_plugin_data"));
    if (!load) {
        // Another thread may still be importing the module: the import machinery waits.
        PyErr_Clear();
        module = Ref::steal(PyImport_Import(names().mod_sarv_plugins));
        load = module ? Ref::steal(PyObject_GetAttrString(module.get(), "load_plugin_data")) : Ref();
    }
    if (!load) {
        PyErr_Clear();
        throw InternalFault("load_plugin_data should exist");
    }
    Ref descriptions = Ref::steal(PyObject_CallOneArg(load.get(), config));
    if (!descriptions) {
        PyErr_Clear();
        throw InternalFault("load_plugin_data should be callable");
    }
    if (!PyList_Check(descriptions.get())) {
        throw InternalFault("load_plugin_data should return a list");
    }
    PluginMap map;
    map.reserve(static_cast<size_t>(PyList_GET_SIZE(descriptions.get())));
    // Index-based: a description's own code may change the list while we walk it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(descriptions.get()); ++i) {
        Ref desc = Ref::borrow(PyList_GET_ITEM(descriptions.get(), i));
        if (!PyDict_Check(desc.get())) {
            raise_conversion_error(desc.get(), "PyDict");
            return false;
        }
        Ref co_names = Ref::steal(PyObject_GetItem(desc.get(), Ref::steal(PyUnicode_FromString("co_names")).get()));
        if (!co_names) {
            return false;
        }
        Ref context;
        PyObject* build_context = plain_lookup_checked(desc.get(), "build_context");
        if (build_context == nullptr || build_context == Py_None) {
            context = Ref::steal(PyDict_New());
        } else {
            Ref keep = Ref::borrow(build_context);
            context = Ref::steal(PyObject_CallOneArg(keep.get(), config));
            if (context && !PyDict_Check(context.get())) {
                raise_conversion_error(context.get(), "PyDict");
                return false;
            }
        }
        if (!context) {
            return false;
        }
        Ref iter = Ref::steal(PyObject_GetIter(co_names.get()));
        if (!iter) {
            return false;
        }
        while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
            std::string_view name;
            if (!utf8_view(item.get(), name)) {
                return false;
            }
            if (!compile_processor(desc.get(), context.get(), map, std::string(name))) {
                return false;
            }
        }
        if (PyErr_Occurred()) {
            return false;
        }
    }
    out = std::move(map);
    return true;
}

namespace {

// Whether the processor takes this event: its path fragment, its `call` predicate, its
// event list. False with a Python error set when the predicate fails.
bool takes_event(const PluginProcessor& p, const PluginEvent& ev, bool& takes) {
    takes = false;
    if (!p.path_fragment.occurs_in(ev.filename)) {
        return true;
    }
    if (p.call) {
        Ref matched = Ref::steal(
            PyObject_CallFunctionObjArgs(p.call.get(), ev.frame, ev.event_obj, ev.arg, p.context.get(), nullptr));
        if (!matched) {
            return false;
        }
        bool yes = false;
        if (!to_bool_strict(matched.get(), yes)) {
            return false;
        }
        if (!yes) {
            return true;
        }
    }
    if (p.events) {
        bool listed = false;
        for (const auto& e : *p.events) {
            listed = listed || e == ev.event;
        }
        if (!listed) {
            return true;
        }
    }
    takes = true;
    return true;
}

// A call gets a new id, kept for its frame; its return finds it again (a return whose call
// this processor did not see gets a new one).
PrefixedId plugin_frame_id(PluginProcessor& p, const PluginEvent& ev, bool is_call) {
    auto identity = reinterpret_cast<uintptr_t>(ev.frame);
    if (is_call) {
        PrefixedId frame_id = new_frame_id();
        p.frame_ids.insert_or_assign(identity, frame_id);
        return frame_id;
    }
    if (auto it = p.frame_ids.find(identity); it != p.frame_ids.end()) {
        return it->second;
    }
    return new_frame_id();
}

// The interned names record_thread reads; false (no error set) if one cannot be made.
bool thread_keys(PyObject* (&keys)[3]) {
    static PyObject* made[3] = {};  // (kept for the process; the interpreter lock guards them)
    static const char* const texts[3] = {"Thread", "_name", "_native_id"};
    for (size_t i = 0; i < 3; ++i) {
        if (made[i] == nullptr && (made[i] = PyUnicode_InternFromString(texts[i])) == nullptr) {
            PyErr_Clear();
            return false;
        }
        keys[i] = made[i];
    }
    return true;
}

// Whether `thread`'s class answers name and native_id with threading.Thread's own
// properties, which return its _name and _native_id (no error set either way).
bool keeps_thread_properties(PyObject* threading, PyObject* thread, PyObject* thread_key) {
    const Names& n = names();
    Ref thread_class = Ref::steal(PyObject_GetAttr(threading, thread_key));
    for (PyObject* attr : {n.name, n.native_id}) {
        Ref own = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(thread)), attr));
        Ref threads = thread_class ? Ref::steal(PyObject_GetAttr(thread_class.get(), attr)) : Ref();
        if (!own || !threads || own.get() != threads.get() || !PyObject_TypeCheck(threads.get(), &PyProperty_Type)) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// threading.current_thread()'s name and native id, as current_thread() (record/thread.hpp)
// reads them, but with the two properties' Python code left out where the thread's class
// keeps threading's own (two calls a record, two records a test under pytest): their
// attributes are read instead.
bool record_thread(ThreadInfo& out) {
    PyObject* keys[3];
    if (!thread_keys(keys)) {
        return current_thread(out);
    }
    const Names& n = names();
    Ref threading;
    Ref thread = current_thread_object(threading);
    if (!thread) {
        return false;
    }
    bool plain = keeps_thread_properties(threading.get(), thread.get(), keys[0]);
    Ref name = plain ? Ref::steal(PyObject_GetAttr(thread.get(), keys[1])) : Ref();
    if (!name) {
        PyErr_Clear();
        name = Ref::steal(PyObject_GetAttr(thread.get(), n.name));
        if (!name) {
            return false;
        }
    }
    Ref native_id = plain ? Ref::steal(PyObject_GetAttr(thread.get(), keys[2])) : Ref();
    if (!native_id) {
        PyErr_Clear();
        native_id = Ref::steal(PyObject_GetAttr(thread.get(), n.native_id));
        if (!native_id) {
            return false;
        }
    }
    return thread_info_of(name.get(), native_id.get(), out);
}

// Asked of threading at each plugin record (unlike frame records, which keep the name the
// thread had at its first record).
bool put_thread(PyObject* data) {
    ThreadInfo thread;
    if (!record_thread(thread)) {
        return false;
    }
    return set_item(data, names().key_thread, text(thread.name)) &&
           set_item(data, names().key_thread_native_id, Ref::steal(PyLong_FromSize_t(thread.native_id)));
}

bool put_call_site(PyObject* data, const PluginEvent& ev, const PrefixedId& frame_id) {
    std::optional<CallSite> site;
    static const CallStack no_frames;
    const CallStack& stack = ev.call_frames ? *ev.call_frames : no_frames;
    // At a return the frame itself may still be on the stack, under the id of its own
    // record (not this plugin's): skipped by that id, the site is the caller's, as at the call.
    std::optional<PrefixedId> own = frame_id;
    if (!stack.empty() && stack.back().frame.get() == ev.frame) {
        own = stack.back().frame_id;
    }
    if (!user_code_call_site(stack, own, site)) {
        return false;
    }
    Ref site_obj;
    if (site) {
        site_obj = Ref::steal(PyDict_New());
        if (!site_obj || !set_item(site_obj.get(), names().key_call_frame_id, text(site->call_frame_id.view())) ||
            !set_item(site_obj.get(), names().key_line_number, Ref::steal(PyLong_FromLong(site->line_number)))) {
            return false;
        }
    } else {
        site_obj = Ref::borrow(Py_None);
    }
    return set_item(data, names().key_user_code_call_site, std::move(site_obj));
}

// The entries the processor's `process` adds (a mapping; they may replace ours).
bool merge_processed(const PluginProcessor& p, const PluginEvent& ev, PyObject* data) {
    Ref extra = Ref::steal(
        PyObject_CallFunctionObjArgs(p.process.get(), ev.frame, ev.event_obj, ev.arg, p.context.get(), nullptr));
    if (!extra) {
        return false;
    }
    if (!is_mapping(extra.get())) {
        raise_conversion_error(extra.get(), "Mapping");
        return false;
    }
    return PyDict_Update(data, extra.get()) == 0;
}

// The record of `data` under its "type" entry (which `process` may have replaced).
bool append_record(PyObject* data, bool lightweight_repr, Batch& batch) {
    PyObject* type = PyDict_GetItemWithError(data, names().key_type);
    if (type == nullptr) {
        if (PyErr_Occurred()) {
            PyErr_Clear();
            throw InternalFault("data[\"type\"] should not raise.");
        }
        throw InternalFault("data[\"type\"] should not be missing.");
    }
    std::string_view type_text;
    Ref type_keep = Ref::borrow(type);
    if (!utf8_view(type_keep.get(), type_text)) {
        return false;
    }
    Buffer record;
    if (!dump_msgpack_value_into(data, lightweight_repr, record)) {
        return false;
    }
    batch.types.emplace_back(type_text);
    batch.records.emplace_back(record.view());
    return true;
}

}  // namespace

bool run_processor(PluginProcessor& p, const PluginEvent& ev, Batch& batch) {
    bool takes = false;
    if (!takes_event(p, ev, takes)) {
        return false;
    }
    if (!takes) {
        return true;
    }
    bool is_call = std::strcmp(ev.event, "call") == 0;
    Ref data = Ref::steal(PyDict_New());
    if (!data) {
        return false;
    }
    PrefixedId frame_id = plugin_frame_id(p, ev, is_call);
    if (!set_item(data.get(), names().key_frame_id, text(frame_id.view())) ||
        !set_item(data.get(), names().key_timestamp, Ref::steal(PyFloat_FromDouble(timestamp()))) ||
        !put_thread(data.get()) || !put_call_site(data.get(), ev, frame_id) ||
        !set_item(data.get(), names().key_type, text(is_call ? p.call_type : p.return_type))) {
        return false;
    }
    if (p.subtype && !set_item(data.get(), names().key_subtype, text(*p.subtype))) {
        return false;
    }
    if (p.process && !merge_processed(p, ev, data.get())) {
        return false;
    }
    return append_record(data.get(), ev.lightweight_repr, batch);
}

}  // namespace sarv
