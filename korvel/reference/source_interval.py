"""Two-pool source-interval block with concentration inflow, in one pass per local spin.

Each pass advances one spin of every parent (the voxels ``local_spin::spins_per_parent``)
through every step, vectorised over the parents. The passes run in ascending ``local_spin``,
so every signal sample receives its additions in the native order: spin, then step, then action.
"""

from __future__ import annotations

import numpy as np

from korvel.reference._checks import require, require_array, require_contiguous, require_team
from korvel.reference.rf import rotate_rf_axis

_ZERO = np.float64(0.0)

# Names of the eight source windows, in the row order of ``spatial_source_values``.
_WINDOW_NAMES = (
    "inflow_first_start", "inflow_first_end", "inflow_second_start", "inflow_second_end",
    "polarization_first_start", "polarization_first_end",
    "polarization_second_start", "polarization_second_end",
)
# Rows (inflow start, inflow end, polarization start, polarization end) of each half-interval.
_HALF_ROWS = ((0, 1, 4, 5), (2, 3, 6, 7))


def _optional(name: str, value: object) -> np.ndarray | None:
    return None if value is None else require_array(name, value)


def _multiply_factor(x, y, factor_real, factor_imag):
    """(x + iy) times a complex factor, both parts formed from the old x and y."""
    return (x * factor_real) - (y * factor_imag), (x * factor_imag) + (y * factor_real)


def _rotate_rf_plane(vx, vy, vz, axis_x, axis_y, cosine, sine):
    parallel = (axis_x * vx) + (axis_y * vy)
    perpendicular = (axis_x * vy) - (axis_y * vx)
    rotated_perpendicular = (cosine * perpendicular) - (sine * vz)
    value_x = (parallel * axis_x) - (rotated_perpendicular * axis_y)
    value_y = (rotated_perpendicular * axis_x) + (parallel * axis_y)
    value_z = (sine * perpendicular) + (cosine * vz)
    return value_x, value_y, value_z


def _transfer(pyruvate, kpl, exp_a, exp_b, difference, regular, duration, regular_mode):
    """Regularity selection: mode 1 regular, -1 duration, any other mode defers to the mask."""
    if regular_mode == 1:
        use_regular = np.ones(np.shape(pyruvate), dtype=bool)
    elif regular_mode == -1:
        use_regular = np.zeros(np.shape(pyruvate), dtype=bool)
    else:
        use_regular = regular != 0
    with np.errstate(all="ignore"):
        decay_delta = exp_b - exp_a
        regular_form = ((kpl * pyruvate) * decay_delta) / difference
        duration_form = ((kpl * pyruvate) * duration) * exp_b
    return np.where(use_regular, regular_form, duration_form)


def _coupled_half_step(values, kpl, group, sources, duration, equilibrium):
    """One coupled half-step of magnetization and concentration; returns the four new arrays."""
    pyruvate, lactate, concentration_pyruvate, concentration_lactate = values
    source_start, source_end, concentration_source_start, concentration_source_end = sources
    shifted = equilibrium != 0.0
    with np.errstate(all="ignore"):
        if shifted:
            pyruvate = pyruvate - (concentration_pyruvate * equilibrium)
            lactate = lactate - (concentration_lactate * equilibrium)
        transfer_m = _transfer(pyruvate, kpl, group["exp_a"], group["exp_b"],
                               group["difference"], group["regular"], duration,
                               group["regular_mode"])
        start_m = source_start - (concentration_source_start * equilibrium)
        end_m = source_end - (concentration_source_end * equilibrium)
        slope_m = (end_m - start_m) / duration
        new_pyruvate = (group["exp_a"] * pyruvate) + (
            (group["f0_a"] * start_m) + (group["f1_a"] * slope_m))
        new_lactate = (((group["j0"] * start_m) + (group["j1"] * slope_m)) * kpl) + (
            transfer_m + (group["exp_b"] * lactate))
        slope_c = (concentration_source_end - concentration_source_start) / duration
        transfer_c = _transfer(concentration_pyruvate, kpl, group["concentration_exp_a"],
                               group["concentration_exp_b"], group["concentration_difference"],
                               group["concentration_regular"], duration,
                               group["concentration_regular_mode"])
        source_addition = ((group["concentration_j0"] * concentration_source_start)
                           + (group["concentration_j1"] * slope_c)) * kpl
        new_concentration_lactate = (
            (group["concentration_exp_b"] * concentration_lactate) + transfer_c) + source_addition
        new_concentration_pyruvate = (
            (group["concentration_f0_a"] * concentration_source_start)
            + (group["concentration_f1_a"] * slope_c)) + (
            group["concentration_exp_a"] * concentration_pyruvate)
        if shifted:
            new_pyruvate = new_pyruvate + (new_concentration_pyruvate * equilibrium)
            new_lactate = new_lactate + (new_concentration_lactate * equilibrium)
    return new_pyruvate, new_lactate, new_concentration_pyruvate, new_concentration_lactate


