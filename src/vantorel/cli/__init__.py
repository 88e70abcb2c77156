"""The ``vantorel`` command line (``vantorel results ...``).

It needs the ``cli`` extra (typer, rich); :func:`main` says so in one line
when they are missing.
"""

import sys

CLI_PACKAGES = ("typer", "rich")


def main() -> None:
    """Entry point of the ``vantorel`` console script and ``python -m vantorel``."""
    try:
        from vantorel.cli.app import app
    except ModuleNotFoundError as missing:
        if (missing.name or "").partition(".")[0] not in CLI_PACKAGES:
            raise
        print(
            "error: the vantorel command line needs typer and rich: pip install 'vantorel[cli]'",
            file=sys.stderr,
        )
        sys.exit(1)
    app(prog_name="vantorel")
