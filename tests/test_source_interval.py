"""The two-pool source-interval block: its own semantics against the NumPy path (source modes,
equilibrium shifts, arrays a configuration never reads, the no-action mode, worked and
hand-derived steps). What every driver promises is tested in test_plan_contract.py."""

from __future__ import annotations

import itertools

import numpy as np
import pytest
from conftest import THREAD_COUNTS, same_bits, sprinkle
from plan_harness import assert_same, check, run

from korvel import reference
from korvel.plan_blocks import SOURCE_INTERVAL, WINDOWS, source_interval_block

OUTPUTS = SOURCE_INTERVAL.written


def make_block(rng, nvoxels=6, plan=False, spins_per_parent=1, **options):
    """A block of ``nvoxels`` spins; without ``plan`` in the no-action mode."""
    return source_interval_block(rng, nparents=nvoxels // spins_per_parent,
                                 spins_per_parent=spins_per_parent, nsteps=4, ngroups=3,
                                 nfactor_groups=2, nrf_groups=3, nadc=3, ncheckpoints=2,
                                 actions="varied" if plan else None, **options)


def assert_unchanged(before, after):
    for name, value in before.items():
        if isinstance(value, np.ndarray):
            assert same_bits(value, after[name], strict=True), name


CONFIGURATIONS = [
    dict(source_mode=mode, spatial_sources=spatial, kpl_groups=kpl_groups,
         rf_per_spin=rf_per_spin, plan=plan, spins_per_parent=spins)
    for mode, spatial, kpl_groups, rf_per_spin, (plan, spins) in itertools.product(
        range(4), (False, True), (False, True), (False, True),
        ((False, 1), (True, 1), (True, 3)))
]


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
@pytest.mark.parametrize("configuration", CONFIGURATIONS, ids=lambda c: "-".join(
    f"{k}={int(v)}" for k, v in c.items()))
def test_matches_reference(rng, configuration, num_threads):
    """The NumPy path's bits, and strictly those of one thread."""
    block = make_block(rng, **configuration)
    got = check(SOURCE_INTERVAL, block, teams=(1, num_threads))
    # Mx and My of both state arrays are never touched.
    for name in ("state", "concentration_state"):
        assert same_bits(got[name][..., :2], block[name][..., :2], strict=True)


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")  # inf - inf
@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
def test_special_values_stay_in_their_voxel(rng, num_threads):
    block = source_interval_block(rng, nparents=3, spins_per_parent=3, nsteps=5, ngroups=3,
                                  rf_per_spin=True)
    for name in ("state", "transverse_state", "concentration_state", "exp_a_by_group",
                 "difference_by_group", "concentration_f1_a_by_group", "transverse_factors",
                 "rx_sensitivities", "inflow_delivery", "polarization_second_end"):
        sprinkle(rng, block[name])
    block["duration_by_group"][0] = 0.0
    # Any nonzero mask byte means regular, in uint8 masks too.
    for name in ("regular_by_group", "concentration_regular_by_group"):
        block[name] = rng.choice(np.array([0, 1, 2, 255], np.uint8), block[name].shape)
    block["regular_mode_by_group"][:] = 0
    expected = run(SOURCE_INTERVAL, block, reference=True)
    assert_same(SOURCE_INTERVAL, run(SOURCE_INTERVAL, block, num_threads), expected)


@pytest.mark.parametrize("equilibrium", [0.0, -0.0, np.nan])
def test_equilibrium_shift(rng, equilibrium):
    # A zero equilibrium, of either sign, skips the shift, so an infinite concentration stays out
    # of the magnetization; NaN is not zero and spreads into every magnetization value.
    block = make_block(rng, equilibrium=equilibrium, source_mode=2)
    block["concentration_state"][1, 2, 2] = np.inf
    got = run(SOURCE_INTERVAL, block, 3)
    assert_same(SOURCE_INTERVAL, got, run(SOURCE_INTERVAL, block, reference=True))
    magnetization = got["state"][:, :, 2]
    assert np.isnan(magnetization).all() == np.isnan(equilibrium)
    assert np.isfinite(magnetization).all() == (not np.isnan(equilibrium))
    assert np.isfinite(got["concentration_state"][0, :, 2]).all()


@pytest.mark.parametrize("equilibrium", [0.0, -0.0])
def test_shifted_source_ramp_is_formed_at_zero_equilibrium(rng, equilibrium):
    # equilibrium x concentration source is subtracted even at zero: infinity x 0 is NaN.
    block = source_interval_block(rng, nsteps=1, equilibrium=equilibrium, source_mode=0,
                                  actions=None)
    block["inflow_first_start"][0] = np.inf
    got = run(SOURCE_INTERVAL, block)
    assert_same(SOURCE_INTERVAL, got, run(SOURCE_INTERVAL, block, reference=True))
    assert np.isnan(got["state"][0, :, 2]).all()


