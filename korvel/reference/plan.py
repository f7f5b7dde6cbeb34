"""The two-pool plan block: free evolution, half-steps, RF and actions, step by step.

Vectorised over the parents of one local spin at a time, local spins in ascending order, so the
signal sums in the native order (local spin, step, action) for every parent.
"""

from __future__ import annotations

import numpy as np

from korvel.reference._checks import require, require_array, require_contiguous, require_team
from korvel.reference.actions import (
    Observation,
    check_actions,
    check_extent,
    check_step_indices,
    check_writable,
    run_step_actions,
    spins_fill_parents,
)
from korvel.reference.longitudinal import advance_no_inflow
from korvel.reference.rf import rotate_rf_axis, rotate_rf_plane
from korvel.reference.free_evolution import evolve_transverse

_ARRAYS = (
    "state", "transverse_state", "transverse_factors", "kpl_by_group", "exp_a_by_group",
    "exp_b_by_group", "difference_by_group", "regular_by_group", "duration_by_group",
    "regular_mode_by_group", "longitudinal_groups", "first_factor_groups", "second_factor_groups",
    "rf_groups", "rf_axis_x", "rf_axis_y", "rf_cosine", "rf_sine", "rf_one_minus_cosine",
    "action_offsets", "action_kinds", "action_payloads", "adc_demodulation", "rx_sensitivities",
    "signal_weights", "parent_species_signal", "checkpoint_states",
)


def _evolve(factor, real, imag):
    """(real + i imag) times a complex factor array."""
    return evolve_transverse(real, imag, factor.real, factor.imag)


def _check_block(a, nsteps, nspins, observation):
    """The checks that keep the block inside its arrays, after the documented ones."""
    check_extent(
        {name: a[name] for name in
         ("kpl_by_group", "exp_a_by_group", "difference_by_group", "regular_by_group")},
        1, nspins, "must have nspins columns",
    )
    factors = {"transverse_factors": a["transverse_factors"]}
    check_extent(factors, 1, 2, "must have shape (nfactor_groups, 2, nspins)")
    check_extent(factors, 2, nspins, "must have shape (nfactor_groups, 2, nspins)")
    rf_tables = {name: a[name] for name in
                 ("rf_axis_y", "rf_cosine", "rf_sine", "rf_one_minus_cosine")}
    for axis in (0, 1):
        check_extent(rf_tables, axis, a["rf_axis_x"].shape[axis], "must have the shape of rf_axis_x")
    longitudinal_tables = {name: a[name] for name in (
        "kpl_by_group", "exp_a_by_group", "exp_b_by_group", "difference_by_group",
        "regular_by_group", "duration_by_group", "regular_mode_by_group")}
    check_step_indices("longitudinal_groups", a["longitudinal_groups"], nsteps, longitudinal_tables)
    for name in ("first_factor_groups", "second_factor_groups"):
        check_step_indices(name, a[name], nsteps, factors)
    check_step_indices("rf_groups", a["rf_groups"], nsteps, {"rf_axis_x": a["rf_axis_x"]},
                       negative_means_none=True)
    check_actions(observation, nsteps, 2, nspins)


def run_dynamic_plan_block_no_inflow(
    state, transverse_state, transverse_factors, kpl_by_group, exp_a_by_group, exp_b_by_group,
    difference_by_group, regular_by_group, duration_by_group, regular_mode_by_group,
    longitudinal_groups, first_factor_groups, second_factor_groups, rf_groups, rf_axis_x,
    rf_axis_y, rf_cosine, rf_sine, rf_one_minus_cosine, action_offsets, action_kinds,
    action_payloads, adc_demodulation, rx_sensitivities, signal_weights, parent_species_signal,
    checkpoint_states, spins_per_parent, signal_scale, ideal_crushers, num_threads,
):
    """Execute complete two-pool plan intervals and observations natively."""
    spins_per_parent, signal_scale = int(spins_per_parent), float(signal_scale)
    ideal_crushers, num_threads = bool(ideal_crushers), int(num_threads)
    given = locals()
    a = {name: require_array(name, given[name]) for name in _ARRAYS}
    state, transverse_state = a["state"], a["transverse_state"]
    require(state.shape[0] == 2 and state.shape[2] == 3, "state must have shape (2, nspins, 3)")
    nspins = state.shape[1]
    require(
        transverse_state.shape[0] == 2 and transverse_state.shape[1] == nspins,
        "transverse_state must have shape (2, nspins)",
    )
    signal, rx = a["parent_species_signal"], a["rx_sensitivities"]
    nparents = signal.shape[0]
    require(
        spins_fill_parents(nspins, spins_per_parent, nparents),
        "parent/spin dimensions are inconsistent",
    )
    require(
        signal.shape[1] == 2 and rx.shape[0] == signal.shape[2],
        "parent signal shape is inconsistent",
    )
    require(
        rx.shape[1] == nspins and a["signal_weights"].shape[0] == nspins,
        "receive arrays must contain every spin",
    )
    nsteps = a["longitudinal_groups"].shape[0]
    require(
        a["action_offsets"].shape[0] == nsteps + 1, "action offsets must bracket every plan step"
    )
    require_team(num_threads)
    require_contiguous((state, transverse_state), "state arrays must be C-contiguous")
    require_contiguous((a["transverse_factors"],), "transverse factors must be C-contiguous")
    width = a["rf_axis_x"].shape[1]
    require(width in (1, nspins), "RF coefficient width must be one or nspins")
    observation = Observation(
        a["action_offsets"], a["action_kinds"], a["action_payloads"], a["adc_demodulation"], rx,
        a["signal_weights"], signal, a["checkpoint_states"], np.float64(signal_scale),
        ideal_crushers,
    )
    if nspins > 0:
        _check_block(a, nsteps, nspins, observation)
    check_writable({name: a[name] for name in
                    ("state", "transverse_state", "parent_species_signal", "checkpoint_states")})
    with np.errstate(all="ignore"):
        for local_spin in range(spins_per_parent if nspins else 0):
            _run_local_spin(a, observation, local_spin, spins_per_parent, nsteps, width)


