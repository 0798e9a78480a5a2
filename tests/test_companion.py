"""The rest of the companion package: git, version, utils, config, plugins,
the profiler object and the command line."""

import importlib
import logging
import os
import pathlib
import re
import sys
import textwrap
import threading
import time
import types

import msgpack
import pytest

import sarv
from sarv import config as sarv_config
from sarv import db, git, plugins, utils
from sarv.config import ConfigError, load_config
from sarv.profiler import Profiler, profile, profiling

SHA1 = "0123456789abcdef0123456789abcdef01234567"
SHA2 = "89abcdef0123456789abcdef0123456789abcdef"


# ---------------------------------------------------------------------- git


def write(path, text):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path


def test_git_detached_head_found_from_a_subfolder(tmp_path):
    write(tmp_path / ".git" / "HEAD", SHA1.upper() + "\n")
    (tmp_path / "src" / "pkg").mkdir(parents=True)
    assert git.read_commit_sha(tmp_path / "src" / "pkg") == SHA1


def test_git_branch_in_loose_ref_and_in_packed_refs(tmp_path):
    repo = tmp_path / ".git"
    write(repo / "HEAD", "ref: refs/heads/main\n")
    write(repo / "refs" / "heads" / "main", SHA1 + "\n")
    assert git.read_commit_sha(tmp_path) == SHA1

    write(repo / "HEAD", "ref: refs/heads/feature/x\n")
    write(
        repo / "packed-refs",
        "# pack-refs with: peeled fully-peeled sorted\n"
        f"{SHA1} refs/heads/feature/xy\n"
        f"{SHA2} refs/heads/feature/x\n"
        f"^{SHA1}\n",
    )
    assert git.read_commit_sha(tmp_path) == SHA2
    write(repo / "refs" / "heads" / "feature" / "x", SHA1)  # a loose ref wins
    assert git.read_commit_sha(tmp_path) == SHA1


def test_git_worktree_and_submodule_gitdir_files(tmp_path):
    main_git = tmp_path / "main" / ".git"
    write(main_git / "HEAD", "ref: refs/heads/main\n")
    write(main_git / "refs" / "heads" / "wt", SHA2 + "\n")
    write(main_git / "worktrees" / "wt" / "HEAD", "ref: refs/heads/wt\n")
    write(main_git / "worktrees" / "wt" / "commondir", "../..\n")
    write(tmp_path / "wt" / ".git", "gitdir: ../main/.git/worktrees/wt\n")
    assert git.read_commit_sha(tmp_path / "wt") == SHA2

    module_git = tmp_path / "main" / ".git" / "modules" / "lib"
    write(module_git / "HEAD", SHA1 + "\n")
    write(tmp_path / "lib" / ".git", f"gitdir: {module_git}\n")
    assert git.read_commit_sha(tmp_path / "lib") == SHA1


@pytest.mark.parametrize(
    "files",
    [
        {".git/HEAD": "hello\n"},
        {".git/HEAD": "ref: refs/heads/unborn\n"},
        {".git/HEAD": "ref: ../../../../etc/passwd\n"},
        {
            ".git/HEAD": "ref: refs/heads/a",
            ".git/refs/heads/a": "ref: refs/heads/b",
            ".git/refs/heads/b": "ref: refs/heads/a",
        },
        {".git/HEAD": SHA1[:-1] + "g"},
        {".git/HEAD": "ref: refs/heads/m", ".git/refs/heads/m": "not a sha"},
        {".git": "gitdir: /no/such/dir\n"},
        {".git": "garbage"},
    ],
    ids=["garbage-head", "unborn", "escape", "loop", "bad-hex", "bad-ref", "missing-gitdir", "bad-git-file"],
)
def test_git_anything_broken_gives_none(tmp_path, files):
    for name, text in files.items():
        write(tmp_path / name, text)
    assert git.read_commit_sha(tmp_path) is None


def test_git_unreadable_bytes_and_missing_folder_give_none(tmp_path):
    (tmp_path / ".git").mkdir()
    (tmp_path / ".git" / "HEAD").write_bytes(b"\xff\xfe\x00" * 10)
    assert git.read_commit_sha(tmp_path) is None
    assert git.read_commit_sha(tmp_path / "does" / "not" / "exist" / "x") is None


