"""The validation cases of the three plan-block drivers, in the order each driver checks.

``FAULTS_BY_DRIVER[driver]`` lists ``Fault``s: a block builder, a change that makes the block
invalid and the exact message both the native function and the NumPy path must report, writing
nothing. Cases that hold two faults check which one a driver reports first.
"""

from __future__ import annotations

import itertools
from dataclasses import dataclass
from typing import Callable

import numpy as np

from korvel.plan_blocks import (
    every_other,
    multi_pool_block,
    source_interval_block,
    two_pool_block,
)


@dataclass(frozen=True)
class Fault:
    id: str
    message: str
    change: Callable[[dict], None]
    base: Callable[[np.random.Generator], dict]

    def block(self, rng: np.random.Generator) -> dict:
        block = self.base(rng)
        self.change(block)
        return block


# ---- Two-pool ----------------------------------------------------------------------------------

def _fault(name, value):
    def apply(block):
        block[name] = value(block) if callable(value) else value
    return apply


def _resize(name, shape):
    return _fault(name, lambda b: np.zeros(shape(b), b[name].dtype))


def _fortran(name):
    return _fault(name, lambda b: np.asfortranarray(b[name]) if b[name].ndim > 1 else b[name])


ORDERED_FAULTS = [
    (_resize("state", lambda b: (2, b["state"].shape[1], 4)), "state must have shape (2, nspins, 3)"),
    (_resize("transverse_state", lambda b: (2, b["state"].shape[1] + 1)),
     "transverse_state must have shape (2, nspins)"),
    (_fault("spins_per_parent", 0), "parent/spin dimensions are inconsistent"),
    (_resize("rx_sensitivities", lambda b: (3, b["state"].shape[1])),
     "parent signal shape is inconsistent"),
    (_resize("signal_weights", lambda b: (b["state"].shape[1] + 1,)),
     "receive arrays must contain every spin"),
    (_resize("action_offsets", lambda b: (b["longitudinal_groups"].shape[0],)),
     "action offsets must bracket every plan step"),
    (_fault("num_threads", 0), "num_threads must be positive"),
    (_fault("transverse_state", lambda b: np.asfortranarray(b["transverse_state"])),
     "state arrays must be C-contiguous"),
    (_fault("transverse_factors", lambda b: b["transverse_factors"][:, :, ::-1]),
     "transverse factors must be C-contiguous"),
    (_resize("rf_axis_x", lambda b: (2, 2)), "RF coefficient width must be one or nspins"),
]


def _step_entry(name, value, step=1):
    def apply(block):
        block[name][step] = value
    return apply


def _action(kind, payload):
    def apply(block):
        block["action_kinds"][3], block["action_payloads"][3] = kind, payload
    return apply


def _all(*faults):
    def apply(block):
        for fault in faults:
            fault(block)
    return apply


