"""The sibling modules the storage module works through."""

import json
import logging
import subprocess
import sys

import pytest
from pydantic import ValidationError

from vantorel import settings
from vantorel.core.lazy import lazy_import
from vantorel.logger import get_logger
from vantorel.models import SimulationHyperparameters, StoredSimulationResult


def test_settings_defaults_and_overrides_are_read_at_each_call(tmp_path, monkeypatch):
    for var in ("VANTOREL_BUILD_DIR", "VANTOREL_SIMULATIONS_DIR", "VANTOREL_PDK"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.chdir(tmp_path)
    assert settings.get_simulations_dir() == tmp_path.resolve() / "build" / "simulations"
    assert settings.get_pdk_name() == "generic"
    monkeypatch.setenv("VANTOREL_BUILD_DIR", str(tmp_path / "b"))
    assert settings.get_simulations_dir() == tmp_path / "b" / "simulations"
    monkeypatch.setenv("VANTOREL_SIMULATIONS_DIR", str(tmp_path / "s"))
    monkeypatch.setenv("VANTOREL_PDK", "acme")
    assert settings.get_simulations_dir() == tmp_path / "s"
    assert settings.get_pdk_name() == "acme"


def test_logger_is_the_package_logger_and_silent_by_default():
    assert get_logger() is logging.getLogger("vantorel")
    code = "from vantorel.logger import get_logger; get_logger().warning('x')"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0 and proc.stderr == ""


def test_lazy_import_imports_on_first_use_only(tmp_path, monkeypatch):
    name = "lazy_target_module"
    (tmp_path / f"{name}.py").write_text("VERSION = '1.2.3'\ntwice = lambda x: 2 * x\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, name, raising=False)
    module, version = lazy_import(name), lazy_import(name, "VERSION")
    assert name not in sys.modules
    assert module.VERSION == "1.2.3" and name in sys.modules
    assert lazy_import(name, "twice")(21) == 42 and str(version) == "1.2.3"
    del sys.modules[name]
    assert str(version) == "1.2.3" and name not in sys.modules  # resolved once
    with pytest.raises(ModuleNotFoundError):
        str(lazy_import("vantorel_no_such_module"))


RECORD = dict(
    component_name="c",
    factory_name="f",
    component_settings={},
    model_parameters={},
    hyperparameters=SimulationHyperparameters(),
    simulation_type="fdtd",
    simulation_id="0123456789abcdef",
    pdk_name="generic",
    pdk_version="",
    simulation_date="2024-01-01T00:00:00",
    vantorel_version="0.1",
    result={},
    wavelengths=[1.5],
    execution_time_seconds=1.0,
    error_message="",
)


@pytest.mark.parametrize(
    "override, valid",
    [
        ({"status": "success"}, True),
        ({"status": "error"}, True),
        ({"status": "failed"}, False),
        ({"status": "error", "component_name": 1}, False),
    ],
)
def test_records_validate_and_dump_to_json(override, valid):
    dump = SimulationHyperparameters().model_dump()
    assert json.loads(json.dumps(dump)) == dump
    if not valid:
        with pytest.raises(ValidationError):
            StoredSimulationResult(**{**RECORD, **override})
        return
    record = StoredSimulationResult(**{**RECORD, **override})
    decoded = json.loads(json.dumps(record.model_dump()))
    assert record.status == override["status"] == decoded["status"]
    assert StoredSimulationResult.model_validate(decoded) == record
