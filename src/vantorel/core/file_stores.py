"""The files of a results store as tools reach them: stored results named
from a listing alone (no file read), their content with the version that
was read, and removals and moves that take only the version listed.

One object per kind of store, with the same methods, chosen once by
:func:`files_of`: :class:`LocalFiles` for a local path whose class keeps
pathlib's own methods (or a universal-pathlib path on the local file
system), :class:`ObjectFiles` for object storage (through
:mod:`vantorel.core.object_store`) and :class:`PathFiles` for any other
path, asked through its own methods: it lists and reads, and knows no
version of a file, so it removes and moves nothing. The storage module's
clear does the same with its own system calls.

Locally, a file's version is its device, inode, size and modification time
(ext4 gives a removed file's inode number to the next file at once: device
and inode alone would let a newer save pass for the file listed).
Removals and moves work relative to directory handles: the store's root is
opened once per call (it may itself be a symbolic link); below it no
directory is entered through a symbolic link. A file leaves its place only
while it is a regular file of the version listed: it is renamed aside
(``.<name>.<pid>.<n>.aside``, never over a file), compared, and put back
(never over a newer file) when it differs. Between the rename and the
put-back, a reader of that name finds no file: the window is that of a few
system calls. An aside that a killed process left behind is what ``verify``
reports, and ``verify --repair`` puts back. Claims (``<root>/.claims/``,
see :mod:`vantorel.core.claims`) are written again in place by their
holders' heartbeats: one leaves only while it also holds the content that
was read.
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

from vantorel.core import object_store
from vantorel.core.claims import CLAIM_NAME, CLAIMS_DIR

RESULT_NAME = re.compile(r"(?P<component>[^/\x00]*)_(?P<id>[0-9a-f]{16})\.json", re.DOTALL)
"""The name a save gives a result file: the component name (any text
without '/' or NUL, even empty), an underscore and the 16-hex ID."""

NAME_CUT = 200
"""How many bytes of a file's name the name of a file beside it keeps (a
save's temporary file, an aside), so that it stays within the file
system's limit of 255 bytes whenever the file's own name does."""


def _beside(suffix: str) -> re.Pattern[str]:
    return re.compile(rf"\.(?P<target>.+)\.(?P<pid>\d+)\.(?P<n>\d+)\.{suffix}", re.DOTALL)


_TEMPORARY_NAME = _beside("tmp")
_ASIDE_NAME = _beside("aside")

QUARANTINE_DIR = ".quarantine"
STORE_DIRECTORIES = frozenset({QUARANTINE_DIR, CLAIMS_DIR})
"""Directories of the store's own below its root, never a simulation type."""

READ_MARGIN = 1 << 20
"""How much a file may grow, past the size it had when opened, while it is
read: a result file is written whole elsewhere and renamed, so one that
grows more is no result."""

_aside_numbers = itertools.count()

type Version = tuple[int, int, int, int]
"""A local file's version: device, inode, size and modification time (ns)."""


def version_of(status: os.stat_result) -> Version | None:
    """The version of a local file as its lstat tells; None for anything but
    a regular file, which no removal or move takes."""
    if not stat.S_ISREG(status.st_mode):
        return None
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns


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
    """When it was last written (seconds since the epoch; locally, or
    renamed), where a listing tells."""

    @property
    def simulation_id(self) -> str:
        return self.name[-21:-5]

    @property
    def component_name(self) -> str:
        return self.name[:-22]

    @property
    def label(self) -> str:
        """Where the file is within the store: ``<type>/<name>``."""
        return f"{self.simulation_type}/{self.name}"


@dataclass(frozen=True)
class Inventory:
    """The files in a store's type directories that concern its tools."""

    results: list[StoredFile]
    """Named as a save names a result (:data:`RESULT_NAME`)."""
    temporaries: list[StoredFile]
    """Named as a save names its temporary file (:func:`temporary_match`)."""
    asides: list[StoredFile]
    """Named as a removal names a file it set aside (:func:`aside_match`)."""
    others: list[StoredFile]
    """Other ``*.json`` files: listings read them, no save writes them."""


def _of_a_result(match: re.Match[str] | None) -> re.Match[str] | None:
    """`match`, when the target it names is a result file's name, whole or
    cut to :data:`NAME_CUT` bytes."""
    if match is None:
        return None
    target = match["target"]
    if RESULT_NAME.fullmatch(target) or len(os.fsencode(target)) == NAME_CUT:
        return match
    return None


