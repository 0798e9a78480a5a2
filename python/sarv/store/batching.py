"""Saving: at once, soon (on a writer thread) or later (in batches, or in the
writer process).

A web request should not wait for its trace to reach the disk: `save_soon`
hands a save to one writer thread per process, which runs the saves waiting
for one database in one transaction (one failing does not take the others
with it: a save of several statements runs in a savepoint of its own): a save
waits a moment for others to share its commit, the dearest part of a small
save. Readers in this process wait for the saves of their database first (and
hurry them), and so does the exit.

`save_later` (a test suite's, one save per test) keeps saves waiting for the
next ones of the same thread and runs them together; once they come quickly
it sends them to a writer process (sarv.store.shipping), waited for in the
same way.
"""

from __future__ import annotations

import _thread
import atexit
import contextlib
import os
import threading
import time

from sarv.store import shipping

try:
    import fcntl
except ImportError:  # (not on Windows: SQLite's lock alone)
    fcntl = None
from sarv.store.backends import open_store
from sarv.store.base import Batch
from sarv.store.columns import DescribedDocument
from sarv.store.errors import BatchLost
from sarv.store.listeners import tell_failure_listeners
from sarv.store.locations import _locations as _known_locations
from sarv.store.locations import is_url, location

_SAVES_PER_TRANSACTION = 64
_WHOLE = (bytes, bytearray, DescribedDocument)  # documents whose length is their size
_GROUP_COMMIT = 0.002  # seconds the first save waiting waits for others
# Past this many saves waiting, or this many bytes of their documents, whoever hands over a
# save waits for the writer.
_WAITING_SAVES = 256
_WAITING_BYTES = 64 << 20


def save_now(db_path, trace_id, timeout, document, batch: Batch | None = None) -> int:
    """Stores one trace document (bytes, or an iterable of bytes pieces) in
    the caller's thread; the new row's id. A failure goes to the save failure
    listeners, then raises `SarvDatabaseError` (or TypeError/ValueError for
    wrong arguments) saying why. `batch`: a transaction shared with other
    saves, where the store has them."""
    try:
        db_path = os.fspath(db_path)
        if type(trace_id) is not str:
            raise TypeError("trace_id must be a str, not %s" % type(trace_id).__name__)
        if isinstance(document, (bytes, bytearray, memoryview)):
            pieces = [document]
        elif isinstance(document, str) or not hasattr(document, "__iter__"):
            raise TypeError("msgpack must be bytes or an iterable of bytes, not %s" % type(document).__name__)
        else:
            pieces = document
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or timeout < 0:
            raise ValueError("timeout must be a non-negative number of seconds, not %r" % (timeout,))
        return open_store(db_path).save(trace_id, pieces, timeout, batch)
    except Exception as exc:
        tell_failure_listeners(db_path, trace_id, exc, document)
        raise


class SaveJob:
    """A save waiting for the writer thread or its caller: one object holding what the
    save takes (a test suite makes one per test; closures for its save and its report
    were three more)."""

    __slots__ = ("key", "db_path", "trace_id", "timeout", "document", "done", "since", "size", "patience")

    def __init__(self, db_path, trace_id: str, document, timeout, done, patience=_GROUP_COMMIT) -> None:
        # (a test suite makes one per test: the usual path and document looked up inline)
        key = _known_locations.get(db_path) if type(db_path) is str else None
        self.key = key if key is not None else location(os.fspath(db_path))
        self.db_path, self.trace_id, self.document, self.timeout = db_path, trace_id, document, timeout
        # done(error): what hears how the save went; _REPORT_LOST for save_later's
        self.done = done
        # (known_size inline)
        self.size = (len(document) if isinstance(document, _WHOLE) else getattr(document, "size", None)) or 0
        self.since = time.monotonic()
        self.patience = patience  # how long the writer thread leaves it waiting for company

    def save(self, batch: Batch | None):
        return save_now(self.db_path, self.trace_id, self.timeout, self.document, batch)

    def finish(self, error) -> None:
        """Tells `done` how the save went."""
        if self.done is _REPORT_LOST:
            # A save that went through save_now was reported there; one lost
            # with the transaction it shared was not.
            if isinstance(error, BatchLost) and self.trace_id in error.trace_ids:
                tell_failure_listeners(self.db_path, self.trace_id, error, self.document)
        elif self.done is not None:
            self.done(error)


