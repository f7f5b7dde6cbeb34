"""The lane paths of the plan drivers and the longitudinal block: spins advanced several at a time
(one per vector lane) give the reference's bits for every team size, and fall back to one spin at
a time wherever tiles would change the order of the signal's additions.

Blocks here are large enough for several tiles per thread, with tiles that straddle parents, a
remainder of spins after the last tile, every transfer form inside one tile, and action streams
whose ADC samples are each written once (the condition for tiles when parents have several spins).
"""

from __future__ import annotations

import numpy as np
import pytest
import test_multi_pool
import test_plan
import test_source_interval
from conftest import THREAD_COUNTS, copy_arrays, fenced, same_bits, sprinkle

from korvel import pelorine, reference


def unique_samples_stream(rng, nsteps, nadc, ncheckpoints, crushers=True):
    """Per step: maybe a crusher, an ADC action with its own sample, maybe a checkpoint, and an
    ignored kind; every ADC sample appears once, so tiles keep the order of the additions."""
    kinds, payloads, offsets = [0], [7], [1]  # one entry before the first bracket
    samples = rng.permutation(nadc)
    for step in range(nsteps):
        if crushers and step % 3 == 1:
            kinds.append(1), payloads.append(-5)
        if step < nadc:
            kinds.append(2), payloads.append(int(samples[step]))
        if step % 4 == 2:
            kinds.append(3), payloads.append(int(rng.integers(0, ncheckpoints)))
        kinds.append(4), payloads.append(10**9)
        offsets.append(len(kinds))
    return dict(action_offsets=np.array(offsets, np.int32), action_kinds=np.array(kinds, np.int8),
                action_payloads=np.array(payloads, np.int64))


def two_pool_block(rng, nparents=7, spins_per_parent=5, nsteps=10, spatial=False, ncoils=2,
                   special=False, mixed_masks=True):
    nadc, ncheckpoints = nsteps + 2, 3
    block = test_plan.make_block(rng, nparents=nparents, spins_per_parent=spins_per_parent,
                                 nsteps=nsteps, spatial=spatial, ncoils=ncoils, nadc=nadc,
                                 ncheckpoints=ncheckpoints, special=special)
    block.update(unique_samples_stream(rng, nsteps, nadc, ncheckpoints))
    # Weights over 16 decades: a sum in another order rounds differently.
    block["signal_weights"] = 10.0 ** rng.uniform(-8, 8, nparents * spins_per_parent)
    if mixed_masks:  # within one tile: all regular, none regular, some
        nspins = nparents * spins_per_parent
        block["regular_by_group"] = rng.random((4, nspins)) < np.array([[0.5], [1.0], [0.0], [0.7]])
        block["regular_mode_by_group"] = np.array([0, 0, 3, 1], np.int32)
    return block


def run_two_pool(block, num_threads):
    return test_plan.run_both(block, num_threads)


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
@pytest.mark.parametrize("shape", [
    dict(), dict(spatial=True), dict(special=True), dict(special=True, spatial=True),
    dict(spins_per_parent=16, nparents=3, ncoils=3),  # two tiles per parent, a coil left over
    dict(spins_per_parent=1, nparents=37, ncoils=1),
    dict(spins_per_parent=9, nparents=4, ncoils=4, mixed_masks=False),
])
def test_two_pool_tiles_match_the_reference(rng, num_threads, shape):
    block = two_pool_block(rng, **shape)
    native, python = run_two_pool(block, num_threads)
    test_plan.assert_same(native, python)


@pytest.mark.parametrize("num_threads", (1, 3))
def test_two_pool_one_spin_per_parent_allows_repeated_samples(rng, num_threads):
    block = two_pool_block(rng, spins_per_parent=1, nparents=29)
    block["action_payloads"][block["action_kinds"] == 2] = 1  # every ADC into sample 1
    native, python = run_two_pool(block, num_threads)
    test_plan.assert_same(native, python)


@pytest.mark.parametrize("overlap", [False, True])
def test_two_pool_repeated_samples_keep_the_spin_order(rng, overlap):
    """A sample written twice per spin must sum spin by spin: 0.1 + 1e16 - 1e16 style sums would
    come out differently in tile order."""
    block = two_pool_block(rng, nparents=3, spins_per_parent=12, nsteps=6)
    if overlap:  # the repetition comes only from overlapping brackets
        offsets = block["action_offsets"]
        offsets[3] = offsets[1]
    else:
        adc = np.flatnonzero(block["action_kinds"] == 2)
        block["action_payloads"][adc[-1]] = block["action_payloads"][adc[0]]
    block["transverse_state"][:, ::2] *= 1e16  # large and small terms in one sum
    native, python = run_two_pool(block, 2)
    test_plan.assert_same(native, python)


