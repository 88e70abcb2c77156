"""What tools reach of a store: results named from a listing alone, their
content with the version read, and removals and moves that take only the
version listed, on every kind of store."""

import errno
import itertools
import os
import time
from pathlib import Path

import orjson
import pytest
from upath import UPath

from conftest import file_of, identity, save
from vantorel import settings
from vantorel.core import claims, file_stores, object_store, simulation_storage as ss


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
    as_listed = {str(f.path): f for f in listed}
    for read, content in files.read_each_or_error(listed):
        assert (
            read.size == len(content) == ss._find_simulation_file(read.simulation_id).stat().st_size
        )
        assert read.version == as_listed[str(read.path)].version is not None
    assert files.names("missing") == []
    for refused in ("..", "", "a/b"):
        with pytest.raises(ValueError, match="one directory inside the store"):
            files.names(refused)


def test_inventory_sorts_what_tools_may_touch(any_store):
    record = save()
    files = file_stores.files_of(any_store)
    files.check_root()
    temporaries = [f".x_{'1' * 16}.json.12.0.tmp", f".{'y' * 200}.12.1.tmp"]  # whole, cut
    aside = f".x_{'2' * 16}.json.12.2.aside"
    extra = {
        **dict.fromkeys(temporaries, b"partial"),
        aside: b"{}",
        ".notes.json.12.3.tmp": b"",  # beside no result: no save's
        ".y.12.4.aside": b"",
        "notes.json": b"{}",
        "readme.txt": b"hi",
    }
    for name, content in extra.items():
        (any_store / "fdtd" / name).write_bytes(content)
        if isinstance(any_store, Path):  # its age counts from its last change (ctime)
            os.utime(any_store / "fdtd" / name, (0, 0))
    (any_store / ".quarantine" / "fdtd").mkdir(parents=True, exist_ok=True)
    (any_store / ".quarantine" / "fdtd" / f"a_{'1' * 16}.json").write_bytes(b"{}")
    inventory = files.inventory()
    assert [f.simulation_id for f in inventory.results] == [record.simulation_id]
    assert sorted(f.name for f in inventory.temporaries) == temporaries
    assert [(f.simulation_type, f.name) for f in inventory.asides] == [("fdtd", aside)]
    for file in inventory.temporaries + inventory.asides:
        assert file.modified == pytest.approx(time.time(), abs=120)
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
    with pytest.raises(FileExistsError) as raised:
        files.move(listed, ".quarantine", "a.damaged")
    assert raised.value.filename == str(any_store / ".quarantine" / "a.damaged")
    assert len(files.names()) == 1


@pytest.mark.parametrize("named_by", ["path", "file URL"])
def test_local_removals_never_follow_a_symbolic_link(tmp_path, store, named_by):
    save(simulation_type="fdtd")
    outside = tmp_path / "outside"
    outside.mkdir()
    root = store if named_by == "path" else UPath(f"file://{store}")
    if named_by == "file URL":  # local files, never object storage
        assert object_store.store_for(root) is None and settings.resolve_location(root) == store
        assert isinstance(claims.claim_files(root), claims.LocalClaimFiles)
    files = file_stores.files_of(root)
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


@pytest.mark.parametrize("change", ["written in place", "same size, newer", "a link in its place"])
def test_local_removals_and_moves_take_only_the_regular_file_listed(store, change):
    path = file_of(store, save())
    files = file_stores.files_of(store)
    [listed] = files.names()
    content = path.read_bytes()
    if change == "a link in its place":
        path.with_name("copy").write_bytes(content)
        path.unlink()
        path.symlink_to("copy")
    else:  # the same inode, as ext4 gives a removed file's to the next at once
        path.write_bytes(content + b" " * (change == "written in place"))
        newer = listed.version[3] + 1000
        os.utime(path, ns=(newer, newer))
    removed = []
    files.remove([listed], removed.append)
    assert removed == [] and files.move(listed, ".quarantine", "x") is False
    assert os.path.lexists(path) and not any(store.rglob("*.aside"))


def test_a_file_is_set_aside_never_over_one_and_put_back_on_any_failure(store, monkeypatch):
    path = file_of(store, save())
    files = file_stores.files_of(store)
    [listed] = files.names()
    monkeypatch.setattr(file_stores, "_aside_numbers", itertools.count(7))
    leftover = path.with_name(f".{path.name}.{os.getpid()}.7.aside")  # the next aside name
    leftover.write_bytes(b"left by an earlier process of this ID")

    def interrupted(*args):
        raise KeyboardInterrupt

    with monkeypatch.context() as patch:
        patch.setattr(file_stores, "_is_version", interrupted)
        with pytest.raises(KeyboardInterrupt):
            files.remove([listed], print)
    assert sorted(p.name for p in path.parent.iterdir()) == sorted([path.name, leftover.name])
    removed = []
    files.remove([listed], removed.append)
    assert removed == [listed] and [p.name for p in path.parent.iterdir()] == [leftover.name]
    assert leftover.read_bytes() == b"left by an earlier process of this ID"


