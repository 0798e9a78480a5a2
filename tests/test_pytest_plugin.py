"""`pytest --sarv`: one trace per test, end to end on a small suite run by a
real pytest in a subprocess."""

import importlib.metadata
import os
import re
import signal
import subprocess
import sys
import textwrap

import pytest

from sarv import db

TIMEOUT = 180

CONFTEST = textwrap.dedent(
    """
    import pytest


    def open_resource(name):
        return {"name": name, "open": True}


    def close_resource(resource):
        resource["open"] = False
        return resource


    @pytest.fixture
    def resource():
        handle = open_resource("db")
        yield handle
        close_resource(handle)


    def fail_to_connect():
        raise ConnectionError("no server")


    @pytest.fixture
    def server():
        fail_to_connect()
    """
)

TESTS = textwrap.dedent(
    """
    import threading

    import pytest

    import sarv


    def double(x):
        return x * 2


    def test_passes(resource):
        assert double(2) == 4


    def test_fails():
        assert double(2) == 5


    def test_fixture_errors(server):
        double(1)


    @pytest.mark.skip(reason="not today")
    def test_skipped():
        double(3)


    @pytest.mark.xfail(reason="known")
    def test_expected_failure():
        assert double(3) == 7


    def test_profiles_itself(tmp_path):
        with sarv.profiling(db_path=str(tmp_path / "own.db")) as profiler:
            double(10)
        assert profiler.record_count == 2


    def test_after_own_profiling():
        assert double(11) == 22


    class TestGroup:
        @pytest.mark.parametrize("n", [1, 2])
        def test_param(self, n):
            assert double(n) == 2 * n
    """
)

EXPECTED = {
    "test_suite.py::test_passes": "passed",
    "test_suite.py::test_fails": "failed",
    "test_suite.py::test_fixture_errors": "error",
    "test_suite.py::test_skipped": "skipped",
    "test_suite.py::test_expected_failure": "xfailed",
    "test_suite.py::test_profiles_itself": "passed",
    "test_suite.py::test_after_own_profiling": "passed",
    "test_suite.py::TestGroup::test_param[1]": "passed",
    "test_suite.py::TestGroup::test_param[2]": "passed",
}


def run(args, cwd, env_db=None, module="pytest", env=None):
    env = dict(os.environ, **(env or {}))
    env.pop("SARV_DB", None)
    env.pop("PYTEST_ADDOPTS", None)
    if env_db is not None:
        env["SARV_DB"] = str(env_db)
    command = [sys.executable, "-m", module, *map(str, args)]
    if module == "pytest":
        command[3:3] = ["-p", "no:cacheprovider"]
    return subprocess.run(command, cwd=str(cwd), env=env, capture_output=True, text=True, timeout=TIMEOUT)


@pytest.fixture(scope="module")
def suite(tmp_path_factory):
    """The sample suite run once with --sarv: (folder, database, pytest result)."""
    folder = tmp_path_factory.mktemp("suite")
    (folder / "conftest.py").write_text(CONFTEST)
    (folder / "test_suite.py").write_text(TESTS)
    path = folder / "traces.sqlite3"
    result = run(["-q", "--sarv", "--sarv-db", path], folder)
    return folder, path, result


def records_of(path, summary):
    document = db.load_trace_document(str(path), summary.trace_id)
    assert document["frames"] == {}  # threading is off by default
    return document["frames_of_interest"]


def test_the_plugin_is_registered_for_pytest():
    entry_points = importlib.metadata.entry_points(group="pytest11")
    assert [ep.value for ep in entry_points if ep.name == "sarv"] == ["sarv.pytest_plugin"]


def test_one_trace_per_test_with_names_and_outcomes(suite):
    folder, path, result = suite
    assert result.returncode == 1, result.stdout + result.stderr  # a test failed
    assert re.search(r"1 failed, 5 passed, 1 skipped, 1 xfailed.*1 error", result.stdout), result.stdout
    assert "sarv: 9 of 9 tests traced into %s" % path in result.stdout

    summaries = [s for s in db.list_traces(str(path))]
    assert sorted(s.test_name for s in summaries) == sorted(EXPECTED)
    assert len({s.trace_id for s in summaries}) == len(summaries)
    assert {s.source for s in summaries} == {"pytest"}
    # Saved in the order the tests ran (the listing is newest first).
    assert [s.test_name for s in reversed(summaries)] == list(EXPECTED)

    for summary in summaries:
        records = records_of(path, summary)
        if summary.test_name == "test_suite.py::test_profiles_itself":
            continue  # see test_a_test_that_profiles_code_itself_...
        start, end = records[0], records[-1]
        assert (start["type"], start["node_id"]) == ("start_test", summary.test_name)
        assert (end["type"], end["node_id"]) == ("end_test", summary.test_name)
        assert end["outcome"] == EXPECTED[summary.test_name], summary.test_name
        boundaries = [r for r in records if r["type"] in ("start_test", "end_test")]
        assert boundaries == [start, end]
        frames = [r for r in records if r["type"] == "frame"]
        # Nothing of pytest itself or of sarv is recorded.
        assert all(r["path"].split(":")[0] in ("conftest.py", "test_suite.py") for r in frames), summary.test_name


