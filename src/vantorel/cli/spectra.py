"""The spectra held in results, their summary, and their plots: spectra
against wavelength, and a figure of merit against a swept setting.

A result entry is a spectrum when it holds one real number per wavelength
(drawn as it is) or a ``{"real": [...], "imag": [...]}`` pair of such lists
(a complex amplitude, drawn as power |z|²). Curves of several results are
labelled by the settings that differ between them. matplotlib is imported
only by the functions that draw.
"""

import math
from collections import Counter
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from numbers import Real
from typing import TYPE_CHECKING, Any

from vantorel.cli.terminal import escape_controls
from vantorel.data import (
    ABSENT,
    IDENTITY_COLUMNS,
    NAMED_IDENTITY,
    ColumnNameError,
    Metric,
    in_decibels,
    is_complex_pair,
    is_number_list,
    leaf_columns,
    metric_value,
    power_of,
    record_row,
    resolve_column,
)
from vantorel.models import StoredSimulationResult

if TYPE_CHECKING:
    from cycler import Cycler
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

FIGURE_SIZE_INCHES = (8, 4.5)
PLOT_SUFFIXES = (".png", ".svg", ".pdf")
# Ten colours per line style: curves past the tenth change style.
LINE_STYLES = ("-", "--", ":", "-.")
LEGEND_ROWS = 20
TITLE_NAMES = 3  # names listed in a title before it counts them instead


@dataclass(frozen=True)
class Spectrum:
    label: str
    wavelengths: list[float]
    power: list[float]
    entry: str


@dataclass(frozen=True)
class SkippedEntry:
    label: str
    reason: str


def summarize_entry(value: Any) -> dict[str, Any]:
    """Kind, length and, for numbers, min/max of one result entry."""
    if is_number_list(value) or is_complex_pair(value):
        points = power_of(value)
        assert points is not None
        finite = [point for point in points if math.isfinite(point)]
        return {
            "kind": "numbers" if isinstance(value, list) else "complex (|z|²)",
            "length": len(points),
            "min": min(finite) if finite else None,
            "max": max(finite) if finite else None,
        }
    if isinstance(value, Real) and not isinstance(value, bool):
        return {"kind": "number", "length": 1, "min": value, "max": value}
    if isinstance(value, (list, dict)):
        kind = "list" if isinstance(value, list) else "mapping"
        return {"kind": kind, "length": len(value), "min": None, "max": None}
    return {"kind": type(value).__name__, "length": None, "min": None, "max": None}


def entry_spectra(
    record: StoredSimulationResult,
    entries: Sequence[str] | None,
) -> tuple[dict[str, list[float]], dict[str, str]]:
    """The power of each entry of a result that holds a spectrum (only the
    named entries, when given), and why each other one holds none."""
    found: dict[str, list[float]] = {}
    missed: dict[str, str] = {}
    count = len(record.wavelengths)
    for name in entries if entries else record.result:
        if name not in record.result:
            missed[name] = "no such entry"
            continue
        power = power_of(record.result[name])
        if power is None:
            kind = summarize_entry(record.result[name])["kind"]
            missed[name] = f"holds a {kind}, not one number per wavelength"
        elif len(power) != count:
            missed[name] = f"{len(power)} values for {count} wavelengths"
        else:
            found[name] = power
    return found, missed


def collect_spectra(
    records: Sequence[StoredSimulationResult],
    entries: Sequence[str] | None,
    label_columns: Sequence[str] | None = None,
) -> tuple[list[Spectrum], list[SkippedEntry]]:
    """The spectra of several results and the entries that hold none, with
    the reason. A curve is labelled by its entry for one result; for more,
    by the result's label (see ``result_labels``), followed by the entry
    when more than one entry is drawn. Skipped entries name the result by
    component and ID."""
    labels = result_labels(records, label_columns)
    found = [entry_spectra(record, entries) for record in records]
    drawn = {name for powers, _ in found for name in powers}
    spectra: list[Spectrum] = []
    skipped: list[SkippedEntry] = []
    for record, label, (powers, missed) in zip(records, labels, found, strict=True):
        source = f"{record.component_name} {record.simulation_id[:8]}" if len(records) > 1 else ""
        if not record.result and not entries:
            skipped.append(
                SkippedEntry(source or record.component_name, "the result has no entries")
            )
        for name, power in powers.items():
            curve = name if len(records) == 1 else label if len(drawn) == 1 else f"{label}: {name}"
            spectra.append(Spectrum(curve, record.wavelengths, power, name))
        skipped += [
            SkippedEntry(f"{source}: {name}" if source else name, reason)
            for name, reason in missed.items()
        ]
    return spectra, skipped


# --------------------------------------------------------------- labels


def labelled_rows(
    records: Sequence[StoredSimulationResult],
) -> tuple[list[dict[str, Any]], list[str]]:
    """The table row of each record and the table's columns."""
    rows = [record_row(record) for record in records]
    return rows, [*IDENTITY_COLUMNS, *leaf_columns(rows)]


