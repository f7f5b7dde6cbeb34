"""The coefficient preparers: spatial RF rotation coefficients and free-evolution factors.

The arithmetic is vectorised as elsewhere, but every transcendental value comes from one scalar
call of the C math library, as in the native module: NumPy's own ``exp``/``sin``/``cos`` and
Python's ``math.hypot`` are different implementations, and ``math.exp``/``math.sin`` raise where
the C functions return infinity or NaN.
"""

from __future__ import annotations

import ctypes
import ctypes.util

import numpy as np

from korvel.reference._checks import require, require_array, require_contiguous


def _libm_function(name: str, nargs: int):
    function = getattr(_LIBM, name)
    function.argtypes = [ctypes.c_double] * nargs
    function.restype = ctypes.c_double
    return function


_LIBM = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
libm_exp = _libm_function("exp", 1)
libm_sin = _libm_function("sin", 1)
libm_cos = _libm_function("cos", 1)
libm_hypot = _libm_function("hypot", 2)

TWO_PI = np.float64(6.283185307179586)
MINUS_TWO_PI = np.float64(-6.283185307179586)


def _elementwise(function, *arrays: np.ndarray) -> np.ndarray:
    """One scalar libm call per element, in flat order."""
    out = np.empty(arrays[0].shape, dtype=np.float64)
    flat = out.reshape(-1)
    for i, values in enumerate(zip(*(a.reshape(-1).tolist() for a in arrays))):
        flat[i] = function(*values)
    return out


def spatial_rf_coefficients(rf_real, rf_imag, tx_real, tx_imag, duration):
    """Axis, cosine and sine of the rotation of each voxel; arrays in, four arrays out."""
    effective_real = (rf_real * tx_real) - (rf_imag * tx_imag)
    effective_imag = (rf_real * tx_imag) + (rf_imag * tx_real)
    nx = (MINUS_TWO_PI * effective_real) * duration
    ny = (TWO_PI * effective_imag) * duration
    angle = _elementwise(libm_hypot, nx, ny)
    still = angle == 0.0
    axis_x = np.where(still, np.float64(1.0), nx / angle)
    axis_y = np.where(still, np.float64(0.0), ny / angle)
    return axis_x, axis_y, _elementwise(libm_cos, angle), _elementwise(libm_sin, angle)


def prepare_spatial_rf_rotation_coefficients(rf_real, rf_imag, tx_sensitivity, duration):
    """Prepare spatial-B1 coefficients with chunk-stable scalar libm calls."""
    rf_real, rf_imag, duration = (np.float64(float(v)) for v in (rf_real, rf_imag, duration))
    tx_sensitivity = require_array("tx_sensitivity", tx_sensitivity)
    nvoxels = tx_sensitivity.shape[0]
    results = [np.empty(nvoxels, dtype=np.float64) for _ in range(4)]
    require_contiguous((tx_sensitivity,), "tx_sensitivity must be C-contiguous")
    require(not duration <= 0.0, "duration must be positive")
    with np.errstate(all="ignore"):  # NaN and infinities propagate silently, as in the module
        values = spatial_rf_coefficients(
            rf_real, rf_imag, tx_sensitivity.real, tx_sensitivity.imag, duration
        )
    for result, value in zip(results, values):
        result[...] = value
    return tuple(results)


def transverse_factors(phase_cycles, decay):
    """exp(-2 pi i phase) scaled by the decay of its row; ``decay`` has one value per row."""
    angle = MINUS_TWO_PI * phase_cycles
    decay = decay[:, np.newaxis]
    return _elementwise(libm_cos, angle) * decay, _elementwise(libm_sin, angle) * decay


def prepare_transverse_factors_coefficients(phase_cycles, t2_s, duration):
    """Prepare complex free-evolution factors in a chunk-stable order."""
    duration = np.float64(float(duration))
    phase_cycles = require_array("phase_cycles", phase_cycles)
    t2_s = require_array("t2_s", t2_s)
    npools, nvoxels = phase_cycles.shape
    factors = np.empty((npools, nvoxels), dtype=np.complex128)
    require(t2_s.shape[0] == npools, "t2_s must contain one value per pool")
    require_contiguous((phase_cycles, t2_s), "transverse coefficient inputs must be C-contiguous")
    with np.errstate(all="ignore"):
        decay = _elementwise(libm_exp, (-duration) / t2_s)
        factors.real, factors.imag = transverse_factors(phase_cycles, decay)
    return factors
