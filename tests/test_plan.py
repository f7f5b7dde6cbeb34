"""The two-pool plan block: bit-identity with the NumPy path, validation order, and the checks
that keep a block inside the arrays it was given."""

from __future__ import annotations

import itertools

import numpy as np
import pytest
from conftest import copy_arrays, same_bits, sprinkle

from korvel import pelorine, reference

NATIVE = pelorine.run_dynamic_plan_block_no_inflow
PYTHON = reference.run_dynamic_plan_block_no_inflow
WRITTEN = ("state", "transverse_state", "parent_species_signal", "checkpoint_states")


def random_complex(rng, *shape):
    return rng.normal(size=shape) + 1j * rng.normal(size=shape)


def make_block(rng, nparents=5, spins_per_parent=2, nsteps=6, spatial=False, ncoils=2, nadc=4,
               ncheckpoints=3, crushers=True, special=False):
    """A random plan block: several groups, RF and no-RF steps, every mode, actions of every kind
    (ignored kinds with wild payloads), empty, inverted and offset brackets, entries outside every
    bracket, and a nonzero signal on entry."""
    nspins = nparents * spins_per_parent
    ngroups, nfactor_groups, nrf_groups = 4, 3, 2
    width = nspins if spatial else 1
    state = rng.normal(size=(2, nspins, 3))
    block = dict(
        state=state,
        transverse_state=random_complex(rng, 2, nspins),
        transverse_factors=random_complex(rng, nfactor_groups, 2, nspins) * 0.7,
        kpl_by_group=rng.uniform(0.0, 0.1, (ngroups, nspins)),
        exp_a_by_group=rng.uniform(0.8, 1.0, (ngroups, nspins)),
        exp_b_by_group=rng.uniform(0.8, 1.0, ngroups),
        difference_by_group=rng.uniform(0.01, 0.1, (ngroups, nspins)),
        regular_by_group=rng.integers(0, 2, (ngroups, nspins)).astype(bool),
        duration_by_group=rng.uniform(0.1, 1.0, ngroups),
        regular_mode_by_group=np.array([1, -1, 0, 2], np.int32),
        longitudinal_groups=rng.integers(0, ngroups, nsteps).astype(np.int32),
        first_factor_groups=rng.integers(0, nfactor_groups, nsteps).astype(np.int32),
        second_factor_groups=rng.integers(0, nfactor_groups, nsteps).astype(np.int32),
        rf_groups=rng.integers(-2, nrf_groups, nsteps).astype(np.int32),
        rf_axis_x=rng.normal(size=(nrf_groups, width)),
        rf_axis_y=rng.normal(size=(nrf_groups, width)),
        rf_cosine=rng.normal(size=(nrf_groups, width)),
        rf_sine=rng.normal(size=(nrf_groups, width)),
        rf_one_minus_cosine=rng.normal(size=(nrf_groups, width)),
    )
    # Bracket of step s: three actions at 2 + 3 s, with every third step empty or inverted.
    offsets = np.array([2 + 3 * s for s in range(nsteps + 1)], np.int32)
    for s in range(0, nsteps, 3):
        offsets[s + 1] = offsets[s] - (s % 2)  # empty, then inverted
    nactions = 3 * nsteps + 4
    kinds = rng.choice(np.array([-1, 0, 1, 2, 2, 3, 4], np.int8), nactions)
    if not crushers:
        kinds[kinds == 1] = 0
    payloads = rng.integers(-50, 50, nactions).astype(np.int64)
    payloads[kinds == 2] = rng.integers(0, nadc, int((kinds == 2).sum()))
    payloads[kinds == 3] = rng.integers(0, ncheckpoints, int((kinds == 3).sum()))
    # Outside every bracket: a checkpoint and an ADC sample with payloads no array holds.
    kinds[:2], payloads[:2] = (3, 2), (10**9, -(10**9))
    block.update(
        action_offsets=offsets,
        action_kinds=kinds,
        action_payloads=payloads,
        adc_demodulation=random_complex(rng, nadc + 1),
        rx_sensitivities=random_complex(rng, ncoils, nspins),
        signal_weights=rng.uniform(0.5, 1.5, nspins),
        parent_species_signal=random_complex(rng, nparents, 2, ncoils, nadc),
        checkpoint_states=rng.normal(size=(ncheckpoints, 2, nspins, 3)),
        spins_per_parent=spins_per_parent,
        signal_scale=0.75,
        ideal_crushers=crushers,
        num_threads=1,
    )
    if special:
        for name in ("state", "transverse_state", "kpl_by_group", "rf_cosine", "signal_weights"):
            sprinkle(rng, block[name], 0.05)
    return block


