"""The command line, `vantorel results ...`: through Typer's runner, and
once as the installed console script."""

import math
import os
import re
import socket
import subprocess
import sys
from datetime import UTC, datetime, timedelta
from pathlib import Path

import matplotlib
import orjson
import pandas as pd
import pyarrow.parquet as pq
import pytest
import xarray as xr
from matplotlib.image import imread
from rich.filesize import decimal

import vantorel
from conftest import backdate, by_settings, file_of, invoke, save
from vantorel.cli import checks, session, spectra, terminal
from vantorel.core import file_stores, simulation_storage as ss

WAVELENGTHS = [1.5 + 0.01 * i for i in range(11)]
SPECTRA = {  # two entries to plot and three to name as skipped
    "t": [0.5 + 0.04 * i for i in range(11)],
    "s": {"real": [0.1 * i for i in range(11)], "imag": [0.2] * 11},
    "note": "hello",
    "short": [1.0, 2.0],
    "n": 3,
}


def rewrite(store, record, **fields):
    path = file_of(store, record)
    path.write_bytes(orjson.dumps({**orjson.loads(path.read_bytes()), **fields}))


def ids(result):
    return [orjson.loads(line)["simulation_id"] for line in result.stdout.splitlines()]


@pytest.fixture
def results(store):
    """Oldest first: a (fdtd), b (eme, error, PDK v2), c (fdtd, spectra)."""
    a = save(component_name="a")
    b = save(component_name="b", simulation_type="eme", status="error", pdk_version="v2")
    c = save(component_name="c", result=SPECTRA, wavelengths=WAVELENGTHS)
    return a, b, c


@pytest.mark.parametrize(
    "options, expected",
    [
        ([], "cba"),
        (["--type", "fdtd"], "ca"),
        (["--status", "error"], "b"),
        (["--component", "a"], "a"),
        (["--factory", "nope"], ""),
        (["--limit", "2"], "cb"),
    ],
)
def test_ls_filters_newest_first(results, options, expected):
    by_name = {record.component_name: record.simulation_id for record in results}
    listed = invoke("results", "ls", *options, "--json")
    assert listed.exit_code == 0
    assert ids(listed) == [by_name[name] for name in expected]
    table = invoke("results", "ls", *options)
    assert [
        line.split()[5] for line in table.stdout.splitlines() if re.match(r"\s+\d{4}-", line)
    ] == ids(listed)


def test_ls_json_gives_file_size_and_metadata(store, results):
    fields = orjson.loads(invoke("results", "ls", "--json").stdout.splitlines()[1])
    assert fields["file_size_bytes"] == file_of(store, results[1]).stat().st_size
    assert (fields["status"], fields["pdk_version"]) == ("error", "v2")


@pytest.mark.parametrize("any_store", ["memory", "s3"], indirect=True)
def test_object_storage_named_by_store_option(any_store, monkeypatch):
    url, record = str(any_store), save(component_name="x[1]")
    monkeypatch.delenv("VANTOREL_SIMULATIONS_DIR")  # --store names it
    listed = invoke("--store", url, "results", "ls", "--json")
    [fields] = [orjson.loads(line) for line in listed.stdout.splitlines()]
    assert fields["file_size_bytes"] == len(file_of(any_store, record).read_bytes())
    assert invoke("--store", url, "results", "verify").exit_code == 0
    assert invoke("--store", url, "results", "rm", "--yes", record.simulation_id).exit_code == 0
    assert invoke("--store", url, "results", "ls", "--json").stdout == ""


def test_show_gives_the_whole_record_and_summarizes_entries(results):
    record = results[2]
    whole = invoke("results", "show", record.simulation_id[:5], "--json")
    assert orjson.loads(whole.stdout) == record.model_dump(mode="json")
    text = invoke("results", "show", record.simulation_id).stdout
    for heading in (
        "Component settings",
        "Hyperparameters",
        "Metadata",
        "Result data (11 wavelengths: 1.5 to 1.6 µm)",
    ):
        assert heading in text
    rows = {line.split()[0]: line.split()[1:] for line in text.splitlines() if line.strip()}
    assert rows["t"] == ["numbers", "11", "0.5", "0.9"]
    assert rows["s"] == ["complex", "(|z|²)", "11", "0.04", "1.04"]  # |0.2j|², |1 + 0.2j|²
    assert rows["note"] == ["str"]


def test_not_found_and_damaged_are_one_line_errors(store, results):
    missing = invoke("results", "show", "0123456789abcdef")
    assert (missing.exit_code, missing.stderr) == (1, "error: no result with ID 0123456789abcdef\n")
    file_of(store, results[0]).write_bytes(b'{"component_name": ')
    damaged = invoke("results", "show", results[0].simulation_id)
    assert damaged.exit_code == 1 and damaged.stderr.count("\n") == 1
    assert "cannot be read" in damaged.stderr and "verify" in damaged.stderr
    debugged = invoke("--debug", "results", "show", results[0].simulation_id)
    assert debugged.exit_code == 1 and "Traceback" in debugged.stderr
    assert "orjson.JSONDecodeError" in debugged.stderr
    listed = invoke("results", "ls", "--json")  # the listing warns and goes on
    assert len(listed.stdout.splitlines()) == 2
    assert "WARNING: Failed to parse simulation file" in listed.stderr


