"""Odd files dropped into the store, odd values handed to a save, filters
that point outside the store: nothing hangs, nothing leaves the store, and
nothing is saved that cannot be read back."""

import builtins
import math
import os
import re
import shutil
import signal
import socket
from contextlib import contextmanager
from types import SimpleNamespace

import pytest

from conftest import identity, save
from vantorel.core import simulation_storage as ss
from vantorel.models import SimulationHyperparameters

SID = "0123456789abcdef"
NAN, INF = math.nan, math.inf


class Hung(BaseException):
    """Not an Exception: a listing must not swallow it as a bad file."""


@contextmanager
def deadline(seconds=10):
    def expire(signum, frame):
        raise Hung(f"no answer within {seconds} s")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


def make_socket(path):
    here = os.getcwd()
    os.chdir(path.parent)  # a socket's path must stay within 108 bytes
    try:
        server = socket.socket(socket.AF_UNIX)
        server.bind(path.name)
    finally:
        os.chdir(here)
    return server


SPECIAL = {
    "fifo": os.mkfifo,
    "socket": make_socket,
    "device": lambda path: path.symlink_to("/dev/null"),
}


@pytest.mark.parametrize("kind", SPECIAL)
def test_special_files_are_refused_without_blocking(store, logs, kind):
    good = save()
    path = store / "fdtd" / f"x_{SID}.json"
    server = SPECIAL[kind](path)
    try:
        with deadline():
            assert ss.list_simulation_results() == [good]
            assert logs()[1:] == [("WARNING", f"Failed to parse simulation file: {path}")]
            with pytest.raises(OSError) as error:
                ss.load_simulation_result(SID)
            assert error.value.filename == str(path)
            assert ss.clear_simulation_results(component_name="x") == 0
    finally:
        if server is not None:
            server.close()
    assert os.path.lexists(path)


def test_symlinked_result_reads_through(store, tmp_path):
    record = save()
    path = ss._find_simulation_file(record.simulation_id)
    shutil.move(path, tmp_path / "elsewhere.json")
    path.symlink_to(tmp_path / "elsewhere.json")
    assert ss.load_simulation_result(record.simulation_id) == record
    assert ss.list_simulation_results() == [record]


def test_path_with_its_own_read_bytes_is_asked(store, monkeypatch):
    record, reads = save(), []

    class Traced(type(store)):
        def read_bytes(self):
            reads.append(self.name)
            return super().read_bytes()

    monkeypatch.setattr(ss, "get_simulations_dir", lambda: Traced(store))
    assert ss.list_simulation_results() == [record]
    assert ss.load_simulation_result(record.simulation_id) == record
    assert reads == [f"mmi1x2_{record.simulation_id}.json"] * 2


@pytest.mark.parametrize(
    "field, value, place",
    [
        ("execution_time_seconds", NAN, "execution_time_seconds is nan"),
        ("wavelengths", [1.5, INF], "wavelengths[1] is inf"),
        ("result", {"o1@0,o2@0": [0.5] * 17 + [NAN]}, "result['o1@0,o2@0'][17] is nan"),
        ("component_settings", {"w": -INF}, "component_settings['w'] is -inf"),
        ("model_parameters", {"a": {"b": (1.0, NAN)}}, "model_parameters['a']['b'][1] is nan"),
    ],
)
def test_non_finite_values_are_refused_before_any_write(store, logs, field, value, place):
    assert ss._compute_simulation_id(
        **identity(component_settings={"w": NAN})
    )  # the ID itself still takes what json.dumps takes
    with pytest.raises(ValueError, match="^" + re.escape(place)):
        save(**{field: value})
    assert not store.exists() and logs() == []
    earlier = save(component_name="kept")
    path = ss._find_simulation_file(earlier.simulation_id)
    content = path.read_bytes()
    with pytest.raises(ValueError):
        save(component_name="kept", **{field: value})
    assert path.read_bytes() == content


def test_non_finite_hyperparameters_are_refused():
    with pytest.raises(ValueError, match="finite"):
        SimulationHyperparameters(wavelength_start_um=NAN)


OUTSIDE = ["..", "../outside", "a/b", "a\0b", "/abs"]


@pytest.mark.parametrize("kind", OUTSIDE)
def test_type_filters_never_leave_the_store(store, monkeypatch, kind):
    with pytest.raises(ValueError) as refused:
        save(simulation_type=kind)
    monkeypatch.setattr(ss, "get_simulations_dir", None)  # nothing is read
    for call in (ss.list_simulation_results, ss.clear_simulation_results):
        with pytest.raises(ValueError) as error:
            call(simulation_type=kind)
        assert str(error.value) == str(refused.value)


def test_dot_filter_lists_the_top_directory(store):
    record = save()
    shutil.copy(ss._find_simulation_file(record.simulation_id), store)
    assert ss.list_simulation_results(simulation_type=".") == [record]
    assert ss.list_simulation_results(simulation_type="") == [record]