_REPORT_LOST = object()  # a job's `done` for save_later: a lost transaction goes to the failure listeners


class _Backlog:
    """The saves handed to the writer thread and not done yet."""

    def __init__(self) -> None:
        # (the condition's lock, taken directly where nothing waits or is woken: a `with` of
        # the condition runs two Python methods around it, once a test for a test suite)
        self.lock = threading.Lock()
        self.cond = threading.Condition(self.lock)
        self.jobs = []  # waiting, in order
        self.size = 0  # the bytes of their documents
        self.running = ()  # the jobs the writer thread has taken
        self.elsewhere = []  # the jobs callers of save_later have taken
        # When save_later was last called, and whether the writer thread waits without a
        # timeout: while a test loop saves, the writer looks now and then for saves left
        # waiting instead of being woken for each (a wake takes the interpreter lock from
        # the tests).
        self.later = -1e9
        self.idle = False
        self.thread_id = None
        self.hurry = 0  # readers waiting: no waiting for more saves to share a commit
        self.closed = False  # the process is exiting: saves are done by their callers

    def takes_jobs(self) -> bool:
        """Whether the writer thread runs (started if need be) to take saves; under self.cond."""
        return _writer_takes_jobs(self)


_backlog = _Backlog()


def _writer_takes_jobs(backlog: _Backlog) -> bool:
    """Whether the writer thread runs (started if need be) to take saves; under backlog.cond."""
    if not backlog.closed and backlog.thread_id is None:
        try:
            # A bare thread: a profile hook that threading would give its threads
            # (sarv's own, for requests on worker threads) does not follow it there.
            backlog.thread_id = _thread.start_new_thread(_write_saves, (backlog,))
        except RuntimeError:
            pass  # (no new threads at the interpreter's shutdown)
    return backlog.thread_id is not None and not backlog.closed


def save_soon(db_path, trace_id: str, document, timeout=60, done=None, wait: bool = True) -> bool:
    """Stores a trace document (bytes, or a DescribedDocument) as
    save_now does, on sarv's writer thread; `done(error)`
    follows there (error None when the trace was stored, else the
    exception, logged by no one). Saves waiting together for the same
    database are committed at once. In a process that
    is exiting the save is done at once, by the caller.
    Past the saves or bytes that may wait, the caller waits for the
    writer; with `wait` False (a web request, which must not wait for the
    store) the save is not made instead: False (and `done` is not called)."""
    job = SaveJob(db_path, trace_id, document, timeout, done)
    size = job.size
    backlog = _backlog
    with backlog.cond:
        while (
            not backlog.closed
            and backlog.jobs
            and (len(backlog.jobs) >= _WAITING_SAVES or backlog.size + size > _WAITING_BYTES)
        ):
            if not wait:
                return False
            backlog.cond.wait()
        if _writer_takes_jobs(backlog):
            backlog.jobs.append(job)
            backlog.size += size
            if len(backlog.jobs) == 1 or len(backlog.jobs) >= _SAVES_PER_TRANSACTION:
                backlog.cond.notify_all()  # (the writer waits for the first, then for a full batch)
            return True
    run_jobs([job])
    return True


