"""The ``vantorel`` command line: ``vantorel results ...`` works on the
results store the settings name (``--store`` overrides it for one call).

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
from typer.core import TyperGroup

from vantorel.cli import checks, reading, removal
from vantorel.cli.session import STORE_VARIABLE, Session, use_store_for_call
from vantorel.cli.terminal import EscapingFormatter, make_console, shown
from vantorel.logger import get_logger


class OneLineUsageErrors(TyperGroup):
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
)
results_app = typer.Typer(
    name="results",
    help="List, inspect, plot, check and remove stored simulation results.",
    no_args_is_help=True,
)
app.add_typer(results_app)

for command in (
    reading.ls,
    reading.show,
    reading.plot,
    removal.rm,
    removal.clear,
    removal.prune,
    checks.verify,
    reading.stats,
):
    results_app.command()(command)


@app.callback()
def main_options(
    ctx: typer.Context,
    store: Annotated[
        str | None,
        typer.Option(
            "--store",
            metavar="PATH_OR_URL",
            help=f"Results store for this call (default: ${STORE_VARIABLE}, "
            "else <build dir>/simulations).",
        ),
    ] = None,
    debug: Annotated[
        bool, typer.Option("--debug", help="Show tracebacks and the library's debug log.")
    ] = False,
) -> None:
    ctx.obj = Session(debug=debug)
    if store is not None:
        if not store:
            raise typer.BadParameter("must not be empty", param_hint="--store")
        use_store_for_call(ctx, store)
    forward_library_log(ctx, logging.DEBUG if debug else logging.WARNING)


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
