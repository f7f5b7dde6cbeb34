"""Sweeps and repeated measurement: one experiment over a grid of parameters and noise draws.

    result = korvel.sweep(experiment, {"rate.lactate": [0.01, 0.02, 0.04],
                                       "flip_angle": [10.0, 20.0, 30.0]},
                          metrics=("auc_ratio", "time_to_peak"), snr=20, draws=200, seed=1)
    ratio = result["auc_ratio"]            # Labelled: rate.lactate x flip_angle x draw x ...
    ratio.mean(), ratio.std()              # over the noise draws
    result.plot("auc_ratio", path="ratio.png")

The grid points run in parallel threads (the native kernels release the interpreter lock), each
simulation on one thread; the noise of every grid point comes from its own child of ``seed``,
so the numbers do not depend on the number of workers or the order the points finish in.
"""

from __future__ import annotations

import itertools
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from typing import Callable, Mapping, Sequence

import numpy as np

from korvel.analysis import metrics as _metrics
from korvel.analysis.labelled import Labelled
from korvel.analysis.noise import REFERENCES, add_noise
from korvel.analysis.noise import positive_level as _level
from korvel.analysis.parameters import apply_parameter, parameter_units
from korvel.host.experiment import Experiment
from korvel.host.result import SimulationResult
from korvel.host.simulation import BACKENDS

__all__ = ["METRICS", "Metric", "NOISE_AXES", "SweepResult", "sweep"]

NOISE_AXES = ("snr", "sigma")


@dataclass(frozen=True)
class Metric:
    """A metric of a simulation result: ``function(result)`` returns a number or an array
    whose axes are ``dims`` (with ``coords`` along them, default positions) in ``units``.
    A function that needs the experiment takes it as a second argument (``needs_experiment``).
    """

    function: Callable
    dims: tuple[str, ...] = ()
    units: str = ""
    coords: Callable[[SimulationResult], dict] | None = None
    needs_experiment: bool = False


def _region_metric(name: str):
    def compute(result: SimulationResult) -> np.ndarray:
        curves = np.moveaxis(result.region_curves(), 1, 0)  # (nregions, nmetabolites, nframes)
        return getattr(_metrics, name)(curves, result.time)
    return compute


def _coords_products(result):
    return {"region": result.region_names(), "product": result.metabolites[1:]}


def _coords_metabolites(result):
    return {"region": result.region_names(), "metabolite": result.metabolites}


METRICS = {
    "auc_ratio": Metric(_region_metric("auc_ratio"), ("region", "product"), "",
                        _coords_products),
    "time_to_peak": Metric(_region_metric("time_to_peak"), ("region", "metabolite"), "s",
                           _coords_metabolites),
    "mean_time": Metric(_region_metric("mean_time"), ("region", "metabolite"), "s",
                        _coords_metabolites),
}
"""The built-in metrics, on each region's mean magnitude (``korvel.analysis.metrics``)."""


@dataclass(frozen=True, eq=False)
class SweepResult:
    """The metrics of a sweep by name (``result["auc_ratio"]``), each a ``Labelled`` array
    whose axes are the parameters in the order given, then ``draw`` (with noise), then the
    metric's own axes."""

    experiment: Experiment
    parameters: dict[str, tuple]
    metrics: dict[str, Labelled]
    noise: dict = field(default_factory=dict)
    elapsed: float = 0.0

    def __getitem__(self, name: str) -> Labelled:
        return self.metrics[name]

    def mean(self, name: str) -> Labelled:
        """The metric's mean over the noise draws."""
        return self.metrics[name].mean("draw") if "draw" in self.metrics[name].dims \
            else self.metrics[name]

    def std(self, name: str) -> Labelled:
        """The metric's standard deviation over the noise draws (ddof 1)."""
        return self.metrics[name].std("draw")

    def plot(self, name: str | None = None, x: str | None = None, *, path=None, **options):
        """The metric against the parameter ``x`` (``korvel.analysis.figures.plot_sweep``)."""
        from korvel.analysis.figures import describe_acquisition, plot_sweep

        if name is None:
            if len(self.metrics) != 1:
                raise ValueError(f"name one metric of {', '.join(self.metrics)}")
            name = next(iter(self.metrics))
        if name not in self.metrics:
            raise KeyError(f"no metric {name!r}; the sweep has {', '.join(self.metrics)}")
        subtitle = (f"base: {describe_acquisition(self.experiment)}; swept: "
                    f"{', '.join(self.parameters)}")
        if self.noise.get("axis") is None and self.noise.get("snr") is not None:
            subtitle += f"; SNR {self.noise['snr']:g} (precursor peak, {self.noise['reference']})"
        elif self.noise.get("axis") is None and self.noise.get("sigma") is not None:
            subtitle += f"; noise sigma {self.noise['sigma']:g}"
        options.setdefault("subtitle", subtitle)
        return plot_sweep(self.metrics[name], x, path=path, **options)

    def __repr__(self) -> str:
        grid = " x ".join(f"{k}[{len(v)}]" for k, v in self.parameters.items())
        return f"<SweepResult {grid}; metrics: {', '.join(self.metrics)}>"


