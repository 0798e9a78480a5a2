"""Instructions of one fresh process under valgrind's callgrind, for the benchmarks."""

from __future__ import annotations

import os
import subprocess
import tempfile


def total_instructions(command, timeout, env=None):
    """Runs `command` (a list) under callgrind and returns its instruction total. A fixed hash
    seed: the same dict layouts, so the same counts from run to run. `env`: the
    environment (default: this process's)."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *command],
            check=True,
            capture_output=True,
            timeout=timeout,
            env=dict(os.environ if env is None else env, PYTHONHASHSEED="0"),
        )
        with open(out) as counts:
            for line in counts:
                if line.startswith(("summary:", "totals:")):
                    return int(line.split()[1])
    raise RuntimeError("callgrind wrote no total")
