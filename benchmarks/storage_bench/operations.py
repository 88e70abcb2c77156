"""What is measured: OPERATIONS, one row per operation, naming what it
measures, the stores it is measured on and, for each kind, the function
that builds its variants there: the module's call, then its floors and
the alternatives (in local_trials and s3_trials).

Adding an operation is a row here and a function `(Subject) -> Trial`
for each kind of store it runs on: the run measures it where its row
says, in the table's order, and RESULTS.md gives it rows in the tables of
those stores. A new floor gets a line in floors.LOCAL_FLOORS or S3_FLOORS.
The operations of `vantorel.Store` (get_or_run, frame) are in job_trials."""

from __future__ import annotations

import functools
import json
import math
from collections.abc import Mapping
from dataclasses import dataclass
from enum import Flag, auto
from typing import Any

from vantorel.core import simulation_storage as ss

from .floors import floor_id
from .harness import Config, Measured, RequestHook, Trial, Variant, all_equal, measure, module_call
from .job_trials import (
    get_or_run_claim,
    local_frame,
    local_get_or_run_hit,
    s3_get_or_run_hit,
)
from .local_trials import (
    CLEAR_COUNT,
    local_clear_component,
    local_delete,
    local_find_hit,
    local_find_miss,
    local_listing,
    local_load,
    local_save,
)
from .records import FILTER_COMPONENT, FILTER_TYPE, SMALL, identity
from .s3_trials import (
    s3_clear,
    s3_delete,
    s3_find_hit,
    s3_find_miss,
    s3_listing,
    s3_load,
    s3_save,
)
from .stores import BuildTrial, Subject


class Place(Flag):
    """The stores an operation is measured on."""

    # The local stores grown in the run, measured at each of Config.sizes
    # their size class reaches (Shape.sizes), with diskcache and joblib
    # caches of the same records.
    GROWN = auto()
    # The largest of those (the last of Config.sizes), in each size class
    # that reaches it: for what reads the whole store and is compared with
    # a listing there, where a size series would add nothing.
    LARGEST = auto()
    # The local store of Config.kept_size small results, kept between runs:
    # only what a lookup-heavy user meets, nothing that reads the whole store.
    KEPT = auto()
    # S3 stores of Config.s3_sizes small results, on a moto server on loopback.
    S3 = auto()
    # The largest of those again, on a server answering every request late.
    S3_LATE = auto()


GROWN, LARGEST, KEPT = Place.GROWN, Place.LARGEST, Place.KEPT
S3, S3_LATE = Place.S3, Place.S3_LATE
LOCAL = GROWN | LARGEST | KEPT


@dataclass(frozen=True)
class Operation:
    """A row of OPERATIONS."""

    key: str  # names it in the results and the plot
    title: str  # what it measures: the first cell of its rows in RESULTS.md
    runs: Mapping[Place, BuildTrial]  # where it is measured, and how there

    def trial_at(self, place: Place) -> BuildTrial | None:
        """How it is measured at `place` (several places at once: the
        largest grown store is also a grown one), if it is measured there."""
        return next((build for places, build in self.runs.items() if place & places), None)


# --------------------------------------------------------------------------
# The table: rows in the order they are measured and reported.

OPERATIONS: tuple[Operation, ...] = (
    Operation(
        "find_hit", "`find_simulation_result` (hit)", {LOCAL: local_find_hit, S3: s3_find_hit}
    ),
    Operation(
        "get_or_run_hit",
        "`Store(...).get_or_run(run, **identity)` (hit)",
        {LOCAL: local_get_or_run_hit, S3: s3_get_or_run_hit},
    ),
    Operation(
        "find_miss", "`find_simulation_result` (miss)", {LOCAL: local_find_miss, S3: s3_find_miss}
    ),
    Operation("load", "`load_simulation_result`", {LOCAL: local_load, S3: s3_load}),
    Operation(
        "list_all",
        "`list_simulation_results()` (all)",
        {GROWN: local_listing(), S3 | S3_LATE: s3_listing(one_by_one=True)},
    ),
    Operation(
        "list_type",
        f'`list_simulation_results(simulation_type="{FILTER_TYPE}")`',
        {
            LOCAL: local_listing(simulation_type=FILTER_TYPE),
            S3: s3_listing(simulation_type=FILTER_TYPE),
        },
    ),
    Operation(
        "list_component",
        f'`list_simulation_results(component_name="{FILTER_COMPONENT}")`',
        {
            GROWN: local_listing(component_name=FILTER_COMPONENT),
            S3: s3_listing(component_name=FILTER_COMPONENT),
        },
    ),
    Operation("frame", "`Store(...).frame()` (all)", {LARGEST: local_frame}),
    Operation("save", "`save_simulation_result` (new result)", {GROWN: local_save, S3: s3_save}),
    Operation("delete", "`delete_simulation_result`", {LOCAL: local_delete, S3: s3_delete}),
    Operation(
        "clear",
        f"`clear_simulation_results(component_name=...)` ({CLEAR_COUNT} results)",
        {GROWN: local_clear_component},
    ),
    Operation("clear", "`clear_simulation_results()` (the whole store)", {S3: s3_clear}),
    # Last: its first claim leaves a claims directory in the store.
    Operation(
        "claim",
        "`Store(...).get_or_run(run, **identity)` (miss: claim, a trivial `run`, save)",
        {LOCAL | S3: get_or_run_claim},
    ),
)


def titles(places: Place) -> list[tuple[str, str]]:
    """(key, title) of the operations measured somewhere in `places`."""
    return [(op.key, op.title) for op in OPERATIONS if any(places & p for p in op.runs)]


def measure_at(
    place: Place, s: Subject, cfg: Config, counter: RequestHook | None = None
) -> dict[str, Measured]:
    """The operations of the table measured at `place`, on `s`, which keeps
    its results."""
    out: dict[str, Measured] = {}
    for operation in OPERATIONS:
        build = operation.trial_at(place)
        if build is not None:
            out[operation.key] = measure(cfg, build(s), counter)
    assert s.stored() == s.n, (s.stored(), s.n)
    return out


# --------------------------------------------------------------------------
# The identity, apart from any store


@dataclass
class IdentityTiming:
    settings: str  # "small" or "large"
    settings_bytes: int  # their JSON
    measured: Measured


def measure_identity(cfg: Config) -> list[IdentityTiming]:
    small = identity(SMALL, 1234)
    large = identity(SMALL, 1234)
    large["component_settings"] = {
        **large["component_settings"],
        "polygon": [
            [round(math.cos(t / 100), 6), round(math.sin(t / 100), 6)] for t in range(1000)
        ],
        "layers": {
            f"layer_{j}": {"gds": [j, 0], "thickness": 0.22, "material": "si"} for j in range(100)
        },
    }

    def module_id(ident: dict[str, Any], k: int) -> str:
        return ss._compute_simulation_id(**ident)

    def id_floor(ident: dict[str, Any], k: int) -> str:
        return floor_id(ident)

    return [
        IdentityTiming(
            name,
            len(json.dumps(ident["component_settings"], sort_keys=True)),
            measure(
                cfg,
                Trial(
                    [
                        module_call(functools.partial(module_id, ident)),
                        Variant("floor", "floor", functools.partial(id_floor, ident)),
                    ],
                    all_equal,
                ),
            ),
        )
        for name, ident in (("small", small), ("large", large))
    ]
