"""Values from numerical code, made into what the storage module stores.

numpy arrays and scalars, tuples and complex numbers become JSON values:
scalars Python scalars, arrays and tuples lists, and complex values (a
number, or a list or array of numbers holding any) a ``{"real": ...,
"imag": ...}`` pair of the same shape. A value converts to what the same
values written as Python lists and numbers convert to, so both give one
simulation ID.

numpy is never imported here: its types can only be met once the caller has
imported it.
"""

import sys
from typing import Any

_SCALARS = (str, int, float, bool, type(None))
_PLAIN_NUMBERS = frozenset({int, float})


def to_stored(value: Any) -> Any:
    """`value` with numpy values, tuples and complex numbers converted, at
    every depth; dicts become plain dicts (with numpy scalar keys made
    Python scalars). Anything else is left for the storage module to take
    or refuse."""
    converted, is_complex = _convert(value)
    return _split(converted) if is_complex else converted


def _convert(value: Any) -> tuple[Any, bool]:
    """The converted value, complex numbers still whole, and whether it is
    a complex number or a (nested) list of numbers that holds one; such a
    value is split by the caller at the outermost list of numbers."""
    if type(value) in _SCALARS:  # the common case first
        return value, False
    if isinstance(value, complex):
        return complex(value), True
    if isinstance(value, dict):
        return {_key(key): to_stored(item) for key, item in value.items()}, False
    numpy = sys.modules.get("numpy")
    if numpy is not None:
        if isinstance(value, numpy.ndarray):
            if value.dtype.kind == "c":
                return value, True  # split whole by _split, without a loop here
            if value.dtype.kind != "O":
                return value.tolist(), False
            value = value.tolist()  # objects: converted one by one below
            if not isinstance(value, list):
                return _convert(value)
        elif isinstance(value, numpy.generic):
            return _convert(value.item())
    if isinstance(value, (list, tuple)):
        if _PLAIN_NUMBERS.issuperset(map(type, value)):  # a spectrum as Python numbers
            return value if type(value) is list else list(value), False
        items = [_convert(item) for item in value]
        if all(_is_number(item) for item, _ in items):
            return [item for item, _ in items], any(c for _, c in items)
        return [_split(item) if c else item for item, c in items], False
    return value, False


def _is_number(value: Any) -> bool:
    """Whether `value` can be a part of an array of numbers: a number that
    is no bool, or a list of such parts."""
    if isinstance(value, list):
        return all(_is_number(item) for item in value)
    numpy = sys.modules.get("numpy")
    if numpy is not None and isinstance(value, numpy.ndarray):
        return True
    return isinstance(value, (int, float, complex)) and not isinstance(value, bool)


def _split(value: Any) -> dict[str, Any]:
    """A complex number, or a (nested) list of numbers holding one, as its
    real and imaginary parts, each in the same shape, as floats."""
    return {"real": _part(value, "real"), "imag": _part(value, "imag")}


def _part(value: Any, name: str) -> Any:
    if isinstance(value, list):
        return [_part(item, name) for item in value]
    numpy = sys.modules.get("numpy")
    if numpy is not None and isinstance(value, numpy.ndarray):
        return getattr(value, name).tolist()
    if isinstance(value, complex):
        return getattr(value, name)
    return float(value) if name == "real" else 0.0


def _key(key: Any) -> Any:
    numpy = sys.modules.get("numpy")
    if numpy is not None and isinstance(key, numpy.generic):
        return key.item()
    return key
