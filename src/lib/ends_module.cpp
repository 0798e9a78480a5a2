// The module sarv._ends: the last resort of an end by SIGTERM or SIGHUP (see
// sarv.process_ends).
//
// sarv saves the trace of a signal that would end the process from Python code, which
// needs the interpreter lock. A main thread that holds the lock in a long C loop (one
// that never lets other threads run) would keep the process alive for ever, where the
// signal alone would have ended it. A native thread that needs no lock waits here for
// the signal; if Python has not taken the end over within the grace time, it ends the
// process by the signal's default disposition, as it would have ended without sarv (the
// trace is lost, as it was then).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

namespace {

constexpr int MAX_SIGNAL = 65;

sem_t posted;
bool ready = false;                // posted made and the thread started, in this process
pid_t owner = 0;                   // the process the thread runs in
std::atomic<int> arrived{0};       // the first watched signal that came
std::atomic<bool> answered{false}; // Python took the end over
std::atomic<long> last_answer_ms{0};
std::atomic<bool> finished{false};
std::atomic<long> grace_ms{3000};
// Once Python has taken the end over, its thread answers while the interpreter lock goes
// round: a save that runs keeps answering; a main thread that took the lock back into a C
// loop for good silences it.
constexpr long SILENCE_MS = 30000;

long now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
std::atomic<bool> watched[MAX_SIGNAL];
struct sigaction chained[MAX_SIGNAL];  // the handler ours calls on (the interpreter's)

void on_signal(int sig, siginfo_t* info, void* context) {
    int saved_errno = errno;
    if (sig > 0 && sig < MAX_SIGNAL && watched[sig].load()) {
        int none = 0;
        if (arrived.compare_exchange_strong(none, sig)) {
            sem_post(&posted);
        }
    }
    const struct sigaction& next = chained[sig];
    if ((next.sa_flags & SA_SIGINFO) != 0) {
        if (next.sa_sigaction != nullptr) {
            next.sa_sigaction(sig, info, context);
        }
    } else if (next.sa_handler != SIG_DFL && next.sa_handler != SIG_IGN && next.sa_handler != nullptr) {
        next.sa_handler(sig);
    }
    errno = saved_errno;
}

void* watchdog(void*) {
    while (sem_wait(&posted) != 0 && errno == EINTR) {
    }
    int sig = arrived.load();
    long start = now_ms();
    const timespec step{0, 10 * 1000 * 1000};
    while (!answered.load() && now_ms() - start < grace_ms.load()) {
        nanosleep(&step, nullptr);
    }
    while (answered.load() && !finished.load() && now_ms() - last_answer_ms.load() < SILENCE_MS) {
        nanosleep(&step, nullptr);
    }
    if (finished.load() || sig <= 0 || sig >= MAX_SIGNAL || !watched[sig].load()) {
        return nullptr;
    }
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(sig, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    kill(getpid(), sig);
    return nullptr;
}

bool start_thread() {
    if (ready && owner == getpid()) {
        return true;
    }
    // (after a fork: the parent's thread is not here, and its semaphore's state is not ours)
    if (sem_init(&posted, 0, 0) != 0) {
        return false;
    }
    arrived.store(0);
    answered.store(false);
    finished.store(false);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // Everything blocked in the watchdog: the signals go to the program's threads.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    int failed = pthread_create(&thread, &attr, watchdog, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attr);
    if (failed != 0) {
        return false;
    }
    ready = true;
    owner = getpid();
    return true;
}

bool signal_number(PyObject* arg, int& sig) {
    long value = PyLong_AsLong(arg);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        return false;
    }
    if (value <= 0 || value >= MAX_SIGNAL) {
        PyErr_SetString(PyExc_ValueError, "signal number out of range");
        return false;
    }
    sig = static_cast<int>(value);
    return true;
}

PyObject* watch(PyObject*, PyObject* arg) {
    int sig = 0;
    if (!signal_number(arg, sig)) {
        return nullptr;
    }
    if (!start_thread()) {
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    struct sigaction current{};
    if (sigaction(sig, nullptr, &current) != 0) {
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    bool ours = (current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == on_signal;
    if (!ours) {
        chained[sig] = current;
        struct sigaction mine = current;
        mine.sa_sigaction = on_signal;
        mine.sa_flags = (current.sa_flags & ~SA_RESETHAND) | SA_SIGINFO;
        if (sigaction(sig, &mine, nullptr) != 0) {
            return PyErr_SetFromErrno(PyExc_OSError);
        }
    }
    watched[sig].store(true);
    Py_RETURN_NONE;
}

PyObject* unwatch(PyObject*, PyObject* arg) {
    int sig = 0;
    if (!signal_number(arg, sig)) {
        return nullptr;
    }
    watched[sig].store(false);
    Py_RETURN_NONE;
}

PyObject* answer(PyObject*, PyObject*) {
    if (arrived.load() != 0) {
        last_answer_ms.store(now_ms());
        answered.store(true);
    }
    Py_RETURN_NONE;
}

PyObject* finish(PyObject*, PyObject*) {
    finished.store(true);
    Py_RETURN_NONE;
}

PyObject* set_grace(PyObject*, PyObject* arg) {
    double seconds = PyFloat_AsDouble(arg);
    if (seconds == -1.0 && PyErr_Occurred() != nullptr) {
        return nullptr;
    }
    grace_ms.store(seconds <= 0 ? 0 : static_cast<long>(seconds * 1000));
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"watch", watch, METH_O,
     "watch(signum, /)\n--\n\nEnds the process by `signum` if Python does not answer it within the grace time " "(call again after the interpreter's handler of `signum` changed)."},
    {"unwatch", unwatch, METH_O, "unwatch(signum, /)\n--\n\nNo last resort for `signum` any more."},
    {"answer", answer, METH_NOARGS,
     "answer()\n--\n\nPython has taken the end of the process over (said again and again while it ends it)."},
    {"finish", finish, METH_NOARGS, "finish()\n--\n\nPython ends the process now."},
    {"set_grace", set_grace, METH_O, "set_grace(seconds, /)\n--\n\nHow long Python has to answer a signal."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "sarv._ends",
    "The last resort of an end by SIGTERM or SIGHUP (see sarv.process_ends).",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__ends(void) { return PyModule_Create(&module_def); }
