"""Every end of a recorded process keeps its trace.

A trace lives in the process's memory until it is saved; the ends that run no
code of sarv's would lose it. This module saves first, then lets the process
end as it would have:

- SIGTERM and SIGHUP (`arm_signals`, under `sarv run`, `pytest --sarv` and in
  the processes they start): the trace is saved, then the process dies of the
  same signal (exit status 143 for SIGTERM in a shell). The save runs on a
  thread of sarv's own, so a lock the interrupted code holds (sarv's own, at a
  save, or the program's) is waited for instead of deadlocking; the program
  runs on meanwhile, as if the signal had come a little later. A second
  signal during the save is absorbed: the process dies of the first once the
  trace is stored. A handler the program installs (before or after sarv's) is
  the one that runs; when it ends the process through `sys.exit`, `os._exit`
  or by restoring the default disposition and signalling itself, the trace is
  saved on the way (sarv answers for the default disposition while it
  records, see `_signal`).
- `os._exit` and the exec family (`watch_exits`): wrapped while sarv is
  imported, they save every running profiler first (the `os.execl*`,
  `os.execvp*` functions go through `os.execv`/`os.execve`).
- Python processes the program starts (multiprocessing's spawn and forkserver
  workers, `subprocess` running Python) under `sarv run`
  (`trace_children`): an environment variable carries the run's trace id and
  configuration, and a folder holding only a `sitecustomize` module is put in
  front of PYTHONPATH; the child interpreter imports it at start-up, which
  starts a profiler linked to the parent trace, saved at the child's exit.
  An environment variable is what every way of starting a child passes on
  (spawn, forkserver, subprocess, exec); multiprocessing's own preparation
  data would reach only its workers.

This module runs while a program is being profiled; the core leaves it out of
traces.
"""

from __future__ import annotations

import _thread
import atexit
import io
import json
import os
import signal
import sys
import threading
import time

__all__ = [
    "CHILD_ENV",
    "arm_signals",
    "disarm_signals",
    "add_saver",
    "remove_saver",
    "saving",
    "say",
    "settle",
    "trace_children",
    "untrace_children",
    "watch_exits",
]

CHILD_ENV = "SARV_CHILD"
_CHILD_FOLDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_children")
SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))

# Bound at import: a program that replaces them changes nothing here.
_getpid = os.getpid
_kill = os.kill
_sleep = time.sleep
_real_exit = os._exit
_real_signal = signal.signal
_real_getsignal = signal.getsignal


class _State:
    def __init__(self) -> None:
        self.savers: list = []  # (pid, function) called first at an end, in this process only
        self.nominal: dict = {}  # armed signal -> the disposition the program believes it has
        self.armed = 0  # how many arm_signals are in force
        self.ending = None  # the signal the process is dying of, once one came
        self.ended = threading.Event()  # the trace of that end is saved
        self.busy = 0  # saves in progress (Profiler.stop, an exit's), which an end waits for
        self.idle = threading.Condition(threading.Lock())
        self.fork_mask = None  # the forking thread's signal mask, while a fork blocks SIGNALS
        self.beginning = threading.Lock()  # taken (never waited for) by whoever starts the end
        self.watch = None  # (read end, write end) of the wakeup pipe that _watch reads
        self.native = False  # the native thread of _watched runs in this process


_state = _State()

try:
    from sarv import _ends as _last_resort  # a native thread: see _watched
except ImportError:  # (a build without it)
    _last_resort = None


def _watched(signum, ours: bool) -> None:
    # A main thread that holds the interpreter lock in a long C loop lets no Python code
    # run, sarv's included: the native thread ends the process by the signal if Python
    # has not taken the end over within a few seconds, as the signal alone would have.
    if _last_resort is None:
        return
    try:
        if ours:
            _last_resort.watch(signum)
            _state.native = True
        else:
            _last_resort.unwatch(signum)
    except (OSError, ValueError):
        pass


def _before_fork() -> None:
    # A signal that reaches the child before its profiler is its own (see
    # Profiler._continue_in_child) would save the parent's records, or be lost:
    # the interpreter forgets signals that arrive before it has set the child up.
    # Blocked, it waits in the kernel until forked() lets it through.
    if _state.nominal and hasattr(signal, "pthread_sigmask"):
        _state.fork_mask = signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)