def _run_local_spin(a, observation, local_spin, spins_per_parent, nsteps, width):
    """Advance spin ``local_spin`` of every parent through the whole block."""
    state, transverse_state = a["state"], a["transverse_state"]
    spins = slice(local_spin, state.shape[1], spins_per_parent)
    pre = transverse_state.real[0, spins].copy()
    pim = transverse_state.imag[0, spins].copy()
    lre = transverse_state.real[1, spins].copy()
    lim = transverse_state.imag[1, spins].copy()
    pz = state[0, spins, 2].copy()
    lz = state[1, spins, 2].copy()
    factors = a["transverse_factors"]
    spatial_rf = width != 1
    for step in range(nsteps):
        g = int(a["longitudinal_groups"][step])
        f1 = int(a["first_factor_groups"][step])
        r = int(a["rf_groups"][step])
        f2 = int(a["second_factor_groups"][step])
        coefficients = (
            a["kpl_by_group"][g, spins], a["exp_a_by_group"][g, spins],
            np.float64(a["exp_b_by_group"][g]), a["difference_by_group"][g, spins],
            a["regular_by_group"][g, spins], np.float64(a["duration_by_group"][g]),
            int(a["regular_mode_by_group"][g]),
        )
        pyruvate_x, pyruvate_y = _evolve(factors[f1, 0, spins], pre, pim)
        lactate_x, lactate_y = _evolve(factors[f1, 1, spins], lre, lim)
        kpl, exp_a, exp_b, difference, regular, duration, mode = coefficients
        pyruvate_z, lactate_z = advance_no_inflow(
            pz, lz, kpl, exp_a, exp_b, difference, regular, duration, mode
        )
        if r >= 0:
            if spatial_rf:
                rf = [a[name][r, spins] for name in ("rf_axis_x", "rf_axis_y", "rf_cosine", "rf_sine")]
                pyruvate_x, pyruvate_y, pyruvate_z = rotate_rf_plane(
                    pyruvate_x, pyruvate_y, pyruvate_z, *rf
                )
                lactate_x, lactate_y, lactate_z = rotate_rf_plane(lactate_x, lactate_y, lactate_z, *rf)
            else:
                rf = [np.float64(a[name][r, 0]) for name in
                      ("rf_axis_x", "rf_axis_y", "rf_cosine", "rf_sine", "rf_one_minus_cosine")]
                pyruvate_x, pyruvate_y, pyruvate_z = rotate_rf_axis(
                    pyruvate_x, pyruvate_y, pyruvate_z, *rf
                )
                lactate_x, lactate_y, lactate_z = rotate_rf_axis(lactate_x, lactate_y, lactate_z, *rf)
        pre, pim = _evolve(factors[f2, 0, spins], pyruvate_x, pyruvate_y)
        lre, lim = _evolve(factors[f2, 1, spins], lactate_x, lactate_y)
        pz, lz = advance_no_inflow(
            pyruvate_z, lactate_z, kpl, exp_a, exp_b, difference, regular, duration, mode
        )
        run_step_actions(
            observation, step, local_spin, spins_per_parent, [pre, lre], [pim, lim], [pz, lz]
        )
    transverse_state.real[0, spins] = pre
    transverse_state.imag[0, spins] = pim
    transverse_state.real[1, spins] = lre
    transverse_state.imag[1, spins] = lim
    state[0, spins, 2] = pz
    state[1, spins, 2] = lz
