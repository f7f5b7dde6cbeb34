"""The image grid of a phantom: which grid point each simulated voxel is, and maps back onto it.

A phantom simulates only the voxels inside its regions; a ``Grid`` remembers the grid's shape and,
for each simulated voxel in order, its flat (C-order) index in the grid, so that any per-voxel
quantity can be laid out as an image with NaN outside the regions.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from korvel.host.experiment import ExperimentError


@dataclass(frozen=True, eq=False)
class Grid:
    """A grid of ``shape`` (axes in array order: rows, columns; slices first in 3-D) of which
    the simulated voxels are the points ``indices`` (flat C-order indices, one per voxel, in
    voxel order). ``voxel_size`` is the size of a voxel along each axis in mm."""

    shape: tuple[int, ...]
    indices: np.ndarray
    voxel_size: tuple[float, ...] | None = None

    def __post_init__(self):
        try:
            shape = tuple(int(n) for n in self.shape)
        except (TypeError, ValueError):
            raise ExperimentError(f"grid shape must be a sequence of integers, "
                                  f"got {self.shape!r}") from None
        if not shape or any(n < 1 for n in shape):
            raise ExperimentError(f"grid shape must have positive sizes, got {shape}")
        object.__setattr__(self, "shape", shape)
        indices = np.array(self.indices)
        if indices.ndim != 1 or not (indices.dtype.kind in "iu" or indices.size == 0):
            raise ExperimentError("grid indices must be a 1-D array of integers")
        indices = indices.astype(np.int64)
        size = int(np.prod(shape))
        if indices.size and (indices.min() < 0 or indices.max() >= size):
            raise ExperimentError(f"grid indices must lie in [0, {size})")
        seen = np.zeros(size, dtype=bool)
        seen[indices] = True
        if np.count_nonzero(seen) != indices.size:
            raise ExperimentError("grid indices must not repeat a grid point")
        indices.setflags(write=False)
        object.__setattr__(self, "indices", indices)
        voxel_size = (1.0,) * len(shape) if self.voxel_size is None else self.voxel_size
        try:
            voxel_size = tuple(float(s) for s in np.broadcast_to(voxel_size, (len(shape),)))
        except (TypeError, ValueError):
            raise ExperimentError(f"grid voxel_size must be one size or one per axis, "
                                  f"got {self.voxel_size!r}") from None
        if not all(np.isfinite(s) and s > 0 for s in voxel_size):
            raise ExperimentError(f"grid voxel_size must be positive and finite, "
                                  f"got {voxel_size}")
        object.__setattr__(self, "voxel_size", voxel_size)

    @property
    def nvoxels(self) -> int:
        """The number of simulated voxels."""
        return int(self.indices.size)

    @property
    def ndim(self) -> int:
        return len(self.shape)

    @property
    def mask(self) -> np.ndarray:
        """True at the grid points that are simulated voxels."""
        mask = np.zeros(int(np.prod(self.shape)), dtype=bool)
        mask[self.indices] = True
        return mask.reshape(self.shape)

    def positions(self) -> np.ndarray:
        """The grid index of each voxel, (nvoxels, ndim)."""
        return np.stack(np.unravel_index(self.indices, self.shape), axis=1)

    def on_grid(self, values, fill: float = np.nan) -> np.ndarray:
        """Per-voxel ``values`` (last axis: one per voxel) as images: ``(..., *shape)``, ``fill``
        (NaN by default) at the grid points outside every region. Integer and boolean values
        come back as floats so that the fill fits."""
        values = np.asarray(values)
        if values.ndim == 0 or values.shape[-1] != self.nvoxels:
            raise ValueError(f"values must have one entry per voxel ({self.nvoxels}) on their "
                             f"last axis, got shape {values.shape}")
        dtype = np.result_type(values.dtype, np.float64)
        images = np.full(values.shape[:-1] + (int(np.prod(self.shape)),), fill, dtype=dtype)
        images[..., self.indices] = values
        return images.reshape(values.shape[:-1] + self.shape)


__all__ = ["Grid"]
