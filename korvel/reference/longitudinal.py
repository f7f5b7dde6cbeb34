"""Longitudinal relaxation and conversion: the half-step, the grouped block and the inflow step.

Each kernel operation is one NumPy operation on float64 arrays, with the kernel's operand order,
so the bits (signed zeros, NaN payloads included) match the native module.
"""

from __future__ import annotations

import numpy as np

from korvel.reference._checks import (
    require,
    require_array,
    require_contiguous,
    require_team,
    require_writable,
)


def _shape_is(array: np.ndarray, shape: tuple[int, ...]) -> bool:
    return array.shape == shape


def _length(array: np.ndarray) -> int:
    return array.shape[0] if array.ndim >= 1 else -1


def longitudinal_transfer(pyruvate, kpl, exp_a, exp_b, difference, regular, duration, regular_mode):
    """The pyruvate-to-lactate transfer of the half-step, chosen per voxel by the regularity
    selection (mode 1 regular, -1 duration, any other mode defers to the mask)."""
    with np.errstate(all="ignore"):
        if regular_mode != -1:
            decay_delta = exp_b - exp_a
            regular_form = ((kpl * pyruvate) * decay_delta) / difference
        if regular_mode != 1:
            duration_form = ((kpl * pyruvate) * duration) * exp_b
    if regular_mode == 1:
        return regular_form
    if regular_mode == -1:
        return duration_form
    # Any nonzero byte is regular, also in a bool array holding bytes other than 0 and 1.
    return np.where(np.asarray(regular).view(np.uint8) != 0, regular_form, duration_form)


def advance_no_inflow(pyruvate, lactate, kpl, exp_a, exp_b, difference, regular, duration,
                      regular_mode):
    """One longitudinal half-step; returns the new (pyruvate, lactate) arrays."""
    transfer = longitudinal_transfer(
        pyruvate, kpl, exp_a, exp_b, difference, regular, duration, regular_mode
    )
    with np.errstate(all="ignore"):
        new_lactate = (exp_b * lactate) + transfer
        new_pyruvate = exp_a * pyruvate
    return new_pyruvate, new_lactate


def apply_longitudinal_step_no_inflow(state, kpl, exp_a, exp_b, difference, regular, duration,
                                      regular_mode):
    """Apply one longitudinal half-step without evaluating exponentials."""
    exp_b, duration, regular_mode = float(exp_b), float(duration), int(regular_mode)
    state = require_array("state", state)
    kpl = require_array("kpl", kpl)
    exp_a = require_array("exp_a", exp_a)
    difference = require_array("difference", difference)
    regular = require_array("regular", regular)
    nvoxels = _length(kpl)
    require(_shape_is(state, (2, nvoxels, 3)), "state must have shape (2, nvoxels, 3)")
    require(
        _length(exp_a) == nvoxels and _length(difference) == nvoxels,
        "longitudinal coefficient lengths must match nvoxels",
    )
    require(_length(regular) == nvoxels, "regular mask length must match nvoxels")
    require_contiguous((state,), "state must be C-contiguous")
    require_contiguous((kpl, exp_a, difference, regular), "longitudinal inputs must be C-contiguous")
    require(regular_mode in (-1, 0, 1), "regular_mode must be -1, 0, or 1")
    require_writable({"state": state})
    pyruvate, lactate = advance_no_inflow(
        state[0, :, 2], state[1, :, 2], kpl, exp_a, np.float64(exp_b), difference, regular,
        np.float64(duration), regular_mode,
    )
    state[0, :, 2] = pyruvate
    state[1, :, 2] = lactate


