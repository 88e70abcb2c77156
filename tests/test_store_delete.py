"""Deleting one result by ID and clearing filtered results."""

import pytest

from conftest import file_of, save
from vantorel.core import simulation_storage as ss

NO_ID = "0123456789abcdef"


def stored(store):
    return sorted(p.name for p in store.rglob("*.json"))


def test_delete_by_id(any_store, logs):
    assert ss.delete_simulation_result(NO_ID) is False
    a, b = save(component_name="a"), save(component_name="b")
    before = len(logs())
    for missing in (NO_ID, "*", "?" * 16):
        assert ss.delete_simulation_result(missing) is False
    assert ss.delete_simulation_result(simulation_id=a.simulation_id) is True
    assert ss.delete_simulation_result(a.simulation_id) is False
    assert stored(any_store) == [file_of(any_store, b).name]
    assert logs()[before:] == [("DEBUG", f"Deleted simulation file: {file_of(any_store, a)}")]


def test_delete_of_file_vanished_after_lookup(store, logs, monkeypatch):
    monkeypatch.setattr(ss, "_find_simulation_file", lambda i: store / "x.json")
    assert ss.delete_simulation_result(save().simulation_id) is False
    assert [m for _, m in logs() if m.startswith("Deleted")] == []


@pytest.mark.parametrize("count, vanish", [(1, False), (3, False), (3, True)])
def test_clear_all(any_store, logs, monkeypatch, count, vanish):
    for name, kind in [("a", "fdtd"), ("b", "eme"), ("c", "fdtd")][:count]:
        save(component_name=name, simulation_type=kind)
    listing = ss.list_simulation_results

    def list_then_vanish(**filters):  # another caller removes one result
        results = listing(**filters)
        for result in results[1:2]:
            file_of(any_store, result).unlink()
        return results

    if vanish:
        monkeypatch.setattr(ss, "list_simulation_results", list_then_vanish)
    before, deleted = len(logs()), count - vanish
    assert ss.clear_simulation_results() == deleted
    assert stored(any_store) == []
    lines = logs()[before:]
    assert len(lines) == deleted + 1 and lines[-1] == (
        "DEBUG",
        f"Cleared {deleted} simulation result(s)",
    )
    assert ss.clear_simulation_results() == 0 and len(logs()) == len(lines) + before


def test_clear_applies_filters(any_store):
    kept = [save(component_name="a"), save(simulation_type="eme")]
    assert (
        ss.clear_simulation_results(
            component_name="mmi1x2",
            simulation_type="fdtd",
            pdk_name=save().pdk_name,
            factory_name="mmi1x2_factory",
        )
        == 1
    )
    assert stored(any_store) == sorted(file_of(any_store, r).name for r in kept)


def test_clear_passes_exactly_its_filters(monkeypatch):
    calls = []
    monkeypatch.setattr(
        ss, "list_simulation_results", lambda *args, **kwargs: calls.append((args, kwargs))
    )
    assert ss.clear_simulation_results(factory_name="f", pdk_name="") == 0
    assert calls == [
        ((), {"component_name": None, "factory_name": "f", "simulation_type": None, "pdk_name": ""})
    ]
    assert list(calls[0][1]) == ["component_name", "factory_name", "simulation_type", "pdk_name"]


Text = type("Text", (str,), {})


@pytest.mark.parametrize(
    "call",
    [
        lambda: ss.clear_simulation_results("fdtd"),
        lambda: ss.clear_simulation_results(component_name=1),
        lambda: ss.clear_simulation_results(pdk_name=Text("p")),
        lambda: ss.clear_simulation_results(status="success"),
        lambda: ss.delete_simulation_result(None),
        lambda: ss.delete_simulation_result(Text(NO_ID)),
    ],
)
def test_bad_arguments_raise_before_any_work(store, monkeypatch, call):
    save()
    monkeypatch.setattr(ss, "list_simulation_results", None)
    monkeypatch.setattr(ss, "_find_simulation_file", None)
    with pytest.raises(TypeError, match=r"argument|Argument"):
        call()
    assert len(stored(store)) == 1
