"""The commands that read the store: ``ls``, ``show``, ``diff``, ``plot``,
``export`` and ``stats``."""

from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Annotated, Any

import typer
from rich import box
from rich.table import Table

from vantorel import data
from vantorel.cli import spectra
from vantorel.cli.options import (
    ComponentOption,
    FactoryOption,
    IdArgument,
    JsonOption,
    PdkOption,
    StatusOption,
    StoreOption,
    TypeOption,
    WhereOption,
    id_prefixes,
)
from vantorel.cli.selection import (
    column_names,
    listed_results,
    listing_filters,
    meeting,
    passing,
    read_ids,
    usage_error_for,
)
from vantorel.cli.session import (
    CommandError,
    Session,
    choose_store,
    reachable_store,
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
from vantorel.models import StoredSimulationResult
from vantorel.store import Store

if TYPE_CHECKING:
    from matplotlib.figure import Figure

ABSENT = "(absent)"
EXPORT_SUFFIXES: dict[str, data.ExportFormat] = {
    ".csv": "csv",
    ".parquet": "parquet",
    ".nc": "netcdf",
    ".jsonl": "jsonl",
}


def file_sizes(
    store: Store, records: list[StoredSimulationResult], simulation_type: str | None
) -> list[int | None]:
    """The size of each record's file (None where none is named after the
    record), from one listing of the names in the store (or in the type
    directory the records were listed from)."""
    if not records:
        return []
    sizes = {(file.simulation_type, file.name): file.size for file in store.files(simulation_type)}
    return [
        sizes.get((record.simulation_type, f"{record.component_name}_{record.simulation_id}.json"))
        for record in records
    ]


def shown_value(value: Any, absent: str = "") -> str:
    """A setting's value as a cell shows it; `absent` for a result without
    the setting."""
    return absent if value is data.ABSENT else format_value(value)


def records_table(
    records: list[StoredSimulationResult],
    sizes: list[int | None] | None,
    columns: dict[str, list[Any]] | None = None,
) -> Table:
    """The records, one row each, with their file sizes and the values of
    the named setting `columns` (heading: values, one per record)."""
    table = Table(box=box.SIMPLE_HEAD)
    table.add_column("date (UTC)", no_wrap=True, min_width=16)
    table.add_column("type")
    table.add_column("component")
    table.add_column("status")
    table.add_column("ID", no_wrap=True, min_width=16)
    table.add_column("run time", justify="right", no_wrap=True)
    if sizes is not None:
        table.add_column("size", justify="right", no_wrap=True)
    for heading in columns or {}:
        table.add_column(shown(heading), overflow="fold")
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
        row += [shown(shown_value(values[index])) for values in (columns or {}).values()]
        table.add_row(*row)
    return table


def setting_columns(
    records: list[StoredSimulationResult], names: list[str]
) -> dict[str, list[Any]]:
    """The values of the named columns (bare leaf names accepted), headed
    by their shortest unambiguous names."""
    rows, all_columns = spectra.labelled_rows(records)
    with usage_error_for("--columns"):
        chosen = [data.resolve_column(name, all_columns) for name in names]
    return {
        spectra.short_name(column, all_columns): [row.get(column, data.ABSENT) for row in rows]
        for column in chosen
    }


@reports_errors
def ls(
    ctx: typer.Context,
    component: ComponentOption = None,
    factory: FactoryOption = None,
    simulation_type: TypeOption = None,
    pdk: PdkOption = None,
    status: StatusOption = None,
    where: WhereOption = None,
    columns: Annotated[
        str | None,
        typer.Option(
            "--columns",
            metavar="COLUMNS",
            help="Also show these settings, e.g. radius,gap (bare names when unambiguous).",
        ),
    ] = None,
    limit: Annotated[
        int | None,
        typer.Option("--limit", metavar="N", min=1, help="Show at most this many (the newest)."),
    ] = None,
    as_json: JsonOption = False,
    store_location: StoreOption = None,
) -> None:
    """List stored results, newest first.

    --json gives each result's settings, model parameters and
    hyperparameters with its metadata.
    """
    session = session_of(ctx)
    choose_store(ctx, store_location)
    store = reachable_store(session)
    with usage_error_for("--columns"):
        names = column_names(columns) if columns is not None else []
    filters = listing_filters(component, factory, simulation_type, pdk, status)
    matching = listed_results(session, store, filters, where)
    records = matching[:limit]
    sizes = file_sizes(store, records, simulation_type)
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
                    "component_settings": record.component_settings,
                    "model_parameters": record.model_parameters,
                    "hyperparameters": record.hyperparameters.model_dump(mode="json"),
                }
            )
        return
    if not records:
        session.say("No results.")
        return
    session.out.print(records_table(records, sizes, setting_columns(records, names)))
    if len(records) < len(matching):
        session.say(f"{len(records)} of {len(matching)} results (the newest; see --limit).")


