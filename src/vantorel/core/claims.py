r"""Claims: one worker runs a simulation that many ask a store for at once.

A worker that finds no result for a simulation claims it before running it;
the others wait for that claim to go away and then read the result it left.

Layout
------
Claims live in the store, in a directory that no listing, load or find
reads (no ``*.json`` name, not a type directory's ``*.json``)::

    <store>/.claims/<simulation id>.<generation>.claim

matching ``(?P<id>[0-9a-f]{16})\.(?P<generation>0|[1-9][0-9]*)\.claim``
(:data:`CLAIM_NAME`). Each file holds a JSON object: ``simulation_id``,
``generation``, ``holder`` (host, process and thread), ``heartbeat`` (a
counter the holder raises), ``heartbeat_at`` (the wall-clock time of the
last heartbeat, ISO 8601 in UTC) and ``released`` (true once a failed run
gave the claim up). Only the newest generation of an ID counts; older ones
are leftovers of holders that were taken over.

Protocol
--------
Every write that decides who runs is create-only: ``O_CREAT | O_EXCL`` on a
local or shared file system (relative to the claims directory's handle,
never through a symlink), a conditional PUT (``If-None-Match: *``) on S3,
fsspec's exclusive write elsewhere. Of several workers writing one name,
exactly one succeeds.

- Acquire: a worker that found no result and sees no claim for the ID
  creates generation 0 (a waiter whose holder has just left looks for the
  result first). A take-over creates the next generation and holds it only
  if no newer one exists by then (else removes it again and waits). Either
  way the new holder looks for the result once more before running: a
  holder that finished in between has saved it.
- Heartbeat: a holder's thread rewrites its claim every ``claim_timeout / 4``
  seconds with the counter raised. It stops, and says so in a warning, once
  a newer generation exists or its claim is gone: it was taken over.
- Wait: a waiter polls the newest claim of the ID, with growing pauses (up
  to 2 s). A claim whose content has not changed for ``claim_timeout``
  seconds on the waiter's own monotonic clock (no clock is compared across
  machines), or that is marked released, is taken over by a create-only
  write of the next generation: of two waiters only one wins. Waiting past
  ``timeout`` raises :class:`TimeoutError`.
- Release after the result was saved (or found): the holder removes its own
  generation and the older ones, never a newer one. Release after a failed
  run: the holder marks its claim released, so that one waiter runs at
  once, unless a newer generation has taken it over. A released claim stays
  until a later holder saves the result, so a generation number is never
  used twice while the ID is unsolved; generation 0 goes away only with a
  saved result, which is why creating it needs no check for newer ones.
- A holder that stalls past ``claim_timeout`` (suspended, partitioned) and
  then resumes finds a newer generation, stops its heartbeat, and finishes
  its run: the simulation runs twice, and the last save wins. This is the
  one way to a second run.

Claims left by workers that died (a released claim nobody took over, a
taken-over generation) are harmless; ``verify --repair`` removes those
whose ``heartbeat_at`` is more than a day old.
"""

import contextlib
import errno
import os
import random
import re
import socket
import stat
import threading
import time
from collections.abc import Callable
from datetime import UTC, datetime
from pathlib import Path
from typing import Any, Protocol

import orjson

from vantorel.core import object_store
from vantorel.logger import get_logger

CLAIMS_DIR = ".claims"
CLAIM_NAME = re.compile(r"(?P<id>[0-9a-f]{16})\.(?P<generation>0|[1-9][0-9]*)\.claim")

_FIRST_PAUSE = 0.02
_LONGEST_PAUSE = 2.0
_LARGEST_CLAIM = 1 << 16  # bytes read of a claim: more is not one of ours


