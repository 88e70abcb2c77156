"""The files of a results store as tools reach them: stored results named
from a listing alone (no file read), their content with the version that
was read, and removals and moves that take only the version listed.

One object per kind of store, with the same methods, chosen once by
:func:`files_of`: :class:`LocalFiles` for a local path whose class keeps
pathlib's own methods, :class:`ObjectFiles` for object storage (through
:mod:`vantorel.core.object_store`) and :class:`PathFiles` for any other
path, asked through its own methods. The storage module's clear does the
same with its own system calls.

Locally, removals and moves work relative to directory handles: the
store's root is opened once per call (it may itself be a symbolic link);
below it no directory is entered through a symbolic link. A file leaves
its place only while it is the version listed: it is renamed away, its
device and inode are compared with those listed, and it is put back (never
over a newer file) when they differ. Between the rename and the put-back, a
reader of that name finds no file: the window is that of two system calls.
Claims (``<root>/.claims/``, see :mod:`vantorel.core.claims`) are written
again in place by their holders' heartbeats: one leaves only while it holds
the content that was read.
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import itertools
import os
import re
import stat
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, replace
from pathlib import Path
from types import TracebackType
from typing import Any

import pydantic

from vantorel.core.claims import CLAIM_NAME, CLAIMS_DIR

RESULT_NAME = re.compile(r"(?P<component>[^/\x00]*)_(?P<id>[0-9a-f]{16})\.json", re.DOTALL)
"""The name a save gives a result file: the component name (any text
without '/' or NUL, even empty), an underscore and the 16-hex ID."""

TEMPORARY_NAME = re.compile(r"\.(?P<target>.+)\.(?P<pid>\d+)\.(?P<n>\d+)\.tmp", re.DOTALL)
"""The name of a file a save is writing, or a removal has renamed away:
``.<final name>.<pid>.<n>.tmp`` beside its final name."""

QUARANTINE_DIR = ".quarantine"
STORE_DIRECTORIES = frozenset({QUARANTINE_DIR, CLAIMS_DIR})
"""Directories of the store's own below its root, never a simulation type."""

READ_MARGIN = 1 << 20
"""How much a file may grow, past the size it had when opened, while it is
read: a result file is written whole elsewhere and renamed, so one that
grows more is no result."""

_temporary_numbers = itertools.count()


@dataclass(frozen=True)
class StoredFile:
    """A result file as a listing found it: where, how large, and which
    version of it (None where the store cannot tell)."""

    path: Any
    simulation_type: str
    name: str
    size: int | None
    version: Any
    modified: float | None = None
    """When it was last written (seconds since the epoch), where a listing
    tells."""

    @property
    def simulation_id(self) -> str:
        return self.name[-21:-5]

    @property
    def component_name(self) -> str:
        return self.name[:-22]


@dataclass(frozen=True)
class Inventory:
    """The files in a store's type directories that concern its tools."""

    results: list[StoredFile]
    """Named as a save names a result (:data:`RESULT_NAME`)."""
    temporaries: list[StoredFile]
    """Named as a save or a removal names its temporary file."""
    others: list[StoredFile]
    """Other ``*.json`` files: listings read them, no save writes them."""


def kind_of(name: str) -> str | None:
    """Which list of an :class:`Inventory` a file named `name` belongs to."""
    if RESULT_NAME.fullmatch(name):
        return "results"
    if TEMPORARY_NAME.fullmatch(name):
        return "temporaries"
    return "others" if name.endswith(".json") else None


def inventory_of(files: Iterable[StoredFile]) -> Inventory:
    sorted_files: dict[str, list[StoredFile]] = {"results": [], "temporaries": [], "others": []}
    for file in files:
        kind = kind_of(file.name)
        if kind is not None:
            sorted_files[kind].append(file)
    return Inventory(**sorted_files)


def check_type_name(name: str) -> str:
    """`name`, when it names one directory right below a store's root, as a
    simulation type does; ValueError otherwise."""
    if name in ("", ".", "..") or "/" in name or "\x00" in name:
        raise ValueError(
            f"simulation type {name!r} must name one directory inside the store: "
            "not empty, '.' or '..', without '/' or NUL"
        )
    return name


def describe_failure(error: Exception) -> str:
    """One line saying why a file could not be read or validated."""
    if isinstance(error, pydantic.ValidationError):
        first = error.errors()[0]
        where = ".".join(str(part) for part in first["loc"]) or "record"
        more = error.error_count() - 1
        extra = f" (and {more} more)" if more else ""
        return f"{where}: {first['msg']}{extra}"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    lines = [line for line in str(error).splitlines() if line.strip()]
    return lines[0] if lines else type(error).__name__


