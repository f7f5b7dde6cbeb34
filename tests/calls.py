"""Valid and damaged calls of every exported function, for the fuzz, resource and concurrency
tests. Each builder reuses the seeded builder of the function's own test module, or of
``korvel.plan_blocks`` for the plan drivers.

``CALLS[name].build(rng, n)`` returns the keyword arguments of one valid call whose main count
(voxels, spins or parents) is ``n`` (0 included); ``written`` names the arrays the call modifies.
``damaged_call`` rebuilds such a call with one argument damaged (a ``Damage``), every array
inside a buffer of random guard bytes (an ``Arena``), so that a stray write shows up.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from fractions import Fraction
from typing import Callable

import numpy as np

import test_longitudinal
import test_rf
import test_spatial_rf
from conftest import sprinkle
from korvel import plan_blocks, reference
from signatures import DTYPES, parameters


@dataclass(frozen=True)
class Call:
    build: Callable[[np.random.Generator, int], dict]
    written: tuple[str, ...]


def _pick(rng, values):
    return values[int(rng.integers(0, len(values)))]


def _spatial_coefficients(rng, n):
    rf_real, rf_imag = rng.normal(size=2)
    tx = sprinkle(rng, rng.normal(size=n) + 1j * rng.normal(size=n))
    return dict(rf_real=float(rf_real), rf_imag=float(rf_imag), tx_sensitivity=tx,
                duration=float(rng.uniform(0.1, 1.0)))


def _transverse_factors(rng, n):
    npools = int(rng.integers(0, 4))
    return dict(phase_cycles=sprinkle(rng, rng.normal(size=(npools, n))),
                t2_s=sprinkle(rng, rng.uniform(0.0, 2.0, npools)),
                duration=float(rng.uniform(0.0, 1.0)))


def _rf_rotation(rng, n):
    state, transverse = test_rf.block(rng, n)
    axis_x, axis_y, cosine, sine, one_minus_cosine = test_rf.rotation(rng)
    return dict(state=state, transverse_state=transverse, axis_x=axis_x, axis_y=axis_y,
                cosine=cosine, sine=sine, one_minus_cosine=one_minus_cosine, num_threads=1)


def _spatial_rf_rotation(rng, n):
    state, transverse, (axis_x, axis_y, cosine, sine) = test_spatial_rf.random_block(rng, n)
    return dict(state=state, transverse_state=transverse, axis_x=axis_x, axis_y=axis_y,
                cosine=cosine, sine=sine, num_threads=1)


def _longitudinal_step(rng, n):
    call = test_longitudinal.step_inputs(rng, n)
    call["regular_mode"] = _pick(rng, (-1, 0, 1))
    return call


def _longitudinal_block(rng, n):
    call = test_longitudinal.block_inputs(rng, n, ngroups=int(rng.integers(1, 4)),
                                          nsteps=int(rng.integers(0, 5)))
    call["regular_mode"] = _pick(rng, (-1, 0, 1))
    return call


def _inflow_step(rng, n):
    call = test_longitudinal.inflow_inputs(rng, n, strided=bool(rng.integers(0, 2)))
    call["regular_mode"] = _pick(rng, (-1, 0, 1))
    call["concentration_regular_mode"] = _pick(rng, (-1, 0, 1))
    return call


def _plan_block(rng, n):
    return plan_blocks.two_pool_block(
        rng, nparents=n, spins_per_parent=int(rng.integers(1, 3)),
        nsteps=int(rng.integers(0, 5)), rf_per_spin=bool(rng.integers(0, 2)),
        ncoils=int(rng.integers(1, 3)), nadc=int(rng.integers(1, 4)),
        ncheckpoints=int(rng.integers(1, 3)), ideal_crushers=bool(rng.integers(0, 2)),
        special=0.05)


def _multi_pool_block(rng, n):
    return plan_blocks.multi_pool_block(
        rng, npools=int(rng.integers(3, 5)), nparents=n, spins_per_parent=int(rng.integers(1, 3)),
        nsteps=int(rng.integers(0, 5)), ngroups=int(rng.integers(1, 4)),
        rf_per_spin=bool(rng.integers(0, 2)), nadc=int(rng.integers(1, 3)),
        ncheckpoints=int(rng.integers(1, 3)), source_mode=int(rng.integers(0, 4)),
        spatial_sources=bool(rng.integers(0, 2)), equilibrium=_pick(rng, (0.0, -0.0, 0.7, np.nan)),
        special=0.05)


def _source_interval_block(rng, n):
    plan = bool(rng.integers(0, 2))
    call = plan_blocks.source_interval_block(
        rng, nparents=n, spins_per_parent=int(rng.integers(1, 3)) if plan else 1,
        nsteps=int(rng.integers(0, 5)), ngroups=int(rng.integers(1, 4)),
        nfactor_groups=int(rng.integers(1, 3)), nrf_groups=int(rng.integers(1, 3)),
        rf_per_spin=bool(rng.integers(0, 2)), actions="varied" if plan else None,
        ncoils=int(rng.integers(1, 3)), nadc=int(rng.integers(1, 3)),
        ncheckpoints=int(rng.integers(1, 3)), kpl_groups=bool(rng.integers(0, 2)),
        spatial_sources=bool(rng.integers(0, 2)), source_mode=int(rng.integers(0, 4)),
        equilibrium=_pick(rng, (0.0, -0.0, 0.3, np.nan)), special=0.05)
    return call


_PLAN_WRITTEN = ("state", "transverse_state", "parent_species_signal", "checkpoint_states")

CALLS: dict[str, Call] = {
    "prepare_spatial_rf_rotation_coefficients": Call(_spatial_coefficients, ()),
    "prepare_transverse_factors_coefficients": Call(_transverse_factors, ()),
    "run_dynamic_plan_block_no_inflow": Call(_plan_block, _PLAN_WRITTEN),
    "run_dynamic_plan_block_multi_pool": Call(
        _multi_pool_block, _PLAN_WRITTEN + ("concentration_state",)),
    "apply_rf_rotation_transverse_block": Call(_rf_rotation, ("state", "transverse_state")),
    "apply_spatial_rf_rotation_transverse_block": Call(
        _spatial_rf_rotation, ("state", "transverse_state")),
    "apply_longitudinal_step_no_inflow": Call(_longitudinal_step, ("state",)),
    "apply_longitudinal_step_with_concentration_inflow": Call(
        _inflow_step, ("state", "concentration_state")),
    "apply_dynamic_rf_block_with_concentration_inflow": Call(
        _source_interval_block, _PLAN_WRITTEN + ("concentration_state",)),
    "apply_longitudinal_block_no_inflow": Call(_longitudinal_block, ("state",)),
}

# Functions whose native kernel and reference are both part of this build.
BUILT = sorted(name for name in CALLS if hasattr(reference, name))


# ---- Damages ----------------------------------------------------------------------------------


class Boom(Exception):
    """The caller's own exception, raised from a conversion hook or an attribute."""


