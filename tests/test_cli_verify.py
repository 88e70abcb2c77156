"""`vantorel results verify --repair` on every kind of store: it moves only
damaged results, and each only while it is the version judged; it leaves
what it cannot read, what a newer version wrote, and everything outside
the store."""

import errno
import os
import threading
import time
from contextlib import contextmanager
from datetime import UTC, datetime, timedelta
from pathlib import Path

import orjson
import pytest

from conftest import file_of, invoke, save
from vantorel.cli import checks
from vantorel.core import file_stores, object_store, simulation_storage as ss

GONE_PID = 99_999_999  # above any pid_max: no such process


def quarantined(store):
    directory = store / ".quarantine" / "fdtd"
    return (
        {path.name: path.read_bytes() for path in directory.iterdir()} if directory.exists() else {}
    )


def test_repair_quarantines_only_damage_on_every_store(any_store):
    good = save(component_name="good")
    content = file_of(any_store, good).read_bytes()
    damaged = {
        f"truncated_{'1' * 16}.json": b'{"component_name": "trunc',
        f"invalid_{'2' * 16}.json": b'{"status": "maybe"}',
        f"other_{good.simulation_id}.json": content,  # named for another component
    }
    for name, data in damaged.items():
        (any_store / "fdtd" / name).write_bytes(data)
    newer = save(component_name="newer")  # as a later version writes it: one knob more
    fields = orjson.loads(file_of(any_store, newer).read_bytes())
    fields["hyperparameters"]["mode_solver_rank"] = 3
    file_of(any_store, newer).write_bytes(orjson.dumps(fields))
    # A save names files by its own rule: a newline is no damage (moto
    # cannot take one in a key).
    on_s3 = not isinstance(any_store, Path) and any_store.protocol == "s3"
    odd = None if on_s3 else save(component_name="line\nbreak")
    sent = []
    if on_s3:
        any_store.fs.connect()
        any_store.fs.s3.meta.events.register(
            "before-send.s3", lambda event_name, **_: sent.append(event_name.split(".")[-1])
        )

    checked = invoke("results", "verify")
    if on_s3:  # each object read in one request, without a HEAD before it
        # A listing of the store, and one of its claims.
        assert sorted(sent) == ["GetObject"] * 5 + ["HeadBucket"] + ["ListObjectsV2"] * 2
    assert checked.exit_code == 1, checked.output
    assert quarantined(any_store) == {}
    assert "written by a newer version" in checked.stdout
    assert "mode_solver_rank" in checked.stdout

    repaired = invoke("results", "verify", "--repair")
    assert repaired.exit_code == 1
    assert quarantined(any_store) == {f"{name}.damaged": data for name, data in damaged.items()}
    assert orjson.loads(file_of(any_store, newer).read_bytes()) == fields
    assert ss.load_simulation_result(good.simulation_id) == good
    if odd is not None:
        assert ss.load_simulation_result(odd.simulation_id) == odd
    again = invoke("results", "verify")
    assert again.exit_code == 0, again.output  # a newer record is no fault


def test_a_result_saved_after_the_check_stays(any_store, monkeypatch):
    record = save()
    file_of(any_store, record).write_bytes(b'{"component_name": "trunc')
    judge = checks.judge

    def judge_then_save(file, content):  # the save lands between check and repair
        finding = judge(file, content)
        save(result={"s21": [0.25, 0.5]})
        return finding

    monkeypatch.setattr(checks, "judge", judge_then_save)
    repaired = invoke("results", "verify", "--repair")
    assert "not JSON" in repaired.stdout
    assert "left: changed since it was checked" in repaired.stdout
    assert ss.load_simulation_result(record.simulation_id).result == {"s21": [0.25, 0.5]}
    assert quarantined(any_store) == {}


@contextmanager
def failing_reads(store, name, request):
    """Each read of the file `name` fails while the block runs: refused
    locally (the tests run as root, whom permissions do not stop), a server
    error on S3, a dropped connection on memory://."""
    if not isinstance(store, Path) and store.protocol == "s3":
        with request.getfixturevalue("s3_faults").fail("GET", name):
            yield
        return
    with pytest.MonkeyPatch.context() as patch:
        if isinstance(store, Path):
            read = file_stores.read_regular_file

            def refusing(dir_fd, relative, path):
                if os.path.basename(relative) == name:
                    raise PermissionError(errno.EACCES, "Permission denied", str(path))
                return read(dir_fd, relative, path)

            patch.setattr(file_stores, "read_regular_file", refusing)
        else:
            read_object = object_store.ObjectStore.read

            def unavailable_object(self, path):
                if path.name == name:
                    raise ConnectionError("connection reset")
                return read_object(self, path)

            patch.setattr(object_store.ObjectStore, "read", unavailable_object)
        yield


