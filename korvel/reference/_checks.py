"""Argument checks shared by the reference functions, raising the native module's messages."""

from __future__ import annotations

import numpy as np


def require_array(name: str, value: object) -> np.ndarray:
    """Return ``value`` if it is an ndarray, else raise the native module's TypeError."""
    if isinstance(value, np.ndarray):
        return value
    if value is None:
        raise TypeError(f"Argument '{name}' must not be None")
    raise TypeError(
        f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {type(value).__name__})"
    )


def require(condition: bool, message: str) -> None:
    """Raise ValueError(message) unless ``condition`` holds."""
    if not condition:
        raise ValueError(message)


def require_contiguous(arrays: tuple[np.ndarray, ...], message: str) -> None:
    """Raise ValueError(message) unless every array is C-contiguous."""
    require(all(a.flags.c_contiguous for a in arrays), message)


def require_team(num_threads: int) -> None:
    """Validate a team size the way the native module does."""
    require(int(num_threads) >= 1, "num_threads must be positive")
