"""Plan actions (crusher, ADC sample, checkpoint) and the checks shared by the plan drivers.

The drivers advance the spins of one local spin index for all parents at once: the spins
``local_spin + parent * spins_per_parent`` for every parent, in ascending local spin. Each spin
runs through every step and its actions before the next local spin starts, so each element of
``parent_species_signal`` receives its additions in the order (local spin, step, action), as in
the native drivers, for any team size.

Per-pool values are passed as ``real``, ``imag`` and ``longitudinal``: anything indexed by pool
that yields writable float64 arrays over the parents (a list of arrays, or a 2-D array or view).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from korvel.reference._checks import require, require_writable

CRUSHER_ACTION = 1
ADC_ACTION = 2
CHECKPOINT_ACTION = 3


@dataclass
class Observation:
    """The action stream and observation arrays of one block, as the native drivers read them."""

    action_offsets: np.ndarray
    action_kinds: np.ndarray
    action_payloads: np.ndarray
    adc_demodulation: np.ndarray
    rx_sensitivities: np.ndarray
    signal_weights: np.ndarray
    parent_species_signal: np.ndarray
    checkpoint_states: np.ndarray
    signal_scale: np.float64
    ideal_crushers: bool

    def bracket(self, step: int) -> range:
        """The actions of ``step``; an empty or inverted bracket gives none."""
        return range(int(self.action_offsets[step]), int(self.action_offsets[step + 1]))


def spins_fill_parents(nspins: int, spins_per_parent: int, nparents: int) -> bool:
    """nspins == spins_per_parent * nparents with spins_per_parent > 0, in exact integers."""
    return spins_per_parent > 0 and nspins == spins_per_parent * nparents


def adc_sample(observation, sample, local_spin, spins_per_parent, real, imag):
    """Add every pool's received signal to ``sample`` of every parent, for one local spin.

    Vectorised over parents and coils; each (parent, pool, coil) element receives one addition.
    Weight and scale are two roundings, weight first.
    """
    signal = observation.parent_species_signal
    nspins = observation.signal_weights.shape[0]
    spins = slice(local_spin, nspins, spins_per_parent)
    demod = observation.adc_demodulation[sample]
    demod_real, demod_imag = np.float64(demod.real), np.float64(demod.imag)
    rx = observation.rx_sensitivities[:, spins].T  # (nparents, ncoils)
    rx_real, rx_imag = rx.real, rx.imag
    weight = observation.signal_weights[spins][:, None]
    signal_real, signal_imag = signal.real, signal.imag
    for pool in range(signal.shape[1]):
        mx, my = real[pool][:, None], imag[pool][:, None]
        transverse_real = (rx_real * mx) - (rx_imag * my)
        transverse_imag = (rx_imag * mx) + (rx_real * my)
        weighted_real = (transverse_real * weight) * observation.signal_scale
        weighted_imag = (transverse_imag * weight) * observation.signal_scale
        received_real = (weighted_real * demod_real) - (weighted_imag * demod_imag)
        received_imag = (weighted_real * demod_imag) + (weighted_imag * demod_real)
        signal_real[:, pool, :, sample] = signal_real[:, pool, :, sample] + received_real
        signal_imag[:, pool, :, sample] = signal_imag[:, pool, :, sample] + received_imag


def checkpoint(observation, index, local_spin, spins_per_parent, real, imag, longitudinal):
    """Copy every pool's current values of one local spin of every parent into snapshot ``index``."""
    states = observation.checkpoint_states
    spins = slice(local_spin, states.shape[2], spins_per_parent)
    for pool in range(states.shape[1]):
        states[index, pool, spins, 0] = real[pool]
        states[index, pool, spins, 1] = imag[pool]
        states[index, pool, spins, 2] = longitudinal[pool]


def run_step_actions(observation, step, local_spin, spins_per_parent, real, imag, longitudinal):
    """Apply the actions of ``step``, in stream order, to one local spin of every parent."""
    npools = observation.parent_species_signal.shape[1]
    for action in observation.bracket(step):
        kind = int(observation.action_kinds[action])
        if kind == CRUSHER_ACTION:
            if observation.ideal_crushers:
                for pool in range(npools):
                    real[pool][...] = 0.0
                    imag[pool][...] = 0.0
        elif kind == ADC_ACTION:
            payload = int(observation.action_payloads[action])
            adc_sample(observation, payload, local_spin, spins_per_parent, real, imag)
        elif kind == CHECKPOINT_ACTION:
            payload = int(observation.action_payloads[action])
            checkpoint(observation, payload, local_spin, spins_per_parent, real, imag, longitudinal)