@reports_errors
def show(
    ctx: typer.Context,
    simulation_id: IdArgument,
    as_json: Annotated[
        bool, typer.Option("--json", help="The whole record as one JSON object, as stored.")
    ] = False,
    store_location: StoreOption = None,
) -> None:
    """Show one result: identity, settings, metadata and a summary of its data."""
    session = session_of(ctx)
    choose_store(ctx, store_location)
    [(record, file)] = read_ids(session, reachable_store(session), [simulation_id])
    if as_json:
        print_json_line(record.model_dump(mode="json"))
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
        f"{format_number(min(record.wavelengths))} to {format_number(max(record.wavelengths))} µm"
        if record.wavelengths
        else "none"
    )
    out.print(shown(f"Result data ({len(record.wavelengths)} wavelengths: {span})", "bold"))
    table = Table(box=box.SIMPLE_HEAD)
    for column in ("entry", "kind", "length", "min", "max"):
        table.add_column(column, justify="left" if column in ("entry", "kind") else "right")
    for name, value in record.result.items():
        summary = spectra.summarize_entry(value)
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
def diff(
    ctx: typer.Context,
    first_id: IdArgument,
    second_id: IdArgument,
    store_location: StoreOption = None,
) -> None:
    """Compare two results: the identity fields and settings that differ,
    and per entry of their data the largest difference."""
    session = session_of(ctx)
    choose_store(ctx, store_location)
    found = read_ids(session, reachable_store(session), [first_id, second_id])
    first, second = found[0][0], found[-1][0]  # one ID given twice: itself
    difference = data.diff_results(first, second)
    out = session.out
    out.print(shown(f"{first.simulation_id} (first) and {second.simulation_id} (second)", "bold"))
    if difference.identity:
        table = Table("field", "first", "second", box=box.SIMPLE_HEAD)
        for name, (a, b) in difference.identity.items():
            table.add_row(shown(name), shown(shown_value(a, ABSENT)), shown(shown_value(b, ABSENT)))
        out.print(table)
    else:
        session.say("Identity and settings: the same.")
    table = Table(box=box.SIMPLE_HEAD)
    table.add_column("entry")
    table.add_column("largest |difference|", justify="right")
    table.add_column("at (µm)", justify="right")
    table.add_column("note")
    for entry in difference.entries:
        table.add_row(
            shown(entry.entry),
            shown(format_number(entry.largest)),
            shown(format_number(entry.wavelength)),
            shown(entry.note),
        )
    out.print(table)


PlotOutput = Annotated[
    Path | None,
    typer.Option(
        "--output",
        "-o",
        metavar="FILE",
        dir_okay=False,
        help="Write the plot to this .png, .svg or .pdf file instead of opening a window.",
    ),
]


