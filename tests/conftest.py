"""Shared fixtures: a private simulations directory (on a local disk, or on
each backend), an S3-protocol server, sample identities, the log lines of
the package logger, and the command line run in this process."""

import logging
import os
import random
import signal
import time
import uuid

import pytest

from vantorel import settings
from vantorel.core import simulation_storage as ss
from vantorel.models import SimulationHyperparameters


def identity(**overrides):
    """Identity keywords of a sample simulation."""
    fields = dict(
        component_name="mmi1x2",
        factory_name="mmi1x2_factory",
        component_settings={"width": 0.5, "length": 10},
        model_parameters={"n_eff": 2.4},
        hyperparameters=SimulationHyperparameters(),
        simulation_type="fdtd",
    )
    fields.update(overrides)
    return fields


def save(**overrides):
    """Saves a sample result; keywords override identity or output fields."""
    fields = identity()
    fields.update(result={"s21": [0.9, 0.8]}, wavelengths=[1.5, 1.6], execution_time_seconds=1.25)
    fields.update(overrides)
    return ss.save_simulation_result(**fields)


def file_of(store, record):
    """Where a save puts the file of `record` in `store`."""
    return store / record.simulation_type / f"{record.component_name}_{record.simulation_id}.json"


def invoke(*args, **kwargs):
    """Runs ``vantorel ARGS...`` in this process (Typer's runner)."""
    from typer.testing import CliRunner

    from vantorel.cli import app

    return CliRunner().invoke(app.app, [str(arg) for arg in args], **kwargs)


@pytest.fixture
def store(tmp_path, monkeypatch):
    """An empty simulations directory (not yet created) for this test."""
    directory = tmp_path / "simulations"
    monkeypatch.setenv("VANTOREL_SIMULATIONS_DIR", str(directory))
    return directory


@pytest.fixture(scope="session")
def s3_server():
    """A moto S3 server for the session, on 127.0.0.1 and a free port, with
    its endpoint and fake credentials in the environment (as a user sets
    them for S3); stopped, and the environment restored, at the end."""
    from moto.server import ThreadedMotoServer

    logging.getLogger("werkzeug").setLevel(logging.ERROR)  # one line a request
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    with pytest.MonkeyPatch.context() as patch:
        for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN", "AWS_ENDPOINT_URL_S3"):
            patch.delenv(name, raising=False)
        patch.setenv("AWS_ENDPOINT_URL", f"http://{host}:{port}")
        patch.setenv("AWS_ACCESS_KEY_ID", "vantorel-test-key")
        patch.setenv("AWS_SECRET_ACCESS_KEY", "vantorel-test-secret")
        patch.setenv("AWS_DEFAULT_REGION", "us-east-1")
        try:
            yield server
        finally:
            server.stop()


def new_bucket():
    """A fresh, empty bucket on the S3 server of the environment."""
    import s3fs

    name = f"test-{uuid.uuid4().hex[:20]}"
    s3fs.S3FileSystem(skip_instance_cache=True, use_listings_cache=False).mkdir(name)
    return name


@pytest.fixture(params=["local", "memory", "s3"])
def any_store(request, tmp_path, monkeypatch):
    """An empty store on each backend, named by VANTOREL_SIMULATIONS_DIR as
    a user would name it; the path object the settings give for it."""
    if request.param == "local":
        url = str(tmp_path / "simulations")
    elif request.param == "memory":
        url = f"memory:///vantorel-{uuid.uuid4().hex}/simulations"
    else:
        request.getfixturevalue("s3_server")
        url = f"s3://{new_bucket()}/simulations"
    monkeypatch.setenv("VANTOREL_SIMULATIONS_DIR", url)
    root = settings.get_simulations_dir()
    yield root
    if request.param == "memory" and root.exists():
        root.fs.rm(root.parent.path, recursive=True)


@pytest.fixture
def logs(caplog):
    """(level, message) pairs logged by the vantorel logger."""
    caplog.set_level(logging.DEBUG, logger="vantorel")

    def lines():
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "vantorel"]

    return lines


def stop_while_writing(process, seconds=30.0):
    """Stops `process` (SIGSTOP) at a moment when it holds a temporary file
    of a save open, and returns that file's path; the process stays
    stopped. Deterministic in outcome: it retries until it is so."""
    fds = f"/proc/{process.pid}/fd"
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        os.kill(process.pid, signal.SIGSTOP)
        os.waitpid(process.pid, os.WUNTRACED)
        for fd in os.listdir(fds):
            try:
                target = os.readlink(f"{fds}/{fd}")
            except FileNotFoundError:
                continue
            if target.endswith(".tmp"):
                return target
        os.kill(process.pid, signal.SIGCONT)
        time.sleep(random.uniform(0, 0.002))
    raise AssertionError(f"process {process.pid} was never caught writing")
