"""sarv._sarv: module surface, registration of profiler objects and their configuration."""

import inspect
import pathlib
import sys
import threading

import msgpack
import pytest

import sarv._sarv
from conftest import MONITORING

register = sarv._sarv.register_profiler
stop = sarv._sarv.register_noop_profiler


def traced(x):
    return x + 1


def recorded(rust_profiler):
    doc = msgpack.unpackb(rust_profiler.build_trace(), strict_map_key=False)
    return doc["frames_of_interest"]


@pytest.fixture(autouse=True)
def no_plugins(companion, monkeypatch):
    monkeypatch.setattr(companion.plugins, "load_plugin_data", lambda config: [])


@pytest.fixture
def saved(companion, monkeypatch):
    """Replaces the storage call; returns the list of (args, kwargs) it received."""
    calls = []
    monkeypatch.setattr(companion.db, "save_trace_in_sqlite", lambda *a, **kw: calls.append((a, kw)))
    return calls


def test_module_namespace():
    public = [name for name in vars(sarv._sarv) if not name.startswith("__")]
    assert public == ["register_profiler", "register_noop_profiler"]
    assert sarv._sarv.__doc__ == ""
    assert not hasattr(sarv._sarv, "SarvProfiler")


def test_one_copy_of_the_core_behind_every_module():
    # Each module's own file only hands over to one library beside it: the code of every
    # module, and so the statics it reads (id generators, class facts, caches), are its.
    import sarv._requests
    import sarv._sarv_testing as testing
    import sarv._speedups

    modules = (sarv._sarv, sarv._speedups, sarv._requests, testing)
    functions = (sarv._sarv.register_profiler, sarv._speedups.dump_msgpack, sarv._requests.new_trace_id)
    libraries = {testing.library_of(f) for f in (*functions, testing.new_frame_id)}
    assert len(libraries) == 1
    library = pathlib.Path(libraries.pop()).resolve()
    files = {pathlib.Path(m.__file__).resolve() for m in modules}
    assert library not in files
    assert {f.parent for f in files} == {library.parent}


@pytest.mark.parametrize(
    "name, text_signature",
    [
        ("register_profiler", "(profiler)"),
        ("register_noop_profiler", "()"),
    ],
)
def test_function_signatures(name, text_signature):
    function = getattr(sarv._sarv, name)
    assert function.__text_signature__ == text_signature
    assert str(inspect.signature(function)) == text_signature


def test_profiler_class_surface(make_profiler):
    p = make_profiler()
    register(p)
    stop()
    cls = type(p.rust_profiler)
    assert (cls.__name__, cls.__module__) == ("SarvProfiler", "sarv._sarv")
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == "No constructor defined"
    methods = {
        "save_request_in_db": "($self)",
        "build_trace": "($self)",
        "register_threading_profiler": "($self, _frame, _event, _arg)",
    }
    assert [name for name in vars(cls) if name in methods] == list(methods)
    for name, text_signature in methods.items():
        assert getattr(cls, name).__text_signature__ == text_signature
        bound = str(inspect.signature(getattr(p.rust_profiler, name)))
        assert bound == text_signature.replace("$self, ", "").replace("$self", "")


def test_registration_installs_hook_and_sets_rust_profiler(make_profiler):
    p = make_profiler()
    assert register(p) is None
    assert p.rust_profiler.hooks_this_thread()
    assert (sys.getprofile() is p.rust_profiler) != MONITORING  # else through sys.monitoring
    assert type(p.rust_profiler).__name__ == "SarvProfiler"
    assert stop() is None
    assert sys.getprofile() is None and not p.rust_profiler.hooks_this_thread()


def test_profiler_argument_binding(make_profiler):
    p = make_profiler()
    register(profiler=p)
    stop()
    assert type(p.rust_profiler).__name__ == "SarvProfiler"
    for args, kwargs in [((), {}), ((p, p), {}), ((), {"other": p})]:
        with pytest.raises(TypeError):
            register(*args, **kwargs)


def test_not_callable_is_refused_and_previous_hook_kept(make_profiler):
    class NotCallable:
        pass

    candidate = NotCallable()
    candidate.__dict__.update(vars(make_profiler()))

    def tracer(frame, event, arg):
        return None

    sys.setprofile(tracer)
    try:
        for obj in (42, candidate):
            with pytest.raises(TypeError) as info:
                register(obj)
            assert str(info.value) == "profiler object is not callable"
            assert sys.getprofile() is tracer
    finally:
        sys.setprofile(None)
    assert not hasattr(candidate, "rust_profiler")