def files_of(root: Any) -> Files:
    """The object that reaches the files of the store at `root`."""
    from vantorel.core import object_store

    store = object_store.store_for(root)
    if store is not None:
        return ObjectFiles(root, store)
    if isinstance(root, Path) and keeps_pathlib_methods(root):
        return LocalFiles(root)
    return PathFiles(root)


_PATHLIB_METHODS = ("read_bytes", "write_bytes", "exists", "is_dir", "stat", "iterdir", "glob")


def keeps_pathlib_methods(path: Path) -> bool:
    """Whether the class of `path` has pathlib's own methods for what the
    system calls here stand in for (a subclass that replaced one is asked
    through its methods)."""
    return all(
        getattr(type(path), name) is getattr(Path, name) for name in (*_PATHLIB_METHODS, "unlink")
    )


def temporary_name(name: str) -> str:
    """A name beside `name` that no listing or lookup reads, and that
    ``verify`` recognises as a file of the store's own."""
    return f".{name[:200]}.{os.getpid()}.{next(_temporary_numbers)}.tmp"


def _named(error: OSError, path: Any) -> OSError:
    """`error` naming `path` instead of the name relative to a handle."""
    named = type(error)(error.errno, error.strerror, str(path))
    named.__cause__ = error.__cause__
    return named


def refusal_to_follow(path: Any) -> OSError:
    return OSError(
        errno.ELOOP,
        "Not followed: a symbolic link, and removals and moves stay inside the store",
        str(path),
    )


def _raising(
    outcomes: Iterator[tuple[StoredFile, bytes | OSError]],
) -> Iterator[tuple[bytes, StoredFile]]:
    """The contents of `outcomes`; the first failure to read raises."""
    for file, content in outcomes:
        if isinstance(content, OSError):
            raise content
        yield content, file


def read_regular_file(dir_fd: int | None, name: str, path: Any) -> tuple[bytes, tuple[int, int]]:
    """The content of the regular file `name` (relative to `dir_fd`) and
    its device and inode. It is opened without blocking, so a FIFO or a
    device never stalls the caller, and read up to the size it had when
    opened plus :data:`READ_MARGIN`. Anything but a regular file raises
    OSError (EINVAL, or IsADirectoryError), as the storage module's reads
    do; errors name `path`."""
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
    try:
        fd = os.open(name, flags, dir_fd=dir_fd)
    except OSError as error:
        raise _named(error, path) from error
    try:
        status = os.fstat(fd)
        if stat.S_ISDIR(status.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), str(path))
        if not stat.S_ISREG(status.st_mode):
            raise OSError(errno.EINVAL, "Not a regular file", str(path))
        limit = status.st_size + READ_MARGIN
        chunks: list[bytes] = []
        total = 0
        while chunk := os.read(fd, min(limit + 1 - total, 1 << 20)):
            chunks.append(chunk)
            total += len(chunk)
            if total > limit:
                raise OSError(errno.EFBIG, "Grew while it was read", str(path))
        return b"".join(chunks), (status.st_dev, status.st_ino)
    finally:
        os.close(fd)


_libc: Any = None


def rename_without_replacing(src_fd: int, src: str, dst_fd: int, dst: str) -> None:
    """Renames `src` to `dst` (relative to directory handles) unless `dst`
    exists: FileExistsError then. Where the file system has no such rename,
    a hard link refuses an existing name as well."""
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(None, use_errno=True)
    rename_no_replace = 1  # RENAME_NOREPLACE
    renameat2 = getattr(_libc, "renameat2", None)
    if renameat2 is not None:
        if renameat2(src_fd, os.fsencode(src), dst_fd, os.fsencode(dst), rename_no_replace) == 0:
            return
        code = ctypes.get_errno()
        if code not in (errno.EINVAL, errno.ENOSYS):
            raise OSError(code, os.strerror(code), dst)
    os.link(src, dst, src_dir_fd=src_fd, dst_dir_fd=dst_fd, follow_symlinks=False)
    os.unlink(src, dir_fd=src_fd)


def _put_back(aside_fd: int, aside: str, dir_fd: int, name: str) -> None:
    """Puts the file moved to `aside` back under `name`; a newer file there
    supersedes it, and it is removed."""
    try:
        rename_without_replacing(aside_fd, aside, dir_fd, name)
    except FileExistsError:
        os.unlink(aside, dir_fd=aside_fd)


def _is_version(dir_fd: int, name: str, version: object) -> bool:
    # Followed, as a read follows a link to a result.
    status = os.stat(name, dir_fd=dir_fd)
    return (status.st_dev, status.st_ino) == version


