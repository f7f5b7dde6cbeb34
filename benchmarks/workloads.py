"""Workloads of the benchmark suite: one realistic call of every parallel function, and the
double operations one unit of its work (a spin-step, a voxel-step, a voxel) performs.

Plan blocks carry an RF pulse and an ADC sample in every step, received by two coils; values stay
in ordinary ranges (decay factors just below one, unit-modulus phases), so repeated calls never
reach subnormal numbers. Operation counts follow the kernels' formulas: every addition,
subtraction, multiplication (those by a literal zero included) and division counts one; the
divisions among them are also counted apart, since a divider is slower than a multiplier.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from typing import Any, Callable

import numpy as np

from korvel import plan_blocks

Args = dict[str, Any]
NCOILS = 2


@dataclass(frozen=True)
class Sizes:
    spins: int = 100_000
    steps: int = 256
    spins_per_parent: int = 100
    voxels: int = 1_000_000
    voxel_steps: int = 64


@dataclass(frozen=True)
class Workload:
    label: str
    function: str
    units: str  # what one unit of work is
    build: Callable[[np.random.Generator, Sizes, int], Args]  # arguments for a number of steps
    steps: Callable[[Sizes], int]  # steps at full size (1 for single-step primitives)
    work: Callable[[Args], int]  # units of work of one call
    operations: Callable[[Args], float]  # double operations per unit
    divisions: Callable[[Args], float]  # how many of them are divisions
    modified: tuple[str, ...]
    competing: int = 0  # CPU-bound processes running beside the native calls


def _unit_phase(rng, shape):
    return np.exp(1j * rng.uniform(-np.pi, np.pi, shape))


def _step_groups(nsteps, ngroups, shift=0):
    return ((np.arange(nsteps) + shift) % ngroups).astype(np.int32)


def _adc_visits(a: Args) -> int:
    """ADC actions run per spin over the block (kind 2 entries inside the step brackets)."""
    offsets, kinds = a["action_offsets"], a["action_kinds"]
    return sum(int((kinds[offsets[s]:offsets[s + 1]] == 2).sum()) for s in range(len(offsets) - 1))


def _steps_with_rf(a: Args) -> int:
    return int((a["rf_groups"] >= 0).sum())


def _regular_share(regular, modes) -> float:
    """Share of half-steps in the regular form, over the groups a block's steps use equally."""
    modes = np.asarray(modes)
    per_group = np.where(modes == 1, 1.0, np.where(modes == -1, 0.0,
                                                   (np.asarray(regular) != 0).mean(axis=-1)))
    return float(per_group.mean())


def _rf_operations(a: Args, npools: int) -> float:
    per_pool = 32 if a["rf_axis_x"].shape[1] == 1 else 18  # axis form, or spatial form
    return npools * per_pool * _steps_with_rf(a) / a["longitudinal_groups"].shape[0]


def _adc_operations(a: Args, npools: int) -> float:
    # received signal of one pool and coil: 6 + 4 + 6 operations, then two additions
    ncoils = a["rx_sensitivities"].shape[0]
    return 18 * npools * ncoils * _adc_visits(a) / a["longitudinal_groups"].shape[0]


# --- two-pool plan block ---------------------------------------------------------------------

def _plan_sizes(sizes: Sizes, nsteps: int) -> Args:
    """The knobs every plan workload shares: 4 longitudinal groups, 8 factor groups, one ADC
    sample per step (sample k at step k) received by two coils, no checkpoints, no crushers,
    values in typical ranges."""
    return dict(nparents=sizes.spins // sizes.spins_per_parent,
                spins_per_parent=sizes.spins_per_parent, nsteps=nsteps, ngroups=4,
                nfactor_groups=8, ncoils=NCOILS, nadc=max(nsteps, 1), ncheckpoints=0,
                actions="adc", ideal_crushers=False, typical=True)


def two_pool_block(rng, sizes: Sizes, nsteps: int, spatial_rf: bool = False) -> Args:
    return plan_blocks.two_pool_block(rng, **_plan_sizes(sizes, nsteps),
                                      nrf_groups=2 if spatial_rf else 8, rf_per_spin=spatial_rf)