def _as_metrics(metrics) -> dict[str, Metric]:
    if isinstance(metrics, (str, Metric)) or callable(metrics):
        metrics = (metrics,)
    items = metrics.items() if isinstance(metrics, Mapping) else (
        (m if isinstance(m, str) else getattr(getattr(m, "function", m), "__name__", "metric"),
         m) for m in metrics)
    chosen = {}
    for name, metric in items:
        if isinstance(metric, str):
            if metric not in METRICS:
                raise ValueError(f"unknown metric {metric!r}; built in: {', '.join(METRICS)} "
                                 f"(or pass a callable)")
            metric = METRICS[metric]
        elif callable(metric) and not isinstance(metric, Metric):
            metric = Metric(metric)
        elif not isinstance(metric, Metric):
            raise TypeError(f"metric {name!r} must be a name, a callable or a Metric")
        chosen[str(name)] = metric
    if not chosen:
        raise ValueError("give at least one metric")
    return chosen


class _Bar:
    """A one-line count of finished grid points on stderr (after the first second)."""

    def __init__(self, total: int, enabled: bool | None):
        self.total, self.enabled, self.done = total, enabled, 0
        self.started = self.last = time.monotonic()
        self.shown = False

    def advance(self):
        self.done += 1
        now = time.monotonic()
        finished = self.done == self.total
        if self.enabled is False or not (self.enabled or now - self.started > 1.0) \
                or not (finished or now - self.last > 0.1):
            return
        self.last, self.shown = now, True
        filled = 30 * self.done // self.total
        sys.stderr.write(f"\rsweep [{'#' * filled}{'.' * (30 - filled)}] "
                         f"{self.done}/{self.total} points")
        sys.stderr.flush()

    def close(self):
        if self.shown:
            sys.stderr.write("\n")
            sys.stderr.flush()


