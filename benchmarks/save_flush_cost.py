"""What flushing costs a save: the median time of re-saving one ~28 KiB
result with save_simulation_result (temporary file, fsync, rename, fsync of
the directory), against the same bytes written and renamed into place by os
calls with and without the two fsync calls, interleaved, in a temporary
directory on the file system of the current directory.

    .venv/bin/python benchmarks/save_flush_cost.py [--rounds 400]
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time
from collections.abc import Callable

from vantorel.models import SimulationHyperparameters


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=400)
    rounds = parser.parse_args().rounds
    with tempfile.TemporaryDirectory(dir=".") as directory:
        os.environ["VANTOREL_SIMULATIONS_DIR"] = directory
        from vantorel.core import simulation_storage as ss

        fields = dict(
            component_name="ring",
            factory_name="ring_factory",
            component_settings={"radius": 10.0},
            model_parameters={},
            hyperparameters=SimulationHyperparameters(),
            simulation_type="fdtd",
            result={"o1@0,o2@0": [0.123456789 * n for n in range(1_300)]},
            wavelengths=[1.5 + n * 1e-4 for n in range(101)],
            execution_time_seconds=1.0,
        )
        record = ss.save_simulation_result(**fields)
        path = ss._find_simulation_file(record.simulation_id)
        data = path.read_bytes()
        dir_fd = os.open(directory + "/fdtd", os.O_RDONLY | os.O_DIRECTORY)

        def by_os(flush: bool) -> None:
            temp = path.with_name("." + path.name + ".tmp")
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            os.write(fd, data)
            if flush:
                os.fsync(fd)
            os.close(fd)
            os.rename(temp, path)
            if flush:
                os.fsync(dir_fd)

        ways: dict[str, Callable[[], object]] = {
            "save_simulation_result": lambda: ss.save_simulation_result(**fields),
            "os calls, with both fsync": lambda: by_os(True),
            "os calls, without fsync": lambda: by_os(False),
        }
        times: dict[str, list[float]] = {name: [] for name in ways}
        for _ in range(rounds):
            for name, way in ways.items():
                start = time.perf_counter()
                way()
                times[name].append(time.perf_counter() - start)
        os.close(dir_fd)
    print(f"{len(data) / 1024:.1f} KiB, {rounds} rounds, medians:")
    for name, measured in times.items():
        print(f"  {name:28} {statistics.median(measured) * 1e3:.3f} ms")


if __name__ == "__main__":
    main()