def two_pool_operations(a: Args) -> float:
    regular = _regular_share(a["regular_by_group"], a["regular_mode_by_group"])
    free_evolution = 2 * 2 * 6  # two halves, two pools, one complex product each
    longitudinal = 2 * (6 + regular)  # regular form 7, duration form 6
    return free_evolution + longitudinal + _rf_operations(a, 2) + _adc_operations(a, 2)


def two_pool_divisions(a: Args) -> float:
    return 2 * _regular_share(a["regular_by_group"], a["regular_mode_by_group"])


# --- multi-pool plan block -------------------------------------------------------------------

def multi_pool_block(rng, sizes: Sizes, nsteps: int, npools: int = 3) -> Args:
    return plan_blocks.multi_pool_block(rng, **_plan_sizes(sizes, nsteps), npools=npools,
                                        nrf_groups=8, source_mode=0, equilibrium=1e-3)


def multi_pool_operations(a: Args) -> float:
    npools = a["state"].shape[0]
    nproducts = npools - 1
    shift = 2 * npools * 2 if a["equilibrium"] != 0.0 else 0  # shift in and out
    sources = {0: 4, 1: 2, 2: 0, 3: 4}[a["source_mode"]]
    # ramps 8, precursor magnetization and concentration 5 + 5, each product 9 + 9
    half_step = sources + shift + 8 + 10 + 18 * nproducts
    return (2 * half_step + 2 * npools * 6 + _rf_operations(a, npools)
            + _adc_operations(a, npools))


def multi_pool_divisions(a: Args) -> float:
    return 4.0  # two source slopes per half-step


# --- two-pool source-interval block ----------------------------------------------------------

def source_interval_block(rng, sizes: Sizes, nsteps: int) -> Args:
    return plan_blocks.source_interval_block(rng, **_plan_sizes(sizes, nsteps), nrf_groups=8,
                                             source_mode=0, equilibrium=1e-3)


def source_interval_operations(a: Args) -> float:
    regular = (_regular_share(a["regular_by_group"], a["regular_mode_by_group"])
               + _regular_share(a["concentration_regular_by_group"],
                                a["concentration_regular_mode_by_group"]))
    shift = 8 if a["equilibrium"] != 0.0 else 0
    sources = {0: 4, 1: 2, 2: 0, 3: 4}[a["source_mode"]]
    # coupled half-step: 32 besides the shift and the two transfers (regular 4, duration 3)
    half_step = sources + shift + 32 + 6 + regular
    return 2 * half_step + 2 * 2 * 6 + _rf_operations(a, 2) + _adc_operations(a, 2)


def source_interval_divisions(a: Args) -> float:
    regular = (_regular_share(a["regular_by_group"], a["regular_mode_by_group"])
               + _regular_share(a["concentration_regular_by_group"],
                                a["concentration_regular_mode_by_group"]))
    return 2 * (2 + regular)  # two source slopes and the regular transfers per half-step


# --- longitudinal block and single-step primitives -------------------------------------------

def longitudinal_block(rng, sizes: Sizes, nsteps: int) -> Args:
    nvoxels, ngroups = sizes.voxels, 4
    return dict(
        state=rng.uniform(0.0, 1.0, (2, nvoxels, 3)),
        kpl=rng.uniform(0.01, 0.05, nvoxels),
        exp_a_by_group=rng.uniform(0.995, 0.999, (ngroups, nvoxels)),
        exp_b_by_group=rng.uniform(0.995, 0.999, ngroups),
        difference=rng.uniform(0.01, 0.05, nvoxels),
        regular=rng.random(nvoxels) > 0.001,
        step_groups=_step_groups(nsteps, ngroups),
        duration_by_group=np.full(ngroups, 0.05),
        regular_mode=0,
        num_threads=1,
    )


def longitudinal_operations(a: Args) -> float:
    regular = {1: 1.0, -1: 0.0}.get(a["regular_mode"], float(np.mean(a["regular"] != 0)))
    return 6 + regular