def test_a_file_that_cannot_be_read_is_left_alone(any_store, request):
    record, other = save(component_name="a"), save(component_name="b")
    path = file_of(any_store, record)
    content = path.read_bytes()
    with failing_reads(any_store, path.name, request):
        repaired = invoke("results", "verify", "--repair")
    assert repaired.exit_code == 1
    [row] = [line for line in repaired.stdout.splitlines() if path.name in line]
    assert "unreadable" in row and "left alone" in row
    assert "1 unreadable" in repaired.stdout
    assert path.read_bytes() == content
    assert quarantined(any_store) == {}
    assert ss.load_simulation_result(other.simulation_id) == other


def snapshot(directory):
    return {
        path.relative_to(directory): path.read_bytes() if path.is_file() else None
        for path in directory.rglob("*")
    }


@pytest.mark.parametrize(
    "case",
    [
        "quarantine is a link",
        "quarantine is a file",
        "type directory is a link",
        "type directory swapped after the check",
        "claims is a link",
        "claims is a file",
    ],
)
def test_repair_never_acts_outside_the_store(tmp_path, store, monkeypatch, case):
    save()
    damaged = f"x_{'1' * 16}.json"
    outside = tmp_path / "outside"
    outside.mkdir()
    for name, content in {
        "settings.json": b"{}",
        f".notes.{GONE_PID}.1.tmp": b"notes",
        damaged: b"not the store's",
    }.items():
        (outside / name).write_bytes(content)
        os.utime(outside / name, (0, 0))
    (store / "fdtd" / damaged).write_bytes(b"{")
    if case == "quarantine is a link":
        (store / ".quarantine").symlink_to(outside, target_is_directory=True)
    elif case == "quarantine is a file":
        (store / ".quarantine").write_bytes(b"mine")
    elif case == "type directory is a link":
        (store / "eme").symlink_to(outside, target_is_directory=True)
    elif case == "claims is a link":
        (store / ".claims").symlink_to(outside, target_is_directory=True)
    elif case == "claims is a file":
        (store / ".claims").write_bytes(b"mine")
    else:
        judge = checks.judge

        def judge_then_swap(file, content):
            finding = judge(file, content)
            if file.name == damaged and not (tmp_path / "moved").exists():
                os.rename(store / "fdtd", tmp_path / "moved")
                (store / "fdtd").symlink_to(outside, target_is_directory=True)
            return finding

        monkeypatch.setattr(checks, "judge", judge_then_swap)
    before = snapshot(outside)
    repaired = invoke("results", "verify", "--repair", env={"COLUMNS": "400"})
    assert repaired.exit_code == 1
    assert snapshot(outside) == before
    row, refusal = {
        "quarantine is a link": (damaged, "failed: .quarantine: Not followed: a symbolic link"),
        "quarantine is a file": (damaged, "failed: .quarantine: Not a directory"),
        "type directory is a link": ("eme/", "failed: eme: Not followed: a symbolic link"),
        "type directory swapped after the check": (
            damaged,
            "failed: fdtd: Not followed: a symbolic link",
        ),
        "claims is a link": (".claims/", "Not followed: a symbolic link"),
        "claims is a file": (".claims/", "Not a directory"),
    }[case]
    assert any(row in line and refusal in line for line in repaired.stdout.splitlines())
    if case.startswith("claims"):  # the rest was checked and repaired
        assert "moved to .quarantine/fdtd/" in repaired.stdout
    if case.startswith("quarantine"):
        assert (store / "fdtd" / damaged).read_bytes() == b"{"
    if case == "quarantine is a file":
        assert (store / ".quarantine").read_bytes() == b"mine"


def test_verify_reads_no_fifo_or_device(store):
    save()
    fifo, zero = (store / "fdtd" / f"{name}_{'1' * 16}.json" for name in ("fifo", "zero"))
    os.mkfifo(fifo)
    zero.symlink_to("/dev/zero")
    outcome = []
    worker = threading.Thread(
        target=lambda: outcome.append(invoke("results", "verify", "--repair")), daemon=True
    )
    started = time.monotonic()
    worker.start()
    worker.join(timeout=60)
    assert outcome, "verify blocked on a FIFO or a device"
    assert time.monotonic() - started < 60
    [repaired] = outcome
    assert repaired.exit_code == 1
    assert repaired.stdout.count("Not a regular file") == 2
    assert "2 unreadable" in repaired.stdout
    assert os.path.lexists(fifo) and zero.is_symlink()
    assert quarantined(store) == {}


def claim(simulation_id, heartbeat_at):
    """A claim as its holder writes it."""
    return orjson.dumps(
        {
            "simulation_id": simulation_id,
            "generation": 0,
            "holder": "worker-7 pid 4242 thread 1",
            "heartbeat": 3,
            "heartbeat_at": heartbeat_at.isoformat(),
            "released": False,
        }
    )


