"""Record types of stored simulation results."""

from typing import Any, Literal

from pydantic import BaseModel, ConfigDict, StrictStr

SimulationStatus = Literal["success", "error"]
"""Outcome of a simulation run."""

SimulationType = str
"""Name of the simulator kind ("fdtd", "eme", ...); open so users can add
their own kinds."""

SerializedSimulationResult = dict[str, Any]
"""Solver output as a JSON-compatible mapping."""


class SimulationHyperparameters(BaseModel):
    """Solver settings that, with the component, identify a simulation."""

    # NaN or an infinity would be stored as null and never read back.
    model_config = ConfigDict(extra="forbid", allow_inf_nan=False)

    wavelength_start_um: float = 1.5
    wavelength_stop_um: float = 1.6
    num_wavelengths: int = 101
    mesh_accuracy: int = 2
    simulation_time_fs: float = 10_000.0
    port_margin_um: float = 1.0
    boundary_condition: str = "pml"


class StoredSimulationResult(BaseModel):
    """One simulation result as kept on disk."""

    component_name: StrictStr
    factory_name: StrictStr
    component_settings: dict[str, Any]
    model_parameters: dict[str, Any]
    hyperparameters: SimulationHyperparameters
    simulation_type: StrictStr
    simulation_id: StrictStr
    pdk_name: StrictStr
    pdk_version: StrictStr
    simulation_date: StrictStr
    vantorel_version: StrictStr
    result: SerializedSimulationResult
    wavelengths: list[float]
    execution_time_seconds: float
    status: SimulationStatus
    error_message: StrictStr
