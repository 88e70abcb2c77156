"""vantorel: chip-design toolkit.

``vantorel.Store`` is a store of simulation results chosen in code, with
``get_or_run``, the cache for a job; it is imported on first use, so that
``import vantorel`` stays light.

The version is defined once, in the build description, and written into
``vantorel._version`` when the package is built.
"""

from typing import TYPE_CHECKING, Any

from vantorel._version import __version__

if TYPE_CHECKING:
    from vantorel.store import Store

__all__ = ["Store", "__version__"]


def __getattr__(name: str) -> Any:
    if name == "Store":
        from vantorel.store import Store

        return Store
    raise AttributeError(f"module 'vantorel' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), "Store"])