def copy_block(block):
    return copy_arrays(block)


def run_both(block, num_threads):
    native, python = copy_block(block), copy_block(block)
    native["num_threads"] = python["num_threads"] = num_threads
    NATIVE(**native)
    PYTHON(**python)
    return native, python


def assert_same(native, python):
    for name in WRITTEN:
        assert same_bits(native[name], python[name]), name


@pytest.mark.parametrize("num_threads", (1, 2, 3, 7, 64))
@pytest.mark.parametrize(
    "shape", [dict(), dict(spatial=True), dict(spins_per_parent=1, nparents=9),
              dict(spins_per_parent=3, nparents=2, spatial=True, crushers=False),
              dict(ncoils=1, nadc=1, ncheckpoints=1), dict(special=True),
              dict(special=True, spatial=True)],
)
def test_matches_reference_for_every_team(rng, num_threads, shape):
    block = make_block(rng, **shape)
    native, python = run_both(block, num_threads)
    assert_same(native, python)
    # Components 0 and 1 of the state are never touched.
    assert same_bits(native["state"][:, :, :2], block["state"][:, :, :2])
    single, _ = run_both(block, 1)
    assert_same(native, single)


def test_results_do_not_depend_on_the_team(rng):
    block = make_block(rng, nparents=11, spins_per_parent=3, nsteps=9)
    results = [run_both(block, n)[0] for n in (1, 2, 3, 64)]
    for other in results[1:]:
        assert_same(results[0], other)


def test_single_spin_with_width_one_uses_the_axis_form(rng):
    block = make_block(rng, nparents=1, spins_per_parent=1)
    block["rf_groups"][:] = 0
    native, python = run_both(block, 2)
    assert_same(native, python)
    block["rf_one_minus_cosine"][:] = np.nan  # read in the axis form: everything turns NaN
    native, _ = run_both(block, 2)
    assert np.isnan(native["state"][:, :, 2]).all()


def test_spatial_form_never_reads_one_minus_cosine(rng):
    block = make_block(rng, spatial=True)
    block["rf_groups"][:] = 1
    with_values, _ = run_both(block, 3)
    block["rf_one_minus_cosine"][:] = np.nan
    with_nan, python = run_both(block, 3)
    assert_same(with_values, with_nan)
    assert_same(with_nan, python)


def test_crushers_then_adc_add_zeros(rng):
    block = make_block(rng, nsteps=1)
    block["action_offsets"] = np.array([0, 2], np.int32)
    block["action_kinds"] = np.array([1, 2], np.int8)
    block["action_payloads"] = np.array([0, 3], np.int64)
    native, python = run_both(block, 2)
    assert_same(native, python)
    assert same_bits(native["parent_species_signal"], block["parent_species_signal"])
    assert not native["transverse_state"].any()
    block["ideal_crushers"] = False
    native, python = run_both(block, 2)
    assert_same(native, python)
    assert not same_bits(native["parent_species_signal"], block["parent_species_signal"])