def names_in(path, test_name):
    [summary] = [s for s in db.list_traces(str(path)) if s.test_name == test_name]
    return [(r["co_name"], r["event"]) for r in records_of(path, summary) if r["type"] == "frame"]


def test_setup_call_and_teardown_are_inside_the_tests_trace(suite):
    _, path, _ = suite
    assert names_in(path, "test_suite.py::test_passes") == [
        ("resource", "call"),  # setup: the fixture runs up to its yield
        ("open_resource", "call"),
        ("open_resource", "return"),
        ("resource", "return"),
        ("test_passes", "call"),  # the test itself
        ("double", "call"),
        ("double", "return"),
        ("test_passes", "return"),
        ("resource", "call"),  # teardown: the fixture resumes after its yield
        ("close_resource", "call"),
        ("close_resource", "return"),
        ("resource", "return"),
    ]
    # A fixture that raises: its records are there, the test never ran.
    assert names_in(path, "test_suite.py::test_fixture_errors") == [
        ("server", "call"),
        ("fail_to_connect", "call"),
        ("fail_to_connect", "return"),
        ("server", "return"),
    ]
    assert names_in(path, "test_suite.py::test_skipped") == []
    # Each test's trace holds its own calls only.
    assert names_in(path, "test_suite.py::TestGroup::test_param[2]") == [
        ("test_param", "call"),
        ("double", "call"),
        ("double", "return"),
        ("test_param", "return"),
    ]


def test_a_test_that_profiles_code_itself_does_not_end_the_session_trace(suite):
    _, path, _ = suite
    # The test's own profiler took the hook over: its trace ends there,
    # without an end record ...
    [summary] = [s for s in db.list_traces(str(path)) if s.test_name == "test_suite.py::test_profiles_itself"]
    records = records_of(path, summary)
    assert records[0]["type"] == "start_test"
    assert (records[1]["co_name"], records[1]["event"]) == ("test_profiles_itself", "call")
    assert "end_test" not in [r["type"] for r in records]
    assert "double" not in [r.get("co_name") for r in records]  # in the test's own trace
    # ... and the next test is recorded all the same.
    assert names_in(path, "test_suite.py::test_after_own_profiling") == [
        ("test_after_own_profiling", "call"),
        ("double", "call"),
        ("double", "return"),
        ("test_after_own_profiling", "return"),
    ]


OLD_PLUGGY = """
import pytest

_hookimpl = pytest.hookimpl


def hookimpl(*args, **kwargs):  # as pluggy before 1.1, which has no new-style wrappers
    if "wrapper" in kwargs:
        raise TypeError("unexpected keyword argument 'wrapper'")
    return _hookimpl(*args, **kwargs)


pytest.hookimpl = hookimpl
"""


def test_old_style_hook_wrappers_trace_the_same(suite):
    # Where pluggy has no new-style wrappers the plugin's are old-style: the same traces.
    folder, path, result = suite
    (folder / "old_pluggy.py").write_text(OLD_PLUGGY)  # (imported before the plugin by -p)
    old_path = folder / "old.sqlite3"
    old = run(["-q", "-p", "old_pluggy", "--sarv", "--sarv-db", old_path, "test_suite.py"], folder)
    assert "sarv: 9 of 9 tests traced" in old.stdout, old.stdout + old.stderr
    assert old.stdout.splitlines()[-1].split(" in ")[0] == result.stdout.splitlines()[-1].split(" in ")[0]

    def described(path):
        return {
            s.test_name: (s.outcome, [(r["type"], r.get("co_name"), r.get("event")) for r in records_of(path, s)])
            for s in db.list_traces(str(path))
        }

    assert described(old_path) == described(path)


OUTCOMES = """
import pytest


@pytest.fixture
def broken_teardown():
    yield
    raise RuntimeError("teardown")


@pytest.fixture
def skips_in_setup():
    pytest.skip("not here")


@pytest.mark.xfail
def test_xpass():
    pass


@pytest.mark.xfail(strict=True)
def test_strict_xpass():
    pass


@pytest.mark.xfail
def test_xfail():
    assert False


def test_teardown_error(broken_teardown):
    pass


def test_setup_skip(skips_in_setup):
    pass


def test_skip_in_call():
    pytest.skip("later")
"""


