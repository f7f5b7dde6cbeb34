"""Phantoms on a 2-D or 3-D grid: regions drawn as shapes or read from a label image, each with
its tissue values, under smooth transmit and coil fields; built into an Experiment.

Regions are painted in order, each over the ones before it: a shape region takes the grid points
whose centres lie inside its shape (no partial volumes), a label region the points where the label
image holds its label. Points outside every region are background. Background is not simulated:
it holds no agent and gives no signal, and simulating it would cost as much per point as tissue
(often more than half a slice) for zeros that every fit and summary would have to skip. The
built experiment's voxels are the region points in C order, and its ``grid`` lays any per-voxel
result back onto the grid, with NaN over the background.

Shapes, field centres and coil positions are in the phantom's ``units`` (see
``korvel.host.fields``): ``"voxel"`` (grid indices, point (i, j) at (i, j)) or ``"mm"``
(millimetres from the grid's centre). Axes are in array order: rows, columns; slices first in 3-D.
A 2-D shape on a 3-D grid spans every slice.
"""

from __future__ import annotations

import math
import os
import zipfile
from dataclasses import dataclass, field
from functools import cached_property
from pathlib import Path
from typing import Mapping, Sequence

import numpy as np

from korvel.host.experiment import Experiment, ExperimentError, Metabolite, _number
from korvel.host.fields import (
    UNITS,
    Coil,
    CoilRing,
    GaussianTransmit,
    PolynomialTransmit,
    _vector,
    grid_coordinates,
)
from korvel.host.grid import Grid

MAX_GRID_POINTS = 2**24
"""The largest grid a phantom may have (its maps hold a few arrays of this many values)."""
MAX_COILS = 256  # more than any receive array has
MAX_COIL_VALUES = 2**27
"""The most coil sensitivities (coils times grid points) the receive maps may hold: 2 GiB."""

# The fields of an Experiment that a phantom's regions and fields give.
PHANTOM_FIELDS = ("conversion_rates", "nvoxels", "regions", "off_resonance", "transmit",
                  "receive", "delivery", "initial_magnetization", "initial_concentration", "grid")

# A point on a shape's boundary, up to rounding (of a rotation, say), is inside.
_EDGE = 1e-9


def _rotated(offsets: list[np.ndarray], angle: float) -> list[np.ndarray]:
    """Offsets from a shape's centre in the shape's own frame: the shape is turned by
    ``angle`` degrees from the column axis toward the row axis."""
    if angle == 0.0:
        return offsets
    cos, sin = math.cos(math.radians(angle)), math.sin(math.radians(angle))
    column, row = offsets[-1], offsets[-2]
    return offsets[:-2] + [row * cos - column * sin, column * cos + row * sin]


@dataclass(frozen=True)
class Ellipse:
    """The points x with sum_i ((x_i - center_i) / radii_i)^2 <= 1: an ellipse in 2-D, an
    ellipsoid in 3-D (``radii``: one, or one per axis), turned by ``angle`` degrees in the
    plane of its last two axes."""

    center: tuple[float, ...]
    radii: float | tuple[float, ...]
    angle: float = 0.0

    def __post_init__(self):
        _shape_fields(self, "ellipse", "radii")

    def mask(self, coordinates: list[np.ndarray]) -> np.ndarray:
        offsets = _rotated([x - c for x, c in zip(coordinates, self.center)], self.angle)
        total = 0.0
        for offset, radius in zip(offsets, _lengths(self.radii, len(self.center))):
            total = total + (offset / radius) ** 2
        return total <= 1.0 + _EDGE


@dataclass(frozen=True)
class Rectangle:
    """The points within ``size[i] / 2`` of ``center`` along each of its axes: a rectangle in
    2-D, a box in 3-D (``size``: full widths, one or one per axis), turned by ``angle`` degrees
    in the plane of its last two axes."""

    center: tuple[float, ...]
    size: float | tuple[float, ...]
    angle: float = 0.0

    def __post_init__(self):
        _shape_fields(self, "rectangle", "size")

    def mask(self, coordinates: list[np.ndarray]) -> np.ndarray:
        offsets = _rotated([x - c for x, c in zip(coordinates, self.center)], self.angle)
        inside = True
        for offset, size in zip(offsets, _lengths(self.size, len(self.center))):
            inside = inside & (np.abs(offset) <= 0.5 * size * (1.0 + _EDGE))
        return inside