def apply_longitudinal_block_no_inflow(state, kpl, exp_a_by_group, exp_b_by_group, difference,
                                       regular, step_groups, duration_by_group, regular_mode,
                                       num_threads):
    """Apply many longitudinal half-steps in one voxel-parallel region."""
    regular_mode, num_threads = int(regular_mode), int(num_threads)
    state = require_array("state", state)
    kpl = require_array("kpl", kpl)
    exp_a_by_group = require_array("exp_a_by_group", exp_a_by_group)
    exp_b_by_group = require_array("exp_b_by_group", exp_b_by_group)
    difference = require_array("difference", difference)
    regular = require_array("regular", regular)
    step_groups = require_array("step_groups", step_groups)
    duration_by_group = require_array("duration_by_group", duration_by_group)
    nvoxels = _length(kpl)
    require(_shape_is(state, (2, nvoxels, 3)), "state must have shape (2, nvoxels, 3)")
    require(
        exp_a_by_group.ndim == 2 and exp_a_by_group.shape[1] == nvoxels,
        "exp_a_by_group must have shape (ngroups, nvoxels)",
    )
    ngroups = exp_a_by_group.shape[0]
    require(
        _length(exp_b_by_group) == ngroups and _length(duration_by_group) == ngroups,
        "group coefficient arrays must have equal lengths",
    )
    require(
        _length(difference) == nvoxels and _length(regular) == nvoxels,
        "voxel coefficient lengths must match nvoxels",
    )
    nsteps = _length(step_groups)
    require_contiguous((state, kpl), "state and kpl must be C-contiguous")
    require_contiguous((exp_a_by_group,), "exp_a_by_group must be C-contiguous")
    require_contiguous((exp_b_by_group,), "exp_b_by_group must be C-contiguous")
    require_contiguous((difference, regular), "voxel coefficients must be C-contiguous")
    require_contiguous(
        (step_groups, duration_by_group), "block coefficient indices must be C-contiguous"
    )
    require(regular_mode in (-1, 0, 1), "regular_mode must be -1, 0, or 1")
    require_team(num_threads)
    if nsteps > 0:
        require(
            int(step_groups.min()) >= 0 and int(step_groups.max()) < ngroups,
            "step group index is out of range",
        )
    require_writable({"state": state})
    pyruvate, lactate = state[0, :, 2].copy(), state[1, :, 2].copy()
    for group in step_groups.tolist():
        pyruvate, lactate = advance_no_inflow(
            pyruvate, lactate, kpl, exp_a_by_group[group], exp_b_by_group[group], difference,
            regular, duration_by_group[group], regular_mode,
        )
    state[0, :, 2] = pyruvate
    state[1, :, 2] = lactate


def linear_source_ramp(value_start, value_end, duration):
    """The source's value at the interval's start and its slope over the interval."""
    with np.errstate(all="ignore"):
        source_delta = value_end - value_start
        return value_start, source_delta / duration


def advance_coupled_longitudinal(pyruvate, lactate, concentration_pyruvate, concentration_lactate,
                                 kpl, exp_a, exp_b, difference, regular, f0_a, f1_a, j0, j1,
                                 concentration_exp_a, concentration_exp_b,
                                 concentration_difference, concentration_regular,
                                 concentration_f0_a, concentration_f1_a, concentration_j0,
                                 concentration_j1, source_start, source_end,
                                 concentration_source_start, concentration_source_end, duration,
                                 equilibrium, regular_mode, concentration_regular_mode):
    """One concentration inflow step; returns the four new arrays (pyruvate, lactate,
    concentration_pyruvate, concentration_lactate)."""
    shifted = equilibrium != 0.0  # NaN shifts, -0.0 does not
    with np.errstate(all="ignore"):
        if shifted:
            pyruvate = pyruvate - (concentration_pyruvate * equilibrium)
            lactate = lactate - (concentration_lactate * equilibrium)
        transfer_m = longitudinal_transfer(
            pyruvate, kpl, exp_a, exp_b, difference, regular, duration, regular_mode
        )
        start_m, slope_m = linear_source_ramp(
            source_start - (concentration_source_start * equilibrium),
            source_end - (concentration_source_end * equilibrium),
            duration,
        )
        new_pyruvate = (exp_a * pyruvate) + ((f0_a * start_m) + (f1_a * slope_m))
        new_lactate = (((j0 * start_m) + (j1 * slope_m)) * kpl) + (transfer_m + (exp_b * lactate))

        start_c, slope_c = linear_source_ramp(
            concentration_source_start, concentration_source_end, duration
        )
        transfer_c = longitudinal_transfer(
            concentration_pyruvate, kpl, concentration_exp_a, concentration_exp_b,
            concentration_difference, concentration_regular, duration, concentration_regular_mode,
        )
        source_addition = ((concentration_j0 * start_c) + (concentration_j1 * slope_c)) * kpl
        new_concentration_lactate = (
            (concentration_exp_b * concentration_lactate) + transfer_c
        ) + source_addition
        new_concentration_pyruvate = (
            (concentration_f0_a * start_c) + (concentration_f1_a * slope_c)
        ) + (concentration_exp_a * concentration_pyruvate)
        if shifted:
            new_pyruvate = new_pyruvate + (new_concentration_pyruvate * equilibrium)
            new_lactate = new_lactate + (new_concentration_lactate * equilibrium)
    return new_pyruvate, new_lactate, new_concentration_pyruvate, new_concentration_lactate


