"""The per-voxel RF rotation of the two-pool block against the pure-NumPy path, bit for bit."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import same_bits, sprinkle

from korvel import pelorine, reference

THREADS = (1, 2, 3, 7, 64)
IMPLEMENTATIONS = pytest.mark.parametrize(
    "impl", [pelorine, reference], ids=["native", "reference"]
)


def random_block(rng, nvoxels):
    """State (Mx, My slots included), transverse store and coefficients from the preparer."""
    state = sprinkle(rng, rng.normal(size=(2, nvoxels, 3)))
    transverse = sprinkle(rng, rng.normal(size=(2, nvoxels)) + 1j * rng.normal(size=(2, nvoxels)))
    tx = sprinkle(rng, rng.normal(size=nvoxels) + 1j * rng.normal(size=nvoxels))
    tx[:3] = 0.0
    coefficients = reference.prepare_spatial_rf_rotation_coefficients(0.4, -0.3, tx, 0.7)
    return state, transverse, list(coefficients)


def run(impl, state, transverse, coefficients, num_threads):
    state, transverse = state.copy(), transverse.copy()
    impl.apply_spatial_rf_rotation_transverse_block(state, transverse, *coefficients, num_threads)
    return state, transverse


def test_quarter_turn_about_x():
    state = np.zeros((2, 1, 3))
    state[:, :, 2] = 1.0
    transverse = np.zeros((2, 1), complex)
    coefficients = [np.array([v]) for v in (1.0, 0.0, 6.123233995736766e-17, 1.0)]
    pelorine.apply_spatial_rf_rotation_transverse_block(state, transverse, *coefficients, 1)
    assert transverse.tolist() == [[-1j], [-1j]] and not np.signbit(transverse.real).any()
    assert state[:, :, 2].tolist() == [[6.123233995736766e-17]] * 2


@pytest.mark.parametrize("num_threads", THREADS)
def test_matches_reference_for_every_team(rng, num_threads):
    state, transverse, coefficients = random_block(rng, 53)
    coefficients[2][7] = np.nan  # a NaN coefficient reaches its own voxel only
    sprinkle(rng, coefficients[0], 0.05)
    before = [c.copy() for c in coefficients]
    got = run(pelorine, state, transverse, coefficients, num_threads)
    expected = run(reference, state, transverse, coefficients, 1)
    assert same_bits(got[0], expected[0]) and same_bits(got[1], expected[1])
    assert same_bits(got[0][:, :, :2], state[:, :, :2])  # Mx and My slots are not touched
    assert all(same_bits(c, b) for c, b in zip(coefficients, before))
    # a voxel is rotated the same alone as inside the block
    for lo, hi in [(7, 8), (0, 1), (10, 31)]:
        alone = run(pelorine, state[:, lo:hi].copy(), transverse[:, lo:hi].copy(),
                    [c[lo:hi].copy() for c in coefficients], num_threads)
        assert same_bits(alone[0], got[0][:, lo:hi]) and same_bits(alone[1], got[1][:, lo:hi])


@IMPLEMENTATIONS
def test_empty_block(impl):
    empty = np.zeros(0)
    assert impl.apply_spatial_rf_rotation_transverse_block(
        np.zeros((2, 0, 3)), np.zeros((2, 0), complex), empty, empty, empty, empty, 4
    ) is None


def faulty(**changes):
    """Arguments for four voxels, random but for the given replacements."""
    rng = np.random.default_rng(4)
    arguments = {
        "state": rng.normal(size=(2, 4, 3)),
        "transverse_state": rng.normal(size=(2, 4)) + 1j * rng.normal(size=(2, 4)),
        **{name: rng.normal(size=4) for name in ("axis_x", "axis_y", "cosine", "sine")},
        "num_threads": 2,
    }
    return {**arguments, **changes}


STRIDED = np.linspace(0.0, 1.0, 8)[::2]
CHECKS = {
    "state shape": (
        faulty(state=np.zeros((3, 4, 3)), axis_x=np.ones(5)),
        "state must have shape (2, nvoxels, 3)",
    ),
    "transverse shape": (
        faulty(transverse_state=np.zeros((2, 5), complex), sine=np.ones(5)),
        "transverse_state must have shape (2, nvoxels)",
    ),
    "length before contiguity": (
        faulty(state=np.zeros((2, 8, 3))[:, ::2], sine=np.ones(5)),
        "spatial RF coefficient lengths must match nvoxels",
    ),
    "state contiguity first": (
        faulty(transverse_state=np.zeros((2, 8), complex)[:, ::2], axis_x=STRIDED, num_threads=0),
        "state arrays must be C-contiguous",
    ),
    "coefficient contiguity": (
        faulty(sine=STRIDED, num_threads=0), "spatial RF coefficients must be C-contiguous"
    ),
    "team size": (faulty(num_threads=0), "num_threads must be positive"),
}


@IMPLEMENTATIONS
@pytest.mark.parametrize("case", CHECKS, ids=list(CHECKS))
def test_checks_in_order(impl, case):
    arguments, message = CHECKS[case]
    before = {k: v.copy() for k, v in arguments.items() if isinstance(v, np.ndarray)}
    with pytest.raises(ValueError) as excinfo:
        impl.apply_spatial_rf_rotation_transverse_block(**arguments)
    assert str(excinfo.value) == message
    assert all(same_bits(arguments[k], v) for k, v in before.items())
