#include "common.hpp"

#include "compat.hpp"

#include <algorithm>
#include <climits>

namespace sarv {

void ensure_error_set() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "The exception raised when the sarv core meets a broken internal invariant.\n\n" "It derives from BaseException so that `except Exception` does not swallow it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // creating the type failed; that error stays set
    }
    PyErr_SetString(type, message);
}

std::string type_name(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
#if SARV_HAS_CO_QUALNAME
    Ref qualname = Ref::steal(PyType_GetQualName(type));
    if (qualname) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(qualname.get(), &size);
        if (text != nullptr) {
            return std::string(text, static_cast<size_t>(size));
        }
    }
    PyErr_Clear();
#endif
    const char* name = type->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot ? std::string(dot + 1) : std::string(name);
}

void raise_conversion_error(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(obj).c_str(), target);
}

void raise_not_an_integer(PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be interpreted as an integer", type_name(obj).c_str());
}

bool utf8_view(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_conversion_error(obj, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) {
        return false;
    }
    out = std::string_view(text, static_cast<size_t>(size));
    return true;
}

bool utf8_copy(PyObject* obj, std::string& out) {
    std::string_view text;
    if (obj == nullptr || !utf8_view(obj, text)) {
        return false;
    }
    out.assign(text);
    return true;
}

bool utf8_lossy(PyObject* obj, std::string& out) {
    std::string_view view;
    if (utf8_view(obj, view)) {
        out.assign(view);
        return true;
    }
    if (!PyUnicode_Check(obj) || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        return false;
    }
    PyErr_Clear();
    // A file name decoded with surrogate escapes gets its original bytes back, shown as
    // \xNN escapes; any other lone surrogate is shown as \uNNNN.
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogateescape"));
    if (bytes) {
        Ref text = Ref::steal(
            PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "backslashreplace"));
        std::string_view decoded;
        if (text && utf8_view(text.get(), decoded)) {
            out.assign(decoded);
            return true;
        }
    }
    PyErr_Clear();
    bytes = Ref::steal(PyUnicode_AsEncodedString(obj, "utf-8", "backslashreplace"));
    if (!bytes) {
        return false;
    }
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

bool to_usize(PyObject* obj, size_t& out) {
    Ref index;
    if (!PyLong_Check(obj)) {
        index = Ref::steal(PyNumber_Index(obj));
        if (!index) {
            return false;
        }
        obj = index.get();
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    if (value > SIZE_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<size_t>(value);
    return true;
}

bool is_bool_like(PyObject* obj) {
    if (PyBool_Check(obj)) {
        return true;
    }
    // numpy.bool_ (numpy.bool on numpy 2) is accepted by its full type name.
    const char* name = Py_TYPE(obj)->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

bool to_bool_strict(PyObject* obj, bool& out) {
    if (obj == Py_True || obj == Py_False) {
        out = obj == Py_True;
        return true;
    }
    if (!is_bool_like(obj)) {
        raise_conversion_error(obj, "PyBool");
        return false;
    }
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) {
        return false;
    }
    out = truth != 0;
    return true;
}

bool to_str_list(PyObject* obj, std::vector<std::string>& out) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_conversion_error(obj, "Sequence");
        return false;
    }
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    out.clear();
    out.reserve(std::min(static_cast<size_t>(hint), size_t{1024}));  // __len__ may claim anything
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) {
        return false;
    }
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        std::string_view text;
        if (!utf8_view(item.get(), text)) {
            return false;
        }
        out.emplace_back(text);
    }
    return !PyErr_Occurred();
}

