"""Closed-form half-interval coefficients against numerical integration, limits included."""

from __future__ import annotations

import math

import numpy as np
import pytest

from korvel.host import half_interval
from korvel.host.experiment import Bolus, ExperimentError, FlipAngles

integrate = pytest.importorskip("scipy.integrate")

# (a, b, t): distinct rates, coincident ones (the duration form), nearly coincident ones,
# zero rates, fast rates and tiny ones.
RATE_CASES = [
    (0.0733, 0.04, 1.5),
    (0.05, 0.05, 1.5),
    (0.05 * (1 + 1e-9), 0.05, 2.0),
    (0.04, 0.04 * (1 + 3e-14), 0.7),
    (0.0, 0.0, 3.0),
    (0.0, 0.06, 1.0),
    (0.06, 0.0, 1.0),
    (8.0, 0.3, 2.0),
    (0.3, 8.0, 2.0),
    (1e-7, 2e-7, 0.005),
]


def integrated(a, b, t):
    """(exp_a, transfer, f0, f1, j0, j1) by integrating P' = -aP + s(tau), L' = -bL + P."""
    def run(p0, s0, slope):
        rhs = lambda tau, y: [-a * y[0] + s0 + slope * tau, -b * y[1] + y[0]]  # noqa: E731
        solution = integrate.solve_ivp(rhs, (0.0, t), [p0, 0.0], method="DOP853", rtol=1e-12,
                                       atol=1e-30)
        return solution.y[:, -1]

    (exp_a, transfer), (f0, j0), (f1, j1) = run(1.0, 0.0, 0.0), run(0.0, 1.0, 0.0), run(0.0, 0.0, 1.0)
    return exp_a, transfer, f0, f1, j0, j1


@pytest.mark.parametrize("a, b, t", RATE_CASES)
def test_half_interval_matches_integration(a, b, t):
    half = half_interval.half_interval(np.array([a]), [b], t)
    closed = (half.exp_a[0], half.transfer[0, 0], half.f0[0], half.f1[0], half.j0[0, 0],
              half.j1[0, 0])
    for name, got, expected in zip(("exp_a", "transfer", "f0", "f1", "j0", "j1"), closed,
                                   integrated(a, b, t)):
        assert got == pytest.approx(expected, rel=1e-10, abs=1e-300), name
    assert half.exp_b[0] == pytest.approx(math.exp(-b * t), rel=1e-15)


@pytest.mark.parametrize("nodes", [(0.02, 0.02), (0.5, 0.5, 0.0), (0.3, 0.3, 0.0, 0.0),
                                   (1.0, 1.0, 1.0, 1.0)])
def test_coincident_nodes_give_the_derivative_limits(nodes):
    # With every node at x, the n-th divided difference of exp(-x) is (-1)^n exp(-x) / n!.
    x, n = nodes[0], len(nodes) - 1
    if all(node == x for node in nodes):
        expected = (-1) ** n * math.exp(-x) / math.factorial(n)
        assert half_interval.exp_divided_difference(*nodes) == pytest.approx(expected, rel=4e-16)
    # Nudging one node by 1e-9 moves the result by about 1e-9 of it, from either side.
    centre = half_interval.exp_divided_difference(*nodes)
    for nudge in (1e-9, -1e-9):
        moved = half_interval.exp_divided_difference(nodes[0] + nudge, *nodes[1:])
        assert moved == pytest.approx(centre, rel=2e-9)


def test_regular_divisor_reproduces_the_transfer_and_masks_equal_exponentials():
    a = np.array([0.0733, 0.05 * (1 + 1e-12), 0.05, 0.9])
    t = 1.5
    half = half_interval.half_interval(a, [0.05], t)
    difference, regular = half_interval.regular_divisor(half.exp_a, half.exp_b[0], half.transfer[0])
    assert regular.tolist() == [True, True, False, True]
    quotient = (half.exp_b[0] - half.exp_a[regular]) / difference[regular]
    np.testing.assert_allclose(quotient, half.transfer[0][regular], rtol=4e-16)
    # Where the mask is off, the duration form t e^(-b t) is the transfer.
    assert t * half.exp_b[0] == pytest.approx(half.transfer[0][2], rel=4e-16)


@pytest.mark.parametrize("bolus", [Bolus("gamma", arrival=2.0, duration=8.0, dose=3.0),
                                   Bolus("gamma", arrival=0.0, duration=5.0, gamma_shape=1.0),
                                   Bolus("boxcar", arrival=1.0, duration=4.0, dose=2.0)],
                         ids=["gamma", "exponential", "boxcar"])
def test_bolus_delivers_its_dose(bolus):
    pieces = [(0.0, bolus.arrival), (bolus.arrival, bolus.arrival + bolus.duration),
              (bolus.arrival + bolus.duration, 400.0)]
    total = sum(integrate.quad(lambda t: float(bolus.rate(t)), a, b, limit=200)[0]
                for a, b in pieces if b > a)
    assert total == pytest.approx(bolus.dose, rel=1e-9)


def test_boxcar_edges_take_the_limit_from_the_side_asked():
    bolus = Bolus("boxcar", arrival=1.0, duration=4.0, dose=2.0)
    edges = np.array([1.0, 5.0])
    assert bolus.rate(edges, +1).tolist() == [0.5, 0.0]
    assert bolus.rate(edges, -1).tolist() == [0.0, 0.5]


def test_variable_flip_angles_keep_the_signal_of_unrecovered_magnetization():
    angles = FlipAngles("variable", 90.0).schedule(16)
    magnetization, signals = 1.0, []
    for angle in angles:
        signals.append(magnetization * math.sin(angle))
        magnetization *= math.cos(angle)
    np.testing.assert_allclose(signals, signals[0], rtol=1e-12)
    assert angles[-1] == pytest.approx(math.pi / 2)
    with pytest.raises(ExperimentError, match="flip angles: 2 angles given for 3 excitations"):
        FlipAngles("list", angles=(10.0, 20.0)).schedule(3)
