"""One trace per web request: WSGI (a real threaded server), Flask, Django,
ASGI (a real server, requests interleaved on one event loop), keep-modes and
the stored request columns."""

import importlib
import os
import re
import sqlite3
import signal
import subprocess
import sys
import textwrap
import threading
import time
import urllib.request

import msgpack
import pytest

from sarv import db
from sarv.config import ConfigError
from sarv.utils import ulid_timestamp_ms

OVERLAPPING = 24


def need(module: str):
    """The framework, or a skip where it is not installed (never in CI, which installs it)."""
    try:
        return importlib.import_module(module)
    except ImportError:
        if os.environ.get("CI"):
            raise
        pytest.skip("%s is not installed" % module)


def records_of(db_path, trace_id):
    document = db.load_trace_document(db_path, trace_id)
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records.extend(thread_records)
    return records


def frames_named(records, co_name):
    return [r for r in records if r.get("type") == "frame" and r.get("co_name") == co_name]


def plain_app_module(tmp_path, body: str) -> str:
    """Writes an app module (user code, so recorded) and returns its folder."""
    folder = tmp_path / "app"
    folder.mkdir(exist_ok=True)
    (folder / "webapp.py").write_text(textwrap.dedent(body))
    return str(folder)


def start_server(args, cwd, env_extra=None):
    """A server in its own process; returns (process, port) once it listens."""
    path = os.pathsep.join(p for p in (cwd, os.environ.get("PYTHONPATH")) if p)  # (the caller's too)
    env = dict(os.environ, PYTHONPATH=path, **(env_extra or {}))
    proc = subprocess.Popen(
        [sys.executable, *args],
        cwd=cwd,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        # Ctrl-C as a server has it, even when the tests run as a background job (which
        # ignores it, and an ignored SIGINT is inherited: uvicorn then exits 0 on it).
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    lines = []
    for line in proc.stdout:
        lines.append(line)
        found = re.search(r"PORT (\d+)|http://127\.0\.0\.1:(\d+)", line)
        if found:
            proc.reader = threading.Thread(target=lambda: [lines.append(rest) for rest in proc.stdout], daemon=True)
            proc.reader.start()
            return proc, int(found.group(1) or found.group(2)), lines
    proc.wait()
    pytest.fail("the server did not start:\n" + "".join(lines))


def stop_server(proc):
    # Ctrl-C: the server's exit handlers run, which store the traces still in the
    # writer thread's hands.
    proc.send_signal(signal.SIGINT)
    try:
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    proc.reader.join(30)
    proc.stdout.close()


def fetch_all(port, paths, headers=None):
    """GETs every path at once, each from its own thread: [(status, headers, body)]."""
    results = [None] * len(paths)

    def get(i, path):
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=60) as response:
                results[i] = (response.status, dict(response.headers), response.read())
        except urllib.error.HTTPError as exc:
            results[i] = (exc.code, dict(exc.headers), exc.read())

    threads = [threading.Thread(target=get, args=(i, p)) for i, p in enumerate(paths)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(90)
    return results


def check_own_calls(db_path, summaries, view_name, helper_name):
    """Each request's trace holds its own view and helper calls, none of another request."""
    for summary in summaries:
        number = int(summary.path.rsplit("/", 1)[1])
        records = records_of(db_path, summary.trace_id)
        views = frames_named(records, view_name)
        helpers = frames_named(records, helper_name)
        # (A coroutine returns at each suspension and is called again when it resumes.)
        events = [r["event"] for r in views]
        assert events[:1] == ["call"] and events[-1:] == ["return"] and len(events) % 2 == 0, summary.path
        assert len(helpers) >= 2 and len(helpers) % 2 == 0, summary.path
        seen = {r["locals"].get("number") for r in helpers + views if r.get("locals") and "number" in r["locals"]}
        assert seen == {number}, (summary.path, seen)
        types = [r.get("type") for r in records]
        assert types.count("start_request") == 1 and types.count("end_request") == 1


# ---------------------------------------------------------------- WSGI


WSGI_APP = """
    import sys, threading
    import sarv.wsgi

    barrier = threading.Barrier(int(sys.argv[2]), timeout=60)

    def work(number, step):
        return number * 10 + step

    def application(environ, start_response):
        number = int(environ["PATH_INFO"].rsplit("/", 1)[1])
        first = work(number, 1)
        barrier.wait()  # every request is in flight at once
        second = work(number, 2)
        start_response("201 Created", [("Content-Type", "text/plain")])
        return [b"%d %d" % (first, second)]

    app = sarv.wsgi.SarvMiddleware(application, db_path=sys.argv[1], trace_header=True)

    if __name__ == "__main__":
        from waitress.server import create_server
        server = create_server(app, host="127.0.0.1", port=0, threads=int(sys.argv[2]) + 4)
        print("PORT", server.effective_port, flush=True)
        server.run()
"""


def test_threaded_wsgi_server_overlapping_requests(tmp_path):
    need("waitress")
    cwd = plain_app_module(tmp_path, WSGI_APP)
    db_path = str(tmp_path / "traces.sqlite3")
    proc, port, output = start_server(["webapp.py", db_path, str(OVERLAPPING)], cwd)
    try:
        results = fetch_all(port, ["/items/%d" % i for i in range(OVERLAPPING)])
    finally:
        stop_server(proc)
    assert all(r is not None and r[0] == 201 for r in results), (results, "".join(output))
    summaries = db.list_traces(db_path)
    assert len(summaries) == OVERLAPPING, "".join(output)
    by_id = {s.trace_id: s for s in summaries}
    for i, (_status, headers, body) in enumerate(results):
        assert body == b"%d %d" % (i * 10 + 1, i * 10 + 2)
        summary = by_id[headers["X-Sarv-Trace"]]
        assert (summary.source, summary.method, summary.path, summary.status) == (
            "request",
            "GET",
            "/items/%d" % i,
            201,
        )
        assert summary.duration is not None and summary.duration > 0
    check_own_calls(db_path, summaries, "application", "work")


def call_wsgi(app, path="/", query="", headers=None, server=None):
    """Calls a WSGI app as a server would; `server(part)` is run for each part of the body."""
    environ = {
        "REQUEST_METHOD": "GET",
        "PATH_INFO": path,
        "SCRIPT_NAME": "",
        "QUERY_STRING": query,
        "SERVER_NAME": "localhost",
        "SERVER_PORT": "80",
        "wsgi.url_scheme": "http",
    }
    for key, value in (headers or {}).items():
        environ["HTTP_" + key.upper().replace("-", "_")] = value
    started = {}

    def start_response(status, response_headers, exc_info=None):
        started["status"], started["headers"] = status, dict(response_headers)

    body = app(environ, start_response)
    parts = []
    try:
        for part in body:
            parts.append(part)
            if server is not None:
                server(part)
    finally:
        if hasattr(body, "close"):
            body.close()
    return started["status"], started["headers"], b"".join(parts)


async def call_asgi(app, path="/", headers=()):
    """A GET of `path` through an ASGI app with an empty body: the response's headers."""
    scope = {"type": "http", "method": "GET", "path": path, "query_string": b"", "headers": list(headers)}
    sent = []

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        sent.append(message)

    await app(scope, receive, send)
    return dict(sent[0]["headers"])


def hello(environ, start_response):
    start_response("200 OK", [])
    return [b"hi"]


def test_keep_modes(tmp_path):  # noqa: PLR0915 (one step after another, each mode in turn)
    from sarv.wsgi import SarvMiddleware

    def stored(**keywords):
        path = tmp_path / ("%d.sqlite3" % len(list(tmp_path.iterdir())))
        app = SarvMiddleware(hello, db_path=str(path), trace_header=True, **keywords)
        return app, str(path)

    app, path = stored()  # every request
    headers = [call_wsgi(app, "/a/%d" % i)[1] for i in range(3)]
    summaries = db.list_traces(path)[::-1]
    assert [h["X-Sarv-Trace"] for h in headers] == [s.trace_id for s in summaries]
    # Each a new id: "trc_" and a ULID of the request's time.
    ids = [h["X-Sarv-Trace"] for h in headers]
    assert len(set(ids)) == 3 and all(re.fullmatch(r"trc_[0-9A-HJKMNP-TV-Z]{26}", i) for i in ids)
    assert all(abs(ulid_timestamp_ms(i) / 1000 - time.time()) < 60 for i in ids)
    # One profiler serves the thread's requests one after the other: each trace is its own.
    assert summaries[0].started < summaries[1].started < summaries[2].started
    for i, summary in enumerate(summaries):
        records = records_of(path, summary.trace_id)
        assert [r["path"] for r in records if r["type"] in ("start_request", "end_request")] == ["/a/%d" % i] * 2
        assert [r["event"] for r in frames_named(records, "hello")] == ["call", "return"]

    app, path = stored(one_in=4)
    for i in range(9):
        call_wsgi(app, "/s/%d" % i)
    assert [s.path for s in db.list_traces(path)] == ["/s/8", "/s/4", "/s/0"]

    app, path = stored(secret="s3cret")  # trigger only
    assert "X-Sarv-Trace" not in call_wsgi(app, "/t/plain")[1]
    call_wsgi(app, "/t/wrong", headers={"X-Sarv": "guess"})
    call_wsgi(app, "/t/wrong-param", query="sarv=guess")
    call_wsgi(app, "/t/header", headers={"X-Sarv": "s3cret"})
    call_wsgi(app, "/t/param", query="a=1&sarv=s3cret")
    assert sorted(s.path for s in db.list_traces(path)) == ["/t/header", "/t/param"]

    app, path = stored(slower_than=3600, secret="s3cret")  # nothing is that slow, but a trigger keeps
    for i in range(3):
        assert "X-Sarv-Trace" not in call_wsgi(app, "/slow/%d" % i)[1]
    call_wsgi(app, "/slow/forced", headers={"X-Sarv": "s3cret"})
    assert [s.path for s in db.list_traces(path)] == ["/slow/forced"]

    app, path = stored(keep="slow", slower_than=0)
    call_wsgi(app, "/slow/any")
    assert [s.path for s in db.list_traces(path)] == ["/slow/any"]

    # Every trace, however large, is handed to the writer thread, the request not waiting
    # for the store (a request's thread storing a large trace waited for a locked store).
    handed = []
    original = db.save_soon
    db.save_soon = lambda *args, **keywords: handed.append((args[1], keywords)) or original(*args, **keywords)
    try:
        app, path = stored()
        call_wsgi(app, "/small")
        call_wsgi(app, "/large")
    finally:
        db.save_soon = original
    by_path = {s.path: s.trace_id for s in db.list_traces(path)}
    assert sorted(by_path) == ["/large", "/small"]
    assert handed == [(by_path["/small"], {"wait": False}), (by_path["/large"], {"wait": False})]

    # A secret beyond ASCII: as a query parameter (percent-encoded UTF-8) and as a header
    # (its UTF-8 bytes, which WSGI hands over decoded as latin-1, ASGI as bytes).
    from sarv.middleware import RequestSettings

    settings = RequestSettings(secret="clé", db_path=str(tmp_path / "x.sqlite3"))
    assert settings.triggered_wsgi({"QUERY_STRING": "a=1&sarv=cl%C3%A9"})
    assert settings.triggered_wsgi({"HTTP_X_SARV": "clé".encode("utf-8").decode("latin-1")})
    assert settings.triggered_asgi({"headers": [(b"x-sarv", "clé".encode("utf-8"))], "query_string": b""})
    assert settings.triggered_asgi({"headers": [], "query_string": b"sarv=cl%C3%A9"})
    assert not settings.triggered_wsgi({"QUERY_STRING": "sarv=cle", "HTTP_X_SARV": "cl\xe9"})

    for bad in (dict(keep="often"), dict(one_in=0), dict(keep="trigger"), dict(keep="slow"), dict(threading=True)):
        with pytest.raises(ConfigError):
            SarvMiddleware(hello, db_path=str(tmp_path / "x.sqlite3"), **bad)
    # Requests that are not recorded leave no profile hook behind.
    assert sys.getprofile() is None


def test_request_inside_other_profilers(tmp_path):  # noqa: C901, PLR0915 (one profiler after another)
    import sarv
    import sarv._sarv
    import sarv.profiler
    from sarv.wsgi import SarvMiddleware

    path = str(tmp_path / "t.sqlite3")

    def after_request(n):
        return n

    def view(environ, start_response):
        start_response("500 Oops", [])
        return [b"x"]

    app = SarvMiddleware(view, db_path=path)
    # Under another sarv profiler: the request is a trace of its own, the outer one resumes.
    with sarv.profiling(db_path=path) as outer:
        call_wsgi(app, "/inner")
        after_request(1)
    request = [s for s in db.list_traces(path) if s.source == "request"]
    assert [(s.path, s.status) for s in request] == [("/inner", 500)]
    assert not frames_named(records_of(path, request[0].trace_id), "after_request")
    outer_records = records_of(path, outer.trace_id)
    assert frames_named(outer_records, "after_request")
    assert not frames_named(outer_records, "view")

    # A body made as it is sent: the code of its parts is the request's; the server's between
    # them is not, and goes to the profiler that was there before.
    def part(n):
        return b"%d" % n

    def streamed(environ, start_response):
        start_response("200 OK", [])
        for n in range(3):
            yield part(n)

    def server_writes(data):
        return len(data)

    with sarv.profiling(db_path=path) as outer:
        assert call_wsgi(SarvMiddleware(streamed, db_path=path), "/streamed", server=server_writes)[2] == b"012"
    [streamed_trace] = [s.trace_id for s in db.list_traces(path) if s.path == "/streamed"]
    records = records_of(path, streamed_trace)
    assert len([r for r in frames_named(records, "part") if r["event"] == "call"]) == 3
    assert not frames_named(records, "server_writes")
    outer_records = records_of(path, outer.trace_id)
    assert len([r for r in frames_named(outer_records, "server_writes") if r["event"] == "call"]) == 3
    assert not frames_named(outer_records, "part")

    # A server that reads the body on another thread: that thread's hook stays its own.
    def its_own(frame, event, arg):
        return None

    started, kept = {}, []
    body = SarvMiddleware(streamed, db_path=path)(
        {"REQUEST_METHOD": "GET", "PATH_INFO": "/elsewhere"}, lambda status, headers: started.update(status=status)
    )

    def read_elsewhere():
        sys.setprofile(its_own)
        kept.append(b"".join(body))
        body.close()
        kept.append(sys.getprofile() is its_own)
        sys.setprofile(None)

    reader = threading.Thread(target=read_elsewhere)
    reader.start()
    reader.join()
    assert kept == [b"012", True] and sys.getprofile() is None
    assert [s.path for s in db.list_traces(path, limit=1)] == ["/elsewhere"]
    # The same under a profiler registered with the core directly (not through sarv.profiler):
    # found through sys.monitoring too, where it records through it.
    direct = sarv.profiler.Profiler({}, db_path=path)
    sarv._sarv.register_profiler(direct)
    try:
        call_wsgi(app, "/direct")
        resumed = direct.rust_profiler.hooks_this_thread()
        after_request(2)
    finally:
        sarv._sarv.register_noop_profiler()
        sys.setprofile(None)
    assert resumed
    direct_records = msgpack.unpackb(direct.rust_profiler.build_trace())["frames_of_interest"]
    assert frames_named(direct_records, "after_request") and not frames_named(direct_records, "view")

    # Under a hook that is not sarv's: not recorded, the hook stays.
    def foreign(frame, event, arg):
        return None

    sys.setprofile(foreign)
    try:
        call_wsgi(app, "/foreign")
        assert sys.getprofile() is foreign
    finally:
        sys.setprofile(None)
    assert "/foreign" not in [s.path for s in db.list_traces(path)]

    # A failing app: the request is recorded with status 500 and the error goes on.
    def broken(environ, start_response):
        raise KeyError("boom")

    with pytest.raises(KeyError):
        call_wsgi(SarvMiddleware(broken, db_path=path), "/broken")
    assert db.list_traces(path, limit=1)[0].status == 500
    assert sys.getprofile() is None


def test_flask_extension(tmp_path):
    flask = need("flask")
    from sarv.flask import Sarv

    path = str(tmp_path / "t.sqlite3")
    app = flask.Flask("shop")
    app.config["SARV"] = {"db_path": path, "trace_header": True}

    def lookup(item):
        return {"item": item}

    @app.before_request
    def check():
        flask.g.checked = True

    @app.route("/items/<int:item>", methods=["POST"])
    def item(item):
        return lookup(item)

    Sarv(app)
    response = app.test_client().post("/items/7")
    assert response.json == {"item": 7}
    [summary] = db.list_traces(path)
    assert response.headers["X-Sarv-Trace"] == summary.trace_id
    assert (summary.method, summary.path, summary.status) == ("POST", "/items/7", 200)
    records = records_of(path, summary.trace_id)
    for name in ("check", "item", "lookup"):
        assert frames_named(records, name), name
    assert summary.record_count == len(records)
    # The rows are filled from what the core and the middleware say of the documents (the
    # second's from what the first taught the writer): the same as their records say.
    assert app.test_client().post("/items/8").json == {"item": 8}
    columns = ("source", "version", "started", "record_count", "test_name", "decode_error", "command")
    columns += ("outcome", "method", "path", "status", "duration")
    summaries = db.list_traces(path)
    assert [s.path for s in summaries] == ["/items/8", "/items/7"]
    for summary in summaries:
        document = db.load_trace(path, summary.trace_id)
        derived = db._derive(document)
        assert [getattr(summary, c) for c in columns] == [getattr(derived, c) for c in columns]
        assert summary.size == len(document)

    # Responses left unread (the body neither read nor closed): the thread's next request,
    # recorded or not, ends the recording, whose trace holds its own request alone.
    path = str(tmp_path / "sampled.sqlite3")
    sampled = flask.Flask("sampled")
    sampled.route("/n/<int:item>")(item)
    Sarv(sampled, db_path=path, one_in=2)
    client = sampled.test_client()
    for n in range(4):
        client.get("/n/%d" % n)  # /n/0 and /n/2 recorded
    assert sys.getprofile() is None
    traces = {s.path: s.trace_id for s in db.list_traces(path)}
    assert sorted(traces) == ["/n/0", "/n/2"]
    for n in (0, 2):
        calls = [r for r in frames_named(records_of(path, traces["/n/%d" % n]), "lookup") if r["event"] == "call"]
        assert len(calls) == 1, n


DJANGO_APP = """
    import sys
    from django.conf import settings

    settings.configure(
        DEBUG=False,
        ROOT_URLCONF=__name__,
        ALLOWED_HOSTS=["testserver"],
        MIDDLEWARE=["sarv.django.SarvMiddleware"],
        SARV={"db_path": sys.argv[1], "trace_header": True},
    )
    import django
    django.setup()
    from django.http import JsonResponse
    from django.urls import path

    def total(n):
        return sum(range(n))

    def view(request, n):
        return JsonResponse({"total": total(n)}, status=202)

    urlpatterns = [path("sum/<int:n>", view)]

    from django.test import Client
    response = Client().get("/sum/5")
    print(response.status_code, response["X-Sarv-Trace"], response.json()["total"])
"""


def test_django_middleware(tmp_path):
    need("django")
    cwd = plain_app_module(tmp_path, DJANGO_APP)
    path = str(tmp_path / "t.sqlite3")
    done = subprocess.run([sys.executable, "webapp.py", path], cwd=cwd, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    status, trace_id, total = done.stdout.split()
    [summary] = db.list_traces(path)
    assert (status, trace_id, total) == ("202", summary.trace_id, "10")
    assert (summary.method, summary.path, summary.status) == ("GET", "/sum/5", 202)
    assert frames_named(records_of(path, trace_id), "total")


def test_request_columns_in_older_databases(tmp_path):
    """A database made before the request columns is read as it is and gains them at the next save."""
    from sarv.wsgi import SarvMiddleware

    path = str(tmp_path / "t.sqlite3")
    document = msgpack.packb({"meta": {"source": "api", "version": "0"}, "frames_of_interest": [], "frames": {}})
    db.save_trace_in_sqlite(path, "trc_old", msgpack=document)
    db.close_connections()
    conn = sqlite3.connect(path)
    for column in ("method", "path", "status", "duration"):
        conn.execute("ALTER TABLE traces DROP COLUMN %s" % column)
    conn.commit()
    conn.close()
    [old] = db.list_traces(path)
    assert (old.trace_id, old.method, old.status) == ("trc_old", None, None)
    call_wsgi(SarvMiddleware(hello, db_path=path), "/new")
    new, old = db.list_traces(path)
    assert (new.path, new.status, old.path) == ("/new", 200, None)
    assert db.find_trace(path, new.trace_id).method == "GET"


# ---------------------------------------------------------------- ASGI


ASGI_APP = """
    import asyncio, socket, sys
    import sarv.asgi
    from starlette.applications import Starlette
    from starlette.middleware import Middleware
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route

    expected = int(sys.argv[2])
    arrived = 0
    everyone = asyncio.Event()

    def work(number, step):
        return number * 10 + step

    async def child(number):
        await asyncio.sleep(0)
        return work(number, 3)

    async def item(request):
        global arrived
        number = request.path_params["number"]
        first = work(number, 1)
        arrived += 1
        if arrived == expected:
            everyone.set()
        await asyncio.wait_for(everyone.wait(), 60)  # every request is in flight at once, on this one loop
        second = work(number, 2)
        third = await asyncio.create_task(child(number))
        return PlainTextResponse("%d %d %d" % (first, second, third), status_code=201)

    app = Starlette(
        routes=[Route("/items/{number:int}", item)],
        middleware=[Middleware(sarv.asgi.SarvMiddleware, db_path=sys.argv[1], trace_header=True)],
    )

    if __name__ == "__main__":
        import uvicorn
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        sock.listen(128)
        print("PORT", sock.getsockname()[1], flush=True)
        uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="off")).run(sockets=[sock])
"""


def test_asgi_server_interleaved_requests(tmp_path):
    need("uvicorn")
    need("starlette")
    cwd = plain_app_module(tmp_path, ASGI_APP)
    db_path = str(tmp_path / "traces.sqlite3")
    proc, port, output = start_server(["webapp.py", db_path, str(OVERLAPPING)], cwd)
    try:
        results = fetch_all(port, ["/items/%d" % i for i in range(OVERLAPPING)])
    finally:
        stop_server(proc)
    assert all(r is not None and r[0] == 201 for r in results), (results, "".join(output))
    summaries = db.list_traces(db_path)
    assert len(summaries) == OVERLAPPING, "".join(output)
    by_id = {s.trace_id: s for s in summaries}
    for i, (_status, headers, body) in enumerate(results):
        assert body == b"%d %d %d" % (i * 10 + 1, i * 10 + 2, i * 10 + 3)
        summary = by_id[headers["x-sarv-trace"]]
        assert (summary.method, summary.path, summary.status) == ("GET", "/items/%d" % i, 201)
    check_own_calls(db_path, summaries, "item", "work")
    for summary in summaries:
        # The task the request started is in its trace (it runs in a copy of the request's context).
        assert len(frames_named(records_of(db_path, summary.trace_id), "work")) == 6


def test_fastapi_and_asgi_modes(tmp_path):
    fastapi = need("fastapi")
    httpx = need("httpx")
    import asyncio

    import sarv
    from sarv.asgi import SarvMiddleware

    path = str(tmp_path / "t.sqlite3")
    app = fastapi.FastAPI()

    def price(item_id):
        return item_id * 2

    @app.get("/items/{item_id}")
    async def read_item(item_id: int):
        return {"price": price(item_id)}

    def tax(item_id):
        return item_id

    @app.get("/tax/{item_id}")
    def read_tax(item_id: int):  # run in a worker thread
        return {"tax": tax(item_id), "hooked": sys.getprofile() is not None}

    app.add_middleware(SarvMiddleware, db_path=path, secret="k", trace_header=True)

    async def run():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            plain = await client.get("/items/2")
            triggered = await client.get("/items/3", headers={"X-Sarv": "k"})
            missing = await client.get("/nothing?sarv=k")
            in_thread = await client.get("/tax/5", headers={"X-Sarv": "k"})
            # Not recorded: its worker thread runs it without a hook.
            unrecorded = [await client.get("/tax/6") for _ in range(3)]
        assert in_thread.json() == {"tax": 5, "hooked": True}
        assert [r.json() for r in unrecorded] == [{"tax": 6, "hooked": False}] * 3
        return plain, triggered, missing

    outer_path = str(tmp_path / "outer.sqlite3")
    try:
        with sarv.profiling(db_path=outer_path) as outer:  # requests are traces of their own under it
            plain, triggered, missing = asyncio.run(run())
    finally:
        threading.setprofile(None)  # set for the threads started after the middleware was made
    assert plain.json() == {"price": 4} and "x-sarv-trace" not in plain.headers
    [found, not_found, taxed] = db.list_traces(path)[::-1]
    assert taxed.path == "/tax/5"
    [thread_call] = [r for r in frames_named(records_of(path, taxed.trace_id), "tax") if r["event"] == "call"]
    assert thread_call["thread"] != "MainThread"
    assert triggered.headers["x-sarv-trace"] == found.trace_id
    assert (found.path, found.status, not_found.path, not_found.status) == ("/items/3", 200, "/nothing", 404)
    assert frames_named(records_of(path, found.trace_id), "price")
    assert frames_named(records_of(outer_path, outer.trace_id), "price")  # the request it did not record
    assert sys.getprofile() is None


@pytest.mark.parametrize(
    "example, modules, requests",
    [("flask_app.py", ["flask"], 3), ("django_app.py", ["django"], 3), ("fastapi_app.py", ["fastapi", "httpx"], 4)],
)
def test_examples(tmp_path, example, modules, requests):
    for module in modules:
        need(module)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ)
    env.pop("SARV_DB", None)
    done = subprocess.run(
        [sys.executable, os.path.join(root, "examples", example), "--demo"],
        cwd=str(tmp_path),
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    listed = subprocess.run(
        [sys.executable, "-m", "sarv", "traces", "--source", "request"],
        cwd=str(tmp_path),
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )
    shown = re.findall(r"trc_\w+", done.stdout)
    assert len(shown) == requests and sorted(shown) == sorted(re.findall(r"trc_\w+", listed.stdout)), listed.stdout
    assert "GET /items/9" in listed.stdout and " 404 " in listed.stdout


def test_finding_the_failing_request(tmp_path, capsys):
    """A Starlette app with the middleware added by add_middleware (inside its
    error middleware): the 500 answer names the failing request's trace, and
    `sarv traces` finds it by status, method, path, duration, request id and
    header; the start of its trace holds the query and headers, secrets
    redacted."""
    need("starlette")
    need("httpx")
    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route
    from starlette.testclient import TestClient

    import sarv.cli
    from sarv.asgi import SarvMiddleware

    path = str(tmp_path / "t.sqlite3")

    def ok(request):
        return PlainTextResponse("ok")

    def fail(request):
        raise RuntimeError("boom")

    app = Starlette(routes=[Route("/ok", ok, methods=["GET", "POST"]), Route("/items/fail", fail)])
    app.add_middleware(SarvMiddleware, db_path=path, keep="every", trace_header=True, secret="k")
    try:
        with TestClient(app, raise_server_exceptions=False) as client:  # runs the lifespan
            plain = client.get("/ok?page=2&token=abc&sarv=k", headers={"Authorization": "Bearer s", "X-Tenant": "blue"})
            posted = client.post("/ok", headers={"X-Request-ID": "req-42"})
            failed = client.get("/items/fail?x=1", headers={"X-Request-ID": "req-43"})
    finally:
        threading.setprofile(None)
    assert failed.status_code == 500 and plain.status_code == 200
    db.wait_for_saves(path)
    by_id = {s.trace_id: s for s in db.list_traces(path)}
    assert len(by_id) == 3
    failing = by_id[failed.headers["x-sarv-trace"]]
    assert (failing.method, failing.path, failing.status) == ("GET", "/items/fail", 500)
    assert by_id[posted.headers["x-sarv-trace"]].method == "POST"

    from sarv.cli.traces import request_start

    start = request_start(path, plain.headers["x-sarv-trace"])
    assert start["query"] == "page=2&token=[redacted]&sarv=[redacted]"
    assert start["headers"]["authorization"] == "[redacted]" and start["headers"]["x-tenant"] == "blue"

    def listed(*args):
        capsys.readouterr()
        assert sarv.cli.main(["traces", "--db", path, *args]) == 0
        return set(re.findall(r"trc_\w+", capsys.readouterr().out))

    plain_id, posted_id, failed_id = (r.headers["x-sarv-trace"] for r in (plain, posted, failed))
    assert listed("--status", "5xx") == listed("--status", "404,500-503") == {failed_id}
    assert listed("--status", "2xx,4xx") == {plain_id, posted_id}
    assert listed("--method", "post") == {posted_id}
    assert listed("--path", "/items/*") == listed("--path", "fail") == {failed_id}
    assert listed("--path", "/ok", "--method", "GET,PUT") == {plain_id}
    assert listed("--slower-than", "0ms") == {plain_id, posted_id, failed_id}
    assert listed("--faster-than", "0") == set()
    assert listed("--request-id", "req-43") == {failed_id}
    assert listed("--request-id", posted_id) == {posted_id}
    assert listed("--header", "x-tenant=blue") == listed("--header", "X-Tenant") == {plain_id}
    assert listed("--header", "x-tenant=red") == set()
    assert sarv.cli.main(["traces", "--db", path, "--status", "5x"]) != 0


STOPPED_APP = """
    import socket, sys
    import sarv.asgi
    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route

    def work(number):
        return number * 2

    def item(request):
        return PlainTextResponse(str(work(request.path_params["number"])))

    app = Starlette(routes=[Route("/items/{number:int}", item)])
    app.add_middleware(sarv.asgi.SarvMiddleware, db_path=sys.argv[1], trace_header=True)

    if __name__ == "__main__":
        import uvicorn
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        sock.listen(128)
        print("PORT", sock.getsockname()[1], flush=True)
        uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="on")).run(sockets=[sock])
"""


@pytest.mark.parametrize("stop", [signal.SIGTERM, signal.SIGINT])
def test_uvicorn_stopped_keeps_every_answered_request(tmp_path, stop):
    """uvicorn raises SIGTERM or SIGINT again after its graceful shutdown (SIGTERM
    without a handler then ends the process at once): the traces of the requests
    it answered are stored first, even those still waiting for a database locked
    by another process when the signal came."""
    need("uvicorn")
    need("starlette")
    cwd = plain_app_module(tmp_path, STOPPED_APP)
    db_path = str(tmp_path / "traces.sqlite3")
    proc, port, output = start_server(["webapp.py", db_path], cwd)
    lock = None
    try:
        [first] = fetch_all(port, ["/items/0"])
        assert db.wait_for_saves(db_path) and first[0] == 200
        while not db.list_traces(db_path):
            time.sleep(0.05)  # (the server's writer thread stores it)
        lock = sqlite3.connect(db_path, isolation_level=None, timeout=60)
        lock.execute("BEGIN IMMEDIATE")  # the server's saves wait for it
        answered = [first] + fetch_all(port, ["/items/%d" % i for i in range(1, 9)])
        proc.send_signal(stop)
        try:
            proc.wait(timeout=1)  # (without the wait at shutdown, the process is gone by now)
        except subprocess.TimeoutExpired:
            pass
        lock.execute("ROLLBACK")
        assert proc.wait(timeout=60) != 0
    finally:
        if lock is not None:
            lock.close()
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        proc.reader.join(30)
        proc.stdout.close()
    assert all(status == 200 for status, _, _ in answered), "".join(output)
    stored = {s.trace_id: s.path for s in db.list_traces(db_path)}
    assert {headers["x-sarv-trace"]: "/items/%d" % i for i, (_, headers, _) in enumerate(answered)} == stored, "".join(
        output
    )


def test_slow_by_own_time_under_an_event_loop(tmp_path):
    """ "slow" under ASGI decides by the request's own time: a quick request that
    waited for the loop while another blocked it is not kept; the blocking one is,
    its end record saying the own time it was judged by."""
    need("starlette")
    httpx = need("httpx")
    import asyncio

    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route

    from sarv.asgi import SarvMiddleware

    path = str(tmp_path / "t.sqlite3")
    blocking = 1.0
    started = asyncio.Event()

    async def quick(request):
        started.set()
        await asyncio.sleep(0)  # the blocking request's step runs here, before this one resumes
        return PlainTextResponse("quick")

    async def block(request):
        await started.wait()
        time.sleep(blocking)  # the loop's thread: the other request waits for it
        return PlainTextResponse("blocked")

    app = Starlette(routes=[Route("/quick", quick), Route("/block", block)])
    app.add_middleware(SarvMiddleware, db_path=path, slower_than=blocking / 2, trace_header=True)

    async def run():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            return await asyncio.gather(client.get("/block"), client.get("/quick"))

    began = time.perf_counter()
    blocked, waited = asyncio.run(run())
    assert time.perf_counter() - began >= blocking  # the quick one's answer came after the block too
    assert "x-sarv-trace" in blocked.headers and "x-sarv-trace" not in waited.headers
    db.wait_for_saves(path)
    [kept] = db.list_traces(path)
    assert kept.path == "/block" and kept.duration >= blocking
    [end] = [r for r in records_of(path, kept.trace_id) if r.get("type") == "end_request"]
    assert blocking <= end["own_duration"] <= end["duration"]


@pytest.mark.parametrize("holder", ["sqlite", "writers' turn"])
def test_requests_never_wait_for_a_locked_store(tmp_path, monkeypatch, caplog, capsys, holder):  # noqa: PLR0915
    """Another process holds the database's write lock (or the turn of the writers into
    it, which the server's workers take through the lock file beside it): the requests
    are answered all the same (they did not wait in the backlog); the traces past the
    saves that may wait are dropped, counted in the log and by `sarv traces`, and the
    rest stored once the lock is released."""
    need("starlette")
    httpx = need("httpx")
    import asyncio

    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route

    import sarv.cli
    from sarv.asgi import SarvMiddleware
    from sarv.store import batching

    path = str(tmp_path / "t.sqlite3")

    def item(request):
        return PlainTextResponse("x")

    app = Starlette(routes=[Route("/items/{n:int}", item)])
    app.add_middleware(SarvMiddleware, db_path=path, trace_header=True)
    requests = 8

    async def run():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            first = await client.get("/items/0")
            db.wait_for_saves(path)  # the file exists, with its schema
            if holder == "sqlite":
                lock = sqlite3.connect(path, isolation_level=None)
                lock.execute("BEGIN IMMEDIATE")
            else:
                import fcntl

                turn = os.open(path + batching.TURNS_SUFFIX, os.O_RDWR | os.O_CREAT)
                fcntl.flock(turn, fcntl.LOCK_EX)
            try:
                monkeypatch.setattr(batching, "_WAITING_SAVES", 2)
                answered = [await client.get("/items/%d" % i) for i in range(1, requests)]
                reader = sqlite3.connect(path)
                try:  # (nothing written while the lock is held: the first request's trace alone)
                    assert reader.execute("SELECT count(*) FROM traces").fetchone()[0] == 1
                finally:
                    reader.close()
            finally:
                if holder == "sqlite":
                    lock.execute("ROLLBACK")
                    lock.close()
                else:
                    os.close(turn)  # (its lock with it)
            return [first] + answered

    done = []
    caplog.set_level("WARNING", "sarv")
    runner = threading.Thread(target=lambda: done.extend(asyncio.run(run())))
    runner.start()
    runner.join(120)  # (a request waiting for the writer would wait for the lock's holder: for ever)
    assert not runner.is_alive() and [r.status_code for r in done] == [200] * requests
    db.wait_for_saves(path)
    from sarv import middleware

    middleware._dropped.say_all()
    stored = {s.trace_id for s in db.list_traces(path)}
    named = {r.headers.get("x-sarv-trace") for r in done} - {None}
    dropped = requests - len(stored)
    assert stored <= named and len(named) == requests and 1 <= dropped <= requests - 3
    said = [r.getMessage() for r in caplog.records if "were dropped" in r.getMessage()]
    assert sum(int(m.split()[1]) for m in said) == dropped == middleware.dropped_traces(path)
    capsys.readouterr()
    assert sarv.cli.main(["traces", "--db", path]) == 0
    assert "(%d traces of requests were dropped" % dropped in capsys.readouterr().out


def test_slow_only_records_from_when_the_request_is_slow(tmp_path, monkeypatch):  # noqa: C901, PLR0915 (WSGI, then ASGI)
    """keep="slow": a request runs without a hook until it has taken slower_than; then its
    thread (WSGI), or the loop's thread and the worker running its work (ASGI), is hooked
    from outside and its calls from then on are recorded. The trace says so: the end
    record's recorded_from and stack_then. (3.12+: recorded from the start, as before.)"""
    fastapi = need("fastapi")
    httpx = need("httpx")
    import asyncio

    from sarv.web import asgi as asgi_part, late, threads

    threshold = 1.0  # (quick requests stay far below it; slow ones wait until armed)
    armed = threading.Event()
    for cls in (threads._Recording, asgi_part._LateRequest):
        original = cls.arm_late

        def arm_late(self, original=original):
            original(self)
            armed.set()

        monkeypatch.setattr(cls, "arm_late", arm_late)

    def until_armed():
        # The request is slow: it waits for the watchdog's arming, or past the threshold.
        if late.POSSIBLE:
            assert armed.wait(30)
        else:
            time.sleep(threshold * 1.2)

    def before():
        return 1

    def after():
        return 2

    def check(path, kept, endpoint, in_stack):
        records = records_of(path, kept.trace_id)
        [end] = [r for r in records if r.get("type") == "end_request"]
        # (its own time: never more than its time; work in a worker thread counted once)
        assert end.get("own_duration", 0) <= end["duration"]
        events = [r["event"] for r in frames_named(records, endpoint)]
        assert [r["event"] for r in frames_named(records, "after")] == ["call", "return"]
        if not late.POSSIBLE:
            # (a coroutine's suspensions may show as a call and return each)
            assert frames_named(records, "before") and events[0] == "call" and events[-1] == "return"
            assert "recorded_from" not in end
            return
        # Called before the hook came: not in the trace; the endpoint shows its return only
        # (a coroutine: its resumption once the hook came, and its return).
        assert not frames_named(records, "before") and events == (["return"] if in_stack else ["call", "return"])
        assert threshold <= end["recorded_from"] <= end["duration"]
        if in_stack:
            assert any(re.search(r"[ .]%s$" % endpoint, frame) for frame in end["stack_then"])
        assert [r["type"] for r in records].count("start_request") == 1

    # WSGI: the request's own thread.
    from sarv.wsgi import SarvMiddleware

    seen = []

    def wsgi_app(environ, start_response):
        seen.append(sys.getprofile() is not None)
        if environ["PATH_INFO"] == "/slow":
            before()
            until_armed()
            after()
        start_response("200 OK", [])
        return [b"ok"]

    wsgi_path = str(tmp_path / "wsgi.sqlite3")
    app = SarvMiddleware(wsgi_app, db_path=wsgi_path, slower_than=threshold, trace_header=True)
    answers = [call_wsgi(app, p) for p in ("/quick", "/slow", "/quick")]
    if late.POSSIBLE:  # (3.12+ records from the start, through sys.monitoring or a profile hook)
        assert seen == [False] * 3  # no hook on the quick ones, nor on the slow one at first
    assert ["X-Sarv-Trace" in headers for _, headers, _ in answers] == [False, True, False]
    db.wait_for_saves(wsgi_path)
    [kept] = db.list_traces(wsgi_path)
    assert kept.path == "/slow" and kept.trace_id == answers[1][1]["X-Sarv-Trace"]
    check(wsgi_path, kept, "wsgi_app", True)
    assert sys.getprofile() is None

    # ASGI: a def endpoint in a worker thread, an async one on the loop's thread.
    asgi_path = str(tmp_path / "asgi.sqlite3")
    api = fastapi.FastAPI()

    @api.get("/quick")
    def quick():
        return {"hooked": sys.getprofile() is not None}

    @api.get("/slow")
    def slow_in_thread():
        before()
        until_armed()
        after()
        return {"hooked": sys.getprofile() is not None}

    @api.get("/aslow")
    async def slow_on_loop():
        before()
        while late.POSSIBLE and not armed.is_set():
            await asyncio.sleep(0.01)
        if not late.POSSIBLE:
            await asyncio.sleep(threshold * 1.2)
        after()
        return {"hooked": sys.getprofile() is not None}

    api.add_middleware(asgi_part.AsgiMiddleware, db_path=asgi_path, slower_than=threshold, trace_header=True)

    async def run():
        transport = httpx.ASGITransport(app=api)
        async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            answers = []
            for p in ("/quick", "/slow", "/quick", "/aslow", "/quick"):
                armed.clear()
                answers.append(await client.get(p))
            return answers

    answers = asyncio.run(run())
    assert [a.json()["hooked"] for a in answers] == [
        not late.POSSIBLE,
        True,
        not late.POSSIBLE,
        True,
        not late.POSSIBLE,
    ]
    db.wait_for_saves(asgi_path)
    kept = {s.path: s for s in db.list_traces(asgi_path)}
    assert sorted(kept) == ["/aslow", "/slow"]
    check(asgi_path, kept["/slow"], "slow_in_thread", True)
    check(asgi_path, kept["/aslow"], "slow_on_loop", False)
    assert sys.getprofile() is None


def test_a_task_outliving_its_request_is_in_no_later_trace(tmp_path):  # noqa: C901 (the app, its task and the driver)
    """Requests on one loop thread go on with the profilers of requests that are over: a
    task a request started (in a copy of its context) that runs on after the request
    ended is recorded in neither its trace nor the trace of the request whose profiler
    was its request's; each trace holds its own request's calls and its id is its own."""
    import asyncio

    from sarv.asgi import SarvMiddleware

    path = str(tmp_path / "t.sqlite3")
    go, done = None, None

    def orphan():
        return 3

    def own_work(name):
        return name

    async def outliving():
        await go.wait()
        orphan()
        done.set()

    tasks = []

    async def app(scope, receive, send):
        own_work(scope["path"])
        if scope["path"] == "/starts":
            tasks.append(asyncio.create_task(outliving()))
        else:
            go.set()
            await done.wait()  # the first request's task runs while this one is recorded
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"ok"})

    middleware = SarvMiddleware(app, db_path=path, trace_header=True)

    async def call(path_):
        return (await call_asgi(middleware, path_))[b"x-sarv-trace"].decode()

    async def run():
        nonlocal go, done
        go, done = asyncio.Event(), asyncio.Event()
        first = await call("/starts")
        second = await call("/waits")
        third = await call("/after")  # (done is set: quick)
        await asyncio.gather(*tasks)
        return first, second, third

    ids = asyncio.run(run())
    assert len(set(ids)) == 3
    db.wait_for_saves(path)
    for trace_id, name in zip(ids, ("/starts", "/waits", "/after")):
        records = records_of(path, trace_id)
        assert not frames_named(records, "orphan"), name
        assert [r["locals"]["name"] for r in frames_named(records, "own_work") if r["event"] == "call"] == [name]
        [start] = [r for r in records if r.get("type") == "start_request"]
        assert start["path"] == name
    assert sys.getprofile() is None


