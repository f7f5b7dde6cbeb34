"""The result of a simulation: the received signal and what it was acquired with."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from korvel.host.grid import Grid


@dataclass(frozen=True, eq=False)
class SimulationResult:
    """The received signal of every metabolite, coil, voxel and excitation.

    ``signal`` is complex, (nmetabolites, ncoils, nvoxels, nexcitations), one sample per
    metabolite and frame. ``readout_times`` (s) and ``metabolite_flip_angles`` (degrees) are
    each metabolite's own, (nmetabolites, nexcitations): metabolites excited at an offset
    within the frame are read out at their own times, and each may have its own flip angles.
    ``time`` and ``flip_angles`` are the frame's readout time for the metabolites at offset 0
    and the precursor's flip angles, (nexcitations,): the whole story when every metabolite
    shares its pulse. ``regions`` names the region of each voxel; ``grid`` (a phantom's)
    places the voxels on an image grid, for ``on_grid`` and ``image``.
    """

    metabolites: tuple[str, ...]
    regions: tuple[str, ...]
    time: np.ndarray
    flip_angles: np.ndarray
    signal: np.ndarray
    repetition_time: float
    backend: str
    driver: str
    noise_sigma: np.ndarray | None = None
    """Standard deviation of the real and imaginary parts of the added noise per voxel (None:
    noiseless; ``korvel.add_noise``)."""
    grid: Grid | None = None
    readout_times: np.ndarray | None = None
    metabolite_flip_angles: np.ndarray | None = None

    def __post_init__(self):
        count = len(self.metabolites)
        if self.readout_times is None:
            object.__setattr__(self, "readout_times",
                               np.tile(np.asarray(self.time, dtype=np.float64), (count, 1)))
        if self.metabolite_flip_angles is None:
            object.__setattr__(self, "metabolite_flip_angles",
                               np.tile(np.asarray(self.flip_angles, dtype=np.float64),
                                       (count, 1)))

    def magnitude(self) -> np.ndarray:
        """Coil-combined magnitude (root sum of squares), (nmetabolites, nvoxels, nexcitations).

        Sums whose squares overflow or underflow are taken again scaled by their largest
        coil, as ``hypot`` does, so every finite signal has a finite magnitude.
        """
        return coil_combined_magnitude(self.signal)

    def region_names(self) -> tuple[str, ...]:
        return tuple(dict.fromkeys(self.regions))

    def region_curves(self) -> np.ndarray:
        """Mean coil-combined magnitude over each region's voxels, (nmetabolites, nregions,
        nexcitations), regions in ``region_names()`` order."""
        magnitude = self.magnitude()
        labels = np.array(self.regions)
        return np.stack([magnitude[:, labels == name].mean(axis=1)
                         for name in self.region_names()], axis=1)

    def summary(self, experiment=None) -> list[dict]:
        """Per region (mean coil-combined magnitude of its voxels) and metabolite: ``peak``
        (a.u.), ``peak_time`` (the frame of the peak, s), ``time_to_peak`` (refined between
        frames, s), ``mean_time`` (s), ``auc`` (rectangle rule, a.u. s) and, for a product,
        ``ratio``, its area over the precursor's (the first metabolite). Given the
        ``experiment`` the result came from, ``rate`` is a product's configured conversion
        rate (1/s, the mean over the region's voxels). A value that does not exist (the peak
        of an all-zero curve, a ratio to a zero precursor, the precursor's rate) is None.
        See ``korvel.analysis.metrics`` for the definitions."""
        from korvel.analysis.metrics import curve_metrics
        from korvel.host.experiment import Experiment

        if experiment is not None:
            if not isinstance(experiment, Experiment):
                raise TypeError(f"experiment must be an Experiment, "
                                f"got {type(experiment).__name__}")
            if tuple(experiment.regions) != tuple(self.regions) or tuple(
                    m.name for m in experiment.metabolites) != tuple(self.metabolites):
                raise ValueError("the experiment is not the one this result came from "
                                 "(its voxels' regions or its metabolites differ)")
        curves = self.region_curves()
        # Rectangle rule: the area ratio is the ratio of the summed signals.
        areas = curves.sum(axis=2) * self.repetition_time
        metrics = self.metrics_at_own_times(
            curve_metrics(np.moveaxis(curves, 1, 0), self.time))
        labels = np.array(self.regions)
        known = lambda value: None if not np.isfinite(value) else float(value)  # noqa: E731
        rows = []
        for r, region in enumerate(self.region_names()):
            for m, name in enumerate(self.metabolites):
                peak = int(np.argmax(curves[m, r]))
                top = known(metrics["time_to_peak"][r, m])
                rate = None
                if m and experiment is not None:
                    rate = float(np.mean(experiment.conversion_rates[m - 1][labels == region]))
                rows.append(dict(region=region, metabolite=name, peak=float(curves[m, r, peak]),
                                 peak_time=(None if top is None
                                            else float(self.readout_times[m, peak])),
                                 time_to_peak=top, mean_time=known(metrics["mean_time"][r, m]),
                                 auc=float(areas[m, r]),
                                 ratio=known(metrics["auc_ratio"][r, m - 1]) if m else None,
                                 rate=rate))
        return rows

    def metrics_at_own_times(self, metrics: dict) -> dict:
        """``metrics`` computed on the frame times ``time``, moved to each metabolite's own
        readout times (a metabolite excited at an offset within the frame is read out later)."""
        shift = self.readout_times[:, 0] - self.time[0]
        if np.any(shift != 0):
            metrics = dict(metrics, time_to_peak=metrics["time_to_peak"] + shift,
                           mean_time=metrics["mean_time"] + shift)
        return metrics

    def fit(self, **options):
        """Fit a kinetic model to this result's coil-combined magnitude with its own repetition
        time, flip angles and metabolite names: ``korvel.fit_kinetics(self, **options)``.

        The angles are the nominal schedule: under a transmit map pass the per-voxel angles as
        ``flip_angles``. Transverse decay between pulse and readout scales each metabolite's
        signal by its own factor and biases the fitted rates by their ratio (none with T2 = inf).
        """
        from korvel.fitting import fit_kinetics

        return fit_kinetics(self, **options)

    def on_grid(self, values, fill: float = np.nan) -> np.ndarray:
        """Per-voxel ``values`` (last axis: one per voxel) laid out on the phantom's grid,
        ``(..., *grid_shape)``, with ``fill`` (NaN) outside its regions."""
        if self.grid is None:
            raise ValueError("this result has no grid: its experiment was not built from a "
                             "phantom")
        return self.grid.on_grid(values, fill)

    def image(self, metabolite: str | int, excitation: int | None = None) -> np.ndarray:
        """Coil-combined magnitude images of one metabolite (a name or an index): at one
        ``excitation``, of the grid's shape, or at all of them, ``(nexcitations, *grid_shape)``;
        NaN outside the phantom's regions."""
        if isinstance(metabolite, str):
            if metabolite not in self.metabolites:
                raise ValueError(f"no metabolite {metabolite!r}; this result has "
                                 f"{', '.join(self.metabolites)}")
            index = self.metabolites.index(metabolite)
        elif isinstance(metabolite, (int, np.integer)) and not isinstance(metabolite, bool) \
                and -len(self.metabolites) <= metabolite < len(self.metabolites):
            index = int(metabolite)
        else:
            raise ValueError(f"metabolite must be a name or an index below "
                             f"{len(self.metabolites)}, got {metabolite!r}")
        magnitude = np.sqrt(np.sum(np.abs(self.signal[index]) ** 2, axis=0))  # voxel, excitation
        if excitation is None:
            return self.on_grid(magnitude.T)
        count = magnitude.shape[1]
        if isinstance(excitation, bool) or not isinstance(excitation, (int, np.integer)) \
                or not -count <= excitation < count:
            raise ValueError(f"excitation must be an index below {count}, got {excitation!r}")
        return self.on_grid(magnitude[:, int(excitation)])


def coil_combined_magnitude(signal: np.ndarray) -> np.ndarray:
    """Root sum of squares over the coils of ``signal`` (nmetabolites, ncoils, nvoxels,
    nexcitations): ``SimulationResult.magnitude`` of any subset of its metabolites."""
    absolute = np.abs(signal)
    with np.errstate(over="ignore", under="ignore"):
        magnitude = np.sqrt(np.sum(absolute ** 2, axis=1))
    largest = np.max(absolute, axis=1, initial=0.0)
    # Beyond these the squares lose range: inf, or subnormal and short of digits.
    outside = (largest > 1e150) | ((largest < 1e-150) & (largest > 0))
    if np.any(outside):
        scale = largest[outside]
        scaled = np.moveaxis(absolute, 1, -1)[outside] / scale[:, np.newaxis]
        magnitude[outside] = scale * np.sqrt(np.sum(scaled ** 2, axis=-1))
    return magnitude