def test_repeated_payloads_add_twice_and_overwrite(rng):
    block = make_block(rng, nsteps=2)
    block["action_offsets"] = np.array([0, 2, 4], np.int32)
    block["action_kinds"] = np.array([2, 3, 2, 3], np.int8)
    block["action_payloads"] = np.array([1, 0, 1, 0], np.int64)
    native, python = run_both(block, 3)
    assert_same(native, python)
    # The last checkpoint of each spin holds its final state.
    assert same_bits(native["checkpoint_states"][0, :, :, 2], native["state"][:, :, 2])
    assert same_bits(native["checkpoint_states"][0, :, :, 0], native["transverse_state"].real)


@pytest.mark.parametrize("num_threads", (1, 3))
def test_empty_blocks_change_nothing(rng, num_threads):
    block = make_block(rng, nsteps=0)
    native, python = run_both(block, num_threads)
    for name in WRITTEN:
        assert same_bits(native[name], block[name]) and same_bits(python[name], block[name])
    block = make_block(rng, nparents=0)
    native, python = run_both(block, num_threads)
    for name in WRITTEN:
        assert same_bits(native[name], block[name]) and same_bits(python[name], block[name])


# Faults in the documented order; each makes exactly its own check fail.
def _fault(name, value):
    def apply(block):
        block[name] = value(block) if callable(value) else value
    return apply


def _resize(name, shape):
    return _fault(name, lambda b: np.zeros(shape(b), b[name].dtype))


def _fortran(name):
    return _fault(name, lambda b: np.asfortranarray(b[name]) if b[name].ndim > 1 else b[name])


ORDERED_FAULTS = [
    (_resize("state", lambda b: (2, b["state"].shape[1], 4)), "state must have shape (2, nspins, 3)"),
    (_resize("transverse_state", lambda b: (2, b["state"].shape[1] + 1)),
     "transverse_state must have shape (2, nspins)"),
    (_fault("spins_per_parent", 0), "parent/spin dimensions are inconsistent"),
    (_resize("rx_sensitivities", lambda b: (3, b["state"].shape[1])),
     "parent signal shape is inconsistent"),
    (_resize("signal_weights", lambda b: (b["state"].shape[1] + 1,)),
     "receive arrays must contain every spin"),
    (_resize("action_offsets", lambda b: (b["longitudinal_groups"].shape[0],)),
     "action offsets must bracket every plan step"),
    (_fault("num_threads", 0), "num_threads must be positive"),
    (_fault("transverse_state", lambda b: np.asfortranarray(b["transverse_state"])),
     "state arrays must be C-contiguous"),
    (_fault("transverse_factors", lambda b: b["transverse_factors"][:, :, ::-1]),
     "transverse factors must be C-contiguous"),
    (_resize("rf_axis_x", lambda b: (2, 2)), "RF coefficient width must be one or nspins"),
]


def call_failing(function, block):
    before = copy_block(block)
    with pytest.raises(ValueError) as excinfo:
        function(**block)
    for name in WRITTEN:
        assert same_bits(block[name], before[name]), name
    return str(excinfo.value)


@pytest.mark.parametrize("first,second", itertools.combinations(range(len(ORDERED_FAULTS)), 2))
def test_validation_order(rng, first, second):
    block = make_block(rng, nparents=3, spins_per_parent=2)
    ORDERED_FAULTS[second][0](block)
    ORDERED_FAULTS[first][0](block)
    message = ORDERED_FAULTS[first][1]
    assert call_failing(NATIVE, block) == message
    assert call_failing(PYTHON, block) == message


@pytest.mark.parametrize("nparents,spins_per_parent", [(2**57, 128), (2**16, 2**16), (2**34, 2**30)])
def test_parent_product_is_exact(nparents, spins_per_parent):
    block = make_block(np.random.default_rng(1), nparents=0, nsteps=0)
    block["parent_species_signal"] = np.empty((nparents, 2, 0, 0), complex)
    block["rx_sensitivities"] = np.empty((0, 0), complex)
    block["spins_per_parent"] = spins_per_parent
    assert call_failing(NATIVE, block) == "parent/spin dimensions are inconsistent"
    assert call_failing(PYTHON, block) == "parent/spin dimensions are inconsistent"


