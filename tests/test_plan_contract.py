"""What every plan-block driver promises, tested on all three: the bits of the NumPy path for any
team size and chunking, arrays in any layout (zero strides included), validation in a fixed
order that writes nothing, written arrays that must be writable, empty blocks that change
nothing, lanes that fall back to one spin at a time wherever they would change the order of the
signal's additions, and no access past the end of any array.

Lane blocks are large enough for several tiles per thread, with tiles that straddle parents, a
remainder of spins after the last tile, every transfer form inside one tile, and action streams
whose ADC samples are each written once (the condition for tiles when parents have several spins).
"""

from __future__ import annotations

import numpy as np
import pytest
from conftest import THREAD_COUNTS, fenced, same_bits, sprinkle
from plan_faults import FAULTS_BY_DRIVER
from plan_harness import DRIVER_KEYS, assert_same, call_failing, check, run, run_both

from korvel.plan_blocks import DRIVERS, every_other, zero_stride

TEAMS = THREAD_COUNTS + (7,)


def _mixed_masks(rng, block):
    """Per-spin masks (of four groups) that are, group by group, half set, all set, none set and
    mostly set, so that one tile meets every transfer form."""
    two_pool = "concentration_state" not in block
    for prefix in ("", "concentration_"):
        name = f"{prefix}regular_by_group"
        if name in block:
            nspins = block[name].shape[1]
            block[name] = rng.random((4, nspins)) < np.array([[0.5], [1.0], [0.0], [0.7]])
            block[f"{prefix}regular_mode_by_group"] = (
                np.array([0, 0, 3, 1], np.int32) if two_pool
                else rng.permutation(np.array([0, 0, 2, 1], np.int32)))
    return block


def lane_block(driver: str, rng, *, nparents=7, spins_per_parent=5, nsteps=10, masks=True,
               **options) -> dict:
    """A block for the lanes: ADC samples each written once, signal weights over 16 decades (a
    sum in another order rounds differently), and mixed masks; multi-pool blocks with special
    values unless told otherwise."""
    if driver == "multi-pool":
        options.setdefault("special", 0.05)
    nadc = nsteps + (2 if driver == "two-pool" else 1)
    ncheckpoints = 3 if driver == "two-pool" else 2
    block = DRIVERS[driver].build(rng, nparents=nparents, spins_per_parent=spins_per_parent,
                                  nsteps=nsteps, nadc=nadc, ncheckpoints=ncheckpoints,
                                  actions="unique", **options)
    block["signal_weights"] = 10.0 ** rng.uniform(-8, 8, nparents * spins_per_parent)
    if masks:
        _mixed_masks(rng, block)
    return block


# ---- Team sizes and chunks ---------------------------------------------------------------------

SHAPES = {
    "plain": {},
    "rf per spin": dict(rf_per_spin=True),
    "special values": dict(special=0.05),
    "one spin per parent": dict(nparents=11, spins_per_parent=1, rf_per_spin=True),
    "three spins per parent": dict(nparents=11, spins_per_parent=3, nsteps=9),
}


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("driver", DRIVER_KEYS)
def test_every_team_and_chunking_gives_the_same_bits(rng, driver, shape):
    """Teams of 1 to 64 threads, NaN for NaN the bits of one another, and chunks of 1 and 4
    parents: the NumPy path's bits."""
    block = DRIVERS[driver].build(rng, **SHAPES[shape])
    expected = check(DRIVERS[driver], block, teams=TEAMS, chunks=(1, 4))
    # Components 0 and 1 of the longitudinal states are never touched.
    for name in ("state", "concentration_state"):
        if name in block:
            assert same_bits(expected[name][:, :, :2], block[name][:, :, :2]), name


@pytest.mark.parametrize("spins_per_parent", [1, 3])
@pytest.mark.parametrize("driver", DRIVER_KEYS)
def test_nan_signs_and_payloads_do_not_depend_on_the_team(rng, driver, spins_per_parent):
    """Blocks seeded with NaN of both signs (and infinities whose products make NaN): every team
    runs each spin through the same instructions, so even the NaN that wins where two meet is the
    same. (Against the NumPy path NaNs compare as one: its order is its own.)"""
    options = dict(rf_per_spin=True, special=0.05) if driver == "two-pool" else (
        dict(npools=4) if driver == "multi-pool" else {})
    block = lane_block(driver, rng, nparents=45 // spins_per_parent,
                       spins_per_parent=spins_per_parent, **options)
    for name in ("state", "transverse_state", "concentration_state"):
        if name in block:
            values = sprinkle(rng, block[name], 0.3).reshape(-1).view(np.float64)
            values[rng.random(values.size) < 0.1] = -np.nan
    results = [run(DRIVERS[driver], block, num_threads) for num_threads in (1, 2, 3, 4, 64)]
    assert any(np.isnan(results[0][name]).any() for name in DRIVERS[driver].written)
    for other in results[1:]:
        assert_same(DRIVERS[driver], other, results[0], strict=True)


