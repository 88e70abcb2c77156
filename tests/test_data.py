"""Results as data: the table, the spectra, conditions, exports, the
comparison of two results, figures of merit and their plots, on a small
sweep saved in a private store."""

import math
import re
import subprocess
import sys

import numpy as np
import orjson
import pandas as pd
import pyarrow.parquet as pq
import pytest
import xarray as xr

from conftest import SWEEP_WAVELENGTHS as WAVELENGTHS, by_settings, ring, save
from vantorel import data
from vantorel.cli import spectra
from vantorel.core import simulation_storage as ss

# ---------------------------------------------------------------- table


def test_frame_one_row_per_record_with_leaf_columns(sweep):
    odd = save(
        component_settings={"radius": 5, "flag": True}, model_parameters={}, component_name="mmi"
    )
    records = [*sweep, odd, sweep[0]]  # a result listed twice gives two rows
    frame = data.results_frame(records)
    assert list(frame.index) == [record.simulation_id for record in records]
    assert frame.index.name == "simulation_id"
    assert list(frame.columns[:7]) == list(data.IDENTITY_COLUMNS)
    assert str(frame["simulation_date"].dt.tz) == "UTC"
    assert frame["simulation_date"].iloc[0] == pd.Timestamp(sweep[0].simulation_date)
    row = frame.iloc[0]
    assert (
        row["component_settings.radius"],
        row["model_parameters.cross_section.width"],
        row["component_settings.ports"],
        row["hyperparameters.num_wavelengths"],
    ) == (sweep[0].component_settings["radius"], 0.45, '["o1","o2"]', 101)
    assert math.isnan(frame["component_settings.gap"].iloc[4])  # the mmi has none
    assert frame["component_settings.flag"].iloc[4] is True
    groups = [column.split(".")[0] for column in frame.columns[7:]]
    assert groups == sorted(groups, key=data.LEAF_GROUPS.index)


def test_spectra_stack_entries_with_settings_as_coordinates(sweep):
    failed = ring(30, 0.1, result={}, wavelengths=[], status="error")
    records = [*sweep, failed]
    dataset = data.results_spectra(records)
    assert dict(dataset.sizes) == {"simulation_id": 5, "wavelength": 4}
    assert list(dataset["wavelength"].values) == WAVELENGTHS
    assert set(dataset.data_vars) == {"o1@0,o2@0", "s(1,2)", "loss_db"}  # "note" is text
    assert dataset["s(1,2)"].dtype == complex and dataset["loss_db"].dims == ("simulation_id",)
    first = sweep[0]
    assert list(dataset["o1@0,o2@0"].values[0]) == first.result["o1@0,o2@0"]
    assert dataset["s(1,2)"].values[0, 2] == complex(first.result["s(1,2)"]["real"][2], -0.5)
    assert dataset["component_settings.radius"].values[0] == first.component_settings["radius"]
    assert np.isnan(dataset["o1@0,o2@0"].values[4]).all()  # the failed run
    other = ring(40, 0.1, wavelengths=[1.5, 1.52, 1.54, 1.57])
    with pytest.raises(ValueError, match=f"{sweep[0].simulation_id} and {other.simulation_id}"):
        data.results_spectra([*records, other])


def test_data_extra_is_named_and_not_imported_with_the_package(sweep, monkeypatch):
    code = (
        "import sys, vantorel, vantorel.data, vantorel.cli.spectra; "
        "print([m for m in ('pandas', 'xarray', 'numpy', 'matplotlib') if m in sys.modules])"
    )
    imported = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True, timeout=60
    )
    assert imported.stdout == "[]\n"
    monkeypatch.setitem(sys.modules, "xarray", None)
    with pytest.raises(ImportError, match=r"pip install 'vantorel\[data\]'"):
        data.results_spectra(sweep)


# ---------------------------------------------------------------- where


@pytest.mark.parametrize(
    "text, expected",
    [
        ("radius=10", [("radius", "=", 10)]),
        (
            "component_settings.gap<0.3 and  radius >= 1e1",
            [("component_settings.gap", "<", 0.3), ("radius", ">=", 10.0)],
        ),
        (
            "name == 'a and b' and flag!=true and n<=-2",
            [("name", "==", "a and b"), ("flag", "!=", True), ("n", "<=", -2)],
        ),
        ('status = "10"', [("status", "=", "10")]),  # quoted text stays text
    ],
)
def test_where_text_is_parsed(text, expected):
    parsed = [(c.column, c.operator, repr(c.value)) for c in data.parse_where(text)]
    assert parsed == [(column, op, repr(value)) for column, op, value in expected]


