"""Listing stored results: directory walk, damaged files, filters, order."""

import gc
import json
import pathlib
from types import SimpleNamespace

import pytest

from conftest import file_of, save
from vantorel.core import simulation_storage as ss

WARNING = "Failed to parse simulation file: "
Text = type("Text", (str,), {})


def names(results):
    return sorted(r.component_name for r in results)


def validated_as(monkeypatch, make):
    monkeypatch.setattr(ss, "StoredSimulationResult", SimpleNamespace(model_validate=make))


def warnings(logs):
    return [line for line in logs() if line[0] == "WARNING"]


def test_missing_then_empty_directory(store, logs, monkeypatch):
    with monkeypatch.context() as patch:
        patch.setattr(pathlib.Path, "iterdir", None)  # a call would raise
        assert ss.list_simulation_results() == []
    assert not store.exists()
    store.mkdir()
    assert ss.list_simulation_results() == [] and logs() == []


def test_type_filter_and_top_level_files(any_store, logs):
    a = save(component_name="a")
    save(component_name="b", simulation_type="eme")
    (any_store / "top.json").write_bytes(file_of(any_store, a).read_bytes())
    (any_store / "bad.json").write_text("{")
    assert names(ss.list_simulation_results()) == ["a", "b"]
    assert names(ss.list_simulation_results(simulation_type="eme")) == ["b"]
    assert ss.list_simulation_results(simulation_type="none") == []
    assert warnings(logs) == []
    assert names(ss.list_simulation_results(simulation_type="")) == ["a"]
    assert warnings(logs) == [("WARNING", WARNING + str(any_store / "bad.json"))]


@pytest.mark.parametrize("damage", ["bad json", "bad record", "directory"])
def test_damaged_entry_warns_once_and_is_skipped(store, logs, damage):
    save(component_name="a"), save(component_name="z")
    bad = store / "fdtd" / "m_bad.json"
    if damage == "directory":
        bad.mkdir()
    else:
        bad.write_text('{"x": ' if damage == "bad json" else '{"x": 1}')
    assert names(ss.list_simulation_results()) == ["a", "z"]
    assert warnings(logs) == [("WARNING", WARNING + str(bad))]


@pytest.mark.parametrize(
    "filters, expected",
    [
        ({}, ["", "a"]),
        ({"component_name": "a"}, ["a"]),
        ({"component_name": ""}, [""]),
        ({"factory_name": "f2"}, [""]),
        ({"factory_name": ""}, []),
        ({"pdk_name": "pdk_a"}, ["a"]),
        ({"pdk_name": "pdk_b", "status": "error"}, [""]),
        ({"status": "success", "component_name": ""}, []),
    ],
)
def test_filters(any_store, monkeypatch, filters, expected):
    monkeypatch.setenv("VANTOREL_PDK", "pdk_a")
    save(component_name="a")
    monkeypatch.setenv("VANTOREL_PDK", "pdk_b")
    save(component_name="", factory_name="f2", status="error")
    assert names(ss.list_simulation_results(**filters)) == expected


@pytest.mark.parametrize("attribute", ["component_name", "factory_name", "pdk_name", "status"])
def test_none_attribute_never_matches(store, monkeypatch, attribute):
    record = save()
    validated_as(monkeypatch, lambda d: SimpleNamespace(**{**d, attribute: None}))
    for value in (getattr(record, attribute), "None", ""):
        assert ss.list_simulation_results(**{attribute: value}) == []
    assert len(ss.list_simulation_results()) == 1


def test_newest_first_with_ties_in_scan_order(store):
    day = "2024-05-01T00:00:00+00:00"
    for name, date in zip(
        "abcde",
        [day, "2024-06-01T00:00:00+00:00", day, day, "2023-01-01T00:00:00+00:00"],
        strict=True,
    ):
        path = file_of(store, save(component_name=name))
        path.write_text(json.dumps({**json.loads(path.read_text()), "simulation_date": date}))
    ties = [p.name[0] for p in (store / "fdtd").glob("*.json") if p.name[0] in "acd"]
    listed = [r.component_name for r in ss.list_simulation_results()]
    assert listed == ["b", *ties, "e"]


