"""Latency of vantorel.core.simulation_storage on stores of realistic results.

Builds stores of 100, 1,000 and 10,000 results (through save_simulation_result,
so the stores are real), then measures each operation side by side with:

- its floor: the least file-system and decoding work that gives the same
  answer (scandir walk, read + orjson + model_validate of the same files,
  json.dumps + SHA-256 of the identity, write + rename, unlink);
- the stores users would pick instead, holding the same records: diskcache
  (Cache.set / Cache.get) and joblib (a Memory cache hit).

Writes RESULTS.md (median per operation, ratio to its floor, one table per
store size) and latency.png (find hit and list all against store size).

    ./dev bench                                  # full run, into benchmarks/
    .venv/bin/python benchmarks/bench_storage.py --quick   # 100 results only,
                                                 # results into a temp dir
"""

from __future__ import annotations

import argparse
import functools
import gc
import hashlib
import json
import math
import os
import platform
import random
import shutil
import statistics
import sys
import tempfile
import time
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path
from typing import Any, Callable

import diskcache
import joblib
import orjson

from vantorel.core import simulation_storage as ss
from vantorel.models import SimulationHyperparameters, StoredSimulationResult

HERE = Path(__file__).resolve().parent

SIMULATION_TYPES = ("fdtd", "eme", "fde", "varfdtd")
COMPONENTS = (
    "mmi1x2", "mmi2x2", "ring_single", "ring_double", "taper",
    "bend_euler", "coupler", "mzi", "grating_coupler", "straight",
)
FILTER_COMPONENT = "ring_single"  # one record in ten
CLEAR_COMPONENT = "clear_target"  # the subset cleared, outside the N results
CLEAR_COUNT = 5
SAMPLE_COUNT = 64  # records the lookups rotate over


@dataclass(frozen=True)
class Shape:
    """Size class of a result: solver output with `ports` ports."""

    name: str
    ports: int
    wavelengths: int
    complex_values: bool
    digits: int | None  # rounding of the values; None keeps full precision
    sizes: tuple[int, ...]  # store sizes measured with this class


@dataclass
class Config:
    sizes: tuple[int, ...]
    budget_s: float  # time spent per measured operation, all variants together
    min_reps: int
    max_reps: int


FULL = Config(sizes=(100, 1_000, 10_000), budget_s=1.5, min_reps=3, max_reps=400)
QUICK = Config(sizes=(100,), budget_s=0.2, min_reps=2, max_reps=20)

SMALL = Shape("small", ports=3, wavelengths=201, complex_values=False, digits=4,
              sizes=(100, 1_000, 10_000))
LARGE = Shape("large", ports=8, wavelengths=281, complex_values=True, digits=None,
              sizes=(100, 1_000))
SHAPES = (SMALL, LARGE)


# --------------------------------------------------------------------------
# Records


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
def _waves(shape: Shape) -> dict[str, tuple[list[float], ...]]:
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
                    [m * math.cos(base + 7.0 * w) for m, w in zip(magnitude, grid)],
                    [m * math.sin(base + 7.0 * w) for m, w in zip(magnitude, grid)],
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
    for key, values in _waves(shape).items():
        if shape.complex_values:
            real, imag = values
            result[key] = {"real": real[start:start + n], "imag": imag[start:start + n]}
        else:
            result[key] = values[0][start:start + n]
    return wavelengths, result


def save(shape: Shape, index: int, component: str | None = None) -> StoredSimulationResult:
    wavelengths, result = solver_output(shape, index)
    return ss.save_simulation_result(
        **identity(shape, index, component), result=result, wavelengths=wavelengths,
        execution_time_seconds=12.5 + index % 7,
    )


def joblib_arguments(ident: dict[str, Any]) -> dict[str, Any]:
    """joblib hashes its arguments: hyperparameters are passed as their dump."""
    return {**ident, "hyperparameters": ident["hyperparameters"].model_dump()}


_PREPARED_DUMP: dict[str, Any] | None = None


def run_simulation(component_name, factory_name, component_settings, model_parameters,
                   hyperparameters, simulation_type):
    """Stands in for a solver run cached by joblib: returns the record dump
    prepared for this call (only reached on a cache miss, while building)."""
    return _PREPARED_DUMP


# --------------------------------------------------------------------------
# Floors: the least work that gives the same answer