def test_git_commit_sha_is_read_from_the_cwd_at_import(tmp_path, monkeypatch):
    write(tmp_path / ".git" / "HEAD", SHA2 + "\n")
    monkeypatch.chdir(tmp_path)
    try:
        assert importlib.reload(git).COMMIT_SHA == SHA2
    finally:
        monkeypatch.undo()
        importlib.reload(git)


# ------------------------------------------------------------ version, utils


def test_version_matches_the_project_metadata():
    assert isinstance(sarv.__version__, str)
    tomllib = pytest.importorskip("tomllib")
    pyproject = pathlib.Path(__file__).resolve().parents[1] / "pyproject.toml"
    with open(pyproject, "rb") as f:
        assert tomllib.load(f)["project"]["version"] == sarv.__version__


def test_ulid_text_form():
    ids = {utils.new_ulid() for _ in range(2000)}
    assert len(ids) == 2000
    for ulid in ids:
        assert len(ulid) == 26
        assert set(ulid) <= set(utils.CROCKFORD_ALPHABET)
        assert ulid[0] <= "7"  # 130 bits of text, the top two are zero
    # The reference example of the ULID format: time part of 1469918176385.
    assert utils.new_ulid(1469918176385)[:10] == "01ARYZ6S41"
    assert utils.new_ulid(0)[:10] == "0" * 10
    assert utils.new_ulid(2**48 - 1)[:10] == "7ZZZZZZZZZ"
    with pytest.raises(ValueError):
        utils.new_ulid(2**48)


def test_ulid_time_prefix_follows_the_clock():
    stamps = [1, 31, 32, 1000, 2**40, 2**47 + 5]
    texts = [utils.new_ulid(ms) for ms in stamps]
    assert sorted(texts) == texts
    assert [utils.ulid_timestamp_ms(t) for t in texts] == stamps
    first = utils.new_ulid()
    time.sleep(0.003)
    second = utils.new_ulid()
    assert first[:10] < second[:10]
    assert abs(utils.ulid_timestamp_ms(second) - time.time() * 1000) < 5000


def test_trace_id():
    trace_id = utils.new_trace_id()
    assert re.fullmatch(r"trc_[0-9A-HJKMNP-TV-Z]{26}", trace_id)
    assert abs(utils.ulid_timestamp_ms(trace_id) - time.time() * 1000) < 5000


# ------------------------------------------------------------------- config


def test_config_defaults_without_pyproject(tmp_path, monkeypatch):
    monkeypatch.delenv("SARV_DB", raising=False)
    if sarv_config.find_pyproject(tmp_path) is not None:
        pytest.skip("a pyproject.toml with [tool.sarv] above the temporary folder")
    if any(os.path.isdir(os.path.join(folder, ".sarv")) for folder in tmp_path.parents):
        pytest.skip("a .sarv folder above the temporary folder")
    monkeypatch.chdir(tmp_path)
    config = load_config(start_dir=tmp_path)
    # The database is found (as git finds its folder); nothing upwards: the current folder's.
    assert config == dict(sarv_config.DEFAULTS, db_path=str(tmp_path / ".sarv" / "traces.sqlite3"))
    config["filters"]["include_frames"].append("x")
    assert sarv_config.DEFAULTS["filters"]["include_frames"] == []


def test_config_nearest_pyproject_with_a_sarv_table_then_overrides(tmp_path, monkeypatch):
    monkeypatch.delenv("SARV_DB", raising=False)
    write(
        tmp_path / "proj" / "pyproject.toml",
        textwrap.dedent(
            """
            [tool.sarv]
            threading = true
            sqlite_busy_timeout = 5
            db_path = "data/traces.db"
            filters = { include_frames = ["site-packages/mylib/"] }
            """
        ),
    )
    write(tmp_path / "proj" / "sub" / "pyproject.toml", "[project]\nname = 'no-sarv-here'\n")
    start = tmp_path / "proj" / "sub" / "deeper"
    start.mkdir()

    config = load_config(start_dir=start)
    assert config["threading"] is True
    assert config["sqlite_busy_timeout"] == 5
    assert config["db_path"] == os.path.join(str(tmp_path / "proj"), "data/traces.db")
    assert config["filters"] == {"include_frames": ["site-packages/mylib/"], "ignore_frames": []}

    config = load_config(
        {"sqlite_busy_timeout": 0, "filters": {"ignore_frames": ["tests/"]}, "threading": None},
        start_dir=start,
    )
    assert config["sqlite_busy_timeout"] == 0
    assert config["threading"] is True  # None leaves the value as it was
    assert config["filters"] == {"include_frames": ["site-packages/mylib/"], "ignore_frames": ["tests/"]}


