"""Valid example calls of every native function, built from a seeded generator.

Each builder returns the keyword arguments of one call on a block of ``size`` voxels (or spins)
with plausible values: decay factors just below one, small conversion rates, unit RF axes, an
ADC sample and a crusher after every plan step. The self-check (``python -m korvel``) runs them
through the module and the reference; they are also a starting point for a caller's own tables.
"""

from __future__ import annotations

import os
from typing import Any, Callable

import numpy as np

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


def _steps(rng: np.random.Generator, nsteps: int, ngroups: int, nfactor_groups: int,
           nrf_groups: int) -> Call:
    """Per-step group indices; every step has an RF pulse."""
    def groups(n: int) -> np.ndarray:
        return rng.integers(0, n, nsteps).astype(np.int32)

    return {"longitudinal_groups": groups(ngroups), "first_factor_groups": groups(nfactor_groups),
            "second_factor_groups": groups(nfactor_groups), "rf_groups": groups(nrf_groups)}


def _rf_tables(rng: np.random.Generator, nrf_groups: int, width: int) -> Call:
    return {f"rf_{name}": table for name, table in _rotation(rng, (nrf_groups, width)).items()}


def _observation(rng: np.random.Generator, nsteps: int, npools: int, nspins: int,
                 spins_per_parent: int, ncoils: int = 2) -> Call:
    """After every step an ADC sample, then a crusher; the last crusher is a checkpoint instead."""
    kinds = np.tile(np.array([2, 1], np.int8), nsteps)
    payloads = np.repeat(np.arange(nsteps, dtype=np.int64), 2)
    kinds[-1], payloads[-1] = 3, 0  # the last step keeps its transverse state as a snapshot
    nparents = nspins // spins_per_parent
    return {
        "action_offsets": np.arange(0, 2 * nsteps + 1, 2, dtype=np.int32),
        "action_kinds": kinds, "action_payloads": payloads,
        "adc_demodulation": np.exp(-2j * np.pi * rng.uniform(0.0, 1.0, nsteps)),
        "rx_sensitivities": _complex(rng, ncoils, nspins, scale=0.5),
        "signal_weights": np.full(nspins, 1.0 / spins_per_parent),
        "parent_species_signal": np.zeros((nparents, npools, ncoils, nsteps), complex),
        "checkpoint_states": np.zeros((1, npools, nspins, 3)),
        "spins_per_parent": spins_per_parent, "signal_scale": 1.0, "ideal_crushers": True,
    }


def two_pool_plan(rng: np.random.Generator, size: int, nsteps: int = 16,
                  spins_per_parent: int = 4, ngroups: int = 3) -> Call:
    nspins = size - size % spins_per_parent
    return {
        "state": _state(rng, 2, nspins), "transverse_state": _complex(rng, 2, nspins),
        "transverse_factors": _complex(rng, 2, 2, nspins, scale=0.6),
        "kpl_by_group": rng.uniform(0.0, 0.1, (ngroups, nspins)),
        "exp_a_by_group": rng.uniform(0.9, 1.0, (ngroups, nspins)),
        "exp_b_by_group": rng.uniform(0.9, 1.0, ngroups),
        "difference_by_group": rng.uniform(0.005, 0.05, (ngroups, nspins)),
        "regular_by_group": rng.random((ngroups, nspins)) < 0.9,
        "duration_by_group": rng.uniform(0.1, 1.0, ngroups),
        "regular_mode_by_group": np.zeros(ngroups, np.int32),
        **_steps(rng, nsteps, ngroups, 2, 2), **_rf_tables(rng, 2, 1),
        **_observation(rng, nsteps, 2, nspins, spins_per_parent), "num_threads": _team(),
    }


def _windows(rng: np.random.Generator, nsteps: int) -> Call:
    names = [f"{kind}_{half}_{end}" for kind in ("inflow", "polarization")
             for half in ("first", "second") for end in ("start", "end")]
    return {name: rng.uniform(0.0, 1.0, nsteps) for name in names}


