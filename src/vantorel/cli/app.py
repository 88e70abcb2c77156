"""The ``vantorel`` command line: ``vantorel results ...`` works on the
results store the settings name (``--store`` overrides it for one call).

Exit status: 0 on success, 1 when something was not found, could not be
done or ``verify`` found damage, 2 on a usage error. Failures are one line
``error: ...`` on stderr (a traceback with ``--debug``). Tables and progress
go through Rich: colour and progress bars on a terminal only, no colour with
``NO_COLOR``; ``--json`` prints one JSON object per line.
"""

import functools
import logging
import os
import re
import sys
import time
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from datetime import UTC, datetime, timedelta
from enum import StrEnum
from pathlib import Path
from typing import Annotated, Any

import orjson
import typer
from rich import box
from rich.console import Console
from rich.filesize import decimal as format_size
from rich.progress import track
from rich.table import Table
from rich.text import Text

from vantorel.cli import spectra, store_check
from vantorel.cli.store_check import StorePath
from vantorel.core import simulation_storage as storage
from vantorel.logger import get_logger
from vantorel.models import StoredSimulationResult
from vantorel.settings import get_simulations_dir

STORE_VARIABLE = "VANTOREL_SIMULATIONS_DIR"
PLOT_SUFFIXES = (".png", ".svg")
# Rich lays tables out for 80 columns when it cannot ask a terminal; a file
# or a pipe gets whole lines instead.
WIDTH_OFF_TERMINAL = 200


class CommandError(Exception):
    """A failure reported as one line on stderr."""

    def __init__(self, message: str, exit_code: int = 1) -> None:
        super().__init__(message)
        self.exit_code = exit_code


def make_console(stderr: bool = False) -> Console:
    # NO_COLOR (no-color.org): any non-empty value turns all styling off.
    plain = bool(os.environ.get("NO_COLOR"))
    # Markup off: component names, paths and messages are printed as they are.
    console = Console(
        stderr=stderr, highlight=False, markup=False, color_system=None if plain else "auto"
    )
    if not console.is_terminal:
        console.width = WIDTH_OFF_TERMINAL
    return console


class Session:
    """What the top-level options set up for the command they run."""

    def __init__(self) -> None:
        self.start(debug=False)

    def start(self, debug: bool) -> None:
        self.debug = debug
        self.out = make_console()
        self.err = make_console(stderr=True)


session = Session()


def error_message(error: Exception) -> str:
    if isinstance(error, OSError) and error.filename:
        return f"{error.filename}: {store_check.describe_failure(error)}"
    return store_check.describe_failure(error)


def reports_errors[**Params, Result](command: Callable[Params, Result]) -> Callable[Params, Result]:
    """Turns a failure of ``command`` into ``error: ...`` on stderr and its
    exit status (a traceback with ``--debug``)."""

    @functools.wraps(command)
    def run(*args: Params.args, **kwargs: Params.kwargs) -> Result:
        try:
            return command(*args, **kwargs)
        except (typer.Exit, typer.Abort, typer.BadParameter):
            raise
        except Exception as error:
            if session.debug:
                raise
            report_error(error_message(error))
            raise typer.Exit(error.exit_code if isinstance(error, CommandError) else 1) from error

    return run


def report_error(message: str) -> None:
    session.err.print(f"error: {message}", style="red", soft_wrap=True)


def note(message: str) -> None:
    session.err.print(message, style="yellow", soft_wrap=True)


def stdin_is_terminal() -> bool:
    return sys.stdin.isatty()


def confirm_removal(count: int, yes: bool) -> None:
    """Asks before removing on a terminal; elsewhere only ``--yes`` goes on."""
    if yes:
        return
    if not stdin_is_terminal():
        raise CommandError(
            f"not on a terminal: pass --yes to remove {count} result(s)", exit_code=2
        )
    if not typer.confirm(
        f"Remove {count} result(s) from {get_simulations_dir()}?", default=False, err=True
    ):
        raise CommandError("aborted: nothing removed")


def progress[Item](items: list[Item], description: str) -> Iterable[Item]:
    """``items``, with a progress bar on a terminal."""
    return track(
        items,
        description=description,
        console=session.err,
        transient=True,
        disable=not session.err.is_terminal,
    )