class RaisesFloat:
    def __float__(self):
        raise Boom("__float__")


class RaisesInt:
    def __int__(self):
        raise Boom("__int__")


class RaisesIndex:
    def __index__(self):
        raise Boom("__index__")


class RaisesBool:
    def __bool__(self):
        raise Boom("__bool__")


class IndexOnly:
    def __index__(self):
        return 2


class IntReturnsStr:
    def __int__(self):
        return "2"


class Subclass(np.ndarray):
    pass


class BrokenFlags(np.ndarray):
    @property
    def flags(self):
        raise Boom("flags")


ALLOWED = (TypeError, ValueError, OverflowError, Boom)

# Scalar damages: (label, value, mirrored). Both paths convert these alike when mirrored.
REAL_DAMAGES = [
    ("nan", np.nan, True), ("inf", np.inf, True), ("-inf", -np.inf, True), ("-0.0", -0.0, True),
    ("0.0", 0.0, True), ("-1.0", -1.0, True), ("1e308", 1e308, True), ("denormal", 5e-324, True),
    ("int 10**400", 10**400, True), ("float32", np.float32(0.5), True),
    ("int64", np.int64(3), True), ("True", True, True), ("Fraction", Fraction(1, 3), True),
    ("__index__ only", IndexOnly(), True), ("__float__ raises", RaisesFloat(), True),
    ("__index__ raises", RaisesIndex(), True), ("str", "1.5", False), ("None", None, False),
    ("complex", 1j, False), ("list", [], False),
]
INTEGER_DAMAGES = [
    (str(v), v, True) for v in (0, -1, 1, 2, 3, 7, 64, 2**31 - 1, -(2**31))
] + [
    ("2**31", 2**31, False), ("-2**31-1", -(2**31) - 1, False), ("10**30", 10**30, False),
    ("3.9", 3.9, True), ("-0.5", -0.5, True), ("nan", np.nan, True), ("inf", np.inf, True),
    ("int64", np.int64(2), True), ("int64 2**40", np.int64(2**40), False), ("True", True, True),
    ("__int__ raises", RaisesInt(), True), ("__int__ returns str", IntReturnsStr(), True),
    ("__index__ raises", RaisesIndex(), False), ("__index__ only", IndexOnly(), False),
    ("str", "3", False), ("None", None, False), ("complex", 1j, False),
]
FLAG_DAMAGES = [
    (repr(v), v, True) for v in (True, False, None, 0, 1, "", "x", (), (0,), np.bool_(True), np.nan)
] + [("__bool__ raises", RaisesBool(), True), ("ambiguous array", np.array([1, 2]), True)]
SCALAR_DAMAGES = {"d": REAL_DAMAGES, "i": INTEGER_DAMAGES, "b": FLAG_DAMAGES}