@reports_errors
def plot(
    ctx: typer.Context,
    simulation_ids: Annotated[
        list[str] | None,
        typer.Argument(
            metavar="ID",
            callback=id_prefixes,
            show_default=False,
            help="Results' IDs or unique prefixes (4+); without any, the results that "
            "pass the filters.",
        ),
    ] = None,
    output: PlotOutput = None,
    decibels: Annotated[
        bool, typer.Option("--db/--linear", help="Power in dB (10·log10) or linear.")
    ] = False,
    entries: Annotated[
        list[str] | None,
        typer.Option("--entry", metavar="NAME", help="Plot only this entry (repeatable)."),
    ] = None,
    labels: Annotated[
        str | None,
        typer.Option(
            "--label",
            metavar="COLUMNS",
            help="Label curves by these settings, e.g. radius,gap (default: those that differ).",
        ),
    ] = None,
    x: Annotated[
        str | None,
        typer.Option(
            "--x",
            metavar="COLUMN",
            help="Plot a figure of merit (--metric) against this setting, e.g. radius.",
        ),
    ] = None,
    metric: Annotated[
        str | None,
        typer.Option(
            "--metric",
            metavar="FUNC(ENTRY)",
            help="The figure of merit for --x: min, max or mean of what the spectra plot "
            "draws of ENTRY, e.g. 'min(o1@0,o2@0)'.",
        ),
    ] = None,
    component: ComponentOption = None,
    factory: FactoryOption = None,
    simulation_type: TypeOption = None,
    pdk: PdkOption = None,
    status: StatusOption = None,
    where: WhereOption = None,
    store_location: StoreOption = None,
) -> None:
    """Plot spectra against wavelength, or a figure of merit against a setting.

    Without --x: the spectra of the results overlaid, one curve per result
    and entry, labelled by the settings that differ between the results.
    Plots every entry that holds one number per wavelength, or a
    {"real": [...], "imag": [...]} pair (as power |z|²); names the others.

    With --x COLUMN --metric 'FUNC(ENTRY)': one point per result, against
    the setting COLUMN, one line per value of the other settings that
    differ (or of --label).
    """
    session = session_of(ctx)
    choose_store(ctx, store_location)
    if output is not None and output.suffix.lower() not in spectra.PLOT_SUFFIXES:
        raise CommandError(
            f"-o {output}: the file name must end in {', '.join(spectra.PLOT_SUFFIXES)}",
            exit_code=2,
        )
    if (x is None) != (metric is None):
        raise CommandError("--x and --metric go together", exit_code=2)
    with usage_error_for("--label"):
        label_columns = column_names(labels) if labels is not None else None
    with usage_error_for("--metric"):
        parsed_metric = data.parse_metric(metric) if metric is not None else None
    try:
        import matplotlib  # noqa: F401  (checked before any work)
    except ModuleNotFoundError:
        raise CommandError("plotting needs matplotlib: pip install 'vantorel[plot]'") from None
    store = reachable_store(session)
    filters = listing_filters(component, factory, simulation_type, pdk, status)
    if simulation_ids:
        records = [record for record, _ in read_ids(session, store, simulation_ids)]
        records = meeting(passing(records, filters), where)
    else:
        records = listed_results(session, store, filters, where)
    if not records:
        raise CommandError("nothing to plot: no result is named or passes the filters")
    if x is not None and parsed_metric is not None:
        plot_merit(session, records, x, parsed_metric, decibels, label_columns, output)
    else:
        plot_spectra(session, records, entries, decibels, label_columns, output)


def plot_spectra(
    session: Session,
    records: list[StoredSimulationResult],
    entries: list[str] | None,
    decibels: bool,
    label_columns: list[str] | None,
    output: Path | None,
) -> None:
    with usage_error_for("--label"):
        found, skipped = spectra.collect_spectra(records, entries, label_columns)
    for entry in skipped:
        session.note(f"skipped {entry.label}: {entry.reason}")
    if not found:
        raise CommandError("nothing to plot: no entry holds one number per wavelength")
    if decibels:
        for spectrum in found:
            no_level = sum(point <= 0 for point in spectrum.power)
            if no_level:
                session.note(f"{spectrum.label}: {no_level} value(s) ≤ 0 have no dB level (gaps)")
    title = spectra.plot_title(records, list(dict.fromkeys(spectrum.entry for spectrum in found)))

    def draw(figure: "Figure | None") -> "Figure":
        return spectra.spectra_figure(found, decibels, title, figure=figure)

    finish_plot(session, draw, output, f"{len(found)} spectra from {len(records)} result(s)")


