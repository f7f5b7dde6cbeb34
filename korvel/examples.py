"""Valid example calls of every native function, built from a seeded generator.

Each builder returns the keyword arguments of one call on a block of ``size`` voxels (or spins)
with plausible values: decay factors just below one, small conversion rates, unit RF axes, an
ADC sample and a crusher after every plan step. The self-check (``python -m korvel``) runs them
through the module and the reference; they are also a starting point for a caller's own tables.
The plan blocks come from ``korvel.plan_blocks``, whose builders have a knob for every size,
layout and action stream.
"""

from __future__ import annotations

import os
from functools import partial
from typing import Any, Callable

import numpy as np

from korvel import plan_blocks

Call = dict[str, Any]
Builder = Callable[[np.random.Generator, int], Call]


def _team() -> int:
    return os.cpu_count() or 1


def _complex(rng: np.random.Generator, *shape: int, scale: float = 1.0) -> np.ndarray:
    return scale * (rng.standard_normal(shape) + 1j * rng.standard_normal(shape))


def _rotation(rng: np.random.Generator, shape: tuple[int, ...]) -> dict[str, np.ndarray]:
    """Unit transverse axes and the cosine, sine and one minus cosine of flip angles."""
    phase = rng.uniform(0.0, 2.0 * np.pi, shape)
    angle = rng.uniform(0.0, np.pi / 2, shape)
    cosine = np.cos(angle)
    return {"axis_x": np.cos(phase), "axis_y": np.sin(phase), "cosine": cosine,
            "sine": np.sin(angle), "one_minus_cosine": 1.0 - cosine}


def _state(rng: np.random.Generator, npools: int, n: int) -> np.ndarray:
    return rng.uniform(0.0, 1.0, (npools, n, 3))


def rf_rotation(rng: np.random.Generator, size: int) -> Call:
    rotation = {k: float(v) for k, v in _rotation(rng, ()).items()}
    return {"state": _state(rng, 2, size), "transverse_state": _complex(rng, 2, size),
            **rotation, "num_threads": _team()}


def spatial_rf_rotation(rng: np.random.Generator, size: int) -> Call:
    rotation = _rotation(rng, (size,))
    del rotation["one_minus_cosine"]
    return {"state": _state(rng, 2, size), "transverse_state": _complex(rng, 2, size),
            **rotation, "num_threads": _team()}


def spatial_rf_coefficients(rng: np.random.Generator, size: int) -> Call:
    return {"rf_real": 120.0, "rf_imag": -35.0,
            "tx_sensitivity": _complex(rng, size, scale=0.5) + 1.0, "duration": 1e-3}


def transverse_factors(rng: np.random.Generator, size: int) -> Call:
    return {"phase_cycles": rng.uniform(-2.0, 2.0, (2, size)), "t2_s": np.array([0.6, 0.35]),
            "duration": 0.05}


def _longitudinal(rng: np.random.Generator, n: int) -> Call:
    return {"kpl": rng.uniform(0.0, 0.1, n), "exp_a": rng.uniform(0.9, 1.0, n),
            "difference": rng.uniform(0.005, 0.05, n), "regular": rng.random(n) < 0.9}


def longitudinal_step(rng: np.random.Generator, size: int) -> Call:
    return {"state": _state(rng, 2, size), **_longitudinal(rng, size), "exp_b": 0.97,
            "duration": 0.5, "regular_mode": 0}


def longitudinal_block(rng: np.random.Generator, size: int, nsteps: int = 32,
                       ngroups: int = 4) -> Call:
    coefficients = _longitudinal(rng, size)
    return {
        "state": _state(rng, 2, size), "kpl": coefficients["kpl"],
        "exp_a_by_group": rng.uniform(0.9, 1.0, (ngroups, size)),
        "exp_b_by_group": rng.uniform(0.9, 1.0, ngroups),
        "difference": coefficients["difference"], "regular": coefficients["regular"],
        "step_groups": rng.integers(0, ngroups, nsteps).astype(np.int32),
        "duration_by_group": rng.uniform(0.1, 1.0, ngroups), "regular_mode": 0,
        "num_threads": _team(),
    }