# Arrays a configuration never reads: NaN in them changes nothing.
UNREAD = [
    pytest.param(dict(source_mode=1), WINDOWS[4:], id="direct-sources-polarization"),
    pytest.param(dict(source_mode=2), WINDOWS + ("inflow_delivery",), id="no-sources"),
    pytest.param(dict(spatial_sources=True), WINDOWS, id="spatial-sources-windows"),
    pytest.param(dict(rf_per_spin=True), ("rf_one_minus_cosine",), id="spatial-rf"),
    pytest.param(dict(kpl_groups=True), ("kpl",), id="kpl-groups"),
]


@pytest.mark.parametrize("configuration, unread", UNREAD)
def test_unread_arrays_take_no_part(rng, configuration, unread):
    block = make_block(rng, plan=True, **configuration)
    poisoned = {name: np.full_like(block[name], np.nan) for name in unread}
    expected = run(SOURCE_INTERVAL, block)
    assert_same(SOURCE_INTERVAL, run(SOURCE_INTERVAL, block, 2, **poisoned), expected)
    assert_same(SOURCE_INTERVAL, run(SOURCE_INTERVAL, block, reference=True, **poisoned),
                expected)


def test_no_action_mode_ignores_observation_arguments(rng):
    block = make_block(rng)
    read_only = np.zeros((1, 1, 1, 1), complex)
    read_only.flags.writeable = False
    ignored = dict(action_kinds=np.zeros(3, np.int8), spins_per_parent=7,
                   rx_sensitivities=np.zeros((1, 1), complex), signal_weights=np.zeros(2),
                   parent_species_signal=read_only, checkpoint_states=np.zeros((1, 1, 1, 1)))
    got = run(SOURCE_INTERVAL, block, **ignored)
    assert_same(SOURCE_INTERVAL, got, run(SOURCE_INTERVAL, block, reference=True),
                names=OUTPUTS[:3])
    assert_unchanged(ignored, got)
    with pytest.raises(ValueError, match="Buffer dtype mismatch"):
        run(SOURCE_INTERVAL, block, signal_weights=np.zeros(2, np.float32))


def test_worked_example_of_the_inflow_step(rng):
    """One step with identity factors and no RF is two inflow steps, the first one known."""
    block = source_interval_block(rng, nparents=1, nsteps=1, ngroups=1, nfactor_groups=1,
                                  source_mode=0, equilibrium=0.1, actions=None)
    coefficients = dict(kpl=0.1, exp_a=0.8, exp_b=0.97, difference=0.03, f0_a=0.9, f1_a=0.4,
                        j0=0.05, j1=0.02, concentration_exp_a=0.85, concentration_exp_b=0.98,
                        concentration_difference=0.07, concentration_f0_a=0.92,
                        concentration_f1_a=0.45, concentration_j0=0.04, concentration_j1=0.015)
    for name, value in coefficients.items():
        if name != "kpl":
            block[f"{name}_by_group"][...] = value
    block["regular_by_group"][...] = block["concentration_regular_by_group"][...] = False
    block["regular_mode_by_group"][...] = block["concentration_regular_mode_by_group"][...] = 1
    block.update(
        kpl=np.array([0.1]), inflow_delivery=np.array([1.0]),
        duration_by_group=np.array([1.0]), rf_groups=np.array([-1], np.int32),
        transverse_factors=np.ones((1, 2, 1), complex),
        inflow_first_start=np.array([1.5]), inflow_first_end=np.array([2.5]),
        polarization_first_start=np.array([0.2 / 1.5]),
        polarization_first_end=np.array([0.6 / 2.5]),
        inflow_second_start=np.array([0.5]), inflow_second_end=np.array([1.0]),
        polarization_second_start=np.array([0.5]), polarization_second_end=np.array([0.25]),
    )
    block["state"][:, 0, 2] = 1.0, 0.25
    block["concentration_state"][:, 0, 2] = 3.0, 0.5

    state = block["state"].copy()
    concentration = block["concentration_state"].copy()
    per_voxel = {name: np.array([value]) for name, value in coefficients.items()}
    step = reference.apply_longitudinal_step_with_concentration_inflow
    halves = ((0.2, 0.6, 1.5, 2.5), (0.25, 0.25, 0.5, 1.0))
    for source_start, source_end, concentration_start, concentration_end in halves:
        step(state, concentration, per_voxel["kpl"], per_voxel["exp_a"], 0.97,
             per_voxel["difference"], np.ones(1, bool), per_voxel["f0_a"], per_voxel["f1_a"],
             per_voxel["j0"], per_voxel["j1"], per_voxel["concentration_exp_a"], 0.98,
             per_voxel["concentration_difference"], np.ones(1, bool),
             per_voxel["concentration_f0_a"], per_voxel["concentration_f1_a"],
             per_voxel["concentration_j0"], per_voxel["concentration_j1"],
             np.array([source_start]), np.array([source_end]),
             np.array([concentration_start]), np.array([concentration_end]), 1.0, 0.1, 1, 1, 1)
        if concentration_start == 1.5:
            assert [state[0, 0, 2], state[1, 0, 2], concentration[0, 0, 2],
                    concentration[1, 0, 2]] == [1.1629999999999998, 0.6969809523809523, 4.38,
                                                1.0546428571428572]
    for reference_path in (False, True):
        got = run(SOURCE_INTERVAL, block, reference=reference_path)
        assert same_bits(got["state"], state)
        assert same_bits(got["concentration_state"], concentration)
        assert same_bits(got["transverse_state"], block["transverse_state"])


