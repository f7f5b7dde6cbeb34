"""Two-pool source-interval block with concentration inflow, in one pass per local spin.

Each pass advances one spin of every parent (the voxels ``local_spin::spins_per_parent``)
through every step, vectorised over the parents. The passes run in ascending ``local_spin``,
so every signal sample receives its additions in the native order: spin, then step, then action.
"""

from __future__ import annotations

import numpy as np

from korvel.reference import actions
from korvel.reference._checks import require, require_array, require_contiguous, require_team
from korvel.reference.longitudinal import advance_coupled_longitudinal
from korvel.reference.rf import rotate_rf_axis, rotate_rf_plane
from korvel.reference.free_evolution import evolve_transverse

# Names of the eight source windows, in the row order of ``spatial_source_values``.
_WINDOW_NAMES = (
    "inflow_first_start", "inflow_first_end", "inflow_second_start", "inflow_second_end",
    "polarization_first_start", "polarization_first_end",
    "polarization_second_start", "polarization_second_end",
)
# Rows (inflow start, inflow end, polarization start, polarization end) of each half-interval.
_HALF_ROWS = ((0, 1, 4, 5), (2, 3, 6, 7))
# Per-voxel coefficients of a group, by their name in the coupled half-step.
_VOXEL_NAMES = tuple(
    prefix + name for prefix in ("", "concentration_")
    for name in ("exp_a", "difference", "regular", "f0_a", "f1_a", "j0", "j1"))
_VOXEL_TABLES = tuple(f"{name}_by_group" for name in _VOXEL_NAMES)
# Every table longitudinal_groups indexes, in parameter order (kpl_by_group comes last).
_GROUP_TABLES = (
    "exp_a_by_group", "exp_b_by_group", "difference_by_group", "regular_by_group",
    "f0_a_by_group", "f1_a_by_group", "j0_by_group", "j1_by_group",
    "concentration_exp_a_by_group", "concentration_exp_b_by_group",
    "concentration_difference_by_group", "concentration_regular_by_group",
    "concentration_f0_a_by_group", "concentration_f1_a_by_group", "concentration_j0_by_group",
    "concentration_j1_by_group", "duration_by_group", "regular_mode_by_group",
    "concentration_regular_mode_by_group",
)
_RF_TABLES = ("rf_axis_x", "rf_axis_y", "rf_cosine", "rf_sine", "rf_one_minus_cosine")
# The required array parameters, in parameter order.
_REQUIRED = (
    "state", "transverse_state", "concentration_state", "kpl", "inflow_delivery",
    "transverse_factors", *_GROUP_TABLES, "longitudinal_groups", "first_factor_groups",
    "second_factor_groups", "rf_groups", *_RF_TABLES, *_WINDOW_NAMES,
)
_OPTIONAL = (
    "action_offsets", "action_kinds", "action_payloads", "adc_demodulation", "rx_sensitivities",
    "signal_weights", "parent_species_signal", "checkpoint_states", "kpl_by_group",
    "spatial_source_values",
)


def _optional(name: str, value: object) -> np.ndarray | None:
    return None if value is None else require_array(name, value)


