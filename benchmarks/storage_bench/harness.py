"""Timing: variants of one operation run interleaved, as many rounds as fit
a time budget, after one warm-up call each whose answers are checked; the
result is the median of each variant."""

from __future__ import annotations

import gc
import os
import statistics
import time
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, Protocol


@dataclass(frozen=True)
class Config:
    sizes: tuple[int, ...]  # local stores grown in the run, with diskcache and joblib
    kept_size: int  # the largest local store: built alone, kept between runs
    s3_sizes: tuple[int, ...]
    budget_s: float  # time spent per measured operation, all variants together
    min_reps: int
    max_reps: int


@dataclass
class Variant:
    """One way of getting an operation's answer: `run(k)` is timed in round
    k (0 is the warm-up), `before(k)` and `after(k)` around it are not."""

    key: str  # "module" for the module's own call; it comes first
    label: str
    run: Callable[[int], Any]
    before: Callable[[int], None] | None = None
    after: Callable[[int], None] | None = None
    # Measured in rounds of its own, after the others: for a variant so much
    # slower that it would evict from the processor's caches what the next
    # call of the others finds there.
    apart: bool = False


def module_call(
    run: Callable[[int], Any],
    *,
    before: Callable[[int], None] | None = None,
    after: Callable[[int], None] | None = None,
) -> Variant:
    """The module's own call, which the floors are compared with."""
    return Variant("module", "vantorel", run, before, after)


Check = Callable[[dict[str, Any]], None]


@dataclass
class Trial:
    """What measuring an operation on a store takes: the module's call and its
    floors, and what their warm-up answers must satisfy (by variant key)."""

    variants: list[Variant]
    check: Check | None = None


@dataclass
class Requests:
    """The requests one call sent, by operation, and the most in flight at once."""

    calls: Counter[str]
    most_in_flight: int


class RequestHook(Protocol):
    def take(self) -> Requests:
        """The requests sent since the last take."""
        ...


@dataclass
class Measured:
    labels: dict[str, str]  # variant key -> label, in the order given
    medians: dict[str, float]  # seconds
    reps: int  # rounds of the variants measured with the module's call
    requests: dict[str, list[Requests]] = field(default_factory=dict)  # S3 only


def _once(
    v: Variant,
    k: int,
    keep: dict[str, Any] | None,
    counter: RequestHook | None,
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


def _rounds(
    cfg: Config, variants: list[Variant], check: Check | None, counter: RequestHook | None
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
        order = variants if k % 2 else variants[::-1]
        for v in order:
            samples[v.key].append(_once(v, k, None, counter, requests))
    return Measured(
        {v.key: v.label for v in variants},
        {key: statistics.median(s) / 1e9 for key, s in samples.items()},
        reps,
        requests,
    )


def measure(cfg: Config, trial: Trial, counter: RequestHook | None = None) -> Measured:
    """The trial's variants in rounds (those measured apart each in rounds of
    its own, afterwards), in one table."""
    together = [v for v in trial.variants if not v.apart]
    measured = _rounds(cfg, together, trial.check, counter)
    for variant in trial.variants:
        if variant.apart:
            alone = _rounds(cfg, [variant], trial.check, counter)
            measured.medians.update(alone.medians)
            measured.requests.update(alone.requests)
    measured.labels = {v.key: v.label for v in trial.variants}
    return measured


# --------------------------------------------------------------------------
# Checks on the warm-up answers: every floor gives the module's answer.


def same_record(expected_id: str) -> Check:
    """Every variant found the result `expected_id`: the record (equal to the
    module's, when measured with it), its dump or its path."""

    def check(values: dict[str, Any]) -> None:
        module = values.get("module")
        for key, value in values.items():
            if isinstance(value, dict):  # diskcache and joblib: the record's dump
                assert value["simulation_id"] == expected_id, key
            elif isinstance(value, (str, bytes)):  # a walk: the file's path
                assert os.fsdecode(value).endswith(f"_{expected_id}.json"), key
            else:
                assert value.simulation_id == expected_id, key
                assert module is None or value == module, key

    return check


def all_none(values: dict[str, Any]) -> None:
    assert all(value is None for value in values.values()), values


def same_listing(expected: int) -> Check:
    """The module listed `expected` results, and every floor the same ones."""

    def check(values: dict[str, Any]) -> None:
        module = sorted(r.simulation_id for r in values["module"])
        assert len(module) == expected, (len(module), expected)
        for key, value in values.items():
            if key != "module":
                assert sorted(r.simulation_id for _, r in value) == module, key

    return check


def all_equal(values: dict[str, Any]) -> None:
    assert len(set(values.values())) == 1, values


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "—"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"
