"""Shared fixtures: a private simulations directory, sample identities and
the log lines of the package logger."""

import logging
import os
import random
import signal
import time

import pytest

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
    fields.update(result={"s21": [0.9, 0.8]}, wavelengths=[1.5, 1.6],
                  execution_time_seconds=1.25)
    fields.update(overrides)
    return ss.save_simulation_result(**fields)


@pytest.fixture
def store(tmp_path, monkeypatch):
    """An empty simulations directory (not yet created) for this test."""
    directory = tmp_path / "simulations"
    monkeypatch.setenv("VANTOREL_SIMULATIONS_DIR", str(directory))
    return directory


@pytest.fixture
def logs(caplog):
    """(level, message) pairs logged by the vantorel logger."""
    caplog.set_level(logging.DEBUG, logger="vantorel")

    def lines():
        return [(r.levelname, r.getMessage()) for r in caplog.records
                if r.name == "vantorel"]

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
