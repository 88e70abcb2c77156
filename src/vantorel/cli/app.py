"""The ``vantorel`` command line: ``vantorel results ...`` works on the
results store the settings name, or the one ``--store`` names (before or
after ``results``, or after the command), through a :class:`vantorel.Store`.

Exit status: 0 on success, 1 when something was not found, could not be
done or ``verify`` found something to look at, 2 on a usage error. Failures
are one line ``error: ...`` on stderr (a traceback with ``--debug``).
Tables and progress go through Rich: colour and progress bars on a terminal
only, no colour with ``NO_COLOR``; ``--json`` prints one JSON object per
line.
"""

import logging
import sys
from collections.abc import Sequence
from typing import Annotated, Any

import typer

# Typer carries its own click from 0.29 on (the cli extra's floor).
from typer._click import Command, Context, Parameter
from typer.core import TyperArgument, TyperCommand, TyperGroup, TyperOption

from vantorel import __version__
from vantorel.cli import checks, reading, removal
from vantorel.cli.options import StoreOption
from vantorel.cli.session import choose_store, session_of
from vantorel.cli.terminal import EscapingFormatter, make_console, shown
from vantorel.logger import get_logger


class ArgumentShownByMetavar(TyperArgument):
    """An argument whose help shows its metavar alone, without Typer's type
    marker (``<list[str]>``) beside it."""

    def display_type_rich(self, ctx: Context) -> str | None:
        return None


def without_type_marker(param: Parameter) -> None:
    """Help shows a flag without a value marker (``<bool>``), and an
    argument by its metavar alone; options with values show their metavars."""
    if isinstance(param, TyperOption) and param.is_flag and param.metavar is None:
        param.metavar = ""
    elif type(param) is TyperArgument and param.metavar is not None:
        param.__class__ = ArgumentShownByMetavar


class PlainHelp(Command):
    """A command whose help shows no type markers."""

    def get_params(self, ctx: Context) -> list[Parameter]:
        params = super().get_params(ctx)
        for param in params:
            without_type_marker(param)
        return params


class PlainHelpCommand(PlainHelp, TyperCommand):
    pass


class PlainHelpGroup(PlainHelp, TyperGroup):
    pass


class OneLineUsageErrors(PlainHelpGroup):
    """Reports a usage error as one line ``error: ...`` on stderr, with
    exit status 2, where Typer would draw a panel."""

    def main(
        self,
        args: Sequence[str] | None = None,
        prog_name: str | None = None,
        complete_var: str | None = None,
        standalone_mode: bool = True,
        windows_expand_args: bool = True,
        **extra: Any,
    ) -> Any:
        def run() -> Any:
            # Not standalone: Typer leaves errors to the caller, and returns
            # the status of a typer.Exit.
            return super(OneLineUsageErrors, self).main(
                args, prog_name, complete_var, False, windows_expand_args, **extra
            )

        if not standalone_mode:
            return run()
        try:
            status = run()
        except typer.TyperException as error:  # what Typer's parser raises
            # Typer shows the help itself when arguments are missing.
            if type(error).__name__ != "NoArgsIsHelpError":
                message = error.format_message()
                command = getattr(getattr(error, "ctx", None), "command_path", None)
                if command:
                    message += f" (see '{command} --help')"
                make_console(stderr=True).print(shown(f"error: {message}", "red"), soft_wrap=True)
            sys.exit(error.exit_code)
        except typer.Abort:
            make_console(stderr=True).print("Aborted.", soft_wrap=True)
            sys.exit(1)
        sys.exit(status if isinstance(status, int) else 0)


app = typer.Typer(
    name="vantorel",
    cls=OneLineUsageErrors,
    help="vantorel: chip-design toolkit.",
    no_args_is_help=True,
    pretty_exceptions_enable=False,
    context_settings={"help_option_names": ["-h", "--help"]},
)
results_app = typer.Typer(
    name="results",
    cls=PlainHelpGroup,
    help="List, inspect, compare, plot, export, check and remove stored simulation results.",
    no_args_is_help=True,
)
app.add_typer(results_app)

for command in (
    reading.ls,
    reading.show,
    reading.diff,
    reading.plot,
    reading.export,
    removal.rm,
    removal.clear,
    removal.prune,
    checks.verify,
    reading.stats,
):
    results_app.command(cls=PlainHelpCommand)(command)


def show_version(value: bool) -> None:
    if value:
        print(f"vantorel {__version__}")
        raise typer.Exit()


@app.callback()
def main_options(
    ctx: typer.Context,
    store_location: StoreOption = None,
    debug: Annotated[
        bool, typer.Option("--debug", help="Show tracebacks and the library's debug log.")
    ] = False,
    version: Annotated[
        bool,
        typer.Option(
            "--version", callback=show_version, is_eager=True, help="Show the version and exit."
        ),
    ] = False,
) -> None:
    session_of(ctx).debug = debug
    choose_store(ctx, store_location)
    forward_library_log(ctx, logging.DEBUG if debug else logging.WARNING)


@results_app.callback()
def results_options(ctx: typer.Context, store_location: StoreOption = None) -> None:
    choose_store(ctx, store_location)


def forward_library_log(ctx: typer.Context, level: int) -> None:
    """Shows the library's log (e.g. the warning for a damaged file a listing
    skips) on stderr for this call, control characters escaped."""
    logger = get_logger()
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(EscapingFormatter("%(levelname)s: %(message)s"))
    previous_level = logger.level
    logger.setLevel(level)
    logger.addHandler(handler)

    def detach() -> None:
        logger.removeHandler(handler)
        logger.setLevel(previous_level)

    ctx.call_on_close(detach)
