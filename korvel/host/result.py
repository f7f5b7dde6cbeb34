"""The result of a simulation: the received signal and what it was acquired with."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True, eq=False)
class SimulationResult:
    """The received signal of every metabolite, coil, voxel and excitation.

    ``signal`` is complex, (nmetabolites, ncoils, nvoxels, nexcitations); ``time`` holds the
    readout time of each excitation in s and ``flip_angles`` its flip angle in degrees.
    ``regions`` names the region of each voxel.
    """

    metabolites: tuple[str, ...]
    regions: tuple[str, ...]
    time: np.ndarray
    flip_angles: np.ndarray
    signal: np.ndarray
    repetition_time: float
    backend: str
    driver: str

    def magnitude(self) -> np.ndarray:
        """Coil-combined magnitude (root sum of squares), (nmetabolites, nvoxels, nexcitations).

        Sums whose squares overflow or underflow are taken again scaled by their largest
        coil, as ``hypot`` does, so every finite signal has a finite magnitude.
        """
        absolute = np.abs(self.signal)
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
                                 peak_time=float(self.time[peak]), auc=float(areas[m, r]),
                                 ratio=None if ratio is None else float(ratio)))
        return rows
