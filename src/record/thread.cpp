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
    std::string text;
    if (!PyUnicode_Check(name.get())) {
        raise_conversion_error(name.get(), "PyString");
        return false;
    }
    if (!utf8_lossy(name.get(), text)) {
        return false;
    }
    Ref native_id = Ref::steal(PyObject_GetAttr(thread.get(), n.native_id));
    if (!native_id) {
        return false;
    }
    size_t id = 0;
    if (!PyLong_Check(native_id.get())) {
        raise_not_an_integer(native_id.get());
        return false;
    }
    if (!to_usize(native_id.get(), id)) {
        return false;
    }
    out.name = std::move(text);
    out.native_id = id;
    return true;
}

}  // namespace sarv
