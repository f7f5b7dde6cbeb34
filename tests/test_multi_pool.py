"""The multi-pool plan block: bit-identity with the NumPy reference, validation, added checks."""

from __future__ import annotations

import numpy as np
import pytest

from conftest import THREAD_COUNTS, copy_arrays, same_bits, sprinkle
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
    )
    if spatial:  # otherwise left to its default
        block["spatial_source_values"] = rng.uniform(0, 2, (8, nsteps, nspins))
    if special:
        for name in ("state", "transverse_state", "concentration_state", "j0_by_group",
                     "inflow_delivery", "exp_precursor_by_group"):
            sprinkle(rng, block[name], 0.05)
    return block


def copy_block(block):
    return copy_arrays(block)


def run_both(block, num_threads):
    native, expected = copy_block(block), copy_block(block)
    native["num_threads"] = num_threads
    pelorine.run_dynamic_plan_block_multi_pool(**native)
    reference.run_dynamic_plan_block_multi_pool(**expected)
    return native, expected


def assert_same(native, expected, names=MODIFIED):
    for name in names:
        assert same_bits(native[name], expected[name]), name


TEAMS = THREAD_COUNTS + (7,)


@pytest.mark.parametrize("num_threads", TEAMS)
@pytest.mark.parametrize("npools", [3, 5])
@pytest.mark.parametrize("source_mode", [0, 1, 2, 3])
def test_matches_reference(rng, num_threads, npools, source_mode):
    block = make_block(rng, npools=npools, source_mode=source_mode, special=False)
    native, expected = run_both(block, num_threads)
    assert_same(native, expected)
    assert not same_bits(native["state"], block["state"])
    for name in ("state", "concentration_state"):  # only Mz and the concentration move
        assert same_bits(native[name][:, :, :2], block[name][:, :, :2])


VARIANTS = {
    "spatial rf": dict(width=8),
    "spatial sources": dict(spatial=True, source_mode=0),
    "spatial sources mode 3": dict(spatial=True, source_mode=3, width=8),
    "special values": dict(npools=4, special=True),
    "equilibrium +0": dict(equilibrium=0.0, special=True),
    "equilibrium -0": dict(equilibrium=-0.0, special=True),
    "equilibrium nan": dict(equilibrium=np.nan),
    "equilibrium inf": dict(equilibrium=-np.inf, source_mode=1),
    "one spin per parent": dict(nparents=7, spins_per_parent=1, width=7),
    "many spins per parent": dict(nparents=2, spins_per_parent=5, ncoils=4, nadc=6),
    "one spin, axis form": dict(nparents=1, spins_per_parent=1, width=1),
    "no steps": dict(nsteps=0),
    "long block": dict(nsteps=40, ngroups=5, nrf_groups=4, npools=6),
    "no coils": dict(ncoils=0, nadc=2),
    "crushers off": dict(spatial=True),
}


@pytest.mark.parametrize("num_threads", TEAMS)
@pytest.mark.parametrize("variant", VARIANTS)
def test_variants_match_reference(rng, variant, num_threads):
    block = make_block(rng, **VARIANTS[variant])
    if variant == "crushers off":
        block["ideal_crushers"] = False
    assert_same(*run_both(block, num_threads))


def _strided(array):
    """The same values in a view that is not C-contiguous."""
    wide = np.zeros(array.shape[:-1] + (2 * array.shape[-1],), array.dtype)
    view = wide[..., ::2]
    view[...] = array
    return view


@pytest.mark.parametrize("num_threads", [1, 3])
def test_tables_read_through_strides(rng, num_threads):
    block = make_block(rng, npools=4, width=8, special=False)
    for name, value in block.items():
        if isinstance(value, np.ndarray) and name not in MODIFIED[:3] and value.ndim >= 1:
            block[name] = _strided(value) if value.shape[-1] else value
    block["exp_products_by_group"] = np.broadcast_to(block["exp_products_by_group"][:1], (3, 3))
    block["conversion_rates_by_group"] = np.broadcast_to(
        block["conversion_rates_by_group"][:, :, :1], (3, 3, 8))
    assert_same(*run_both(block, num_threads))


def test_spatial_sources_leave_windows_unread(rng):
    block = make_block(rng, spatial=True)
    for name in WINDOWS:
        block[name] = np.empty(0)
    assert_same(*run_both(block, 2))


def _exact_block(equilibrium=0.0):
    """One spin, one step, no sources, no RF, unit factors; every table zero but duration."""
    block = make_block(np.random.default_rng(5), npools=3, nparents=1, spins_per_parent=1,
                       nsteps=1, ngroups=1, source_mode=2, equilibrium=equilibrium,
                       special=False)
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


def _stream(block):
    """Step 0: an ADC sample, a checkpoint and a crusher; the other steps have no actions."""
    nsteps = block["longitudinal_groups"].shape[0]
    block["action_offsets"] = np.array([0] + [3] * nsteps, np.int32)
    block["action_kinds"] = np.array([2, 3, 1], np.int8)
    block["action_payloads"] = np.array([0, 0, 0], np.int64)
    return block


def _set(name, value):
    return lambda b: b.update({name: value(b[name]) if callable(value) else value})


def _entry(name, index, value):
    def change(b):
        b[name][index] = value
    return change