def _step_entry(name, value, step=1):
    def apply(block):
        block[name][step] = value
    return apply


def _action(kind, payload):
    def apply(block):
        block["action_kinds"][3], block["action_payloads"][3] = kind, payload
    return apply


def _both(*faults):
    def apply(block):
        for fault in faults:
            fault(block)
    return apply


SOUND_FAULTS = [
    (_resize("exp_a_by_group", lambda b: (4, b["state"].shape[1] - 1)),
     "exp_a_by_group must have nspins columns"),
    (_resize("regular_by_group", lambda b: (4, b["state"].shape[1] + 1)),
     "regular_by_group must have nspins columns"),
    (_resize("transverse_factors", lambda b: (3, 3, b["state"].shape[1])),
     "transverse_factors must have shape (nfactor_groups, 2, nspins)"),
    (_resize("rf_sine", lambda b: (1, b["rf_axis_x"].shape[1])),
     "rf_sine must have the shape of rf_axis_x"),
    (_resize("rf_one_minus_cosine", lambda b: (2, 2)),
     "rf_one_minus_cosine must have the shape of rf_axis_x"),
    (_step_entry("longitudinal_groups", 4), "longitudinal_groups entries must index rows of kpl_by_group"),
    (_step_entry("longitudinal_groups", -1), "longitudinal_groups entries must index rows of kpl_by_group"),
    (_both(_resize("duration_by_group", lambda b: (2,)), _step_entry("longitudinal_groups", 2)),
     "longitudinal_groups entries must index rows of duration_by_group"),
    (_step_entry("first_factor_groups", 3),
     "first_factor_groups entries must index rows of transverse_factors"),
    (_step_entry("second_factor_groups", -1),
     "second_factor_groups entries must index rows of transverse_factors"),
    (_resize("second_factor_groups", lambda b: (b["longitudinal_groups"].shape[0] - 1,)),
     "second_factor_groups must have an entry for every plan step"),
    (_step_entry("rf_groups", 2), "rf_groups entries must index rows of rf_axis_x"),
    (_resize("action_payloads", lambda b: (b["action_kinds"].shape[0] - 1,)),
     "action_kinds and action_payloads must have equal lengths"),
    (_step_entry("action_offsets", 10**6, step=2),
     "action_offsets must bracket entries of action_kinds and action_payloads"),
    (_step_entry("action_offsets", -1, step=0),
     "action_offsets must bracket entries of action_kinds and action_payloads"),
    (_action(2, 4), "ADC payloads must be below nadc and the length of adc_demodulation"),
    (_action(2, -1), "ADC payloads must be below nadc and the length of adc_demodulation"),
    (_fault("adc_demodulation", lambda b: b["adc_demodulation"][:3]),
     "ADC payloads must be below nadc and the length of adc_demodulation"),
    (_action(3, 3), "checkpoint payloads must be below the length of checkpoint_states"),
    (_fault("checkpoint_states", lambda b: b["checkpoint_states"][:, :, 1:]),
     "checkpoint_states must have shape (ncheckpoints, npools, nspins, 3)"),
    (_fortran("rx_sensitivities"), "rx_sensitivities must be C-contiguous"),
    (_fault("parent_species_signal", lambda b: b["parent_species_signal"][:, :, :, ::-1]),
     "parent_species_signal must be C-contiguous"),
    (_fault("checkpoint_states", lambda b: np.asfortranarray(b["checkpoint_states"])),
     "checkpoint_states must be C-contiguous"),
]


