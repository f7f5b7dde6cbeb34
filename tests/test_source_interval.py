"""The two-pool source-interval block: native against the NumPy path, bit for bit."""

from __future__ import annotations

import itertools

import numpy as np
import pytest
from conftest import THREAD_COUNTS, copy_arrays, same_bits, sprinkle

from korvel import pelorine, reference

NATIVE = pelorine.apply_dynamic_rf_block_with_concentration_inflow
REFERENCE = reference.apply_dynamic_rf_block_with_concentration_inflow

OUTPUTS = ("state", "transverse_state", "concentration_state", "parent_species_signal",
           "checkpoint_states")
WINDOWS = ("inflow_first_start", "inflow_first_end", "inflow_second_start", "inflow_second_end",
           "polarization_first_start", "polarization_first_end", "polarization_second_start",
           "polarization_second_end")


def make_block(rng, nvoxels=6, nsteps=4, ngroups=3, nfactor_groups=2, nrf_groups=3, width=1,
               plan=False, spins_per_parent=1, ncoils=2, nadc=3, ncheckpoints=2,
               kpl_groups=False, spatial=False, source_mode=0, equilibrium=0.3):
    """Keyword arguments of one valid call, every array freshly made."""
    def uniform(low, high, *shape):
        return rng.uniform(low, high, shape)

    def complex_values(*shape):
        return uniform(-1, 1, *shape) + 1j * uniform(-1, 1, *shape)

    block = dict(
        state=uniform(-1, 1, 2, nvoxels, 3),
        transverse_state=complex_values(2, nvoxels),
        concentration_state=uniform(0, 2, 2, nvoxels, 3),
        kpl=uniform(0, 0.3, nvoxels),
        inflow_delivery=uniform(0.5, 1.5, nvoxels),
        transverse_factors=0.9 * complex_values(nfactor_groups, 2, nvoxels),
    )
    for prefix in ("", "concentration_"):
        block[f"{prefix}exp_a_by_group"] = uniform(0.5, 1, ngroups, nvoxels)
        block[f"{prefix}exp_b_by_group"] = uniform(0.5, 1, ngroups)
        block[f"{prefix}difference_by_group"] = uniform(-0.3, 0.3, ngroups, nvoxels)
        block[f"{prefix}regular_by_group"] = rng.integers(0, 2, (ngroups, nvoxels)).astype(bool)
        for name in ("f0_a", "f1_a", "j0", "j1"):
            block[f"{prefix}{name}_by_group"] = uniform(0, 1, ngroups, nvoxels)
    block["duration_by_group"] = uniform(0.5, 2, ngroups)
    block["regular_mode_by_group"] = rng.integers(-1, 3, ngroups).astype(np.int32)
    block["concentration_regular_mode_by_group"] = rng.integers(-1, 3, ngroups).astype(np.int32)
    block["longitudinal_groups"] = rng.integers(0, ngroups, nsteps).astype(np.int32)
    block["first_factor_groups"] = rng.integers(0, nfactor_groups, nsteps).astype(np.int32)
    block["second_factor_groups"] = rng.integers(0, nfactor_groups, nsteps).astype(np.int32)
    block["rf_groups"] = rng.integers(-1, nrf_groups, nsteps).astype(np.int32)
    phase, angle = uniform(-np.pi, np.pi, nrf_groups, width), uniform(0, np.pi, nrf_groups, width)
    block.update(rf_axis_x=np.cos(phase), rf_axis_y=np.sin(phase), rf_cosine=np.cos(angle),
                 rf_sine=np.sin(angle), rf_one_minus_cosine=1.0 - np.cos(angle))
    for name in WINDOWS:
        block[name] = uniform(0, 2, nsteps)
    block.update(equilibrium=equilibrium, num_threads=1, source_mode=source_mode)
    if kpl_groups:
        block["kpl_by_group"] = uniform(0, 0.3, ngroups, nvoxels)
    if spatial:
        block["spatial_source_values"] = uniform(0, 2, 8, nsteps, nvoxels)
    if plan:
        nparents = nvoxels // spins_per_parent
        counts = rng.integers(0, 4, nsteps)
        start = 3  # the brackets need not begin at the stream's start
        offsets = np.concatenate([[start], start + np.cumsum(counts)]).astype(np.int32)
        nactions = int(offsets[-1]) + 2
        kinds = rng.choice(np.array([0, 1, 2, 2, 3, 4, -1], dtype=np.int8), nactions)
        payloads = rng.integers(0, 1 << 40, nactions)  # ignored kinds carry any payload
        payloads[kinds == 2] = rng.integers(0, nadc, int(np.sum(kinds == 2)))
        payloads[kinds == 3] = rng.integers(0, ncheckpoints, int(np.sum(kinds == 3)))
        block.update(
            action_offsets=offsets, action_kinds=kinds, action_payloads=payloads,
            adc_demodulation=complex_values(nadc + 1),
            rx_sensitivities=complex_values(ncoils, nvoxels),
            signal_weights=uniform(0, 2, nvoxels),
            parent_species_signal=complex_values(nparents, 2, ncoils, nadc),
            checkpoint_states=uniform(-1, 1, ncheckpoints, 2, nvoxels, 3),
            spins_per_parent=spins_per_parent, signal_scale=0.75,
            ideal_crushers=bool(rng.integers(0, 2)),
        )
    return block