def apply_dynamic_rf_block_with_concentration_inflow(
    state, transverse_state, concentration_state, kpl, inflow_delivery, transverse_factors,
    exp_a_by_group, exp_b_by_group, difference_by_group, regular_by_group,
    f0_a_by_group, f1_a_by_group, j0_by_group, j1_by_group,
    concentration_exp_a_by_group, concentration_exp_b_by_group,
    concentration_difference_by_group, concentration_regular_by_group,
    concentration_f0_a_by_group, concentration_f1_a_by_group,
    concentration_j0_by_group, concentration_j1_by_group,
    duration_by_group, regular_mode_by_group, concentration_regular_mode_by_group,
    longitudinal_groups, first_factor_groups, second_factor_groups, rf_groups,
    rf_axis_x, rf_axis_y, rf_cosine, rf_sine, rf_one_minus_cosine,
    inflow_first_start, inflow_first_end, inflow_second_start, inflow_second_end,
    polarization_first_start, polarization_first_end,
    polarization_second_start, polarization_second_end,
    equilibrium, num_threads,
    action_offsets=None, action_kinds=None, action_payloads=None, adc_demodulation=None,
    rx_sensitivities=None, signal_weights=None, parent_species_signal=None,
    checkpoint_states=None, spins_per_parent=1, signal_scale=1.0, ideal_crushers=False,
    kpl_by_group=None, spatial_source_values=None, source_mode=0,
):
    """Execute two-pool source intervals in one persistent parallel region."""
    given = locals()
    equilibrium = np.float64(float(equilibrium))
    num_threads = int(num_threads)
    spins_per_parent = int(spins_per_parent)
    signal_scale = np.float64(float(signal_scale))
    ideal_crushers = bool(ideal_crushers)
    source_mode = int(source_mode)

    a = {name: require_array(name, given[name]) for name in _REQUIRED}
    (action_offsets, action_kinds, action_payloads, adc_demodulation, rx_sensitivities,
     signal_weights, parent_species_signal, checkpoint_states, kpl_by_group,
     spatial_source_values) = (_optional(name, given[name]) for name in _OPTIONAL)

    state, transverse_state = a["state"], a["transverse_state"]
    concentration_state, transverse_factors = a["concentration_state"], a["transverse_factors"]
    nvoxels = a["kpl"].shape[0]
    require(state.shape == (2, nvoxels, 3), "state must have shape (2, nvoxels, 3)")
    require(transverse_state.shape[0] == 2 and transverse_state.shape[1] == nvoxels,
            "transverse_state must have shape (2, nvoxels)")
    require(concentration_state.shape == (2, nvoxels, 3),
            "concentration_state must have shape (2, nvoxels, 3)")
    require(a["inflow_delivery"].shape[0] == nvoxels, "inflow_delivery length must match nvoxels")
    nsteps = a["longitudinal_groups"].shape[0]
    require(all(a[name].shape[0] == nsteps
                for name in ("first_factor_groups", "second_factor_groups", "rf_groups")),
            "RF block arrays must have equal step counts")
    rf_tables = [a[name] for name in ("rf_axis_y", "rf_cosine", "rf_sine", "rf_one_minus_cosine")]
    require(all(t.shape[0] == a["rf_axis_x"].shape[0] for t in rf_tables),
            "RF coefficient tables must have equal group counts")
    width = a["rf_axis_x"].shape[1]
    require(width == 1 or width == nvoxels, "RF coefficient width must be one or nvoxels")
    require(all(t.shape[1] == width for t in rf_tables),
            "RF coefficient tables must have equal widths")
    require(all(a[name].shape[0] == nsteps for name in _WINDOW_NAMES),
            "source block arrays must have equal step counts")
    require(spatial_source_values is None or spatial_source_values.shape == (8, nsteps, nvoxels),
            "spatial source values must have shape (8, nsteps, nvoxels)")
    require_team(num_threads)
    require(0 <= source_mode <= 3, "source_mode must be between zero and three")
    require_contiguous((state, concentration_state), "state arrays must be C-contiguous")
    require_contiguous((transverse_state, transverse_factors),
                       "transverse arrays must be C-contiguous")

    has_actions = action_offsets is not None
    observation = None
    if has_actions:
        observed = (action_kinds, action_payloads, adc_demodulation, rx_sensitivities,
                    signal_weights, parent_species_signal, checkpoint_states)
        require(all(array is not None for array in observed),
                "complete plan actions require observation arrays")
        require(action_offsets.shape[0] == nsteps + 1,
                "action offsets must bracket every plan step")
        require(spins_per_parent >= 1 and nvoxels % spins_per_parent == 0,
                "parent/spin dimensions are inconsistent")
        nparents = nvoxels // spins_per_parent
        require(parent_species_signal.shape[0] == nparents, "parent signal shape is inconsistent")
        ncoils = rx_sensitivities.shape[0]
        require(parent_species_signal.shape[1] == 2 and parent_species_signal.shape[2] == ncoils,
                "parent signal shape is inconsistent")
        require(rx_sensitivities.shape[1] == nvoxels and signal_weights.shape[0] == nvoxels,
                "receive arrays must contain every spin")
        observation = actions.Observation(
            action_offsets, action_kinds, action_payloads, adc_demodulation, rx_sensitivities,
            signal_weights, parent_species_signal, checkpoint_states, signal_scale,
            ideal_crushers)
    else:
        spins_per_parent = 1
        nparents = nvoxels
    # Checked in no-action mode too: the block reads the table at every voxel's column.
    require(kpl_by_group is None or kpl_by_group.shape[1] == nvoxels,
            "kpl_by_group must contain every spin")

    if nparents > 0:
        _check_block(a, nsteps, nvoxels, kpl_by_group, observation)
    written = {name: a[name] for name in ("state", "transverse_state", "concentration_state")}
    if has_actions:
        written.update(parent_species_signal=parent_species_signal,
                       checkpoint_states=checkpoint_states)
    actions.check_writable(written)

    for local_spin in range(spins_per_parent if nparents > 0 else 0):
        _advance_spins(a, local_spin, spins_per_parent, nsteps, width, equilibrium, source_mode,
                       kpl_by_group, spatial_source_values, observation)
    return None


