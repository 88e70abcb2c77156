"""RESULTS.md and latency.png from what a run measured (a BenchRun)."""

from __future__ import annotations

import importlib.metadata
import os
import platform
import sys
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path

import diskcache
import joblib
import orjson
import pandas
import pydantic

from .floors import LOCAL_FLOORS, S3_FLOORS
from .harness import Config, Measured, Requests, fmt_time
from .job_trials import CLAIM_COMPONENT
from .local_trials import CLEAR_COMPONENT, CLEAR_COUNT
from .operations import LOCAL, S3, IdentityTiming, titles
from .records import COMPONENTS, FILTER_TYPE, LARGE, SHAPES, SIMULATION_TYPES, SMALL
from .s3 import S3_BUCKET, S3_LATENCY_MS, S3Run
from .stores import SAMPLE_COUNT

StoreResults = dict[tuple[str, int], dict[str, Measured]]  # (size class, N) -> operation -> ...


@dataclass(frozen=True)
class BuildTime:
    """Seconds spent growing a local store from empty to its size."""

    saves: float  # in save_simulation_result
    alternatives: float  # filling diskcache and joblib with the same records


@dataclass
class BenchRun:
    """What one run measured, with what the report says about how."""

    cfg: Config
    quick: bool
    elapsed: float  # seconds, the whole run
    identity: list[IdentityTiming]
    local: StoreResults
    builds: dict[tuple[str, int], BuildTime]  # the stores grown in the run
    mean_file_sizes: dict[str, float]  # bytes, by size class
    kept_origin: str  # where the kept store came from, a sentence
    s3: S3Run


def fmt_bytes(size: float) -> str:
    return f"{size / 2**30:.1f} GiB" if size >= 2**30 else f"{size / 2**20:.0f} MiB"


def fmt_difference(seconds: float) -> str:
    """A difference of two medians, which noise can make negative."""
    return ("-" if seconds < 0 else "") + fmt_time(abs(seconds))


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


def render(run: BenchRun) -> str:
    lines = header(run) + job_section(run) + what_is_measured(run) + identity_table(run)
    for n in (*run.cfg.sizes, run.cfg.kept_size):
        lines += local_table(run, n)
    lines += [
        "",
        "diskcache returns the pickled `model_dump()` dict (by ID, or as the memoized "
        "return value) and joblib the cached return value (the same dict); neither "
        "validates it into a `StoredSimulationResult`, which the vantorel times include.",
        "",
    ]
    lines += s3_section(run.s3) + late_section(run.s3) + plot_section()
    return "\n".join(lines)


def header(run: BenchRun) -> list[str]:
    version = importlib.metadata.version
    return [
        "# Benchmarks: vantorel.core.simulation_storage",
        "",
        f"- Date: {datetime.now(UTC):%Y-%m-%d %H:%M} UTC"
        + (" (`--quick` run)" if run.quick else ""),
        f"- Machine: {os.cpu_count()} cores (`os.cpu_count()`), {platform.platform()}, "
        f"{platform.machine()}",
        f"- Python {platform.python_version()} ({platform.python_implementation()}); "
        f"orjson {orjson.__version__}, pydantic {pydantic.VERSION}, "
        f"diskcache {diskcache.__version__}, joblib {joblib.__version__}, "
        f"pandas {pandas.__version__}; "
        f"s3fs {version('s3fs')}, botocore {version('botocore')}, "
        f"universal-pathlib {version('universal-pathlib')}, moto {version('moto')}",
        f"- Command: `{' '.join(['bench_storage.py', *sys.argv[1:]])}` (`./dev bench`); "
        f"whole run {run.elapsed / 60:.1f} min",
        "",
    ]


GOAL_RATIO = 1.2  # get_or_run's hit over find's, frame over the listing: at most this
FRAME_GOAL_SIZE = 10_000  # the store size at which the frame's goal holds


def store_names(run: BenchRun, key: str) -> list[tuple[str, Measured]]:
    """(store, measured) of operation `key` on every store it was measured
    on: the local ones by size, then S3."""
    found = [
        (f"local, {shape}, {n:,}", measured[key])
        for (shape, n), measured in sorted(run.local.items(), key=lambda item: item[0][1])
        if key in measured
    ]
    found += [
        (f"S3, {n:,}", measured[key]) for n, measured in run.s3.results.items() if key in measured
    ]
    return found


def ratio_cells(m: Measured, variant: str) -> list[str]:
    """The variant's median and the module's over it; dashes without it."""
    if variant not in m.medians:
        return ["—", "—"]
    return [fmt_time(m.medians[variant]), fmt_ratio(m.medians["module"], m.medians[variant])]


