"""vantorel.Store: stores chosen in code, numpy in, and get_or_run as a
cache (one worker; the claims between workers are in test_compute_once)."""

import asyncio
import inspect
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import orjson
import pytest

from conftest import identity
from vantorel import Store, settings
from vantorel.core import simulation_storage as ss
from vantorel.models import SimulationHyperparameters, StoredSimulationResult

OUTPUT = ({"s21": [0.5, 0.25]}, [1.5, 1.6])


def counted(output=OUTPUT):
    """A run that returns `output`, with the list of its calls."""
    calls = []

    def run():
        calls.append(1)
        return output

    return run, calls


def test_stores_act_on_their_own_location(any_store, tmp_path, monkeypatch):
    environment = dict(os.environ)
    mine, other = Store(str(any_store)), Store(tmp_path / "other")
    assert mine.location == any_store and other.location == tmp_path / "other"

    def save_many(store, name):
        return [
            store.save(
                **identity(component_name=f"{name}{n}"),
                result={},
                wavelengths=[],
                execution_time_seconds=0,
            )
            for n in range(20)
        ]

    async def both():  # tasks on one thread, and threads, all at once
        return await asyncio.gather(
            asyncio.to_thread(save_many, mine, "m"), asyncio.to_thread(save_many, other, "o")
        )

    saved_mine, saved_other = asyncio.run(both())
    assert sorted(r.component_name for r in mine.list()) == sorted(
        r.component_name for r in saved_mine
    )
    assert {r.simulation_id for r in other.list()} == {r.simulation_id for r in saved_other}
    record = saved_mine[0]
    assert mine.load(record.simulation_id) == record and other.load(record.simulation_id) is None
    assert mine.find(**identity(component_name="m0")) == record
    assert mine.delete(record.simulation_id) and not other.delete(record.simulation_id)
    assert mine.clear(component_name="m1") == 1 and len(mine.list()) == 18
    assert dict(os.environ) == environment and settings.store_location.get() is None

    monkeypatch.setenv("VANTOREL_SIMULATIONS_DIR", str(tmp_path / "env"))
    assert Store().location == tmp_path / "env" and Store().list() == []
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: tmp_path / "rebound")
    other.save(**identity(), result={}, wavelengths=[], execution_time_seconds=0)
    assert (tmp_path / "rebound" / "fdtd").is_dir()  # rebinding overrides every store


NUMPY_FIELDS = [  # (numpy or tuples, the same values as Python lists and numbers)
    (
        {"w": np.float64(0.5), "n": np.int64(3), "on": np.bool_(True)},
        {"w": 0.5, "n": 3, "on": True},
    ),
    (
        {"size": (np.float32(0.25), 2), "grid": np.arange(4).reshape(2, 2)},
        {"size": [0.25, 2], "grid": [[0, 1], [2, 3]]},
    ),
    ({"z": np.array([1 + 2j, 3]), "c": np.complex128(0.5j)}, {"z": [1 + 2j, 3.0], "c": 0.5j}),
]


@pytest.mark.parametrize("numpy_values, python_values", NUMPY_FIELDS)
def test_numpy_identity_has_the_python_values_id(store, numpy_values, python_values):
    store_ = Store(store)
    record = store_.save(
        **identity(
            component_settings=numpy_values,
            model_parameters={"k": np.float64(2.0)},
            hyperparameters={"num_wavelengths": np.int64(3)},
        ),
        result={"s21": np.array([0.5 + 0.5j, -1j])},
        wavelengths=np.linspace(1.5, 1.6, 3),
        execution_time_seconds=1,
    )
    python_identity = identity(
        component_settings=python_values,
        model_parameters={"k": 2.0},
        hyperparameters=SimulationHyperparameters(num_wavelengths=3),
    )
    assert store_.simulation_id(**python_identity) == record.simulation_id
    assert store_.find(**python_identity) == record
    assert record.result == {"s21": {"real": [0.5, 0.0], "imag": [0.5, -1.0]}}
    assert record.wavelengths == [1.5, 1.55, 1.6]
    if "z" in python_values:  # complex values split into real and imaginary parts
        assert record.component_settings["z"] == {"real": [1.0, 3.0], "imag": [2.0, 0.0]}