def remove_if_unchanged(dir_fd: int, name: str, version: object) -> bool:
    """Removes `name` (relative to `dir_fd`) only while it is `version`
    (device and inode): False when it is gone or was written again."""
    aside = temporary_name(name)
    try:
        os.rename(name, aside, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
    except FileNotFoundError:
        return False
    if _is_version(dir_fd, aside, version):
        os.unlink(aside, dir_fd=dir_fd)
        return True
    _put_back(dir_fd, aside, dir_fd, name)
    return False


def _is_link(dir_fd: int, name: str) -> bool:
    try:
        return stat.S_ISLNK(os.lstat(name, dir_fd=dir_fd).st_mode)
    except OSError:
        return False


class _Handles:
    """The store's root, opened once (following a symbolic link), and the
    directories below it, opened without following one; all closed on
    exit."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.root_fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        self._below: dict[str, int] = {}

    def below(self, relative: str, create: bool = False) -> int:
        """The directory `relative` below the root: a type directory, or a
        directory of the store's own such as ``.quarantine/<type>`` (made
        when missing, with `create`). Each of its parts is opened without
        following a symbolic link: OSError ELOOP for one, NotADirectoryError
        for anything else that is no directory."""
        if relative in self._below:
            return self._below[relative]
        parent_fd, reached = self.root_fd, ""
        for part in relative.split("/"):
            check_type_name(part)
            reached = f"{reached}/{part}" if reached else part
            if reached not in self._below:
                self._below[reached] = self._open_below(parent_fd, part, reached, create)
            parent_fd = self._below[reached]
        return parent_fd

    def _open_below(self, parent_fd: int, name: str, relative: str, create: bool) -> int:
        if create:
            with contextlib.suppress(FileExistsError):
                os.mkdir(name, dir_fd=parent_fd)
        flags = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
        try:
            return os.open(name, flags, dir_fd=parent_fd)
        except OSError as error:
            path = self.root / relative
            if error.errno in (errno.ELOOP, errno.ENOTDIR) and _is_link(parent_fd, name):
                raise refusal_to_follow(path) from error
            raise _named(error, path) from error

    def __enter__(self) -> _Handles:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        for fd in (*self._below.values(), self.root_fd):
            os.close(fd)


class _Files:
    """What every kind of store offers alike, built on its own `_listed`
    (the files of the type directories whose names are wanted) and `read`
    (one file, and the file as the version read)."""

    def _listed(
        self, simulation_type: str | None, wanted: Callable[[str], bool]
    ) -> list[StoredFile]:
        raise NotImplementedError

    def read(self, file: StoredFile) -> tuple[bytes, StoredFile]:
        raise NotImplementedError

    def names(self, simulation_type: str | None = None) -> list[StoredFile]:
        """The result files of every type (or of one), named as a save
        names them, in the store's order."""
        return self._listed(simulation_type, lambda name: RESULT_NAME.fullmatch(name) is not None)

    def inventory(self) -> Inventory:
        """The result files, temporary files and other ``*.json`` files of
        every type directory."""
        return inventory_of(self._listed(None, lambda name: kind_of(name) is not None))

    def read_each_or_error(
        self, files: Iterable[StoredFile]
    ) -> Iterator[tuple[StoredFile, bytes | OSError]]:
        """For each file still there, the file as the version read and its
        content, or the file as listed and the OSError its read raised."""
        for file in files:
            try:
                content, read = self.read(file)
            except FileNotFoundError:
                continue
            except OSError as error:
                yield file, error
                continue
            yield read, content

    def read_each(self, files: Iterable[StoredFile]) -> Iterator[tuple[bytes, StoredFile]]:
        """:meth:`read` of each file still there; a failure to read one
        raises."""
        return _raising(self.read_each_or_error(files))