@contextmanager
def busy(description: str) -> Iterator[None]:
    """A spinner on a terminal while one long library call runs."""
    if not session.err.is_terminal:
        yield
        return
    with session.err.status(description):
        yield


# ---------------------------------------------------------------- formats


def parse_date(text: str) -> datetime | None:
    """A stored ``simulation_date`` as an aware UTC time (naive ones are
    taken as UTC), or None when it is no ISO date."""
    try:
        moment = datetime.fromisoformat(text)
    except ValueError:
        return None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=UTC)
    return moment.astimezone(UTC)


def format_date(text: str) -> str:
    moment = parse_date(text)
    return moment.strftime("%Y-%m-%d %H:%M") if moment else text


def format_duration(seconds: float) -> str:
    if seconds < 60:
        return f"{seconds:.1f} s"
    minutes, seconds = divmod(round(seconds), 60)
    if minutes < 60:
        return f"{minutes} min {seconds:02d} s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours} h {minutes:02d} min"


def format_bytes(size: int | None) -> str:
    return "?" if size is None else format_size(size)


def format_number(value: float | None) -> str:
    return "" if value is None else f"{value:.6g}"


def format_value(value: Any) -> str:
    return value if isinstance(value, str) else orjson.dumps(value).decode()


AGE_UNITS = {"s": "seconds", "m": "minutes", "h": "hours", "d": "days", "w": "weeks"}
AGE = re.compile(r"(\d+)\s*([smhdw])")


def parse_age(text: str) -> timedelta:
    match = AGE.fullmatch(text.strip())
    if match is None:
        raise typer.BadParameter(
            f"{text!r} is no age: use a number and a unit, e.g. 30d, 12h, 90m, 2w "
            "(s seconds, m minutes, h hours, d days, w weeks)"
        )
    return timedelta(**{AGE_UNITS[match[2]]: int(match[1])})


def print_json_line(fields: dict[str, Any]) -> None:
    print(orjson.dumps(fields).decode())


# ------------------------------------------------------------ store access


def result_path[P: StorePath](store: P, record: StoredSimulationResult) -> P:
    """The file in ``store`` of a result whose name agrees with its content
    (``verify`` reports the files that do not)."""
    return store / record.simulation_type / f"{record.component_name}_{record.simulation_id}.json"


def file_size(path: StorePath) -> int | None:
    try:
        return path.stat().st_size
    except OSError:
        return None


def file_sizes(records: list[StoredSimulationResult]) -> list[int | None]:
    """The size of each record's file (None where there is none): on object
    storage from one recursive listing rather than a request per file."""
    store = get_simulations_dir()
    if isinstance(store, Path) or not records:
        paths = [result_path(store, record) for record in records]
        return [file_size(path) for path in progress(paths, "Measuring files")]
    listed = store.fs.find(store.path, detail=True)
    return [listed.get(result_path(store, record).path, {}).get("size") for record in records]


def list_results(**filters: str | None) -> list[StoredSimulationResult]:
    with busy("Reading results"):
        return storage.list_simulation_results(**filters)


def load_result(simulation_id: str) -> StoredSimulationResult:
    try:
        record = storage.load_simulation_result(simulation_id)
    except (OSError, ValueError) as error:  # JSON and validation errors too
        raise CommandError(
            f"result {simulation_id} cannot be read: {store_check.describe_failure(error)} "
            "(see 'vantorel results verify')"
        ) from error
    if record is None:
        raise CommandError(f"no result with ID {simulation_id}")
    return record


def records_table(records: list[StoredSimulationResult], sizes: bool = True) -> Table:
    table = Table(box=box.SIMPLE_HEAD)
    table.add_column("date (UTC)", no_wrap=True, min_width=16)
    table.add_column("type")
    table.add_column("component")
    table.add_column("status")
    table.add_column("ID", no_wrap=True, min_width=16)
    table.add_column("run time", justify="right", no_wrap=True)
    if sizes:
        table.add_column("size", justify="right", no_wrap=True)
    file_size_list = file_sizes(records) if sizes else []
    for index, record in enumerate(records):
        status = Text(record.status, style="green" if record.status == "success" else "red")
        row: list[str | Text] = [
            format_date(record.simulation_date),
            record.simulation_type,
            record.component_name,
            status,
            record.simulation_id,
            format_duration(record.execution_time_seconds),
        ]
        if sizes:
            row.append(format_bytes(file_size_list[index]))
        table.add_row(*row)
    return table