def _source_weights(rng: np.random.Generator, shape: tuple[int, ...], prefix: str) -> Call:
    names = ("f0_a", "f1_a", "j0", "j1")
    return {prefix + name: rng.uniform(0.0, 0.5, shape) for name in names}


def concentration_step(rng: np.random.Generator, size: int) -> Call:
    magnetization = _longitudinal(rng, size)
    concentration = _longitudinal(rng, size)
    return {
        "state": _state(rng, 2, size), "concentration_state": _state(rng, 2, size),
        "kpl": magnetization["kpl"], "exp_a": magnetization["exp_a"], "exp_b": 0.97,
        "difference": magnetization["difference"], "regular": magnetization["regular"],
        **_source_weights(rng, (size,), ""),
        "concentration_exp_a": concentration["exp_a"], "concentration_exp_b": 0.98,
        "concentration_difference": concentration["difference"],
        "concentration_regular": concentration["regular"],
        **_source_weights(rng, (size,), "concentration_"),
        "source_start": rng.uniform(0.0, 0.2, size), "source_end": rng.uniform(0.0, 0.2, size),
        "concentration_source_start": rng.uniform(0.0, 2.0, size),
        "concentration_source_end": rng.uniform(0.0, 2.0, size),
        "duration": 0.5, "equilibrium": 0.05, "regular_mode": 0, "concentration_regular_mode": 0,
        "num_threads": _team(),
    }


def _plan(builder: Callable[..., Call], size: int, spins_per_parent: int, **knobs: Any) -> Call:
    """A plan block of the largest whole number of parents within ``size`` spins, in typical
    ranges, with an ADC sample and a crusher after every step (a snapshot after the last)."""
    return builder(nparents=size // spins_per_parent, spins_per_parent=spins_per_parent,
                   actions="observe", typical=True, num_threads=_team(), **knobs)


def two_pool_plan(rng: np.random.Generator, size: int, nsteps: int = 16,
                  spins_per_parent: int = 4, ngroups: int = 3) -> Call:
    return _plan(partial(plan_blocks.two_pool_block, rng), size, spins_per_parent,
                 nsteps=nsteps, ngroups=ngroups, nfactor_groups=2, nrf_groups=2)


def multi_pool_plan(rng: np.random.Generator, size: int, nsteps: int = 16, npools: int = 4,
                    spins_per_parent: int = 4, ngroups: int = 3) -> Call:
    return _plan(partial(plan_blocks.multi_pool_block, rng), size, spins_per_parent,
                 nsteps=nsteps, npools=npools, ngroups=ngroups, nfactor_groups=2, nrf_groups=2)


def source_interval_plan(rng: np.random.Generator, size: int, nsteps: int = 16,
                         spins_per_parent: int = 4, ngroups: int = 3) -> Call:
    """A plan-mode source-interval block with per-group rates and a rotation per spin."""
    return _plan(partial(plan_blocks.source_interval_block, rng), size, spins_per_parent,
                 nsteps=nsteps, ngroups=ngroups, nfactor_groups=2, nrf_groups=2,
                 rf_per_spin=True, kpl_groups=True)


EXAMPLES: dict[str, Builder] = {
    "prepare_spatial_rf_rotation_coefficients": spatial_rf_coefficients,
    "prepare_transverse_factors_coefficients": transverse_factors,
    "run_dynamic_plan_block_no_inflow": two_pool_plan,
    "run_dynamic_plan_block_multi_pool": multi_pool_plan,
    "apply_rf_rotation_transverse_block": rf_rotation,
    "apply_spatial_rf_rotation_transverse_block": spatial_rf_rotation,
    "apply_longitudinal_step_no_inflow": longitudinal_step,
    "apply_longitudinal_step_with_concentration_inflow": concentration_step,
    "apply_longitudinal_block_no_inflow": longitudinal_block,
    "apply_dynamic_rf_block_with_concentration_inflow": source_interval_plan,
}