# A test suite saves a trace after every test: each save's own transaction, whose commit
# writes to the file, costs a small test as much as the rest of its save. save_later
# keeps them waiting for each other, and the thread saving runs them together, in one
# transaction, once there are enough or the oldest has waited long enough; those left
# waiting (after the suite's last test, or before a long one) are done by the writer
# thread, and readers and the exit wait for them as for the others. Batches of a full 64
# cost a small test's save a fifth less than batches of the dozen that 10 ms held: besides
# fewer commits, the save's code and data stay in the caches through the batch. A wait of
# 50 ms held about 40 of packaging's saves on a loaded machine (a test every 1.2 ms of
# its CPU time, slower in seconds); 200 ms fills the 64. The writer thread looks for saves
# left waiting every _STRAGGLER seconds while saves come: each look takes the interpreter
# lock from the tests, so not more often than a few times a second.
_CALLER_COMMIT = 0.2  # seconds the oldest save waits for the next ones
_STRAGGLER = 0.4  # seconds before the writer thread takes a save its caller left waiting
# Saves due together (within _CALLER_COMMIT) from which the next go to the writer process:
# a save made here costs its test 50 to 130 us, sent there about 10 us; 64 in 200 ms is a
# test every 3 ms or less (packaging's parametrized tests: one every 1.5 to 2 ms), where
# that difference is a few percent of the suite's time.
_QUICK_SAVES = 64


def save_later(db_path, trace_id: str, document, timeout=60) -> None:
    """Stores a trace document as save_now does, a little later:
    with the next saves of this thread into the same database, in one
    transaction. A failure goes to the save failure listeners."""
    job = SaveJob(db_path, trace_id, document, timeout, _REPORT_LOST, _STRAGGLER)
    shipper = _shipper
    if shipper is None and (_shipping or _shipping_wanted()) == "always":
        shipper = _start_shipping()
    if shipper is not None:
        if shipper.ship(job):
            return
        if not shipper.dead:
            # (not for the pipe, a large document say: saved here, after those sent before it)
            wait_for_saves(db_path)
    backlog = _backlog
    due, full = _due_later(backlog, job)
    if due is None:
        return
    if (full or len(due) >= _QUICK_SAVES) and shipper is None and _shipping == "auto" and shipping.has_idle_core():
        # Saves come quickly here: the next go to a process of their own (see sarv.store.shipping).
        _start_shipping()
    try:
        outcomes = run_jobs(due)
        # Ctrl-C during the batch ended one save; the others went on. It is the program's.
        for _, error in outcomes:
            if isinstance(error, KeyboardInterrupt):
                raise error
    finally:
        with backlog.cond:
            backlog.elsewhere = [j for j in backlog.elsewhere if j not in due]
            if backlog.hurry:
                backlog.cond.notify_all()  # (readers waiting for these)


# The writer process that save_later sends saves to (a sarv.store.shipping.Shipper), once
# started; "auto", "always" or "never" (set from the environment when first needed).
_shipper = None
_shipping = None


def _due_later(backlog: _Backlog, job: SaveJob) -> tuple:
    """Adds a save_later job to the backlog; (the saves into its database now due for
    its caller to run, or None; whether they make a full batch)."""
    key = job.key
    with backlog.lock:
        if not _writer_takes_jobs(backlog):
            return [job], False
        jobs = backlog.jobs
        jobs.append(job)
        backlog.size += job.size
        # (the oldest save of this database: nearly always the first waiting)
        oldest = jobs[0] if jobs[0].key == key else next(j for j in jobs if j.key == key)
        # (this database's saves are counted only when there are enough saves at all)
        full = len(jobs) >= _SAVES_PER_TRANSACTION and sum(j.key == key for j in jobs) >= _SAVES_PER_TRANSACTION
        due = None
        if full or backlog.size >= _WAITING_BYTES or job.since - oldest.since >= _CALLER_COMMIT:
            due = [j for j in jobs if j.key == key]
            backlog.jobs = [j for j in jobs if j.key != key]
            backlog.size = sum(j.size for j in backlog.jobs)
            backlog.elsewhere.extend(due)
        elif backlog.idle:
            backlog.cond.notify_all()  # (the writer's timer for a save left waiting)
        backlog.later = job.since
        return due, full


def _shipping_wanted() -> str:
    global _shipping
    if _shipping is None:
        _shipping = shipping.wanted()
    return _shipping