def show_removal_plan(records: list[StoredSimulationResult]) -> None:
    session.out.print(records_table(records, sizes=False))
    session.out.print(f"Dry run: {len(records)} result(s) would be removed.")


def remove_by_id(simulation_ids: list[str]) -> int:
    removed = 0
    for simulation_id in progress(simulation_ids, "Removing results"):
        removed += storage.delete_simulation_result(simulation_id)
    return removed


# ---------------------------------------------------------------- commands

app = typer.Typer(
    name="vantorel",
    help="vantorel: chip-design toolkit.",
    no_args_is_help=True,
    pretty_exceptions_enable=False,
)
results_app = typer.Typer(
    name="results",
    help="List, inspect, plot, check and remove stored simulation results.",
    no_args_is_help=True,
)
app.add_typer(results_app)


class Status(StrEnum):
    success = "success"
    error = "error"


ComponentOption = Annotated[
    str | None, typer.Option("--component", help="Only results of this component.")
]
FactoryOption = Annotated[
    str | None, typer.Option("--factory", help="Only results of this factory.")
]
TypeOption = Annotated[
    str | None, typer.Option("--type", help="Only results of this simulation type.")
]
PdkOption = Annotated[str | None, typer.Option("--pdk", help="Only results made with this PDK.")]
StatusOption = Annotated[
    Status | None, typer.Option("--status", help="Only results with this status.")
]
JsonOption = Annotated[bool, typer.Option("--json", help="One JSON object per line, for scripts.")]
DryRunOption = Annotated[
    bool, typer.Option("--dry-run", help="List what would be removed; remove nothing.")
]
YesOption = Annotated[
    bool, typer.Option("--yes", "-y", help="Remove without asking (needed off a terminal).")
]
IdsArgument = Annotated[list[str], typer.Argument(metavar="ID...", show_default=False)]


@app.callback()
def main_options(
    ctx: typer.Context,
    store: Annotated[
        str | None,
        typer.Option(
            "--store",
            metavar="PATH_OR_URL",
            help=f"Results store for this call (default: ${STORE_VARIABLE}, "
            "else <build dir>/simulations).",
        ),
    ] = None,
    debug: Annotated[
        bool, typer.Option("--debug", help="Show tracebacks and the library's debug log.")
    ] = False,
) -> None:
    session.start(debug)
    if store is not None:
        if not store:
            raise typer.BadParameter("must not be empty", param_hint="--store")
        set_variable_for_call(ctx, STORE_VARIABLE, store)
    forward_library_log(ctx, logging.DEBUG if debug else logging.WARNING)


def set_variable_for_call(ctx: typer.Context, name: str, value: str) -> None:
    previous = os.environ.get(name)
    os.environ[name] = value

    def restore() -> None:
        if previous is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = previous

    ctx.call_on_close(restore)


def forward_library_log(ctx: typer.Context, level: int) -> None:
    """Shows the library's log (e.g. the warning for a damaged file a listing
    skips) on stderr for this call."""
    logger = get_logger()
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s: %(message)s"))
    previous_level = logger.level
    logger.setLevel(level)
    logger.addHandler(handler)

    def detach() -> None:
        logger.removeHandler(handler)
        logger.setLevel(previous_level)

    ctx.call_on_close(detach)


