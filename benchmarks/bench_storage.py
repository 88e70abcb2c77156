"""Latency of vantorel.core.simulation_storage on stores of realistic results.

Local stores of 100, 1,000, 10,000 and 100,000 results, built through
save_simulation_result (so the stores are real; the largest is built once and
kept between runs under benchmarks/.cache/), where each operation is measured
side by side with:

- its floors: the least file-system and decoding work that gives the same
  answer (a walk of the type directories with os.scandir, os.listdir or
  libc's readdir through ctypes; read + orjson + model_validate of the same
  files, or of the one file at its known place without a walk; json.dumps +
  SHA-256 of the identity; write + rename; unlink);
- the stores users would pick instead, holding the same records, up to
  10,000 results: diskcache (Cache.set / Cache.get) and joblib (a Memory
  cache hit).

Then the same operations on S3 (moto's server in its own process on
127.0.0.1), at 100 and 1,000 results, with the requests each call sends,
counted by a botocore event hook; and a listing that keeps many reads in
flight against reads one by one, also with a fixed latency added to each
answer of the server.

Writes RESULTS.md (medians, ratios to the floors, request counts) and
latency.png (find, load and list by type against store size).

    ./dev bench              # full run, into benchmarks/
    ./dev bench --quick      # short run (100 results, 1,000 kept, S3 at 100);
                             # results into a temporary directory
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import functools
import gc
import hashlib
import importlib.metadata
import inspect
import json
import math
import os
import platform
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from datetime import UTC, datetime
from pathlib import Path
from typing import Any

import diskcache
import joblib
import orjson
import pydantic
import s3fs
from upath import UPath

from vantorel import models, settings
from vantorel.core import simulation_storage as ss
from vantorel.models import SimulationHyperparameters, StoredSimulationResult

HERE = Path(__file__).resolve().parent

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
CLEAR_COMPONENT = "clear_target"  # the subset cleared, outside the N results
CLEAR_COUNT = 5
SAMPLE_COUNT = 64  # records the lookups rotate over

LOCAL_OPERATIONS = (
    "find_hit",
    "find_miss",
    "load",
    "list_all",
    "list_type",
    "list_component",
    "save",
    "delete",
    "clear",
)
# At the kept size only what a lookup-heavy user meets, and nothing that
# reads the whole store.
KEPT_OPERATIONS = ("find_hit", "find_miss", "load", "delete", "list_type")
S3_OPERATIONS = (
    "save",
    "find_hit",
    "find_miss",
    "load",
    "list_all",
    "list_type",
    "list_component",
    "delete",
    "clear",
)

S3_BUCKET = "vantorel-bench"
# Added by the server to every answer in the latency comparison: the order
# of a small-object round trip to S3 from a machine in the same region. It
# is a model, not a measurement; moto on loopback has no latency at all.
S3_LATENCY_MS = 20.0


@dataclass(frozen=True)
class Shape:
    """Size class of a result: solver output with `ports` ports."""

    name: str
    ports: int
    wavelengths: int
    complex_values: bool
    digits: int | None  # rounding of the values; None keeps full precision
    sizes: tuple[int, ...]  # local store sizes measured with this class


@dataclass(frozen=True)
class Config:
    sizes: tuple[int, ...]  # local stores grown in the run, with diskcache and joblib
    kept_size: int  # the largest local store: built alone, kept between runs
    s3_sizes: tuple[int, ...]
    budget_s: float  # time spent per measured operation, all variants together
    min_reps: int
    max_reps: int


FULL = Config(
    sizes=(100, 1_000, 10_000),
    kept_size=100_000,
    s3_sizes=(100, 1_000),
    budget_s=1.5,
    min_reps=3,
    max_reps=400,
)
QUICK = Config(
    sizes=(100,), kept_size=1_000, s3_sizes=(100,), budget_s=0.2, min_reps=2, max_reps=20
)

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
    for key, values in _waves(shape).items():
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


def joblib_arguments(ident: dict[str, Any]) -> dict[str, Any]:
    """joblib hashes its arguments: hyperparameters are passed as their dump."""
    return {**ident, "hyperparameters": ident["hyperparameters"].model_dump()}


_PREPARED_DUMP: dict[str, Any] | None = None


def run_simulation(
    component_name,
    factory_name,
    component_settings,
    model_parameters,
    hyperparameters,
    simulation_type,
):
    """Stands in for a solver run cached by joblib: returns the record dump
    prepared for this call (only reached on a cache miss, while building)."""
    return _PREPARED_DUMP


# --------------------------------------------------------------------------
# Local floors: the least work that gives the same answer


def read_bytes(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def decode(data: bytes) -> StoredSimulationResult:
    return StoredSimulationResult.model_validate(orjson.loads(data))


def read_record(path: str | None) -> StoredSimulationResult:
    assert path is not None
    return decode(read_bytes(path))


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


def known_path(root: str, ident: dict[str, Any]) -> str:
    """The file of an identity, at the place its ID and names give."""
    return result_path(root, ident["simulation_type"], ident["component_name"], floor_id(ident))


def floor_walk(root: str, simulation_id: str) -> str | None:
    """os.scandir walk, in directory order, to the file named *_<id>.json."""
    suffix = "_" + simulation_id + ".json"
    with os.scandir(root) as types:
        for type_dir in types:
            if type_dir.is_dir():
                with os.scandir(type_dir.path) as entries:
                    for entry in entries:
                        if entry.name.endswith(suffix):
                            return entry.path
    return None


def listdir_walk(root: bytes, simulation_id: str) -> bytes | None:
    """The same walk with os.listdir on bytes paths: C's readdir loop, making
    only one bytes object per name (no DirEntry, no decoding)."""
    suffix = b"_" + simulation_id.encode() + b".json"
    for type_name in os.listdir(root):
        type_dir = root + b"/" + type_name
        try:
            names = os.listdir(type_dir)
        except NotADirectoryError:
            continue
        for name in names:
            if name.endswith(suffix):
                return type_dir + b"/" + name
    return None


class _Dirent(ctypes.Structure):
    """glibc's struct dirent on 64-bit Linux."""

    _fields_ = [
        ("d_ino", ctypes.c_uint64),
        ("d_off", ctypes.c_int64),
        ("d_reclen", ctypes.c_ushort),
        ("d_type", ctypes.c_ubyte),
        ("d_name", ctypes.c_char * 256),
    ]


_libc = ctypes.CDLL(None, use_errno=True)
_libc.opendir.argtypes = [ctypes.c_char_p]
_libc.opendir.restype = ctypes.c_void_p
_libc.readdir.argtypes = [ctypes.c_void_p]
_libc.readdir.restype = ctypes.POINTER(_Dirent)
_libc.closedir.argtypes = [ctypes.c_void_p]
DT_DIR = 4


@contextlib.contextmanager
def _opened_dir(path: bytes) -> Iterator[int]:
    handle = _libc.opendir(path)
    if not handle:
        errno = ctypes.get_errno()
        raise OSError(errno, os.strerror(errno), path)
    try:
        yield handle
    finally:
        _libc.closedir(handle)


def readdir_walk(root: bytes, simulation_id: str) -> bytes | None:
    """The same walk calling libc's opendir/readdir through ctypes: no
    Python object per entry but one foreign call per entry."""
    suffix = b"_" + simulation_id.encode() + b".json"
    with _opened_dir(root) as types:
        while entry := _libc.readdir(types):
            type_entry = entry.contents
            if type_entry.d_type != DT_DIR or type_entry.d_name in (b".", b".."):
                continue
            type_dir = root + b"/" + type_entry.d_name
            with _opened_dir(type_dir) as files:
                while file_entry := _libc.readdir(files):
                    name = file_entry.contents.d_name
                    if name.endswith(suffix):
                        return type_dir + b"/" + name
    return None


def floor_list_paths(root: str, simulation_type: str | None = None) -> list[str]:
    paths: list[str] = []
    if simulation_type is not None:
        type_dirs = [os.path.join(root, simulation_type)]
    else:
        with os.scandir(root) as types:
            type_dirs = [t.path for t in types if t.is_dir()]
    for type_dir in type_dirs:
        with os.scandir(type_dir) as entries:
            paths.extend(e.path for e in entries if e.name.endswith(".json"))
    return paths


