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


def check_finite(experiment: Experiment, signal: np.ndarray) -> None:
    """Raise ExperimentError naming the likely cause if ``signal`` holds inf or NaN.

    Every input is finite, so a non-finite signal is an overflow of large values (or of their
    products): the message names the largest inputs.
    """
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
    terms = signal.size * max(1.0, experiment.acquisition.repetition_time)
    if peak > np.finfo(np.float64).max / terms:
        raise ExperimentError(f"the signal reaches {peak:.3g}, too large for its sums over "
                              f"coils, voxels and excitations to stay finite; {cause}")
