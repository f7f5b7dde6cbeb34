"""Free evolution: multiplication of transverse values by complex factors, as real operations."""

from __future__ import annotations


def evolve_transverse(real, imag, factor_real, factor_imag):
    """(real + i imag) times (factor_real + i factor_imag); both parts from the old values."""
    return ((real * factor_real) - (factor_imag * imag),
            (real * factor_imag) + (factor_real * imag))