def _select_sources(source_mode, inflow_start, inflow_end, polarization_start,
                    polarization_end, delivery):
    """(source_start, source_end, concentration_source_start, concentration_source_end)."""
    zero = np.zeros(np.shape(delivery))
    with np.errstate(all="ignore"):
        if source_mode == 0:
            concentration_start = inflow_start * delivery
            concentration_end = inflow_end * delivery
            return (polarization_start * concentration_start,
                    polarization_end * concentration_end, concentration_start, concentration_end)
        if source_mode == 1:
            return inflow_start * delivery, inflow_end * delivery, zero, zero
        if source_mode == 2:
            return zero, zero, zero, zero
        return (polarization_start * (inflow_start * delivery),
                polarization_end * (inflow_end * delivery), zero, zero)


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
    equilibrium = np.float64(float(equilibrium))
    num_threads = int(num_threads)
    spins_per_parent = int(spins_per_parent)
    signal_scale = np.float64(float(signal_scale))
    ideal_crushers = bool(ideal_crushers)
    source_mode = int(source_mode)

    required = dict(
        state=state, transverse_state=transverse_state, concentration_state=concentration_state,
        kpl=kpl, inflow_delivery=inflow_delivery, transverse_factors=transverse_factors,
        exp_a_by_group=exp_a_by_group, exp_b_by_group=exp_b_by_group,
        difference_by_group=difference_by_group, regular_by_group=regular_by_group,
        f0_a_by_group=f0_a_by_group, f1_a_by_group=f1_a_by_group,
        j0_by_group=j0_by_group, j1_by_group=j1_by_group,
        concentration_exp_a_by_group=concentration_exp_a_by_group,
        concentration_exp_b_by_group=concentration_exp_b_by_group,
        concentration_difference_by_group=concentration_difference_by_group,
        concentration_regular_by_group=concentration_regular_by_group,
        concentration_f0_a_by_group=concentration_f0_a_by_group,
        concentration_f1_a_by_group=concentration_f1_a_by_group,
        concentration_j0_by_group=concentration_j0_by_group,
        concentration_j1_by_group=concentration_j1_by_group,
        duration_by_group=duration_by_group, regular_mode_by_group=regular_mode_by_group,
        concentration_regular_mode_by_group=concentration_regular_mode_by_group,
        longitudinal_groups=longitudinal_groups, first_factor_groups=first_factor_groups,
        second_factor_groups=second_factor_groups, rf_groups=rf_groups,
        rf_axis_x=rf_axis_x, rf_axis_y=rf_axis_y, rf_cosine=rf_cosine, rf_sine=rf_sine,
        rf_one_minus_cosine=rf_one_minus_cosine,
        inflow_first_start=inflow_first_start, inflow_first_end=inflow_first_end,
        inflow_second_start=inflow_second_start, inflow_second_end=inflow_second_end,
        polarization_first_start=polarization_first_start,
        polarization_first_end=polarization_first_end,
        polarization_second_start=polarization_second_start,
        polarization_second_end=polarization_second_end,
    )
    a = {name: require_array(name, value) for name, value in required.items()}
    action_offsets = _optional("action_offsets", action_offsets)
    action_kinds = _optional("action_kinds", action_kinds)
    action_payloads = _optional("action_payloads", action_payloads)
    adc_demodulation = _optional("adc_demodulation", adc_demodulation)
    rx_sensitivities = _optional("rx_sensitivities", rx_sensitivities)
    signal_weights = _optional("signal_weights", signal_weights)
    parent_species_signal = _optional("parent_species_signal", parent_species_signal)
    checkpoint_states = _optional("checkpoint_states", checkpoint_states)
    kpl_by_group = _optional("kpl_by_group", kpl_by_group)
    spatial_source_values = _optional("spatial_source_values", spatial_source_values)

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
    if has_actions:
        observation = (action_kinds, action_payloads, adc_demodulation, rx_sensitivities,
                       signal_weights, parent_species_signal, checkpoint_states)
        require(all(array is not None for array in observation),
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
        require(kpl_by_group is None or kpl_by_group.shape[1] == nvoxels,
                "kpl_by_group must contain every spin")
    else:
        spins_per_parent = 1
        nparents = nvoxels

    if nparents == 0:
        return None
    for local_spin in range(spins_per_parent):
        _advance_spins(a, local_spin, spins_per_parent, nsteps, width,
                       equilibrium, source_mode, kpl_by_group, spatial_source_values,
                       _Actions(action_offsets, action_kinds, action_payloads, adc_demodulation,
                                rx_sensitivities, signal_weights, parent_species_signal,
                                checkpoint_states, signal_scale, ideal_crushers)
                       if has_actions else None)
    return None


class _Actions:
    """The action stream and observation arrays of plan mode."""

    def __init__(self, offsets, kinds, payloads, demodulation, rx, weights, signal, checkpoints,
                 scale, ideal_crushers):
        self.offsets, self.kinds, self.payloads = offsets, kinds, payloads
        self.demodulation, self.rx, self.weights = demodulation, rx, weights
        self.signal, self.checkpoints = signal, checkpoints
        self.scale, self.ideal_crushers = scale, ideal_crushers

    def run(self, step, voxels, parents, values):
        """Apply the actions of ``step`` to the spins ``voxels`` of ``parents``, in stream order."""
        pyruvate_x, pyruvate_y, lactate_x, lactate_y, pyruvate, lactate = values
        for action in range(int(self.offsets[step]), int(self.offsets[step + 1])):
            kind, payload = int(self.kinds[action]), int(self.payloads[action])
            if kind == 1 and self.ideal_crushers:
                zero = np.zeros(np.shape(pyruvate_x))
                pyruvate_x, pyruvate_y, lactate_x, lactate_y = zero, zero, zero, zero
            elif kind == 2:
                self._adc(payload, voxels, parents, ((pyruvate_x, pyruvate_y),
                                                     (lactate_x, lactate_y)))
            elif kind == 3:
                for pool, vector in enumerate(((pyruvate_x, pyruvate_y, pyruvate),
                                               (lactate_x, lactate_y, lactate))):
                    for component, value in enumerate(vector):
                        self.checkpoints[payload, pool, voxels, component] = value
        return pyruvate_x, pyruvate_y, lactate_x, lactate_y

    def _adc(self, sample, voxels, parents, pools):
        demod = self.demodulation[sample]
        demod_real, demod_imag = np.float64(demod.real), np.float64(demod.imag)
        weights = self.weights[voxels]
        with np.errstate(all="ignore"):
            for coil in range(self.rx.shape[0]):
                rx_real, rx_imag = self.rx.real[coil, voxels], self.rx.imag[coil, voxels]
                for pool, (mx, my) in enumerate(pools):
                    transverse_real = (rx_real * mx) - (rx_imag * my)
                    transverse_imag = (rx_imag * mx) + (rx_real * my)
                    weighted_real = (transverse_real * weights) * self.scale
                    weighted_imag = (transverse_imag * weights) * self.scale
                    received_real = (weighted_real * demod_real) - (weighted_imag * demod_imag)
                    received_imag = (weighted_real * demod_imag) + (weighted_imag * demod_real)
                    target = (parents, pool, coil, sample)
                    self.signal.real[target] = self.signal.real[target] + received_real
                    self.signal.imag[target] = self.signal.imag[target] + received_imag


def _advance_spins(a, local_spin, spins_per_parent, nsteps, width, equilibrium, source_mode,
                   kpl_by_group, spatial_source_values, actions):
    """Advance spin ``local_spin`` of every parent through every step and store it."""
    state, concentration_state, transverse_state = (
        a["state"], a["concentration_state"], a["transverse_state"])
    voxels = slice(local_spin, None, spins_per_parent)
    parents = np.arange(state.shape[1])[voxels] // spins_per_parent
    pyruvate, lactate = state[0, voxels, 2].copy(), state[1, voxels, 2].copy()
    concentration = [concentration_state[0, voxels, 2].copy(),
                     concentration_state[1, voxels, 2].copy()]
    pyruvate_x = transverse_state.real[0, voxels].copy()
    pyruvate_y = transverse_state.imag[0, voxels].copy()
    lactate_x = transverse_state.real[1, voxels].copy()
    lactate_y = transverse_state.imag[1, voxels].copy()
    delivery = a["inflow_delivery"][voxels]
    factors = a["transverse_factors"]

    for step in range(nsteps):
        g = int(a["longitudinal_groups"][step])
        group = {
            name: a[f"{name}_by_group"][g, voxels]
            for name in ("exp_a", "difference", "regular", "f0_a", "f1_a", "j0", "j1",
                         "concentration_exp_a", "concentration_difference",
                         "concentration_regular", "concentration_f0_a", "concentration_f1_a",
                         "concentration_j0", "concentration_j1")
        }
        group["exp_b"] = np.float64(a["exp_b_by_group"][g])
        group["concentration_exp_b"] = np.float64(a["concentration_exp_b_by_group"][g])
        group["regular_mode"] = int(a["regular_mode_by_group"][g])
        group["concentration_regular_mode"] = int(a["concentration_regular_mode_by_group"][g])
        duration = np.float64(a["duration_by_group"][g])
        interval_kpl = kpl_by_group[g, voxels] if kpl_by_group is not None else a["kpl"][voxels]

        with np.errstate(all="ignore"):
            f = int(a["first_factor_groups"][step])
            pyruvate_x, pyruvate_y = _multiply_factor(
                pyruvate_x, pyruvate_y, factors.real[f, 0, voxels], factors.imag[f, 0, voxels])
            lactate_x, lactate_y = _multiply_factor(
                lactate_x, lactate_y, factors.real[f, 1, voxels], factors.imag[f, 1, voxels])
        sources = _half_sources(a, 0, step, voxels, delivery, source_mode, spatial_source_values)
        pyruvate, lactate, *concentration = _coupled_half_step(
            (pyruvate, lactate, *concentration), interval_kpl, group, sources, duration,
            equilibrium)

        r = int(a["rf_groups"][step])
        if r >= 0:
            with np.errstate(all="ignore"):
                if width == 1:
                    coefficients = [np.float64(a[name][r, 0]) for name in (
                        "rf_axis_x", "rf_axis_y", "rf_cosine", "rf_sine", "rf_one_minus_cosine")]
                    rotate = rotate_rf_axis
                else:
                    coefficients = [a[name][r, voxels] for name in (
                        "rf_axis_x", "rf_axis_y", "rf_cosine", "rf_sine")]
                    rotate = _rotate_rf_plane
                pyruvate_x, pyruvate_y, pyruvate = rotate(
                    pyruvate_x, pyruvate_y, pyruvate, *coefficients)
                lactate_x, lactate_y, lactate = rotate(lactate_x, lactate_y, lactate, *coefficients)

        sources = _half_sources(a, 1, step, voxels, delivery, source_mode, spatial_source_values)
        pyruvate, lactate, *concentration = _coupled_half_step(
            (pyruvate, lactate, *concentration), interval_kpl, group, sources, duration,
            equilibrium)
        with np.errstate(all="ignore"):
            f = int(a["second_factor_groups"][step])
            pyruvate_x, pyruvate_y = _multiply_factor(
                pyruvate_x, pyruvate_y, factors.real[f, 0, voxels], factors.imag[f, 0, voxels])
            lactate_x, lactate_y = _multiply_factor(
                lactate_x, lactate_y, factors.real[f, 1, voxels], factors.imag[f, 1, voxels])

        if actions is not None:
            pyruvate_x, pyruvate_y, lactate_x, lactate_y = actions.run(
                step, voxels, parents,
                (pyruvate_x, pyruvate_y, lactate_x, lactate_y, pyruvate, lactate))

    state[0, voxels, 2], state[1, voxels, 2] = pyruvate, lactate
    concentration_state[0, voxels, 2], concentration_state[1, voxels, 2] = concentration
    transverse_state.real[0, voxels], transverse_state.imag[0, voxels] = pyruvate_x, pyruvate_y
    transverse_state.real[1, voxels], transverse_state.imag[1, voxels] = lactate_x, lactate_y


def _half_sources(a, half, step, voxels, delivery, source_mode, spatial_source_values):
    if source_mode == 2:
        zero = np.zeros(np.shape(delivery))
        return zero, zero, zero, zero
    rows = _HALF_ROWS[half]
    if spatial_source_values is not None:
        windows = [spatial_source_values[row, step, voxels] for row in rows]
    else:
        windows = [np.float64(a[_WINDOW_NAMES[row]][step]) for row in rows]
    return _select_sources(source_mode, *windows, delivery)