def forked() -> None:
    """The fork is done (in the parent, or in the child once its profilers
    have taken their own trace): the signals held back since are let through."""
    mask, _state.fork_mask = _state.fork_mask, None
    if mask is not None:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)


def _after_fork_in_child() -> None:
    # Locks another thread held at the fork stay held in the child; what the parent
    # was doing (saving, dying) is not the child's.
    _state.ending = None
    _state.ended = threading.Event()
    _state.busy = 0
    _state.idle = threading.Condition(threading.Lock())
    _state.beginning = threading.Lock()
    _state.native = False
    if _state.watch is not None:
        # The pipe is the parent's too: the child's signals would wake the parent's
        # watcher. The child gets its own (its signals are still held back).
        for fd in _state.watch:
            try:
                os.close(fd)
            except OSError:
                pass
        inherited, _state.watch = _state.watch[1], None
        _start_watch(inherited)
    for signum in _state.nominal:
        if _real_getsignal(signum) is _on_signal:
            _watched(signum, True)  # (its native thread is the parent's)


if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=_before_fork, after_in_parent=forked, after_in_child=_after_fork_in_child)


def say(text: str) -> None:
    """One line on standard error that can never fail nor stay buffered:
    a program that closed fd 2 or sys.stderr keeps its exit status (a
    line left in a buffer would fail the interpreter's last flush, 120)."""
    stream = sys.stderr
    data = (text + "\n").encode("utf-8", "backslashreplace")
    try:
        fd = stream.fileno()
    except Exception as exc:
        if isinstance(exc, ValueError) and not isinstance(exc, io.UnsupportedOperation):
            return  # closed by the program
        # An in-memory stream (pytest's capture, a StringIO): nothing to fail at exit.
        try:
            stream.write(text + "\n")
        except Exception:
            pass
        return
    try:
        stream.flush()  # what the program wrote comes first
    except Exception:
        pass
    try:
        while data:
            data = data[os.write(fd, data) :]
    except OSError:
        pass


# -- saves -----------------------------------------------------------------------------


class _Saving:
    """Context of a save in progress: an end by a signal waits for it."""

    __slots__ = ()

    def __enter__(self) -> None:
        with _state.idle:
            _state.busy += 1

    def __exit__(self, *exc) -> None:
        with _state.idle:
            _state.busy -= 1
            _state.idle.notify_all()


_SAVING = _Saving()


def saving() -> _Saving:
    return _SAVING


def add_saver(function) -> None:
    """`function()` runs first when this process ends (before the running
    profilers are stopped): it saves what the generic stop would not
    (a test's trace under pytest --sarv) or reports the save (sarv run)."""
    _state.savers.append((_getpid(), function))


def remove_saver(function) -> None:
    _state.savers[:] = [(pid, f) for pid, f in _state.savers if f != function]


def _save_all() -> None:
    from sarv import profiler as _profiler

    pid = _getpid()
    for owner, function in list(_state.savers):
        if owner == pid:  # (a forked child inherits its parent's)
            try:
                function()
            except Exception as exc:
                say("sarv: could not save at the end of the process: %s: %s" % (type(exc).__name__, exc))
    for profiler in list(_profiler._live):
        try:
            profiler.stop()
        except Exception as exc:
            say("sarv: could not save trace %s: %s" % (profiler.trace_id, exc))


def _wait_for_stores() -> None:
    with _state.idle:
        while _state.busy:
            _state.idle.wait()
    try:
        from sarv import db as _db

        _db.wait_for_saves()  # saves handed to sarv's writer thread or process
    except Exception as exc:
        say("sarv: waiting for the saves failed: %s" % exc)


def _save_here() -> None:
    """Saves before an end that runs no exit code (os._exit, exec)."""
    if _state.ending is not None:
        settle()
    with _SAVING:
        _save_all()
    _wait_for_stores()
    if _state.ending is not None:  # a signal came during the save: it ends the process
        settle()


# -- signals ---------------------------------------------------------------------------


def _begins(signum) -> bool:
    """Whether this caller starts the end by `signum` (the first to come)."""
    if _state.ending is not None or not _state.beginning.acquire(False):
        return False  # the process already dies of a signal, once its trace is saved
    try:
        if _state.ending is not None:
            return False
        _state.ending = signum
        return True
    finally:
        _state.beginning.release()


