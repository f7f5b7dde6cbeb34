"""Measurement noise: white complex Gaussian noise added to every coil and sample.

The noise level is ``sigma``, the standard deviation of the real part and, independently, of
the imaginary part of the noise in each coil's sample (the usual convention of MRI, in which the
magnitude of pure noise follows a Rayleigh distribution of parameter sigma). Every coil has the
same level and the coils are uncorrelated.

Given as a signal-to-noise ratio, ``sigma = reference / snr``, where the reference is the peak
of the precursor's coil-combined magnitude (root sum of squares over coils):

- ``reference="experiment"`` (default): the peak over every voxel and excitation of the result.
  One noise level for the whole experiment, as in a scanner; voxels with less signal are
  noisier. This makes "SNR 20" mean what it means on a scanner's pyruvate image at its
  brightest voxel and frame.
- ``reference="voxel"``: each voxel's own precursor peak, so every voxel has the given SNR (a
  convenient way to compare voxels of different perfusion at equal SNR).

To compare experiments that acquire different signal (flip schedules, B1 errors), keep the noise
level fixed instead: pass ``sigma``, an absolute level in the units of the signal.
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np

from korvel.host.result import SimulationResult, coil_combined_magnitude

__all__ = ["REFERENCES", "add_noise", "noise_sigma"]

REFERENCES = ("experiment", "voxel")


def positive_level(name: str, value, *, allow_zero: bool) -> float:
    """``value`` as a float, checked: a finite positive number (or zero, ``allow_zero``)."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, got {value!r}")
    value = float(value)
    if not math.isfinite(value) or value < 0 or (value == 0 and not allow_zero):
        raise ValueError(f"{name} must be {'non-negative' if allow_zero else 'positive'} "
                         f"and finite, got {value}")
    return value


def noise_sigma(result: SimulationResult, snr: float,
                reference: str = "experiment") -> np.ndarray:
    """The noise level per voxel, (nvoxels,), that gives ``result`` the signal-to-noise ratio
    ``snr`` against ``reference`` (see the module's description)."""
    if not isinstance(result, SimulationResult):
        raise TypeError(f"result must be a SimulationResult, got {type(result).__name__}")
    snr = positive_level("snr", snr, allow_zero=False)
    if reference not in REFERENCES:
        raise ValueError(f"reference must be one of {', '.join(REFERENCES)}, got {reference!r}")
    # Only the precursor sets the level: its products need not be combined.
    precursor = coil_combined_magnitude(result.signal[:1])[0]  # (nvoxels, nexcitations)
    if not np.all(np.isfinite(precursor)):
        raise ValueError("the precursor's signal is not finite: no SNR reference")
    nvoxels = precursor.shape[0]
    if reference == "experiment":
        peak = np.full(nvoxels, precursor.max(initial=0.0))
        if peak[0] == 0:
            raise ValueError("the precursor's signal is zero everywhere: an SNR has no "
                             "reference (give sigma instead)")
    else:
        peak = precursor.max(axis=1, initial=0.0)
        if np.any(peak == 0):
            raise ValueError(f"the precursor's signal is zero in voxel "
                             f"{int(np.argmax(peak == 0))}: an SNR has no reference there "
                             f"(give sigma, or reference='experiment')")
    return peak / snr


def add_noise(result: SimulationResult, snr: float | None = None, *, sigma: float | None = None,
              reference: str = "experiment", seed=None) -> SimulationResult:
    """A copy of ``result`` with white complex Gaussian noise added to every coil and sample.

    Give either ``snr`` (the peak of the precursor's coil-combined magnitude over the noise
    level, the peak taken over the experiment or per voxel: ``reference``) or ``sigma`` (the
    standard deviation of the real and of the imaginary part of the noise). ``seed``, an int, a
    ``numpy.random.SeedSequence`` or a ``numpy.random.Generator`` (which is advanced), makes
    the draw reproducible; None draws fresh entropy. The input is not modified; the copy's
    ``noise_sigma`` holds the level of each voxel.
    """
    if not isinstance(result, SimulationResult):
        raise TypeError(f"result must be a SimulationResult, got {type(result).__name__}")
    if (snr is None) == (sigma is None):
        raise TypeError("give exactly one of snr and sigma")
    nvoxels = result.signal.shape[2]
    if sigma is not None:
        level = np.full(nvoxels, positive_level("sigma", sigma, allow_zero=True))
    else:
        level = noise_sigma(result, snr, reference)
    try:
        generator = np.random.default_rng(seed)
    except (TypeError, ValueError) as error:
        raise TypeError(f"seed must be None, an int, a SeedSequence or a Generator: "
                        f"{error}") from None
    # Real and imaginary parts interleaved, in the signal's C order: one draw per value. The
    # draw is scaled and added in place (the same bits as a scaled copy added to the signal):
    # at a few hundred thousand voxels the temporaries, not the draw, took the time.
    draw = generator.standard_normal(result.signal.shape + (2,))
    draw *= level[np.newaxis, np.newaxis, :, np.newaxis, np.newaxis]
    noise = draw.view(np.complex128)[..., 0]
    noise += result.signal
    if result.noise_sigma is not None:  # independent noise adds in quadrature
        level = np.hypot(level, result.noise_sigma)
    return dataclasses.replace(result, signal=noise, noise_sigma=level)
