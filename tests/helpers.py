"""What several test modules share: running the sarv command and reading what it saved."""

import os
import re
import subprocess
import sys

TIMEOUT = 120
SAVED = re.compile(r"^trace (trc_[0-9A-Z]{26}): (\d+) records saved to (.+)$", re.M)


def sarv(*args, cwd, db_path=None, env=None, timeout=TIMEOUT, **kwargs):
    """`python -m sarv ARGS` in `cwd`, saving to `db_path` (else as configured there)."""
    environment = dict(os.environ)
    environment.pop("SARV_DB", None)
    if db_path is not None:
        environment["SARV_DB"] = str(db_path)
    environment.update(env or {})
    return subprocess.run(
        [sys.executable, "-m", "sarv", *map(str, args)],
        cwd=str(cwd),
        env=environment,
        capture_output=True,
        text=True,
        timeout=timeout,
        **kwargs,
    )


def saved_trace(result):
    """(trace id, records, where) of the line `sarv run` ends with."""
    match = SAVED.search(result.stderr)
    assert match, result.stderr
    return match.group(1), int(match.group(2)), match.group(3)


def frame_records(document):
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records.extend(thread_records)
    return [r for r in records if r["type"] == "frame"]