@pytest.mark.parametrize(
    "args",
    [
        ["results", "ls", "--limit", "0"],
        ["results", "ls", "--status", "maybe"],
        ["results", "ls", "--bogus"],
        ["results", "prune"],
        *[
            ["results", "prune", "--older-than", age]
            for age in ("30", "d", "3x", "-1d", "1000000000d", "99999999999w", "9" * 5000 + "d")
        ],
        *[
            ["results", command, "--type", name]
            for command in ("ls", "clear")
            for name in ("..", "a/b")
        ],
        ["results", "plot", "0123456789abcdef", "-o", "plot.jpg"],
    ],
)
def test_usage_errors_exit_2_with_one_line(results, args):
    outcome = invoke(*args)
    assert outcome.exit_code == 2
    assert outcome.stderr.startswith("error: ") and outcome.stderr.count("\n") == 1
    assert ss.list_simulation_results() == list(reversed(results))


@pytest.mark.parametrize("command", [["ls"], ["verify"], ["clear", "--yes"], ["show", "0" * 16]])
@pytest.mark.parametrize(
    "kind", ["missing", "a file", "missing in memory", "no bucket", "nothing listening"]
)
def test_a_store_that_is_not_there_is_an_error_naming_it(tmp_path, request, kind, command):
    if kind in ("missing", "a file"):
        url = named = str(tmp_path / "simulations")
        if kind == "a file":
            Path(url).write_bytes(b"")
    elif kind == "missing in memory":
        url = named = f"memory://{tmp_path.name}/simulations"
    elif kind == "no bucket":
        request.getfixturevalue("s3_server")
        named = "s3://no-such-bucket"
        url = f"{named}/simulations"
    else:
        import s3fs

        monkeypatch = request.getfixturevalue("monkeypatch")
        with socket.socket() as unused:  # a port that nothing listens on
            unused.bind(("127.0.0.1", 0))
            port = unused.getsockname()[1]
        for name, value in {
            "AWS_ENDPOINT_URL": f"http://127.0.0.1:{port}",
            "AWS_ACCESS_KEY_ID": "key",
            "AWS_SECRET_ACCESS_KEY": "secret",
            "AWS_MAX_ATTEMPTS": "1",
        }.items():
            monkeypatch.setenv(name, value)
        s3fs.S3FileSystem.clear_instance_cache()  # clients made for another endpoint
        request.addfinalizer(s3fs.S3FileSystem.clear_instance_cache)
        named = "s3://bucket"
        url = f"{named}/simulations"
    outcome = invoke("--store", url, "results", *command)
    assert (outcome.exit_code, outcome.stdout) == (1, "")
    assert outcome.stderr.startswith(f"error: {named}: ") and outcome.stderr.count("\n") == 1


@pytest.mark.parametrize("command", [["ls", "--json"], ["stats"]])
def test_output_cut_short_by_a_closed_pipe_ends_quietly(store, results, command):
    reader, writer = os.pipe()
    os.close(reader)  # whatever the command writes meets a closed pipe
    try:
        done = subprocess.run(
            [Path(sys.executable).with_name("vantorel"), "results", *command],
            stdout=writer,
            stderr=subprocess.PIPE,
            timeout=60,
        )
    finally:
        os.close(writer)
    assert (done.returncode, done.stderr) == (0, b"")


def test_store_option_is_for_one_call(tmp_path, results):
    other = tmp_path / "other"
    other.mkdir()
    listed = invoke("--store", other, "results", "ls", "--json")
    assert (listed.exit_code, listed.stdout) == (0, "")
    assert os.environ["VANTOREL_SIMULATIONS_DIR"] == str(tmp_path / "simulations")


@pytest.mark.parametrize(
    "env, coloured",
    [
        ({}, False),
        ({"FORCE_COLOR": "1", "TERM": "xterm"}, True),
        ({"FORCE_COLOR": "1", "TERM": "xterm", "NO_COLOR": "1"}, False),
    ],
)
def test_colour_only_on_a_terminal_without_no_color(results, env, coloured):
    listed = invoke("results", "ls", env=env)
    assert ("\x1b[" in listed.stdout) is coloured
    missing = invoke("results", "show", "0123456789abcdef", env=env)
    assert ("\x1b[" in missing.stderr) is coloured


# ------------------------------------------------------------------- plot


@pytest.fixture
def built_figures(monkeypatch):
    """The figures the plot command builds (spectra and figures of merit)."""
    figures = []

    def spy_on(name):
        build = getattr(spectra, name)

        def spy(*args, **kwargs):
            figures.append(build(*args, **kwargs))
            return figures[-1]

        monkeypatch.setattr(spectra, name, spy)

    spy_on("spectra_figure")
    spy_on("merit_figure")
    return figures


