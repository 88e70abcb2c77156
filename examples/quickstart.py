"""Quickstart: store a few simulation results, find them again, list them
and clear them, in the default simulations directory. With --keep they stay,
for the command line (``vantorel results ...``) to look at."""

import argparse
import logging

from vantorel.core.simulation_storage import (
    clear_simulation_results,
    find_simulation_result,
    list_simulation_results,
    load_simulation_result,
    save_simulation_result,
)
from vantorel.models import SimulationHyperparameters
from vantorel.settings import get_simulations_dir

logging.basicConfig(format="  log: %(levelname)s %(message)s")
logging.getLogger("vantorel").setLevel(logging.DEBUG)

WAVELENGTHS = [1.50 + 0.01 * i for i in range(11)]
HYPERPARAMETERS = SimulationHyperparameters(num_wavelengths=len(WAVELENGTHS))

# (component, factory, settings, simulation type)
COMPONENTS = [
    ("quickstart_mmi1x2", "mmi1x2", {"width_mmi": 2.5, "length_mmi": 5.5}, "fdtd"),
    ("quickstart_ring", "ring_single", {"radius": 10.0, "gap": 0.2}, "fdtd"),
    ("quickstart_taper", "taper", {"length": 10.0, "width2": 0.8}, "eme"),
]


def transmission(loss_db: float) -> dict[str, list[float]]:
    """A small made-up solver output: per-wavelength transmission."""
    peak = 10 ** (-loss_db / 10)
    return {
        "o1@0,o2@0": [round(peak * (1 - 0.02 * abs(i - 5)), 4) for i in range(11)],
        "o1@0,o1@0": [0.01] * 11,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n\n")[0])
    parser.add_argument("--keep", action="store_true", help="keep the results: clear nothing")
    keep = parser.parse_args().keep
    print(f"Simulations directory: {get_simulations_dir()}\n")

    print("Saving results:")
    saved = []
    for index, (component, factory, settings, simulation_type) in enumerate(COMPONENTS):
        record = save_simulation_result(
            component_name=component,
            factory_name=factory,
            component_settings=settings,
            model_parameters={},
            hyperparameters=HYPERPARAMETERS,
            simulation_type=simulation_type,
            result=transmission(loss_db=0.1 * (index + 1)),
            wavelengths=WAVELENGTHS,
            execution_time_seconds=12.5 * (index + 1),
        )
        saved.append(record)
        print(f"  {component}: ID {record.simulation_id}")

    component, factory, settings, simulation_type = COMPONENTS[1]
    hit = find_simulation_result(
        component_name=component,
        factory_name=factory,
        component_settings=settings,
        model_parameters={},
        hyperparameters=HYPERPARAMETERS,
        simulation_type=simulation_type,
    )
    assert hit is not None
    print(f"\nCache hit for {component} by its identity: ID {hit.simulation_id}")
    miss = find_simulation_result(
        component_name=component,
        factory_name=factory,
        component_settings={**settings, "gap": 0.25},
        model_parameters={},
        hyperparameters=HYPERPARAMETERS,
        simulation_type=simulation_type,
    )
    print(f"Cache miss with gap=0.25: {miss}")

    loaded = load_simulation_result(saved[0].simulation_id)
    assert loaded is not None
    print(
        f"Loaded {loaded.simulation_id} by ID: {loaded.component_name}, "
        f"{len(loaded.wavelengths)} wavelengths, "
        f"peak transmission {max(loaded.result['o1@0,o2@0'])}"
    )

    fdtd = list_simulation_results(simulation_type="fdtd")
    ours = [r for r in fdtd if r.component_name.startswith("quickstart_")]
    print(f"\nFDTD results stored by the quickstart ({len(ours)}), newest first:")
    print(f"  {'component':<20} {'type':<6} {'status':<8} {'date':<32} ID")
    for r in ours:
        print(
            f"  {r.component_name:<20} {r.simulation_type:<6} {r.status:<8} "
            f"{r.simulation_date:<32} {r.simulation_id}"
        )

    if keep:
        print("\nKept: try `vantorel results ls`, or run again without --keep to clear them.")
        return
    print("\nClearing what the quickstart stored:")
    cleared = sum(clear_simulation_results(component_name=c[0]) for c in COMPONENTS)
    print(f"  {cleared} result(s) removed")


if __name__ == "__main__":
    main()