def select_newest_first(
    contents: Iterable[tuple[str, bytes]], component_name: str | None = None
) -> list[tuple[str, StoredSimulationResult]]:
    """Decodes and validates every (path, content), keeps those of the
    component (all without one), newest first."""
    found = []
    for path, data in contents:
        record = decode(data)
        if component_name is None or record.component_name == component_name:
            found.append((path, record))
    found.sort(key=lambda pr: pr[1].simulation_date, reverse=True)
    return found


def floor_list(
    root: str, component_name: str | None = None, simulation_type: str | None = None
) -> list[tuple[str, StoredSimulationResult]]:
    paths = floor_list_paths(root, simulation_type)
    return select_newest_first(((p, read_bytes(p)) for p in paths), component_name)


def floor_write(path: str, data: bytes) -> None:
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


# --------------------------------------------------------------------------
# S3 floors, on the s3fs instance the module uses (`root` is bucket/prefix)


def s3_read(fs: Any, key: str) -> bytes:
    """One GET (s3fs would first ask for the size, to split large objects)."""
    return fs.cat_file(key, max_concurrency=1)


def s3_read_or_none(fs: Any, key: str) -> StoredSimulationResult | None:
    try:
        return decode(s3_read(fs, key))
    except FileNotFoundError:
        return None


def s3_type_dirs(fs: Any, root: str) -> list[str]:
    return [e["name"] for e in fs.ls(root, detail=True) if e["type"] == "directory"]


def s3_walk(fs: Any, root: str, simulation_id: str) -> str | None:
    """One listing of the prefix, then one of each type directory until the
    key named *_<id>.json is found."""
    suffix = "_" + simulation_id + ".json"
    for type_dir in s3_type_dirs(fs, root):
        for key in fs.ls(type_dir, detail=False):
            if key.endswith(suffix):
                return key
    return None


def s3_list_keys(fs: Any, root: str, simulation_type: str | None = None) -> list[str]:
    type_dirs = [f"{root}/{simulation_type}"] if simulation_type else s3_type_dirs(fs, root)
    return [
        key
        for type_dir in type_dirs
        for key in fs.ls(type_dir, detail=False)
        if key.endswith(".json")
    ]


def fetch_concurrently(fs: Any, keys: list[str]) -> Iterable[tuple[str, bytes]]:
    """fsspec's cat of many keys: the GETs are issued together and kept in
    flight at once (as many as the client's connection pool allows)."""
    return fs.cat(keys, max_concurrency=1).items()


def fetch_one_by_one(fs: Any, keys: list[str]) -> Iterable[tuple[str, bytes]]:
    return [(key, s3_read(fs, key)) for key in keys]


def s3_floor_list(
    fs: Any,
    root: str,
    fetch: Callable[[Any, list[str]], Iterable],
    component_name: str | None = None,
    simulation_type: str | None = None,
) -> list[tuple[str, StoredSimulationResult]]:
    keys = s3_list_keys(fs, root, simulation_type)
    return select_newest_first(fetch(fs, keys), component_name)


# --------------------------------------------------------------------------
# Measurement


@dataclass
class Variant:
    key: str
    label: str
    run: Callable[[int], Any]
    before: Callable[[int], None] | None = None
    after: Callable[[int], None] | None = None


@dataclass
class Requests:
    """The requests one call sent, by operation, and the most in flight at once."""

    calls: Counter[str]
    most_in_flight: int


@dataclass
class Measured:
    labels: dict[str, str]  # variant key -> label, in the order measured
    medians: dict[str, float]  # seconds
    reps: int
    requests: dict[str, list[Requests]] = field(default_factory=dict)  # S3 only


class RequestCounter:
    """botocore event hooks on the S3 client: counts the requests sent (one
    `before-send` per attempt, retries included) by operation, and follows
    how many are in flight at once."""

    def __init__(self) -> None:
        self.calls: Counter[str] = Counter()
        self.total = 0
        self.in_flight = 0
        self.most_in_flight = 0

    def attach(self, fs: Any) -> None:
        events = fs.s3.meta.events
        events.register("before-send.s3", self._before_send)
        events.register("response-received.s3", self._response_received)

    def _before_send(self, event_name: str, **_: Any) -> None:
        self.calls[event_name.rpartition(".")[2]] += 1  # e.g. ...s3.GetObject
        self.total += 1
        self.in_flight += 1
        self.most_in_flight = max(self.most_in_flight, self.in_flight)

    def _response_received(self, **_: Any) -> None:
        self.in_flight -= 1

    def take(self) -> Requests:
        """The requests since the last take (the hooks run on fsspec's event
        loop thread, between the calls made from here)."""
        taken = Requests(self.calls, self.most_in_flight)
        self.calls = Counter()
        self.most_in_flight = self.in_flight
        return taken


def _once(
    v: Variant,
    k: int,
    keep: dict[str, Any] | None,
    counter: RequestCounter | None,
    requests: dict[str, list[Requests]],
) -> int:
    if v.before:
        v.before(k)
    if counter:
        counter.take()  # what the setup sent is not the call's
    t0 = time.perf_counter_ns()
    value = v.run(k)
    elapsed = time.perf_counter_ns() - t0
    if counter:
        requests.setdefault(v.key, []).append(counter.take())
    if keep is not None:
        keep[v.key] = value
    del value  # freeing a large listing is not part of the call's latency
    if v.after:
        v.after(k)
    return elapsed


def measure(
    cfg: Config,
    *variants: Variant,
    check: Callable[[dict[str, Any]], None] | None = None,
    counter: RequestCounter | None = None,
) -> Measured:
    """One warm-up call per variant, whose results `check` compares (the floor
    must give the module's answer) and whose times are discarded; then
    repetitions, variants interleaved (order flipped every round), as many as
    fit the budget. With `counter`, the requests of every call are kept."""
    gc.collect()
    values: dict[str, Any] = {}
    requests: dict[str, list[Requests]] = {}
    warm = sum(_once(v, 0, values, counter, requests) for v in variants) / 1e9
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
            samples[v.key].append(_once(v, k, None, counter, requests))
    return Measured(
        {v.key: v.label for v in variants},
        {key: statistics.median(s) / 1e9 for key, s in samples.items()},
        reps,
        requests,
    )


def joined(first: Measured, *others: Measured) -> Measured:
    """The variants of measurements made apart, in one table (rounds are
    those of the first, which holds the module)."""
    labels, medians = dict(first.labels), dict(first.medians)
    for other in others:
        labels.update(other.labels)
        medians.update(other.medians)
    return Measured(labels, medians, first.reps, first.requests)


# Checks on the warm-up answers: every floor gives the module's answer.


def record_of(expected_id: str) -> Callable[[dict[str, Any]], None]:
    """For a floor measured apart: each variant read the expected record."""

    def check(values: dict[str, Any]) -> None:
        assert all(v.simulation_id == expected_id for v in values.values())

    return check


def same_record(expected_id: str) -> Callable[[dict[str, Any]], None]:
    def check(values: dict[str, Any]) -> None:
        module = values["module"]
        assert module.simulation_id == expected_id
        for key, value in values.items():
            if isinstance(value, dict):  # diskcache and joblib: the record's dump
                assert value["simulation_id"] == expected_id, key
            elif isinstance(value, (str, bytes)):  # a walk: the file's path
                assert os.fsdecode(value).endswith(f"_{expected_id}.json"), key
            else:
                assert value == module, key

    return check


def all_none(values: dict[str, Any]) -> None:
    assert all(value is None for value in values.values()), values


def same_listing(expected: int) -> Callable[[dict[str, Any]], None]:
    def check(values: dict[str, Any]) -> None:
        module = sorted(r.simulation_id for r in values["module"])
        assert len(module) == expected, (len(module), expected)
        for key, value in values.items():
            if key != "module":
                assert sorted(r.simulation_id for _, r in value) == module, key

    return check


def all_equal(values: dict[str, Any]) -> None:
    assert len(set(values.values())) == 1, values


# --------------------------------------------------------------------------
# Stores


