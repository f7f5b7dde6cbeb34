"""Turn an experiment into plan steps, shared coefficient groups, blocks and driver arguments.

The timeline: the simulation starts at time 0. Excitation n at t_n is one plan step over
[t_n - d, t_n + d] (d the readout delay) with the RF rotation at its middle and, after it, the
ADC sample n and the crusher. The free time before the first excitation and between two of them
is cut at the bolus's breakpoints and into equal steps whose halves are at most
``max_half_interval``; within a half the source is linear between its values at the ends.

Metabolites with different excitation offsets have pulses of their own within each frame. A
pulse that rotates every metabolite by the same angle is an RF step as above. Any other pulse
(some metabolites only, or each by its own angle) lies on a step boundary, and the run applies
it between two blocks (``Plan.host_pulses``): it rotates each of the pulse's metabolites by its
own angle, takes their readout (the transverse magnetization carried over the readout delay by
its free-evolution factor) and, with crushers, spoils the transverse magnetization.

Steps with the same half-duration share one longitudinal group and one free-evolution group;
excitations with the same flip angle share one RF group.

Voxels whose conversion rates, off-resonance, delivery and transmit are equal bit for bit form a
class: every coefficient is computed once per class and group, whatever the number of voxels.
A chunk is a run of voxels simulated together, of one class where classes are long enough (its
tables are then zero-stride broadcasts over its spins) or of several (tables spin by spin). A
block is a run of consecutive steps over a chunk, one driver call: as many steps as keep the
chunk's arrays and the block's tables within ``memory_bound`` bytes, usually the whole plan.
Chunks take at most 16 MiB of arrays and tables where that still gives every chunk the whole
plan in one block (a larger bound buys no speed: the drivers keep each tile's state in
registers over the block's steps). Voxels of a class scattered over several runs are visited
class by class and their signal goes through the chunk's buffer into the run's signal, which
holds the voxels in their own order.
``Run`` ties these together and yields each block with its driver arguments.
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator

import numpy as np

from korvel.host import half_interval
from korvel.host.drivers import (  # noqa: F401 - the driver names are the planner's too
    DRIVERS,
    MULTI_POOL,
    RF_TABLES,
    SOURCE_INTERVAL,
    TWO_POOL,
    WINDOWS,
    Driver,
    choose_driver,
    driver_record,
)
from korvel.host.experiment import Experiment

CRUSHER_ACTION = 1
ADC_ACTION = 2


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
    host_pulses: dict = field(default_factory=dict)
    """Pulses the run applies itself, at the start of the step that is the key (``nsteps``:
    after the last step): each a ``HostPulse``."""

    @property
    def nsteps(self) -> int:
        return self.half_durations.shape[0]

    @property
    def ngroups(self) -> tuple[int, int, int]:
        """The numbers of longitudinal, factor and RF groups."""
        return (self.group_durations.shape[0], self.factor_durations.shape[0],
                self.rf_angles.shape[0])


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


@dataclass(frozen=True)
class HostPulse:
    """A pulse of frame ``frame`` that rotates pool ``pools[i]`` by ``angles[i]`` (radians)
    and reads those pools out."""

    frame: int
    pools: tuple[int, ...]
    angles: tuple[float, ...]


def _pulses(experiment: Experiment) -> list[tuple[float, np.ndarray]]:
    """The pulses of one frame, in time order: (offset from the frame's start, their pools)."""
    offsets = experiment.excitation_offsets()
    return [(offset, np.flatnonzero(offsets == offset))
            for offset in sorted(set(offsets.tolist()))]


def _timeline(experiment: Experiment):
    """The steps in time order: (half_durations, node_times, the RF angle of each step (NaN
    for none), the frame each step reads out (-1 for none), the host pulses by step)."""
    acquisition = experiment.acquisition
    delay, tr = acquisition.readout_delay, acquisition.repetition_time
    breakpoints = experiment.inflow.bolus.breakpoints() if experiment.inflow else ()
    max_half = experiment.max_half_interval
    angles = experiment.flip_angle_schedules()
    npools = angles.shape[0]
    pulses = _pulses(experiment)
    halves, nodes, rf, readout, host = [], [], [], [], {}

    def add_free(pieces):
        for half, step_nodes in pieces:
            for node in step_nodes:
                halves.append(half)
                nodes.append(node)
                rf.append(math.nan)
                readout.append(-1)

    def shared(frame: int, pools: np.ndarray) -> bool:
        """Whether the pulse rotates every pool by one angle: an RF step of the driver."""
        values = angles[pools, frame]
        return pools.shape[0] == npools and bool(np.all(values == values[0]))

    times = acquisition.excitation_times()
    kinds = [[shared(n, pools) for _, pools in pulses] for n in range(len(times))]
    pad = [[delay if kind else 0.0 for kind in row] for row in kinds]  # pulse to its step's end
    # Nominal lengths come from the offsets, so that equal gaps of different frames are cut
    # into steps of bit-equal half-durations (which then share their groups).
    add_free(_free_steps(0.0, (times[0] + pulses[0][0]) - pad[0][0],
                         (acquisition.first_excitation + pulses[0][0]) - pad[0][0],
                         breakpoints, max_half))
    for n, start in enumerate(times):
        for r, (offset, pools) in enumerate(pulses):
            t = start + offset
            if kinds[n][r]:
                halves.append(delay)
                nodes.append(np.array([t - delay, t, t + delay]))
                rf.append(float(angles[0, n]))
                readout.append(n)
            else:
                host.setdefault(len(halves), []).append(HostPulse(
                    n, tuple(pools.tolist()), tuple(float(angles[p, n]) for p in pools)))
            if r + 1 < len(pulses):
                following, lead = pulses[r + 1][0], pad[n][r + 1]
                gap = (following - offset) - (pad[n][r] + lead)
                stop = start + following
            elif n + 1 < len(times):
                lead = pad[n + 1][0]
                gap = (tr - (offset - pulses[0][0])) - (pad[n][r] + lead)
                stop = times[n + 1] + pulses[0][0]
            else:
                continue
            add_free(_free_steps(t + pad[n][r], stop - lead, gap, breakpoints, max_half))
    return (np.array(halves, dtype=np.float64), np.array(nodes, dtype=np.float64).reshape(-1, 3),
            np.array(rf, dtype=np.float64), np.array(readout, dtype=np.int64),
            {step: tuple(pulses) for step, pulses in host.items()})


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
    halves, node_times, step_angles, readout, host = _timeline(experiment)
    longitudinal_groups, group_durations = _group(halves, share)
    factor_groups, factor_durations = _group(halves, share)
    has_rf = ~np.isnan(step_angles)
    rf_groups, rf_angles = _group(np.where(has_rf, step_angles, 0.0), share, valid=has_rf)
    kinds, payloads, offsets = [], [], [0]
    for frame in readout.tolist():
        if frame >= 0:
            kinds.append(ADC_ACTION)
            payloads.append(frame)
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
        host_pulses=host,
    )


