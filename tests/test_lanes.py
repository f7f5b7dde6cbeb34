"""The lane path of the longitudinal block and the inflow step: voxels advanced several at a
time (one per vector lane) give the reference's bits for every team size and stay inside arrays
that end at a fence; and every lane test again on the narrower instruction sets. The plan
drivers' lanes are tested in test_plan_contract.py."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import THREAD_COUNTS, copy_arrays, fenced, same_bits, sprinkle

from korvel import pelorine, reference


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
@pytest.mark.parametrize("mode", (-1, 0, 1))
def test_longitudinal_block_tiles_match_the_reference(rng, num_threads, mode):
    """Runs of regular, duration and mixed mask bytes, so that tiles of every form occur."""
    nvoxels, ngroups, nsteps = 83, 3, 7
    regular = np.concatenate([rng.choice(np.array([1, 2, 255], np.uint8), 24),
                              np.zeros(24, np.uint8),
                              rng.choice(np.array([0, 1, 255], np.uint8), nvoxels - 48)])
    difference = rng.uniform(-2.0, 2.0, nvoxels)
    difference[::7] = 0.0
    inputs = dict(
        state=sprinkle(rng, rng.uniform(-2.0, 2.0, (2, nvoxels, 3))),
        kpl=sprinkle(rng, rng.uniform(-2.0, 2.0, nvoxels)),
        exp_a_by_group=sprinkle(rng, rng.uniform(-2.0, 2.0, (ngroups, nvoxels))),
        exp_b_by_group=rng.uniform(0.5, 1.0, ngroups), difference=difference, regular=regular,
        step_groups=rng.integers(0, ngroups, nsteps).astype(np.int32),
        duration_by_group=rng.uniform(0.1, 1.0, ngroups), regular_mode=mode,
        num_threads=num_threads,
    )
    native = copy_arrays(inputs)
    pelorine.apply_longitudinal_block_no_inflow(**native)
    reference.apply_longitudinal_block_no_inflow(**inputs)
    assert same_bits(native["state"], inputs["state"])


@pytest.mark.parametrize("nvoxels", [1, 3, 5, 8, 9, 17])
def test_longitudinal_tiles_stay_inside_arrays_that_end_at_a_fence(rng, nvoxels):
    inputs = dict(
        state=rng.uniform(-2.0, 2.0, (2, nvoxels, 3)), kpl=rng.uniform(0.0, 0.1, nvoxels),
        exp_a_by_group=rng.uniform(0.5, 1.0, (2, nvoxels)), exp_b_by_group=np.array([0.9, 0.8]),
        difference=rng.uniform(0.01, 0.1, nvoxels), regular=rng.integers(0, 2, nvoxels, np.uint8),
        step_groups=np.array([1, 0, 1], np.int32), duration_by_group=np.array([0.5, 0.25]),
        regular_mode=0, num_threads=2,
    )
    native = {k: fenced(v) if isinstance(v, np.ndarray) else v for k, v in inputs.items()}
    pelorine.apply_longitudinal_block_no_inflow(**native)
    reference.apply_longitudinal_block_no_inflow(**inputs)
    assert same_bits(native["state"], inputs["state"])


@pytest.mark.parametrize("variant", ["avx2", "baseline"])
def test_narrower_variants_match_the_reference(variant):
    """This file's tests and the plan drivers' contract tests (but their validation) again in a
    process whose lane kernels are capped at a narrower instruction set (4 or 2 lanes), so that
    every variant of the build meets the reference."""
    import os
    import subprocess
    import sys
    if os.environ.get("KORVEL_SIMD"):
        pytest.skip("already capped by the environment")
    here = os.path.dirname(os.path.abspath(__file__))
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-x",
         "-k", "not narrower_variants and not validation and not writable",
         os.path.join(here, "test_lanes.py"), os.path.join(here, "test_plan_contract.py")],
        cwd=here, env={**os.environ, "KORVEL_SIMD": variant}, capture_output=True, text=True,
        timeout=600)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]


@pytest.mark.parametrize("nvoxels", [1, 3, 5, 8, 9, 17])
def test_inflow_step_tiles_stay_inside_arrays_that_end_at_a_fence(rng, nvoxels):
    import test_longitudinal
    inputs = test_longitudinal.inflow_inputs(rng, n=nvoxels)
    inputs["num_threads"] = 2
    native = {k: fenced(v) if isinstance(v, np.ndarray) else v for k, v in inputs.items()}
    pelorine.apply_longitudinal_step_with_concentration_inflow(**native)
    reference.apply_longitudinal_step_with_concentration_inflow(**inputs)
    for name in ("state", "concentration_state"):
        assert same_bits(native[name], inputs[name]), name


@pytest.mark.parametrize("a, b, loose, strict", [
    (np.array([np.nan]), np.array([-np.nan]), True, False),
    (np.array([np.nan]), np.array([np.nan]), True, True),
    (np.array([0.0]), np.array([-0.0]), False, False),
    (np.array([complex(1, np.nan)]), np.array([complex(1, -np.nan)]), True, False),
    (np.frombuffer(np.array([0x7FF8000000000001], np.uint64).tobytes(), np.float64),
     np.array([np.nan]), True, False),  # a payload apart
    (np.array([1, 2], np.int32), np.array([1, 2], np.int64), False, False),
])
def test_same_bits_strict_mode_tells_nans_apart(a, b, loose, strict):
    assert same_bits(a, b) is loose
    assert same_bits(a, b, strict=True) is strict
