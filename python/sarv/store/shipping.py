"""A second process that stores a test suite's traces: this process's end.

`pytest --sarv` saves a trace after every test (`sarv.store.batching.save_later`): saved
in the test's own process, a small test's trace costs it about a quarter of
what sarv adds to it. On a machine with a second core, once a run has shown
that it saves traces quickly one after the other (64 within 200 ms),
the saves are sent to a process of sarv's own instead: the documents go
through a pipe, up to 64 to a write, and that process (sarv.store.writer_process) stores them as this one
would (the same batches, the same file) and acknowledges each. Nothing else
changes for this process: its readers and its exit wait for the saves sent,
and the save failure and cut trace listeners hear of them here (when it next
sends or waits: no thread of its own reads the acknowledgements). If the
process dies (or cannot start), the saves it did not acknowledge are done
here, and the next ones too. Documents over a megabyte are saved here, after
those sent. The process runs at the lowest priority: it takes no core from
the program it serves, and is not started while the machine's load leaves it no idle
time.

The environment variable SARV_SAVE_PROCESS set to "0" keeps every save in
the process that makes it; set to "1" it sends the saves from the first one."""

from __future__ import annotations

import os
import select
import subprocess
import sys
import threading
import time

from sarv.store.columns import DescribedDocument, _described_types, is_described
from sarv.store.errors import SarvDatabaseError
from sarv.store.listeners import remember_save, tell_failure_listeners
from sarv.store.locations import is_url
from sarv.store.schema import _parents

_Popen = subprocess.Popen  # (as imported: a test may replace subprocess.Popen for a while)

# Documents sent with one write, at most (each write wakes the other process, whose work
# then shares the machine's caches and kernel with the tests: 64 to a write measured
# faster than 16).
_PER_WRITE = 64
_WRITE_BYTES = 1 << 20  # or this many bytes of them
_LARGE = 1 << 20  # bytes: a larger document is saved by its caller, not copied through the pipe
_PIPE_SIZE = 1 << 20  # asked of the pipes, so that a slow start of the other process rarely blocks a test
SWITCH = "SARV_SAVE_PROCESS"

_packb = None
_msgpack = None


def wanted() -> str:
    """What the environment asks for: "never", "always" or "auto"."""
    setting = os.environ.get(SWITCH, "")
    return {"0": "never", "1": "always"}.get(setting, "auto")


def can_start() -> bool:
    if os.name != "posix" or not sys.executable:
        return False
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    return cores >= 2