class ClaimFiles(Protocol):
    """The claims directory of one store."""

    def generations(self, simulation_id: str) -> list[int]:
        """The generations of the ID's claims, in no particular order."""

    def read(self, simulation_id: str, generation: int) -> bytes | None:
        """The claim's content; None once it is gone."""

    def create(self, simulation_id: str, generation: int, data: bytes) -> bool:
        """Writes a claim that does not exist yet; False when it exists."""

    def rewrite(self, simulation_id: str, generation: int, data: bytes) -> bool:
        """Replaces a claim's content; False when it is known to be gone."""

    def remove(self, simulation_id: str, generation: int) -> None:
        """Removes a claim, if it is still there."""

    def close(self) -> None:
        """Lets go of what the object holds open."""


def claim_files(root: Any) -> ClaimFiles:
    """The claims directory of the store at `root`, a local path or an
    object-storage path."""
    root = object_store.local_path(root) or root
    if isinstance(root, Path):
        return LocalClaimFiles(root)
    if object_store.store_for(root) is not None:
        return ObjectStoreClaimFiles(root)
    raise TypeError(f"claims need a local or an object-storage store, not {type(root).__name__}")


def _name(simulation_id: str, generation: int) -> str:
    return f"{simulation_id}.{generation}.claim"


def _generations(names: Any, simulation_id: str) -> list[int]:
    found = []
    for name in names:
        match = CLAIM_NAME.fullmatch(name)
        if match and match["id"] == simulation_id:
            found.append(int(match["generation"]))
    return found


class LocalClaimFiles:
    """Claims on a local or shared file system, reached through a handle on
    the claims directory that is opened once and never through a symlink."""

    def __init__(self, root: Path) -> None:
        self._root = root
        self._directory: int | None = None
        self._opening = threading.Lock()

    def _existing(self) -> int | None:
        """The handle on the claims directory; None while there is none."""
        with self._opening:
            if self._directory is None:
                self._directory = self._open(create=False)
            return self._directory

    def _created(self) -> int:
        """The handle on the claims directory, made first if need be."""
        with self._opening:
            if self._directory is None:
                self._root.mkdir(parents=True, exist_ok=True)
                self._directory = self._open(create=True)
            if self._directory is None:
                raise FileNotFoundError(
                    errno.ENOENT, "Store removed while claiming", str(self._root)
                )
            return self._directory

    def _open(self, create: bool) -> int | None:
        flags = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC
        try:
            root = os.open(self._root, flags)
        except FileNotFoundError:
            return None
        try:
            if create:
                with contextlib.suppress(FileExistsError):
                    os.mkdir(CLAIMS_DIR, dir_fd=root)
            return os.open(CLAIMS_DIR, flags | os.O_NOFOLLOW, dir_fd=root)
        except FileNotFoundError:
            return None
        except OSError as error:
            if error.errno not in (errno.ELOOP, errno.ENOTDIR):
                raise
            raise NotADirectoryError(
                errno.ENOTDIR,
                "Not a directory of the store (symlinks are not followed)",
                str(self._root / CLAIMS_DIR),
            ) from error
        finally:
            os.close(root)

    def generations(self, simulation_id: str) -> list[int]:
        directory = self._existing()
        return [] if directory is None else _generations(os.listdir(directory), simulation_id)

    def read(self, simulation_id: str, generation: int) -> bytes | None:
        directory = self._existing()
        if directory is None:
            return None
        name = _name(simulation_id, generation)
        flags = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
        try:
            fd = os.open(name, flags, dir_fd=directory)
        except FileNotFoundError:
            return None
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise OSError(
                    errno.EINVAL, "Not a regular file", str(self._root / CLAIMS_DIR / name)
                )
            return os.read(fd, _LARGEST_CLAIM)
        finally:
            os.close(fd)

    def create(self, simulation_id: str, generation: int, data: bytes) -> bool:
        directory = self._created()
        name = _name(simulation_id, generation)
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
        try:
            fd = os.open(name, flags, 0o666, dir_fd=directory)
        except FileExistsError:
            return False
        try:
            _write_all(fd, data)
        except BaseException:
            os.unlink(name, dir_fd=directory)
            raise
        finally:
            os.close(fd)
        return True

    def rewrite(self, simulation_id: str, generation: int, data: bytes) -> bool:
        directory = self._existing()
        if directory is None:
            return False
        flags = os.O_WRONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
        try:  # never creates: a claim removed by its taker stays removed
            fd = os.open(_name(simulation_id, generation), flags, dir_fd=directory)
        except FileNotFoundError:
            return False
        try:
            _write_all(fd, data)
            os.ftruncate(fd, len(data))
        finally:
            os.close(fd)
        return True

    def remove(self, simulation_id: str, generation: int) -> None:
        directory = self._existing()
        if directory is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(_name(simulation_id, generation), dir_fd=directory)

    def close(self) -> None:
        with self._opening:
            if self._directory is not None:
                os.close(self._directory)
                self._directory = None


