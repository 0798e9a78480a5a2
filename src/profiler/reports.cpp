#include "profiler/reports.hpp"
#include "boundary.hpp"

#include <deque>

namespace sarv {
namespace {

struct Warning {
    Ref format;  // str
    Ref args;    // tuple
    Ref exc_info;
};

// Touched only with the interpreter lock held. A program that fails every event
// would queue one warning per event: past the bound they are counted instead.
constexpr size_t MAX_WAITING = 1000;

struct Waiting {
    std::deque<Warning> warnings;
    size_t untold = 0;
};

// Never destroyed: static destructors may run after the interpreter is gone.
Waiting& waiting() {
    static Waiting* w = new Waiting();
    return *w;
}

void push(Warning warning) {
    Waiting& w = waiting();
    if (w.warnings.size() >= MAX_WAITING) {
        ++w.untold;
        return;
    }
    w.warnings.push_back(std::move(warning));
}

}  // namespace

void queue_warning(std::string message) {
    FetchedError pending;
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) {
        push({std::move(text), Ref(), Ref()});
    }
}

void queue_warning(Ref format, Ref args, Ref exc_info) {
    push({std::move(format), std::move(args), std::move(exc_info)});
}

void say_warnings() {
    Waiting& w = waiting();
    if (w.warnings.empty() && w.untold == 0) {
        return;
    }
    FetchedError pending;
    std::deque<Warning> warnings;
    warnings.swap(w.warnings);  // (a handler may queue or say more meanwhile)
    size_t untold = std::exchange(w.untold, 0);
    if (untold != 0) {
        std::string text = "sarv: " + std::to_string(untold) + " more warnings were not kept";
        warnings.push_back(
            {Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))), Ref(), Ref()});
    }
    Ref logging = import_module(names().mod_logging);
    Ref get_logger = logging ? Ref::steal(PyObject_GetAttrString(logging.get(), "getLogger")) : Ref();
    Ref logger = get_logger ? Ref::steal(PyObject_CallFunction(get_logger.get(), "s", "sarv")) : Ref();
    Ref warn = logger ? Ref::steal(PyObject_GetAttrString(logger.get(), "warning")) : Ref();
    for (Warning& warning : warnings) {
        if (!warning.format) {
            continue;
        }
        bool said = false;
        if (warn) {
            Py_ssize_t n = warning.args ? PyTuple_GET_SIZE(warning.args.get()) : 0;
            Ref args = Ref::steal(PyTuple_New(n + 1));
            if (args) {
                PyTuple_SET_ITEM(args.get(), 0, Ref(warning.format).release());
                for (Py_ssize_t i = 0; i < n; ++i) {
                    PyTuple_SET_ITEM(args.get(), i + 1, Ref::borrow(PyTuple_GET_ITEM(warning.args.get(), i)).release());
                }
                Ref kwargs = Ref::steal(PyDict_New());
                bool ok = kwargs && (!warning.exc_info ||
                                     PyDict_SetItemString(kwargs.get(), "exc_info", warning.exc_info.get()) == 0);
                said = ok && Ref::steal(PyObject_Call(warn.get(), args.get(), kwargs.get()));
            }
        }
        if (!said) {
            // A broken logging setup: never raised to the caller; left on the unraisable hook.
            ensure_error_set();
            PyErr_WriteUnraisable(nullptr);
        }
    }
}

}  // namespace sarv