def test_plot_writes_png_one_line_per_entry_and_result(tmp_path, store, built_figures):
    first = save(component_name="c", result=SPECTRA, wavelengths=WAVELENGTHS)
    second = save(component_name="d", result=SPECTRA, wavelengths=WAVELENGTHS)
    output = tmp_path / "spectra.png"
    plotted = invoke("results", "plot", first.simulation_id, second.simulation_id, "-o", output)
    assert plotted.exit_code == 0, plotted.stderr
    image = imread(output)
    assert image.shape == (450, 800, 4) and image.std() > 0
    [figure] = built_figures
    [axes] = figure.axes
    labels = [line.get_label() for line in axes.get_lines()]
    # Labelled by what differs between the results: here the component.
    assert labels == [
        f"{record.component_name}: {entry}" for record in (first, second) for entry in ("t", "s")
    ]
    assert axes.get_lines()[1].get_ydata()[5] == pytest.approx(0.25 + 0.04)
    for record in (first, second):
        for entry, reason in (
            ("note", "holds a str"),
            ("short", "2 values for 11"),
            ("n", "holds a number"),
        ):
            assert (
                f"skipped {record.component_name} {record.simulation_id[:8]}: {entry}: {reason}"
            ) in plotted.stderr


def test_plot_db_selected_entry_as_svg(tmp_path, store, built_figures):
    record = save(result=SPECTRA, wavelengths=WAVELENGTHS)
    output = tmp_path / "spectra.svg"
    plotted = invoke(
        "results",
        "plot",
        record.simulation_id,
        "--db",
        "--entry",
        "t",
        "--entry",
        "missing",
        "-o",
        output,
    )
    assert plotted.exit_code == 0, plotted.stderr
    assert output.read_text().lstrip().startswith("<?xml")
    [line] = built_figures[0].axes[0].get_lines()
    assert list(line.get_ydata()) == pytest.approx(
        [10 * math.log10(value) for value in SPECTRA["t"]]
    )
    assert "skipped missing: no such entry" in plotted.stderr


def test_plot_failures(tmp_path, store, monkeypatch):
    flat = save(result={"note": "nothing to draw"})
    nothing = invoke("results", "plot", flat.simulation_id, "-o", tmp_path / "x.png")
    assert nothing.exit_code == 1 and "error: nothing to plot" in nothing.stderr
    assert not (tmp_path / "x.png").exists()
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    unplotted = invoke(
        "results", "plot", save(component_name="p").simulation_id, "-o", tmp_path / "x.png"
    )
    assert unplotted.exit_code == 1
    assert "pip install 'vantorel[plot]'" in unplotted.stderr


def test_plot_without_display_asks_for_a_file(store, monkeypatch):
    # The backend pyplot falls back to when there is no display.
    monkeypatch.setitem(matplotlib.rcParams, "backend", "agg")
    windowless = invoke("results", "plot", save().simulation_id)
    assert windowless.exit_code == 1 and "pass -o FILE.png" in windowless.stderr


# ----------------------------------------------------------------- removal


def removal_args(command, records):
    return {
        "rm": ["rm", records[0].simulation_id, records[1].simulation_id],
        "clear": ["clear", "--component", "a"],
        "prune": ["prune", "--older-than", "0d", "--status", "error"],
    }[command]


REMOVED = {"rm": "ab", "clear": "a", "prune": "b"}


@pytest.mark.parametrize("command", REMOVED)
@pytest.mark.parametrize(
    "terminal, options, answer, exit_code, removed",
    [
        (False, [], None, 2, False),
        (False, ["--dry-run"], None, 0, False),
        (True, [], "n\n", 1, False),
        (True, [], "y\n", 0, True),
        (False, ["--yes"], None, 0, True),
    ],
)
def test_removal_asks_on_a_terminal_and_needs_yes_elsewhere(
    monkeypatch, results, command, terminal, options, answer, exit_code, removed
):
    monkeypatch.setattr(session, "stdin_is_terminal", lambda: terminal)
    outcome = invoke("results", *removal_args(command, results), *options, input=answer)
    assert outcome.exit_code == exit_code, outcome.output
    left = {record.component_name for record in ss.list_simulation_results()}
    assert left == set("abc") - (set(REMOVED[command]) if removed else set())
    if "--dry-run" in options:
        for name in REMOVED[command]:
            assert (
                next(r.simulation_id for r in results if r.component_name == name) in outcome.stdout
            )


def test_rm_removes_what_it_finds_and_fails_on_the_rest(results):
    removed = invoke("results", "rm", results[0].simulation_id, "fedcba9876543210", "--yes")
    assert removed.exit_code == 1
    assert "error: no result with ID fedcba9876543210" in removed.stderr
    assert "Removed 1 result(s)." in removed.stdout
    assert ss.load_simulation_result(results[0].simulation_id) is None


