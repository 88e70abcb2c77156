"""Saving a result to its file and reading it back."""

import errno
import os
import pathlib
import subprocess
import sys
from datetime import UTC, datetime

import orjson
import pytest
from pydantic import ValidationError

import vantorel
from conftest import identity, save
from vantorel.core import simulation_storage as ss

KEYWORDS = """component_name factory_name component_settings model_parameters
    hyperparameters simulation_type simulation_id pdk_name pdk_version
    simulation_date vantorel_version result wavelengths execution_time_seconds
    status error_message""".split()


def _dumped(record):
    return orjson.dumps(record.model_dump(), option=orjson.OPT_INDENT_2)


def test_record_keywords_and_defaults(store, monkeypatch):
    calls = []

    class Recorder:
        def __init__(self, *args, **kwargs):
            calls.append((args, kwargs))

        def model_dump(self):
            return {}

    monkeypatch.setattr(ss, "StoredSimulationResult", Recorder)
    monkeypatch.setenv("VANTOREL_PDK", "pdk_x")
    fields = identity()
    before = datetime.now(UTC)
    save(**fields, execution_time_seconds=3)
    [(args, kw)] = calls
    assert args == () and list(kw) == KEYWORDS
    for name in ("component_settings", "model_parameters", "hyperparameters"):
        assert kw[name] is fields[name]
    assert kw["simulation_id"] == ss._compute_simulation_id(**fields)
    expected = dict(
        pdk_name="pdk_x",
        pdk_version="",
        status="success",
        error_message="",
        vantorel_version=vantorel.__version__,
    )
    assert {name: kw[name] for name in expected} == expected
    assert repr(kw["execution_time_seconds"]) == "3.0"
    date = datetime.fromisoformat(kw["simulation_date"])
    assert date.tzinfo == UTC and before <= date <= datetime.now(UTC)


def test_version_converted_with_str(store, monkeypatch):
    monkeypatch.setattr(ss, "__version__", type("V", (), {"__str__": lambda self: "9.8.7"})())
    assert save().vantorel_version == "9.8.7"


@pytest.mark.parametrize("mask", [0o022, 0o077])
def test_file_bytes_mode_log_and_overwrite(store, logs, mask):
    old = os.umask(mask)
    try:
        save(result={"s21": [1.0]})
        record = save(result={"s21": [2.0]})
    finally:
        os.umask(old)
    path = store / "fdtd" / f"mmi1x2_{record.simulation_id}.json"
    assert list((store / "fdtd").iterdir()) == [path]
    assert path.read_bytes() == _dumped(record)
    assert path.stat().st_mode & 0o777 == 0o666 & ~mask
    assert logs() == [("DEBUG", f"Saved simulation result: {path}")] * 2


@pytest.mark.parametrize(
    "content, error",
    [
        (b"not json", orjson.JSONDecodeError),
        (b"{", orjson.JSONDecodeError),
        (b'{"a": 1}', ValidationError),
        (b'{"component_name": 5}', ValidationError),
    ],
)
def test_damaged_file_raises_without_log(any_store, logs, caplog, content, error):
    record = save()
    ss._find_simulation_file(record.simulation_id).write_bytes(content)
    caplog.clear()
    with pytest.raises(error):
        ss.load_simulation_result(record.simulation_id)
    with pytest.raises(error):
        ss.find_simulation_result(**identity())
    assert logs() == []


def test_missing_located_file_warns(any_store, logs, monkeypatch):
    gone = any_store / "fdtd" / "gone_0123456789abcdef.json"
    monkeypatch.setattr(ss, "_find_simulation_file", lambda sid: gone)
    assert ss.load_simulation_result("0123456789abcdef") is None
    assert logs() == [("WARNING", f"Simulation file not found: {gone}")]


@pytest.mark.parametrize(
    "change",
    [
        {},
        dict(component_name="other"),
        dict(factory_name="other"),
        dict(component_settings={"width": 0.5, "length": 10.0}),
        dict(model_parameters={}),
        dict(simulation_type="eme"),
    ],
)
def test_find_after_save(any_store, change):
    record = save()
    found = ss.find_simulation_result(**identity(**change))
    assert found == (None if change else record)


def test_failed_rename_leaves_earlier_file(store, logs):
    earlier = ss._find_simulation_file(save(component_name="e").simulation_id)
    content = earlier.read_bytes()
    sid = ss._compute_simulation_id(**identity())
    blocker = ss.get_simulation_file_path("fdtd", "mmi1x2", sid)
    blocker.mkdir()
    with pytest.raises(OSError):
        save()
    assert earlier.read_bytes() == content and len(logs()) == 1
    assert sorted((store / "fdtd").iterdir()) == sorted([earlier, blocker])
    assert list(blocker.iterdir()) == []


def test_oversized_write_keeps_earlier_file(store):
    record = save()
    path = store / "fdtd" / f"mmi1x2_{record.simulation_id}.json"
    script = (
        "import resource, signal, sys\nsys.path.insert(0, sys.argv[1])\n"
        "from conftest import save\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "try:\n    save(result={'big': 'x' * 100000})\n"
        "except OSError as e:\n    print(e.errno)\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", script, str(pathlib.Path(__file__).parent)],
        capture_output=True,
        text=True,
        check=True,
        env=os.environ | {"VANTOREL_SIMULATIONS_DIR": str(store)},
    )
    assert out.stdout.split() == [str(errno.EFBIG)]
    assert path.read_bytes() == _dumped(record)
    assert list((store / "fdtd").iterdir()) == [path]


def local_upath(path):
    from upath import UPath

    return UPath(str(path))


@pytest.mark.parametrize(
    "local_path", [type("LocalPath", (type(pathlib.Path()),), {}), local_upath]
)
def test_local_path_objects_are_replaced_whole(store, monkeypatch, local_path):
    plain = ss.get_simulation_file_path
    monkeypatch.setattr(ss, "get_simulation_file_path", lambda *a: local_path(plain(*a)))
    path = ss._find_simulation_file(save().simulation_id)
    first = path.stat().st_ino
    save(result={"s21": [0.5]})  # a new file renamed over the old one
    assert path.stat().st_ino != first and not list(store.rglob("*.tmp"))


def test_other_path_objects_use_write_bytes(store, monkeypatch):
    written = []

    class OtherPath(type(pathlib.Path())):
        def write_bytes(self, data):
            written.append(data)
            return super().write_bytes(data)

    plain = ss.get_simulation_file_path
    monkeypatch.setattr(ss, "get_simulation_file_path", lambda *a: OtherPath(plain(*a)))
    assert written == [_dumped(save())]