# ---- Validation ----------------------------------------------------------------------------------

VALIDATION = [pytest.param(driver, fault, implementation,
                           id=f"{driver}-{fault.id}-{implementation}")
              for driver, faults in FAULTS_BY_DRIVER.items() for fault in faults
              for implementation in ("native", "reference")]


@pytest.mark.parametrize("driver, fault, implementation", VALIDATION)
def test_validation_order(rng, driver, fault, implementation):
    """Each fault reports its own message, exactly, before any later one; nothing is written."""
    record = DRIVERS[driver]
    function = record.native() if implementation == "native" else record.reference()
    assert call_failing(function, fault.block(rng), record.written) == fault.message


@pytest.mark.parametrize("driver, name", [(d, name) for d in DRIVER_KEYS
                                          for name in DRIVERS[d].written])
@pytest.mark.parametrize("implementation", ["native", "reference"])
def test_written_arrays_must_be_writable(rng, driver, name, implementation):
    record = DRIVERS[driver]
    block = record.build(rng, nparents=2)
    block[name].flags.writeable = False
    function = record.native() if implementation == "native" else record.reference()
    assert call_failing(function, block, record.written) == f"{name} must be writable"


# ---- Empty blocks --------------------------------------------------------------------------------

EMPTY = {
    "two-pool": [dict()],
    "multi-pool": [dict(spatial_sources=True)],
    "source-interval": [dict(spatial_sources=True), dict(spatial_sources=True, actions=None)],
}


@pytest.mark.parametrize("num_threads", (1, 3))
@pytest.mark.parametrize("empty", ["no steps", "no spins"])
@pytest.mark.parametrize("driver, options", [(d, o) for d in DRIVER_KEYS for o in EMPTY[d]])
def test_empty_blocks_change_nothing(rng, driver, options, empty, num_threads):
    """No steps, or no spins: every array keeps its bytes (NaN payloads included); with no
    spins the group indices are never used, so they are not held against the tables."""
    record = DRIVERS[driver]
    if empty == "no steps":
        block = record.build(rng, nsteps=0, **options)
        for name in ("state", "transverse_state", "concentration_state"):
            if name in block:
                sprinkle(rng, block[name], 0.5)
    else:
        block = record.build(rng, nparents=0, nsteps=3, **options)
        block["longitudinal_groups"][:] = 99
    for reference in (False, True):
        got = run(record, block, num_threads, reference=reference)
        for name, value in block.items():
            if isinstance(value, np.ndarray):
                assert same_bits(got[name], value, strict=True), name


# ---- Layouts: strides, zero strides, masks -------------------------------------------------------


def _reversed(array):
    """The same values as every other element of a wider array, walked backwards."""
    return every_other(array[..., ::-1])[..., ::-1]


LAYOUTS = {
    "every other": every_other,
    "reversed": _reversed,
    "fortran": lambda a: np.asfortranarray(every_other(a)) if a.ndim > 1 else _reversed(a),
    "zero stride along spins": zero_stride,
    "zero stride along groups": lambda a: zero_stride(a, 0),
}
LAYOUT_SHAPES = [
    ("two-pool", dict(rf_per_spin=True, nsteps=8)),
    ("multi-pool", dict(npools=4, rf_per_spin=True, spatial_sources=True, source_mode=3)),
    ("source-interval", dict(spins_per_parent=2, nparents=3, kpl_groups=True,
                             spatial_sources=True, rf_per_spin=True)),
    ("source-interval", dict(actions=None, kpl_groups=True)),
]


