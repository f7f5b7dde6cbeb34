"""The multi-pool plan block: bit-identity with the NumPy reference, validation, added checks."""

from __future__ import annotations

import numpy as np
import pytest

from conftest import THREAD_COUNTS, same_bits, sprinkle
from korvel import pelorine, reference

MODIFIED = ("state", "transverse_state", "concentration_state", "parent_species_signal",
            "checkpoint_states")
WINDOWS = ("inflow_first_start", "inflow_first_end", "inflow_second_start", "inflow_second_end",
           "polarization_first_start", "polarization_first_end", "polarization_second_start",
           "polarization_second_end")


def _complex(rng, shape, scale=1.0):
    return (rng.normal(size=shape) + 1j * rng.normal(size=shape)) * scale


def _actions(rng, nsteps, nadc, ncheckpoints):
    """A stream with every kind (ignored ones too), empty and inverted brackets, a nonzero start."""
    kinds, payloads, offsets = [], [], [3]
    kinds += [2, 2, 2]
    payloads += [0, 0, 0]  # entries before the first bracket are never visited
    for step in range(nsteps):
        if step % 5 == 4:
            offsets.append(offsets[-1])
            continue
        for _ in range(int(rng.integers(0, 5))):
            kind = int(rng.choice([0, 1, 2, 2, 3, 4, -1]))
            kinds.append(kind)
            if kind == 2:
                payloads.append(int(rng.integers(0, nadc)) if nadc else 0)
                kinds[-1] = kind if nadc else 0
            elif kind == 3:
                payloads.append(int(rng.integers(0, ncheckpoints)) if ncheckpoints else 0)
                kinds[-1] = kind if ncheckpoints else 0
            else:
                payloads.append(int(rng.integers(-5, 50)))
        offsets.append(len(kinds))
    return (np.array(offsets, np.int32), np.array(kinds, np.int8),
            np.array(payloads, np.int64))


def make_block(rng, *, npools=3, nparents=4, spins_per_parent=2, nsteps=6, ngroups=3,
               nfactor_groups=3, nrf_groups=2, width=1, ncoils=2, nadc=3, ncheckpoints=2,
               source_mode=0, spatial=False, equilibrium=0.7, special=True):
    """Keyword arguments of one call; ``special`` sprinkles NaN, infinities and signed zeros."""
    nspins = nparents * spins_per_parent
    nproducts = npools - 1
    u = lambda *shape: rng.uniform(0.1, 1.0, size=shape)  # noqa: E731
    block = {
        "state": rng.normal(size=(npools, nspins, 3)),
        "transverse_state": _complex(rng, (npools, nspins)),
        "concentration_state": rng.uniform(0.0, 2.0, size=(npools, nspins, 3)),
        "transverse_factors": _complex(rng, (nfactor_groups, npools, nspins), 0.7),
        "conversion_rates_by_group": u(ngroups, nproducts, nspins),
        "exp_precursor_by_group": u(ngroups, nspins),
        "exp_products_by_group": u(ngroups, nproducts),
        "transfer_factor_by_group": u(ngroups, nproducts, nspins),
        "f0_precursor_by_group": u(ngroups, nspins),
        "f1_precursor_by_group": u(ngroups, nspins),
        "j0_by_group": u(ngroups, nproducts, nspins),
        "j1_by_group": u(ngroups, nproducts, nspins),
        "concentration_exp_precursor_by_group": u(ngroups, nspins),
        "concentration_exp_products_by_group": u(ngroups, nproducts),
        "concentration_transfer_factor_by_group": u(ngroups, nproducts, nspins),
        "concentration_f0_precursor_by_group": u(ngroups, nspins),
        "concentration_f1_precursor_by_group": u(ngroups, nspins),
        "concentration_j0_by_group": u(ngroups, nproducts, nspins),
        "concentration_j1_by_group": u(ngroups, nproducts, nspins),
        "duration_by_group": u(ngroups),
        "longitudinal_groups": rng.integers(0, ngroups, nsteps).astype(np.int32),
        "first_factor_groups": rng.integers(0, nfactor_groups, nsteps).astype(np.int32),
        "second_factor_groups": rng.integers(0, nfactor_groups, nsteps).astype(np.int32),
        "rf_groups": rng.integers(-1, nrf_groups, nsteps).astype(np.int32),
    }
    angle = rng.uniform(0, np.pi, size=(nrf_groups, width))
    phase = rng.uniform(0, 2 * np.pi, size=(nrf_groups, width))
    block.update(rf_axis_x=np.cos(phase), rf_axis_y=np.sin(phase), rf_cosine=np.cos(angle),
                 rf_sine=np.sin(angle), rf_one_minus_cosine=1.0 - np.cos(angle))
    for name in WINDOWS:
        block[name] = np.full(nsteps, np.nan) if spatial else rng.uniform(0, 2, nsteps)
    block["inflow_delivery"] = rng.uniform(0, 1, nspins)
    offsets, kinds, payloads = _actions(rng, nsteps, nadc, ncheckpoints)
    block.update(
        equilibrium=equilibrium, source_mode=source_mode, action_offsets=offsets,
        action_kinds=kinds, action_payloads=payloads,
        adc_demodulation=_complex(rng, nadc + 1),
        rx_sensitivities=_complex(rng, (ncoils, nspins)),
        signal_weights=rng.uniform(0, 1, nspins),
        parent_species_signal=_complex(rng, (nparents, npools, ncoils, nadc)),
        checkpoint_states=rng.normal(size=(ncheckpoints, npools, nspins, 3)),
        spins_per_parent=spins_per_parent, signal_scale=0.75, ideal_crushers=True,
        num_threads=1,
        spatial_source_values=rng.uniform(0, 2, (8, nsteps, nspins)) if spatial else None,
    )
    if special:
        for name in ("state", "transverse_state", "concentration_state", "j0_by_group",
                     "inflow_delivery", "exp_precursor_by_group"):
            sprinkle(rng, block[name], 0.05)
    return block


def copy_block(block):
    return {k: v.copy() if isinstance(v, np.ndarray) else v for k, v in block.items()}


def run_both(block, num_threads):
    native, expected = copy_block(block), copy_block(block)
    native["num_threads"] = num_threads
    pelorine.run_dynamic_plan_block_multi_pool(**native)
    reference.run_dynamic_plan_block_multi_pool(**expected)
    return native, expected


def assert_same(native, expected, names=MODIFIED):
    for name in names:
        assert same_bits(native[name], expected[name]), name


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
@pytest.mark.parametrize("npools", [3, 5])
@pytest.mark.parametrize("source_mode", [0, 1, 2, 3])
def test_matches_reference(rng, num_threads, npools, source_mode):
    block = make_block(rng, npools=npools, source_mode=source_mode, special=False)
    assert_same(*run_both(block, num_threads))
