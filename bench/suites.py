"""Real test suites under `pytest --sarv`, beside the same suites run bare.

Each library's sdist is fetched from PyPI (once, into a cache folder), unpacked,
and its own suite run from the source tree, so that the library's code is the
user's code and recorded. Bare and --sarv runs alternate (the first of each round
takes turns), each --sarv run into a fresh database; a table gives, per suite, the
median seconds of each kind, their ratio and each round's, whether the outcomes
(pytest's counts) are the same, and of the --sarv runs: traces stored, the largest
trace document, the database's size (with its -wal file) and the peak RSS of each
kind.

    python bench/suites.py                              every suite, 3 rounds
    python bench/suites.py --suite packaging --rounds 5
    python bench/suites.py --python /path/to/python3.13 --timeout 600
    python bench/suites.py --install-deps               installs the suites' test
                                                        dependencies into --python's
                                                        environment first

The interpreter (--python) must have pytest and sarv installed. A run past
--timeout is stopped (its process group killed) and reported as such.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CACHE = os.path.join(HERE, ".suites-cache")  # (git-ignored)

# name: (requirement, folder in the sdist, pytest arguments, PYTHONPATH entries, test dependencies)
SUITES = {
    "more-itertools": ("more-itertools==11.2.1", "more_itertools-11.2.1", ["tests"], [], []),
    "packaging": (
        "packaging==26.4",
        "packaging-26.4",
        ["tests/test_specifiers.py", "tests/test_markers.py", "tests/test_requirements.py"],
        ["src"],
        ["pretend"],
    ),
    "toolz": ("toolz==1.2.0", "toolz-1.2.0", ["toolz"], [], []),
    # The same tests against the packaging installed beside pytest (a library, so not
    # recorded): the suite's own test functions are the user's code, as in a project whose
    # package is installed rather than run from its source tree.
    "packaging-installed": (
        "packaging==26.4",
        "packaging-26.4",
        ["tests/test_specifiers.py", "tests/test_markers.py", "tests/test_requirements.py"],
        [],
        ["pretend"],
    ),
}
# Given to both kinds of run: no cache files in the source tree, and no error from
# pytest's notice that an already imported module (an editable install's finder, listed
# as a file of a pytest plugin's distribution) cannot be rewritten, which suites with
# filterwarnings = error turn into a failed start.
COMMON_ARGS = ["-p", "no:cacheprovider", "-W", "ignore::pytest.PytestAssertRewriteWarning"]
_COUNT = re.compile(r"(\d+) (passed|failed|errors?|skipped|xfailed|xpassed|deselected|subtests passed|subtests failed)")


def fetch(requirement: str, folder: str, cache: str) -> str:
    """The unpacked source tree of `requirement`'s sdist, fetched once."""
    tree = os.path.join(cache, folder)
    if os.path.isdir(tree):
        return tree
    os.makedirs(cache, exist_ok=True)
    downloads = tempfile.mkdtemp(dir=cache)
    try:
        subprocess.run(
            [
                sys.executable,
                "-m",
                "pip",
                "download",
                "--no-binary",
                ":all:",
                "--no-deps",
                "-d",
                downloads,
                requirement,
            ],
            check=True,
        )
        [archive] = [name for name in os.listdir(downloads) if name.endswith((".tar.gz", ".zip"))]
        unpacked = tempfile.mkdtemp(dir=cache)
        with tarfile.open(os.path.join(downloads, archive)) as tar:
            if hasattr(tarfile, "data_filter"):
                tar.extractall(unpacked, filter="data")
            else:  # (an sdist from PyPI, on a Python without extraction filters)
                tar.extractall(unpacked)
        os.rename(os.path.join(unpacked, folder), tree)
        shutil.rmtree(unpacked)
    finally:
        shutil.rmtree(downloads, ignore_errors=True)
    return tree