def test_clear_removes_the_listed_copy_not_its_namesake(store, logs):
    record = save()
    live = ss._find_simulation_file(record.simulation_id)
    backup = store / "backup" / live.name
    backup.parent.mkdir()
    shutil.copy(live, backup)
    before = len(logs())
    assert ss.clear_simulation_results(simulation_type="backup") == 1
    assert live.exists() and not backup.exists()
    assert logs()[before:] == [
        ("DEBUG", f"Deleted simulation file: {backup}"),
        ("DEBUG", "Cleared 1 simulation result(s)"),
    ]


@pytest.mark.parametrize(
    "rebound", ["list_simulation_results", "delete_simulation_result", "_find_simulation_file"]
)
def test_clear_through_rebound_names_matches_its_own(store, logs, monkeypatch, rebound):
    def fill():
        for name, kind in [("a", "fdtd"), ("b", "eme"), ("c", "fdtd")]:
            save(component_name=name, simulation_type=kind)

    fill()
    start = len(logs())
    own = ss.clear_simulation_results(factory_name="mmi1x2_factory")
    own_lines = logs()[start:]
    fill()
    original, calls = getattr(ss, rebound), []
    monkeypatch.setattr(ss, rebound, lambda *a, **k: (calls.append(a), original(*a, **k))[1])
    start = len(logs())
    assert ss.clear_simulation_results(factory_name="mmi1x2_factory") == own
    assert logs()[start:] == own_lines and calls and own == 3


def test_resave_keeps_mode_owner_and_group(store):
    path = ss._find_simulation_file(save().simulation_id)
    path.chmod(0o600)
    save(result={"s21": [0.1]})
    assert path.stat().st_mode & 0o777 == 0o600
    if os.geteuid() != 0:
        pytest.skip("giving a file to another user needs root")
    os.chown(path, 12345, 23456)
    save(result={"s21": [0.2]})
    assert (path.stat().st_uid, path.stat().st_gid) == (12345, 23456)


@pytest.mark.parametrize("sid", ["a/b", "a\0b"])
def test_unholdable_ids_still_walk_the_store(store, monkeypatch, sid):
    calls = []
    entry = SimpleNamespace(
        is_dir=lambda: calls.append("is_dir") or True, glob=lambda pattern: calls.append("glob")
    )
    root = SimpleNamespace(
        exists=lambda: calls.append("exists") or True,
        iterdir=lambda: calls.append("iterdir") or [entry],
    )
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: root)
    assert ss.load_simulation_result(sid) is None
    assert ss.delete_simulation_result(sid) is False
    assert calls == ["exists", "iterdir", "is_dir"] * 2
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        ss.load_simulation_result(sid)


def broken_after_one(item):
    yield item
    raise KeyError("iteration failed")


class Directory(SimpleNamespace):
    def __truediv__(self, name):
        return self.child


@pytest.mark.parametrize(
    "call, broken",
    [
        (lambda: ss._find_simulation_file(SID), "iterdir"),
        (ss.list_simulation_results, "iterdir"),
        (lambda: ss.list_simulation_results(simulation_type="t"), "glob"),
    ],
)
def test_failing_directory_iteration_propagates(monkeypatch, call, broken):
    damaged = SimpleNamespace(read_bytes=lambda: b"{")
    type_dir = SimpleNamespace(
        exists=lambda: True,
        is_dir=lambda: True,
        glob=lambda pattern: broken_after_one(damaged) if broken == "glob" else iter([]),
    )
    root = Directory(
        exists=lambda: True,
        child=type_dir,
        iterdir=lambda: broken_after_one(type_dir) if broken == "iterdir" else iter([type_dir]),
    )
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: root)
    monkeypatch.setattr(ss, "log", lambda: SimpleNamespace(warning=lambda text: None))
    with pytest.raises(KeyError, match="iteration failed"):
        call()


def test_globals_fall_back_to_builtins(store, monkeypatch):
    record = save()
    directory = ss.get_simulations_dir
    monkeypatch.delattr(ss, "get_simulations_dir")
    with pytest.raises(NameError, match="'get_simulations_dir'"):
        ss.list_simulation_results()
    monkeypatch.setattr(builtins, "get_simulations_dir", directory, raising=False)
    assert ss.list_simulation_results() == [record]


@pytest.mark.parametrize("made_id", [None, 5, b"0123456789abcdef"])
def test_ids_that_are_no_str_are_refused_not_read(store, monkeypatch, made_id):
    save()
    monkeypatch.setattr(ss, "_compute_simulation_id", lambda **kw: made_id)
    with pytest.raises(TypeError, match="simulation_id"):
        ss.find_simulation_result(**identity())


def test_store_path_no_file_system_can_name(store, monkeypatch):
    """pathlib answers for it (exists() is False), not the system calls."""
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: store / "a\0b")
    assert ss.load_simulation_result(SID) is None
    assert ss.find_simulation_result(**identity()) is None
    assert ss.list_simulation_results() == []