class Store:
    """The vantorel store of one size class at `location` (a directory, or
    an s3:// URL), with a diskcache and a joblib cache holding the same
    records under `alternatives_dir` when one is given; grown together."""

    def __init__(self, shape: Shape, location: str, alternatives_dir: Path | None = None):
        self.shape = shape
        self.location = location
        self.cache: diskcache.Cache | None = None
        self.cached_run: Callable[..., Any] | None = None
        if alternatives_dir is not None:
            self.cache = diskcache.Cache(str(alternatives_dir / "diskcache"))
            memory = joblib.Memory(str(alternatives_dir / "joblib"), verbose=0)
            self.cached_run = memory.cache(run_simulation)
        self.ids: list[str] = []
        self.save_seconds = 0.0  # save_simulation_result while building
        self.alt_seconds = 0.0  # diskcache + joblib while building

    def activate(self) -> None:
        os.environ["VANTOREL_SIMULATIONS_DIR"] = self.location

    def grow(self, n: int) -> None:
        global _PREPARED_DUMP
        self.activate()
        for i in range(len(self.ids), n):
            arguments = save_arguments(self.shape, i)
            t0 = time.perf_counter()
            record = ss.save_simulation_result(**arguments)
            self.save_seconds += time.perf_counter() - t0
            self.ids.append(record.simulation_id)
            if self.cache is None:
                continue
            t1 = time.perf_counter()
            dump = record.model_dump()
            self.cache.set(record.simulation_id, dump)
            _PREPARED_DUMP = dump
            self.cached_run(**joblib_arguments(identity(self.shape, i)))
            _PREPARED_DUMP = None
            self.alt_seconds += time.perf_counter() - t1

    def file_stats(self) -> tuple[int, float]:
        paths = floor_list_paths(self.location)
        return len(paths), sum(os.path.getsize(p) for p in paths) / len(paths)

    def close(self) -> None:
        if self.cache is not None:
            self.cache.close()


def kept_store_key(shape: Shape, n: int) -> str:
    """What determines the kept store's content: the records (size class,
    count, the code that makes them) and what writes them (the installed
    extension, the models, the libraries that encode them)."""
    digest = hashlib.sha256(repr((shape, n)).encode())
    for function in (identity, _waves, solver_output, save_arguments):
        digest.update(inspect.getsource(function).encode())
    for path in (ss.__file__, models.__file__):
        digest.update(Path(path).read_bytes())
    digest.update(f"orjson {orjson.__version__} pydantic {pydantic.VERSION}".encode())
    return digest.hexdigest()[:16]


def open_kept_store(
    shape: Shape, n: int, cache_dir: Path, progress: Callable[[str], None]
) -> tuple[Store, str]:
    """The store of `n` results kept in `cache_dir` between runs: reused when
    a complete one with the same key is there, else built (kept stores of
    the same class and size with another key are removed). Returns it and a
    sentence saying where it came from."""
    key = kept_store_key(shape, n)
    base = cache_dir / f"{shape.name}-{n}-{key}"
    for stale in cache_dir.glob(f"{shape.name}-{n}-*"):
        if stale != base:
            shutil.rmtree(stale)
    store = Store(shape, str(base / "simulations"))
    manifest = base / "store.json"
    if manifest.exists():
        kept = json.loads(manifest.read_text())
        if len(floor_list_paths(store.location)) == n == len(kept["ids"]):
            store.ids = kept["ids"]
            return store, (
                f"reused from `{base.name}` in the cache directory: built "
                f"{kept['built']} by an earlier run, in "
                f"{fmt_time(kept['build_seconds'])} "
                f"({fmt_time(kept['save_seconds'] / n)} per save)"
            )
    shutil.rmtree(base, ignore_errors=True)
    base.mkdir(parents=True)
    progress(f"{shape.name}: building the kept store of {n:,} results in {base}")
    t0 = time.perf_counter()
    store.grow(n)
    build_seconds = time.perf_counter() - t0
    manifest.write_text(
        json.dumps(
            {
                "built": f"{datetime.now(UTC):%Y-%m-%d %H:%M} UTC",
                "build_seconds": build_seconds,
                "save_seconds": store.save_seconds,
                "ids": store.ids,
            }
        )
    )
    return store, (
        f"built in this run in {fmt_time(build_seconds)} "
        f"({fmt_time(store.save_seconds / n)} per save) and kept as "
        f"`{base.name}` in the cache directory for the next runs"
    )


@contextlib.contextmanager
def kept_store_in_use(store: Store) -> Iterator[None]:
    """The measurements change the store (a deleted result is written back
    afterwards): its manifest is set aside meanwhile, so that a run stopped
    halfway leaves none and the next run builds the store again."""
    manifest = Path(store.location).parent / "store.json"
    aside = manifest.with_suffix(".in-use")
    manifest.rename(aside)
    yield
    assert len(floor_list_paths(store.location)) == len(store.ids)
    aside.rename(manifest)


# --------------------------------------------------------------------------
# Local measurements


def measure_local(
    store: Store, n: int, cfg: Config, rng: random.Random, operations: Iterable[str]
) -> dict[str, Measured]:
    shape = store.shape
    root = store.location
    byte_root = os.fsencode(root)
    store.activate()
    picks = rng.sample(range(n), min(SAMPLE_COUNT, n))
    idents = [identity(shape, i) for i in picks]
    ids = [store.ids[i] for i in picks]
    misses = [identity(shape, 10_000_000 + j) for j in range(SAMPLE_COUNT)]
    for simulation_id in ids:  # a kept store may come from a cold disk
        read_bytes(floor_walk(root, simulation_id))
    alternatives = store.cache is not None
    out: dict[str, Measured] = {}

    def pick(seq, k):
        return seq[k % len(seq)]

    if "find_hit" in operations:
        variants = [
            Variant("module", "vantorel", lambda k: ss.find_simulation_result(**pick(idents, k))),
            Variant(
                "direct",
                "floor: ID + read at the known place, no walk",
                lambda k: read_record(known_path(root, pick(idents, k))),
            ),
        ]
        if alternatives:
            joblib_idents = [joblib_arguments(i) for i in idents]
            variants.append(
                Variant(
                    "joblib",
                    "joblib `Memory` cache hit (by identity)",
                    lambda k: store.cached_run(**pick(joblib_idents, k)),
                )
            )
        # The walking floor takes up to a hundred hits' time: measured in a
        # round of its own, so that its runs do not evict from the caches
        # what the next hit would find there.
        walking = Variant(
            "floor",
            "floor: ID + os.scandir walk + read",
            lambda k: read_record(floor_walk(root, floor_id(pick(idents, k)))),
        )
        out["find_hit"] = joined(
            measure(cfg, *variants, check=same_record(ids[0])),
            measure(cfg, walking, check=record_of(ids[0])),
        )

    if "find_miss" in operations:
        out["find_miss"] = measure(
            cfg,
            Variant("module", "vantorel", lambda k: ss.find_simulation_result(**pick(misses, k))),
            Variant(
                "floor",
                "floor: ID + os.scandir walk over every directory",
                lambda k: floor_walk(root, floor_id(pick(misses, k))),
            ),
            Variant(
                "listdir",
                "floor: ID + os.listdir walk over every directory",
                lambda k: listdir_walk(byte_root, floor_id(pick(misses, k))),
            ),
            check=all_none,
        )

    if "load" in operations:
        variants = [
            Variant("module", "vantorel", lambda k: ss.load_simulation_result(pick(ids, k))),
            Variant(
                "floor",
                "floor: os.scandir walk + read",
                lambda k: read_record(floor_walk(root, pick(ids, k))),
            ),
            Variant(
                "scandir_walk", "os.scandir walk alone", lambda k: floor_walk(root, pick(ids, k))
            ),
            Variant(
                "listdir_walk",
                "os.listdir walk alone",
                lambda k: listdir_walk(byte_root, pick(ids, k)),
            ),
            Variant(
                "readdir_walk",
                "libc readdir walk (ctypes) alone",
                lambda k: readdir_walk(byte_root, pick(ids, k)),
            ),
        ]
        if alternatives:
            variants.append(
                Variant(
                    "diskcache",
                    "diskcache `Cache.get` (by ID)",
                    lambda k: store.cache.get(pick(ids, k)),
                )
            )
        out["load"] = measure(cfg, *variants, check=same_record(ids[0]))

    listings = (
        ("list_all", {}, n),
        (
            "list_type",
            {"simulation_type": FILTER_TYPE},
            sum(identity(shape, i)["simulation_type"] == FILTER_TYPE for i in range(n)),
        ),
        (
            "list_component",
            {"component_name": FILTER_COMPONENT},
            sum(identity(shape, i)["component_name"] == FILTER_COMPONENT for i in range(n)),
        ),
    )
    for key, filters, expected in listings:
        if key in operations:
            out[key] = measure(
                cfg,
                Variant(
                    "module",
                    "vantorel",
                    functools.partial(lambda f, k: ss.list_simulation_results(**f), filters),
                ),
                Variant(
                    "floor",
                    "floor: scandir + read + filter + sort",
                    functools.partial(lambda f, k: floor_list(root, **f), filters),
                ),
                check=same_listing(expected),
            )

    if "save" in operations:
        out["save"] = measure_local_save(store, cfg, alternatives)

    if "delete" in operations:
        # An existing result, written back afterwards (untimed).
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
            Variant("module", "vantorel", delete_module, before=keep_file, after=restore_file),
            Variant(
                "floor",
                "floor: os.scandir walk + unlink",
                delete_floor,
                before=keep_file,
                after=restore_file,
            ),
        )

    if "clear" in operations:
        # A subset of CLEAR_COUNT results saved again before each call.
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
            Variant("module", "vantorel", clear_module, before=save_subset),
            Variant(
                "floor",
                "floor: the filtered list floor + unlink of each match",
                clear_floor,
                before=save_subset,
            ),
        )
    assert len(floor_list_paths(root)) == n
    return out