def multi_pool_plan(rng: np.random.Generator, size: int, nsteps: int = 16, npools: int = 4,
                    spins_per_parent: int = 4, ngroups: int = 3) -> Call:
    nspins, nproducts = size - size % spins_per_parent, npools - 1
    per_spin, per_product = (ngroups, nspins), (ngroups, nproducts, nspins)
    call = {
        "state": _state(rng, npools, nspins), "transverse_state": _complex(rng, npools, nspins),
        "concentration_state": _state(rng, npools, nspins),
        "transverse_factors": _complex(rng, 2, npools, nspins, scale=0.6),
        "conversion_rates_by_group": rng.uniform(0.0, 0.05, per_product),
    }
    for prefix in ("", "concentration_"):
        call.update({
            f"{prefix}exp_precursor_by_group": rng.uniform(0.9, 1.0, per_spin),
            f"{prefix}exp_products_by_group": rng.uniform(0.9, 1.0, (ngroups, nproducts)),
            f"{prefix}transfer_factor_by_group": rng.uniform(0.0, 1.0, per_product),
            f"{prefix}f0_precursor_by_group": rng.uniform(0.0, 0.5, per_spin),
            f"{prefix}f1_precursor_by_group": rng.uniform(0.0, 0.5, per_spin),
            f"{prefix}j0_by_group": rng.uniform(0.0, 0.5, per_product),
            f"{prefix}j1_by_group": rng.uniform(0.0, 0.5, per_product),
        })
    call.update(
        duration_by_group=rng.uniform(0.1, 1.0, ngroups),
        **_steps(rng, nsteps, ngroups, 2, 2), **_rf_tables(rng, 2, 1), **_windows(rng, nsteps),
        inflow_delivery=rng.uniform(0.0, 1.0, nspins), equilibrium=0.05, source_mode=0,
        **_observation(rng, nsteps, npools, nspins, spins_per_parent), num_threads=_team(),
    )
    return call


def source_interval_plan(rng: np.random.Generator, size: int, nsteps: int = 16,
                         spins_per_parent: int = 4, ngroups: int = 3) -> Call:
    """A plan-mode source-interval block with per-group rates and a rotation per spin."""
    nspins = size - size % spins_per_parent
    per_spin = (ngroups, nspins)
    call = {
        "state": _state(rng, 2, nspins), "transverse_state": _complex(rng, 2, nspins),
        "concentration_state": _state(rng, 2, nspins), "kpl": rng.uniform(0.0, 0.1, nspins),
        "inflow_delivery": rng.uniform(0.0, 1.0, nspins),
        "transverse_factors": _complex(rng, 2, 2, nspins, scale=0.6),
    }
    for prefix in ("", "concentration_"):
        call.update({
            f"{prefix}exp_a_by_group": rng.uniform(0.9, 1.0, per_spin),
            f"{prefix}exp_b_by_group": rng.uniform(0.9, 1.0, ngroups),
            f"{prefix}difference_by_group": rng.uniform(0.005, 0.05, per_spin),
            f"{prefix}regular_by_group": rng.random(per_spin) < 0.9,
        })
        call.update({f"{name}_by_group": weights
                     for name, weights in _source_weights(rng, per_spin, prefix).items()})
    call.update(
        duration_by_group=rng.uniform(0.1, 1.0, ngroups),
        regular_mode_by_group=np.zeros(ngroups, np.int32),
        concentration_regular_mode_by_group=np.zeros(ngroups, np.int32),
        **_steps(rng, nsteps, ngroups, 2, 2), **_rf_tables(rng, 2, nspins),
        **_windows(rng, nsteps), equilibrium=0.05, num_threads=_team(),
        **_observation(rng, nsteps, 2, nspins, spins_per_parent),
        kpl_by_group=rng.uniform(0.0, 0.1, per_spin), source_mode=0,
    )
    return call

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
