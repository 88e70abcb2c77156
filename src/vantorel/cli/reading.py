"""The commands that read the store: ``ls``, ``show``, ``plot`` and
``stats``."""

from collections.abc import Callable
from pathlib import Path
from typing import Annotated, Any

import typer
from rich import box
from rich.table import Table

from vantorel.cli import spectra
from vantorel.cli.options import (
    ComponentOption,
    FactoryOption,
    IdsArgument,
    JsonOption,
    PdkOption,
    StatusOption,
    TypeOption,
)
from vantorel.cli.session import (
    CommandError,
    Session,
    open_store,
    reports_errors,
    session_of,
)
from vantorel.cli.terminal import (
    format_bytes,
    format_date,
    format_duration,
    format_number,
    format_value,
    print_json_line,
    shown,
)
from vantorel.core import file_stores, simulation_storage as storage
from vantorel.core.file_stores import describe_failure
from vantorel.models import StoredSimulationResult

PLOT_SUFFIXES = (".png", ".svg")


def result_name(record: StoredSimulationResult) -> str:
    """The name a save gives the file of `record`."""
    return f"{record.component_name}_{record.simulation_id}.json"


def file_sizes(
    files: file_stores.Files, records: list[StoredSimulationResult], simulation_type: str | None
) -> list[int | None]:
    """The size of each record's file (None where none is named after the
    record), from one listing of the names in the store (or in the type
    directory the records were listed from)."""
    if not records:
        return []
    sizes = {(file.simulation_type, file.name): file.size for file in files.names(simulation_type)}
    return [sizes.get((record.simulation_type, result_name(record))) for record in records]


def list_results(session: Session, **filters: str | None) -> list[StoredSimulationResult]:
    with session.busy("Reading results"):
        try:
            return storage.list_simulation_results(**filters)
        except ValueError as error:  # what a listing raises is a refused filter
            raise CommandError(str(error), exit_code=2) from error


def load_result(simulation_id: str) -> StoredSimulationResult:
    try:
        record = storage.load_simulation_result(simulation_id)
    except (OSError, ValueError) as error:  # JSON and validation errors too
        raise CommandError(
            f"result {simulation_id} cannot be read: {describe_failure(error)} "
            "(see 'vantorel results verify')"
        ) from error
    if record is None:
        raise CommandError(f"no result with ID {simulation_id}")
    return record


def file_of(files: file_stores.Files, record: StoredSimulationResult) -> file_stores.StoredFile:
    """The file in the store that holds `record`: the one named after it
    in its type directory, else one there with its ID; else where a save
    would put it, of unknown size."""
    name = result_name(record)
    try:
        listed = files.names(record.simulation_type)
    except ValueError:  # a type no directory can have: the record is misplaced
        listed = []
    by_name = [file for file in listed if file.name == name]
    by_id = [file for file in listed if file.simulation_id == record.simulation_id]
    if by_name or by_id:
        return (by_name or by_id)[0]
    place = files.root / record.simulation_type / name
    return file_stores.StoredFile(place, record.simulation_type, name, None, None)


def records_table(records: list[StoredSimulationResult], sizes: list[int | None] | None) -> Table:
    table = Table(box=box.SIMPLE_HEAD)
    table.add_column("date (UTC)", no_wrap=True, min_width=16)
    table.add_column("type")
    table.add_column("component")
    table.add_column("status")
    table.add_column("ID", no_wrap=True, min_width=16)
    table.add_column("run time", justify="right", no_wrap=True)
    if sizes is not None:
        table.add_column("size", justify="right", no_wrap=True)
    for index, record in enumerate(records):
        row = [
            shown(format_date(record.simulation_date)),
            shown(record.simulation_type),
            shown(record.component_name),
            shown(record.status, "green" if record.status == "success" else "red"),
            shown(record.simulation_id),
            shown(format_duration(record.execution_time_seconds)),
        ]
        if sizes is not None:
            row.append(shown(format_bytes(sizes[index])))
        table.add_row(*row)
    return table