def longitudinal_divisions(a: Args) -> float:
    return longitudinal_operations(a) - 6


def rf_axis_block(rng, sizes: Sizes, nsteps: int) -> Args:
    nvoxels = sizes.voxels
    angle, phase = np.deg2rad(10.0), rng.uniform(0.0, 2.0 * np.pi)
    return dict(
        state=rng.uniform(-1.0, 1.0, (2, nvoxels, 3)),
        transverse_state=rng.uniform(0.0, 1.0, (2, nvoxels)) * _unit_phase(rng, (2, nvoxels)),
        axis_x=np.cos(phase), axis_y=np.sin(phase), cosine=np.cos(angle), sine=np.sin(angle),
        one_minus_cosine=1.0 - np.cos(angle), num_threads=1,
    )


def rf_spatial_block(rng, sizes: Sizes, nsteps: int) -> Args:
    nvoxels = sizes.voxels
    angle = np.deg2rad(10.0) * rng.uniform(0.8, 1.2, nvoxels)
    phase = rng.uniform(0.0, 2.0 * np.pi, nvoxels)
    return dict(
        state=rng.uniform(-1.0, 1.0, (2, nvoxels, 3)),
        transverse_state=rng.uniform(0.0, 1.0, (2, nvoxels)) * _unit_phase(rng, (2, nvoxels)),
        axis_x=np.cos(phase), axis_y=np.sin(phase), cosine=np.cos(angle), sine=np.sin(angle),
        num_threads=1,
    )


def inflow_step(rng, sizes: Sizes, nsteps: int) -> Args:
    nvoxels = sizes.voxels
    names = ("kpl", "exp_a", "difference", "f0_a", "f1_a", "j0", "j1", "concentration_exp_a",
             "concentration_difference", "concentration_f0_a", "concentration_f1_a",
             "concentration_j0", "concentration_j1", "source_start", "source_end",
             "concentration_source_start", "concentration_source_end")
    inputs = {name: rng.uniform(0.01, 1.0, nvoxels) for name in names}
    inputs.update(
        state=rng.uniform(0.0, 1.0, (2, nvoxels, 3)),
        concentration_state=rng.uniform(0.0, 1.0, (2, nvoxels, 3)),
        regular=rng.random(nvoxels) > 0.001, concentration_regular=rng.random(nvoxels) > 0.001,
        exp_b=0.997, concentration_exp_b=0.998, duration=0.05, equilibrium=1e-3,
        regular_mode=0, concentration_regular_mode=0, num_threads=1,
    )
    return inputs


def inflow_operations(a: Args) -> float:
    share = (np.mean(a["regular"] != 0) + np.mean(a["concentration_regular"] != 0))
    return 46 + float(share)  # 48 with both transfers regular (4 operations rather than 3)


def inflow_divisions(a: Args) -> float:
    return inflow_operations(a) - 44


def _plan_work(a: Args) -> int:
    return a["state"].shape[1] * a["longitudinal_groups"].shape[0]


# --- variants of the two-pool block that the engine's lanes must keep fast -------------------

SAMPLES_PER_PARENT = 16  # ADC samples of a block with one spin per parent, written in turn


def one_spin_per_parent(rng, sizes: Sizes, nsteps: int) -> Args:
    """Every spin its own parent, an ADC sample every step into one of SAMPLES_PER_PARENT
    samples in turn (so that the signal stays a few bytes per spin)."""
    knobs = _plan_sizes(replace(sizes, spins_per_parent=1), nsteps)
    knobs["nadc"] = SAMPLES_PER_PARENT
    return plan_blocks.two_pool_block(rng, **knobs, nrf_groups=8)


SHARED_TABLES = ("kpl_by_group", "exp_a_by_group", "difference_by_group", "regular_by_group")


def shared_tables(rng, sizes: Sizes, nsteps: int, broadcast: bool) -> Args:
    """The per-spin group tables the same for every spin: zero-stride views of one column (as
    the host passes them), or the same values laid out contiguously."""
    a = plan_blocks.two_pool_block(rng, **_plan_sizes(sizes, nsteps), nrf_groups=8,
                                   shared=SHARED_TABLES)
    if not broadcast:
        a.update({name: np.ascontiguousarray(a[name]) for name in SHARED_TABLES})
    return a


