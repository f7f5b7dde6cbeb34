"""The axis RF rotation of a two-pool block against the NumPy reference."""

from __future__ import annotations


import numpy as np
import pytest

from conftest import THREAD_COUNTS, same_bits, sprinkle
from korvel import pelorine, reference


def block(rng, nvoxels: int, special: bool = True):
    state = rng.standard_normal((2, nvoxels, 3))
    transverse = rng.standard_normal((2, nvoxels)) + 1j * rng.standard_normal((2, nvoxels))
    if special:
        sprinkle(rng, state), sprinkle(rng, transverse)
    return state, transverse


def rotation(rng):
    angle, phase = rng.uniform(-np.pi, np.pi, 2)
    return (np.cos(phase), np.sin(phase), np.cos(angle), np.sin(angle), 1.0 - np.cos(angle))


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
@pytest.mark.parametrize("nvoxels", [1, 7, 1000])
def test_bit_identical_to_reference(rng, num_threads, nvoxels):
    state, transverse = block(rng, nvoxels)
    coefficients = rotation(rng)
    expected_state, expected_transverse = state.copy(), transverse.copy()
    reference.apply_rf_rotation_transverse_block(expected_state, expected_transverse,
                                                 *coefficients, num_threads)
    pelorine.apply_rf_rotation_transverse_block(state, transverse, *coefficients, num_threads)
    assert same_bits(state, expected_state) and same_bits(transverse, expected_transverse)


def test_quarter_turn_about_x_for_both_pools():
    state = np.zeros((2, 1, 3))
    state[:, :, 2] = 1.0
    transverse = np.zeros((2, 1), complex)
    pelorine.apply_rf_rotation_transverse_block(state, transverse, 1.0, 0.0, 6.123233995736766e-17,
                                                1.0, 0.9999999999999999, 2)
    assert transverse.real.tolist() == [[0.0], [0.0]]
    assert transverse.imag.tolist() == [[-1.0], [-1.0]]
    assert state[:, :, 2].tolist() == [[6.123233995736766e-17]] * 2


def test_special_values_stay_in_their_item_and_xy_slots_are_untouched(rng):
    state, transverse = block(rng, 6, special=False)
    state[:, :, :2] = np.nan  # stale slots: never read, never written
    stale = state[:, :, :2].copy()
    state[0, 2, 2] = np.inf  # 0.0 * inf makes the whole item NaN
    transverse[1, 4] = complex(np.inf, 0.5)  # 0.0 * inf reaches My only
    pelorine.apply_rf_rotation_transverse_block(state, transverse, 0.6, 0.8, 0.5, 0.75, 0.5, 3)
    assert same_bits(state[:, :, :2], stale)
    assert np.isnan([transverse[0, 2].real, transverse[0, 2].imag, state[0, 2, 2]]).all()
    assert np.isnan(transverse[1, 4].imag)
    nan_items = np.isnan(transverse.real) | np.isnan(transverse.imag) | np.isnan(state[:, :, 2])
    assert nan_items.sum() == 2


def test_identity_rotation_keeps_values_up_to_signed_zeros(rng):
    state, transverse = block(rng, 50, special=False)
    state[0, 0, 2], transverse[1, 1] = -0.0, complex(-0.0, 2.0)
    expected_state, expected_transverse = state.copy(), transverse.copy()
    pelorine.apply_rf_rotation_transverse_block(state, transverse, 0.6, 0.8, 1.0, 0.0, 0.0, 2)
    assert np.array_equal(state, expected_state) and np.array_equal(transverse, expected_transverse)
    assert not np.signbit(state[0, 0, 2]) and not np.signbit(transverse[1, 1].real)


def test_no_multiply_add_is_fused():
    # cosine * vx rounds away 2**-60; fused with the following addition it would survive.
    c = 1.0 + 2.0**-30
    vz = 1.0 + 2.0**-29
    state = np.zeros((2, 1, 3))
    state[:, 0, 2] = vz
    transverse = np.full((2, 1), complex(c, 0.0))
    pelorine.apply_rf_rotation_transverse_block(state, transverse, 0.0, -1.0, c, 1.0, 0.0, 1)
    exact = float(np.longdouble(c) * np.longdouble(c) - np.longdouble(vz))
    assert exact != 0.0  # the inputs do tell a fused operation from two roundings
    assert transverse.real.tolist() == [[0.0], [0.0]]


@pytest.mark.parametrize(
    "state_shape, transverse_shape, state_order, transverse_step, num_threads, message",
    [
        ((3, 4, 3), (2, 5), "C", 1, 0, "state must have shape (2, nvoxels, 3)"),
        ((2, 4, 2), (2, 4), "C", 1, 1, "state must have shape (2, nvoxels, 3)"),
        ((2, 4, 3), (2, 5), "F", 1, 0, "transverse_state must have shape (2, nvoxels)"),
        ((2, 4, 3), (1, 4), "C", 1, 1, "transverse_state must have shape (2, nvoxels)"),
        ((2, 4, 3), (2, 4), "F", 2, 0, "state arrays must be C-contiguous"),
        ((2, 4, 3), (2, 4), "C", 2, 0, "state arrays must be C-contiguous"),
        ((2, 4, 3), (2, 4), "C", 1, 0, "num_threads must be positive"),
        ((2, 4, 3), (2, 4), "C", 1, -5, "num_threads must be positive"),
    ],
)
def test_checks_in_order_and_nothing_written(state_shape, transverse_shape, state_order,
                                             transverse_step, num_threads, message, rng):
    state = np.asarray(rng.standard_normal(state_shape), order=state_order)
    rows, columns = transverse_shape
    transverse = np.ones((rows, columns * transverse_step), complex)[:, ::transverse_step]
    before = state.copy(), transverse.copy()
    with pytest.raises(ValueError) as info:
        pelorine.apply_rf_rotation_transverse_block(state, transverse, 1, 0, 0, 1, 1, num_threads)
    assert str(info.value) == message
    assert same_bits(state, before[0]) and same_bits(transverse, before[1])
    with pytest.raises(ValueError) as info:
        reference.apply_rf_rotation_transverse_block(state, transverse, 1, 0, 0, 1, 1, num_threads)
    assert str(info.value) == message


def test_empty_block_and_truncated_team_size():
    state, transverse = np.zeros((2, 0, 3)), np.zeros((2, 0), complex)
    assert pelorine.apply_rf_rotation_transverse_block(state, transverse, 1, 0, 0, 1, 1, 3.9) is None
    with pytest.raises(ValueError, match="num_threads must be positive"):
        pelorine.apply_rf_rotation_transverse_block(state, transverse, 1, 0, 0, 1, 1, 0.9)