def test_prune_selects_by_stored_date_and_metadata(store, results):
    a, b, c = results
    long_ago = (datetime.now(UTC) - timedelta(days=40)).isoformat()
    for record in (a, b):
        rewrite(store, record, simulation_date=long_ago)
    rewrite(store, c, simulation_date="yesterday-ish", pdk_version="v2")
    recent = save(component_name="recent", status="error", pdk_version="v2")
    os.utime(file_of(store, recent), (0, 0))  # file times do not count

    def pruned(*options):
        outcome = invoke("results", "prune", "--older-than", "30d", *options, "--yes")
        assert outcome.exit_code == 0, outcome.output
        return outcome

    assert "kept" in pruned("--pdk-version", "v2").stderr  # c: no date, kept
    assert ss.load_simulation_result(b.simulation_id) is None
    pruned("--status", "error")  # nothing left to match
    assert ss.load_simulation_result(a.simulation_id) is not None
    pruned()
    assert sorted(record.component_name for record in ss.list_simulation_results()) == [
        "c",
        "recent",
    ]


@pytest.mark.parametrize("command", ["rm", "clear", "prune"])
def test_removal_takes_only_the_versions_listed(any_store, monkeypatch, command):
    first, second = save(component_name="a"), save(component_name="b")
    listings = []
    files_of = file_stores.files_of

    def hooked(root):  # a save of b lands between the listing and the removal
        files = files_of(root)
        names, remove = files.names, files.remove
        files.names = lambda *args: listings.append(args) or names(*args)

        def save_then_remove(listed, on_removed):
            save(component_name="b", result={"s21": [0.5]})
            remove(listed, on_removed)

        files.remove = save_then_remove
        return files

    monkeypatch.setattr(file_stores, "files_of", hooked)
    args = {
        "rm": ["rm", first.simulation_id, second.simulation_id],
        "clear": ["clear"],
        "prune": ["prune", "--older-than", "0s"],
    }[command]
    outcome = invoke("results", *args, "--yes")
    assert outcome.exit_code == 0, outcome.output
    assert "Removed 1 result(s)." in outcome.stdout
    assert "kept 1 result(s) saved again or removed since they were listed" in outcome.stderr
    assert ss.load_simulation_result(first.simulation_id) is None
    assert ss.load_simulation_result(second.simulation_id).result == {"s21": [0.5]}
    assert len(listings) == 1  # rm too looks its IDs up in one listing


@pytest.mark.parametrize("any_store", ["s3"], indirect=True)
def test_deletes_the_store_refuses_are_named(any_store, monkeypatch):
    records = [save(component_name=name) for name in "abcd"]
    refused = {file_of(any_store, record).name for record in records[1:3]}
    fs = any_store.fs
    call_s3 = fs.call_s3

    def refusing(method, *args, **kwargs):  # S3 answers DeleteObjects in part
        if method != "delete_objects":
            return call_s3(method, *args, **kwargs)
        objects = kwargs["Delete"]["Objects"]
        kept = [entry for entry in objects if entry["Key"].rpartition("/")[2] in refused]
        kwargs["Delete"]["Objects"] = [entry for entry in objects if entry not in kept]
        answer = call_s3(method, *args, **kwargs)
        answer.setdefault("Errors", []).extend(
            {"Key": entry["Key"], "Code": "AccessDenied", "Message": "Access Denied"}
            for entry in kept
        )
        return answer

    monkeypatch.setattr(fs, "call_s3", refusing)
    outcome = invoke("results", "clear", "--yes")
    assert outcome.exit_code == 1
    assert "Removed 2 result(s)." in outcome.stdout
    [line] = outcome.stderr.splitlines()
    assert line.startswith("error: 2 object(s) not deleted (Access Denied): ")
    assert all(name in line for name in refused)
    assert {record.component_name for record in ss.list_simulation_results()} == {"b", "c"}


HOSTILE = "ring\x1b[2J\x1b]52;c;aGk=\x07\x1b]8;;x\x1b\\[link=x]:cross_mark:\u202e\u200b\r\n\x9b31m"