def run_strided(native_function, reference_function, block, strided, written, num_threads):
    """The native function given the tables named in ``strided`` as views of every other spin
    of a wider array (the same values at a stride of two elements), the reference copies."""
    native = copy_arrays(block)
    expected = copy_arrays(block)
    for name in strided:
        native[name] = np.repeat(block[name], 2, axis=-1)[..., ::2]
        assert not native[name].flags.c_contiguous
    native["num_threads"] = expected["num_threads"] = num_threads
    native_function(**native)
    reference_function(**expected)
    for name in written:
        assert same_bits(native[name], expected[name]), name


def test_two_pool_strided_tables_run_one_spin_at_a_time(rng):
    run_strided(pelorine.run_dynamic_plan_block_no_inflow,
                reference.run_dynamic_plan_block_no_inflow, two_pool_block(rng, spatial=True),
                ("kpl_by_group", "exp_a_by_group", "difference_by_group", "regular_by_group",
                 "rf_axis_x", "rf_cosine"), test_plan.WRITTEN, 3)


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


def multi_pool_block(rng, npools=3, nparents=5, spins_per_parent=7, nsteps=8, **options):
    import test_multi_pool
    nadc, ncheckpoints = nsteps + 1, 2
    block = test_multi_pool.make_block(rng, npools=npools, nparents=nparents,
                                       spins_per_parent=spins_per_parent, nsteps=nsteps,
                                       nadc=nadc, ncheckpoints=ncheckpoints, **options)
    block.update(unique_samples_stream(rng, nsteps, nadc, ncheckpoints))
    block["signal_weights"] = 10.0 ** rng.uniform(-8, 8, nparents * spins_per_parent)
    return block


def run_multi_pool(block, num_threads):
    import test_multi_pool
    native, expected = test_multi_pool.run_both(block, num_threads)
    test_multi_pool.assert_same(native, expected)


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
@pytest.mark.parametrize("shape", [
    dict(), dict(npools=4, width=35, source_mode=1), dict(spatial=True, source_mode=3),
    dict(spins_per_parent=16, nparents=2, ncoils=3, equilibrium=0.0, source_mode=2),
    dict(spins_per_parent=1, nparents=19, npools=4, spatial=True, width=19),
    dict(npools=5),  # more pools than tiles are built for: spin by spin
    dict(nsteps=3, npools=4),  # groups read too rarely to be packed
])
def test_multi_pool_tiles_match_the_reference(rng, num_threads, shape):
    run_multi_pool(multi_pool_block(rng, **shape), num_threads)


def test_multi_pool_repeated_samples_and_strided_tables_run_spin_by_spin(rng):
    block = multi_pool_block(rng, spins_per_parent=9, nparents=3, special=False)
    adc = np.flatnonzero(block["action_kinds"] == 2)
    block["action_payloads"][adc[-1]] = block["action_payloads"][adc[0]]
    block["transverse_state"][:, ::2] *= 1e16
    run_multi_pool(block, 2)
    run_strided(pelorine.run_dynamic_plan_block_multi_pool,
                reference.run_dynamic_plan_block_multi_pool, multi_pool_block(rng),
                ("j0_by_group",), test_multi_pool.MODIFIED, 3)


def source_interval_block(rng, nvoxels=37, nsteps=9, spins_per_parent=1, plan=True,
                          mixed_masks=True, **options):
    import test_source_interval
    nadc, ncheckpoints = nsteps + 1, 2
    block = test_source_interval.make_block(rng, nvoxels=nvoxels, nsteps=nsteps, ngroups=4,
                                            plan=plan, spins_per_parent=spins_per_parent,
                                            nadc=nadc, ncheckpoints=ncheckpoints, **options)
    if plan:
        block.update(unique_samples_stream(rng, nsteps, nadc, ncheckpoints))
        block["signal_weights"] = 10.0 ** rng.uniform(-8, 8, nvoxels)
    if mixed_masks:  # every form inside one tile, for both transfers
        for prefix in ("", "concentration_"):
            block[f"{prefix}regular_by_group"] = (
                rng.random((4, nvoxels)) < np.array([[0.5], [1.0], [0.0], [0.7]]))
            block[f"{prefix}regular_mode_by_group"] = rng.permutation(
                np.array([0, 0, 2, 1], np.int32))
    return block


