// What the hook reads from a frame, straight from the interpreter's frame where it can (a
// few loads instead of API calls with their checks and references):
// - the code of a frame's callers;
// - a function frame's local variables, without making the frame's f_locals dict: the dict
//   costs a dict and a store per variable at every event, and, once made, it stays on the
//   frame and keeps old values alive until the frame ends.
#pragma once

#include "common.hpp"

#include <cstdint>
#include <vector>

namespace sarv {

struct CodeInfo;

// The code of the frame's caller (`up` 1), or of its caller (2)..., as PyFrame_GetBack
// would walk there; null when the stack ends first. Borrowed: frames on the stack hold it.
// Never makes frame objects, never fails.
PyCodeObject* caller_code(PyFrameObject* frame, int up);

// The variables of one event: names (borrowed from the code object, which the frame keeps
// alive) and values, in the order PyFrame_GetLocals would list them.
struct DirectLocals {
    uint64_t bound = 0;  // bit i: slot i of the frame holds a value
    std::vector<PyObject*> names;
    std::vector<Ref> values;

    void clear() {
        bound = 0;
        names.clear();
        values.clear();  // may run Python code (a __del__): done when nothing else is held
    }
};

// Reads the frame's variables as PyFrame_GetLocals would give them, without its dict.
// The dict PyFrame_GetLocals makes keeps its keys in order from one event to the next:
// - a function frame (no dict yet): `listed` are the slots that dict would already hold
//   (those bound at the call event of this activation, when that event read the variables
//   this way; 0 when no event read them before); they come first, the others after them
//   in slot order;
// - a generator or coroutine frame, which comes back after suspensions: the order is kept
//   in a dict of names alone that this reader makes on the frame and keeps up to date.
//
// False, with `out` empty, when the frame must go through PyFrame_GetLocals: frames whose
// dict was made or filled by anyone else, module and class bodies, code with more than 64
// variables or a prologue this reader does not know, and interpreters other than 3.11.
bool read_direct_locals(PyFrameObject* frame, CodeInfo& code, uint64_t listed, DirectLocals& out);

// PyFrame_GetLineNumber, with the line of each instruction kept on the code's entry (when
// it has one) from 3.13 on, where the interpreter finds it by reading the code's line table
// from its start at every call.
int frame_line_number(PyFrameObject* frame);
// The same as a required value: a TypeError when the interpreter has no line for the frame.
inline bool frame_line(PyFrameObject* frame, int& line) {
    line = frame_line_number(frame);
    if (line < 0) {
        // f_lineno reads as None here; a line number is required.
        PyErr_SetString(PyExc_TypeError, "'NoneType' object cannot be interpreted as an integer");
        return false;
    }
    return true;
}

// Whether this build reads variables directly at all (tests use it).
bool direct_locals_supported();
// Turns direct reading off and on (tests compare both ways); on by default.
void set_direct_locals_enabled(bool enabled);

}  // namespace sarv