@pytest.mark.parametrize("num_threads", (1, 3))
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("driver, shape", LAYOUT_SHAPES)
def test_tables_are_read_through_their_strides(rng, driver, shape, layout, num_threads):
    """Every array the driver reads through its strides (tables, index arrays, the action stream,
    the windows) in another layout, its masks as bytes other than 0 and 1: the bits of the same
    values laid out contiguously (NaN for NaN), and of the NumPy path."""
    record = DRIVERS[driver]
    block = record.build(rng, **shape)
    laid_out = dict(block)
    axis = 0 if layout.endswith("groups") else -1
    for name, value in block.items():
        if isinstance(value, np.ndarray) and name not in record.flat and value.size:
            if value.dtype == np.bool_:
                value = value.view(np.uint8) * 7
            laid_out[name] = LAYOUTS[layout](value)
            block[name] = np.ascontiguousarray(laid_out[name]).astype(block[name].dtype)
            if value.shape[axis] > 1:  # the call really meets another layout
                assert not laid_out[name].flags.c_contiguous, name
    got = run(record, laid_out, num_threads)
    assert_same(record, got, run(record, block, num_threads), strict=True)
    assert_same(record, got, run(record, laid_out, reference=True))


@pytest.mark.parametrize("num_threads", (1, 3))
@pytest.mark.parametrize("driver", DRIVER_KEYS)
def test_zero_stride_tables_run_in_lanes_with_the_bits_of_contiguous_ones(rng, driver,
                                                                          num_threads):
    """Per-spin tables that hold one value per row, passed as zero-stride views (as the host
    passes shared tables) to a block that runs in lanes: the same bits as the same values laid
    out contiguously (NaNs included), and as the NumPy path."""
    record = DRIVERS[driver]
    options = dict(npools=4, spatial_sources=True) if driver == "multi-pool" else (
        dict(spatial_sources=True) if driver == "source-interval" else {})
    block = lane_block(driver, rng, nparents=9, spins_per_parent=5, rf_per_spin=True, **options)
    shared, contiguous = dict(block), dict(block)
    for name in record.per_spin:
        shared[name] = zero_stride(block[name])
        contiguous[name] = np.ascontiguousarray(shared[name])
        assert shared[name].strides[-1] == 0
    got = run(record, shared, num_threads)
    assert_same(record, got, run(record, contiguous, num_threads), strict=True)
    assert_same(record, got, run(record, contiguous, reference=True))


# ---- Lanes and where they fall back --------------------------------------------------------------

TILE_SHAPES = {
    "two-pool": [
        dict(), dict(rf_per_spin=True), dict(special=0.05), dict(special=0.05, rf_per_spin=True),
        dict(spins_per_parent=16, nparents=3, ncoils=3),  # two tiles per parent, a coil left over
        dict(spins_per_parent=1, nparents=37, ncoils=1),
        dict(spins_per_parent=9, nparents=4, ncoils=4, masks=False),
    ],
    "multi-pool": [
        dict(), dict(npools=4, rf_per_spin=True, source_mode=1),
        dict(spatial_sources=True, source_mode=3),
        dict(spins_per_parent=16, nparents=2, ncoils=3, equilibrium=0.0, source_mode=2),
        dict(spins_per_parent=1, nparents=19, npools=4, spatial_sources=True, rf_per_spin=True),
        dict(npools=5),  # more pools than tiles are built for: spin by spin
        dict(nsteps=3, npools=4),  # groups read too rarely to be packed
    ],
    "source-interval": [
        dict(actions=None, nparents=37, spins_per_parent=1, nsteps=9),
        dict(actions=None, nparents=37, spins_per_parent=1, nsteps=9, source_mode=1,
             spatial_sources=True, rf_per_spin=True),
        dict(nparents=37, spins_per_parent=1, nsteps=9, source_mode=2, kpl_groups=True),
        dict(nparents=37, spins_per_parent=1, nsteps=9, source_mode=3, spatial_sources=True,
             equilibrium=0.0),
        dict(nparents=3, spins_per_parent=16, nsteps=9, ncoils=3, rf_per_spin=True),
        dict(nparents=5, spins_per_parent=9, nsteps=9, ncoils=1, kpl_groups=True,
             equilibrium=np.nan),
        dict(nparents=37, spins_per_parent=1, nsteps=5, kpl_groups=True),  # groups read rarely
    ],
}


def _tile_block(driver, rng, shape):
    shape = dict(shape)
    if shape.get("actions", "unique") is None:  # no actions: spins alone, no signal
        block = DRIVERS[driver].build(rng, ngroups=4, **shape)
        return _mixed_masks(rng, block)
    return lane_block(driver, rng, **shape)


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
@pytest.mark.parametrize("driver, shape", [
    pytest.param(d, s, id=f"{d}-{i}") for d in DRIVER_KEYS for i, s in enumerate(TILE_SHAPES[d])])