def goal_verdict(ratios: list[tuple[str, float]]) -> str:
    """Whether every ratio keeps the goal, with the worst."""
    store, worst = max(ratios, key=lambda item: item[1])
    met = "met" if worst <= GOAL_RATIO else "**not met**"
    return f"{met}: at most {worst:.2f}x ({store})"


def job_section(run: BenchRun) -> list[str]:
    """The costs of the job through `vantorel.Store` and of a save's flush,
    with the goals they are held to, from the tables below."""
    lines = ["## The job and the flush: goals and costs", ""]
    hits = store_names(run, "get_or_run_hit")
    if hits:
        lines += [
            "**`Store(...).get_or_run(run, **identity)`, a hit, against "
            "`find_simulation_result`'s hit: goal at most "
            f"{GOAL_RATIO:g}x**, "
            + goal_verdict([(name, m.medians["module"] / m.medians["find"]) for name, m in hits])
            + ". Measured interleaved on the same records (rotating over "
            f"{SAMPLE_COUNT} stored identities), with joblib's and diskcache's "
            "memoized hits on the same records where the store has them (the "
            "local stores grown in the run); `run` is never called.",
            "",
            "| store | get_or_run (hit) | find (hit) | get_or_run / find | joblib `Memory` hit "
            "| get_or_run / joblib | diskcache `memoize` hit | get_or_run / diskcache |",
            "|---|---:|---:|---:|---:|---:|---:|---:|",
        ]
        for name, m in hits:
            cells = [name, fmt_time(m.medians["module"])]
            for variant in ("find", "joblib", "diskcache"):
                cells += ratio_cells(m, variant)
            lines.append("| " + " | ".join(cells) + " |")
        lines.append("")
    frames = store_names(run, "frame")
    if frames:
        verdict = goal_verdict(
            [(name, m.medians["module"] / m.medians["list"]) for name, m in frames]
        )
        if run.cfg.sizes[-1] != FRAME_GOAL_SIZE:
            verdict = (
                f"measured here only at {run.cfg.sizes[-1]:,} (a short run), where the "
                f"table's fixed costs weigh more: {verdict.partition(': ')[2]}"
            )
        lines += [
            "**`Store(...).frame()` against `list_simulation_results()` of the same "
            f"store: goal at most {GOAL_RATIO:g}x at {FRAME_GOAL_SIZE:,} results**, "
            + verdict
            + ". The table is the listing plus its columns (one per leaf of the "
            "settings, model parameters and hyperparameters); both read every file.",
            "",
            "| store | frame() | list_simulation_results() | frame / list | rounds |",
            "|---|---:|---:|---:|---:|",
        ]
        lines += [
            f"| {name} | {fmt_time(m.medians['module'])} | "
            + " | ".join(ratio_cells(m, "list"))
            + f" | {m.reps} |"
            for name, m in frames
        ]
        lines.append("")
    claims = store_names(run, "claim")
    if claims:
        lines += [
            "**What a claim costs.** A miss of `get_or_run` on a new identity claims "
            "it (a create-only write, a heartbeat thread started), looks it up again, "
            "runs a trivial `run` (its output made beforehand), saves and releases "
            "the claim. Next to it, interleaved, the same miss by hand without a "
            "claim, a find that finds nothing and a save: through the `Store`, "
            "which converts the output as `get_or_run` does (numpy values, tuples and "
            "complex numbers looked for at every depth), and through the module's "
            "functions, which take it as it is. The claim's cost is `get_or_run`'s "
            "time less the `Store`'s by hand: the claim's writes and its second "
            "lookup, which a new holder needs (a miss walks the store on local disk "
            "and lists it on S3); the conversion's is the `Store`'s less the "
            "module's. On S3 the requests of each call are counted on the client that "
            "all three use.",
            "",
            "| store | get_or_run (miss) | Store find + save | claim's cost "
            "| module find + save | conversion's cost | get_or_run / module find + save "
            "| requests: get_or_run | requests: by hand |",
            "|---|---:|---:|---:|---:|---:|---:|---|---|",
        ]
        for name, m in claims:
            module, store, by_hand = (m.medians[key] for key in ("module", "store", "by_hand"))
            requests = [
                fmt_requests(m.requests[variant]) if m.requests else "—"
                for variant in ("module", "store")
            ]
            lines.append(
                f"| {name} | {fmt_time(module)} | {fmt_time(store)} | "
                f"{fmt_difference(module - store)} | {fmt_time(by_hand)} | "
                f"{fmt_difference(store - by_hand)} | {fmt_ratio(module, by_hand)} | "
                + " | ".join(requests)
                + " |"
            )
        lines.append("")
    saves = [(name, m) for name, m in store_names(run, "save") if "no_fsync" in m.medians]
    if saves:
        lines += [
            "**What the flush costs.** `save_simulation_result` flushes the "
            "temporary file (`fsync`) before renaming it into place and the type "
            "directory after; next to it, interleaved, the same bytes written "
            "through os calls with both `fsync` calls (the floor) and without them. "
            "The flush's cost is the floor's time less that of the write without it.",
            "",
            "| store | save_simulation_result | write + fsync + rename + fsync dir "
            "| write + rename, no fsync | flush's cost | save / no fsync |",
            "|---|---:|---:|---:|---:|---:|",
        ]
        for name, m in saves:
            module, flushed, unflushed = (m.medians[key] for key in ("module", "floor", "no_fsync"))
            lines.append(
                f"| {name} | {fmt_time(module)} | {fmt_time(flushed)} | "
                f"{fmt_time(unflushed)} | {fmt_difference(flushed - unflushed)} | "
                f"{fmt_ratio(module, unflushed)} |"
            )
        lines += [
            "",
            "The flush waits for the storage device: its time is the device's, not "
            "the module's, and varies with whatever else writes to the same disk.",
            "",
        ]
    return lines


