"""Secrets stay out of traces: values under secret names are recorded as "[redacted]",
and the files sarv makes are its owner's only. End to end, through real subprocesses."""

import os
import stat
import subprocess
import sys
import textwrap

import pytest

import sarv
from sarv import db, serialize

from helpers import sarv as run_sarv, saved_trace

SECRETS = ("hunter2-pw", "tok-123-val", "s3cr3t-attr", "Bearer hdr-456", "slot-key-789", "asgi-hdr-321")

PROGRAM = textwrap.dedent(
    """
    class Account:
        def __init__(self, user, secret):
            self.user = user
            self.secret = secret


    class Client:
        __slots__ = ("name", "api_key")


    def login(user, password):
        account = Account(user, "s3cr3t-attr")
        config = {"token": "tok-123-val", "retries": 3}
        request = {"headers": {"Authorization": "Bearer hdr-456", "Accept": "json"}}
        scope = {"type": "http", "headers": [(b"authorization", b"asgi-hdr-321"), (b"accept", b"*/*")]}
        client = Client()
        client.name, client.api_key = "shop", "slot-key-789"
        return len(password) + len(config) + len(request["headers"]) + len(account.user)


    login("bob", "hunter2-pw")
    """
)


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def stored_bytes(path, trace_id):
    """The database's files as they are on disk, and the trace document they hold,
    decompressed (documents are stored zstd-compressed)."""
    on_disk = b"".join(  # the files in the spool folder beside it included
        p.read_bytes()
        for p in path.parent.rglob("*")
        if p.is_file() and p.relative_to(path.parent).parts[0].startswith(path.name)
    )
    return on_disk, db.load_trace(str(path), trace_id)


def test_secrets_are_redacted_and_the_files_are_private(tmp_path):
    (tmp_path / "program.py").write_text(PROGRAM)
    result = run_sarv("run", "program.py", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    trace_id, _, shown_path = saved_trace(result)
    path = tmp_path / ".sarv" / "traces.sqlite3"
    assert os.path.samefile(shown_path, path)

    on_disk, document = stored_bytes(path, trace_id)
    assert b"[redacted]" in document and b"bob" in document and b"shop" in document
    for secret in SECRETS:
        assert secret.encode() not in on_disk and secret.encode() not in document
    shown = run_sarv("show", "last", "--locals", cwd=tmp_path)
    assert shown.returncode == 0, shown.stderr
    assert "password='[redacted]'" in shown.stdout
    assert "{'token': '[redacted]', 'retries': 3}" in shown.stdout
    assert "secret='[redacted]'" in shown.stdout and "user='bob'" in shown.stdout
    assert "{'headers': {'Authorization': '[redacted]', 'Accept': 'json'}}" in shown.stdout
    assert not any(secret in shown.stdout for secret in SECRETS)
    # (show cuts long lines: the last locals, read from the trace)
    (login,) = [
        r
        for r in db.load_trace_document(str(path), trace_id)["frames_of_interest"]
        if r["type"] == "frame" and r["event"] == "return" and r["qualname"] == "__main__.login"
    ]
    assert login["locals"]["client"] == {"__class__": "__main__.Client", "name": "shop", "api_key": "[redacted]"}
    assert login["locals"]["scope"]["headers"] == [[b"authorization", "[redacted]"], [b"accept", b"*/*"]]

    assert mode(tmp_path / ".sarv") == 0o700
    # A reader holding the database open keeps the write-ahead log files while
    # another run saves.
    with db.open_trace(str(path), trace_id):
        again = run_sarv("run", "program.py", cwd=tmp_path)
        assert again.returncode == 0, again.stderr
        made = sorted(p.name for p in path.parent.iterdir())
        assert "traces.sqlite3-wal" in made and "traces.sqlite3-shm" in made
        private = {name: 0o700 if (path.parent / name).is_dir() else 0o600 for name in made}
        assert {name: mode(path.parent / name) for name in made} == private

    # Exports are private when made, and an existing file keeps its mode.
    shared = tmp_path / "shared.json"
    shared.write_text("")
    os.chmod(shared, 0o644)
    outputs = ["out.json", "out.json.gz", "page.html", "shared.json"]
    for name in outputs:
        form = "html" if name.endswith(".html") else "chrome"
        done = run_sarv("export", trace_id, "--format", form, "-o", name, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
    viewed = run_sarv("view", trace_id, cwd=tmp_path)
    assert viewed.returncode == 0, viewed.stderr
    modes = {name: mode(tmp_path / name) for name in outputs}
    assert modes == {"out.json": 0o600, "out.json.gz": 0o600, "page.html": 0o600, "shared.json": 0o644}
    assert mode(tmp_path / ".sarv" / (trace_id + ".html")) == 0o600
    for name in ("out.json", "page.html"):
        assert not any(secret in (tmp_path / name).read_text() for secret in SECRETS)


def test_pytest_sarv_makes_private_files(tmp_path):
    (tmp_path / "test_login.py").write_text(
        "def login(user, password):\n    return user\n\n\ndef test_login():\n    assert login('bob', 'hunter2-pw') == 'bob'\n"
    )
    env = {k: v for k, v in os.environ.items() if k not in ("SARV_DB", "PYTEST_ADDOPTS")}
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", "--sarv"],
        cwd=str(tmp_path),
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    path = tmp_path / ".sarv" / "traces.sqlite3"
    assert mode(path.parent) == 0o700 and mode(path) == 0o600
    (summary,) = db.list_traces(str(path))
    on_disk, document = stored_bytes(path, summary.trace_id)
    assert b"bob" in document and b"[redacted]" in document
    assert b"hunter2-pw" not in document and b"hunter2-pw" not in on_disk


def test_redaction_is_configured_per_profiler(tmp_path):
    (tmp_path / "pyproject.toml").write_text('[tool.sarv]\nredact_extra = ["*pin*"]\n')

    def pay(card_pin, password, author):
        return author

    def locals_of(profiler):
        (call,) = [
            r
            for r in profiler.load_trace()["frames_of_interest"]
            if r["type"] == "frame" and r["event"] == "call" and r["qualname"].endswith("pay")
        ]
        return call["locals"]

    path = tmp_path / "traces.sqlite3"
    with sarv.profiling(start_dir=tmp_path, db_path=str(path)) as extra:
        pay("1234", "hunter2", "ann")
    with sarv.profiling(start_dir=tmp_path, db_path=str(path), redact=["password"], redact_extra=[]) as replaced:
        pay("1234", "hunter2", "ann")
    with sarv.profiling(start_dir=tmp_path, db_path=str(path), redact=[], redact_extra=[]) as off:
        pay("1234", "hunter2", "ann")
    assert locals_of(extra) == {"card_pin": "[redacted]", "password": "[redacted]", "author": "ann"}
    assert locals_of(replaced) == {"card_pin": "1234", "password": "[redacted]", "author": "ann"}
    assert locals_of(off) == {"card_pin": "1234", "password": "hunter2", "author": "ann"}
    assert serialize.redaction() == serialize.DEFAULT_REDACT  # the process's own, once each stopped

    for bad in (["**"], ["a*b"], ["-_"], "password", [1], ["*time*"], ["Type"], ["*path"]):
        with pytest.raises(sarv.ConfigError, match="^redact"):
            sarv.profiling(start_dir=tmp_path, redact=bad)
