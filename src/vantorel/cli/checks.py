"""``verify``: checks of the files in a results store, and their repair.

A store holds ``<type>/<component>_<16 hex id>.json`` files, named as a
save names them, and, while a save runs, its temporary file
``.<final name>.<pid>.<n>.tmp`` beside the target; while a removal or a
move compares a file with the version it listed, the file is set aside as
``.<name>.<pid>.<n>.aside``. Only such files are ever touched, each only
while it is the version that was judged:

- a damaged result file moves to ``<store>/.quarantine/<type>/`` under a
  name that does not end in ``.json`` (no listing or lookup sees it again),
  never over an earlier one, and is never deleted;
- a temporary file of a save that is over is removed;
- a file set aside by a removal that did not finish is put back under its
  name, never over a file (one there leaves it where it is), and is never
  deleted;
- a claim (``<store>/.claims/``) whose heartbeat is more than a day old
  is removed, only while it holds what was read: a live holder's heartbeat
  rewrites it, and it then stays. A claim that cannot be read or parsed
  stays.

A file that cannot be read is unreadable, not damaged: it stays. So does a
record whose only fault is fields this version does not know (written by a
newer version), a ``*.json`` file that no save names so, and anything
reached through a symbolic link that leads out of the store.
"""

import os
import re
import time
from dataclasses import dataclass
from datetime import UTC, datetime
from enum import Enum
from typing import Annotated

import orjson
import pydantic
import typer
from rich import box
from rich.table import Table

from vantorel.cli.options import StoreOption
from vantorel.cli.session import (
    Session,
    choose_store,
    error_message,
    reachable_store,
    reports_errors,
    session_of,
)
from vantorel.cli.terminal import parse_date, shown
from vantorel.core import file_stores
from vantorel.core.claims import CLAIMS_DIR
from vantorel.core.file_stores import (
    QUARANTINE_DIR,
    RESULT_NAME,
    StoredFile,
    aside_match,
    describe_failure,
    temporary_match,
)
from vantorel.models import StoredSimulationResult

# A temporary file whose save process is gone here may still belong to a
# save on another machine sharing the disk: only files this old are stale.
STALE_TEMPORARY_AGE_SECONDS = 3600
# A removal holds a file aside for a few system calls: one older than this,
# or whose process is gone from this machine, was left by a removal that
# did not finish. Putting it back never replaces a file, so a removal that
# still runs elsewhere at worst fails: it loses nothing.
LEFT_ASIDE_AGE_SECONDS = 3600
# A live holder rewrites its claim every claim_timeout / 4 (150 s by
# default): a day without a heartbeat is a dead holder's.
STALE_CLAIM_AGE_SECONDS = 86400
# Quarantined copies of one file name tried before giving up.
QUARANTINE_ATTEMPTS = 100


class Repair(Enum):
    QUARANTINE = "quarantine"
    REMOVE = "remove"
    PUT_BACK = "put back"


class Problem(Enum):
    UNREADABLE = "unreadable"
    NOT_JSON = "not JSON"
    INVALID_RECORD = "not a valid result"
    MISNAMED = "name disagrees with content"
    NEWER = "written by a newer version"
    FOREIGN = "not a file the store writes"
    STALE_TEMPORARY = "temporary file of a save that is over"
    SAVE_IN_PROGRESS = "temporary file of a save that may still run"
    LEFT_ASIDE = "set aside by a removal that did not finish"
    ASIDE_IN_PROGRESS = "set aside by a removal that may still run"
    STALE_CLAIM = "claim whose heartbeat stopped"
    UNPARSABLE_CLAIM = "claim that cannot be parsed"

    @property
    def repair(self) -> Repair | None:
        """What ``--repair`` does about it, if anything."""
        if self in (Problem.NOT_JSON, Problem.INVALID_RECORD, Problem.MISNAMED):
            return Repair.QUARANTINE
        if self in (Problem.STALE_TEMPORARY, Problem.STALE_CLAIM):
            return Repair.REMOVE
        if self is Problem.LEFT_ASIDE:
            return Repair.PUT_BACK
        return None

    @property
    def needs_attention(self) -> bool:
        """Whether ``verify`` fails for it: everything but the files of
        saves and removals that may still run and those of a newer
        version."""
        return self not in (Problem.SAVE_IN_PROGRESS, Problem.ASIDE_IN_PROGRESS, Problem.NEWER)


@dataclass(frozen=True)
class Finding:
    file: StoredFile
    """The file, as the version judged."""
    problem: Problem
    detail: str
    judged: bytes | None = None
    """The content judged, for a file written again in place (a claim)."""


def judge(file: StoredFile, content: bytes | OSError) -> Finding | None:
    """What is wrong with a result file, read as `content`, if anything."""
    if isinstance(content, OSError):
        return Finding(file, Problem.UNREADABLE, describe_failure(content))
    try:
        data = orjson.loads(content)
    except orjson.JSONDecodeError as error:
        return Finding(file, Problem.NOT_JSON, describe_failure(error))
    try:
        record = StoredSimulationResult.model_validate(data)
    except pydantic.ValidationError as error:
        unknown = [
            ".".join(str(part) for part in detail["loc"])
            for detail in error.errors()
            if detail["type"] == "extra_forbidden"
        ]
        if len(unknown) == error.error_count():
            return Finding(
                file, Problem.NEWER, f"fields this version does not know: {', '.join(unknown)}"
            )
        return Finding(file, Problem.INVALID_RECORD, describe_failure(error))
    disagreements = name_disagreements(file, record)
    if disagreements:
        return Finding(file, Problem.MISNAMED, "; ".join(disagreements))
    return None