@pytest.mark.parametrize(
    "text, named",
    [
        ("radius 10", "radius 10"),
        ("radius=10 and gap~3", "gap~3"),
        ("radius=10 and", "radius=10 and"),
        ("radius=='x y", "radius=='x y"),
        ("", ""),
        ("__import__('os')", "__import__('os')"),
    ],
)
def test_malformed_where_names_the_condition(text, named):
    with pytest.raises(ValueError, match=re.escape(f"malformed condition {named!r}")):
        data.parse_where(text)


@pytest.mark.parametrize(
    "where, expected",
    [
        ("radius=10", [(10, 0.2), (10, 0.3)]),
        (["radius>10", "gap<0.25"], [(20, 0.2)]),
        ({"component_settings.gap": 0.3, "ports": ["o1", "o2"]}, [(10, 0.3), (20, 0.3)]),
        ("gap != 0.2 and status = success", [(10, 0.3), (20, 0.3)]),
        ("component_name < 's' and radius > abc", []),  # text against numbers meets nothing
        ("simulation_type=eme", []),
    ],
)
def test_where_selects_the_same_rows_from_frame_and_records(sweep, where, expected):
    ids = by_settings(sweep)
    wanted = {ids[settings] for settings in expected}
    frame = data.filter_frame(data.results_frame(sweep), where)
    assert set(frame.index) == wanted
    assert {r.simulation_id for r in data.filter_records(sweep, where)} == wanted


def test_where_on_ambiguous_or_unknown_columns(sweep):
    sweep = [*sweep, save(model_parameters={"gap": 1})]
    frame = data.results_frame(sweep)
    for apply in (lambda w: data.filter_frame(frame, w), lambda w: data.filter_records(sweep, w)):
        with pytest.raises(data.ColumnNameError) as ambiguous:
            apply("gap<0.3")
        assert ambiguous.value.candidates == ["component_settings.gap", "model_parameters.gap"]
        with pytest.raises(data.ColumnNameError, match="no column is named 'radius2'"):
            apply("radius2=1")
        assert len(apply("component_settings.gap != 0.2")) == 2  # none for a missing gap
    assert len(data.filter_frame(frame, "model_parameters.gap=1")) == 1


# -------------------------------------------------------------- exports


def test_exports_read_back_with_their_own_readers(sweep, store, tmp_path):
    mixed = ring(30, 0.1, component_settings={"radius": "large", "gap": 0.1})
    records = [*sweep, mixed]
    paths = {fmt: tmp_path / f"sweep.{fmt}" for fmt in data.EXPORT_FORMATS}
    for fmt, path in paths.items():
        data.export_results(records, path, fmt)
    ids = [record.simulation_id for record in records]
    table = pd.read_csv(paths["csv"], index_col="simulation_id")
    assert list(table.index) == ids
    assert list(table.columns) == list(data.results_frame(records).columns)
    parquet = pq.read_table(paths["parquet"]).to_pandas()
    assert list(parquet.index) == ids
    assert list(parquet["component_settings.radius"]) == ["20", "20", "10", "10", "large"]
    netcdf = xr.open_dataset(paths["netcdf"], engine="netcdf4", auto_complex=True)
    assert list(netcdf["simulation_id"].values) == ids
    assert netcdf["s(1,2)"].dtype == complex
    assert netcdf["s(1,2)"].values[0, 3] == complex(sweep[0].result["s(1,2)"]["real"][3], 1.0)
    netcdf.close()
    lines = paths["jsonl"].read_bytes().splitlines()
    assert [orjson.loads(line) for line in lines] == [
        orjson.loads((store / r.simulation_type / f"ring_{r.simulation_id}.json").read_bytes())
        for r in records
    ]


# ------------------------------------------------------ diff and metric


def test_diff_names_identity_changes_and_largest_entry_difference(sweep):
    ids = by_settings(sweep)
    first, second = (ss.load_simulation_result(ids[key]) for key in ((10, 0.2), (20, 0.2)))
    difference = data.diff_results(first, second)
    assert difference.identity == {"component_settings.radius": (10, 20)}
    entries = {entry.entry: entry for entry in difference.entries}
    assert (
        entries["o1@0,o2@0"].largest,
        entries["s(1,2)"].largest,
        entries["loss_db"].largest,
    ) == pytest.approx((0.1, 0.1, 1.0))
    assert entries["note"] == data.EntryDifference("note", None, None, "equal")
    regridded = ring(
        10.0,
        0.2,
        component_name="other",
        wavelengths=[1, 2, 3, 4],
        result={"o1@0,o2@0": [0.0] * 4, "extra": 1},
    )
    difference = data.diff_results(first, regridded)
    assert difference.identity == {
        "component_name": ("ring", "other"),
        "component_settings.radius": (10, 10.0),
    }
    entries = {entry.entry: entry for entry in difference.entries}
    assert entries["o1@0,o2@0"].note == "different wavelengths"
    assert (entries["extra"].note, entries["s(1,2)"].note) == (
        "only in the second",
        "only in the first",
    )
    bumped = [value + 0.5 * (index == 2) for index, value in enumerate(first.result["o1@0,o2@0"])]
    changed = ring(10, 0.2, component_name="again", result={"o1@0,o2@0": bumped})
    spectrum = data.diff_results(first, changed).entries[0]
    assert (spectrum.largest, spectrum.wavelength) == (pytest.approx(0.5), 1.54)