def has_idle_core() -> bool:
    """Whether the machine's load leaves idle time for the process (the program's own
    process counted): it runs only on a core nothing else wants, and under a heavier
    load it falls behind, the pipe fills and the program waits for it (a suite at load 9
    on 2 cores spent 0.8 to 2.9 s blocked on the pipe). It needs little: a few percent of
    a core for a suite that saves 500 traces a second."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    try:
        load = os.getloadavg()[0]
    except (AttributeError, OSError):
        return True  # (no load average to read: as before)
    return load <= cores - 0.25


def start(backlog, run_jobs):
    """A Shipper whose process is started, or None where none can be.
    `backlog`: the saves waiting (sarv.store.batching's, whose condition
    guards the Shipper too); `run_jobs(jobs)`: saves jobs here."""
    global _packb, _msgpack
    import msgpack

    _msgpack = msgpack
    _packb = msgpack.Packer(use_bin_type=True).pack
    # The other process imports only what saving needs, from where this process found it:
    # no site customisation (a coverage tool's start-up, say) and no PYTHON* variables.
    here = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    paths = [here] + [p for p in sys.path if isinstance(p, str)]
    code = (
        "import signal; signal.signal(signal.SIGINT, signal.SIG_IGN)\n"  # Ctrl-C is the program's
        "import sys; sys.path[:0] = %r\n"
        "from sarv.store.writer_process import serve; serve()\n" % (paths,)
    )
    try:
        proc = _Popen(
            [sys.executable, "-E", "-S", "-c", code],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,  # (one that cannot start is replaced by saving here)
            bufsize=0,
            close_fds=True,
        )
        return Shipper(proc, backlog, run_jobs)
    except Exception:
        return None  # (a program's own replacement of subprocess, say)


def _grow(fd: int) -> None:
    try:
        import fcntl

        fcntl.fcntl(fd, getattr(fcntl, "F_SETPIPE_SZ", 1031), _PIPE_SIZE)
    except (ImportError, OSError):
        pass  # (the default size: writes block sooner)


_NOTHING = object()  # (collect waits for no save in particular)


class Shipper:
    """This process's end of the other one: the saves sent, until acknowledged.
    Its state is guarded by the backlog's condition, which readers wait on."""

    def __init__(self, proc, backlog, run_jobs) -> None:
        self.proc = proc
        self.backlog = backlog
        self.run_jobs = run_jobs
        self.out = proc.stdin.fileno()
        self.acks = proc.stdout.fileno()
        if type(self.out) is not int or type(self.acks) is not int:
            raise TypeError("not a process's pipes")
        _grow(self.out)
        _grow(self.acks)
        self.write_lock = threading.Lock()  # one writer at a time: frames must not interleave
        self.unsent = []  # packed frames, not written yet
        self.unsent_bytes = 0
        self.unsent_since = None  # when the oldest of them was handed over
        self.sent = {}  # sequence number -> the job, until acknowledged or done here
        self.seq = 0
        self.dead = False  # the process is gone (or going): saves are done here
        self.ack_lock = threading.Lock()  # one reader of the acknowledgements at a time
        self.unpacker = _msgpack.Unpacker(raw=False)
        self.paths = {}  # db_path -> absolute path (a test may change directory)

    def ship(self, job) -> bool:
        """Sends the save; False if it is to be done here."""
        # (once a test for a test suite: what can be is looked up inline, or once a path)
        document = job.document
        if not 0 < job.size <= _LARGE or self.dead:
            return False
        path = self.paths.get(job.db_path) or self._path(job)
        if path is None:
            return False
        kind = type(document)
        if isinstance(document, (bytes, bytearray, memoryview)):
            whole = job.document = bytes(document)
            described = None
        elif kind in _described_types or is_described(document):  # (the core's pieces, the usual)
            whole = b"".join(document)
            edges = tuple(document.edge_records)
            request = document.request if isinstance(document, DescribedDocument) else None
            # (kept whole: the core's pieces may not be read twice, and a save done here after
            # all needs them)
            job.document = DescribedDocument(whole, document.record_count, document.tail_offset, edges, request)
            described = [document.record_count, document.tail_offset, edges, request]
        else:
            return False  # (other iterables of pieces: read here, as they come)
        parent = _parents.get(job.trace_id)  # (parent_of inline)
        backlog = self.backlog
        with backlog.lock:
            if self.dead or backlog.closed:
                return False
            try:
                frame = _packb([self.seq + 1, path, job.trace_id, job.timeout, whole, described, parent])
            except Exception:
                return False  # (what msgpack cannot carry is saved here)
            self.seq += 1
            self.sent[self.seq] = job
            self.unsent.append(frame)
            self.unsent_bytes += len(frame)
            if self.unsent_since is None:
                self.unsent_since = job.since
            full = len(self.unsent) >= _PER_WRITE or self.unsent_bytes >= _WRITE_BYTES
            backlog.later = job.since
            # (the writer thread sends those left waiting: see straggling)
            if (backlog.idle or backlog.thread_id is None) and backlog.takes_jobs() and backlog.idle:
                backlog.cond.notify_all()
        if full:
            self.flush()
            self.collect()
        return True

    def _path(self, job):
        """The absolute path of the job's database, kept for its next saves; None for a URL."""
        if is_url(job.key):
            return None
        path = self.paths[job.db_path] = os.path.abspath(os.fspath(job.db_path))
        return path

    def straggling(self, now: float, patience: float) -> bool:
        """Whether frames wait unsent longer than `patience` (under the condition)."""
        return self.unsent_since is not None and now - self.unsent_since >= patience

    def flush(self) -> None:
        with self.write_lock:
            with self.backlog.lock:
                data = b"".join(self.unsent)
                self.unsent = []
                self.unsent_bytes = 0
                self.unsent_since = None
            try:
                write_all(self.out, data)
            except OSError:
                pass  # the process is gone: the next collect hears so and the saves are done here

    def waiting_for(self, key) -> bool:
        """Whether saves into `key` (a location; None: any) are sent and not done (under the condition)."""
        return any(key is None or job.key == key for job in self.sent.values())

    def wait(self, key, deadline) -> bool:
        """Waits until the saves sent into `key` (None: all) are done, at most until
        `deadline` (time.monotonic(); None: no end); False if some are not."""
        self.flush()
        while True:
            with self.backlog.cond:
                if not self.waiting_for(key):
                    return True
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                return False
            self.collect(left, awaited=key)

    def collect(self, timeout: float | None = 0.0, awaited=_NOTHING) -> None:
        """Takes the acknowledgements that have arrived, waiting up to `timeout`
        seconds for the first. Read by whoever sends or waits, no thread of
        its own: a thread woken for each batch took the interpreter lock from
        the tests, which cost them more than the saves did. `awaited`: the
        key of wait(); if another reader took the last of its acknowledgements
        before this one had the lock, there is nothing to wait for."""
        with self.ack_lock:
            if self.dead:
                return
            if awaited is not _NOTHING:
                with self.backlog.cond:
                    if not self.waiting_for(awaited):
                        return
            try:
                while select.select([self.acks], [], [], timeout)[0]:
                    data = os.read(self.acks, 1 << 16)
                    if not data:
                        break  # the process has ended
                    self.unpacker.feed(data)
                    for acks in self.unpacker:
                        self._acknowledged(acks)
                    timeout = 0.0
                else:
                    return
            except Exception:
                pass  # (a broken pipe, or what the process wrote as it died)
            self._gone()

    def _acknowledged(self, acks) -> None:
        backlog = self.backlog
        with backlog.cond:
            jobs = [(self.sent.pop(ack[0], None), ack) for ack in acks]
        for job, (_, error, row_id, record_count, dropped, test_name) in jobs:
            if job is None:
                continue
            try:
                if error is None:
                    remember_save(job.db_path, job.trace_id, row_id, record_count, dropped, test_name)
                else:
                    tell_failure_listeners(job.db_path, job.trace_id, SarvDatabaseError(error), job.document)
            except Exception:
                pass  # (a listener's fault: the others still hear)

    def _gone(self) -> None:
        """The process closed its end: what it did not acknowledge is saved here
        (under ack_lock)."""
        backlog = self.backlog
        with backlog.cond:
            self.dead = True
            orphans = list(self.sent.values())
            self.unsent = []
            self.unsent_bytes = 0
            self.unsent_since = None
        try:
            if orphans:
                self.run_jobs(orphans)
        finally:
            with backlog.cond:
                self.sent.clear()
                backlog.cond.notify_all()

    def close(self, wait: float = 60.0) -> None:
        """Ends the process once it has stored what it was sent (called at exit, after the saves
        were waited for)."""
        with self.write_lock:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
        try:
            self.proc.wait(wait)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        with self.ack_lock:
            self.dead = True  # (its acknowledgements were all read: saves are made here now)
            try:
                self.proc.stdout.close()
            except OSError:
                pass

    def forget(self) -> None:
        """In a forked child: the pipes are the parent's (the process must see their end when the
        parent closes them, not when this child exits too)."""
        self.dead = True
        for pipe in (self.proc.stdin, self.proc.stdout):
            try:
                pipe.close()
            except OSError:
                pass
        self.proc.returncode = 0  # (not this child's to wait for)


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]