def cut_at_pulses(blocks: list[tuple[int, int]], plan: Plan) -> list[tuple[int, int]]:
    """``blocks`` cut so that every host pulse's step starts a block."""
    cuts = sorted(step for step in plan.host_pulses if step < plan.nsteps)
    out = []
    for start, stop in blocks:
        for step in cuts:
            if start < step < stop:
                out.append((start, step))
                start = step
        out.append((start, stop))
    return out


# ---------------------------------------------------------------------------------------------
# Voxel classes: voxels whose coefficients are the same


@dataclass(frozen=True, eq=False)
class VoxelClasses:
    """The distinct tuples of the per-voxel parameters that the coefficients depend on.

    Voxels of a class share every coefficient table entry; only their state, initial values and
    receive sensitivities differ. ``order`` lists the voxels class by class when a class is
    scattered over several runs of voxels (None: the voxels in their own order); in that order,
    segment i holds the voxels [segment_bounds[i], segment_bounds[i + 1]), all of class
    ``segment_classes[i]``. The parameter arrays hold each class's values.
    """

    of_voxel: np.ndarray  # int64 (nvoxels,): the class of each voxel
    order: np.ndarray | None
    segment_bounds: np.ndarray  # int64 (nsegments + 1,): segment starts in order, then nvoxels
    segment_classes: np.ndarray  # int64 (nsegments,)
    rates: np.ndarray  # (nproducts, nclasses) conversion rates
    off_resonance: np.ndarray  # (nclasses,)
    delivery: np.ndarray  # (nclasses,)
    transmit: np.ndarray | None  # (nclasses,) complex, or None for a uniform field

    @property
    def nclasses(self) -> int:
        return self.off_resonance.shape[0]


def voxel_classes(experiment: Experiment) -> VoxelClasses:
    """Group the voxels by the parameters of their coefficients (compared bit for bit).

    The cost grows with the voxels only through a few vectorized passes over the maps; every
    coefficient is then computed once per class.
    """
    columns = [*experiment.conversion_rates, experiment.off_resonance, experiment.delivery]
    if experiment.transmit is not None:
        columns += [experiment.transmit.real, experiment.transmit.imag]
    nvoxels = experiment.nvoxels
    bits = [np.ascontiguousarray(column).view(np.int64) for column in columns]
    bits = [column for column in bits if np.any(column != column[0])]  # the maps that vary
    change = np.zeros(nvoxels, dtype=bool)
    change[0] = True
    for column in bits:
        change[1:] |= column[1:] != column[:-1]
    starts = np.flatnonzero(change)
    # One code per distinct tuple of the varying maps, over the runs of equal tuples.
    run_classes = np.zeros(starts.shape[0], dtype=np.int64)
    nclasses = 1
    for column in bits:
        distinct, codes = np.unique(column[starts], return_inverse=True)
        run_classes = run_classes * distinct.shape[0] + codes.reshape(-1)
        distinct, run_classes = np.unique(run_classes, return_inverse=True)
        run_classes = run_classes.reshape(-1)
        nclasses = distinct.shape[0]
    lengths = np.diff(np.append(starts, nvoxels))
    of_voxel = np.repeat(run_classes, lengths)
    first = np.empty(nclasses, dtype=np.int64)
    first[run_classes[::-1]] = starts[::-1]  # the first voxel of each class
    if starts.shape[0] > nclasses:
        # A class in several runs: visit the voxels class by class (a radix sort where the
        # classes fit in 16 bits).
        keys = of_voxel.astype(np.uint16) if nclasses <= 2**16 else of_voxel
        order = np.argsort(keys, kind="stable")
        counts = np.bincount(of_voxel, minlength=nclasses)
        bounds = np.concatenate([[0], np.cumsum(counts)])
        segment_classes = np.arange(nclasses, dtype=np.int64)
    else:
        order = None
        bounds = np.append(starts, nvoxels)
        segment_classes = run_classes
    transmit = None if experiment.transmit is None else \
        np.ascontiguousarray(experiment.transmit[first], dtype=np.complex128)
    return VoxelClasses(
        of_voxel=of_voxel, order=order, segment_bounds=bounds.astype(np.int64),
        segment_classes=segment_classes,
        rates=np.stack([rate[first] for rate in experiment.conversion_rates]),
        off_resonance=experiment.off_resonance[first], delivery=experiment.delivery[first],
        transmit=transmit)


