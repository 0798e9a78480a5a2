#include "interp/frame_access.hpp"

#include "interp/code_cache.hpp"

#include "interp/frames.hpp"

namespace sarv {
namespace {

bool enabled = true;  // GIL-guarded

#ifdef SARV_FRAME_INTERNALS
constexpr int MAX_SLOTS = 64;  // the slots of one event fit in one word of bits
#endif

#ifdef SARV_LOCALS_KEPT_IN_A_DICT

// Once per code object: whether its events can be read directly, and where its body
// starts. PyFrame_GetLocals takes a cell variable's content only once its MAKE_CELL has
// run; the compiler puts every MAKE_CELL in the prologue, before the RESUME that starts
// the body, and events come from the body. Code built some other way is left to it.
int slot_of(PyObject* names, int n, PyObject* name) {
    for (int i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(names, i) == name) {
            return i;
        }
    }
    return -1;
}

// Generators and coroutines come back to their frame after suspensions (kind 2, below).
constexpr int SUSPENDING = CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR | CO_ITERABLE_COROUTINE;

void analyse(PyCodeObject* co, CodeInfo& code) {
    code.locals_access = LocalsAccess::ThroughDict;
    if ((co->co_flags & CO_OPTIMIZED) == 0) {
        return;
    }
    bool suspending = (co->co_flags & SUSPENDING) != 0;
    int n = co->co_nlocalsplus;
    if (n > MAX_SLOTS || !PyTuple_CheckExact(co->co_localsplusnames) || PyTuple_GET_SIZE(co->co_localsplusnames) != n ||
        !PyBytes_CheckExact(co->co_localspluskinds) || PyBytes_GET_SIZE(co->co_localspluskinds) != n) {
        return;
    }
    uint64_t cells = 0;
    for (int i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(co->co_localsplusnames, i);
        // Records leave "__builtins__" out of locals: such code keeps the general path.
        if (!PyUnicode_CheckExact(name) || PyUnicode_CompareWithASCIIString(name, "__builtins__") == 0) {
            return;
        }
        _PyLocals_Kind kind = _PyLocals_GetKind(co->co_localspluskinds, i);
        if ((kind & CO_FAST_CELL) != 0 && (kind & CO_FAST_FREE) == 0) {
            cells |= uint64_t{1} << i;
        }
    }
    const _Py_CODEUNIT* units = _PyCode_CODE(co);
    Py_ssize_t size = Py_SIZE(co);
    uint64_t made = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        int op = _Py_OPCODE(units[i]);
        int arg = _Py_OPARG(units[i]);
        if (op == MAKE_CELL && arg < n) {
            made |= uint64_t{1} << arg;
        } else if (op == RESUME || op == RESUME_QUICK) {
            if ((cells & ~made) == 0) {
                code.body_start = static_cast<int>(i);
                code.locals_access = suspending ? LocalsAccess::DirectKeepingOrder : LocalsAccess::Direct;
            }
            return;
        } else if (op != COPY_FREE_VARS && op != NOP && !(suspending && (op == RETURN_GENERATOR || op == POP_TOP))) {
            return;
        }
    }
}

#elif defined(SARV_FRAME_INTERNALS)

// From 3.13 on f_locals is a view made afresh at each reading: the variables bound now, in
// slot order, a cell or free variable by its content, then names set through the view
// itself (f_extra_locals). Code that is no function body, that has a variable named
// "__builtins__" (records leave it out) or more than MAX_SLOTS variables goes through it.
void analyse(PyCodeObject* co, CodeInfo& code) {
    code.locals_access = LocalsAccess::ThroughDict;
    int n = co->co_nlocalsplus;
    if ((co->co_flags & CO_OPTIMIZED) == 0 || n > MAX_SLOTS || !PyTuple_CheckExact(co->co_localsplusnames) ||
        PyTuple_GET_SIZE(co->co_localsplusnames) != n || !PyBytes_CheckExact(co->co_localspluskinds) ||
        PyBytes_GET_SIZE(co->co_localspluskinds) != n) {
        return;
    }
    for (int i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(co->co_localsplusnames, i);
        if (!PyUnicode_CheckExact(name) || PyUnicode_CompareWithASCIIString(name, "__builtins__") == 0) {
            return;
        }
    }
    code.locals_access = LocalsAccess::Direct;
}

#endif

#ifdef SARV_LOCALS_KEPT_IN_A_DICT

// The variables picked from the slots, by slot index.
struct SlotPicker {
    PyObject* names;
    PyObject* const* values;
    DirectLocals& out;

    void take(int i) {
        out.names.push_back(PyTuple_GET_ITEM(names, i));
        out.values.push_back(Ref::borrow(values[i]));
    }
    void take_all(uint64_t slots) {
        for (; slots != 0; slots &= slots - 1) {
            take(__builtin_ctzll(slots));
        }
    }
};