@pytest.mark.parametrize(
    "dates, error",
    [(({"simulation_date": 1}, {"simulation_date": "x"}), TypeError), (({}, {}), AttributeError)],
)
def test_failing_sort_propagates(store, monkeypatch, logs, dates, error):
    save(component_name="a"), save(component_name="b")
    pending = list(dates)
    validated_as(
        monkeypatch,
        lambda d: SimpleNamespace(
            **{**{k: v for k, v in d.items() if k != "simulation_date"}, **pending.pop()}
        ),
    )
    with pytest.raises(error):
        ss.list_simulation_results()
    assert warnings(logs) == []


def test_interrupt_while_filtering_propagates(store, monkeypatch, logs):
    save()
    monkeypatch.setattr(ss, "_matches_filters", lambda *a: (_ for _ in ()).throw(KeyboardInterrupt))
    with pytest.raises(KeyboardInterrupt):
        ss.list_simulation_results()
    assert warnings(logs) == []


class Record:
    component_name, factory_name, pdk_name, status = "c", "f", "p", "success"


class Lazy:
    component_name, factory_name = "c", property(lambda self: 1 / 0)


Unequal = type("Unequal", (), {"__ne__": lambda self, other: False})


@pytest.mark.parametrize(
    "record, filters, expected",
    [
        (Record(), ("c", "f", "p", "success"), True),
        (Record(), (None, None, None, None), True),
        (Record(), ("x", None, None, None), False),
        (Record(), (None, "x", None, None), False),
        (Record(), (None, None, "x", None), False),
        (Record(), (None, None, None, "error"), False),
        (Record(), ("", None, None, None), False),
        (SimpleNamespace(status=Unequal()), (None, None, None, "error"), True),
        (Lazy(), ("x", "f", "p", "s"), False),
        (Lazy(), ("c", None, None, None), True),
    ],
)
def test_matches_filters(record, filters, expected):
    assert ss._matches_filters(record, *filters) is expected


@pytest.mark.parametrize(
    "call",
    [
        lambda: ss._matches_filters(Record(), None, 1, None, Text("s")),
        lambda: ss.list_simulation_results(factory_name=Text("f")),
    ],
)
def test_filters_must_be_exact_str(store, monkeypatch, call):
    monkeypatch.setattr(ss, "get_simulations_dir", None)
    with pytest.raises(TypeError, match="'factory_name'"):
        call()
    with pytest.raises(TypeError, match="positional"):
        ss.list_simulation_results("fdtd")


def test_sort_key_is_a_new_lambda_per_listing(store, monkeypatch):
    save()
    function_type, keys = type(ss._matches_filters), []

    class Dated(SimpleNamespace):
        @property
        def simulation_date(self):
            live = [
                o for o in gc.get_objects() if type(o) is function_type and o.__name__ == "<lambda>"
            ]
            keys.extend(o for o in live if all(o is not k for k in keys))

    validated_as(monkeypatch, lambda data: Dated())
    ss.list_simulation_results(), ss.list_simulation_results()
    assert len(keys) == 2 and {k.__qualname__ for k in keys} == {
        "list_simulation_results.<locals>.<lambda>"
    }
    date = object()
    assert keys[0](SimpleNamespace(simulation_date=date)) is date
    assert keys[1](r=SimpleNamespace(simulation_date=date)) is date


def test_globals_rebound_into_a_cycle_raise_recursion_error(store, monkeypatch):
    (store / "t").mkdir(parents=True)
    (store / "t" / "x.json").write_text("{")  # its warning calls log()
    monkeypatch.setattr(ss, "log", ss.clear_simulation_results)
    with pytest.raises(RecursionError, match="vantorel storage function"):
        ss.list_simulation_results()