def counts(output: str) -> str:
    """pytest's closing counts ("765 passed, 2 skipped"), from its last summary line."""
    for line in reversed(output.splitlines()):
        if re.search(r" in [\d.]+s", line) and _COUNT.search(line):
            return ", ".join("%s %s" % found for found in _COUNT.findall(line))
    return "no summary"


def run_once(python: str, tree: str, args: list, pythonpath: list, db_path, timeout: float, log: str) -> dict:
    """One run of the suite: seconds, counts, peak RSS (KiB), or "timeout"."""
    env = dict(os.environ)
    for name in ("SARV_DB", "PYTEST_ADDOPTS", "PYTHONPATH"):
        env.pop(name, None)
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join(os.path.join(tree, entry) for entry in pythonpath)
    command = [python, "-m", "pytest", *COMMON_ARGS, *args]
    if db_path is not None:
        command += ["--sarv", "--sarv-db", db_path]
    with open(log, "w") as out:
        started = time.perf_counter()
        process = subprocess.Popen(
            command, cwd=tree, env=env, stdout=out, stderr=subprocess.STDOUT, start_new_session=True
        )
        timed_out = False
        while True:
            # (wait4: this child's own peak RSS, not the largest of every child so far)
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            if pid:
                break
            if time.perf_counter() - started > timeout:
                timed_out = True
                os.killpg(process.pid, signal.SIGKILL)
                pid, status, usage = os.wait4(process.pid, 0)
                break
            time.sleep(0.05)
        seconds = time.perf_counter() - started
        process.returncode = os.waitstatus_to_exitcode(status)
    with open(log) as out:
        output = out.read()
    return {
        "seconds": seconds,
        "timeout": timed_out,
        "counts": "timeout" if timed_out else counts(output),
        "code": process.returncode,
        "rss": usage.ru_maxrss,
        "failed": [line for line in output.splitlines() if line.startswith(("FAILED ", "ERROR "))],
    }


def database_figures(db_path: str) -> dict:
    from sarv import db

    summaries = db.list_traces(db_path) if os.path.exists(db_path) else []
    size = sum(os.path.getsize(p) for p in (db_path, db_path + "-wal") if os.path.exists(p))
    return {
        "traces": len(summaries),
        "largest": max((s.size for s in summaries), default=0),
        "db_bytes": size,
    }


def _mib(n: float) -> str:
    return "%.1f" % (n / 1024 / 1024)


def bench_suite(name: str, options, work: str) -> dict:
    requirement, folder, args, pythonpath, _ = SUITES[name]
    tree = fetch(requirement, folder, options.cache)
    # An untimed collection first: the byte code and pytest's rewritten test modules
    # are cached before either kind of run is timed.
    subprocess.run(
        [options.python, "-m", "pytest", *COMMON_ARGS, "--collect-only", "-q", *args],
        cwd=tree,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.join(tree, e) for e in pythonpath)),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    bare, hooked, figures = [], [], []
    for round_ in range(options.rounds):
        for kind in ("bare", "sarv") if round_ % 2 == 0 else ("sarv", "bare"):
            log = os.path.join(work, "%s-%s-%d.log" % (name, kind, round_))
            db_path = None
            if kind == "sarv":
                db_path = os.path.join(work, "%s-%d.sqlite3" % (name, round_))
            result = run_once(options.python, tree, args, pythonpath, db_path, options.timeout, log)
            if kind == "sarv":
                result.update(database_figures(db_path))
                for suffix in ("", "-wal", "-shm"):
                    if os.path.exists(db_path + suffix):
                        os.remove(db_path + suffix)
                hooked.append(result)
                figures.append(result)
            else:
                bare.append(result)
            print(
                "  %s round %d %s: %s%.2f s, %s (exit %d), peak RSS %s MiB%s"
                % (
                    name,
                    round_ + 1,
                    kind,
                    "TIMEOUT after " if result["timeout"] else "",
                    result["seconds"],
                    result["counts"],
                    result["code"],
                    _mib(result["rss"] * 1024),
                    ", %d traces, largest %d bytes, database %s MiB"
                    % (result["traces"], result["largest"], _mib(result["db_bytes"]))
                    if kind == "sarv"
                    else "",
                ),
                flush=True,
            )
            if result["code"] != 0 and not result["timeout"]:
                # A run that failed keeps its log (the work folder goes at the end): which
                # test, and whether under --sarv only, is the first thing to know.
                kept = os.path.join(options.cache, "logs", os.path.basename(log))
                os.makedirs(os.path.dirname(kept), exist_ok=True)
                shutil.copyfile(log, kept)
                for line in result["failed"][:10]:
                    print("    " + line, flush=True)
                print("    (log kept: %s)" % kept, flush=True)
    return {"bare": bare, "sarv": hooked}


