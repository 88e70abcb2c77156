"""Result files on object storage, as the storage module reaches them.

The storage module works through the path objects that the settings give it.
When a store is a universal-pathlib path of upath's own class on an fsspec
filesystem (S3, memory://, ...), each operation asks :func:`store_for` once
for the object that reaches it, and calls that object instead of the path's
own methods: those read an object in two requests that an overwrite can come
between, write it in pieces that a reader can see, or expand glob characters
in a literal name (a component named ``c[1]`` would match, and delete,
``c1``). Every call here names objects literally.

Each call returns what was asked or raises; a file that is gone is an
answer (None, False, or left out), never an error.

Nothing here imports universal-pathlib or fsspec: a path of theirs exists
only once the settings have imported them.
"""

from __future__ import annotations

import errno
import os
import pathlib
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from datetime import datetime
from typing import Any

# Files read with their requests in flight together; no more bytes in memory
# than a few hundred results take.
READ_BATCH = 256

# What fsspec filesystems report of a file that changes when it is written
# again.
CHANGE_FIELDS = frozenset(
    {"size", "ETag", "etag", "md5Hash", "generation", "created", "mtime", "updated", "LastModified"}
)

# Keys in one S3 DeleteObjects request, its limit.
DELETE_BATCH = 1000

Listed = tuple[Any, Any]
"""A file as a listing read it: its path and the version of its content."""


LOCAL_PROTOCOLS = frozenset({"file", "local"})
"""The protocols of universal-pathlib paths on the local file system."""


def _is_upath_of_its_own(path: Any) -> bool:
    """Whether `path` is a universal-pathlib path that is no pathlib path."""
    upath = sys.modules.get("upath")
    if upath is None or isinstance(path, pathlib.Path):
        return False
    return isinstance(path, upath.UPath)


def local_path(path: Any) -> pathlib.Path | None:
    """The pathlib path of a universal-pathlib path on the local file system
    that is no pathlib path itself (upath's class for ``file://`` and
    ``local://``), or None for any other path. Local files are reached with
    system calls, never as object storage."""
    if _is_upath_of_its_own(path) and path.protocol in LOCAL_PROTOCOLS:
        return pathlib.Path(path.path)
    return None


def store_for(path: Any) -> ObjectStore | None:
    """The object store that holds `path`, or None when `path` is no
    universal-pathlib path of the class upath gives its protocol (a local
    path, or a subclass with methods of its own, asked through them) or is
    on the local file system."""
    if not _is_upath_of_its_own(path) or path.protocol in LOCAL_PROTOCOLS:
        return None
    from upath.registry import get_upath_class

    if type(path) is not get_upath_class(path.protocol):
        return None
    protocols = (path.fs.protocol,) if isinstance(path.fs.protocol, str) else path.fs.protocol
    if "s3" in protocols:
        return S3ObjectStore(path.fs)
    if "memory" in protocols:
        return MemoryObjectStore(path.fs)
    return ObjectStore(path.fs)


_ERRNO_OF_KIND = {
    PermissionError: errno.EACCES,
    FileNotFoundError: errno.ENOENT,
    TimeoutError: errno.ETIMEDOUT,
    ConnectionRefusedError: errno.ECONNREFUSED,
    ConnectionResetError: errno.ECONNRESET,
}


def read_failure(path: Any, error: BaseException) -> OSError:
    """`error`, raised while reading the object at `path`, as an OSError
    that names the object."""
    if isinstance(error, OSError) and error.filename is not None:
        return error
    code = errno.EIO
    if isinstance(error, OSError):
        # s3fs raises PermissionError and the like without an errno: the
        # errno of their kind keeps it one (OSError picks the subclass).
        code = error.errno or _ERRNO_OF_KIND.get(type(error), errno.EIO)
    reason = (error.strerror if isinstance(error, OSError) else None) or str(error)
    return OSError(code, reason or type(error).__name__, str(path))


def _failure(path: Any, error: Exception) -> OSError:
    """:func:`read_failure`, caused by `error`."""
    failure = read_failure(path, error)
    if failure is not error:
        failure.__cause__ = error
    return failure


def _s3_code(error: BaseException) -> str | None:
    """The S3 error code behind an error that s3fs translated."""
    for cause in (error, error.__cause__):
        response = getattr(cause, "response", None)
        if isinstance(response, dict):
            code = response.get("Error", {}).get("Code")
            return str(code) if code is not None else None
    return None


def _is_missing(error: OSError) -> bool:
    """Whether S3 answered that the object (or its bucket) is not there."""
    return isinstance(error, FileNotFoundError) or _s3_code(error) == "NoSuchKey"