const Names& names() {
    static Names n{};
    static bool ready = false;
    if (!ready) {
        // Interned strings are immortal for our purposes: the process keeps them.
        auto intern = [](const char* s) { return PyUnicode_InternFromString(s); };
        n.f_code = intern("f_code");
        n.co_filename = intern("co_filename");
        n.co_name = intern("co_name");
        n.co_qualname = intern("co_qualname");
        n.f_lineno = intern("f_lineno");
        n.f_locals = intern("f_locals");
        n.f_back = intern("f_back");
        n.f_globals = intern("f_globals");
        n.name = intern("name");
        n.native_id = intern("native_id");
        n.dunder_builtins = intern("__builtins__");
        n.dunder_name = intern("__name__");
        n.dunder_dict = intern("__dict__");
        n.dunder_module = intern("__module__");
        n.dunder_qualname = intern("__qualname__");
        n.getattr_static = intern("getattr_static");
        n.property = intern("property");
        n.fget = intern("fget");
        n.self = intern("self");
        n.cls = intern("cls");
        n.dump_msgpack = intern("dump_msgpack");
        n.dump_msgpack_lightweight_repr = intern("dump_msgpack_lightweight_repr");
        n.current_thread = intern("current_thread");
        n.main_thread = intern("main_thread");
        n.key_frame_id = intern("frame_id");
        n.key_timestamp = intern("timestamp");
        n.key_thread = intern("thread");
        n.key_thread_native_id = intern("thread_native_id");
        n.key_user_code_call_site = intern("user_code_call_site");
        n.key_call_frame_id = intern("call_frame_id");
        n.key_line_number = intern("line_number");
        n.key_type = intern("type");
        n.key_subtype = intern("subtype");
        n.mod_threading = intern("threading");
        n.mod_sys = intern("sys");
        n.mod_logging = intern("logging");
        n.mod_inspect = intern("inspect");
        n.mod_builtins = intern("builtins");
        n.mod_collections_abc = intern("collections.abc");
        n.mod_sarv_serialize = intern("sarv.serialize");
        n.mod_sarv_db = intern("sarv.db");
        n.mod_sarv_plugins = intern("sarv.plugins");
        n.mod_sarv_version = intern("sarv.version");
        n.mod_sarv_git = intern("sarv.git");
        PyObject* const* all = &n.f_code;
        for (size_t i = 0; i < sizeof(Names) / sizeof(PyObject*); ++i) {
            if (all[i] == nullptr) {
                throw InternalFault("failed to intern an attribute name");
            }
        }
        ready = true;
    }
    return n;
}

Ref import_module(PyObject* name) {
    // sys.modules first, read as a plain dict: PyImport_GetModule would also probe the
    // module spec's "_initializing" flag, which costs more than the lookup itself.
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (modules != nullptr && PyDict_CheckExact(modules)) {
        PyObject* module = PyDict_GetItemWithError(modules, name);  // borrowed
        // None in sys.modules blocks the import: let the import machinery raise for it
        // instead of handing None on as if it were the module.
        if (module != nullptr && module != Py_None) {
            return Ref::borrow(module);
        }
        if (module == nullptr && PyErr_Occurred()) {
            return {};
        }
    }
    return Ref::steal(PyImport_Import(name));
}

Ref module_function(PyObject* module, PyObject* attr) {
    // A plain module's functions live in its dict; anything else (a module subclass, a
    // module-level __getattr__, an object put in sys.modules) goes through getattr.
    if (PyModule_CheckExact(module)) {
        PyObject* dict = PyModule_GetDict(module);  // borrowed
        PyObject* value = dict ? PyDict_GetItemWithError(dict, attr) : nullptr;
        if (value != nullptr) {
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) {
            return {};
        }
    }
    return Ref::steal(PyObject_GetAttr(module, attr));
}

Ref module_attr(PyObject* module, const char* attr) {
    Ref mod = import_module(module);
    if (!mod) {
        return {};
    }
    Ref value = Ref::steal(PyObject_GetAttrString(mod.get(), attr));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // import_module's shortcut may hand over a module that another thread is still
        // importing (the first saves of a threaded server): the import machinery waits
        // for it to finish.
        PyErr_Clear();
        mod = Ref::steal(PyImport_Import(module));
        if (!mod) {
            return {};
        }
        value = Ref::steal(PyObject_GetAttrString(mod.get(), attr));
    }
    return value;
}

}  // namespace sarv