# Array damages: (label, mirrored). Layout damages keep the values; the others change them.
ARRAY_DAMAGES = [
    ("None", True), ("list", True), ("float", True), ("numpy scalar", True), ("shape", True),
    ("fortran", True), ("strided", True), ("reversed", True), ("read-only", True),
    ("subclass", True), ("flags raises", True), ("broadcast", True), ("entry", True),
    ("dtype", False), ("ndim", False), ("misaligned", False),
]
OTHER_DTYPES = [np.float64, np.complex128, np.int64, np.int32, np.int8, np.uint8, np.bool_,
                np.float32, np.uint64, np.dtype(">f8"), np.float16, object]


@dataclass(frozen=True)
class Damage:
    """One argument changed: ``label`` names how; ``choice`` picks the details."""

    name: str
    label: str
    mirrored: bool
    choice: int

    def __str__(self) -> str:
        return f"{self.name}: {self.label} ({self.choice})"


# ---- Arrays inside guard bytes ----------------------------------------------------------------

PAD = 64


class Arena:
    """Places arrays inside buffers of random guard bytes and remembers where they are. An arena
    that is not ``guarded`` gives C-ordered arrays that own their data instead."""

    def __init__(self, rng: np.random.Generator, guarded: bool = True) -> None:
        self.rng = rng
        self.guarded = guarded
        self.placed: list[tuple[str, np.ndarray, np.ndarray]] = []  # (name, buffer, array)

    def _raw(self, nbytes: int, misaligned: bool) -> tuple[np.ndarray, int]:
        raw = self.rng.integers(0, 256, nbytes + 2 * PAD + 16, dtype=np.uint8)
        start = PAD + (-(raw.ctypes.data + PAD)) % 16 + (1 if misaligned else 0)
        return raw, start

    def place(self, name: str, values: np.ndarray, layout: str = "C", axis: int = 0) -> np.ndarray:
        """A new array equal to ``values`` with the given memory layout, inside guard bytes."""
        if values.dtype.hasobject or values.dtype.itemsize == 0 or (
                layout == "C" and not self.guarded):
            return values.copy()
        shape = list(values.shape)
        if layout == "strided":
            shape[axis] *= 2
        if layout == "fortran":
            shape.reverse()
        nbytes = int(np.prod(shape, dtype=np.int64)) * values.dtype.itemsize
        raw, start = self._raw(nbytes, layout == "misaligned")
        array = raw[start:start + nbytes].view(values.dtype).reshape(shape)
        if layout == "strided":
            array = array[(slice(None),) * axis + (slice(None, None, 2),)]
        elif layout == "fortran":
            array = array.T
        elif layout == "reversed":
            array = array[(slice(None),) * axis + (slice(None, None, -1),)]
        array[...] = values
        self.placed.append((name, raw, array))
        return array

    def snapshot(self) -> list[np.ndarray]:
        return [raw.copy() for _, raw, _ in self.placed]

    def changed(self, before: list[np.ndarray], names=None) -> list[str]:
        """The arrays (all, or those named) whose buffers changed anywhere."""
        return [name for (name, raw, _), old in zip(self.placed, before)
                if (names is None or name in names) and not np.array_equal(raw, old)]

    def changed_outside(self, before: list[np.ndarray]) -> list[str]:
        """The arrays whose buffers changed outside the array's own elements."""
        changed = []
        for (name, raw, array), old in zip(self.placed, before):
            inside = footprint(raw, array)
            if not np.array_equal(raw[~inside], old[~inside]):
                changed.append(name)
        return changed


def footprint(raw: np.ndarray, array: np.ndarray) -> np.ndarray:
    """The bytes of ``raw`` that belong to elements of ``array`` (a view into it)."""
    inside = np.zeros(raw.shape, bool)
    if array.size:
        offset = array.__array_interface__["data"][0] - raw.ctypes.data
        view = np.lib.stride_tricks.as_strided(
            inside[offset:], shape=array.shape + (array.dtype.itemsize,),
            strides=array.strides + (1,))
        view[...] = True
    return inside


