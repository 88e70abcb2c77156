"""The one place where text reaches the terminal.

Stored text (component names, settings, error messages, file names) may
hold anything: escape sequences that clear the screen, write the clipboard
or draw a link, Rich markup, emoji codes. It reaches the terminal only
through :func:`shown`, which escapes control characters (``\\x1b``,
``\\n``, ...), as Rich :class:`~rich.text.Text` that no markup or emoji
code is read in, on consoles that read none either. ``--json`` output is
not terminal text: it is printed exactly.
"""

import errno
import logging
import os
import re
from datetime import UTC, datetime
from typing import Any

import orjson
from rich.console import Console
from rich.filesize import decimal as format_size
from rich.style import StyleType
from rich.text import Text

# Rich lays tables out for 80 columns when it cannot ask a terminal; a file
# or a pipe gets whole lines instead, unless COLUMNS says how wide.
WIDTH_OFF_TERMINAL = 200

# Beyond the C0 controls: DEL and the C1 controls, the line and paragraph
# separators, and the invisible format characters (Unicode's Cf: soft
# hyphen, zero-width characters, the marks that reorder text, tags).
_BEYOND_C0 = (
    "\x7f-\x9f\xad\u0600-\u0605\u061c\u06dd\u070f\u180e\u200b-\u200f\u2028-\u202e"
    "\u2060-\u2064\u2066-\u206f\ufeff\ufff9-\ufffb\U000e0001\U000e0020-\U000e007f"
)
CONTROL = re.compile(f"[\x00-\x1f{_BEYOND_C0}]")
NAMED_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def escape_controls(text: str) -> str:
    """`text` with each control character written as its escape (``\\x1b``,
    ``\\n``, ``\\u202e``), so that it shows and never acts."""

    def escape(match: re.Match[str]) -> str:
        character = match[0]
        if character in NAMED_ESCAPES:
            return NAMED_ESCAPES[character]
        code = ord(character)
        if code < 0x100:
            return f"\\x{code:02x}"
        return f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"

    return CONTROL.sub(escape, text)


def shown(text: object, style: StyleType = "") -> Text:
    """`text` (stored or not) as the terminal shows it: control characters
    escaped, nothing read as markup or emoji."""
    return Text(escape_controls(str(text)), style=style)


class TerminalConsole(Console):
    """A console whose reader going away ends the command as a closed pipe
    ends any output (quietly, with status 0), not with Rich's status 1."""

    def on_broken_pipe(self) -> None:
        self.quiet = True
        raise BrokenPipeError(errno.EPIPE, os.strerror(errno.EPIPE))


def make_console(stderr: bool = False) -> Console:
    # NO_COLOR (no-color.org): any non-empty value turns all styling off.
    plain = bool(os.environ.get("NO_COLOR"))
    console = TerminalConsole(
        stderr=stderr,
        markup=False,
        emoji=False,
        highlight=False,
        color_system=None if plain else "auto",
    )
    if not console.is_terminal and not os.environ.get("COLUMNS"):
        console.width = WIDTH_OFF_TERMINAL
    return console


class EscapingFormatter(logging.Formatter):
    """Log lines (which name files, hence stored text) with their control
    characters escaped."""

    def format(self, record: logging.LogRecord) -> str:
        return escape_controls(super().format(record))


# ---------------------------------------------------------------- formats


def parse_date(text: str) -> datetime | None:
    """A stored ``simulation_date`` as an aware UTC time (naive ones are
    taken as UTC), or None when it is no ISO date."""
    try:
        moment = datetime.fromisoformat(text)
    except ValueError:
        return None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=UTC)
    return moment.astimezone(UTC)


def format_date(text: str) -> str:
    moment = parse_date(text)
    return moment.strftime("%Y-%m-%d %H:%M") if moment else text


def format_duration(seconds: float) -> str:
    if seconds < 60:
        return f"{seconds:.1f} s"
    minutes, seconds = divmod(round(seconds), 60)
    if minutes < 60:
        return f"{minutes} min {seconds:02d} s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours} h {minutes:02d} min"


def format_bytes(size: int | None) -> str:
    return "?" if size is None else format_size(size)


def format_number(value: float | None) -> str:
    return "" if value is None else f"{value:.6g}"


def format_value(value: Any) -> str:
    return value if isinstance(value, str) else orjson.dumps(value).decode()


# What JSON leaves unescaped of CONTROL: the C0 controls are escaped by any
# encoder, these only by choice.
UNESCAPED_IN_JSON = re.compile(f"[{_BEYOND_C0}]")


def _json_escape(match: re.Match[str]) -> str:
    # UTF-16 code units, as JSON writes a character beyond the BMP.
    units = match[0].encode("utf-16-be")
    return "".join(f"\\u{units[i]:02x}{units[i + 1]:02x}" for i in range(0, len(units), 2))


def print_json_line(fields: dict[str, Any]) -> None:
    """One JSON object on stdout: it decodes to exactly `fields`, and its
    control characters are JSON escapes (they occur only within strings)."""
    line = orjson.dumps(fields).decode()
    print(UNESCAPED_IN_JSON.sub(_json_escape, line))
