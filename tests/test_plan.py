"""The two-pool plan block: its own semantics against the NumPy path (the axis and spatial RF
forms, crushers, repeated and overlapping actions, what the actions leave unchecked). What every
driver promises is tested in test_plan_contract.py."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import same_bits
from plan_harness import assert_same, check, run_both

from korvel.plan_blocks import TWO_POOL, two_pool_block

TEAMS = (1, 2, 3, 7, 64)


@pytest.mark.parametrize("num_threads", TEAMS)
@pytest.mark.parametrize(
    "shape", [dict(), dict(rf_per_spin=True), dict(spins_per_parent=1, nparents=9),
              dict(spins_per_parent=3, nparents=2, rf_per_spin=True, crusher_actions=False,
                   ideal_crushers=False),
              dict(ncoils=1, nadc=1, ncheckpoints=1), dict(special=0.05),
              dict(special=0.05, rf_per_spin=True)],
)
def test_matches_reference_for_every_team(rng, num_threads, shape):
    """The NumPy path's bits, and strictly those of one thread."""
    block = two_pool_block(rng, **shape)
    expected = check(TWO_POOL, block, teams=(1, num_threads))
    # Components 0 and 1 of the state are never touched.
    assert same_bits(expected["state"][:, :, :2], block["state"][:, :, :2])


def test_single_spin_with_width_one_uses_the_axis_form(rng):
    block = two_pool_block(rng, nparents=1, spins_per_parent=1)
    block["rf_groups"][:] = 0
    native, python = run_both(TWO_POOL, block, 2)
    assert_same(TWO_POOL, native, python)
    block["rf_one_minus_cosine"][:] = np.nan  # read in the axis form: everything turns NaN
    native, _ = run_both(TWO_POOL, block, 2)
    assert np.isnan(native["state"][:, :, 2]).all()


def test_spatial_form_never_reads_one_minus_cosine(rng):
    block = two_pool_block(rng, rf_per_spin=True)
    block["rf_groups"][:] = 1
    with_values, _ = run_both(TWO_POOL, block, 3)
    block["rf_one_minus_cosine"][:] = np.nan
    with_nan, python = run_both(TWO_POOL, block, 3)
    assert_same(TWO_POOL, with_values, with_nan)
    assert_same(TWO_POOL, with_nan, python)


def test_crushers_then_adc_add_zeros(rng):
    block = two_pool_block(rng, nsteps=1)
    block["action_offsets"] = np.array([0, 2], np.int32)
    block["action_kinds"] = np.array([1, 2], np.int8)
    block["action_payloads"] = np.array([0, 3], np.int64)
    native, python = run_both(TWO_POOL, block, 2)
    assert_same(TWO_POOL, native, python)
    assert same_bits(native["parent_species_signal"], block["parent_species_signal"])
    assert not native["transverse_state"].any()
    block["ideal_crushers"] = False
    native, python = run_both(TWO_POOL, block, 2)
    assert_same(TWO_POOL, native, python)
    assert not same_bits(native["parent_species_signal"], block["parent_species_signal"])


def test_repeated_payloads_add_twice_and_overwrite(rng):
    block = two_pool_block(rng, nsteps=2)
    block["action_offsets"] = np.array([0, 2, 4], np.int32)
    block["action_kinds"] = np.array([2, 3, 2, 3], np.int8)
    block["action_payloads"] = np.array([1, 0, 1, 0], np.int64)
    native, python = run_both(TWO_POOL, block, 3)
    assert_same(TWO_POOL, native, python)
    # The last checkpoint of each spin holds its final state.
    assert same_bits(native["checkpoint_states"][0, :, :, 2], native["state"][:, :, 2])
    assert same_bits(native["checkpoint_states"][0, :, :, 0], native["transverse_state"].real)


def test_only_what_actions_touch_is_checked(rng):
    """Ignored kinds and entries outside every bracket carry any payload; without checkpoint
    actions checkpoint_states may have any shape, without ADC actions the receive arrays any
    layout; an inverted bracket may point anywhere."""
    block = two_pool_block(rng, nsteps=3)
    block["action_offsets"] = np.array([10**6, 5, 7, -40], np.int32)
    block["action_kinds"] = np.array([2, 3, 2, 3, 0, 4, -1, 3], np.int8)
    block["action_payloads"] = np.array([99, 99, -9, 7, 2**62, -(2**62), 99, 99], np.int64)
    block["checkpoint_states"] = np.zeros((1, 1, 1, 1))
    block["parent_species_signal"] = np.asfortranarray(block["parent_species_signal"])
    native, python = run_both(TWO_POOL, block, 2)
    assert_same(TWO_POOL, native, python)


@pytest.mark.parametrize("num_threads", (1, 3))
def test_overlapping_brackets_repeat_their_actions(rng, num_threads):
    block = two_pool_block(rng, nsteps=3)
    block["action_offsets"] = np.array([0, 3, 1, 4], np.int32)  # step 1 inverted
    block["action_kinds"] = np.array([2, 1, 3, 2], np.int8)
    block["action_payloads"] = np.array([0, 0, 2, 3], np.int64)
    native, python = run_both(TWO_POOL, block, num_threads)
    assert_same(TWO_POOL, native, python)
