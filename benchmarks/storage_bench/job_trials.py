"""The operations of the job, through `vantorel.Store`: a hit and a miss of
`get_or_run` (the miss claims the simulation, runs a trivial `run` and
saves), on local and S3 stores, and `frame` on local ones; each beside the
module's own calls that give the same answer, and for the hit beside
joblib's and diskcache's memoized hits on the same records."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

from vantorel import Store
from vantorel.core import simulation_storage as ss

from .floors import decode, known_path, read_record, s3_read
from .harness import Check, Trial, Variant, module_call, same_record
from .records import identity, saved_path, solver_output
from .stores import Subject, joblib_arguments, pick


def never_run() -> tuple[Any, Any]:
    raise AssertionError("a hit ran the simulation")


def job_store(s: Subject) -> Store:
    """The subject's store as a user names it; on S3 its claims reach the
    object store through the s3fs instance whose requests are counted."""
    store = Store(s.store.location)
    if s.fs is not None:
        assert store.location.fs is s.fs
    return store


def _hit_variants(s: Subject) -> list[Variant]:
    store = job_store(s)
    return [
        module_call(lambda k: store.get_or_run(never_run, **s.hit(k))),
        Variant(
            "find",
            "`find_simulation_result` (hit)",
            lambda k: ss.find_simulation_result(**s.hit(k)),
        ),
    ]


def local_get_or_run_hit(s: Subject) -> Trial:
    root = s.root
    variants = [
        *_hit_variants(s),
        Variant(
            "direct",
            "floor: ID + read at the known place, no walk",
            lambda k: read_record(known_path(root, s.hit(k))),
        ),
    ]
    memoized = (
        ("joblib", "joblib `Memory` cache hit (by identity)", s.store.cached_run),
        ("diskcache", "diskcache `Cache.memoize` hit (by identity)", s.store.memoized_run),
    )
    hits = [joblib_arguments(i) for i in s.hits]
    for key, label, cached_run in memoized:
        if cached_run is not None:
            variants.append(Variant(key, label, lambda k, run=cached_run: run(**pick(hits, k))))
    return Trial(variants, same_record(s.ids[0]))


def s3_get_or_run_hit(s: Subject) -> Trial:
    fs, root = s.fs, s.root
    return Trial(
        [
            *_hit_variants(s),
            Variant(
                "direct",
                "floor: ID + GET at the known key",
                lambda k: decode(s3_read(fs, known_path(root, s.hit(k)))),
            ),
        ],
        same_record(s.ids[0]),
    )


CLAIM_COMPONENT = "bench_claim"  # the new results of get_or_run's misses


def get_or_run_claim(s: Subject) -> Trial:
    """A miss of `get_or_run`: a new identity each round, claimed, its
    trivial `run` (the output ready beforehand) run and the result saved.
    Beside it the same miss by hand without a claim, a find that finds
    nothing and a save: through the `Store`, which converts the output as
    `get_or_run` does, and through the module's functions, which take it as
    it is. The saved results are removed afterwards (untimed), so the store
    keeps its size; the claims directory that the first claim made stays,
    as in any store that `get_or_run` has been used on."""
    store = job_store(s)
    shape, root = s.shape, s.root
    remove = os.unlink if s.fs is None else s.fs.rm_file
    wavelengths, result = solver_output(shape, 0)
    inputs: dict[int, dict[str, Any]] = {}
    saved: list[str] = []

    def prepare(k: int) -> None:
        inputs[k] = identity(shape, 40_000_000 + k, component=CLAIM_COMPONENT)

    def claim(k: int) -> None:
        record = store.get_or_run(lambda: (result, wavelengths), **inputs.pop(k))
        saved.append(saved_path(root, record))

    def by_hand(find: Any, save: Any) -> Callable[[int], None]:
        def miss(k: int) -> None:
            ident = inputs.pop(k)
            assert find(**ident) is None
            record = save(
                **ident, result=result, wavelengths=wavelengths, execution_time_seconds=0.0
            )
            saved.append(saved_path(root, record))

        return miss

    def remove_saved(k: int) -> None:
        while saved:
            remove(saved.pop())

    return Trial(
        [
            module_call(claim, before=prepare, after=remove_saved),
            Variant(
                "store",
                "by hand, no claim: `Store(...).find` (miss) + `Store(...).save`",
                by_hand(store.find, store.save),
                before=prepare,
                after=remove_saved,
            ),
            Variant(
                "by_hand",
                "by hand, no claim: `find_simulation_result` (miss) + `save_simulation_result`",
                by_hand(ss.find_simulation_result, ss.save_simulation_result),
                before=prepare,
                after=remove_saved,
            ),
        ]
    )


def same_table(expected: int) -> Check:
    """The table has a row for each result the listing gave, in its order."""

    def check(values: dict[str, Any]) -> None:
        frame, listing = values["module"], values["list"]
        assert len(listing) == expected, (len(listing), expected)
        assert list(frame.index) == [r.simulation_id for r in listing]

    return check


def local_frame(s: Subject) -> Trial:
    store = job_store(s)
    return Trial(
        [
            module_call(lambda k: store.frame()),
            Variant("list", "`list_simulation_results()`", lambda k: ss.list_simulation_results()),
        ],
        same_table(s.n),
    )