def _both(*changes):
    def change(b):
        for c in changes:
            c(b)
    return change


# In the order the block reports them; every fault alone, and with the next one present.
FAULTS = [
    ("multi-pool state must have shape (>=3, nspins, 3)", _set("state", lambda a: a[:2])),
    ("transverse state must match multi-pool state",
     _set("transverse_state", lambda a: a[:, :-1])),
    ("concentration state must match multi-pool state",
     _set("concentration_state", lambda a: a[:, :, :2])),
    ("conversion tables must contain every product and spin",
     _set("conversion_rates_by_group", lambda a: a[:, :, :-1])),
    ("parent/spin dimensions are inconsistent", _set("spins_per_parent", 3)),
    ("parent signal shape is inconsistent", _set("rx_sensitivities", lambda a: a[:1])),
    ("action offsets must bracket every plan step", _set("action_offsets", lambda a: a[:-1])),
    ("source_mode must be between zero and three", _set("source_mode", -1)),
    ("num_threads must be positive", _set("num_threads", 0)),
    ("RF coefficient width must be one or nspins", _set("rf_axis_x", np.zeros((2, 2)))),
    ("state arrays must be C-contiguous", _set("concentration_state", _strided)),
    ("transverse_factors must have shape (nfactor_groups, npools, nspins)",
     _set("transverse_factors", lambda a: a[:, :2])),
    ("f1_precursor_by_group must have nspins columns",
     _set("f1_precursor_by_group", lambda a: a[:, :-1])),
    ("concentration_exp_products_by_group must have nproducts columns",
     _set("concentration_exp_products_by_group", lambda a: a[:, :1])),
    ("j1_by_group must have nproducts rows per group", _set("j1_by_group", lambda a: a[:, :1])),
    ("concentration_j0_by_group must have nspins columns",
     _set("concentration_j0_by_group", lambda a: a[:, :, :-1])),
    ("rf_one_minus_cosine must have the shape of rf_axis_x",
     _set("rf_one_minus_cosine", np.zeros((2, 2)))),
    ("inflow_delivery must have an entry for every spin",
     _set("inflow_delivery", lambda a: a[:-1])),
    ("polarization_second_end must have an entry for every plan step",
     _set("polarization_second_end", lambda a: a[:-1])),
    ("longitudinal_groups entries must index rows of duration_by_group",
     _both(_entry("longitudinal_groups", 0, 2), _set("duration_by_group", lambda a: a[:2]))),
    ("second_factor_groups entries must index rows of transverse_factors",
     _entry("second_factor_groups", -1, -1)),
    ("rf_groups entries must index rows of rf_axis_x", _entry("rf_groups", 0, 2)),
    ("action_offsets must bracket entries of action_kinds and action_payloads",
     _entry("action_offsets", 1, 4)),
    ("ADC payloads must be below nadc and the length of adc_demodulation",
     _entry("action_payloads", 0, 3)),
    ("checkpoint payloads must be below the length of checkpoint_states",
     _entry("action_payloads", 1, 2)),
    ("rx_sensitivities must have a column for every spin",
     _set("rx_sensitivities", lambda a: a[:, :-1])),
    ("checkpoint_states must have shape (ncheckpoints, npools, nspins, 3)",
     _set("checkpoint_states", lambda a: a[:, :, :-1])),
    ("state must be writable", lambda b: b["state"].setflags(write=False)),
]


@pytest.mark.parametrize("implementation", [pelorine, reference], ids=["native", "reference"])
@pytest.mark.parametrize("position", range(len(FAULTS)))
@pytest.mark.parametrize("with_next", [False, True])
def test_first_fault_is_reported_and_nothing_changes(rng, implementation, position, with_next):
    block = _stream(make_block(rng, nsteps=4))
    message, fault = FAULTS[position]
    fault(block)
    if with_next and position + 1 < len(FAULTS):
        FAULTS[position + 1][1](block)
    before = copy_block(block)
    with pytest.raises(ValueError) as excinfo:
        implementation.run_dynamic_plan_block_multi_pool(**block)
    assert str(excinfo.value) == message
    for name in MODIFIED:
        assert same_bits(block[name], before[name]), name


@pytest.mark.parametrize("implementation", [pelorine, reference], ids=["native", "reference"])
@pytest.mark.parametrize("cut", [np.s_[:7], np.s_[:, :-1], np.s_[:, :, 1:]])
def test_spatial_source_shape_is_checked(rng, implementation, cut):
    block = make_block(rng, spatial=True)
    block["spatial_source_values"] = block["spatial_source_values"][cut]
    with pytest.raises(ValueError) as excinfo:
        implementation.run_dynamic_plan_block_multi_pool(**block)
    assert str(excinfo.value) == "spatial_source_values must have shape (8, nsteps, nspins)"


@pytest.mark.parametrize("implementation", [pelorine, reference], ids=["native", "reference"])
def test_empty_block_touches_nothing(rng, implementation):
    block = make_block(rng, nparents=0, nsteps=3)
    block["longitudinal_groups"][:] = 99  # an empty block reads no table
    before = copy_block(block)
    assert implementation.run_dynamic_plan_block_multi_pool(**block) is None
    for name in MODIFIED:
        assert same_bits(block[name], before[name]), name