def test_conversion_needs_no_numpy(tmp_path):
    code = """import json, sys
tried = []

class NoNumpy:  # as if numpy were not installed, and noting who asks for it
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] == "numpy":
            tried.append(name)
            raise ModuleNotFoundError(name)

sys.meta_path.insert(0, NoNumpy())
import vantorel
light = not {"pydantic", "vantorel.store"} & set(sys.modules)  # import vantorel stays light
from vantorel import Store
from conftest import identity
store = Store(sys.argv[1])
record = store.save(**identity(component_settings={"size": (1, 2.5), "z": [1j, 2]}),
                    result={"s": 1 - 1j}, wavelengths=(1.5,), execution_time_seconds=1)
print(json.dumps([record.simulation_id, record.component_settings, record.result,
                  tried, light]))
"""
    out = subprocess.run(
        [sys.executable, "-c", code, str(tmp_path)],
        capture_output=True,
        text=True,
        check=True,
        cwd=Path(__file__).parent,
        timeout=60,
    )
    settings_ = {"size": [1, 2.5], "z": {"real": [0.0, 2.0], "imag": [1.0, 0.0]}}
    expected = Store().simulation_id(**identity(component_settings=settings_))
    assert json.loads(out.stdout) == [
        expected,
        settings_,
        {"s": {"real": 1.0, "imag": -1.0}},
        [],
        True,
    ]


def test_get_or_run_runs_once_then_finds(any_store, logs):
    store, calls = Store(any_store), []

    def run():  # the store is bound around its own calls only, never around a run
        calls.append(settings.store_location.get())
        return {"s21": np.array([0.5, 0.25])}, (1.5, 1.6)

    first = store.get_or_run(run, **identity())
    assert store.get_or_run(run, **identity()) == first == store.find(**identity())
    assert calls == [None] and first.status == "success" and first.result == OUTPUT[0]
    assert 0 <= first.execution_time_seconds < 5 and first.wavelengths == [1.5, 1.6]
    assert [level for level, _ in logs()] == ["DEBUG"]  # the save, nothing else


@pytest.mark.parametrize("any_store", ["local", "s3"], indirect=True)
def test_failed_runs_save_nothing_and_leave_no_visible_claim(any_store):
    store = Store(any_store)

    def fails():
        raise RuntimeError("solver crashed")

    with pytest.raises(RuntimeError, match="solver crashed"):
        store.get_or_run(fails, **identity())
    assert store.list() == [] and store.find(**identity()) is None
    assert ss.list_simulation_results() == []  # the released claim is invisible
    run, calls = counted()
    assert store.get_or_run(run, **identity()).status == "success" and calls == [1]


@pytest.mark.parametrize("rerun_failed", [True, False])
def test_stored_errors_run_again_when_asked(store, rerun_failed):
    store_ = Store(store)
    failed = store_.save(
        **identity(),
        result={},
        wavelengths=[],
        execution_time_seconds=1,
        status="error",
        error_message="diverged",
    )
    run, calls = counted()
    record = store_.get_or_run(run, **identity(), rerun_failed=rerun_failed)
    assert (record == failed) is not rerun_failed and len(calls) == rerun_failed
    assert store_.find(**identity()).status == ("success" if rerun_failed else "error")


DAMAGE = {
    "truncated": lambda path: path.write_bytes(b'{"component_name": "mm'),
    "invalid": lambda path: path.write_bytes(b'{"status": "maybe"}'),
    "fifo": os.mkfifo,
}


@pytest.mark.parametrize("kind", DAMAGE)
def test_damaged_files_are_misses_and_replaced(store, logs, kind):
    store_ = Store(store)
    sid = store_.simulation_id(**identity())
    path = store / "fdtd" / f"mmi1x2_{sid}.json"
    path.parent.mkdir(parents=True)
    DAMAGE[kind](path)
    run, calls = counted()
    record = store_.get_or_run(run, **identity())
    assert calls == [1] and store_.find(**identity()) == record and path.is_file()
    warnings = [message for level, message in logs() if level == "WARNING"]
    assert len(warnings) == 1 and str(path) in warnings[0]


def test_a_directory_in_a_results_place_raises_before_any_run(store):
    store_ = Store(store)
    (store / "fdtd" / f"mmi1x2_{store_.simulation_id(**identity())}.json").mkdir(parents=True)
    run, calls = counted()
    with pytest.raises(IsADirectoryError):
        store_.get_or_run(run, **identity())
    assert calls == []


@pytest.mark.parametrize("any_store", ["memory", "s3"], indirect=True)
def test_damaged_objects_are_misses(any_store, logs):
    store = Store(any_store)
    path = any_store / "fdtd" / f"mmi1x2_{store.simulation_id(**identity())}.json"
    path.write_bytes(b"\x00 not json")
    run, calls = counted()
    assert store.get_or_run(run, **identity()).status == "success" and calls == [1]
    assert [level for level, _ in logs()].count("WARNING") == 1 and str(path) in str(logs())


