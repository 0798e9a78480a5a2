// The C++-to-Python boundary. Every function the interpreter calls runs its body through
// `guarded`, so that no C++ exception ever unwinds through the interpreter; and an
// exception already in flight is kept in a `FetchedError` while our own code runs.
#pragma once

#include "common.hpp"
#include "compat.hpp"

#include <type_traits>

namespace sarv {

// Where a C++ exception caught at the boundary goes.
enum class Boundary {
    Raise,       // to the caller: MemoryError when memory ran out, else PanicException
    Unraisable,  // inside the hook, where nothing may reach the program: the unraisable hook
};

// Sets the Python error for the C++ exception being handled. Call only from a catch block.
void fault_to_python(Boundary where) noexcept;

// body() on the far side of the boundary. Its result as it is, or, when it throws, the
// value-initialised result (null, 0, false) with the fault converted as `Where` says.
template <Boundary Where = Boundary::Raise, class F>
auto guarded(F&& body) noexcept {
    using Result = std::invoke_result_t<F&>;
    try {
        return body();
    } catch (...) {
        fault_to_python(Where);
    }
    if constexpr (!std::is_void_v<Result>) {
        return Result{};
    }
}

// Owns an exception taken out of the interpreter (nothing when none was set), so that
// code of ours can run with a clear error indicator. restore() makes it the pending error
// again, replacing whatever that code left; the destructor does so if nobody did.
class FetchedError {
public:
    // (Most events of the hook have no exception in flight: one check, then nothing to do.)
    FetchedError() noexcept {
        if (PyErr_Occurred() != nullptr) {
            fetch();
        }
    }
    ~FetchedError() { restore(); }
    FetchedError(const FetchedError&) = delete;
    FetchedError& operator=(const FetchedError&) = delete;

    explicit operator bool() const noexcept;
    void restore() noexcept {
        if (pending_) {
            pending_ = false;
            put_back();
        }
    }
    // The exception as one object, normalised (which may run Python code) and with its
    // traceback attached; it is no longer held here. Null when there was none.
    Ref take_exception() noexcept;

private:
    void fetch() noexcept;
    void put_back() noexcept;  // the fetched exception, or else a clear indicator
#if SARV_RAISED_EXCEPTION
    PyObject* exception_ = nullptr;
#else
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
    bool pending_ = true;  // restore() still to be done
};

}  // namespace sarv
