"""What a researcher does with simulations: add noise, measure curves, sweep, make figures.

- ``noise``: ``add_noise``, white complex Gaussian noise at a stated SNR or level;
- ``metrics``: model-free metrics of curves (area ratio, time to peak, mean time);
- ``parameters``: the names a sweep varies, applied with ``dataclasses.replace``;
- ``sweep``: ``sweep``, an experiment over a grid of parameters and noise draws;
- ``labelled``: ``Labelled``, the small labelled array a sweep returns;
- ``figures``: ``plot_result`` and ``plot_sweep`` (matplotlib, imported on first use).
"""

from korvel.analysis.labelled import Labelled
from korvel.analysis.metrics import auc_ratio, curve_metrics, mean_time, time_to_peak
from korvel.analysis.noise import add_noise, noise_sigma
from korvel.analysis.parameters import apply_parameter
from korvel.analysis.sweep import METRICS, Metric, SweepResult, sweep


def plot_result(*args, **kwargs):
    """``korvel.analysis.figures.plot_result`` (imports matplotlib)."""
    from korvel.analysis.figures import plot_result as plot

    return plot(*args, **kwargs)


def plot_sweep(*args, **kwargs):
    """``korvel.analysis.figures.plot_sweep`` (imports matplotlib)."""
    from korvel.analysis.figures import plot_sweep as plot

    return plot(*args, **kwargs)


__all__ = [
    "METRICS", "Labelled", "Metric", "SweepResult", "add_noise", "apply_parameter",
    "auc_ratio", "curve_metrics", "mean_time", "noise_sigma", "plot_result", "plot_sweep",
    "sweep", "time_to_peak",
]
