"""Floors: the least work that gives an operation's answer, measured beside
it. Local floors work on paths under the simulations directory; S3 floors
on the s3fs instance the module uses, with `root` as bucket/prefix.

LOCAL_FLOORS and S3_FLOORS describe them in RESULTS.md: a new floor gets a
line there."""

from __future__ import annotations

import contextlib
import ctypes
import hashlib
import json
import os
from collections.abc import Callable, Iterable, Iterator
from typing import Any

import orjson

from vantorel.models import StoredSimulationResult

from .records import result_path

LOCAL_FLOORS = (
    (
        "`_compute_simulation_id`",
        "`hyperparameters.model_dump()` + `json.dumps(identity, sort_keys=True)` + "
        "SHA-256, first 8 bytes in hex (the *ID* in the floors below)",
    ),
    (
        "os.scandir walk",
        "`os.scandir` of the simulations directory, then of each type directory (in "
        "directory order) until the file named `*_<id>.json`; the walk of find (miss) "
        "goes through every directory",
    ),
    (
        "os.listdir walk",
        "the same walk with `os.listdir` on bytes paths: glibc's `readdir` loop in C, "
        "making one `bytes` object per name and nothing else",
    ),
    (
        "libc readdir walk (ctypes)",
        "the same walk calling libc's `opendir`/`readdir` through `ctypes`: no Python "
        "object per entry, but one foreign call per entry",
    ),
    ("read", "`read_bytes` + `orjson.loads` + `StoredSimulationResult.model_validate` of the file"),
    (
        "read at the known place",
        "the read of `<type>/<component>_<id>.json`, the place the identity gives: "
        "the least a lookup by identity can do",
    ),
    (
        "list",
        "`os.scandir` of the type directories (only the one named by a type filter) + "
        "read of every `*.json` file in them (all of them also with a component "
        "filter, which is tested on each record) + filter + sort by date, newest first",
    ),
    (
        "save",
        "writing the bytes the module wrote for a result of the same size to a "
        "temporary file in the type directory (`os.open`, `os.write`), `os.fsync` of "
        "it, `os.replace` onto the final name and `os.fsync` of the type directory, "
        "as the module flushes a save (building the record and encoding it to JSON "
        "are not in the floor); beside it the same write and rename without either "
        "`fsync`, whose difference to the floor is what the flush costs",
    ),
    ("delete", "the `os.scandir` walk to the file + `os.unlink`"),
    ("clear", "the list floor with the component filter + `os.unlink` of each matched path"),
)
S3_FLOORS = (
    (
        "GET at the known key",
        "`fs.cat_file(key, max_concurrency=1)` of `<type>/<component>_<id>.json` "
        "(one GetObject; without `max_concurrency=1` s3fs sends a HeadObject first) + "
        "`orjson.loads` + `model_validate`; for a miss, the GetObject that answers 404",
    ),
    (
        "listings until the key",
        "`fs.ls` of the prefix (one ListObjectsV2), then of each type directory until "
        "the key named `*_<id>.json`",
    ),
    (
        "listings + GETs in flight together",
        "`fs.ls` of the type directories (only the filtered one with a type filter), "
        "then `fs.cat(keys, max_concurrency=1)`, which issues all the GETs together "
        "(fsspec batches them; the client keeps as many in flight as its connection "
        "pool allows), + decode, validate, filter, sort",
    ),
    (
        "listings + GETs one by one",
        "the same, fetching each key with `fs.cat_file(key, max_concurrency=1)` in a loop",
    ),
    ("one PUT of the same bytes", "`fs.pipe_file` of the bytes the module wrote"),
    ("DELETE", "`fs.rm_file` of the key found by the listings (one DeleteObject)"),
    (
        "listings + bulk delete",
        "`fs.ls` of the type directories + `fs.rm(keys)` (DeleteObjects, up to 1,000 "
        "keys a request)",
    ),
)


# --------------------------------------------------------------------------
# Local


