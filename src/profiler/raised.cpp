// Which exception a recorded call raised. The profile hook is told only that a frame left
// by an exception: the interpreter holds the exception aside while the hook runs. The
// exception shows itself once something handles it (an except or finally block, a with
// statement's __exit__, the test runner): then its traceback names every frame it left.
// At the first event after that, each recorded raising call found there gets a companion
// record {"type": "exception", "frame_id", "exception": {"type", "message"}, thread,
// thread_native_id, timestamp}; "exception" is {"type", "message", "args"}: the dotted
// class name, str() of a single text or integer argument (else nil), and each argument's
// repr() (nil when the arguments are not a tuple). Read without running any of the
// program's code.
#include "profiler/profiler.hpp"
#include "encode/msgpack_write.hpp"

#include <algorithm>
#include <charconv>
#include <vector>

namespace sarv {
namespace {

constexpr size_t MAX_PENDING = 256;
constexpr size_t MAX_MESSAGE = 500;  // bytes of an exception's message kept

constexpr std::string_view COMPANION_HEAD = "\x86" "\xa4" "type" "\xa9" "exception" "\xa8" "frame_id";
constexpr std::string_view K_EXCEPTION = "\xa9" "exception";
constexpr std::string_view K_TYPE = "\xa4" "type";
constexpr std::string_view K_MESSAGE = "\xa7" "message";
constexpr std::string_view K_ARGS = "\xa4" "args";

// Cut at a character boundary.
std::string_view capped(std::string_view text) {
    if (text.size() <= MAX_MESSAGE) {
        return text;
    }
    size_t end = MAX_MESSAGE;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

// The class's dotted name: "ValueError", "app.errors.Refused". Heap types' module and
// qualified name are read from their slots, exact strings only.
bool type_name(PyTypeObject* type, std::string& out) {
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        out = type->tp_name;
        return true;
    }
    auto* heap = reinterpret_cast<PyHeapTypeObject*>(type);
    Py_ssize_t size = 0;
    const char* qualname = nullptr;
    if (heap->ht_qualname != nullptr && PyUnicode_CheckExact(heap->ht_qualname)) {
        qualname = PyUnicode_AsUTF8AndSize(heap->ht_qualname, &size);
    }
    if (qualname == nullptr) {
        PyErr_Clear();
        out = type->tp_name;
        return true;
    }
    out.clear();
    PyObject* module =
        type->tp_dict != nullptr ? PyDict_GetItemWithError(type->tp_dict, names().dunder_module) : nullptr;
    if (module != nullptr && PyUnicode_CheckExact(module)) {
        Py_ssize_t module_size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(module, &module_size);
        if (text != nullptr && std::string_view(text, module_size) != "builtins") {
            out.append(text, module_size).push_back('.');
        }
    }
    PyErr_Clear();
    out.append(qualname, size);
    return true;
}

// The message as str() shows it for the common cases, from the arguments themselves: a
// single text, or a single integer (an exit status). Nothing for anything else.
bool message_of(PyObject* exception, std::string& out) {
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exception)->args;
    if (args == nullptr || !PyTuple_CheckExact(args) || PyTuple_GET_SIZE(args) != 1) {
        return false;
    }
    PyObject* only = PyTuple_GET_ITEM(args, 0);
    if (PyUnicode_CheckExact(only)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(only, &size);
        if (text == nullptr) {
            PyErr_Clear();  // lone surrogates
            return false;
        }
        out.assign(capped(std::string_view(text, size)));
        return true;
    }
    if (PyLong_CheckExact(only)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(only, &overflow);
        if (overflow != 0 || (value == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
        out.assign(digits, end);
        return true;
    }
    return false;
}

constexpr int MAX_NESTING = 3;     // tuples and lists inside an argument shown
constexpr Py_ssize_t MAX_ITEMS = 20;
constexpr Py_ssize_t MAX_SHOWN_TEXT = 200;  // characters of a text argument shown

// repr() of a value of the interpreter's plain types (None, bool, int, float, str, bytes,
// and tuples and lists of them), whose repr runs none of the program's code. False for
// anything else, or a value too big to show.
bool plain_repr(PyObject* value, int depth, std::string& out) {
    if (value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
        PyUnicode_CheckExact(value) ||
        (PyBytes_CheckExact(value) && static_cast<size_t>(PyBytes_GET_SIZE(value)) <= MAX_MESSAGE)) {
        // A long text is shown by its beginning.
        const bool cut = PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) > MAX_SHOWN_TEXT;
        Ref head = cut ? Ref::steal(PyUnicode_Substring(value, 0, MAX_SHOWN_TEXT)) : Ref::borrow(value);
        Ref text = head ? Ref::steal(PyObject_Repr(head.get())) : Ref();
        Py_ssize_t size = 0;
        const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
        if (utf8 == nullptr) {
            PyErr_Clear();  // an int of too many digits
            return false;
        }
        out.append(utf8, size);
        if (cut) {
            out.append("\xe2\x80\xa6");  // "…"
        }
        return true;
    }
    const bool tuple = PyTuple_CheckExact(value);
    if ((!tuple && !PyList_CheckExact(value)) || depth >= MAX_NESTING) {
        return false;
    }
    Py_ssize_t size = tuple ? PyTuple_GET_SIZE(value) : PyList_GET_SIZE(value);
    if (size > MAX_ITEMS) {
        return false;
    }
    out.push_back(tuple ? '(' : '[');
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (i > 0) {
            out.append(", ");
        }
        if (!plain_repr(tuple ? PyTuple_GET_ITEM(value, i) : PyList_GET_ITEM(value, i), depth + 1, out)) {
            return false;
        }
    }
    out.append(tuple && size == 1 ? ",)" : (tuple ? ")" : "]"));
    return out.size() <= 4 * MAX_MESSAGE;
}

}  // namespace