@pytest.mark.parametrize(
    "attrs, omit, error, message",
    [
        ({"config": ["not", "a", "dict"]}, (), TypeError, "'list' object cannot be converted to 'PyDict'"),
        (
            {"config": {"filters": {"include_frames": None}}},
            (),
            TypeError,
            "'NoneType' object cannot be converted to 'Sequence'",
        ),
        ({"config": {"filters": {"include_frames": "src/"}}}, (), TypeError, "Can't extract `str` to `Vec`"),
        ({"config": {"filters": {"ignore_frames": "tests/"}}}, (), TypeError, "Can't extract `str` to `Vec`"),
        (
            {"config": {"filters": {"include_frames": ["src/", 3]}}},
            (),
            TypeError,
            "'int' object cannot be converted to 'PyString'",
        ),
        (
            {"config": {"filters": {"include_frames": {"src/"}}}},
            (),
            TypeError,
            "'set' object cannot be converted to 'Sequence'",
        ),
        ({"config": {"sqlite_busy_timeout": -1}}, (), OverflowError, None),
        ({"config": {"sqlite_busy_timeout": 2**64}}, (), OverflowError, None),
        ({"config": {"sqlite_busy_timeout": None}}, (), TypeError, None),
        ({"config": {"sqlite_busy_timeout": 1.5}}, (), TypeError, None),
        ({"one_trace_per_test": 1}, (), TypeError, "'int' object cannot be converted to 'PyBool'"),
        ({"trace_id": 123}, (), TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"source": b"pytest"}, (), TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ({}, ("config",), AttributeError, None),
        ({}, ("db_path",), AttributeError, None),
        ({}, ("source",), AttributeError, None),
        ({}, ("trace_id",), AttributeError, None),
        ({}, ("one_trace_per_test",), AttributeError, None),
    ],
)
def test_bad_profiler_or_config_installs_nothing(make_profiler, attrs, omit, error, message):
    p = make_profiler(omit=omit, **attrs)
    with pytest.raises(error) as info:
        register(p)
    if message is not None:
        assert str(info.value) == message
    assert not hasattr(p, "rust_profiler")
    assert sys.getprofile() is None


@pytest.mark.parametrize(
    "config, timeout",
    [
        ({}, 60),
        ({"sqlite_busy_timeout": 0}, 0),
        ({"sqlite_busy_timeout": 7, "filters": None}, 7),
        ({"filters": {}}, 60),
        ({"filters": {"include_frames": ["src/"], "ignore_frames": ("venv/",)}}, 60),
    ],
)
def test_good_config_and_timeout(make_profiler, saved, config, timeout):
    p = make_profiler(config=config)
    register(p)
    stop()
    p.rust_profiler.save_request_in_db()
    [(_, kwargs)] = saved
    assert kwargs["timeout"] == timeout and type(kwargs["timeout"]) is int


@pytest.mark.parametrize("db_path", [pathlib.Path("/tmp/traces/run.db"), "/tmp/traces/run.db"])
def test_db_path_is_passed_as_its_text(make_profiler, saved, db_path):
    p = make_profiler(db_path=db_path)
    register(p)
    stop()
    p.rust_profiler.save_request_in_db()
    [(args, _)] = saved
    assert args[0] == "/tmp/traces/run.db" and type(args[0]) is str


@pytest.mark.parametrize("value", [1, "yes", None, False, "missing"])
def test_threading_hook_not_installed_without_true(make_profiler, value):
    config = {} if value == "missing" else {"threading": value}
    p = make_profiler(config=config)
    register(p)
    stop()
    assert threading.getprofile() is None


def test_threading_true_installs_threading_hook(make_profiler):
    p = make_profiler(config={"threading": True})
    register(p)
    stop()
    try:
        hook = threading.getprofile()
        assert hook.__name__ == "register_threading_profiler"
        assert hook.__self__ is p.rust_profiler
    finally:
        threading.setprofile(None)


class Unsubscriptable(dict):
    def __getitem__(self, key):
        raise RuntimeError("subscription of the config must not be needed")

    def get(self, key, default=None):
        raise RuntimeError("config.get must not be needed")