def differing_columns(rows: Sequence[Mapping[str, Any]], columns: Sequence[str]) -> list[str]:
    """The identity and setting columns whose values are not the same in
    every row (a missing value counts as a value)."""
    candidates = [
        column for column in columns if column in NAMED_IDENTITY or column not in IDENTITY_COLUMNS
    ]
    return [
        column for column in candidates if len({repr(row.get(column, ABSENT)) for row in rows}) > 1
    ]


def telling_columns(
    rows: Sequence[Mapping[str, Any]], columns: Sequence[str], given: Sequence[str] = ()
) -> list[str]:
    """The fewest of ``columns`` that, with the ``given`` ones, tell the
    rows apart as all of them do, in their order. Dropped first: settings
    that some rows lack, then the factory and simulation type, then the
    component name, then settings that every row has (the last first). So a
    sweep is told apart by what was swept rather than by a name given to
    each variant, and different components by their names rather than by
    settings that most of them lack."""

    def groups(chosen: Sequence[str]) -> int:
        return len({tuple(repr(row.get(c, ABSENT)) for c in (*given, *chosen)) for row in rows})

    def drop_order(column: str) -> tuple[int, int]:
        if column == "component_name":
            rank = 2
        elif column in NAMED_IDENTITY:
            rank = 1
        else:
            rank = 3 if all(column in row for row in rows) else 0
        return rank, -columns.index(column)

    wanted = groups(columns)
    kept = list(columns)
    for column in sorted(columns, key=drop_order):
        fewer = [name for name in kept if name != column]
        if groups(fewer) == wanted:
            kept = fewer
    return kept


def short_name(column: str, columns: Sequence[str]) -> str:
    """The shortest tail of a column's path that still names it alone."""
    parts = column.split(".")
    for start in range(len(parts) - 1, 0, -1):
        tail = ".".join(parts[start:])
        try:
            if resolve_column(tail, columns) == column:
                return tail
        except ColumnNameError:
            continue
    return column


def format_setting(name: str, value: Any) -> str:
    if isinstance(value, float):
        value = f"{value:g}"
    return str(value) if name in NAMED_IDENTITY else f"{name}={value}"


def setting_label(row: Mapping[str, Any], columns: Sequence[str], names: Mapping[str, str]) -> str:
    return ", ".join(format_setting(names[column], row.get(column, ABSENT)) for column in columns)


def result_labels(
    records: Sequence[StoredSimulationResult], label_columns: Sequence[str] | None = None
) -> list[str]:
    """One label per result: the fewest of the identity fields and settings
    that differ between the results that tell them apart (``radius=10,
    gap=0.2``; see ``telling_columns``), or the named columns (bare leaf
    names accepted when they name one column; ColumnNameError otherwise).
    Results that those do not tell apart also get the start of their ID."""
    rows, columns = labelled_rows(records)
    chosen = (
        telling_columns(rows, differing_columns(rows, columns))
        if label_columns is None
        else [resolve_column(name, columns) for name in label_columns]
    )
    names = {column: short_name(column, columns) for column in chosen}
    labels = [setting_label(row, chosen, names) for row in rows]
    repeated = Counter(labels)
    return [
        label
        if label and repeated[label] == 1
        else f"{label} ({record.simulation_id[:8]})"
        if label
        else f"{record.component_name} {record.simulation_id[:8]}"
        for record, label in zip(records, labels, strict=True)
    ]


def listed(names: Sequence[str], what: str) -> str:
    return "; ".join(names) if len(names) <= TITLE_NAMES else f"{len(names)} {what}"


def plot_title(records: Sequence[StoredSimulationResult], subject: Sequence[str]) -> str:
    """A title naming the components and what is drawn (entries, or a
    metric); entry names hold commas, so they are set apart by semicolons."""
    components = list(dict.fromkeys(record.component_name for record in records))
    return f"{listed(components, 'components')}: {listed(subject, 'entries')}"


# --------------------------------------------------------------- drawing


def curve_styles() -> "Cycler[str, str]":
    """Matplotlib's colours, then the same colours with the next line style."""
    import matplotlib
    from cycler import cycler

    colours = matplotlib.rcParams["axes.prop_cycle"].by_key()["color"]
    return cycler(linestyle=LINE_STYLES) * cycler(color=colours)


def add_legend(figure: "Figure", count: int) -> None:
    """The legend to the right of the axes, where it hides no data (centred:
    placed at the top, it would run into the title)."""
    figure.legend(
        loc="outside right center", fontsize="small", ncols=1 + (count - 1) // LEGEND_ROWS
    )


def new_figure(figure: "Figure | None") -> "Figure":
    if figure is None:
        from matplotlib.figure import Figure

        figure = Figure(figsize=FIGURE_SIZE_INCHES)
    # A legend outside the axes needs the constrained layout to make room.
    figure.set_layout_engine("constrained")
    return figure


def drawn(text: str) -> str:
    """Stored text as a plot shows it: control characters escaped, as on
    the terminal, and ``$`` literal (matplotlib reads ``$...$`` as maths)."""
    return escape_controls(text).replace("$", r"\$")


