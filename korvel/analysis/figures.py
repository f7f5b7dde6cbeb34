"""Figures for a slide: the curves of a simulation and the metrics of a sweep.

Figures are made without pyplot (``matplotlib.figure.Figure``), so they need no display and
leave the interactive backend of a session alone; a notebook shows the returned figure, and
``path=`` writes it (PNG, PDF or SVG from the suffix).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from pathlib import Path

import numpy as np
from matplotlib.figure import Figure

from korvel.host.experiment import FlipAngles
from korvel.host.result import SimulationResult

__all__ = ["describe_acquisition", "plot_result", "plot_sweep"]

PANEL_WIDTH, PANEL_HEIGHT = 3.6, 2.7  # inches per panel
DPI = 150


def _grid(panels: int, max_columns: int = 3) -> tuple[int, int]:
    """Rows and columns for ``panels``: near square, at most ``max_columns`` wide."""
    columns = max(1, min(panels, max_columns, math.ceil(math.sqrt(panels))))
    return math.ceil(panels / columns), columns


def _number(value: float) -> str:
    return f"{value:.3g}"


def _rate_range(values: np.ndarray) -> str:
    low, high = float(np.min(values)), float(np.max(values))
    return _number(low) if low == high else f"{_number(low)}–{_number(high)}"


def _schedule(angles: np.ndarray, kind: str | None) -> str:
    """One schedule in words: constant, variable (ending at its last angle) or listed."""
    if np.all(angles == angles[0]):
        return f"constant {_number(angles[0])}°"
    spread = f"{_number(angles.min())}–{_number(angles.max())}°"
    if kind == "variable":
        return f"variable, ending at {_number(angles[-1])}° ({spread})"
    return f"listed, {spread}"


def describe_acquisition(source, experiment=None) -> str:
    """One line: TR, excitations and the flip schedules of a ``SimulationResult`` (their kinds
    from ``experiment``, where given) or of an ``Experiment``; one schedule per metabolite
    where they differ."""
    if isinstance(source, SimulationResult):
        angles, tr = np.asarray(source.metabolite_flip_angles), source.repetition_time
        start, names = float(source.time[0]), source.metabolites
    else:
        experiment, acquisition = source, source.acquisition
        angles = np.degrees(experiment.flip_angle_schedules())
        tr, start = acquisition.repetition_time, float(acquisition.readout_times()[0])
        names = tuple(m.name for m in experiment.metabolites)
    flips = None if experiment is None else experiment.acquisition.flip_angles
    kinds = [None if flips is None else getattr(flips.get(name) if isinstance(flips, Mapping)
                                                else flips, "kind", None) for name in names]
    if all(np.array_equal(row, angles[0]) for row in angles) and len(set(kinds)) == 1:
        schedule = _schedule(angles[0], kinds[0])
    else:
        schedule = ", ".join(f"{name} {_schedule(row, kind)}"
                             for name, row, kind in zip(names, angles, kinds))
    return (f"TR {_number(tr)} s, {angles.shape[1]} excitations from {_number(start)} s, "
            f"flip angles {schedule}")


def plain_text(text: str) -> str:
    """``text`` as matplotlib shows it literally: a ``$`` would start a formula."""
    import matplotlib

    if matplotlib.rcParams["text.parse_math"]:
        text = text.replace("$", r"\$")
    return text if not text.startswith("_") else " " + text  # "_..." labels are hidden


def _region_label(region: str, result: SimulationResult, experiment) -> str:
    if experiment is None:
        return plain_text(region)
    where = np.array(result.regions) == region
    rates = ", ".join(f"{p.name} {_rate_range(rate[where])}"
                      for p, rate in zip(experiment.products, experiment.conversion_rates))
    return f"{plain_text(region)}\n{rates}"


def _figure(width: float, height: float) -> Figure:
    """A figure on its own Agg canvas: drawable and savable with no display and no pyplot."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    figure = Figure(figsize=(width, height), layout="constrained")
    FigureCanvasAgg(figure)
    return figure


def _save(figure: Figure, path) -> None:
    if path is not None:
        figure.savefig(Path(path), dpi=DPI)