def _on_signal(signum, frame) -> None:
    if not _begins(signum):
        return
    try:
        _thread.start_new_thread(_end_by_signal, (signum,))
    except RuntimeError:  # no new threads at the interpreter's shutdown
        _end_by_signal(signum)


# The interpreter runs a Python signal handler only when its main thread runs Python
# code: a main thread blocked in C (a multiprocessing lock: a Pool's worker at its
# terminate() may wait there for ever, the signal having come just before it blocked;
# a C extension's loop) would never end. The interpreter's wakeup fd hears every
# signal at once; a thread of sarv's reads it and ends the process for the main
# thread. A program that sets a wakeup fd of its own (asyncio) keeps it, and its
# handlers run as they always do.


def _start_watch(inherited: int = -1) -> None:
    if not hasattr(signal, "set_wakeup_fd") or _state.watch is not None:
        return
    read_end, write_end = os.pipe()
    try:
        os.set_blocking(write_end, False)
        previous = signal.set_wakeup_fd(write_end, warn_on_full_buffer=False)
        if previous not in (-1, write_end, inherited):
            signal.set_wakeup_fd(previous)  # the program's own
            raise ValueError
        _state.watch = (read_end, write_end)
        _thread.start_new_thread(_watch, (read_end,))
        if sys.version_info >= (3, 12):
            _wrap(os, "fork", _quiet_fork)
            _wrap(os, "forkpty", _quiet_fork)
    except (ValueError, OSError, RuntimeError):
        if _state.watch is not None:
            signal.set_wakeup_fd(-1)
            _state.watch = None
        os.close(read_end)
        os.close(write_end)


def _stop_watch() -> None:
    watch, _state.watch = _state.watch, None
    if watch is None:
        return
    try:
        current = signal.set_wakeup_fd(-1)
        if current != watch[1]:
            signal.set_wakeup_fd(current)  # set by the program since: its own stays
    except (ValueError, OSError):
        pass
    os.close(watch[1])  # the watcher reads the end of the pipe, closes it and is done


def _threads_of_the_process() -> int:
    try:
        with open("/proc/self/stat", "rb") as stat:
            return int(stat.read().rsplit(b")", 1)[1].split()[17])
    except (OSError, ValueError, IndexError):
        return 0


def _quiet_fork(real):
    # From 3.12 a fork in a process of several threads warns (DeprecationWarning, an
    # error under -W error): the watcher must not make a program that has no other
    # thread warn. Said as ever when the program has threads of its own.
    def fork():
        ours = 1 + (_state.watch is not None) + _state.native
        if _state.watch is None or threading.active_count() != 1 or _threads_of_the_process() != ours:
            return real()
        import warnings

        with warnings.catch_warnings():
            warnings.filterwarnings(
                "ignore", message=r"This process \(pid=\d+\) is multi-threaded", category=DeprecationWarning
            )
            return real()

    return fork


def _watch(read_end) -> None:
    try:
        while True:
            try:
                data = os.read(read_end, 64)
            except InterruptedError:
                continue
            if not data:
                break
            for signum in data:
                if signum in SIGNALS and _real_getsignal(signum) is _on_signal and _begins(signum):
                    _end_by_signal(signum)
    except Exception:
        pass
    finally:
        try:
            os.close(read_end)
        except OSError:
            pass


def _answering() -> None:
    # (see _watched: answers while the interpreter lock goes round, until the end)
    while not _state.ended.is_set():
        _last_resort.answer()
        _state.ended.wait(0.5)


def _end_by_signal(signum) -> None:
    if _last_resort is not None:
        _last_resort.answer()
        try:
            _thread.start_new_thread(_answering, ())
        except RuntimeError:
            pass
    try:
        try:
            _save_all()
        finally:
            _wait_for_stores()
    except BaseException:
        pass
    finally:
        _state.ended.set()
        _die(signum)


def _default_disposition(signum) -> None:
    # The interpreter's signal table can only be changed from the main thread; the
    # process's disposition, which decides how the signal ends it, from any.
    if threading.current_thread() is threading.main_thread():
        _real_signal(signum, signal.SIG_DFL)
        return
    import ctypes

    setsig = ctypes.pythonapi.PyOS_setsig
    setsig.restype = ctypes.c_void_p
    setsig.argtypes = (ctypes.c_int, ctypes.c_void_p)
    setsig(signum, None)  # SIG_DFL