def plot_merit(
    session: Session,
    records: list[StoredSimulationResult],
    x: str,
    metric: data.Metric,
    decibels: bool,
    label_columns: list[str] | None,
    output: Path | None,
) -> None:
    _, columns = spectra.labelled_rows(records)
    with usage_error_for("--x"):
        data.resolve_column(x, columns)
    with usage_error_for("--label"):
        for name in label_columns or ():
            data.resolve_column(name, columns)
    points = spectra.merit_points(records, x, metric, decibels, label_columns)
    for entry in points.skipped:
        session.note(f"skipped {entry.label}: {entry.reason}")
    count = sum(len(series.x) for series in points.series)
    if not count:
        raise CommandError(f"nothing to plot: no result has both {x} and a value of {metric}")
    title = spectra.plot_title(records, [str(metric)])

    def draw(figure: "Figure | None") -> "Figure":
        return spectra.merit_figure(points, metric, decibels, title, figure=figure)

    finish_plot(session, draw, output, f"{count} result(s) in {len(points.series)} series")


def finish_plot(
    session: Session,
    draw: Callable[["Figure | None"], "Figure"],
    output: Path | None,
    what: str,
) -> None:
    """Writes the figure to `output`, or opens it in a window."""
    if output is not None:
        draw(None).savefig(output)
        session.say(f"Wrote {output}: {what}.")
        return
    import matplotlib.pyplot as pyplot
    from matplotlib.backends.registry import BackendFilter, backend_registry

    # pyplot falls back to a file-only backend when there is no display.
    if pyplot.get_backend().lower() not in backend_registry.list_builtin(BackendFilter.INTERACTIVE):
        raise CommandError("no display to open a window on: pass -o FILE.png")
    draw(pyplot.figure(figsize=spectra.FIGURE_SIZE_INCHES))
    pyplot.show()


@reports_errors
def export(
    ctx: typer.Context,
    output: Annotated[
        Path,
        typer.Option("--output", "-o", metavar="FILE", dir_okay=False, help="The file to write."),
    ],
    export_format: Annotated[
        data.ExportFormat | None,
        typer.Option(
            "--format",
            metavar="csv|parquet|netcdf|jsonl",
            help="The table (csv, parquet), the spectra (netcdf) or whole records (jsonl, "
            "one per line); default: by the file's suffix (.csv, .parquet, .nc, .jsonl).",
        ),
    ] = None,
    component: ComponentOption = None,
    factory: FactoryOption = None,
    simulation_type: TypeOption = None,
    pdk: PdkOption = None,
    status: StatusOption = None,
    where: WhereOption = None,
    store_location: StoreOption = None,
) -> None:
    """Export the results that pass the filters, for pandas, xarray or any
    tool that reads CSV, Parquet, netCDF or JSON Lines."""
    session = session_of(ctx)
    choose_store(ctx, store_location)
    chosen_format = export_format or EXPORT_SUFFIXES.get(output.suffix.lower())
    if chosen_format is None:
        raise CommandError(
            f"-o {output}: pass --format, or end the file name in {', '.join(EXPORT_SUFFIXES)}",
            exit_code=2,
        )
    filters = listing_filters(component, factory, simulation_type, pdk, status)
    records = listed_results(session, reachable_store(session), filters, where)
    with session.busy(f"Writing {output}"):
        data.export_results(records, output, chosen_format)
    session.say(f"Wrote {output}: {len(records)} result(s) as {chosen_format}.")


@reports_errors
def stats(ctx: typer.Context, store_location: StoreOption = None) -> None:
    """Count results, their bytes and oldest/newest dates per type, status and PDK."""
    session = session_of(ctx)
    choose_store(ctx, store_location)
    store = reachable_store(session)
    records = listed_results(session, store, {}, None)
    sizes = [size or 0 for size in file_sizes(store, records, None)]
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
    session.say(f"{len(records)} result(s), {format_bytes(sum(sizes))} in {store.location}")