def measure_local_save(store: Store, cfg: Config, alternatives: bool) -> Measured:
    """A new result each time, removed afterwards (untimed) so the store keeps
    its size; the floor writes the very bytes the module wrote."""
    shape, root = store.shape, store.location
    template = save(shape, 20_000_000, component="bench_save")
    template_path = result_path(
        root, template.simulation_type, template.component_name, template.simulation_id
    )
    template_bytes = read_bytes(template_path)
    os.unlink(template_path)
    save_inputs: dict[int, dict[str, Any]] = {}
    saved_paths: list[str] = []

    def prepare(k):
        save_inputs[k] = save_arguments(shape, 20_000_001 + k, component="bench_save")

    def save_module(k):
        record = ss.save_simulation_result(**save_inputs.pop(k))
        saved_paths.append(
            result_path(root, record.simulation_type, record.component_name, record.simulation_id)
        )

    def save_floor(k):
        path = result_path(root, template.simulation_type, "bench_floor", f"{k:016x}")
        floor_write(path, template_bytes)
        saved_paths.append(path)

    def remove_saved(k):
        while saved_paths:
            os.unlink(saved_paths.pop())

    variants = [
        Variant("module", "vantorel", save_module, before=prepare, after=remove_saved),
        Variant("floor", "floor: write the same bytes + rename", save_floor, after=remove_saved),
    ]
    if alternatives:
        set_keys: list[str] = []
        set_value = template.model_dump()

        def cache_set(k):
            key = f"bench_set_{k}"
            store.cache.set(key, set_value)
            set_keys.append(key)

        def cache_unset(k):
            while set_keys:
                store.cache.delete(set_keys.pop())

        variants.append(
            Variant("diskcache", "diskcache `Cache.set` (new key)", cache_set, after=cache_unset)
        )
    return measure(cfg, *variants)


def measure_ids(cfg: Config) -> tuple[dict[str, Measured], dict[str, int]]:
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

    def module_id(ident, k):
        return ss._compute_simulation_id(**ident)

    def id_floor(ident, k):
        return floor_id(ident)

    out: dict[str, Measured] = {}
    settings_bytes: dict[str, int] = {}
    for name, ident in (("id_small", small), ("id_large", large)):
        out[name] = measure(
            cfg,
            Variant("module", "vantorel", functools.partial(module_id, ident)),
            Variant("floor", "floor", functools.partial(id_floor, ident)),
            check=all_equal,
        )
        settings_bytes[name] = len(json.dumps(ident["component_settings"], sort_keys=True))
    return out, settings_bytes


# --------------------------------------------------------------------------
# S3


# werkzeug's access log line, whose request part may be coloured by status.
ACCESS_LOG_LINE = re.compile(rb'"(?:\x1b\[[0-9;]*m)*(?:GET|PUT|POST|DELETE|HEAD) \S+ HTTP/')


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class S3Server:
    """moto's S3 server in its own process (s3_server.py beside this file),
    on 127.0.0.1 and a free port, with its access log in `log_path` and the
    AWS variables pointing at it while it runs; stopped on leaving, also on
    errors and Ctrl-C (and with this process, if it is killed)."""

    AWS_VARIABLES = (
        "AWS_ENDPOINT_URL",
        "AWS_ACCESS_KEY_ID",
        "AWS_SECRET_ACCESS_KEY",
        "AWS_DEFAULT_REGION",
        "AWS_PROFILE",
        "AWS_SESSION_TOKEN",
        "AWS_ENDPOINT_URL_S3",
        "NO_PROXY",
    )

    def __init__(self, latency_ms: float, log_path: Path):
        self.latency_ms = latency_ms
        self.log_path = log_path
        self.process: subprocess.Popen | None = None
        self.saved_environment: dict[str, str | None] = {}

    def __enter__(self) -> S3Server:
        for _ in range(3):  # the free port may be taken before the server binds it
            port = free_port()
            with open(self.log_path, "wb") as log:
                self.process = subprocess.Popen(
                    [
                        sys.executable,
                        str(HERE / "s3_server.py"),
                        "--port",
                        str(port),
                        "--latency-ms",
                        str(self.latency_ms),
                    ],
                    stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL,
                    stderr=log,
                )
            try:
                if self._wait_until_ready(f"http://127.0.0.1:{port}"):
                    break
            except BaseException:
                self._stop()
                raise
            self._stop()
        else:
            raise RuntimeError(f"the S3 server did not start: see {self.log_path}")
        self.saved_environment = {name: os.environ.get(name) for name in self.AWS_VARIABLES}
        for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN", "AWS_ENDPOINT_URL_S3"):
            os.environ.pop(name, None)
        os.environ.update(
            AWS_ENDPOINT_URL=f"http://127.0.0.1:{port}",
            AWS_ACCESS_KEY_ID="bench",
            AWS_SECRET_ACCESS_KEY="bench",
            AWS_DEFAULT_REGION="us-east-1",
            NO_PROXY="127.0.0.1",
        )
        # fsspec keeps one S3FileSystem per set of options, bound to the
        # endpoint it first saw: this server gets a new one.
        s3fs.S3FileSystem.clear_instance_cache()
        return self

    def __exit__(self, *exc: object) -> None:
        for name, value in self.saved_environment.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        s3fs.S3FileSystem.clear_instance_cache()
        self._stop()

    def _wait_until_ready(self, endpoint: str) -> bool:
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            try:
                with opener.open(endpoint + "/moto-api/", timeout=2):
                    return True
            except OSError:
                time.sleep(0.1)
        return False

    def _stop(self) -> None:
        if self.process is None or self.process.poll() is not None:
            return
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def cpu_seconds(self) -> float:
        """User + system CPU time of the server process so far."""
        stat = Path(f"/proc/{self.process.pid}/stat").read_text()
        fields = stat.rpartition(")")[2].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def logged_requests(self) -> int:
        """Requests in the server's access log so far (one line each)."""
        time.sleep(0.2)  # the last lines may still be on their way to the file
        return len(ACCESS_LOG_LINE.findall(self.log_path.read_bytes()))


def connect(store: Store) -> tuple[Any, RequestCounter]:
    """The s3fs instance the module will use for `store` (fsspec's cached one
    for the options the settings give), with a request counter on its client."""
    store.activate()
    fs = UPath(store.location, use_listings_cache=False).fs
    fs.connect()
    assert settings.get_simulations_dir().fs is fs
    counter = RequestCounter()
    counter.attach(fs)
    return fs, counter


