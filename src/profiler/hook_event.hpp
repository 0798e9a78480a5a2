// One event as a hook backend hands it to the handler (handle_event). Both backends build
// it: the profile hook from (frame, what, arg), sys.monitoring from its callbacks, which
// also tell a suspension from an ending and hand over the exception a frame is left by.
// What one backend knows and the other must read from the frame travels here, on the
// stack, not in per-thread words.
#pragma once

#include "common.hpp"
#include "profiler/event.hpp"

#include <cstdint>

namespace sarv {

struct CodeInfo;
namespace detail {
struct ThreadWords;
}

struct HookEvent {
    enum class Kind : uint8_t {
        Call,    // a call, or a generator's or coroutine's resumption (the frame tells which)
        Return,  // a frame left with a value: ended, or suspended (see exit_known)
        Unwind,  // a frame left by an exception
        CCall,   // a C function called: only settles the raises pending on the thread
    };
    Kind kind = Kind::Call;
    PyFrameObject* frame = nullptr;
    // None for a call, the value for a return, null for an unwinding frame (borrowed).
    PyObject* arg = nullptr;
    // The frame's code entry when the backend found it already (else it is looked up).
    CodeInfo* code = nullptr;
    // Of a Return: the backend said whether the frame ended or was suspended (`suspended`);
    // otherwise a generator's or coroutine's frame state says it.
    bool exit_known = false;
    bool suspended = false;
    // Of an Unwind: the exception, when the backend is handed it. The raising call's
    // companion record is then written at once, after the call's own record.
    PyObject* exception = nullptr;
    // The thread's words, when the backend has read them already (a thread-local read is
    // a call in a shared library).
    detail::ThreadWords* words = nullptr;

    Event event() const { return kind == Kind::Call ? Event::Call : Event::Return; }
    bool raised() const { return kind == Kind::Unwind; }
};

}  // namespace sarv