def _check_block(a, nsteps, nvoxels, kpl_by_group, observation):
    """Every table, index and payload the block will use lies inside the arrays given."""
    actions.check_extent({name: a[name] for name in _VOXEL_TABLES}, 1, nvoxels,
                         "must have nvoxels columns")
    factors = {"transverse_factors": a["transverse_factors"]}
    actions.check_extent(factors, 1, 2, "must have shape (nfactor_groups, 2, nvoxels)")
    actions.check_extent(factors, 2, nvoxels, "must have shape (nfactor_groups, 2, nvoxels)")
    group_tables = {name: a[name] for name in _GROUP_TABLES}
    if kpl_by_group is not None:
        group_tables["kpl_by_group"] = kpl_by_group
    actions.check_step_indices("longitudinal_groups", a["longitudinal_groups"], nsteps,
                               group_tables)
    for name in ("first_factor_groups", "second_factor_groups"):
        actions.check_step_indices(name, a[name], nsteps, factors)
    actions.check_step_indices("rf_groups", a["rf_groups"], nsteps,
                               {"rf_axis_x": a["rf_axis_x"]}, negative_means_none=True)
    if observation is not None:
        actions.check_actions(observation, nsteps, 2, nvoxels)


def _group_coefficients(a, group, voxels):
    """The coefficients of ``group`` that both half-intervals of a step use, by kernel name."""
    coefficients = {name: a[f"{name}_by_group"][group, voxels] for name in _VOXEL_NAMES}
    for name in ("exp_b", "concentration_exp_b", "duration"):
        coefficients[name] = np.float64(a[f"{name}_by_group"][group])
    for name in ("regular_mode", "concentration_regular_mode"):
        coefficients[name] = int(a[f"{name}_by_group"][group])
    return coefficients


def _rotate(a, rf_group, width, voxels, real, imag, longitudinal):
    """The step's RF rotation, both pools with the same coefficients; a negative group has none."""
    if rf_group < 0:
        return
    if width == 1:
        rotate = rotate_rf_axis
        coefficients = [np.float64(a[name][rf_group, 0]) for name in _RF_TABLES]
    else:
        rotate = rotate_rf_plane
        coefficients = [a[name][rf_group, voxels] for name in _RF_TABLES[:4]]
    with np.errstate(all="ignore"):
        for pool in (0, 1):
            real[pool], imag[pool], longitudinal[pool] = rotate(
                real[pool], imag[pool], longitudinal[pool], *coefficients)