class LocalFiles(_Files):
    """A store on a local file system."""

    def __init__(self, root: Path) -> None:
        self.root = root

    def check_root(self) -> None:
        """Raises unless the store's root is a directory (or a symbolic
        link to one): FileNotFoundError or NotADirectoryError naming it."""
        if not stat.S_ISDIR(os.stat(self.root).st_mode):
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), str(self.root))

    def _type_names(self) -> list[str]:
        with os.scandir(self.root) as entries:
            return [
                entry.name
                for entry in entries
                if entry.name not in STORE_DIRECTORIES and entry.is_dir()
            ]

    def _listed(
        self, simulation_type: str | None, wanted: Callable[[str], bool]
    ) -> list[StoredFile]:
        """The `wanted` entries of every type directory (or of one), in
        directory order, with what a stat of each (following a symbolic
        link, as a read does) tells; one gone meanwhile is left out."""
        try:
            if simulation_type is not None:
                types = [check_type_name(simulation_type)]
            else:
                types = self._type_names()
        except (FileNotFoundError, NotADirectoryError):
            return []
        found = []
        for type_name in types:
            directory = self.root / type_name
            try:
                with os.scandir(directory) as entries:
                    for entry in entries:
                        if not wanted(entry.name):
                            continue
                        try:
                            status = entry.stat()
                        except FileNotFoundError:
                            continue
                        found.append(
                            StoredFile(
                                directory / entry.name,
                                type_name,
                                entry.name,
                                status.st_size,
                                (status.st_dev, status.st_ino),
                                status.st_mtime,
                            )
                        )
            except (FileNotFoundError, NotADirectoryError):
                continue
        return found

    def read(self, file: StoredFile) -> tuple[bytes, StoredFile]:
        """The file's content, and the file as the version read."""
        content, version = read_regular_file(None, os.fspath(file.path), file.path)
        return content, replace(file, size=len(content), version=version)

    def remove(
        self, files: Sequence[StoredFile], on_removed: Callable[[StoredFile], object]
    ) -> None:
        """Removes each file while it is the version listed, calling
        `on_removed` for each removed one, in order."""
        with _Handles(self.root) as handles:
            for file in files:
                directory = handles.below(file.simulation_type)
                if remove_if_unchanged(directory, file.name, file.version):
                    on_removed(file)

    def claims(self) -> list[StoredFile]:
        """The files of the claims directory named as claims, from one
        listing (the directory entered without following a symbolic link);
        none when there is no such directory."""
        found = []
        try:
            with _Handles(self.root) as handles, os.scandir(handles.below(CLAIMS_DIR)) as entries:
                for entry in entries:
                    if not CLAIM_NAME.fullmatch(entry.name):
                        continue
                    try:
                        status = entry.stat(follow_symlinks=False)
                    except FileNotFoundError:
                        continue
                    found.append(
                        StoredFile(
                            self.root / CLAIMS_DIR / entry.name,
                            CLAIMS_DIR,
                            entry.name,
                            status.st_size,
                            (status.st_dev, status.st_ino),
                            status.st_mtime,
                        )
                    )
        except FileNotFoundError:
            return []
        return found

    def remove_claim(self, file: StoredFile, content: bytes) -> bool:
        """Removes a claim only while it holds `content` (its holder's
        heartbeat rewrites it in place, so its inode tells nothing): it is
        renamed aside, read, and put back when it holds anything else.
        False when it is gone or was written again."""
        with _Handles(self.root) as handles:
            directory = handles.below(file.simulation_type)
            aside = temporary_name(file.name)
            try:
                os.rename(file.name, aside, src_dir_fd=directory, dst_dir_fd=directory)
            except FileNotFoundError:
                return False
            try:
                held, _ = read_regular_file(directory, aside, file.path)
            except BaseException:
                _put_back(directory, aside, directory, file.name)
                raise
            if held == content:
                os.unlink(aside, dir_fd=directory)
                return True
            _put_back(directory, aside, directory, file.name)
            return False

    def move(self, file: StoredFile, to_directory: str, to_name: str) -> bool:
        """Moves the file to ``<root>/<to_directory>/<to_name>`` (a directory
        of the store's own, made when missing), only while it is the version
        listed and never over an existing file: False when it is gone or was
        written again (it then stays, or is back, in its place)."""
        with _Handles(self.root) as handles:
            source = handles.below(file.simulation_type)
            target = handles.below(to_directory, create=True)
            try:
                rename_without_replacing(source, file.name, target, to_name)
            except FileNotFoundError:
                return False
            if _is_version(target, to_name, file.version):
                return True
            _put_back(target, to_name, source, file.name)
            return False