def what_is_measured(run: BenchRun) -> list[str]:
    cfg, sizes_of = run.cfg, run.mean_file_sizes
    lines = [
        "## What is measured",
        "",
        f"Each store holds N results spread evenly over {len(SIMULATION_TYPES)} simulation "
        f"types ({', '.join(SIMULATION_TYPES)}) and {len(COMPONENTS)} components, "
        "written by `save_simulation_result`. Result sizes:",
        "",
    ]
    for shape in SHAPES:
        if shape.name not in sizes_of:
            continue
        kind = "complex (real, imag)" if shape.complex_values else "real"
        sizes = [n for n in shape.sizes if n in cfg.sizes or n == cfg.kept_size]
        lines.append(
            f"- **{shape.name}**: {shape.ports} ports ({shape.ports**2} port pairs), "
            f"{shape.wavelengths} wavelengths, {kind} values; "
            f"{sizes_of[shape.name] / 1024:,.1f} KiB of JSON per file on average; "
            f"local store sizes {', '.join(f'{n:,}' for n in sizes)}."
        )
    kept = f"{cfg.kept_size:,}"
    large_listing = run.local.get((LARGE.name, max(LARGE.sizes)), {}).get("list_all")
    if large_listing is not None:
        lines += [
            "",
            f"Large results are measured up to {max(LARGE.sizes):,} results: 10,000 "
            f"would be {fmt_bytes(10_000 * sizes_of[LARGE.name])} for the "
            "vantorel store alone (three times that with the diskcache and joblib "
            f"copies), and a listing of {max(LARGE.sizes):,} already takes "
            f"{fmt_time(large_listing.medians['module'])} (below), so every listing "
            "of 10,000, in every round, would take about ten times that.",
        ]
    lines += [
        "",
        f"The stores up to {max(cfg.sizes):,} are built in this run and grown (each size "
        "measured on the way), with a diskcache `Cache` (by ID), and a joblib `Memory` "
        "cache and a second diskcache `Cache` (`Cache.memoize`) that memoize a stand-in "
        "solver function by identity, filled with the same records (the record's "
        "`model_dump()`). The store of "
        f"{kept} small results is built alone (no diskcache or joblib copy: diskcache "
        f"is compared at {max(cfg.sizes):,}) and kept between runs in "
        "`benchmarks/.cache/`, under a key made of what determines its content (the "
        "size class, the count, the code that makes the records, the installed "
        "extension and models, the orjson and pydantic versions). The results keep "
        f"their usual size there ({kept} x {sizes_of[SMALL.name] / 1024:.1f} KiB is "
        f"{fmt_bytes(cfg.kept_size * sizes_of[SMALL.name])}; its build time is "
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
        "The job, through `vantorel.Store(location)` made once per store: "
        "`get_or_run` (hit) rotates over the same records as find (hit), with a `run` "
        "that must not be called; `get_or_run` (miss), measured last on each store, "
        f"asks for a new identity of component `{CLAIM_COMPONENT}` each round and "
        "saves it (removed afterwards, untimed; the claims directory its first claim "
        "made stays, as in any store used through `get_or_run`); `Store(...).frame()` "
        "reads the whole store, so it is measured only at the largest size grown in the "
        f"run ({max(cfg.sizes):,}). Their figures and goals are gathered at the top.",
        "",
        "Floors (the least work that gives the same answer, measured in the same run, "
        "interleaved with the operation they bound):",
        "",
    ]
    lines += [f"- {name}: {text}." for name, text in LOCAL_FLOORS]
    lines += [
        "",
        "The walks alone (rows *... walk alone* under `load_simulation_result`) are "
        "the floor of every lookup by ID without an index; *vantorel / this* on those "
        "rows is the module's ratio to the walk. The os.listdir and ctypes walks read "
        "the same directory entries with less work per entry than os.scandir: which of "
        "the two is cheaper from Python is what the rows show (most of a walk is the "
        "kernel's `getdents64`, which all three share).",
        "",
    ]
    return lines


