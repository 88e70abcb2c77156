"""Result files on object storage, for the storage module.

The storage module works through the path objects that the settings give it.
For a universal-pathlib path on an fsspec filesystem (S3, memory://, ...) it
calls these functions instead of some of the path's own methods: those read
an object in two requests that an overwrite can come between, write it in
pieces that a reader can see, or expand glob characters in a literal name (a
component named ``c[1]`` would match, and delete, ``c1``). Every call here
names objects literally.

Nothing here imports universal-pathlib or fsspec: a path of theirs exists
only once the settings have imported them.
"""

import errno
import pathlib
import sys
from collections.abc import Sequence
from typing import Any


def is_object_store_path(path: Any) -> bool:
    """Whether `path` is a universal-pathlib path of the class upath gives
    its protocol, on a filesystem that is not pathlib's (a subclass with
    methods of its own is asked through them instead)."""
    upath = sys.modules.get("upath")
    if upath is None or not isinstance(path, upath.UPath):
        return False
    if isinstance(path, pathlib.Path):
        return False
    from upath.registry import get_upath_class

    return type(path) is get_upath_class(path.protocol)


def _is_s3(fs: Any) -> bool:
    protocols = (fs.protocol,) if isinstance(fs.protocol, str) else fs.protocol
    return "s3" in protocols


def _single_request(fs: Any) -> dict[str, Any]:
    # s3fs asks for an object's size (a HEAD) before reading it, to split
    # large objects into concurrent ranges; one GET reads it whole.
    return {"max_concurrency": 1} if _is_s3(fs) else {}


def read(path: Any) -> bytes:
    """The whole object, read in one request: an overwrite racing the read
    gives the old or the new content, never an error."""
    content: bytes = path.fs.cat_file(path.path, **_single_request(path.fs))
    return content


def read_located(path: Any) -> bytes | None:
    """The content of a file that a lookup has just found, or None when it
    is no longer there (as its exists() would say). On S3 the read comes
    first, in one request; a failed read then asks exists() to tell a file
    that went away from one that cannot be read."""
    if not _is_s3(path.fs):
        return read(path) if path.exists() else None
    try:
        return read(path)
    except FileNotFoundError:
        if path.exists():
            raise
        return None


def delete_located(path: Any) -> bool:
    """Removes a file that a lookup has just found: False when it is no
    longer there. On S3 one request, which succeeds also for a file removed
    a moment before, so only another backend can answer False."""
    if not _is_s3(path.fs) and not path.exists():
        return False
    remove(path)
    return True


def write(path: Any, data: bytes) -> None:
    """Replaces the object whole, in one write on the final path (one request
    on S3; the path's write_bytes would show a reader of memory:// an empty
    object while it writes). A missing bucket is never created: it is an
    error that names it."""
    try:
        path.fs.pipe_file(path.path, data)
    except FileNotFoundError as error:
        bucket = _bucket(path)
        if bucket is None or path.fs.exists(bucket):
            raise
        raise FileNotFoundError(
            errno.ENOENT,
            "No such bucket (a save never creates one)",
            f"{path.protocol}://{bucket}",
        ) from error


def _bucket(path: Any) -> str | None:
    split_path = getattr(path.fs, "split_path", None)
    return split_path(path.path)[0] if split_path is not None else None


def entries(directory: Any, suffix: str) -> list[Any]:
    """The entries of `directory` whose names end with `suffix`, in the
    filesystem's order; none when it does not exist (as a glob finds none)."""
    try:
        listed = directory.fs.ls(directory.path, detail=False)
    except (FileNotFoundError, NotADirectoryError):
        return []
    own = directory.path.rstrip("/")
    names = (key.rstrip("/").rpartition("/")[2] for key in listed if key.rstrip("/") != own)
    return [directory / name for name in names if name.endswith(suffix)]


def remove(path: Any) -> None:
    """Deletes the object itself, whatever characters its name holds."""
    path.fs.rm_file(path.path)


# On S3, a store's tree is read in one recursive listing (one request per
# 1,000 keys) rather than one listing per directory: the shortcuts below
# give what walking the path objects level by level would give, since s3fs
# lists every level in sorted order (other backends keep other orders).