def hand_block():
    """One voxel, one step, values whose every rounding is exact (derived on paper)."""
    def table(value):
        return np.full((1, 1), value)

    block = dict(
        state=np.array([[[7.0, 8.0, 1.0]], [[9.0, 10.0, 0.0]]]),
        transverse_state=np.array([[1.0 + 0.0j], [0.0 + 0.0j]]),
        concentration_state=np.array([[[0.0, 0.0, 2.0]], [[0.0, 0.0, 0.0]]]),
        kpl=np.array([0.25]), inflow_delivery=np.array([1.0]),
        transverse_factors=np.array([[[1j], [1j]], [[1.0], [1.0]]]),
        exp_a_by_group=table(0.5), exp_b_by_group=np.array([0.75]),
        difference_by_group=table(0.25), regular_by_group=table(False),
        f0_a_by_group=table(1.0), f1_a_by_group=table(0.5),
        j0_by_group=table(0.5), j1_by_group=table(0.25),
        concentration_exp_a_by_group=table(0.5), concentration_exp_b_by_group=np.array([0.5]),
        concentration_difference_by_group=table(0.0), concentration_regular_by_group=table(True),
        concentration_f0_a_by_group=table(1.0), concentration_f1_a_by_group=table(1.0),
        concentration_j0_by_group=table(1.0), concentration_j1_by_group=table(1.0),
        duration_by_group=np.array([2.0]), regular_mode_by_group=np.array([1], np.int32),
        concentration_regular_mode_by_group=np.array([-1], np.int32),
        longitudinal_groups=np.array([0], np.int32), first_factor_groups=np.array([0], np.int32),
        second_factor_groups=np.array([1], np.int32), rf_groups=np.array([0], np.int32),
        # A quarter turn about x.
        rf_axis_x=table(1.0), rf_axis_y=table(0.0), rf_cosine=table(0.0), rf_sine=table(1.0),
        rf_one_minus_cosine=table(1.0),
        inflow_first_start=np.array([1.0]), inflow_first_end=np.array([3.0]),
        inflow_second_start=np.array([3.0]), inflow_second_end=np.array([5.0]),
        polarization_first_start=np.array([np.nan]), polarization_first_end=np.array([np.nan]),
        polarization_second_start=np.array([np.nan]), polarization_second_end=np.array([np.nan]),
        equilibrium=0.0, num_threads=1, source_mode=1,
    )
    return block


@pytest.mark.parametrize("reference_path", [True, False], ids=["reference", "native"])
def test_hand_derived_step(reference_path):
    # First half: transfer 0.25, pyruvate 0.5 + (1 + 0.5) = 2, lactate 0.1875 + 0.25, the
    # concentrations (duration form, no source) 1 and 0.5; the factor i turns (1, 0) into (0, 1);
    # the quarter turn maps (0, 1, 2) to (0, -2, 1) and (0, 0, 0.4375) to (0, -0.4375, 0).
    # Second half: pyruvate 0.5 + (3 + 0.5) = 4, lactate 0.4375 + 0.25, concentrations 0.5, 0.5.
    got = run(SOURCE_INTERVAL, hand_block(), reference=reference_path)
    assert same_bits(got["state"], np.array([[[7.0, 8.0, 4.0]], [[9.0, 10.0, 0.6875]]]))
    assert same_bits(got["concentration_state"], np.array([[[0.0, 0.0, 0.5]], [[0.0, 0.0, 0.5]]]))
    assert same_bits(got["transverse_state"], np.array([[0.0 - 2.0j], [0.0 - 0.4375j]]))
