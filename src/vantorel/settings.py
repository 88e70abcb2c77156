"""Where vantorel keeps its files, read from the environment at each call.

``VANTOREL_BUILD_DIR``        build directory (default: ``./build``)
``VANTOREL_SIMULATIONS_DIR``  stored simulation results
                              (default: ``<build dir>/simulations``)
``VANTOREL_PDK``              name of the active PDK (default: ``generic``)

The two directories may also be URLs: ``file://`` names a local path, and
any other scheme (``s3://bucket/prefix``, ``gs://``, ``memory://``, ...)
names object storage, reached through universal-pathlib and fsspec (the
``s3`` or ``remote`` extra). Endpoint and credentials come from each
backend's own environment, e.g. ``AWS_ENDPOINT_URL``, ``AWS_ACCESS_KEY_ID``,
``AWS_SECRET_ACCESS_KEY`` and ``AWS_DEFAULT_REGION`` for S3.

Code can also choose the store: while :data:`store_location` holds a path in
the current thread or asyncio task, :func:`get_simulations_dir` returns it
without reading the environment. ``vantorel.Store`` sets it around each of
its calls into the storage module; :func:`resolve_location` turns what a
user names into the path object.
"""

from __future__ import annotations

import os
import re
import sys
from contextvars import ContextVar
from pathlib import Path
from typing import TYPE_CHECKING, TypeGuard
from urllib.parse import unquote, urlsplit

from vantorel.core.object_store import local_path

if TYPE_CHECKING:
    from upath import UPath

DEFAULT_PDK_NAME = "generic"

_URL = re.compile(r"(?P<scheme>[A-Za-z][A-Za-z0-9+.-]*)://")

# The extra that brings each backend, where vantorel has one.
_EXTRAS = {"s3": "s3", "s3a": "s3"}

store_location: ContextVar[Path | UPath | None] = ContextVar(
    "vantorel_store_location", default=None
)
"""The simulations directory chosen by code for the current thread or task,
or None for the one the environment names."""


def get_build_dir() -> Path | UPath:
    """Return the build directory."""
    configured = os.environ.get("VANTOREL_BUILD_DIR")
    if configured:
        return _directory("VANTOREL_BUILD_DIR", configured)
    return Path.cwd() / "build"


def get_simulations_dir() -> Path | UPath:
    """Return the directory that holds stored simulation results: the
    current :data:`store_location` when set, else the environment's."""
    chosen = store_location.get()
    if chosen is not None:
        return chosen
    configured = os.environ.get("VANTOREL_SIMULATIONS_DIR")
    if configured:
        return _directory("VANTOREL_SIMULATIONS_DIR", configured)
    return get_build_dir() / "simulations"


def get_pdk_name() -> str:
    """Return the name of the active PDK."""
    return os.environ.get("VANTOREL_PDK") or DEFAULT_PDK_NAME


def resolve_location(location: str | os.PathLike[str]) -> Path | UPath:
    """The path object for a store location, named as
    ``VANTOREL_SIMULATIONS_DIR`` names one: a local path, a ``file://`` URL,
    or an object-storage URL such as ``s3://bucket/prefix``. A path object
    (``pathlib.Path`` or universal-pathlib's ``UPath``) is used as given,
    but for a ``UPath`` on the local file system (``file://``): its
    ``pathlib.Path``, so that local files are never reached as object
    storage."""
    if isinstance(location, Path):
        return location
    if _is_upath(location):
        return local_path(location) or location
    value = os.fspath(location)
    if not isinstance(value, str):
        raise TypeError(f"a store location is a str or a path, not {type(value).__name__}")
    if not value:
        raise ValueError("an empty store location names no directory")
    return _directory("location", value)


def _is_upath(location: object) -> TypeGuard[UPath]:
    upath = sys.modules.get("upath")  # a UPath exists only once upath is imported
    return upath is not None and isinstance(location, upath.UPath)


def _directory(variable: str, value: str) -> Path | UPath:
    """The path `value` names: a local path, or object storage for a URL
    with a scheme other than ``file``."""
    url = _URL.match(value)
    if url is None:
        return Path(value)
    scheme = url["scheme"].lower()
    if scheme == "file":
        _refuse_credentials(variable, value, scheme)
        parts = urlsplit(value)
        if parts.netloc not in ("", "localhost"):
            raise ValueError(
                f"{variable}={value!r}: a file:// URL names a path on this "
                f"machine, not on {parts.netloc!r}"
            )
        return Path(unquote(parts.path))
    return _object_store(variable, value, scheme)


def _object_store(variable: str, value: str, scheme: str) -> UPath:
    _check_store_url(variable, value, scheme)
    extra = _EXTRAS.get(scheme, "remote")
    try:
        import fsspec
        from upath import UPath
    except ImportError as error:
        raise ImportError(
            f"{variable}={value!r} names object storage, which needs "
            f"universal-pathlib and fsspec: pip install 'vantorel[{extra}]'"
        ) from error
    try:
        fsspec.get_filesystem_class(scheme)
    except ValueError as error:
        raise ValueError(
            f"{variable}={value!r}: fsspec knows no storage for {scheme}://"
        ) from error
    except ImportError as error:
        install = f"pip install 'vantorel[{extra}]'"
        if extra == "remote":
            from fsspec.registry import known_implementations

            known = known_implementations.get(scheme, {})
            install += " " + known.get("class", scheme).partition(".")[0]
        raise ImportError(
            f"{variable}={value!r} needs the {scheme}:// backend: {install}"
        ) from error
    # Another process's saves and deletes must be seen at once: no listing
    # cache.
    return UPath(value, use_listings_cache=False)


def _refuse_credentials(variable: str, value: str, scheme: str) -> None:
    """Refuses a URL that holds credentials (an error could echo them; they
    belong in the backend's own environment, never in a URL that is
    shown), without repeating them."""
    authority = value[len(scheme) + 3 :].partition("/")[0]
    if "@" in authority:
        host = authority.rpartition("@")[2]
        raise ValueError(
            f"{variable} names a store with credentials in its URL "
            f"({scheme}://***@{host}/...): give them to the backend through its "
            "own environment (for S3: AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY)"
        )


def _check_store_url(variable: str, value: str, scheme: str) -> None:
    """Refuses an object-store URL that cannot name a store whole: one that
    holds credentials (an error of the backend could echo them; they
    belong in its own environment, never in a URL that is shown), or an
    empty segment inside its path (saves and hits would work while every
    listing of the store fails). Neither error repeats the URL's
    credentials."""
    _refuse_credentials(variable, value, scheme)
    path = value[len(scheme) + 3 :].partition("/")[2]
    if "" in path.split("/")[:-1]:
        raise ValueError(
            f"{variable}={value!r}: an empty segment ('//') in the path of an "
            "object store names no directory, and listings of it would fail"
        )
