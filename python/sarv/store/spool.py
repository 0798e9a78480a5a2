"""Traces left in spools by processes that ended without saving them.

While a program is recorded, the records of its trace are copied a few times a
second to a spool, a file in the folder `<database>.spool` named
`<pid>-<trace_id>` (see sarv.profiler). A clean end saves the trace and removes
the file. A process killed before that (SIGKILL, out of memory, a crash in C
code) leaves it behind: `recover` assembles each such file into the trace's
document, the same bytes a save would have stored of those records, with one
more record at the end of the main thread's, of type "process_ended", saying
that the process ended without saving; stores it under its trace id and
removes the file.

A spool is locked for as long as its process lives (and while a command
recovers it): a file that can be locked belongs to no living process. A trace
already stored under the same id (the process died after its save, before it
removed the file) is left as it is.
"""

from __future__ import annotations

import fcntl
import mmap
import os

__all__ = ["ENDED", "folder_of", "prepare", "recover"]

# What the "process_ended" record of a recovered trace says.
ENDED = "ended without saving its trace (killed, out of memory or crashed); recovered from its spool"


def folder_of(db_path) -> str | None:
    """Where the spools of a database go: beside it; None for a database
    that is not a file (PostgreSQL)."""
    path = os.fspath(db_path)
    if "://" in path:
        return None
    return path + ".spool"


def prepare(db_path) -> str | None:
    """The spool folder of `db_path`, made if need be (readable by its owner
    only, as the records may hold secrets); None when it cannot be made."""
    folder = folder_of(db_path)
    if folder is None:
        return None
    from sarv.store.sqlite import make_folders

    try:
        # Every folder made on the way is private too (the database's own may not exist yet).
        make_folders(os.path.abspath(folder))
    except OSError:
        return None
    return folder if os.path.isdir(folder) and os.access(folder, os.W_OK | os.X_OK) else None


def recover(db_path, timeout: float = 60) -> list:
    """Store the traces of the spools of `db_path` whose processes ended
    without saving them; the ids of those stored, in the order of their files."""
    folder = folder_of(db_path)
    if folder is None:
        return []
    try:
        names = sorted(os.listdir(folder))
    except OSError:
        return []  # no spool folder: nothing was ever spooled there
    recovered = []
    for name in names:
        try:
            trace_id = _recover_file(db_path, os.path.join(folder, name), name, timeout)
        except Exception:
            continue  # (the database busy or unwritable): the file stays for a later command
        if trace_id is not None:
            recovered.append(trace_id)
    return recovered


def _recover_file(db_path, path: str, name: str, timeout: float):
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    except OSError:
        return None  # gone meanwhile (its process saved, or another command recovered it)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            return None  # its process lives, or another command is recovering it
        info = os.fstat(fd)
        if info.st_nlink == 0:
            return None  # recovered by another command while this one waited for it
        if name.startswith("."):
            # Made but not yet named when its process died: holds a header at most.
            _remove(path)
            return None
        trace_id = _store(db_path, fd, info, timeout)
        _remove(path)
        return trace_id
    finally:
        os.close(fd)


def _store(db_path, fd: int, info, timeout: float):
    """The spool's trace stored (its id), or None when it holds none or the
    trace is stored already. A failing save raises, and the file stays."""
    from sarv import _speedups
    from sarv import db as _db

    if info.st_size == 0:
        return None
    with mmap.mmap(fd, 0, access=mmap.ACCESS_READ) as data:
        assembled = _speedups.assemble_spool(data, (info.st_mtime, ENDED))
    if assembled is None:
        return None  # no whole header: its process died as it began the file
    trace_id, _main_thread, document = assembled
    if os.path.exists(db_path) and _db.find_trace(db_path, trace_id, timeout) is not None:
        return None
    _db.save_trace_in_sqlite(db_path, trace_id, timeout=timeout, msgpack=document)
    return trace_id


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
