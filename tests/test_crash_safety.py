"""A process killed while saving never leaves a damaged result behind, and
the temporary file it leaves never looks like a result."""

import itertools
import logging
import os
import pathlib
import signal
import subprocess
import sys
from fnmatch import fnmatch

import orjson

from conftest import stop_while_writing
from vantorel.core import simulation_storage as ss
from vantorel.models import SimulationHyperparameters, StoredSimulationResult

CHILD = "import sys, test_crash_safety as t; t.saver(int(sys.argv[1]))"
ROUNDS = 10


def identity(k):
    return dict(
        component_name=f"c{k}",
        factory_name="f",
        component_settings={"k": k},
        model_parameters={},
        hyperparameters=SimulationHyperparameters(),
        simulation_type=("fdtd", "eme")[k % 2],
    )


def payload(k, variant):
    """About 3.1 MiB (variant 0) or 4.1 MiB (variant 1) of indented JSON."""
    return {
        "blob": "ab"[variant] * ((3 + variant) << 20),
        "values": [k + variant + i * 1e-3 for i in range(5_000)],
    }


def saver(start):
    """Child: saves forever over three identities, alternating two contents."""
    payloads = [[payload(k, v) for v in (0, 1)] for k in range(3)]
    print("ready", flush=True)
    for n in itertools.count(start):
        ss.save_simulation_result(
            **identity(n % 3),
            result=payloads[n % 3][n // 3 % 2],
            wavelengths=[1.55],
            execution_time_seconds=1.0,
        )
        print(n % 3, flush=True)


def test_saver_killed_mid_write_leaves_whole_files(tmp_path, monkeypatch, caplog):
    store = tmp_path / "simulations"
    monkeypatch.setenv("VANTOREL_SIMULATIONS_DIR", str(store))
    env = os.environ | {"PYTHONPATH": str(pathlib.Path(__file__).parent)}
    caplog.set_level(logging.WARNING, logger="vantorel")
    ids = {ss._compute_simulation_id(**identity(k)): k for k in range(3)}
    known = [[payload(k, v) for v in (0, 1)] for k in range(3)]
    saved, temps = set(), set()
    for round_ in range(ROUNDS):
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD, str(round_)], stdout=subprocess.PIPE, text=True, env=env
        )
        assert child.stdout.readline() == "ready\n"
        # Three whole saves first (one per identity), then a kill mid-write.
        saved |= {int(child.stdout.readline()) for _ in range(3)}
        temp = stop_while_writing(child)
        child.kill()
        saved |= {int(line) for line in child.stdout}  # saves that returned
        child.stdout.close()
        assert child.wait() == -signal.SIGKILL
        assert os.path.exists(temp) and not fnmatch(os.path.basename(temp), "*.json")
        temps.add(temp)
        files = list(store.rglob("*.json"))
        for path in files:  # one complete content each, the earlier or the new
            record = StoredSimulationResult.model_validate(orjson.loads(path.read_bytes()))
            assert record.result in known[ids[record.simulation_id]]
        caplog.clear()
        listed = sorted(r.simulation_id for r in ss.list_simulation_results())
        assert not [r for r in caplog.records if "Failed to parse" in r.message]
        assert listed == sorted(p.stem.split("_")[1] for p in files) == sorted(ids)
        assert all(ss._find_simulation_file(i).suffix == ".json" for i in ids)
    assert saved == {0, 1, 2} and set(map(str, store.rglob("*.tmp"))) == temps
