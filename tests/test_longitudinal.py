"""Longitudinal half-step, grouped block and concentration inflow step: native against reference."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import THREAD_COUNTS, copy_arrays, same_bits, sprinkle

from korvel import pelorine, reference

IMPLEMENTATIONS = [pelorine, reference]
MODES = (-1, 0, 1)
NVOXELS = 37  # divides evenly by none of the team sizes


def _mask(rng, n):
    """Mask bytes 0, 1, 2 and 255; every byte but 0 means regular."""
    return rng.choice(np.array([0, 1, 2, 255], dtype=np.uint8), size=n)


def _values(rng, shape, special=True):
    values = rng.uniform(-2.0, 2.0, size=shape)
    return sprinkle(rng, values) if special else values


def step_inputs(rng, n=NVOXELS, special=True):
    difference = _values(rng, n, special)
    difference[::5] = 0.0  # a zero divisor poisons only its regular voxels
    return dict(
        state=_values(rng, (2, n, 3), special), kpl=_values(rng, n, special),
        exp_a=_values(rng, n, special), exp_b=0.93, difference=difference,
        regular=_mask(rng, n), duration=0.7, regular_mode=0,
    )


def block_inputs(rng, n=NVOXELS, ngroups=3, nsteps=6, special=True):
    difference = _values(rng, n, special)
    difference[::5] = 0.0
    return dict(
        state=_values(rng, (2, n, 3), special), kpl=_values(rng, n, special),
        exp_a_by_group=_values(rng, (ngroups, n), special),
        exp_b_by_group=_values(rng, ngroups, special), difference=difference,
        regular=_mask(rng, n), step_groups=rng.integers(0, ngroups, nsteps).astype(np.int32),
        duration_by_group=rng.uniform(0.1, 1.0, ngroups), regular_mode=0, num_threads=1,
    )


INFLOW_COEFFICIENTS = (
    "kpl", "exp_a", "difference", "f0_a", "f1_a", "j0", "j1", "concentration_exp_a",
    "concentration_difference", "concentration_f0_a", "concentration_f1_a", "concentration_j0",
    "concentration_j1", "source_start", "source_end", "concentration_source_start",
    "concentration_source_end",
)


def inflow_inputs(rng, n=NVOXELS, strided=False, special=True):
    """Coefficients as every second element of a longer array when `strided`."""
    step = 2 if strided else 1
    inputs = {name: _values(rng, n * step, special)[::step] for name in INFLOW_COEFFICIENTS}
    inputs["difference"][::5] = 0.0
    inputs["regular"] = _mask(rng, n * step)[::step]
    inputs["concentration_regular"] = np.repeat(np.arange(n) % 2 == 0, step)[::step]  # alternating
    inputs.update(
        state=_values(rng, (2, n, 3), special), concentration_state=_values(rng, (2, n, 3), special),
        exp_b=0.97, concentration_exp_b=0.98, duration=1.0, equilibrium=0.1, regular_mode=0,
        concentration_regular_mode=0, num_threads=1,
    )
    return inputs


def copied(inputs):
    return copy_arrays(inputs)


def run(function, inputs, **changes):
    """Call `function` on copies of `inputs` updated with `changes`; return the copies."""
    arguments = copied({**inputs, **changes})
    assert function(**arguments) is None
    return arguments


def assert_same_arrays(a, b):
    for name, value in a.items():
        if isinstance(value, np.ndarray):
            assert same_bits(value, b[name]), name


def assert_matches_reference(name, inputs, **changes):
    """Native equals the reference; every team size gives the same bits."""
    native = run(getattr(pelorine, name), inputs, **changes)
    assert_same_arrays(native, run(getattr(reference, name), inputs, **changes))
    if "num_threads" in inputs:
        assert_same_arrays(native, run(getattr(pelorine, name), inputs, **{**changes,
                                                                            "num_threads": 1}))


# Worked examples: hand-checked decimals; a regrouped kernel misses them in the last digit.


@pytest.mark.parametrize("module", IMPLEMENTATIONS)
@pytest.mark.parametrize(
    "mode, pyruvate, kpl, expected",
    [(1, 1.0, 0.1, (0.8, 0.8091666666666666)), (-1, 0.7, 0.3, (0.5599999999999999, 0.49685))],
)
def test_half_step_worked_examples(module, mode, pyruvate, kpl, expected):
    exp_b = 0.97 if mode == 1 else 0.95
    state = np.zeros((2, 1, 3))
    state[:, 0, 2] = pyruvate, 0.25
    module.apply_longitudinal_step_no_inflow(
        state, np.array([kpl]), np.array([0.8]), exp_b, np.array([0.03]),
        np.zeros(1, np.uint8), 1.3, mode,
    )
    assert tuple(state[:, 0, 2]) == expected


def test_half_step_wrong_groupings_differ():
    # These regroupings give other doubles, so the worked examples above catch them.
    decay_delta = 0.97 - 0.8
    assert decay_delta == 0.16999999999999993
    assert (0.97 * 0.25) + ((0.1 * 1.0) * (decay_delta / 0.03)) == 0.8091666666666664
    assert (0.95 * 0.25) + ((0.3 * 0.7) * (1.3 * 0.95)) == 0.49684999999999996
    assert (0.95 * 0.25) + (0.3 * (0.7 * (1.3 * 0.95))) == 0.4968499999999999


WORKED_INFLOW = dict(
    kpl=0.1, exp_a=0.8, difference=0.03, f0_a=0.9, f1_a=0.4, j0=0.05, j1=0.02,
    concentration_exp_a=0.85, concentration_difference=0.07, concentration_f0_a=0.92,
    concentration_f1_a=0.45, concentration_j0=0.04, concentration_j1=0.015, source_start=0.2,
    source_end=0.6, concentration_source_start=1.5, concentration_source_end=2.5,
)


@pytest.mark.parametrize("module", IMPLEMENTATIONS)
@pytest.mark.parametrize(
    "mode, equilibrium, expected",
    [
        (1, 0.0, (1.1400000000000001, 0.8109666666666666, 4.38, 1.0546428571428572)),
        (1, 0.1, (1.1629999999999998, 0.6969809523809523, 4.38, 1.0546428571428572)),
        (-1, 0.1, (1.1629999999999998, 0.34190000000000004, 4.38, 0.7915)),
    ],
)
def test_inflow_worked_examples(module, mode, equilibrium, expected):
    state, concentration = np.zeros((2, 1, 3)), np.zeros((2, 1, 3))
    state[:, 0, 2] = 1.0, 0.25
    concentration[:, 0, 2] = 3.0, 0.5
    arrays = {name: np.array([value]) for name, value in WORKED_INFLOW.items()}
    module.apply_longitudinal_step_with_concentration_inflow(
        state=state, concentration_state=concentration, exp_b=0.97, concentration_exp_b=0.98,
        regular=np.zeros(1, bool), concentration_regular=np.zeros(1, bool), duration=1.0,
        equilibrium=equilibrium, regular_mode=mode, concentration_regular_mode=mode,
        num_threads=1, **arrays,
    )
    assert (*state[:, 0, 2], *concentration[:, 0, 2]) == expected


# Bit identity with the reference on inputs full of NaN, infinities, signed zeros and zero divisors.


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("bool_mask", [False, True])
def test_half_step_matches_reference(rng, mode, bool_mask):
    inputs = step_inputs(rng)
    if bool_mask:
        inputs["regular"] = np.arange(NVOXELS) % 2 == 1
    assert_matches_reference("apply_longitudinal_step_no_inflow", inputs, regular_mode=mode)


def test_alternating_mask_selects_per_voxel(rng):
    inputs = step_inputs(rng, special=False)
    inputs["regular"] = (np.arange(NVOXELS) % 2).astype(np.uint8) * 255
    mixed = run(pelorine.apply_longitudinal_step_no_inflow, inputs)["state"]
    regular = run(pelorine.apply_longitudinal_step_no_inflow, inputs, regular_mode=1)["state"]
    duration = run(pelorine.apply_longitudinal_step_no_inflow, inputs, regular_mode=-1)["state"]
    assert same_bits(mixed[:, 1::2], regular[:, 1::2])
    assert same_bits(mixed[:, ::2], duration[:, ::2])


@pytest.mark.parametrize("num_threads", (*THREAD_COUNTS, 7))
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("runs", [False, True])
def test_block_matches_reference(rng, num_threads, mode, runs):
    inputs = block_inputs(rng)
    if runs:  # neighbouring voxels that share their form, as well as mixed neighbours
        inputs["regular"] = np.repeat(inputs["regular"], 5)[:NVOXELS]
    assert_matches_reference("apply_longitudinal_block_no_inflow", inputs, regular_mode=mode,
                             num_threads=num_threads)


@pytest.mark.parametrize("mode", MODES)
def test_block_equals_successive_half_steps(rng, mode):
    inputs = block_inputs(rng, nsteps=9)
    block = run(pelorine.apply_longitudinal_block_no_inflow, inputs, regular_mode=mode,
                num_threads=3)["state"]
    state = inputs["state"].copy()
    for group in inputs["step_groups"]:
        pelorine.apply_longitudinal_step_no_inflow(
            state, inputs["kpl"], inputs["exp_a_by_group"][group],
            inputs["exp_b_by_group"][group], inputs["difference"], inputs["regular"],
            inputs["duration_by_group"][group], mode,
        )
    assert same_bits(block, state)


@pytest.mark.parametrize("num_threads", (*THREAD_COUNTS, 7))
@pytest.mark.parametrize("modes", [(0, 0), (1, -1), (-1, 1), (1, 1)])
@pytest.mark.parametrize("equilibrium", [0.1, 0.0, -0.0, np.nan])
@pytest.mark.parametrize("strided", [False, True])
def test_inflow_matches_reference(rng, num_threads, modes, equilibrium, strided):
    inputs = inflow_inputs(rng, strided=strided)
    assert_matches_reference(
        "apply_longitudinal_step_with_concentration_inflow", inputs, regular_mode=modes[0],
        concentration_regular_mode=modes[1], equilibrium=equilibrium, num_threads=num_threads,
    )


def test_inflow_nan_duration_is_accepted(rng):
    inputs = inflow_inputs(rng, special=False)
    result = run(pelorine.apply_longitudinal_step_with_concentration_inflow, inputs,
                 duration=np.nan)
    assert np.isnan(result["state"][:, :, 2]).all()


@pytest.mark.parametrize("module", IMPLEMENTATIONS)
def test_nothing_to_do(rng, module):
    """Zero voxels run every check and return; zero steps leave the state as it was."""
    empty = np.empty(0)
    state = np.empty((2, 0, 3))
    module.apply_longitudinal_step_no_inflow(state, empty, empty, 0.9, empty, empty.astype(bool),
                                             1.0, 0)
    inputs = block_inputs(rng, ngroups=0, nsteps=0)
    inputs["exp_b_by_group"] = inputs["duration_by_group"] = empty
    assert same_bits(run(module.apply_longitudinal_block_no_inflow, inputs)["state"],
                     inputs["state"])
    zero = {k: v[:0] if isinstance(v, np.ndarray) else v for k, v in inflow_inputs(rng).items()}
    zero["state"] = zero["concentration_state"] = state
    module.apply_longitudinal_step_with_concentration_inflow(**zero)


# Validation: with two faults present the earlier check reports, and nothing is written.


def _fortran(a):
    return np.asfortranarray(a)


def _strided(a):
    return np.repeat(a, 2, axis=-1)[..., ::2]


STEP_FAULTS = [
    # (changes, message); several carry a second, later fault as well
    (dict(state=np.zeros((2, 5, 3)), exp_a=np.zeros(3)), "state must have shape (2, nvoxels, 3)"),
    (dict(exp_a=np.zeros(3), regular=np.zeros(3, bool)),
     "longitudinal coefficient lengths must match nvoxels"),
    (dict(difference=np.zeros(5)), "longitudinal coefficient lengths must match nvoxels"),
    (dict(regular=np.zeros(3, bool), state=_fortran), "regular mask length must match nvoxels"),
    (dict(state=_fortran, kpl=_strided), "state must be C-contiguous"),
    (dict(regular=_strided, regular_mode=2), "longitudinal inputs must be C-contiguous"),
    (dict(regular_mode=2), "regular_mode must be -1, 0, or 1"),
]

BLOCK_FAULTS = [
    (dict(state=np.zeros((2, 3, 3)), num_threads=0), "state must have shape (2, nvoxels, 3)"),
    (dict(exp_a_by_group=np.zeros((3, 5)), exp_b_by_group=np.zeros(2)),
     "exp_a_by_group must have shape (ngroups, nvoxels)"),
    (dict(duration_by_group=np.ones(2), difference=np.zeros(3)),
     "group coefficient arrays must have equal lengths"),
    (dict(regular=np.zeros(3, bool), state=_fortran), "voxel coefficient lengths must match nvoxels"),
    (dict(kpl=_strided, exp_a_by_group=_fortran), "state and kpl must be C-contiguous"),
    (dict(exp_a_by_group=_fortran), "exp_a_by_group must be C-contiguous"),
    (dict(exp_b_by_group=_strided), "exp_b_by_group must be C-contiguous"),
    (dict(difference=_strided, step_groups=_strided), "voxel coefficients must be C-contiguous"),
    (dict(duration_by_group=_strided, regular_mode=5),
     "block coefficient indices must be C-contiguous"),
    (dict(regular_mode=-2, num_threads=0), "regular_mode must be -1, 0, or 1"),
    (dict(num_threads=0, step_groups=np.array([7], np.int32)), "num_threads must be positive"),
    (dict(step_groups=np.array([0, 3], np.int32)), "step group index is out of range"),
    (dict(step_groups=np.array([-1, 0], np.int32)), "step group index is out of range"),
    (dict(exp_a_by_group=np.zeros((0, 4)), exp_b_by_group=np.zeros(0),
          duration_by_group=np.zeros(0)), "step group index is out of range"),
]

INFLOW_FAULTS = [
    (dict(state=np.zeros((2, 3, 3)), concentration_state=np.zeros(1)[:0].reshape(0, 0, 0)),
     "state must have shape (2, nvoxels, 3)"),
    (dict(concentration_state=np.zeros((3, 4, 3)), exp_a=np.zeros(2)),
     "concentration_state must have shape (2, nvoxels, 3)"),
    (dict(concentration_state=_fortran, exp_a=np.zeros(2)), "state arrays must be C-contiguous"),
    (dict(regular=np.zeros(3, bool), concentration_difference=np.zeros(3)),
     "magnetization coefficient lengths must match nvoxels"),
    (dict(concentration_regular=np.zeros(5, bool), j1=np.zeros(5)),
     "concentration coefficient lengths must match nvoxels"),
    (dict(concentration_j1=np.zeros(5), source_end=np.zeros(5)),
     "source coefficient lengths must match nvoxels"),
    (dict(concentration_source_end=np.zeros(3), regular_mode=3), "source lengths must match nvoxels"),
    (dict(regular_mode=3, concentration_regular_mode=3), "regular_mode must be -1, 0, or 1"),
    (dict(concentration_regular_mode=-2, duration=0.0),
     "concentration_regular_mode must be -1, 0, or 1"),
    (dict(duration=0.0, num_threads=0), "duration must be positive"),
    (dict(duration=-1.0), "duration must be positive"),
    (dict(num_threads=0), "num_threads must be positive"),
]

CASES = (
    [("apply_longitudinal_step_no_inflow", step_inputs, *case) for case in STEP_FAULTS]
    + [("apply_longitudinal_block_no_inflow", block_inputs, *case) for case in BLOCK_FAULTS]
    + [("apply_longitudinal_step_with_concentration_inflow", inflow_inputs, *case)
       for case in INFLOW_FAULTS]
)


@pytest.mark.parametrize("module", IMPLEMENTATIONS)
@pytest.mark.parametrize("name, make, changes, message", CASES)
def test_validation_order(rng, module, name, make, changes, message):
    inputs = make(rng, 4)
    arguments = copied(inputs)
    for key, change in changes.items():
        arguments[key] = change(arguments[key]) if callable(change) else change
    before = copied(arguments)
    with pytest.raises(ValueError) as excinfo:
        getattr(module, name)(**arguments)
    assert str(excinfo.value) == message
    assert_same_arrays(arguments, before)
