"""Deferred imports: bind a name now, import the module on first use."""

import importlib
import threading
from typing import Any

_UNRESOLVED = object()


class LazyImport:
    """Stands in for a module, or an attribute of one, until first used.

    Attribute access, calls and ``str()`` import the target once and then
    act on it; the resolved object is cached.
    """

    __slots__ = ("_attribute", "_lock", "_module", "_target")

    def __init__(self, module: str, attribute: str | None = None) -> None:
        self._module = module
        self._attribute = attribute
        self._target: Any = _UNRESOLVED
        self._lock = threading.Lock()

    def _resolve(self) -> Any:
        target = self._target
        if target is _UNRESOLVED:
            with self._lock:
                target = self._target
                if target is _UNRESOLVED:
                    target = importlib.import_module(self._module)
                    if self._attribute is not None:
                        target = getattr(target, self._attribute)
                    self._target = target
        return target

    def __getattr__(self, name: str) -> Any:
        return getattr(self._resolve(), name)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self._resolve()(*args, **kwargs)

    def __str__(self) -> str:
        return str(self._resolve())

    def __repr__(self) -> str:
        what = self._module
        if self._attribute is not None:
            what = f"{what}.{self._attribute}"
        state = "unresolved" if self._target is _UNRESOLVED else "resolved"
        return f"<lazy_import {what!r} ({state})>"


def lazy_import(module: str, attribute: str | None = None) -> Any:
    """Return a stand-in for ``module`` (or ``module.attribute``) that
    imports it on first use."""
    return LazyImport(module, attribute)
