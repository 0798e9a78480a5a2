#include "record/qualname.hpp"

#include "compat.hpp"

namespace sarv {
namespace {

// str() of one part; an object whose str() raises becomes "<unprintable T object>".
std::string part_text(PyObject* obj) {
    std::string text;
    Ref s = Ref::steal(PyObject_Str(obj));
    if (s && utf8_lossy(s.get(), text)) {
        return text;
    }
    PyErr_WriteUnraisable(obj);
    text = "<unprintable ";
    text += type_name(obj);
    text += " object>";
    return text;
}

std::string join(PyObject* module, PyObject* qualname) {
    std::string text = part_text(module);
    text.push_back('.');
    text += part_text(qualname);
    return text;
}

// Found F: F.__module__ + "." + F.__qualname__.
bool found(PyObject* obj, std::optional<std::string>& out) {
    const Names& n = names();
    Ref module = Ref::steal(PyObject_GetAttr(obj, n.dunder_module));
    if (!module) {
        return false;
    }
    Ref qualname = Ref::steal(PyObject_GetAttr(obj, n.dunder_qualname));
    if (!qualname) {
        return false;
    }
    out = join(module.get(), qualname.get());
    return true;
}

// Item lookup with the three outcomes the probes tell apart.
enum class Lookup { Found, Missing, Failed };
Lookup get_item(PyObject* mapping, PyObject* key, Ref& out) {
    out = Ref::steal(PyObject_GetItem(mapping, key));
    if (out) {
        return Lookup::Found;
    }
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        return Lookup::Missing;
    }
    PyErr_Clear();
    return Lookup::Failed;
}

Ref global_name(PyObject* frame) {
    Ref globals = Ref::steal(PyObject_GetAttr(frame, names().f_globals));
    if (!globals) {
        return {};
    }
    return Ref::steal(PyObject_GetItem(globals.get(), names().dunder_name));
}

bool qualname_inner(PyObject* frame, PyObject* co_name, std::optional<std::string>& out) {
    const Names& n = names();
    out.reset();
    Ref back = Ref::steal(PyObject_GetAttr(frame, n.f_back));
    if (!back) {
        return false;
    }
    if (back.get() == Py_None) {
        return true;
    }
    Ref caller_locals = Ref::steal(PyObject_GetAttr(back.get(), n.f_locals));
    if (!caller_locals) {
        return false;
    }
    Ref item;
    switch (get_item(caller_locals.get(), co_name, item)) {
        case Lookup::Found: return found(item.get(), out);
        case Lookup::Failed: return true;
        case Lookup::Missing: break;
    }
    Ref locals = Ref::steal(PyObject_GetAttr(frame, n.f_locals));
    if (!locals) {
        return false;
    }
    Ref getattr_static = module_attr(n.mod_inspect, "getattr_static");
    if (!getattr_static) {
        return false;
    }
    switch (get_item(locals.get(), n.self, item)) {
        case Lookup::Found: {
            Ref attr = Ref::steal(PyObject_CallFunctionObjArgs(getattr_static.get(), item.get(), co_name, nullptr));
            if (!attr) {
                return false;
            }
            Ref property = module_attr(n.mod_builtins, "property");
            if (!property) {
                return false;
            }
            int is_property = PyObject_IsInstance(attr.get(), property.get());
            if (is_property < 0) {
                return false;
            }
            if (is_property) {
                attr = Ref::steal(PyObject_GetAttr(attr.get(), n.fget));
                if (!attr) {
                    return false;
                }
            }
            return found(attr.get(), out);
        }
        case Lookup::Failed: return true;
        case Lookup::Missing: break;
    }
    switch (get_item(locals.get(), n.cls, item)) {
        case Lookup::Found:
            if (PyType_Check(item.get())) {
                Ref attr = Ref::steal(PyObject_CallFunctionObjArgs(getattr_static.get(), item.get(), co_name, nullptr));
                if (!attr) {
                    return false;
                }
                return found(attr.get(), out);
            }
            break;
        case Lookup::Failed: return true;
        case Lookup::Missing: break;
    }
    Ref globals = Ref::steal(PyObject_GetAttr(frame, n.f_globals));
    if (!globals) {
        return false;
    }
    switch (get_item(locals.get(), n.dunder_qualname, item)) {
        case Lookup::Found: {
            Ref module = Ref::steal(PyObject_GetItem(globals.get(), n.dunder_name));
            if (!module) {
                return false;
            }
            out = join(module.get(), item.get());
            return true;
        }
        case Lookup::Failed: return true;
        case Lookup::Missing: break;
    }
    Ref function = Ref::steal(PyObject_GetItem(globals.get(), co_name));
    if (!function) {
        return false;
    }
    return found(function.get(), out);
}

}  // namespace

