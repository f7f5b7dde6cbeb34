"""The result of a simulation: the received signal and what it was acquired with."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from korvel.host.grid import Grid


@dataclass(frozen=True, eq=False)
class SimulationResult:
    """The received signal of every metabolite, coil, voxel and excitation.

    ``signal`` is complex, (nmetabolites, ncoils, nvoxels, nexcitations); ``time`` holds the
    readout time of each excitation in s and ``flip_angles`` its flip angle in degrees.
    ``regions`` names the region of each voxel; ``grid`` (a phantom's) places the voxels on an
    image grid, for ``on_grid`` and ``image``.
    """

    metabolites: tuple[str, ...]
    regions: tuple[str, ...]
    time: np.ndarray
    flip_angles: np.ndarray
    signal: np.ndarray
    repetition_time: float
    backend: str
    driver: str
    grid: Grid | None = None

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
                                 peak_time=float(self.time[peak]), auc=float(areas[m, r]),
                                 ratio=None if ratio is None else float(ratio)))
        return rows

    def on_grid(self, values, fill: float = np.nan) -> np.ndarray:
        """Per-voxel ``values`` (last axis: one per voxel) laid out on the phantom's grid,
        (..., *grid shape), with ``fill`` (NaN) outside its regions."""
        if self.grid is None:
            raise ValueError("this result has no grid: its experiment was not built from a "
                             "phantom")
        return self.grid.on_grid(values, fill)

    def image(self, metabolite: str | int, excitation: int | None = None) -> np.ndarray:
        """Coil-combined magnitude images of one metabolite (a name or an index): at one
        ``excitation``, of the grid's shape, or at all of them, (nexcitations, *grid shape);
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