def identical(a, b):
    """Raw bytes equal: NaN payloads and signs included, for arrays that must be left alone."""
    a, b = np.ascontiguousarray(a), np.ascontiguousarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def copied(block):
    return copy_arrays(block)


def run(function, block, **changes):
    """Call ``function`` on a copy of ``block``; returns the copy with the results in it."""
    arguments = copied(block)
    arguments.update(changes)
    assert function(**arguments) is None
    return arguments


def assert_same_outputs(left, right):
    for name in OUTPUTS:
        if left.get(name) is not None:
            assert same_bits(left[name], right[name]), name


def assert_unchanged(before, after):
    for name, value in before.items():
        if isinstance(value, np.ndarray):
            assert identical(value, after[name]), name


CONFIGURATIONS = [
    dict(source_mode=mode, spatial=spatial, kpl_groups=kpl_groups, width=width, plan=plan,
         spins_per_parent=spins)
    for mode, spatial, kpl_groups, width, (plan, spins) in itertools.product(
        range(4), (False, True), (False, True), (1, 6), ((False, 1), (True, 1), (True, 3)))
]


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
@pytest.mark.parametrize("configuration", CONFIGURATIONS, ids=lambda c: "-".join(
    f"{k}={int(v)}" for k, v in c.items()))
def test_matches_reference(rng, configuration, num_threads):
    block = make_block(rng, **configuration)
    expected = run(REFERENCE, block)
    got = run(NATIVE, block, num_threads=num_threads)
    assert_same_outputs(got, expected)
    # Mx and My of both state arrays are never touched.
    for name in ("state", "concentration_state"):
        assert identical(got[name][..., :2], block[name][..., :2])


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
def test_special_values_stay_in_their_voxel(rng, num_threads):
    block = make_block(rng, nvoxels=9, nsteps=5, plan=True, spins_per_parent=3, width=9)
    for name in ("state", "transverse_state", "concentration_state", "exp_a_by_group",
                 "difference_by_group", "concentration_f1_a_by_group", "transverse_factors",
                 "rx_sensitivities", "inflow_delivery", "polarization_second_end"):
        sprinkle(rng, block[name])
    block["duration_by_group"][0] = 0.0
    # Any nonzero mask byte means regular, in uint8 masks too.
    for name in ("regular_by_group", "concentration_regular_by_group"):
        block[name] = rng.choice(np.array([0, 1, 2, 255], np.uint8), block[name].shape)
    block["regular_mode_by_group"][:] = 0
    expected = run(REFERENCE, block)
    assert_same_outputs(run(NATIVE, block, num_threads=num_threads), expected)


