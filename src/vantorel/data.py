"""Stored results as data: a table of what was simulated, the spectra as
arrays, conditions on the table's columns, exports, the comparison of two
results and figures of merit.

The functions work on lists of records as a listing returns them. The table
and the arrays need pandas and xarray (``pip install 'vantorel[data]'``),
imported by the functions that build them; the rest is plain Python.

Columns: ``component_name``, ``factory_name``, ``simulation_type``,
``status``, ``simulation_date``, ``execution_time_seconds``, ``pdk_name``,
then one per leaf of ``component_settings``, ``model_parameters`` and
``hyperparameters``, named by its path (``component_settings.radius``,
``model_parameters.cross_section.width``). A leaf that is not a single value
(a list, an empty mapping) holds its compact JSON text, e.g. ``[10,5]``, so
that every cell compares, sorts and exports as one value. A result that
lacks a leaf the others have leaves its cell empty. Keys are joined as they
are: a key that holds a dot names the same column as the path it spells.

A result entry is a spectrum when it holds one real number per wavelength or
a ``{"real": [...], "imag": [...]}`` pair of such lists (a complex
amplitude). What a plot draws of it, its "quantity", is the stored value for
real entries and the power |z|² for complex ones.
"""

import functools
import importlib
import math
import operator
import re
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from numbers import Real
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, get_args

import orjson

from vantorel.models import StoredSimulationResult

if TYPE_CHECKING:
    import pandas as pd
    import xarray as xr

DATA_EXTRA = "pip install 'vantorel[data]'"
IDENTITY_COLUMNS = (
    "component_name",
    "factory_name",
    "simulation_type",
    "status",
    "simulation_date",
    "execution_time_seconds",
    "pdk_name",
)
TEXT_COLUMNS = ("component_name", "factory_name", "simulation_type", "status", "pdk_name")
LEAF_GROUPS = ("component_settings", "model_parameters", "hyperparameters")
# The identity fields that are not leaves, for labels and comparisons.
NAMED_IDENTITY = ("component_name", "factory_name", "simulation_type")


@contextmanager
def needs_data_extra() -> Iterator[None]:
    """Turns a missing optional module into an ImportError naming the extra."""
    try:
        yield
    except ModuleNotFoundError as error:
        raise ImportError(f"{error.name} is not installed: {DATA_EXTRA}") from error


# ------------------------------------------------------------- entries


def is_number_list(value: Any) -> bool:
    return isinstance(value, list) and all(
        isinstance(item, Real) and not isinstance(item, bool) for item in value
    )


def is_complex_pair(value: Any) -> bool:
    return (
        isinstance(value, dict)
        and value.keys() == {"real", "imag"}
        and is_number_list(value["real"])
        and is_number_list(value["imag"])
        and len(value["real"]) == len(value["imag"])
    )


def power_of(value: Any) -> list[float] | None:
    """The quantity an entry holds, one value per point, or None if it holds
    no spectrum."""
    if is_number_list(value):
        return [float(item) for item in value]
    if is_complex_pair(value):
        return [re * re + im * im for re, im in zip(value["real"], value["imag"], strict=True)]
    return None


def in_decibels(power: list[float]) -> list[float]:
    """10·log10 of each power; non-positive power has no level (NaN, a gap
    in the line)."""
    return [10 * math.log10(point) if point > 0 else math.nan for point in power]


def is_spectrum(value: Any, count: int) -> bool:
    """Whether an entry holds one (real or complex) value per wavelength."""
    if is_complex_pair(value):
        return len(value["real"]) == count > 0
    return is_number_list(value) and len(value) == count > 0


def is_number(value: Any) -> bool:
    return isinstance(value, Real) and not isinstance(value, bool)


# ---------------------------------------------------------------- rows


def leaf_value(value: Any) -> Any:
    """A value as a table cell holds it: lists and mappings as JSON text."""
    if isinstance(value, (list, dict)):
        return orjson.dumps(value).decode()
    return value