# ---------------------------------------------------------------------------------------------
# Chunks of voxels and blocks of steps


@dataclass(frozen=True, eq=False)
class Chunk:
    """A run of voxels simulated together: positions [start, stop) of the class order.

    A chunk of one class (``classes`` of length one) gets every coefficient table as a
    zero-stride broadcast; a mixed chunk gets them spin by spin.
    """

    index: int
    start: int
    stop: int
    voxels: slice | np.ndarray  # the chunk's voxels, a slice where they are consecutive
    classes: np.ndarray  # the distinct classes of the chunk
    voxel_class: np.ndarray | None  # index into ``classes`` per voxel; None for one class
    spins_per_voxel: int

    @property
    def nvoxels(self) -> int:
        return self.stop - self.start

    @property
    def nspins(self) -> int:
        return self.nvoxels * self.spins_per_voxel

    @property
    def pure(self) -> bool:
        return self.voxel_class is None

    @property
    def signature(self) -> tuple:
        """Chunks with the same signature have the same coefficient tables."""
        if self.pure:
            return ("class", int(self.classes[0]), self.nvoxels)
        return ("chunk", self.index)


@dataclass(frozen=True)
class Costs:
    """Bytes per spin of a chunk's own arrays and of one group of each kind of table."""

    chunk: int
    longitudinal: int
    factor: int
    rf: int

    def voxels(self, experiment: Experiment, groups: tuple[int, int, int] = (1, 1, 1),
               bound: int | None = None) -> int:
        """Voxels of a chunk whose arrays and the tables of ``groups`` (longitudinal, factor
        and RF groups) fit within ``bound`` bytes (default: the memory bound)."""
        nlong, nfactor, nrf = groups
        per_voxel = experiment.spins_per_voxel * (
            self.chunk + nlong * self.longitudinal + nfactor * self.factor + nrf * self.rf)
        bound = experiment.memory_bound if bound is None else bound
        return max(1, bound // max(per_voxel, 1))


# A chunk at least this many spins long takes the tables of every step of the plan at once;
# below, chunks are sized for the tables of one step and their blocks cut where the bound says.
_WHOLE_PLAN_SPINS = 8192

# What a chunk's arrays and tables take at most, below a larger memory bound, as long as the
# chunk still takes the tables of every step. The drivers keep a tile's state in registers
# over all of a block's steps, so a longer chunk runs no faster; a smaller one is cheaper on
# the host: its arrays are reused from chunk to chunk by the allocator (arrays above 32 MiB
# are mapped afresh every time, their pages touched anew) and its tables are built in cache.
_CHUNK_BYTES = 16 * 2**20


def chunk_costs(experiment: Experiment, driver: Driver, pure: bool,
                buffered: bool = False) -> Costs:
    """The costs of a chunk of one class (``pure``) or of several; ``buffered``: its voxels
    are not consecutive, and their signal goes through a buffer of the chunk's own."""
    npools = len(experiment.metabolites)
    nproducts = npools - 1
    spv = experiment.spins_per_voxel
    state = npools * (24 + 16 + (24 if driver.concentration else 0))
    receive = experiment.ncoils * 16
    if buffered:
        signal = npools * experiment.ncoils * experiment.acquisition.excitations * 16
        receive += -(-signal // spv)
    if pure:  # every coefficient table but the free-evolution factors is a broadcast
        return Costs(chunk=state + receive, longitudinal=0, factor=16 * npools, rf=0)
    spread = 8 * (nproducts + 1)  # the conversion rates and the delivery, once per chunk
    rf = 5 * 8 if experiment.transmit is not None else 0
    return Costs(chunk=state + receive + spread,
                 longitudinal=driver.longitudinal_bytes(nproducts), factor=16 * npools, rf=rf)


def plan_chunks(experiment: Experiment, driver: Driver, classes: VoxelClasses | None = None,
                plan: Plan | None = None) -> list[Chunk]:
    """Chunks of voxels: long runs of one class in chunks of their own, the rest packed together.

    Every chunk's arrays and the tables of a one-step block fit within the memory bound; where
    chunks can still be long, so do the tables of every step of ``plan``, and each chunk runs
    in one block.
    """
    classes = voxel_classes(experiment) if classes is None else classes
    spv = experiment.spins_per_voxel
    groups = (1, 1, 1) if plan is None else plan.ngroups

    def size(pure: bool) -> int:
        costs = chunk_costs(experiment, driver, pure, classes.order is not None)
        bound = min(experiment.memory_bound, _CHUNK_BYTES)
        for whole in (costs.voxels(experiment, groups, bound), costs.voxels(experiment, groups)):
            if whole * spv >= _WHOLE_PLAN_SPINS or whole >= experiment.nvoxels:
                return whole
        return costs.voxels(experiment)

    pure_voxels, mixed_voxels = size(True), size(False)
    # A run this long is worth a driver call of its own with broadcast tables.
    long_run = max(1, min(mixed_voxels // 4, 4096 // spv))
    bounds = classes.segment_bounds
    lengths = np.diff(bounds)
    pieces: list[tuple[int, int, bool]] = []  # (start, stop, one class)

    def cut(start: int, stop: int, size: int, pure: bool) -> None:
        # Equal pieces but the last: chunks of one class and one size share their tables.
        count = -(-(stop - start) // size)
        size = -(-(stop - start) // count)
        edges = [min(start + size * i, stop) for i in range(count + 1)]
        pieces.extend((a, b, pure) for a, b in zip(edges[:-1], edges[1:]))

    mixed_from = 0
    for segment in np.flatnonzero(lengths >= long_run).tolist():
        start, stop = int(bounds[segment]), int(bounds[segment + 1])
        if start > mixed_from:
            cut(mixed_from, start, mixed_voxels, False)
        cut(start, stop, pure_voxels, True)
        mixed_from = stop
    if experiment.nvoxels > mixed_from:
        cut(mixed_from, experiment.nvoxels, mixed_voxels, False)

    chunks = []
    for index, (start, stop, pure) in enumerate(pieces):
        voxels = slice(start, stop) if classes.order is None else classes.order[start:stop]
        if not isinstance(voxels, slice) and voxels[-1] - voxels[0] == stop - start - 1:
            voxels = slice(int(voxels[0]), int(voxels[-1]) + 1)  # consecutive after all
        of_voxel = classes.of_voxel[voxels]
        if pure or of_voxel[0] == of_voxel[-1] and np.all(of_voxel == of_voxel[0]):
            distinct, voxel_class = of_voxel[:1], None
        else:
            distinct, voxel_class = np.unique(of_voxel, return_inverse=True)
            voxel_class = voxel_class.reshape(-1)
        chunks.append(Chunk(index, start, stop, voxels, distinct, voxel_class, spv))
    return chunks


def plan_blocks(plan: Plan, costs: Costs, nspins: int, bound: int) -> list[tuple[int, int]]:
    """Runs of steps whose group tables, for ``nspins`` spins, stay within ``bound`` bytes
    beside the chunk's own arrays. A block always holds at least one step."""
    per_group = (nspins * costs.longitudinal, nspins * costs.factor,
                 nspins * costs.rf or 5 * 8)  # the axis form: one row of five values per group
    bound -= nspins * costs.chunk
    groups = (plan.longitudinal_groups, plan.factor_groups, plan.rf_groups)
    if sum(len(set(g.tolist()) - {-1}) * cost for g, cost in zip(groups, per_group)) <= bound:
        return [(0, plan.nsteps)] if plan.nsteps else []
    blocks, start, used, size = [], 0, (set(), set(), set()), 0
    for step in range(plan.nsteps):
        keys = (int(plan.longitudinal_groups[step]), int(plan.factor_groups[step]),
                int(plan.rf_groups[step]))
        added = sum(cost for key, seen, cost in zip(keys, used, per_group)
                    if key >= 0 and key not in seen)
        if step > start and size + added > bound:
            blocks.append((start, step))
            start, used, size = step, (set(), set(), set()), 0
            added = sum(cost for key, cost in zip(keys, per_group) if key >= 0)
        for key, seen in zip(keys, used):
            if key >= 0:
                seen.add(key)
        size += added
    if plan.nsteps:
        blocks.append((start, plan.nsteps))
    return blocks


def _scalar_or_map(values: np.ndarray):
    """``values[0]`` if every voxel has it (bit for bit), else the map."""
    bits = np.ascontiguousarray(values).view(np.int64).reshape(values.shape[0], -1)
    return values[0] if np.all(bits == bits[0]) else values


def _local(indices: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Block-local group indices (first-use order, -1 kept) and the global group of each."""
    valid = indices >= 0
    used, first = np.unique(indices[valid], return_index=True)
    used = used[np.argsort(first, kind="stable")]  # first-use order
    local = np.full(indices.shape, -1, dtype=np.int32)
    lookup = np.empty(int(used.max()) + 1 if used.size else 0, dtype=np.int32)
    lookup[used] = np.arange(used.size, dtype=np.int32)
    local[valid] = lookup[indices[valid]]
    return local, used.astype(np.int64)


# ---------------------------------------------------------------------------------------------
# Coefficients per class and the tables of a block


class Coefficients:
    """Every coefficient of the run's classes, computed once for each class it is needed for.

    The classes that have chunks of their own (``pure``) get each coefficient in one vectorized
    evaluation over all of them, kept for the whole run; values over a mixed chunk's classes are
    kept while that chunk runs.
    """

    def __init__(self, experiment: Experiment, classes: VoxelClasses, preparers,
                 pure: np.ndarray | None = None):
        self.experiment, self.classes = experiment, classes
        self._prepare_rf, self._prepare_factors = preparers
        self._pure = np.zeros(0, np.int64) if pure is None else np.asarray(pure, np.int64)
        self._column = {int(c): i for i, c in enumerate(self._pure.tolist())}
        self._kept: dict = {}
        self._chunk: dict = {}
        self._chunk_index = -1
        metabolites = experiment.metabolites
        self.t2 = np.array([m.t2 for m in metabolites], dtype=np.float64)
        self.chemical = experiment.chemical_offsets()
        spv = experiment.spins_per_voxel
        # Spins spread evenly over the spread around the voxel's off-resonance.
        self.spread = experiment.spin_spread * ((np.arange(spv) + 0.5) / spv - 0.5)

    def _value(self, chunk: Chunk, key, compute, select):
        """``compute(classes)`` for the chunk's classes; ``select(values, column, width)`` picks
        the values of one class out of values over several."""
        if chunk.pure and int(chunk.classes[0]) in self._column:
            if key not in self._kept:
                self._kept[key] = compute(self._pure)
            return select(self._kept[key], self._column[int(chunk.classes[0])])
        if chunk.index != self._chunk_index:
            self._chunk, self._chunk_index = {}, chunk.index
        if key not in self._chunk:
            self._chunk[key] = compute(chunk.classes)
        return self._chunk[key]

    def half(self, chunk: Chunk, kind: str, duration: float) -> half_interval.HalfInterval:
        """The half-interval coefficients of ``kind`` (magnetization or concentration)."""
        e = self.experiment

        def compute(classes):
            rates = self.classes.rates[:, classes]
            if kind == "magnetization":
                rate_a = (e.precursor.r1 + e.precursor.clearance) + rates.sum(axis=0)
                rates_b = [p.r1 + p.clearance for p in e.products]
            else:
                rate_a = e.precursor.clearance + rates.sum(axis=0)
                rates_b = [p.clearance for p in e.products]
            return half_interval.half_interval(rate_a, rates_b, duration)

        def select(half, column):
            pick = slice(column, column + 1)
            return dataclasses.replace(
                half, exp_a=half.exp_a[pick], f0=half.f0[pick], f1=half.f1[pick],
                transfer=half.transfer[:, pick], j0=half.j0[:, pick], j1=half.j1[:, pick])

        return self._value(chunk, (kind, duration), compute, select)

    def factors(self, chunk: Chunk, duration: float) -> np.ndarray:
        """Free-evolution factors of a half of ``duration``: (npools, nclasses * spv), each
        class's spins in a row."""
        def compute(classes):
            offsets = self.chemical[:, np.newaxis] + self.classes.off_resonance[classes]
            spins = offsets[:, :, np.newaxis] + self.spread[np.newaxis, np.newaxis, :]
            phase = np.ascontiguousarray(spins.reshape(offsets.shape[0], -1) * duration)
            return self._prepare_factors(phase, self.t2, duration)

        spv = self.experiment.spins_per_voxel
        return self._value(chunk, ("factors", duration), compute,
                           lambda values, column: values[:, column * spv:(column + 1) * spv])

    def rotation(self, chunk: Chunk, angle: float) -> tuple[np.ndarray, ...]:
        """(axis_x, axis_y, cosine, sine, one_minus_cosine): each (1,) for a uniform field,
        else one value per class."""
        e = self.experiment
        if e.transmit is None:
            # About +y: the excited magnetization lies along +x.
            values = (0.0, 1.0, math.cos(angle), math.sin(angle), 2.0 * math.sin(0.5 * angle) ** 2)
            return tuple(np.array([v]) for v in values)

        def compute(classes):
            pulse = e.acquisition.pulse_duration
            amplitude = angle / (2.0 * math.pi * pulse)
            transmit = np.ascontiguousarray(self.classes.transmit[classes])
            axis_x, axis_y, cosine, sine = self._prepare_rf(0.0, amplitude, transmit, pulse)
            return axis_x, axis_y, cosine, sine, 1.0 - cosine

        return self._value(chunk, ("rf", angle), compute,
                           lambda values, column: tuple(v[column:column + 1] for v in values))


class BlockTables:
    """What a driver's table builder reads: per-class values over the block's groups, and how
    to spread them over the chunk's spins."""

    def __init__(self, coefficients: Coefficients, chunk: Chunk, durations: np.ndarray):
        self.experiment = coefficients.experiment
        self.coefficients, self.chunk = coefficients, chunk
        self.durations = durations
        classes = coefficients.classes
        self.rates = classes.rates[:, chunk.classes]
        self.delivery = classes.delivery[chunk.classes]
        if chunk.pure:
            self._spin_class = None
        else:
            self._spin_class = np.repeat(chunk.voxel_class, chunk.spins_per_voxel)

    def halves(self, kind: str) -> list[half_interval.HalfInterval]:
        return [self.coefficients.half(self.chunk, kind, float(d)) for d in self.durations]

    def spread(self, values: np.ndarray) -> np.ndarray:
        """Per-class values (..., nclasses) as per-spin values (..., nspins): a zero-stride
        broadcast for a chunk of one class, else a contiguous array."""
        if self._spin_class is None:
            return np.broadcast_to(values, values.shape[:-1] + (self.chunk.nspins,))
        return np.take(values, self._spin_class, axis=-1)

    def per_group(self, values: np.ndarray) -> np.ndarray:
        """Per-class values the same in every group, as (ngroups, ..., nspins), spread once."""
        spins = self.spread(values)
        return np.broadcast_to(spins, (len(self.durations),) + spins.shape)

    def factors(self, durations: np.ndarray) -> np.ndarray:
        """The transverse factors of the block's factor groups, (ngroups, npools, nspins),
        C-contiguous."""
        chunk = self.chunk
        npools = len(self.experiment.metabolites)
        if not len(durations):
            return np.zeros((0, npools, chunk.nspins), np.complex128)
        values = np.stack([self.coefficients.factors(chunk, float(d)) for d in durations])
        if chunk.pure:
            return np.tile(values, chunk.nvoxels)
        spv = chunk.spins_per_voxel
        index = (chunk.voxel_class[:, np.newaxis] * spv + np.arange(spv)).reshape(-1)
        return np.take(values, index, axis=-1)

    def rotations(self, angles: np.ndarray) -> dict[str, np.ndarray]:
        width = 1 if self.experiment.transmit is None else self.chunk.nspins
        if not len(angles):
            return {name: np.zeros((0, width)) for name in RF_TABLES}
        rotations = [self.coefficients.rotation(self.chunk, float(a)) for a in angles]
        tables = {name: np.stack([r[i] for r in rotations]) for i, name in enumerate(RF_TABLES)}
        if self.experiment.transmit is None:
            return tables
        return {name: self.spread(table) for name, table in tables.items()}


_TEAM_ITEMS = 1 << 18  # items per row from which a host rotation uses the run's team


class HostPulses:
    """Pulses that rotate some metabolites only, or each by its own angle, applied to a
    chunk's state between two blocks.

    The rotation is the RF step's own, made by the run's backend's RF primitives: about +y in
    a uniform field, else the rotation the transmit map gives each voxel. Pools rotated by one
    angle are rotated in one call over their spins (the primitives take two rows of items; a
    contiguous run of pools is viewed as two such rows). The readout is the transverse
    magnetization of each of the pulse's pools carried over the readout delay by its
    free-evolution factor, received and summed per voxel as an ADC sample of the drivers. Every
    value depends on the voxel's own spins only: the same for any chunking, team and backend.
    """

    def __init__(self, coefficients: Coefficients, rotators: tuple[Callable, Callable],
                 num_threads: int):
        self.coefficients = coefficients
        self.axis_rotation, self.spatial_rotation = rotators
        self.num_threads = int(num_threads)
        self._factors: tuple = (None, None)  # (chunk index, factors over the readout delay)
        self._kept: tuple = (None, {})  # (chunk index, rotation tables by angle)

    def apply(self, chunk: Chunk, arrays: dict, pulse: HostPulse) -> None:
        """Rotate, read out and (with crushers) spoil: ``pulse`` on the chunk's ``arrays``."""
        state, transverse = arrays["state"], arrays["transverse_state"]
        runs: list[list] = []  # [first pool, stop, angle]: consecutive pools of one angle
        for pool, angle in sorted(zip(pulse.pools, pulse.angles)):
            if angle == 0.0:  # a metabolite at angle 0 is left as it is
                continue
            if runs and runs[-1][1] == pool and runs[-1][2] == angle:
                runs[-1][1] = pool + 1
            else:
                runs.append([pool, pool + 1, angle])
        for first, stop, angle in runs:
            self._rotate(chunk, state[first:stop], transverse[first:stop], angle)
        self._read(chunk, arrays, pulse)
        if self.coefficients.experiment.acquisition.crushers:
            # Only the pulse's pools can be transverse: the others were spoiled after their
            # own readouts and not excited since.
            for pool in pulse.pools:
                transverse[pool] = 0.0

    def _filled(self, chunk: Chunk, angle: float, count: int, values) -> list[np.ndarray]:
        """The rotation of a chunk of one class as contiguous tables of ``count`` items, kept
        for the chunk's few most recent angles (a constant schedule has one)."""
        if self._kept[0] != chunk.index:
            self._kept = (chunk.index, {})
        kept = self._kept[1]
        key = (angle, count)
        if key not in kept:
            if len(kept) >= 4:
                del kept[next(iter(kept))]
            kept[key] = [np.full(count, v[0]) for v in values]
        return kept[key]

    def _team(self, items: int) -> int:
        """The run's team for a large rotation, one thread for a small one: a parallel
        region costs more than it saves on a few thousand items, most of all on a busy host
        (the bits are the same for any team)."""
        return self.num_threads if items >= _TEAM_ITEMS else 1

    def _read(self, chunk: Chunk, arrays: dict, pulse: HostPulse) -> None:
        e = self.coefficients.experiment
        if chunk.nspins == 0:
            return
        if self._factors[0] != chunk.index:
            self._factors = (None, None)
            values = self.coefficients.factors(chunk, e.acquisition.readout_delay)
            if chunk.pure:
                factors = np.tile(values, chunk.nvoxels)
            else:
                spv = chunk.spins_per_voxel
                index = (chunk.voxel_class[:, np.newaxis] * spv + np.arange(spv)).reshape(-1)
                factors = np.take(values, index, axis=-1)
            receive = arrays["rx_sensitivities"] * arrays["signal_weights"]
            if factors.nbytes * receive.shape[0] <= e.memory_bound // 4:
                # One product per spin and coil: what a pool's spins give each coil.
                factors = factors[:, np.newaxis, :] * receive[np.newaxis]
                receive = None
            self._factors = (chunk.index, (factors, receive))
        factors, receive = self._factors[1]
        signal = arrays["parent_species_signal"]
        spv = chunk.spins_per_voxel
        for pool in pulse.pools:
            transverse = arrays["transverse_state"][pool]
            for coil in range(e.ncoils):
                # The pool's transverse magnetization after the readout delay, received (the
                # same products whether or not they are kept).
                received = transverse * (factors[pool, coil] if receive is None
                                         else factors[pool] * receive[coil])
                # The voxel's spins in their order, one addition at a time.
                sums = received[0::spv].copy()
                for spin in range(1, spv):
                    sums += received[spin::spv]
                signal[:, pool, coil, pulse.frame] += sums

    def _rotate(self, chunk: Chunk, state: np.ndarray, transverse: np.ndarray,
                angle: float) -> None:
        from korvel.reference.rf import rotate_rf_axis, rotate_rf_plane

        npools, nspins = transverse.shape
        if nspins == 0:
            return
        rotation = self.coefficients.rotation(chunk, angle)
        uniform = self.coefficients.experiment.transmit is None
        flat_state, flat_transverse = state.reshape(-1, 3), transverse.reshape(-1)
        if uniform:
            values = tuple(float(v[0]) for v in rotation)
            half = flat_transverse.shape[0] // 2
            if half:
                self.axis_rotation(flat_state[:2 * half].reshape(2, half, 3),
                                   flat_transverse[:2 * half].reshape(2, half), *values,
                                   self._team(half))
            rest = slice(2 * half, None)
            coefficients = tuple(np.float64(v) for v in values)
        else:
            axis_x, axis_y, cosine, sine = rotation[:4]
            if chunk.pure or npools % 2 == 0:
                # Item v of both rows has one rotation: a pure chunk's spins share theirs,
                # and an even run of pools puts pool p + npools / 2 under pool p.
                half = flat_transverse.shape[0] // 2
                if chunk.pure:
                    tables = self._filled(chunk, angle, half, (axis_x, axis_y, cosine, sine))
                else:
                    spread = _spin_values(chunk)
                    tables = [np.tile(spread(v), npools // 2) for v in (axis_x, axis_y, cosine,
                                                                       sine)]
                if half:
                    self.spatial_rotation(flat_state[:2 * half].reshape(2, half, 3),
                                          flat_transverse[:2 * half].reshape(2, half),
                                          *tables, self._team(half))
                rest = slice(2 * half, None)
                coefficients = tuple(v[0] for v in (axis_x, axis_y, cosine, sine))
            else:
                rest = slice(0, None)
                spread = _spin_values(chunk)
                coefficients = tuple(np.tile(spread(v), npools)
                                     for v in (axis_x, axis_y, cosine, sine))
        # What the two rows leave (an odd item, or a single pool of a mixed chunk): the
        # primitives' own formulas, which give their bits.
        tail = flat_transverse[rest]
        if tail.shape[0] == 0:
            return
        with np.errstate(all="ignore"):
            if uniform:
                x, y, z = rotate_rf_axis(tail.real, tail.imag, flat_state[rest, 2], *coefficients)
            else:
                x, y, z = rotate_rf_plane(tail.real, tail.imag, flat_state[rest, 2],
                                          *coefficients)
        tail.real, tail.imag = x, y
        flat_state[rest, 2] = z


def _spin_values(chunk: Chunk):
    """Per-class values of a mixed chunk as per-spin values."""
    spin_class = np.repeat(chunk.voxel_class, chunk.spins_per_voxel)
    return lambda values: np.ascontiguousarray(np.take(values, spin_class))


# ---------------------------------------------------------------------------------------------
# A planned run


@dataclass(frozen=True, eq=False)
class Block:
    """One driver call: the steps [start, stop) over the spins of a chunk."""

    chunk: Chunk
    steps: tuple[int, int]
    arguments: dict[str, Any]
    """The driver's keyword arguments, all but ``num_threads``."""

    @property
    def work(self) -> int:
        """Spin-steps of the call."""
        return self.chunk.nspins * (self.steps[1] - self.steps[0])


class Run:
    """An experiment planned for one driver: its steps, chunks and blocks, and the signal array
    the blocks add into.

    ``blocks()`` yields each block with its driver arguments; the caller runs the driver on
    them before asking for the next. A chunk's state arrays live while its blocks run.
    """

    def __init__(self, experiment: Experiment, driver: Driver, preparers, share: bool = True,
                 rotators: tuple[Callable, Callable] | None = None, num_threads: int = 1):
        self.experiment, self.driver = experiment, driver
        self.plan = build_plan(experiment, share=share)
        self.classes = voxel_classes(experiment)
        self.chunks = plan_chunks(experiment, driver, self.classes, self.plan)
        self.schedule = [
            (chunk, cut_at_pulses(plan_blocks(self.plan, chunk_costs(
                experiment, driver, chunk.pure, self.classes.order is not None),
                chunk.nspins, experiment.memory_bound), self.plan))
            for chunk in self.chunks]
        # (Not np.unique: NumPy's first call without return_* imports numpy.ma, a tenth of a
        # small run's time in a fresh interpreter.)
        pure = np.array(sorted({int(c.classes[0]) for c in self.chunks if c.pure}), np.int64)
        self.coefficients = Coefficients(experiment, self.classes, preparers, pure)
        if rotators is None:
            from korvel import reference
            rotators = (reference.apply_rf_rotation_transverse_block,
                        reference.apply_spatial_rf_rotation_transverse_block)
        self.host_rf = HostPulses(self.coefficients, rotators, num_threads)
        npools = len(experiment.metabolites)
        # The drivers' layout, (nvoxels, npools, ncoils, nexcitations); ``signal`` is the
        # result's view of it, (npools, ncoils, nvoxels, nexcitations).
        self._signal = np.empty((experiment.nvoxels, npools, experiment.ncoils,
                                 experiment.acquisition.excitations), np.complex128)
        # Zeroed in one pass in memory order: the pages arrive in order, at a fraction of what
        # the drivers' interleaved first writes and the scatter of voxels visited out of order
        # pay for them (several times the pass itself on large runs).
        self._signal.fill(0.0)
        self.signal = self._signal.transpose(1, 2, 0, 3)
        self._tables: dict = {}  # key -> (tables, bytes), oldest first
        self._buffers: dict = {}
        # Per-voxel maps the same for every voxel are filled in as scalars.
        self._initial = {
            "state": [_scalar_or_map(m) for m in experiment.initial_magnetization],
            "concentration_state": [_scalar_or_map(m) for m in experiment.initial_concentration],
        }
        self._receive = [_scalar_or_map(coil) for coil in experiment.receive]

    @property
    def nblocks(self) -> int:
        return sum(len(blocks) for _, blocks in self.schedule)

    @property
    def work(self) -> int:
        """Spin-steps of the whole run."""
        return self.experiment.nspins * self.plan.nsteps

    def blocks(self) -> Iterator[Block]:
        pulses = self.plan.host_pulses
        for chunk, steps in self.schedule:
            arrays = self._chunk_arrays(chunk)
            for block in steps:
                for pulse in pulses.get(block[0], ()):  # the blocks before it have run
                    self.host_rf.apply(chunk, arrays, pulse)
                yield Block(chunk, block, self._arguments(chunk, block, arrays))
            for pulse in pulses.get(self.plan.nsteps, ()):
                self.host_rf.apply(chunk, arrays, pulse)
            if not isinstance(chunk.voxels, slice):
                self._signal[chunk.voxels] = arrays["parent_species_signal"]
        self._tables = {}
        self._buffers = {}

    def _buffer(self, name: str, shape: tuple, dtype=np.float64, zero: bool = True) -> np.ndarray:
        """An array of ``shape``, zeroed unless ``zero`` is False (the caller fills all of it),
        reusing the last chunk's when it has the same shape."""
        array = self._buffers.get(name)
        if array is None or array.shape != shape:
            array = self._buffers[name] = np.zeros(shape, dtype)
        elif zero:
            array.fill(0)
        return array

    def _chunk_arrays(self, chunk: Chunk) -> dict[str, Any]:
        """The state and observation arrays of ``chunk`` at time 0."""
        e = self.experiment
        npools, nspins, spv = len(e.metabolites), chunk.nspins, e.spins_per_voxel
        voxels = chunk.voxels

        def per_spin(value):
            return value if np.ndim(value) == 0 else np.repeat(value[voxels], spv)

        arrays = dict(
            transverse_state=self._buffer("transverse_state", (npools, nspins), np.complex128),
            adc_demodulation=np.ones(e.acquisition.excitations, np.complex128),
            rx_sensitivities=self._buffer("rx_sensitivities", (e.ncoils, nspins), np.complex128,
                                          zero=False),
            signal_weights=np.broadcast_to(1.0 / spv, (nspins,)),
            parent_species_signal=(
                self._signal[voxels] if isinstance(voxels, slice) else self._buffer(
                    "parent_species_signal", (chunk.nvoxels,) + self._signal.shape[1:],
                    np.complex128)),
            checkpoint_states=np.zeros((0, npools, nspins, 3)),
        )
        for coil, values in enumerate(self._receive):
            arrays["rx_sensitivities"][coil] = per_spin(values)
        names = ("state", "concentration_state") if self.driver.concentration else ("state",)
        for name in names:
            state = arrays[name] = self._buffer(name, (npools, nspins, 3))
            for pool, values in enumerate(self._initial[name]):
                state[pool, :, 2] = per_spin(values)
        return dict(state=arrays.pop("state"), **arrays)

    def _forget_tables(self, signature) -> None:
        """Let kept tables go before new ones are built: all of another chunk's, and the
        oldest while what is kept exceeds half the memory bound. Blocks cut at host pulses
        come back to the same few sets of groups, which stay kept."""
        kept = self._tables
        for key in [k for k in kept if k[0] != signature]:
            del kept[key]
        while kept and (len(kept) >= 4 or sum(size for _, size in kept.values())
                        > self.experiment.memory_bound // 2):
            del kept[next(iter(kept))]

    def _arguments(self, chunk: Chunk, block: tuple[int, int], arrays: dict) -> dict[str, Any]:
        plan, e = self.plan, self.experiment
        steps = slice(*block)
        longitudinal, long_used = _local(plan.longitudinal_groups[steps])
        factor, factor_used = _local(plan.factor_groups[steps])
        rf, rf_used = _local(plan.rf_groups[steps])
        key = (chunk.signature, tuple(long_used.tolist()), tuple(factor_used.tolist()),
               tuple(rf_used.tolist()))
        if key in self._tables:
            tables = self._tables[key][0]
        else:
            self._forget_tables(key[0])
            durations = plan.group_durations[long_used]
            view = BlockTables(self.coefficients, chunk, durations)
            tables = dict(
                transverse_factors=view.factors(plan.factor_durations[factor_used]),
                **view.rotations(plan.rf_angles[rf_used]),
                **self.driver.tables(view),
                duration_by_group=np.array(durations, dtype=np.float64),
            )
            self._tables[key] = (tables, sum(
                v.nbytes for v in tables.values() if isinstance(v, np.ndarray) and v.size
                and all(v.strides)))  # a zero-stride broadcast holds one row
        windows = {}
        if self.driver.concentration:
            windows = {name: np.ascontiguousarray(plan.windows[row, steps])
                       for row, name in enumerate(WINDOWS)}
        return dict(
            tables,
            **windows,
            longitudinal_groups=longitudinal,
            first_factor_groups=factor,
            second_factor_groups=factor.copy(),
            rf_groups=rf,
            action_offsets=np.ascontiguousarray(plan.action_offsets[block[0]:block[1] + 1]),
            action_kinds=plan.action_kinds,
            action_payloads=plan.action_payloads,
            spins_per_parent=e.spins_per_voxel,
            signal_scale=1.0,
            ideal_crushers=e.acquisition.crushers,
            **arrays,
        )
