"""The deterministic simulation ID."""

import datetime
import hashlib
import json
import re
from types import SimpleNamespace as NS

import pytest

from vantorel.core import simulation_storage as ss
from vantorel.models import SimulationHyperparameters as HP


def hp(**data):
    """Hyperparameters whose model_dump() (no arguments) returns `data`."""
    return NS(model_dump=lambda: data)


def fields(**overrides):
    return dict(
        dict(
            component_name="alpha",
            factory_name="build_alpha",
            component_settings={"width": 0.5, "length": 10},
            model_parameters={},
            hyperparameters=hp(),
            simulation_type="typeA",
        ),
        **overrides,
    )


def sha8(text):  # first 8 bytes of the SHA-256 of `text`, in hex
    return hashlib.sha256(text.encode()).digest()[:8].hex()


def test_worked_example():
    assert ss._compute_simulation_id(*fields().values()) == "e54806d952fe8ac6"


@pytest.mark.parametrize(
    "a, b, same",
    [
        ({"component_settings": {"a": 1, "b": 2}}, {"component_settings": {"b": 2, "a": 1}}, True),
        (
            {"model_parameters": {"x": {"a": 1, "b": [{"d": 0, "c": 1}]}}},
            {"model_parameters": {"x": {"b": [{"c": 1, "d": 0}], "a": 1}}},
            True,
        ),
        ({"hyperparameters": hp(p=1, q=2)}, {"hyperparameters": hp(q=2, p=1)}, True),
        ({"component_settings": {"n": 10}}, {"component_settings": {"n": 10.0}}, False),
        ({"component_settings": {"n": True}}, {"component_settings": {"n": 1}}, False),
        ({"hyperparameters": HP()}, {"hyperparameters": HP(num_wavelengths=5)}, False),
    ],
)
def test_equal_and_different_identities(a, b, same):
    first = ss._compute_simulation_id(**fields(**a))
    assert (first == ss._compute_simulation_id(**fields(**b))) is same


def test_non_ascii_name_is_hashed_escaped():
    text = (
        r'{"component_name": "\u00e9t\u00e9 \ud83d\ude00", "component_'
        r'settings": {}, "factory_name": "f", "hyperparameters": {}, '
        r'"model_parameters": {}, "simulation_type": "t"}'
    )
    assert ss._compute_simulation_id("été 😀", "f", {}, {}, hp(), "t") == sha8(text)


def test_agrees_with_standard_library_hash():
    values = fields(
        component_name='q"u\\o\n\t',
        factory_name="",
        hyperparameters=HP(boundary_condition="pec"),
        component_settings={"v": [1e-06, None, (1, 2), float("inf")]},
        model_parameters={2: "int key", 0.5: {"z": {None: 1}, "a": [False]}},
    )
    data = dict(values, hyperparameters=values["hyperparameters"].model_dump())
    simulation_id = ss._compute_simulation_id(**values)
    assert type(simulation_id) is str and re.fullmatch("[0-9a-f]{16}", simulation_id)
    assert simulation_id == sha8(json.dumps(data, sort_keys=True))


circular = {}
circular["self"] = circular


@pytest.mark.parametrize(
    "overrides, error, match",
    [
        ({"hyperparameters": object()}, AttributeError, "model_dump"),
        ({"hyperparameters": NS(model_dump=lambda: 1 / 0)}, ZeroDivisionError, "zero"),
        (
            {"component_settings": {"x": object()}},
            TypeError,
            "Object of type object is not JSON serializable",
        ),
        (
            {"hyperparameters": hp(when=datetime.date(2024, 1, 1))},
            TypeError,
            "Object of type date is not JSON serializable",
        ),
        ({"model_parameters": circular}, ValueError, "Circular reference"),
    ],
)
def test_errors_propagate(overrides, error, match):
    with pytest.raises(error, match=match):
        ss._compute_simulation_id(**fields(**overrides))


def test_json_and_hashlib_are_looked_up_at_call_time(monkeypatch):
    dumps_calls, sha_calls = [], []
    monkeypatch.setattr(
        ss, "json", NS(dumps=lambda *a, **k: dumps_calls.append((a, k)) or "fixed text")
    )
    monkeypatch.setattr(
        ss,
        "hashlib",
        NS(sha256=lambda *a, **k: sha_calls.append((a, k)) or NS(digest=lambda: bytes(range(32)))),
    )
    values = fields(hyperparameters=hp(p=1))
    assert ss._compute_simulation_id(**values) == "0001020304050607"
    [((data,), keywords)] = dumps_calls
    assert keywords == {"sort_keys": True} and type(data) is dict
    assert list(data) == list(values) and data["hyperparameters"] == {"p": 1}
    assert data["component_settings"] is values["component_settings"]  # not copied
    assert sha_calls == [((b"fixed text",), {})]
    monkeypatch.undo()
    assert ss._compute_simulation_id(**values) == sha8(json.dumps(data, sort_keys=True))


@pytest.mark.parametrize("name", ["json", "hashlib"])
def test_missing_global_raises_name_error(monkeypatch, name):
    monkeypatch.delattr(ss, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        ss._compute_simulation_id(**fields())
    # The caller's builtins are not the module's: they never fill the gap.
    caller = {
        "__builtins__": {name: json if name == "hashlib" else hashlib},
        "f": ss._compute_simulation_id,
        "kw": fields(),
    }
    with pytest.raises(NameError):
        eval("f(**kw)", caller)


def test_non_str_id_from_stand_in_is_rejected(monkeypatch):
    first8 = {slice(None, 8): NS(hex=lambda: 5)}  # only [:8] is looked up
    monkeypatch.setattr(ss, "hashlib", NS(sha256=lambda data: NS(digest=lambda: first8)))
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        ss._compute_simulation_id(**fields())