@pytest.mark.parametrize("hard_links", [True, False])
def test_without_rename_noreplace_no_save_is_lost_or_replaced(store, monkeypatch, hard_links):
    """As on NFS: no rename that refuses to replace, and maybe no hard link."""
    path = file_of(store, save())
    files = file_stores.files_of(store)
    [listed] = files.names()
    monkeypatch.setattr(file_stores, "_renamed_without_replacing", lambda *args: False)
    link = os.link

    def save_then_link(*args, **kwargs):  # a save lands right before the link
        save(result={"s21": [0.5]})
        if not hard_links:
            raise PermissionError(errno.EPERM, "Operation not permitted")
        link(*args, **kwargs)

    monkeypatch.setattr(os, "link", save_then_link)
    if hard_links:  # moved by a link and an unlink of the aside: the save stays
        assert files.move(listed, ".quarantine", "x") is True
        assert orjson.loads((store / ".quarantine" / "x").read_bytes())["result"] == {
            "s21": [0.9, 0.8]
        }
    else:  # the file goes back only to a free name: it stays aside, named
        with pytest.raises(FileExistsError) as raised:
            files.move(listed, ".quarantine", "x")
        assert orjson.loads(Path(raised.value.filename).read_bytes())["result"] == {
            "s21": [0.9, 0.8]
        }
    assert orjson.loads(path.read_bytes())["result"] == {"s21": [0.5]}


def test_an_entry_that_cannot_be_stat_d_is_listed_and_never_removed(store, monkeypatch):
    records = [save(component_name=name) for name in "abc"]
    failing = file_of(store, records[1]).name
    scandir = os.scandir

    class Unstattable:
        def __init__(self, entry):
            self.name = entry.name

        def stat(self, **kwargs):
            raise OSError(errno.EIO, "Input/output error")

    class Listing:
        def __init__(self, target):
            self.entries = scandir(target)

        def __iter__(self):
            return (Unstattable(e) if e.name == failing else e for e in self.entries)

        def __enter__(self):
            return self

        def __exit__(self, *exc_info):
            self.entries.close()

    monkeypatch.setattr(os, "scandir", Listing)
    files = file_stores.files_of(store)
    listed = sorted(files.names(), key=lambda file: file.name)
    assert [(f.component_name, f.size is None, f.version is None) for f in listed] == [
        ("a", False, False),
        ("b", True, True),
        ("c", False, False),
    ]
    removed = []
    files.remove(listed, removed.append)
    assert [f.component_name for f in removed] == ["a", "c"]
    assert (store / "fdtd" / failing).exists()


@pytest.mark.parametrize("call", ["remove", "move", "remove_claim"])
def test_a_path_class_of_its_own_removes_and_moves_nothing(store, call):
    save()

    class Own(type(store)):
        def read_bytes(self):
            return super().read_bytes()

    files = file_stores.files_of(Own(store))
    [listed] = files.names()
    with pytest.raises(OSError, match="delete_simulation_result") as raised:
        {
            "remove": lambda: files.remove([listed], print),
            "move": lambda: files.move(listed, ".quarantine", "x"),
            "remove_claim": lambda: files.remove_claim(listed, b""),
        }[call]()
    assert raised.value.errno == errno.ENOTSUP and listed.path.exists()


@pytest.mark.parametrize("any_store", ["s3"], indirect=True)
def test_a_cached_listing_never_passes_for_the_version_now(any_store):
    import s3fs

    record = save()
    # Through the walk any fsspec filesystem gets, with a listing cache.
    store = object_store.ObjectStore(s3fs.S3FileSystem(skip_instance_cache=True))
    [(path, _, version, _)] = store.named_files(any_store, "fdtd")
    save(result={"s21": [0.5]})
    removed = []
    store.remove_listed([(path, version)], removed.append)
    assert removed == [] and ss.load_simulation_result(record.simulation_id).result == {
        "s21": [0.5]
    }


@pytest.mark.parametrize("any_store", ["s3"], indirect=True)
@pytest.mark.parametrize("meanwhile", ["removed", "saved again, and the copy replaced"])
def test_an_s3_move_that_meets_another_writer(any_store, monkeypatch, meanwhile):
    path = file_of(any_store, save())
    content = path.read_bytes()
    files = file_stores.files_of(any_store)
    [listed] = files.names()
    target = any_store / ".quarantine" / "x"
    call_s3 = any_store.fs.call_s3

    def racing(method, *args, **kwargs):  # right after the copy, before the source goes
        if method == "delete_object" and "IfMatch" in kwargs and kwargs["Key"].endswith(path.name):
            if meanwhile == "removed":
                call_s3("delete_object", Bucket=kwargs["Bucket"], Key=kwargs["Key"])
            else:
                save(result={"s21": [0.5]})
                target.write_bytes(b"another's")
        return call_s3(method, *args, **kwargs)

    monkeypatch.setattr(any_store.fs, "call_s3", racing)
    moved = files.move(listed, ".quarantine", "x")
    if meanwhile == "removed":  # it left its place: moved
        assert moved is True and target.read_bytes() == content
    else:  # the copy is no longer the one made: it stays
        assert moved is False and target.read_bytes() == b"another's"
        assert orjson.loads(path.read_bytes())["result"] == {"s21": [0.5]}
