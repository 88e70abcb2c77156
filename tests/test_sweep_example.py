"""examples/sweep.py, run small on a local Dask cluster of two worker
processes: each variant runs once, however many tasks ask for it."""

import contextlib
import os
import signal
import subprocess
import sys
from collections import Counter
from pathlib import Path

from vantorel import Store

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "sweep.py"


def test_sweep_runs_each_variant_once_then_finds_them_all(tmp_path):
    runs = tmp_path / "runs"
    runs.mkdir()
    command = [
        sys.executable,
        str(EXAMPLE),
        "--store",
        str(tmp_path / "store"),
        "--workers",
        "2",
        "--radii",
        "2",
        "--gaps",
        "3",
        "--repeat",
        "3",
        "--solve-seconds",
        "0.2",
        "--run-log",
        str(runs),
    ]
    # Its own process group, so that nothing it started outlives a failure.
    example = subprocess.Popen(
        command,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        start_new_session=True,
        cwd=tmp_path,
    )
    try:
        out, _ = example.communicate(timeout=120)
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(example.pid, signal.SIGKILL)
    assert example.returncode == 0, out
    assert "Sweep: 6 variants, 6 runs, 12 tasks given a stored result" in out
    assert "Rerun: 6 variants, 0 runs, 18 tasks given a stored result" in out
    per_variant = Counter(name.partition(".")[0] for name in os.listdir(runs))
    stored = Store(tmp_path / "store").list()
    assert per_variant == Counter(record.simulation_id for record in stored)
    assert len(stored) == 6 and set(per_variant.values()) == {1}