def test_tiles_match_the_reference(rng, driver, shape, num_threads):
    block = _tile_block(driver, rng, shape)
    assert_same(DRIVERS[driver], *run_both(DRIVERS[driver], block, num_threads))


def _repeat_a_sample(block, how):
    """Make one ADC sample be written twice per spin: by a second ADC action, or by a bracket
    that overlaps the one before."""
    if how == "overlap":
        block["action_offsets"][3] = block["action_offsets"][1]
    else:
        adc = np.flatnonzero(block["action_kinds"] == 2)
        block["action_payloads"][adc[-1]] = block["action_payloads"][adc[0]]
    block["transverse_state"][:, ::2] *= 1e16  # large and small terms in one sum
    return block


@pytest.mark.parametrize("how", ["second action", "overlap"])
@pytest.mark.parametrize("driver", DRIVER_KEYS)
def test_repeated_samples_keep_the_spin_order(rng, driver, how):
    """A sample written twice per spin must sum spin by spin: 0.1 + 1e16 - 1e16 style sums would
    come out differently in tile order."""
    block = lane_block(driver, rng, nparents=3, spins_per_parent=12, nsteps=6, special=0.0)
    block = _repeat_a_sample(block, how)
    assert_same(DRIVERS[driver], *run_both(DRIVERS[driver], block, 2))


@pytest.mark.parametrize("num_threads", (1, 3))
@pytest.mark.parametrize("driver", DRIVER_KEYS)
def test_one_spin_per_parent_allows_repeated_samples(rng, driver, num_threads):
    block = lane_block(driver, rng, nparents=29, spins_per_parent=1)
    block["action_payloads"][block["action_kinds"] == 2] = 1  # every ADC into sample 1
    assert_same(DRIVERS[driver], *run_both(DRIVERS[driver], block, num_threads))


STRIDED_TABLES = {
    "two-pool": ("kpl_by_group", "exp_a_by_group", "difference_by_group", "regular_by_group",
                 "rf_axis_x", "rf_cosine"),
    "multi-pool": ("j0_by_group",),
    "source-interval": ("f1_a_by_group",),
}


@pytest.mark.parametrize("driver", DRIVER_KEYS)
def test_strided_tables_run_one_spin_at_a_time(rng, driver):
    """Tables given as every other spin of a wider array: the NumPy path's bits."""
    block = lane_block(driver, rng, rf_per_spin=True)
    strided = dict(block)
    for name in STRIDED_TABLES[driver]:
        strided[name] = every_other(block[name])
        assert not strided[name].flags.c_contiguous
    assert_same(DRIVERS[driver], run(DRIVERS[driver], strided, 3),
                run(DRIVERS[driver], block, reference=True))


# ---- Arrays that end at a fence ------------------------------------------------------------------

FENCED_OPTIONS = {
    "two-pool": dict(rf_per_spin=True),
    "multi-pool": dict(rf_per_spin=True, spatial_sources=True, npools=4),
    "source-interval": dict(rf_per_spin=True, spatial_sources=True, kpl_groups=True),
}


@pytest.mark.parametrize("adc", [True, False])
@pytest.mark.parametrize("nspins", [1, 3, 5, 8, 9, 17])
@pytest.mark.parametrize("driver", DRIVER_KEYS)
def test_tiles_stay_inside_arrays_that_end_at_a_fence(rng, driver, nspins, adc):
    """Every array ends at an inaccessible page, so a tile that reads or writes one lane past a
    table's last spin faults; spin counts below, at and just past every lane width, one spin per
    parent."""
    record = DRIVERS[driver]
    block = lane_block(driver, rng, nparents=nspins, spins_per_parent=1,
                       **FENCED_OPTIONS[driver])
    if not adc:  # no ADC action; where the driver allows it, receive arrays that cover no spin
        block["action_kinds"][block["action_kinds"] == 2] = 4
        if driver == "multi-pool":
            block["signal_weights"] = np.empty(0)
            block["rx_sensitivities"] = np.empty((block["rx_sensitivities"].shape[0], 0), complex)
    native = {k: fenced(v) if isinstance(v, np.ndarray) else v for k, v in block.items()}
    native["num_threads"] = 2
    record.native()(**native)
    assert_same(record, native, run(record, block, reference=True))