def run_source_interval(block, num_threads):
    import test_source_interval as t
    expected = t.run(t.REFERENCE, block)
    got = t.run(t.NATIVE, block, num_threads=num_threads)
    t.assert_same_outputs(got, expected)


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
@pytest.mark.parametrize("shape", [
    dict(plan=False, source_mode=0), dict(plan=False, source_mode=1, spatial=True, width=37),
    dict(source_mode=2, kpl_groups=True), dict(source_mode=3, spatial=True, equilibrium=0.0),
    dict(nvoxels=48, spins_per_parent=16, ncoils=3, width=48),
    dict(nvoxels=45, spins_per_parent=9, ncoils=1, kpl_groups=True, equilibrium=np.nan),
    dict(nsteps=5, kpl_groups=True),  # groups read too rarely to be packed
])
def test_source_interval_tiles_match_the_reference(rng, num_threads, shape):
    run_source_interval(source_interval_block(rng, **shape), num_threads)


def test_source_interval_repeated_samples_and_strided_tables_run_one_by_one(rng):
    block = source_interval_block(rng, nvoxels=36, spins_per_parent=12)
    adc = np.flatnonzero(block["action_kinds"] == 2)
    block["action_payloads"][adc[-1]] = block["action_payloads"][adc[0]]
    block["transverse_state"][:, ::2] *= 1e16
    run_source_interval(block, 2)
    run_strided(pelorine.apply_dynamic_rf_block_with_concentration_inflow,
                reference.apply_dynamic_rf_block_with_concentration_inflow,
                source_interval_block(rng), ("f1_a_by_group",), test_source_interval.OUTPUTS, 3)


def _without_adc(block, receive_may_be_empty):
    """No ADC action; where the driver allows it, receive arrays that cover no spin."""
    block["action_kinds"][block["action_kinds"] == 2] = 4
    if receive_may_be_empty:
        block["signal_weights"] = np.empty(0)
        block["rx_sensitivities"] = np.empty((block["rx_sensitivities"].shape[0], 0), complex)
    return block


# Each: a driver, its NumPy path, the arrays it writes, and a block of `nspins` spins (one per
# parent), with ADC actions or without.
FENCED_DRIVERS = {
    "two-pool": (pelorine.run_dynamic_plan_block_no_inflow,
                 reference.run_dynamic_plan_block_no_inflow, test_plan.WRITTEN,
                 lambda rng, n: two_pool_block(rng, nparents=n, spins_per_parent=1, spatial=True)),
    "multi-pool": (pelorine.run_dynamic_plan_block_multi_pool,
                   reference.run_dynamic_plan_block_multi_pool, test_multi_pool.MODIFIED,
                   lambda rng, n: multi_pool_block(rng, nparents=n, spins_per_parent=1,
                                                   spatial=True, width=n, npools=4)),
    "source-interval": (pelorine.apply_dynamic_rf_block_with_concentration_inflow,
                        reference.apply_dynamic_rf_block_with_concentration_inflow,
                        test_source_interval.OUTPUTS,
                        lambda rng, n: source_interval_block(rng, nvoxels=n, width=n,
                                                             spatial=True, kpl_groups=True)),
}


@pytest.mark.parametrize("adc", [True, False])
@pytest.mark.parametrize("nspins", [1, 3, 5, 8, 9, 17])
@pytest.mark.parametrize("driver", FENCED_DRIVERS)
def test_tiles_stay_inside_arrays_that_end_at_a_fence(rng, driver, nspins, adc):
    """Every array ends at an inaccessible page, so a tile that reads or writes one lane past a
    table's last spin faults; spin counts below, at and just past every lane width."""
    native_function, reference_function, written, make = FENCED_DRIVERS[driver]
    block = make(rng, nspins)
    if not adc:
        block = _without_adc(block, receive_may_be_empty=driver == "multi-pool")
    native = {k: fenced(v) if isinstance(v, np.ndarray) else v for k, v in block.items()}
    expected = copy_arrays(block)
    native["num_threads"] = expected["num_threads"] = 2
    native_function(**native)
    reference_function(**expected)
    for name in written:
        assert same_bits(native[name], expected[name]), name


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
    """This file's tests again in a process whose lane kernels are capped at a narrower
    instruction set (4 or 2 lanes), so that every variant of the build meets the reference."""
    import os
    import subprocess
    import sys
    if os.environ.get("KORVEL_SIMD"):
        pytest.skip("already capped by the environment")
    here = os.path.dirname(os.path.abspath(__file__))
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-x",
         "-k", "not narrower_variants", os.path.join(here, "test_lanes.py")],
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