@results_app.command()
@reports_errors
def ls(
    component: ComponentOption = None,
    factory: FactoryOption = None,
    simulation_type: TypeOption = None,
    pdk: PdkOption = None,
    status: StatusOption = None,
    limit: Annotated[
        int | None, typer.Option("--limit", min=1, help="Show at most this many (the newest).")
    ] = None,
    as_json: JsonOption = False,
) -> None:
    """List stored results, newest first."""
    records = list_results(
        component_name=component,
        factory_name=factory,
        simulation_type=simulation_type,
        pdk_name=pdk,
        status=status.value if status else None,
    )[:limit]
    if as_json:
        for record, size in zip(records, file_sizes(records), strict=True):
            print_json_line(
                {
                    "simulation_id": record.simulation_id,
                    "simulation_date": record.simulation_date,
                    "simulation_type": record.simulation_type,
                    "component_name": record.component_name,
                    "factory_name": record.factory_name,
                    "status": record.status,
                    "pdk_name": record.pdk_name,
                    "pdk_version": record.pdk_version,
                    "execution_time_seconds": record.execution_time_seconds,
                    "file_size_bytes": size,
                }
            )
        return
    if not records:
        session.out.print("No results.")
        return
    session.out.print(records_table(records))


@results_app.command()
@reports_errors
def show(
    simulation_id: Annotated[str, typer.Argument(metavar="ID")],
    as_json: JsonOption = False,
) -> None:
    """Show one result: identity, settings, metadata and a summary of its data."""
    record = load_result(simulation_id)
    path = result_path(get_simulations_dir(), record)
    size = file_size(path)
    entries = {name: spectra.summarize_entry(value) for name, value in record.result.items()}
    wavelengths = {
        "count": len(record.wavelengths),
        "min": min(record.wavelengths, default=None),
        "max": max(record.wavelengths, default=None),
    }
    if as_json:
        fields = record.model_dump(mode="json", exclude={"result", "wavelengths"})
        fields.update(
            wavelengths=wavelengths, result_summary=entries, file=str(path), file_size_bytes=size
        )
        print_json_line(fields)
        return

    out = session.out

    def section(title: str, rows: dict[str, Any]) -> None:
        out.print(Text(title, style="bold"))
        table = Table(box=None, show_header=False, padding=(0, 2, 0, 2))
        table.add_column(style="cyan", no_wrap=True)
        table.add_column(overflow="fold")
        for key, value in rows.items() or [("(none)", "")]:
            table.add_row(key, format_value(value))
        out.print(table)
        out.print()

    section(
        f"Result {record.simulation_id}",
        {
            "component": record.component_name,
            "factory": record.factory_name,
            "simulation type": record.simulation_type,
        },
    )
    section("Component settings", record.component_settings)
    section("Model parameters", record.model_parameters)
    section("Hyperparameters", record.hyperparameters.model_dump())
    metadata = {
        "status": record.status,
        "error message": record.error_message,
        "date": record.simulation_date,
        "run time": format_duration(record.execution_time_seconds),
        "PDK": f"{record.pdk_name} {record.pdk_version}".strip(),
        "vantorel version": record.vantorel_version,
        "file": str(path),
        "file size": format_bytes(size),
    }
    if not record.error_message:
        del metadata["error message"]
    section("Metadata", metadata)
    span = (
        f"{format_number(wavelengths['min'])} to {format_number(wavelengths['max'])} µm"
        if record.wavelengths
        else "none"
    )
    out.print(Text(f"Result data ({wavelengths['count']} wavelengths: {span})", style="bold"))
    table = Table(box=box.SIMPLE_HEAD)
    for column in ("entry", "kind", "length", "min", "max"):
        table.add_column(column, justify="left" if column in ("entry", "kind") else "right")
    for name, summary in entries.items():
        length = summary["length"]
        table.add_row(
            name,
            summary["kind"],
            "" if length is None else str(length),
            format_number(summary["min"]),
            format_number(summary["max"]),
        )
    out.print(table)


