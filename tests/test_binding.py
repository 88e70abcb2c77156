"""Argument binding and exact-type checks shared by the storage functions."""

import pytest

from conftest import identity, save
from vantorel.core import simulation_storage as ss


class Text(str):
    pass


class Mapping(dict):
    pass


class Items(list):
    pass


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 4


class Real(float):
    def __float__(self):
        return 7.5


class Unreal(float):
    def __float__(self):
        raise TypeError("no float today")


def count(name, n, given):
    return f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'} ({given} given)"


def bad(param, expected, actual):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {actual})"


def kw(name, how, key):
    if how == "needs":
        return f"{name}() needs keyword-only argument {key}"
    problem = "an unexpected" if how == "unknown" else "multiple values for"
    return f"{name}() got {problem} keyword argument '{key}'"


PATH, SAVE, CLEAR, DEL = (
    "get_simulation_file_path",
    "save_simulation_result",
    "clear_simulation_results",
    "delete_simulation_result",
)
REJECTED = [
    (lambda: ss.load_simulation_result(), count("load_simulation_result", 1, 0)),
    (lambda: ss._compute_simulation_id("a", "b"), count("_compute_simulation_id", 6, 2)),
    (lambda: ss.save_simulation_result("x"), count(SAVE, 0, 1)),
    (lambda: ss.clear_simulation_results(None, None), count(CLEAR, 0, 2)),
    (lambda: ss.get_simulation_file_path("t", simulation_id="i"), count(PATH, 3, 1)),
    (
        lambda: ss._matches_filters(None, factory_name=None, component_name=None, status=None),
        count("_matches_filters", 5, 3),
    ),
    (lambda: ss.save_simulation_result(), kw(SAVE, "needs", "component_name")),
    (
        lambda: ss.find_simulation_result(component_name="c"),
        kw("find_simulation_result", "needs", "factory_name"),
    ),
    (lambda: ss.load_simulation_result("a", x=1), kw("load_simulation_result", "unknown", "x")),
    (lambda: ss.clear_simulation_results(status="success"), kw(CLEAR, "unknown", "status")),
    (
        lambda: ss.delete_simulation_result("a", simulation_id="b"),
        kw(DEL, "repeat", "simulation_id"),
    ),
    # several faults: the first by kind, then by order, is reported
    (lambda: ss.load_simulation_result("a", "b", x=1), count("load_simulation_result", 1, 2)),
    (lambda: ss.get_simulation_file_path("t", x=1), count(PATH, 3, 1)),
    (lambda: ss.save_simulation_result(x=1), kw(SAVE, "needs", "component_name")),
    (
        lambda: ss.get_simulation_file_path("t", "c", "i", zz=1, simulation_type="t"),
        kw(PATH, "unknown", "zz"),
    ),
    (
        lambda: ss.get_simulation_file_path("t", "c", "i", simulation_type="", zz=1),
        kw(PATH, "repeat", "simulation_type"),
    ),
    (lambda: save(execution_time_seconds="x", bogus=1), kw(SAVE, "unknown", "bogus")),
    (lambda: save(component_name=None, execution_time_seconds="x"), "must be real number, not str"),
    (lambda: save(component_name=None, execution_time_seconds=Unreal()), "no float today"),
    (lambda: ss.load_simulation_result(None), bad("simulation_id", "str", "NoneType")),
    (lambda: ss.delete_simulation_result(Text("a")), bad("simulation_id", "str", "Text")),
    (
        lambda: ss._compute_simulation_id("a", "b", {}, [], None, 5),
        bad("model_parameters", "dict", "list"),
    ),
    (
        lambda: ss.find_simulation_result(**identity(component_settings=Mapping())),
        bad("component_settings", "dict", "Mapping"),
    ),
    (lambda: ss._matches_filters(None, None, None, 1, b""), bad("pdk_name", "str", "int")),
    (
        lambda: ss.list_simulation_results(status=1, factory_name=Text()),
        bad("factory_name", "str", "Text"),
    ),
    (lambda: save(component_name=Text("x")), bad("component_name", "str", "Text")),
    (lambda: save(wavelengths=Items([1.5])), bad("wavelengths", "list", "Items")),
    (lambda: save(wavelengths=(1.5,), pdk_version=None), bad("wavelengths", "list", "tuple")),
    (lambda: save(pdk_version=None), bad("pdk_version", "str", "NoneType")),
]


@pytest.fixture
def untouched(store, monkeypatch):
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: pytest.fail("reached the disk"))
    yield
    assert not store.exists()


@pytest.mark.parametrize("call, message", REJECTED)
def test_rejected_before_any_work(untouched, call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


@pytest.mark.parametrize(
    "value, stored", [(3, 3.0), (Floaty(), 2.5), (Indexy(), 4.0), (1.25, 1.25), (Real(1.0), 7.5)]
)
def test_execution_time_is_converted(store, value, stored):
    record = save(execution_time_seconds=value)
    assert type(record.execution_time_seconds) is float and record.execution_time_seconds == stored


def test_none_accepted_where_allowed(store):
    filters = dict.fromkeys(["component_name", "factory_name", "simulation_type", "pdk_name"])
    assert ss.list_simulation_results(status=None, **filters) == []
    assert ss.clear_simulation_results(**filters) == 0
    with pytest.raises(AttributeError):  # hyperparameters has no type test
        ss._compute_simulation_id(**identity(hyperparameters=None))
