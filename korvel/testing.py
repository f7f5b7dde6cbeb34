"""Comparing results bit for bit, as the promise of identical results means it."""

from __future__ import annotations

import numpy as np


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    """True when both arrays hold the same bits, telling -0.0 from 0.0.

    Every NaN counts as the same NaN: the sign and payload of a NaN that meets another NaN
    depend on operand order, which IEEE arithmetic leaves free within one operation.
    """
    a, b = np.array(a, order="C"), np.array(b, order="C")
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if a.dtype in (np.float64, np.complex128):
        for values in (a.reshape(-1).view(np.float64), b.reshape(-1).view(np.float64)):
            values[np.isnan(values)] = np.nan
    return bool(np.array_equal(a.reshape(-1).view(np.uint8), b.reshape(-1).view(np.uint8)))