@reports_errors
def ls(
    ctx: typer.Context,
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
    session = session_of(ctx)
    files = open_store()
    records = list_results(
        session,
        component_name=component,
        factory_name=factory,
        simulation_type=simulation_type,
        pdk_name=pdk,
        status=status.value if status else None,
    )[:limit]
    sizes = file_sizes(files, records, simulation_type)
    if as_json:
        for record, size in zip(records, sizes, strict=True):
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
        session.say("No results.")
        return
    session.out.print(records_table(records, sizes))


@reports_errors
def show(
    ctx: typer.Context,
    simulation_id: Annotated[str, typer.Argument(metavar="ID")],
    as_json: JsonOption = False,
) -> None:
    """Show one result: identity, settings, metadata and a summary of its data."""
    session = session_of(ctx)
    files = open_store()
    record = load_result(simulation_id)
    file = file_of(files, record)
    entries = {name: spectra.summarize_entry(value) for name, value in record.result.items()}
    wavelengths = {
        "count": len(record.wavelengths),
        "min": min(record.wavelengths, default=None),
        "max": max(record.wavelengths, default=None),
    }
    if as_json:
        fields = record.model_dump(mode="json", exclude={"result", "wavelengths"})
        fields.update(
            wavelengths=wavelengths,
            result_summary=entries,
            file=str(file.path),
            file_size_bytes=file.size,
        )
        print_json_line(fields)
        return

    out = session.out

    def section(title: str, rows: dict[str, Any]) -> None:
        out.print(shown(title, "bold"))
        table = Table(box=None, show_header=False, padding=(0, 2, 0, 2))
        table.add_column(style="cyan", no_wrap=True)
        table.add_column(overflow="fold")
        for key, value in rows.items() or [("(none)", "")]:
            table.add_row(shown(key), shown(format_value(value)))
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
        "file": str(file.path),
        "file size": format_bytes(file.size),
    }
    if not record.error_message:
        del metadata["error message"]
    section("Metadata", metadata)
    span = (
        f"{format_number(wavelengths['min'])} to {format_number(wavelengths['max'])} µm"
        if record.wavelengths
        else "none"
    )
    out.print(shown(f"Result data ({wavelengths['count']} wavelengths: {span})", "bold"))
    table = Table(box=box.SIMPLE_HEAD)
    for column in ("entry", "kind", "length", "min", "max"):
        table.add_column(column, justify="left" if column in ("entry", "kind") else "right")
    for name, summary in entries.items():
        length = summary["length"]
        table.add_row(
            shown(name),
            shown(summary["kind"]),
            shown("" if length is None else length),
            shown(format_number(summary["min"])),
            shown(format_number(summary["max"])),
        )
    out.print(table)


@reports_errors
def plot(
    ctx: typer.Context,
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
    session = session_of(ctx)
    if output is not None and output.suffix.lower() not in PLOT_SUFFIXES:
        raise CommandError(f"-o {output}: the file name must end in .png or .svg", exit_code=2)
    try:
        import matplotlib  # noqa: F401  (checked before any work)
    except ModuleNotFoundError:
        raise CommandError("plotting needs matplotlib: pip install 'vantorel[plot]'") from None
    open_store()
    records = [load_result(simulation_id) for simulation_id in dict.fromkeys(simulation_ids)]
    found, skipped = spectra.collect_spectra(records, entries)
    for entry in skipped:
        session.note(f"skipped {entry.label}: {entry.reason}")
    if not found:
        raise CommandError("nothing to plot: no entry holds one number per wavelength")
    if decibels:
        for spectrum in found:
            no_level = sum(point <= 0 for point in spectrum.power)
            if no_level:
                session.note(f"{spectrum.label}: {no_level} value(s) ≤ 0 have no dB level (gaps)")
    title = (
        f"{records[0].component_name} ({records[0].simulation_type}, {records[0].simulation_id})"
        if len(records) == 1
        else f"{len(records)} results"
    )
    if output is None:
        show_in_window(found, decibels, title)
        return
    spectra.spectra_figure(found, decibels, title).savefig(output)
    session.say(f"Wrote {output}: {len(found)} spectra from {len(records)} result(s).")


def show_in_window(found: list[spectra.Spectrum], decibels: bool, title: str) -> None:
    import matplotlib.pyplot as pyplot
    from matplotlib.backends.registry import BackendFilter, backend_registry

    # pyplot falls back to a file-only backend when there is no display.
    if pyplot.get_backend().lower() not in backend_registry.list_builtin(BackendFilter.INTERACTIVE):
        raise CommandError("no display to open a window on: pass -o FILE.png")
    figure = pyplot.figure(figsize=spectra.FIGURE_SIZE_INCHES, layout="constrained")
    spectra.spectra_figure(found, decibels, title, figure=figure)
    pyplot.show()


@reports_errors
def stats(ctx: typer.Context) -> None:
    """Count results, their bytes and oldest/newest dates per type, status and PDK."""
    session = session_of(ctx)
    files = open_store()
    records = list_results(session)
    sizes = [size or 0 for size in file_sizes(files, records, None)]
    groupings: dict[str, Callable[[StoredSimulationResult], str]] = {
        "type": lambda record: record.simulation_type,
        "status": lambda record: record.status,
        "PDK": lambda record: f"{record.pdk_name} {record.pdk_version}".strip(),
    }
    for title, key in groupings.items():
        groups: dict[str, list[tuple[StoredSimulationResult, int]]] = {}
        for record, size in zip(records, sizes, strict=True):  # newest first, as listed
            groups.setdefault(key(record), []).append((record, size))
        table = Table(title, "results", "size", "oldest (UTC)", "newest (UTC)", box=box.SIMPLE_HEAD)
        for name, members in sorted(groups.items()):
            table.add_row(
                shown(name),
                shown(len(members)),
                shown(format_bytes(sum(size for _, size in members))),
                shown(format_date(members[-1][0].simulation_date)),
                shown(format_date(members[0][0].simulation_date)),
            )
        session.out.print(table)
    session.say(f"{len(records)} result(s), {format_bytes(sum(sizes))} in {files.root}")
