"""Turn an experiment into plan steps, shared coefficient groups, blocks and driver arguments.

The timeline: the simulation starts at time 0. Excitation n at t_n is one plan step over
[t_n - d, t_n + d] (d the readout delay) with the RF rotation at its middle and, after it, the
ADC sample n and the crusher. The free time before the first excitation and between two of them
is cut at the bolus's breakpoints and into equal steps whose halves are at most
``max_half_interval``; within a half the source is linear between its values at the ends.

Steps with the same half-duration share one longitudinal group and one free-evolution group;
excitations with the same flip angle share one RF group. A block is a run of consecutive steps
whose group tables stay within ``memory_bound`` bytes; a chunk is a run of voxels.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from korvel.host import half_interval
from korvel.host.experiment import Experiment

CRUSHER_ACTION = 1
ADC_ACTION = 2

TWO_POOL = "two-pool"
SOURCE_INTERVAL = "source-interval"
MULTI_POOL = "multi-pool"
DRIVERS = (TWO_POOL, SOURCE_INTERVAL, MULTI_POOL)


@dataclass(frozen=True, eq=False)
class Plan:
    """The steps of an experiment and their groups; every per-step array has nsteps entries."""

    half_durations: np.ndarray  # float64, the duration of each half of the step
    node_times: np.ndarray  # (nsteps, 3): start, middle and end of the step
    longitudinal_groups: np.ndarray  # int32, index into group_durations
    group_durations: np.ndarray  # float64, half-duration of each longitudinal group
    factor_groups: np.ndarray  # int32, index into factor_durations (both halves)
    factor_durations: np.ndarray
    rf_groups: np.ndarray  # int32, index into rf_angles, -1 for no RF
    rf_angles: np.ndarray  # radians
    action_offsets: np.ndarray  # int32 (nsteps + 1,)
    action_kinds: np.ndarray  # int8
    action_payloads: np.ndarray  # int64
    windows: np.ndarray  # (8, nsteps) source windows: inflow then polarization, by half

    @property
    def nsteps(self) -> int:
        return self.half_durations.shape[0]


def _split(start: float, stop: float, length: float, max_half: float):
    """Equal steps over [start, stop] of nominal ``length``: (half, node times per step)."""
    count = max(1, math.ceil(length / (2.0 * max_half)))
    half = length / (2 * count)
    fractions = np.arange(2 * count + 1) / (2 * count)
    nodes = start + (stop - start) * fractions
    nodes[-1] = stop
    return half, [nodes[2 * j:2 * j + 3] for j in range(count)]


def _free_steps(start: float, stop: float, length: float, breakpoints, max_half: float):
    """Steps without RF over [start, stop], cut at the breakpoints inside it."""
    cuts = [t for t in breakpoints if start < t < stop]
    if not cuts:
        return [_split(start, stop, length, max_half)] if length > 0 else []
    edges = [start, *cuts, stop]
    return [_split(a, b, b - a, max_half) for a, b in zip(edges[:-1], edges[1:]) if b > a]


def _timeline(experiment: Experiment):
    """(half_durations, node_times, excitation index or -1) of every step, in time order."""
    acquisition = experiment.acquisition
    delay, tr = acquisition.readout_delay, acquisition.repetition_time
    breakpoints = experiment.inflow.bolus.breakpoints() if experiment.inflow else ()
    max_half = experiment.max_half_interval
    halves, nodes, excitation = [], [], []

    def add_free(pieces):
        for half, step_nodes in pieces:
            for node in step_nodes:
                halves.append(half)
                nodes.append(node)
                excitation.append(-1)

    times = acquisition.excitation_times()
    add_free(_free_steps(0.0, times[0] - delay, acquisition.first_excitation - delay,
                         breakpoints, max_half))
    gap = tr - 2.0 * delay
    for n, t in enumerate(times):
        halves.append(delay)
        nodes.append(np.array([t - delay, t, t + delay]))
        excitation.append(n)
        if n + 1 < len(times):
            add_free(_free_steps(t + delay, times[n + 1] - delay, gap, breakpoints, max_half))
    return (np.array(halves, dtype=np.float64), np.array(nodes, dtype=np.float64),
            np.array(excitation, dtype=np.int64))


def _group(keys: np.ndarray, share: bool, valid=None):
    """Group indices per step and the key of each group (first-use order); -1 where not valid."""
    valid = np.ones(keys.shape, bool) if valid is None else valid
    indices = np.full(keys.shape, -1, dtype=np.int32)
    values, seen = [], {}
    for step in np.flatnonzero(valid):
        key = keys[step]
        if share and key in seen:
            indices[step] = seen[key]
            continue
        seen[key] = len(values)
        indices[step] = len(values)
        values.append(key)
    return indices, np.array(values, dtype=np.float64)


def _windows(experiment: Experiment, node_times: np.ndarray) -> np.ndarray:
    """The eight source windows: at a jump, a half starts on the right and ends on the left."""
    windows = np.zeros((8, node_times.shape[0]))
    inflow = experiment.inflow
    if inflow is None:
        return windows
    start, middle, end = node_times.T
    rate = inflow.bolus.rate
    windows[0:4] = rate(start, +1), rate(middle, -1), rate(middle, +1), rate(end, -1)
    polarization = inflow.polarization_at
    windows[4:8] = polarization(start), polarization(middle), polarization(middle), polarization(end)
    return windows


def build_plan(experiment: Experiment, share: bool = True) -> Plan:
    """The plan of ``experiment``; ``share=False`` gives every step its own groups."""
    halves, node_times, excitation = _timeline(experiment)
    longitudinal_groups, group_durations = _group(halves, share)
    factor_groups, factor_durations = _group(halves, share)
    angles = experiment.acquisition.flip_angles.schedule(experiment.acquisition.excitations)
    step_angles = np.where(excitation >= 0, angles[np.maximum(excitation, 0)], 0.0)
    rf_groups, rf_angles = _group(step_angles, share, valid=excitation >= 0)
    kinds, payloads, offsets = [], [], [0]
    for n in excitation:
        if n >= 0:
            kinds.append(ADC_ACTION)
            payloads.append(n)
            if experiment.acquisition.crushers:
                kinds.append(CRUSHER_ACTION)
                payloads.append(0)
        offsets.append(len(kinds))
    return Plan(
        half_durations=halves,
        node_times=node_times,
        longitudinal_groups=longitudinal_groups,
        group_durations=group_durations,
        factor_groups=factor_groups,
        factor_durations=factor_durations,
        rf_groups=rf_groups,
        rf_angles=rf_angles,
        action_offsets=np.array(offsets, dtype=np.int32),
        action_kinds=np.array(kinds, dtype=np.int8),
        action_payloads=np.array(payloads, dtype=np.int64),
        windows=_windows(experiment, node_times),
    )


def choose_driver(experiment: Experiment) -> str:
    """Several products need the multi-pool driver; inflow or an equilibrium term the
    source-interval driver; the rest runs on the two-pool plan driver."""
    if len(experiment.products) > 1:
        return MULTI_POOL
    if experiment.inflow is not None or experiment.equilibrium != 0.0:
        return SOURCE_INTERVAL
    return TWO_POOL


# ---------------------------------------------------------------------------------------------
# Blocks and chunks


def _group_bytes(driver: str, experiment: Experiment) -> tuple[int, int, int]:
    """Bytes per spin of one longitudinal group, one factor group and one spatial RF group."""
    npools = len(experiment.metabolites)
    nproducts = npools - 1
    longitudinal = {
        TWO_POOL: 3 * 8 + 1,
        SOURCE_INTERVAL: 2 * (6 * 8 + 1),
        MULTI_POOL: 6 * 8 + 7 * 8 * nproducts,
    }[driver]
    rf = 5 * 8 if experiment.transmit is not None else 0
    return longitudinal, 16 * npools, rf


def plan_chunks(experiment: Experiment, driver: str) -> list[tuple[int, int]]:
    """Runs of voxels small enough that a block of one step fits within the memory bound."""
    longitudinal, factor, rf = _group_bytes(driver, experiment)
    npools = len(experiment.metabolites)
    # Group tables of one step plus the state, concentration and transverse arrays.
    per_voxel = experiment.spins_per_voxel * (longitudinal + factor + rf + npools * 64)
    voxels = max(1, experiment.memory_bound // per_voxel)
    return [(v, min(v + voxels, experiment.nvoxels)) for v in range(0, experiment.nvoxels, voxels)]


def plan_blocks(plan: Plan, experiment: Experiment, driver: str, nspins: int,
                max_steps: int | None = None) -> list[tuple[int, int]]:
    """Runs of at most ``max_steps`` steps whose group tables, for ``nspins`` spins, stay
    within the memory bound. A block always holds at least one step.
    """
    longitudinal, factor, rf = (nspins * b for b in _group_bytes(driver, experiment))
    rf = rf or 5 * 8  # the axis form: one row of five values per group
    bound = experiment.memory_bound
    blocks, start, used, size = [], 0, (set(), set(), set()), 0
    for step in range(plan.nsteps):
        keys = (int(plan.longitudinal_groups[step]), int(plan.factor_groups[step]),
                int(plan.rf_groups[step]))
        added = sum(cost for key, seen, cost in zip(keys, used, (longitudinal, factor, rf))
                    if key >= 0 and key not in seen)
        if step > start and (size + added > bound or step - start == max_steps):
            blocks.append((start, step))
            start, used, size = step, (set(), set(), set()), 0
            added = sum(cost for key, cost in zip(keys, (longitudinal, factor, rf)) if key >= 0)
        for key, seen in zip(keys, used):
            if key >= 0:
                seen.add(key)
        size += added
    if plan.nsteps:
        blocks.append((start, plan.nsteps))
    return blocks


def _local(indices: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Block-local group indices (first-use order, -1 kept) and the global group of each."""
    used = []
    seen = {}
    local = np.full(indices.shape, -1, dtype=np.int32)
    for i, group in enumerate(indices.tolist()):
        if group < 0:
            continue
        if group not in seen:
            seen[group] = len(used)
            used.append(group)
        local[i] = seen[group]
    return local, np.array(used, dtype=np.int64)