_INFLOW_ARRAYS = (
    "state", "concentration_state", "kpl", "exp_a", "difference", "regular", "f0_a", "f1_a",
    "j0", "j1", "concentration_exp_a", "concentration_difference", "concentration_regular",
    "concentration_f0_a", "concentration_f1_a", "concentration_j0", "concentration_j1",
    "source_start", "source_end", "concentration_source_start", "concentration_source_end",
)


def apply_longitudinal_step_with_concentration_inflow(
    state, concentration_state, kpl, exp_a, exp_b, difference, regular, f0_a, f1_a, j0, j1,
    concentration_exp_a, concentration_exp_b, concentration_difference, concentration_regular,
    concentration_f0_a, concentration_f1_a, concentration_j0, concentration_j1, source_start,
    source_end, concentration_source_start, concentration_source_end, duration, equilibrium,
    regular_mode, concentration_regular_mode, num_threads,
):
    """Advance magnetization and concentration in one voxel-parallel pass."""
    exp_b, concentration_exp_b = float(exp_b), float(concentration_exp_b)
    duration, equilibrium = float(duration), float(equilibrium)
    regular_mode, concentration_regular_mode = int(regular_mode), int(concentration_regular_mode)
    num_threads = int(num_threads)
    given = locals()
    a = {name: require_array(name, given[name]) for name in _INFLOW_ARRAYS}
    nvoxels = _length(a["kpl"])

    def lengths_match(*names: str) -> bool:
        return all(_length(a[name]) == nvoxels for name in names)

    require(_shape_is(a["state"], (2, nvoxels, 3)), "state must have shape (2, nvoxels, 3)")
    require(
        _shape_is(a["concentration_state"], (2, nvoxels, 3)),
        "concentration_state must have shape (2, nvoxels, 3)",
    )
    require_contiguous(
        (a["state"], a["concentration_state"]), "state arrays must be C-contiguous"
    )
    require(
        lengths_match("exp_a", "difference", "regular"),
        "magnetization coefficient lengths must match nvoxels",
    )
    require(
        lengths_match("concentration_exp_a", "concentration_difference", "concentration_regular"),
        "concentration coefficient lengths must match nvoxels",
    )
    require(
        lengths_match("f0_a", "f1_a", "j0", "j1", "concentration_f0_a", "concentration_f1_a",
                      "concentration_j0", "concentration_j1"),
        "source coefficient lengths must match nvoxels",
    )
    require(
        lengths_match("source_start", "source_end", "concentration_source_start",
                      "concentration_source_end"),
        "source lengths must match nvoxels",
    )
    require(regular_mode in (-1, 0, 1), "regular_mode must be -1, 0, or 1")
    require(
        concentration_regular_mode in (-1, 0, 1),
        "concentration_regular_mode must be -1, 0, or 1",
    )
    require(not duration <= 0.0, "duration must be positive")
    require_team(num_threads)
    state, concentration_state = a["state"], a["concentration_state"]
    require_writable({"state": state, "concentration_state": concentration_state})
    results = advance_coupled_longitudinal(
        state[0, :, 2], state[1, :, 2], concentration_state[0, :, 2], concentration_state[1, :, 2],
        a["kpl"], a["exp_a"], np.float64(exp_b), a["difference"], a["regular"], a["f0_a"],
        a["f1_a"], a["j0"], a["j1"], a["concentration_exp_a"], np.float64(concentration_exp_b),
        a["concentration_difference"], a["concentration_regular"], a["concentration_f0_a"],
        a["concentration_f1_a"], a["concentration_j0"], a["concentration_j1"],
        a["source_start"], a["source_end"], a["concentration_source_start"],
        a["concentration_source_end"], np.float64(duration), np.float64(equilibrium),
        regular_mode, concentration_regular_mode,
    )
    state[0, :, 2], state[1, :, 2] = results[0], results[1]
    concentration_state[0, :, 2], concentration_state[1, :, 2] = results[2], results[3]
