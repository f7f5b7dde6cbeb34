"""Offsets past 2**31 elements: group rows, snapshots and signal samples far into arrays of
billions of elements, held in sparse memory-mapped files so that only the pages a call touches
take space. Each result must equal the same call on small arrays with the indices brought near
zero; a 32-bit offset would wrap around and read or write elsewhere.
"""

from __future__ import annotations

import os

import numpy as np
import pytest

from conftest import same_bits
from korvel import pelorine
from korvel.plan_blocks import DRIVERS
from test_longitudinal import block_inputs

TOUCHED_LIMIT = 1 << 20  # bytes a sparse file may take after a call: a few pages


def sparse(tmp_path, name, dtype, shape):
    """A zero-filled memory-mapped array whose file takes no space until written."""
    path = tmp_path / f"{name}.bin"
    array = np.memmap(path, dtype=dtype, mode="w+", shape=shape)
    if os.stat(path).st_blocks * 512 > TOUCHED_LIMIT:
        pytest.skip("the temporary directory does not hold sparse files")
    return array


def allocated(array: np.memmap) -> int:
    array.flush()
    return os.stat(array.filename).st_blocks * 512


def test_block_reads_group_rows_past_2_31_elements(tmp_path, rng):
    ngroups, nvoxels = 2**31 - 1, 3  # the last row starts at element 3 * (2**31 - 2)
    small = block_inputs(rng, n=nvoxels, ngroups=1, nsteps=2)
    small["step_groups"] = np.zeros(2, np.int32)
    large = {k: v.copy() if isinstance(v, np.ndarray) else v for k, v in small.items()}
    for name, shape in (("exp_a_by_group", (ngroups, nvoxels)), ("exp_b_by_group", (ngroups,)),
                        ("duration_by_group", (ngroups,))):
        large[name] = sparse(tmp_path, name, np.float64, shape)
        large[name][-1] = small[name][0]
    large["step_groups"] = np.full(2, ngroups - 1, np.int32)
    pelorine.apply_longitudinal_block_no_inflow(**small)
    pelorine.apply_longitudinal_block_no_inflow(**large)
    assert same_bits(large["state"], small["state"])
    assert all(allocated(large[name]) <= TOUCHED_LIMIT
               for name in ("exp_a_by_group", "exp_b_by_group", "duration_by_group"))


@pytest.mark.parametrize("driver", DRIVERS)
def test_actions_address_snapshots_and_samples_past_2_31_elements(tmp_path, rng, driver):
    function = DRIVERS[driver].native()
    small = DRIVERS[driver].build(rng, nparents=1, spins_per_parent=1, nsteps=1, ncoils=1,
                                  nadc=1, ncheckpoints=1)
    npools = small["state"].shape[0]
    # Snapshot 2**30 starts at element 3 * npools * 2**30; sample 2**30 of pool 1 at complex
    # element nadc + 2**30.
    checkpoint, sample = 2**30, 2**30
    small.update(action_offsets=np.array([0, 2], np.int32), action_kinds=np.array([3, 2], np.int8),
                 action_payloads=np.zeros(2, np.int64))
    large = {k: v.copy() if isinstance(v, np.ndarray) else v for k, v in small.items()}
    large["action_payloads"] = np.array([checkpoint, sample], np.int64)
    large["checkpoint_states"] = sparse(tmp_path, "checkpoints", np.float64,
                                        (checkpoint + 1, npools, 1, 3))
    large["parent_species_signal"] = sparse(tmp_path, "signal", np.complex128,
                                            (1, npools, 1, sample + 1))
    large["adc_demodulation"] = sparse(tmp_path, "demodulation", np.complex128, (sample + 1,))
    large["adc_demodulation"][sample] = small["adc_demodulation"][0]
    small["checkpoint_states"][...] = 0.0
    small["parent_species_signal"][...] = 0.0

    function(**small)
    function(**large)
    for name in ("state", "transverse_state"):
        assert same_bits(large[name], small[name]), name
    assert same_bits(large["checkpoint_states"][checkpoint], small["checkpoint_states"][0])
    assert same_bits(large["parent_species_signal"][..., sample],
                     small["parent_species_signal"][..., 0])
    assert not large["checkpoint_states"][0].any()
    assert not large["parent_species_signal"][..., 0].any()
    assert all(allocated(large[name]) <= TOUCHED_LIMIT
               for name in ("checkpoint_states", "parent_species_signal", "adc_demodulation"))
