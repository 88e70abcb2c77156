"""Options and arguments that several commands share. Each names what it
takes (its metavar): help shows no type markers."""

from enum import StrEnum
from typing import Annotated

import typer

from vantorel.cli.session import STORE_VARIABLE
from vantorel.core.file_stores import check_type_name

SHORTEST_ID_PREFIX = 4


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


def id_prefixes(values: list[str] | None) -> list[str] | None:
    """IDs, each whole or a prefix of at least four characters."""
    for value in values or ():
        if len(value) < SHORTEST_ID_PREFIX:
            raise typer.BadParameter(
                f"{value!r} is too short: give an ID or a prefix of at least "
                f"{SHORTEST_ID_PREFIX} characters"
            )
    return values


def id_prefix(value: str) -> str:
    id_prefixes([value])
    return value


STORE_HELP = (
    f"Results store for this call (default: ${STORE_VARIABLE}, else <build dir>/simulations)."
)
StoreOption = Annotated[str | None, typer.Option("--store", metavar="PATH_OR_URL", help=STORE_HELP)]
ComponentOption = Annotated[
    str | None,
    typer.Option("--component", metavar="NAME", help="Only results of this component."),
]
FactoryOption = Annotated[
    str | None, typer.Option("--factory", metavar="NAME", help="Only results of this factory.")
]
TypeOption = Annotated[
    str | None,
    typer.Option(
        "--type", metavar="TYPE", callback=type_name, help="Only results of this simulation type."
    ),
]
PdkOption = Annotated[
    str | None, typer.Option("--pdk", metavar="NAME", help="Only results made with this PDK.")
]
StatusOption = Annotated[
    Status | None,
    typer.Option("--status", metavar="success|error", help="Only results with this status."),
]
WhereOption = Annotated[
    list[str] | None,
    typer.Option(
        "--where",
        metavar="CONDITION",
        help="Only results whose settings meet this condition, e.g. 'radius=10', "
        "'gap<0.3', 'model_parameters.width>=0.5' (OP: = == != < <= > >=; "
        "repeatable: all must hold). A bare name means the one column ending in it.",
    ),
]
JsonOption = Annotated[bool, typer.Option("--json", help="One JSON object per line, for scripts.")]
DryRunOption = Annotated[
    bool, typer.Option("--dry-run", help="List what would be removed; remove nothing.")
]
YesOption = Annotated[
    bool, typer.Option("--yes", "-y", help="Remove without asking (needed off a terminal).")
]
IdArgument = Annotated[
    str,
    typer.Argument(
        metavar="ID", callback=id_prefix, help="A result's ID, or a unique prefix of it (4+)."
    ),
]
IdsArgument = Annotated[
    list[str],
    typer.Argument(
        metavar="ID",
        callback=id_prefixes,
        show_default=False,
        help="Results' IDs, or unique prefixes of them (4+ characters).",
    ),
]