def _die(signum) -> None:
    """Ends the process as `signum` with its default disposition would."""
    try:
        if _last_resort is not None:
            _last_resort.finish()
        _default_disposition(signum)
        if hasattr(signal, "pthread_sigmask"):
            signal.pthread_sigmask(signal.SIG_UNBLOCK, (signum,))
        _kill(_getpid(), signum)
        for _ in range(500):  # (delivered at once, unless some thread blocks it)
            _sleep(0.01)
    except BaseException:
        pass
    _real_exit(128 + signum)


def settle() -> None:
    """Called where the process would go on ending (or exit) while a signal's
    end is under way: waits for its save, then dies of it."""
    signum = _state.ending
    if signum is None:
        return
    _state.ended.wait()
    _die(signum)


def _signal(signalnum, handler):
    """signal.signal while sarv answers for SIGTERM and SIGHUP: the program's
    handlers run as it set them; its default disposition is sarv's handler,
    which saves and then ends the process by the default disposition."""
    if signalnum in _state.nominal:
        if handler == signal.SIG_DFL and not callable(handler):
            _real_signal(signalnum, _on_signal)
            _watched(signalnum, True)
        else:
            _real_signal(signalnum, handler)
            _watched(signalnum, False)
        previous = _state.nominal[signalnum]
        _state.nominal[signalnum] = handler
        return previous
    return _real_signal(signalnum, handler)


def _getsignal(signalnum):
    if signalnum in _state.nominal:
        return _state.nominal[signalnum]
    return _real_getsignal(signalnum)


_signal.__doc__ = _real_signal.__doc__
_getsignal.__doc__ = _real_getsignal.__doc__


def arm_signals() -> bool:
    """Makes SIGTERM and SIGHUP save the trace before they end the process
    (from the main thread; elsewhere, False and nothing changes). Signals the
    program ignores, or whose handler is not Python's, are left alone."""
    if threading.current_thread() is not threading.main_thread():
        return False
    if _state.armed == 0:
        for signum in SIGNALS:
            current = _real_getsignal(signum)
            if current == signal.SIG_DFL and not callable(current):
                _real_signal(signum, _on_signal)
                _watched(signum, True)
                _state.nominal[signum] = current
            elif callable(current) and current is not _on_signal:
                _state.nominal[signum] = current  # the program's own keeps working
        signal.signal, signal.getsignal = _signal, _getsignal
        _start_watch()
    _state.armed += 1
    return True


def disarm_signals() -> None:
    """Undoes arm_signals: each signal gets the disposition the program set."""
    if _state.armed == 0 or threading.current_thread() is not threading.main_thread():
        return
    _state.armed -= 1
    if _state.armed:
        return
    _stop_watch()
    if signal.signal is _signal:
        signal.signal = _real_signal
    if signal.getsignal is _getsignal:
        signal.getsignal = _real_getsignal
    nominal, _state.nominal = _state.nominal, {}
    for signum, disposition in nominal.items():
        _watched(signum, False)
        if _real_getsignal(signum) is _on_signal:
            try:
                _real_signal(signum, disposition)
            except (TypeError, ValueError, OSError):
                _real_signal(signum, signal.SIG_DFL)


# -- os._exit and exec -----------------------------------------------------------------


def _wrap(module, name: str, wrapper_of) -> None:
    real = getattr(module, name, None)
    if real is None or getattr(real, "_sarv_saves", False):
        return
    wrapper = wrapper_of(real)
    wrapper._sarv_saves = True
    wrapper.__name__ = real.__name__
    wrapper.__doc__ = real.__doc__
    wrapper.__wrapped__ = real
    setattr(module, name, wrapper)


def _exec_target(path) -> bool:
    # Saved only for an exec that can succeed: os.execvp tries each folder of PATH
    # in turn, and a failed exec leaves the program running, recorded on.
    if isinstance(path, int):
        return True  # a file descriptor (fexecve)
    try:
        path = os.fsdecode(path)
    except TypeError:
        return False
    return os.path.isfile(path) and os.access(path, os.X_OK)


def _saving_exit(real):
    def _exit(status):
        _save_here()
        return real(status)

    return _exit


def _saving_execv(real):
    def execv(path, argv):
        if _exec_target(path):
            _save_here()
        return real(path, argv)

    return execv


