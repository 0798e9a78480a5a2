"""Small helpers shared by the companion package: identifiers, paths and files."""

from __future__ import annotations

import os
import time

__all__ = [
    "CROCKFORD_ALPHABET",
    "new_trace_id",
    "new_ulid",
    "open_private",
    "ulid_timestamp_ms",
]

CROCKFORD_ALPHABET = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
_PAIRS = [first + second for first in CROCKFORD_ALPHABET for second in CROCKFORD_ALPHABET]
_CROCKFORD_VALUE = {c: i for i, c in enumerate(CROCKFORD_ALPHABET)}
_MAX_TIMESTAMP_MS = (1 << 48) - 1
_time_ns = time.time_ns  # bound at import: a program's replacement does not date sarv's ids


def new_ulid(timestamp_ms: int | None = None) -> str:
    """A new ULID in its canonical 26-character Crockford base-32 text.

    48 bits of Unix time in milliseconds followed by 80 random bits from the
    operating system, so texts made in later milliseconds sort after earlier
    ones.
    """
    if timestamp_ms is None:
        timestamp_ms = _time_ns() // 1_000_000
    if not 0 <= timestamp_ms <= _MAX_TIMESTAMP_MS:
        raise ValueError("ULID timestamp out of range: %r" % (timestamp_ms,))
    # Two characters (ten bits) at a time, from three numbers of at most 50 bits: the time
    # (whose first two bits are zero) and the two halves of the random part. (A request
    # makes one: this runs on every request a middleware records.)
    random_bits = os.urandom(10)
    t = timestamp_ms
    a = int.from_bytes(random_bits[:5], "big")
    b = int.from_bytes(random_bits[5:], "big")
    pairs = _PAIRS
    return (
        pairs[t >> 40]
        + pairs[(t >> 30) & 1023]
        + pairs[(t >> 20) & 1023]
        + pairs[(t >> 10) & 1023]
        + pairs[t & 1023]
        + pairs[a >> 30]
        + pairs[(a >> 20) & 1023]
        + pairs[(a >> 10) & 1023]
        + pairs[a & 1023]
        + pairs[b >> 30]
        + pairs[(b >> 20) & 1023]
        + pairs[(b >> 10) & 1023]
        + pairs[b & 1023]
    )


def new_trace_id() -> str:
    """ "trc_" followed by a new ULID: 30 characters."""
    return "trc_" + new_ulid()


def open_private(path, mode: str = "w", **kwargs):
    """open(path, mode) for writing a file that holds recorded values: a
    file it creates is readable and writable by its owner only (0600); an
    existing file is emptied and keeps its mode (the owner's choice)."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        return open(fd, mode, **kwargs)
    except BaseException:
        os.close(fd)
        raise


def ulid_timestamp_ms(ulid: str) -> int:
    """The millisecond timestamp stored in a ULID text (or a "trc_"/"frm_" id)."""
    if len(ulid) == 30 and ulid[3] == "_":
        ulid = ulid[4:]
    if len(ulid) != 26:
        raise ValueError("not a ULID: %r" % (ulid,))
    value = 0
    for char in ulid[:10].upper():
        try:
            value = value * 32 + _CROCKFORD_VALUE[char]
        except KeyError:
            raise ValueError("not a ULID: %r" % (ulid,)) from None
    return value
