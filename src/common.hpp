// Shared basics of the native core: the owning reference handle, internal faults and the
// conversions whose error texts readers of our errors rely on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sarv {

// Owns one strong reference. Nothing else in the core calls Py_DECREF.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    // Cleared before the release: the release may run Python code (a __del__, the cyclic
    // collector) that looks at the container holding this handle.
    ~Ref() { Py_XDECREF(std::exchange(p_, nullptr)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A value or none, for the per-event facts of a record: std::optional fills its whole
// payload with zeroes when made empty, which an event's three ids paid for each time.
// The payload is read only while there is one.
template <class T>
class Maybe {
public:
    Maybe() = default;
    Maybe(const T& value) : value_(value), has_(true) {}  // converts, as std::optional does
    Maybe& operator=(const T& value) {
        value_ = value;
        has_ = true;
        return *this;
    }
    void reset() { has_ = false; }
    bool has_value() const { return has_; }
    explicit operator bool() const { return has_; }
    const T& operator*() const { return value_; }
    const T* operator->() const { return &value_; }

private:
    T value_;
    bool has_ = false;
};

// A broken invariant of the interpreter or of our own installation. Converted at the
// boundary: PanicException from Python-callable entry points, unraisable inside the hook.
class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Raises the pending Python error as-is, or SystemError when the interpreter reported a
// failure without setting one.
void ensure_error_set();

// The exception type internal faults become at Python-callable entry points.
PyObject* panic_exception_type();
void raise_panic(const char* message);

// Type name as Python users see it in messages: 'int', 'list', 'MyClass'.
std::string type_name(PyObject* obj);
// "'<type>' object cannot be converted to '<target>'"
void raise_conversion_error(PyObject* obj, const char* target);
// "'<type>' object cannot be interpreted as an integer"
void raise_not_an_integer(PyObject* obj);

// UTF-8 view of a str (cached by the interpreter inside the object). Fails with the
// conversion error for anything but a str, or with UnicodeEncodeError for lone surrogates.
bool utf8_view(PyObject* obj, std::string_view& out);
// The same text copied into `out`; also false (the error left as set) when `obj` is null,
// so that the result of a failed lookup can be handed over directly.
bool utf8_copy(PyObject* obj, std::string& out);
// UTF-8 text that always succeeds for a str: undecodable parts become backslash escapes.
bool utf8_lossy(PyObject* obj, std::string& out);

// Unsigned pointer-sized conversion of an int (or an object with __index__).
bool to_usize(PyObject* obj, size_t& out);
// Python bool, or numpy's bool scalar through its truth slot.
bool is_bool_like(PyObject* obj);
bool to_bool_strict(PyObject* obj, bool& out);
// A sequence of str, but not a str itself.
bool to_str_list(PyObject* obj, std::vector<std::string>& out);

// Interned attribute names, created once per process.
struct Names {
    PyObject* f_code;
    PyObject* co_filename;
    PyObject* co_name;
    PyObject* co_qualname;
    PyObject* f_lineno;
    PyObject* f_locals;
    PyObject* f_back;
    PyObject* f_globals;
    PyObject* name;
    PyObject* native_id;
    PyObject* dunder_builtins;
    PyObject* dunder_name;
    PyObject* dunder_dict;
    PyObject* dunder_module;
    PyObject* dunder_qualname;
    PyObject* getattr_static;
    PyObject* property;
    PyObject* fget;
    PyObject* self;
    PyObject* cls;
    PyObject* dump_msgpack;
    PyObject* dump_msgpack_lightweight_repr;
    PyObject* current_thread;
    PyObject* main_thread;
    // keys of plugin records
    PyObject* key_frame_id;
    PyObject* key_timestamp;
    PyObject* key_thread;
    PyObject* key_thread_native_id;
    PyObject* key_user_code_call_site;
    PyObject* key_call_frame_id;
    PyObject* key_line_number;
    PyObject* key_type;
    PyObject* key_subtype;
    // module names
    PyObject* mod_threading;
    PyObject* mod_sys;
    PyObject* mod_logging;
    PyObject* mod_inspect;
    PyObject* mod_builtins;
    PyObject* mod_collections_abc;
    PyObject* mod_sarv_serialize;
    PyObject* mod_sarv_db;
    PyObject* mod_sarv_plugins;
    PyObject* mod_sarv_version;
    PyObject* mod_sarv_git;
};
const Names& names();

// A module from the interpreter's module cache, imported only when it is missing there.
Ref import_module(PyObject* name);
// getattr(module, attr), reading a plain module's dict directly.
Ref module_function(PyObject* module, PyObject* attr);
// getattr(import_module(module), attr)
Ref module_attr(PyObject* module, const char* attr);

}  // namespace sarv