def add_leaves(prefix: str, mapping: Mapping[str, Any], row: dict[str, Any]) -> None:
    # leaf_value inlined: this runs for every leaf of every listed result.
    for key, value in mapping.items():
        if not isinstance(value, (list, dict)):
            row[f"{prefix}.{key}"] = value
        elif value and isinstance(value, dict):
            add_leaves(f"{prefix}.{key}", value, row)
        else:
            row[f"{prefix}.{key}"] = orjson.dumps(value).decode()


def leaf_row(record: StoredSimulationResult) -> dict[str, Any]:
    """The settings, model parameters and hyperparameters of a record, one
    entry per leaf named by its path."""
    row: dict[str, Any] = {}
    add_leaves("component_settings", record.component_settings, row)
    add_leaves("model_parameters", record.model_parameters, row)
    add_leaves("hyperparameters", record.hyperparameters.__dict__, row)
    return row


def record_row(record: StoredSimulationResult) -> dict[str, Any]:
    """One row of the table as plain values (``simulation_date`` as stored)."""
    row = {name: getattr(record, name) for name in IDENTITY_COLUMNS}
    row.update(leaf_row(record))
    return row


def leaf_columns(rows: Sequence[Mapping[str, Any]]) -> list[str]:
    """The leaf columns of ``rows``, grouped as the table orders them, each
    group in the order the columns first appear."""
    seen: dict[str, None] = {}
    for row in rows:
        seen.update(dict.fromkeys(row))
    found = [name for name in seen if name not in IDENTITY_COLUMNS]
    return sorted(found, key=lambda name: LEAF_GROUPS.index(name.partition(".")[0]))


# --------------------------------------------------------------- table


def results_frame(records: Sequence[StoredSimulationResult]) -> "pd.DataFrame":
    """The results as a table: one row per record, in the given order,
    indexed by ``simulation_id`` (a result stored twice gives two rows with
    the same index); the columns of the module docstring, with
    ``simulation_date`` as a UTC timestamp (empty where the stored text is
    no ISO date)."""
    with needs_data_extra():
        import pandas as pd

    count = len(records)
    columns: dict[str, list[Any]] = {name: [] for name in IDENTITY_COLUMNS}
    identity_columns = [(columns[name], name) for name in IDENTITY_COLUMNS]
    leaves: dict[str, list[Any]] = {}
    for index, record in enumerate(records):
        for column, name in identity_columns:
            column.append(getattr(record, name))
        for name, value in leaf_row(record).items():
            cells = leaves.get(name)
            if cells is None:
                cells = leaves[name] = [None] * count
            cells[index] = value
    for name in leaf_columns([leaves]):
        columns[name] = leaves[name]
    frame = pd.DataFrame(
        columns,
        index=pd.Index(
            [record.simulation_id for record in records], name="simulation_id", dtype=str
        ),
    )
    if not count:  # nothing to infer the text columns' type from
        frame = frame.astype(dict.fromkeys(TEXT_COLUMNS, str))
    frame["simulation_date"] = pd.to_datetime(
        frame["simulation_date"], utc=True, format="ISO8601", errors="coerce"
    )
    frame["execution_time_seconds"] = frame["execution_time_seconds"].astype(float)
    return frame


# ------------------------------------------------------------- spectra