def test_stored_text_cannot_drive_the_terminal(store, built_figures):
    markup = "[link=https://x]boom[/link] [red]:cross_mark:"
    record = save(
        component_name=HOSTILE,
        component_settings={HOSTILE: HOSTILE, "note": markup},
        status="error",
        error_message=markup + HOSTILE,
        pdk_version=HOSTILE,
        simulation_type="fdtd",
    )
    (store / "fdtd" / f"{HOSTILE}_{'1' * 16}.json").write_bytes(b"{")  # damaged
    other = save(simulation_type="fdtd")
    commands = [
        ["ls"],
        ["ls", "--columns", "note"],
        ["show", record.simulation_id],
        ["diff", record.simulation_id, other.simulation_id],
        ["stats"],
        ["verify"],
        ["clear", "--dry-run"],
        ["rm", "--dry-run", record.simulation_id, "\x1b[2J"],
        ["plot", record.simulation_id, other.simulation_id, "-o", store.parent / "p.png"],
    ]
    for command in commands:
        outcome = invoke("results", *command, env={"COLUMNS": "1000"})
        shown = outcome.stdout + outcome.stderr
        for raw in ("\x1b", "\x07", "\x9b", "\u202e", "\u200b", "\r", "❌"):
            assert raw not in shown, (command, raw)
        assert "\\x1b[2J" in shown or command[0] == "plot", command
    [figure] = built_figures  # its text holds no control character either
    drawn = [text.get_text() for text in figure.findobj(lambda artist: hasattr(artist, "get_text"))]
    assert any("\\x1b[2J" in text for text in drawn)
    assert not any(raw in text for text in drawn for raw in ("\x1b", "\x07", "\u202e"))
    (store / "fdtd" / f"{HOSTILE}_{'2' * 16}.json").mkdir()  # its error names it
    debugged = invoke("--debug", "results", "show", "2" * 16, env={"COLUMNS": "1000"})
    assert debugged.exit_code == 1 and "Traceback" in debugged.stderr
    assert "\x1b" not in debugged.stderr and "\\x1b[2J" in debugged.stderr
    shown = invoke("results", "show", record.simulation_id).stdout
    assert markup in shown and "\\u202e\\u200b\\r\\n\\x9b31m" in shown
    listed = invoke("results", "ls", "--json", "--component", HOSTILE)
    assert "\x1b" not in listed.stderr and "Failed to parse" in listed.stderr
    assert "\\x1b[2J" in listed.stderr
    fields = orjson.loads(listed.stdout)
    assert (fields["component_name"], fields["pdk_version"]) == (HOSTILE, HOSTILE)
    assert "\u202e" not in listed.stdout and "\x9b" not in listed.stdout  # JSON escapes
    assert (
        orjson.loads(invoke("results", "show", record.simulation_id, "--json").stdout)[
            "error_message"
        ]
        == markup + HOSTILE
    )


# ------------------------------------------------------------------ verify


def ended_pid():
    process = subprocess.Popen([sys.executable, "-c", "pass"])
    process.wait()
    return process.pid


def tree(store):
    """Every file under the store: relative path -> bytes."""
    return {
        path.relative_to(store): path.read_bytes() if path.is_file() else None
        for path in store.rglob("*")
        if not path.is_dir()
    }


def test_verify_repair_quarantines_damage_and_removes_only_stale_temporaries(
    store, results, monkeypatch
):
    a, _, c = results
    fdtd = store / "fdtd"
    damaged = {  # file name in fdtd/: content
        "truncated_0000000000000001.json": b'{"component_name": "trunc',
        "invalid_0000000000000002.json": b'{"status": "maybe"}',
        f"other_{a.simulation_id}.json": file_of(store, a).read_bytes(),
        f"a_{'1' * 16}.json": file_of(store, a).read_bytes(),
    }
    for name, content in damaged.items():
        (fdtd / name).write_bytes(content)
    (store / "eme" / file_of(store, c).name).write_bytes(file_of(store, c).read_bytes())
    (fdtd / "noid.json").write_bytes(file_of(store, c).read_bytes())  # no save names it so
    old = 2 * 3600
    temporaries = {
        f".a_{'a' * 16}.json.{ended_pid()}.0.tmp": (old, False),  # save killed: stale
        f".b_{'b' * 16}.json.{os.getpid()}.1.tmp": (old, True),  # save still running
        f".c_{'c' * 16}.json.{ended_pid()}.2.tmp": (0, True),  # recent: maybe elsewhere
    }
    for name in temporaries:
        (fdtd / name).write_bytes(b"partial")
    backdate(monkeypatch, {name: age for name, (age, _) in temporaries.items()})
    before = tree(store)

    checked = invoke("results", "verify")
    assert checked.exit_code == 1
    assert tree(store) == before
    assert "--repair" in checked.stdout

    repaired = invoke("results", "verify", "--repair")
    assert repaired.exit_code == 1
    after = tree(store)
    quarantined = {
        path: content for path, content in after.items() if path.parts[0] == ".quarantine"
    }
    moved = {
        Path(path.parts[1], path.name.removesuffix(".damaged")): content
        for path, content in quarantined.items()
    }
    removed = set(before) - set(after) - set(moved)
    assert removed == {Path("fdtd", name) for name, (_, kept) in temporaries.items() if not kept}
    assert moved == {
        path: before[path] for path in before if path not in removed and path not in after
    }
    assert len(moved) == len(damaged) + 1  # + the misplaced eme file
    assert all(not path.name.endswith(".json") for path in quarantined)
    assert after[Path("fdtd", "noid.json")] == before[Path("fdtd", "noid.json")]

    again = invoke("results", "verify")
    assert again.exit_code == 1, again.stdout  # noid.json is the user's to look at
    assert "0 damaged or left over, 1 not written by the store" in again.stdout
    assert ss._find_simulation_file("0000000000000001") is None

    # The same damage once more: the earlier quarantined copy stays.
    (fdtd / "truncated_0000000000000001.json").write_bytes(b"again")
    assert invoke("results", "verify", "--repair").exit_code == 1
    name = "truncated_0000000000000001.json"
    assert {
        path.name: path.read_bytes()
        for path in (store / ".quarantine" / "fdtd").glob("truncated_*")
    } == {f"{name}.damaged": damaged[name], f"{name}.2.damaged": b"again"}