def temporary_match(name: str) -> re.Match[str] | None:
    """The parts (target, pid, n) of the name of a save's temporary file,
    ``.<result name>.<pid>.<n>.tmp`` beside the result; None for any other
    name."""
    return _of_a_result(_TEMPORARY_NAME.fullmatch(name))


def aside_match(name: str) -> re.Match[str] | None:
    """The parts (target, pid, n) of the name of a result file that a
    removal or a move set aside, ``.<result name>.<pid>.<n>.aside`` beside
    its name; None for any other name."""
    return _of_a_result(_ASIDE_NAME.fullmatch(name))


def aside_name(name: str) -> str:
    """A new name beside `name` for the file a removal or move sets aside
    while it compares it: no listing or lookup reads it, and ``verify``
    recognises it."""
    cut = os.fsdecode(os.fsencode(name)[:NAME_CUT])
    return f".{cut}.{os.getpid()}.{next(_aside_numbers)}.aside"


def kind_of(name: str) -> str | None:
    """Which list of an :class:`Inventory` a file named `name` belongs to."""
    if RESULT_NAME.fullmatch(name):
        return "results"
    if temporary_match(name):
        return "temporaries"
    if aside_match(name):
        return "asides"
    return "others" if name.endswith(".json") else None


def inventory_of(files: Iterable[StoredFile]) -> Inventory:
    sorted_files: dict[str, list[StoredFile]] = {
        "results": [],
        "temporaries": [],
        "asides": [],
        "others": [],
    }
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
    local = object_store.local_path(root)
    if local is not None:
        return LocalFiles(local)
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


def _named(error: OSError, path: Any) -> OSError:
    """`error` naming `path` instead of the name relative to a handle."""
    named = type(error)(error.errno, error.strerror, str(path))
    named.__cause__ = error.__cause__
    return named


@contextlib.contextmanager
def _naming(path: Any) -> Iterator[None]:
    """Errors of the system calls in the block name `path`, not a name
    relative to a handle."""
    try:
        yield
    except OSError as error:
        raise _named(error, path) from error


def refusal_to_follow(path: Any) -> OSError:
    return OSError(
        errno.ELOOP,
        "Not followed: a symbolic link, and removals and moves stay inside the store",
        str(path),
    )


def read_regular_file(dir_fd: int | None, name: str, path: Any) -> tuple[bytes, os.stat_result]:
    """The content of the regular file `name` (relative to `dir_fd`) and
    its status when opened, before it was read. It is opened without
    blocking, so a FIFO or a device never stalls the caller, and read up to
    the size it had when opened plus :data:`READ_MARGIN`. Anything but a
    regular file raises OSError (EINVAL, or IsADirectoryError), as the
    storage module's reads do; errors name `path`."""
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
    with _naming(path):
        fd = os.open(name, flags, dir_fd=dir_fd)
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
        return b"".join(chunks), status
    finally:
        os.close(fd)


_libc: Any = None
_RENAME_NOREPLACE = 1

_NO_HARD_LINKS = frozenset({errno.EPERM, errno.EOPNOTSUPP, errno.ENOSYS, errno.EMLINK})
"""What a hard link fails with where the file system (or its protection of
hard links to another user's files) makes none."""


def _renamed_without_replacing(src_fd: int, src: str, dst_fd: int, dst: str) -> bool:
    """Renames `src` to `dst` (relative to directory handles) unless `dst`
    exists: FileExistsError then. False, having done nothing, where the
    file system has no such rename (NFS and CIFS answer EINVAL)."""
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(None, use_errno=True)
    renameat2 = getattr(_libc, "renameat2", None)
    if renameat2 is None:
        return False
    if renameat2(src_fd, os.fsencode(src), dst_fd, os.fsencode(dst), _RENAME_NOREPLACE) == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.EINVAL, errno.ENOSYS):
        return False
    raise OSError(code, os.strerror(code), dst)


def rename_without_replacing(src_fd: int, src: str, dst_fd: int, dst: str) -> None:
    """Renames `src` to `dst` (relative to directory handles) unless `dst`
    exists: FileExistsError then. Where the file system has no such rename,
    a hard link refuses an existing name as well, and `src` is then
    unlinked by name: it must be a name no one else writes (an aside)."""
    if _renamed_without_replacing(src_fd, src, dst_fd, dst):
        return
    os.link(src, dst, src_dir_fd=src_fd, dst_dir_fd=dst_fd, follow_symlinks=False)
    os.unlink(src, dir_fd=src_fd)


_ASIDE_ATTEMPTS = 100