def read_bytes(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def read_record(path: str | None) -> StoredSimulationResult:
    assert path is not None
    return StoredSimulationResult.model_validate(orjson.loads(read_bytes(path)))


def floor_id(ident: dict[str, Any]) -> str:
    data = {
        "component_name": ident["component_name"],
        "factory_name": ident["factory_name"],
        "component_settings": ident["component_settings"],
        "model_parameters": ident["model_parameters"],
        "hyperparameters": ident["hyperparameters"].model_dump(),
        "simulation_type": ident["simulation_type"],
    }
    return hashlib.sha256(json.dumps(data, sort_keys=True).encode()).digest()[:8].hex()


def floor_walk(root: str, simulation_id: str) -> str | None:
    """scandir walk, in directory order, to the file named *_<id>.json."""
    suffix = "_" + simulation_id + ".json"
    with os.scandir(root) as types:
        for type_dir in types:
            if type_dir.is_dir():
                with os.scandir(type_dir.path) as entries:
                    for entry in entries:
                        if entry.name.endswith(suffix):
                            return entry.path
    return None


def floor_list_paths(root: str) -> list[str]:
    paths: list[str] = []
    with os.scandir(root) as types:
        for type_dir in types:
            if type_dir.is_dir():
                with os.scandir(type_dir.path) as entries:
                    paths.extend(e.path for e in entries if e.name.endswith(".json"))
    return paths


def floor_list(root: str, component_name: str | None = None
               ) -> list[tuple[str, StoredSimulationResult]]:
    found = []
    for path in floor_list_paths(root):
        record = read_record(path)
        if component_name is None or record.component_name == component_name:
            found.append((path, record))
    found.sort(key=lambda pr: pr[1].simulation_date, reverse=True)
    return found


def floor_write(path: str, data: bytes) -> None:
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


# --------------------------------------------------------------------------
# Measurement


@dataclass
class Variant:
    key: str
    run: Callable[[int], Any]
    before: Callable[[int], None] | None = None
    after: Callable[[int], None] | None = None


@dataclass
class Measured:
    medians: dict[str, float]  # seconds
    reps: int


def _once(v: Variant, k: int, keep: dict[str, Any] | None = None) -> int:
    if v.before:
        v.before(k)
    t0 = time.perf_counter_ns()
    value = v.run(k)
    elapsed = time.perf_counter_ns() - t0
    if keep is not None:
        keep[v.key] = value
    del value  # freeing a large listing is not part of the call's latency
    if v.after:
        v.after(k)
    return elapsed


def measure(cfg: Config, *variants: Variant,
            check: Callable[[dict[str, Any]], None] | None = None) -> Measured:
    """One warm-up call per variant, whose results `check` compares (the floor
    must give the module's answer) and whose times are discarded; then
    repetitions, variants interleaved (order flipped every round), as many as
    fit the budget."""
    gc.collect()
    values: dict[str, Any] = {}
    warm = sum(_once(v, 0, values) for v in variants) / 1e9
    if check:
        check(values)
    del values
    gc.collect()
    reps = int(cfg.budget_s / max(warm, 1e-9))
    reps = max(cfg.min_reps, min(cfg.max_reps, reps))
    samples: dict[str, list[int]] = {v.key: [] for v in variants}
    for k in range(1, reps + 1):
        order = variants if k % 2 else tuple(reversed(variants))
        for v in order:
            samples[v.key].append(_once(v, k))
    return Measured({key: statistics.median(s) / 1e9 for key, s in samples.items()}, reps)


# --------------------------------------------------------------------------
# Stores


class Store:
    """One size class: the vantorel store, a diskcache and a joblib cache,
    holding the same records, grown together."""

    def __init__(self, shape: Shape, workdir: Path):
        self.shape = shape
        base = workdir / shape.name
        self.root = base / "simulations"
        self.cache = diskcache.Cache(str(base / "diskcache"))
        self.memory = joblib.Memory(str(base / "joblib"), verbose=0)
        self.cached_run = self.memory.cache(run_simulation)
        self.ids: list[str] = []
        self.save_seconds = 0.0  # save_simulation_result while building
        self.alt_seconds = 0.0  # diskcache + joblib while building

    def activate(self) -> None:
        os.environ["VANTOREL_SIMULATIONS_DIR"] = str(self.root)

    def grow(self, n: int) -> None:
        global _PREPARED_DUMP
        self.activate()
        for i in range(len(self.ids), n):
            ident = identity(self.shape, i)
            wavelengths, result = solver_output(self.shape, i)
            t0 = time.perf_counter()
            record = ss.save_simulation_result(
                **ident, result=result, wavelengths=wavelengths,
                execution_time_seconds=12.5 + i % 7)
            t1 = time.perf_counter()
            dump = record.model_dump()
            t2 = time.perf_counter()
            self.cache.set(record.simulation_id, dump)
            _PREPARED_DUMP = dump
            self.cached_run(**joblib_arguments(ident))
            _PREPARED_DUMP = None
            t3 = time.perf_counter()
            self.save_seconds += t1 - t0
            self.alt_seconds += t3 - t2
            self.ids.append(record.simulation_id)

    def file_stats(self) -> tuple[int, float]:
        paths = floor_list_paths(str(self.root))
        return len(paths), sum(os.path.getsize(p) for p in paths) / len(paths)

    def close(self) -> None:
        self.cache.close()


def measure_store(store: Store, n: int, cfg: Config, rng: random.Random) -> dict[str, Measured]:
    shape = store.shape
    root = str(store.root)
    store.activate()
    picks = rng.sample(range(n), min(SAMPLE_COUNT, n))
    idents = [identity(shape, i) for i in picks]
    ids = [store.ids[i] for i in picks]
    misses = [identity(shape, 10_000_000 + j) for j in range(SAMPLE_COUNT)]
    out: dict[str, Measured] = {}

    def pick(seq, k):
        return seq[k % len(seq)]

    # Checks on the warm-up results: the floor gives the module's answer.
    def same_record(values):
        assert values["module"].simulation_id == ids[0]
        assert values["module"] == values["floor"]

    def both_none(values):
        assert values["module"] is None and values["floor"] is None

    def same_listing(expected):
        def check(values):
            module = sorted(r.simulation_id for r in values["module"])
            floor = sorted(r.simulation_id for _, r in values["floor"])
            assert module == floor and len(module) == expected, (len(module), len(floor))
        return check

    def alt_hit(values):
        assert values["alt"]["simulation_id"] == ids[0]

    out["find_hit"] = measure(
        cfg,
        Variant("module", lambda k: ss.find_simulation_result(**pick(idents, k))),
        Variant("floor", lambda k: read_record(floor_walk(root, floor_id(pick(idents, k))))),
        check=same_record,
    )
    out["find_miss"] = measure(
        cfg,
        Variant("module", lambda k: ss.find_simulation_result(**pick(misses, k))),
        Variant("floor", lambda k: floor_walk(root, floor_id(pick(misses, k)))),
        check=both_none,
    )
    out["load"] = measure(
        cfg,
        Variant("module", lambda k: ss.load_simulation_result(pick(ids, k))),
        Variant("floor", lambda k: read_record(floor_walk(root, pick(ids, k)))),
        check=same_record,
    )
    out["list_all"] = measure(
        cfg,
        Variant("module", lambda k: ss.list_simulation_results()),
        Variant("floor", lambda k: floor_list(root)),
        check=same_listing(n),
    )
    out["list_component"] = measure(
        cfg,
        Variant("module", lambda k: ss.list_simulation_results(component_name=FILTER_COMPONENT)),
        Variant("floor", lambda k: floor_list(root, FILTER_COMPONENT)),
        check=same_listing(sum(identity(shape, i)["component_name"] == FILTER_COMPONENT
                               for i in range(n))),
    )

    # save: a new result each time, removed afterwards (untimed) so the
    # store keeps n results; the floor writes the very bytes the module wrote.
    template = save(shape, 20_000_000, component="bench_save")
    template_path = ss.get_simulation_file_path(
        template.simulation_type, template.component_name, template.simulation_id)
    template_bytes = template_path.read_bytes()
    os.unlink(template_path)
    save_inputs: dict[int, dict[str, Any]] = {}
    save_paths: list[str] = []

    def save_before(k):
        ident = identity(shape, 20_000_001 + k, component="bench_save")
        wavelengths, result = solver_output(shape, 20_000_001 + k)
        save_inputs[k] = dict(**ident, result=result, wavelengths=wavelengths,
                              execution_time_seconds=12.5)

    def save_module(k):
        record = ss.save_simulation_result(**save_inputs.pop(k))
        save_paths.append(os.path.join(root, record.simulation_type,
                                       f"{record.component_name}_{record.simulation_id}.json"))

    def floor_save(k):
        path = os.path.join(root, template.simulation_type, f"bench_floor_{k:016x}.json")
        floor_write(path, template_bytes)
        save_paths.append(path)

    def remove_saved(k):
        while save_paths:
            os.unlink(save_paths.pop())

    out["save"] = measure(
        cfg,
        Variant("module", save_module, before=save_before, after=remove_saved),
        Variant("floor", floor_save, after=remove_saved),
    )

    # delete: an existing result, written back afterwards (untimed).
    removed: dict[str, bytes] = {}

    def keep_file(k):
        path = floor_walk(root, pick(ids, k))
        removed[path] = read_bytes(path)

    def restore_file(k):
        for path, data in removed.items():
            with open(path, "wb") as f:
                f.write(data)
        removed.clear()

    def delete_module(k):
        assert ss.delete_simulation_result(pick(ids, k))

    def delete_floor(k):
        os.unlink(floor_walk(root, pick(ids, k)))

    out["delete"] = measure(
        cfg,
        Variant("module", delete_module, before=keep_file, after=restore_file),
        Variant("floor", delete_floor, before=keep_file, after=restore_file),
    )

    # clear: a subset of CLEAR_COUNT results saved again before each call.
    def save_subset(k):
        for j in range(CLEAR_COUNT):
            save(shape, 30_000_000 + j, component=CLEAR_COMPONENT)

    def clear_module(k):
        assert ss.clear_simulation_results(component_name=CLEAR_COMPONENT) == CLEAR_COUNT

    def clear_floor(k):
        matched = floor_list(root, CLEAR_COMPONENT)
        for path, _ in matched:
            os.unlink(path)
        assert len(matched) == CLEAR_COUNT

    out["clear"] = measure(
        cfg,
        Variant("module", clear_module, before=save_subset),
        Variant("floor", clear_floor, before=save_subset),
    )
    assert len(floor_list_paths(root)) == n

    # The alternatives, on the same records.
    out["diskcache_get"] = measure(
        cfg, Variant("alt", lambda k: store.cache.get(pick(ids, k))), check=alt_hit)
    set_keys: list[str] = []
    set_value = template.model_dump()

    def cache_set(k):
        key = f"bench_set_{k}"
        store.cache.set(key, set_value)
        set_keys.append(key)

    def cache_unset(k):
        while set_keys:
            store.cache.delete(set_keys.pop())

    out["diskcache_set"] = measure(cfg, Variant("alt", cache_set, after=cache_unset))
    joblib_idents = [joblib_arguments(i) for i in idents]
    out["joblib_hit"] = measure(
        cfg, Variant("alt", lambda k: store.cached_run(**pick(joblib_idents, k))),
        check=alt_hit)
    return out


def measure_ids(cfg: Config) -> tuple[dict[str, Measured], dict[str, int]]:
    small = identity(SMALL, 1234)
    large = identity(SMALL, 1234)
    large["component_settings"] = {
        **large["component_settings"],
        "polygon": [[round(math.cos(t / 100), 6), round(math.sin(t / 100), 6)]
                    for t in range(1000)],
        "layers": {f"layer_{j}": {"gds": [j, 0], "thickness": 0.22, "material": "si"}
                   for j in range(100)},
    }
    def same_id(values):
        assert values["module"] == values["floor"]

    def module_id(ident, k):
        return ss._compute_simulation_id(**ident)

    def id_floor(ident, k):
        return floor_id(ident)

    out: dict[str, Measured] = {}
    settings_bytes: dict[str, int] = {}
    for name, ident in (("id_small", small), ("id_large", large)):
        out[name] = measure(
            cfg,
            Variant("module", functools.partial(module_id, ident)),
            Variant("floor", functools.partial(id_floor, ident)),
            check=same_id,
        )
        settings_bytes[name] = len(json.dumps(ident["component_settings"], sort_keys=True))
    return out, settings_bytes


# --------------------------------------------------------------------------
# Report


ROWS = (
    ("find_hit", "`find_simulation_result` (hit)"),
    ("find_miss", "`find_simulation_result` (miss)"),
    ("load", "`load_simulation_result`"),
    ("list_all", "`list_simulation_results()` (all)"),
    ("list_component", f"`list_simulation_results(component_name=\"{FILTER_COMPONENT}\")`"),
    ("save", "`save_simulation_result` (new result)"),
    ("delete", "`delete_simulation_result`"),
    ("clear", f"`clear_simulation_results(component_name=...)` ({CLEAR_COUNT} results)"),
)
ALTERNATIVES = (
    ("diskcache_get", "diskcache `Cache.get` (hit, by ID)", "load", "`load_simulation_result`"),
    ("joblib_hit", "joblib `Memory` cache hit (by identity)", "find_hit",
     "`find_simulation_result` (hit)"),
    ("diskcache_set", "diskcache `Cache.set` (new key)", "save", "`save_simulation_result`"),
)
FLOORS = (
    ("`_compute_simulation_id`",
     "`hyperparameters.model_dump()` + `json.dumps(identity, sort_keys=True)` + "
     "SHA-256, first 8 bytes in hex"),
    ("find (hit)",
     "the ID floor + `os.scandir` walk (type directories in directory order) to the "
     "file named `*_<id>.json` + `read_bytes` + `orjson.loads` + "
     "`StoredSimulationResult.model_validate` of that file"),
    ("find (miss)",
     "the ID floor + the `os.scandir` walk over every type directory, finding nothing"),
    ("load",
     "the `os.scandir` walk to the file + `read_bytes` + `orjson.loads` + "
     "`model_validate` of it"),
    ("list (all, filtered)",
     "`os.scandir` of the type directories + `read_bytes` + `orjson.loads` + "
     "`model_validate` of every `*.json` file (the files the operation reads: all of "
     "them, also with a component filter) + filter + sort by date, newest first"),
    ("save",
     "writing the bytes the module wrote for a result of the same size to a "
     "temporary file in the type directory and `os.replace` onto the final name "
     "(building the record and encoding it to JSON are not in the floor)"),
    ("delete", "the `os.scandir` walk to the file + `os.unlink`"),
    ("clear", "the list floor with the component filter + `os.unlink` of each matched path"),
)


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "—"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def fmt_ratio(a: float | None, b: float | None) -> str:
    if a is None or b is None:
        return "—"
    return f"{a / b:.2f}"


def report(results: dict[tuple[str, int], dict[str, Measured]],
           ids: tuple[dict[str, Measured], dict[str, int]],
           stores: dict[str, Store], cfg: Config, quick: bool, elapsed: float,
           build: dict[tuple[str, int], tuple[float, float]]) -> str:
    now = datetime.now(UTC)
    lines = [
        "# Benchmarks: vantorel.core.simulation_storage",
        "",
        f"- Date: {now:%Y-%m-%d %H:%M} UTC" + (" (`--quick` run)" if quick else ""),
        f"- Machine: {os.cpu_count()} cores (`os.cpu_count()`), {platform.platform()}, "
        f"{platform.machine()}",
        f"- Python {platform.python_version()} ({platform.python_implementation()}); "
        f"orjson {orjson.__version__}, diskcache {diskcache.__version__}, "
        f"joblib {joblib.__version__}",
        f"- Command: `{' '.join(['bench_storage.py'] + sys.argv[1:])}` (`./dev bench`); "
        f"whole run {elapsed / 60:.1f} min",
        "",
        "## What is measured",
        "",
        f"Each store holds N results spread evenly over {len(SIMULATION_TYPES)} simulation "
        f"types ({', '.join(SIMULATION_TYPES)}) and {len(COMPONENTS)} components, "
        "written by `save_simulation_result`; a diskcache `Cache` and a joblib `Memory` "
        "cache are filled with the same records (the record's `model_dump()`). "
        "Result sizes:",
        "",
    ]
    for shape in SHAPES:
        store = stores.get(shape.name)
        if store is None or not store.ids:
            continue
        _, mean_size = store.file_stats()
        kind = "complex (real, imag)" if shape.complex_values else "real"
        lines.append(
            f"- **{shape.name}**: {shape.ports} ports ({shape.ports ** 2} port pairs), "
            f"{shape.wavelengths} wavelengths, {kind} values; "
            f"{mean_size / 1024:,.1f} KiB of JSON per file on average; "
            f"store sizes {', '.join(f'{n:,}' for n in shape.sizes if n in cfg.sizes)}.")
    lines += [
        "",
        "Large results are measured at 100 and 1,000 results only, not at 10,000: "
        "10,000 x ~1 MiB is ~10 GiB for the vantorel store alone (about 30 GiB with "
        "the diskcache and joblib copies). The disk would hold it, but the time would "
        "not fit the run: at ~8-10 ms to read and decode one large file, a single "
        "listing of 10,000 would take well over a minute, and building the store "
        "several minutes.",
        "",
        "Each store is built once and grown (100, then 1,000, then 10,000), the "
        "measurements being taken at each size. Every operation and its floor run "
        "interleaved (order flipped every round) after one discarded warm-up call each; "
        f"the number of rounds fits a budget of {cfg.budget_s:g} s per operation, with "
        f"{cfg.min_reps} to {cfg.max_reps} rounds (column *rounds*). Times are medians. "
        "*ratio* is vantorel / floor. Lookups (find, load, delete, and the joblib and "
        f"diskcache hits) rotate over {SAMPLE_COUNT} records picked at random in the "
        "store; find (miss) uses identities that are not stored.",
        "",
        "Operations that change the store leave it at N results: a saved result is "
        "removed afterwards, a deleted one written back, and before each clear the "
        f"{CLEAR_COUNT} results of component `{CLEAR_COMPONENT}` (outside the N) are "
        "saved again; these steps are not timed. A clear with a component filter reads "
        "every file of the store (the filter is tested on each validated record).",
        "",
        "Floors (the least work that gives the same answer, measured in the same run):",
        "",
    ]
    lines += [f"- {name}: {text}." for name, text in FLOORS]
    lines += ["", "## Identity", ""]
    id_results, sb = ids
    lines += [
        "| operation | vantorel | floor | ratio | rounds |",
        "|---|---:|---:|---:|---:|",
    ]
    for key, label in (("id_small", f"small settings ({sb['id_small']} B of JSON)"),
                       ("id_large", f"large settings ({sb['id_large']:,} B of JSON)")):
        mi = id_results[key]
        lines.append(f"| `_compute_simulation_id`, {label} | {fmt_time(mi.medians['module'])} "
                     f"| {fmt_time(mi.medians['floor'])} "
                     f"| {fmt_ratio(mi.medians['module'], mi.medians['floor'])} | {mi.reps} |")

    for n in cfg.sizes:
        lines += [
            "",
            f"## {n:,} results",
            "",
        ]
        builds = []
        for shape in SHAPES:
            if (shape.name, n) in build:
                total, alt_total = build[(shape.name, n)]
                builds.append(f"{shape.name}: {fmt_time(total)} for {n:,} saves "
                              f"({fmt_time(total / n)} per save; filling diskcache and "
                              f"joblib with the same records: {fmt_time(alt_total)})")
        if builds:
            lines += [
                "Building the stores, from empty to this size (time spent in "
                "`save_simulation_result`): " + "; ".join(builds) + ".",
                "",
            ]
        lines += [
            "| operation | small: vantorel | floor | ratio | large: vantorel | floor | ratio "
            "| rounds (small / large) |",
            "|---|---:|---:|---:|---:|---:|---:|---:|",
        ]
        for key, label in ROWS:
            cells = [label]
            reps = []
            for shape in SHAPES:
                m = results.get((shape.name, n), {}).get(key)
                mod = m.medians["module"] if m else None
                flo = m.medians["floor"] if m else None
                cells += [fmt_time(mod), fmt_time(flo), fmt_ratio(mod, flo)]
                reps.append(str(m.reps) if m else "—")
            cells.append(" / ".join(reps))
            lines.append("| " + " | ".join(cells) + " |")
        lines += [
            "",
            "| alternative | vantorel equivalent | small: alternative | vantorel | "
            "vantorel / alternative | large: alternative | vantorel | vantorel / alternative |",
            "|---|---|---:|---:|---:|---:|---:|---:|",
        ]
        for key, label, ours, ours_label in ALTERNATIVES:
            cells = [label, ours_label]
            for shape in SHAPES:
                r = results.get((shape.name, n), {})
                alt = r[key].medians["alt"] if key in r else None
                own = r[ours].medians["module"] if ours in r else None
                cells += [fmt_time(alt), fmt_time(own), fmt_ratio(own, alt)]
            lines.append("| " + " | ".join(cells) + " |")
    lines += [
        "",
        "diskcache returns the pickled `model_dump()` dict and joblib the cached return "
        "value (the same dict); neither validates it into a `StoredSimulationResult`, "
        "which the vantorel times include.",
        "",
        "![latency against store size](latency.png)",
        "",
    ]
    return "\n".join(lines)


def plot(results: dict[tuple[str, int], dict[str, Measured]], cfg: Config, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(11, 4.5))
    for ax, (key, title) in zip(axes, (("find_hit", "find_simulation_result (hit)"),
                                       ("list_all", "list_simulation_results (all)"))):
        for shape, marker, style in zip(SHAPES, ("o", "s"), ("-", "--")):
            sizes = [n for n in cfg.sizes if (shape.name, n) in results]
            if not sizes:
                continue
            for variant, color, label in (("module", "C0", "vantorel"), ("floor", "C1", "floor")):
                ys = [results[(shape.name, n)][key].medians[variant] for n in sizes]
                ax.plot(sizes, ys, style, color=color, marker=marker,
                        label=f"{label}, {shape.name} results")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xticks(list(cfg.sizes), [f"{n:,}" for n in cfg.sizes])
        ax.set_xlim(min(cfg.sizes) / 1.5, max(cfg.sizes) * 1.5)
        ax.tick_params(axis="x", which="minor", labelbottom=False)
        ax.set_xlabel("results in the store")
        ax.set_ylabel("median latency (s)")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    fig.suptitle(f"vantorel.core.simulation_storage against its floor: median latency "
                 f"({os.cpu_count()} cores, Python {platform.python_version()}, "
                 f"{datetime.now(UTC):%Y-%m-%d})", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


# --------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="100 results only, few repetitions; results go to a "
                             "temporary directory unless --output-dir is given")
    parser.add_argument("--output-dir", type=Path,
                        help="where RESULTS.md and latency.png go (default: benchmarks/)")
    parser.add_argument("--workdir", type=Path,
                        help="where the stores are built (default: a temporary directory, "
                             "removed at the end)")
    args = parser.parse_args(argv)

    cfg = QUICK if args.quick else FULL
    output = args.output_dir
    if output is None:
        output = Path(tempfile.mkdtemp(prefix="vantorel-bench-quick-")) if args.quick else HERE
    output.mkdir(parents=True, exist_ok=True)
    workdir = args.workdir or Path(tempfile.mkdtemp(prefix="vantorel-bench-"))
    workdir.mkdir(parents=True, exist_ok=True)
    own_workdir = args.workdir is None

    free_gib = shutil.disk_usage(workdir).free / 2**30
    need_gib = 0.5 if args.quick else 5.0
    if free_gib < need_gib:
        print(f"warning: {free_gib:.1f} GiB free in {workdir}; the stores need about "
              f"{need_gib:g} GiB", file=sys.stderr)

    start = time.perf_counter()

    def progress(text: str) -> None:
        print(f"[{time.perf_counter() - start:7.1f} s] {text}", file=sys.stderr, flush=True)

    rng = random.Random(20240601)
    stores = {shape.name: Store(shape, workdir) for shape in SHAPES}
    results: dict[tuple[str, int], dict[str, Measured]] = {}
    build: dict[tuple[str, int], tuple[float, float]] = {}
    try:
        progress("identity")
        ids = measure_ids(cfg)
        for n in cfg.sizes:
            for shape in SHAPES:
                if n not in shape.sizes:
                    continue
                store = stores[shape.name]
                progress(f"{shape.name}: building to {n:,} results")
                store.grow(n)
                build[(shape.name, n)] = (store.save_seconds, store.alt_seconds)
                progress(f"{shape.name}, {n:,} results: measuring")
                results[(shape.name, n)] = measure_store(store, n, cfg, rng)
        elapsed = time.perf_counter() - start
        text = report(results, ids, stores, cfg, args.quick, elapsed, build)
        (output / "RESULTS.md").write_text(text, encoding="utf-8")
        plot(results, cfg, output / "latency.png")
    finally:
        for store in stores.values():
            store.close()
        if own_workdir:
            shutil.rmtree(workdir, ignore_errors=True)
    print(text)
    progress(f"wrote {output / 'RESULTS.md'} and {output / 'latency.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
