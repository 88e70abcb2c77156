"""The extension's sources avoid the borrowed-reference and deprecated
error APIs."""

from pathlib import Path

import pytest

SOURCES = sorted(
    (Path(__file__).resolve().parent.parent / "src" / "vantorel" / "core" / "storage").glob(
        "*.[ch]pp"
    )
)


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: p.name)
def test_no_forbidden_calls(path):
    text = path.read_text()
    for forbidden in (
        "PyModule_AddObject",
        "PyDict_GetItem(",
        "PyDict_GetItemString(",
        "PyErr_Fetch",
    ):
        assert forbidden not in text, forbidden
    assert max(map(len, text.splitlines())) <= 79