def results_spectra(records: Sequence[StoredSimulationResult]) -> "xr.Dataset":
    """The spectra of the results as arrays: dimensions ``simulation_id``
    and ``wavelength`` (in µm), one data variable per entry that holds a
    spectrum in some result (complex where stored as a real/imaginary pair),
    the table's columns as coordinates along ``simulation_id``
    (``simulation_date`` as UTC without a time zone).

    An entry that holds a number in every result where it is set is a
    variable along ``simulation_id`` alone; entries that hold neither (text,
    mappings, lists of another length) are left out. Where a result lacks an
    entry, or holds something else in it, its values are NaN. A result with
    no wavelengths (a failed run) gets a row of NaN; any other two results
    must have the very same wavelengths, else ValueError names two of them.
    """
    with needs_data_extra():
        import numpy as np
        import xarray as xr

    wavelengths = shared_wavelengths(records)
    count = len(wavelengths)
    frame = results_frame(records)
    variables: dict[str, tuple[tuple[str, ...], Any]] = {}
    for entry in entry_names(records):
        values = [record.result.get(entry) for record in records]
        if any(is_spectrum(value, count) for value in values):
            complex_values = any(is_complex_pair(value) for value in values)
            array = np.full(
                (len(records), count), np.nan, dtype=complex if complex_values else float
            )
            for row, value in enumerate(values):
                if not is_spectrum(value, count):
                    continue
                assert value is not None
                array[row] = (
                    np.array(value["real"]) + 1j * np.array(value["imag"])
                    if is_complex_pair(value)
                    else value
                )
            variables[entry] = (("simulation_id", "wavelength"), array)
        elif all(value is None or is_number(value) for value in values):
            numbers = [math.nan if value is None else value for value in values]
            variables[entry] = (("simulation_id",), np.array(numbers, dtype=float))
    dates = frame["simulation_date"].dt.tz_convert(None)
    coordinates: dict[str, Any] = {
        "simulation_id": np.array(list(frame.index), dtype=str),
        "wavelength": ("wavelength", np.array(wavelengths, dtype=float), {"units": "um"}),
    }
    for name in frame.columns:
        column = dates if name == "simulation_date" else frame[name]
        coordinates[name] = ("simulation_id", column.to_numpy())
    return xr.Dataset(variables, coords=coordinates)


def shared_wavelengths(records: Sequence[StoredSimulationResult]) -> list[float]:
    """The wavelengths all records with wavelengths have in common."""
    first: StoredSimulationResult | None = None
    for record in records:
        if not record.wavelengths:
            continue
        if first is None:
            first = record
        elif record.wavelengths != first.wavelengths:
            raise ValueError(
                f"results {first.simulation_id} and {record.simulation_id} have different "
                f"wavelengths ({describe_grid(first.wavelengths)} and "
                f"{describe_grid(record.wavelengths)}): select results of one grid"
            )
    return first.wavelengths if first else []


def describe_grid(wavelengths: list[float]) -> str:
    return f"{len(wavelengths)} from {wavelengths[0]:g} to {wavelengths[-1]:g} µm"


def entry_names(records: Sequence[StoredSimulationResult]) -> list[str]:
    """Every entry name of the records, in the order they first appear."""
    names: dict[str, None] = {}
    for record in records:
        names.update(dict.fromkeys(record.result))
    return list(names)


# -------------------------------------------------------------- where