SOUND_FAULTS = [
    (_resize("exp_a_by_group", lambda b: (4, b["state"].shape[1] - 1)),
     "exp_a_by_group must have nspins columns"),
    (_resize("regular_by_group", lambda b: (4, b["state"].shape[1] + 1)),
     "regular_by_group must have nspins columns"),
    (_resize("transverse_factors", lambda b: (3, 3, b["state"].shape[1])),
     "transverse_factors must have shape (nfactor_groups, 2, nspins)"),
    (_resize("rf_sine", lambda b: (1, b["rf_axis_x"].shape[1])),
     "rf_sine must have the shape of rf_axis_x"),
    (_resize("rf_one_minus_cosine", lambda b: (2, 2)),
     "rf_one_minus_cosine must have the shape of rf_axis_x"),
    (_step_entry("longitudinal_groups", 4), "longitudinal_groups entries must index rows of kpl_by_group"),
    (_step_entry("longitudinal_groups", -1), "longitudinal_groups entries must index rows of kpl_by_group"),
    (_all(_resize("duration_by_group", lambda b: (2,)), _step_entry("longitudinal_groups", 2)),
     "longitudinal_groups entries must index rows of duration_by_group"),
    (_step_entry("first_factor_groups", 3),
     "first_factor_groups entries must index rows of transverse_factors"),
    (_step_entry("second_factor_groups", -1),
     "second_factor_groups entries must index rows of transverse_factors"),
    (_resize("second_factor_groups", lambda b: (b["longitudinal_groups"].shape[0] - 1,)),
     "second_factor_groups must have an entry for every plan step"),
    (_step_entry("rf_groups", 2), "rf_groups entries must index rows of rf_axis_x"),
    (_resize("action_payloads", lambda b: (b["action_kinds"].shape[0] - 1,)),
     "action_kinds and action_payloads must have equal lengths"),
    (_step_entry("action_offsets", 10**6, step=2),
     "action_offsets must bracket entries of action_kinds and action_payloads"),
    (_step_entry("action_offsets", -1, step=0),
     "action_offsets must bracket entries of action_kinds and action_payloads"),
    (_action(2, 4), "ADC payloads must be below nadc and the length of adc_demodulation"),
    (_action(2, -1), "ADC payloads must be below nadc and the length of adc_demodulation"),
    (_fault("adc_demodulation", lambda b: b["adc_demodulation"][:3]),
     "ADC payloads must be below nadc and the length of adc_demodulation"),
    (_action(3, 3), "checkpoint payloads must be below the length of checkpoint_states"),
    (_fault("checkpoint_states", lambda b: b["checkpoint_states"][:, :, 1:]),
     "checkpoint_states must have shape (ncheckpoints, npools, nspins, 3)"),
    (_fortran("rx_sensitivities"), "rx_sensitivities must be C-contiguous"),
    (_fault("parent_species_signal", lambda b: b["parent_species_signal"][:, :, :, ::-1]),
     "parent_species_signal must be C-contiguous"),
    (_fault("checkpoint_states", lambda b: np.asfortranarray(b["checkpoint_states"])),
     "checkpoint_states must be C-contiguous"),
]


def _two_pool_sound(rng):
    block = two_pool_block(rng, nparents=3, nsteps=4, ncoils=2, nadc=4, ncheckpoints=3)
    block["action_offsets"] = np.array([0, 2, 4, 4, 6], np.int32)
    block["action_kinds"] = np.array([2, 3, 1, 0, 2, 3, 9], np.int8)
    block["action_payloads"] = np.array([3, 2, 0, -5, 0, 0, 9], np.int64)
    return block


def _parents_of(nparents, spins_per_parent):
    """A parent count whose product with the spins per parent overflows 64 bits, or a 32-bit
    product, must not pass for a consistent one."""
    def apply(block):
        block["parent_species_signal"] = np.empty((nparents, 2, 0, 0), complex)
        block["rx_sensitivities"] = np.empty((0, 0), complex)
        block["spins_per_parent"] = spins_per_parent
    return apply


def _first_faulty_step(offsets):
    def apply(block):
        block["action_offsets"] = np.array(offsets, np.int32)
        block["action_kinds"] = np.array([0, 2, 3, 2], np.int8)
        block["action_payloads"] = np.array([0, 99, 99, 0], np.int64)
    return apply


def _ordered(rng):
    return two_pool_block(rng, nparents=3, spins_per_parent=2)