def test_outcomes_as_pytest_reports_them(tmp_path):
    (tmp_path / "test_outcomes.py").write_text(OUTCOMES)
    path = tmp_path / "traces.sqlite3"
    result = run(["-q", "-rA", "--sarv", "--sarv-db", path], tmp_path)
    assert "sarv: 6 of 6 tests traced" in result.stdout, result.stdout + result.stderr
    outcomes = {s.test_name.split("::")[1]: s.outcome for s in db.list_traces(str(path))}
    assert outcomes == {
        "test_xpass": "xpassed",
        "test_strict_xpass": "failed",  # [XPASS(strict)]
        "test_xfail": "xfailed",
        "test_teardown_error": "error",
        "test_setup_skip": "skipped",
        "test_skip_in_call": "skipped",
    }


SUBTESTS = """
import unittest

import pytest


class Cases(unittest.TestCase):
    def test_unittest_subtest_fails(self):
        for i in range(3):
            with self.subTest(i=i):
                self.assertNotEqual(i, 1)

    def test_unittest_subtests_pass(self):
        for i in range(2):
            with self.subTest(i=i):
                pass


if int(pytest.__version__.split(".")[0]) >= 9:  # pytest's own subtests

    def test_pytest_subtest_fails(subtests):
        for i in range(3):
            with subtests.test(i=i):
                assert i != 2

    def test_pytest_subtests_pass(subtests):
        with subtests.test(i=0):
            pass
"""

INTERRUPTED = """
import unittest


class Stopped(unittest.TestCase):
    def test_interrupted_after_a_subtest(self):
        with self.subTest(i=0):
            pass
        raise KeyboardInterrupt
"""


def test_subtests_and_interruptions_give_the_tests_outcome(tmp_path):
    (tmp_path / "test_subtests.py").write_text(SUBTESTS)
    path = tmp_path / "traces.sqlite3"
    run(["-q", "--sarv", "--sarv-db", path, "test_subtests.py"], tmp_path)
    outcomes = {s.test_name.split("::")[-1]: s.outcome for s in db.list_traces(str(path))}
    expected = {"test_unittest_subtest_fails": "failed", "test_unittest_subtests_pass": "passed"}
    if int(pytest.__version__.split(".")[0]) >= 9:
        expected.update(test_pytest_subtest_fails="failed", test_pytest_subtests_pass="passed")
    assert outcomes == expected
    (tmp_path / "test_interrupted.py").write_text(INTERRUPTED)
    result = run(["-q", "--sarv", "--sarv-db", path, "test_interrupted.py"], tmp_path)
    assert "KeyboardInterrupt" in result.stdout + result.stderr
    [stopped] = [s for s in db.list_traces(str(path)) if s.test_name.endswith("test_interrupted_after_a_subtest")]
    assert stopped.outcome == "interrupted"


def test_the_command_line_shows_test_traces(suite):
    folder, path, _ = suite
    listing = run(["traces", "--db", path], folder, module="sarv")
    assert listing.returncode == 0, listing.stderr
    for name in EXPECTED:
        assert re.search(r"^trc_\S+ .* pytest .*  %s$" % re.escape(name), listing.stdout, re.M), name
    failed = next(s for s in db.list_traces(str(path)) if s.test_name == "test_suite.py::test_fails")
    shown = run(["show", failed.trace_id, "--db", path], folder, module="sarv")
    assert shown.returncode == 0, shown.stderr
    assert "  test: test_suite.py::test_fails (failed)" in shown.stdout
    lines = shown.stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if "start_test" in line)
    call = next(i for i, line in enumerate(lines) if "test_suite.test_fails  test_suite.py:" in line)
    end = next(i for i, line in enumerate(lines) if "end_test" in line)
    assert start < call < end
    assert "outcome='failed'" in lines[end]


def test_off_unless_asked(tmp_path):
    (tmp_path / "test_one.py").write_text("def test_one():\n    assert True\n")
    result = run(["-q"], tmp_path, env_db=tmp_path / "t.db")
    assert result.returncode == 0, result.stdout + result.stderr
    assert not (tmp_path / "t.db").exists() and not (tmp_path / ".sarv").exists()
    assert "sarv:" not in result.stdout

    help_text = run(["--help"], tmp_path).stdout
    assert "--sarv " in help_text and "--sarv-db=PATH" in help_text

    result = run(["-q", "--sarv-db", tmp_path / "t.db"], tmp_path)
    assert result.returncode != 0
    assert "--sarv-db is only used together with --sarv" in result.stderr

    # SARV_DB is where the traces go without --sarv-db.
    result = run(["-q", "--sarv"], tmp_path, env_db=tmp_path / "env.db")
    assert result.returncode == 0, result.stdout + result.stderr
    assert [s.test_name for s in db.list_traces(str(tmp_path / "env.db"))] == ["test_one.py::test_one"]