def _saving_execve(real):
    def execve(path, argv, env):
        if _exec_target(path):
            _save_here()
        return real(path, argv, env)

    return execve


def watch_exits() -> None:
    """os._exit, os.execv and os.execve save the running profilers first."""
    _wrap(os, "_exit", _saving_exit)
    _wrap(os, "execv", _saving_execv)
    _wrap(os, "execve", _saving_execve)


# -- Python processes the program starts -----------------------------------------------


def trace_children(profiler) -> bool:
    """Makes the Python processes started from now on record traces of their
    own, linked to `profiler`'s (see the module doc). False when its
    configuration cannot be passed on (a plugin given as a Python object)."""
    try:
        spec = json.dumps(
            {
                "parent": profiler.trace_id,
                "db_path": profiler.db_path,
                "source": profiler.source,
                "config": profiler.config,
            }
        )
    except (TypeError, ValueError):
        return False
    os.environ[CHILD_ENV] = spec
    path = os.environ.get("PYTHONPATH", "")
    folders = path.split(os.pathsep) if path else []
    if _CHILD_FOLDER not in folders:
        os.environ["PYTHONPATH"] = os.pathsep.join([_CHILD_FOLDER] + folders)
    return True


def untrace_children() -> None:
    os.environ.pop(CHILD_ENV, None)
    path = os.environ.get("PYTHONPATH")
    if path is None:
        return
    folders = [f for f in path.split(os.pathsep) if f != _CHILD_FOLDER]
    if folders:
        os.environ["PYTHONPATH"] = os.pathsep.join(folders)
    else:
        del os.environ["PYTHONPATH"]


def now_parent(trace_id: str) -> None:
    """This process's trace is now `trace_id` (a forked child's): its own
    children link to it."""
    spec = os.environ.get(CHILD_ENV)
    if not spec:
        return
    try:
        values = json.loads(spec)
        values["parent"] = trace_id
        os.environ[CHILD_ENV] = json.dumps(values)
    except (TypeError, ValueError):
        pass


# Processes of multiprocessing's own machinery, which run none of the program's code.
_HELPERS = ("from multiprocessing.resource_tracker import", "from multiprocessing.semaphore_tracker import")
_FORKSERVER = "from multiprocessing.forkserver import"


def _command_line() -> list:
    return list(getattr(sys, "orig_argv", None) or sys.argv or ())


def _is_sarv_command(argv) -> bool:
    # `python -m sarv ...` or the sarv script: it makes traces of its own.
    for i, arg in enumerate(argv[1:], 1):
        if arg == "-m" and i + 1 < len(argv):
            return argv[i + 1] in ("sarv", "sarv.cli")
        if arg.startswith("-m") and len(arg) > 2:
            return arg[2:] in ("sarv", "sarv.cli")
    return bool(argv) and os.path.basename(argv[0]) in ("sarv", "sarv.exe")


def start_in_child() -> None:
    """Run by the `sitecustomize` of a Python process started under `sarv run`."""
    spec = os.environ.get(CHILD_ENV)
    if not spec:
        return
    argv = _command_line()
    command = " ".join(argv)
    if any(helper in command for helper in _HELPERS) or _is_sarv_command(argv):
        return
    values = json.loads(spec)
    if _FORKSERVER in command:
        # The fork server runs none of the program's code; each worker forked from it
        # is a child of the program's trace.
        os.register_at_fork(after_in_child=lambda: _start_child(values))
        return
    _start_child(values)


def _start_child(values: dict) -> None:
    from sarv import db as _db
    from sarv.profiler import Profiler

    try:
        profiler = Profiler(values["config"], db_path=values["db_path"], source=values.get("source") or "cli")
        profiler.parent_trace_id = values["parent"]
        _db.note_parent(profiler.trace_id, profiler.parent_trace_id)
        now_parent(profiler.trace_id)
        profiler.start()
    except Exception as exc:
        say("sarv: this process (%d) is not traced: %s: %s" % (_getpid(), type(exc).__name__, exc))
        return
    arm_signals()
    atexit.register(_stop_at_exit, profiler)


def _stop_at_exit(profiler) -> None:
    settle()
    try:
        profiler.stop()
    except Exception as exc:
        say("sarv: could not save trace %s: %s" % (profiler.trace_id, exc))
    settle()