class ObjectFiles(_Files):
    """A store on object storage: names and sizes from its listing, each
    object read in one request, removals conditional on the version (the
    ETag on S3) listed."""

    def __init__(self, root: Any, store: Any) -> None:
        self.root = root
        self.store = store

    def check_root(self) -> None:
        """Raises unless the store can be reached: on S3, its bucket exists
        and answers."""
        self.store.check_root(self.root)

    def _listed(
        self, simulation_type: str | None, wanted: Callable[[str], bool]
    ) -> list[StoredFile]:
        if simulation_type is not None:
            check_type_name(simulation_type)
        return [
            StoredFile(path, path.parent.name, path.name, size, version, modified)
            for path, size, version, modified in self.store.named_files(self.root, simulation_type)
            if wanted(path.name) and path.parent.name not in STORE_DIRECTORIES
        ]

    def read(self, file: StoredFile) -> tuple[bytes, StoredFile]:
        for content, read in self.read_each([file]):
            return content, read
        raise FileNotFoundError(errno.ENOENT, "No such object", str(file.path))

    def read_each_or_error(
        self, files: Iterable[StoredFile]
    ) -> Iterator[tuple[StoredFile, bytes | OSError]]:
        by_path = {str(file.path): file for file in files}
        paths = [file.path for file in by_path.values()]
        for path, content, version in self.store.fetch_each(paths):
            listed = by_path[str(path)]
            if isinstance(content, OSError):
                yield listed, content
            else:
                yield replace(listed, size=len(content), version=version), content

    def remove(
        self, files: Sequence[StoredFile], on_removed: Callable[[StoredFile], object]
    ) -> None:
        by_path = {str(file.path): file for file in files}
        self.store.remove_listed(
            [(file.path, file.version) for file in files],
            lambda path: on_removed(by_path[str(path)]),
        )

    def move(self, file: StoredFile, to_directory: str, to_name: str) -> bool:
        target = self.root / to_directory / to_name
        moved: bool = self.store.move_listed(file.path, file.version, target)
        return moved

    def claims(self) -> list[StoredFile]:
        return [
            StoredFile(path, CLAIMS_DIR, path.name, size, version, modified)
            for path, size, version, modified in self.store.named_files(self.root, CLAIMS_DIR)
            if CLAIM_NAME.fullmatch(path.name)
        ]

    def remove_claim(self, file: StoredFile, content: bytes) -> bool:
        """Removes a claim only while it is the version read (its ETag on S3:
        a heartbeat writes a new object); `content` is what that version
        holds."""
        removed: list[StoredFile] = []
        self.remove([file], removed.append)
        return bool(removed)


class PathFiles(_Files):
    """A store reached only through its path objects' own methods: no
    version is known, so removals take what is there."""

    def __init__(self, root: Any) -> None:
        self.root = root

    def check_root(self) -> None:
        if not self.root.is_dir():
            code = errno.ENOTDIR if self.root.exists() else errno.ENOENT
            raise OSError(code, os.strerror(code), str(self.root))

    def _listed(
        self, simulation_type: str | None, wanted: Callable[[str], bool]
    ) -> list[StoredFile]:
        if not self.root.exists():
            return []
        if simulation_type is None:
            type_dirs = [
                entry
                for entry in self.root.iterdir()
                if entry.name not in STORE_DIRECTORIES and entry.is_dir()
            ]
        else:
            type_dirs = [self.root / check_type_name(simulation_type)]
        return [
            StoredFile(path, type_dir.name, path.name, None, None, self._modified(path))
            for type_dir in type_dirs
            if type_dir.is_dir()
            for path in type_dir.iterdir()
            if wanted(path.name)
        ]

    @staticmethod
    def _modified(path: Any) -> float | None:
        if not TEMPORARY_NAME.fullmatch(path.name):
            return None  # asked only where it decides something
        try:
            modified: float = path.stat().st_mtime
        except OSError:
            return None
        return modified

    def read(self, file: StoredFile) -> tuple[bytes, StoredFile]:
        content: bytes = file.path.read_bytes()
        return content, replace(file, size=len(content))

    def remove(
        self, files: Sequence[StoredFile], on_removed: Callable[[StoredFile], object]
    ) -> None:
        for file in files:
            try:
                file.path.unlink()
            except FileNotFoundError:
                continue
            on_removed(file)

    def claims(self) -> list[StoredFile]:
        directory = self.root / CLAIMS_DIR
        if not directory.is_dir():
            return []
        return [
            StoredFile(path, CLAIMS_DIR, path.name, None, None)
            for path in directory.iterdir()
            if CLAIM_NAME.fullmatch(path.name)
        ]

    def remove_claim(self, file: StoredFile, content: bytes) -> bool:
        """Removes a claim while it holds `content`, compared right before
        the removal: a heartbeat in that moment can still be lost."""
        try:
            if file.path.read_bytes() != content:
                return False
            file.path.unlink()
        except FileNotFoundError:
            return False
        return True

    def move(self, file: StoredFile, to_directory: str, to_name: str) -> bool:
        target = self.root / to_directory / to_name
        target.parent.mkdir(parents=True, exist_ok=True)
        if target.exists():
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), str(target))
        try:
            file.path.rename(target)
        except FileNotFoundError:
            return False
        return True


type Files = LocalFiles | ObjectFiles | PathFiles
"""The object that reaches the files of a store, of whichever kind."""
