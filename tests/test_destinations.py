"""Every trace a profiler records is saved through the destination its caller handed
over, and no other save is: the core's saves arrive at sarv.db.save_trace_in_sqlite with
the database and the trace id only."""

import msgpack
import pytest

import sarv
from sarv import db
from sarv.config import load_config
from sarv.destinations import SaveNow
from sarv.profiler import Profiler
from sarv.pytest_plugin import _sarv_test_end, _sarv_test_start, plugin_declarations
from sarv.store import routes


class Noted(SaveNow):
    """Stores at once, noting the trace ids it is handed; fails the first `failing` saves."""

    def __init__(self, db_path, failing=0):
        super().__init__(db_path)
        self.saved = []
        self.failing = failing

    def save(self, trace_id, document, timeout=None):
        self.saved.append(trace_id)
        if self.failing:
            self.failing -= 1
            raise OSError("disk full")
        return super().save(trace_id, document, timeout)


def work(n):
    return n + 1


def foreign_save(path, trace_id):
    # A save of another trace into the same database while the profiler runs (a program's
    # own, a spool recovered): stored at once, its row id returned.
    return db.save_trace_in_sqlite(path, trace_id, msgpack=msgpack.packb({"trace_id": trace_id}))


def test_a_runs_trace_goes_to_its_destination_and_nothing_else_does(tmp_path):
    path = str(tmp_path / "t.db")
    noted = Noted(path, failing=1)
    profiler = sarv.profiling(destination=noted)
    with pytest.raises(OSError, match="disk full"):
        with profiler:
            work(1)
            assert isinstance(foreign_save(path, "trc_foreign"), int)
            with Profiler(load_config({}), db_path=path) as inner:  # its own destination: at once
                work(2)
    assert noted.saved == [profiler.trace_id]
    assert profiler.db_path == noted.db_path
    profiler.stop()  # the failed save is tried again, through the same destination
    assert noted.saved == [profiler.trace_id] * 2
    stored = {s.trace_id: s.record_count for s in db.list_traces(path)}
    assert set(stored) == {"trc_foreign", inner.trace_id, profiler.trace_id}
    assert stored[profiler.trace_id] == profiler.record_count > 0
    assert routes._routes == {}

    with pytest.raises(ValueError, match="destination's database"):
        Profiler(load_config({}), db_path=str(tmp_path / "other.db"), destination=noted)


def test_each_tests_trace_goes_to_the_destination_under_the_id_the_core_made(tmp_path):
    path = str(tmp_path / "t.db")
    noted = Noted(path)
    config = load_config({})
    config["plugins"] = list(config["plugins"]) + plugin_declarations()
    profiler = Profiler(config, one_trace_per_test=True, destination=noted)
    with profiler:
        for name in ("test_a", "test_b"):
            _sarv_test_start(name)
            work(3)
            assert isinstance(foreign_save(path, "trc_%s" % name), int)
            _sarv_test_end(name, "passed")
    assert len(set(noted.saved)) == 2 and profiler.trace_id not in noted.saved
    by_id = {s.trace_id: s.test_name for s in db.list_traces(path)}
    assert [by_id[trace_id] for trace_id in noted.saved] == ["test_a", "test_b"]
    assert {"trc_test_a", "trc_test_b"} <= set(by_id)
    assert routes._routes == {}