@pytest.mark.parametrize(
    "overrides, key",
    [
        ({"threading": 1}, "threading"),
        ({"lightweight_repr": "yes"}, "lightweight_repr"),
        ({"builtin_plugins": 0}, "builtin_plugins"),
        ({"sqlite_busy_timeout": -1}, "sqlite_busy_timeout"),
        ({"sqlite_busy_timeout": 1.5}, "sqlite_busy_timeout"),
        ({"sqlite_busy_timeout": True}, "sqlite_busy_timeout"),
        ({"sqlite_busy_timeout": 2**64}, "sqlite_busy_timeout"),
        ({"filters": ["a"]}, "filters"),
        ({"filters": {"include_frames": "src/"}}, "filters.include_frames"),
        ({"filters": {"ignore_frames": ["ok", 3]}}, "filters.ignore_frames"),
        ({"filters": {"exclude": []}}, "filters.exclude"),
        ({"plugins": {"functions": ["f"]}}, "plugins"),
        ({"plugins": [{"functions": ["f"], "call_type": "a", "return_type": "b"}]}, "plugins[0].path_fragment"),
        ({"db_path": 3}, "db_path"),
        ({"db_path": ""}, "db_path"),
        ({"colour": "blue"}, "colour"),
    ],
)
def test_config_errors_name_the_key(tmp_path, overrides, key):
    with pytest.raises(ConfigError) as info:
        load_config(overrides, start_dir=tmp_path)
    assert isinstance(info.value, ValueError)
    assert str(info.value).startswith(key + ":")


def test_config_errors_in_pyproject_name_key_and_file(tmp_path):
    pyproject = write(tmp_path / "pyproject.toml", "[tool.sarv]\nthreadin = true\n")
    with pytest.raises(ConfigError, match=r"^threadin: unknown key \(did you mean threading\?\) \(in .*pyproject.toml"):
        load_config(start_dir=tmp_path)
    pyproject.write_text("[tool.sarv\n")
    with pytest.raises(ConfigError, match="invalid TOML"):
        load_config(start_dir=tmp_path)


# ------------------------------------------------------------------ plugins


