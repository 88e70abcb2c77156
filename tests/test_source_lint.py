"""The extension's sources avoid the borrowed-reference, deprecated and
private CPython APIs, and keep the layout clang-format gives them."""

import re
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = sorted((ROOT / "src" / "vantorel" / "core" / "storage").glob("*.[ch]pp"))
FORBIDDEN = ("PyModule_AddObject", "PyDict_GetItem(", "PyDict_GetItemString(", "PyErr_Fetch")
# CPython's private names: they change between releases without notice.
PRIVATE = re.compile(r"\b_Py[A-Z_]\w*")


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: p.name)
def test_no_forbidden_calls(path):
    text = path.read_text()
    for forbidden in FORBIDDEN:
        assert forbidden not in text, forbidden
    assert PRIVATE.findall(text) == []
    assert max(map(len, text.splitlines())) <= 79


def test_private_names_are_caught():
    assert PRIVATE.findall("_PyBytes_Resize(&b, n); Py_DECREF(x); _Py_ID(x)") == [
        "_PyBytes_Resize",
        "_Py_ID",
    ]


def test_sources_are_formatted():
    # Installed with the test dependency group, beside this interpreter.
    clang_format = shutil.which("clang-format", path=sysconfig.get_path("scripts"))
    assert clang_format is not None, "pip install clang-format"
    checked = subprocess.run(
        [clang_format, "--dry-run", "--Werror", *map(str, SOURCES)],
        cwd=ROOT,
        capture_output=True,
        text=True,
        check=False,
    )
    assert checked.returncode == 0, checked.stderr