def plot_result(result: SimulationResult, experiment=None, *, path=None,
                max_columns: int = 3) -> Figure:
    """The mean coil-combined magnitude of every region against time, one panel per
    metabolite, and the flip schedule in its own panel.

    The title names the acquisition (TR, excitations, flip schedule); given the ``experiment``
    the result came from, the legend (outside the panels) gives each region's conversion
    rates. Panels wrap into rows of ``max_columns``.
    """
    if not isinstance(result, SimulationResult):
        raise TypeError(f"result must be a SimulationResult, got {type(result).__name__}")
    curves = result.region_curves()
    regions = result.region_names()
    nmetabolites = len(result.metabolites)
    rows, columns = _grid(nmetabolites + 1, max_columns)
    legend_columns = math.ceil(len(regions) / (12 if experiment is not None else 24))
    figure = _figure(PANEL_WIDTH * columns + 2.2 * legend_columns, PANEL_HEIGHT * rows + 0.9)
    axes = figure.subplots(rows, columns, squeeze=False).ravel()
    colours = _colours(len(regions))
    lines = []
    for m, name in enumerate(result.metabolites):
        axis = axes[m]
        for r in range(len(regions)):
            (line,) = axis.plot(result.readout_times[m], curves[m, r], marker="o", markersize=2.5,
                                linewidth=1.2, color=colours[r])
            if m == 0:
                lines.append(line)
        axis.set_title(plain_text(name))
        axis.set_ylabel("signal (a.u.)")
    flips = axes[nmetabolites]
    angles, times = result.metabolite_flip_angles, result.readout_times
    if np.array_equal(angles, angles[:1].repeat(len(angles), 0)) and \
            np.array_equal(times, times[:1].repeat(len(times), 0)):
        flips.vlines(result.time, 0, result.flip_angles, color="0.55", linewidth=1.0)
        flips.plot(result.time, result.flip_angles, "o", color="0.2", markersize=3)
    else:  # each metabolite its own schedule, in its own metabolite's colour
        styles = ("o-", "s--", "^:", "d-.")  # schedules that coincide stay told apart
        for m, name in enumerate(result.metabolites):
            (line,) = flips.plot(times[m], angles[m], styles[m % len(styles)],
                                 markersize=4 - m % 3, linewidth=1.0)
            # Named above the start of its line (the figure's one legend is the regions');
            # the names of schedules that coincide stack upwards.
            under = sum(np.array_equal(angles[k], angles[m]) for k in range(m))
            flips.annotate(plain_text(name), (times[m][0], angles[m][0]), fontsize="small",
                           xytext=(2, 4 + 10 * under), textcoords="offset points",
                           color=line.get_color(), va="bottom")
    flips.set_ylim(0, max(float(np.max(angles)), 1.0) * (1.1 if not flips.texts else 1.35))
    flips.set_title("flip schedule")
    flips.set_ylabel("nominal flip angle (°)" if experiment is not None
                     and experiment.transmit is not None else "flip angle (°)")
    for axis in axes[:nmetabolites + 1]:
        axis.set_xlabel("time (s)")
        axis.grid(alpha=0.3)
        axis.set_xlim(0, float(np.max(result.readout_times)) + result.repetition_time / 2)
    for axis in axes[nmetabolites + 1:]:
        axis.set_visible(False)
    noise = "" if result.noise_sigma is None else ", with noise"
    rates = "" if experiment is None else "\nconversion rates (1/s): " + ", ".join(
        f"{p.name} {_rate_range(rate)}"
        for p, rate in zip(experiment.products, experiment.conversion_rates))
    figure.suptitle(f"{', '.join(result.metabolites)}: mean signal per region{noise}\n"
                    f"{describe_acquisition(result, experiment)}{rates}", fontsize=11)
    figure.legend(lines, [_region_label(r, result, experiment) for r in regions],
                  loc="outside right center", fontsize=8, title_fontsize=9, frameon=False,
                  ncol=legend_columns,
                  title="region" if experiment is None else "region\nconversion rates (1/s)")
    _save(figure, path)
    return figure


def _colours(count: int) -> list:
    from matplotlib import colormaps

    if count <= 10:
        return [colormaps["tab10"](i) for i in range(count)]
    return [colormaps["viridis"](i / (count - 1)) for i in range(count)]


