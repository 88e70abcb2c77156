"""The commands that remove results: ``rm``, ``clear`` and ``prune``.

Each lists the store once, shows (with ``--dry-run``) or asks about what it
found, and then removes exactly the versions it listed: a result saved
again after the listing stays, and is not counted.
"""

import re
from dataclasses import dataclass
from datetime import UTC, datetime, timedelta
from typing import Annotated

import typer
from rich import box
from rich.table import Table

from vantorel.cli.options import (
    ComponentOption,
    DryRunOption,
    FactoryOption,
    IdsArgument,
    PdkOption,
    StatusOption,
    StoreOption,
    TypeOption,
    WhereOption,
    YesOption,
)
from vantorel.cli.reading import records_table
from vantorel.cli.selection import find_ids, listing_filters, meeting, passing
from vantorel.cli.session import (
    Session,
    choose_store,
    confirm_removal,
    reachable_store,
    reports_errors,
    session_of,
)
from vantorel.cli.terminal import parse_date, shown
from vantorel.core.file_stores import StoredFile, describe_failure
from vantorel.models import StoredSimulationResult
from vantorel.store import Store

AGE_UNITS = {"s": "seconds", "m": "minutes", "h": "hours", "d": "days", "w": "weeks"}
AGE = re.compile(r"(\d+)\s*([smhdw])")


def parse_age(text: str) -> timedelta:
    """An age such as ``30d``, that reaches back no further than dates go."""
    match = AGE.fullmatch(text.strip())
    if match is None:
        raise typer.BadParameter(
            f"{text!r} is no age: use a number and a unit, e.g. 30d, 12h, 90m, 2w "
            "(s seconds, m minutes, h hours, d days, w weeks)"
        )
    try:
        age = timedelta(**{AGE_UNITS[match[2]]: int(match[1])})
        datetime.now(UTC) - age  # raises for an age that reaches before the year 1
    except (OverflowError, ValueError):  # ValueError: more digits than int() reads
        raise typer.BadParameter(f"{text!r} reaches back before the year 1") from None
    return age


@dataclass(frozen=True)
class ListedResult:
    """A result as read for a removal: its record and the version of its
    file that was read."""

    record: StoredSimulationResult
    file: StoredFile


def read_results(
    session: Session, store: Store, simulation_type: str | None = None
) -> list[ListedResult]:
    """The results in the store (or in one type directory), newest first,
    each with the version of its file read; files that cannot be read or
    hold no valid result are named on stderr and left out."""
    named = store.files(simulation_type)

    def keep_unreadable(file: StoredFile, error: Exception) -> None:
        session.note(
            f"kept {file.label}: it cannot be read ({describe_failure(error)}; "
            "see 'vantorel results verify')"
        )

    read = store.read_files(named, keep_unreadable)
    found = [
        ListedResult(record, file)
        for record, file in session.progress(read, "Reading results", total=len(named))
    ]
    found.sort(key=lambda listed: listed.record.simulation_date, reverse=True)
    return found


def show_removal_plan(session: Session, records: list[StoredSimulationResult]) -> None:
    session.out.print(records_table(records, sizes=None))
    session.say(f"Dry run: {len(records)} result(s) would be removed.")


def remove(session: Session, store: Store, listed: list[StoredFile]) -> None:
    """Removes the listed versions of the files and says how many went
    (also when a failure ends the removal early)."""
    removed: list[StoredFile] = []
    try:
        with session.busy("Removing results"):
            store.remove(listed, removed.append)
    finally:
        session.say(f"Removed {len(removed)} result(s).")
    if len(removed) < len(listed):
        session.note(
            f"kept {len(listed) - len(removed)} result(s) saved again or removed "
            "since they were listed"
        )


def remove_results(
    session: Session,
    store: Store,
    selected: list[ListedResult],
    dry_run: bool,
    yes: bool,
) -> None:
    if not selected:
        session.say("No results match: nothing to remove.")
    elif dry_run:
        show_removal_plan(session, [listed.record for listed in selected])
    else:
        confirm_removal(store, len(selected), yes)
        remove(session, store, [listed.file for listed in selected])


@reports_errors
def rm(
    ctx: typer.Context,
    simulation_ids: IdsArgument,
    dry_run: DryRunOption = False,
    yes: YesOption = False,
    store_location: StoreOption = None,
) -> None:
    """Remove results by ID or unique ID prefix (every file named with the ID)."""
    session = session_of(ctx)
    choose_store(ctx, store_location)
    store = reachable_store(session)
    found = find_ids(store, simulation_ids)
    for problem in found.problems:
        session.error(problem.message)
    present = [file for files in found.files.values() for file in files]
    if present and dry_run:
        table = Table("ID", "file", box=box.SIMPLE_HEAD)
        for file in present:
            table.add_row(shown(file.simulation_id), shown(file.label))
        session.out.print(table)
        session.say(f"Dry run: {len(present)} result(s) would be removed.")
    elif present:
        confirm_removal(store, len(present), yes)
        remove(session, store, present)
    if found.problems:
        raise typer.Exit(1)


@reports_errors
def clear(
    ctx: typer.Context,
    component: ComponentOption = None,
    factory: FactoryOption = None,
    simulation_type: TypeOption = None,
    pdk: PdkOption = None,
    where: WhereOption = None,
    dry_run: DryRunOption = False,
    yes: YesOption = False,
    store_location: StoreOption = None,
) -> None:
    """Remove every result that matches the filters (all results without any)."""
    session = session_of(ctx)
    choose_store(ctx, store_location)
    store = reachable_store(session)
    listed = read_results(session, store, simulation_type)
    filters = listing_filters(component, factory, None, pdk, None)
    records = meeting(passing([entry.record for entry in listed], filters), where)
    chosen = {id(record) for record in records}
    selected = [entry for entry in listed if id(entry.record) in chosen]
    remove_results(session, store, selected, dry_run, yes)


@reports_errors
def prune(
    ctx: typer.Context,
    older_than: Annotated[
        timedelta,
        typer.Option(
            "--older-than",
            metavar="AGE",
            parser=parse_age,
            show_default=False,
            help="Remove results saved longer ago than this (by their stored date): "
            "30d, 12h, 90m (minutes), 2w, ...",
        ),
    ],
    status: StatusOption = None,
    pdk_version: Annotated[
        str | None,
        typer.Option(
            "--pdk-version", metavar="VERSION", help="Only results made with this PDK version."
        ),
    ] = None,
    dry_run: DryRunOption = False,
    yes: YesOption = False,
    store_location: StoreOption = None,
) -> None:
    """Remove old results, by their stored simulation date and metadata."""
    session = session_of(ctx)
    choose_store(ctx, store_location)
    store = reachable_store(session)
    cutoff = datetime.now(UTC) - older_than
    selected = []
    for listed in read_results(session, store):
        record = listed.record
        if status is not None and record.status != status.value:
            continue
        if pdk_version is not None and record.pdk_version != pdk_version:
            continue
        saved = parse_date(record.simulation_date)
        if saved is None:
            session.note(
                f"kept {record.simulation_id}: its simulation_date "
                f"{record.simulation_date!r} is no date"
            )
        elif saved < cutoff:
            selected.append(listed)
    remove_results(session, store, selected, dry_run, yes)
