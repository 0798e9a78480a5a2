"""Shared fixtures: the companion modules the native core reaches, and profiler objects."""

import importlib
import os
import sys
import threading
import types

import msgpack
import pytest

import sarv._sarv

TRACE_ID = "trc_01J9ZQ4XG7K2M3N4P5Q6R7S8T9"  # "trc_" + a 26-character ULID text


def _stand_ins():
    """Minimal versions of the companion modules, used only where the real one is missing."""

    def dump(obj):
        return msgpack.packb(obj, default=repr)

    def save_trace_in_sqlite(db_path, trace_id, *, timeout, msgpack):
        pass

    return {
        "serialize": {"dump_msgpack": dump, "dump_msgpack_lightweight_repr": dump},
        "db": {"save_trace_in_sqlite": save_trace_in_sqlite},
        "plugins": {"load_plugin_data": lambda config: []},
        "version": {"__version__": "0.0.0"},
        "git": {"COMMIT_SHA": None},
    }


@pytest.fixture
def companion(monkeypatch):
    """The five companion modules as the native core finds them in sys.modules.

    A real module is used when it imports; otherwise a stand-in is put in sys.modules for
    the test. Tests change their attributes with monkeypatch.
    """
    modules = {}
    for short, attrs in _stand_ins().items():
        name = "sarv." + short
        try:
            module = importlib.import_module(name)
        except ImportError:
            module = types.ModuleType(name)
            module.__dict__.update(attrs)
            monkeypatch.setitem(sys.modules, name, module)
        modules[short] = module
    return types.SimpleNamespace(**modules)


# The core records through sys.monitoring on 3.12+ unless SARV_MONITORING=0 (the profile hook).
MONITORING = os.environ.get("SARV_MONITORING") != "0" and sys.version_info >= (3, 12)


class PythonProfiler:
    """What the companion package passes to register_profiler: a callable with attributes."""

    def __call__(self, *args):
        return None


@pytest.fixture
def make_profiler(companion):
    """Factory of Python profiler objects; keyword arguments override the attributes and
    `omit=("source",)` leaves attributes out. Profile hooks are removed after the test."""

    def make(omit=(), **attrs):
        values = {
            "config": {},
            "db_path": "/tmp/sarv-test.db",
            "one_trace_per_test": False,
            "trace_id": TRACE_ID,
            "source": "pytest",
        }
        values.update(attrs)
        obj = PythonProfiler()
        for key, value in values.items():
            if key not in omit:
                setattr(obj, key, value)
        return obj

    yield make
    reset_profile_hooks()


def reset_profile_hooks():
    sarv._sarv.register_noop_profiler()
    sys.setprofile(None)
    threading.setprofile(None)


@pytest.fixture(autouse=True)
def _no_leaked_profile_hook():
    """Safety net: a hook left installed by one test must not record the next one."""
    yield
    reset_profile_hooks()


@pytest.fixture(autouse=True)
def _saves_made_here(monkeypatch):
    """The saves of this process are made in it: a test of save_later that fills a batch
    would otherwise start the writer process for every test after it (the pytest runs in
    subprocesses choose for themselves)."""
    from sarv.store import batching

    monkeypatch.setattr(batching, "_shipping", "never")


# --- Running code under the profiler and reading what it recorded -----------------------


def deterministic_dump(obj):
    return msgpack.packb(obj, default=repr)


def _raw_records(document):
    """The encoded records of a document, byte for byte as they were buffered."""
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
    unpacker.feed(document)

    def array():
        out = []
        for _ in range(unpacker.read_array_header()):
            start = unpacker.tell()
            unpacker.skip()
            out.append(document[start : unpacker.tell()])
        return out

    of_interest, per_thread = [], {}
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames_of_interest":
            of_interest = array()
        elif key == "frames":
            for _ in range(unpacker.read_map_header()):
                thread_id = unpacker.unpack()
                per_thread[thread_id] = array()
        else:
            unpacker.skip()
    return of_interest, per_thread


def record_parts(record):
    """The raw bytes of each value of one encoded record (a map), by key."""
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
    unpacker.feed(record)
    parts = {}
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        start = unpacker.tell()
        unpacker.skip()
        parts[key] = record[start : unpacker.tell()]
    assert unpacker.tell() == len(record)
    return parts


class Trace:
    """A decoded trace document: `records` (frames_of_interest), `threads` (frames) and the
    raw bytes of both (`raw`, `raw_threads`)."""

    def __init__(self, document):
        self.document = document
        self.doc = msgpack.unpackb(document, strict_map_key=False)
        self.records = self.doc["frames_of_interest"]
        self.threads = self.doc["frames"]
        self.raw, self.raw_threads = _raw_records(document)

    @staticmethod
    def named(records, co_name):
        return [r for r in records if r.get("co_name") == co_name]


class Recording:
    def __init__(self, companion, make_profiler, saved):
        self.companion = companion
        self.make_profiler = make_profiler
        self.saved = saved  # (db_path, trace_id, kwargs) of every save

    def profiler(self, config=None, **attrs):
        return self.make_profiler(config={} if config is None else config, **attrs)

    def run(self, target, *args, config=None, native=sarv._sarv, **attrs):
        """Calls target(*args) with the profiler hooked on this thread; returns
        (result, trace, python profiler object)."""
        profiler = self.profiler(config, **attrs)
        native.register_profiler(profiler)
        try:
            result = target(*args)
        finally:
            native.register_noop_profiler()
            threading.setprofile(None)
        return result, self.trace(profiler), profiler

    @staticmethod
    def trace(profiler):
        """Builds and decodes the trace of a registered Python profiler object."""
        return Trace(profiler.rust_profiler.build_trace())

    @staticmethod
    def module(source, filename="/home/u/project/app/views.py", name="app.views"):
        """Executes source as a module named `name` whose code claims to live in `filename`."""
        namespace = {"__name__": name}
        exec(compile(source, filename, "exec"), namespace)
        return namespace

    @staticmethod
    def line(source, marker):
        """1-based number of the first line of source that contains marker."""
        for number, text in enumerate(source.splitlines(), 1):
            if marker in text:
                return number
        raise LookupError(marker)


@pytest.fixture
def recording(companion, make_profiler, monkeypatch):
    """A deterministic serialiser, no plugins and a recording storage call, plus helpers to
    run code under the profiler and decode the trace."""
    saved = []
    monkeypatch.setattr(companion.serialize, "dump_msgpack", deterministic_dump)
    monkeypatch.setattr(companion.serialize, "dump_msgpack_lightweight_repr", deterministic_dump)
    monkeypatch.setattr(companion.plugins, "load_plugin_data", lambda config: [])
    monkeypatch.setattr(
        companion.db,
        "save_trace_in_sqlite",
        lambda db_path, trace_id, **kwargs: saved.append((db_path, trace_id, kwargs)),
    )
    return Recording(companion, make_profiler, saved)
