"""Where vantorel keeps its files, read from the environment at each call.

``VANTOREL_BUILD_DIR``        build directory (default: ``./build``)
``VANTOREL_SIMULATIONS_DIR``  stored simulation results
                              (default: ``<build dir>/simulations``)
``VANTOREL_PDK``              name of the active PDK (default: ``generic``)
"""

import os
from pathlib import Path

DEFAULT_PDK_NAME = "generic"


def get_build_dir() -> Path:
    """Return the build directory."""
    configured = os.environ.get("VANTOREL_BUILD_DIR")
    if configured:
        return Path(configured)
    return Path.cwd() / "build"


def get_simulations_dir() -> Path:
    """Return the directory that holds stored simulation results."""
    configured = os.environ.get("VANTOREL_SIMULATIONS_DIR")
    if configured:
        return Path(configured)
    return get_build_dir() / "simulations"


def get_pdk_name() -> str:
    """Return the name of the active PDK."""
    return os.environ.get("VANTOREL_PDK") or DEFAULT_PDK_NAME