# ---------------------------------------------------------------------------------------------
# Coefficient tables of one chunk of voxels


class ChunkTables:
    """Coefficients of the spins of voxels [first, stop), computed once per group and reused."""

    def __init__(self, experiment: Experiment, first: int, stop: int, preparers):
        self.experiment = experiment
        self.voxels = slice(first, stop)
        self.nspins = (stop - first) * experiment.spins_per_voxel
        self._prepare_rf, self._prepare_factors = preparers
        self._cache: dict = {}
        self._used: set = set()
        repeat = experiment.spins_per_voxel
        spin = lambda values: np.repeat(values[..., self.voxels], repeat, axis=-1)  # noqa: E731
        self.spin = spin
        self.rates = np.stack([spin(rate) for rate in experiment.conversion_rates])
        # Spins spread evenly over the spread around the voxel's off-resonance.
        spread = experiment.spin_spread * ((np.arange(repeat) + 0.5) / repeat - 0.5)
        self.offsets = np.ascontiguousarray(
            spin(experiment.offsets()) + np.tile(spread, stop - first)[np.newaxis, :])
        self.t2 = np.array([m.t2 for m in experiment.metabolites], dtype=np.float64)

    def _cached(self, key, compute):
        if key not in self._cache:
            self._cache[key] = compute()
        self._used.add(key)
        return self._cache[key]

    def forget_unused(self) -> None:
        """Drop the groups the last block did not use: the next block mostly reuses them, and
        the cache never holds more than one block's tables."""
        self._cache = {key: value for key, value in self._cache.items() if key in self._used}
        self._used = set()

    def magnetization(self, duration: float) -> half_interval.HalfInterval:
        e = self.experiment
        rate_a = (e.precursor.r1 + e.precursor.clearance) + self.rates.sum(axis=0)
        rates_b = [p.r1 + p.clearance for p in e.products]
        return self._cached(("m", duration),
                            lambda: half_interval.half_interval(rate_a, rates_b, duration))

    def concentration(self, duration: float) -> half_interval.HalfInterval:
        e = self.experiment
        rate_a = e.precursor.clearance + self.rates.sum(axis=0)
        rates_b = [p.clearance for p in e.products]
        return self._cached(("c", duration),
                            lambda: half_interval.half_interval(rate_a, rates_b, duration))

    def factors(self, duration: float) -> np.ndarray:
        """Free-evolution factors (npools, nspins) of a half of ``duration``."""
        return self._cached(("f", duration), lambda: self._prepare_factors(
            np.ascontiguousarray(self.offsets * duration), self.t2, duration))

    def rf(self, angle: float) -> tuple[np.ndarray, ...]:
        """(axis_x, axis_y, cosine, sine, one_minus_cosine), each (width,)."""
        return self._cached(("r", angle), lambda: self._rotation(angle))

    def _rotation(self, angle: float):
        e = self.experiment
        if e.transmit is None:
            # About +y: the excited magnetization lies along +x.
            values = (0.0, 1.0, math.cos(angle), math.sin(angle), 2.0 * math.sin(0.5 * angle) ** 2)
            return tuple(np.array([v]) for v in values)
        pulse = e.acquisition.pulse_duration
        amplitude = angle / (2.0 * math.pi * pulse)
        transmit = np.ascontiguousarray(self.spin(e.transmit), dtype=np.complex128)
        axis_x, axis_y, cosine, sine = self._prepare_rf(0.0, amplitude, transmit, pulse)
        return axis_x, axis_y, cosine, sine, 1.0 - cosine

    def initial_state(self, npools_state: int):
        """(state, transverse_state, concentration_state) at time 0."""
        e = self.experiment
        state = np.zeros((npools_state, self.nspins, 3))
        concentration = np.zeros((npools_state, self.nspins, 3))
        for pool in range(len(e.metabolites)):
            state[pool, :, 2] = self.spin(e.initial_magnetization[pool])
            concentration[pool, :, 2] = self.spin(e.initial_concentration[pool])
        transverse = np.zeros((npools_state, self.nspins), dtype=np.complex128)
        return state, transverse, concentration