TWO_POOL_FAULTS = [
    # Every pair of ordered faults: the first is reported.
    *(Fault(f"ordered-{first}-{second}", ORDERED_FAULTS[first][1],
            _all(ORDERED_FAULTS[second][0], ORDERED_FAULTS[first][0]), _ordered)
      for first, second in itertools.combinations(range(len(ORDERED_FAULTS)), 2)),
    # The parent/spin product is exact.
    *(Fault(f"parents-{nparents}x{spins}", "parent/spin dimensions are inconsistent",
            _parents_of(nparents, spins), lambda rng: two_pool_block(rng, nparents=0, nsteps=0))
      for nparents, spins in [(2**57, 128), (2**16, 2**16), (2**34, 2**30)]),
    # The checks that keep a block inside the arrays it was given.
    *(Fault(f"inside-{message}", message, fault, _two_pool_sound)
      for fault, message in SOUND_FAULTS),
    # The first faulty step is reported.
    *(Fault(f"first-step-{offsets}", message, _first_faulty_step(offsets),
            lambda rng: two_pool_block(rng, nsteps=2))
      for offsets, message in [
          ([0, 2, 9], "ADC payloads must be below nadc and the length of adc_demodulation"),
          ([2, 9, 3], "action_offsets must bracket entries of action_kinds and action_payloads"),
          ([2, 3, 9], "checkpoint payloads must be below the length of checkpoint_states")]),
]


# ---- Multi-pool --------------------------------------------------------------------------------

def _mp_stream(block):
    """Step 0: an ADC sample, a checkpoint and a crusher; the other steps have no actions."""
    nsteps = block["longitudinal_groups"].shape[0]
    block["action_offsets"] = np.array([0] + [3] * nsteps, np.int32)
    block["action_kinds"] = np.array([2, 3, 1], np.int8)
    block["action_payloads"] = np.array([0, 0, 0], np.int64)
    return block


def _mp_set(name, value):
    return lambda b: b.update({name: value(b[name]) if callable(value) else value})


def _mp_entry(name, index, value):
    def change(b):
        b[name][index] = value
    return change


MULTI_POOL_ORDER = [
    ("multi-pool state must have shape (>=3, nspins, 3)", _mp_set("state", lambda a: a[:2])),
    ("transverse state must match multi-pool state",
     _mp_set("transverse_state", lambda a: a[:, :-1])),
    ("concentration state must match multi-pool state",
     _mp_set("concentration_state", lambda a: a[:, :, :2])),
    ("conversion tables must contain every product and spin",
     _mp_set("conversion_rates_by_group", lambda a: a[:, :, :-1])),
    ("parent/spin dimensions are inconsistent", _mp_set("spins_per_parent", 3)),
    ("parent signal shape is inconsistent", _mp_set("rx_sensitivities", lambda a: a[:1])),
    ("action offsets must bracket every plan step", _mp_set("action_offsets", lambda a: a[:-1])),
    ("source_mode must be between zero and three", _mp_set("source_mode", -1)),
    ("num_threads must be positive", _mp_set("num_threads", 0)),
    ("RF coefficient width must be one or nspins", _mp_set("rf_axis_x", np.zeros((2, 2)))),
    ("state arrays must be C-contiguous", _mp_set("concentration_state", every_other)),
    ("transverse_factors must have shape (nfactor_groups, npools, nspins)",
     _mp_set("transverse_factors", lambda a: a[:, :2])),
    ("f1_precursor_by_group must have nspins columns",
     _mp_set("f1_precursor_by_group", lambda a: a[:, :-1])),
    ("concentration_exp_products_by_group must have nproducts columns",
     _mp_set("concentration_exp_products_by_group", lambda a: a[:, :1])),
    ("j1_by_group must have nproducts rows per group", _mp_set("j1_by_group", lambda a: a[:, :1])),
    ("concentration_j0_by_group must have nspins columns",
     _mp_set("concentration_j0_by_group", lambda a: a[:, :, :-1])),
    ("rf_one_minus_cosine must have the shape of rf_axis_x",
     _mp_set("rf_one_minus_cosine", np.zeros((2, 2)))),
    ("inflow_delivery must have an entry for every spin",
     _mp_set("inflow_delivery", lambda a: a[:-1])),
    ("polarization_second_end must have an entry for every plan step",
     _mp_set("polarization_second_end", lambda a: a[:-1])),
    ("longitudinal_groups entries must index rows of duration_by_group",
     _all(_mp_entry("longitudinal_groups", 0, 2), _mp_set("duration_by_group", lambda a: a[:2]))),
    ("second_factor_groups entries must index rows of transverse_factors",
     _mp_entry("second_factor_groups", -1, -1)),
    ("rf_groups entries must index rows of rf_axis_x", _mp_entry("rf_groups", 0, 2)),
    ("action_offsets must bracket entries of action_kinds and action_payloads",
     _mp_entry("action_offsets", 1, 4)),
    ("ADC payloads must be below nadc and the length of adc_demodulation",
     _mp_entry("action_payloads", 0, 3)),
    ("checkpoint payloads must be below the length of checkpoint_states",
     _mp_entry("action_payloads", 1, 2)),
    ("rx_sensitivities must have a column for every spin",
     _mp_set("rx_sensitivities", lambda a: a[:, :-1])),
    ("checkpoint_states must have shape (ncheckpoints, npools, nspins, 3)",
     _mp_set("checkpoint_states", lambda a: a[:, :, :-1])),
    ("state must be writable", lambda b: b["state"].setflags(write=False)),
]


