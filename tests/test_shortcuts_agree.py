"""The module's shortcuts (a cache hit read at its place, the lookup by ID
on names alone, one recursive listing of object storage, batched reads and
deletes) answer exactly as the walk through the store's path objects and
the module's rebindable names: same return values, log lines and errors,
on random stores with copies of a result in two type directories, damaged
files and names with glob characters.

One answer differs by design: a cache hit reads the result's own place, and
walks only when no file is there, so a damaged file at that place raises
(naming itself) even where the walk would meet a good copy of the result
first."""

import os
import pathlib
import random

import orjson
import pytest

from conftest import identity, put, save
from vantorel.core import object_store, simulation_storage as ss

COMPONENTS = ["mmi", "ring[1]", "ring1", "a*b", "q?", ""]
TYPES = ["fdtd", "eme", "t[1]", "t1", "x*"]
REBOUND = (
    "load_simulation_result",
    "_find_simulation_file",
    "delete_simulation_result",
    "list_simulation_results",
)


class Walked(type(pathlib.Path())):
    """A local path with an iterdir of its own: only its methods walk it."""

    def iterdir(self):
        return super().iterdir()


def take_the_long_way(monkeypatch, root):
    """Rebinds what the shortcuts stand in for, so that the walk through the
    rebound names and the path objects (on object storage: level by level,
    a request per directory and file) answers."""
    for name in REBOUND:
        original = getattr(ss, name)
        monkeypatch.setattr(ss, name, lambda *a, _f=original, **k: _f(*a, **k))
    if isinstance(root, pathlib.Path):
        monkeypatch.setattr(ss, "get_simulations_dir", lambda: Walked(root))
    else:
        monkeypatch.setattr(
            object_store, "store_for", lambda path: object_store.ObjectStore(path.fs)
        )


def build_store(root, seed):
    """Results of random names and types, a copy of some in another type
    directory, and damaged files named like results."""
    rng = random.Random(seed)
    identities = []
    for n in range(14):
        ident = identity(
            component_name=rng.choice(COMPONENTS),
            simulation_type=rng.choice(TYPES),
            component_settings={"n": n},
        )
        status = rng.choice(["success", "error"])
        path = ss._find_simulation_file(save(**ident, status=status).simulation_id)
        identities.append(ident)
        if rng.random() < 0.3:  # a copy, as a backup directory would keep it
            put(root / rng.choice(TYPES) / path.name, path.read_bytes())
    for n in range(3):
        put(root / rng.choice(TYPES) / f"bad{n}_{n:016x}.json", [b"{", b'{"status": 1}', b"[]"][n])
    return identities


def snapshot(root):
    return {(t.name, f.name): f.read_bytes() for t in root.iterdir() for f in t.iterdir()}


def restore(root, files):
    for (kind, name), content in sorted(files.items()):
        put(root / kind / name, content)


def outcome(call):
    try:
        value = call()
    except Exception as error:
        return type(error).__name__, str(error)
    if isinstance(value, list):
        return [record.model_dump() for record in value]
    return value.model_dump() if hasattr(value, "model_dump") else value


def answers(identities, logs):
    """Every operation's answers on the store, in order, and the log."""
    ids = [ss._compute_simulation_id(**i) for i in identities]
    ids += [f"{n:016x}" for n in range(4)]  # damaged ones and a miss
    seen = [
        outcome(lambda i=i: ss.find_simulation_result(**i))
        for i in [*identities, identity(component_name="none")]
    ]
    seen += [outcome(lambda i=i: ss.load_simulation_result(i)) for i in ids]
    for filters in (
        {},
        {"component_name": "ring[1]"},
        {"simulation_type": "t[1]"},
        {"simulation_type": "x*"},
        {"status": "error"},
    ):
        seen.append(outcome(lambda f=filters: ss.list_simulation_results(**f)))
    seen += [outcome(lambda i=i: ss.delete_simulation_result(i)) for i in ids[:3]]
    seen.append(outcome(lambda: ss.clear_simulation_results(component_name="a*b")))
    seen.append(outcome(lambda: ss.clear_simulation_results()))
    seen.append(outcome(lambda: ss.list_simulation_results()))
    return seen, logs()


@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("any_store", ["local", "s3"], indirect=True)
def test_shortcuts_answer_as_the_walk_does(any_store, logs, caplog, monkeypatch, seed):
    identities = build_store(any_store, seed)
    files = snapshot(any_store)
    caplog.clear()
    short = answers(identities, logs)
    restore(any_store, files)
    caplog.clear()
    with monkeypatch.context() as patch:
        take_the_long_way(patch, any_store)
        long = answers(identities, logs)
    assert short == long
    assert any(isinstance(seen, tuple) for seen in short[0])  # errors were met


def met_before(root, kind):
    """A type directory that the walk of `root` meets before `kind`: the
    first in sorted order on S3, the first in directory order locally."""
    if not isinstance(root, pathlib.Path):
        return "aaa"
    candidates = [f"copy{n}" for n in range(20)]
    for name in candidates:
        (root / name).mkdir()
    order = os.listdir(root)
    chosen = next(name for name in order[: order.index(kind)] if name in candidates)
    for name in candidates:
        if name != chosen:
            (root / name).rmdir()
    return chosen


@pytest.mark.parametrize("any_store", ["local", "s3"], indirect=True)
def test_a_damaged_file_at_its_place_is_a_hits_answer(any_store, monkeypatch):
    record = save()
    place = any_store / "fdtd" / f"mmi1x2_{record.simulation_id}.json"
    put(any_store / met_before(any_store, "fdtd") / place.name, place.read_bytes())
    place.write_bytes(b'{"component_name": ')
    with pytest.raises(orjson.JSONDecodeError) as raised:
        ss.find_simulation_result(**identity())
    assert raised.value.__notes__ == [f"Simulation file: {place}"]
    with monkeypatch.context() as patch:
        take_the_long_way(patch, any_store)
        assert ss.find_simulation_result(**identity()) == record  # the copy, met first
