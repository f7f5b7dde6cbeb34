"""Per-spin group tables broadcast over the spins (zero spin stride) reach the lanes only through
the packed copy of a tile's rows; a block whose groups do not fit that copy, or far outnumber its
steps, runs one spin at a time. Every case keeps the reference's bits, as do the same values laid
out contiguously."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import same_bits
from plan_harness import assert_same, run_both

from korvel.plan_blocks import TWO_POOL, two_pool_block

ROWS = ("kpl_by_group", "exp_a_by_group", "difference_by_group", "regular_by_group")
PER_GROUP = ("exp_b_by_group", "duration_by_group", "regular_mode_by_group")


def with_groups(block, ngroups, broadcast):
    """The block's group tables repeated cyclically to `ngroups` groups, each per-spin table one
    value per group (a zero-stride view, or contiguous); the steps read the last groups."""
    block = dict(block)
    nspins, nsteps = block["state"].shape[1], len(block["longitudinal_groups"])
    for name in ROWS:
        column = np.resize(block[name][:, :1], (ngroups, 1))
        shared = np.broadcast_to(column, (ngroups, nspins))
        block[name] = shared if broadcast else np.ascontiguousarray(shared)
    for name in PER_GROUP:
        block[name] = np.resize(block[name], ngroups)
    block["longitudinal_groups"] = (ngroups - 1 - np.arange(nsteps) % 4).astype(np.int32)
    return block


# Packed; more than four groups per step (one spin at a time); more groups than the stack copy
# holds at eight lanes (one spin at a time there, packed at two or four).
@pytest.mark.parametrize("ngroups, nsteps", [(4, 12), (60, 12), (200, 50)])
@pytest.mark.parametrize("num_threads", [1, 3])
def test_broadcast_rows_keep_the_bits_for_any_group_count(rng, ngroups, nsteps, num_threads):
    base = two_pool_block(rng, nparents=9, spins_per_parent=5, nsteps=nsteps, rf_per_spin=True,
                          actions="unique")
    outputs = []
    for broadcast in (True, False):
        block = with_groups(base, ngroups, broadcast)
        assert (block["kpl_by_group"].strides[-1] == 0) == broadcast
        native, python = run_both(TWO_POOL, block, num_threads)
        assert_same(TWO_POOL, native, python)
        outputs.append(native)
    for name in TWO_POOL.written:
        assert same_bits(outputs[0][name], outputs[1][name]), name