@pytest.mark.parametrize(
    "error, damaged",
    [
        (PermissionError(13, "Permission denied", "x.json"), False),
        (OSError(5, "Input/output error"), False),
        (OSError(22, "The specified bucket is not valid."), False),
        (orjson.JSONDecodeError("unexpected end of data", "", 0), True),
    ],
)
def test_lookups_that_cannot_read_raise_and_damage_runs(store, monkeypatch, logs, error, damaged):
    error.add_note("Simulation file: /elsewhere/x.json")

    def lookup(**_):
        raise error

    monkeypatch.setattr(ss, "find_simulation_result", lookup)
    run, calls = counted()
    if damaged:  # one warning, naming the file of the note, however often it is met
        assert Store(store).get_or_run(run, **identity()).status == "success"
        warning = (
            "Damaged simulation file, running the simulation again: /elsewhere/x.json "
            "(unexpected end of data: line 1 column 1 (char 0))"
        )
        assert [m for level, m in logs() if level == "WARNING"] == [warning]
    else:
        with pytest.raises(type(error)):
            Store(store).get_or_run(run, **identity())
    assert len(calls) == damaged


def test_cached_decorator(store):
    store_, calls = Store(store), []

    @store_.cached(simulation_type="eme", model_parameters={"n": 2.4})
    def taper(length: float, width: float = 0.5):
        """A taper."""
        calls.append((length, width))
        return {"t": [length]}, [1.55]

    record = taper(10.0)
    assert taper(length=10.0, width=0.5) == record and calls == [(10.0, 0.5)]
    assert (record.component_name, record.factory_name, record.component_settings) == (
        "taper",
        "test_cached_decorator.<locals>.taper",
        {"length": 10.0, "width": 0.5},
    )
    assert inspect.signature(taper).return_annotation is StoredSimulationResult


def test_tools_name_read_and_remove_listed_files(any_store):
    store = Store(any_store)
    saved = [
        store.save(
            **identity(component_name=f"c{n}"), result={}, wavelengths=[], execution_time_seconds=0
        )
        for n in range(3)
    ]
    files = store.files()
    assert sorted(f.simulation_id for f in files) == sorted(r.simulation_id for r in saved)
    read = {record.simulation_id: file.size for record, file in store.read_files(files)}
    assert read == {f.simulation_id: f.size for f in files}
    again = store.save(
        **identity(component_name="c0"),
        result={"s": [1.0]},
        wavelengths=[1.5],
        execution_time_seconds=0,
    )
    removed = store.remove(files)
    assert sorted(f.component_name for f in removed) == ["c1", "c2"]
    assert store.list() == [again]
    store.check_reachable()
    on_s3 = not isinstance(any_store, Path) and any_store.protocol == "s3"
    missing = "s3://no-such-bucket/simulations" if on_s3 else any_store / "missing"
    with pytest.raises(FileNotFoundError):
        Store(missing).check_reachable()


def test_read_files_raises_or_reports_damage(any_store):
    store = Store(any_store)
    good = store.save(**identity(), result={}, wavelengths=[], execution_time_seconds=0)
    damaged = any_store / "fdtd" / f"x_{'1' * 16}.json"
    damaged.write_bytes(b"{")
    files = sorted(store.files(), key=lambda file: file.name)
    with pytest.raises(ValueError) as raised:
        list(store.read_files(files))
    assert raised.value.__notes__ == [f"Simulation file: {damaged}"]
    failures = []
    read = store.read_files(files, lambda file, error: failures.append((file.name, type(error))))
    assert [record for record, _ in read] == [good]
    assert failures == [(damaged.name, orjson.JSONDecodeError)]


def test_frame_and_spectra_of_a_sweep(any_store):
    store = Store(any_store)
    for radius in (10, 20):
        store.save(
            **identity(component_settings={"radius": radius}),
            result={"t": np.array([0.1, 0.2]) * radius, "s": np.array([1 + 1j, 2j])},
            wavelengths=np.array([1.5, 1.6]),
            execution_time_seconds=1,
        )
    frame = store.frame(where="radius > 15")
    assert list(frame["component_settings.radius"]) == [20]
    ids = [store.simulation_id(**identity(component_settings={"radius": r})) for r in (20, 10)]
    spectra = store.spectra(ids)
    assert list(spectra["simulation_id"].values) == ids
    assert spectra["s"].dtype.kind == "c" and spectra["t"].values[0].tolist() == [2.0, 4.0]
    with pytest.raises(KeyError, match="0123456789abcdef"):
        store.spectra(["0123456789abcdef"])