def test_dict_subclass_is_read_with_plain_lookups(make_profiler, saved):
    bad_filters = make_profiler(config=Unsubscriptable(filters={"include_frames": "src/"}))
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        register(bad_filters)

    # The ignore list is honoured and the timeout read; the threading hook is only
    # installed after an ordinary subscription, which this dict refuses (silently).
    config = Unsubscriptable(filters={"ignore_frames": ["test_module.py"]}, sqlite_busy_timeout=5, threading=True)
    p = make_profiler(config=config)
    register(p)
    traced(1)
    stop()
    assert threading.getprofile() is None
    p.rust_profiler.save_request_in_db()
    [(_, kwargs)] = saved
    assert kwargs["timeout"] == 5
    assert msgpack.unpackb(kwargs["msgpack"])["frames_of_interest"] == []


def test_events_go_to_the_last_registered_profiler_only(make_profiler):
    first, second = make_profiler(), make_profiler()
    register(first)
    register(second)
    traced(1)
    stop()
    traced(2)  # after the no-op hook: not recorded anywhere
    # The first profiler sees the second one's plugin loading, but nothing after that.
    assert [r for r in recorded(first.rust_profiler) if r["co_name"] == "traced"] == []
    records = recorded(second.rust_profiler)
    assert [(r["co_name"], r["event"]) for r in records] == [("traced", "call"), ("traced", "return")]


@pytest.mark.parametrize(
    "break_plugins, message",
    [
        (lambda mp, c: mp.delattr(c.plugins, "load_plugin_data"), "load_plugin_data should exist"),
        (
            lambda mp, c: mp.setattr(c.plugins, "load_plugin_data", lambda config: 1 / 0),
            "load_plugin_data should be callable",
        ),
        (
            lambda mp, c: mp.setattr(c.plugins, "load_plugin_data", lambda config: ()),
            "load_plugin_data should return a list",
        ),
        (lambda mp, c: mp.setitem(sys.modules, "sarv.plugins", None), "sarv.plugins should always be importable"),
    ],
)
def test_broken_plugin_module_is_an_internal_fault(make_profiler, companion, monkeypatch, break_plugins, message):
    break_plugins(monkeypatch, companion)
    p = make_profiler()
    with pytest.raises(BaseException) as info:
        register(p)
    panic = type(info.value)
    assert (panic.__module__, panic.__qualname__) == ("pyo3_runtime", "PanicException")
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert str(info.value) == message
    assert not hasattr(p, "rust_profiler")
    assert sys.getprofile() is None


def _stub_functions(body) -> dict:
    """{name: [parameter names]} of the functions of a stub's body (a module or a class)."""
    import ast

    found = {}
    for node in body:
        if isinstance(node, ast.FunctionDef):
            a = node.args
            found[node.name] = [p.arg for p in a.posonlyargs + a.args + a.kwonlyargs]
    return found


@pytest.mark.parametrize("module", ["_sarv", "_speedups", "_requests", "_ends"])
def test_stubs_name_what_the_modules_hold(module, make_profiler):
    # The stubs type checkers read (python/sarv/*.pyi) against the built modules: every
    # function of the module in its stub with the parameters of its text signature, and no
    # function in the stub that the module lacks; the same for the profiler's methods.
    import ast
    import importlib

    native = importlib.import_module("sarv." + module)
    import sarv

    tree = ast.parse((pathlib.Path(sarv.__file__).parent / (module + ".pyi")).read_text())
    stubbed = _stub_functions(tree.body)
    builtins = {n: f for n, f in vars(native).items() if not n.startswith("_") and callable(f)}
    assert sorted(stubbed) == sorted(builtins)
    for name, function in builtins.items():
        assert stubbed[name] == list(inspect.signature(function).parameters), name
    if module == "_sarv":
        p = make_profiler()
        register(p)
        stop()
        cls = type(p.rust_profiler)
        (stub_class,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls.__name__]
        methods = _stub_functions(stub_class.body)
        real = {n: m for n, m in vars(cls).items() if not n.startswith("_")}
        assert sorted(methods) == sorted(real)
        for name in real:
            assert methods[name] == ["self"] + list(inspect.signature(getattr(p.rust_profiler, name)).parameters)
