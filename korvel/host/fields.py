"""Smooth fields over a phantom's grid: the transmit (B1) scale and the coils' sensitivities.

Positions and lengths are in the phantom's units. In ``"voxel"`` units the grid point with index
(i, j) sits at (i, j); in ``"mm"`` units at ((i - (n_i - 1) / 2) s_i, ...), millimetres from the
grid's centre for voxel sizes s. Axes are in array order (rows, columns; slices first in 3-D),
and "the plane" is the plane of the last two axes (the image plane of a slice).

Transmit models (a real scale of every flip angle):

- ``GaussianTransmit``: B1(x) = peak exp(-sum_i (x_i - c_i)^2 / (2 w_i^2)), a fall-off from a
  centre c (default: the grid's centre) with widths w (one, or one per axis);
- ``PolynomialTransmit``: B1(x) = offset + sum_i (linear_i u_i + quadratic_i u_i^2), where
  u_i = (index_i - (n_i - 1) / 2) / ((n_i - 1) / 2) runs from -1 to 1 across axis i (0 for an
  axis of one point), so that each coefficient is the change of B1 at the grid's edge, whatever
  the units.

Coil models (a complex sensitivity per coil, its magnitude 1 at the coil's position):

- ``"loop"``: s(x) = scale e^(i phase) (R^2 / (R^2 + d^2))^(3/2), the field on the axis of a
  circular loop of radius R at distance d by Biot-Savart, normalised to its centre; far away it
  falls as 1 / d^3 like a dipole's. Used here at every distance d = |x - position|, which keeps
  the model isotropic and smooth;
- ``"gaussian"``: s(x) = scale e^(i phase) exp(-d^2 / (2 R^2)).

``CoilRing`` places ``count`` coils evenly around the grid's centre in the plane, at
``distance`` from it, the first along the column axis and the next turning toward the row axis;
each coil's phase is its angle around the ring, as the receive phases of a real array turn with
the coil's position.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Sequence

import numpy as np

from korvel.host.experiment import ExperimentError, _number

UNITS = ("voxel", "mm")
COIL_MODELS = ("loop", "gaussian")
MAX_RING = 256  # coils of a ring: more than any receive array has


def grid_coordinates(shape: tuple[int, ...], voxel_size: tuple[float, ...], units: str,
                     indices: np.ndarray | None = None) -> list[np.ndarray]:
    """The position along each axis, in ``units``, of every grid point (one array per axis,
    each broadcastable to ``shape``) or of the points at the flat ``indices`` (1-D arrays)."""
    if indices is None:
        positions = []
        for axis, n in enumerate(shape):
            view = [1] * len(shape)
            view[axis] = n
            positions.append(np.arange(n, dtype=np.float64).reshape(view))
    else:
        positions = [p.astype(np.float64) for p in np.unravel_index(indices, shape)]
    if units == "voxel":
        return positions
    return [(p - (n - 1) / 2.0) * size for p, n, size in zip(positions, shape, voxel_size)]


def _points(shape, indices) -> tuple[int, ...]:
    return tuple(shape) if indices is None else (len(indices),)


def grid_center(shape: tuple[int, ...], units: str) -> tuple[float, ...]:
    """The grid's centre in ``units``."""
    return tuple((n - 1) / 2.0 for n in shape) if units == "voxel" else (0.0,) * len(shape)


def _vector(where: str, value, *, positive=False) -> tuple[float, ...]:
    """A point or a set of lengths: one number, or a sequence of numbers."""
    if isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, bool):
        value = (value,)
    if isinstance(value, (str, bytes)) or not isinstance(value, (Sequence, np.ndarray)) \
            or len(value) == 0:
        raise ExperimentError(f"{where} must be a number or a list of numbers, got {value!r}")
    return tuple(_number(f"{where}[{i}]", v, positive=positive) for i, v in enumerate(value))


def _per_axis(where: str, values: tuple[float, ...], ndim: int) -> np.ndarray:
    """One value per axis: a single value is shared; a point of another dimension is an
    error."""
    if len(values) == 1:
        return np.full(ndim, values[0])
    if len(values) != ndim:
        raise ExperimentError(f"{where} has {len(values)} values, the grid {ndim} axes")
    return np.array(values)


@dataclass(frozen=True)
class GaussianTransmit:
    """B1(x) = peak exp(-sum_i (x_i - c_i)^2 / (2 width_i^2)); ``center`` None: the grid's
    centre. ``width``: one length, or one per axis."""

    width: float | tuple[float, ...]
    peak: float = 1.0
    center: tuple[float, ...] | None = None

    def __post_init__(self):
        object.__setattr__(self, "width", _vector("transmit width", self.width, positive=True))
        object.__setattr__(self, "peak", _number("transmit peak", self.peak, positive=True))
        if self.center is not None:
            object.__setattr__(self, "center", _vector("transmit center", self.center))

    def values(self, shape, voxel_size, units, indices=None) -> np.ndarray:
        """B1 at every grid point (an array of ``shape``) or at the flat ``indices``."""
        ndim = len(shape)
        center = _per_axis("transmit center", self.center or grid_center(shape, units), ndim)
        width = _per_axis("transmit width", self.width, ndim)
        exponent = np.zeros(_points(shape, indices))
        for x, c, w in zip(grid_coordinates(shape, voxel_size, units, indices), center, width):
            exponent = exponent + ((x - c) / w) ** 2
        return self.peak * np.exp(-0.5 * exponent)