PLAN_MODIFIED = ("state", "transverse_state", "parent_species_signal", "checkpoint_states")

WORKLOADS = [
    Workload("two-pool plan block, axis RF", "run_dynamic_plan_block_no_inflow", "spin-steps",
             two_pool_block, lambda s: s.steps, _plan_work, two_pool_operations,
             two_pool_divisions, PLAN_MODIFIED),
    Workload("two-pool plan block, spatial RF", "run_dynamic_plan_block_no_inflow",
             "spin-steps", lambda rng, s, n: two_pool_block(rng, s, n, spatial_rf=True),
             lambda s: s.steps, _plan_work, two_pool_operations, two_pool_divisions,
             PLAN_MODIFIED),
    Workload("multi-pool plan block, 3 pools", "run_dynamic_plan_block_multi_pool",
             "spin-steps", multi_pool_block, lambda s: s.steps, _plan_work,
             multi_pool_operations, multi_pool_divisions,
             PLAN_MODIFIED + ("concentration_state",)),
    Workload("source-interval block", "apply_dynamic_rf_block_with_concentration_inflow",
             "spin-steps", source_interval_block, lambda s: s.steps, _plan_work,
             source_interval_operations, source_interval_divisions,
             PLAN_MODIFIED + ("concentration_state",)),
    Workload("two-pool, one spin per parent", "run_dynamic_plan_block_no_inflow", "spin-steps",
             one_spin_per_parent, lambda s: s.steps, _plan_work, two_pool_operations,
             two_pool_divisions, PLAN_MODIFIED),
    Workload("two-pool, shared tables contiguous", "run_dynamic_plan_block_no_inflow",
             "spin-steps", lambda rng, s, n: shared_tables(rng, s, n, broadcast=False),
             lambda s: s.steps, _plan_work, two_pool_operations, two_pool_divisions,
             PLAN_MODIFIED),
    Workload("two-pool, shared tables zero-stride", "run_dynamic_plan_block_no_inflow",
             "spin-steps", lambda rng, s, n: shared_tables(rng, s, n, broadcast=True),
             lambda s: s.steps, _plan_work, two_pool_operations, two_pool_divisions,
             PLAN_MODIFIED),
    Workload("two-pool, beside a busy process", "run_dynamic_plan_block_no_inflow",
             "spin-steps", two_pool_block, lambda s: s.steps, _plan_work, two_pool_operations,
             two_pool_divisions, PLAN_MODIFIED, competing=1),
    Workload("longitudinal block", "apply_longitudinal_block_no_inflow", "voxel-steps",
             longitudinal_block, lambda s: s.voxel_steps,
             lambda a: a["kpl"].shape[0] * a["step_groups"].shape[0], longitudinal_operations,
             longitudinal_divisions, ("state",)),
    Workload("axis RF rotation", "apply_rf_rotation_transverse_block", "voxels", rf_axis_block,
             lambda s: 1, lambda a: a["state"].shape[1], lambda a: 64.0, lambda a: 0.0,
             ("state", "transverse_state")),
    Workload("spatial RF rotation", "apply_spatial_rf_rotation_transverse_block", "voxels",
             rf_spatial_block, lambda s: 1, lambda a: a["state"].shape[1], lambda a: 36.0,
             lambda a: 0.0, ("state", "transverse_state")),
    Workload("concentration inflow step", "apply_longitudinal_step_with_concentration_inflow",
             "voxels", inflow_step, lambda s: 1, lambda a: a["kpl"].shape[0], inflow_operations,
             inflow_divisions, ("state", "concentration_state")),
]


def bytes_per_unit(workload: Workload, a: Args) -> float:
    """Compulsory memory traffic: every array once, the modified ones twice (read and write)."""
    total = sum(v.nbytes for v in a.values() if isinstance(v, np.ndarray))
    total += sum(a[name].nbytes for name in workload.modified)
    return total / max(workload.work(a), 1)