def _stack(rows, dtype=np.float64) -> np.ndarray:
    return np.ascontiguousarray(np.stack(rows), dtype=dtype)


def block_arguments(driver: str, plan: Plan, block: tuple[int, int], tables: ChunkTables,
                    arrays: dict) -> dict:
    """Keyword arguments of ``driver`` for the steps of ``block`` over the chunk's spins.

    ``arrays`` holds the chunk's state arrays and observation arrays, which the call updates.
    """
    e = tables.experiment
    steps = slice(*block)
    longitudinal, long_used = _local(plan.longitudinal_groups[steps])
    factor, factor_used = _local(plan.factor_groups[steps])
    rf, rf_used = _local(plan.rf_groups[steps])
    durations = plan.group_durations[long_used]
    transverse_factors = _stack([tables.factors(float(plan.factor_durations[g]))
                                 for g in factor_used], np.complex128)
    rotations = [tables.rf(float(plan.rf_angles[g])) for g in rf_used]
    width = 1 if e.transmit is None else tables.nspins
    rf_names = ("rf_axis_x", "rf_axis_y", "rf_cosine", "rf_sine", "rf_one_minus_cosine")
    rf_tables = {name: (_stack([r[i] for r in rotations]) if rotations
                        else np.zeros((0, width)))
                 for i, name in enumerate(rf_names)}
    windows = np.ascontiguousarray(plan.windows[:, steps])
    common = dict(
        transverse_factors=transverse_factors,
        longitudinal_groups=longitudinal,
        first_factor_groups=factor,
        second_factor_groups=factor.copy(),
        rf_groups=rf,
        **rf_tables,
        action_offsets=np.ascontiguousarray(plan.action_offsets[block[0]:block[1] + 1]),
        action_kinds=plan.action_kinds,
        action_payloads=plan.action_payloads,
        adc_demodulation=arrays["adc_demodulation"],
        rx_sensitivities=arrays["rx_sensitivities"],
        signal_weights=arrays["signal_weights"],
        parent_species_signal=arrays["parent_species_signal"],
        checkpoint_states=arrays["checkpoint_states"],
        spins_per_parent=e.spins_per_voxel,
        signal_scale=1.0,
        ideal_crushers=e.acquisition.crushers,
        state=arrays["state"],
        transverse_state=arrays["transverse_state"],
    )
    magnetization = [tables.magnetization(float(d)) for d in durations]
    if driver == TWO_POOL:
        common.update(_two_pool_tables(magnetization, tables))
    elif driver == SOURCE_INTERVAL:
        concentration = [tables.concentration(float(d)) for d in durations]
        common.update(_source_interval_tables(magnetization, concentration, tables, windows))
        common.update(concentration_state=arrays["concentration_state"], equilibrium=e.equilibrium,
                      source_mode=0 if e.inflow is not None else 2)
    else:
        concentration = [tables.concentration(float(d)) for d in durations]
        common.update(_multi_pool_tables(magnetization, concentration, tables, windows))
        common.update(concentration_state=arrays["concentration_state"], equilibrium=e.equilibrium,
                      source_mode=0 if e.inflow is not None else 2)
    common["duration_by_group"] = np.array(durations, dtype=np.float64)
    return common