class ObjectStore:
    """Result files on any fsspec filesystem: the store is walked level by
    level, each file read and removed in a request of its own."""

    def __init__(self, fs: Any) -> None:
        self.fs = fs

    def read(self, path: Any) -> bytes:
        """The whole object; FileNotFoundError when there is none."""
        content: bytes = self.fs.cat_file(path.path)
        return content

    def read_located(self, path: Any) -> bytes | None:
        """The content of a file that a lookup has just found, or None when
        it is no longer there (as its exists() would say)."""
        if not path.exists():
            return None
        return self.read(path)

    def write(self, path: Any, data: bytes) -> None:
        """Replaces the object whole, in one write on the final path (one
        request on S3; the path's write_bytes would show a reader of
        memory:// an empty object while it writes). A missing bucket is
        never created: it is an error that names it."""
        try:
            self.fs.pipe_file(path.path, data)
        except FileNotFoundError as error:
            split_path = getattr(self.fs, "split_path", None)
            bucket = split_path(path.path)[0] if split_path is not None else None
            if bucket is None or self.fs.exists(bucket):
                raise
            raise FileNotFoundError(
                errno.ENOENT,
                "No such bucket (a save never creates one)",
                f"{path.protocol}://{bucket}",
            ) from error

    def create(self, path: Any, data: bytes) -> bool:
        """Writes the object only where there is none (an exclusive write):
        False when one exists."""
        try:
            self.fs.pipe_file(path.path, data, mode="create")
        except FileExistsError:
            return False
        return True

    def _names_in(self, directory: Any) -> list[str]:
        """The names of the entries right in `directory`, in the
        filesystem's order; none when it does not exist (as a glob finds
        none)."""
        try:
            keys = self.fs.ls(directory.path, detail=False)
        except (FileNotFoundError, NotADirectoryError):
            return []
        own = directory.path.rstrip("/")
        return [key.rstrip("/").rpartition("/")[2] for key in keys if key.rstrip("/") != own]

    def names_starting(self, directory: Any, prefix: str) -> list[str]:
        """The names of the entries right in `directory` that start with
        `prefix`."""
        return [name for name in self._names_in(directory) if name.startswith(prefix)]

    def entries(self, directory: Any, suffix: str) -> list[Any]:
        """The entries of `directory` whose names end with `suffix`, in the
        filesystem's order."""
        return [directory / name for name in self._names_in(directory) if name.endswith(suffix)]

    def find_first(self, root: Any, suffix: str) -> Any:
        """The first entry named ``*<suffix>`` in a directory right below
        `root`, in the order of the lookup by ID (directories in listing
        order, then their entries), or None."""
        if not root.exists():
            return None
        for type_dir in root.iterdir():
            if type_dir.is_dir():
                matches = self.entries(type_dir, suffix)
                if matches:
                    return matches[0]
        return None

    @staticmethod
    def _type_directories(root: Any, simulation_type: str | None) -> list[Any]:
        """The directories a listing walks: every one right below `root`,
        in its order, or ``root / simulation_type``; none without a root."""
        if not root.exists():
            return []
        if simulation_type is None:
            return [entry for entry in root.iterdir() if entry.is_dir()]
        return [root / simulation_type]

    def result_files(self, root: Any, simulation_type: str | None) -> list[Any]:
        """The ``*.json`` entries that a listing reads, in its order: those of
        every directory right below `root`, or of ``root / simulation_type``."""
        type_dirs = self._type_directories(root, simulation_type)
        return [
            path
            for type_dir in type_dirs
            if type_dir.exists()
            for path in self.entries(type_dir, ".json")
        ]

    @staticmethod
    def _version_of(info: dict[str, Any]) -> tuple[tuple[str, Any], ...]:
        # Listings and info() may give a time as a number or a datetime.
        return tuple(
            (key, value.timestamp() if isinstance(value, datetime) else value)
            for key, value in sorted(info.items())
            if key in CHANGE_FIELDS
        )

    @staticmethod
    def _modified_of(info: dict[str, Any]) -> float | None:
        """When the object was last written, as fsspec filesystems report it."""
        for key in ("LastModified", "mtime", "updated", "created"):
            value = info.get(key)
            if isinstance(value, datetime):
                return value.timestamp()
            if isinstance(value, (int, float)):
                return float(value)
        return None

    def version(self, path: Any) -> Any:
        """What changes whenever the object at `path` is written again: its
        description by the filesystem (size, times), asked now: a listing
        the filesystem cached would describe the version it listed."""
        self.fs.invalidate_cache(path.parent.path)
        return self._version_of(self.fs.info(path.path))

    def _refuse_existing(self, target: Any) -> None:
        """FileExistsError naming `target` when a file is there."""
        if self.fs.exists(target.path):
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), str(target))

    def check_root(self, root: Any) -> None:
        """Raises unless `root` is a directory of the filesystem:
        FileNotFoundError or NotADirectoryError naming it."""
        if not self.fs.isdir(root.path):
            code = errno.ENOTDIR if self.fs.exists(root.path) else errno.ENOENT
            raise OSError(code, os.strerror(code), str(root))

    def named_files(
        self, root: Any, simulation_type: str | None
    ) -> list[tuple[Any, Any, Any, float | None]]:
        """(path, size, version, time last written) of each file right
        below the directories below `root` (or of ``root /
        simulation_type``), from listings alone: one a directory."""
        type_dirs = self._type_directories(root, simulation_type)
        found = []
        for type_dir in type_dirs:
            try:
                listed = self.fs.ls(type_dir.path, detail=True)
            except (FileNotFoundError, NotADirectoryError):
                continue
            for info in listed:
                if info.get("type") == "file":
                    name = info["name"].rstrip("/").rpartition("/")[2]
                    found.append(
                        (
                            type_dir / name,
                            info.get("size"),
                            self._version_of(info),
                            self._modified_of(info),
                        )
                    )
        return found

    def move_listed(self, path: Any, version: Any, target: Any) -> bool:
        """Moves the file to `target` while it is the version listed (checked
        right before the move: a write in that moment can still be lost),
        never over an existing file: False when it is gone or was written
        again."""
        self._refuse_existing(target)
        try:
            if self.version(path) != version:
                return False
            self.fs.mv(path.path, target.path)
        except FileNotFoundError:
            return False
        return True

    def fetch_each(self, paths: Sequence[Any]) -> Iterator[tuple[Any, bytes | OSError, Any]]:
        """(path, content, version) for each file still there, in order; a
        file gone since the listing is passed over. A read that fails gives,
        in place of the content, an OSError naming the file: it says nothing
        of the content."""
        for path in paths:
            try:
                # Before the content: a write in between makes the version
                # older than the content, never newer.
                version = self.version(path)
                content = self.read(path)
            except FileNotFoundError:
                continue
            except Exception as error:
                yield path, _failure(path, error), None
                continue
            yield path, content, version

    def read_each(self, paths: Sequence[Any]) -> Iterator[tuple[Any, bytes, Any]]:
        """(path, content, version) for each file still there, in order; a
        file gone since the listing is passed over, a read that fails raises
        an OSError naming the file."""
        for path, content, version in self.fetch_each(paths):
            if isinstance(content, OSError):
                raise content
            yield path, content, version

    def remove(self, path: Any) -> bool:
        """Removes the file: False when it is no longer there."""
        if not path.exists():
            return False
        try:
            self.fs.rm_file(path.path)
        except FileNotFoundError:
            return False
        return True

    def remove_listed(self, listed: Sequence[Listed], on_removed: Callable[[Any], object]) -> None:
        """Removes each listed file while it is still the version listed (the
        version is compared right before the removal: a write in that moment
        can still be lost), calling `on_removed` with each path removed, in
        order. A file gone or written again since is left alone."""
        for path, version in listed:
            try:
                if self.version(path) != version:
                    continue
                self.fs.rm_file(path.path)
            except FileNotFoundError:
                continue
            on_removed(path)