@results_app.command()
@reports_errors
def plot(
    simulation_ids: IdsArgument,
    output: Annotated[
        Path | None,
        typer.Option(
            "--output",
            "-o",
            metavar="FILE",
            dir_okay=False,
            help="Write the plot to this PNG or SVG file instead of opening a window.",
        ),
    ] = None,
    decibels: Annotated[
        bool, typer.Option("--db/--linear", help="Power in dB (10·log10) or linear.")
    ] = False,
    entries: Annotated[
        list[str] | None,
        typer.Option("--entry", metavar="NAME", help="Plot only this entry (repeatable)."),
    ] = None,
) -> None:
    """Plot the spectra of one or more results against wavelength, overlaid.

    Plots every entry that holds one number per wavelength, or a
    {"real": [...], "imag": [...]} pair (as power |z|²); names the others.
    """
    if output is not None and output.suffix.lower() not in PLOT_SUFFIXES:
        raise CommandError(f"-o {output}: the file name must end in .png or .svg", exit_code=2)
    try:
        import matplotlib  # noqa: F401  (checked before any work)
    except ModuleNotFoundError:
        raise CommandError("plotting needs matplotlib: pip install 'vantorel[plot]'") from None
    records = [load_result(simulation_id) for simulation_id in dict.fromkeys(simulation_ids)]
    found, skipped = spectra.collect_spectra(records, entries)
    for entry in skipped:
        note(f"skipped {entry.label}: {entry.reason}")
    if not found:
        raise CommandError("nothing to plot: no entry holds one number per wavelength")
    if decibels:
        for spectrum in found:
            no_level = sum(point <= 0 for point in spectrum.power)
            if no_level:
                note(f"{spectrum.label}: {no_level} value(s) ≤ 0 have no dB level (gaps)")
    title = (
        f"{records[0].component_name} ({records[0].simulation_type}, {records[0].simulation_id})"
        if len(records) == 1
        else f"{len(records)} results"
    )
    if output is None:
        show_in_window(found, decibels, title)
        return
    spectra.spectra_figure(found, decibels, title).savefig(output)
    session.out.print(f"Wrote {output}: {len(found)} spectra from {len(records)} result(s).")


def show_in_window(found: list[spectra.Spectrum], decibels: bool, title: str) -> None:
    import matplotlib.pyplot as pyplot
    from matplotlib.backends.registry import BackendFilter, backend_registry

    # pyplot falls back to a file-only backend when there is no display.
    if pyplot.get_backend().lower() not in backend_registry.list_builtin(BackendFilter.INTERACTIVE):
        raise CommandError("no display to open a window on: pass -o FILE.png")
    figure = pyplot.figure(figsize=spectra.FIGURE_SIZE_INCHES, layout="constrained")
    spectra.spectra_figure(found, decibels, title, figure=figure)
    pyplot.show()


@results_app.command()
@reports_errors
def rm(simulation_ids: IdsArgument, dry_run: DryRunOption = False, yes: YesOption = False) -> None:
    """Remove results by ID."""
    files = {
        simulation_id: storage._find_simulation_file(simulation_id)
        for simulation_id in dict.fromkeys(simulation_ids)
    }
    missing = [simulation_id for simulation_id, path in files.items() if path is None]
    for simulation_id in missing:
        report_error(f"no result with ID {simulation_id}")
    present = {simulation_id: path for simulation_id, path in files.items() if path}
    if present and dry_run:
        table = Table("ID", "file", box=box.SIMPLE_HEAD)
        for simulation_id, path in present.items():
            table.add_row(simulation_id, f"{path.parent.name}/{path.name}")
        session.out.print(table)
        session.out.print(f"Dry run: {len(present)} result(s) would be removed.")
    elif present:
        confirm_removal(len(present), yes)
        session.out.print(f"Removed {remove_by_id(list(present))} result(s).")
    if missing:
        raise typer.Exit(1)


@results_app.command()
@reports_errors
def clear(
    component: ComponentOption = None,
    factory: FactoryOption = None,
    simulation_type: TypeOption = None,
    pdk: PdkOption = None,
    dry_run: DryRunOption = False,
    yes: YesOption = False,
) -> None:
    """Remove every result that matches the filters (all results without any)."""
    filters = dict(
        component_name=component,
        factory_name=factory,
        simulation_type=simulation_type,
        pdk_name=pdk,
    )
    records = list_results(**filters)
    if not records:
        session.out.print("No results match: nothing to remove.")
    elif dry_run:
        show_removal_plan(records)
    else:
        confirm_removal(len(records), yes)
        with busy("Removing results"):
            removed = storage.clear_simulation_results(**filters)
        session.out.print(f"Removed {removed} result(s).")


