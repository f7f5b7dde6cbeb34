"""The multi-pool plan block: its own semantics against the NumPy path (source modes, spatial
sources, equilibrium shifts, products before the precursor). What every driver promises is
tested in test_plan_contract.py."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import THREAD_COUNTS, same_bits
from plan_harness import assert_same, check, run_both

from korvel import pelorine
from korvel.plan_blocks import MULTI_POOL, WINDOWS, multi_pool_block

TEAMS = THREAD_COUNTS + (7,)


@pytest.mark.parametrize("num_threads", TEAMS)
@pytest.mark.parametrize("npools", [3, 5])
@pytest.mark.parametrize("source_mode", [0, 1, 2, 3])
def test_matches_reference(rng, num_threads, npools, source_mode):
    block = multi_pool_block(rng, npools=npools, source_mode=source_mode)
    native = check(MULTI_POOL, block, teams=(1, num_threads))
    assert not same_bits(native["state"], block["state"])
    for name in ("state", "concentration_state"):  # only Mz and the concentration move
        assert same_bits(native[name][:, :, :2], block[name][:, :, :2])


VARIANTS = {
    "spatial rf": dict(rf_per_spin=True),
    "spatial sources": dict(spatial_sources=True, source_mode=0),
    "spatial sources mode 3": dict(spatial_sources=True, source_mode=3, rf_per_spin=True),
    "special values": dict(npools=4),
    "equilibrium +0": dict(equilibrium=0.0),
    "equilibrium -0": dict(equilibrium=-0.0),
    "equilibrium nan": dict(equilibrium=np.nan),
    "equilibrium inf": dict(equilibrium=-np.inf, source_mode=1),
    "one spin per parent": dict(nparents=7, spins_per_parent=1, rf_per_spin=True),
    "many spins per parent": dict(nparents=2, spins_per_parent=5, ncoils=4, nadc=6),
    "one spin, axis form": dict(nparents=1, spins_per_parent=1),
    "no steps": dict(nsteps=0),
    "long block": dict(nsteps=40, ngroups=5, nrf_groups=4, npools=6),
    "no coils": dict(ncoils=0, nadc=2),
    "crushers off": dict(spatial_sources=True, ideal_crushers=False),
}


@pytest.mark.parametrize("num_threads", TEAMS)
@pytest.mark.parametrize("variant", VARIANTS)
def test_variants_match_reference(rng, variant, num_threads):
    """Special values in the states and tables of every variant."""
    block = multi_pool_block(rng, special=0.05, **VARIANTS[variant])
    assert_same(MULTI_POOL, *run_both(MULTI_POOL, block, num_threads))


def test_spatial_sources_leave_windows_unread(rng):
    block = multi_pool_block(rng, spatial_sources=True, special=0.05)
    for name in WINDOWS:
        block[name] = np.empty(0)
    assert_same(MULTI_POOL, *run_both(MULTI_POOL, block, 2))


def _exact_block(equilibrium=0.0):
    """One spin, one step, no sources, no RF, unit factors; every table zero but duration."""
    block = multi_pool_block(np.random.default_rng(5), npools=3, nparents=1, spins_per_parent=1,
                             nsteps=1, ngroups=1, source_mode=2, equilibrium=equilibrium)
    block.update({k: np.zeros_like(v) for k, v in block.items() if k.endswith("_by_group")})
    block["duration_by_group"][:] = 1.0
    block["transverse_factors"][:] = 1.0
    block["rf_groups"][:] = -1
    return block


def test_products_convert_the_precursor_before_its_update():
    block = _exact_block()
    block["exp_precursor_by_group"][:] = 0.5
    block["concentration_exp_precursor_by_group"][:] = 0.25
    for name in ("exp_products_by_group", "concentration_exp_products_by_group",
                 "conversion_rates_by_group", "transfer_factor_by_group",
                 "concentration_transfer_factor_by_group"):
        block[name][:] = 1.0
    block["state"][:, :, 2] = [[1.0], [0.0], [2.0]]
    block["concentration_state"][:, :, 2] = [[1.0], [0.0], [0.0]]
    pelorine.run_dynamic_plan_block_multi_pool(**block)
    # magnetization: 1 -> 0.5 -> 0.25; products 0 -> 1 -> 1.5 and 2 -> 3 -> 3.5
    assert block["state"][:, 0, 2].tolist() == [0.25, 1.5, 3.5]
    assert block["concentration_state"][:, 0, 2].tolist() == [0.0625, 1.25, 1.25]


@pytest.mark.parametrize("equilibrium", [0.0, -0.0])
def test_zero_equilibrium_of_either_sign_skips_the_shift(equilibrium):
    """A -0.0 precursor survives the half-steps unshifted; shifting would make it +0.0."""
    block = _exact_block(equilibrium)
    block["exp_precursor_by_group"][:] = 1.0
    block["f0_precursor_by_group"][:] = -1.0
    block["f1_precursor_by_group"][:] = -1.0
    block["state"][0, 0, 2] = -0.0
    block["concentration_state"][0, 0, 2] = 1.0
    pelorine.run_dynamic_plan_block_multi_pool(**block)
    assert np.signbit(block["state"][0, 0, 2]) and block["state"][0, 0, 2] == 0.0
