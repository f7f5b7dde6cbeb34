"""Comparing results bit for bit, as the promise of identical results means it, and seeding
inputs with the values that tell arithmetic paths apart."""

from __future__ import annotations

import numpy as np


def same_bits(a: np.ndarray, b: np.ndarray, strict: bool = False) -> bool:
    """True when both arrays hold the same bits, telling -0.0 from 0.0.

    Every NaN counts as the same NaN: the sign and payload of a NaN that meets another NaN
    depend on operand order, which IEEE arithmetic leaves free within one operation. With
    ``strict`` NaNs must agree in sign and payload as well: for results whose order of
    operations is fixed, such as one native call against the same call on another team size.
    """
    a, b = np.array(a, order="C"), np.array(b, order="C")
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if not strict and a.dtype in (np.float64, np.complex128):
        for values in (a.reshape(-1).view(np.float64), b.reshape(-1).view(np.float64)):
            values[np.isnan(values)] = np.nan
    return bool(np.array_equal(a.reshape(-1).view(np.uint8), b.reshape(-1).view(np.uint8)))


SPECIAL_VALUES = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-310, -1e308, 1.0])


def sprinkle(rng: np.random.Generator, values: np.ndarray, fraction: float = 0.1) -> np.ndarray:
    """Replace a random fraction of the (float or complex) entries of ``values``, in place, by
    NaN, infinities, signed zeros and a subnormal; returns ``values``."""
    flat = values.reshape(-1).view(np.float64)
    count = max(1, int(flat.size * fraction)) if flat.size else 0
    where = rng.choice(flat.size, size=count, replace=False) if count else []
    flat[where] = rng.choice(SPECIAL_VALUES, size=count)
    return values
