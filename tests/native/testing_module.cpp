// sarv._sarv_testing: a private test-only extension, built into the core library beside
// sarv._sarv's contents, exposing internals that the two public functions cannot reach.
#include "boundary.hpp"
#include "lib/modules.hpp"
#include "lib/register.hpp"
#include "profiler/profiler.hpp"
#include "record/call_stack.hpp"
#include "record/clock.hpp"
#include "record/paths.hpp"
#include "encode/msgpack_write.hpp"
#include "record/qualname.hpp"
#include "record/serialiser.hpp"
#include "record/ulid.hpp"
#include "values/reuse.hpp"

#include <dlfcn.h>

using namespace sarv;

namespace {

PyObject* to_bytes(const Buffer& buf) {
    return PyBytes_FromStringAndSize(buf.data(), static_cast<Py_ssize_t>(buf.size()));
}

// write_str_pair(key, value_or_None) -> bytes
PyObject* t_write_str_pair(PyObject*, PyObject* args) {
    const char* key;
    PyObject* value;
    if (!PyArg_ParseTuple(args, "sO", &key, &value)) {
        return nullptr;
    }
    Buffer buf;
    std::optional<std::string_view> text;
    std::string_view view;
    if (value != Py_None) {
        if (!utf8_view(value, view)) {
            return nullptr;
        }
        text = view;
    }
    write_str_pair(buf, key, text);
    return to_bytes(buf);
}

PyObject* t_write_int_pair(PyObject*, PyObject* args) {
    const char* key;
    unsigned long long value;
    if (!PyArg_ParseTuple(args, "sK", &key, &value)) {
        return nullptr;
    }
    Buffer buf;
    write_int_pair(buf, key, value);
    return to_bytes(buf);
}

PyObject* t_write_f64_pair(PyObject*, PyObject* args) {
    const char* key;
    double value;
    if (!PyArg_ParseTuple(args, "sd", &key, &value)) {
        return nullptr;
    }
    Buffer buf;
    write_f64_pair(buf, key, value);
    return to_bytes(buf);
}

// write_raw_pair(key, bytes) -> (bytes written, length of the value afterwards)
PyObject* t_write_raw_pair(PyObject*, PyObject* args) {
    const char* key;
    const char* data;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "sy#", &key, &data, &size)) {
        return nullptr;
    }
    Buffer buf;
    std::string value(data, static_cast<size_t>(size));
    write_raw_pair(buf, key, value);
    return Py_BuildValue("(Nn)", to_bytes(buf), static_cast<Py_ssize_t>(value.size()));
}

PyObject* t_write_raw_frames(PyObject*, PyObject* list) {
    std::vector<std::string> frames;
    Ref iter = Ref::steal(PyObject_GetIter(list));
    if (!iter) {
        return nullptr;
    }
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (!PyBytes_Check(item.get())) {
            PyErr_SetString(PyExc_TypeError, "bytes expected");
            return nullptr;
        }
        frames.emplace_back(PyBytes_AS_STRING(item.get()), static_cast<size_t>(PyBytes_GET_SIZE(item.get())));
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Buffer buf;
    write_raw_frames(buf, std::move(frames));
    return to_bytes(buf);
}