def measure_s3(
    store: Store,
    n: int,
    cfg: Config,
    rng: random.Random,
    fs: Any,
    counter: RequestCounter,
    operations: Iterable[str],
) -> dict[str, Measured]:
    shape = store.shape
    root = store.location.removeprefix("s3://")
    store.activate()
    picks = rng.sample(range(n), min(SAMPLE_COUNT, n))
    idents = [identity(shape, i) for i in picks]
    ids = [store.ids[i] for i in picks]
    misses = [identity(shape, 10_000_000 + j) for j in range(SAMPLE_COUNT)]
    run = functools.partial(measure, cfg, counter=counter)
    out: dict[str, Measured] = {}

    def pick(seq, k):
        return seq[k % len(seq)]

    if "save" in operations:
        template = save(shape, 20_000_000, component="bench_save")
        template_key = result_path(
            root, template.simulation_type, template.component_name, template.simulation_id
        )
        template_bytes = s3_read(fs, template_key)
        fs.rm_file(template_key)
        save_inputs: dict[int, dict[str, Any]] = {}
        saved_keys: list[str] = []

        def prepare(k):
            save_inputs[k] = save_arguments(shape, 20_000_001 + k, component="bench_save")

        def save_module(k):
            record = ss.save_simulation_result(**save_inputs.pop(k))
            saved_keys.append(
                result_path(
                    root, record.simulation_type, record.component_name, record.simulation_id
                )
            )

        def save_floor(k):
            key = result_path(root, template.simulation_type, "bench_floor", f"{k:016x}")
            fs.pipe_file(key, template_bytes)
            saved_keys.append(key)

        def remove_saved(k):
            while saved_keys:
                fs.rm_file(saved_keys.pop())

        out["save"] = run(
            Variant("module", "vantorel", save_module, before=prepare, after=remove_saved),
            Variant("floor", "floor: one PUT of the same bytes", save_floor, after=remove_saved),
        )

    if "find_hit" in operations:
        out["find_hit"] = run(
            Variant("module", "vantorel", lambda k: ss.find_simulation_result(**pick(idents, k))),
            Variant(
                "direct",
                "floor: ID + GET at the known key",
                lambda k: decode(s3_read(fs, known_path(root, pick(idents, k)))),
            ),
            check=same_record(ids[0]),
        )

    if "find_miss" in operations:
        out["find_miss"] = run(
            Variant("module", "vantorel", lambda k: ss.find_simulation_result(**pick(misses, k))),
            Variant(
                "direct",
                "floor: ID + GET at the known key (not found)",
                lambda k: s3_read_or_none(fs, known_path(root, pick(misses, k))),
            ),
            check=all_none,
        )

    if "load" in operations:
        out["load"] = run(
            Variant("module", "vantorel", lambda k: ss.load_simulation_result(pick(ids, k))),
            Variant(
                "floor",
                "floor: listings until the key + GET",
                lambda k: decode(s3_read(fs, s3_walk(fs, root, pick(ids, k)))),
            ),
            check=same_record(ids[0]),
        )

    listings = (
        ("list_all", {}, n),
        (
            "list_type",
            {"simulation_type": FILTER_TYPE},
            sum(identity(shape, i)["simulation_type"] == FILTER_TYPE for i in range(n)),
        ),
        (
            "list_component",
            {"component_name": FILTER_COMPONENT},
            sum(identity(shape, i)["component_name"] == FILTER_COMPONENT for i in range(n)),
        ),
    )
    for key, filters, expected in listings:
        if key not in operations:
            continue
        variants = [
            Variant(
                "module",
                "vantorel",
                functools.partial(lambda f, k: ss.list_simulation_results(**f), filters),
            ),
            Variant(
                "floor",
                "floor: listings + GETs in flight together",
                functools.partial(
                    lambda f, k: s3_floor_list(fs, root, fetch_concurrently, **f), filters
                ),
            ),
        ]
        if key == "list_all":
            variants.append(
                Variant(
                    "one_by_one",
                    "listings + GETs one by one",
                    lambda k: s3_floor_list(fs, root, fetch_one_by_one),
                )
            )
        out[key] = run(*variants, check=same_listing(expected))

    if "delete" in operations:
        removed: dict[str, bytes] = {}

        def keep_object(k):
            key = s3_walk(fs, root, pick(ids, k))
            removed[key] = s3_read(fs, key)

        def restore_object(k):
            fs.pipe(removed)
            removed.clear()

        def delete_module(k):
            assert ss.delete_simulation_result(pick(ids, k))

        def delete_floor(k):
            fs.rm_file(s3_walk(fs, root, pick(ids, k)))

        out["delete"] = run(
            Variant("module", "vantorel", delete_module, before=keep_object, after=restore_object),
            Variant(
                "floor",
                "floor: listings until the key + DELETE",
                delete_floor,
                before=keep_object,
                after=restore_object,
            ),
        )

    if "clear" in operations:
        # The whole store, written back (untimed, all PUTs in flight together)
        # after each call.
        snapshot = dict(fetch_concurrently(fs, s3_list_keys(fs, root)))

        def restore_store(k):
            fs.pipe(snapshot)

        def clear_floor(k):
            keys = s3_list_keys(fs, root)
            fs.rm(keys)  # DeleteObjects, up to 1,000 keys a request
            return len(keys)

        out["clear"] = run(
            Variant(
                "module", "vantorel", lambda k: ss.clear_simulation_results(), after=restore_store
            ),
            Variant("floor", "floor: listings + bulk delete", clear_floor, after=restore_store),
            check=all_equal,
        )
    assert len(s3_list_keys(fs, root)) == n
    return out


@dataclass
class S3Run:
    results: dict[int, dict[str, Measured]] = field(default_factory=dict)
    build: dict[int, float] = field(default_factory=dict)  # save seconds, from empty
    latency: Measured | None = None  # list_all on the server that answers late
    latency_size: int = 0
    counted: dict[str, int] = field(default_factory=dict)  # per server: by the hook
    logged: dict[str, int] = field(default_factory=dict)  # per server: access log
    cpu_per_request: dict[str, float] = field(default_factory=dict)
    connection_pool: int = 0


def run_s3(
    cfg: Config, rng: random.Random, workdir: Path, progress: Callable[[str], None]
) -> S3Run:
    out = S3Run()
    store = Store(SMALL, f"s3://{S3_BUCKET}/simulations")
    root = store.location.removeprefix("s3://")

    def account(
        name: str, server: S3Server, counter: RequestCounter, start: tuple[int, float]
    ) -> None:
        """What the hook counted and the server logged since `start`, and the
        server's CPU time per request meanwhile."""
        logged_start, cpu_start = start
        out.counted[name] = counter.total
        out.logged[name] = server.logged_requests() - logged_start
        out.cpu_per_request[name] = (server.cpu_seconds() - cpu_start) / max(out.logged[name], 1)

    progress("S3: starting the moto server")
    with S3Server(0, workdir / "moto.log") as server:
        fs, counter = connect(store)
        start = (server.logged_requests(), server.cpu_seconds())
        out.connection_pool = fs.s3.meta.config.max_pool_connections
        fs.mkdir(S3_BUCKET)
        for n in cfg.s3_sizes:
            progress(f"S3: building to {n:,} results")
            store.grow(n)
            out.build[n] = store.save_seconds
            progress(f"S3, {n:,} results: measuring")
            out.results[n] = measure_s3(store, n, cfg, rng, fs, counter, S3_OPERATIONS)
        snapshot = dict(fetch_concurrently(fs, s3_list_keys(fs, root)))
        account("loopback", server, counter, start)

    out.latency_size = len(snapshot)
    progress(
        f"S3: moto server answering after {S3_LATENCY_MS:g} ms, "
        f"listing {out.latency_size:,} results"
    )
    with S3Server(S3_LATENCY_MS, workdir / "moto-latency.log") as server:
        fs, counter = connect(store)
        start = (server.logged_requests(), server.cpu_seconds())
        fs.mkdir(S3_BUCKET)
        fs.pipe(snapshot)
        out.latency = measure_s3(store, out.latency_size, cfg, rng, fs, counter, ("list_all",))[
            "list_all"
        ]
        account("latency", server, counter, start)
    return out


# --------------------------------------------------------------------------
# Report


