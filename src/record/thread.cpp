#include "record/thread.hpp"

namespace sarv {

bool current_thread(ThreadInfo& out) {
    const Names& n = names();
    Ref threading = import_module(n.mod_threading);
    if (!threading) {
        return false;
    }
    Ref thread = Ref::steal(PyObject_CallMethodNoArgs(threading.get(), n.current_thread));
    if (!thread) {
        return false;
    }
    Ref name = Ref::steal(PyObject_GetAttr(thread.get(), n.name));
    if (!name) {
        return false;
    }
    Ref native_id = Ref::steal(PyObject_GetAttr(thread.get(), n.native_id));
    return native_id && thread_info_of(name.get(), native_id.get(), out);
}

bool thread_info_of(PyObject* name, PyObject* native_id, ThreadInfo& out) {
    std::string text;
    if (!PyUnicode_Check(name)) {
        raise_conversion_error(name, "PyString");
        return false;
    }
    if (!utf8_lossy(name, text)) {
        return false;
    }
    size_t id = 0;
    if (!PyLong_Check(native_id)) {
        raise_not_an_integer(native_id);
        return false;
    }
    if (!to_usize(native_id, id)) {
        return false;
    }
    out.name = std::move(text);
    out.native_id = id;
    return true;
}

}  // namespace sarv
