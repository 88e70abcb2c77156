"""Cost of turning a listing into a table: vantorel.data.results_frame
against list_simulation_results on a local store of the same results.

The store holds a sweep of realistic results (~28 KiB of JSON each: a few
settings, some nested or a list, and 8 entries of 201 points, one complex),
built through save_simulation_result in a temporary directory. A table of
the store costs the listing plus results_frame; the target is at most 1.2x
the listing alone.

    .venv/bin/python benchmarks/bench_frame.py            # 10,000 results
    .venv/bin/python benchmarks/bench_frame.py --count 1000 --rounds 3
"""

import argparse
import functools
import math
import os
import statistics
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from vantorel.core import simulation_storage as ss
from vantorel.data import results_frame
from vantorel.models import SimulationHyperparameters

POINTS = 201
ENTRIES = (
    "o1@0,o1@0",
    "o1@0,o2@0",
    "o2@0,o1@0",
    "o2@0,o2@0",
    "o1@0,o3@0",
    "o3@0,o1@0",
    "o2@0,o3@0",
    "o3@0,o2@0",
)
COMPLEX_ENTRIES = 1  # the first entries hold {"real", "imag"} pairs


def save_arguments(index: int) -> dict[str, Any]:
    wavelengths = [round(1.5 + 0.1 * j / (POINTS - 1), 6) for j in range(POINTS)]
    result: dict[str, Any] = {}
    for number, entry in enumerate(ENTRIES):
        wave = [
            round(0.5 + 0.45 * math.sin(0.37 * number + 40.0 * w + 0.01 * index), 4)
            for w in wavelengths
        ]
        result[entry] = (
            {"real": wave, "imag": [round(0.3 * v, 4) for v in wave]}
            if number < COMPLEX_ENTRIES
            else wave
        )
    return {
        "component_name": f"ring_{index % 10}",
        "factory_name": "ring_single",
        "component_settings": {
            "radius": 5.0 + index % 20,
            "gap": round(0.1 + 0.01 * index, 3),
            "length_x": index % 7,
            "cross_section": "xs_sc",
            "ports": ["o1", "o2", "o3"],
        },
        "model_parameters": {"cross_section": {"width": 0.45, "layer": [1, 0]}, "n_eff": 2.4},
        "hyperparameters": SimulationHyperparameters(num_wavelengths=POINTS),
        "simulation_type": ("fdtd", "eme")[index % 2],
        "result": result,
        "wavelengths": wavelengths,
        "execution_time_seconds": 10.0 + index % 13,
    }


def timed(action: Callable[[], Any]) -> tuple[float, Any]:
    start = time.perf_counter()
    value = action()
    return time.perf_counter() - start, value


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="vantorel-frame-") as directory:
        os.environ["VANTOREL_SIMULATIONS_DIR"] = str(Path(directory) / "simulations")
        start = time.perf_counter()
        for index in range(options.count):
            ss.save_simulation_result(**save_arguments(index))
        files = list(Path(directory, "simulations").glob("*/*.json"))
        size = sum(path.stat().st_size for path in files) / len(files)
        print(
            f"store: {len(files):,} results of {size / 1024:.1f} KiB on average, "
            f"built in {time.perf_counter() - start:.1f} s"
        )
        results_frame([])  # pandas imported before the clock starts
        # Rounds interleaved, so that both see the same state of the machine.
        listing, table = [], []
        for _ in range(options.rounds):
            seconds, records = timed(ss.list_simulation_results)
            listing.append(seconds)
            seconds, frame = timed(functools.partial(results_frame, records))
            table.append(seconds)
        assert frame.shape[0] == options.count
    list_time, frame_time = statistics.median(listing), statistics.median(table)
    print(f"list_simulation_results: {list_time * 1000:.0f} ms (median of {options.rounds})")
    print(f"results_frame:           {frame_time * 1000:.0f} ms ({frame.shape[1]} columns)")
    print(
        f"listing + table: {(list_time + frame_time) / list_time:.3f}x the listing "
        "(target: at most 1.2x)"
    )


if __name__ == "__main__":
    main()
