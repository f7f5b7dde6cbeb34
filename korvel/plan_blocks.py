"""Arguments of the three plan-block drivers: one builder per driver, with every knob.

``two_pool_block``, ``multi_pool_block`` and ``source_interval_block`` return the keyword
arguments of one valid call of ``run_dynamic_plan_block_no_inflow``,
``run_dynamic_plan_block_multi_pool`` and ``apply_dynamic_rf_block_with_concentration_inflow``
(in ``korvel.pelorine`` and ``korvel.reference``), every array freshly made from ``rng``. The
knobs they share:

- sizes: ``nparents``, ``spins_per_parent``, ``nsteps``, ``ngroups`` (longitudinal groups),
  ``nfactor_groups``, ``nrf_groups``, ``ncoils``, ``nadc`` and ``ncheckpoints``;
- ``rf_per_spin``: RF tables with one rotation per spin (the spatial form) or one per group;
- ``actions``: the action stream, one of ``ACTION_STREAMS`` (for the source-interval block also
  None: no stream, the block's no-action mode);
- ``typical``: values in ordinary ranges (decay factors just below one, unit-modulus phases, the
  precursor's magnetization at one, an ADC sample every step), so that long blocks never reach
  subnormal numbers; otherwise values over wide ranges (RF tables that are no rotation), a
  nonzero signal and snapshots on entry, steps without RF and every regular mode, as tests want
  them;
- ``special``: the fraction of entries of the driver's ``SPECIAL`` arrays replaced by NaN,
  infinities, signed zeros and subnormals;
- ``shared`` and ``strided``: arrays passed as zero-stride views along their last axis (the same
  value for every spin, as the host passes shared tables) or as every other element of a wider
  array.

``DRIVERS`` maps each driver's short name to its builder, its function name and the arrays it
writes.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Iterable

import numpy as np

from korvel.testing import sprinkle

Block = dict[str, Any]

WINDOWS = ("inflow_first_start", "inflow_first_end", "inflow_second_start", "inflow_second_end",
           "polarization_first_start", "polarization_first_end", "polarization_second_start",
           "polarization_second_end")
RF_TABLES = ("rf_axis_x", "rf_axis_y", "rf_cosine", "rf_sine", "rf_one_minus_cosine")
ACTION_STREAMS = ("varied", "unique", "adc", "observe")


# ---- Values ------------------------------------------------------------------------------------


@dataclass(frozen=True)
class _Values:
    """Draws of each kind of table, in typical ranges or in wide ones."""

    rng: np.random.Generator
    typical: bool

    def uniform(self, low: float, high: float, *shape: int) -> np.ndarray:
        return self.rng.uniform(low, high, shape)

    def complex(self, *shape: int, scale: float = 1.0) -> np.ndarray:
        return scale * (self.rng.standard_normal(shape) + 1j * self.rng.standard_normal(shape))

    def phase(self, *shape: int) -> np.ndarray:
        return np.exp(1j * self.rng.uniform(-np.pi, np.pi, shape))

    def state(self, npools: int, nspins: int) -> np.ndarray:
        if not self.typical:
            return self.rng.standard_normal((npools, nspins, 3))
        state = np.zeros((npools, nspins, 3))
        state[:, :, 2] = 0.05
        state[0, :, 2] = 1.0
        return state

    def transverse(self, npools: int, nspins: int) -> np.ndarray:
        return np.zeros((npools, nspins), complex) if self.typical else self.complex(npools, nspins)

    def concentration(self, npools: int, nspins: int) -> np.ndarray:
        if not self.typical:
            return self.uniform(0.0, 2.0, npools, nspins, 3)
        concentration = np.zeros((npools, nspins, 3))
        concentration[:, :, 2] = self.uniform(0.5, 1.0, npools, nspins)
        return concentration

    def factors(self, *shape: int) -> np.ndarray:
        return 0.999 * self.phase(*shape) if self.typical else self.complex(*shape, scale=0.7)

    def decay(self, *shape: int) -> np.ndarray:
        low, high = (0.995, 0.999) if self.typical else (0.8, 1.0)
        return self.uniform(low, high, *shape)

    def rate(self, *shape: int) -> np.ndarray:
        return self.uniform(0.01, 0.05, *shape) if self.typical else self.uniform(0.0, 0.1, *shape)

    def weight(self, *shape: int) -> np.ndarray:
        """Source weights, transfer factors and the like."""
        return self.uniform(0.0, 0.05, *shape) if self.typical else self.uniform(0.0, 1.0, *shape)

    def difference(self, *shape: int) -> np.ndarray:
        return self.uniform(0.01, 0.05, *shape) if self.typical else self.uniform(-0.1, 0.1, *shape)

    def regular(self, *shape: int) -> np.ndarray:
        return self.rng.random(shape) > (0.001 if self.typical else 0.5)

    def modes(self, ngroups: int) -> np.ndarray:
        """Every group 0 (per-spin masks), or -1, 0, 1 and 2 in turn, shuffled."""
        if self.typical:
            return np.zeros(ngroups, np.int32)
        return np.resize(self.rng.permutation(np.array([1, -1, 0, 2], np.int32)), ngroups)

    def durations(self, ngroups: int) -> np.ndarray:
        return np.full(ngroups, 0.05) if self.typical else self.uniform(0.1, 1.0, ngroups)

    def groups(self, nsteps: int, ngroups: int, shift: int = 0, lowest: int = 0) -> np.ndarray:
        """Per-step group indices: in turn, or at random (from ``lowest``: a negative RF group
        is a step without a pulse)."""
        if self.typical:
            return ((np.arange(nsteps) + shift) % max(ngroups, 1)).astype(np.int32)
        return self.rng.integers(lowest, max(ngroups, 1), nsteps).astype(np.int32)

    def rf(self, nrf_groups: int, width: int) -> Block:
        """Unit in-plane axes and small flip angles (scaled by a transmit map when there is one
        per spin); otherwise five independent tables, so that a kernel that derived one from
        another (one minus the cosine from the cosine, say) would not give the same bits."""
        if not self.typical:
            return {name: self.rng.standard_normal((nrf_groups, width)) for name in RF_TABLES}
        angle = np.deg2rad(self.uniform(5.0, 15.0, nrf_groups, 1))
        if width > 1:
            angle = angle * self.uniform(0.8, 1.2, 1, width)
        angle = angle * np.ones((1, width))
        phase = self.uniform(0.0, 2.0 * np.pi, nrf_groups, 1) * np.ones((1, width))
        return dict(rf_axis_x=np.cos(phase), rf_axis_y=np.sin(phase), rf_cosine=np.cos(angle),
                    rf_sine=np.sin(angle), rf_one_minus_cosine=1.0 - np.cos(angle))

    def windows(self, nsteps: int) -> Block:
        if not self.typical:
            return {name: self.uniform(0.0, 2.0, nsteps) for name in WINDOWS}
        inflow = np.sort(self.uniform(0.0, 1.0, 2 * nsteps + 1))[::-1]  # a falling bolus
        return dict(
            inflow_first_start=inflow[0:-1:2].copy(), inflow_first_end=inflow[1::2].copy(),
            inflow_second_start=inflow[1::2].copy(), inflow_second_end=inflow[2::2].copy(),
            **{name: self.uniform(0.8, 1.0, nsteps) for name in WINDOWS[4:]})


# ---- Action streams ----------------------------------------------------------------------------


def _stream(offsets, kinds, payloads) -> Block:
    return dict(action_offsets=np.array(offsets, np.int32),
                action_kinds=np.array(kinds, np.int8),
                action_payloads=np.array(payloads, np.int64))


def varied_actions(rng: np.random.Generator, nsteps: int, nadc: int, ncheckpoints: int,
                   crushers: bool = True) -> Block:
    """A stream of every kind: entries before the first bracket and after the last whose
    payloads no array holds, brackets of up to four actions (ignored kinds with any payload),
    every fifth bracket empty, and every fifth, two steps on, inverted (its end before its
    start), so that the next bracket repeats the last action of the one before."""
    kinds, payloads, offsets = [3, 2, 0], [10**9, -(10**9), 1 << 40], [3]
    for step in range(nsteps):
        if step % 5 == 1:
            offsets.append(offsets[-1])
            continue
        if step % 5 == 3 and offsets[-1] > 3:
            offsets.append(offsets[-1] - 1)
            continue
        for _ in range(int(rng.integers(0, 5))):
            kind = int(rng.choice([-1, 0, 1, 2, 2, 3, 4]))
            if (kind == 2 and not nadc) or (kind == 3 and not ncheckpoints) or (
                    kind == 1 and not crushers):
                kind = 0
            if kind == 2:
                payload = rng.integers(0, nadc)
            elif kind == 3:
                payload = rng.integers(0, ncheckpoints)
            else:  # crushers and ignored kinds carry any payload
                payload = rng.integers(-(1 << 40), 1 << 40)
            kinds.append(kind)
            payloads.append(int(payload))
        offsets.append(len(kinds))
    kinds += [2, 3, 4]
    payloads += [nadc, ncheckpoints, -1]
    return _stream(offsets, kinds, payloads)


def unique_actions(rng: np.random.Generator, nsteps: int, nadc: int, ncheckpoints: int,
                   crushers: bool = True) -> Block:
    """Per step: maybe a crusher, an ADC action with its own sample (while samples last), maybe
    a checkpoint, and an ignored kind. Every ADC sample is written once per spin, the condition
    for lanes when parents have several spins."""
    kinds, payloads, offsets = [0], [7], [1]  # one entry before the first bracket
    samples = rng.permutation(nadc)
    for step in range(nsteps):
        if crushers and step % 3 == 1:
            kinds.append(1), payloads.append(-5)
        if step < nadc:
            kinds.append(2), payloads.append(int(samples[step]))
        if step % 4 == 2 and ncheckpoints:
            kinds.append(3), payloads.append(int(rng.integers(0, ncheckpoints)))
        kinds.append(4), payloads.append(10**9)
        offsets.append(len(kinds))
    return _stream(offsets, kinds, payloads)


def adc_actions(rng: np.random.Generator, nsteps: int, nadc: int, ncheckpoints: int,
                crushers: bool = True) -> Block:
    """One ADC action per step, into the samples in turn; nothing else."""
    return _stream(np.arange(nsteps + 1), np.full(nsteps, 2),
                   np.arange(nsteps) % max(nadc, 1))


def observe_actions(rng: np.random.Generator, nsteps: int, nadc: int, ncheckpoints: int,
                    crushers: bool = True) -> Block:
    """After every step an ADC sample (in turn), then a crusher; the last step keeps its
    transverse state as a snapshot instead of crushing it."""
    kinds = np.tile(np.array([2, 1 if crushers else 0], np.int8), nsteps)
    payloads = np.repeat(np.arange(nsteps, dtype=np.int64) % max(nadc, 1), 2)
    if nsteps and ncheckpoints:
        kinds[-1], payloads[-1] = 3, 0
    return _stream(np.arange(0, 2 * nsteps + 1, 2), kinds, payloads)


_STREAMS = {"varied": varied_actions, "unique": unique_actions, "adc": adc_actions,
            "observe": observe_actions}


def _observation(values: _Values, actions: str, *, nparents: int, spins_per_parent: int,
                 nsteps: int, npools: int, ncoils: int, nadc: int | None,
                 ncheckpoints: int | None, crusher_actions: bool, ideal_crushers: bool) -> Block:
    """The action stream and the arrays it reads and writes."""
    if actions not in _STREAMS:
        raise ValueError(f"actions must be one of {', '.join(ACTION_STREAMS)}, got {actions!r}")
    if nadc is None:
        nadc = {"varied": 4, "unique": nsteps + 2}.get(actions, nsteps)
    if ncheckpoints is None:
        ncheckpoints = {"varied": 3, "unique": 3, "adc": 0}.get(actions, 1)
    nspins = nparents * spins_per_parent
    typical, rng = values.typical, values.rng
    stream = _STREAMS[actions](rng, nsteps, nadc, ncheckpoints, crusher_actions)
    return dict(
        stream,
        adc_demodulation=values.phase(max(nadc, 1)) if typical else values.complex(nadc + 1),
        rx_sensitivities=(values.uniform(0.5, 1.0, ncoils, nspins) * values.phase(ncoils, nspins)
                          if typical else values.complex(ncoils, nspins)),
        signal_weights=values.uniform(0.5, 1.5, nspins),
        parent_species_signal=(np.zeros((nparents, npools, ncoils, nadc), complex) if typical
                               else values.complex(nparents, npools, ncoils, nadc)),
        checkpoint_states=(np.zeros((ncheckpoints, npools, nspins, 3)) if typical
                           else rng.standard_normal((ncheckpoints, npools, nspins, 3))),
        spins_per_parent=spins_per_parent,
        signal_scale=1.0 / spins_per_parent if typical else 0.75,
        ideal_crushers=ideal_crushers,
    )


# ---- Layouts -------------------------------------------------------------------------------------


def zero_stride(array: np.ndarray, axis: int = -1) -> np.ndarray:
    """A read-only view holding the first entry along ``axis`` at every position of it."""
    index = [slice(None)] * array.ndim
    index[axis] = slice(0, 1)
    return np.broadcast_to(array[tuple(index)], array.shape)


def every_other(array: np.ndarray, axis: int = -1) -> np.ndarray:
    """The same values as every other element of a wider array along ``axis``."""
    return np.repeat(array, 2, axis=axis)[(slice(None),) * (axis % array.ndim) + (np.s_[::2],)]


def _relaid(block: Block, shared: Iterable[str], strided: Iterable[str]) -> Block:
    for name in shared:
        block[name] = zero_stride(block[name])
    for name in strided:
        block[name] = every_other(block[name])
    return block


def _finish(block: Block, special_arrays: tuple[str, ...], special: float, rng,
            shared: Iterable[str], strided: Iterable[str], num_threads: int) -> Block:
    block["num_threads"] = num_threads
    if special:
        for name in special_arrays:
            if name in block:
                sprinkle(rng, block[name], special)
    return _relaid(block, shared, strided)


# ---- The builders ------------------------------------------------------------------------------

TWO_POOL_SPECIAL = ("state", "transverse_state", "kpl_by_group", "rf_cosine", "signal_weights")


def two_pool_block(rng: np.random.Generator, *, nparents: int = 5, spins_per_parent: int = 2,
                   nsteps: int = 6, ngroups: int = 4, nfactor_groups: int = 3,
                   nrf_groups: int = 2, rf_per_spin: bool = False, ncoils: int = 2,
                   nadc: int | None = None, ncheckpoints: int | None = None,
                   actions: str = "varied", crusher_actions: bool = True,
                   ideal_crushers: bool = True, typical: bool = False, special: float = 0.0,
                   shared: Iterable[str] = (), strided: Iterable[str] = (),
                   num_threads: int = 1) -> Block:
    """Arguments of ``run_dynamic_plan_block_no_inflow``: one product, no inflow."""
    values = _Values(rng, typical)
    nspins = nparents * spins_per_parent
    block = dict(
        state=values.state(2, nspins),
        transverse_state=values.transverse(2, nspins),
        transverse_factors=values.factors(nfactor_groups, 2, nspins),
        kpl_by_group=values.rate(ngroups, nspins),
        exp_a_by_group=values.decay(ngroups, nspins),
        exp_b_by_group=values.decay(ngroups),
        difference_by_group=values.difference(ngroups, nspins),
        regular_by_group=values.regular(ngroups, nspins),
        duration_by_group=values.durations(ngroups),
        regular_mode_by_group=values.modes(ngroups),
        longitudinal_groups=values.groups(nsteps, ngroups),
        first_factor_groups=values.groups(nsteps, nfactor_groups),
        second_factor_groups=values.groups(nsteps, nfactor_groups, shift=3),
        rf_groups=values.groups(nsteps, nrf_groups, lowest=-2),
        **values.rf(nrf_groups, nspins if rf_per_spin else 1),
        **_observation(values, actions, nparents=nparents, spins_per_parent=spins_per_parent,
                       nsteps=nsteps, npools=2, ncoils=ncoils, nadc=nadc,
                       ncheckpoints=ncheckpoints, crusher_actions=crusher_actions,
                       ideal_crushers=ideal_crushers),
    )
    return _finish(block, TWO_POOL_SPECIAL, special, rng, shared, strided, num_threads)


MULTI_POOL_SPECIAL = ("state", "transverse_state", "concentration_state", "j0_by_group",
                      "inflow_delivery", "exp_precursor_by_group")


def multi_pool_block(rng: np.random.Generator, *, npools: int = 3, nparents: int = 5,
                     spins_per_parent: int = 2, nsteps: int = 6, ngroups: int = 4,
                     nfactor_groups: int = 3, nrf_groups: int = 2, rf_per_spin: bool = False,
                     ncoils: int = 2, nadc: int | None = None, ncheckpoints: int | None = None,
                     actions: str = "varied", crusher_actions: bool = True,
                     ideal_crushers: bool = True, source_mode: int = 0,
                     spatial_sources: bool = False, equilibrium: float | None = None,
                     typical: bool = False, special: float = 0.0,
                     shared: Iterable[str] = (), strided: Iterable[str] = (),
                     num_threads: int = 1) -> Block:
    """Arguments of ``run_dynamic_plan_block_multi_pool``: a precursor and ``npools - 1``
    products, with inflow. With ``spatial_sources`` the sources come per spin and step
    (``spatial_source_values``) and the source windows, left unread, are NaN."""
    values = _Values(rng, typical)
    nspins, nproducts = nparents * spins_per_parent, npools - 1
    block: Block = dict(
        state=values.state(npools, nspins),
        transverse_state=values.transverse(npools, nspins),
        concentration_state=values.concentration(npools, nspins),
        transverse_factors=values.factors(nfactor_groups, npools, nspins),
        conversion_rates_by_group=values.weight(ngroups, nproducts, nspins),
    )
    for prefix in ("", "concentration_"):
        block.update({
            f"{prefix}exp_precursor_by_group": values.decay(ngroups, nspins),
            f"{prefix}exp_products_by_group": values.decay(ngroups, nproducts),
            f"{prefix}transfer_factor_by_group": values.weight(ngroups, nproducts, nspins),
            f"{prefix}f0_precursor_by_group": values.weight(ngroups, nspins),
            f"{prefix}f1_precursor_by_group": values.weight(ngroups, nspins),
            f"{prefix}j0_by_group": values.weight(ngroups, nproducts, nspins),
            f"{prefix}j1_by_group": values.weight(ngroups, nproducts, nspins),
        })
    windows = values.windows(nsteps)
    if spatial_sources:
        windows = {name: np.full(nsteps, np.nan) for name in WINDOWS}
    block.update(
        duration_by_group=values.durations(ngroups),
        longitudinal_groups=values.groups(nsteps, ngroups),
        first_factor_groups=values.groups(nsteps, nfactor_groups),
        second_factor_groups=values.groups(nsteps, nfactor_groups, shift=3),
        rf_groups=values.groups(nsteps, nrf_groups, lowest=-1),
        **values.rf(nrf_groups, nspins if rf_per_spin else 1),
        **windows,
        inflow_delivery=values.uniform(0.0, 1.0, nspins),
        equilibrium=(1e-3 if typical else 0.7) if equilibrium is None else equilibrium,
        source_mode=source_mode,
        **_observation(values, actions, nparents=nparents, spins_per_parent=spins_per_parent,
                       nsteps=nsteps, npools=npools, ncoils=ncoils, nadc=nadc,
                       ncheckpoints=ncheckpoints, crusher_actions=crusher_actions,
                       ideal_crushers=ideal_crushers),
    )
    if spatial_sources:
        block["spatial_source_values"] = values.uniform(0.0, 2.0, 8, nsteps, nspins)
    return _finish(block, MULTI_POOL_SPECIAL, special, rng, shared, strided, num_threads)


SOURCE_INTERVAL_SPECIAL = ("state", "transverse_state", "concentration_state", "j0_by_group")


def source_interval_block(rng: np.random.Generator, *, nparents: int = 5,
                          spins_per_parent: int = 1, nsteps: int = 6, ngroups: int = 4,
                          nfactor_groups: int = 3, nrf_groups: int = 2,
                          rf_per_spin: bool = False, ncoils: int = 2, nadc: int | None = None,
                          ncheckpoints: int | None = None, actions: str | None = "varied",
                          crusher_actions: bool = True, ideal_crushers: bool = True,
                          source_mode: int = 0, spatial_sources: bool = False,
                          kpl_groups: bool = False, equilibrium: float | None = None,
                          typical: bool = False, special: float = 0.0,
                          shared: Iterable[str] = (), strided: Iterable[str] = (),
                          num_threads: int = 1) -> Block:
    """Arguments of ``apply_dynamic_rf_block_with_concentration_inflow``: one product, with
    inflow. ``actions=None`` leaves out the action stream and every observation argument (the
    block's no-action mode, one spin per voxel); ``kpl_groups`` adds a rate per group and spin
    (``kpl_by_group``); ``spatial_sources`` adds sources per spin and step."""
    values = _Values(rng, typical)
    nspins = nparents * spins_per_parent
    block: Block = dict(
        state=values.state(2, nspins),
        transverse_state=values.transverse(2, nspins),
        concentration_state=values.concentration(2, nspins),
        kpl=values.rate(nspins),
        inflow_delivery=values.uniform(0.0, 1.0, nspins),
        transverse_factors=values.factors(nfactor_groups, 2, nspins),
    )
    for prefix in ("", "concentration_"):
        block.update({
            f"{prefix}exp_a_by_group": values.decay(ngroups, nspins),
            f"{prefix}exp_b_by_group": values.decay(ngroups),
            f"{prefix}difference_by_group": values.difference(ngroups, nspins),
            f"{prefix}regular_by_group": values.regular(ngroups, nspins),
            **{f"{prefix}{name}_by_group": values.weight(ngroups, nspins)
               for name in ("f0_a", "f1_a", "j0", "j1")},
        })
    block.update(
        duration_by_group=values.durations(ngroups),
        regular_mode_by_group=values.modes(ngroups),
        concentration_regular_mode_by_group=values.modes(ngroups),
        longitudinal_groups=values.groups(nsteps, ngroups),
        first_factor_groups=values.groups(nsteps, nfactor_groups),
        second_factor_groups=values.groups(nsteps, nfactor_groups, shift=3),
        rf_groups=values.groups(nsteps, nrf_groups, lowest=-1),
        **values.rf(nrf_groups, nspins if rf_per_spin else 1),
        **values.windows(nsteps),
        equilibrium=(1e-3 if typical else 0.3) if equilibrium is None else equilibrium,
        source_mode=source_mode,
    )
    if kpl_groups:
        block["kpl_by_group"] = values.rate(ngroups, nspins)
    if spatial_sources:
        block["spatial_source_values"] = values.uniform(0.0, 2.0, 8, nsteps, nspins)
    if actions is not None:
        block.update(_observation(
            values, actions, nparents=nparents, spins_per_parent=spins_per_parent,
            nsteps=nsteps, npools=2, ncoils=ncoils, nadc=nadc, ncheckpoints=ncheckpoints,
            crusher_actions=crusher_actions, ideal_crushers=ideal_crushers))
    return _finish(block, SOURCE_INTERVAL_SPECIAL, special, rng, shared, strided, num_threads)


# ---- The drivers ---------------------------------------------------------------------------------


@dataclass(frozen=True)
class Driver:
    """One plan-block driver as its tests and benchmarks see it."""

    key: str
    """Short name: ``two-pool``, ``multi-pool`` or ``source-interval``."""
    function: str
    """The function's name in ``korvel.pelorine`` and ``korvel.reference``."""
    build: Callable[..., Block]
    written: tuple[str, ...]
    """The arrays a call writes into."""
    flat: tuple[str, ...]
    """The arrays a call addresses as flat C-ordered memory; every other array is read through
    its strides."""
    per_spin: tuple[str, ...]
    """Per-spin tables that the host may pass as one value for every spin."""
    special: tuple[str, ...]

    def native(self) -> Callable[..., None]:
        from korvel import pelorine
        return getattr(pelorine, self.function)

    def reference(self) -> Callable[..., None]:
        from korvel import reference
        return getattr(reference, self.function)


_WRITTEN = ("state", "transverse_state", "parent_species_signal", "checkpoint_states")

TWO_POOL = Driver(
    "two-pool", "run_dynamic_plan_block_no_inflow", two_pool_block, _WRITTEN,
    flat=_WRITTEN + ("transverse_factors", "adc_demodulation", "rx_sensitivities"),
    per_spin=("kpl_by_group", "exp_a_by_group", "difference_by_group", "regular_by_group",
              "rf_axis_x", "rf_cosine"),
    special=TWO_POOL_SPECIAL)
MULTI_POOL = Driver(
    "multi-pool", "run_dynamic_plan_block_multi_pool", multi_pool_block,
    _WRITTEN[:2] + ("concentration_state",) + _WRITTEN[2:],
    flat=("state", "transverse_state", "concentration_state", "adc_demodulation",
          "rx_sensitivities", "parent_species_signal", "checkpoint_states"),
    per_spin=("exp_precursor_by_group", "j0_by_group", "transverse_factors",
              "spatial_source_values", "inflow_delivery"),
    special=MULTI_POOL_SPECIAL)
SOURCE_INTERVAL = Driver(
    "source-interval", "apply_dynamic_rf_block_with_concentration_inflow", source_interval_block,
    _WRITTEN[:2] + ("concentration_state",) + _WRITTEN[2:],
    flat=_WRITTEN + ("concentration_state", "transverse_factors", "adc_demodulation",
                     "rx_sensitivities"),
    per_spin=("kpl", "exp_a_by_group", "f0_a_by_group", "regular_by_group",
              "concentration_regular_by_group", "inflow_delivery"),
    special=SOURCE_INTERVAL_SPECIAL)

DRIVERS: dict[str, Driver] = {d.key: d for d in (TWO_POOL, MULTI_POOL, SOURCE_INTERVAL)}

__all__ = ["ACTION_STREAMS", "DRIVERS", "Driver", "MULTI_POOL", "SOURCE_INTERVAL", "TWO_POOL",
           "adc_actions", "every_other", "multi_pool_block", "observe_actions",
           "source_interval_block", "two_pool_block", "unique_actions", "varied_actions",
           "zero_stride"]
