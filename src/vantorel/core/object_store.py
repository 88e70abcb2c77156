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


def _single_request(fs: Any) -> dict[str, Any]:
    # s3fs asks for an object's size (a HEAD) before reading it, to split
    # large objects into concurrent ranges; one GET reads it whole.
    protocols = (fs.protocol,) if isinstance(fs.protocol, str) else fs.protocol
    return {"max_concurrency": 1} if "s3" in protocols else {}


def read(path: Any) -> bytes:
    """The whole object, read in one request: an overwrite racing the read
    gives the old or the new content, never an error."""
    return path.fs.cat_file(path.path, **_single_request(path.fs))


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
    names = (key.rstrip("/").rpartition("/")[2] for key in listed
             if key.rstrip("/") != own)
    return [directory / name for name in names if name.endswith(suffix)]


def remove(path: Any) -> None:
    """Deletes the object itself, whatever characters its name holds."""
    path.fs.rm_file(path.path)
