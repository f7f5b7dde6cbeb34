"""Kinetic models of a measured series: parameters, defaults and the inputless forward model.

Every function here works element by element across voxels (reductions run only along a voxel's
own frames or excitations), so a voxel's result does not depend on which other voxels share the
batch: the fit gives the same bits however the voxels are split into chunks or threads.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

DEFAULT_METABOLITES = ("pyruvate", "lactate", "bicarbonate", "alanine")

# Typical longitudinal relaxation times in vivo (s); a metabolite not listed gets DEFAULT_T1.
TYPICAL_T1 = {"pyruvate": 30.0, "lactate": 25.0, "bicarbonate": 15.0, "alanine": 25.0}
DEFAULT_T1 = 25.0
DEFAULT_RATE = 0.02  # 1/s, a typical conversion rate: the start of a fit where data give none

MODELS = ("inputless", "bolus")
BOLUS_SHAPES = ("gamma", "boxcar")

# Below this a * TR the precursor's shape over an interval is taken as its a -> 0 limit (a
# straight line); the relative error of either form there is about 1e-8.
_SMALL_DECAY = 1e-8


@dataclass(frozen=True)
class Layout:
    """The parameters of the kinetic model of ``metabolites`` (precursor first), in order:
    ``k_<product>`` for every product, ``r1_<metabolite>`` for every metabolite, then for the
    inputless model ``m0_<product>`` for every product, for the bolus model the input's
    ``amplitude``, ``arrival`` and ``width``."""

    metabolites: tuple[str, ...]
    model: str = "inputless"

    @property
    def products(self) -> tuple[str, ...]:
        return self.metabolites[1:]

    @property
    def names(self) -> tuple[str, ...]:
        rates = (tuple(f"k_{p}" for p in self.products)
                 + tuple(f"r1_{m}" for m in self.metabolites))
        if self.model == "bolus":
            return rates + ("amplitude", "arrival", "width")
        return rates + tuple(f"m0_{p}" for p in self.products)

    @property
    def nproducts(self) -> int:
        return len(self.metabolites) - 1

    def rate_slice(self) -> slice:
        return slice(0, self.nproducts)

    def r1_slice(self) -> slice:
        return slice(self.nproducts, self.nproducts + len(self.metabolites))

    def m0_slice(self) -> slice:
        return slice(self.nproducts + len(self.metabolites), len(self.names))

    def default_fixed(self) -> dict[str, float]:
        """The usual choice: every R1 fixed at its typical value; rates and m0 fitted."""
        return {f"r1_{m}": 1.0 / TYPICAL_T1.get(m, DEFAULT_T1) for m in self.metabolites}

    def default_bounds(self) -> dict[str, tuple[float, float]]:
        """Rates, R1 and amplitude non-negative, width at least 1 ms, arrival and m0 free
        (the bolus model holds the arrival within one repetition before the first frame)."""
        bounds = {name: (0.0, math.inf) for name in self.names}
        if self.model == "bolus":
            bounds["width"] = (1e-3, math.inf)
            bounds["arrival"] = (-math.inf, math.inf)
        else:
            bounds.update({f"m0_{p}": (-math.inf, math.inf) for p in self.products})
        return bounds


def excitation_scales(angles: np.ndarray, nframes: int) -> tuple[np.ndarray, np.ndarray]:
    """Signal scale s and remaining longitudinal fraction c per metabolite and frame.

    ``angles`` in radians, (..., nmetabolites, nframes * k) with the k excitations of each frame
    together; s = (1/k) sum_j sin(theta_j) prod_{i<j} cos(theta_i), c = prod_j cos(theta_j).
    """
    shape = angles.shape[:-1] + (nframes, angles.shape[-1] // nframes)
    theta = angles.reshape(shape)
    cosine, sine = np.cos(theta), np.sin(theta)
    scale = sine[..., 0].copy()
    remaining = cosine[..., 0].copy()
    for j in range(1, shape[-1]):
        scale = scale + sine[..., j] * remaining
        remaining = remaining * cosine[..., j]
    return scale / shape[-1], remaining


def _phi1(z: np.ndarray) -> np.ndarray:
    """(1 - e^-z) / z, and 1 at z = 0."""
    zero = z == 0
    with np.errstate(divide="ignore", invalid="ignore"):
        value = -np.expm1(-z) / np.where(zero, 1.0, z)
    return np.where(zero, 1.0, value)


def _ramp_weight(y: np.ndarray) -> np.ndarray:
    """(y - 1 + e^-y) / y^2, the response at the end of an interval to a unit linear ramp of the
    source (in units of the interval), with its series near y = 0."""
    small = np.abs(y) < 1e-4
    safe = np.where(small, 1.0, y)
    with np.errstate(divide="ignore", invalid="ignore"):
        value = (safe + np.expm1(-safe)) / (safe * safe)
    series = 0.5 - y / 6.0 + y * y / 24.0
    return np.where(small, series, value)


def interval_weights(a: np.ndarray, b: np.ndarray, tr: float):
    """Coefficients of one interval of length ``tr`` for a product of decay rate ``b`` driven by
    a precursor of decay rate ``a`` whose constant input takes it from p0 to p1:

        X(tr) = decay * X(0) + k * (weight0 * p0 + weight1 * p1)

    Also the precursor's own decay e^(-a tr) and the factor 1 / (tr phi1(a tr)) that turns
    p1 - e^(-a tr) p0 into the input. ``a`` and ``b`` broadcast together.
    """
    x = a * tr
    y = b * tr
    precursor_decay = np.exp(-x)
    decay = np.exp(-y)
    total = tr * _phi1(y)  # the response to a constant unit precursor
    gap = np.abs(x - y)
    # (e^-y - e^-x) / (x - y) from its smaller exponent, so a large gap never overflows
    crossed = tr * np.exp(-np.minimum(x, y)) * _phi1(gap)
    growth = x * _phi1(x)  # 1 - e^-x
    small = np.abs(x) < _SMALL_DECAY
    with np.errstate(divide="ignore", invalid="ignore"):
        weight1 = (total - crossed) / np.where(small, 1.0, growth)
    weight1 = np.where(small, tr * _ramp_weight(y), weight1)
    weight0 = total - weight1
    input_factor = 1.0 / (tr * _phi1(x))
    return decay, weight0, weight1, precursor_decay, input_factor


@dataclass
class InputlessData:
    """The measured series of a batch of voxels, prepared for the inputless model.

    ``signal`` (nvoxels, nmetabolites, nframes); ``scale`` and ``remaining`` the excitation
    factors of the same shape (or broadcastable to it).
    """

    layout: Layout
    signal: np.ndarray
    scale: np.ndarray
    remaining: np.ndarray
    repetition_time: float

    def __post_init__(self):
        self.scale = np.broadcast_to(self.scale, self.signal.shape)
        self.remaining = np.broadcast_to(self.remaining, self.signal.shape)
        with np.errstate(divide="ignore", invalid="ignore"):
            self.longitudinal = self.signal / self.scale
        precursor = self.longitudinal[:, 0, :]
        self.start = self.remaining[:, 0, :-1] * precursor[:, :-1]  # just after each pulse
        self.end = precursor[:, 1:]  # just before the next

    def subset(self, voxels: np.ndarray) -> "InputlessData":
        return InputlessData(self.layout, self.signal[voxels], self.scale[voxels],
                             self.remaining[voxels], self.repetition_time)

    @property
    def nvoxels(self) -> int:
        return self.signal.shape[0]

    def _coefficients(self, parameters: np.ndarray):
        layout = self.layout
        rates = parameters[..., layout.rate_slice()]
        r1 = parameters[..., layout.r1_slice()]
        a = r1[..., :1] + _row_sum(rates)
        decay, weight0, weight1, _, _ = interval_weights(a, r1[..., 1:], self.repetition_time)
        carried = decay[..., np.newaxis] * self.remaining[:, 1:, :-1]
        source = (weight0[..., np.newaxis] * self.start[:, np.newaxis, :]
                  + weight1[..., np.newaxis] * self.end[:, np.newaxis, :])
        return rates, carried, source, (weight0, weight1)

    def products(self, parameters: np.ndarray) -> np.ndarray:
        """Modelled longitudinal magnetization of every product just before each frame:
        ``parameters`` (..., nvoxels, nparameters) -> (..., nvoxels, nproducts, nframes)."""
        rates, carried, source, _ = self._coefficients(parameters)
        start = parameters[..., self.layout.m0_slice()]
        return _propagate(carried, rates[..., np.newaxis] * source, start)

    def linear_parts(self, parameters: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The products as m0 * first + k * second, the rates entering only through the
        precursor's decay in ``parameters``: both (nvoxels, nproducts, nframes)."""
        _, carried, source, _ = self._coefficients(parameters)
        ones = np.ones(carried.shape[:-1])
        first = _propagate(carried, np.zeros_like(source), ones)
        second = _propagate(carried, source, np.zeros_like(ones))
        return first, second

    def precursor_sensitivity(self, parameters: np.ndarray) -> np.ndarray:
        """Derivative of the residuals with respect to each measured precursor signal sample,
        (nvoxels, nproducts * nframes, nframes): the products are linear in those samples."""
        rates, carried, _, (weight0, weight1) = self._coefficients(parameters)
        nvoxels, _, nframes = self.signal.shape
        nproducts = rates.shape[-1]
        # reach[..., n, m]: a product's magnetization at frame m per unit added at the end of
        # interval n (zero for m <= n)
        reach = _propagate(carried[:, :, np.newaxis, :], np.eye(nframes - 1),
                           np.zeros((nvoxels, nproducts, nframes - 1)))
        # Sample j starts interval j (after its pulse) and ends interval j - 1.
        starts = np.zeros((nvoxels, nproducts, nframes, nframes))
        starts[:, :, :-1] = reach * (weight0[..., np.newaxis] * (
            self.remaining[:, np.newaxis, 0, :-1] / self.scale[:, np.newaxis, 0, :-1])
        )[..., np.newaxis]
        starts[:, :, 1:] += reach * (weight1[..., np.newaxis]
                                     / self.scale[:, np.newaxis, 0, 1:])[..., np.newaxis]
        response = starts * (rates[..., np.newaxis, np.newaxis]
                             * self.scale[:, 1:, np.newaxis, :])
        # (voxel, product, sample, frame) -> (voxel, product * frame, sample)
        return np.swapaxes(response, 2, 3).reshape(nvoxels, nproducts * nframes, nframes)

    def residuals(self, parameters: np.ndarray) -> np.ndarray:
        """Modelled minus measured product signals, (..., nvoxels, nproducts * nframes)."""
        fitted = self.products(parameters) * self.scale[:, 1:, :]
        difference = fitted - self.signal[:, 1:, :]
        return difference.reshape(difference.shape[:-2] + (-1,))

    def fitted_signal(self, parameters: np.ndarray) -> np.ndarray:
        """The model's signal of every metabolite; the precursor's is the measured one."""
        fitted = self.signal.copy()
        fitted[:, 1:, :] = self.products(parameters) * self.scale[:, 1:, :]
        return fitted

    def input(self, parameters: np.ndarray) -> np.ndarray:
        """The constant input of each interval that takes the precursor through its measured
        values, (nvoxels, nframes - 1), in magnetization per s."""
        layout = self.layout
        r1 = parameters[..., layout.r1_slice()]
        a = r1[..., 0] + _row_sum(parameters[..., layout.rate_slice()])[..., 0]
        _, _, _, precursor_decay, factor = interval_weights(a, a, self.repetition_time)
        return (self.end - precursor_decay[:, np.newaxis] * self.start) * factor[:, np.newaxis]


def _row_sum(values: np.ndarray) -> np.ndarray:
    """Sum over the last axis in a fixed order, keeping the axis."""
    total = values[..., :1]
    for j in range(1, values.shape[-1]):
        total = total + values[..., j:j + 1]
    return total


def _propagate(carried: np.ndarray, source: np.ndarray, start: np.ndarray) -> np.ndarray:
    """x[0] = start, x[n + 1] = carried[n] x[n] + source[n] along the last axis."""
    shape = np.broadcast_shapes(carried.shape, source.shape)
    shape = np.broadcast_shapes(shape[:-1], start.shape) + (shape[-1] + 1,)
    values = np.empty(shape)
    values[..., 0] = start
    for n in range(shape[-1] - 1):
        values[..., n + 1] = carried[..., n] * values[..., n] + source[..., n]
    return values
