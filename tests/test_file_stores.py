"""What tools reach of a store: results named from a listing alone, their
content with the version read, and removals and moves that take only the
version listed, on every kind of store."""

import os
import time
from pathlib import Path

import pytest

from conftest import identity, save
from vantorel.core import file_stores, simulation_storage as ss


def names(files):
    return sorted((f.simulation_type, f.component_name, f.simulation_id) for f in files)


def test_names_sizes_and_reads_without_reading_twice(any_store):
    # moto cannot take a newline in a key; a local file name can.
    components = ["a", "b c", ""] + ["d\ne"] * isinstance(any_store, Path)
    records = [save(component_name=c, simulation_type=t) for c in components for t in ("x", "y")]
    (any_store / "x" / "notes.json").write_bytes(b"{}")  # not named like a result
    files = file_stores.files_of(any_store)
    listed = files.names()
    assert names(listed) == sorted(
        (r.simulation_type, r.component_name, r.simulation_id) for r in records
    )
    assert names(files.names("y")) == [n for n in names(listed) if n[0] == "y"]
    for content, read in files.read_each(listed):
        assert (
            read.size == len(content) == ss._find_simulation_file(read.simulation_id).stat().st_size
        )
    assert files.names("missing") == []
    for refused in ("..", "", "a/b"):
        with pytest.raises(ValueError, match="one directory inside the store"):
            files.names(refused)


def test_inventory_sorts_what_tools_may_touch(any_store):
    record = save()
    files = file_stores.files_of(any_store)
    files.check_root()
    extra = {".x.json.12.0.tmp": b"partial", "notes.json": b"{}", "readme.txt": b"hi"}
    for name, content in extra.items():
        (any_store / "fdtd" / name).write_bytes(content)
    (any_store / ".quarantine" / "fdtd").mkdir(parents=True, exist_ok=True)
    (any_store / ".quarantine" / "fdtd" / f"a_{'1' * 16}.json").write_bytes(b"{}")
    inventory = files.inventory()
    assert [f.simulation_id for f in inventory.results] == [record.simulation_id]
    assert [(f.simulation_type, f.name) for f in inventory.temporaries] == [
        ("fdtd", ".x.json.12.0.tmp")
    ]
    [temporary] = inventory.temporaries
    assert temporary.modified == pytest.approx(time.time(), abs=120)
    assert [f.name for f in inventory.others] == ["notes.json"]


def test_failed_reads_come_in_place_of_the_content(store):
    good, bad = save(component_name="good"), save(component_name="bad")
    path = ss._find_simulation_file(bad.simulation_id)
    path.unlink()
    os.mkfifo(path)
    files = file_stores.files_of(store)
    outcomes = {f.component_name: content for f, content in files.read_each_or_error(files.names())}
    assert isinstance(outcomes["bad"], OSError) and outcomes["bad"].filename == str(path)
    assert outcomes["good"] == ss._find_simulation_file(good.simulation_id).read_bytes()
    with pytest.raises(OSError, match="Not a regular file"):
        list(files.read_each(files.names()))


def test_removal_takes_only_the_version_listed(any_store):
    first, second = save(component_name="a"), save(component_name="b")
    files = file_stores.files_of(any_store)
    listed = sorted(files.names(), key=lambda f: f.component_name)
    save(component_name="b", result={"s21": [0.5, 0.5]})  # saved again after the listing
    removed = []
    files.remove(listed, removed.append)
    assert [f.simulation_id for f in removed] == [first.simulation_id]
    assert ss.load_simulation_result(first.simulation_id) is None
    assert ss.load_simulation_result(second.simulation_id).result == {"s21": [0.5, 0.5]}
    files.remove(listed, removed.append)  # gone or changed: nothing more
    assert len(removed) == 1


def test_move_takes_only_the_version_listed_and_never_replaces(any_store):
    save(component_name="a")
    files = file_stores.files_of(any_store)
    [listed] = files.names()
    save(component_name="a", result={"s21": [0.1, 0.2]})
    assert files.move(listed, ".quarantine", "a.damaged") is False
    assert ss.find_simulation_result(**identity(component_name="a")).result == {"s21": [0.1, 0.2]}
    [listed] = files.names()
    assert files.move(listed, ".quarantine", "a.damaged") is True
    assert files.names() == [] and (any_store / ".quarantine" / "a.damaged").exists()
    save(component_name="a")
    [listed] = files.names()
    with pytest.raises(FileExistsError):
        files.move(listed, ".quarantine", "a.damaged")
    assert len(files.names()) == 1


def test_local_removals_never_follow_a_symbolic_link(tmp_path, store):
    save(simulation_type="fdtd")
    outside = tmp_path / "outside"
    outside.mkdir()
    files = file_stores.files_of(store)
    [listed] = files.names()
    os.rename(store / "fdtd", tmp_path / "moved")
    (store / "fdtd").symlink_to(outside)
    (outside / listed.name).write_bytes(b"not the store's")
    with pytest.raises(OSError, match="symbolic link"):
        files.remove([listed], print)
    assert (outside / listed.name).read_bytes() == b"not the store's"


@pytest.mark.parametrize("kind", ["fifo", "directory", "growing"])
def test_local_reads_are_bounded_and_never_block(store, kind):
    record = save()
    path = ss._find_simulation_file(record.simulation_id)
    path.unlink()
    {"fifo": os.mkfifo, "directory": os.mkdir, "growing": lambda p: p.symlink_to("/dev/zero")}[
        kind
    ](path)
    [listed] = file_stores.files_of(store).names()
    with pytest.raises(OSError) as raised:
        file_stores.files_of(store).read(listed)
    assert raised.value.filename == str(path)
