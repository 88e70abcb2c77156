"""A store of simulation results chosen in code, and the cache for a job."""

from __future__ import annotations

import builtins
import errno
import functools
import inspect
import os
import time
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any

import orjson
import pydantic

from vantorel import data, settings
from vantorel.conversion import to_stored
from vantorel.core import claims, file_stores, simulation_storage as storage
from vantorel.core.file_stores import StoredFile, describe_failure
from vantorel.data import Where
from vantorel.logger import get_logger
from vantorel.models import SimulationHyperparameters, SimulationStatus, StoredSimulationResult

if TYPE_CHECKING:
    from pathlib import Path

    import pandas as pd
    import xarray as xr
    from upath import UPath

Hyperparameters = SimulationHyperparameters | Mapping[str, Any]
"""A SimulationHyperparameters, or a mapping of its fields."""

_FILE_NOTE = "Simulation file: "


class Store:
    """Stored simulation results at one place, whatever the environment says.

    `location` is a path, a ``PathLike`` or a URL, as
    ``VANTOREL_SIMULATIONS_DIR`` accepts one (``/data/sims``,
    ``file:///data/sims``, ``s3://bucket/prefix``, ``memory://...``); None
    means the directory the settings name at each call. The methods take the
    parameters of the storage module's functions and call them with this
    store bound in :data:`vantorel.settings.store_location` for the duration
    of the call only, so several stores work at once in any threads and
    asyncio tasks, and ``os.environ`` is never touched. A caller that
    rebinds ``get_simulations_dir`` in ``vantorel.core.simulation_storage``
    overrides every store, since the module then no longer asks the settings.

    Identity fields, results and wavelengths may hold numpy arrays and
    scalars, tuples and complex numbers: they are stored as lists, Python
    numbers and ``{"real": [...], "imag": [...]}`` pairs, under the ID the
    same values written as Python lists and numbers have. `hyperparameters`
    may be a :class:`SimulationHyperparameters` or a dict of its fields.
    """

    def __init__(self, location: str | os.PathLike[str] | None = None) -> None:
        self._given = location
        self._location = None if location is None else settings.resolve_location(location)

    @property
    def location(self) -> Path | UPath:
        """The store's directory, as a path object."""
        if self._location is None:
            return settings.get_simulations_dir()
        return self._location

    def __repr__(self) -> str:
        return f"Store({None if self._location is None else str(self._location)!r})"

    def __reduce__(self) -> tuple[type[Store], tuple[str | os.PathLike[str] | None]]:
        # What was named, so that a worker resolves it with its own settings.
        return (Store, (self._given,))

    def _call[T](
        self, root: Path | UPath, function: Callable[..., T], /, *args: Any, **kwargs: Any
    ) -> T:
        token = settings.store_location.set(root)
        try:
            return function(*args, **kwargs)
        finally:
            settings.store_location.reset(token)

    def save(
        self,
        *,
        component_name: str,
        factory_name: str,
        component_settings: dict[str, Any],
        model_parameters: dict[str, Any],
        hyperparameters: Hyperparameters,
        simulation_type: str,
        result: Any,
        wavelengths: Any,
        execution_time_seconds: float,
        status: SimulationStatus = "success",
        error_message: str = "",
        pdk_version: str = "",
    ) -> StoredSimulationResult:
        """Saves a result, as ``save_simulation_result`` does, in this store."""
        identity = _identity(
            component_name,
            factory_name,
            component_settings,
            model_parameters,
            hyperparameters,
            simulation_type,
        )
        return self._call(
            self.location,
            storage.save_simulation_result,
            **identity,
            result=to_stored(result),
            wavelengths=to_stored(wavelengths),
            execution_time_seconds=execution_time_seconds,
            status=status,
            error_message=error_message,
            pdk_version=pdk_version,
        )

    def find(
        self,
        *,
        component_name: str,
        factory_name: str,
        component_settings: dict[str, Any],
        model_parameters: dict[str, Any],
        hyperparameters: Hyperparameters,
        simulation_type: str,
    ) -> StoredSimulationResult | None:
        """The result stored for this identity, as ``find_simulation_result``
        finds it in this store (a damaged file raises)."""
        identity = _identity(
            component_name,
            factory_name,
            component_settings,
            model_parameters,
            hyperparameters,
            simulation_type,
        )
        return self._call(self.location, storage.find_simulation_result, **identity)

    def load(self, simulation_id: str) -> StoredSimulationResult | None:
        """The result with this ID, as ``load_simulation_result`` loads it."""
        return self._call(self.location, storage.load_simulation_result, simulation_id)

    def list(
        self,
        *,
        component_name: str | None = None,
        factory_name: str | None = None,
        simulation_type: str | None = None,
        pdk_name: str | None = None,
        status: str | None = None,
    ) -> builtins.list[StoredSimulationResult]:
        """The results that pass the filters, newest first, as
        ``list_simulation_results`` gives them."""
        return self._call(
            self.location,
            storage.list_simulation_results,
            component_name=component_name,
            factory_name=factory_name,
            simulation_type=simulation_type,
            pdk_name=pdk_name,
            status=status,
        )

    def delete(self, simulation_id: str) -> bool:
        """Removes the result with this ID, as ``delete_simulation_result``
        does; whether there was one."""
        return self._call(self.location, storage.delete_simulation_result, simulation_id)

    def clear(
        self,
        *,
        component_name: str | None = None,
        factory_name: str | None = None,
        simulation_type: str | None = None,
        pdk_name: str | None = None,
    ) -> int:
        """Removes the results that pass the filters, as
        ``clear_simulation_results`` does; how many."""
        return self._call(
            self.location,
            storage.clear_simulation_results,
            component_name=component_name,
            factory_name=factory_name,
            simulation_type=simulation_type,
            pdk_name=pdk_name,
        )

    def files(self, simulation_type: str | None = None) -> builtins.list[StoredFile]:
        """The result files of this store (of one simulation type, or of
        all), from one listing of names: no file is read. Each tells its
        ID, component, type, path, size and version (what a removal
        compares)."""
        return file_stores.files_of(self.location).names(simulation_type)

    def check_reachable(self) -> None:
        """Raises unless the store's directory exists and can be reached: an
        OSError naming it (FileNotFoundError, NotADirectoryError; on S3 a
        bucket that does not exist or does not answer)."""
        file_stores.files_of(self.location).check_root()

    def read_files(
        self,
        files: Iterable[StoredFile],
        on_failure: Callable[[StoredFile, Exception], object] | None = None,
    ) -> Iterator[tuple[StoredSimulationResult, StoredFile]]:
        """The record in each file still there, with the file as the version
        that was read (one request each on object storage). A damaged file
        raises the decoder's or validator's error with a note naming it; a
        file that cannot be read raises its OSError. With `on_failure`, such
        a file is passed to it with the error instead, and passed over."""
        for file, content in file_stores.files_of(self.location).read_each_or_error(files):
            try:
                if isinstance(content, OSError):
                    raise content
                record = StoredSimulationResult.model_validate(orjson.loads(content))
            except (OSError, ValueError) as error:
                if on_failure is None:
                    if isinstance(error, ValueError):
                        error.add_note(f"{_FILE_NOTE}{file.path}")
                    raise
                on_failure(file, error)
                continue
            yield record, file

    def remove(
        self,
        files: Iterable[StoredFile],
        on_removed: Callable[[StoredFile], object] | None = None,
    ) -> builtins.list[StoredFile]:
        """Removes the listed files, each only while it is still the version
        listed (a result saved again since stays), in batched requests on S3.
        Returns the files removed, in order; `on_removed` is called with each
        as it goes. A file that cannot be removed raises (those removed
        before it stay removed)."""
        removed: builtins.list[StoredFile] = []

        def note(file: StoredFile) -> None:
            removed.append(file)
            if on_removed is not None:
                on_removed(file)

        file_stores.files_of(self.location).remove(builtins.list(files), note)
        return removed

    def frame(
        self,
        *,
        component_name: str | None = None,
        factory_name: str | None = None,
        simulation_type: str | None = None,
        pdk_name: str | None = None,
        status: str | None = None,
        where: Where | None = None,
    ) -> pd.DataFrame:
        """The results that pass the filters as a pandas table, newest
        first, indexed by ``simulation_id``: one row per stored file, with
        the identity and metadata columns and one column per leaf of the
        settings, model parameters and hyperparameters
        (``component_settings.radius``). `where` holds conditions on those
        columns (see :func:`vantorel.data.parse_where`). Needs the ``data``
        extra."""
        records = self.list(
            component_name=component_name,
            factory_name=factory_name,
            simulation_type=simulation_type,
            pdk_name=pdk_name,
            status=status,
        )
        if where is not None:
            records = data.filter_records(records, where)
        return data.results_frame(records)

    def spectra(
        self,
        ids: Iterable[str] | None = None,
        *,
        component_name: str | None = None,
        factory_name: str | None = None,
        simulation_type: str | None = None,
        pdk_name: str | None = None,
        status: str | None = None,
        where: Where | None = None,
    ) -> xr.Dataset:
        """The spectra of the results with these IDs (in their order), or of
        those that pass the filters, as an xarray Dataset with dimensions
        ``simulation_id`` and ``wavelength``: one variable per result entry
        (complex where stored as real and imaginary parts), the table's
        columns as coordinates. Results on different wavelengths raise a
        ValueError naming two of them. Needs the ``data`` extra."""
        if ids is None:
            records = self.list(
                component_name=component_name,
                factory_name=factory_name,
                simulation_type=simulation_type,
                pdk_name=pdk_name,
                status=status,
            )
        else:
            records = self._records_with_ids(builtins.list(ids))
        if where is not None:
            records = data.filter_records(records, where)
        return data.results_spectra(records)

    def _records_with_ids(self, ids: builtins.list[str]) -> builtins.list[StoredSimulationResult]:
        """The record of each ID, in order, from one listing of names."""
        first_file: dict[str, StoredFile] = {}
        for file in self.files():
            first_file.setdefault(file.simulation_id, file)
        missing = [simulation_id for simulation_id in ids if simulation_id not in first_file]
        if missing:
            raise KeyError(f"no stored result with ID {', '.join(missing)}")
        wanted = [first_file[simulation_id] for simulation_id in dict.fromkeys(ids)]
        records = {record.simulation_id: record for record, _ in self.read_files(wanted)}
        return [records[simulation_id] for simulation_id in ids]

    def simulation_id(
        self,
        *,
        component_name: str,
        factory_name: str,
        component_settings: dict[str, Any],
        model_parameters: dict[str, Any],
        hyperparameters: Hyperparameters,
        simulation_type: str,
    ) -> str:
        """The ID the storage module gives a simulation of this identity."""
        identity = _identity(
            component_name,
            factory_name,
            component_settings,
            model_parameters,
            hyperparameters,
            simulation_type,
        )
        return storage._compute_simulation_id(**identity)

    def get_or_run(
        self,
        run: Callable[[], tuple[Any, Any]],
        *,
        component_name: str,
        factory_name: str,
        component_settings: dict[str, Any],
        model_parameters: dict[str, Any],
        hyperparameters: Hyperparameters,
        simulation_type: str,
        rerun_failed: bool = True,
        timeout: float | None = None,
        claim_timeout: float = 600.0,
    ) -> StoredSimulationResult:
        """The stored result for this identity, running the simulation only
        when there is none.

        `run` takes no arguments and returns ``(result, wavelengths)``; its
        run time is measured and the result saved with status "success",
        then returned. An exception from `run` propagates and nothing is
        saved. A stored result with status "error" is run again when
        `rerun_failed` is true. A damaged result file (not JSON, not a valid
        record, not a regular file) is a miss: one warning names it, and the
        new result replaces it. A file that cannot be read (a refused
        permission, a network failure) raises its ``OSError``.

        Workers (threads, processes, machines) asking for one identity at
        once run it once: the first claims it, the others wait, up to
        `timeout` seconds (None: as long as it takes, else
        ``TimeoutError``), and return what it saved. A claim whose holder
        shows no heartbeat for `claim_timeout` seconds is taken over by one
        waiter; a holder stalled that long may thus lead to a second run.
        See ``vantorel.core.claims`` for the protocol.
        """
        if not claim_timeout > 0:
            raise ValueError(f"claim_timeout must be positive, not {claim_timeout!r}")
        identity = _identity(
            component_name,
            factory_name,
            component_settings,
            model_parameters,
            hyperparameters,
            simulation_type,
        )
        root = self.location
        reported: set[str] = set()

        def lookup() -> StoredSimulationResult | None:
            try:
                record = self._call(root, storage.find_simulation_result, **identity)
            except (orjson.JSONDecodeError, pydantic.ValidationError, OSError) as error:
                if not _is_damage(error):
                    raise
                place = damaged_file(error) or _result_place(root, identity)
                if place not in reported:
                    reported.add(place)
                    get_logger().warning(
                        f"Damaged simulation file, running the simulation again: {place} "
                        f"({describe_failure(error)})"
                    )
                return None
            if record is not None and record.status == "error" and rerun_failed:
                return None
            return record

        def run_and_save() -> StoredSimulationResult:
            start = time.perf_counter()
            output = run()
            elapsed = time.perf_counter() - start
            if not (isinstance(output, (tuple, builtins.list)) and len(output) == 2):
                raise TypeError(
                    f"run() must return (result, wavelengths), not {type(output).__name__}"
                )
            result, wavelengths = output
            return self._call(
                root,
                storage.save_simulation_result,
                **identity,
                result=to_stored(result),
                wavelengths=to_stored(wavelengths),
                execution_time_seconds=elapsed,
                status="success",
            )

        found = lookup()
        if found is not None:
            return found
        simulation_id = storage._compute_simulation_id(**identity)
        files = claims.claim_files(root)
        try:
            return claims.run_once(
                files,
                simulation_id,
                lookup=lookup,
                run=run_and_save,
                timeout=timeout,
                claim_timeout=claim_timeout,
            )
        finally:
            files.close()

    def cached[**P](
        self,
        *,
        simulation_type: str,
        hyperparameters: Hyperparameters | None = None,
        model_parameters: dict[str, Any] | None = None,
        component_name: str | None = None,
        factory_name: str | None = None,
        rerun_failed: bool = True,
        timeout: float | None = None,
        claim_timeout: float = 600.0,
    ) -> Callable[[Callable[P, tuple[Any, Any]]], Callable[P, StoredSimulationResult]]:
        """A decorator: the function, given a component's settings as its
        arguments and returning ``(result, wavelengths)``, becomes one that
        returns the stored record through :meth:`get_or_run`. Its bound
        arguments (defaults included) are the component settings; the
        component and factory names default to the function's name and
        qualified name, the hyperparameters to the defaults."""

        def decorate(
            function: Callable[P, tuple[Any, Any]],
        ) -> Callable[P, StoredSimulationResult]:
            signature = inspect.signature(function)

            @functools.wraps(function)
            def cached_call(*args: P.args, **kwargs: P.kwargs) -> StoredSimulationResult:
                bound = signature.bind(*args, **kwargs)
                bound.apply_defaults()
                return self.get_or_run(
                    functools.partial(function, *args, **kwargs),
                    component_name=component_name or function.__name__,
                    factory_name=factory_name or function.__qualname__,
                    component_settings=dict(bound.arguments),
                    model_parameters={} if model_parameters is None else model_parameters,
                    hyperparameters=(
                        SimulationHyperparameters() if hyperparameters is None else hyperparameters
                    ),
                    simulation_type=simulation_type,
                    rerun_failed=rerun_failed,
                    timeout=timeout,
                    claim_timeout=claim_timeout,
                )

            # help() and inspect.signature show what the call returns now.
            setattr(  # noqa: B010 (a function object's attribute, unknown to the wrapper's type)
                cached_call,
                "__signature__",
                signature.replace(return_annotation=StoredSimulationResult),
            )
            return cached_call

        return decorate


