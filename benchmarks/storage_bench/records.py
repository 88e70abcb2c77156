"""The records the stores hold: made-up solver output of two size classes,
spread over simulation types and components, saved by the module."""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass
from typing import Any

from vantorel.core import simulation_storage as ss
from vantorel.models import SimulationHyperparameters, StoredSimulationResult

SIMULATION_TYPES = ("fdtd", "eme", "fde", "varfdtd")
COMPONENTS = (
    "mmi1x2",
    "mmi2x2",
    "ring_single",
    "ring_double",
    "taper",
    "bend_euler",
    "coupler",
    "mzi",
    "grating_coupler",
    "straight",
)
FILTER_COMPONENT = "ring_single"  # one record in ten
FILTER_TYPE = "fdtd"  # one record in four


@dataclass(frozen=True)
class Shape:
    """Size class of a result: solver output with `ports` ports."""

    name: str
    ports: int
    wavelengths: int
    complex_values: bool
    digits: int | None  # rounding of the values; None keeps full precision
    sizes: tuple[int, ...]  # local store sizes measured with this class


SMALL = Shape(
    "small",
    ports=3,
    wavelengths=201,
    complex_values=False,
    digits=4,
    sizes=(100, 1_000, 10_000, 100_000),
)
LARGE = Shape(
    "large", ports=8, wavelengths=281, complex_values=True, digits=None, sizes=(100, 1_000)
)
SHAPES = (SMALL, LARGE)


def identity(shape: Shape, index: int, component: str | None = None) -> dict[str, Any]:
    """Identity keywords of record `index` of a store."""
    name = component or COMPONENTS[(index // len(SIMULATION_TYPES)) % len(COMPONENTS)]
    return dict(
        component_name=name,
        factory_name=name,
        component_settings={
            "width": round(0.5 + 0.001 * (index % 97), 4),
            "length": round(10.0 + 0.01 * index, 3),
            "cross_section": "xs_sc",
            "sweep_index": index,
        },
        model_parameters={"n_eff": 2.4, "loss_db_per_cm": 2.0},
        hyperparameters=SimulationHyperparameters(num_wavelengths=shape.wavelengths),
        simulation_type=SIMULATION_TYPES[index % len(SIMULATION_TYPES)],
    )


@functools.cache
def port_waves(shape: Shape) -> dict[str, tuple[list[float], ...]]:
    """Per port pair, two periods of made-up values; a record takes a window
    of them shifted by its index, so records differ at no generating cost."""
    n = shape.wavelengths
    grid = [1.5 + 0.1 * j / (n - 1) for j in range(2 * n)]
    waves: dict[str, tuple[list[float], ...]] = {}
    for a in range(1, shape.ports + 1):
        for b in range(1, shape.ports + 1):
            base = 0.37 * a + 0.11 * b
            magnitude = [0.5 + 0.45 * math.sin(base + 40.0 * w) for w in grid]
            if shape.digits is not None:
                magnitude = [round(m, shape.digits) for m in magnitude]
            key = f"o{a}@0,o{b}@0"
            if shape.complex_values:
                waves[key] = (
                    [m * math.cos(base + 7.0 * w) for m, w in zip(magnitude, grid, strict=True)],
                    [m * math.sin(base + 7.0 * w) for m, w in zip(magnitude, grid, strict=True)],
                )
            else:
                waves[key] = (magnitude,)
    return waves


def solver_output(shape: Shape, index: int) -> tuple[list[float], dict[str, Any]]:
    """Made-up S-parameters: one entry per port pair, one value per wavelength."""
    n = shape.wavelengths
    wavelengths = [round(1.5 + 0.1 * j / (n - 1), 6) for j in range(n)]
    start = (7 * index) % n
    result: dict[str, Any] = {}
    for key, values in port_waves(shape).items():
        if shape.complex_values:
            real, imag = values
            result[key] = {"real": real[start : start + n], "imag": imag[start : start + n]}
        else:
            result[key] = values[0][start : start + n]
    return wavelengths, result


def save_arguments(shape: Shape, index: int, component: str | None = None) -> dict[str, Any]:
    """The keywords of save_simulation_result for record `index`."""
    wavelengths, result = solver_output(shape, index)
    return dict(
        **identity(shape, index, component),
        result=result,
        wavelengths=wavelengths,
        execution_time_seconds=12.5 + index % 7,
    )


def save(shape: Shape, index: int, component: str | None = None) -> StoredSimulationResult:
    return ss.save_simulation_result(**save_arguments(shape, index, component))


def result_path(root: str, simulation_type: str, component_name: str, simulation_id: str) -> str:
    """Where a result lives: <root>/<type>/<component>_<id>.json (also an S3 key)."""
    return f"{root}/{simulation_type}/{component_name}_{simulation_id}.json"


def saved_path(root: str, record: StoredSimulationResult) -> str:
    """Where the module saved `record` under `root`."""
    return result_path(root, record.simulation_type, record.component_name, record.simulation_id)