ROWS = (
    ("find_hit", "`find_simulation_result` (hit)"),
    ("find_miss", "`find_simulation_result` (miss)"),
    ("load", "`load_simulation_result`"),
    ("list_all", "`list_simulation_results()` (all)"),
    ("list_type", f'`list_simulation_results(simulation_type="{FILTER_TYPE}")`'),
    ("list_component", f'`list_simulation_results(component_name="{FILTER_COMPONENT}")`'),
    ("save", "`save_simulation_result` (new result)"),
    ("delete", "`delete_simulation_result`"),
    ("clear", f"`clear_simulation_results(component_name=...)` ({CLEAR_COUNT} results)"),
)
S3_ROWS = {**dict(ROWS), "clear": "`clear_simulation_results()` (the whole store)"}
FLOORS = (
    (
        "`_compute_simulation_id`",
        "`hyperparameters.model_dump()` + `json.dumps(identity, sort_keys=True)` + "
        "SHA-256, first 8 bytes in hex (the *ID* in the floors below)",
    ),
    (
        "os.scandir walk",
        "`os.scandir` of the simulations directory, then of each type directory (in "
        "directory order) until the file named `*_<id>.json`; the walk of find (miss) "
        "goes through every directory",
    ),
    (
        "os.listdir walk",
        "the same walk with `os.listdir` on bytes paths: glibc's `readdir` loop in C, "
        "making one `bytes` object per name and nothing else",
    ),
    (
        "libc readdir walk (ctypes)",
        "the same walk calling libc's `opendir`/`readdir` through `ctypes`: no Python "
        "object per entry, but one foreign call per entry",
    ),
    ("read", "`read_bytes` + `orjson.loads` + `StoredSimulationResult.model_validate` of the file"),
    (
        "read at the known place",
        "the read of `<type>/<component>_<id>.json`, the place the identity gives: "
        "the least a lookup by identity can do",
    ),
    (
        "list",
        "`os.scandir` of the type directories (only the one named by a type filter) + "
        "read of every `*.json` file in them (all of them also with a component "
        "filter, which is tested on each record) + filter + sort by date, newest first",
    ),
    (
        "save",
        "writing the bytes the module wrote for a result of the same size to a "
        "temporary file in the type directory and `os.replace` onto the final name "
        "(building the record and encoding it to JSON are not in the floor)",
    ),
    ("delete", "the `os.scandir` walk to the file + `os.unlink`"),
    ("clear", "the list floor with the component filter + `os.unlink` of each matched path"),
)
S3_FLOORS = (
    (
        "GET at the known key",
        "`fs.cat_file(key, max_concurrency=1)` of `<type>/<component>_<id>.json` "
        "(one GetObject; without `max_concurrency=1` s3fs sends a HeadObject first) + "
        "`orjson.loads` + `model_validate`; for a miss, the GetObject that answers 404",
    ),
    (
        "listings until the key",
        "`fs.ls` of the prefix (one ListObjectsV2), then of each type directory until "
        "the key named `*_<id>.json`",
    ),
    (
        "listings + GETs in flight together",
        "`fs.ls` of the type directories (only the filtered one with a type filter), "
        "then `fs.cat(keys, max_concurrency=1)`, which issues all the GETs together "
        "(fsspec batches them; the client keeps as many in flight as its connection "
        "pool allows), + decode, validate, filter, sort",
    ),
    (
        "listings + GETs one by one",
        "the same, fetching each key with `fs.cat_file(key, max_concurrency=1)` in a loop",
    ),
    ("one PUT of the same bytes", "`fs.pipe_file` of the bytes the module wrote"),
    ("DELETE", "`fs.rm_file` of the key found by the listings (one DeleteObject)"),
    (
        "listings + bulk delete",
        "`fs.ls` of the type directories + `fs.rm(keys)` (DeleteObjects, up to 1,000 "
        "keys a request)",
    ),
)


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "—"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def fmt_bytes(size: float) -> str:
    return f"{size / 2**30:.1f} GiB" if size >= 2**30 else f"{size / 2**20:.0f} MiB"


def fmt_ratio(a: float | None, b: float | None) -> str:
    if a is None or b is None:
        return "—"
    return f"{a / b:.2f}"


def fmt_requests(calls: list[Requests]) -> str:
    """Requests per call: the count (its range when calls differ) and the mix."""
    totals = [sum(r.calls.values()) for r in calls]
    mixes = {tuple(sorted(r.calls.items(), key=lambda kv: (-kv[1], kv[0]))) for r in calls}
    count = f"{min(totals):,}" if min(totals) == max(totals) else f"{min(totals):,}–{max(totals):,}"
    mix = " + ".join(f"{c:,} {op}" for op, c in min(mixes, key=lambda m: sum(c for _, c in m)))
    return f"{count} ({mix}{'; the fewest' if len(mixes) > 1 else ''})"


def operation_rows(
    measured: dict[str, dict[str, Measured]],
    rows: Iterable[tuple[str, str]],
    columns: Callable[[Measured | None, str], list[str]],
) -> list[str]:
    """One row per variant of each operation measured (vantorel first): the
    operation's label, the variant's label, then `columns(measured, variant)`
    for each store (with None where the store lacks the operation)."""
    lines = []
    for op, label in rows:
        per_store = [by_operation.get(op) for by_operation in measured.values()]
        present = [m for m in per_store if m is not None]
        if not present:
            continue
        for i, (variant, variant_label) in enumerate(present[0].labels.items()):
            cells = [
                label if i == 0 else "",
                variant_label if variant != "module" else "**vantorel**",
            ]
            for m in per_store:
                cells += columns(m, variant)
            lines.append("| " + " | ".join(cells) + " |")
    return lines


def local_columns(m: Measured | None, variant: str) -> list[str]:
    if m is None:
        return ["—", "—"]
    own = m.medians["module"]
    time_cell = fmt_time(m.medians[variant])
    if variant == "module":
        return [f"**{time_cell}**", f"{m.reps} rounds"]
    return [time_cell, fmt_ratio(own, m.medians[variant])]


def s3_columns(m: Measured | None, variant: str) -> list[str]:
    if m is None:
        return ["—", "—", "—"]
    ratio = "" if variant == "module" else fmt_ratio(m.medians["module"], m.medians[variant])
    time_cell = fmt_time(m.medians[variant])
    if variant == "module":
        time_cell = f"**{time_cell}** ({m.reps} rounds)"
    return [time_cell, ratio, fmt_requests(m.requests[variant])]


