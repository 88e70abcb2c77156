"""A simulations directory holding damaged entries next to good results."""

import os
from contextlib import nullcontext

import orjson
import pydantic
import pytest

from conftest import identity, save
from vantorel.core import simulation_storage as ss

JSON, INVALID, DROP = orjson.JSONDecodeError, pydantic.ValidationError, object()
DAMAGE = {  # component name: (how the entry is made, outcome of a strict load)
    "truncated": (b'{\n  "component_name": "truncated",\n  "fact', JSON),
    "empty": (b"", JSON),
    "garbage": (b"\x00\x9f\xff{\x80\x01\n", JSON),
    "utf8": (b'{"component_name": "\xc3\x28"}', JSON),
    "list": (b"[1, 2]", INVALID),
    "number": (b"42", INVALID),
    "null": (b"null", INVALID),
    "status": ({"status": "maybe"}, INVALID),
    "wavelengths": ({"wavelengths": "1.5, 1.6"}, INVALID),
    "time": ({"execution_time_seconds": "fast"}, INVALID),
    "undated": ({"simulation_date": DROP}, INVALID),
    "dangling": (lambda p: p.symlink_to(p.with_name("nowhere.json")), None),
    "loop": (lambda p: p.symlink_to(p.name), None),
    "directory": (lambda p: p.mkdir(), IsADirectoryError),
    "nested": ({}, None),  # a valid record, one level too deep to be seen
}


@pytest.fixture
def damaged(store):
    good = [save(component_name="a"), save(component_name="b", simulation_type="eme")]
    entries = {}
    for i, (kind, (how, _)) in enumerate(DAMAGE.items()):
        sid = ss._compute_simulation_id(**identity(component_name=kind))
        path = store / ("fdtd", "eme")[i % 2] / ("sub" if kind == "nested" else "")
        entries[kind] = path = path / f"{kind}_{sid}.json"
        path.parent.mkdir(exist_ok=True)
        if isinstance(how, dict):
            how = orjson.dumps(
                {k: v for k, v in {**good[0].model_dump(), **how}.items() if v is not DROP}
            )
        how(path) if callable(how) else path.write_bytes(how)
    return good, entries


def test_listing_keeps_good_records_and_warns_once_per_bad_entry(damaged, logs):
    good, entries = damaged
    listed = ss.list_simulation_results()  # newest first: b, then a
    assert listed == good[::-1]
    assert sorted(m for level, m in logs() if level == "WARNING") == sorted(
        f"Failed to parse simulation file: {p}" for kind, p in entries.items() if kind != "nested"
    )
    assert ss.clear_simulation_results() == 2
    assert all(os.path.lexists(p) for p in entries.values())


@pytest.mark.parametrize("kind", DAMAGE)
def test_strict_load_find_and_delete(damaged, logs, kind):
    path, outcome, before = damaged[1][kind], DAMAGE[kind][1], len(logs())
    sid, removable = path.name[-21:-5], outcome in (JSON, INVALID)
    for load in (
        lambda: ss.load_simulation_result(sid),
        lambda: ss.find_simulation_result(**identity(component_name=kind)),
    ):
        with pytest.raises(outcome) if outcome else nullcontext():
            assert load() is None
    if outcome is IsADirectoryError:
        with pytest.raises(IsADirectoryError):
            ss.delete_simulation_result(sid)
    else:
        assert ss.delete_simulation_result(sid) is removable
    assert os.path.lexists(path) is not removable
    missing = [("WARNING", f"Simulation file not found: {path}")] * 2
    assert logs()[before:] == missing * os.path.islink(path) + removable * [
        ("DEBUG", f"Deleted simulation file: {path}")
    ]
    assert ss.load_simulation_result(damaged[0][0].simulation_id) == damaged[0][0]


@pytest.mark.parametrize(
    "call",
    [
        ss.list_simulation_results,
        ss.clear_simulation_results,
        save,
        lambda: ss.find_simulation_result(**identity()),
        *(
            lambda f=f: f("0" * 16)
            for f in (
                ss._find_simulation_file,
                ss.load_simulation_result,
                ss.delete_simulation_result,
            )
        ),
    ],
)
def test_simulations_path_is_a_file(store, logs, call):
    store.write_bytes(b"not a directory")
    with pytest.raises(NotADirectoryError):
        call()
    assert ss.list_simulation_results(simulation_type="fdtd") == []
    assert store.read_bytes() == b"not a directory" and logs() == []