def _start_shipping():
    """Starts the writer process (tried once per process); its Shipper, or None."""
    global _shipper, _shipping
    _shipping = "never"
    if not _backlog.closed and shipping.can_start():
        _shipper = shipping.start(_backlog, run_jobs)
    return _shipper


def wait_for_saves(db_path=None, timeout=None) -> bool:
    """Waits until the saves handed to the writer thread (into `db_path`, or
    all) are done, for at most `timeout` seconds (None: as long as they
    take); False if some are still waiting."""
    backlog = _backlog
    shipper = _shipper
    if not backlog.jobs and not backlog.running and not backlog.elsewhere and not (shipper and shipper.sent):
        return True
    if backlog.thread_id == _thread.get_ident():
        return False
    key = None if db_path is None else location(os.fspath(db_path))
    deadline = None if timeout is None else time.monotonic() + timeout
    if shipper is not None and not shipper.wait(key, deadline):
        return False
    with backlog.cond:
        backlog.hurry += 1
        backlog.cond.notify_all()
        try:
            while any(key is None or job.key == key for job in (*backlog.jobs, *backlog.running, *backlog.elsewhere)):
                if backlog.jobs and backlog.thread_id is None and not backlog.running:
                    # Their writer is gone: they are done here.
                    orphans, backlog.jobs, backlog.size = backlog.jobs, [], 0
                    backlog.running = orphans
                    break
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    return False
                backlog.cond.wait(left)
            else:
                return True
        finally:
            backlog.hurry -= 1
    try:
        run_jobs(orphans)
    finally:
        with backlog.cond:
            backlog.running = ()
            backlog.cond.notify_all()
    return True


def _write_saves(backlog: _Backlog) -> None:
    try:
        _write_saves_until_stopped(backlog)
    finally:
        # Whatever stopped it (it is not meant to stop): the next save starts another
        # writer, and whoever waits for saves looks again.
        with backlog.cond:
            backlog.thread_id = None
            backlog.running = ()
            backlog.cond.notify_all()


def _write_saves_until_stopped(backlog: _Backlog) -> None:
    while True:
        send = None  # a Shipper whose saves waited unsent long enough
        with backlog.cond:
            while True:
                while not backlog.jobs:
                    if _shipper is not None and _shipper.straggling(time.monotonic(), _STRAGGLER):
                        send = _shipper
                        break
                    if time.monotonic() - backlog.later < 1:
                        backlog.cond.wait(_STRAGGLER)
                    else:
                        backlog.idle = True
                        try:
                            backlog.cond.wait()
                        finally:
                            backlog.idle = False
                if send is not None or len(backlog.jobs) >= _SAVES_PER_TRANSACTION or backlog.hurry or backlog.closed:
                    break
                # (the first save waiting may have been taken by its caller meanwhile)
                left = backlog.jobs[0].since + backlog.jobs[0].patience - time.monotonic()
                if left <= 0:
                    break
                backlog.cond.wait(left)
            taken = None if send is not None else _take_batch(backlog)
        if taken is None:
            send.flush()
            send.collect()
            continue
        try:
            run_jobs(taken)
        except BaseException:
            pass  # (reported to each job by run_jobs; the thread must go on)
        with backlog.cond:
            backlog.running = ()
            backlog.cond.notify_all()


def _take_batch(backlog: _Backlog) -> list:
    """The first waiting saves into one database, taken (under backlog.cond)."""
    key = backlog.jobs[0].key
    taken, left = [], []
    for job in backlog.jobs:
        (taken if job.key == key and len(taken) < _SAVES_PER_TRANSACTION else left).append(job)
    backlog.jobs = left
    backlog.size = sum(job.size for job in left)
    backlog.running = taken
    backlog.cond.notify_all()
    return taken


