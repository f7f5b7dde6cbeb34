"""Checks of a run that is valid but cannot give a meaningful signal.

``warn_if_empty`` warns before a run of an experiment without any magnetization (all of its
signals are zero); ``check_finite`` refuses a signal that overflowed, naming the input that
drove it there.
"""

from __future__ import annotations

import math
import warnings

import numpy as np

from korvel.host.experiment import EmptyExperimentWarning, Experiment, ExperimentError

__all__ = ["check_finite", "magnetization_sources", "warn_if_empty"]


def magnetization_sources(experiment: Experiment) -> list[str]:
    """Where the experiment's magnetization comes from: inflow, initial magnetization,
    equilibrium (empty: nowhere)."""
    sources = []
    inflow = experiment.inflow
    if inflow is not None and inflow.bolus.dose > 0 and inflow.polarization != 0 \
            and np.any(experiment.delivery > 0):
        sources.append("inflow")
    if any(np.any(m != 0) for m in experiment.initial_magnetization):
        sources.append("initial magnetization")
    concentration = inflow is not None and inflow.bolus.dose > 0 and np.any(
        experiment.delivery > 0) or any(np.any(c != 0) for c in experiment.initial_concentration)
    if experiment.equilibrium != 0 and concentration:
        sources.append("equilibrium")
    return sources


def warn_if_empty(experiment: Experiment, stacklevel: int = 3) -> None:
    if not magnetization_sources(experiment):
        warnings.warn("the experiment has no magnetization (no polarized inflow, no initial "
                      "magnetization, no equilibrium term): every signal will be zero",
                      EmptyExperimentWarning, stacklevel=stacklevel)


def _largest_inputs(experiment: Experiment) -> list[tuple[float, str]]:
    """The magnitudes that scale the signal, each with how the message names it."""
    names = [m.name for m in experiment.metabolites]
    values = [(abs(experiment.equilibrium), "equilibrium")]
    for label, maps in (("initial_magnetization", experiment.initial_magnetization),
                        ("initial_concentration", experiment.initial_concentration)):
        values += [(float(np.max(np.abs(m), initial=0.0)), f"{label} of {n!r}")
                   for n, m in zip(names, maps)]
    values.append((float(np.max(np.abs(experiment.receive), initial=0.0)), "receive"))
    values.append((float(np.max(np.abs(experiment.delivery), initial=0.0)), "delivery"))
    if experiment.inflow is not None:
        bolus = experiment.inflow.bolus
        values += [(bolus.dose, "bolus dose"), (bolus.dose / bolus.duration, "bolus dose / duration"),
                   (abs(experiment.inflow.polarization), "inflow polarization")]
    return sorted(values, reverse=True)


# Doubles per piece of the one pass over the signal (1 MiB: the piece's maximum and minimum
# read it from the cache).
_PIECE = 1 << 17


def _largest_part(signal: np.ndarray) -> float:
    """The largest magnitude of the real and imaginary parts of ``signal``: inf if one is
    infinite, NaN if one is NaN. One pass over the array, without a temporary of its size."""
    # In memory order: a view of a transposed array, a copy only of one with gaps.
    parts = np.ravel(signal, order="K").view(np.float64)
    largest = 0.0
    for start in range(0, parts.shape[0], _PIECE):
        piece = parts[start:start + _PIECE]
        # max and min carry a NaN through; the comparison below would drop it.
        high, low = float(piece.max()), float(piece.min())
        if math.isnan(high) or math.isnan(low):
            return math.nan
        largest = max(largest, high, -low)
    return largest


def check_finite(experiment: Experiment, signal: np.ndarray) -> None:
    """Raise ExperimentError naming the likely cause if ``signal`` holds inf or NaN.

    ``signal`` is in the drivers' layout, (nvoxels, nmetabolites, ncoils, nexcitations); the
    message names the first non-finite value's metabolite, voxel, coil and excitation. Every
    input is finite, so a non-finite signal is an overflow of large values (or of their
    products): the message names the largest inputs.
    """
    terms = max(signal.size, 1) * max(1.0, experiment.acquisition.repetition_time)
    limit = np.finfo(np.float64).max / terms
    largest_part = _largest_part(signal)
    # |z| <= sqrt(2) max(|re z|, |im z|): below this no modulus reaches the limit.
    if largest_part <= limit / 2:
        return
    largest = [f"{name} = {value:g}" for value, name in _largest_inputs(experiment)[:2]
               if value > 0 and math.isfinite(value)]
    cause = f"the largest inputs are {', '.join(largest)}: scale them down"
    finite = np.isfinite(signal)
    if not finite.all():
        voxel, pool, coil, excitation = (int(i) for i in np.argwhere(~finite)[0])
        raise ExperimentError(
            f"the signal overflowed to inf or NaN (first at metabolite "
            f"{experiment.metabolites[pool].name!r}, voxel {voxel}, coil {coil}, excitation "
            f"{excitation}); {cause}")
    # The summaries add the signal over coils, voxels and excitations (times the repetition
    # time): those sums must stay finite too.
    peak = float(np.max(np.abs(signal), initial=0.0))
    if peak > limit:
        raise ExperimentError(f"the signal reaches {peak:.3g}, too large for its sums over "
                              f"coils, voxels and excitations to stay finite; {cause}")