def name_disagreements(file: StoredFile, record: StoredSimulationResult) -> list[str]:
    name = RESULT_NAME.fullmatch(file.name)
    assert name is not None  # a result file is named so
    disagreements = []
    if name["id"] != record.simulation_id:
        disagreements.append(f"its content has ID {record.simulation_id!r}")
    if name["component"] != record.component_name:
        disagreements.append(f"its content has component {record.component_name!r}")
    if file.simulation_type != record.simulation_type:
        disagreements.append(f"its content has simulation type {record.simulation_type!r}")
    return disagreements


def writer_and_age(match: re.Match[str] | None, file: StoredFile, now: float) -> tuple[int, float]:
    """The process ID in the name of a file a save or a removal writes, and
    the file's age: 0 when unknown (it may be one that runs now)."""
    assert match is not None  # the inventory sorted it by its name
    return int(match["pid"]), 0.0 if file.modified is None else now - file.modified


def check_temporary_file(file: StoredFile, now: float) -> Finding:
    pid, age = writer_and_age(temporary_match(file.name), file, now)
    if process_is_running(pid) or age < STALE_TEMPORARY_AGE_SECONDS:
        return Finding(file, Problem.SAVE_IN_PROGRESS, f"process {pid}")
    return Finding(file, Problem.STALE_TEMPORARY, f"process {pid} is gone, {format_age(age)} old")


def check_aside_file(file: StoredFile, now: float) -> Finding:
    pid, age = writer_and_age(aside_match(file.name), file, now)
    running = process_is_running(pid)
    if running and age < LEFT_ASIDE_AGE_SECONDS:
        return Finding(file, Problem.ASIDE_IN_PROGRESS, f"process {pid}")
    state = "runs" if running else "is gone"
    return Finding(file, Problem.LEFT_ASIDE, f"process {pid} {state}, {format_age(age)} old")


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


def stale_claims(files: file_stores.Files, now: float) -> list[Finding]:
    """The claims under ``<store>/.claims/`` whose heartbeat is more than a
    day old, and those that cannot be read or parsed (which ``--repair``
    leaves). A claim is judged by the ``heartbeat_at`` its holder writes,
    never by a file time. A claims directory that cannot be listed (a
    symbolic link or a file in its place) is a finding of its own."""
    try:
        claims = files.claims()
    except OSError as error:
        listing = StoredFile(files.root / CLAIMS_DIR, CLAIMS_DIR, "", None, None)
        return [Finding(listing, Problem.UNREADABLE, describe_failure(error))]
    return [
        finding
        for file, content in files.read_each_or_error(claims)
        if (finding := judge_claim(file, content, now)) is not None
    ]


def judge_claim(file: StoredFile, content: bytes | OSError, now: float) -> Finding | None:
    if isinstance(content, OSError):
        return Finding(file, Problem.UNREADABLE, describe_failure(content))
    try:
        fields = orjson.loads(content)
    except orjson.JSONDecodeError as error:
        return Finding(file, Problem.UNPARSABLE_CLAIM, describe_failure(error))
    heartbeat = fields.get("heartbeat_at") if isinstance(fields, dict) else None
    beaten = parse_date(heartbeat) if isinstance(heartbeat, str) else None
    if beaten is None:
        return Finding(file, Problem.UNPARSABLE_CLAIM, "no heartbeat_at time in ISO 8601")
    age = (datetime.fromtimestamp(now, UTC) - beaten).total_seconds()
    if age <= STALE_CLAIM_AGE_SECONDS:
        return None
    holder = fields.get("holder", "an unknown holder")
    return Finding(
        file, Problem.STALE_CLAIM, f"heartbeat {format_age(age)} ago, by {holder}", content
    )


def check_store(
    session: Session, files: file_stores.Files, now: float
) -> tuple[int, list[Finding]]:
    """How many files were checked, and what was found."""
    inventory = files.inventory()
    results = inventory.results
    read = files.read_each_or_error(results)
    findings = [
        finding
        for file, content in session.progress(read, "Checking files", total=len(results))
        if (finding := judge(file, content)) is not None
    ]
    findings += [check_temporary_file(file, now) for file in inventory.temporaries]
    findings += [check_aside_file(file, now) for file in inventory.asides]
    findings += [
        Finding(file, Problem.FOREIGN, "not named <component>_<16 hex ID>.json")
        for file in inventory.others
    ]
    findings += stale_claims(files, now)
    checked = sum(map(len, (results, inventory.temporaries, inventory.asides, inventory.others)))
    return checked, sorted(findings, key=lambda finding: finding.file.label)