Shape = Ellipse | Rectangle


def _shape_fields(shape, kind: str, lengths: str) -> None:
    center = _vector(f"{kind} center", shape.center)
    size = _vector(f"{kind} {lengths}", getattr(shape, lengths), positive=True)
    if len(size) not in (1, len(center)):
        raise ExperimentError(f"{kind} {lengths} must be one value or one per axis of its "
                              f"center ({len(center)}), got {len(size)}")
    object.__setattr__(shape, "center", center)
    object.__setattr__(shape, lengths, size)
    object.__setattr__(shape, "angle", _number(f"{kind} angle", shape.angle))
    if shape.angle != 0.0 and len(center) < 2:
        raise ExperimentError(f"a turned {kind} needs at least two axes")


def _lengths(values: tuple[float, ...], ndim: int) -> tuple[float, ...]:
    return values * ndim if len(values) == 1 else values


def _name_values(where: str, value, *, nonnegative=False) -> dict[str, float]:
    if not isinstance(value, Mapping):
        raise ExperimentError(f"{where} must map metabolite names to numbers, got {value!r}")
    return {str(name): _number(f"{where}.{name}", v, nonnegative=nonnegative)
            for name, v in value.items()}


@dataclass(frozen=True)
class Region:
    """A region of a phantom and its tissue values, as a region of the run form has them.

    It covers a ``shape`` (an ``Ellipse`` or a ``Rectangle``) or the points of the label image
    that hold ``label`` (one integer or several). ``rates`` maps each product to its conversion
    rate (1/s; 0 where not given); ``delivery`` scales the inflow (perfusion);
    ``off_resonance`` in Hz; ``initial_magnetization`` and ``initial_concentration`` map
    metabolites to their value at time 0 (0 where not given).
    """

    name: str
    shape: Shape | None = None
    label: int | tuple[int, ...] | None = None
    rates: Mapping[str, float] = field(default_factory=dict)
    delivery: float = 1.0
    off_resonance: float = 0.0
    initial_magnetization: Mapping[str, float] = field(default_factory=dict)
    initial_concentration: Mapping[str, float] = field(default_factory=dict)

    def __post_init__(self):
        if not isinstance(self.name, str) or not self.name.strip():
            raise ExperimentError(f"region name must be a non-empty string, got {self.name!r}")
        where = f"region {self.name!r}"
        if (self.shape is None) == (self.label is None):
            raise ExperimentError(f"{where}: give either a shape or a label")
        if self.shape is not None and not isinstance(self.shape, (Ellipse, Rectangle)):
            raise ExperimentError(f"{where}: shape must be an Ellipse or a Rectangle, "
                                  f"got {type(self.shape).__name__}")
        if self.label is not None:
            labels = self.label if isinstance(self.label, (list, tuple)) else (self.label,)
            if not labels or not all(isinstance(v, (int, np.integer))
                                     and not isinstance(v, bool) for v in labels):
                raise ExperimentError(f"{where}: label must be an integer or a list of "
                                      f"integers, got {self.label!r}")
            object.__setattr__(self, "label", tuple(int(v) for v in labels))
        object.__setattr__(self, "rates", _name_values(f"{where}: rates", self.rates,
                                                       nonnegative=True))
        object.__setattr__(self, "delivery", _number(f"{where}: delivery", self.delivery,
                                                     nonnegative=True))
        object.__setattr__(self, "off_resonance", _number(f"{where}: off_resonance",
                                                          self.off_resonance))
        for key in ("initial_magnetization", "initial_concentration"):
            object.__setattr__(self, key, _name_values(f"{where}: {key}", getattr(self, key)))