// write_value(kind, value): "str", "uint", "int", "f64", "nil", "map", "array" headers
PyObject* t_write_value(PyObject*, PyObject* args) {
    const char* kind;
    PyObject* value;
    if (!PyArg_ParseTuple(args, "sO", &kind, &value)) {
        return nullptr;
    }
    Buffer buf;
    BufferSink sink{&buf};
    MsgpackWriter<BufferSink> w(sink);
    std::string_view k(kind);
    if (k == "str") {
        std::string_view text;
        if (!utf8_view(value, text)) {
            return nullptr;
        }
        w.str(text);
    } else if (k == "uint") {
        w.uint(PyLong_AsUnsignedLongLong(value));
    } else if (k == "int") {
        w.sint(PyLong_AsLongLong(value));
    } else if (k == "f64") {
        w.f64(PyFloat_AsDouble(value));
    } else if (k == "nil") {
        w.nil();
    } else if (k == "map") {
        w.map_header(PyLong_AsSize_t(value));
    } else if (k == "array") {
        w.array_header(PyLong_AsSize_t(value));
    } else {
        PyErr_SetString(PyExc_ValueError, "unknown kind");
        return nullptr;
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return to_bytes(buf);
}

// dump_msgpack(obj, lightweight) -> bytes, through the companion package
PyObject* t_dump_msgpack(PyObject*, PyObject* args) {
    PyObject* obj;
    int lightweight = 0;
    if (!PyArg_ParseTuple(args, "O|p", &obj, &lightweight)) {
        return nullptr;
    }
    Buffer buf;
    if (!dump_msgpack_into(obj, lightweight != 0, buf)) {
        return nullptr;
    }
    return to_bytes(buf);
}

PyObject* t_format_ulid(PyObject*, PyObject* args) {
    unsigned long long millis, low;
    unsigned int high;
    if (!PyArg_ParseTuple(args, "KIK", &millis, &high, &low)) {
        return nullptr;
    }
    char out[26];
    format_ulid(millis, static_cast<uint16_t>(high), low, out);
    return PyUnicode_FromStringAndSize(out, 26);
}

PyObject* t_new_frame_id(PyObject*, PyObject*) {
    PrefixedId id = new_frame_id();
    return PyUnicode_FromStringAndSize(id.text.data(), 30);
}

PyObject* t_relative_to(PyObject*, PyObject* args) {
    const char* filename;
    const char* cwd;
    if (!PyArg_ParseTuple(args, "ss", &filename, &cwd)) {
        return nullptr;
    }
    std::string_view shown = relative_to(filename, cwd);
    return PyUnicode_FromStringAndSize(shown.data(), static_cast<Py_ssize_t>(shown.size()));
}

PyObject* t_timestamp(PyObject*, PyObject*) { return PyFloat_FromDouble(timestamp()); }

// set_direct_locals(enabled) -> bool: for profilers registered through this module, read
// variables straight from frames (the default) or always through PyFrame_GetLocals.
// Returns whether this build can read them straight at all.
PyObject* t_set_direct_locals(PyObject*, PyObject* arg) {
    int enabled = PyObject_IsTrue(arg);
    if (enabled < 0) {
        return nullptr;
    }
    set_direct_locals_enabled(enabled != 0);
    return PyBool_FromLong(direct_locals_supported());
}

// get_qualname(frame, use_co_qualname=True) -> str | None
PyObject* t_get_qualname(PyObject*, PyObject* args) {
    PyObject* frame;
    int use_co_qualname = 1;
    if (!PyArg_ParseTuple(args, "O!|p", &PyFrame_Type, &frame, &use_co_qualname)) {
        return nullptr;
    }
    std::optional<std::string> name;
    if (!get_qualname(reinterpret_cast<PyFrameObject*>(frame), name, use_co_qualname != 0)) {
        return nullptr;
    }
    if (!name) {
        Py_RETURN_NONE;
    }
    return PyUnicode_FromStringAndSize(name->data(), static_cast<Py_ssize_t>(name->size()));
}

// user_code_call_site([(frame, id), ...], id_or_None) -> (id, line) | None
PyObject* t_user_code_call_site(PyObject*, PyObject* args) {
    PyObject* stack_list;
    PyObject* id_obj;
    if (!PyArg_ParseTuple(args, "O!O", &PyList_Type, &stack_list, &id_obj)) {
        return nullptr;
    }
    auto parse_id = [](PyObject* obj, PrefixedId& out) {
        std::string_view text;
        if (!utf8_view(obj, text) || text.size() != 30) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_ValueError, "ids are 30 characters");
            }
            return false;
        }
        std::copy(text.begin(), text.end(), out.text.begin());
        return true;
    };
    CallStack stack;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stack_list); ++i) {
        PyObject* pair = PyList_GET_ITEM(stack_list, i);
        PyObject* frame;
        PyObject* id;
        if (!PyArg_ParseTuple(pair, "OO", &frame, &id)) {
            return nullptr;
        }
        CallFrame entry{Ref::borrow(frame), {}};
        if (!parse_id(id, entry.frame_id)) {
            return nullptr;
        }
        stack.push_back(std::move(entry));
    }
    std::optional<PrefixedId> frame_id;
    if (id_obj != Py_None) {
        PrefixedId id;
        if (!parse_id(id_obj, id)) {
            return nullptr;
        }
        frame_id = id;
    }
    std::optional<CallSite> site;
    if (!user_code_call_site(stack, frame_id, site)) {
        return nullptr;
    }
    if (!site) {
        Py_RETURN_NONE;
    }
    return Py_BuildValue("(s#l)", site->call_frame_id.text.data(), static_cast<Py_ssize_t>(30), site->line_number);
}