def read_bytes(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def decode(data: bytes) -> StoredSimulationResult:
    return StoredSimulationResult.model_validate(orjson.loads(data))


def read_record(path: str | None) -> StoredSimulationResult:
    assert path is not None
    return decode(read_bytes(path))


def floor_id(ident: dict[str, Any]) -> str:
    data = {
        "component_name": ident["component_name"],
        "factory_name": ident["factory_name"],
        "component_settings": ident["component_settings"],
        "model_parameters": ident["model_parameters"],
        "hyperparameters": ident["hyperparameters"].model_dump(),
        "simulation_type": ident["simulation_type"],
    }
    return hashlib.sha256(json.dumps(data, sort_keys=True).encode()).digest()[:8].hex()


def known_path(root: str, ident: dict[str, Any]) -> str:
    """The file of an identity, at the place its ID and names give."""
    return result_path(root, ident["simulation_type"], ident["component_name"], floor_id(ident))


def floor_walk(root: str, simulation_id: str) -> str | None:
    """os.scandir walk, in directory order, to the file named *_<id>.json."""
    suffix = "_" + simulation_id + ".json"
    with os.scandir(root) as types:
        for type_dir in types:
            if type_dir.is_dir():
                with os.scandir(type_dir.path) as entries:
                    for entry in entries:
                        if entry.name.endswith(suffix):
                            return entry.path
    return None


def found_path(root: str, simulation_id: str) -> str:
    """The floor_walk of a result that is stored."""
    path = floor_walk(root, simulation_id)
    assert path is not None, simulation_id
    return path


def listdir_walk(root: bytes, simulation_id: str) -> bytes | None:
    """The same walk with os.listdir on bytes paths: C's readdir loop, making
    only one bytes object per name (no DirEntry, no decoding)."""
    suffix = b"_" + simulation_id.encode() + b".json"
    for type_name in os.listdir(root):
        type_dir = root + b"/" + type_name
        try:
            names = os.listdir(type_dir)
        except NotADirectoryError:
            continue
        for name in names:
            if name.endswith(suffix):
                return type_dir + b"/" + name
    return None


class _Dirent(ctypes.Structure):
    """glibc's struct dirent on 64-bit Linux."""

    _fields_ = [
        ("d_ino", ctypes.c_uint64),
        ("d_off", ctypes.c_int64),
        ("d_reclen", ctypes.c_ushort),
        ("d_type", ctypes.c_ubyte),
        ("d_name", ctypes.c_char * 256),
    ]


_libc = ctypes.CDLL(None, use_errno=True)
_libc.opendir.argtypes = [ctypes.c_char_p]
_libc.opendir.restype = ctypes.c_void_p
_libc.readdir.argtypes = [ctypes.c_void_p]
_libc.readdir.restype = ctypes.POINTER(_Dirent)
_libc.closedir.argtypes = [ctypes.c_void_p]
DT_DIR = 4


@contextlib.contextmanager
def _opened_dir(path: bytes) -> Iterator[int]:
    handle = _libc.opendir(path)
    if not handle:
        errno = ctypes.get_errno()
        raise OSError(errno, os.strerror(errno), path)
    try:
        yield handle
    finally:
        _libc.closedir(handle)


def readdir_walk(root: bytes, simulation_id: str) -> bytes | None:
    """The same walk calling libc's opendir/readdir through ctypes: no
    Python object per entry but one foreign call per entry."""
    suffix = b"_" + simulation_id.encode() + b".json"
    with _opened_dir(root) as types:
        while entry := _libc.readdir(types):
            type_entry = entry.contents
            if type_entry.d_type != DT_DIR or type_entry.d_name in (b".", b".."):
                continue
            type_dir: bytes = root + b"/" + type_entry.d_name
            with _opened_dir(type_dir) as files:
                while file_entry := _libc.readdir(files):
                    name: bytes = file_entry.contents.d_name
                    if name.endswith(suffix):
                        return type_dir + b"/" + name
    return None


def floor_list_paths(root: str, simulation_type: str | None = None) -> list[str]:
    paths: list[str] = []
    if simulation_type is not None:
        type_dirs = [os.path.join(root, simulation_type)]
    else:
        with os.scandir(root) as types:
            type_dirs = [t.path for t in types if t.is_dir()]
    for type_dir in type_dirs:
        with os.scandir(type_dir) as entries:
            paths.extend(e.path for e in entries if e.name.endswith(".json"))
    return paths


def select_newest_first(
    contents: Iterable[tuple[str, bytes]], component_name: str | None = None
) -> list[tuple[str, StoredSimulationResult]]:
    """Decodes and validates every (path, content), keeps those of the
    component (all without one), newest first."""
    found = []
    for path, data in contents:
        record = decode(data)
        if component_name is None or record.component_name == component_name:
            found.append((path, record))
    found.sort(key=lambda pr: pr[1].simulation_date, reverse=True)
    return found


def floor_list(
    root: str, component_name: str | None = None, simulation_type: str | None = None
) -> list[tuple[str, StoredSimulationResult]]:
    paths = floor_list_paths(root, simulation_type)
    return select_newest_first(((p, read_bytes(p)) for p in paths), component_name)


def floor_write(path: str, data: bytes, *, flush: bool) -> None:
    """`data` written to a temporary file beside `path` and renamed onto it;
    with `flush`, the file is flushed to disk before the rename and its
    directory after, as a save that survives a power cut does."""
    tmp = path + ".tmp"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view) :]
        if flush:
            os.fsync(fd)
    finally:
        os.close(fd)
    os.replace(tmp, path)
    if flush:
        directory = os.open(os.path.dirname(path), os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)