struct RaiseDescription {
    std::string type;
    std::string message;
    bool has_message = false;
    // Each argument as repr() shows it, for the exception shown as Python shows it
    // (ValueError(42), SystemExit(0)); an argument of another type as "<its.Type object>".
    std::vector<std::string> args;
    bool has_args = false;
};

namespace {

void describe(PyObject* exception, RaiseDescription& out) {
    type_name(Py_TYPE(exception), out.type);
    out.has_message = message_of(exception, out.message);
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exception)->args;
    out.has_args = args != nullptr && PyTuple_CheckExact(args);
    if (!out.has_args) {
        return;
    }
    Py_ssize_t count = std::min(PyTuple_GET_SIZE(args), MAX_ITEMS);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        std::string text;
        if (!plain_repr(item, 0, text)) {
            text.clear();
            std::string name;
            type_name(Py_TYPE(item), name);
            text.append("<").append(name).append(" object>");
        }
        out.args.emplace_back(capped(text));
    }
}

}  // namespace

// The companion record of a recorded call that raised.
void SarvProfiler::write_companion(const PrefixedId& frame_id, const RaiseDescription& description, ThreadState& ts) {
    Buffer out;
    BufferSink sink{&out};
    MsgpackWriter<BufferSink> w(sink);
    w.raw(COMPANION_HEAD);
    w.str(frame_id.view());
    w.raw(K_EXCEPTION);
    w.map_header(3);
    w.raw(K_TYPE);
    w.str(description.type);
    w.raw(K_MESSAGE);
    description.has_message ? w.str(description.message) : w.nil();
    w.raw(K_ARGS);
    if (description.has_args) {
        w.array_header(description.args.size());
        for (const std::string& arg : description.args) {
            w.str(arg);
        }
    } else {
        w.nil();
    }
    w.raw(ts.thread_entries);  // ends with the "timestamp" key
    w.f64(wall_clock().seconds);
    push_record(ts.thread_info->native_id, out.view());
}

void SarvProfiler::name_raise(const PrefixedId& frame_id, PyObject* exception, ThreadState& ts) {
    if (!PyExceptionInstance_Check(exception) || !thread_entries_ready(ts)) {
        return;
    }
    RaiseDescription description;
    describe(exception, description);
    write_companion(frame_id, description, ts);
}

bool SarvProfiler::thread_entries_ready(ThreadState& ts) {
    if (!ensure_thread_info(ts)) {
        PyErr_Clear();
        return false;
    }
    if (ts.thread_entries.empty()) {
        ts.thread_entries = encode_thread_entries(*ts.thread_info);
    }
    return true;
}

void SarvProfiler::note_raise(PyFrameObject* frame, const PrefixedId& frame_id, ThreadState& ts) {
    if (ts.pending_raises.size() >= MAX_PENDING) {
        return;  // an exception through hundreds of recorded frames: the outermost go without
    }
    ts.pending_raises.push_back(PendingRaise{reinterpret_cast<uintptr_t>(frame), frame_id});
    detail::set_raises_pending(true);
}

void SarvProfiler::settle_raises(bool unwinding) {
    ThreadState& ts = thread_state();
    if (ts.pending_raises.empty()) {
        detail::set_raises_pending(false);
        return;
    }
#if PY_VERSION_HEX >= 0x030B0000
    Ref handled = Ref::steal(PyErr_GetHandledException());
#else
    Ref handled;
#endif
    if (!handled || handled.get() == Py_None || !PyExceptionInstance_Check(handled.get())) {
        if (!unwinding) {
            // Handled and gone without an event in between (`except E: pass`): not known.
            ts.pending_raises.clear();
            detail::set_raises_pending(false);
        }
        return;  // still on its way out (or the handler has not run yet)
    }
    Ref traceback = Ref::steal(PyException_GetTraceback(handled.get()));
    RaiseDescription description;
    bool described = false;
    for (auto* tb = reinterpret_cast<PyTracebackObject*>(traceback.get()); tb != nullptr; tb = tb->tb_next) {
        auto frame = reinterpret_cast<uintptr_t>(tb->tb_frame);
        for (const PendingRaise& pending : ts.pending_raises) {
            if (pending.frame != frame) {
                continue;
            }
            if (!described) {
                described = true;
                describe(handled.get(), description);
                if (!thread_entries_ready(ts)) {
                    ts.pending_raises.clear();
                    detail::set_raises_pending(false);
                    return;
                }
            }
            write_companion(pending.frame_id, description, ts);
        }
        if (tb->tb_next != nullptr && !PyTraceBack_Check(reinterpret_cast<PyObject*>(tb->tb_next))) {
            break;
        }
    }
    if (!described && unwinding) {
        return;  // the exception handled here is an older one, around this unwinding
    }
    ts.pending_raises.clear();
    detail::set_raises_pending(false);
}

}  // namespace sarv
