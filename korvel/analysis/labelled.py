"""A small labelled array: values with a name per axis and the coordinate values along it.

Enough for the results of a sweep (select, reduce, mean and spread) without a dependency;
``to_xarray()`` hands it to xarray where that is installed.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

__all__ = ["Labelled"]


@dataclass(frozen=True, eq=False)
class Labelled:
    """``values`` with one name in ``dims`` and one tuple of coordinates in ``coords`` per
    axis. ``name`` and ``units`` describe the values; ``parameters`` are the axes that were
    swept and ``parameter_units`` their units."""

    values: np.ndarray
    dims: tuple[str, ...]
    coords: dict[str, tuple]
    name: str = ""
    units: str = ""
    parameters: tuple[str, ...] = ()
    parameter_units: dict[str, str] = field(default_factory=dict)

    def __post_init__(self):
        values = np.asarray(self.values)
        object.__setattr__(self, "values", values)
        object.__setattr__(self, "dims", tuple(self.dims))
        if len(self.dims) != values.ndim or len(set(self.dims)) != len(self.dims):
            raise ValueError(f"dims {self.dims} must name each of the {values.ndim} axes once")
        coords = {d: tuple(self.coords.get(d, range(n))) for d, n in zip(self.dims, values.shape)}
        for d, n in zip(self.dims, values.shape):
            if len(coords[d]) != n:
                raise ValueError(f"axis {d!r} has {n} values but {len(coords[d])} coordinates")
        object.__setattr__(self, "coords", coords)

    @property
    def shape(self) -> tuple[int, ...]:
        return self.values.shape

    def _like(self, values, dims, coords) -> "Labelled":
        return Labelled(values, dims, coords, self.name, self.units,
                        tuple(p for p in self.parameters if p in dims),
                        {p: u for p, u in self.parameter_units.items() if p in dims})

    def _axis(self, dim: str) -> int:
        if dim not in self.dims:
            raise KeyError(f"no axis {dim!r}; the axes are {', '.join(self.dims)}")
        return self.dims.index(dim)

    def index(self, dim: str, value) -> int:
        """Position of ``value`` along ``dim`` (equal coordinates; floats to 1e-12)."""
        for i, c in enumerate(self.coords[dim]):
            same = c == value
            if isinstance(c, (float, np.floating)) and isinstance(value, (int, float)):
                same = abs(c - value) <= 1e-12 * max(abs(c), abs(value), 1e-300)
            if same is True or (isinstance(same, np.bool_) and same):
                return i
        raise KeyError(f"{value!r} is not a coordinate of {dim!r}: {self.coords[dim]}")

    def sel(self, **selection) -> "Labelled":
        """The values at the given coordinate of each named axis (those axes are dropped)."""
        values, dims = self.values, list(self.dims)
        for dim, value in selection.items():
            axis = dims.index(dim) if dim in dims else self._axis(dim)
            values = np.take(values, self.index(dim, value), axis=axis)
            dims.pop(axis)
        return self._like(values, dims, {d: self.coords[d] for d in dims})

    def isel(self, **selection) -> "Labelled":
        """The values at the given position of each named axis (those axes are dropped)."""
        values, dims = self.values, list(self.dims)
        for dim, position in selection.items():
            axis = dims.index(dim) if dim in dims else self._axis(dim)
            values = np.take(values, position, axis=axis)
            dims.pop(axis)
        return self._like(values, dims, {d: self.coords[d] for d in dims})

    def transpose(self, *dims: str) -> "Labelled":
        """The axes ``dims`` first, in that order, then the others as they were."""
        order = [self._axis(d) for d in dims] + [i for i, d in enumerate(self.dims)
                                                  if d not in dims]
        new_dims = [self.dims[i] for i in order]
        return self._like(np.transpose(self.values, order), new_dims, self.coords)

    def reduce(self, dim: str, function: Callable[..., Any]) -> "Labelled":
        """``function(values, axis=...)`` over ``dim``, which is dropped."""
        axis = self._axis(dim)
        dims = [d for d in self.dims if d != dim]
        return self._like(function(self.values, axis=axis), dims,
                          {d: self.coords[d] for d in dims})

    def mean(self, dim: str = "draw") -> "Labelled":
        """Mean over ``dim`` (default: the noise draws), ignoring NaN."""
        with warnings.catch_warnings():  # a NaN-only slice has a NaN mean, as it should
            warnings.simplefilter("ignore", RuntimeWarning)
            return self.reduce(dim, np.nanmean)

    def std(self, dim: str = "draw") -> "Labelled":
        """Sample standard deviation (ddof 1) over ``dim``, ignoring NaN."""
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            return self.reduce(dim, lambda a, axis: np.nanstd(a, axis=axis, ddof=1))

    def to_xarray(self):
        """The same as an ``xarray.DataArray`` (needs xarray)."""
        import xarray

        return xarray.DataArray(self.values, dims=self.dims,
                                coords={d: list(c) for d, c in self.coords.items()},
                                name=self.name or None, attrs={"units": self.units})

    def __repr__(self) -> str:
        axes = ", ".join(f"{d}: {len(self.coords[d])}" for d in self.dims)
        units = f" ({self.units})" if self.units else ""
        return f"<Labelled {self.name or 'values'}{units} [{axes}]>"