@pytest.fixture
def plugmod(tmp_path, monkeypatch):
    write(
        tmp_path / "sarv_test_plugmod.py",
        textwrap.dedent(
            """
            VALUE = 3

            def is_match(frame, event, arg, context):
                return True

            def process(frame, event, arg, context):
                return {"extra": context.get("tag"), "returned": arg if event == "return" else None}

            def build(config):
                return {"tag": "built"}

            class Holder:
                @staticmethod
                def method(frame, event, arg, context):
                    return True
            """
        ),
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    return importlib.import_module("sarv_test_plugmod")


def test_plugins_none_configured():
    assert plugins.load_plugin_data({}) == []
    assert plugins.load_plugin_data(load_config({"builtin_plugins": False})) == []


def test_plugin_declarations_become_descriptions(plugmod):
    config = {
        "plugins": [
            {
                "functions": ["get", "post"],
                "path_fragment": "views.py",
                "call_type": "request_start",
                "return_type": "request_end",
                "call": "sarv_test_plugmod:Holder.method",
                "process": "sarv_test_plugmod:process",
                "build_context": "sarv_test_plugmod:build",
                "events": ["call"],
            },
            {"co_names": ["run"], "path_fragment": "", "call_type": "a", "return_type": "b", "subtype": "job"},
        ]
    }
    first, second = plugins.load_plugin_data(config)
    assert first == {
        "co_names": ["get", "post"],
        "path_fragment": "views.py",
        "call_type": "request_start",
        "return_type": "request_end",
        "events": ["call"],
        "call": plugmod.Holder.method,
        "process": plugmod.process,
        "build_context": plugmod.build,
    }
    assert "subtype" not in first
    assert second["subtype"] == "job"
    assert (second["call"], second["process"], second["build_context"], second["events"]) == (None,) * 4


@pytest.mark.parametrize(
    "change, message",
    [
        ({"colour": 1}, r"plugins\[0\]\.colour: unknown key"),
        ({"co_names": ["f"]}, "exactly one of"),
        ({"functions": "f"}, r"plugins\[0\]\.functions: expected a list"),
        ({"functions": ["f", ""]}, r"plugins\[0\]\.functions"),
        ({"call_type": ""}, r"plugins\[0\]\.call_type"),
        ({"return_type": None}, r"plugins\[0\]\.return_type"),
        ({"subtype": None}, r"plugins\[0\]\.subtype"),
        ({"events": ["start"]}, r"plugins\[0\]\.events"),
        ({"call": "no_colon"}, r"plugins\[0\]\.call: expected an import path"),
        ({"process": "sarv_no_such_module_xyz:f"}, r"plugins\[0\]\.process: cannot import .*ModuleNotFoundError"),
        ({"build_context": "sarv_test_plugmod:VALUE"}, r"plugins\[0\]\.build_context: .* is not callable"),
        ({"call": "sarv_test_plugmod:missing"}, r"plugins\[0\]\.call: cannot import .*AttributeError"),
    ],
)
def test_plugin_declaration_errors_name_entry_and_key(plugmod, change, message):
    declaration = {"functions": ["f"], "path_fragment": "", "call_type": "a", "return_type": "b"}
    declaration.update(change)
    with pytest.raises(ValueError, match=message):
        plugins.load_plugin_data({"plugins": [declaration]})


def test_plugin_missing_required_key():
    with pytest.raises(ValueError, match=r"plugins\[1\]\.call_type: missing"):
        plugins.load_plugin_data(
            {
                "plugins": [
                    {"functions": ["f"], "path_fragment": "", "call_type": "a", "return_type": "b"},
                    {"functions": ["g"], "path_fragment": "", "return_type": "b"},
                ]
            }
        )


def test_builtin_plugins_come_first_and_can_be_turned_off(plugmod):
    stored = plugins.register_builtin(
        {
            "co_names": ["runtest"],
            "path_fragment": "_pytest",
            "call_type": "start_test",
            "return_type": "end_test",
            "process": plugmod.process,
        }
    )
    try:
        declared = {"functions": ["f"], "path_fragment": "", "call_type": "a", "return_type": "b"}
        loaded = plugins.load_plugin_data({"plugins": [declared]})
        assert [d["co_names"] for d in loaded] == [["runtest"], ["f"]]
        assert loaded[0]["process"] is plugmod.process
        loaded[0]["co_names"].append("changed")
        assert stored["co_names"] == ["runtest"]
        assert plugins.load_plugin_data({"builtin_plugins": False, "plugins": [declared]})[0]["co_names"] == ["f"]
    finally:
        plugins.unregister_builtin(stored)
    assert plugins.load_plugin_data({}) == []
    with pytest.raises(ValueError, match="builtin plugin.process"):
        plugins.register_builtin(
            {"co_names": ["x"], "path_fragment": "", "call_type": "a", "return_type": "b", "process": "m:f"}
        )


# ------------------------------------------------ profiler object (fake core)


class FakeCore(types.ModuleType):
    """Stands in for sarv._sarv: records the calls and saves a small document
    through sarv.db, as the core does."""

    def __init__(self, fail_save=False):
        super().__init__("sarv._sarv")
        self.calls = []
        self.fail_save = fail_save

    def register_profiler(self, profiler):
        assert callable(profiler) and profiler(None, "call", None) is None
        self.calls.append("register")
        core = self

        class Native:
            def save_request_in_db(self):
                core.calls.append("save")
                if core.fail_save:
                    raise OSError("disk full")
                doc = msgpack.packb(
                    {
                        "command_line_args": list(sys.argv),
                        "frames": {},
                        "frames_of_interest": [{"type": "frame"}, {"type": "frame"}],
                        "meta": {"version": "0.1.0", "source": profiler.source, "use_frame_boundaries": True},
                        "trace_id": profiler.trace_id,
                    }
                )
                db.save_trace_in_sqlite(profiler.db_path, profiler.trace_id, timeout=60, msgpack=doc)

            def __call__(self, *args):  # stands for the hook installed on the thread
                return None

            def register_threading_profiler(self, *args):
                return None

            def hooks_this_thread(self):
                return sys.getprofile() is self

            def unhook_threads(self):
                return None

        native = profiler.rust_profiler = Native()
        sys.setprofile(native)
        if profiler.config.get("threading") is True:
            threading.setprofile(native.register_threading_profiler)

    def register_noop_profiler(self):
        self.calls.append("noop")
        sys.setprofile(None)


@pytest.fixture
def fake_core(monkeypatch):
    core = FakeCore()
    monkeypatch.setitem(sys.modules, "sarv._sarv", core)
    monkeypatch.setattr(sarv, "_sarv", core, raising=False)
    return core


def test_profiler_object_as_the_core_reads_it(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("SARV_DB", raising=False)
    p = Profiler()
    assert re.fullmatch(r"trc_[0-9A-Z]{26}", p.trace_id)
    assert (p.source, p.one_trace_per_test, p.rust_profiler) == ("api", False, None)
    assert p.db_path == db.default_db_path()
    assert isinstance(p.config, dict) and p.config["sqlite_busy_timeout"] == 60
    assert p(None, "call", None) is None
    # Kept absolute: a program that changes directory still saves there.
    assert Profiler({"db_path": "x.db"}).db_path == str(tmp_path / "x.db")
    assert Profiler({}, db_path=tmp_path / "y.db").db_path == str(tmp_path / "y.db")


def test_profiler_context_registers_unhooks_and_saves(tmp_path, fake_core):
    path = str(tmp_path / "t.db")
    threading.setprofile(lambda *a: None)
    with profiling(db_path=path, threading=True, source="test") as p:
        assert fake_core.calls == ["register"]
    assert fake_core.calls == ["register", "noop", "save"]
    assert getattr(threading, "getprofile", lambda: threading._profile_hook)() is None
    assert p.record_count == 2
    assert db.find_trace(path, p.trace_id).source == "test"


def test_profiler_save_failure(tmp_path, fake_core, caplog):
    fake_core.fail_save = True
    with pytest.raises(OSError, match="disk full"):
        with Profiler({}, db_path=str(tmp_path / "t.db")):
            pass
    # The program's own exception is not replaced by the failed save.
    with caplog.at_level(logging.WARNING, logger="sarv"):
        with pytest.raises(ZeroDivisionError):
            with Profiler({}, db_path=str(tmp_path / "t.db")) as p:
                1 / 0  # noqa: B018 - the program's own exception
    assert p.trace_id in caplog.text
    assert fake_core.calls.count("noop") == 2


def test_profile_decorator(tmp_path, fake_core):
    path = str(tmp_path / "t.db")

    @profile(db_path=path)
    def countdown(n):
        return n if n == 0 else countdown(n - 1)

    assert countdown(3) == 0
    assert fake_core.calls == ["register", "noop", "save"]  # one trace for the outer call
    assert db.load_trace(path, countdown.last_profiler.trace_id)

    @profile
    def plain():
        return "ok"

    assert plain.__name__ == "plain" and plain.last_profiler is None


def test_lazy_package_exports():
    assert sarv.Profiler is Profiler and sarv.profile is profile and sarv.profiling is profiling
    with pytest.raises(AttributeError):
        sarv.no_such_name  # noqa: B018 - reading it is the test


# -------------------------------------------------------------- command line


SCRIPT = """
import sys
print("args", sys.argv[1:])
mode = sys.argv[1] if len(sys.argv) > 1 else ""
if mode == "raise":
    raise RuntimeError("bad input")
if mode == "exit":
    sys.exit(int(sys.argv[2]))
if mode == "message":
    sys.exit("stopping")
"""


@pytest.mark.parametrize(
    "args, status, stderr",
    [
        ([], 0, ""),
        (["exit", "3"], 3, ""),
        (["raise"], 1, 'script.py", line 6, in <module>\n    raise RuntimeError("bad input")'),
        (["message"], 1, "stopping"),
    ],
)
def test_cli_run_keeps_exit_status_and_saves_the_trace(tmp_path, fake_core, capsys, monkeypatch, args, status, stderr):
    from sarv.__main__ import main

    script = write(tmp_path / "script.py", SCRIPT)
    path = str(tmp_path / "t.db")
    argv = list(sys.argv)
    assert main(["run", "--db", path, str(script)] + args) == status
    out, err = capsys.readouterr()
    assert out == "args %r\n" % (args,)
    assert stderr in err
    assert "Traceback" not in err or "runpy" not in err
    [summary] = db.list_traces(path)
    assert re.search(r"^trace %s: 2 records saved to %s$" % (summary.trace_id, re.escape(path)), err, re.M)
    assert summary.source == "cli"
    assert db.load_trace_document(path, summary.trace_id)["command_line_args"] == [str(script)] + args
    assert sys.argv == argv


def test_cli_refuses_a_missing_script(tmp_path, fake_core, capsys):
    from sarv.__main__ import main

    assert main(["run", str(tmp_path / "nope.py")]) == 2
    assert "no such file" in capsys.readouterr().err
    assert fake_core.calls == []


# ---------------------------------------------- with the compiled core itself


def traced_target(n):
    scratch = {"n": n, "twice": [n, n]}
    return scratch


def test_profiling_with_the_compiled_core(tmp_path, plugmod):
    pytest.importorskip("sarv._sarv")
    config = load_config(
        {
            "db_path": str(tmp_path / "t.db"),
            "builtin_plugins": False,
            "plugins": [
                {
                    "functions": ["traced_target"],
                    "path_fragment": "test_companion",
                    "call_type": "target_start",
                    "return_type": "target_end",
                    "process": "sarv_test_plugmod:process",
                    "build_context": "sarv_test_plugmod:build",
                }
            ],
        },
        start_dir=tmp_path,
    )
    with Profiler(config, source="pytest") as p:
        traced_target(7)
    doc = db.load_trace_document(p.db_path, p.trace_id)
    records = doc["frames_of_interest"]
    assert p.record_count == len(records) + sum(len(v) for v in doc["frames"].values())
    frames = [r for r in records if r["type"] == "frame" and r["co_name"] == "traced_target"]
    assert [r["event"] for r in frames] == ["call", "return"]
    assert frames[0]["locals"] == {"n": 7}
    assert frames[1]["locals"] == {"n": 7, "scratch": {"n": 7, "twice": [7, 7]}}
    assert frames[1]["arg"] == {"n": 7, "twice": [7, 7]}
    marks = [r for r in records if r["type"] in ("target_start", "target_end")]
    assert [(r["type"], r["extra"]) for r in marks] == [("target_start", "built"), ("target_end", "built")]
    assert marks[1]["returned"] == {"n": 7, "twice": [7, 7]}
    assert doc["meta"] == {"version": sarv.__version__, "source": "pytest", "use_frame_boundaries": True}


# ------------------------------------------------- API checks and defaults


def test_config_sarv_db_sits_between_pyproject_and_overrides(tmp_path, monkeypatch):
    write(tmp_path / "pyproject.toml", '[tool.sarv]\ndb_path = "from_file.db"\n')
    monkeypatch.delenv("SARV_DB", raising=False)
    assert load_config(start_dir=tmp_path)["db_path"] == str(tmp_path / "from_file.db")
    monkeypatch.setenv("SARV_DB", "/env/traces.db")
    assert load_config(start_dir=tmp_path)["db_path"] == "/env/traces.db"
    assert load_config({"db_path": "/explicit.db"}, start_dir=tmp_path)["db_path"] == "/explicit.db"


def test_explicit_configurations_are_checked_before_profiling(tmp_path, fake_core):
    with pytest.raises(ConfigError, match=r"^threading: expected true or false"):
        Profiler({"threading": 1})
    with pytest.raises(ConfigError, match=r"^filters.include_frames: "):
        profiling(filters={"include_frames": "src/"})
    with pytest.raises(ConfigError, match=r"^threadin: unknown key"):
        profile(threadin=True)
    assert callable(profile(source="job", one_trace_per_test=False)(len))
    assert Profiler({"sqlite_busy_timeout": 3}).config["lightweight_repr"] is False  # defaults filled in
    # A plugin whose callable cannot be imported stops start(), naming it,
    # before the core is asked to do anything.
    bad = Profiler(
        {
            "plugins": [
                {
                    "functions": ["f"],
                    "path_fragment": "",
                    "call_type": "a",
                    "return_type": "b",
                    "process": "sarv_no_such_module_abc:f",
                }
            ]
        },
        db_path=tmp_path / "t.db",
    )
    with pytest.raises(ConfigError, match=r"^plugins\[0\]\.process: cannot import"):
        bad.start()
    assert fake_core.calls == []


def test_async_functions_are_profiled_while_awaited(tmp_path):
    import asyncio

    pytest.importorskip("sarv._sarv")

    @profile(db_path=str(tmp_path / "t.db"))
    async def fetch(n):
        await asyncio.sleep(0)
        return traced_target(n)

    assert asyncio.run(fetch(4)) == {"n": 4, "twice": [4, 4]}
    document = fetch.last_profiler.load_trace()
    names = [(r["co_name"], r["event"]) for r in document["frames_of_interest"]]
    assert ("traced_target", "call") in names and ("traced_target", "return") in names


def test_one_trace_per_test_profiler_does_not_save_leftovers(tmp_path):
    pytest.importorskip("sarv._sarv")
    path = tmp_path / "t.db"
    with Profiler({}, db_path=path, one_trace_per_test=True) as p:
        traced_target(1)
    assert p.record_count is None
    assert not path.exists()  # no test boundary was seen: nothing belongs to a test


def _called(document):
    return [r["co_name"] for r in document["frames_of_interest"] if r.get("event") == "call"]


def test_profiler_misuse_never_loses_or_overwrites_a_trace(tmp_path):
    pytest.importorskip("sarv._sarv")
    path = str(tmp_path / "t.db")

    # Reused: each run is its own trace, both reachable.
    p = Profiler({}, db_path=path)
    ids = []
    for n in (1, 2):
        with p:
            traced_target(n)
        ids.append(p.trace_id)
    assert ids[0] != ids[1]
    assert [db.find_trace(path, i).record_count for i in ids] == [2, 2]
    p.stop()  # stopped already: nothing saved twice
    assert len(db.list_traces(path)) == 2
    given = Profiler({}, db_path=path, trace_id="trc_" + "A" * 26)
    with given:
        pass
    with pytest.raises(RuntimeError, match="already saved trace"):
        given.start()

    # Stopping a profiler that never ran, or one whose hook another replaced, leaves
    # the live one recording.
    live = Profiler({}, db_path=path).start()
    with pytest.raises(RuntimeError, match="never started"):
        Profiler({}, db_path=path).stop()
    traced_target(3)
    live.stop()
    assert _called(live.load_trace()) == ["traced_target"]
    outer = Profiler({}, db_path=path).start()
    inner = Profiler({}, db_path=path).start()
    with pytest.raises(RuntimeError, match="already running"):
        inner.start()
    outer.stop()
    traced_target(4)
    inner.stop()
    assert _called(inner.load_trace()) == ["traced_target"]


def test_generator_functions_are_profiled_over_their_life(tmp_path):
    import asyncio

    pytest.importorskip("sarv._sarv")
    path = str(tmp_path / "t.db")

    @profile(db_path=path)
    def numbers(n):
        for i in range(n):
            yield traced_target(i)["n"]
        return "done"

    gen = numbers(3)
    assert numbers.last_profiler is None  # nothing ran yet
    assert list(gen) == [0, 1, 2]
    assert _called(numbers.last_profiler.load_trace()).count("traced_target") == 3

    @profile(db_path=path)
    async def ticks(n):
        for i in range(n):
            await asyncio.sleep(0)
            yield traced_target(i)["n"]

    async def consume():
        return [i async for i in ticks(2)]

    assert asyncio.run(consume()) == [0, 1]
    assert _called(ticks.last_profiler.load_trace()).count("traced_target") == 2