class MemoryObjectStore(ObjectStore):
    """Files in this process's memory:// filesystem, whose exclusive write
    tests and then writes: a lock of this process makes it exclusive (its
    files live in this process alone)."""

    _creating = threading.Lock()

    def create(self, path: Any, data: bytes) -> bool:
        with self._creating:
            return super().create(path, data)


class S3ObjectStore(ObjectStore):
    """Result files on S3: a store's tree read in one recursive listing (one
    request per 1,000 keys), each object read in one GET that also gives its
    ETag, and removals conditional on the ETag listed, 1,000 at a time."""

    def _bucket_and_key(self, path: Any) -> tuple[str, str]:
        # Literal: s3fs's own split would cut a key at "?versionId=".
        bucket, _, key = path.path.partition("/")
        return bucket, key

    async def _get(self, path: Any) -> tuple[bytes, str] | None:
        """The content and ETag of the object, or None when there is none."""
        bucket, key = self._bucket_and_key(path)
        try:
            response = await self.fs._call_s3("get_object", Bucket=bucket, Key=key)
            try:
                content: bytes = await response["Body"].read()
            finally:
                response["Body"].close()
        except FileNotFoundError:
            return None
        except Exception as error:
            raise read_failure(path, error) from error
        return content, response["ETag"]

    def _get_all(self, paths: Sequence[Any]) -> list[tuple[bytes, str] | OSError | None]:
        """:meth:`_get` of each path, with their requests in flight together;
        a read that failed gives its OSError."""
        import asyncio

        from fsspec.asyn import sync

        async def gather() -> list[tuple[bytes, str] | BaseException | None]:
            gets = (self._get(path) for path in paths)
            return list(await asyncio.gather(*gets, return_exceptions=True))

        fetched: list[tuple[bytes, str] | BaseException | None] = sync(self.fs.loop, gather)
        outcomes: list[tuple[bytes, str] | OSError | None] = []
        for got in fetched:
            if isinstance(got, OSError) or not isinstance(got, BaseException):
                outcomes.append(got)
            else:
                raise got  # an interruption, never a failed read
        return outcomes

    def read(self, path: Any) -> bytes:
        got = self._get_all([path])[0]
        if isinstance(got, OSError):
            raise got
        if got is None:
            raise FileNotFoundError(errno.ENOENT, "No such object", str(path))
        return got[0]

    def read_located(self, path: Any) -> bytes | None:
        # The read comes first, in one request; a failed read then asks
        # exists() to tell a file that went away from one that cannot be read.
        try:
            return self.read(path)
        except FileNotFoundError:
            if path.exists():
                raise
            return None

    def _tree(self, directory: Any) -> list[tuple[str, ...]] | None:
        """The relative names of everything below `directory`, as sorted
        tuples of their parts; None when `directory` is itself an object,
        which only a walk can answer for. s3fs lists every level in sorted
        order, so one recursive listing gives what a walk would."""
        root = directory.path.rstrip("/")
        try:
            keys = self.fs.find(root)
        except FileNotFoundError:  # no bucket: nothing below, as exists() says
            return []
        if root in keys:
            return None
        prefix = root + "/"
        return sorted(
            tuple(key[len(prefix) :].rstrip("/").split("/"))
            for key in keys
            if key.startswith(prefix)
        )

    @staticmethod
    def _entries(tree: list[tuple[str, ...]], depth: int) -> list[tuple[str, ...]]:
        """The entries `depth` levels down: files there and the directories
        that hold anything deeper, in the order listing each level gives."""
        return list(dict.fromkeys(parts[:depth] for parts in tree if len(parts) >= depth))

    def names_starting(self, directory: Any, prefix: str) -> list[str]:
        # One request for the keys with this prefix only.
        try:
            keys = self.fs.find(directory.path, prefix=prefix)
        except FileNotFoundError:
            return []
        return [key.rstrip("/").rpartition("/")[2] for key in keys]

    def find_first(self, root: Any, suffix: str) -> Any:
        tree = self._tree(root)
        if tree is None:
            return super().find_first(root, suffix)
        for type_name, name in self._entries(tree, 2):
            if name.endswith(suffix):
                return root / type_name / name
        return None

    def result_files(self, root: Any, simulation_type: str | None) -> list[Any]:
        top = root if simulation_type is None else root / simulation_type
        tree = self._tree(top)
        if tree is None:
            return super().result_files(root, simulation_type)
        depth = 2 if simulation_type is None else 1
        return [
            top.joinpath(*parts)
            for parts in self._entries(tree, depth)
            if parts[-1].endswith(".json")
        ]

    def fetch_each(self, paths: Sequence[Any]) -> Iterator[tuple[Any, bytes | OSError, Any]]:
        for start in range(0, len(paths), READ_BATCH):
            batch = paths[start : start + READ_BATCH]
            for path, got in zip(batch, self._get_all(batch), strict=True):
                if isinstance(got, OSError):
                    yield path, got, None
                elif got is not None:
                    yield path, got[0], got[1]

    def check_root(self, root: Any) -> None:
        """Raises unless the store's bucket exists and answers: an OSError
        naming the bucket."""
        bucket, _ = self._bucket_and_key(root)
        try:
            self.fs.call_s3("head_bucket", Bucket=bucket)
        except FileNotFoundError as error:
            raise FileNotFoundError(errno.ENOENT, "No such bucket", f"s3://{bucket}") from error
        except Exception as error:
            raise _failure(f"s3://{bucket}", error) from error

    def named_files(
        self, root: Any, simulation_type: str | None
    ) -> list[tuple[Any, Any, Any, float | None]]:
        top = root if simulation_type is None else root / simulation_type
        prefix = top.path.rstrip("/") + "/"
        try:
            # Listed by prefix, one directory costs one request: s3fs asks
            # no more whether a directory with nothing in it is an object.
            listed = self.fs.find(
                root.path.rstrip("/"),
                detail=True,
                prefix="" if simulation_type is None else f"{simulation_type}/",
            )
        except FileNotFoundError:
            return []
        depth = 2 if simulation_type is None else 1
        found = []
        for key, info in sorted(listed.items()):
            parts = key[len(prefix) :].split("/") if key.startswith(prefix) else []
            if len(parts) == depth:
                found.append(
                    (
                        top.joinpath(*parts),
                        info.get("size"),
                        info.get("ETag"),
                        self._modified_of(info),
                    )
                )
        return found

    def move_listed(self, path: Any, version: Any, target: Any) -> bool:
        """Copies the object to `target` only while its ETag is the one
        listed, then deletes it only while it still is; when a save came in
        between, the copy goes (only while it is the copy made) and the
        object stays. An object deleted by another process right after the
        copy has left its place as well: True."""
        bucket, key = self._bucket_and_key(path)
        target_bucket, target_key = self._bucket_and_key(target)
        self._refuse_existing(target)
        try:
            copied = self.fs.call_s3(
                "copy_object",
                Bucket=target_bucket,
                Key=target_key,
                CopySource={"Bucket": bucket, "Key": key},
                CopySourceIfMatch=version,
            )
        except OSError as error:
            if _s3_code(error) == "PreconditionFailed" or _is_missing(error):
                return False
            raise
        try:
            self.fs.call_s3("delete_object", Bucket=bucket, Key=key, IfMatch=version)
        except OSError as error:
            if _s3_code(error) == "PreconditionFailed":  # saved again in between
                self._delete_while(target, copied["CopyObjectResult"]["ETag"])
                return False
            if not _is_missing(error):
                raise
        return True

    def _delete_while(self, path: Any, etag: str) -> None:
        """Deletes the object at `path` while its ETag is `etag`: one
        written again, or gone, since stays as it is."""
        bucket, key = self._bucket_and_key(path)
        try:
            self.fs.call_s3("delete_object", Bucket=bucket, Key=key, IfMatch=etag)
        except OSError as error:
            if _s3_code(error) != "PreconditionFailed" and not _is_missing(error):
                raise

    def remove(self, path: Any) -> bool:
        """Removes the object in one request, which succeeds also for an
        object another process removed a moment before: True either way."""
        bucket, key = self._bucket_and_key(path)
        self.fs.call_s3("delete_object", Bucket=bucket, Key=key)
        return True

    def remove_listed(self, listed: Sequence[Listed], on_removed: Callable[[Any], object]) -> None:
        """Removes the listed objects in batched requests, each only while
        its ETag is still the one listed, calling `on_removed` with each
        removed path in order; stops at the first batch that S3 refuses in
        part, naming how many objects and which. A file listed without a
        version is never removed."""
        listed = [(path, version) for path, version in listed if version is not None]
        for start in range(0, len(listed), DELETE_BATCH):
            batch = listed[start : start + DELETE_BATCH]
            refused = self._delete_batch(batch)
            gone = {
                name for name, code, _ in refused if code in ("PreconditionFailed", "NoSuchKey")
            }
            failed = [
                (name, message)
                for name, code, message in refused
                if code not in ("PreconditionFailed", "NoSuchKey")
            ]
            failed_names = {name for name, _ in failed}
            for path, _ in batch:
                if path.path not in gone and path.path not in failed_names:
                    on_removed(path)
            if failed:
                names = ", ".join(f"s3://{name}" for name, _ in failed[:10])
                more = f" and {len(failed) - 10} more" if len(failed) > 10 else ""
                raise OSError(
                    errno.EIO,
                    f"{len(failed)} object(s) not deleted "
                    f"({failed[0][1] or 'refused'}): {names}{more}",
                )

    def _delete_batch(self, batch: Sequence[Listed]) -> list[tuple[str, str, str]]:
        """Deletes up to 1,000 objects, one request a bucket; returns the
        name, code and message of each one S3 did not delete."""
        by_bucket: dict[str, list[dict[str, str]]] = {}
        for path, version in batch:
            bucket, key = self._bucket_and_key(path)
            by_bucket.setdefault(bucket, []).append({"Key": key, "ETag": version})
        refused = []
        for bucket, objects in by_bucket.items():
            answer = self.fs.call_s3(
                "delete_objects", Bucket=bucket, Delete={"Objects": objects, "Quiet": True}
            )
            refused += [
                (f"{bucket}/{error['Key']}", error.get("Code", ""), error.get("Message", ""))
                for error in answer.get("Errors", [])
            ]
        return refused