def _write_all(fd: int, data: bytes) -> None:
    written = 0
    while written < len(data):
        written += os.pwrite(fd, data[written:], written)


class ObjectStoreClaimFiles:
    """Claims on object storage, through the object store that holds the
    store's root."""

    def __init__(self, root: Any) -> None:
        store = object_store.store_for(root)
        if store is None:
            raise TypeError(f"{root!r} is not on object storage")
        self._directory = root / CLAIMS_DIR
        self._store: object_store.ObjectStore = store

    def _path(self, simulation_id: str, generation: int) -> Any:
        return self._directory / _name(simulation_id, generation)

    def generations(self, simulation_id: str) -> list[int]:
        names = self._store.names_starting(self._directory, f"{simulation_id}.")
        return _generations(names, simulation_id)

    def read(self, simulation_id: str, generation: int) -> bytes | None:
        try:
            return self._store.read(self._path(simulation_id, generation))
        except FileNotFoundError:
            return None

    def create(self, simulation_id: str, generation: int, data: bytes) -> bool:
        return self._store.create(self._path(simulation_id, generation), data)

    def rewrite(self, simulation_id: str, generation: int, data: bytes) -> bool:
        # No write here is conditional on the object existing: a claim that
        # its taker removed may come back, older than the taker's and so
        # ignored, until the holder's next heartbeat sees it was taken over.
        self._store.write(self._path(simulation_id, generation), data)
        return True

    def remove(self, simulation_id: str, generation: int) -> None:
        self._store.remove(self._path(simulation_id, generation))

    def close(self) -> None:
        pass


def _holder_name() -> str:
    return f"{socket.gethostname()} pid {os.getpid()} thread {threading.get_native_id()}"


