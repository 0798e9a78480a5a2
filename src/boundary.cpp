#include "boundary.hpp"

#include <exception>
#include <new>

namespace sarv {

void fault_to_python(Boundary where) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc& fault) {
        if (where == Boundary::Raise) {
            PyErr_NoMemory();
        } else {
            PyErr_Format(PyExc_RuntimeError, "sarv: internal fault while profiling: %s", fault.what());
        }
    } catch (const std::exception& fault) {
        if (where == Boundary::Raise) {
            raise_panic(fault.what());
        } else {
            PyErr_Format(PyExc_RuntimeError, "sarv: internal fault while profiling: %s", fault.what());
        }
    } catch (...) {
        if (where == Boundary::Raise) {
            raise_panic("unknown internal fault");
        } else {
            PyErr_SetString(PyExc_RuntimeError, "sarv: unknown internal fault while profiling");
        }
    }
    if (where == Boundary::Unraisable) {
        PyErr_WriteUnraisable(nullptr);
    }
}

#if SARV_RAISED_EXCEPTION

void FetchedError::fetch() noexcept { exception_ = PyErr_GetRaisedException(); }

FetchedError::operator bool() const noexcept { return pending_ && exception_ != nullptr; }

void FetchedError::put_back() noexcept {
    if (exception_ != nullptr) {
        PyErr_SetRaisedException(std::exchange(exception_, nullptr));
    } else if (PyErr_Occurred() != nullptr) {
        PyErr_Clear();
    }
}

Ref FetchedError::take_exception() noexcept {
    pending_ = false;
    return Ref::steal(std::exchange(exception_, nullptr));
}

#else

void FetchedError::fetch() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }

FetchedError::operator bool() const noexcept { return pending_ && type_ != nullptr; }

void FetchedError::put_back() noexcept {
    if (type_ != nullptr) {
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                      std::exchange(traceback_, nullptr));
    } else if (PyErr_Occurred() != nullptr) {
        PyErr_Clear();
    }
}

Ref FetchedError::take_exception() noexcept {
    pending_ = false;
    if (type_ == nullptr) {
        return {};
    }
    PyErr_NormalizeException(&type_, &value_, &traceback_);
    Ref type = Ref::steal(std::exchange(type_, nullptr));
    Ref value = Ref::steal(std::exchange(value_, nullptr));
    Ref traceback = Ref::steal(std::exchange(traceback_, nullptr));
    if (value && traceback) {
        PyException_SetTraceback(value.get(), traceback.get());
    }
    return value;
}

#endif

}  // namespace sarv
