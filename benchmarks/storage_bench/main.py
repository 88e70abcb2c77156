"""The run: identity, the local stores grown size by size, the kept store,
S3; then RESULTS.md and latency.png."""

from __future__ import annotations

import argparse
import random
import shutil
import sys
import tempfile
import time
from pathlib import Path

from . import BENCHMARKS_DIR, __doc__ as package_doc
from .harness import Config
from .operations import GROWN, KEPT, LARGEST, measure_at, measure_identity
from .records import SHAPES, SMALL
from .report import BenchRun, BuildTime, StoreResults, plot, render
from .s3 import run_s3
from .stores import Store, Subject, kept_store_in_use, open_kept_store

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


def main(argv: list[str] | None = None) -> int:
    assert package_doc is not None
    parser = argparse.ArgumentParser(description=package_doc.split("\n\n")[0])
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
        default=BENCHMARKS_DIR / ".cache",
        help="where the largest store is kept between runs (default: benchmarks/.cache)",
    )
    args = parser.parse_args(argv)

    cfg = QUICK if args.quick else FULL
    output = args.output_dir
    if output is None:
        output = (
            Path(tempfile.mkdtemp(prefix="vantorel-bench-quick-")) if args.quick else BENCHMARKS_DIR
        )
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
    local: StoreResults = {}
    builds: dict[tuple[str, int], BuildTime] = {}
    try:
        progress("identity")
        identity = measure_identity(cfg)
        for n in cfg.sizes:
            for shape in SHAPES:
                if n not in shape.sizes:
                    continue
                store = stores[shape.name]
                progress(f"{shape.name}: building to {n:,} results")
                store.grow(n)
                builds[(shape.name, n)] = BuildTime(store.save_seconds, store.alt_seconds)
                progress(f"{shape.name}, {n:,} results: measuring")
                place = GROWN | LARGEST if n == cfg.sizes[-1] else GROWN
                local[(shape.name, n)] = measure_at(place, Subject.pick(store, n, rng), cfg)
        kept, kept_origin = open_kept_store(SMALL, cfg.kept_size, args.cache_dir, progress)
        progress(f"small, {cfg.kept_size:,} results: measuring (store {kept_origin})")
        with kept_store_in_use(kept):
            local[(SMALL.name, cfg.kept_size)] = measure_at(
                KEPT, Subject.pick(kept, cfg.kept_size, rng), cfg
            )
        s3 = run_s3(cfg, rng, workdir, progress)
        run = BenchRun(
            cfg,
            args.quick,
            time.perf_counter() - start,
            identity,
            local,
            builds,
            {name: store.mean_file_size() for name, store in stores.items() if store.ids},
            kept_origin,
            s3,
        )
        text = render(run)
        (output / "RESULTS.md").write_text(text, encoding="utf-8")
        plot(local, output / "latency.png")
    finally:
        for store in stores.values():
            store.close()
        if own_workdir:
            shutil.rmtree(workdir, ignore_errors=True)
    print(text)
    progress(f"wrote {output / 'RESULTS.md'} and {output / 'latency.png'}")
    return 0