def _multi_pool_base(rng):
    return _mp_stream(multi_pool_block(
        rng, npools=3, nparents=4, spins_per_parent=2, nsteps=4, ngroups=3, nfactor_groups=3,
        nrf_groups=2, ncoils=2, nadc=3, ncheckpoints=2, special=0.05))


def _spatial_sources_cut(cut):
    def apply(block):
        block["spatial_source_values"] = block["spatial_source_values"][cut]
    return apply


def _with_next(position, with_next):
    """The fault at ``position`` alone, or with the next one present."""
    changes = [MULTI_POOL_ORDER[position][1]]
    if with_next and position + 1 < len(MULTI_POOL_ORDER):
        changes.append(MULTI_POOL_ORDER[position + 1][1])
    return _all(*changes)


MULTI_POOL_FAULTS = [
    # In the order the block reports them; every fault alone, and with the next one present.
    *(Fault(f"{position}-{MULTI_POOL_ORDER[position][0]}" + ("-with-next" if with_next else ""),
            MULTI_POOL_ORDER[position][0], _with_next(position, with_next), _multi_pool_base)
      for position in range(len(MULTI_POOL_ORDER)) for with_next in (False, True)),
    *(Fault(f"spatial-sources-{name}", "spatial_source_values must have shape (8, nsteps, nspins)",
            _spatial_sources_cut(cut),
            lambda rng: multi_pool_block(rng, npools=3, nparents=4, spins_per_parent=2,
                                         ngroups=3, nadc=3, ncheckpoints=2,
                                         spatial_sources=True, special=0.05))
      for name, cut in [("parameters", np.s_[:7]), ("steps", np.s_[:, :-1]),
                        ("spins", np.s_[:, :, 1:])]),
]


# ---- Source-interval ---------------------------------------------------------------------------

def strided(array):
    """A non-contiguous view with the same shape and values."""
    doubled = np.repeat(array[..., None], 2, axis=-1)
    return doubled[..., 0]


def i32(*values):
    return np.array(values, np.int32)


def one_action(kind, payload, step=0):
    """An action stream for four steps holding one action, in ``step``."""
    offsets = i32(*([0] * (step + 1) + [1] * (4 - step)))
    return dict(action_offsets=offsets, action_kinds=np.array([kind], np.int8),
                action_payloads=np.array([payload]))


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


def _source_interval_base(plan):
    def build(rng):
        return source_interval_block(
            rng, nparents=6, nsteps=4, ngroups=3, nfactor_groups=2, nrf_groups=3, ncoils=2,
            nadc=3, ncheckpoints=2, actions="varied" if plan else None)
    return build


def _updated(changes):
    def apply(block):
        block.update(changes(block))
    return apply