def test_a_temporary_file_written_again_after_the_check_stays(store, monkeypatch):
    save()
    temporary = store / "fdtd" / f".a_{'a' * 16}.json.{ended_pid()}.0.tmp"
    temporary.write_bytes(b"partial")
    backdate(monkeypatch, {temporary.name: 2 * 3600})
    check = checks.check_temporary_file

    def check_then_write(file, now):  # a new file of that name after the check
        finding = check(file, now)
        temporary.with_name("new").write_bytes(b"another save")
        os.replace(temporary.with_name("new"), temporary)
        return finding

    monkeypatch.setattr(checks, "check_temporary_file", check_then_write)
    repaired = invoke("results", "verify", "--repair")
    assert "left: changed since it was checked" in repaired.stdout
    assert temporary.read_bytes() == b"another save"


# ------------------------------------------------------------------- stats


def test_stats_per_type_status_and_pdk(store, results):
    shown = invoke("results", "stats")
    assert shown.exit_code == 0
    size = {record.component_name: file_of(store, record).stat().st_size for record in results}

    def row(group, count, total):
        return re.search(
            rf"^\s+{group}\s+{count}\s+{re.escape(decimal(total))}\s", shown.stdout, re.MULTILINE
        )

    assert row("fdtd", 2, size["a"] + size["c"]) and row("eme", 1, size["b"])
    assert row("success", 2, size["a"] + size["c"]) and row("error", 1, size["b"])
    assert row("generic", 2, size["a"] + size["c"]) and row("generic v2", 1, size["b"])
    assert f"3 result(s), {decimal(sum(size.values()))}" in shown.stdout


# ---------------------------------------------------------- console script


def test_console_script(store, results):
    script = Path(sys.executable).with_name("vantorel")
    elsewhere = {**os.environ, "VANTOREL_SIMULATIONS_DIR": str(store.with_name("other"))}
    listed = subprocess.run(
        [script, "--store", store, "results", "ls", "--json"],
        capture_output=True,
        text=True,
        env=elsewhere,
    )
    assert (listed.returncode, ids(listed)) == (
        0,
        [record.simulation_id for record in reversed(results)],
    )
    blocked = subprocess.run(
        [
            sys.executable,
            "-c",
            "import sys; sys.modules['typer'] = None; sys.argv[1:] = ['results', 'ls']; "
            "import runpy; runpy.run_module('vantorel', run_name='__main__')",
        ],
        capture_output=True,
        text=True,
    )
    assert blocked.returncode == 1
    assert blocked.stderr.splitlines() == [
        "error: the vantorel command line needs typer and rich: pip install 'vantorel[cli]'"
    ]


# ------------------------------------------------------------- IDs, options


def decoy_of(store, record):
    """A file whose ID shares the first four characters of `record`'s."""
    fifth = "0" if record.simulation_id[4] != "0" else "1"
    decoy = f"{record.simulation_id[:4]}{fifth}{'0' * 11}"
    (store / "fdtd" / f"decoy_{decoy}.json").write_bytes(file_of(store, record).read_bytes())
    return decoy


@pytest.mark.parametrize(
    "command", [["show"], ["diff", "{other}"], ["plot", "-o", "{png}"], ["rm", "--dry-run"]]
)
def test_every_id_may_be_a_unique_prefix(store, tmp_path, results, command):
    a, b, _ = results
    decoy = decoy_of(store, a)

    def run(prefix):
        filled = [arg.format(other=b.simulation_id, png=tmp_path / "x.png") for arg in command]
        return invoke("results", filled[0], prefix, *filled[1:])

    unique = run(a.simulation_id[:5])
    assert unique.exit_code == 0, unique.output
    assert command[0] == "plot" or a.simulation_id in unique.stdout
    ambiguous = run(a.simulation_id[:4])
    assert ambiguous.exit_code == 1
    assert ambiguous.stderr == (
        f"error: ID prefix {a.simulation_id[:4]} is ambiguous: it could mean "
        + ", ".join(sorted([f"{a.simulation_id} (a)", f"{decoy} (decoy)"]))
        + "\n"
    )
    short = run(a.simulation_id[:3])
    assert short.exit_code == 2 and "at least 4 characters" in short.stderr
    assert ss.load_simulation_result(a.simulation_id) == a


