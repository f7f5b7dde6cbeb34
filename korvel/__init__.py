"""Strict floating-point kernels of a dynamic hyperpolarized 13C metabolic MRI simulation.

``korvel.pelorine`` is the native extension: it applies coefficients that the host computed with
NumPy to state arrays in place, in a fixed IEEE operation order, across an OpenMP thread team.
``korvel.reference`` performs the same operations in pure NumPy, bit for bit.
"""

from korvel import pelorine, reference

__all__ = ["pelorine", "reference"]
__version__ = "0.1.0"