@dataclass(frozen=True)
class PolynomialTransmit:
    """B1 = offset + sum_i (linear_i u_i + quadratic_i u_i^2), u_i from -1 to 1 across axis i.
    ``linear`` and ``quadratic``: one coefficient, or one per axis."""

    offset: float = 1.0
    linear: float | tuple[float, ...] = 0.0
    quadratic: float | tuple[float, ...] = 0.0

    def __post_init__(self):
        object.__setattr__(self, "offset", _number("transmit offset", self.offset))
        object.__setattr__(self, "linear", _vector("transmit linear", self.linear))
        object.__setattr__(self, "quadratic", _vector("transmit quadratic", self.quadratic))

    def values(self, shape, voxel_size, units, indices=None) -> np.ndarray:
        """B1 at every grid point (an array of ``shape``) or at the flat ``indices``."""
        ndim = len(shape)
        linear = _per_axis("transmit linear", self.linear, ndim)
        quadratic = _per_axis("transmit quadratic", self.quadratic, ndim)
        field = np.full(_points(shape, indices), self.offset)
        positions = grid_coordinates(shape, (1.0,) * ndim, "voxel", indices)
        for axis, (n, index) in enumerate(zip(shape, positions)):
            half = (n - 1) / 2.0
            u = (index - half) / half if n > 1 else np.zeros_like(index)
            field = field + (linear[axis] * u + quadratic[axis] * u * u)
        return field


TransmitField = GaussianTransmit | PolynomialTransmit


@dataclass(frozen=True)
class Coil:
    """A receive coil at ``position`` with size ``radius`` (the loop's radius, or the
    Gaussian's width), a constant ``phase`` in degrees and a ``scale``."""

    position: tuple[float, ...]
    radius: float
    model: str = "loop"
    phase: float = 0.0
    scale: float = 1.0

    def __post_init__(self):
        object.__setattr__(self, "position", _vector("coil position", self.position))
        object.__setattr__(self, "radius", _number("coil radius", self.radius, positive=True))
        if self.model not in COIL_MODELS:
            raise ExperimentError(f"coil model must be one of {', '.join(COIL_MODELS)}, "
                                  f"got {self.model!r}")
        object.__setattr__(self, "phase", _number("coil phase", self.phase))
        object.__setattr__(self, "scale", _number("coil scale", self.scale, positive=True))

    def sensitivity(self, shape, voxel_size, units, indices=None) -> np.ndarray:
        """The complex sensitivity at every grid point (an array of ``shape``) or at the flat
        ``indices``."""
        if len(self.position) != len(shape):
            raise ExperimentError(f"coil position has {len(self.position)} values, "
                                  f"the grid {len(shape)} axes")
        squared = np.zeros(_points(shape, indices))
        for x, p in zip(grid_coordinates(shape, voxel_size, units, indices), self.position):
            squared = squared + (x - p) ** 2
        r2 = self.radius * self.radius
        magnitude = (r2 / (r2 + squared)) ** 1.5 if self.model == "loop" \
            else np.exp(-0.5 * squared / r2)
        return (self.scale * np.exp(1j * math.radians(self.phase))) * magnitude


@dataclass(frozen=True)
class CoilRing:
    """``count`` coils evenly spaced on a circle of ``distance`` around ``center`` (None: the
    grid's centre) in the plane of the last two axes, from ``start`` degrees; each coil's
    phase is its angle."""

    count: int
    distance: float
    radius: float
    model: str = "loop"
    start: float = 0.0
    center: tuple[float, ...] | None = None

    def __post_init__(self):
        if isinstance(self.count, bool) or not isinstance(self.count, (int, np.integer)) \
                or not 1 <= self.count <= MAX_RING:
            raise ExperimentError(f"coil ring count must be an integer from 1 to {MAX_RING}, "
                                  f"got {self.count!r}")
        object.__setattr__(self, "count", int(self.count))
        object.__setattr__(self, "distance", _number("coil ring distance", self.distance,
                                                     nonnegative=True))
        object.__setattr__(self, "start", _number("coil ring start", self.start))
        if self.center is not None:
            object.__setattr__(self, "center", _vector("coil ring center", self.center))
        Coil((0.0,), self.radius, self.model)  # the radius and model are a coil's

    def coils(self, shape, units) -> tuple[Coil, ...]:
        """The coils of the ring for a grid of ``shape``."""
        ndim = len(shape)
        if ndim < 2:
            raise ExperimentError("a coil ring needs a grid of at least two axes")
        if self.center is None:
            center = np.array(grid_center(shape, units))
        else:
            center = _per_axis("coil ring center", self.center, ndim)
        coils = []
        for c in range(self.count):
            angle = self.start + 360.0 * c / self.count
            position = center.copy()
            position[-1] += self.distance * math.cos(math.radians(angle))
            position[-2] += self.distance * math.sin(math.radians(angle))
            coils.append(Coil(tuple(position), self.radius, self.model, phase=angle))
        return tuple(coils)


__all__ = ["COIL_MODELS", "Coil", "CoilRing", "GaussianTransmit", "PolynomialTransmit",
           "TransmitField", "UNITS"]