@pytest.mark.parametrize("equilibrium", [0.0, -0.0, np.nan])
def test_equilibrium_shift(rng, equilibrium):
    # A zero equilibrium, of either sign, skips the shift, so an infinite concentration stays out
    # of the magnetization; NaN is not zero and spreads into every magnetization value.
    block = make_block(rng, equilibrium=equilibrium, source_mode=2)
    block["concentration_state"][1, 2, 2] = np.inf
    got = run(NATIVE, block, num_threads=3)
    assert_same_outputs(got, run(REFERENCE, block))
    magnetization = got["state"][:, :, 2]
    assert np.isnan(magnetization).all() == np.isnan(equilibrium)
    assert np.isfinite(magnetization).all() == (not np.isnan(equilibrium))
    assert np.isfinite(got["concentration_state"][0, :, 2]).all()


@pytest.mark.parametrize("equilibrium", [0.0, -0.0])
def test_shifted_source_ramp_is_formed_at_zero_equilibrium(rng, equilibrium):
    # equilibrium x concentration source is subtracted even at zero: infinity x 0 is NaN.
    block = make_block(rng, nsteps=1, equilibrium=equilibrium, source_mode=0)
    block["inflow_first_start"][0] = np.inf
    got = run(NATIVE, block)
    assert_same_outputs(got, run(REFERENCE, block))
    assert np.isnan(got["state"][0, :, 2]).all()


# Arrays a configuration never reads: NaN in them changes nothing.
UNREAD = [
    pytest.param(dict(source_mode=1), WINDOWS[4:], id="direct-sources-polarization"),
    pytest.param(dict(source_mode=2), WINDOWS + ("inflow_delivery",), id="no-sources"),
    pytest.param(dict(spatial=True), WINDOWS, id="spatial-sources-windows"),
    pytest.param(dict(width=6), ("rf_one_minus_cosine",), id="spatial-rf"),
    pytest.param(dict(kpl_groups=True), ("kpl",), id="kpl-groups"),
]


@pytest.mark.parametrize("configuration, unread", UNREAD)
def test_unread_arrays_take_no_part(rng, configuration, unread):
    block = make_block(rng, plan=True, **configuration)
    poisoned = {name: np.full_like(block[name], np.nan) for name in unread}
    expected = run(NATIVE, block)
    assert_same_outputs(run(NATIVE, block, num_threads=2, **poisoned), expected)
    assert_same_outputs(run(REFERENCE, block, **poisoned), expected)


def as_strided_views(block):
    """The same block with every array that is read through its strides given as a view with
    other strides: every other element of a larger array, or reversed."""
    views = {}
    for name, value in block.items():
        flat_addressed = name in ("state", "transverse_state", "concentration_state",
                                  "transverse_factors", "adc_demodulation", "rx_sensitivities",
                                  "parent_species_signal", "checkpoint_states")
        if isinstance(value, np.ndarray) and not flat_addressed:
            views[name] = strided(value) if value.ndim > 1 else value[::-1].copy()[::-1]
    return views


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
@pytest.mark.parametrize("configuration", [
    dict(plan=True, spins_per_parent=2, kpl_groups=True, spatial=True, width=6),
    dict(plan=False, kpl_groups=True, width=1),
], ids=["plan", "no-action"])
def test_tables_are_read_through_their_strides(rng, configuration, num_threads):
    block = make_block(rng, **configuration)
    views = as_strided_views(block)
    assert not any(view.flags.c_contiguous for view in views.values() if view.size > 1)
    expected = run(REFERENCE, block)
    assert_same_outputs(run(NATIVE, block, num_threads=num_threads, **views), expected)


