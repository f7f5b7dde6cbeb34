"""Multi-pool plan block: one precursor converting into several products, with concentration,
sources, RF, free evolution and the action stream, vectorised over the parents of one local spin.

The spins of one local spin index (one per parent) advance together, local spin after local spin,
so every signal element receives its additions in the native order: spin, step, action.
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
from korvel.reference.longitudinal import linear_source_ramp
from korvel.reference.rf import rotate_rf_axis, rotate_rf_plane
from korvel.reference.free_evolution import evolve_transverse

_PARAMETERS = (
    "state", "transverse_state", "concentration_state", "transverse_factors",
    "conversion_rates_by_group", "exp_precursor_by_group", "exp_products_by_group",
    "transfer_factor_by_group", "f0_precursor_by_group", "f1_precursor_by_group",
    "j0_by_group", "j1_by_group", "concentration_exp_precursor_by_group",
    "concentration_exp_products_by_group", "concentration_transfer_factor_by_group",
    "concentration_f0_precursor_by_group", "concentration_f1_precursor_by_group",
    "concentration_j0_by_group", "concentration_j1_by_group", "duration_by_group",
    "longitudinal_groups", "first_factor_groups", "second_factor_groups", "rf_groups",
    "rf_axis_x", "rf_axis_y", "rf_cosine", "rf_sine", "rf_one_minus_cosine",
    "inflow_first_start", "inflow_first_end", "inflow_second_start", "inflow_second_end",
    "polarization_first_start", "polarization_first_end", "polarization_second_start",
    "polarization_second_end", "inflow_delivery", "equilibrium", "source_mode",
    "action_offsets", "action_kinds", "action_payloads", "adc_demodulation", "rx_sensitivities",
    "signal_weights", "parent_species_signal", "checkpoint_states", "spins_per_parent",
    "signal_scale", "ideal_crushers", "num_threads", "spatial_source_values",
)
_SCALARS = {"equilibrium", "source_mode", "spins_per_parent", "signal_scale", "ideal_crushers",
            "num_threads"}
_WINDOWS = _PARAMETERS[29:37]
# Tables addressed as flat C-ordered blocks: [g, i], [g, q] and [g, q, i].
_PRECURSOR_TABLES = (
    "exp_precursor_by_group", "f0_precursor_by_group", "f1_precursor_by_group",
    "concentration_exp_precursor_by_group", "concentration_f0_precursor_by_group",
    "concentration_f1_precursor_by_group",
)
_PRODUCT_TABLES = ("exp_products_by_group", "concentration_exp_products_by_group")
_PRODUCT_SPIN_TABLES = (
    "conversion_rates_by_group", "transfer_factor_by_group", "j0_by_group", "j1_by_group",
    "concentration_transfer_factor_by_group", "concentration_j0_by_group",
    "concentration_j1_by_group",
)
_LONGITUDINAL_TABLES = (
    "conversion_rates_by_group", "exp_precursor_by_group", "exp_products_by_group",
    "transfer_factor_by_group", "f0_precursor_by_group", "f1_precursor_by_group", "j0_by_group",
    "j1_by_group", "concentration_exp_precursor_by_group", "concentration_exp_products_by_group",
    "concentration_transfer_factor_by_group", "concentration_f0_precursor_by_group",
    "concentration_f1_precursor_by_group", "concentration_j0_by_group",
    "concentration_j1_by_group", "duration_by_group",
)
_MODIFIED = ("state", "transverse_state", "concentration_state", "parent_species_signal",
             "checkpoint_states")
_RF_TABLES = ("rf_axis_x", "rf_axis_y", "rf_cosine", "rf_sine", "rf_one_minus_cosine")


def multi_pool_sources(source_mode, delivery, inflow_start, inflow_end, polarization_start,
                       polarization_end, second_half):
    """Return (concentration_start, concentration_end, start, end) of one half-step.

    The halves order the end product differently (delivery first in the first half).
    """
    zero = np.float64(0.0)
    if source_mode == 2:
        return zero, zero, zero, zero
    delivered_start = inflow_start * delivery
    delivered_end = inflow_end * delivery if second_half else delivery * inflow_end
    if source_mode == 1:
        return zero, zero, delivered_start, delivered_end
    start = polarization_start * delivered_start
    end = polarization_end * delivered_end
    if source_mode == 3:
        return zero, zero, start, end
    return delivered_start, delivered_end, start, end


def advance_multi_pool(z, c, group, duration, sources, equilibrium):
    """One multi-pool half-step of (npools, n) magnetization ``z`` and concentration ``c``.

    Both are updated in place.

    ``group`` maps table names to this group's coefficients: precursor tables as (n,) arrays,
    product tables as (nproducts, 1), product-spin tables as (nproducts, n).
    """
    concentration_start, concentration_end, start, end = sources
    shifted = equilibrium != 0.0
    if shifted:
        z[...] = z - (c * equilibrium)
    precursor = z[0].copy()
    concentration_precursor = c[0].copy()
    ramp_start, slope = linear_source_ramp(
        start - (concentration_start * equilibrium), end - (concentration_end * equilibrium),
        duration,
    )
    concentration_ramp_start, concentration_slope = linear_source_ramp(
        concentration_start, concentration_end, duration
    )
    z[0] = ((group["f0_precursor_by_group"] * ramp_start)
            + (group["exp_precursor_by_group"] * precursor)) \
        + (group["f1_precursor_by_group"] * slope)
    c[0] = ((group["concentration_f0_precursor_by_group"] * concentration_ramp_start)
            + (group["concentration_exp_precursor_by_group"] * concentration_precursor)) \
        + (group["concentration_f1_precursor_by_group"] * concentration_slope)
    rate = group["conversion_rates_by_group"]
    concentration_transfer = group["concentration_transfer_factor_by_group"]
    z[1:] = ((z[1:] * group["exp_products_by_group"])
             + ((precursor * rate) * group["transfer_factor_by_group"])) \
        + (((group["j0_by_group"] * ramp_start) + (group["j1_by_group"] * slope)) * rate)
    c[1:] = ((c[1:] * group["concentration_exp_products_by_group"])
             + ((concentration_precursor * rate) * concentration_transfer)) \
        + (((group["concentration_j0_by_group"] * concentration_ramp_start)
            + (group["concentration_j1_by_group"] * concentration_slope)) * rate)
    if shifted:
        z[...] = (c * equilibrium) + z


def _evolve(tr, ti, factors):
    """Multiply (tr, ti) by the complex factors, in place."""
    new_tr, new_ti = evolve_transverse(tr, ti, factors.real, factors.imag)
    tr[...] = new_tr
    ti[...] = new_ti


def _validate(a, local):
    """The body checks in the native order; returns the counts the block uses."""
    state = a["state"]
    require(state.shape[0] > 2 and state.shape[2] == 3,
            "multi-pool state must have shape (>=3, nspins, 3)")
    npools, nspins = state.shape[0], state.shape[1]
    nproducts = npools - 1
    require(a["transverse_state"].shape == (npools, nspins),
            "transverse state must match multi-pool state")
    require(a["concentration_state"].shape == (npools, nspins, 3),
            "concentration state must match multi-pool state")
    rates = a["conversion_rates_by_group"]
    require(rates.shape[1] + 1 == npools and rates.shape[2] == nspins,
            "conversion tables must contain every product and spin")
    signal = a["parent_species_signal"]
    nparents = signal.shape[0]
    spins_per_parent = local["spins_per_parent"]
    require(spins_fill_parents(nspins, spins_per_parent, nparents),
            "parent/spin dimensions are inconsistent")
    require(signal.shape[1] == npools and a["rx_sensitivities"].shape[0] == signal.shape[2],
            "parent signal shape is inconsistent")
    nsteps = a["longitudinal_groups"].shape[0]
    require(a["action_offsets"].shape[0] == nsteps + 1,
            "action offsets must bracket every plan step")
    require(0 <= local["source_mode"] <= 3, "source_mode must be between zero and three")
    require_team(local["num_threads"])
    width = a["rf_axis_x"].shape[1]
    require(width in (1, nspins), "RF coefficient width must be one or nspins")
    if nspins > 0:
        _check_obligations(a, local, npools, nspins, nsteps, width)
    check_writable({name: a[name] for name in _MODIFIED})
    return npools, nspins, nproducts, nparents, nsteps, width


def _check_obligations(a, local, npools, nspins, nsteps, width):
    """The caller's obligations the block relies on, in the native order."""
    pick = lambda names: {name: a[name] for name in names}  # noqa: E731
    nproducts = npools - 1
    require_contiguous(tuple(a[name] for name in _MODIFIED[:3]),
                       "state arrays must be C-contiguous")
    factors_shape = "must have shape (nfactor_groups, npools, nspins)"
    check_extent(pick(["transverse_factors"]), 1, npools, factors_shape)
    check_extent(pick(["transverse_factors"]), 2, nspins, factors_shape)
    check_extent(pick(_PRECURSOR_TABLES), 1, nspins, "must have nspins columns")
    check_extent(pick(_PRODUCT_TABLES), 1, nproducts, "must have nproducts columns")
    check_extent(pick(_PRODUCT_SPIN_TABLES[1:]), 1, nproducts, "must have nproducts rows per group")
    check_extent(pick(_PRODUCT_SPIN_TABLES[1:]), 2, nspins, "must have nspins columns")
    rf_tables = pick(_RF_TABLES[1:])
    for axis, extent in enumerate(a["rf_axis_x"].shape):
        check_extent(rf_tables, axis, extent, "must have the shape of rf_axis_x")
    check_extent(pick(["inflow_delivery"]), 0, nspins, "must have an entry for every spin")
    spatial = a["spatial_source_values"]
    if spatial is not None:
        for axis, extent in enumerate((8, nsteps, nspins)):
            check_extent({"spatial_source_values": spatial}, axis, extent,
                         "must have shape (8, nsteps, nspins)")
    else:
        check_extent(pick(_WINDOWS), 0, nsteps, "must have an entry for every plan step")
    check_step_indices("longitudinal_groups", a["longitudinal_groups"], nsteps,
                       pick(_LONGITUDINAL_TABLES))
    for name in ("first_factor_groups", "second_factor_groups"):
        check_step_indices(name, a[name], nsteps, pick(["transverse_factors"]))
    check_step_indices("rf_groups", a["rf_groups"], nsteps, pick(["rf_axis_x"]),
                       negative_means_none=True)
    check_actions(_observation(a, local), nsteps, npools, nspins)


