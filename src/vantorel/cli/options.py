"""Options that several commands share."""

from enum import StrEnum
from typing import Annotated

import typer

from vantorel.core.file_stores import check_type_name


class Status(StrEnum):
    success = "success"
    error = "error"


def type_name(value: str | None) -> str | None:
    """A ``--type`` the store can take: one directory inside it."""
    if value is None:
        return None
    try:
        return check_type_name(value)
    except ValueError as error:
        raise typer.BadParameter(str(error)) from None


ComponentOption = Annotated[
    str | None, typer.Option("--component", help="Only results of this component.")
]
FactoryOption = Annotated[
    str | None, typer.Option("--factory", help="Only results of this factory.")
]
TypeOption = Annotated[
    str | None,
    typer.Option("--type", callback=type_name, help="Only results of this simulation type."),
]
PdkOption = Annotated[str | None, typer.Option("--pdk", help="Only results made with this PDK.")]
StatusOption = Annotated[
    Status | None, typer.Option("--status", help="Only results with this status.")
]
JsonOption = Annotated[bool, typer.Option("--json", help="One JSON object per line, for scripts.")]
DryRunOption = Annotated[
    bool, typer.Option("--dry-run", help="List what would be removed; remove nothing.")
]
YesOption = Annotated[
    bool, typer.Option("--yes", "-y", help="Remove without asking (needed off a terminal).")
]
IdsArgument = Annotated[list[str], typer.Argument(metavar="ID...", show_default=False)]