def load_labels(path, key: str | None = None) -> np.ndarray:
    """An integer label image from a ``.npy`` file, or from a ``.npz`` file (its array
    ``key``, or its only array)."""
    path = Path(path)
    try:
        # Our own handle: np.load leaves the file open when a .npz is not a valid archive.
        with path.open("rb") as file:
            loaded = np.load(file, allow_pickle=False)
            if isinstance(loaded, np.ndarray):
                if key is not None:
                    raise ExperimentError(f"label image {path}: a .npy file holds one array; "
                                          f"a key names an array of a .npz file")
                return loaded
            with loaded:
                names = list(loaded.files)
                if key is None and len(names) != 1:
                    raise ExperimentError(f"label image {path}: holds the arrays "
                                          f"{', '.join(names)}; name one with a key")
                key = names[0] if key is None else key
                if key not in names:
                    raise ExperimentError(f"label image {path}: no array {key!r}; it holds "
                                          f"{', '.join(names) or 'none'}")
                return np.array(loaded[key])
    except (OSError, ValueError, EOFError, zipfile.BadZipFile) as error:
        if isinstance(error, ExperimentError):
            raise
        raise ExperimentError(f"label image {path}: {error}") from None


def _label_image(labels, shape) -> np.ndarray:
    if isinstance(labels, (str, os.PathLike)):
        labels = load_labels(labels)
    if not isinstance(labels, np.ndarray):
        raise ExperimentError(f"phantom labels must be an array or a .npy/.npz path, "
                              f"got {type(labels).__name__}")
    if labels.dtype.kind == "f":
        if not np.all(np.isfinite(labels)) or np.any(labels != np.round(labels)):
            raise ExperimentError("phantom labels must be integers")
        labels = labels.astype(np.int64)
    elif labels.dtype.kind not in "iub":
        raise ExperimentError(f"phantom labels must be integers, got {labels.dtype}")
    if labels.ndim not in (2, 3):
        raise ExperimentError(f"phantom labels must be a 2-D or 3-D image, got "
                              f"{labels.ndim} axes")
    if shape is not None and labels.shape != shape:
        raise ExperimentError(f"phantom labels have shape {labels.shape}, the grid {shape}")
    labels = np.array(labels, dtype=np.int64)
    labels.setflags(write=False)
    return labels