def report(
    results: dict[tuple[str, int], dict[str, Measured]],
    ids: tuple[dict[str, Measured], dict[str, int]],
    stores: dict[str, Store],
    cfg: Config,
    quick: bool,
    elapsed: float,
    build: dict[tuple[str, int], tuple[float, float]],
    kept_origin: str,
    s3: S3Run,
) -> str:
    now = datetime.now(UTC)
    version = importlib.metadata.version
    lines = [
        "# Benchmarks: vantorel.core.simulation_storage",
        "",
        f"- Date: {now:%Y-%m-%d %H:%M} UTC" + (" (`--quick` run)" if quick else ""),
        f"- Machine: {os.cpu_count()} cores (`os.cpu_count()`), {platform.platform()}, "
        f"{platform.machine()}",
        f"- Python {platform.python_version()} ({platform.python_implementation()}); "
        f"orjson {orjson.__version__}, pydantic {pydantic.VERSION}, "
        f"diskcache {diskcache.__version__}, joblib {joblib.__version__}; "
        f"s3fs {version('s3fs')}, botocore {version('botocore')}, "
        f"universal-pathlib {version('universal-pathlib')}, moto {version('moto')}",
        f"- Command: `{' '.join(['bench_storage.py', *sys.argv[1:]])}` (`./dev bench`); "
        f"whole run {elapsed / 60:.1f} min",
        "",
        "## What is measured",
        "",
        f"Each store holds N results spread evenly over {len(SIMULATION_TYPES)} simulation "
        f"types ({', '.join(SIMULATION_TYPES)}) and {len(COMPONENTS)} components, "
        "written by `save_simulation_result`. Result sizes:",
        "",
    ]
    mean_sizes: dict[str, float] = {}
    for shape in SHAPES:
        store = stores.get(shape.name)
        if store is None or not store.ids:
            continue
        _, mean_size = store.file_stats()
        mean_sizes[shape.name] = mean_size
        kind = "complex (real, imag)" if shape.complex_values else "real"
        sizes = [n for n in shape.sizes if n in cfg.sizes or n == cfg.kept_size]
        lines.append(
            f"- **{shape.name}**: {shape.ports} ports ({shape.ports**2} port pairs), "
            f"{shape.wavelengths} wavelengths, {kind} values; "
            f"{mean_size / 1024:,.1f} KiB of JSON per file on average; "
            f"local store sizes {', '.join(f'{n:,}' for n in sizes)}."
        )
    kept = f"{cfg.kept_size:,}"
    large_listing = results.get((LARGE.name, max(LARGE.sizes)), {}).get("list_all")
    if large_listing is not None:
        lines += [
            "",
            f"Large results are measured up to {max(LARGE.sizes):,} results: 10,000 "
            f"would be {fmt_bytes(10_000 * mean_sizes[LARGE.name])} for the "
            "vantorel store alone (three times that with the diskcache and joblib "
            f"copies), and a listing of {max(LARGE.sizes):,} already takes "
            f"{fmt_time(large_listing.medians['module'])} (below), so every listing "
            "of 10,000, in every round, would take about ten times that.",
        ]
    lines += [
        "",
        f"The stores up to {max(cfg.sizes):,} are built in this run and grown (each size "
        "measured on the way), with a diskcache `Cache` and a joblib `Memory` cache "
        "filled with the same records (the record's `model_dump()`). The store of "
        f"{kept} small results is built alone (no diskcache or joblib copy: diskcache "
        f"is compared at {max(cfg.sizes):,}) and kept between runs in "
        "`benchmarks/.cache/`, under a key made of what determines its content (the "
        "size class, the count, the code that makes the records, the installed "
        "extension and models, the orjson and pydantic versions). The results keep "
        f"their usual size there ({kept} x {mean_sizes[SMALL.name] / 1024:.1f} KiB is "
        f"{fmt_bytes(cfg.kept_size * mean_sizes[SMALL.name])}; its build time is "
        "given with its table): there was no need to shrink them. At "
        f"{kept} only "
        "the lookups (find, load, delete) and the listing with a type filter are "
        "measured: a listing of everything would read the whole store.",
        "",
        "Every operation and its floors run interleaved (order flipped every round) "
        "after one discarded warm-up call each, whose answers are checked against "
        "the module's; one exception: the walking floor of a cache hit, which takes "
        "up to a hundred hits' time, runs in rounds of its own, so that it does not "
        "evict from the processor's caches what the next hit finds there. The "
        "number of rounds fits a budget of "
        f"{cfg.budget_s:g} s per operation, with {cfg.min_reps} to {cfg.max_reps} "
        "rounds. Times are medians; *vantorel / this* is the module's median over the "
        "row's. Lookups (find, load, delete, and the joblib and diskcache hits) rotate "
        f"over {SAMPLE_COUNT} records picked at random in the store (read once "
        "beforehand, so every store is measured from the page cache); find (miss) uses "
        "identities that are not stored.",
        "",
        "Operations that change the store leave it at N results: a saved result is "
        "removed afterwards, a deleted one written back, and before each clear the "
        f"{CLEAR_COUNT} results of component `{CLEAR_COMPONENT}` (outside the N) are "
        "saved again; these steps are not timed. A clear with a component filter reads "
        "every file of the store (the filter is tested on each validated record).",
        "",
        "Floors (the least work that gives the same answer, measured in the same run, "
        "interleaved with the operation they bound):",
        "",
    ]
    lines += [f"- {name}: {text}." for name, text in FLOORS]
    lines += [
        "",
        "The walks alone (rows *... walk alone* under `load_simulation_result`) are "
        "the floor of every lookup by ID without an index; *vantorel / this* on those "
        "rows is the module's ratio to the walk. The os.listdir and ctypes walks read "
        "the same directory entries with less work per entry than os.scandir: which of "
        "the two is cheaper from Python is what the rows show (most of a walk is the "
        "kernel's `getdents64`, which all three share).",
        "",
        "## Identity",
        "",
    ]
    id_results, sb = ids
    lines += [
        "| operation | vantorel | floor | vantorel / floor | rounds |",
        "|---|---:|---:|---:|---:|",
    ]
    for key, label in (
        ("id_small", f"small settings ({sb['id_small']} B of JSON)"),
        ("id_large", f"large settings ({sb['id_large']:,} B of JSON)"),
    ):
        mi = id_results[key]
        lines.append(
            f"| `_compute_simulation_id`, {label} | {fmt_time(mi.medians['module'])} "
            f"| {fmt_time(mi.medians['floor'])} "
            f"| {fmt_ratio(mi.medians['module'], mi.medians['floor'])} | {mi.reps} |"
        )

    for n in (*cfg.sizes, cfg.kept_size):
        shapes = [s for s in SHAPES if (s.name, n) in results]
        lines += ["", f"## {n:,} results", ""]
        if n == cfg.kept_size:
            lines += [f"Small results only. The store was {kept_origin}.", ""]
        builds = []
        for shape in shapes:
            if (shape.name, n) in build:
                total, alt_total = build[(shape.name, n)]
                builds.append(
                    f"{shape.name}: {fmt_time(total)} for {n:,} saves "
                    f"({fmt_time(total / n)} per save; filling diskcache and "
                    f"joblib with the same records: {fmt_time(alt_total)})"
                )
        if builds:
            lines += [
                "Building the stores, from empty to this size (time spent in "
                "`save_simulation_result`): " + "; ".join(builds) + ".",
                "",
            ]
        header = ["operation", "measured"]
        align = ["---", "---"]
        for shape in shapes:
            header += [f"{shape.name}: median", "vantorel / this"]
            align += ["---:", "---:"]
        lines += ["| " + " | ".join(header) + " |", "|" + "|".join(align) + "|"]
        lines += operation_rows({s.name: results[(s.name, n)] for s in shapes}, ROWS, local_columns)
    lines += [
        "",
        "diskcache returns the pickled `model_dump()` dict and joblib the cached return "
        "value (the same dict); neither validates it into a `StoredSimulationResult`, "
        "which the vantorel times include.",
        "",
    ]
    lines += s3_report(s3, cfg)
    lines += [
        "",
        "## Latency against store size",
        "",
        "![latency against store size](latency.png)",
        "",
        "Medians from the tables above, both axes logarithmic; solid lines and circles "
        "for small results, dashed lines and squares for large ones (100 and 1,000 "
        "only). Left, `find_simulation_result` (hit): the module (vantorel), the floor "
        "that walks (ID + os.scandir walk + read) and the floor that does not (ID + "
        "read at the known place). Middle, `load_simulation_result`: the module, its "
        "floor (os.scandir walk + read) and the walks alone (os.scandir, os.listdir). "
        "Right, `list_simulation_results(simulation_type=...)`: the module and its "
        "floor (scandir + read of every file of that type).",
        "",
    ]
    return "\n".join(lines)