def test_requests_not_recorded_run_unhooked_beside_a_recorded_one(tmp_path):  # noqa: C901 (apps, task, driver)
    """Under an event loop a recorded request has the hook only during its own steps (and
    its tasks'), before 3.12: the requests the loop interleaves meanwhile, not recorded, run
    without it. The recorded one's calls after each suspension, and its task's, are in its
    trace."""
    import asyncio

    from sarv.asgi import SarvMiddleware

    path = str(tmp_path / "t.sqlite3")
    resumed = None
    hooked_in_other = []

    def own_work(step):
        return step

    async def child():
        own_work("task")

    async def inner_app(scope, receive, send):
        own_work("inner")
        await send({"type": "http.response.start", "status": 200, "headers": []})

    async def sent(message):
        pass

    inner = SarvMiddleware(inner_app, db_path=path)  # a middleware inside another

    async def app(scope, receive, send):
        if scope["path"] == "/recorded":
            own_work("first")
            await inner(dict(scope, path="/inner"), receive, sent)  # (no suspension)
            own_work("after inner")
            await resumed.wait()  # the other request runs meanwhile
            own_work("second")
            await asyncio.create_task(child())
        else:
            hooked_in_other.append(sys.getprofile() is not None)
            resumed.set()
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"ok"})

    middleware = SarvMiddleware(app, db_path=path, secret="k", trace_header=True)

    async def call(path_, headers):
        return (await call_asgi(middleware, path_, headers)).get(b"x-sarv-trace")

    async def run():
        nonlocal resumed
        resumed = asyncio.Event()
        return await asyncio.gather(call("/recorded", [(b"x-sarv", b"k")]), call("/other", []))

    recorded, other = asyncio.run(run())
    assert other is None and hooked_in_other == [sys.version_info >= (3, 12)]
    db.wait_for_saves(path)
    records = records_of(path, recorded.decode())
    assert sorted(r["locals"]["step"] for r in frames_named(records, "own_work") if r["event"] == "call") == [
        "after inner",
        "first",
        "second",
        "task",
    ]
    [inner_trace] = [s for s in db.list_traces(path) if s.path == "/inner"]
    inner_records = records_of(path, inner_trace.trace_id)
    assert [r["locals"]["step"] for r in frames_named(inner_records, "own_work") if r["event"] == "call"] == ["inner"]
    assert sys.getprofile() is None