# Each: a driver, the arrays it writes, the arrays to seed with NaN, and a block builder.
NAN_DRIVERS = {
    "two-pool": (pelorine.run_dynamic_plan_block_no_inflow, test_plan.WRITTEN,
                 ("state", "transverse_state"),
                 lambda rng, spp: two_pool_block(rng, nparents=45 // spp, spins_per_parent=spp,
                                                 spatial=True, special=True)),
    "multi-pool": (pelorine.run_dynamic_plan_block_multi_pool, test_multi_pool.MODIFIED,
                   ("state", "transverse_state", "concentration_state"),
                   lambda rng, spp: multi_pool_block(rng, nparents=45 // spp, spins_per_parent=spp,
                                                     npools=4)),
    "source-interval": (pelorine.apply_dynamic_rf_block_with_concentration_inflow,
                        test_source_interval.OUTPUTS,
                        ("state", "transverse_state", "concentration_state"),
                        lambda rng, spp: source_interval_block(rng, nvoxels=45,
                                                               spins_per_parent=spp)),
}


@pytest.mark.parametrize("spins_per_parent", [1, 3])
@pytest.mark.parametrize("driver", NAN_DRIVERS)
def test_nan_signs_and_payloads_do_not_depend_on_the_team(rng, driver, spins_per_parent):
    """Blocks seeded with NaN of both signs (and infinities whose products make NaN): every team
    runs each spin through the same instructions, so even the NaN that wins where two meet is the
    same. (Against the NumPy path NaNs compare as one: its order is its own.)"""
    function, written, seeded, make = NAN_DRIVERS[driver]
    block = make(rng, spins_per_parent)
    for name in seeded:
        values = sprinkle(rng, block[name], 0.3).reshape(-1).view(np.float64)
        values[rng.random(values.size) < 0.1] = -np.nan
    results = []
    for num_threads in (1, 2, 3, 4, 64):
        call = copy_arrays(block)
        call["num_threads"] = num_threads
        function(**call)
        results.append(call)
    assert any(np.isnan(results[0][name]).any() for name in written)
    for other in results[1:]:
        for name in written:
            assert same_bits(other[name], results[0][name], strict=True), (
                name, other["num_threads"])


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


# Each: a driver, its NumPy path, the arrays it writes, a block builder (shared with the NaN test's
# drivers), and the per-spin tables the host may pass as the same row for every spin.
SHARED_TABLES = {
    "two-pool": ("kpl_by_group", "exp_a_by_group", "difference_by_group", "regular_by_group",
                 "rf_axis_x", "rf_cosine"),
    "multi-pool": ("exp_precursor_by_group", "j0_by_group", "transverse_factors",
                   "spatial_source_values", "inflow_delivery"),
    "source-interval": ("kpl", "exp_a_by_group", "f0_a_by_group", "regular_by_group",
                        "concentration_regular_by_group", "inflow_delivery"),
}
SHARED_BLOCKS = {
    "two-pool": lambda rng: two_pool_block(rng, nparents=9, spins_per_parent=5, spatial=True),
    "multi-pool": lambda rng: multi_pool_block(rng, nparents=9, spins_per_parent=5, npools=4,
                                               spatial=True, width=45),
    "source-interval": lambda rng: source_interval_block(rng, nvoxels=45, spins_per_parent=5,
                                                         spatial=True, width=45),
}
REFERENCES = {
    "two-pool": reference.run_dynamic_plan_block_no_inflow,
    "multi-pool": reference.run_dynamic_plan_block_multi_pool,
    "source-interval": reference.apply_dynamic_rf_block_with_concentration_inflow,
}


@pytest.mark.parametrize("num_threads", (1, 3))
@pytest.mark.parametrize("driver", SHARED_TABLES)
def test_zero_stride_tables_run_in_lanes_with_the_bits_of_contiguous_ones(rng, driver,
                                                                          num_threads):
    """Per-spin tables that hold one value per row, passed as zero-stride views: the same bits
    as the same values laid out contiguously (NaNs included), and as the NumPy path."""
    function, written, _, _ = NAN_DRIVERS[driver]
    block = SHARED_BLOCKS[driver](rng)
    shared, contiguous = dict(block), dict(block)
    for name in SHARED_TABLES[driver]:
        one = np.broadcast_to(block[name][..., :1], block[name].shape)
        shared[name], contiguous[name] = one, np.ascontiguousarray(one)
        assert shared[name].strides[-1] == 0
    runs = []
    for arguments in (shared, contiguous):
        call = copy_arrays(arguments)
        call["num_threads"] = num_threads
        function(**call)
        runs.append(call)
    expected = copy_arrays(contiguous)
    REFERENCES[driver](**expected)
    for name in written:
        assert same_bits(runs[0][name], runs[1][name], strict=True), name
        assert same_bits(runs[0][name], expected[name]), name