def _observation(a, local):
    return Observation(
        *(a[name] for name in _PARAMETERS[40:48]),
        signal_scale=local["signal_scale"], ideal_crushers=local["ideal_crushers"],
    )


def run_dynamic_plan_block_multi_pool(
    state, transverse_state, concentration_state, transverse_factors, conversion_rates_by_group,
    exp_precursor_by_group, exp_products_by_group, transfer_factor_by_group,
    f0_precursor_by_group, f1_precursor_by_group, j0_by_group, j1_by_group,
    concentration_exp_precursor_by_group, concentration_exp_products_by_group,
    concentration_transfer_factor_by_group, concentration_f0_precursor_by_group,
    concentration_f1_precursor_by_group, concentration_j0_by_group, concentration_j1_by_group,
    duration_by_group, longitudinal_groups, first_factor_groups, second_factor_groups, rf_groups,
    rf_axis_x, rf_axis_y, rf_cosine, rf_sine, rf_one_minus_cosine, inflow_first_start,
    inflow_first_end, inflow_second_start, inflow_second_end, polarization_first_start,
    polarization_first_end, polarization_second_start, polarization_second_end, inflow_delivery,
    equilibrium, source_mode, action_offsets, action_kinds, action_payloads, adc_demodulation,
    rx_sensitivities, signal_weights, parent_species_signal, checkpoint_states, spins_per_parent,
    signal_scale, ideal_crushers, num_threads, spatial_source_values=None,
):
    """Execute a bounded multi-pool precursor-to-products plan block."""
    given = locals()
    local = {
        "equilibrium": np.float64(float(equilibrium)),
        "source_mode": int(source_mode),
        "spins_per_parent": int(spins_per_parent),
        "signal_scale": np.float64(float(signal_scale)),
        "ideal_crushers": bool(ideal_crushers),
        "num_threads": int(num_threads),
    }
    a = {}
    for name in _PARAMETERS:
        if name in _SCALARS:
            continue
        if name == "spatial_source_values" and given[name] is None:
            a[name] = None
        else:
            a[name] = require_array(name, given[name])
    npools, nspins, nproducts, nparents, nsteps, width = _validate(a, local)
    _run(a, local, npools, nspins, nparents, nsteps, width)