def _tree(directory: Any) -> list[tuple[str, ...]] | None:
    """The relative names of everything below `directory`, as sorted tuples
    of their parts; None when `directory` is itself an object, which only
    its own methods can answer for."""
    root = directory.path.rstrip("/")
    try:
        keys = directory.fs.find(root)
    except FileNotFoundError:  # no bucket: nothing below, as exists() says
        return []
    if root in keys:
        return None
    prefix = root + "/"
    return sorted(
        tuple(key[len(prefix) :].rstrip("/").split("/")) for key in keys if key.startswith(prefix)
    )


def _entries(tree: list[tuple[str, ...]], depth: int) -> list[tuple[str, ...]]:
    """The entries `depth` levels down: files there and the directories that
    hold anything deeper, in the order listing each level gives them."""
    return list(dict.fromkeys(parts[:depth] for parts in tree if len(parts) >= depth))


def find_first_entry(root: Any, suffix: str) -> Any:
    """The first entry named ``*<suffix>`` in a directory right below
    `root`, in the order of the lookup by ID (directories in listing order,
    then their entries); None when there is none, NotImplemented when the
    path's own methods must answer."""
    tree = _tree(root) if _is_s3(root.fs) else None
    if tree is None:
        return NotImplemented
    for type_name, name in _entries(tree, 2):
        if name.endswith(suffix):
            return root / type_name / name
    return None


def result_files(root: Any, simulation_type: str | None) -> Any:
    """The ``*.json`` entries that a listing reads, in its order: those of
    every directory right below `root`, or of ``root / simulation_type``;
    NotImplemented when the path's own methods must answer."""
    top = root if simulation_type is None else root / simulation_type
    tree = _tree(top) if _is_s3(top.fs) else None
    if tree is None:
        return NotImplemented
    depth = 2 if simulation_type is None else 1
    return [top.joinpath(*parts) for parts in _entries(tree, depth) if parts[-1].endswith(".json")]


def read_all(paths: Sequence[Any]) -> list[Any]:
    """The content of each object, or the exception that reading it raised,
    in order: many requests in flight at once, one each."""
    if not paths:
        return []
    fs = paths[0].fs
    contents: list[bytes | Exception] = fs.cat_ranges(
        [path.path for path in paths], None, None, on_error="return", **_single_request(fs)
    )
    return contents


def remove_all(paths: list[Any]) -> tuple[list[Any], Exception | None]:
    """Deletes the objects, in order: in batched requests (1,000 keys each)
    on S3, one by one elsewhere, stopping at the first batch or file that
    fails. Returns those removed, in order, and that failure, if any."""
    removed: list[Any] = []
    if not paths:
        return removed, None
    fs = paths[0].fs
    try:
        if not _is_s3(fs):
            for path in paths:
                if not path.exists():
                    continue
                remove(path)
                removed.append(path)
            return removed, None
        # fs.rm would glob names that hold [, * or ?: the batches name keys.
        for start in range(0, len(paths), 1000):
            batch = paths[start : start + 1000]
            failed = _delete_batch(fs, batch)
            removed += [path for path in batch if path.path not in failed]
            if failed:
                name, message = next(iter(failed.items()))
                return removed, OSError(errno.EIO, message or "not deleted", f"s3://{name}")
    except Exception as error:
        return removed, error
    return removed, None


def _delete_batch(fs: Any, batch: list[Any]) -> dict[str, str]:
    """Deletes up to 1,000 objects in one request a bucket; returns the
    message for each one S3 did not delete."""
    keys = [fs.split_path(path.path)[:2] for path in batch]
    failed: dict[str, str] = {}
    for bucket in dict.fromkeys(bucket for bucket, _ in keys):
        answer = fs.call_s3(
            "delete_objects",
            Bucket=bucket,
            Delete={"Objects": [{"Key": key} for b, key in keys if b == bucket], "Quiet": True},
        )
        failed.update(
            (f"{bucket}/{error['Key']}", error.get("Message", ""))
            for error in answer.get("Errors", [])
        )
    return failed