def test_bad_configuration_stops_before_any_test(tmp_path):
    (tmp_path / "pyproject.toml").write_text("[tool.sarv]\nthreading = 1\n")
    (tmp_path / "test_one.py").write_text("def test_one():\n    open('ran', 'w').close()\n")
    result = run(["-q", "--sarv"], tmp_path, env_db=tmp_path / "t.db")
    assert result.returncode != 0
    assert "sarv configuration error: threading: expected true or false" in result.stderr
    assert not (tmp_path / "ran").exists()


UNSAVED = textwrap.dedent(
    """
    import sqlite3

    from sarv import db


    def limit(length):
        db.wait_for_saves()  # (tests' saves wait for the next ones': those before keep the old limit)
        [writer] = db._writers.values()  # the connection the traces are saved through
        writer.conn.setlimit(sqlite3.SQLITE_LIMIT_LENGTH, length)


    def work(n):
        return [str(i) * 20 for i in range(n)]


    def test_first():
        work(3)


    def test_too_big():
        limit(300)  # SQLite refuses larger values, as it does those past a gigabyte
        work(200)


    def test_after():
        limit(10**9)
        work(3)


    def extend(chain, item):
        return chain + [item]


    def test_growing():  # each call's record holds the chain so far
        chain = []
        for i in range(200):
            chain = extend(chain, str(i) * 20)
    """
)