bool get_qualname(PyFrameObject* frame_obj, std::optional<std::string>& out, bool use_co_qualname) {
    const Names& n = names();
    auto* frame = reinterpret_cast<PyObject*>(frame_obj);
    out.reset();
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame_obj)));
#if SARV_HAS_CO_QUALNAME
    if (use_co_qualname) {
        PyObject* co_qualname = reinterpret_cast<PyCodeObject*>(code.get())->co_qualname;
        Ref module = global_name(frame);
        if (!module) {
            return false;
        }
        out = join(module.get(), co_qualname);
        return true;
    }
#else
    (void)use_co_qualname;
#endif
    Ref co_name = Ref::steal(PyObject_GetAttr(code.get(), n.co_name));
    if (!co_name) {
        return false;
    }
    std::string_view name;
    if (!utf8_view(co_name.get(), name)) {
        return false;
    }
    if (name == "<module>") {
        Ref module = global_name(frame);
        if (!module) {
            return false;
        }
        std::string text = part_text(module.get());
        text += ".<module>";
        out = std::move(text);
        return true;
    }
    return qualname_inner(frame, co_name.get(), out);
}

bool get_qualname_cached(PyFrameObject* frame, QualnameCache& cache, std::optional<std::string_view>& out) {
#if SARV_HAS_CO_QUALNAME
    // With co_qualname the text depends only on the code and the module's __name__.
    Ref globals = Ref::steal(PyFrame_GetGlobals(frame));
    Ref module;
#if SARV_DICT_VERSION_TAGS
    if (globals && PyDict_CheckExact(globals.get()) && cache.text && cache.globals == globals.get() &&
        dict_version(globals.get()) == cache.globals_version) {
        out = std::string_view(*cache.text);
        return true;
    }
    cache.globals = nullptr;
#endif
    if (globals && PyDict_CheckExact(globals.get())) {
        PyObject* name = PyDict_GetItemWithError(globals.get(), names().dunder_name);
        if (name == nullptr && !PyErr_Occurred()) {
            PyErr_SetObject(PyExc_KeyError, names().dunder_name);
        }
        module = Ref::borrow(name);
    } else if (globals) {
        module = Ref::steal(PyObject_GetItem(globals.get(), names().dunder_name));
    }
    if (!module) {
        return false;
    }
    if (module.get() != cache.module.get() || !cache.text) {
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
        cache.text = join(module.get(), reinterpret_cast<PyCodeObject*>(code.get())->co_qualname);
        ++cache.version;
        cache.module = std::move(module);
    }
#if SARV_DICT_VERSION_TAGS
    if (cache.text && PyDict_CheckExact(globals.get())) {
        cache.globals = globals.get();
        cache.globals_version = dict_version(globals.get());
    }
#endif
#else
    // Without co_qualname the name depends on the caller and the locals: no reuse.
    if (!get_qualname(frame, cache.text)) {
        return false;
    }
    ++cache.version;
#endif
    out.reset();
    if (cache.text) {
        out = std::string_view(*cache.text);
    }
    return true;
}

}  // namespace sarv
