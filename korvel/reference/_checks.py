"""Argument checks shared by the reference functions, raising the native module's messages."""

from __future__ import annotations

import numpy as np


_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE


def type_name(value: object) -> str:
    """The name the C API gives the type of ``value`` (its ``tp_name``): qualified by its module
    for a type defined in C outside builtins (``numpy.float64``), plain for a class statement."""
    kind = type(value)
    if kind.__flags__ & _HEAP_TYPE or kind.__module__ == "builtins":
        return kind.__name__
    return f"{kind.__module__}.{kind.__name__}"


def require_array(name: str, value: object) -> np.ndarray:
    """Return ``value`` if it is an ndarray, else raise the native module's TypeError."""
    if isinstance(value, np.ndarray):
        return value
    if value is None:
        raise TypeError(f"Argument '{name}' must not be None")
    raise TypeError(
        f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {type_name(value)})"
    )


def require(condition: bool, message: str) -> None:
    """Raise ValueError(message) unless ``condition`` holds."""
    if not condition:
        raise ValueError(message)


def require_contiguous(arrays: tuple[np.ndarray, ...], message: str) -> None:
    """Raise ValueError(message) unless every array is C-contiguous."""
    require(all(a.flags.c_contiguous for a in arrays), message)


def require_writable(arrays: dict) -> None:
    """Arrays a function writes must be writable: the native module's last check, which keeps a
    read-only array from failing halfway through the writes. Like the native module it asks the
    array itself, not a subclass's ``flags`` attribute."""
    for name, array in arrays.items():
        require(np.ndarray.flags.__get__(array).writeable, f"{name} must be writable")


def require_team(num_threads: int) -> None:
    """Validate a team size the way the native module does."""
    require(int(num_threads) >= 1, "num_threads must be positive")