COMPARISONS: dict[str, Callable[[Any, Any], Any]] = {
    "=": operator.eq,
    "==": operator.eq,
    "!=": operator.ne,
    "<": operator.lt,
    "<=": operator.le,
    ">": operator.gt,
    ">=": operator.ge,
}
CONDITION = re.compile(
    r"""
    \s*(?P<column>[^\s<>=!"']+)
    \s*(?P<operator>==|!=|<=|>=|=|<|>)
    \s*(?P<value>"[^"]*"|'[^']*'|[^\s"']+)
    \s*(?:(?P<conjunction>and)\b\s*|$)""",
    re.VERBOSE,
)
NUMBER = re.compile(r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?")

Where = Mapping[str, Any] | str | Sequence[str]
"""Conditions on the table's columns, all of which must hold: a mapping of
column to value (equality), or text of conditions ``COLUMN OP VALUE`` joined
by ``and`` (one text or several)."""


@dataclass(frozen=True)
class Condition:
    column: str
    operator: str
    value: Any

    def __str__(self) -> str:
        return f"{self.column} {self.operator} {self.value!r}"


class ColumnNameError(ValueError):
    """A condition or a label names no column, or more than one."""

    def __init__(self, name: str, candidates: list[str]) -> None:
        if candidates:
            message = f"{name!r} is ambiguous: it could mean {', '.join(candidates)}"
        else:
            message = f"no column is named {name!r}"
        super().__init__(message)
        self.name = name
        self.candidates = candidates


def parse_where(where: Where) -> list[Condition]:
    """The conditions of a ``where`` clause.

    Text conditions are ``COLUMN OP VALUE`` with OP one of ``= == != < <=
    > >=`` and VALUE a number, ``true``/``false``, or text (in single or
    double quotes when it holds spaces; quoted text is always text). A
    malformed condition raises ValueError naming it.
    """
    if isinstance(where, Mapping):
        return [Condition(column, "==", leaf_value(value)) for column, value in where.items()]
    texts = [where] if isinstance(where, str) else list(where)
    return [condition for text in texts for condition in parse_conditions(text)]


def parse_conditions(text: str) -> list[Condition]:
    conditions: list[Condition] = []
    position = 0
    while True:
        match = CONDITION.match(text, position)
        if match is None:
            rest = re.split(r"\s+and\s+", text[position:].strip(), maxsplit=1)[0]
            raise ValueError(
                f"malformed condition {rest or text!r}: expected COLUMN OP VALUE with "
                "OP one of = == != < <= > >=, conditions joined by 'and'"
            )
        conditions.append(
            Condition(match["column"], match["operator"], parse_value(match["value"]))
        )
        position = match.end()
        if not match["conjunction"]:
            return conditions


def parse_value(text: str) -> Any:
    if text[0] in "\"'":
        return text[1:-1]
    if text.lower() in ("true", "false"):
        return text.lower() == "true"
    if NUMBER.fullmatch(text):
        return int(text) if text.lstrip("+-").isdigit() else float(text)
    return text


def resolve_column(name: str, columns: Sequence[str]) -> str:
    """The column ``name`` means: the column of that name, else the only
    one whose path ends in it (``radius`` for
    ``component_settings.radius``). ColumnNameError otherwise, listing the
    columns it could mean."""
    if name in columns:
        return name
    candidates = [column for column in columns if column.endswith(f".{name}")]
    if len(candidates) == 1:
        return candidates[0]
    raise ColumnNameError(name, candidates)


def filter_frame(frame: "pd.DataFrame", where: Where) -> "pd.DataFrame":
    """The rows of a table that meet every condition. A cell with no value
    meets none (``!=`` included)."""
    conditions = parse_where(where)
    if frame.empty or not conditions:
        return frame
    masks = [
        meets(frame[resolve_column(condition.column, list(frame.columns))], condition)
        for condition in conditions
    ]
    selected: pd.DataFrame = frame.loc[functools.reduce(operator.and_, masks)]
    return selected


def meets(column: "pd.Series[Any]", condition: Condition) -> "pd.Series[bool]":
    compare = COMPARISONS[condition.operator]
    try:
        result = compare(column, condition.value)
    except TypeError:  # values that do not compare with it do not meet it
        result = column.map(lambda cell: holds(compare, cell, condition.value))
    mask: pd.Series[bool] = result.fillna(False).astype(bool) & column.notna()
    return mask


def filter_records(
    records: Sequence[StoredSimulationResult], where: Where
) -> list[StoredSimulationResult]:
    """The records whose table rows meet every condition, without pandas
    (the same answers as ``filter_frame``)."""
    conditions = parse_where(where)
    if not records or not conditions:
        return list(records)
    rows = [record_row(record) for record in records]
    columns = [*IDENTITY_COLUMNS, *leaf_columns(rows)]
    resolved = [
        (
            resolve_column(condition.column, columns),
            COMPARISONS[condition.operator],
            condition.value,
        )
        for condition in conditions
    ]
    return [
        record
        for record, row in zip(records, rows, strict=True)
        if all(holds(compare, row.get(column), value) for column, compare, value in resolved)
    ]


def holds(compare: Callable[[Any, Any], Any], cell: Any, value: Any) -> bool:
    if cell is None or (isinstance(cell, float) and math.isnan(cell)):
        return False
    try:
        return bool(compare(cell, value))
    except TypeError:
        return False


# ------------------------------------------------------------- exports

ExportFormat = Literal["csv", "parquet", "netcdf", "jsonl"]
EXPORT_FORMATS: tuple[str, ...] = get_args(ExportFormat)


def export_results(
    records: Sequence[StoredSimulationResult], path: Path | str, export_format: ExportFormat
) -> None:
    """Writes the results to ``path``: the table as CSV or Parquet, the
    spectra as netCDF-4 (complex entries as netCDF4's complex type, read
    back with ``auto_complex=True``), or the whole records as JSON Lines,
    one per line, as stored (JSON Lines needs no extra).

    In Parquet and netCDF a column whose values mix kinds (numbers and text,
    say) is written as text, numbers as their JSON text.
    """
    if export_format == "jsonl":
        with open(path, "wb") as output:
            output.writelines(orjson.dumps(record.model_dump()) + b"\n" for record in records)
    elif export_format == "csv":
        results_frame(records).to_csv(path)
    elif export_format == "parquet":
        with needs_data_extra():
            importlib.import_module("pyarrow")
        with_uniform_columns(results_frame(records)).to_parquet(path, engine="pyarrow")
    elif export_format == "netcdf":
        with needs_data_extra():
            importlib.import_module("netCDF4")
        spectra = results_spectra(records)
        for name, coordinate in spectra.coords.items():
            if coordinate.dtype == object:
                spectra.coords[name] = ("simulation_id", uniform_cells(list(coordinate.values)))
        spectra.to_netcdf(path, engine="netcdf4", auto_complex=True)
    else:
        raise ValueError(
            f"unknown export format {export_format!r}: use one of {', '.join(EXPORT_FORMATS)}"
        )


def with_uniform_columns(frame: "pd.DataFrame") -> "pd.DataFrame":
    mixed = {
        name: uniform_cells(list(frame[name]))
        for name in frame.columns
        if frame[name].dtype == object
    }
    return frame.assign(**mixed) if mixed else frame


def uniform_cells(cells: list[Any]) -> list[Any]:
    """The cells as they are when their values are of one kind, else as
    text (empty ones stay empty)."""
    kinds = {cell_kind(cell) for cell in cells} - {None}
    if len(kinds) <= 1:
        return cells
    return [
        None
        if cell_kind(cell) is None
        else cell
        if isinstance(cell, str)
        else orjson.dumps(cell).decode()
        for cell in cells
    ]


def cell_kind(cell: Any) -> type | None:
    if cell is None or (isinstance(cell, float) and math.isnan(cell)):
        return None
    if isinstance(cell, bool):
        return bool
    return float if is_number(cell) else type(cell)


# ---------------------------------------------------------------- diff


class Absent:
    """Stands for a setting that a result does not have."""

    def __repr__(self) -> str:
        return "(absent)"


ABSENT = Absent()


@dataclass(frozen=True)
class EntryDifference:
    entry: str
    largest: float | None
    """The largest |a - b| over the points (complex values by modulus), or
    None when the two cannot be compared point by point."""
    wavelength: float | None
    """Where the largest difference is, for spectra."""
    note: str
    """Why there is no number, or what differs besides it; "" otherwise."""


@dataclass(frozen=True)
class ResultDiff:
    identity: dict[str, tuple[Any, Any]]
    """Identity fields and setting leaves that differ (ABSENT where a result
    has none), in table order."""
    entries: list[EntryDifference]
    """One per entry of either result, first result's order first."""


def diff_results(first: StoredSimulationResult, second: StoredSimulationResult) -> ResultDiff:
    """What differs between two results: identity and, per result entry,
    the largest difference of the stored values."""
    rows = [
        {name: getattr(record, name) for name in NAMED_IDENTITY} | leaf_row(record)
        for record in (first, second)
    ]
    names = [*NAMED_IDENTITY, *leaf_columns(rows)]
    identity = {}
    for name in names:
        a, b = (row.get(name, ABSENT) for row in rows)
        if type(a) is not type(b) or a != b:
            identity[name] = (a, b)
    same_grid = first.wavelengths == second.wavelengths
    entries = [
        entry_difference(
            entry,
            first.result.get(entry, ABSENT),
            second.result.get(entry, ABSENT),
            first.wavelengths if same_grid else None,
        )
        for entry in entry_names([first, second])
    ]
    return ResultDiff(identity, entries)


def entry_difference(
    entry: str, a: Any, b: Any, wavelengths: list[float] | None
) -> EntryDifference:
    """``wavelengths`` is None when the two results have different ones."""
    if a is ABSENT or b is ABSENT:
        return EntryDifference(
            entry, None, None, "only in the second" if a is ABSENT else "only in the first"
        )
    if is_number(a) and is_number(b):
        return EntryDifference(entry, abs(a - b), None, "")
    points = [complex_points(a), complex_points(b)]
    if points[0] is None or points[1] is None:
        return EntryDifference(entry, None, None, "equal" if a == b else "different")
    if len(points[0]) != len(points[1]):
        return EntryDifference(entry, None, None, f"{len(points[0])} and {len(points[1])} values")
    if wavelengths is None:
        return EntryDifference(entry, None, None, "different wavelengths")
    if not points[0]:
        return EntryDifference(entry, 0.0, None, "")
    gaps = [abs(x - y) for x, y in zip(*points, strict=True)]
    where = max(range(len(gaps)), key=gaps.__getitem__)
    at = wavelengths[where] if len(wavelengths) == len(gaps) else None
    return EntryDifference(entry, gaps[where], at, "")


def complex_points(value: Any) -> list[complex] | None:
    if is_number_list(value):
        return [complex(item) for item in value]
    if is_complex_pair(value):
        return [complex(re, im) for re, im in zip(value["real"], value["imag"], strict=True)]
    return None


# -------------------------------------------------------------- metric

MetricFunction = Literal["min", "max", "mean"]
METRIC = re.compile(r"\s*(?P<function>\w+)\((?P<entry>.+)\)\s*", re.DOTALL)
REDUCTIONS: dict[str, Callable[[list[float]], float]] = {
    "min": min,
    "max": max,
    "mean": lambda points: math.fsum(points) / len(points),
}


@dataclass(frozen=True)
class Metric:
    """A figure of merit: ``function`` of an entry's plotted quantity."""

    function: MetricFunction
    entry: str

    def __str__(self) -> str:
        return f"{self.function}({self.entry})"


def parse_metric(text: str) -> Metric:
    """``FUNC(ENTRY)``: FUNC one of min, max, mean; ENTRY all that stands
    between the first opening and the last closing parenthesis (entry names
    hold commas and may hold parentheses)."""
    match = METRIC.fullmatch(text)
    if match is None or match["function"] not in REDUCTIONS:
        raise ValueError(
            f"malformed metric {text!r}: expected FUNC(ENTRY) with FUNC "
            f"one of {', '.join(REDUCTIONS)}, e.g. min(o1@0,o2@0)"
        )
    return Metric(match["function"], match["entry"])  # type: ignore[arg-type]


def metric_value(record: StoredSimulationResult, metric: Metric, decibels: bool = False) -> float:
    """The metric over what a plot draws of the entry: the stored values
    (power |z|² of complex ones), in dB when asked (points with no dB level
    left out); a single number counts as one point. ValueError says why a
    result has no value."""
    if metric.entry not in record.result:
        raise ValueError(f"no entry {metric.entry!r}")
    value = record.result[metric.entry]
    if is_number(value):
        points = [float(value)]
    elif is_spectrum(value, len(record.wavelengths)):
        points = power_of(value) or []
    else:
        raise ValueError(f"entry {metric.entry!r} holds no spectrum or number")
    if decibels:
        points = [point for point in in_decibels(points) if not math.isnan(point)]
        if not points:
            raise ValueError(f"entry {metric.entry!r} has no positive value to take in dB")
    return REDUCTIONS[metric.function](points)
