"""Closed-form coefficients of one half-interval of the linear kinetic model.

Over a half-interval of length t, a precursor that decays at rate a (relaxation, clearance and
conversion) feeds a product that decays at rate b; a source ramps linearly into the precursor.
Every coefficient the drivers need is an integral over time of products of exponentials, that is
a divided difference of z -> exp(-z t) at the rates involved (0 for a constant or a ramp):

    exp_a = e^(-a t)                 f0 = -h[a, 0]       f1 = h[a, 0, 0]
    transfer = -h[a, b] = (e^(-b t) - e^(-a t)) / (a - b)
    j0 = h[a, b, 0]                  j1 = -h[a, b, 0, 0]

``exp_divided_difference`` evaluates these to a few units in the last place for any rates,
coincident ones included, so the a == b limits need no separate formulas.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

# Most Taylor terms of the clustered-node series; with every node within 1/2 of the centre the
# 25th term is below 1e-30 of the first.
_SERIES_TERMS = 25
# Nodes spread over less than this (in units of 1/t) are evaluated by the series; wider sets by
# the recursion, whose one subtraction then loses at most a few bits.
_CLUSTER_SPAN = 1.0


def exp_divided_difference(*nodes) -> np.ndarray:
    """Divided difference of x -> exp(-x) at the given nodes (arrays broadcast together).

    The nodes are dimensionless (rate times duration) and must be finite and non-negative.
    """
    arrays = np.broadcast_arrays(*(np.asarray(node, dtype=np.float64) for node in nodes))
    shape = arrays[0].shape
    stacked = np.stack([a.reshape(-1) for a in arrays])
    return _divided_difference(np.sort(stacked, axis=0)).reshape(shape)


def _divided_difference(sorted_nodes: np.ndarray) -> np.ndarray:
    """Divided differences of exp(-x) for each column of ascending nodes."""
    order = sorted_nodes.shape[0] - 1
    if order == 0:
        return np.exp(-sorted_nodes[0])
    low, high = sorted_nodes[0], sorted_nodes[-1]
    result = np.empty(low.shape)
    clustered = (high - low) < _CLUSTER_SPAN
    if clustered.any():
        result[clustered] = _clustered_series(sorted_nodes[:, clustered])
    spread = ~clustered
    if spread.any():
        nodes = sorted_nodes[:, spread]
        upper = _divided_difference(nodes[1:])
        lower = _divided_difference(nodes[:-1])
        result[spread] = (upper - lower) / (nodes[-1] - nodes[0])
    return result


def _clustered_series(sorted_nodes: np.ndarray) -> np.ndarray:
    """exp(-c) times the divided difference of exp(-w) at w = node - c, c the centre.

    The n-th divided difference of w^m is the complete homogeneous symmetric polynomial of
    degree m - n in the nodes, so the exponential's series gives one of the divided difference.
    """
    order = sorted_nodes.shape[0] - 1
    centre = 0.5 * (sorted_nodes[0] + sorted_nodes[-1])
    offsets = sorted_nodes - centre
    # Term m is at most radius^m / m! of the first: stop once that is below 2^-60.
    radius = float(np.max(np.abs(offsets), initial=0.0))
    terms, bound = 1, 1.0
    while terms < _SERIES_TERMS and bound >= 2.0**-60:
        bound *= radius / terms
        terms += 1
    # homogeneous[k] = h_k(w_0 .. w_j), built up one node at a time.
    homogeneous = np.empty((terms, offsets.shape[1]))
    homogeneous[0] = 1.0
    for degree in range(1, terms):
        homogeneous[degree] = homogeneous[degree - 1] * offsets[0]
    for node in offsets[1:]:
        for degree in range(1, terms):
            homogeneous[degree] = homogeneous[degree] + node * homogeneous[degree - 1]
    factorials = [float(math.factorial(order + degree)) for degree in range(terms)]
    total = np.zeros(centre.shape)
    for degree in reversed(range(terms)):  # smallest terms first
        total = total + ((-1.0) ** (order + degree) / factorials[degree]) * homogeneous[degree]
    return np.exp(-centre) * total


def decay(rate, duration) -> np.ndarray:
    """e^(-rate t)."""
    return np.exp(-(np.asarray(rate, dtype=np.float64) * duration))


def source_weights(rate, duration) -> tuple[np.ndarray, np.ndarray]:
    """(f0, f1): what a source s0 + m tau over [0, t] adds to a pool decaying at ``rate``.

    f0 = integral of e^(-a (t - tau)), f1 = integral of tau e^(-a (t - tau)), over [0, t].
    """
    x = np.asarray(rate, dtype=np.float64) * duration
    f0 = -duration * exp_divided_difference(x, 0.0)
    f1 = (duration * duration) * exp_divided_difference(x, 0.0, 0.0)
    return f0, f1


def conversion_weights(rate_a, rate_b, duration) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(transfer, j0, j1) of a precursor decaying at a into a product decaying at b.

    ``transfer`` is the product gained per unit precursor and unit conversion rate,
    (e^(-b t) - e^(-a t)) / (a - b), or t e^(-b t) when a == b; j0 and j1 are the product gained
    per unit conversion rate from the source's start value and slope.
    """
    x = np.asarray(rate_a, dtype=np.float64) * duration
    y = np.asarray(rate_b, dtype=np.float64) * duration
    transfer = -duration * exp_divided_difference(x, y)
    j0 = (duration * duration) * exp_divided_difference(x, y, 0.0)
    j1 = -((duration * duration) * duration) * exp_divided_difference(x, y, 0.0, 0.0)
    return transfer, j0, j1