def draw_spectra(axes: "Axes", spectra: Sequence[Spectrum], decibels: bool) -> None:
    axes.set_prop_cycle(curve_styles())
    for spectrum in spectra:
        level = in_decibels(spectrum.power) if decibels else spectrum.power
        axes.plot(spectrum.wavelengths, level, label=drawn(spectrum.label))
    axes.set_xlabel("wavelength (µm)")
    axes.set_ylabel("power (dB)" if decibels else "power")
    axes.grid(True, alpha=0.3)


def spectra_figure(
    spectra: Sequence[Spectrum],
    decibels: bool,
    title: str,
    figure: "Figure | None" = None,
) -> "Figure":
    """Draws the spectra overlaid on one axes of ``figure`` (a new figure,
    not registered with pyplot, when None), the legend outside the axes,
    and returns it."""
    figure = new_figure(figure)
    draw_spectra(figure.add_subplot(), spectra, decibels)
    add_legend(figure, len(spectra))
    figure.suptitle(drawn(title))
    return figure


# ------------------------------------------------------ figure of merit


@dataclass(frozen=True)
class MeritSeries:
    """Figure-of-merit points of the results that share ``label``, in the
    order of ``x``."""

    label: str
    x: list[Any]
    y: list[float]
    simulation_ids: list[str]


@dataclass(frozen=True)
class MeritPlot:
    x_column: str
    x_name: str
    series: list[MeritSeries]
    skipped: list[SkippedEntry]


def merit_points(
    records: Sequence[StoredSimulationResult],
    x: str,
    metric: Metric,
    decibels: bool,
    label_columns: Sequence[str] | None = None,
) -> MeritPlot:
    """The metric of each result against the column ``x`` (a bare leaf name
    accepted; ColumnNameError when it names no column or several), one
    point per result. Results are grouped into series by ``label_columns``,
    or by the fewest other columns that, with ``x``, tell the results apart
    (see ``telling_columns``: a setting derived from the swept one, or a
    component named after its settings, makes no series), in the order of
    their values. Results without an ``x`` or a metric value are skipped,
    with the reason."""
    rows, columns = labelled_rows(records)
    x_column = resolve_column(x, columns)
    if label_columns is None:
        others = [column for column in differing_columns(rows, columns) if column != x_column]
        chosen = telling_columns(rows, others, given=[x_column])
    else:
        chosen = [resolve_column(name, columns) for name in label_columns]
    names = {column: short_name(column, columns) for column in chosen}
    groups: dict[str, list[tuple[Any, float, str]]] = {}
    order: dict[str, tuple[tuple[int, Any], ...]] = {}
    skipped: list[SkippedEntry] = []
    for record, row in zip(records, rows, strict=True):
        source = f"{record.component_name} {record.simulation_id[:8]}"
        if row.get(x_column) is None:
            skipped.append(SkippedEntry(source, f"has no {x_column}"))
            continue
        try:
            value = metric_value(record, metric, decibels)
        except ValueError as error:
            skipped.append(SkippedEntry(source, str(error)))
            continue
        label = setting_label(row, chosen, names)
        groups.setdefault(label, []).append((row[x_column], value, record.simulation_id))
        order.setdefault(label, tuple(sort_key(row.get(column, ABSENT)) for column in chosen))
    categorical = any(
        isinstance(x_value, str) for points in groups.values() for x_value, _, _ in points
    )
    series = []
    for label in sorted(groups, key=order.__getitem__):
        points = groups[label]
        if categorical:
            points = [(str(x_value), value, sid) for x_value, value, sid in points]
        points.sort(key=lambda point: point[0])
        series.append(
            MeritSeries(
                label,
                [point[0] for point in points],
                [point[1] for point in points],
                [point[2] for point in points],
            )
        )
    return MeritPlot(x_column, short_name(x_column, columns), series, skipped)


def sort_key(value: Any) -> tuple[int, Any]:
    """Numbers in their order, then anything else by its text."""
    if isinstance(value, Real) and not isinstance(value, bool):
        return 0, value
    return 1, repr(value)


def merit_figure(
    plot: MeritPlot,
    metric: Metric,
    decibels: bool,
    title: str,
    figure: "Figure | None" = None,
) -> "Figure":
    """Draws the figure of merit against the swept setting, one marker per
    result and one line per series, on ``figure`` (a new one when None)."""
    figure = new_figure(figure)
    axes = figure.add_subplot()
    axes.set_prop_cycle(curve_styles())
    for series in plot.series:
        axes.plot(series.x, series.y, marker="o", label=drawn(series.label or str(metric)))
    axes.set_xlabel(drawn(plot.x_name))
    axes.set_ylabel(drawn(f"{metric} (dB)" if decibels else str(metric)))
    axes.grid(True, alpha=0.3)
    if len(plot.series) > 1:
        add_legend(figure, len(plot.series))
    figure.suptitle(drawn(title))
    return figure
