#include "interp/code_cache.hpp"

#include "compat.hpp"

#include <memory>

namespace sarv {
namespace {

void free_code_info(void* info) { delete static_cast<CodeInfo*>(info); }

void fill(CodeInfo& info, PyCodeObject* code) {
    PyObject* filename = code->co_filename;
    PyObject* name = code->co_name;
    if (filename == nullptr || !PyUnicode_Check(filename)) {
        throw InternalFault("`co_filename` is always a string");
    }
    if (name == nullptr || !PyUnicode_Check(name)) {
        throw InternalFault("`co_name` is always a string");
    }
    info.filename_obj = Ref::borrow(filename);
    info.name_obj = Ref::borrow(name);
    if (!utf8_lossy(filename, info.filename) || !utf8_lossy(name, info.name)) {
        PyErr_Clear();
        throw InternalFault("a str always has a UTF-8 form");
    }
    info.attrs_make = attrs_make_file(info.filename);
    info.suspends = suspends_of(code);
}

}  // namespace

Py_ssize_t code_extra_index() {
    Py_ssize_t& index = detail::code_extra_slot;
    if (index == detail::NOT_ASKED) {
        index = request_code_extra_index(free_code_info);
    }
    return index;
}

CodeInfo* detail::peek_code_info_by_call(PyCodeObject* code) {
    Py_ssize_t index = code_extra_index();
    void* extra = nullptr;
    if (index < 0 || code_get_extra(reinterpret_cast<PyObject*>(code), index, &extra) != 0) {
        PyErr_Clear();
        return nullptr;
    }
    return static_cast<CodeInfo*>(extra);
}

CodeInfo& code_info(PyCodeObject* code) {
    Py_ssize_t index = code_extra_index();
    if (index >= 0) {
        if (CodeInfo* known = peek_code_info(code)) {
            return *known;
        }
        auto info = std::make_unique<CodeInfo>();
        fill(*info, code);
        if (code_set_extra(reinterpret_cast<PyObject*>(code), index, info.get()) == 0) {
            return *info.release();
        }
        PyErr_Clear();
    }
    // No extra slot to be had (the interpreter's are exhausted): compute every time.
    thread_local CodeInfo* scratch = nullptr;
    if (scratch == nullptr) {
        scratch = new CodeInfo();  // one per thread, deliberately never freed
    }
    *scratch = CodeInfo{};
    fill(*scratch, code);
    return *scratch;
}

}  // namespace sarv