def plot_sweep(sweep, x: str | None = None, *, path=None, max_columns: int = 3,
               title: str | None = None, subtitle: str | None = None) -> Figure:
    """A metric of a sweep (``korvel.analysis.SweepResult`` or its ``Labelled`` metric) against
    one parameter: the mean over the noise draws with a band of one standard deviation, one
    line per value of a second parameter, one panel per remaining label (product, voxel...).

    ``x`` is the parameter on the horizontal axis (default: the first). Parameters beyond two
    are averaged over. ``title`` replaces the first line of the title; ``subtitle`` (by
    default the acquisition of a ``SweepResult``'s experiment) is the second.
    """
    from korvel.analysis.labelled import Labelled

    if isinstance(sweep, Labelled):
        metric, name, units = sweep, sweep.name, sweep.units
    else:
        subtitle = subtitle or describe_acquisition(sweep.experiment)
        if len(sweep.metrics) != 1:
            raise ValueError(f"the sweep has several metrics ({', '.join(sweep.metrics)}): "
                             f"pass one, e.g. sweep.metrics[{next(iter(sweep.metrics))!r}]")
        name = next(iter(sweep.metrics))
        metric = sweep.metrics[name]
        units = metric.units
    parameters = [d for d in metric.dims if d in metric.parameters]
    if not parameters:
        raise ValueError("the metric has no parameter axis to plot against")
    x = parameters[0] if x is None else x
    if x not in parameters:
        raise ValueError(f"x must be one of the parameters {', '.join(parameters)}, got {x!r}")
    second = next((p for p in parameters if p != x), None)
    for extra in parameters:
        if extra not in (x, second):
            metric = metric.reduce(extra, np.nanmean)
    draws = "draw" in metric.dims and len(metric.coords["draw"]) > 1
    mean = metric.reduce("draw", np.nanmean) if "draw" in metric.dims else metric
    spread = metric.reduce("draw", lambda a, axis: np.nanstd(a, axis=axis, ddof=1)) \
        if draws else None
    panel_dims = [d for d in mean.dims if d not in (x, second)]
    panel_keys = list(np.ndindex(*[len(mean.coords[d]) for d in panel_dims])) or [()]
    rows, columns = _grid(len(panel_keys), max_columns)
    figure = _figure(PANEL_WIDTH * columns + (2.0 if second else 0.4),
                     PANEL_HEIGHT * rows + 0.8)
    axes = figure.subplots(rows, columns, squeeze=False).ravel()
    xs = np.arange(len(mean.coords[x]))
    numeric = all(isinstance(v, (int, float, np.integer, np.floating)) for v in mean.coords[x])
    if numeric:
        xs = np.asarray(mean.coords[x], dtype=float)
    seconds = list(mean.coords[second]) if second else [None]
    colours = _colours(len(seconds))
    handles = []
    for axis, key in zip(axes, panel_keys):
        selection = {d: mean.coords[d][i] for d, i in zip(panel_dims, key)}
        for s, value in enumerate(seconds):
            where = dict(selection, **({second: value} if second else {}))
            y = mean.sel(**where).transpose(x).values
            (line,) = axis.plot(xs, y, marker="o", markersize=3, color=colours[s])
            if spread is not None:
                e = spread.sel(**where).transpose(x).values
                axis.fill_between(xs, y - e, y + e, color=colours[s], alpha=0.2, linewidth=0)
            if axis is axes[0]:
                handles.append(line)
        if not numeric:
            axis.set_xticks(xs, [_label(v) for v in mean.coords[x]], rotation=20, fontsize=8)
        elif np.all(xs > 0) and xs.max() >= 20 * xs.min():
            axis.set_xscale("log")  # e.g. an SNR from 5 to 200
        axis.set_xlabel(_axis_label(x, metric.parameter_units.get(x)))
        axis.set_ylabel(_axis_label(METRIC_LABELS.get(name, name), units))
        axis.set_title(", ".join(_label(v) for v in selection.values()) or name)
        axis.grid(alpha=0.3)
    for axis in axes[len(panel_keys):]:
        axis.set_visible(False)
    if second:
        figure.legend(handles, [_label(v) for v in seconds], loc="outside right center",
                      title=_axis_label(second, metric.parameter_units.get(second)),
                      fontsize=8, title_fontsize=9, frameon=False)
    ndraws = len(metric.coords["draw"]) if "draw" in metric.dims else 1
    band = f"mean ± SD over {ndraws} noise draws" if draws else "noiseless"
    heading = title or f"{METRIC_LABELS.get(name, name)} against {x} ({band})"
    figure.suptitle(heading + (f"\n{subtitle}" if subtitle else ""), fontsize=11, wrap=True)
    _save(figure, path)
    return figure


METRIC_LABELS = {"auc_ratio": "AUC ratio to precursor", "time_to_peak": "time to peak",
                 "mean_time": "mean time"}


def _label(value) -> str:
    if isinstance(value, (float, np.floating)):
        return _number(float(value))
    if isinstance(value, FlipAngles):
        if value.kind == "list":
            return f"list {_number(min(value.angles))}–{_number(max(value.angles))}°"
        return f"{value.kind} {_number(value.angle)}°"
    return str(value)


def _axis_label(name: str, units: str | None) -> str:
    name = {"snr": "SNR (precursor peak)", "sigma": "noise sigma"}.get(name, name)
    return name if not units else f"{name} ({units})"