def _set_aside(dir_fd: int, name: str) -> str | None:
    """Renames `name` to a new aside name beside it and returns that name;
    None when `name` is gone. Never over a file (a name taken, left by an
    earlier process of this ID, is passed over), and never unlinking
    `name`, which a save may take at any moment: where the file system
    cannot rename without replacing, an empty file made exclusively holds
    the aside name, and the rename replaces only that."""
    for _ in range(_ASIDE_ATTEMPTS):
        aside = aside_name(name)
        try:
            if not _renamed_without_replacing(dir_fd, name, dir_fd, aside):
                flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
                os.close(os.open(aside, flags, 0o600, dir_fd=dir_fd))
                try:
                    os.rename(name, aside, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
                except BaseException:
                    os.unlink(aside, dir_fd=dir_fd)
                    raise
        except FileExistsError:
            continue
        except FileNotFoundError:
            return None
        return aside
    raise FileExistsError(errno.EEXIST, f"{_ASIDE_ATTEMPTS} aside names in a row are taken")


def _lexists(dir_fd: int, name: str) -> bool:
    try:
        os.lstat(name, dir_fd=dir_fd)
    except FileNotFoundError:
        return False
    return True


def _rename_back(dir_fd: int, aside: str, name: str) -> bool:
    """Renames the file set aside as `aside` to `name` unless a file holds
    `name`: False then, and it stays aside. Where the file system can
    neither rename without replacing nor make hard links, `name` is renamed
    to only after a look found it free (a file that takes it between the
    two calls is replaced), and a file there raises FileExistsError."""
    try:
        rename_without_replacing(dir_fd, aside, dir_fd, name)
    except FileExistsError:
        return False
    except OSError as error:
        if error.errno not in _NO_HARD_LINKS:
            raise
        if _lexists(dir_fd, name):
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), name) from error
        os.rename(aside, name, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
    return True


def _put_back(dir_fd: int, aside: str, name: str, directory: Path) -> None:
    """Puts the file set aside as `aside` back under `name`. A newer file
    that took the name meanwhile supersedes it, as a save's rename would
    have replaced it: it is removed. Where the file system cannot tell that
    in one call, it stays aside instead, and an OSError says where it is."""
    try:
        with _naming(directory / aside):
            if not _rename_back(dir_fd, aside, name):
                os.unlink(aside, dir_fd=dir_fd)
    except FileExistsError as error:
        raise FileExistsError(
            errno.EEXIST,
            f"Left aside: a removal found another file under its name {name!r}",
            str(directory / aside),
        ) from error


def _is_version(dir_fd: int, name: str, version: object, path: Path) -> bool:
    """Whether `name` is a regular file of `version` (not followed)."""
    with _naming(path):
        return version_of(os.lstat(name, dir_fd=dir_fd)) == version


def _version_read(path: Path, opened: os.stat_result) -> Version | None:
    """The version of the file opened at `path`, when `path` itself names
    it (no symbolic link); None otherwise."""
    try:
        named = os.lstat(path)
    except OSError:
        return None
    if (named.st_dev, named.st_ino) != (opened.st_dev, opened.st_ino):
        return None
    # As opened, before it was read: a write since makes it older than the
    # content, never newer.
    return version_of(opened) if stat.S_ISREG(named.st_mode) else None


def _stored(entry: os.DirEntry[str], directory: Path, type_name: str) -> StoredFile | None:
    """A listed file as an lstat of it tells, or None once it is gone. One
    that cannot be stat'd is listed without size or version: a read of it
    fails, and no removal takes it."""
    path = directory / entry.name
    try:
        status = entry.stat(follow_symlinks=False)
    except FileNotFoundError:
        return None
    except OSError:
        return StoredFile(path, type_name, entry.name, None, None)
    version = version_of(status)
    return StoredFile(
        path,
        type_name,
        entry.name,
        None if version is None else status.st_size,
        version,
        max(status.st_mtime, status.st_ctime),  # a rename aside leaves the mtime
    )


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
    (the files of the type directories whose names are wanted)."""

    def _listed(
        self, simulation_type: str | None, wanted: Callable[[str], bool]
    ) -> list[StoredFile]:
        raise NotImplementedError

    def names(self, simulation_type: str | None = None) -> list[StoredFile]:
        """The result files of every type (or of one), named as a save
        names them, in the store's order."""
        return self._listed(simulation_type, lambda name: RESULT_NAME.fullmatch(name) is not None)

    def inventory(self) -> Inventory:
        """The result files, temporary files, files set aside and other
        ``*.json`` files of every type directory."""
        return inventory_of(self._listed(None, lambda name: kind_of(name) is not None))


def _read_one_by_one(
    read: Callable[[StoredFile], tuple[bytes, StoredFile]], files: Iterable[StoredFile]
) -> Iterator[tuple[StoredFile, bytes | OSError]]:
    for file in files:
        try:
            content, read_file = read(file)
        except FileNotFoundError:
            continue
        except OSError as error:
            yield file, error
            continue
        yield read_file, content


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
        try:
            entries = os.scandir(self.root)
        except (FileNotFoundError, NotADirectoryError):
            return []
        with entries:
            return [
                entry.name
                for entry in entries
                if entry.name not in STORE_DIRECTORIES and entry.is_dir()
            ]

    def _scanned(
        self, directory: int | Path, type_name: str, wanted: Callable[[str], bool]
    ) -> list[StoredFile]:
        """The `wanted` entries of ``<root>/<type_name>``, listed through
        `directory` (its path, or a handle on it), in directory order; none
        when there is no such directory."""
        try:
            entries = os.scandir(directory)
        except (FileNotFoundError, NotADirectoryError):
            return []
        with entries:
            return [
                file
                for entry in entries
                if wanted(entry.name)
                and (file := _stored(entry, self.root / type_name, type_name)) is not None
            ]

    def _listed(
        self, simulation_type: str | None, wanted: Callable[[str], bool]
    ) -> list[StoredFile]:
        """The `wanted` entries of every type directory (or of one), in
        directory order."""
        if simulation_type is not None:
            types = [check_type_name(simulation_type)]
        else:
            types = self._type_names()
        return [
            file
            for type_name in types
            for file in self._scanned(self.root / type_name, type_name, wanted)
        ]

    def read(self, file: StoredFile) -> tuple[bytes, StoredFile]:
        """The file's content, and the file as the version read (following
        a symbolic link, which has no version: no removal takes it)."""
        content, opened = read_regular_file(None, os.fspath(file.path), file.path)
        version = _version_read(file.path, opened)
        return content, replace(file, size=len(content), version=version)

    def read_each_or_error(
        self, files: Iterable[StoredFile]
    ) -> Iterator[tuple[StoredFile, bytes | OSError]]:
        """For each file still there, the file as the version read and its
        content, or the file as listed and the OSError its read raised."""
        return _read_one_by_one(self.read, files)

    def _while_listed(
        self,
        handles: _Handles,
        file: StoredFile,
        act: Callable[[int, str], object],
        holds: Callable[[int, str], bool] | None = None,
    ) -> bool:
        """Sets the file aside and acts on it there (`act`, given the handle
        on its directory and the aside name, unlinks or renames it) while
        it is a regular file of the version listed (and `holds`, where
        given); else, and on any failure, puts it back. False when it is
        gone or was put back; a file listed without a version is never
        touched."""
        if file.version is None:
            return False
        dir_fd = handles.below(file.simulation_type)
        directory = self.root / file.simulation_type
        with _naming(directory / file.name):
            aside = _set_aside(dir_fd, file.name)
        if aside is None:
            return False
        try:
            if _is_version(dir_fd, aside, file.version, directory / aside) and (
                holds is None or holds(dir_fd, aside)
            ):
                act(dir_fd, aside)
                return True
        except BaseException:
            with contextlib.suppress(FileNotFoundError):  # acted on already
                _put_back(dir_fd, aside, file.name, directory)
            raise
        _put_back(dir_fd, aside, file.name, directory)
        return False

    def _unlink(self, directory: str) -> Callable[[int, str], None]:
        def unlink(dir_fd: int, name: str) -> None:
            with _naming(self.root / directory / name):
                os.unlink(name, dir_fd=dir_fd)

        return unlink

    def remove(
        self, files: Sequence[StoredFile], on_removed: Callable[[StoredFile], object]
    ) -> None:
        """Removes each file while it is the version listed, calling
        `on_removed` for each removed one, in order."""
        with _Handles(self.root) as handles:
            for file in files:
                if self._while_listed(handles, file, self._unlink(file.simulation_type)):
                    on_removed(file)

    def claims(self) -> list[StoredFile]:
        """The files of the claims directory named as claims, from one
        listing (the directory entered without following a symbolic link:
        OSError for a link, or anything but a directory, there); none when
        there is no such directory."""
        try:
            with _Handles(self.root) as handles:
                return self._scanned(
                    handles.below(CLAIMS_DIR),
                    CLAIMS_DIR,
                    lambda name: CLAIM_NAME.fullmatch(name) is not None,
                )
        except FileNotFoundError:
            return []

    def remove_claim(self, file: StoredFile, content: bytes) -> bool:
        """Removes a claim only while it is the version read and holds
        `content` (its holder's heartbeat rewrites it in place, possibly
        within one tick of the file system's clock). False when it is gone
        or was written again."""

        def holds(dir_fd: int, aside: str) -> bool:
            held, _ = read_regular_file(dir_fd, aside, self.root / CLAIMS_DIR / aside)
            return held == content

        with _Handles(self.root) as handles:
            return self._while_listed(handles, file, self._unlink(CLAIMS_DIR), holds)

    def move(self, file: StoredFile, to_directory: str, to_name: str) -> bool:
        """Moves the file to ``<root>/<to_directory>/<to_name>`` (a directory
        of the store's own, made when missing), only while it is the version
        listed and never over an existing file (FileExistsError naming the
        target): False when it is gone or was written again (it then stays,
        or is back, in its place)."""
        target = self.root / to_directory / to_name
        with _Handles(self.root) as handles:
            target_fd = handles.below(to_directory, create=True)

            def rename(dir_fd: int, aside: str) -> None:
                with _naming(target):
                    rename_without_replacing(dir_fd, aside, target_fd, to_name)

            return self._while_listed(handles, file, rename)

    def put_back(self, file: StoredFile, name: str) -> bool:
        """Renames a file that a removal set aside back to `name` beside it,
        while it is a regular file of the version judged and never over a
        file (FileExistsError naming ``<type>/<name>`` in the store): False
        when it is gone or changed."""
        path = self.root / file.simulation_type / name
        with _Handles(self.root) as handles:
            dir_fd = handles.below(file.simulation_type)
            try:
                if file.version is None or not _is_version(
                    dir_fd, file.name, file.version, file.path
                ):
                    return False
                with _naming(path):
                    if not _rename_back(dir_fd, file.name, name):
                        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), name)
            except FileNotFoundError:
                return False
        return True


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

    def read_each_or_error(
        self, files: Iterable[StoredFile]
    ) -> Iterator[tuple[StoredFile, bytes | OSError]]:
        """For each file still there, the file as the version read and its
        content, or the file as listed and the OSError its read raised;
        read with many requests in flight where the store allows."""
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

    def put_back(self, file: StoredFile, name: str) -> bool:
        """Moves a file that a removal set aside (on a local disk, before
        the store was copied here) back to `name` beside it, as
        :meth:`move` does."""
        return self.move(file, file.simulation_type, name)

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


