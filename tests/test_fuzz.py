"""Random calls of every storage function; the simulation ID against json.dumps + sha256."""

import contextlib
import hashlib
import json
import os
import pathlib
from types import NoneType, SimpleNamespace

import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st
from pydantic import ValidationError

from conftest import identity, save
from vantorel.core import simulation_storage as ss
from vantorel.models import SimulationHyperparameters, StoredSimulationResult


class Boom(Exception):
    pass


Floaty, Indexy = (
    type("Floaty", (), {"__float__": lambda _: 2.5}),
    type("Indexy", (), {"__index__": lambda _: 7}),
)


class Raising:
    def boom(self, *args):
        raise Boom

    __float__ = __index__ = __str__ = __format__ = __eq__ = __ne__ = __lt__ = model_dump = boom
    component_name = factory_name = pdk_name = status = simulation_date = property(boom)


Text, Mapping, Items, Pair = (
    type(f"Sub{base.__name__}", (base,), {}) for base in (str, dict, list, tuple)
)


ALLOWED = (TypeError, ValueError, AttributeError, OverflowError, OSError, ValidationError, Boom)
SAMPLE_ID, FILTERS = (
    ss._compute_simulation_id(**identity()),
    ["component_name", "factory_name", "pdk_name", "status"],
)
RECORD, BY_ID = (StoredSimulationResult, NoneType), {"simulation_id": SAMPLE_ID}
CASES = {  # name: (return types, a well-formed call with its parameters in declared order)
    "_compute_simulation_id": (str, identity()),
    "find_simulation_result": (RECORD, identity()),
    "get_simulation_file_path": (
        pathlib.Path,
        dict(simulation_type="fdtd", component_name="m", simulation_id="i"),
    ),
    "save_simulation_result": (
        StoredSimulationResult,
        identity(
            result={},
            wavelengths=[1.5],
            execution_time_seconds=1.0,
            status="success",
            error_message="",
            pdk_version="",
        ),
    ),
    "_matches_filters": (
        bool,
        dict(
            result=SimpleNamespace(
                component_name="m", factory_name="f", pdk_name="generic", status="success"
            ),
            **dict.fromkeys(FILTERS),
        ),
    ),
    "list_simulation_results": (
        list,
        dict.fromkeys([*FILTERS[:2], "simulation_type", *FILTERS[2:]]),
    ),
    "clear_simulation_results": (int, dict.fromkeys([*FILTERS[:2], "simulation_type", "pdk_name"])),
    "_find_simulation_file": ((pathlib.Path, NoneType), BY_ID),
    "load_simulation_result": (RECORD, BY_ID),
    "delete_simulation_result": (bool, BY_ID),
}
KEYWORD_ONLY = {
    "save_simulation_result",
    "find_simulation_result",
    "list_simulation_results",
    "clear_simulation_results",
}

any_text = st.text(st.characters(exclude_categories=()), max_size=6)  # surrogates included
texts = st.one_of(
    any_text,
    st.text(st.sampled_from("a_.*?[]/\0é\ud800"), max_size=5),
    st.sampled_from(
        [SAMPLE_ID, "fdtd", "mmi1x2", "success", "", ".", "..", "/", "/tmp", "*", "\0"]
    ),
)
huge = st.sampled_from([2**64, -(2**100)]) | st.just(10).map(
    lambda b: b**5000
)  # the last is beyond int->str limits
leaves = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    huge,
    st.floats(),
    texts,
    st.builds(Text, texts),
    st.binary(max_size=3),
    *map(st.builds, (Floaty, Indexy, Raising, SimulationHyperparameters)),
)
values = st.recursive(
    leaves,
    lambda c: st.one_of(
        st.lists(c, max_size=3),
        st.builds(Items, st.lists(c, max_size=2)),
        st.tuples(c, c),
        st.builds(Pair, st.tuples(c)),
        st.dictionaries(texts, c, max_size=3),
        st.builds(Mapping, st.dictionaries(texts, c, max_size=2)),
    ),
    max_leaves=6,
)
alike = {
    str: texts,
    dict: st.dictionaries(texts, values, max_size=3),
    list: st.lists(values, max_size=3),
}


