"""The stores measured: a vantorel store grown to N results (with diskcache
and joblib caches holding the same records, by ID and memoized by
identity), the largest one kept between runs, and a store made ready for
measuring (the records lookups rotate over)."""

from __future__ import annotations

import contextlib
import hashlib
import inspect
import json
import os
import random
import shutil
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path
from typing import Any

import diskcache
import joblib
import orjson
import pydantic

from vantorel import models
from vantorel.core import simulation_storage as ss

from .floors import floor_list_paths, found_path, read_bytes, s3_list_keys
from .harness import Trial, fmt_time
from .records import Shape, identity, port_waves, save_arguments, solver_output

SAMPLE_COUNT = 64  # records the lookups rotate over


def pick[T](seq: list[T], k: int) -> T:
    """The item of round `k` in a rotation over `seq`."""
    return seq[k % len(seq)]


def joblib_arguments(ident: dict[str, Any]) -> dict[str, Any]:
    """joblib hashes its arguments and diskcache pickles them into its key:
    hyperparameters are passed as their dump."""
    return {**ident, "hyperparameters": ident["hyperparameters"].model_dump()}


_PREPARED_DUMP: dict[str, Any] | None = None


def run_simulation(
    component_name: str,
    factory_name: str,
    component_settings: Any,
    model_parameters: Any,
    hyperparameters: Any,
    simulation_type: str,
) -> dict[str, Any] | None:
    """Stands in for a solver run memoized by joblib and diskcache: returns
    the record dump prepared for this call (only reached on a cache miss,
    while building)."""
    return _PREPARED_DUMP


class Store:
    """The vantorel store of one size class at `location` (a directory, or
    an s3:// URL), with diskcache and joblib caches holding the same records
    under `alternatives_dir` when one is given: a diskcache `Cache` by ID,
    and `run_simulation` memoized by identity in a joblib `Memory` and in a
    second diskcache `Cache` (`Cache.memoize`); grown together."""

    def __init__(self, shape: Shape, location: str, alternatives_dir: Path | None = None):
        self.shape = shape
        self.location = location
        self.cache: diskcache.Cache | None = None
        self.cached_run: Callable[..., Any] | None = None  # joblib
        self.memoize_cache: diskcache.Cache | None = None
        self.memoized_run: Callable[..., Any] | None = None  # diskcache
        if alternatives_dir is not None:
            self.cache = diskcache.Cache(str(alternatives_dir / "diskcache"))
            memory = joblib.Memory(str(alternatives_dir / "joblib"), verbose=0)
            self.cached_run = memory.cache(run_simulation)
            self.memoize_cache = diskcache.Cache(str(alternatives_dir / "diskcache-memoize"))
            self.memoized_run = self.memoize_cache.memoize()(run_simulation)
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
            if self.cache is None or self.cached_run is None or self.memoized_run is None:
                continue
            t1 = time.perf_counter()
            dump = record.model_dump()
            self.cache.set(record.simulation_id, dump)
            _PREPARED_DUMP = dump
            self.cached_run(**joblib_arguments(identity(self.shape, i)))
            self.memoized_run(**joblib_arguments(identity(self.shape, i)))
            _PREPARED_DUMP = None
            self.alt_seconds += time.perf_counter() - t1

    def mean_file_size(self) -> float:
        paths = floor_list_paths(self.location)
        return sum(os.path.getsize(p) for p in paths) / len(paths)

    def close(self) -> None:
        for cache in (self.cache, self.memoize_cache):
            if cache is not None:
                cache.close()


@dataclass
class Subject:
    """A store of `n` results made ready for measuring: what the variants of
    every operation work with."""

    store: Store
    n: int
    root: str  # the simulations directory, or bucket/prefix on S3
    hits: list[dict[str, Any]]  # identities of stored results, picked at random
    ids: list[str]  # their IDs
    misses: list[dict[str, Any]]  # identities that are not stored
    fs: Any = None  # on S3, the s3fs instance the module uses

    @classmethod
    def pick(cls, store: Store, n: int, rng: random.Random, fs: Any = None) -> Subject:
        """The store made current, with SAMPLE_COUNT records picked at random
        (every local one read once, so that every store is measured from the
        page cache, also a kept one that comes from a cold disk)."""
        store.activate()
        picks = rng.sample(range(n), min(SAMPLE_COUNT, n))
        subject = cls(
            store,
            n,
            store.location.removeprefix("s3://"),
            [identity(store.shape, i) for i in picks],
            [store.ids[i] for i in picks],
            [identity(store.shape, 10_000_000 + j) for j in range(SAMPLE_COUNT)],
            fs,
        )
        if fs is None:
            for simulation_id in subject.ids:
                read_bytes(found_path(subject.root, simulation_id))
        return subject

    @property
    def shape(self) -> Shape:
        return self.store.shape

    def hit(self, k: int) -> dict[str, Any]:
        return pick(self.hits, k)

    def hit_id(self, k: int) -> str:
        return pick(self.ids, k)

    def miss(self, k: int) -> dict[str, Any]:
        return pick(self.misses, k)

    def count(self, **filters: str) -> int:
        """Stored results whose identity has these values."""
        return sum(
            all(identity(self.shape, i)[name] == value for name, value in filters.items())
            for i in range(self.n)
        )

    def stored(self) -> int:
        """Results in the store now."""
        if self.fs is not None:
            return len(s3_list_keys(self.fs, self.root))
        return len(floor_list_paths(self.root))


# What an operation's row gives for a kind of store: its variants on one.
BuildTrial = Callable[[Subject], Trial]


# --------------------------------------------------------------------------
# The kept store


def kept_store_key(shape: Shape, n: int) -> str:
    """What determines the kept store's content: the records (size class,
    count, the code that makes them) and what writes them (the installed
    extension, the models, the libraries that encode them)."""
    digest = hashlib.sha256(repr((shape, n)).encode())
    for function in (identity, port_waves, solver_output, save_arguments):
        digest.update(inspect.getsource(function).encode())
    for path in (ss.__file__, models.__file__):
        assert path is not None
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