def quarantine(files: file_stores.Files, file: StoredFile) -> str:
    """Moves a damaged result file to ``.quarantine/<type>/``, never over
    an earlier quarantined file, and says what was done."""
    directory = f"{QUARANTINE_DIR}/{file.simulation_type}"
    for copy in range(1, QUARANTINE_ATTEMPTS + 1):
        name = f"{file.name}.damaged" if copy == 1 else f"{file.name}.{copy}.damaged"
        try:
            moved = files.move(file, directory, name)
        except FileExistsError as error:
            if error.filename != str(files.root / directory / name):
                raise
            continue
        return f"moved to {directory}/{name}" if moved else "left: changed since it was checked"
    return f"left: {QUARANTINE_ATTEMPTS} quarantined copies of its name are there"


def put_back(files: file_stores.Files, file: StoredFile) -> str:
    """Renames a file that a removal set aside back to its name, never over
    a file, and says what was done."""
    match = aside_match(file.name)
    assert match is not None  # the inventory sorted it by its name
    name = match["target"]
    if not RESULT_NAME.fullmatch(name):
        return "left: its name is cut short in the aside name, rename it by hand"
    label = f"{file.simulation_type}/{name}"
    try:
        restored = files.put_back(file, name)
    except FileExistsError as error:
        if error.filename != str(files.root / label):
            raise
        return f"left: another file holds {label}"
    return f"put back as {label}" if restored else "left: changed since it was checked"


def repair_finding(files: file_stores.Files, finding: Finding) -> str:
    """Applies the repair a finding calls for and says what was done."""
    try:
        if finding.problem.repair is Repair.QUARANTINE:
            return quarantine(files, finding.file)
        if finding.problem.repair is Repair.PUT_BACK:
            return put_back(files, finding.file)
        if finding.problem.repair is Repair.REMOVE and finding.judged is not None:
            removed_claim = files.remove_claim(finding.file, finding.judged)
            return "removed" if removed_claim else "left: changed since it was checked"
        if finding.problem.repair is Repair.REMOVE:
            removed: list[StoredFile] = []
            files.remove([finding.file], removed.append)
            return "removed" if removed else "left: changed since it was checked"
    except Exception as error:  # one finding's failure, as the store's client raised it
        # Named within the store, as the file column names files.
        return f"failed: {error_message(error).removeprefix(f'{files.root}/')}"
    return "left alone"


def findings_table(findings: list[Finding], actions: list[str] | None) -> Table:
    table = Table(box=box.SIMPLE_HEAD)
    table.add_column("file", overflow="fold")
    table.add_column("problem")
    table.add_column("detail", overflow="fold")
    if actions is not None:
        table.add_column("action", overflow="fold")
    for index, finding in enumerate(findings):
        row = [shown(finding.file.label), shown(finding.problem.value), shown(finding.detail)]
        if actions is not None:
            row.append(shown(actions[index] if index < len(actions) else "not reached"))
        table.add_row(*row, style="red" if finding.problem.needs_attention else "")
    return table


def summary(checked: int, root: object, findings: list[Finding]) -> str:
    def count(*problems: Problem) -> int:
        return sum(finding.problem in problems for finding in findings)

    repairable = sum(finding.problem.repair is not None for finding in findings)
    parts = [f"{repairable} damaged or left over"]
    for problem, what in (
        (Problem.UNREADABLE, "unreadable"),
        (Problem.FOREIGN, "not written by the store"),
        (Problem.NEWER, "from a newer version"),
    ):
        if count(problem):
            parts.append(f"{count(problem)} {what}")
    return f"Checked {checked} file(s) in {root}: {', '.join(parts)}."


@reports_errors
def verify(
    ctx: typer.Context,
    repair: Annotated[
        bool,
        typer.Option(
            "--repair",
            help=f"Move damaged result files to <store>/{QUARANTINE_DIR}/ "
            "(never deleting them), put files that unfinished removals set "
            "aside back under their names (never over a file), remove "
            "temporary files of saves that are over and claims whose "
            "heartbeat stopped a day ago; each only while it is the version "
            "checked. Files that cannot be read are left alone.",
        ),
    ] = False,
    store_location: StoreOption = None,
) -> None:
    """Check every result file and look for files that killed saves left.

    A result file must read, decode, validate and be named after its
    content (component, ID, type directory).
    """
    session = session_of(ctx)
    choose_store(ctx, store_location)
    files = file_stores.files_of(reachable_store(session).location)
    checked, findings = check_store(session, files, time.time())
    actions: list[str] = []
    try:
        if repair:  # each action kept as it is done
            actions.extend(repair_finding(files, finding) for finding in findings)
    finally:  # the rows repaired so far, also when an interruption ends it
        if findings:
            session.out.print(findings_table(findings, actions if repair else None))
    session.say(summary(checked, files.root, findings))
    if not repair and any(finding.problem.repair for finding in findings):
        session.say(
            "Run 'vantorel results verify --repair' to quarantine damaged "
            "files, put back files set aside, and remove left-over temporary "
            "files and stale claims."
        )
    if any(finding.problem.needs_attention for finding in findings):
        raise typer.Exit(1)