@pytest.mark.parametrize("any_store", ["s3"], indirect=True)
def test_ids_are_resolved_from_one_listing(any_store):
    record = save()
    decoy = decoy_of(any_store, record)
    any_store.fs.connect()
    sent = []
    any_store.fs.s3.meta.events.register(
        "before-send.s3", lambda event_name, **_: sent.append(event_name.split(".")[-1])
    )
    assert invoke("results", "show", decoy[:5]).exit_code == 0
    assert sorted(sent) == ["GetObject", "HeadBucket", "ListObjectsV2"]
    sent.clear()
    assert invoke("results", "show", decoy[:4]).exit_code == 1  # ambiguous: nothing read
    assert sorted(sent) == ["HeadBucket", "ListObjectsV2"]


@pytest.mark.parametrize("any_store", ["local", "memory"], indirect=True)
@pytest.mark.parametrize(
    "position", ["before results", "after results", "after the command", "twice"]
)
def test_store_option_before_or_after_results_or_the_command(any_store, tmp_path, position):
    record, url = save(), str(any_store)
    elsewhere = str(tmp_path / "elsewhere")  # no store: a listing of it fails
    args = {
        "before results": ["--store", url, "results", "ls"],
        "after results": ["results", "--store", url, "ls"],
        "after the command": ["results", "ls", "--store", url],
        "twice": ["--store", elsewhere, "results", "ls", "--store", url],  # the last counts
    }[position]
    listed = invoke(*args, "--json", env={"VANTOREL_SIMULATIONS_DIR": elsewhere})
    assert (listed.exit_code, ids(listed)) == (0, [record.simulation_id]), listed.output


TYPE_MARKER = re.compile(r"<(bool|str|int|float|path|list\[|\w+ range|\w+\|)")


def test_version_help_and_no_type_markers():
    from typer.main import get_command

    from vantorel.cli.app import results_app

    assert invoke("--version").stdout == f"vantorel {vantorel.__version__}\n"
    commands = [[], ["results"], *(["results", name] for name in get_command(results_app).commands)]
    assert len(commands) == 12
    for command in commands:
        for flag in ("-h", "--help"):
            helped = invoke(*command, flag, env={"COLUMNS": "200"})
            assert helped.exit_code == 0 and "Usage: vantorel" in helped.stdout
            assert not TYPE_MARKER.search(helped.stdout), (command, helped.stdout)
    shown = invoke("results", "ls", "-h", env={"COLUMNS": "200"}).stdout
    assert re.search(r"--where\s+CONDITION\s", shown) and re.search(r"--limit\s+N\s", shown)


# ----------------------------------------------------------------- sweeps


def test_ls_of_a_sweep_by_conditions_with_settings_and_a_limit(sweep):
    ids = by_settings(sweep)
    listed = invoke("results", "ls", "--where", "radius=10", "--where", "gap>0.2", "--json")
    [row] = [orjson.loads(line) for line in listed.stdout.splitlines()]
    assert row["simulation_id"] == ids[(10, 0.3)]
    assert (row["component_settings"], row["model_parameters"]) == (
        {"radius": 10, "gap": 0.3, "ports": ["o1", "o2"]},
        {"cross_section": {"width": 0.45}},
    )
    assert row["hyperparameters"]["num_wavelengths"] == 101
    table = invoke("results", "ls", "--columns", "gap,width", "--limit", "3")
    rows = [line.split() for line in table.stdout.splitlines() if re.match(r"\s+\d{4}-", line)]
    assert [(row[5], row[-2], row[-1]) for row in rows] == [  # ID, gap, width
        (ids[(20, 0.3)], "0.3", "0.45"),
        (ids[(20, 0.2)], "0.2", "0.45"),
        (ids[(10, 0.3)], "0.3", "0.45"),
    ]
    assert "3 of 4 results" in table.stdout
    save(model_parameters={"gap": 1})
    for option in ("--where", "--columns"):
        refused = invoke("results", "ls", option, "gap" if option == "--columns" else "gap<0.3")
        assert refused.exit_code == 2 and refused.stderr.count("\n") == 1
        assert (
            f"error: {option}: 'gap' is ambiguous: it could mean "
            "component_settings.gap, model_parameters.gap"
        ) in refused.stderr


EXPORT_READERS = {
    ".csv": lambda path: list(pd.read_csv(path, index_col="simulation_id").index),
    ".parquet": lambda path: list(pq.read_table(path).to_pandas().index),
    ".jsonl": lambda path: [orjson.loads(line)["simulation_id"] for line in path.open("rb")],
}


def netcdf_ids(path):
    with xr.open_dataset(path, engine="netcdf4", auto_complex=True) as dataset:
        assert dataset["s(1,2)"].dtype == complex
        return list(dataset["simulation_id"].values)


@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".nc", ".jsonl"])
def test_export_writes_what_passes_the_filters_in_the_suffix_format(sweep, tmp_path, suffix):
    ids = by_settings(sweep)
    output = tmp_path / f"sweep{suffix}"
    exported = invoke("results", "export", "--where", "radius=20", "--type", "fdtd", "-o", output)
    assert exported.exit_code == 0, exported.output
    read = EXPORT_READERS.get(suffix, netcdf_ids)
    assert read(output) == [ids[(20, 0.3)], ids[(20, 0.2)]]