def case(name, message, changes, plan=False):
    return Fault(name, message, _updated(changes), _source_interval_base(plan))


# Blocks of 6 voxels, 4 steps, 3 groups, 2 factor groups, 3 RF groups, 2 coils, 3 ADC samples
# and 2 checkpoints. Most cases hold a second, later fault that must not be the one reported.
SOURCE_INTERVAL_FAULTS = [
    case("state", "state must have shape (2, nvoxels, 3)", lambda b: dict(
        state=np.zeros((2, 5, 3)), transverse_state=b["transverse_state"][:, :5])),
    case("transverse", "transverse_state must have shape (2, nvoxels)", lambda b: dict(
        transverse_state=np.zeros((2, 7), complex), concentration_state=np.zeros((3, 6, 3)))),
    case("concentration", "concentration_state must have shape (2, nvoxels, 3)", lambda b: dict(
        concentration_state=np.zeros((2, 6, 2)), inflow_delivery=np.zeros(5))),
    case("delivery-before-contiguity", "inflow_delivery length must match nvoxels", lambda b: dict(
        inflow_delivery=np.zeros(5), state=np.asfortranarray(b["state"]))),
    case("step-counts", "RF block arrays must have equal step counts", lambda b: dict(
        rf_groups=b["rf_groups"][:3], rf_axis_y=b["rf_axis_y"][:2])),
    case("rf-groups", "RF coefficient tables must have equal group counts", lambda b: dict(
        rf_one_minus_cosine=b["rf_one_minus_cosine"][:2], rf_axis_x=np.zeros((3, 2)))),
    case("rf-width", "RF coefficient width must be one or nvoxels", lambda b: dict(
        rf_axis_x=np.zeros((3, 2)))),
    case("rf-widths", "RF coefficient tables must have equal widths", lambda b: dict(
        rf_sine=np.zeros((3, 6)), inflow_first_end=np.zeros(3))),
    case("windows-checked-unread", "source block arrays must have equal step counts",
         lambda b: dict(polarization_second_end=np.zeros(5), source_mode=2,
                        spatial_source_values=np.zeros((8, 4, 6)))),
    case("spatial", "spatial source values must have shape (8, nsteps, nvoxels)", lambda b: dict(
        spatial_source_values=np.zeros((8, 4, 5)), num_threads=0)),
    case("team-before-mode", "num_threads must be positive", lambda b: dict(
        num_threads=0, source_mode=5)),
    case("mode-negative", "source_mode must be between zero and three", lambda b: dict(
        source_mode=-1, state=np.asfortranarray(b["state"]))),
    case("mode-four", "source_mode must be between zero and three", lambda b: dict(
        source_mode=4)),
    case("state-contiguity", "state arrays must be C-contiguous", lambda b: dict(
        concentration_state=strided(b["concentration_state"]),
        transverse_factors=strided(b["transverse_factors"]))),
    case("transverse-contiguity", "transverse arrays must be C-contiguous", lambda b: dict(
        transverse_factors=strided(b["transverse_factors"]))),
    case("kpl-columns-no-action", "kpl_by_group must contain every spin", lambda b: dict(
        kpl_by_group=np.zeros((3, 5)))),
    case("observation", "complete plan actions require observation arrays", lambda b: dict(
        checkpoint_states=None, action_offsets=b["action_offsets"][:3]), plan=True),
    case("offsets", "action offsets must bracket every plan step", lambda b: dict(
        action_offsets=b["action_offsets"][:4], spins_per_parent=0), plan=True),
    case("spins-zero", "parent/spin dimensions are inconsistent", lambda b: dict(
        spins_per_parent=0), plan=True),
    case("spins-multiple", "parent/spin dimensions are inconsistent", lambda b: dict(
        spins_per_parent=4), plan=True),
    case("parents", "parent signal shape is inconsistent", lambda b: dict(
        spins_per_parent=3, rx_sensitivities=b["rx_sensitivities"][:, :5]), plan=True),
    case("pools", "parent signal shape is inconsistent", lambda b: dict(
        parent_species_signal=np.zeros((6, 3, 2, 3), complex)), plan=True),
    case("coils", "parent signal shape is inconsistent", lambda b: dict(
        rx_sensitivities=np.zeros((3, 6), complex)), plan=True),
    case("receive", "receive arrays must contain every spin", lambda b: dict(
        signal_weights=np.zeros(5), kpl_by_group=np.zeros((3, 5))), plan=True),
    case("kpl-columns-plan", "kpl_by_group must contain every spin", lambda b: dict(
        kpl_by_group=np.zeros((3, 7))), plan=True),
    # The caller's obligations, checked after everything above.
    case("table-columns", "concentration_regular_by_group must have nvoxels columns",
         lambda b: dict(concentration_regular_by_group=np.zeros((3, 5), bool),
                        longitudinal_groups=i32(9, 9, 9, 9))),
    case("factor-shape", "transverse_factors must have shape (nfactor_groups, 2, nvoxels)",
         lambda b: dict(transverse_factors=np.ones((2, 3, 6), complex)), plan=True),
    case("group-past-table", "longitudinal_groups entries must index rows of exp_a_by_group",
         lambda b: dict(longitudinal_groups=i32(0, 1, 3, 0))),
    case("group-negative", "longitudinal_groups entries must index rows of exp_a_by_group",
         lambda b: dict(longitudinal_groups=i32(0, -1, 0, 0)), plan=True),
    case("group-short-table",
         "longitudinal_groups entries must index rows of concentration_regular_mode_by_group",
         lambda b: dict(longitudinal_groups=i32(0, 2, 1, 0),
                        concentration_regular_mode_by_group=np.zeros(2, np.int32))),
    case("group-kpl-rows", "longitudinal_groups entries must index rows of kpl_by_group",
         lambda b: dict(longitudinal_groups=i32(0, 2, 1, 0), kpl_by_group=np.zeros((2, 6)))),
    case("first-factor", "first_factor_groups entries must index rows of transverse_factors",
         lambda b: dict(first_factor_groups=i32(0, 0, 2, 0))),
    case("second-factor", "second_factor_groups entries must index rows of transverse_factors",
         lambda b: dict(second_factor_groups=i32(0, 0, -1, 0)), plan=True),
    case("rf-group", "rf_groups entries must index rows of rf_axis_x", lambda b: dict(
        rf_groups=i32(-7, 3, 0, 0))),
    case("bracket", "action_offsets must bracket entries of action_kinds and action_payloads",
         lambda b: dict(action_offsets=i32(*b["action_offsets"][:4], 99)), plan=True),
    case("adc-payload", "ADC payloads must be below nadc and the length of adc_demodulation",
         lambda b: one_action(2, 3), plan=True),
    case("checkpoint-payload", "checkpoint payloads must be below the length of checkpoint_states",
         lambda b: one_action(3, 2, step=3), plan=True),
    case("signal-contiguity", "parent_species_signal must be C-contiguous", lambda b: dict(
        one_action(2, 0), parent_species_signal=strided(b["parent_species_signal"])), plan=True),
    case("snapshot-shape", "checkpoint_states must have shape (ncheckpoints, npools, nspins, 3)",
         lambda b: dict(one_action(3, 0), checkpoint_states=np.zeros((2, 2, 5, 3))), plan=True),
    case("state-writable", "state must be writable", lambda b: dict(
        state=read_only(b["state"]))),
    case("signal-writable", "parent_species_signal must be writable", lambda b: dict(
        parent_species_signal=read_only(b["parent_species_signal"])), plan=True),
]


FAULTS_BY_DRIVER = {"two-pool": TWO_POOL_FAULTS, "multi-pool": MULTI_POOL_FAULTS,
                    "source-interval": SOURCE_INTERVAL_FAULTS}
