"""The description of a hyperpolarized experiment, validated on construction.

Units: seconds, hertz, parts per million, radians inside the package and degrees in the
description. A per-voxel quantity (a "map") is a scalar, which every voxel shares, or a sequence
of ``nvoxels`` values.

The model, per voxel, for a precursor P and products Q_q with concentrations C (arbitrary units):

    dC_P/dt = -(clear_P + sum_q k_q) C_P + delivery u(t)
    dC_q/dt = -clear_q C_q + k_q C_P
    dM_P/dt = -(R1_P + clear_P + sum_q k_q) M_P + R1_P E C_P + polarization(t) delivery u(t)
    dM_q/dt = -(R1_q + clear_q) M_q + k_q M_P + R1_q E C_q

with E the equilibrium magnetization per unit concentration and u(t) the bolus input. An RF
pulse rotates each metabolite it excites by that metabolite's own angle (ideal spectral
selectivity: the others not at all); the transverse magnetization decays with T2 and precesses
at the metabolite's offset from the centre frequency plus the voxel's off-resonance.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
import warnings
from dataclasses import dataclass, field, fields
from typing import TYPE_CHECKING, Sequence, Union

import numpy as np

if TYPE_CHECKING:
    from korvel.host.grid import Grid
from korvel.host import admission

Map = Union[float, Sequence[float], np.ndarray]


class ExperimentError(ValueError):
    """An experiment description that cannot be simulated; the message names the field."""


class UnitWarning(UserWarning):
    """A value that is valid but looks like a slip of units (radians for degrees, ms for s)."""


class EmptyExperimentWarning(UserWarning):
    """An experiment without any magnetization: every signal it gives is zero."""


# Beyond these, a value is more likely a slip of units than meant.
LONGEST_LIKELY_T1 = 1000.0  # s
SMALLEST_LIKELY_FLIP = 1.0  # degrees


def _fail(message: str) -> None:
    raise ExperimentError(message)


def _number(where: str, value, *, positive=False, nonnegative=False, finite=True,
            allow_inf=False) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        _fail(f"{where} must be a number, got {value!r}")
    value = float(value)
    if math.isnan(value):
        _fail(f"{where} must not be NaN")
    if finite and math.isinf(value) and not (allow_inf and value > 0):
        _fail(f"{where} must be finite, got {value}")
    if positive and not value > 0:
        _fail(f"{where} must be positive, got {value}")
    if nonnegative and not value >= 0:
        _fail(f"{where} must not be negative, got {value}")
    return value


def _count(where: str, value, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        _fail(f"{where} must be an integer, got {value!r}")
    if value < minimum:
        _fail(f"{where} must be at least {minimum}, got {value}")
    return int(value)


def not_numbers(value) -> bool:
    """Whether ``value`` holds text or truth values where numbers belong (NumPy would read
    "1.2" and True as numbers)."""
    if isinstance(value, (str, bytes, bool, np.bool_)):
        return True
    if isinstance(value, np.ndarray):
        if value.dtype.kind in "bUSV":
            return True
        return value.dtype.kind == "O" and any(not_numbers(v) for v in value.reshape(-1))
    if isinstance(value, (list, tuple)):
        return any(not_numbers(v) for v in value)
    return False


def _voxel_map(where: str, value, nvoxels: int, *, nonnegative=False,
               complex_ok=False) -> np.ndarray:
    """A read-only array of nvoxels values from a scalar or a sequence."""
    dtype = np.complex128 if complex_ok else np.float64
    try:
        array = np.array(value, dtype=dtype)
    except (TypeError, ValueError):
        _fail(f"{where} must be a number or a sequence of numbers")
    if not_numbers(value):
        _fail(f"{where} must be a number or a sequence of numbers, not text or true/false")
    if array.ndim == 0:
        array = np.full(nvoxels, array, dtype=dtype)
    elif array.shape != (nvoxels,):
        _fail(f"{where} must be a scalar or have one value per voxel ({nvoxels}), "
              f"got shape {array.shape}")
    if not np.all(np.isfinite(array)):
        _fail(f"{where} must be finite")
    if nonnegative and np.any(array < 0):
        _fail(f"{where} must not be negative")
    array.setflags(write=False)
    return array


@dataclass(frozen=True)
class Metabolite:
    """One metabolite: relaxation times, chemical shift and clearance of the agent."""

    name: str
    t1: float
    """Longitudinal relaxation time in s (``inf`` for none)."""
    t2: float
    """Transverse relaxation time in s (``inf`` for none)."""
    chemical_shift: float
    """Chemical shift in ppm."""
    clearance: float = 0.0
    """Rate in 1/s at which the agent (and its magnetization) leaves the voxel."""

    def __post_init__(self):
        if not isinstance(self.name, str) or not self.name.strip():
            _fail(f"metabolite name must be a non-empty string, got {self.name!r}")
        where = f"metabolite {self.name!r}"
        object.__setattr__(self, "t1", _number(f"{where}: t1", self.t1, positive=True,
                                               allow_inf=True))
        object.__setattr__(self, "t2", _number(f"{where}: t2", self.t2, positive=True,
                                               allow_inf=True))
        object.__setattr__(self, "chemical_shift",
                           _number(f"{where}: chemical_shift", self.chemical_shift))
        object.__setattr__(self, "clearance",
                           _number(f"{where}: clearance", self.clearance, nonnegative=True))
        if math.isfinite(self.t1) and self.t1 > LONGEST_LIKELY_T1:
            warnings.warn(f"{where}: t1 = {self.t1:g} s is longer than {LONGEST_LIKELY_T1:g} s; "
                          f"relaxation times are in seconds (milliseconds given?)",
                          UnitWarning, stacklevel=3)

    @property
    def r1(self) -> float:
        return 1.0 / self.t1


BOLUS_SHAPES = ("gamma", "boxcar")


@dataclass(frozen=True)
class Bolus:
    """The input function u(t): total ``dose`` delivered from ``arrival`` on.

    ``gamma``: a gamma-variate density with shape ``gamma_shape`` and scale
    ``duration / gamma_shape`` (its width at half maximum is about ``duration``).
    ``boxcar``: a constant rate over ``duration``.
    """

    shape: str = "gamma"
    arrival: float = 4.0
    duration: float = 8.0
    gamma_shape: float = 4.0
    dose: float = 1.0

    def __post_init__(self):
        if self.shape not in BOLUS_SHAPES:
            _fail(f"bolus shape must be one of {', '.join(BOLUS_SHAPES)}, got {self.shape!r}")
        object.__setattr__(self, "arrival", _number("bolus arrival", self.arrival,
                                                    nonnegative=True))
        object.__setattr__(self, "duration", _number("bolus duration", self.duration,
                                                     positive=True))
        gamma_shape = _number("bolus gamma_shape", self.gamma_shape)
        if gamma_shape < 1.0:
            _fail(f"bolus gamma_shape must be at least 1, got {gamma_shape}")
        object.__setattr__(self, "gamma_shape", gamma_shape)
        object.__setattr__(self, "dose", _number("bolus dose", self.dose, nonnegative=True))

    def rate(self, time, side: int = 1) -> np.ndarray:
        """u(t); at a jump, the limit from the right (side=+1) or from the left (side=-1)."""
        t = np.asarray(time, dtype=np.float64)
        elapsed = t - self.arrival
        after_start = elapsed > 0 if side < 0 else elapsed >= 0
        if self.shape == "boxcar":
            # Compared with the end breakpoint itself, the time the plan puts a node on:
            # t - arrival can round past the duration at that very node.
            end = self.breakpoints()[1]
            before_end = t <= end if side < 0 else t < end
            return np.where(after_start & before_end, self.dose / self.duration, 0.0)
        k = self.gamma_shape
        scale = self.duration / k
        positive = np.maximum(elapsed, 0.0) / scale
        with np.errstate(divide="ignore", invalid="ignore"):
            log_density = ((k - 1.0) * np.log(positive) - positive
                           - math.lgamma(k) - math.log(scale))
            density = np.where(positive > 0, np.exp(log_density), 0.0)
        if k == 1.0:
            density = np.where(elapsed == 0, 1.0 / scale, density)
        return np.where(after_start, self.dose * density, 0.0)

    def breakpoints(self) -> tuple[float, ...]:
        """Times where u(t) or its slope jumps: the plan puts a node on each.

        A gamma variate of shape above 2 starts with zero value and slope, so its arrival is
        no breakpoint: the plan's nodes then stay where they are as the arrival moves, and the
        simulated signal is a smooth function of it (a node that followed the arrival would
        change the number of steps around it, and the signal by the sampling error, at every
        arrival that puts it a multiple of the step from a pulse).
        """
        if self.shape == "boxcar":
            return (self.arrival, self.arrival + self.duration)
        return (self.arrival,) if self.gamma_shape <= 2.0 else ()


@dataclass(frozen=True)
class Inflow:
    """Delivery of fresh precursor: the bolus and its polarization on arrival.

    ``polarization`` is the magnetization per unit concentration of the inflowing precursor at
    time 0; it decays with ``polarization_t1`` in transit.
    """

    bolus: Bolus = field(default_factory=Bolus)
    polarization: float = 1.0
    polarization_t1: float = math.inf

    def __post_init__(self):
        if not isinstance(self.bolus, Bolus):
            _fail(f"inflow bolus must be a Bolus, got {type(self.bolus).__name__}")
        object.__setattr__(self, "polarization", _number("inflow polarization",
                                                         self.polarization))
        object.__setattr__(self, "polarization_t1", _number(
            "inflow polarization_t1", self.polarization_t1, positive=True, allow_inf=True))

    def polarization_at(self, time) -> np.ndarray:
        t = np.asarray(time, dtype=np.float64)
        return self.polarization * np.exp(-t / self.polarization_t1)


class FrozenMapping(Mapping):
    """A read-only, hashable mapping (per-metabolite settings of a frozen description)."""

    def __init__(self, items=()):
        self._items = dict(items)

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __hash__(self) -> int:
        return hash(frozenset(self._items.items()))

    def __repr__(self) -> str:
        return repr(self._items)


FLIP_KINDS = ("constant", "variable", "list")


@dataclass(frozen=True)
class FlipAngles:
    """The flip-angle schedule, in degrees.

    ``constant``: ``angle`` at every excitation. ``variable``: the schedule that keeps the signal
    of non-recovering magnetization constant, tan(theta_n) = sin(theta_n+1), ending at ``angle``.
    ``list``: ``angles``, one per excitation.
    """

    kind: str = "constant"
    angle: float = 20.0
    angles: tuple[float, ...] = ()

    def __post_init__(self):
        if self.kind not in FLIP_KINDS:
            _fail(f"flip angle kind must be one of {', '.join(FLIP_KINDS)}, got {self.kind!r}")
        object.__setattr__(self, "angle", _number("flip angle", self.angle))
        angles = tuple(_number(f"flip angles[{i}]", a) for i, a in enumerate(self.angles))
        object.__setattr__(self, "angles", angles)
        if self.kind == "list" and not angles:
            _fail("flip angles of kind 'list' need the angles, one per excitation")
        if self.kind != "list" and angles:
            _fail(f"flip angles of kind {self.kind!r} take angle, not angles (use kind 'list')")
        if self.kind == "list" and self.angle != FlipAngles.angle:
            _fail("flip angles of kind 'list' take angles, not angle")
        used = angles if self.kind == "list" else (self.angle,)
        slips = [a for a in used if 0 < abs(a) < SMALLEST_LIKELY_FLIP]
        if slips:
            warnings.warn(f"flip angle {slips[0]:g} is below {SMALLEST_LIKELY_FLIP:g} degree; "
                          f"flip angles are in degrees (radians given?)", UnitWarning,
                          stacklevel=3)

    def schedule(self, excitations: int) -> np.ndarray:
        """Flip angles in radians, one per excitation."""
        if self.kind == "constant":
            return np.full(excitations, math.radians(self.angle))
        if self.kind == "list":
            if len(self.angles) != excitations:
                _fail(f"flip angles: {len(self.angles)} angles given for "
                      f"{excitations} excitations")
            return np.radians(np.array(self.angles, dtype=np.float64))
        angles = np.empty(excitations)
        angles[-1] = math.radians(self.angle)
        for n in range(excitations - 2, -1, -1):
            angles[n] = math.atan(math.sin(angles[n + 1]))
        return angles


@dataclass(frozen=True)
class Acquisition:
    """Excitations every ``repetition_time`` from ``first_excitation`` (in s from the start of
    the simulation; default, here and in a TOML file that omits it: one ``repetition_time``).

    Each RF pulse is a rotation at its centre; the ADC samples ``readout_delay`` after it and,
    with ``crushers``, the remaining transverse magnetization is spoiled after the readout.
    ``pulse_duration`` sets the RF amplitude where a transmit map makes the rotation per voxel.

    ``flip_angles`` is one ``FlipAngles`` for every metabolite, or a mapping from each
    metabolite's name to its own (a ``variable`` schedule ends at that metabolite's angle).
    ``excitation_offsets`` maps metabolite names to the time in s after the frame's start at
    which that metabolite is excited and read out (0 for those left out: one spectral-spatial
    pulse). Metabolites with different offsets get separate pulses, each rotating only its
    metabolites and followed by their readout (and the crushers); offsets that differ must be
    at least twice the readout delay apart, and all of them fit within one repetition.
    """

    repetition_time: float = 3.0
    excitations: int = 20
    flip_angles: FlipAngles | Mapping[str, FlipAngles] = field(default_factory=FlipAngles)
    first_excitation: float | None = None
    readout_delay: float = 0.005
    pulse_duration: float = 0.002
    crushers: bool = True
    excitation_offsets: Mapping[str, float] = field(default_factory=FrozenMapping)

    def __post_init__(self):
        tr = _number("acquisition repetition_time", self.repetition_time, positive=True)
        object.__setattr__(self, "repetition_time", tr)
        object.__setattr__(self, "excitations",
                           _count("acquisition excitations", self.excitations, 1))
        flips = self.flip_angles
        if isinstance(flips, Mapping):
            if not flips:
                _fail("acquisition flip_angles must not be an empty mapping")
            for name, value in flips.items():
                if not isinstance(name, str) or not name:
                    _fail(f"acquisition flip_angles: keys must be metabolite names, "
                          f"got {name!r}")
                if not isinstance(value, FlipAngles):
                    _fail(f"acquisition flip_angles[{name!r}] must be FlipAngles, "
                          f"got {type(value).__name__}")
            object.__setattr__(self, "flip_angles", FrozenMapping(flips))
        elif not isinstance(flips, FlipAngles):
            _fail(f"acquisition flip_angles must be FlipAngles, "
                  f"got {type(self.flip_angles).__name__}")
        delay = _number("acquisition readout_delay", self.readout_delay, positive=True)
        pulse = _number("acquisition pulse_duration", self.pulse_duration, positive=True)
        first = tr if self.first_excitation is None else _number(
            "acquisition first_excitation", self.first_excitation)
        object.__setattr__(self, "readout_delay", delay)
        object.__setattr__(self, "pulse_duration", pulse)
        object.__setattr__(self, "first_excitation", first)
        if not isinstance(self.crushers, (bool, np.bool_)):
            _fail(f"acquisition crushers must be true or false, got {self.crushers!r}")
        object.__setattr__(self, "crushers", bool(self.crushers))
        if pulse > 2.0 * delay:
            _fail("acquisition readout_delay must be at least half the pulse_duration")
        if not 2.0 * delay < tr:
            _fail("acquisition repetition_time must be longer than twice the readout_delay")
        if first < delay:
            _fail("acquisition first_excitation must be at least the readout_delay "
                  "(the simulation starts at time 0)")
        for flips in self._flip_angle_list():
            if flips.kind == "list" and len(flips.angles) != self.excitations:
                flips.schedule(self.excitations)  # the message of a list of the wrong length
        # The schedules themselves are computed when the run is planned, after admission.
        admission.check_excitations(self.excitations)
        offsets = self.excitation_offsets
        if not isinstance(offsets, Mapping):
            _fail(f"acquisition excitation_offsets must map metabolite names to times in s, "
                  f"got {type(offsets).__name__}")
        checked = {}
        for name, value in offsets.items():
            if not isinstance(name, str) or not name:
                _fail(f"acquisition excitation_offsets: keys must be metabolite names, "
                      f"got {name!r}")
            checked[name] = _number(f"acquisition excitation_offsets[{name!r}]", value,
                                    nonnegative=True)
        object.__setattr__(self, "excitation_offsets", FrozenMapping(checked))

    def _flip_angle_list(self) -> list[FlipAngles]:
        flips = self.flip_angles
        return list(flips.values()) if isinstance(flips, Mapping) else [flips]

    def check_metabolites(self, names: Sequence[str]) -> None:
        """Raise ExperimentError unless the per-metabolite settings fit the metabolites
        ``names``: every one named exactly once in a flip-angle mapping, offsets only for
        known names, and the pulses of different offsets apart and within one repetition."""
        known = set(names)
        flips = self.flip_angles
        if isinstance(flips, Mapping):
            missing = [n for n in names if n not in flips]
            unknown = [n for n in flips if n not in known]
            if missing or unknown:
                parts = ([f"missing {', '.join(map(repr, missing))}"] if missing else []) + \
                    ([f"unknown {', '.join(map(repr, unknown))}"] if unknown else [])
                _fail(f"acquisition flip_angles must name every metabolite exactly once "
                      f"({', '.join(names)}): {'; '.join(parts)}")
        unknown = [n for n in self.excitation_offsets if n not in known]
        if unknown:
            _fail(f"acquisition excitation_offsets: unknown metabolite "
                  f"{', '.join(map(repr, unknown))} (metabolites: {', '.join(names)})")
        times = sorted(set(self.offsets(names).tolist()))
        spacing = 2.0 * self.readout_delay
        for early, late in zip(times, times[1:]):
            if late - early < spacing:
                _fail(f"acquisition excitation_offsets {early:g} s and {late:g} s must be at "
                      f"least twice the readout_delay ({spacing:g} s) apart")
        if not (times[-1] - times[0]) + spacing < self.repetition_time:
            _fail("acquisition excitation_offsets must fit within one repetition: the latest "
                  "minus the earliest plus twice the readout_delay must be below the "
                  "repetition_time")

    def schedules(self, names: Sequence[str]) -> np.ndarray:
        """Flip angles in radians of each metabolite (in the order of ``names``) at each
        frame: (len(names), excitations)."""
        flips = self.flip_angles
        if isinstance(flips, Mapping):
            return np.stack([flips[n].schedule(self.excitations) for n in names])
        return np.tile(flips.schedule(self.excitations), (len(names), 1))

    def offsets(self, names: Sequence[str]) -> np.ndarray:
        """The excitation offset in s of each metabolite in ``names`` (0 where not given)."""
        return np.array([self.excitation_offsets.get(n, 0.0) for n in names], dtype=np.float64)

    def excitation_times(self) -> np.ndarray:
        """The start of each frame: the time of the pulse of the metabolites at offset 0."""
        return self.first_excitation + self.repetition_time * np.arange(self.excitations)

    def readout_times(self) -> np.ndarray:
        """The readout of each frame for the metabolites at offset 0."""
        return self.excitation_times() + self.readout_delay


VOXEL_MAPS = ("off_resonance", "transmit", "delivery")
"""The fields of ``Experiment`` that are one map (or None); ``receive`` and ``regions`` are per
voxel too."""
VOXEL_MAP_TUPLES = ("conversion_rates", "initial_magnetization", "initial_concentration")
"""The fields of ``Experiment`` that are tuples of maps."""


@dataclass(frozen=True, eq=False)
class Experiment:
    """A complete experiment: metabolites, tissue maps, acquisition and inflow.

    Per-voxel maps are normalised to read-only arrays of ``nvoxels`` values on construction.
    ``conversion_rates`` has one map per product (1/s). ``transmit`` is the B1 scale per voxel
    (complex for a phase; None for a uniform field); ``receive`` is (ncoils, nvoxels) complex
    (None for one uniform coil). Each voxel holds ``spins_per_voxel`` spins whose off-resonance
    spreads uniformly over ``spin_spread`` Hz around the voxel's. ``initial_magnetization`` and
    ``initial_concentration`` have one map per metabolite (precursor first), at time 0.
    ``max_half_interval`` bounds the plan's half-intervals (the source is linear within each);
    ``memory_bound`` the bytes of the state arrays of the voxels simulated together and of the
    coefficient tables of one driver call (the signal comes on top of it). ``grid``, a ``Grid`` of
    ``nvoxels`` voxels, places the voxels on an image grid (a phantom's builder sets it).
    """

    precursor: Metabolite
    products: tuple[Metabolite, ...]
    conversion_rates: tuple[Map, ...]
    acquisition: Acquisition = field(default_factory=Acquisition)
    nvoxels: int = 1
    regions: tuple[str, ...] | None = None
    reference_frequency: float = 32.1e6
    center_shift: float | None = None
    off_resonance: Map = 0.0
    transmit: Map | None = None
    receive: np.ndarray | None = None
    spins_per_voxel: int = 1
    spin_spread: float = 0.0
    inflow: Inflow | None = None
    delivery: Map = 1.0
    equilibrium: float = 0.0
    initial_magnetization: tuple[Map, ...] | None = None
    initial_concentration: tuple[Map, ...] | None = None
    max_half_interval: float = 0.25
    memory_bound: int = 64 * 2**20
    grid: Grid | None = None

    def __post_init__(self):
        set_ = lambda name, value: object.__setattr__(self, name, value)  # noqa: E731
        nvoxels = _count("nvoxels", self.nvoxels, 1)
        set_("nvoxels", nvoxels)
        if not isinstance(self.precursor, Metabolite):
            _fail("precursor must be a Metabolite")
        products = tuple(self.products) if isinstance(self.products, (list, tuple)) else None
        if not products or not all(isinstance(p, Metabolite) for p in products):
            _fail("products must be a non-empty sequence of Metabolite")
        set_("products", products)
        names = [m.name for m in self.metabolites]
        if len(set(names)) != len(names):
            _fail(f"metabolite names must be unique, got {names}")
        if not isinstance(self.acquisition, Acquisition):
            _fail("acquisition must be an Acquisition")
        self.acquisition.check_metabolites(names)
        rates = self.conversion_rates
        if not isinstance(rates, (list, tuple)) or len(rates) != len(products):
            _fail(f"conversion_rates must have one map per product ({len(products)})")
        # The maps below: one per product, off-resonance, transmit, delivery, two per metabolite.
        admission.check_maps(nvoxels, len(products) + 4 + 2 * len(names))
        set_("conversion_rates", tuple(
            _voxel_map(f"conversion rate to {p.name!r}", rate, nvoxels, nonnegative=True)
            for p, rate in zip(products, rates)))
        if self.regions is None:
            set_("regions", tuple(f"voxel {v}" for v in range(nvoxels)))
        else:
            regions = tuple(self.regions)
            if len(regions) != nvoxels or not all(isinstance(r, str) and r for r in regions):
                _fail(f"regions must name the region of each voxel ({nvoxels} names)")
            set_("regions", regions)
        set_("reference_frequency", _number("reference_frequency", self.reference_frequency,
                                            positive=True))
        set_("center_shift", self.precursor.chemical_shift if self.center_shift is None
             else _number("center_shift", self.center_shift))
        set_("off_resonance", _voxel_map("off_resonance", self.off_resonance, nvoxels))
        if self.transmit is not None:
            set_("transmit", _voxel_map("transmit", self.transmit, nvoxels, complex_ok=True))
        if self.receive is None:
            receive = np.ones((1, nvoxels), dtype=np.complex128)
        else:
            try:
                receive = np.array(self.receive, dtype=np.complex128)
            except (TypeError, ValueError):
                _fail("receive must be an array of coil sensitivities")
            if receive.ndim == 1:
                receive = receive[np.newaxis, :]
            if receive.ndim != 2 or receive.shape[1] != nvoxels or receive.shape[0] < 1:
                _fail(f"receive must have shape (ncoils, nvoxels) with nvoxels = {nvoxels}, "
                      f"got {receive.shape}")
            if not np.all(np.isfinite(receive)):
                _fail("receive must be finite")
        receive.setflags(write=False)
        set_("receive", receive)
        set_("spins_per_voxel", _count("spins_per_voxel", self.spins_per_voxel, 1))
        set_("spin_spread", _number("spin_spread", self.spin_spread, nonnegative=True))
        if self.inflow is not None and not isinstance(self.inflow, Inflow):
            _fail("inflow must be an Inflow or None")
        set_("delivery", _voxel_map("delivery", self.delivery, nvoxels, nonnegative=True))
        set_("equilibrium", _number("equilibrium", self.equilibrium))
        for name in ("initial_magnetization", "initial_concentration"):
            value = getattr(self, name)
            if value is None:
                value = (0.0,) * len(names)
            if not isinstance(value, (list, tuple)) or len(value) != len(names):
                _fail(f"{name} must have one map per metabolite ({len(names)})")
            set_(name, tuple(_voxel_map(f"{name} of {n!r}", v, nvoxels)
                             for n, v in zip(names, value)))
        set_("max_half_interval", _number("max_half_interval", self.max_half_interval,
                                          positive=True))
        set_("memory_bound", _count("memory_bound", self.memory_bound, 1))
        if self.grid is not None:
            from korvel.host.grid import Grid

            if not isinstance(self.grid, Grid):
                _fail(f"grid must be a Grid or None, got {type(self.grid).__name__}")
            if self.grid.nvoxels != nvoxels:
                _fail(f"grid places {self.grid.nvoxels} voxels, the experiment has {nvoxels}")

    @property
    def metabolites(self) -> tuple[Metabolite, ...]:
        return (self.precursor, *self.products)

    @property
    def ncoils(self) -> int:
        return self.receive.shape[0]

    @property
    def nspins(self) -> int:
        return self.nvoxels * self.spins_per_voxel

    def replace(self, **changes) -> "Experiment":
        """A copy with some fields changed (validated again)."""
        current = {f.name: getattr(self, f.name) for f in fields(self)}
        current.update(changes)
        return Experiment(**current)

    def voxel_fields(self, start: int, stop: int) -> dict:
        """The per-voxel fields restricted to voxels [start, stop), as ``replace`` takes them
        (views of this experiment's read-only maps)."""
        for name, value in (("start", start), ("stop", stop)):
            if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
                raise TypeError(f"{name} must be an integer, got {value!r}")
        start, stop = int(start), int(stop)
        if not 0 <= start < stop <= self.nvoxels:
            raise ValueError(f"voxels {start}:{stop} must be a non-empty range within "
                             f"0:{self.nvoxels}")
        voxels = slice(start, stop)
        changes: dict = {name: tuple(m[voxels] for m in getattr(self, name))
                         for name in VOXEL_MAP_TUPLES}
        changes.update({name: None if getattr(self, name) is None else getattr(self, name)[voxels]
                        for name in VOXEL_MAPS})
        # A slice is a run of voxels, not an image: the grid stays with the whole experiment.
        changes.update(nvoxels=stop - start, regions=self.regions[voxels],
                       receive=self.receive[:, voxels], grid=None)
        return changes

    def slice_voxels(self, start: int, stop: int) -> "Experiment":
        """The same experiment over voxels [start, stop) only: every per-voxel map cut to those
        voxels, every shared value kept. Voxels never interact, so its signal is, bit for bit,
        those voxels' signal in the whole experiment."""
        return self.replace(**self.voxel_fields(start, stop))

    def chemical_offsets(self) -> np.ndarray:
        """Frequency offset in Hz of each metabolite from the centre frequency, (nmetabolites,)."""
        shifts = np.array([m.chemical_shift for m in self.metabolites]) - self.center_shift
        return shifts * (self.reference_frequency * 1e-6)

    def flip_angle_schedules(self) -> np.ndarray:
        """Flip angle in radians of each metabolite at each frame: (nmetabolites, nframes)."""
        return self.acquisition.schedules([m.name for m in self.metabolites])

    def excitation_offsets(self) -> np.ndarray:
        """Time in s from each frame's start to each metabolite's pulse: (nmetabolites,)."""
        return self.acquisition.offsets([m.name for m in self.metabolites])

    def readout_times(self) -> np.ndarray:
        """Time in s of each metabolite's readout in each frame: (nmetabolites, nframes)."""
        acquisition = self.acquisition
        return (acquisition.excitation_times()[np.newaxis, :]
                + self.excitation_offsets()[:, np.newaxis]) + acquisition.readout_delay

    def offsets(self) -> np.ndarray:
        """Frequency offset in Hz of each metabolite at each voxel: (nmetabolites, nvoxels)."""
        return self.chemical_offsets()[:, np.newaxis] + self.off_resonance[np.newaxis, :]


__all__ = [
    "Acquisition", "Bolus", "EmptyExperimentWarning", "Experiment", "ExperimentError",
    "FlipAngles", "Inflow", "Map", "Metabolite", "UnitWarning",
]
