"""Metadata and Python-function behaviour of the storage module's functions."""

import ast
import inspect
import pickle
import pydoc
import sys
import weakref
from pathlib import Path
from unittest.mock import create_autospec

import pytest

from vantorel.core import simulation_storage as ss

STUB = Path(ss.__file__).with_name("simulation_storage.pyi")


def stub_signatures():
    """{name: [(parameter, kind, default, annotation)], return annotation}
    of each function, as the shipped stub declares them, in module order."""
    functions = {}
    for node in ast.parse(STUB.read_text()).body:
        if not isinstance(node, ast.FunctionDef):
            continue
        args = node.args
        positional = [None] * (len(args.args) - len(args.defaults)) + args.defaults
        params = [
            (a.arg, kind, EMPTY if d is None else ast.literal_eval(d), ast.unparse(a.annotation))
            for kind, names, defaults in (
                (P, args.args, positional),
                (K, args.kwonlyargs, args.kw_defaults),
            )
            for a, d in zip(names, defaults, strict=True)
        ]
        functions[node.name] = (params, ast.unparse(node.returns))
    return functions


P, K, EMPTY = (
    inspect.Parameter.POSITIONAL_OR_KEYWORD,
    inspect.Parameter.KEYWORD_ONLY,
    inspect.Parameter.empty,
)
FUNCTIONS = stub_signatures()
each = pytest.mark.parametrize("name", FUNCTIONS)


@each
def test_metadata_agrees_with_the_stub(name):
    params, returns = FUNCTIONS[name]
    func = getattr(ss, name)
    assert (func.__name__, func.__qualname__, func.__module__) == (
        name,
        name,
        "vantorel.core.simulation_storage",
    )
    sig = inspect.signature(func)
    assert [(p.name, p.kind, p.default, p.annotation) for p in sig.parameters.values()] == params
    assert sig.return_annotation == returns
    assert list(func.__annotations__.items()) == [(n, a) for n, _, _, a in params] + [
        ("return", returns)
    ]
    assert func.__kwdefaults__ == (
        {n: d for n, kind, d, _ in params if kind == K and d is not EMPTY} or None
    )
    assert func.__defaults__ is None


@each
def test_docstring(name):
    params, returns = FUNCTIONS[name]
    lines = getattr(ss, name).__doc__.splitlines()
    assert lines[0].startswith(name + "(") and lines[0].endswith(") -> " + returns)
    assert all(f"{n}: {a}" in lines[0] for n, _, _, a in params)
    if name == "delete_simulation_result":
        assert lines[0] == "delete_simulation_result(str simulation_id: str) -> bool"
    assert lines[1] == "" and lines[2].endswith(".")
    if name == "_matches_filters":
        assert lines[3:] == []
        return
    args, ret = lines.index("Args:"), lines.index("Returns:")
    assert [line.split(":")[0] for line in lines[args + 1 : ret - 1]] == [
        "    " + p[0] for p in params
    ]
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
    assert ss.__doc__ == (
        "Simulation results storage API.\n\nThis module provides functions for storing, "
        "retrieving, and managing\nsimulation results with full reproducibility metadata.\n"
    )
    names = list(vars(ss))
    start = names.index("hashlib")
    assert all(n.startswith("__") for n in names[:start])
    assert names[start:] == [
        *(
            "hashlib json UTC datetime Path TYPE_CHECKING Any SimulationHyperparameters "
            "SimulationStatus StoredSimulationResult lazy_import orjson __version__ log "
            "get_build_dir get_pdk_name get_simulations_dir"
        ).split(),
        *FUNCTIONS,
        "__test__",
    ]
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
    assert {name: p.annotation for name, p in signature.parameters.items()} == {
        name: a for name, a in original.items() if name != "return"
    }


def python_function():
    """A Python function, the model the module's functions follow."""


DELETED = object()


def set_and_read(func, attribute, value):
    """Sets (or deletes) the attribute, reads it back and restores it: what
    was read or raised, and how many references the function held to the
    value while it had it and after it was restored."""
    original, before = getattr(func, attribute), sys.getrefcount(value)
    try:
        if value is DELETED:
            delattr(func, attribute)
        else:
            setattr(func, attribute, value)
        seen = getattr(func, attribute)
    except Exception as error:
        seen = (type(error), str(error).replace(type(func).__name__, "<type>"))
    held = sys.getrefcount(value) - before
    setattr(func, attribute, original)
    del original
    return seen, held, sys.getrefcount(value) - before


@pytest.mark.parametrize(
    "attribute, value",
    [
        (name, value)
        for name in ("__name__", "__qualname__", "__doc__", "__module__")
        for value in ("".join(["re", "named"]), 1, None, DELETED)
    ]
    + [
        (name, value)
        for name in ("__annotations__", "__kwdefaults__", "__dict__")
        for value in ({"x": "int"}, [], None, DELETED)
    ],
)
def test_attributes_are_set_as_on_a_python_function(attribute, value):
    assert set_and_read(ss._matches_filters, attribute, value) == set_and_read(
        python_function, attribute, value
    )