def _unversioned(root: Any) -> OSError:
    return OSError(
        errno.ENOTSUP,
        "Not removed or moved: this kind of path tells no version of a file, and a file "
        "saved again meanwhile would be lost (the storage module's "
        "delete_simulation_result removes a result from such a store)",
        str(root),
    )


class PathFiles(_Files):
    """A store reached only through its path objects' own methods: its
    files are listed and read, but no version of one is known, so none is
    removed or moved (OSError ENOTSUP); the storage module's
    ``delete_simulation_result`` removes a result from such a store."""

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
        if kind_of(path.name) not in ("temporaries", "asides"):
            return None  # asked only where it decides something
        try:
            status = path.stat()
        except OSError:
            return None
        modified: float = max(status.st_mtime, getattr(status, "st_ctime", status.st_mtime))
        return modified

    def read(self, file: StoredFile) -> tuple[bytes, StoredFile]:
        content: bytes = file.path.read_bytes()
        return content, replace(file, size=len(content))

    def read_each_or_error(
        self, files: Iterable[StoredFile]
    ) -> Iterator[tuple[StoredFile, bytes | OSError]]:
        """For each file still there, the file as read and its content, or
        the file as listed and the OSError its read raised."""
        return _read_one_by_one(self.read, files)

    def claims(self) -> list[StoredFile]:
        directory = self.root / CLAIMS_DIR
        if not directory.is_dir():
            return []
        return [
            StoredFile(path, CLAIMS_DIR, path.name, None, None)
            for path in directory.iterdir()
            if CLAIM_NAME.fullmatch(path.name)
        ]

    def remove(
        self, files: Sequence[StoredFile], on_removed: Callable[[StoredFile], object]
    ) -> None:
        raise _unversioned(self.root)

    def remove_claim(self, file: StoredFile, content: bytes) -> bool:
        raise _unversioned(self.root)

    def move(self, file: StoredFile, to_directory: str, to_name: str) -> bool:
        raise _unversioned(self.root)

    def put_back(self, file: StoredFile, name: str) -> bool:
        raise _unversioned(self.root)


type Files = LocalFiles | ObjectFiles | PathFiles
"""The object that reaches the files of a store, of whichever kind."""