// A generator's or coroutine's variables in the order of the dict of names kept on its
// frame (`dict`, null when there is none yet), which is then brought up to date as
// PyFrame_GetLocals would update it: unbound names out, newly bound ones appended in slot
// order.
bool list_in_kept_order(_PyInterpreterFrame* f, CodeInfo& code, PyObject* dict, int n, uint64_t bound,
                        SlotPicker& pick) {
    DirectLocals& out = pick.out;
    PyObject* names = pick.names;
    std::vector<uint8_t>& order = code.names_dict_order;
    if (dict == nullptr) {
        order.clear();
    } else if (dict_version(dict) != code.names_dict_version || dict_version(dict) == 0) {
        order.clear();
        Py_ssize_t pos = 0;
        PyObject *key, *unused;
        while (PyDict_Next(dict, &pos, &key, &unused)) {
            int slot = slot_of(names, n, key);
            if (slot < 0) {  // a key put there by other code: PyFrame_GetLocals lists it too
                code.names_dict_version = 0;
                return false;
            }
            order.push_back(static_cast<uint8_t>(slot));
        }
    }
    uint64_t kept = 0;
    for (uint8_t slot : order) {
        uint64_t bit = uint64_t{1} << slot;
        kept |= bit;
        if ((bound & bit) != 0) {
            pick.take(slot);
        }
    }
    pick.take_all(bound & ~kept);
    out.bound = bound;
    code.names_dict_version = 0;  // set again below once the dict is as listed
    // Bring the dict up to date (no Python code runs: str keys, None values). A failure
    // half way leaves a dict PyFrame_GetLocals would finish in the same order.
    Ref made;
    if (dict == nullptr) {
        if (bound == 0) {
            order.clear();
            return true;  // nothing to keep yet
        }
        made = Ref::steal(PyDict_New());
        dict = made.get();
    }
    bool ok = dict != nullptr;
    for (uint64_t gone = kept & ~bound; ok && gone != 0; gone &= gone - 1) {
        ok = PyDict_DelItem(dict, PyTuple_GET_ITEM(names, __builtin_ctzll(gone))) == 0;
    }
    for (uint64_t added = bound & ~kept; ok && added != 0; added &= added - 1) {
        ok = PyDict_SetItem(dict, PyTuple_GET_ITEM(names, __builtin_ctzll(added)), Py_None) == 0;
    }
    if (!ok) {
        PyErr_Clear();
        out.clear();
        return false;
    }
    if (made) {
        f->f_locals = made.release();  // the frame's reference from now on, as FastToLocals makes it
    }
    if ((kept & ~bound) != 0 || (bound & ~kept) != 0) {
        order.clear();
        for (size_t i = 0; i < out.names.size(); ++i) {
            order.push_back(static_cast<uint8_t>(slot_of(names, n, out.names[i])));
        }
    }
    code.names_dict_version = dict_version(f->f_locals);
    return true;
}

bool read_slots(PyFrameObject* frame, CodeInfo& code, uint64_t listed, DirectLocals& out) {
    _PyInterpreterFrame* f = frame->f_frame;
    if (f == nullptr) {
        return false;
    }
    PyCodeObject* co = f->f_code;
    if (code.locals_access == LocalsAccess::Unknown) {
        analyse(co, code);
    }
    // A suspending frame keeps the order of its variables in its own f_locals dict, made
    // and kept by us: keys only (values None), never marked as holding the variables, so
    // the interpreter never copies it back into the frame. A dict anyone else made or
    // filled (f_fast_as_locals) goes through PyFrame_GetLocals, as does every other frame
    // that has a dict.
    bool suspending = code.locals_access == LocalsAccess::DirectKeepingOrder;
    PyObject* dict = f->f_locals;
    if (dict != nullptr && (!suspending || frame->f_fast_as_locals || !PyDict_CheckExact(dict))) {
        return false;
    }
    int n = co->co_nlocalsplus;
    if (code.locals_access == LocalsAccess::ThroughDict || _PyInterpreterFrame_LASTI(f) < code.body_start ||
        (n > 0 && f->stacktop == 0)) {
        return false;
    }
    // As PyFrame_GetLocals reads them: a cell variable or free variable by its content.
    PyObject* values[MAX_SLOTS];
    uint64_t bound = 0;
    for (int i = 0; i < n; ++i) {
        _PyLocals_Kind kind = _PyLocals_GetKind(co->co_localspluskinds, i);
        PyObject* value = f->localsplus[i];
        if ((kind & (CO_FAST_CELL | CO_FAST_FREE)) != 0 && value != nullptr) {
            if (!PyCell_Check(value)) {
                return false;
            }
            value = PyCell_GET(value);
        } else if ((kind & CO_FAST_FREE) != 0) {
            return false;
        }
        values[i] = value;
        if (value != nullptr) {
            bound |= uint64_t{1} << i;
        }
    }
    SlotPicker pick{co->co_localsplusnames, values, out};
    if (suspending) {
        return list_in_kept_order(f, code, dict, n, bound, pick);
    }
    pick.take_all(bound & listed);
    pick.take_all(bound & ~listed);
    out.bound = bound;
    return true;
}