def test_export_format_by_option_or_refused(sweep, tmp_path):
    named = invoke("results", "export", "--format", "jsonl", "-o", tmp_path / "records.txt")
    assert named.exit_code == 0
    assert len((tmp_path / "records.txt").read_bytes().splitlines()) == 4
    unknown = invoke("results", "export", "-o", tmp_path / "sweep.xlsx")
    assert unknown.exit_code == 2 and "pass --format" in unknown.stderr


def test_diff_shows_what_differs_and_the_largest_differences(sweep):
    ids = by_settings(sweep)
    shown = invoke("results", "diff", ids[(10, 0.2)][:6], ids[(20, 0.2)], env={"COLUMNS": "200"})
    assert shown.exit_code == 0, shown.output
    assert re.search(r"^\s+component_settings\.radius\s+10\s+20\s*$", shown.stdout, re.M)
    assert "gap" not in shown.stdout  # the same in both
    assert re.search(r"^\s+o1@0,o2@0\s+0\.1\s+1\.5\s*$", shown.stdout, re.M)
    assert re.search(r"^\s+loss_db\s+1\s*$", shown.stdout, re.M)
    assert re.search(r"^\s+note\s+equal\s*$", shown.stdout, re.M)


def test_plot_of_a_sweep_by_setting_with_the_legend_outside(sweep, tmp_path, built_figures):
    output = tmp_path / "spectra.pdf"
    plotted = invoke(
        "results", "plot", "--where", "gap=0.2", "--entry", "o1@0,o2@0", "--label", "radius",
        "-o", output,
    )  # fmt: skip
    assert plotted.exit_code == 0, plotted.output
    assert output.read_bytes().startswith(b"%PDF")
    [figure] = built_figures
    [axes] = figure.axes
    assert [line.get_label() for line in axes.get_lines()] == ["radius=20", "radius=10"]
    assert figure.get_suptitle() == "ring: o1@0,o2@0"
    [legend] = figure.legends
    figure.draw_without_rendering()  # lays the figure out
    placed, data_area = legend.get_window_extent(), axes.get_window_extent()
    assert not placed.overlaps(data_area)
    assert placed.y1 <= data_area.y1  # below the title, which spans the figure

    merit = invoke(
        "results", "plot", "--x", "radius", "--metric", "min(o1@0,o2@0)", "-o", tmp_path / "m.svg"
    )
    assert merit.exit_code == 0, merit.output
    axes = built_figures[-1].axes[0]
    assert [(line.get_label(), list(line.get_xdata())) for line in axes.get_lines()] == [
        ("gap=0.2", [10, 20]),
        ("gap=0.3", [10, 20]),
    ]
    assert list(axes.get_lines()[0].get_ydata()) == pytest.approx([1.1 - 0.3, 1.0 - 0.3])
    assert axes.get_ylabel() == "min(o1@0,o2@0)"
    assert built_figures[-1].get_suptitle() == "ring: min(o1@0,o2@0)"


@pytest.mark.parametrize(
    "options, message",
    [
        (["--x", "radius"], "--x and --metric go together"),
        (["--x", "radius2", "--metric", "max(t)"], "--x: no column is named 'radius2'"),
        (["--x", "radius", "--metric", "median(t)"], "--metric: malformed metric"),
        (["--label", "gap,"], "--label: 'gap,'"),
    ],
)
def test_plot_usage_errors(sweep, tmp_path, options, message):
    refused = invoke("results", "plot", *options, "-o", tmp_path / "x.png")
    assert refused.exit_code == 2 and refused.stderr.startswith(f"error: {message}")


def test_conditions_narrow_named_results_and_removals(sweep, tmp_path, built_figures):
    ids = by_settings(sweep)
    named = [ids[(10, 0.2)], ids[(20, 0.2)], ids[(10, 0.3)]]
    plotted = invoke(
        "results", "plot", *named, "--where", "gap=0.2", "--entry", "o1@0,o2@0", "-o",
        tmp_path / "x.png",
    )  # fmt: skip
    assert plotted.exit_code == 0, plotted.output
    lines = built_figures[0].axes[0].get_lines()
    assert [line.get_label() for line in lines] == ["radius=10", "radius=20"]
    cleared = invoke("results", "clear", "--where", "radius=20", "--yes")
    assert cleared.exit_code == 0 and "Removed 2 result(s)." in cleared.stdout
    assert sorted(by_settings(ss.list_simulation_results())) == [(10, 0.2), (10, 0.3)]


@pytest.mark.parametrize("text", ["\x9b", "\u200b", "\U000e0041"])
def test_json_escapes_what_acts_and_decodes_exactly(capsys, text):
    terminal.print_json_line({"t": text})
    line = capsys.readouterr().out
    assert text not in line and orjson.loads(line) == {"t": text}
    assert text not in terminal.escape_controls(f"a{text}b")
