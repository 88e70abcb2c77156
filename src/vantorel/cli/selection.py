"""Which results a command works on: IDs given whole or as unique prefixes
(resolved from one listing of names, as git resolves them: no file is
read), the filters of a listing, and conditions on the table's columns
(``--where``)."""

from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

from vantorel import data
from vantorel.cli.options import Status
from vantorel.cli.session import CommandError, Session
from vantorel.core.file_stores import StoredFile, describe_failure
from vantorel.models import StoredSimulationResult
from vantorel.store import Store

CANDIDATES_NAMED = 10


@contextmanager
def usage_error_for(option: str) -> Iterator[None]:
    """A ValueError (a malformed condition or metric, a column name that
    names no column or several) becomes a usage error naming `option`."""
    try:
        yield
    except ValueError as error:
        raise CommandError(f"{option}: {error}", exit_code=2) from error


def column_names(text: str) -> list[str]:
    """Comma-separated column names (``radius,gap``)."""
    names = [name.strip() for name in text.split(",")]
    if not all(names):
        raise ValueError(f"{text!r}: give column names separated by commas, e.g. radius,gap")
    return names


@dataclass(frozen=True)
class Problem:
    """Why a result given by ID cannot be had."""

    message: str
    error: Exception | None = None
    """The failure behind it, where there is one (a traceback with --debug)."""


@dataclass(frozen=True)
class FoundIds:
    files: dict[str, list[StoredFile]]
    """The files named with each ID the prefixes name, in the order the
    prefixes were given, each ID once."""
    problems: list[Problem]
    """Why each other prefix names no result: it names none, or several."""


def find_ids(store: Store, prefixes: Sequence[str]) -> FoundIds:
    """The results the IDs or ID prefixes name, from one listing of the
    store's names."""
    by_id: dict[str, list[StoredFile]] = {}
    for file in store.files():
        by_id.setdefault(file.simulation_id, []).append(file)
    found: dict[str, list[StoredFile]] = {}
    problems = []
    for prefix in dict.fromkeys(prefixes):
        matches = sorted(name for name in by_id if name.startswith(prefix))
        if len(matches) == 1:
            found.setdefault(matches[0], by_id[matches[0]])
        elif not matches:
            problems.append(Problem(f"no result with ID {prefix}"))
        else:
            named = [f"{match} ({by_id[match][0].component_name})" for match in matches]
            more = len(named) - CANDIDATES_NAMED
            problems.append(
                Problem(
                    f"ID prefix {prefix} is ambiguous: it could mean "
                    + ", ".join(named[:CANDIDATES_NAMED])
                    + (f" and {more} more" if more > 0 else "")
                )
            )
    return FoundIds(found, problems)


def fail_on(session: Session, problems: list[Problem]) -> None:
    """Reports each problem on stderr, the last as the command's failure."""
    if problems:
        for problem in problems[:-1]:
            session.error(problem.message)
        raise CommandError(problems[-1].message) from problems[-1].error


def read_ids(
    session: Session, store: Store, prefixes: Sequence[str]
) -> list[tuple[StoredSimulationResult, StoredFile]]:
    """The record of each result the IDs or prefixes name, in their order
    (each once), with the file it was read from (the first listed of a
    result stored twice): one listing and one read each. A prefix that
    names no result or several, or a result that cannot be read, fails the
    command."""
    found = find_ids(store, prefixes)
    problems = list(found.problems)
    unreadable: set[str] = set()

    def note_unreadable(file: StoredFile, error: Exception) -> None:
        unreadable.add(file.simulation_id)
        message = (
            f"result {file.simulation_id} cannot be read: {describe_failure(error)} "
            "(see 'vantorel results verify')"
        )
        problems.append(Problem(message, error))

    first_files = [files[0] for files in found.files.values()]
    read = {
        file.simulation_id: (record, file)
        for record, file in store.read_files(first_files, note_unreadable)
    }
    problems += [
        Problem(f"no result with ID {simulation_id}")  # removed since it was listed
        for simulation_id in found.files
        if simulation_id not in read and simulation_id not in unreadable
    ]
    fail_on(session, problems)
    return [read[simulation_id] for simulation_id in found.files]


def listing_filters(
    component: str | None,
    factory: str | None,
    simulation_type: str | None,
    pdk: str | None,
    status: Status | None,
) -> dict[str, str | None]:
    """The filters of a listing (``Store.list``'s keywords) the options give."""
    return {
        "component_name": component,
        "factory_name": factory,
        "simulation_type": simulation_type,
        "pdk_name": pdk,
        "status": status.value if status else None,
    }


def listed_results(
    session: Session,
    store: Store,
    filters: dict[str, str | None],
    where: list[str] | None,
) -> list[StoredSimulationResult]:
    """The results that pass the filters and meet the conditions, newest
    first; a filter the store refuses, or a malformed condition, is a usage
    error."""
    with session.busy("Reading results"):
        try:
            records = store.list(**filters)
        except ValueError as error:  # what a listing raises is a refused filter
            raise CommandError(str(error), exit_code=2) from error
    return meeting(records, where)


def passing(
    records: Sequence[StoredSimulationResult], filters: dict[str, str | None]
) -> list[StoredSimulationResult]:
    """The records that pass the filters of a listing, as the listing
    would have passed them (a filter of None passes all)."""
    given = {column: value for column, value in filters.items() if value is not None}
    return meeting(records, given)


def meeting(
    records: Sequence[StoredSimulationResult], where: list[str] | dict[str, Any] | None
) -> list[StoredSimulationResult]:
    """The records that meet every condition (all of them without any)."""
    if not where:
        return list(records)
    with usage_error_for("--where"):
        return data.filter_records(records, where)