class Claim:
    """A claim this worker holds, kept alive by a heartbeat thread."""

    def __init__(
        self, files: ClaimFiles, simulation_id: str, generation: int, claim_timeout: float
    ) -> None:
        self.files = files
        self.simulation_id = simulation_id
        self.generation = generation
        self.holder = _holder_name()
        self.heartbeat = 0
        self._period = claim_timeout / 4
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def content(self, released: bool = False) -> bytes:
        return orjson.dumps(
            {
                "simulation_id": self.simulation_id,
                "generation": self.generation,
                "holder": self.holder,
                "heartbeat": self.heartbeat,
                "heartbeat_at": datetime.now(UTC).isoformat(),
                "released": released,
            }
        )

    def acquire(self) -> bool:
        """Whether the create-only write of this generation won and, for a
        take-over, no newer generation exists (a losing one is removed
        again). Generation 0 needs no such check: while a newer generation
        exists, generation 0 is only ever removed by a holder that saved
        the result, which the lookup after acquiring finds."""
        if not self.files.create(self.simulation_id, self.generation, self.content()):
            return False
        if self.generation > 0 and not self._is_newest():
            self.files.remove(self.simulation_id, self.generation)
            return False
        self._thread = threading.Thread(
            target=self._beat, name=f"vantorel claim {self.simulation_id}", daemon=True
        )
        self._thread.start()
        return True

    def _is_newest(self) -> bool:
        return max(self.files.generations(self.simulation_id), default=-1) == self.generation

    def _beat(self) -> None:
        while not self._stop.wait(self._period):
            try:
                self.heartbeat += 1
                if not (
                    self._is_newest()
                    and self.files.rewrite(self.simulation_id, self.generation, self.content())
                ):
                    get_logger().warning(
                        f"Claim on simulation {self.simulation_id} was taken over by another "
                        f"worker while this one ran it: it may run twice"
                    )
                    return
            except Exception as error:
                get_logger().warning(
                    f"Heartbeat of the claim on simulation {self.simulation_id} failed: {error!r}"
                )

    def release(self, saved: bool) -> None:
        """Gives the claim up: after a saved (or found) result by removing
        this generation and the older ones; after a failure by marking it
        released, for a waiter to take over at once, unless a newer
        generation has taken it over already. A failure here is only
        logged: the run's own outcome matters more, and waiters take an
        unreleased claim over after claim_timeout."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        try:
            if saved and self.generation == 0:
                self.files.remove(self.simulation_id, 0)
            elif saved:
                for generation in self.files.generations(self.simulation_id):
                    if generation <= self.generation:
                        self.files.remove(self.simulation_id, generation)
            elif self._is_newest():
                self.files.rewrite(self.simulation_id, self.generation, self.content(released=True))
        except Exception as error:
            get_logger().warning(
                f"Claim on simulation {self.simulation_id} could not be released, waiters "
                f"take it over after claim_timeout: {error!r}"
            )


def run_once[T](
    files: ClaimFiles,
    simulation_id: str,
    *,
    lookup: Callable[[], T | None],
    run: Callable[[], T],
    timeout: float | None,
    claim_timeout: float,
) -> T:
    """What `lookup` finds once no worker holds a claim on the ID, or what
    `run` returns under a claim of this worker's (`run` saves what `lookup`
    finds). The caller has just looked up and found nothing. See the
    module's description for the protocol."""
    deadline = None if timeout is None else time.monotonic() + timeout
    seen: tuple[int, bytes] | None = None
    seen_since = 0.0
    pause = _FIRST_PAUSE
    longest_pause = min(_LONGEST_PAUSE, claim_timeout / 8)
    first_look = True
    while True:
        look_up_first, first_look = not first_look, False
        generations = files.generations(simulation_id)
        target: int | None = None
        holder, stale = "no one", False
        if not generations:
            found = lookup() if look_up_first else None  # its holder left it just now
            if found is not None:
                return found
            target = 0
        else:
            newest = max(generations)
            content = files.read(simulation_id, newest)
            if content is None:
                continue  # gone since the listing
            state = _parse(content)
            holder = repr(state.get("holder", "an unknown holder"))
            now = time.monotonic()
            if seen != (newest, content):
                seen, seen_since = (newest, content), now
            stale = now - seen_since >= claim_timeout
            if stale or state.get("released") is True:
                target = newest + 1
        if target is not None:
            claim = Claim(files, simulation_id, target, claim_timeout)
            if claim.acquire():
                if stale:
                    get_logger().warning(
                        f"Took over the claim of {holder} on simulation {simulation_id}: "
                        f"it had not changed for {claim_timeout:g} s"
                    )
                saved = False
                try:
                    found = lookup()  # a holder that left just now saved it
                    result = run() if found is None else found
                    saved = True
                    return result
                finally:
                    claim.release(saved)
            continue  # another worker won: look at its claim at once
        if deadline is not None and time.monotonic() >= deadline:
            raise TimeoutError(
                f"Simulation {simulation_id} is still claimed by {holder} after "
                f"waiting {timeout:g} s"
            )
        wait = pause * random.uniform(0.8, 1.2)
        if deadline is not None:
            wait = max(0.0, min(wait, deadline - time.monotonic()))
        time.sleep(wait)
        pause = min(pause * 1.5, longest_pause)


def _parse(content: bytes) -> dict[str, Any]:
    """A claim's fields; none for content that is being written or is not
    a claim (it still counts as alive while it changes)."""
    try:
        state = orjson.loads(content)
    except orjson.JSONDecodeError:
        return {}
    return state if isinstance(state, dict) else {}