def _identity(
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: Hyperparameters,
    simulation_type: str,
) -> dict[str, Any]:
    """The six identity keywords, converted to what the storage module takes."""
    if isinstance(hyperparameters, Mapping):
        hyperparameters = SimulationHyperparameters.model_validate(to_stored(dict(hyperparameters)))
    return {
        "component_name": to_stored(component_name),
        "factory_name": to_stored(factory_name),
        "component_settings": to_stored(component_settings),
        "model_parameters": to_stored(model_parameters),
        "hyperparameters": hyperparameters,
        "simulation_type": to_stored(simulation_type),
    }


def _result_place(root: Path | UPath, identity: dict[str, Any]) -> str:
    """Where the storage module keeps the result of this identity."""
    name = f"{identity['component_name']}_{storage._compute_simulation_id(**identity)}.json"
    return str(root / identity["simulation_type"] / name)


def damaged_file(error: BaseException) -> str | None:
    """The file an exception of the storage module is about: the one its
    ``Simulation file: <path>`` note names, else an OSError's filename."""
    for note in getattr(error, "__notes__", ()):
        if isinstance(note, str) and note.startswith(_FILE_NOTE):
            return note.removeprefix(_FILE_NOTE)
    filename = getattr(error, "filename", None)
    return None if filename is None else os.fsdecode(filename)


def _is_damage(error: Exception) -> bool:
    """Whether a lookup failed on what a file holds (not JSON, not a valid
    record, a FIFO or device named like a result, which a save replaces)
    rather than on reading it. A directory in a result's place is no
    damage a save could replace: it is raised before anything runs."""
    if isinstance(error, (orjson.JSONDecodeError, pydantic.ValidationError)):
        return True
    return (
        isinstance(error, OSError)
        and error.errno == errno.EINVAL
        and error.strerror == "Not a regular file"
    )