def _advance_spins(a, local_spin, spins_per_parent, nsteps, width, equilibrium, source_mode,
                   kpl_by_group, spatial_source_values, observation):
    """Advance spin ``local_spin`` of every parent through every step and store it."""
    state, concentration_state, transverse_state = (
        a["state"], a["concentration_state"], a["transverse_state"])
    voxels = slice(local_spin, None, spins_per_parent)
    # The working values, per pool: transverse real and imaginary part, Mz, concentration.
    real = [transverse_state.real[pool, voxels].copy() for pool in (0, 1)]
    imag = [transverse_state.imag[pool, voxels].copy() for pool in (0, 1)]
    longitudinal = [state[pool, voxels, 2].copy() for pool in (0, 1)]
    concentration = [concentration_state[pool, voxels, 2].copy() for pool in (0, 1)]
    delivery = a["inflow_delivery"][voxels]
    factors = a["transverse_factors"]

    def multiply_factors(factor_group):
        with np.errstate(all="ignore"):
            for pool in (0, 1):
                real[pool], imag[pool] = evolve_transverse(
                    real[pool], imag[pool], factors.real[factor_group, pool, voxels],
                    factors.imag[factor_group, pool, voxels])

    def coupled_half_step(half, step, interval_kpl, coefficients):
        sources = _half_sources(a, half, step, voxels, delivery, source_mode,
                                spatial_source_values)
        longitudinal[0], longitudinal[1], concentration[0], concentration[1] = (
            advance_coupled_longitudinal(
                longitudinal[0], longitudinal[1], concentration[0], concentration[1],
                interval_kpl, **coefficients, **sources, equilibrium=equilibrium))

    for step in range(nsteps):
        group = int(a["longitudinal_groups"][step])
        coefficients = _group_coefficients(a, group, voxels)
        interval_kpl = (kpl_by_group[group, voxels] if kpl_by_group is not None
                        else a["kpl"][voxels])
        multiply_factors(int(a["first_factor_groups"][step]))
        coupled_half_step(0, step, interval_kpl, coefficients)
        _rotate(a, int(a["rf_groups"][step]), width, voxels, real, imag, longitudinal)
        coupled_half_step(1, step, interval_kpl, coefficients)
        multiply_factors(int(a["second_factor_groups"][step]))
        if observation is not None:
            actions.run_step_actions(observation, step, local_spin, spins_per_parent, real, imag,
                                     longitudinal)

    for pool in (0, 1):
        state[pool, voxels, 2] = longitudinal[pool]
        concentration_state[pool, voxels, 2] = concentration[pool]
        transverse_state.real[pool, voxels] = real[pool]
        transverse_state.imag[pool, voxels] = imag[pool]


def _half_sources(a, half, step, voxels, delivery, source_mode, spatial_source_values):
    """The source selection of one half-interval of ``step``, by kernel name."""
    zero = np.zeros(np.shape(delivery))
    if source_mode == 2:  # reads neither the windows nor the delivery
        return dict(source_start=zero, source_end=zero, concentration_source_start=zero,
                    concentration_source_end=zero)
    rows = _HALF_ROWS[half]
    if spatial_source_values is not None:
        windows = [spatial_source_values[row, step, voxels] for row in rows]
    else:
        windows = [np.float64(a[_WINDOW_NAMES[row]][step]) for row in rows]
    inflow_start, inflow_end, polarization_start, polarization_end = windows
    with np.errstate(all="ignore"):
        if source_mode == 0:
            concentration_start = inflow_start * delivery
            concentration_end = inflow_end * delivery
            return dict(source_start=polarization_start * concentration_start,
                        source_end=polarization_end * concentration_end,
                        concentration_source_start=concentration_start,
                        concentration_source_end=concentration_end)
        if source_mode == 1:  # the polarization windows are not read
            return dict(source_start=inflow_start * delivery, source_end=inflow_end * delivery,
                        concentration_source_start=zero, concentration_source_end=zero)
        return dict(source_start=polarization_start * (inflow_start * delivery),
                    source_end=polarization_end * (inflow_end * delivery),
                    concentration_source_start=zero, concentration_source_end=zero)