@pytest.mark.parametrize("plan", [False, True])
def test_no_steps_leaves_every_array_unchanged(rng, plan):
    block = make_block(rng, nsteps=0, plan=plan, spatial=True)
    for name in ("state", "transverse_state", "concentration_state"):
        sprinkle(rng, block[name], 0.5)
    assert_unchanged(block, run(NATIVE, block, num_threads=2))


def test_no_action_mode_ignores_observation_arguments(rng):
    block = make_block(rng)
    read_only = np.zeros((1, 1, 1, 1), complex)
    read_only.flags.writeable = False
    ignored = dict(action_kinds=np.zeros(3, np.int8), spins_per_parent=7,
                   rx_sensitivities=np.zeros((1, 1), complex), signal_weights=np.zeros(2),
                   parent_species_signal=read_only, checkpoint_states=np.zeros((1, 1, 1, 1)))
    got = run(NATIVE, block, **ignored)
    assert_same_outputs({name: got[name] for name in OUTPUTS[:3]}, run(REFERENCE, block))
    assert_unchanged(ignored, got)
    with pytest.raises(ValueError, match="Buffer dtype mismatch"):
        run(NATIVE, block, signal_weights=np.zeros(2, np.float32))


def test_worked_example_of_the_inflow_step(rng):
    """One step with identity factors and no RF is two inflow steps, the first one known."""
    block = make_block(rng, nvoxels=1, nsteps=1, ngroups=1, nfactor_groups=1, source_mode=0,
                       equilibrium=0.1)
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
    for function in (NATIVE, REFERENCE):
        got = run(function, block)
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


@pytest.mark.parametrize("function", [REFERENCE, NATIVE], ids=["reference", "native"])
def test_hand_derived_step(function):
    # First half: transfer 0.25, pyruvate 0.5 + (1 + 0.5) = 2, lactate 0.1875 + 0.25, the
    # concentrations (duration form, no source) 1 and 0.5; the factor i turns (1, 0) into (0, 1);
    # the quarter turn maps (0, 1, 2) to (0, -2, 1) and (0, 0, 0.4375) to (0, -0.4375, 0).
    # Second half: pyruvate 0.5 + (3 + 0.5) = 4, lactate 0.4375 + 0.25, concentrations 0.5, 0.5.
    got = run(function, hand_block())
    assert same_bits(got["state"], np.array([[[7.0, 8.0, 4.0]], [[9.0, 10.0, 0.6875]]]))
    assert same_bits(got["concentration_state"], np.array([[[0.0, 0.0, 0.5]], [[0.0, 0.0, 0.5]]]))
    assert same_bits(got["transverse_state"], np.array([[0.0 - 2.0j], [0.0 - 0.4375j]]))


def strided(array):
    """A non-contiguous view with the same shape and values."""
    doubled = np.repeat(array[..., None], 2, axis=-1)
    return doubled[..., 0]


def i32(*values):
    return np.array(values, np.int32)


def one_action(kind, payload, step=0):
    """An action stream for four steps holding one action, in ``step``."""
    offsets = i32(*([0] * (step + 1) + [1] * (4 - step)))
    return dict(action_offsets=offsets, action_kinds=np.array([kind], np.int8),
                action_payloads=np.array([payload]))


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


def case(name, message, changes, plan=False):
    return pytest.param(plan, changes, message, id=name)