def sweep(experiment: Experiment, parameters: Mapping[str, Sequence],
          metrics=("auc_ratio", "time_to_peak", "mean_time"), *, snr: float | None = None,
          sigma: float | None = None, reference: str = "experiment", draws: int = 1,
          seed=None, workers: int | None = None, backend: str = "native",
          apply: Mapping[str, Callable] | None = None,
          progress: bool | None = None) -> SweepResult:
    """Simulate ``experiment`` at every point of the grid of ``parameters`` (name to values,
    see ``korvel.analysis.parameters``; ``apply`` maps further names to functions
    ``(experiment, value) -> experiment``) and compute ``metrics`` on each result, or on
    ``draws`` noisy copies of it (``snr`` or ``sigma`` and ``reference``: ``korvel.add_noise``).
    ``"snr"`` or ``"sigma"`` among the parameters sweeps the noise level instead (the
    simulation of a point is then the same for every level; only its noise differs).

    ``metrics`` are names of built-in metrics (``METRICS``), callables of the result, or
    ``Metric`` objects, as a sequence or a mapping from the name to give them. ``workers``
    threads run the grid points (default: the CPUs this process may use). Every grid point's
    experiment is built and validated before anything runs.
    """
    if not isinstance(experiment, Experiment):
        raise TypeError(f"experiment must be an Experiment, got {type(experiment).__name__}")
    if not isinstance(parameters, Mapping):
        raise TypeError("parameters must map parameter names to sequences of values")
    apply = dict(apply or {})
    axes = {}
    for name, values in parameters.items():
        if isinstance(values, (str, bytes)) or not hasattr(values, "__len__") \
                or len(values) == 0:
            raise ValueError(f"parameter {name!r} needs a non-empty sequence of values")
        axes[name] = tuple(values.tolist() if isinstance(values, np.ndarray) else values)
    chosen = _as_metrics(metrics)
    # "snr" and "sigma" as axes set the noise of each point, not a field of the experiment
    noise_axes = [n for n in axes if n in NOISE_AXES and n not in apply]
    if len(noise_axes) > 1:
        raise ValueError("sweep snr or sigma, not both")
    noisy = snr is not None or sigma is not None or bool(noise_axes)
    if isinstance(draws, bool) or not isinstance(draws, (int, np.integer)) or draws < 1:
        raise ValueError(f"draws must be a positive integer, got {draws!r}")
    if draws > 1 and not noisy:
        raise ValueError("draws > 1 needs noise: give snr or sigma")
    if snr is not None and sigma is not None:
        raise TypeError("give exactly one of snr and sigma")
    if reference not in REFERENCES:
        raise ValueError(f"reference must be one of {', '.join(REFERENCES)}, got {reference!r}")
    for name in noise_axes:
        for value in axes[name]:
            _level(name, value, allow_zero=name == "sigma")
    for name, value in (("snr", snr), ("sigma", sigma)):
        if value is not None:
            _level(name, value, allow_zero=name == "sigma")
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {', '.join(BACKENDS)}, got {backend!r}")
    if workers is None:
        workers = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") \
            else (os.cpu_count() or 1)
    if isinstance(workers, bool) or not isinstance(workers, (int, np.integer)) or workers < 1:
        raise ValueError(f"workers must be a positive integer, got {workers!r}")

    points = list(itertools.product(*axes.values()))
    experiments, levels = [], []
    for point in points:  # every experiment validated before any runs
        changed, level = experiment, dict(snr=snr, sigma=sigma)
        for name, value in zip(axes, point):
            if name in noise_axes:
                level = {"snr": None, "sigma": None, name: value}
                continue
            changed = apply[name](changed, value) if name in apply \
                else apply_parameter(changed, name, value)
            if not isinstance(changed, Experiment):
                raise TypeError(f"apply[{name!r}] must return an Experiment, "
                                f"got {type(changed).__name__}")
        experiments.append(changed)
        levels.append(level)
    if isinstance(seed, np.random.Generator):
        seed = int(seed.integers(2**63))
    children = np.random.SeedSequence(seed).spawn(len(points))

    def run(index: int) -> tuple[list[dict[str, np.ndarray]], SimulationResult | None]:
        result = _simulate(experiments[index], backend)
        generator = np.random.default_rng(children[index])
        outcomes = []
        for _ in range(draws):
            sample = add_noise(result, levels[index]["snr"], sigma=levels[index]["sigma"],
                               reference=reference, seed=generator) if noisy else result
            shared = {}  # the built-in metrics share one pass over the region curves
            outcomes.append({name: _evaluate(metric, sample, experiments[index], shared)
                             for name, metric in chosen.items()})
        return outcomes, result if index == 0 else None  # the first names the metric axes

    started = time.perf_counter()
    outcomes: list = [None] * len(points)
    bar = _Bar(len(points), progress)
    executor = ThreadPoolExecutor(max_workers=min(int(workers), len(points)))
    try:
        futures = {executor.submit(run, i): i for i in range(len(points))}
        for future in as_completed(futures):
            outcomes[futures[future]] = future.result()
            bar.advance()
    except BaseException:
        executor.shutdown(wait=True, cancel_futures=True)
        raise
    finally:
        executor.shutdown(wait=True)
        bar.close()
    first_result = outcomes[0][1]
    labelled = {}
    for name, metric in chosen.items():
        stacked = _stack(name, [[draw[name] for draw in outcome[0]] for outcome in outcomes])
        extra_dims = tuple(metric.dims) or tuple(f"{name}_{i}" for i in
                                                  range(stacked.ndim - 2))
        if len(extra_dims) != stacked.ndim - 2:
            raise ValueError(f"metric {name!r} returned {stacked.ndim - 2} axes for its dims "
                             f"{extra_dims}")
        values = stacked.reshape(tuple(len(v) for v in axes.values()) + stacked.shape[1:])
        dims = (*axes, "draw", *extra_dims)
        coords = dict(axes, draw=tuple(range(draws)))
        if metric.coords is not None:
            coords.update(metric.coords(first_result))
        if not noisy:
            values = np.take(values, 0, axis=len(axes))
            dims = tuple(d for d in dims if d != "draw")
            coords.pop("draw")
        labelled[name] = Labelled(values, dims, coords, name, metric.units, tuple(axes),
                                  {p: parameter_units(p) for p in axes})
    noise = {} if not noisy else dict(snr=snr, sigma=sigma, reference=reference, draws=draws,
                                      axis=noise_axes[0] if noise_axes else None)
    return SweepResult(experiment, axes, labelled, noise, time.perf_counter() - started)


def _simulate(experiment: Experiment, backend: str) -> SimulationResult:
    from korvel.host.simulation import simulate

    return simulate(experiment, backend, num_threads=1, progress=False)


def _evaluate(metric: Metric, result: SimulationResult, experiment: Experiment,
              shared: dict) -> np.ndarray:
    builtin = next((name for name, known in METRICS.items() if known is metric), None)
    if builtin is not None:
        if not shared:
            curves = np.moveaxis(result.region_curves(), 1, 0)
            shared.update(_metrics.curve_metrics(curves, result.time))
        return shared[builtin]
    value = metric.function(result, experiment) if metric.needs_experiment \
        else metric.function(result)
    return np.asarray(value, dtype=np.float64)


def _stack(name: str, per_point: list[list[np.ndarray]]) -> np.ndarray:
    """(npoints, ndraws, *metric shape), the metric's shape the same at every point."""
    shapes = {v.shape for draws in per_point for v in draws}
    if len(shapes) != 1:
        raise ValueError(f"metric {name!r} returned arrays of different shapes across the "
                         f"grid: {sorted(shapes)}")
    return np.array(per_point, dtype=np.float64)