def identity_table(run: BenchRun) -> list[str]:
    lines = [
        "## Identity",
        "",
        "| operation | vantorel | floor | vantorel / floor | rounds |",
        "|---|---:|---:|---:|---:|",
    ]
    for timing in run.identity:
        m = timing.measured
        lines.append(
            f"| `_compute_simulation_id`, {timing.settings} settings "
            f"({timing.settings_bytes:,} B of JSON) | {fmt_time(m.medians['module'])} "
            f"| {fmt_time(m.medians['floor'])} "
            f"| {fmt_ratio(m.medians['module'], m.medians['floor'])} | {m.reps} |"
        )
    return lines


def operation_rows(
    measured: dict[str, dict[str, Measured]],
    rows: Iterable[tuple[str, str]],
    columns: Callable[[Measured | None, str], list[str]],
) -> list[str]:
    """One row per variant of each operation measured (vantorel first): the
    operation's title, the variant's label, then `columns(measured, variant)`
    for each store (with None where the store lacks the operation)."""
    lines = []
    for op, title in rows:
        per_store = [by_operation.get(op) for by_operation in measured.values()]
        present = [m for m in per_store if m is not None]
        if not present:
            continue
        for i, (variant, variant_label) in enumerate(present[0].labels.items()):
            cells = [
                title if i == 0 else "",
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


def local_table(run: BenchRun, n: int) -> list[str]:
    """The section of the local stores of `n` results."""
    shapes = [s for s in SHAPES if (s.name, n) in run.local]
    lines = ["", f"## {n:,} results", ""]
    if n == run.cfg.kept_size:
        lines += [f"Small results only. The store was {run.kept_origin}.", ""]
    builds = []
    for shape in shapes:
        build = run.builds.get((shape.name, n))
        if build is not None:
            builds.append(
                f"{shape.name}: {fmt_time(build.saves)} for {n:,} saves "
                f"({fmt_time(build.saves / n)} per save; filling diskcache and "
                f"joblib with the same records: {fmt_time(build.alternatives)})"
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
    lines += operation_rows(
        {s.name: run.local[(s.name, n)] for s in shapes}, titles(LOCAL), local_columns
    )
    return lines


def s3_section(s3: S3Run) -> list[str]:
    sizes = list(s3.results)
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
        lines += operation_rows({"s3": s3.results[n]}, titles(S3), s3_columns)
    return lines


def late_section(s3: S3Run) -> list[str]:
    """list_all on loopback and on the server that answers late, side by side."""
    loopback = s3.results[max(s3.results)].get("list_all") if s3.results else None
    late = s3.late.get("list_all")
    if loopback is None or late is None:
        return []
    late_n = f"{s3.late_size:,}"
    lines = [
        "",
        f"### S3: reads in flight together or one by one ({late_n} results)",
        "",
        f"`list_simulation_results()` of the {late_n} results above, next to the "
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
    for variant, label in late.labels.items():
        cells = [label if variant != "module" else "**vantorel** `list_simulation_results()`"]
        for m in (loopback, late):
            cells += [
                fmt_time(m.medians[variant]),
                "" if variant == "module" else fmt_ratio(m.medians["module"], m.medians[variant]),
            ]
        cells.append(fmt_requests(late.requests[variant]))
        cells.append(f"{max(r.most_in_flight for r in late.requests[variant]):,}")
        lines.append("| " + " | ".join(cells) + " |")
    lines += ["", f"Rounds: {loopback.reps} on loopback, {late.reps} with the added latency."]
    return lines


def plot_section() -> list[str]:
    return [
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


def plot(results: StoreResults, path: Path) -> None:
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
