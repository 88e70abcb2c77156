"""What a command runs with: the session the options set up (kept on
Typer's context), with the :class:`~vantorel.Store` it works on, and how
its failures are reported.

A failure is one line ``error: ...`` on stderr (a traceback with
``--debug``) and exit status 1, or 2 for a usage error. Output cut short
by a closed pipe (``ls --json | head -1``) ends quietly, with status 0.
"""

import contextlib
import functools
import os
import sys
import traceback
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import cast

import typer
from rich.console import Console
from rich.progress import track

from vantorel.cli.terminal import make_console, shown
from vantorel.core.file_stores import describe_failure
from vantorel.store import Store

STORE_VARIABLE = "VANTOREL_SIMULATIONS_DIR"


class CommandError(Exception):
    """A failure reported as one line on stderr."""

    def __init__(self, message: str, exit_code: int = 1) -> None:
        super().__init__(message)
        self.exit_code = exit_code


@dataclass
class Session:
    """What the options set up for the command they run."""

    debug: bool = False
    store: Store = field(default_factory=Store)
    """The store the command works on: the one ``--store`` names, else the
    one the settings name at each call."""
    out: Console = field(default_factory=make_console)
    err: Console = field(default_factory=lambda: make_console(stderr=True))

    def say(self, message: str) -> None:
        """A line on stdout; stored text in it is escaped."""
        self.out.print(shown(message), soft_wrap=True)

    def note(self, message: str) -> None:
        """A warning line on stderr."""
        self.err.print(shown(message, "yellow"), soft_wrap=True)

    def error(self, message: str) -> None:
        self.err.print(shown(f"error: {message}", "red"), soft_wrap=True)

    def progress[Item](self, items: Iterable[Item], description: str, total: int) -> Iterable[Item]:
        """`items`, with a progress bar on a terminal. `description` is the
        command's own text, never stored text: Rich reads markup in it."""
        return track(
            items,
            description=description,
            total=total,
            console=self.err,
            transient=True,
            disable=not self.err.is_terminal,
        )

    @contextlib.contextmanager
    def busy(self, description: str) -> Iterator[None]:
        """A spinner on a terminal while one long library call runs."""
        if not self.err.is_terminal:
            yield
            return
        with self.err.status(shown(description)):
            yield


def session_of(ctx: typer.Context) -> Session:
    """The session on the context of the command that runs."""
    return ctx.ensure_object(Session)


def error_message(error: Exception) -> str:
    if isinstance(error, OSError) and error.filename:
        return f"{error.filename}: {describe_failure(error)}"
    return describe_failure(error)


def reports_errors[**Params, Result](command: Callable[Params, Result]) -> Callable[Params, Result]:
    """Turns a failure of `command` (which takes Typer's context as `ctx`)
    into ``error: ...`` on stderr and its exit status (a traceback with
    ``--debug``), and a closed stdout into a quiet end."""

    @functools.wraps(command)
    def run(*args: Params.args, **kwargs: Params.kwargs) -> Result:
        # Typer passes every parameter by name.
        session = session_of(cast(typer.Context, kwargs["ctx"]))
        try:
            result = command(*args, **kwargs)
            sys.stdout.flush()  # a closed pipe shows here, not at exit
            return result
        except BrokenPipeError:
            stop_writing_to_stdout()
            raise typer.Exit(0) from None
        except (typer.Exit, typer.Abort, typer.TyperException):
            raise
        except Exception as error:
            if session.debug:  # the traceback, with stored text in it escaped
                for line in "".join(traceback.format_exception(error)).splitlines():
                    session.err.print(shown(line), soft_wrap=True)
                raise typer.Exit(1) from error
            session.error(error_message(error))
            raise typer.Exit(error.exit_code if isinstance(error, CommandError) else 1) from error

    return run


def stop_writing_to_stdout() -> None:
    """Points stdout at /dev/null, so that the interpreter's last flush of
    what is left in its buffer fails no more."""
    try:
        descriptor = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):  # not a file (a test's runner)
        return
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, descriptor)
    os.close(null)


def choose_store(ctx: typer.Context, location: str | None) -> None:
    """Makes the store at `location` (a ``--store`` given at any level of
    the command, the last one counting) the session's; a location that
    names no store is a usage error."""
    if location is None:
        return
    try:
        session_of(ctx).store = Store(location)
    except (ValueError, ImportError) as error:
        raise typer.BadParameter(str(error), ctx=ctx, param_hint="'--store'") from None


def reachable_store(session: Session) -> Store:
    """The session's store; an error naming it when it does not exist, is
    no directory or cannot be reached."""
    session.store.check_reachable()
    return session.store


def stdin_is_terminal() -> bool:
    return sys.stdin.isatty()


def confirm_removal(store: Store, count: int, yes: bool) -> None:
    """Asks before removing on a terminal; elsewhere only ``--yes`` goes on."""
    if yes:
        return
    if not stdin_is_terminal():
        raise CommandError(
            f"not on a terminal: pass --yes to remove {count} result(s)", exit_code=2
        )
    question = shown(f"Remove {count} result(s) from {store.location}?").plain
    if not typer.confirm(question, default=False, err=True):
        raise CommandError("aborted: nothing removed")