# Writers of several processes into one SQLite file (a server's workers, each with its
# writer thread) take turns at its write lock through a lock file beside it, held for a
# batch: SQLite's own wait for its lock polls with sleeps of up to 100 ms, so a process
# committing batch after batch took the lock again while the others slept, and their
# saves backed up (then, for requests, were dropped). A process waiting on the lock file
# is woken the moment the holder lets go. Only saving waits there, never a request.
TURNS_SUFFIX = ".writers"


class _Turn:
    """One SQLite file's lock file, as this process holds it."""

    __slots__ = ("lock", "fd", "depth")

    def __init__(self, key: str) -> None:
        self.lock = threading.RLock()  # (the file's lock is the process's: its threads take turns here first)
        self.depth = 0  # (a save made by a listener during the batch is in the same turn)
        try:
            self.fd = os.open(key + TURNS_SUFFIX, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        except OSError:
            self.fd = None  # (a folder we may not write to: SQLite's lock alone)


class _Turns:
    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.files = {}  # location -> _Turn

    def of(self, key: str) -> _Turn:
        with self.lock:
            turn = self.files.get(key)
            if turn is None:
                turn = self.files[key] = _Turn(key)
            return turn


_turns = _Turns()


@contextlib.contextmanager
def writers_turn(key: str):
    """This process's turn at writing into the SQLite file at `key` (a location)."""
    turn = _turns.of(key)
    with turn.lock:
        locked = False
        if turn.depth == 0 and turn.fd is not None:
            try:
                fcntl.flock(turn.fd, fcntl.LOCK_EX)
                locked = True
            except OSError:
                pass  # (SQLite's lock alone)
        turn.depth += 1
        try:
            yield
        finally:
            turn.depth -= 1
            if locked:
                fcntl.flock(turn.fd, fcntl.LOCK_UN)


def run_jobs(jobs) -> list:
    """Runs the saves in one transaction where the database allows it, in this
    process's turn at the file (writers_turn); each job's `done` hears how its
    own save went. Returns the (job, error) outcomes."""
    key = jobs[0].key if jobs else None
    if fcntl is None or key is None or is_url(key) or any(job.key != key for job in jobs):
        return _run_jobs(jobs)
    with writers_turn(key):
        return _run_jobs(jobs)


def _run_jobs(jobs) -> list:
    batch = Batch() if len(jobs) > 1 else None
    outcomes = []
    for job in jobs:
        try:
            job.save(batch)
            outcomes.append((job, None))
        except BatchLost as exc:
            outcomes = _blame(outcomes, exc)
            outcomes.append((job, exc))
        except BaseException as exc:
            outcomes.append((job, exc))
    if batch is not None:
        try:
            batch.commit()
        except BatchLost as exc:
            outcomes = _blame(outcomes, exc)
    for job, error in outcomes:
        if job.done is not None:
            try:
                job.finish(error)
            except BaseException:
                pass  # a report that fails must not stop the writer
    return outcomes


def _blame(outcomes, lost: BatchLost):
    """The outcomes, with the saves a lost transaction held failed by it."""
    ids = set(lost.trace_ids)
    return [(job, lost if job.trace_id in ids else error) for job, error in outcomes]


def _close_backlog() -> None:
    # At exit: the saves handed over are done before the connections close; later ones
    # are done by whoever hands them over.
    wait_for_saves()
    with _backlog.cond:
        _backlog.closed = True
        _backlog.cond.notify_all()
    wait_for_saves()
    if _shipper is not None:
        _shipper.close()  # (after the saves: the writer process ends once it has committed them)


def _backlog_after_fork() -> None:
    # The child has no writer thread, and the saves waiting are the parent's to do. Its
    # lock files are opened anew: a lock is its open file's, which the parent shares.
    global _backlog, _shipper, _turns
    for turn in _turns.files.values():
        if turn.fd is not None:
            os.close(turn.fd)
    _turns = _Turns()
    if _shipper is not None:
        _shipper.forget()
        _shipper = None
    _backlog = _Backlog()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_backlog_after_fork)
# (Exit handlers run last registered first: the saves handed over are done before the
# backends close their connections.)
atexit.register(_close_backlog)
