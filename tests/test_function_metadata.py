"""Metadata and Python-function behaviour of the storage module's functions."""

import inspect
import pickle
import pydoc
import weakref
from unittest.mock import create_autospec

import pytest

from vantorel.core import simulation_storage as ss

P, K, EMPTY = inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY, inspect.Parameter.empty
D, OPT = "dict[str, Any]", "str | None"
IDENT = [("component_name", "str"), ("factory_name", "str"), ("component_settings", D),
         ("model_parameters", D), ("hyperparameters", "SimulationHyperparameters")]
FILTERS = ["component_name", "factory_name", "simulation_type", "pdk_name"]
ID = [("simulation_id", "str")]

# name: (kind, [(parameter, annotation)], __kwdefaults__, return annotation, summary line)
FUNCTIONS = {
    "_compute_simulation_id": (P, IDENT + [("simulation_type", "str")], None, "str",
                               "Compute a deterministic hash-based ID for a simulation."),
    "get_simulation_file_path": (P, [("simulation_type", "str"), ("component_name", "str")] + ID, None,
                                 "Path", "Get the file path for a simulation result."),
    "_find_simulation_file": (P, ID, None, "Path | None", "Find a simulation result file by its ID."),
    "save_simulation_result": (
        K, IDENT + [("simulation_type", "SimulationType"), ("result", "SerializedSimulationResult"),
                    ("wavelengths", "list[float]"), ("execution_time_seconds", "float"),
                    ("status", "SimulationStatus"), ("error_message", "str"), ("pdk_version", "str")],
        {"status": "success", "error_message": "", "pdk_version": ""}, "StoredSimulationResult",
        "Save a simulation result to file."),
    "load_simulation_result": (P, ID, None, "StoredSimulationResult | None", "Load a simulation result by its ID."),
    "find_simulation_result": (K, IDENT + [("simulation_type", "SimulationType")], None, "StoredSimulationResult"
                               " | None", "Find a cached simulation result by its identity fields."),
    "_matches_filters": (P, [("result", "StoredSimulationResult")]
                         + [(n, OPT) for n in ("component_name", "factory_name", "pdk_name", "status")],
                         None, "bool", "Check if a result matches the given filters."),
    "list_simulation_results": (K, [(n, OPT) for n in FILTERS + ["status"]], dict.fromkeys(FILTERS + ["status"]),
                                "list[StoredSimulationResult]", "List simulation results with optional filters."),
    "delete_simulation_result": (P, ID, None, "bool", "Delete a simulation result by its ID."),
    "clear_simulation_results": (K, [(n, OPT) for n in FILTERS], dict.fromkeys(FILTERS), "int",
                                 "Clear simulation results with optional filters."),
}
each = pytest.mark.parametrize("name", FUNCTIONS)


@each
def test_declared_metadata(name):
    kind, params, kwdefaults, returns, _ = FUNCTIONS[name]
    func = getattr(ss, name)
    assert (func.__name__, func.__qualname__, func.__module__) == (name, name, "vantorel.core.simulation_storage")
    assert list(func.__annotations__.items()) == params + [("return", returns)]
    assert func.__kwdefaults__ == kwdefaults
    assert func.__defaults__ is None
    sig = inspect.signature(func)
    assert [(p.name, p.kind, p.default, p.annotation) for p in sig.parameters.values()] == [
        (n, kind, (kwdefaults or {}).get(n, EMPTY), a) for n, a in params]
    assert sig.return_annotation == returns


@each
def test_docstring(name):
    _, params, _, returns, summary = FUNCTIONS[name]
    lines = getattr(ss, name).__doc__.splitlines()
    assert lines[0].startswith(name + "(") and lines[0].endswith(") -> " + returns)
    if name == "delete_simulation_result":
        assert lines[0] == "delete_simulation_result(str simulation_id: str) -> bool"
    assert lines[1:3] == ["", summary]
    if name == "_matches_filters":
        assert lines[3:] == []
        return
    args, ret = lines.index("Args:"), lines.index("Returns:")
    assert [line.split(":")[0] for line in lines[args + 1:ret - 1]] == ["    " + n for n, _ in params]
    assert lines[ret - 1] == "" and lines[ret + 1].startswith("    ")


@each
def test_behaves_like_a_python_function(name, monkeypatch):
    func = getattr(ss, name)
    assert pickle.loads(pickle.dumps(func)) is func
    assert repr(func).startswith(f"<function {name} at 0x")
    assert weakref.ref(func)() is func
    assert name in pydoc.render_doc(func, renderer=pydoc.plaintext)
    monkeypatch.setattr(func, "tag", 1, raising=False)
    assert func.__dict__["tag"] == 1
    monkeypatch.setattr(func, "__dict__", {"other": 2})
    assert func.other == 2 and not hasattr(func, "tag")


def test_autospec_checks_the_signature():
    load = create_autospec(ss.load_simulation_result)
    with pytest.raises(TypeError):
        load("a", "b")
    load(simulation_id="a")
    load.assert_called_once_with("a")


def test_binds_as_a_method():
    class Holder:
        matches = ss._matches_filters

    assert Holder.matches is ss._matches_filters
    assert Holder().matches(None, None, None, None) is True
    with pytest.raises(TypeError, match=r"takes exactly 5 positional arguments \(6 given\)"):
        Holder().matches(None, None, None, None, None)


def test_module_namespace():
    assert ss.__doc__ == ("Simulation results storage API.\n\nThis module provides functions for storing, "
                          "retrieving, and managing\nsimulation results with full reproducibility metadata.\n")
    names = list(vars(ss))
    start = names.index("hashlib")
    assert all(n.startswith("__") for n in names[:start])
    assert names[start:] == ("hashlib json UTC datetime Path TYPE_CHECKING Any SimulationHyperparameters "
                              "SimulationStatus StoredSimulationResult lazy_import orjson __version__ log "
                              "get_build_dir get_pdk_name get_simulations_dir").split() + [*FUNCTIONS, "__test__"]
    assert ss.__test__ == {}


def test_signature_survives_annotations_replaced_while_it_is_built(monkeypatch):
    f = ss.save_simulation_result
    original = f.__annotations__

    class Rebinding(inspect.Parameter):
        def __init__(self, *args, **kwargs):
            f.__annotations__ = {}  # frees the dict being read
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(inspect, "Parameter", Rebinding)
    monkeypatch.setattr(f, "__annotations__", dict(original))
    signature = f.__signature__
    assert {name: p.annotation for name, p in signature.parameters.items()} \
        == {name: a for name, a in original.items() if name != "return"}