@results_app.command()
@reports_errors
def prune(
    older_than: Annotated[
        timedelta,
        typer.Option(
            "--older-than",
            metavar="AGE",
            parser=parse_age,
            show_default=False,
            help="Remove results saved longer ago than this (by their stored date): "
            "30d, 12h, 90m (minutes), 2w, ...",
        ),
    ],
    status: StatusOption = None,
    pdk_version: Annotated[
        str | None, typer.Option("--pdk-version", help="Only results made with this PDK version.")
    ] = None,
    dry_run: DryRunOption = False,
    yes: YesOption = False,
) -> None:
    """Remove old results, by their stored simulation date and metadata."""
    cutoff = datetime.now(UTC) - older_than
    selected = []
    for record in list_results(status=status.value if status else None):
        if pdk_version is not None and record.pdk_version != pdk_version:
            continue
        saved = parse_date(record.simulation_date)
        if saved is None:
            note(
                f"kept {record.simulation_id}: its simulation_date "
                f"{record.simulation_date!r} is no date"
            )
        elif saved < cutoff:
            selected.append(record)
    if not selected:
        session.out.print("No results match: nothing to remove.")
    elif dry_run:
        show_removal_plan(selected)
    else:
        confirm_removal(len(selected), yes)
        removed = remove_by_id([record.simulation_id for record in selected])
        session.out.print(f"Removed {removed} result(s).")


@results_app.command()
@reports_errors
def verify(
    repair: Annotated[
        bool,
        typer.Option(
            "--repair",
            help=f"Move damaged files to <store>/{store_check.QUARANTINE_DIR}/ "
            "(never deleting them) and remove temporary files of saves "
            "that are over.",
        ),
    ] = False,
) -> None:
    """Check every result file and look for files that killed saves left.

    A result file must read, decode, validate and be named after its
    content (component, ID, type directory).
    """
    store = get_simulations_dir()
    now = time.time()
    files = store_check.files_to_check(store)
    findings = [
        finding
        for path in progress(files, "Checking files")
        if (finding := store_check.check_file(path, now)) is not None
    ]
    damage = [finding for finding in findings if finding.problem.is_damage]
    if findings:
        table = Table(box=box.SIMPLE_HEAD)
        table.add_column("file", overflow="fold")
        table.add_column("problem")
        table.add_column("detail")
        if repair:
            table.add_column("action", overflow="fold")
        for finding in findings:
            row = [
                f"{finding.path.parent.name}/{finding.path.name}",
                finding.problem.value,
                finding.detail,
            ]
            if repair:
                try:
                    row.append(store_check.repair(store, finding))
                except OSError as error:
                    row.append(f"failed: {error_message(error)}")
            table.add_row(*row, style="red" if finding.problem.is_damage else None)
        session.out.print(table)
    session.out.print(
        f"Checked {len(files)} file(s) in {store}: {len(damage)} damaged or left over."
    )
    if damage and not repair:
        session.out.print(
            "Run 'vantorel results verify --repair' to quarantine damaged "
            "files and remove left-over temporary files."
        )
    if damage:
        raise typer.Exit(1)


@results_app.command()
@reports_errors
def stats() -> None:
    """Count results, their bytes and oldest/newest dates per type, status and PDK."""
    records = list_results()
    sizes = {
        record.simulation_id: size or 0
        for record, size in zip(records, file_sizes(records), strict=True)
    }
    groupings: dict[str, Callable[[StoredSimulationResult], str]] = {
        "type": lambda record: record.simulation_type,
        "status": lambda record: record.status,
        "PDK": lambda record: f"{record.pdk_name} {record.pdk_version}".strip(),
    }
    for title, key in groupings.items():
        groups: dict[str, list[StoredSimulationResult]] = {}
        for record in records:  # newest first, as listed
            groups.setdefault(key(record), []).append(record)
        table = Table(title, "results", "size", "oldest (UTC)", "newest (UTC)", box=box.SIMPLE_HEAD)
        for name, members in sorted(groups.items()):
            table.add_row(
                name,
                str(len(members)),
                format_bytes(sum(sizes[member.simulation_id] for member in members)),
                format_date(members[-1].simulation_date),
                format_date(members[0].simulation_date),
            )
        session.out.print(table)
    session.out.print(
        f"{len(records)} result(s), {format_bytes(sum(sizes.values()))} in {get_simulations_dir()}"
    )