def table(results: dict) -> None:
    header = (
        "suite",
        "bare s",
        "--sarv s",
        "ratio",
        "round ratios",
        "outcomes equal",
        "traces",
        "largest trace",
        "db (+wal) MiB",
        "RSS bare MiB",
        "RSS --sarv MiB",
    )
    rows = [header]
    for name, runs in results.items():
        bare, hooked = runs["bare"], runs["sarv"]
        bare_s = statistics.median(r["seconds"] for r in bare)
        timed_out = [r for r in hooked if r["timeout"]]
        sarv_s = statistics.median(r["seconds"] for r in hooked)
        outcomes = {r["counts"] for r in bare} | {r["counts"] for r in hooked}
        equal = "yes (%s)" % next(iter(outcomes)) if len(outcomes) == 1 else "NO: " + " / ".join(sorted(outcomes))
        finished = [r for r in hooked if not r["timeout"]] or hooked
        rows.append(
            (
                name,
                "%.2f" % bare_s,
                (">" if timed_out else "")
                + "%.2f" % sarv_s
                + (" (%d timed out)" % len(timed_out) if timed_out else ""),
                "%s%.2fx" % (">" if timed_out else "", sarv_s / bare_s),
                # (each --sarv run against the bare run of its round: load that drifts
                # through the session moves these less than the medians')
                " ".join("%.2f" % (h["seconds"] / b["seconds"]) for b, h in zip(bare, hooked)),
                equal,
                "%d" % max(r["traces"] for r in finished),
                "%d B" % max(r["largest"] for r in finished),
                _mib(max(r["db_bytes"] for r in finished)),
                _mib(max(r["rss"] for r in bare) * 1024),
                _mib(max(r["rss"] for r in hooked) * 1024),
            )
        )
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", default=sys.executable, help="interpreter that runs the suites (default: this one)")
    parser.add_argument("--rounds", type=int, default=3, help="bare and --sarv runs of each suite (default 3)")
    parser.add_argument("--suite", action="append", choices=sorted(SUITES), help="only this suite (repeatable)")
    parser.add_argument("--timeout", type=float, default=600, help="seconds after which a run is stopped (default 600)")
    parser.add_argument(
        "--cache", default=DEFAULT_CACHE, help="folder of the fetched sdists (default bench/.suites-cache)"
    )
    parser.add_argument(
        "--install-deps",
        action="store_true",
        help="pip install the suites' test dependencies into --python's environment",
    )
    options = parser.parse_args(argv)
    names = options.suite or list(SUITES)
    if options.install_deps:
        deps = sorted({dep for name in names for dep in SUITES[name][4]})
        if deps:
            subprocess.run([options.python, "-m", "pip", "install", *deps], check=True)
    version = subprocess.run(
        [options.python, "-c", "import sys; print(sys.version.split()[0])"], capture_output=True, text=True, check=True
    ).stdout.strip()
    print("Python %s (%s), %d rounds, timeout %g s" % (version, options.python, options.rounds, options.timeout))
    results = {}
    with tempfile.TemporaryDirectory(prefix="sarv-suites-") as work:
        for name in names:
            results[name] = bench_suite(name, options, work)
    table(results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
