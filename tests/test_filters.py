"""Which frames are recorded: the file-name rules, the attrs caller rule and the configured
include and ignore fragments, tried on real frames compiled under chosen file names."""

import pytest

PROBE = "def probe():\n    return 1\n"
CALLER = "def call(fn, *rest):\n    return fn(*rest)\n"
VIEWS = "/home/u/project/app/views.py"
DJANGO = "/home/u/.venv/lib/python3.12/site-packages/django/db/models/base.py"


def recorded_events(recording, target, *args, filters=None):
    config = {} if filters is None else {"filters": filters}
    _, trace, _ = recording.run(target, *args, config=config)
    return [(r["co_name"], r["event"]) for r in trace.records]


def probe_recorded(recording, filename, filters=None):
    probe = recording.module(PROBE, filename=filename)["probe"]
    events = recorded_events(recording, probe, filters=filters)
    assert events in ([], [("probe", "call"), ("probe", "return")])
    return bool(events)


@pytest.mark.parametrize(
    "filename, filters, expected",
    [
        ("/usr/lib/python3.12/json/decoder.py", None, False),
        (DJANGO, None, False),
        (VIEWS, None, True),
        ("/home/u/mylib/python_tools/x.py", None, False),
        ("/opt/Site-Packages/pkg/x.py", None, True),
        ("/opt/site-packages/pkg/x.py", None, False),
        (DJANGO, {"include_frames": ["site-packages/django/"]}, True),
        (VIEWS, {"ignore_frames": ["app/views"]}, False),
        (VIEWS, {"ignore_frames": ["App/Views"]}, True),
        (VIEWS, {"include_frames": ["app/views"], "ignore_frames": ["app/views"]}, True),
        (VIEWS, {"include_frames": ["nothing/here"], "ignore_frames": ["x", "project/"]}, False),
        ("<frozen importlib._bootstrap>", None, False),
        ("<frozen", None, True),
        ("<string>", None, False),
        ("/tmp/<string>/gen.py", None, False),
        ("<pytest match expression>", None, False),
        ("<pytest match expression>x", None, True),
        ("<attrs generated init app.Model>", None, False),
        ("x<attrs generated init>", None, True),
        ("/home/u/src/sarv/serialize/walker.py", None, False),
        ("/home/u/src/sarv/serialize/__init__.py", None, False),
        ("/home/u/src/sarv/filters/x.py", None, False),
        ("/home/u/src/sarv/views/text.py", None, False),
        ("/home/u/src/sarv/notebook.py", None, False),
        ("/home/u/src/sarv/cli/run.py", None, False),
        ("/home/u/src/sarv/other.py", None, True),
        ("/home/u/src/sarv/__init__.py", None, False),
        ("/home/u/src/sarvx/serialize/walker.py", None, True),
        ("/usr/lib/python3.12/json/decoder.py", {"include_frames": [""]}, True),
        ("<frozen importlib._bootstrap>", {"include_frames": [""]}, True),
        (VIEWS, {"ignore_frames": [""]}, False),
        (VIEWS, {"include_frames": ["app/"], "ignore_frames": [""]}, True),
    ],
)
def test_file_name_rules(recording, filename, filters, expected):
    assert probe_recorded(recording, filename, filters) is expected


def test_this_test_file_is_recorded_by_default(recording):
    def local():
        return 1

    assert recorded_events(recording, local) == [("local", "call"), ("local", "return")]


def test_decision_follows_each_profilers_own_filters(recording):
    # The same code object under profilers with different configurations.
    probe = recording.module(PROBE, filename=VIEWS)["probe"]
    outcomes = [
        bool(recorded_events(recording, probe, filters=filters))
        for filters in (None, {"ignore_frames": ["app/views"]}, None, {"include_frames": ["app/"]})
    ]
    assert outcomes == [True, False, True, True]


@pytest.mark.parametrize(
    "chain, expected",
    [
        (["/x/attr/_make.py"], False),
        (["/x/attrs/_make.py"], True),
        (["/x/attr/_make.pyc"], True),
        (["/x/attr/_make.py", ""], False),
        (["/x/attr/_make.py", "/x/mid.py"], True),
        (["/x/attr/_make.py", "", ""], True),
        (["/x/other.py", ""], True),
        ([], True),
    ],
    ids=["caller", "attrs-dir", "suffix", "via-nameless", "two-levels", "too-far", "nameless-no-attrs", "plain"],
)
def test_attrs_caller_rule(recording, chain, expected):
    # chain[0] calls chain[1] ... whose last one calls the probe, which lives in a user file.
    probe = recording.module(PROBE, filename=VIEWS)["probe"]
    callers = [recording.module(CALLER, filename=name)["call"] for name in chain]
    links = callers + [probe]
    events = recorded_events(recording, links[0], *links[1:])
    assert (("probe", "call") in events) is expected
    assert (("probe", "return") in events) is expected
    # The rule looks at the caller of each event, not at a remembered answer per function.
    assert bool(recorded_events(recording, probe)) is True


def test_attrs_rule_can_be_overridden_by_include(recording):
    probe = recording.module(PROBE, filename=VIEWS)["probe"]
    call = recording.module(CALLER, filename="/x/attr/_make.py")["call"]
    events = recorded_events(recording, call, probe, filters={"include_frames": ["app/views"]})
    assert ("probe", "call") in events