# ---- Building a damaged call --------------------------------------------------------------------


def _reshaped(values: np.ndarray, choice: int) -> np.ndarray:
    """One axis off by one either way, or zero; the values repeat to fill."""
    axis = choice % values.ndim
    extent = values.shape[axis]
    extents = [e for e in (extent - 1, extent + 1, 0, extent + 2) if e >= 0 and e != extent]
    shape = list(values.shape)
    shape[axis] = extents[(choice // values.ndim) % len(extents)]
    return np.resize(values, shape)


def _with_ndim(values: np.ndarray, choice: int) -> np.ndarray:
    """One axis more, one fewer, or none at all."""
    if choice % 3 == 2:
        return np.array(values.reshape(-1)[0] if values.size else 0, values.dtype)
    if choice % 3 == 0 or values.ndim == 1:
        return np.expand_dims(values, choice % (values.ndim + 1))
    return values.reshape(values.shape[:-2] + (values.shape[-2] * values.shape[-1],))


def _retyped(values: np.ndarray, choice: int) -> np.ndarray:
    dtypes = [d for d in OTHER_DTYPES if np.dtype(d) != values.dtype]
    dtype = dtypes[choice % len(dtypes)]
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")  # complex to real drops the imaginary part
        return values.astype(dtype)


def _entry(values: np.ndarray, choice: int) -> np.ndarray:
    """One element set to an extreme of its type: an index past a table, a payload, a NaN."""
    values = values.copy()
    if values.size == 0:
        return values
    flat = values.reshape(-1)
    where = choice % flat.size
    pick = choice // flat.size
    if values.dtype == np.bool_:
        values = values.astype(np.uint8)  # mask bytes other than 0 and 1
        values.reshape(-1)[where] = (2, 255, 0, 1)[pick % 4]
    elif values.dtype.kind in "iu":
        info = np.iinfo(values.dtype)
        extremes = (-1, info.min, info.max, int(flat.max()) + 1, int(flat.max()) + 2, 0,
                    int(flat.min()) - 1, 1, 2, 3)
        value = extremes[pick % len(extremes)]
        flat[where] = value % (info.max + 1) if info.min == 0 else min(max(value, info.min), info.max)
    else:
        flat[where] = (np.nan, np.inf, -np.inf, -0.0, 1e308, 5e-324)[pick % 6]
    return values


def damaged_call(function: str, seed: int, n: int, num_threads: int, damage: Damage | None,
                 guarded: bool = True):
    """The keyword arguments of one call and the arena holding its arrays; the same arguments
    give the same call, in fresh buffers."""
    call = CALLS[function].build(np.random.default_rng(seed), n)
    if "num_threads" in call:
        call["num_threads"] = num_threads
    arena = Arena(np.random.default_rng(seed + 1), guarded)
    for name, value in call.items():
        if isinstance(value, np.ndarray) and (damage is None or name != damage.name):
            call[name] = arena.place(name, value)
    if damage is None:
        return call, arena
    param = next(p for p in parameters(function) if p.name == damage.name)
    if param.is_array:
        call[damage.name] = _damage_array(call.get(damage.name), param, damage, arena)
    else:
        call[damage.name] = next(
            value for label, value, _ in SCALAR_DAMAGES[param.kind] if label == damage.label)
    return call, arena


def _damage_array(values, param, damage: Damage, arena: Arena):
    label, choice = damage.label, damage.choice
    if values is None:  # an optional array left out: give one, of no particular shape
        values = np.zeros((1,) * param.ndim, DTYPES[param.kind])
    if label == "None":
        return None
    if label == "list":
        return values.tolist()
    if label == "float":
        return 1.0
    if label == "numpy scalar":
        return np.float64(1.0)
    if label == "shape":
        return arena.place(param.name, _reshaped(values, choice))
    if label == "dtype":
        return arena.place(param.name, _retyped(values, choice))
    if label == "ndim":
        return arena.place(param.name, _with_ndim(values, choice))
    if label == "entry":
        return arena.place(param.name, _entry(values, choice))
    if label in ("fortran", "strided", "reversed", "misaligned"):
        return arena.place(param.name, values, label, choice % values.ndim)
    array = arena.place(param.name, values)
    if label == "read-only":
        array.flags.writeable = False
        return array
    if label == "subclass":
        return array.view(Subclass)
    if label == "flags raises":
        return array.view(BrokenFlags)
    if label == "broadcast":  # every element the first one, through zero strides; read-only
        first = array.reshape(-1)[:1].reshape((1,) * array.ndim) if array.size else array
        return np.broadcast_to(first, array.shape)
    raise AssertionError(label)