// push_frames(profiler, event, types, records): feeds a hand-made batch to the buffers.
PyObject* t_push_frames(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* obj;
        const char* event;
        PyObject* types;
        PyObject* records;
        if (!PyArg_ParseTuple(args, "OsO!O!", &obj, &event, &PyList_Type, &types, &PyList_Type, &records)) {
            return nullptr;
        }
        SarvProfiler* p = profiler_of(obj);
        if (p == nullptr) {
            return nullptr;
        }
        Batch batch;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(types); ++i) {
            std::string_view text;
            if (!utf8_view(PyList_GET_ITEM(types, i), text)) {
                return nullptr;
            }
            batch.types.emplace_back(text);
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
            PyObject* item = PyList_GET_ITEM(records, i);
            if (!PyBytes_Check(item)) {
                PyErr_SetString(PyExc_TypeError, "bytes expected");
                return nullptr;
            }
            batch.records.emplace_back(PyBytes_AS_STRING(item), static_cast<size_t>(PyBytes_GET_SIZE(item)));
        }
        if (batch.types.size() != batch.records.size()) {
            PyErr_SetString(PyExc_ValueError, "types and records must be parallel");
            return nullptr;
        }
        Event e = std::string_view(event) == "call" ? Event::Call : Event::Return;
        if (!p->push_frames(e, batch)) {
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

// buffer_state(profiler) -> (trace_id, [frames_of_interest], {thread: [records]})
PyObject* t_buffer_state(PyObject*, PyObject* obj) {
    SarvProfiler* p = profiler_of(obj);
    if (p == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> a(p->buffers.trace_id_mutex);
    std::lock_guard<std::mutex> b(p->buffers.frames_of_interest_mutex);
    std::lock_guard<std::mutex> c(p->buffers.frames_mutex);
    auto list_of = [](const RecordList& frames) -> PyObject* {
        PyObject* list = PyList_New(0);
        frames.for_each_record([&](std::string_view f) {
            PyObject* item = PyBytes_FromStringAndSize(f.data(), static_cast<Py_ssize_t>(f.size()));
            PyList_Append(list, item);
            Py_DECREF(item);
        });
        return list;
    };
    PyObject* threads = PyDict_New();
    for (const auto& [id, frames] : p->buffers.frames) {
        PyObject* key = PyLong_FromSize_t(id);
        PyObject* value = list_of(frames);
        PyDict_SetItem(threads, key, value);
        Py_DECREF(key);
        Py_DECREF(value);
    }
    return Py_BuildValue("(s#NN)", p->buffers.trace_id.data(), static_cast<Py_ssize_t>(p->buffers.trace_id.size()),
                         list_of(p->buffers.frames_of_interest), threads);
}

// library_of(builtin_function) -> str: the file of the shared object holding its C code.
PyObject* t_library_of(PyObject*, PyObject* function) {
    if (!PyCFunction_Check(function)) {
        PyErr_SetString(PyExc_TypeError, "a builtin function expected");
        return nullptr;
    }
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(PyCFunction_GET_FUNCTION(function)), &info) == 0 || info.dli_fname == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "dladdr() found no shared object");
        return nullptr;
    }
    return PyUnicode_DecodeFSDefault(info.dli_fname);
}

// set_value_reuse(on) -> bool: whether encoded values are kept and reused from now on
// (off forgets them), for recording the same program both ways.
PyObject* t_set_value_reuse(PyObject*, PyObject* on) {
    int flag = PyObject_IsTrue(on);
    if (flag < 0) {
        return nullptr;
    }
    sarv::values::reuse::set_enabled(flag != 0);
    return PyBool_FromLong(sarv::values::reuse::enabled());
}

// value_reuse_counts() -> (kept, reused): values kept for reuse and reused since start.
PyObject* t_value_reuse_counts(PyObject*, PyObject*) {
    const auto& c = sarv::values::reuse::counts;
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(c.kept), static_cast<unsigned long long>(c.reused));
}

PyMethodDef testing_methods[] = {
    {"register_profiler", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_profiler)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"register_noop_profiler", register_noop_profiler, METH_NOARGS, nullptr},
    {"write_str_pair", t_write_str_pair, METH_VARARGS, nullptr},
    {"write_int_pair", t_write_int_pair, METH_VARARGS, nullptr},
    {"write_f64_pair", t_write_f64_pair, METH_VARARGS, nullptr},
    {"write_raw_pair", t_write_raw_pair, METH_VARARGS, nullptr},
    {"write_raw_frames", t_write_raw_frames, METH_O, nullptr},
    {"write_value", t_write_value, METH_VARARGS, nullptr},
    {"dump_msgpack", t_dump_msgpack, METH_VARARGS, nullptr},
    {"format_ulid", t_format_ulid, METH_VARARGS, nullptr},
    {"new_frame_id", t_new_frame_id, METH_NOARGS, nullptr},
    {"relative_to", t_relative_to, METH_VARARGS, nullptr},
    {"timestamp", t_timestamp, METH_NOARGS, nullptr},
    {"set_direct_locals", t_set_direct_locals, METH_O, nullptr},
    {"get_qualname", t_get_qualname, METH_VARARGS, nullptr},
    {"user_code_call_site", t_user_code_call_site, METH_VARARGS, nullptr},
    {"push_frames", t_push_frames, METH_VARARGS, nullptr},
    {"buffer_state", t_buffer_state, METH_O, nullptr},
    {"library_of", t_library_of, METH_O, nullptr},
    {"set_value_reuse", t_set_value_reuse, METH_O, nullptr},
    {"value_reuse_counts", t_value_reuse_counts, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef testing_def = {
    PyModuleDef_HEAD_INIT,
    "_sarv_testing",
    "Test-only access to sarv's native internals.",
    0,
    testing_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* sarv::make_testing_module() noexcept {
    return guarded([]() -> PyObject* { return PyModule_Create(&testing_def); });
}
