"""The shipped stub gives type checkers the real signatures."""

import subprocess
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def mypy(tmp_path, *files):
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--cache-dir",
            str(tmp_path / "cache"),
            *map(str, files),
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    return result.returncode, result.stdout


def test_quickstart_type_checks(tmp_path):
    code, out = mypy(tmp_path, ROOT / "examples" / "quickstart.py")
    assert code == 0, out


def test_wrong_calls_are_reported(tmp_path):
    bad = tmp_path / "bad.py"
    bad.write_text(
        textwrap.dedent("""
        from vantorel.core.simulation_storage import (
            list_simulation_results, load_simulation_result)
        load_simulation_result(3)
        list_simulation_results("fdtd")
    """)
    )
    code, out = mypy(tmp_path, bad)
    assert code == 1
    assert 'incompatible type "int"' in out
    assert "Too many positional arguments" in out