def test_repair_removes_claims_whose_heartbeat_stopped_a_day_ago(any_store, monkeypatch):
    save()
    claims = any_store / ".claims"
    if isinstance(any_store, Path):
        claims.mkdir()
    now = datetime.now(UTC)
    names = {
        kind: f"{n:016x}.0.claim" for n, kind in enumerate(["stale", "fresh", "beaten", "bad"])
    }
    written = {
        "stale": claim("1" * 16, now - timedelta(days=2)),
        "fresh": claim("2" * 16, now - timedelta(hours=20)),
        "beaten": claim("3" * 16, now - timedelta(days=3)),  # its holder wakes up
        "bad": b'{"heartbeat_at": "yesterday"}',
    }
    for kind, content in written.items():
        (claims / names[kind]).write_bytes(content)
    heartbeat = claim("3" * 16, now)
    judge = checks.judge_claim

    def judge_then_beat(file, content, moment):  # in place, as a holder rewrites
        finding = judge(file, content, moment)
        if file.name == names["beaten"]:
            (claims / file.name).write_bytes(heartbeat)
        return finding

    checked = invoke("results", "verify", env={"COLUMNS": "400"})
    assert checked.exit_code == 1
    assert {path.name: path.read_bytes() for path in claims.iterdir()} == {
        names[kind]: content for kind, content in written.items()
    }
    monkeypatch.setattr(checks, "judge_claim", judge_then_beat)
    repaired = invoke("results", "verify", "--repair", env={"COLUMNS": "400"})
    assert repaired.exit_code == 1  # the bad claim is for a person to look at
    rows = {
        kind: next(line for line in repaired.stdout.splitlines() if names[kind] in line)
        for kind in ("stale", "beaten", "bad")
    }
    assert "2 days ago, by worker-7 pid 4242" in rows["stale"] and "removed" in rows["stale"]
    assert "left: changed since it was checked" in rows["beaten"]
    assert "claim that cannot be parsed" in rows["bad"] and "left alone" in rows["bad"]
    assert names["fresh"] not in repaired.stdout
    assert {path.name: path.read_bytes() for path in claims.iterdir()} == {
        names["fresh"]: written["fresh"],
        names["beaten"]: heartbeat,
        names["bad"]: written["bad"],
    }


def test_repair_puts_back_what_an_unfinished_removal_set_aside(store):
    records = {name: save(component_name=name) for name in ("free", "taken", "running")}
    asides = {}
    for name, record in records.items():
        path = file_of(store, record)
        pid = os.getpid() if name == "running" else GONE_PID
        asides[name] = path.with_name(f".{path.name}.{pid}.0.aside")
        if name == "taken":  # a newer file holds its name
            asides[name].write_bytes(b"older")
        else:
            os.rename(path, asides[name])
    asides["cut"] = store / "fdtd" / f".{'c' * 200}.{GONE_PID}.1.aside"
    asides["cut"].write_bytes(b"cut")
    repaired = invoke("results", "verify", "--repair", env={"COLUMNS": "400"})
    assert repaired.exit_code == 1
    rows = {
        name: next(line for line in repaired.stdout.splitlines() if aside.name in line)
        for name, aside in asides.items()
    }
    taken = file_of(store, records["taken"]).name
    assert "set aside by a removal that did not finish" in rows["free"]
    assert f"put back as fdtd/{file_of(store, records['free']).name}" in rows["free"]
    assert f"left: another file holds fdtd/{taken}" in rows["taken"]
    assert "left: its name is cut short" in rows["cut"]
    assert "may still run" in rows["running"] and "left alone" in rows["running"]
    assert ss.load_simulation_result(records["free"].simulation_id) == records["free"]
    assert [aside.exists() for aside in asides.values()] == [False, True, True, True]
    assert asides["taken"].read_bytes() == b"older"


def test_repair_gives_each_failure_its_row_and_shows_every_row_done(store, monkeypatch):
    save()
    names = [f"{c}_{c * 16}.json" for c in "abcde"]
    for name in names:
        (store / "fdtd" / name).write_bytes(b"{")
    attempts = []
    move = file_stores.LocalFiles.move

    def failing(self, file, to_directory, to_name):
        attempts.append(file.name)
        target = self.root / to_directory / to_name
        if file.name == names[0]:
            raise RuntimeError("botocore: an error s3fs did not translate")
        if file.name in names[1:3]:  # another name taken, or its every quarantine name
            taken = "elsewhere" if file.name == names[1] else to_name
            raise FileExistsError(errno.EEXIST, "File exists", str(target.with_name(taken)))
        if file.name == names[4]:
            raise SystemExit(3)  # as an interruption ends it
        return move(self, file, to_directory, to_name)

    monkeypatch.setattr(file_stores.LocalFiles, "move", failing)
    repaired = invoke("results", "verify", "--repair", env={"COLUMNS": "400"})
    assert repaired.exit_code == 3
    rows = [next(line for line in repaired.stdout.splitlines() if n in line) for n in names]
    assert "failed: botocore: an error s3fs did not translate" in rows[0]
    assert "failed: .quarantine/fdtd/elsewhere: File exists" in rows[1]
    assert f"left: {checks.QUARANTINE_ATTEMPTS} quarantined copies" in rows[2]
    assert f"moved to .quarantine/fdtd/{names[3]}.damaged" in rows[3]
    assert "not reached" in rows[4]
    assert [attempts.count(name) for name in names] == [1, 1, checks.QUARANTINE_ATTEMPTS, 1, 1]
