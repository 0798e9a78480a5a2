"""A second process that stores a test suite's traces: the process itself
(see sarv.store.shipping for the end of the process whose traces it stores).

It imports only what saving needs, reads frames of saves from its standard
input, stores what has arrived together (at most a batch) as the sending
process would have, and acknowledges each save on its standard output."""

from __future__ import annotations

import os
import select

from sarv.store.batching import SaveJob, run_jobs
from sarv.store.columns import DescribedDocument
from sarv.store.listeners import add_cut_trace_listener, saved_in_this_process
from sarv.store.schema import note_parent
from sarv.store.shipping import write_all

_PER_BATCH = 64  # saves committed together at most


def serve(source: int = 0, sink: int = 1) -> None:
    """Stores the saves read from `source` and acknowledges each on `sink`
    until `source` ends."""
    import msgpack

    _yield_to_the_program()
    cut = {}
    add_cut_trace_listener(lambda db_path, trace_id, test_name, dropped: cut.__setitem__(trace_id, test_name))
    unpacker = msgpack.Unpacker(raw=False)
    pack = msgpack.Packer(use_bin_type=True).pack
    pending = []
    ended = False
    while not ended or pending:
        # What has arrived is saved together: at most a batch, waiting for no more.
        while not ended and (not pending or (len(pending) < _PER_BATCH and select.select([source], [], [], 0)[0])):
            data = os.read(source, 1 << 20)
            if not data:
                ended = True
                break
            unpacker.feed(data)
            pending.extend(unpacker)
        batch, pending = pending[:_PER_BATCH], pending[_PER_BATCH:]
        if not batch:
            continue
        acks = _store(batch, cut)
        try:
            write_all(sink, pack(acks))
        except OSError:
            pass  # (the sender is gone: what it sent is still stored)


def _yield_to_the_program() -> None:
    # At the lowest priority: wherever the kernel runs this process (woken by a write, often
    # on the core of the program that wrote), the program's threads come first.
    try:
        os.sched_setscheduler(0, os.SCHED_IDLE, os.sched_param(0))
    except (AttributeError, OSError):
        try:
            os.nice(19)
        except OSError:
            pass


def _store(frames, cut: dict) -> list:
    jobs = []
    for _, path, trace_id, timeout, whole, described, parent in frames:
        if described is not None:
            record_count, tail_offset, edges, request = described
            document = DescribedDocument(
                whole, record_count, tail_offset, tuple(edges), None if request is None else tuple(request)
            )
        else:
            document = whole
        if parent is not None:
            note_parent(trace_id, parent)
        jobs.append(SaveJob(path, trace_id, document, timeout, None))
    acks = []
    for (job, error), frame in zip(run_jobs(jobs), frames):
        saved = None if error is not None else saved_in_this_process(job.db_path, job.trace_id)
        if saved is None:
            reason = "not stored" if error is None else str(error) or type(error).__name__
            acks.append([frame[0], reason, None, None, 0, None])
        else:
            row_id, record_count, dropped = saved
            acks.append([frame[0], None, row_id, record_count, dropped, cut.pop(job.trace_id, None)])
    cut.clear()
    return acks