@pytest.mark.skipif(not hasattr(__import__("sqlite3").Connection, "setlimit"), reason="needs Python 3.11")
def test_tests_whose_trace_was_not_saved_are_named_with_the_reason(tmp_path):
    (tmp_path / "test_unsaved.py").write_text(UNSAVED)
    (tmp_path / "pyproject.toml").write_text('[tool.sarv]\nmax_bytes = "16K"\n')
    path = tmp_path / "t.db"
    result = run(["-q", "-p", "no:randomly", "--sarv", "--sarv-db", path], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "sarv: 3 of 4 tests traced into %s" % path in result.stdout
    assert re.search(
        r"sarv: 1 trace was not saved:\n  test_unsaved.py::test_too_big: trace database .*t\.db: string or blob too big",
        result.stdout,
    ), result.stdout
    # A trace cut to the cap is named, and keeps its test and outcome.
    assert re.search(
        r"sarv: 1 trace keeps only its first records \(max_bytes 16384\):\n"
        r"  test_unsaved.py::test_growing: (\d+) records dropped",
        result.stdout,
    ), result.stdout
    summaries = db.list_traces(str(path))
    assert [(s.test_name, s.outcome) for s in summaries] == [
        ("test_unsaved.py::test_growing", "passed"),
        ("test_unsaved.py::test_after", "passed"),
        ("test_unsaved.py::test_first", "passed"),
    ]
    assert summaries[0].size < 16384 + 1024  # the records, and the document around them
    assert all(s.command.startswith(sys.executable) or "pytest" in s.command for s in summaries)


# Where pytest's machinery runs without the hook (a setup or call phase whose user code
# runs only in fixtures and the test function), the user's code must still all be there.
NARROWED = textwrap.dedent(
    """
    import unittest

    import pytest


    def helper(name):
        return name


    @pytest.fixture
    def inner():
        return helper("inner")


    @pytest.fixture
    def late():
        return helper("late")


    @pytest.fixture
    def outer(request):
        request.getfixturevalue("inner")  # a fixture's setup inside another's
        return helper("after inner")


    @pytest.fixture(scope="module", params=[1, 2])
    def shared(request):
        yield helper("shared up")
        helper("shared down %d" % request.param)  # the first's: in the setup of a test of the second


    def test_first():
        helper("first")


    def test_nested(outer, request):
        request.getfixturevalue("late")  # a fixture's setup inside the test function
        helper("after late")
        request.addfinalizer(lambda: helper("finalized"))


    def test_shared(shared):
        helper("uses shared")


    class TestOld(unittest.TestCase):
        def setUp(self):
            helper("set up")

        def test_it(self):
            helper("it")

        def tearDown(self):
            helper("torn down")
    """
)
# A package whose own setup and teardown (in its __init__.py) are not fixtures.
PACKAGE = textwrap.dedent(
    """
    def helper(name):
        return name


    def setup_module():
        helper("package up")


    def teardown_module():
        helper("package down")
    """
)
USER_HOOKS = textwrap.dedent(
    """
    def note(name):
        return name


    def pytest_runtest_setup(item):
        note("setup hook")


    def pytest_runtest_call(item):
        note("call hook")


    def pytest_runtest_teardown(item):
        note("teardown hook")
    """
)


def helper_calls(path, test_name, function="helper"):
    [summary] = [s for s in db.list_traces(str(path)) if s.test_name == test_name]
    return [
        r["locals"]["name"] for r in records_of(path, summary) if r.get("co_name") == function and r["event"] == "call"
    ]


@pytest.mark.parametrize("hooks", [False, True], ids=["fixtures only", "hooks of the user's"])
def test_user_code_of_every_phase_is_recorded(tmp_path, hooks):
    (tmp_path / "test_narrowed.py").write_text(NARROWED)
    (tmp_path / "a_package").mkdir()
    (tmp_path / "a_package" / "__init__.py").write_text(PACKAGE)
    (tmp_path / "a_package" / "test_in_package.py").write_text("def test_alone():\n    pass\n")
    if hooks:
        (tmp_path / "conftest.py").write_text(USER_HOOKS)
    path = tmp_path / "t.db"
    result = run(["-q", "-p", "no:randomly", "--sarv", "--sarv-db", path], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    expected = {
        "a_package/test_in_package.py::test_alone": ["package up", "package down"],
        "test_narrowed.py::test_first": ["first"],
        "test_narrowed.py::test_nested": ["inner", "after inner", "late", "after late", "finalized"],
        "test_narrowed.py::test_shared[1]": ["shared up", "uses shared"],
        "test_narrowed.py::test_shared[2]": ["shared down 1", "shared up", "uses shared"],
        # (the module's last test: its teardown ends the module's fixtures)
        "test_narrowed.py::TestOld::test_it": ["set up", "it", "torn down", "shared down 2"],
    }
    for test_name, calls in expected.items():
        assert helper_calls(path, test_name) == calls, test_name
        if hooks:
            assert helper_calls(path, test_name, "note") == ["setup hook", "call hook", "teardown hook"], test_name


# Parametrized tests: a module-scoped parametrized fixture ended in the setup of the
# first test of its next parameter, tests with direct parameters only, and user hooks of
# the setup and teardown (one adds a finalizer to the item). pytest's nodes.py is recorded
# (include_frames) to see where its own setup and teardown ran with the profile hook on.
PARAMETRIZED = textwrap.dedent(
    """
    import os

    import pytest


    def helper(name):
        return name


    @pytest.fixture(scope="module", params=["a", "b"])
    def wide(request):
        yield helper("wide up " + request.param)
        helper("wide down " + request.param)


    @pytest.mark.parametrize("n", [1, 2])
    def test_wide(wide, n):
        helper("uses %s %d" % (wide, n))


    @pytest.mark.parametrize("x", [1, 2])
    @pytest.mark.parametrize("y", ["p", "q"])
    def test_plain(x, y):
        helper("plain %d %s" % (x, y))


    @pytest.mark.parametrize("z", [1, 2])
    def test_item_finalizer(z):
        helper("finalized %d" % z)


    class Key:
        __hash__ = object.__hash__

        def __eq__(self, other):  # run by pytest 8 and later when it compares a cached parameter
            with open("eq-calls", "a") as calls:
                calls.write(os.environ["PYTEST_CURRENT_TEST"].rsplit(" ", 1)[0] + "\\n")
            return helper("eq") == "eq"


    @pytest.fixture(scope="module", params=[Key()], ids=["k"])
    def keyed(request):
        return request.param


    @pytest.mark.parametrize("m", [1, 2])
    def test_keyed(keyed, m):
        helper("keyed %d" % m)
    """
)
PARAMETRIZED_HOOKS = textwrap.dedent(
    """
    import pytest


    def note(name):
        return name


    @pytest.hookimpl(trylast=True)  # (after pytest's own: the item is set up)
    def pytest_runtest_setup(item):
        note("setup hook")
        if item.originalname == "test_item_finalizer":
            item.addfinalizer(lambda: note("item finalizer"))


    def pytest_runtest_teardown(item):
        note("teardown hook")
    """
)


def test_parametrized_tests_record_user_code_and_leave_pytests_setup_unhooked(tmp_path):
    (tmp_path / "test_params.py").write_text(PARAMETRIZED)
    (tmp_path / "conftest.py").write_text(PARAMETRIZED_HOOKS)
    (tmp_path / "pyproject.toml").write_text('[tool.sarv.filters]\ninclude_frames = ["_pytest/nodes.py"]\n')
    path = tmp_path / "t.db"
    result = run(["-q", "-p", "no:randomly", "--sarv", "--sarv-db", path], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    order = re.findall(r"test_params.py::\S+", run(["--collect-only", "-q", "-p", "no:randomly"], tmp_path).stdout)
    assert len(order) == 12, order
    traces = {s.test_name: s for s in db.list_traces(str(path))}
    assert sorted(traces) == sorted(order)
    helpers, notes, pytest_code = {}, {}, {}
    for name in order:
        records = records_of(path, traces[name])
        calls = [r for r in records if r.get("event") == "call"]
        helpers[name] = [r["locals"]["name"] for r in calls if r["co_name"] == "helper"]
        notes[name] = [r["locals"]["name"] for r in calls if r["co_name"] == "note"]
        pytest_code[name] = {r["co_name"] for r in calls if "_pytest/nodes.py" in r["path"]}

    # User code: every test's own call, the fixture's setups and its finalizers (the first
    # parameter's in the setup of the first test of the second, the last at the module's
    # end), the hooks, the finalizer a hook added.
    wide = [name for name in order if "test_wide[" in name]
    first_b = next(name for name in wide if "[b-" in name)
    keyed = [name for name in order if "test_keyed[" in name]
    # A parameter of the user's class: its __eq__, run by pytest in the later test's setup,
    # is recorded each time it ran.
    ran = (tmp_path / "eq-calls").read_text().split() if (tmp_path / "eq-calls").exists() else []
    assert [helpers[name].count("eq") for name in keyed] == [ran.count(name) for name in keyed], (ran, helpers)
    if pytest.version_tuple >= (8,):  # (pytest 7 compares a cached parameter with `is`)
        assert ran == keyed[1:], ran
    for name in order:
        expected = {"[a-1]": ["wide up a"], first_b: ["wide down a", "wide up b"]}
        own = [h for h in helpers[name] if not h.startswith(("wide up", "wide down")) and h != "eq"]
        assert len(own) == 1 and own[0].split()[-1] in name, (name, helpers[name])
        kept = [h for h in helpers[name] if h.startswith(("wide up", "wide down"))]
        assert kept == next((v for k, v in expected.items() if k in name), []) + (
            ["wide down b"] if name == order[-1] else []
        ), (name, helpers[name])
        finalizer = ["item finalizer"] if "test_item_finalizer[" in name else []
        assert notes[name] == ["setup hook", "teardown hook"] + finalizer, (name, notes[name])
    # pytest's own setup and teardown ran with the hook off (after the module's first
    # test), but for fixtures of the user's set up (pytest's code inside their setup),
    # where the fixture of the module's scope had to be ended first, where a parameter
    # of the user's class was compared, where the item held a finalizer, and at the
    # module's end.
    # (read from internals of pytest 8 and later: pytest 7 keeps the hook on in more places)
    for name in order[1:-1] if pytest.version_tuple >= (8,) else ():
        if name not in (first_b, *keyed) and "test_item_finalizer[" not in name:
            assert pytest_code[name] == set(), (name, pytest_code[name])
    assert "listchain" in pytest_code[first_b], pytest_code[first_b]
    # (the finalizer added to the item keeps its teardown hooked: the item's own teardown ran under it)
    assert all("teardown" in pytest_code[name] for name in order if "test_item_finalizer[" in name)


# What pytest reports of a suite (failures and their tracebacks, warnings, async tests,
# skips, xfails, methods, parametrized tests with fixtures) must not change under --sarv.
AS_PYTEST_REPORTS = textwrap.dedent(
    """
    import pytest


    def helper(x):
        raise ValueError("deep %d" % x)


    def test_assertion():
        value = [1, 2, 3]
        assert value == [1, 2, 4]


    def test_raises_in_helper():
        helper(3)


    def test_returns_a_value():
        return 42


    async def test_coroutine():
        pass


    class TestMethods:
        def test_method(self, request):
            assert request.function == TestMethods.test_method.__get__(request.instance)

        def test_method_fails(self):
            assert 1 == 2


    @pytest.fixture
    def resource():
        return {"open": True}


    @pytest.mark.parametrize("n", [1, 2])
    def test_with_arguments(resource, n, request):
        assert request.function is test_with_arguments
        assert resource["open"] and n > 0


    def test_skip_inside():
        pytest.skip("skipped inside")


    @pytest.mark.xfail(raises=ZeroDivisionError)
    def test_xfail():
        1 / 0
    """
)


def test_pytest_reports_a_suite_under_sarv_as_without_it(tmp_path):
    (tmp_path / "test_reported.py").write_text(AS_PYTEST_REPORTS)
    path = tmp_path / "t.db"
    args = ["-rA", "-p", "no:randomly"]

    def report(result):
        lines = [line for line in result.stdout.splitlines() if not line.startswith(("sarv", "rootdir"))]
        # (the time a run took, addresses, and the padding of the summary line, whose
        # width follows the time's)
        return re.sub(r"={2,}", "==", re.sub(r" in [\d.]+s|0x[0-9a-f]+", "", "\n".join(lines)))

    bare = run(args + ["test_reported.py"], tmp_path)
    traced = run(args + ["--sarv", "--sarv-db", path, "test_reported.py"], tmp_path)
    assert report(traced) == report(bare)
    assert "ValueError: deep 3" in bare.stdout and "assert [1, 2, 3] == [1, 2, 4]" in bare.stdout
    assert "sarv: 10 of 10 tests traced" in traced.stdout
    [summary] = [s for s in db.list_traces(str(path)) if s.test_name.endswith("test_with_arguments[2]")]
    frames = [r for r in records_of(path, summary) if r["type"] == "frame"]
    assert [(r["co_name"], r["event"]) for r in frames] == [("resource", "call"), ("resource", "return")] + [
        ("test_with_arguments", "call"),
        ("test_with_arguments", "return"),
    ]
    assert frames[2]["locals"]["n"] == 2


# Saves sent to the writer process must end as those made in the test's own process:
# the same rows, the same summary, a failure and a cut trace named with their tests,
# and nothing lost when the process is killed (its saves are then made here).
SHIPPED = textwrap.dedent(
    """
    import os
    import signal

    import pytest

    from sarv import db


    def step(i):
        return [i, {"i": str(i)}]


    @pytest.mark.parametrize("i", range(40))
    def test_many(i, request):
        step(i)
        if i == 12 and request.config.getoption("--kill", default=False):
            db.wait_for_saves()
            shipper = db._shipper
            assert shipper is not None and not shipper.dead
            os.kill(shipper.proc.pid, signal.SIGKILL)


    def test_long():
        for i in range(200):
            step(i)


    def test_break_the_file():
        db.wait_for_saves()  # (those before it are stored in the file)
        path = os.environ["SHIPPED_DB"]
        os.replace(path, path + ".kept")
        os.mkdir(path)  # (no database can be opened there)


    @pytest.mark.parametrize("i", range(3))
    def test_after(i):
        step(i)


    def test_mend_the_file():
        db.wait_for_saves()  # (those before it have failed)
        path = os.environ["SHIPPED_DB"]
        os.rmdir(path)
        os.replace(path + ".kept", path)
    """
)


def test_saves_sent_to_the_writer_process_end_as_those_made_here(tmp_path):
    (tmp_path / "test_shipped.py").write_text(SHIPPED)
    (tmp_path / "conftest.py").write_text(
        "def pytest_addoption(parser):\n    parser.addoption('--kill', action='store_true')\n"
    )
    (tmp_path / "pyproject.toml").write_text("[tool.sarv]\nmax_records = 100\n")
    path = tmp_path / "t.db"

    def run_sending(how):
        if path.exists():
            path.unlink()
        args = ["-q", "-p", "no:randomly", "--sarv", "--sarv-db", path] + (["--kill"] if "killed" in how else [])
        env = {"SARV_SAVE_PROCESS": "0" if how == "here" else "1", "SHIPPED_DB": str(path)}
        result = run(args, tmp_path, env=env)
        assert result.returncode == 0, result.stdout + result.stderr
        summary = [line for line in result.stdout.splitlines() if line.startswith(("sarv: ", "  test_"))][:-1]
        rows = [(s.test_name, s.outcome, s.record_count, s.size) for s in db.list_traces(str(path), limit=100)]
        return summary, rows

    summary, rows = run_sending("here")
    assert summary[:2] == [
        "sarv: 42 of 46 tests traced into %s (python -m sarv traces --db %s)" % (path, path),
        "sarv: 4 traces were not saved:",
    ], summary
    for line, name in zip(summary[2:6], ["test_break_the_file"] + ["test_after[%d]" % i for i in range(3)]):
        assert line.startswith("  test_shipped.py::%s: " % name), summary
        assert line.endswith("database %s: unable to open database file" % path), summary
    assert re.fullmatch(r"sarv: 1 trace keeps only its first records \(max_records 100.*\):", summary[6]), summary
    assert re.fullmatch(r"  test_shipped.py::test_long: \d+ records dropped", summary[7]), summary
    expected = ["test_shipped.py::test_many[%d]" % i for i in range(40)] + ["test_shipped.py::test_long"]
    assert [row[0] for row in rows[::-1]] == expected + ["test_shipped.py::test_mend_the_file"]
    assert run_sending("sent") == (summary, rows)
    # Killed, the process's saves are made here: none is lost (one it committed as it was
    # killed may be made again).
    killed_summary, killed_rows = run_sending("sent, process killed")
    assert killed_summary == summary
    assert sorted({row[:3] for row in killed_rows}) == sorted({row[:3] for row in rows})  # (its command is longer)


def test_a_save_at_sigterm_that_fails_is_said_before_the_process_ends(tmp_path):
    # The running test's trace is batched as every test's: the end waits for it, and its
    # failure is said on standard error (the summary that would name it is never printed).
    (tmp_path / "test_killed.py").write_text(
        textwrap.dedent(
            """
            import os
            import signal
            import time

            from sarv import db


            def step(n):
                return n


            def test_quick():
                step(0)


            def test_killed_with_the_store_broken():
                step(1)
                db.wait_for_saves()  # (test_quick's trace is stored)
                path = os.environ["BROKEN_DB"]
                os.replace(path, path + ".kept")
                os.mkdir(path)  # (no database can be opened there)
                os.kill(os.getpid(), signal.SIGTERM)
                while True:
                    time.sleep(0.01)
            """
        )
    )
    path = tmp_path / "t.db"
    result = run(["-q", "-s", "--sarv", "--sarv-db", path], tmp_path, env={"BROKEN_DB": str(path)})
    assert result.returncode == -signal.SIGTERM, result.stdout + result.stderr
    said = [line for line in result.stderr.splitlines() if line.startswith("sarv: could not save")]
    assert len(said) == 1 and said[0].endswith("unable to open database file"), result.stderr
    assert [s.test_name for s in db.list_traces(str(path) + ".kept")] == ["test_killed.py::test_quick"]


def test_a_suite_that_saves_quickly_sends_its_saves_to_the_writer_process(tmp_path):
    (tmp_path / "test_quick.py").write_text("".join("def test_%d():\n    pass\n\n" % i for i in range(150)))
    (tmp_path / "conftest.py").write_text(
        "import sarv.db\nimport sarv.store.batching\n\n"
        "# Batches full by count, however slow the machine: neither the caller nor the writer\n"
        "# thread takes the saves waiting before there are enough.\n"
        "sarv.store.batching._CALLER_COMMIT = 3600.0\n"
        "sarv.store.batching._STRAGGLER = 3600.0\n"
        "# And whatever the machine's load.\n"
        "sarv.store.shipping.has_idle_core = lambda: True\n\n\n"
        "def pytest_unconfigure(config):\n"
        "    print('writer process:', sarv.db._shipper is not None and not sarv.db._shipper.dead)\n"
    )
    path = tmp_path / "t.db"
    env = {"SARV_SAVE_PROCESS": ""}
    result = run(["-q", "-s", "-p", "no:randomly", "--sarv", "--sarv-db", path], tmp_path, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "writer process: %s" % (len(os.sched_getaffinity(0)) > 1) in result.stdout
    assert "sarv: 150 of 150 tests traced" in result.stdout
    names = [s.test_name for s in db.list_traces(str(path), limit=200)]
    assert names[::-1] == ["test_quick.py::test_%d" % i for i in range(150)]


def test_each_test_has_the_whole_call_budget_and_a_raise_past_it_is_recorded(tmp_path):
    (tmp_path / "test_budget.py").write_text(
        "def step(i):\n"
        "    if i == 1200:\n"
        "        raise KeyError(i)\n"
        "    return i\n\n"
        "def run():\n"
        "    for i in range(1500):\n"
        "        try:\n"
        "            step(i)\n"
        "        except KeyError:\n"
        "            pass\n\n"
        "def test_one():\n    run()\n\n"
        "def test_two():\n    run()\n"
    )
    (tmp_path / "pyproject.toml").write_text("[tool.sarv]\ncall_budget = 1000\n")
    path = tmp_path / "t.db"
    result = run(["-q", "-p", "no:randomly", "--sarv", "--sarv-db", path], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    traces = sorted(db.list_traces(str(path)), key=lambda s: s.test_name)
    assert [t.test_name for t in traces] == ["test_budget.py::test_one", "test_budget.py::test_two"]
    for summary in traces:
        records = db.load_trace_document(str(path), summary.trace_id)["frames_of_interest"]
        start, note = records[:2]
        assert (start["type"], note["type"]) == ("start_test", "calls_left_out")
        assert [(f["co_name"], f["calls"]) for f in note["functions"]] == [("step", 499)]
        steps = [r for r in records if r.get("co_name") == "step" and r.get("event") == "call"]
        assert len(steps) == 1001 and steps[-1]["locals"]["i"] == 1200  # the raise, recorded past the budget
        assert records[-1]["type"] == "end_test"
