"""Several processes saving, reading, listing and deleting in one directory."""

import logging
import multiprocessing
import random
import time
import traceback
from collections import Counter

import orjson

from vantorel.core import simulation_storage as ss
from vantorel.models import SimulationHyperparameters

WORKERS, SECONDS = 4, 5.0
OPS = ("save", "find", "load", "list", "delete", "clear")
# The only races that raise: a file removed by another process just before
# pathlib's unlink() (delete, clear) or the module's own read of it (load,
# find; no pathlib frame).
RACES = {"delete": "unlink", "clear": "unlink", "load": None, "find": None}


def identity(name, kind, factory):
    return dict(
        component_name=name,
        factory_name=factory,
        component_settings={},
        model_parameters={},
        hyperparameters=SimulationHyperparameters(),
        simulation_type=kind,
    )


SHARED = [identity(f"s{j}", ("fdtd", "eme")[j % 2], "shared") for j in range(3)]


def privates(w):
    return [identity(f"p{w}_{kind}", kind, f"private{w}") for kind in ("fdtd", "eme")]


def content(name, n):
    return {"name": name, "n": n, "values": [n + i / 7 for i in range(n % 3000)]}


class Decoder:
    """Stands in for orjson (looked up at each use): was the last file decoded?"""

    dumps, OPT_INDENT_2, decoded = orjson.dumps, orjson.OPT_INDENT_2, False

    @property
    def loads(self):  # fetched for every file before it is read
        self.decoded = False
        return self.decode

    def decode(self, data):
        self.decoded = True
        return orjson.loads(data)


def worker(w, seconds):
    rng, counts, last, mine = random.Random(w), Counter(), {}, privates(w)
    ss.orjson = decoder = Decoder()

    class Warnings(logging.Handler):
        def emit(self, record):  # was the file a listing skipped decoded?
            text = record.getMessage().split(":")[0]
            counts[text + (" (decoded)" * ("parse" in text and decoder.decoded))] += 1

    logging.getLogger("vantorel").addHandler(Warnings(logging.WARNING))
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        op, ident = rng.choice(OPS), rng.choice(SHARED + mine)
        name, sid = ident["component_name"], ss._compute_simulation_id(**ident)
        try:
            if op == "save":
                result = content(name, rng.randrange(10**6))
                ss.save_simulation_result(
                    **ident, result=result, wavelengths=[1.5], execution_time_seconds=0.1
                )
                last.update({name: result} if ident in mine else {})
            elif op == "list":
                records = ss.list_simulation_results()
            elif op in ("find", "load"):
                records = [
                    ss.find_simulation_result(**ident)
                    if op == "find"
                    else ss.load_simulation_result(sid)
                ]
            elif op == "delete":
                ss.delete_simulation_result(ss._compute_simulation_id(**rng.choice(SHARED)))
            else:
                ss.clear_simulation_results(
                    factory_name="shared",
                    **rng.choice([{}, {"component_name": "s1"}, {"simulation_type": "eme"}]),
                )
            if op in ("find", "load", "list"):
                records = [r for r in records if r is not None]
                for r in records:  # whole: one writer's complete content
                    assert r.result == content(r.component_name, r.result["n"])
                own = {
                    r.component_name: r.result for r in records if r.factory_name == f"private{w}"
                }
                assert own == {n: v for n, v in last.items() if op == "list" or n == name}
            counts[op] += 1
        except FileNotFoundError as error:
            frames = traceback.extract_tb(error.__traceback__)
            where = next((f.name for f in frames if "pathlib" in f.filename), None)
            assert op in RACES and where == RACES[op], (op, where, error)
            counts[f"{op} race"] += 1
    return counts, last


def test_processes_share_one_directory(tmp_path, monkeypatch):
    monkeypatch.setenv("VANTOREL_SIMULATIONS_DIR", str(tmp_path / "simulations"))
    with multiprocessing.get_context("spawn").Pool(WORKERS) as pool:
        outcomes = pool.starmap_async(worker, [(w, SECONDS) for w in range(WORKERS)]).get(300)
    totals, verified = Counter(), 0
    for w, (counts, last) in enumerate(outcomes):
        totals.update(counts)
        for ident in privates(w):  # nobody else wrote or deleted these
            if (name := ident["component_name"]) in last:
                assert ss.find_simulation_result(**ident).result == last[name]
                verified += 1
    print(f"processes={WORKERS} totals={dict(totals)} verified={verified}")
    assert all(totals[op] for op in OPS) and verified > 0
    # A listing skips, with a warning, a file deleted between its glob and
    # its read, but must never have decoded a damaged or partial one.
    assert totals["Failed to parse simulation file (decoded)"] == 0
