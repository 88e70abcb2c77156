"""A parameter sweep on Dask, cached by ``Store.get_or_run``.

A grid of ring resonators (radius x gap) is simulated by a cheap stand-in
solver on Dask workers, each variant asked for several times by tasks that
may land on any worker. Each variant runs once, whichever worker meets it
first; the others wait for its result. The sweep then runs again: every
task is a cache hit.

    pip install 'vantorel[sweep]'          # dask[distributed] and numpy
    python examples/sweep.py               # a LocalCluster on 127.0.0.1
    python examples/sweep.py --store s3://my-bucket/sweep --scheduler tcp://10.0.0.5:8786

An S3 store also needs the ``s3`` extra and the AWS variables (README); the
workers of a remote scheduler need them too.
"""

import argparse
import random
import time
import uuid
from pathlib import Path
from typing import Any

try:
    import numpy as np
    from dask.distributed import Client, LocalCluster, progress
except ImportError as missing:
    raise SystemExit(
        f"{missing}: the sweep needs Dask and numpy: pip install 'vantorel[sweep]'"
    ) from missing

from vantorel import Store
from vantorel.models import SimulationHyperparameters

HYPERPARAMETERS = SimulationHyperparameters(
    wavelength_start_um=1.5, wavelength_stop_um=1.6, num_wavelengths=201
)


def ring_through_port(
    radius_um: float, gap_um: float, solve_seconds: float
) -> tuple[dict[str, Any], np.ndarray]:
    """Stand-in for a solver: the complex through-port transmission of an
    all-pass ring, after `solve_seconds` of pretended work."""
    time.sleep(solve_seconds)
    wavelengths = np.linspace(
        HYPERPARAMETERS.wavelength_start_um,
        HYPERPARAMETERS.wavelength_stop_um,
        HYPERPARAMETERS.num_wavelengths,
    )
    coupling = np.exp(-gap_um / 0.15)
    self_coupling = np.sqrt(1 - coupling**2)
    loss = np.exp(-0.5 * 2 * np.pi * radius_um * 1e-4)  # 2 dB/cm, field
    phase = 2 * np.pi * 2.4 * 2 * np.pi * radius_um / wavelengths
    through = (self_coupling - loss * np.exp(-1j * phase)) / (
        1 - self_coupling * loss * np.exp(-1j * phase)
    )
    return {"o1@0,o2@0": through}, wavelengths


def simulate(
    store: Store, radius_um: float, gap_um: float, solve_seconds: float, run_log: str | None
) -> tuple[str, bool]:
    """One task: the variant's record ID, and whether this task ran it."""
    identity: dict[str, Any] = {
        "component_name": f"ring_r{radius_um:g}_g{gap_um:g}",
        "factory_name": "ring_single",
        "component_settings": {"radius": radius_um, "gap": gap_um},
        "model_parameters": {},
        "hyperparameters": HYPERPARAMETERS,
        "simulation_type": "fdtd",
    }
    ran = False

    def run() -> tuple[dict[str, Any], np.ndarray]:
        nonlocal ran
        ran = True
        if run_log:  # one file per run, seen from every worker's process
            simulation_id = store.simulation_id(**identity)
            (Path(run_log) / f"{simulation_id}.{uuid.uuid4().hex}.run").touch()
        return ring_through_port(radius_um, gap_um, solve_seconds)

    record = store.get_or_run(run, **identity)
    return record.simulation_id, ran


def sweep(
    client: Client,
    store: Store,
    tasks: list[tuple[float, float]],
    solve_seconds: float,
    run_log: str | None,
) -> tuple[int, int]:
    """Runs the tasks with a progress bar; (distinct variants, runs)."""
    futures = [
        client.submit(simulate, store, radius, gap, solve_seconds, run_log, pure=False)
        for radius, gap in tasks
    ]
    progress(futures)
    print()
    outcomes = client.gather(futures)
    return len({simulation_id for simulation_id, _ in outcomes}), sum(ran for _, ran in outcomes)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n\n")[0])
    parser.add_argument(
        "--store",
        default="build/sweep",
        help="a path or URL, as VANTOREL_SIMULATIONS_DIR takes (default: %(default)s)",
    )
    parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="a running Dask scheduler (default: a LocalCluster on 127.0.0.1)",
    )
    parser.add_argument(
        "--workers",
        type=int,
        default=2,
        help="worker processes of the LocalCluster (default: %(default)s)",
    )
    parser.add_argument("--radii", type=int, default=10, help="radii in the grid")
    parser.add_argument("--gaps", type=int, default=20, help="gaps in the grid")
    parser.add_argument(
        "--repeat",
        type=int,
        default=2,
        help="tasks that ask for each variant (default: %(default)s)",
    )
    parser.add_argument(
        "--solve-seconds",
        type=float,
        default=0.2,
        help="time the stand-in solver takes (default: %(default)s)",
    )
    parser.add_argument(
        "--run-log", metavar="DIR", help="a directory that gets one file per solver run"
    )
    args = parser.parse_args(argv)

    store = Store(args.store)
    variants = [
        (round(5.0 + 0.5 * i, 3), round(0.1 + 0.01 * j, 3))
        for i in range(args.radii)
        for j in range(args.gaps)
    ]
    tasks = variants * args.repeat
    random.Random(0).shuffle(tasks)
    print(f"Store: {store.location}; {len(variants)} variants, {len(tasks)} tasks")

    if args.scheduler:
        cluster = None
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(
            n_workers=args.workers, threads_per_worker=1, host="127.0.0.1", dashboard_address=None
        )
        client = Client(cluster)
    try:
        for attempt in ("Sweep", "Rerun"):
            start = time.monotonic()
            distinct, runs = sweep(client, store, tasks, args.solve_seconds, args.run_log)
            print(
                f"{attempt}: {distinct} variants, {runs} runs, {len(tasks) - runs} "
                f"tasks given a stored result, {time.monotonic() - start:.1f} s"
            )
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


if __name__ == "__main__":
    main()
