#include "record/thread.hpp"

namespace sarv {

Ref current_thread_object(Ref& threading) {
    threading = import_module(names().mod_threading);
    return threading ? Ref::steal(PyObject_CallMethodNoArgs(threading.get(), names().current_thread)) : Ref();
}

bool current_thread(ThreadInfo& out) {
    const Names& n = names();
    Ref threading;
    Ref thread = current_thread_object(threading);
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