# The checks below keep a block inside the arrays it was given. A driver makes them after its
# own validation, only for a block with spins, in this order: check_extent, check_step_indices,
# check_actions. ``arrays`` and ``tables`` map parameter names to arrays.


def check_extent(arrays: dict, axis: int, extent: int, requirement: str) -> None:
    """Every array has ``extent`` along ``axis``: else ValueError "<name> <requirement>"."""
    for name, array in arrays.items():
        require(array.shape[axis] == extent, f"{name} {requirement}")


def check_step_indices(name, groups, nsteps, tables: dict, negative_means_none=False) -> None:
    """The first nsteps entries of ``groups`` exist and index a row of every table."""
    require(groups.shape[0] >= nsteps, f"{name} must have an entry for every plan step")
    used = groups[:nsteps].astype(np.int64)
    lowest = min(int(used.min()), 0) if nsteps else 0
    highest = int(used.max()) if nsteps else -1
    for table_name, table in tables.items():
        require(
            not (lowest < 0 and not negative_means_none) and highest < table.shape[0],
            f"{name} entries must index rows of {table_name}",
        )


def check_actions(observation: Observation, nsteps: int, npools: int, nspins: int) -> None:
    """Brackets, payloads, and the shapes and contiguity of the arrays the actions touch."""
    o = observation
    nactions = o.action_kinds.shape[0]
    require(
        o.action_payloads.shape[0] == nactions,
        "action_kinds and action_payloads must have equal lengths",
    )
    nadc = o.parent_species_signal.shape[3]
    ndemodulation = o.adc_demodulation.shape[0]
    ncheckpoints = o.checkpoint_states.shape[0]
    kinds = o.action_kinds.astype(np.int64)
    payloads = o.action_payloads.astype(np.int64)
    adc = kinds == ADC_ACTION
    checkpoints = kinds == CHECKPOINT_ACTION
    bad_adc = adc & ((payloads < 0) | (payloads >= nadc) | (payloads >= ndemodulation))
    bad_checkpoint = checkpoints & ((payloads < 0) | (payloads >= ncheckpoints))

    def running(mask):
        return np.concatenate(([0], np.cumsum(mask, dtype=np.int64)))

    adc_count, checkpoint_count = running(adc), running(checkpoints)
    faulty_count = running(bad_adc | bad_checkpoint)
    begins = o.action_offsets[:nsteps].astype(np.int64)
    ends = o.action_offsets[1:nsteps + 1].astype(np.int64)
    active = begins < ends
    outside = active & ((begins < 0) | (ends > nactions))
    begins_in, ends_in = np.clip(begins, 0, nactions), np.clip(ends, 0, nactions)
    faulty = active & ~outside & (faulty_count[ends_in] > faulty_count[begins_in])
    failing = np.flatnonzero(outside | faulty)
    if failing.size:
        step = failing[0]
        require(
            not outside[step],
            "action_offsets must bracket entries of action_kinds and action_payloads",
        )
        first = begins[step] + np.flatnonzero((bad_adc | bad_checkpoint)[begins[step]:])[0]
        require(
            not bad_adc[first],
            "ADC payloads must be below nadc and the length of adc_demodulation",
        )
        require(False, "checkpoint payloads must be below the length of checkpoint_states")
    inside = active & ~outside
    has_adc = bool((adc_count[ends_in] > adc_count[begins_in])[inside].any())
    has_checkpoint = bool((checkpoint_count[ends_in] > checkpoint_count[begins_in])[inside].any())
    if has_adc:
        require(
            o.rx_sensitivities.shape[1] == nspins,
            "rx_sensitivities must have a column for every spin",
        )
        require(o.signal_weights.shape[0] == nspins, "signal_weights must have an entry for every spin")
        for name in ("adc_demodulation", "rx_sensitivities", "parent_species_signal"):
            require(getattr(o, name).flags.c_contiguous, f"{name} must be C-contiguous")
    if has_checkpoint:
        require(
            o.checkpoint_states.shape[1:] == (npools, nspins, 3),
            "checkpoint_states must have shape (ncheckpoints, npools, nspins, 3)",
        )
        require(o.checkpoint_states.flags.c_contiguous, "checkpoint_states must be C-contiguous")


def check_writable(arrays: dict) -> None:
    """Arrays the block writes must be writable (the native frame's own check, last)."""
    require_writable(arrays)