@dataclass(frozen=True, eq=False)
class Phantom:
    """A 2-D or 3-D grid of ``shape`` with ``regions`` painted in order.

    ``voxel_size`` in mm (one, or one per axis); ``units`` of the shapes, field centres and coil
    positions: ``"voxel"`` or ``"mm"``. ``labels``: an integer image of the grid's shape, or a
    ``.npy``/``.npz`` path, for regions given by label (``shape`` may then be omitted).
    ``transmit``: a ``GaussianTransmit`` or ``PolynomialTransmit`` (None: a uniform field);
    ``coils``: a sequence of ``Coil`` or a ``CoilRing`` (None: one uniform coil); a ring
    becomes its coils on construction.
    """

    shape: tuple[int, ...] | None
    regions: Sequence[Region]
    voxel_size: float | tuple[float, ...] = 1.0
    units: str = "voxel"
    labels: np.ndarray | str | os.PathLike | None = None
    transmit: GaussianTransmit | PolynomialTransmit | None = None
    coils: Sequence[Coil] | CoilRing | None = None

    def __post_init__(self):
        set_ = lambda name, value: object.__setattr__(self, name, value)  # noqa: E731
        shape = None
        if self.shape is not None:
            if isinstance(self.shape, (str, bytes)) \
                    or not isinstance(self.shape, (Sequence, np.ndarray)) \
                    or not all(isinstance(n, (int, np.integer)) and not isinstance(n, bool)
                               for n in self.shape):
                raise ExperimentError(f"phantom shape must be a list of 2 or 3 integers, "
                                      f"got {self.shape!r}")
            shape = tuple(int(n) for n in self.shape)
            if len(shape) not in (2, 3) or min(shape) < 1:
                raise ExperimentError(f"phantom shape must be 2 or 3 positive sizes, "
                                      f"got {list(shape)}")
        if self.labels is not None:
            labels = _label_image(self.labels, shape)
            set_("labels", labels)
            shape = labels.shape
        if shape is None:
            raise ExperimentError("phantom needs a shape (or a label image to take it from)")
        if math.prod(shape) > MAX_GRID_POINTS:
            raise ExperimentError(f"phantom shape {list(shape)} has {math.prod(shape)} points, "
                                  f"more than {MAX_GRID_POINTS}")
        set_("shape", shape)
        size = _vector("phantom voxel_size", self.voxel_size, positive=True)
        if len(size) not in (1, len(shape)):
            raise ExperimentError(f"phantom voxel_size must be one value or one per axis "
                                  f"({len(shape)}), got {len(size)}")
        set_("voxel_size", size * len(shape) if len(size) == 1 else size)
        if self.units not in UNITS:
            raise ExperimentError(f"phantom units must be one of {', '.join(UNITS)}, "
                                  f"got {self.units!r}")
        regions = tuple(self.regions) if isinstance(self.regions, (list, tuple)) else None
        if not regions or not all(isinstance(r, Region) for r in regions):
            raise ExperimentError("phantom regions must be a non-empty sequence of Region")
        set_("regions", regions)
        for region in regions:
            if region.label is not None and self.labels is None:
                raise ExperimentError(f"region {region.name!r} is given by label, and the "
                                      f"phantom has no label image")
            if region.shape is not None:
                ndim = len(region.shape.center)
                if ndim not in (len(shape), len(shape) - 1) or ndim < 2:
                    raise ExperimentError(f"region {region.name!r}: its shape has {ndim} axes, "
                                          f"the grid {len(shape)}")
        if self.transmit is not None \
                and not isinstance(self.transmit, (GaussianTransmit, PolynomialTransmit)):
            raise ExperimentError(f"phantom transmit must be a GaussianTransmit, a "
                                  f"PolynomialTransmit or None, got "
                                  f"{type(self.transmit).__name__}")
        coils = self.coils
        if isinstance(coils, CoilRing):
            coils = coils.coils(shape, self.units)
        elif coils is not None:
            coils = tuple(coils) if isinstance(coils, (list, tuple)) else None
            if not coils or not all(isinstance(c, Coil) for c in coils):
                raise ExperimentError("phantom coils must be a CoilRing, a non-empty sequence "
                                      "of Coil, or None")
        if coils is not None:
            for coil in coils:
                if len(coil.position) != len(shape):
                    raise ExperimentError(f"coil position has {len(coil.position)} values, "
                                          f"the grid {len(shape)} axes")
            if len(coils) > MAX_COILS:
                raise ExperimentError(f"phantom has {len(coils)} coils, more than {MAX_COILS}")
            if len(coils) * math.prod(shape) > MAX_COIL_VALUES:
                raise ExperimentError(f"phantom coils: {len(coils)} coils over "
                                      f"{math.prod(shape)} grid points are more than "
                                      f"{MAX_COIL_VALUES} sensitivities")
        set_("coils", coils)
        self.region_map  # every region must cover a point  # noqa: B018
        self.transmit_map()  # and the transmit field fit the grid

    @property
    def ndim(self) -> int:
        return len(self.shape)

    def coordinates(self) -> list[np.ndarray]:
        """The position of the grid points along each axis in the phantom's units (arrays
        broadcastable to the grid's shape)."""
        return grid_coordinates(self.shape, self.voxel_size, self.units)

    @cached_property
    def region_map(self) -> np.ndarray:
        """The index of each grid point's region in ``regions``, -1 for background (read-only,
        of the grid's shape)."""
        index = np.full(self.shape, -1, dtype=np.int64)
        coordinates = self.coordinates()
        for r, region in enumerate(self.regions):
            if region.shape is not None:
                own = coordinates[self.ndim - len(region.shape.center):]
                mask = np.broadcast_to(region.shape.mask(own), self.shape)
            else:
                mask = np.isin(self.labels, region.label)
                if not mask.any():
                    raise ExperimentError(f"region {region.name!r}: the label image holds "
                                          f"none of its labels {list(region.label)}")
            index[mask] = r
        present = np.zeros(len(self.regions), dtype=bool)
        present[np.unique(index[index >= 0])] = True
        for region, there in zip(self.regions, present):
            if not there:
                raise ExperimentError(f"region {region.name!r} covers no grid point (it lies "
                                      f"outside the grid, or later regions paint over it)")
        index.setflags(write=False)
        return index

    def grid(self) -> Grid:
        """The grid and its simulated points: the region points in C order."""
        return Grid(self.shape, np.flatnonzero(self.region_map.reshape(-1) >= 0),
                    self.voxel_size)

    def transmit_map(self) -> np.ndarray | None:
        """The B1 scale at every grid point (None for a uniform field)."""
        if self.transmit is None:
            return None
        values = self.transmit.values(self.shape, self.voxel_size, self.units)
        inside = self.region_map >= 0
        if np.any(values[inside] < 0) or not np.all(np.isfinite(values[inside])):
            raise ExperimentError("phantom transmit field must be finite and not negative over "
                                  "the regions")
        return values

    def receive_maps(self) -> np.ndarray | None:
        """The complex sensitivity of each coil at every grid point, ``(ncoils, *shape)`` (None
        for one uniform coil)."""
        if self.coils is None:
            return None
        return np.stack([c.sensitivity(self.shape, self.voxel_size, self.units)
                         for c in self.coils])

    def experiment(self, precursor, products, **fields) -> Experiment:
        """The Experiment of this phantom: one voxel per region point, with the regions' values,
        the fields at the voxels and the grid; ``fields`` are the Experiment's other fields
        (acquisition, inflow, spins_per_voxel, ...)."""
        given = sorted(set(fields) & set(PHANTOM_FIELDS))
        if given:
            raise ExperimentError(f"the phantom gives {given[0]!r}; set it in its regions or "
                                  f"fields")
        products = tuple(products) if isinstance(products, (list, tuple)) else (products,)
        if not isinstance(precursor, Metabolite):
            raise ExperimentError("precursor must be a Metabolite")
        if not products or not all(isinstance(p, Metabolite) for p in products):
            raise ExperimentError("products must be a non-empty sequence of Metabolite")
        product_names = [p.name for p in products]
        names = [precursor.name, *product_names]
        for region in self.regions:
            for key, known in (("rates", product_names), ("initial_magnetization", names),
                               ("initial_concentration", names)):
                unknown = sorted(set(getattr(region, key)) - set(known))
                if unknown:
                    raise ExperimentError(f"region {region.name!r}: {key} names no "
                                          f"{'product' if key == 'rates' else 'metabolite'} "
                                          f"{unknown[0]!r}; there are "
                                          f"{', '.join(str(n) for n in known)}")
        grid = self.grid()
        which = self.region_map.reshape(-1)[grid.indices]

        def per_voxel(values) -> np.ndarray:
            return np.array(values, dtype=np.float64)[which]

        regions = self.regions
        at_voxels = (self.shape, self.voxel_size, self.units, grid.indices)
        transmit = None if self.transmit is None else self.transmit.values(*at_voxels)
        receive = None if self.coils is None \
            else np.stack([c.sensitivity(*at_voxels) for c in self.coils])
        return Experiment(
            precursor=precursor,
            products=products,
            conversion_rates=tuple(per_voxel([r.rates.get(p, 0.0) for r in regions])
                                   for p in product_names),
            nvoxels=grid.nvoxels,
            regions=tuple(regions[r].name for r in which),
            off_resonance=per_voxel([r.off_resonance for r in regions]),
            transmit=transmit,
            receive=receive,
            delivery=per_voxel([r.delivery for r in regions]),
            initial_magnetization=tuple(per_voxel([r.initial_magnetization.get(n, 0.0)
                                                   for r in regions]) for n in names),
            initial_concentration=tuple(per_voxel([r.initial_concentration.get(n, 0.0)
                                                    for r in regions]) for n in names),
            grid=grid,
            **fields,
        )


__all__ = ["Ellipse", "MAX_COILS", "MAX_COIL_VALUES", "MAX_GRID_POINTS", "Phantom", "Rectangle",
           "Region", "Shape", "load_labels"]