#elif defined(SARV_FRAME_INTERNALS)

bool read_slots(PyFrameObject* frame, CodeInfo& code, DirectLocals& out) {
    _PyInterpreterFrame* f = frame->f_frame;
    if (f == nullptr || frame->f_extra_locals != nullptr) {
        return false;
    }
    PyCodeObject* co = frame_code(f);
    if (code.locals_access == LocalsAccess::Unknown) {
        analyse(co, code);
    }
    if (code.locals_access == LocalsAccess::ThroughDict) {
        return false;
    }
    int n = co->co_nlocalsplus;
    uint64_t bound = 0;
    for (int i = 0; i < n; ++i) {
        PyObject* value = frame_slot(f, i);
        if (value == nullptr) {
            continue;
        }
        _PyLocals_Kind kind = _PyLocals_GetKind(co->co_localspluskinds, i);
        if ((kind & CO_FAST_HIDDEN) != 0) {  // inside an inlined comprehension: left to the view
            out.clear();
            return false;
        }
        if ((kind == CO_FAST_FREE || (kind & CO_FAST_CELL) != 0) && PyCell_Check(value)) {
            value = PyCell_GET(value);
            if (value == nullptr) {
                continue;
            }
        }
        out.names.push_back(PyTuple_GET_ITEM(co->co_localsplusnames, i));
        out.values.push_back(Ref::borrow(value));
        bound |= uint64_t{1} << i;
    }
    out.bound = bound;
    return true;
}

#endif

}  // namespace

PyCodeObject* caller_code(PyFrameObject* frame, int up) {
#ifdef SARV_FRAME_INTERNALS
    _PyInterpreterFrame* at = frame->f_frame;
    for (int i = 0; i < up && at != nullptr; ++i) {
        at = at->previous;
        while (at != nullptr && _PyFrame_IsIncomplete(at)) {  // skipped by PyFrame_GetBack too
            at = at->previous;
        }
    }
    return at != nullptr ? frame_code(at) : nullptr;
#else
    Ref at = Ref::borrow(reinterpret_cast<PyObject*>(frame));
    for (int i = 0; i < up && at; ++i) {
        at = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(at.get()))));
    }
    if (!at) {
        return nullptr;
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(at.get()))));
    return reinterpret_cast<PyCodeObject*>(code.get());  // still held by the frame, on the stack
#endif
}

int frame_line_number(PyFrameObject* frame) {
#if defined(SARV_FRAME_INTERNALS) && !defined(SARV_LOCALS_KEPT_IN_A_DICT)
    // f_lineno is 0 unless a tracer or an assignment set it: then the line is the one of
    // the frame's instruction, a function of the code and the instruction alone.
    _PyInterpreterFrame* f = frame->f_frame;
    CodeInfo* code = f != nullptr && frame->f_lineno == 0 ? peek_code_info(frame_code(f)) : nullptr;
    if (code != nullptr) {
        int at = _PyInterpreterFrame_LASTI(f) + 1;
        for (const auto& [seen, line] : code->lines) {
            if (seen == at) {
                return line;
            }
        }
        int line = PyUnstable_InterpreterFrame_GetLine(f);
        if (line >= 0) {
            code->lines[code->lines_next++ % code->lines.size()] = {at, line};
        }
        return line;
    }
#endif
    return PyFrame_GetLineNumber(frame);
}

bool direct_locals_supported() {
#ifdef SARV_FRAME_INTERNALS
    return true;
#else
    return false;
#endif
}

void set_direct_locals_enabled(bool on) { enabled = on; }

bool read_direct_locals(PyFrameObject* frame, CodeInfo& code, uint64_t listed, DirectLocals& out) {
    out.clear();
    if (!enabled) {
        return false;
    }
#ifdef SARV_LOCALS_KEPT_IN_A_DICT
    return read_slots(frame, code, listed, out);
#elif defined(SARV_FRAME_INTERNALS)
    (void)listed;  // the view keeps no order of its own
    return read_slots(frame, code, out);
#else
    (void)frame;
    (void)code;
    (void)listed;
    return false;
#endif
}

}  // namespace sarv