def regular_divisor(exp_a, exp_b, transfer) -> tuple[np.ndarray, np.ndarray]:
    """(difference, regular) for a two-pool half-step that forms (exp_b - exp_a) / difference.

    The divisor is a - b corrected for the rounding of both exponentials, so that the quotient
    is the accurate ``transfer`` even when the rates nearly coincide. Where the two rounded
    exponentials are equal, the duration form t e^(-b t) is exact to rounding and the mask
    selects it.
    """
    exp_a, exp_b = np.broadcast_arrays(np.asarray(exp_a, dtype=np.float64),
                                       np.asarray(exp_b, dtype=np.float64))
    delta = exp_b - exp_a
    regular = delta != 0.0
    with np.errstate(divide="ignore", invalid="ignore"):
        difference = np.where(regular, delta / np.where(regular, transfer, 1.0), 0.0)
    return difference, regular


@dataclass(frozen=True)
class HalfInterval:
    """All coefficients of one half-interval for a precursor rate a and product rates b_q.

    ``exp_a``, ``f0``, ``f1`` have the shape of ``rate_a``; ``exp_b`` has one entry per product;
    ``transfer``, ``j0``, ``j1`` are (nproducts, *shape of rate_a).
    """

    duration: float
    exp_a: np.ndarray
    f0: np.ndarray
    f1: np.ndarray
    exp_b: np.ndarray
    transfer: np.ndarray
    j0: np.ndarray
    j1: np.ndarray


def half_interval(rate_a, rates_b, duration: float) -> HalfInterval:
    """The coefficients of one half-interval of length ``duration``.

    Voxels of a region share their rates, so each distinct precursor rate is evaluated once.
    """
    rate_a = np.asarray(rate_a, dtype=np.float64)
    distinct, inverse = np.unique(rate_a.reshape(-1), return_inverse=True)
    spread = lambda values: values[..., inverse.reshape(-1)].reshape(  # noqa: E731
        values.shape[:-1] + rate_a.shape)
    rates_b = np.asarray(rates_b, dtype=np.float64).reshape(-1)
    f0, f1 = source_weights(distinct, duration)
    per_product = [conversion_weights(distinct, rate_b, duration) for rate_b in rates_b]
    stack = lambda index: np.stack([weights[index] for weights in per_product])  # noqa: E731
    return HalfInterval(
        duration=float(duration),
        exp_a=spread(decay(distinct, duration)),
        f0=spread(f0),
        f1=spread(f1),
        exp_b=decay(rates_b, duration),
        transfer=spread(stack(0)),
        j0=spread(stack(1)),
        j1=spread(stack(2)),
    )
