"""Reference and memory leaks: many calls, successful and failing, leave
the argument objects' reference counts unchanged and memory flat."""

import contextlib
import gc
import importlib
import logging
import os
import sys
import tracemalloc
import weakref

import pytest

from conftest import identity, save
from vantorel.core import simulation_storage as ss


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom


@pytest.fixture
def calls(store, monkeypatch):
    """Calls through every function and most error paths, with the objects
    they receive."""
    monkeypatch.setattr(logging.getLogger("vantorel"), "disabled", True)
    probe = identity(component_name="probe", component_settings={"w": 1.5})
    saved = save(**probe)
    sid = saved.simulation_id
    (store / "fdtd" / "broken.json").write_bytes(b"{")  # listing warns
    os.mkfifo(store / "fdtd" / "x_fifo0123456789ab.json")  # a read refuses
    bad_json = type("BadJson", (), {"dumps": staticmethod(boom)})()
    ok = [
        lambda: ss._compute_simulation_id(**probe),
        lambda: ss.get_simulation_file_path("fdtd", "probe", sid),
        lambda: ss._find_simulation_file(sid),
        lambda: save(**probe),
        lambda: ss.load_simulation_result(sid),
        lambda: ss.find_simulation_result(**probe),
        lambda: ss.list_simulation_results(component_name="probe"),
        lambda: ss._matches_filters(saved, "probe", "x", None, None),
        lambda: ss.delete_simulation_result("0" * 16),
        lambda: ss.clear_simulation_results(component_name="nobody"),
    ]
    failing = [
        lambda: ss.save_simulation_result("x"),
        lambda: ss.load_simulation_result(None),
        lambda: ss.list_simulation_results(bogus=1),
        lambda: save(**probe, execution_time_seconds="slow"),
        lambda: save(**dict(probe, simulation_type="a/b")),
        lambda: ss._compute_simulation_id(**dict(probe, model_parameters={"x": object()})),
        lambda: save(**probe, wavelengths=(1.5,)),
        lambda: save(**probe, result={"s21": [[0.5, float("nan")]]}),
        lambda: ss.clear_simulation_results(simulation_type="../elsewhere"),
        lambda: ss.load_simulation_result("fifo0123456789ab"),
    ]

    def patched(name, value, call):
        def run():
            with monkeypatch.context() as m:
                m.setattr(ss, name, value)
                call()

        return run

    failing += [
        patched("get_simulations_dir", boom, ok[6]),
        patched("log", boom, ok[6]),
        patched("json", bad_json, ok[0]),
        # dumps giving text, not bytes: the write refuses it before any file
        patched(
            "orjson",
            type(
                "TextJson", (), {"dumps": staticmethod(lambda *a, **k: "text"), "OPT_INDENT_2": 0}
            )(),
            ok[3],
        ),
        patched("StoredSimulationResult", boom, ok[3]),
        patched("_find_simulation_file", boom, ok[4]),
    ]
    return probe, ok, failing


def run_all(ok, failing):
    for call in ok:
        call()
    for call in failing:
        with pytest.raises((TypeError, ValueError, OSError, Boom)):
            call()


def test_reference_counts_of_arguments_unchanged(calls):
    probe, ok, failing = calls
    run_all(ok, failing)
    gc.collect()  # garbage of earlier tests may still hold the same strings
    before = {k: sys.getrefcount(v) for k, v in probe.items()}
    for _ in range(200):
        run_all(ok, failing)
    gc.collect()
    assert {k: sys.getrefcount(v) for k, v in probe.items()} == before


def test_memory_stays_flat(calls):
    _, ok, failing = calls
    for _ in range(50):
        run_all(ok, failing)
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(20):
            run_all(ok, failing)
        growths = []
        # The interpreter's table of interned strings, which calls fill and
        # empty, is rebuilt now and then, larger: in one window, never two.
        for _ in range(2):
            gc.collect()
            start = tracemalloc.get_traced_memory()[0]
            for _ in range(300):
                run_all(ok, failing)
            gc.collect()
            growths.append(tracemalloc.get_traced_memory()[0] - start)
    finally:
        tracemalloc.stop()
    assert min(growths) < 64 * 1024, f"grew by {growths} bytes"


def test_sort_key_in_a_reference_cycle_is_collected(store):
    """The per-listing sort key supports the garbage collector: a cycle
    through its __dict__ does not keep it alive."""
    captured = []

    class Record:
        def __init__(self, date):
            self.date = date

        @property
        def simulation_date(self):
            for obj in gc.get_objects():
                if (
                    type(obj) is type(ss.list_simulation_results)
                    and obj.__name__ == "<lambda>"
                    and not captured
                ):
                    obj.cycle = obj
                    captured.append(weakref.ref(obj))
            return self.date

    class Validator:
        model_validate = staticmethod(lambda data: Record(data["d"]))

    for name in ("a", "b"):
        (store / "t").mkdir(parents=True, exist_ok=True)
        (store / "t" / f"{name}.json").write_text(f'{{"d": "{name}"}}')
    with pytest.MonkeyPatch.context() as m:
        m.setattr(ss, "StoredSimulationResult", Validator)
        dates = [r.date for r in ss.list_simulation_results()]
    assert dates == ["b", "a"]
    assert captured and captured[0]() is not None
    gc.collect()
    assert captured[0]() is None


def test_reimport_after_removal_does_not_leak():
    name = "vantorel.core.simulation_storage"

    def reimport():
        del sys.modules[name]
        assert importlib.import_module(name) is ss

    for _ in range(50):
        reimport()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(2000):
        reimport()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200


@pytest.mark.parametrize("any_store", ["s3"], indirect=True)
def test_object_storage_paths_keep_no_records_or_paths(any_store, monkeypatch):
    """The shortcuts on object storage (a read at the result's place, the
    recursive listing, fetched batches, batched deletes) and their error
    paths leave no path object or record behind."""
    from upath import UPath

    from vantorel.core import object_store
    from vantorel.models import StoredSimulationResult

    monkeypatch.setattr(logging.getLogger("vantorel"), "disabled", True)
    probe = identity(component_name="p[1]", component_settings={"w": 1.5})
    damaged = identity(component_name="d")
    (any_store / "fdtd" / "x_0000000000000001.json").write_bytes(b"{")
    remove_listed = object_store.S3ObjectStore.remove_listed

    def refused(self, listed, on_removed):
        remove_listed(self, listed[:1], on_removed)
        raise PermissionError(13, "refused")

    def round_trip():
        record = save(**probe)
        save(**damaged)
        ss._find_simulation_file(ss._compute_simulation_id(**damaged)).write_bytes(b"[")
        for ident in (probe, damaged, identity(component_name="none")):
            with contextlib.suppress(ValueError):
                ss.find_simulation_result(**ident)
        ss.load_simulation_result(record.simulation_id)
        ss.list_simulation_results()
        ss.delete_simulation_result(record.simulation_id)
        save(**probe)
        with monkeypatch.context() as patch:
            patch.setattr(object_store.S3ObjectStore, "remove_listed", refused)
            with pytest.raises(PermissionError):
                ss.clear_simulation_results(component_name="p[1]")
        ss.clear_simulation_results()

    def alive():
        gc.collect()
        return sum(isinstance(o, (UPath, StoredSimulationResult)) for o in gc.get_objects())

    round_trip()
    before = alive()
    for _ in range(5):
        round_trip()
    assert alive() == before