@st.composite
def calls(draw, name):
    """A well-formed call with a few arguments replaced or dropped, sometimes more added."""
    bound = dict(CASES[name][1])
    for param in draw(st.lists(st.sampled_from(list(bound)), max_size=3)):
        bound[param] = draw(
            st.one_of(alike.get(type(bound[param]), values), values, st.just(...))
        )  # ... drops it
    bound = {param: value for param, value in bound.items() if value is not ...}
    n = 0 if name in KEYWORD_ONLY else draw(st.integers(0, len(bound)))
    args, kwargs = list(bound.values())[:n], dict(list(bound.items())[n:])
    if draw(st.integers(0, 3)) == 0:  # surplus arguments, real or unknown names
        args += draw(st.lists(values, max_size=1))
        kwargs |= draw(
            st.dictionaries(
                st.sampled_from(list(CASES[name][1])) | st.text(max_size=3), values, max_size=1
            )
        )
    return args, kwargs


def guarded(method, store):
    """``method``, failing the test when it is called on a path outside ``store``."""

    def call(path, *args, **kwargs):
        assert pathlib.Path(os.path.abspath(path)).is_relative_to(store), (
            f"outside the store: {path}"
        )
        return method(path, *args, **kwargs)

    return call


@contextlib.contextmanager
def confined(store):
    """Disk-changing Path methods fail the test (AssertionError) before touching anything
    outside the store."""
    with pytest.MonkeyPatch.context() as patch:
        for method in (
            "mkdir",
            "write_bytes",
            "write_text",
            "touch",
            "unlink",
            "rmdir",
            "rename",
            "replace",
        ):
            patch.setattr(pathlib.Path, method, guarded(getattr(pathlib.Path, method), store))
        yield


@pytest.mark.parametrize("name", sorted(CASES))
@settings(
    max_examples=120,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(data=st.data())
def test_random_calls_return_their_type_or_raise_an_allowed_error(store, name, data):
    save()  # something to find, load, list, delete and clear
    args, kwargs = data.draw(calls(name), label="args, kwargs")
    with confined(store):
        try:
            outcome = getattr(ss, name)(*args, **kwargs)
            assert isinstance(outcome, CASES[name][0])
        except ALLOWED as error:
            outcome = error
    event(type(outcome).__name__)


mixed_keys = any_text | st.sampled_from([0, -(2**70), 0.5, float("nan"), True, None])
keys = st.shared(st.sampled_from([any_text, mixed_keys]), key="keys").flatmap(
    lambda k: k
)  # one kind per example
json_like = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), huge, st.floats(), any_text),
    lambda c: st.one_of(
        st.lists(c, max_size=3), st.tuples(c, c), st.dictionaries(keys, c, max_size=3)
    ),
    max_leaves=12,
)
unencodable = st.just([b"x"]) | st.builds(list).map(lambda x: x.append(x) or x)  # bytes, a cycle


@settings(max_examples=250, deadline=None, database=None)
@given(
    names=st.tuples(any_text, any_text, any_text),
    component_settings=st.dictionaries(keys, json_like, max_size=4),
    model_parameters=st.dictionaries(keys, json_like, max_size=4),
    dumped=st.one_of(json_like, json_like, unencodable),
)
def test_id_is_sha256_prefix_of_sorted_json(names, component_settings, model_parameters, dumped):
    data = dict(
        component_name=names[0],
        factory_name=names[1],
        component_settings=component_settings,
        model_parameters=model_parameters,
        hyperparameters=dumped,
        simulation_type=names[2],
    )

    def call():
        return ss._compute_simulation_id(
            **data | {"hyperparameters": SimpleNamespace(model_dump=lambda: dumped)}
        )

    try:
        expected = hashlib.sha256(json.dumps(data, sort_keys=True).encode()).digest()[:8].hex()
    except Exception as error:  # unsortable keys, bytes, huge ints, cycles
        event(f"json.dumps raised {type(error).__name__}")
        with pytest.raises(Exception) as raised:
            call()
        assert type(raised.value) is type(error)
    else:
        assert call() == expected