# Blocks of 6 voxels, 4 steps, 3 groups, 2 factor groups, 3 RF groups, 2 coils, 3 ADC samples
# and 2 checkpoints. Most cases hold a second, later fault that must not be the one reported.
VALIDATION_CASES = [
    case("state", "state must have shape (2, nvoxels, 3)", lambda b: dict(
        state=np.zeros((2, 5, 3)), transverse_state=b["transverse_state"][:, :5])),
    case("transverse", "transverse_state must have shape (2, nvoxels)", lambda b: dict(
        transverse_state=np.zeros((2, 7), complex), concentration_state=np.zeros((3, 6, 3)))),
    case("concentration", "concentration_state must have shape (2, nvoxels, 3)", lambda b: dict(
        concentration_state=np.zeros((2, 6, 2)), inflow_delivery=np.zeros(5))),
    case("delivery-before-contiguity", "inflow_delivery length must match nvoxels", lambda b: dict(
        inflow_delivery=np.zeros(5), state=np.asfortranarray(b["state"]))),
    case("step-counts", "RF block arrays must have equal step counts", lambda b: dict(
        rf_groups=b["rf_groups"][:3], rf_axis_y=b["rf_axis_y"][:2])),
    case("rf-groups", "RF coefficient tables must have equal group counts", lambda b: dict(
        rf_one_minus_cosine=b["rf_one_minus_cosine"][:2], rf_axis_x=np.zeros((3, 2)))),
    case("rf-width", "RF coefficient width must be one or nvoxels", lambda b: dict(
        rf_axis_x=np.zeros((3, 2)))),
    case("rf-widths", "RF coefficient tables must have equal widths", lambda b: dict(
        rf_sine=np.zeros((3, 6)), inflow_first_end=np.zeros(3))),
    case("windows-checked-unread", "source block arrays must have equal step counts",
         lambda b: dict(polarization_second_end=np.zeros(5), source_mode=2,
                        spatial_source_values=np.zeros((8, 4, 6)))),
    case("spatial", "spatial source values must have shape (8, nsteps, nvoxels)", lambda b: dict(
        spatial_source_values=np.zeros((8, 4, 5)), num_threads=0)),
    case("team-before-mode", "num_threads must be positive", lambda b: dict(
        num_threads=0, source_mode=5)),
    case("mode-negative", "source_mode must be between zero and three", lambda b: dict(
        source_mode=-1, state=np.asfortranarray(b["state"]))),
    case("mode-four", "source_mode must be between zero and three", lambda b: dict(
        source_mode=4)),
    case("state-contiguity", "state arrays must be C-contiguous", lambda b: dict(
        concentration_state=strided(b["concentration_state"]),
        transverse_factors=strided(b["transverse_factors"]))),
    case("transverse-contiguity", "transverse arrays must be C-contiguous", lambda b: dict(
        transverse_factors=strided(b["transverse_factors"]))),
    case("kpl-columns-no-action", "kpl_by_group must contain every spin", lambda b: dict(
        kpl_by_group=np.zeros((3, 5)))),
    case("observation", "complete plan actions require observation arrays", lambda b: dict(
        checkpoint_states=None, action_offsets=b["action_offsets"][:3]), plan=True),
    case("offsets", "action offsets must bracket every plan step", lambda b: dict(
        action_offsets=b["action_offsets"][:4], spins_per_parent=0), plan=True),
    case("spins-zero", "parent/spin dimensions are inconsistent", lambda b: dict(
        spins_per_parent=0), plan=True),
    case("spins-multiple", "parent/spin dimensions are inconsistent", lambda b: dict(
        spins_per_parent=4), plan=True),
    case("parents", "parent signal shape is inconsistent", lambda b: dict(
        spins_per_parent=3, rx_sensitivities=b["rx_sensitivities"][:, :5]), plan=True),
    case("pools", "parent signal shape is inconsistent", lambda b: dict(
        parent_species_signal=np.zeros((6, 3, 2, 3), complex)), plan=True),
    case("coils", "parent signal shape is inconsistent", lambda b: dict(
        rx_sensitivities=np.zeros((3, 6), complex)), plan=True),
    case("receive", "receive arrays must contain every spin", lambda b: dict(
        signal_weights=np.zeros(5), kpl_by_group=np.zeros((3, 5))), plan=True),
    case("kpl-columns-plan", "kpl_by_group must contain every spin", lambda b: dict(
        kpl_by_group=np.zeros((3, 7))), plan=True),
    # The caller's obligations, checked after everything above.
    case("table-columns", "concentration_regular_by_group must have nvoxels columns",
         lambda b: dict(concentration_regular_by_group=np.zeros((3, 5), bool),
                        longitudinal_groups=i32(9, 9, 9, 9))),
    case("factor-shape", "transverse_factors must have shape (nfactor_groups, 2, nvoxels)",
         lambda b: dict(transverse_factors=np.ones((2, 3, 6), complex)), plan=True),
    case("group-past-table", "longitudinal_groups entries must index rows of exp_a_by_group",
         lambda b: dict(longitudinal_groups=i32(0, 1, 3, 0))),
    case("group-negative", "longitudinal_groups entries must index rows of exp_a_by_group",
         lambda b: dict(longitudinal_groups=i32(0, -1, 0, 0)), plan=True),
    case("group-short-table",
         "longitudinal_groups entries must index rows of concentration_regular_mode_by_group",
         lambda b: dict(longitudinal_groups=i32(0, 2, 1, 0),
                        concentration_regular_mode_by_group=np.zeros(2, np.int32))),
    case("group-kpl-rows", "longitudinal_groups entries must index rows of kpl_by_group",
         lambda b: dict(longitudinal_groups=i32(0, 2, 1, 0), kpl_by_group=np.zeros((2, 6)))),
    case("first-factor", "first_factor_groups entries must index rows of transverse_factors",
         lambda b: dict(first_factor_groups=i32(0, 0, 2, 0))),
    case("second-factor", "second_factor_groups entries must index rows of transverse_factors",
         lambda b: dict(second_factor_groups=i32(0, 0, -1, 0)), plan=True),
    case("rf-group", "rf_groups entries must index rows of rf_axis_x", lambda b: dict(
        rf_groups=i32(-7, 3, 0, 0))),
    case("bracket", "action_offsets must bracket entries of action_kinds and action_payloads",
         lambda b: dict(action_offsets=i32(0, 1, 2, 3, 99)), plan=True),
    case("adc-payload", "ADC payloads must be below nadc and the length of adc_demodulation",
         lambda b: one_action(2, 3), plan=True),
    case("checkpoint-payload", "checkpoint payloads must be below the length of checkpoint_states",
         lambda b: one_action(3, 2, step=3), plan=True),
    case("signal-contiguity", "parent_species_signal must be C-contiguous", lambda b: dict(
        one_action(2, 0), parent_species_signal=strided(b["parent_species_signal"])), plan=True),
    case("snapshot-shape", "checkpoint_states must have shape (ncheckpoints, npools, nspins, 3)",
         lambda b: dict(one_action(3, 0), checkpoint_states=np.zeros((2, 2, 5, 3))), plan=True),
    case("state-writable", "state must be writable", lambda b: dict(
        state=read_only(b["state"]))),
    case("signal-writable", "parent_species_signal must be writable", lambda b: dict(
        parent_species_signal=read_only(b["parent_species_signal"])), plan=True),
]


@pytest.mark.parametrize("function", [NATIVE, REFERENCE], ids=["native", "reference"])
@pytest.mark.parametrize("plan, changes, message", VALIDATION_CASES)
def test_validation_order(rng, function, plan, changes, message):
    block = make_block(rng, plan=plan, nvoxels=6, nsteps=4, ngroups=3, nfactor_groups=2,
                       nrf_groups=3, ncoils=2, nadc=3, ncheckpoints=2)
    arguments = copied(block)
    arguments.update(changes(block))
    before = copied(arguments)
    with pytest.raises(ValueError) as excinfo:
        function(**arguments)
    assert str(excinfo.value) == message
    assert_unchanged(before, arguments)


def test_empty_block_reads_no_table(rng):
    # With no spins the group indices are never used, so they are not held against the tables.
    block = make_block(rng, nvoxels=0)
    block["longitudinal_groups"][:] = 99
    for function in (NATIVE, REFERENCE):
        assert_unchanged(block, run(function, block, num_threads=3))