@pytest.mark.parametrize(
    "text, decibels, expected",
    [
        ("min(o1@0,o2@0)", False, 1.0 - 0.1 + 0.2 - 0.3),
        ("max(o1@0,o2@0)", True, 10 * math.log10(1.0 - 0.1 + 0.2)),
        ("mean(s(1,2))", False, (1.1**2) + (0.25 + 0 + 0.25 + 1) / 4),  # |z|²
        (" max(loss_db) ", False, 1.0),
    ],
)
def test_metric_on_what_the_plot_draws(sweep, text, decibels, expected):
    record = ss.load_simulation_result(by_settings(sweep)[(10, 0.2)])
    assert data.metric_value(record, data.parse_metric(text), decibels) == pytest.approx(expected)


@pytest.mark.parametrize("text", ["median(x)", "min()", "min o1", "min(x"])
def test_malformed_metric(text):
    with pytest.raises(ValueError, match="malformed metric"):
        data.parse_metric(text)


# ----------------------------------------------------------------- plots


def test_spectra_plot_labels_by_differing_settings_legend_outside(sweep, tmp_path):
    found, _ = spectra.collect_spectra(sweep, ["o1@0,o2@0"])
    assert sorted(spectrum.label for spectrum in found) == [
        "radius=10, gap=0.2",
        "radius=10, gap=0.3",
        "radius=20, gap=0.2",
        "radius=20, gap=0.3",
    ]
    assert spectra.result_labels(sweep, ["gap"])[0].startswith("gap=")
    with pytest.raises(data.ColumnNameError):
        spectra.result_labels(sweep, ["nothing"])
    title = spectra.plot_title(sweep, ["o1@0,o2@0"])
    figure = spectra.spectra_figure(found, False, title)
    [axes] = figure.axes
    assert len(axes.get_lines()) == 4 and axes.get_legend() is None
    [legend] = figure.legends
    figure.savefig(tmp_path / "spectra.pdf")
    assert (tmp_path / "spectra.pdf").read_bytes().startswith(b"%PDF")
    figure.draw_without_rendering()  # lays the figure out
    assert not legend.get_window_extent().overlaps(axes.get_window_extent())
    assert figure.get_suptitle() == "ring: o1@0,o2@0"


def test_curves_past_ten_change_style():
    curves = [spectra.Spectrum(str(n), WAVELENGTHS, [n] * 4, "t") for n in range(25)]
    [axes] = spectra.spectra_figure(curves, False, "many").axes
    styles = {(line.get_color(), line.get_linestyle()) for line in axes.get_lines()}
    assert len(styles) == 25


def test_merit_plot_one_point_per_result_series_per_other_setting(sweep):
    # A setting derived from the swept one (length from radius) makes no series.
    derived = [
        ring(radius, gap, model_parameters={"length": 6.28 * radius})
        for radius in (10, 20)
        for gap in (0.2, 0.3)
    ]
    metric = data.parse_metric("min(o1@0,o2@0)")
    plot = spectra.merit_points(derived, "radius", metric, decibels=False)
    assert plot.x_name == "radius" and [s.label for s in plot.series] == ["gap=0.2", "gap=0.3"]
    assert [s.x for s in plot.series] == [[10, 20], [10, 20]]
    assert plot.series[0].y == pytest.approx([1 - 0.1 + 0.2 - 0.3, 1 - 0.2 + 0.2 - 0.3])
    failed = ring(50, 0.2, result={})
    chosen = spectra.merit_points(
        [failed, *sweep],
        "component_settings.radius",
        metric,
        decibels=True,
        label_columns=["radius"],
    )
    assert [s.label for s in chosen.series] == ["radius=10", "radius=20"]
    assert [len(s.x) for s in chosen.series] == [2, 2]
    assert [entry.reason for entry in chosen.skipped] == ["no entry 'o1@0,o2@0'"]
    figure = spectra.merit_figure(plot, metric, False, spectra.plot_title(sweep, [str(metric)]))
    [axes] = figure.axes
    assert [len(line.get_xdata()) for line in axes.get_lines()] == [2, 2]
    assert (axes.get_xlabel(), axes.get_ylabel()) == ("radius", "min(o1@0,o2@0)")
    assert len(figure.legends) == 1 and figure.get_suptitle() == "ring: min(o1@0,o2@0)"
