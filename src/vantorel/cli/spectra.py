"""The spectra held in a result, their summary, and their plot.

A result entry is a spectrum when it holds one real number per wavelength
(read as power) or a ``{"real": [...], "imag": [...]}`` pair of such lists
(a complex amplitude, read as power |z|²). matplotlib is imported only by
the functions that draw.
"""

import math
from dataclasses import dataclass
from numbers import Real
from typing import TYPE_CHECKING, Any

from vantorel.models import StoredSimulationResult

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

FIGURE_SIZE_INCHES = (8, 4.5)


@dataclass(frozen=True)
class Spectrum:
    label: str
    wavelengths: list[float]
    power: list[float]


@dataclass(frozen=True)
class SkippedEntry:
    label: str
    reason: str


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
    """The power an entry holds, one value per point, or None if it holds
    no spectrum."""
    if is_number_list(value):
        return [float(item) for item in value]
    if is_complex_pair(value):
        return [re * re + im * im for re, im in zip(value["real"], value["imag"], strict=True)]
    return None


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


def result_spectra(
    record: StoredSimulationResult,
    entries: list[str] | None,
    source: str,
) -> tuple[list[Spectrum], list[SkippedEntry]]:
    """The spectra of one result (only the named entries, when given) and
    the entries that hold none, with the reason. Labels start with
    ``source`` when it is not empty."""
    spectra: list[Spectrum] = []
    skipped: list[SkippedEntry] = []
    if not record.result and not entries:
        skipped.append(SkippedEntry(source or record.component_name, "the result has no entries"))
    count = len(record.wavelengths)
    for name in entries if entries else record.result:
        label = f"{source}: {name}" if source else name
        if name not in record.result:
            skipped.append(SkippedEntry(label, "no such entry"))
            continue
        power = power_of(record.result[name])
        if power is None:
            kind = summarize_entry(record.result[name])["kind"]
            skipped.append(SkippedEntry(label, f"holds a {kind}, not one number per wavelength"))
        elif len(power) != count:
            skipped.append(SkippedEntry(label, f"{len(power)} values for {count} wavelengths"))
        else:
            spectra.append(Spectrum(label, record.wavelengths, power))
    return spectra, skipped


def collect_spectra(
    records: list[StoredSimulationResult],
    entries: list[str] | None,
) -> tuple[list[Spectrum], list[SkippedEntry]]:
    """The spectra of several results; labels name the result when there is
    more than one."""
    spectra: list[Spectrum] = []
    skipped: list[SkippedEntry] = []
    for record in records:
        source = f"{record.component_name} {record.simulation_id[:8]}" if len(records) > 1 else ""
        found, missed = result_spectra(record, entries, source)
        spectra += found
        skipped += missed
    return spectra, skipped


def in_decibels(power: list[float]) -> list[float]:
    """10·log10 of each power; non-positive power has no level (NaN, a gap
    in the line)."""
    return [10 * math.log10(point) if point > 0 else math.nan for point in power]


def draw_spectra(axes: "Axes", spectra: list[Spectrum], decibels: bool) -> None:
    for spectrum in spectra:
        level = in_decibels(spectrum.power) if decibels else spectrum.power
        axes.plot(spectrum.wavelengths, level, label=spectrum.label)
    axes.set_xlabel("wavelength (µm)")
    axes.set_ylabel("power (dB)" if decibels else "power")
    axes.grid(True, alpha=0.3)
    axes.legend(fontsize="small")


def spectra_figure(
    spectra: list[Spectrum],
    decibels: bool,
    title: str,
    figure: "Figure | None" = None,
) -> "Figure":
    """Draws the spectra overlaid on one axes of ``figure`` (a new figure,
    not registered with pyplot, when None) and returns it."""
    if figure is None:
        from matplotlib.figure import Figure

        figure = Figure(figsize=FIGURE_SIZE_INCHES, layout="constrained")
    draw_spectra(figure.add_subplot(), spectra, decibels)
    figure.suptitle(title)
    return figure