def _run(a, local, npools, nspins, nparents, nsteps, width):
    if nparents == 0:
        return
    state, transverse, concentration = a["state"], a["transverse_state"], a["concentration_state"]
    spins_per_parent = local["spins_per_parent"]
    source_mode, equilibrium = local["source_mode"], local["equilibrium"]
    spatial = a["spatial_source_values"]
    observation = _observation(a, local)
    with np.errstate(all="ignore"):
        for local_spin in range(spins_per_parent):
            spins = slice(local_spin, nspins, spins_per_parent)
            z = state[:, spins, 2].copy()
            c = concentration[:, spins, 2].copy()
            tr = transverse.real[:, spins].copy()
            ti = transverse.imag[:, spins].copy()
            delivery = a["inflow_delivery"][spins]
            for step in range(nsteps):
                g = int(a["longitudinal_groups"][step])
                f1 = int(a["first_factor_groups"][step])
                r = int(a["rf_groups"][step])
                f2 = int(a["second_factor_groups"][step])
                duration = a["duration_by_group"][g]
                group = {name: a[name][g][spins] for name in _PRECURSOR_TABLES}
                group.update({name: a[name][g][:, None] for name in _PRODUCT_TABLES})
                group.update({name: a[name][g][:, spins] for name in _PRODUCT_SPIN_TABLES})

                def windows(planes, names):
                    if spatial is not None:
                        return [spatial[plane, step, spins] for plane in planes]
                    return [a[name][step] for name in names]

                _evolve(tr, ti, a["transverse_factors"][f1][:, spins])
                w = windows((0, 1, 4, 5), _WINDOWS[0:2] + _WINDOWS[4:6])
                sources = multi_pool_sources(source_mode, delivery, *w, second_half=False)
                advance_multi_pool(z, c, group, duration, sources, equilibrium)
                if r >= 0:
                    if width == 1:
                        coefficients = [a[name][r, 0] for name in _RF_TABLES]
                        tr[...], ti[...], z[...] = rotate_rf_axis(tr, ti, z, *coefficients)
                    else:
                        coefficients = [a[name][r][spins] for name in _RF_TABLES[:4]]
                        tr[...], ti[...], z[...] = rotate_rf_plane(tr, ti, z, *coefficients)
                _evolve(tr, ti, a["transverse_factors"][f2][:, spins])
                w = windows((2, 3, 6, 7), _WINDOWS[2:4] + _WINDOWS[6:8])
                sources = multi_pool_sources(source_mode, delivery, *w, second_half=True)
                advance_multi_pool(z, c, group, duration, sources, equilibrium)
                run_step_actions(observation, step, local_spin, spins_per_parent, tr, ti, z)
            state[:, spins, 2] = z
            concentration[:, spins, 2] = c
            transverse.real[:, spins] = tr
            transverse.imag[:, spins] = ti
