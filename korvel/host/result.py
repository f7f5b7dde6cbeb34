"""The result of a simulation: the received signal and what it was acquired with."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True, eq=False)
class SimulationResult:
    """The received signal of every metabolite, coil, voxel and excitation.

    ``signal`` is complex, (nmetabolites, ncoils, nvoxels, nexcitations), one sample per
    metabolite and frame. ``readout_times`` (s) and ``metabolite_flip_angles`` (degrees) are
    each metabolite's own, (nmetabolites, nexcitations): metabolites excited at an offset
    within the frame are read out at their own times, and each may have its own flip angles.
    ``time`` and ``flip_angles`` are the frame's readout time for the metabolites at offset 0
    and the precursor's flip angles, (nexcitations,): the whole story when every metabolite
    shares its pulse. ``regions`` names the region of each voxel.
    """

    metabolites: tuple[str, ...]
    regions: tuple[str, ...]
    time: np.ndarray
    flip_angles: np.ndarray
    signal: np.ndarray
    repetition_time: float
    backend: str
    driver: str
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
        """Coil-combined magnitude (root sum of squares), (nmetabolites, nvoxels, nexcitations)."""
        return np.sqrt(np.sum(np.abs(self.signal) ** 2, axis=1))

    def region_names(self) -> tuple[str, ...]:
        return tuple(dict.fromkeys(self.regions))

    def region_curves(self) -> np.ndarray:
        """Mean coil-combined magnitude over each region's voxels, (nmetabolites, nregions,
        nexcitations), regions in ``region_names()`` order."""
        magnitude = self.magnitude()
        labels = np.array(self.regions)
        return np.stack([magnitude[:, labels == name].mean(axis=1)
                         for name in self.region_names()], axis=1)

    def summary(self) -> list[dict]:
        """Peak, time of peak and area under the curve per metabolite and region, with the
        area ratio of each product to the precursor (the first metabolite)."""
        curves = self.region_curves()
        # Rectangle rule: the area ratio is the ratio of the summed signals.
        areas = curves.sum(axis=2) * self.repetition_time
        rows = []
        for r, region in enumerate(self.region_names()):
            for m, name in enumerate(self.metabolites):
                peak = int(np.argmax(curves[m, r]))
                precursor_area = areas[0, r]
                ratio = areas[m, r] / precursor_area if m and precursor_area > 0 else None
                rows.append(dict(region=region, metabolite=name, peak=float(curves[m, r, peak]),
                                 peak_time=float(self.readout_times[m, peak]),
                                 auc=float(areas[m, r]),
                                 ratio=None if ratio is None else float(ratio)))
        return rows