def _divisors(half_intervals):
    pairs = [half_interval.regular_divisor(h.exp_a, h.exp_b[0], h.transfer[0])
             for h in half_intervals]
    return _stack([p[0] for p in pairs]), _stack([p[1] for p in pairs], np.bool_)


def _two_pool_tables(magnetization, tables: ChunkTables) -> dict:
    ngroups = len(magnetization)
    difference, regular = _divisors(magnetization)
    return dict(
        kpl_by_group=_stack([tables.rates[0]] * ngroups),
        exp_a_by_group=_stack([h.exp_a for h in magnetization]),
        exp_b_by_group=np.array([h.exp_b[0] for h in magnetization]),
        difference_by_group=difference,
        regular_by_group=regular,
        regular_mode_by_group=np.zeros(ngroups, np.int32),
    )


def _window_arguments(windows: np.ndarray) -> dict:
    names = ("inflow_first_start", "inflow_first_end", "inflow_second_start", "inflow_second_end",
             "polarization_first_start", "polarization_first_end", "polarization_second_start",
             "polarization_second_end")
    return {name: windows[row] for row, name in enumerate(names)}


def _source_interval_tables(magnetization, concentration, tables: ChunkTables, windows) -> dict:
    out = {"kpl": np.ascontiguousarray(tables.rates[0]),
           "inflow_delivery": np.ascontiguousarray(tables.spin(tables.experiment.delivery))}
    for prefix, halves in (("", magnetization), ("concentration_", concentration)):
        difference, regular = _divisors(halves)
        rows = dict(
            exp_a=_stack([h.exp_a for h in halves]),
            exp_b=np.array([h.exp_b[0] for h in halves]),
            difference=difference, regular=regular,
            f0_a=_stack([h.f0 for h in halves]), f1_a=_stack([h.f1 for h in halves]),
            j0=_stack([h.j0[0] for h in halves]), j1=_stack([h.j1[0] for h in halves]),
        )
        out.update({f"{prefix}{name}_by_group": value for name, value in rows.items()})
        out[f"{prefix}regular_mode_by_group"] = np.zeros(len(halves), np.int32)
    out.update(_window_arguments(windows))
    return out


def _multi_pool_tables(magnetization, concentration, tables: ChunkTables, windows) -> dict:
    def table(halves, attribute):
        return _stack([getattr(h, attribute) for h in halves])

    out = {"conversion_rates_by_group": _stack([tables.rates] * len(magnetization))}
    for prefix, halves in (("", magnetization), ("concentration_", concentration)):
        out[f"{prefix}exp_precursor_by_group"] = table(halves, "exp_a")
        out[f"{prefix}f0_precursor_by_group"] = table(halves, "f0")
        out[f"{prefix}f1_precursor_by_group"] = table(halves, "f1")
        out[f"{prefix}exp_products_by_group"] = table(halves, "exp_b")
        out[f"{prefix}transfer_factor_by_group"] = table(halves, "transfer")
        out[f"{prefix}j0_by_group"] = table(halves, "j0")
        out[f"{prefix}j1_by_group"] = table(halves, "j1")
    out.update(_window_arguments(windows))
    out["inflow_delivery"] = np.ascontiguousarray(tables.spin(tables.experiment.delivery))
    return out