# --------------------------------------------------------------------------
# S3


def s3_read(fs: Any, key: str) -> bytes:
    """One GET (s3fs would first ask for the size, to split large objects)."""
    data: bytes = fs.cat_file(key, max_concurrency=1)
    return data


def s3_read_or_none(fs: Any, key: str) -> StoredSimulationResult | None:
    try:
        return decode(s3_read(fs, key))
    except FileNotFoundError:
        return None


def s3_type_dirs(fs: Any, root: str) -> list[str]:
    return [e["name"] for e in fs.ls(root, detail=True) if e["type"] == "directory"]


def s3_walk(fs: Any, root: str, simulation_id: str) -> str:
    """One listing of the prefix, then one of each type directory until the
    key named *_<id>.json is found."""
    suffix = "_" + simulation_id + ".json"
    for type_dir in s3_type_dirs(fs, root):
        for key in fs.ls(type_dir, detail=False):
            if key.endswith(suffix):
                return str(key)
    raise AssertionError(f"no key of {simulation_id} under {root}")


def s3_list_keys(fs: Any, root: str, simulation_type: str | None = None) -> list[str]:
    type_dirs = [f"{root}/{simulation_type}"] if simulation_type else s3_type_dirs(fs, root)
    return [
        key
        for type_dir in type_dirs
        for key in fs.ls(type_dir, detail=False)
        if key.endswith(".json")
    ]


Fetch = Callable[[Any, list[str]], Iterable[tuple[str, bytes]]]


def fetch_concurrently(fs: Any, keys: list[str]) -> Iterable[tuple[str, bytes]]:
    """fsspec's cat of many keys: the GETs are issued together and kept in
    flight at once (as many as the client's connection pool allows)."""
    contents: dict[str, bytes] = fs.cat(keys, max_concurrency=1)
    return contents.items()


def fetch_one_by_one(fs: Any, keys: list[str]) -> Iterable[tuple[str, bytes]]:
    return [(key, s3_read(fs, key)) for key in keys]


def s3_floor_list(
    fs: Any,
    root: str,
    fetch: Fetch,
    component_name: str | None = None,
    simulation_type: str | None = None,
) -> list[tuple[str, StoredSimulationResult]]:
    keys = s3_list_keys(fs, root, simulation_type)
    return select_newest_first(fetch(fs, keys), component_name)