@pytest.mark.parametrize("fault,message", SOUND_FAULTS, ids=[m for _, m in SOUND_FAULTS])
def test_block_must_stay_inside_its_arrays(rng, fault, message):
    block = make_block(rng, nparents=3, nsteps=4, ncoils=2, nadc=4, ncheckpoints=3)
    block["action_offsets"] = np.array([0, 2, 4, 4, 6], np.int32)
    block["action_kinds"] = np.array([2, 3, 1, 0, 2, 3, 9], np.int8)
    block["action_payloads"] = np.array([3, 2, 0, -5, 0, 0, 9], np.int64)
    fault(block)
    assert call_failing(NATIVE, block) == message
    assert call_failing(PYTHON, block) == message


@pytest.mark.parametrize("name", WRITTEN)
def test_written_arrays_must_be_writable(rng, name):
    block = make_block(rng, nparents=2)
    block[name].flags.writeable = False
    assert call_failing(NATIVE, block) == f"{name} must be writable"
    assert call_failing(PYTHON, block) == f"{name} must be writable"


def test_only_what_actions_touch_is_checked(rng):
    """Ignored kinds and entries outside every bracket carry any payload; without checkpoint
    actions checkpoint_states may have any shape, without ADC actions the receive arrays any
    layout; an inverted bracket may point anywhere."""
    block = make_block(rng, nsteps=3)
    block["action_offsets"] = np.array([10**6, 5, 7, -40], np.int32)
    block["action_kinds"] = np.array([2, 3, 2, 3, 0, 4, -1, 3], np.int8)
    block["action_payloads"] = np.array([99, 99, -9, 7, 2**62, -(2**62), 99, 99], np.int64)
    block["checkpoint_states"] = np.zeros((1, 1, 1, 1))
    block["parent_species_signal"] = np.asfortranarray(block["parent_species_signal"])
    native, python = run_both(block, 2)
    assert_same(native, python)


def test_tables_are_read_through_their_strides(rng):
    """Group tables, RF tables, index arrays, the action stream and the weights in any layout;
    a mask byte other than 0 and 1 counts as set."""
    block = make_block(rng, spatial=True, nsteps=8)
    contiguous, _ = run_both(block, 2)
    strided = copy_block(block)
    for name, value in block.items():
        if isinstance(value, np.ndarray) and name not in WRITTEN + (
                "transverse_factors", "adc_demodulation", "rx_sensitivities"):
            wide = np.zeros(value.shape[:-1] + (2 * value.shape[-1],), value.dtype)[..., ::-2]
            wide[...] = value
            strided[name] = np.asfortranarray(wide) if wide.ndim == 2 else wide
    strided["regular_by_group"] = (block["regular_by_group"].view(np.uint8) * 7).T.copy().T
    native, python = run_both(strided, 2)
    assert_same(native, contiguous)
    assert_same(python, contiguous)


@pytest.mark.parametrize("num_threads", (1, 3))
def test_overlapping_brackets_repeat_their_actions(rng, num_threads):
    block = make_block(rng, nsteps=3)
    block["action_offsets"] = np.array([0, 3, 1, 4], np.int32)  # step 1 inverted
    block["action_kinds"] = np.array([2, 1, 3, 2], np.int8)
    block["action_payloads"] = np.array([0, 0, 2, 3], np.int64)
    native, python = run_both(block, num_threads)
    assert_same(native, python)


@pytest.mark.parametrize(
    "offsets,message",
    [([0, 2, 9], "ADC payloads must be below nadc and the length of adc_demodulation"),
     ([2, 9, 3], "action_offsets must bracket entries of action_kinds and action_payloads"),
     ([2, 3, 9], "checkpoint payloads must be below the length of checkpoint_states")],
)
def test_the_first_faulty_step_is_reported(rng, offsets, message):
    block = make_block(rng, nsteps=2)
    block["action_offsets"] = np.array(offsets, np.int32)
    block["action_kinds"] = np.array([0, 2, 3, 2], np.int8)
    block["action_payloads"] = np.array([0, 99, 99, 0], np.int64)
    assert call_failing(NATIVE, block) == message
    assert call_failing(PYTHON, block) == message