def s3_report(s3: S3Run, cfg: Config) -> list[str]:
    sizes = list(s3.results)
    latency_n = f"{s3.latency_size:,}"
    lines = [
        "## S3 (moto server)",
        "",
        "The same operations with `VANTOREL_SIMULATIONS_DIR=s3://"
        f"{S3_BUCKET}/simulations`, on a moto S3 server in its own process on "
        "127.0.0.1 and a free port (`benchmarks/s3_server.py`: the application "
        "`python -m moto.server` serves, with werkzeug's threaded server), started and "
        "stopped by the benchmark, reached through the AWS variables as a user sets "
        "them. Small results, the store built by `save_simulation_result` and grown "
        f"({', '.join(f'{n:,}' for n in sizes)}); the floors use the module's own s3fs "
        "instance. Lookups rotate over "
        f"{SAMPLE_COUNT} records; a saved result is removed afterwards, a deleted one "
        "written back, and after each clear the whole store is written back (untimed).",
        "",
        "*requests per call* are counted on the s3fs client the module uses (fsspec's "
        "cached `S3FileSystem` for the options the settings give: "
        "`UPath(url, use_listings_cache=False).fs`) by a hook on botocore's "
        "`before-send.s3` event, for every timed call, by operation (the event name "
        "ends with it). Checked another way: over the whole run on each server, the "
        "hook counted "
        + " and ".join(
            f"{s3.counted[name]:,} requests where the server's access log "
            f"shows {s3.logged[name]:,} ({label})"
            for name, label in (
                ("loopback", "loopback"),
                ("latency", f"{S3_LATENCY_MS:g} ms added"),
            )
            if name in s3.counted
        )
        + ".",
        "",
        "S3 floors:",
        "",
    ]
    lines += [f"- {name}: {text}." for name, text in S3_FLOORS]
    for n in sizes:
        lines += [
            "",
            f"### S3, {n:,} results",
            "",
            f"Building the store, from empty to this size: {fmt_time(s3.build[n])} in "
            f"`save_simulation_result` ({fmt_time(s3.build[n] / n)} per save).",
            "",
            "| operation | measured | median | vantorel / this | requests per call |",
            "|---|---|---:|---:|---|",
        ]
        lines += operation_rows({"s3": s3.results[n]}, S3_ROWS.items(), s3_columns)
    loopback = s3.results[max(sizes)]["list_all"] if sizes else None
    delayed = s3.latency
    if loopback is None or delayed is None:
        return lines
    lines += [
        "",
        f"### S3: reads in flight together or one by one ({latency_n} results)",
        "",
        f"`list_simulation_results()` of the {latency_n} results above, next to the "
        "listing floor that keeps many GETs in flight and the one that fetches the "
        "same objects one by one: first on loopback (the table above), then on a "
        f"second moto server that answers every request {S3_LATENCY_MS:g} ms late (a "
        "WSGI middleware around moto's application sleeps before handing it the "
        "request; the threaded server lets requests in flight sleep together). On "
        "loopback moto has no network latency, and it spent "
        f"{s3.cpu_per_request['loopback'] * 1e3:.1f} ms of CPU per request over the run "
        "(its process's CPU time over the requests in its access log): with two cores, "
        "one of them the client's, requests in flight mostly wait for each other, so "
        f"concurrency barely helps there. {S3_LATENCY_MS:g} ms models the round trip "
        "to a real S3 endpoint in the same region (a modelling choice, not measured "
        f"here); on that server moto spent {s3.cpu_per_request['latency'] * 1e3:.1f} ms "
        "of CPU per request. The client's connection pool holds "
        f"{s3.connection_pool} connections (botocore's `max_pool_connections`), which "
        "bounds the GETs on the wire; *most awaiting an answer* counts the requests "
        "sent and not yet answered at once, those waiting for a free connection "
        "included (botocore's `before-send` event up, `response-received` down).",
        "",
        f"| listing | loopback: median | vantorel / this | +{S3_LATENCY_MS:g} ms per "
        "request: median | vantorel / this | requests per call | most awaiting an answer |",
        "|---|---:|---:|---:|---:|---|---:|",
    ]
    for variant, label in delayed.labels.items():
        cells = [label if variant != "module" else "**vantorel** `list_simulation_results()`"]
        for m in (loopback, delayed):
            cells += [
                fmt_time(m.medians[variant]),
                "" if variant == "module" else fmt_ratio(m.medians["module"], m.medians[variant]),
            ]
        cells.append(fmt_requests(delayed.requests[variant]))
        cells.append(f"{max(r.most_in_flight for r in delayed.requests[variant]):,}")
        lines.append("| " + " | ".join(cells) + " |")
    lines += ["", f"Rounds: {loopback.reps} on loopback, {delayed.reps} with the added latency."]
    return lines


PLOTTED = (
    (
        "find_hit",
        "find_simulation_result (hit)",
        (
            ("module", "vantorel"),
            ("floor", "ID + scandir walk + read"),
            ("direct", "ID + read at known place"),
        ),
    ),
    (
        "load",
        "load_simulation_result",
        (
            ("module", "vantorel"),
            ("floor", "scandir walk + read"),
            ("scandir_walk", "os.scandir walk alone"),
            ("listdir_walk", "os.listdir walk alone"),
        ),
    ),
    (
        "list_type",
        f"list_simulation_results(simulation_type={FILTER_TYPE!r})",
        (("module", "vantorel"), ("floor", "scandir + read each file")),
    ),
)


def plot(results: dict[tuple[str, int], dict[str, Measured]], cfg: Config, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    all_sizes = sorted({n for _, n in results})
    fig, axes = plt.subplots(1, len(PLOTTED), figsize=(16, 6.2))
    for ax, (key, title, variants) in zip(axes, PLOTTED, strict=True):
        for shape, marker, style in zip(SHAPES, ("o", "s"), ("-", "--"), strict=True):
            sizes = [n for n in all_sizes if key in results.get((shape.name, n), {})]
            if not sizes:
                continue
            for j, (variant, label) in enumerate(variants):
                ys = [results[(shape.name, n)][key].medians[variant] for n in sizes]
                ax.plot(
                    sizes, ys, style, color=f"C{j}", marker=marker, label=f"{label}, {shape.name}"
                )
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xticks(all_sizes, [f"{n:,}" for n in all_sizes])
        ax.set_xlim(min(all_sizes) / 1.5, max(all_sizes) * 1.5)
        ax.tick_params(axis="x", which="minor", labelbottom=False)
        ax.set_xlabel("results in the store")
        ax.set_ylabel("median latency (s)")
        ax.set_title(title, fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
        # Below the axes: inside, it would hide a curve of one panel or another.
        ax.legend(fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.14), ncol=2)
    fig.suptitle(
        f"vantorel.core.simulation_storage against its floors: median latency "
        f"({os.cpu_count()} cores, Python {platform.python_version()}, "
        f"{datetime.now(UTC):%Y-%m-%d})",
        fontsize=10,
    )
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--quick",
        action="store_true",
        help="100 results (1,000 in the kept store), S3 at 100, few "
        "repetitions; results go to a temporary directory unless "
        "--output-dir is given",
    )
    parser.add_argument(
        "--output-dir", type=Path, help="where RESULTS.md and latency.png go (default: benchmarks/)"
    )
    parser.add_argument(
        "--workdir",
        type=Path,
        help="where the stores of this run are built (default: a "
        "temporary directory, removed at the end)",
    )
    parser.add_argument(
        "--cache-dir",
        type=Path,
        default=HERE / ".cache",
        help="where the largest store is kept between runs (default: benchmarks/.cache)",
    )
    args = parser.parse_args(argv)

    cfg = QUICK if args.quick else FULL
    output = args.output_dir
    if output is None:
        output = Path(tempfile.mkdtemp(prefix="vantorel-bench-quick-")) if args.quick else HERE
    output.mkdir(parents=True, exist_ok=True)
    workdir = args.workdir or Path(tempfile.mkdtemp(prefix="vantorel-bench-"))
    workdir.mkdir(parents=True, exist_ok=True)
    own_workdir = args.workdir is None
    args.cache_dir.mkdir(parents=True, exist_ok=True)

    free_gib = shutil.disk_usage(args.cache_dir).free / 2**30
    need_gib = 0.5 if args.quick else 8.0
    if free_gib < need_gib:
        print(
            f"warning: {free_gib:.1f} GiB free; the stores need about {need_gib:g} GiB",
            file=sys.stderr,
        )

    start = time.perf_counter()

    def progress(text: str) -> None:
        print(f"[{time.perf_counter() - start:7.1f} s] {text}", file=sys.stderr, flush=True)

    rng = random.Random(20240601)
    stores = {
        shape.name: Store(shape, str(workdir / shape.name / "simulations"), workdir / shape.name)
        for shape in SHAPES
    }
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
                results[(shape.name, n)] = measure_local(store, n, cfg, rng, LOCAL_OPERATIONS)
        kept, kept_origin = open_kept_store(SMALL, cfg.kept_size, args.cache_dir, progress)
        progress(f"small, {cfg.kept_size:,} results: measuring (store {kept_origin})")
        with kept_store_in_use(kept):
            results[(SMALL.name, cfg.kept_size)] = measure_local(
                kept, cfg.kept_size, cfg, rng, KEPT_OPERATIONS
            )
        s3 = run_s3(cfg, rng, workdir, progress)
        elapsed = time.perf_counter() - start
        text = report(results, ids, stores, cfg, args.quick, elapsed, build, kept_origin, s3)
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
