"""Checks of the files in a results store, and their repair.

A store holds ``<type>/<component>_<16 hex id>.json`` files, which listings
and lookups read, and, while a save runs, its temporary file
``.<final name>.<pid>.<n>.tmp`` beside the target. Repairs never delete a
result file: damaged ones move to ``<store>/.quarantine/<type>/`` under a
name that does not end in ``.json``, so no listing or lookup sees them again.
Only temporary files of saves that are over are removed.
"""

import os
import re
from collections.abc import Iterator
from dataclasses import dataclass
from enum import Enum
from typing import Protocol, Self

import orjson
import pydantic

from vantorel.models import StoredSimulationResult

QUARANTINE_DIR = ".quarantine"
RESULT_NAME = re.compile(r"(?P<component>.+)_(?P<id>[0-9a-f]{16})\.json")
TEMPORARY_NAME = re.compile(r"\.(?P<target>.+)\.(?P<pid>\d+)\.(?P<n>\d+)\.tmp")

# A temporary file whose save process is gone here may still belong to a
# save on another machine sharing the disk: only files this old are stale.
STALE_TEMPORARY_AGE_SECONDS = 3600


class FileStatus(Protocol):
    @property
    def st_size(self) -> int: ...
    @property
    def st_mtime(self) -> float: ...


class StorePath(Protocol):
    """What the command line uses of a path in a store: pathlib's and
    universal-pathlib's paths have it."""

    @property
    def name(self) -> str: ...
    @property
    def parent(self) -> Self: ...
    def __truediv__(self, name: str) -> Self: ...
    def __lt__(self, other: Self) -> bool: ...
    def is_dir(self) -> bool: ...
    def iterdir(self) -> Iterator[Self]: ...
    def exists(self) -> bool: ...
    def read_bytes(self) -> bytes: ...
    def stat(self) -> FileStatus: ...
    def mkdir(self, *, parents: bool, exist_ok: bool) -> None: ...
    def rename(self, target: Self) -> Self: ...
    def unlink(self, *, missing_ok: bool) -> None: ...


class Problem(Enum):
    UNREADABLE = "unreadable"
    NOT_JSON = "not JSON"
    INVALID_RECORD = "not a valid result"
    MISNAMED = "name disagrees with content"
    STALE_TEMPORARY = "temporary file of a save that is over"
    SAVE_IN_PROGRESS = "temporary file of a save that may still run"

    @property
    def is_damage(self) -> bool:
        return self is not Problem.SAVE_IN_PROGRESS


@dataclass(frozen=True)
class Finding:
    path: StorePath
    problem: Problem
    detail: str


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
    return str(error).splitlines()[0] if str(error) else type(error).__name__


def type_directories(store: StorePath) -> list[StorePath]:
    """The directories a listing reads results from, quarantine excepted."""
    if not store.is_dir():
        return []
    return sorted(
        entry for entry in store.iterdir() if entry.is_dir() and entry.name != QUARANTINE_DIR
    )


def files_to_check(store: StorePath) -> list[StorePath]:
    """Every ``*.json`` file a listing reads and every temporary file of a
    save, in the type directories of ``store``."""
    return [
        entry
        for directory in type_directories(store)
        for entry in sorted(directory.iterdir())
        if entry.name.endswith(".json") or TEMPORARY_NAME.fullmatch(entry.name)
    ]


def check_file(path: StorePath, now: float) -> Finding | None:
    """What is wrong with one file of :func:`files_to_check`, if anything."""
    temporary = TEMPORARY_NAME.fullmatch(path.name)
    if temporary:
        return check_temporary_file(path, int(temporary["pid"]), now)
    return check_result_file(path)


def check_result_file(path: StorePath) -> Finding | None:
    try:
        content = path.read_bytes()
    except OSError as error:
        return Finding(path, Problem.UNREADABLE, describe_failure(error))
    try:
        data = orjson.loads(content)
    except orjson.JSONDecodeError as error:
        return Finding(path, Problem.NOT_JSON, describe_failure(error))
    try:
        record = StoredSimulationResult.model_validate(data)
    except pydantic.ValidationError as error:
        return Finding(path, Problem.INVALID_RECORD, describe_failure(error))
    disagreements = list(name_disagreements(path, record))
    if disagreements:
        return Finding(path, Problem.MISNAMED, "; ".join(disagreements))
    return None


def name_disagreements(path: StorePath, record: StoredSimulationResult) -> Iterator[str]:
    name = RESULT_NAME.fullmatch(path.name)
    if name is None:
        yield "file name is not <component>_<16 hex ID>.json"
    else:
        if name["id"] != record.simulation_id:
            yield f"its content has ID {record.simulation_id!r}"
        if name["component"] != record.component_name:
            yield f"its content has component {record.component_name!r}"
    if path.parent.name != record.simulation_type:
        yield f"its content has simulation type {record.simulation_type!r}"


def check_temporary_file(path: StorePath, pid: int, now: float) -> Finding:
    try:
        age = now - path.stat().st_mtime
    except FileNotFoundError:  # the save finished meanwhile
        age = 0.0
    if process_is_running(pid) or age < STALE_TEMPORARY_AGE_SECONDS:
        return Finding(path, Problem.SAVE_IN_PROGRESS, f"process {pid}")
    return Finding(path, Problem.STALE_TEMPORARY, f"process {pid} is gone, {format_age(age)} old")


def process_is_running(pid: int) -> bool:
    """Whether a process with this ID exists on this machine."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # exists, owned by someone else
        return True
    except (OverflowError, ValueError):  # no such process ID can exist
        return False
    return True


def format_age(seconds: float) -> str:
    if seconds < 2 * 3600:
        return f"{seconds / 60:.0f} min"
    if seconds < 2 * 86400:
        return f"{seconds / 3600:.0f} h"
    return f"{seconds / 86400:.0f} days"


def quarantine(store: StorePath, path: StorePath) -> StorePath:
    """Moves a damaged result file to ``<store>/.quarantine/<type>/`` and
    returns its new path; an earlier quarantined file is never replaced."""
    directory = store / QUARANTINE_DIR / path.parent.name
    directory.mkdir(parents=True, exist_ok=True)
    target = directory / f"{path.name}.damaged"
    copy = 1
    while target.exists():
        copy += 1
        target = directory / f"{path.name}.{copy}.damaged"
    path.rename(target)
    return target


def repair(store: StorePath, finding: Finding) -> str:
    """Applies the repair a finding calls for and says what was done."""
    if finding.problem is Problem.STALE_TEMPORARY:
        finding.path.unlink(missing_ok=True)
        return "removed"
    if finding.problem.is_damage:
        moved = quarantine(store, finding.path)
        return f"moved to {QUARANTINE_DIR}/{moved.parent.name}/{moved.name}"
    return "left alone"
