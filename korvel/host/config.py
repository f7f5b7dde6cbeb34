"""Experiments from TOML: a phantom of regions, each a run of voxels with its own tissue values,
or a ``[phantom]`` on a 2-D or 3-D grid with regions drawn as shapes or read from a label image.

See ``default_experiment.toml`` beside this file for every key of the run form; unknown keys are
errors, and a missing key takes the default of the matching dataclass field. The grid form:

    [phantom]
    shape = [32, 32]                # rows, columns (slices first in 3-D)
    voxel_size = 2.0                # mm: one, or one per axis
    units = "voxel"                 # of shapes, centres and positions: "voxel" or "mm"
    labels = "labels.npy"           # or { file = "labels.npz", key = "name" }; relative to the file
    transmit = { model = "gaussian", width = 20.0, peak = 1.0 }
    # or { model = "polynomial", offset = 1.0, linear = [0.0, 0.1], quadratic = -0.2 }
    coils = { count = 4, distance = 20.0, radius = 8.0 }      # a ring; model = "loop"/"gaussian"
    # or [[phantom.coils]] tables of position, radius, model, phase (degrees), scale

    [[phantom.regions]]             # painted in order, later over earlier
    name = "tumour"
    shape = { kind = "ellipse", center = [12.0, 20.0], radii = [4.0, 5.0], angle = 30.0 }
    # kind = "ellipse" (an ellipsoid in 3-D) with radii, or "rectangle" (a box) with size;
    # or label = 2 (or [2, 3]): the points of the label image holding it
    rates = { lactate = 0.06 }
    delivery = 1.2                  # off_resonance, initial_magnetization, ...: as in [[regions]]

The region values are one number per region; transmit and receive come from the fields.
"""

from __future__ import annotations

import tomllib
from importlib import resources
from pathlib import Path

import numpy as np

from korvel.host.admission import check_maps
from korvel.host.experiment import (
    Acquisition,
    Bolus,
    Experiment,
    ExperimentError,
    FlipAngles,
    Inflow,
    Metabolite,
    not_numbers,
)
from korvel.host.fields import Coil, CoilRing, GaussianTransmit, PolynomialTransmit
from korvel.host.phantom import Ellipse, Phantom, Rectangle, Region, load_labels

DEFAULT_CONFIG = "default_experiment.toml"

_TOP = {"field", "acquisition", "metabolites", "inflow", "voxels", "regions", "simulation",
        "phantom"}
_REGION_KEYS = {"name", "voxels", "rates", "delivery", "off_resonance", "transmit", "receive",
                "initial_magnetization", "initial_concentration", "shared_name"}
# A phantom's region has the tissue values of a run's; its voxels come from a shape or a label,
# its transmit and receive from the phantom's fields.
_FROM_THE_GRID = {"voxels", "transmit", "receive"}
_PHANTOM_REGION_KEYS = (_REGION_KEYS - _FROM_THE_GRID) | {"shape", "label"}
_PHANTOM_KEYS = {"shape", "voxel_size", "units", "labels", "transmit", "coils", "regions"}
_SHAPES = {"ellipse": (Ellipse, "radii"), "ellipsoid": (Ellipse, "radii"),
           "rectangle": (Rectangle, "size"), "box": (Rectangle, "size")}
_TRANSMITS = {"gaussian": GaussianTransmit, "polynomial": PolynomialTransmit}
# The flip-angle keys each kind reads.
_FLIP_KEYS = {"constant": "angle", "variable": "angle", "list": "angles"}


def _table(where: str, value, allowed: set) -> dict:
    if not isinstance(value, dict):
        raise ExperimentError(f"[{where}] must be a table")
    unknown = sorted(set(value) - allowed)
    if unknown:
        raise ExperimentError(f"unknown key {unknown[0]!r} in [{where}]; "
                              f"allowed: {', '.join(sorted(allowed))}")
    return value


def _fields(cls) -> set:
    return set(cls.__dataclass_fields__)


def _region_values(where: str, value, count: int, dtype=np.float64) -> np.ndarray:
    """A region's scalar or per-voxel list as ``count`` values."""
    try:
        array = np.array(value, dtype=dtype)
    except (TypeError, ValueError):
        raise ExperimentError(f"{where} must be a number or a list of numbers") from None
    if not_numbers(value):
        raise ExperimentError(f"{where} must be a number or a list of numbers, got {value!r}")
    if array.ndim == 0:
        return np.full(count, array)
    if array.shape != (count,):
        raise ExperimentError(f"{where} must be a number or a list of {count} values "
                              f"(one per voxel of the region)")
    return array


def _shape(where: str, value):
    if not isinstance(value, dict) or value.get("kind") not in _SHAPES:
        raise ExperimentError(f"{where} must be a table with kind = one of "
                              f"{', '.join(_SHAPES)}")
    cls, lengths = _SHAPES[value["kind"]]
    table = dict(_table(where, value, {"kind", "center", lengths, "angle"}))
    del table["kind"]
    missing = [key for key in ("center", lengths) if key not in table]
    if missing:
        raise ExperimentError(f"{where} needs {', '.join(missing)}")
    return cls(**table)


def _transmit(value):
    if not isinstance(value, dict) or value.get("model") not in _TRANSMITS:
        raise ExperimentError(f"phantom.transmit must be a table with model = one of "
                              f"{', '.join(_TRANSMITS)}")
    cls = _TRANSMITS[value["model"]]
    table = dict(_table("phantom.transmit", value, _fields(cls) | {"model"}))
    del table["model"]
    if cls is GaussianTransmit and "width" not in table:
        raise ExperimentError("phantom.transmit of model 'gaussian' needs width")
    return cls(**table)


def _coils(value):
    if isinstance(value, dict):
        table = _table("phantom.coils", value, _fields(CoilRing))
        missing = [key for key in ("count", "distance", "radius") if key not in table]
        if missing:
            raise ExperimentError(f"phantom.coils (a ring) needs {', '.join(missing)}")
        return CoilRing(**table)
    if not isinstance(value, list) or not value:
        raise ExperimentError("phantom.coils must be a table (a ring of coils) or a list of "
                              "coil tables")
    coils = []
    for i, table in enumerate(value):
        table = _table(f"phantom.coils.{i}", table, _fields(Coil))
        missing = [key for key in ("position", "radius") if key not in table]
        if missing:
            raise ExperimentError(f"[[phantom.coils]] entry {i} needs {', '.join(missing)}")
        coils.append(Coil(**table))
    return coils


def phantom_from_config(table: dict, base=None) -> Phantom:
    """A Phantom from the ``[phantom]`` table of a parsed TOML document; a relative label-image
    path is taken from ``base`` (a folder; default: the working directory)."""
    table = _table("phantom", table, _PHANTOM_KEYS)
    labels = table.get("labels")
    key = None
    if isinstance(labels, dict):
        labels = _table("phantom.labels", labels, {"file", "key"})
        if "file" not in labels:
            raise ExperimentError("phantom.labels needs file")
        labels, key = labels["file"], labels.get("key")
    if labels is not None:
        if not isinstance(labels, str):
            raise ExperimentError("phantom.labels must be a file name or a table of file and "
                                  "key")
        labels = load_labels(Path(base or ".") / labels, key)
    regions = table.get("regions")
    if not isinstance(regions, list) or not regions:
        raise ExperimentError("[[phantom.regions]] must list at least one region")
    built = []
    for i, region in enumerate(regions):
        if isinstance(region, dict):
            moved = sorted(_FROM_THE_GRID & set(region))
            if moved:
                raise ExperimentError(f"{moved[0]!r} is not a key of [[phantom.regions]]: a "
                                      f"region's voxels come from its shape or label, transmit "
                                      f"and receive from [phantom] transmit and coils")
        region = dict(_table(f"phantom.regions.{i}", region, _PHANTOM_REGION_KEYS))
        region.setdefault("name", f"region {i}")
        if "shape" in region:
            region["shape"] = _shape(f"phantom.regions.{i}.shape", region["shape"])
        built.append(Region(**region))
    return Phantom(
        shape=table.get("shape"),
        regions=built,
        voxel_size=table.get("voxel_size", 1.0),
        units=table.get("units", "voxel"),
        labels=labels,
        transmit=None if "transmit" not in table else _transmit(table["transmit"]),
        coils=None if "coils" not in table else _coils(table["coils"]),
    )


def _receive(where: str, value, count: int) -> np.ndarray:
    """A region's receive sensitivities as (coils, voxels of the region): a list of one value
    per coil, which every voxel shares, or (coils, voxels) lists."""
    try:
        array = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise ExperimentError(f"{where}: receive must list one sensitivity per coil") from None
    if not_numbers(value):
        raise ExperimentError(f"{where}: receive must list numbers, got {value!r}")
    if array.ndim == 0:
        array = array.reshape(1)
    if array.ndim == 1 and array.shape[0] >= 1:
        return np.repeat(array[:, np.newaxis], count, axis=1)
    if array.ndim == 2 and array.shape[0] >= 1 and array.shape[1] == count:
        return array
    raise ExperimentError(f"{where}: receive must list one sensitivity per coil, or one list per "
                          f"coil of {count} values (one per voxel of the region); got shape "
                          f"{array.shape}")


def _check_region_names(regions: list) -> None:
    """Two entries of one name are one region only when the later ones say so."""
    first: dict = {}
    for i, region in enumerate(regions):
        if not isinstance(region, dict) or "name" not in region:
            continue
        name = region["name"]
        if not isinstance(name, str) or not name:
            raise ExperimentError(f"[[regions]] entry {i}: name must be a non-empty string")
        shared = region.get("shared_name", False)
        if not isinstance(shared, bool):
            raise ExperimentError(f"region {name!r}: shared_name must be true or false")
        if name in first and not shared:
            raise ExperimentError(f"[[regions]] entries {first[name]} and {i} are both named "
                                  f"{name!r}; name them apart, or set shared_name = true on the "
                                  f"later one to make them one region")
        first.setdefault(name, i)


def _flip_angles(where: str, table) -> FlipAngles:
    flips = dict(_table(where, table, _fields(FlipAngles)))
    kind = flips.get("kind", FlipAngles.kind)
    if kind in _FLIP_KEYS:
        unused = sorted(set(flips) & set(_FLIP_KEYS.values()) - {_FLIP_KEYS[kind]})
        if unused:
            raise ExperimentError(f"[{where}] of kind {kind!r} takes "
                                  f"{_FLIP_KEYS[kind]}, not {unused[0]}")
    if "angles" in flips:
        flips["angles"] = tuple(flips["angles"])
    return FlipAngles(**flips)


def experiment_from_config(config: dict, base=None) -> Experiment:
    """Build an Experiment from a parsed TOML document (a dict); ``base`` is the folder that
    relative file names (a phantom's label image) are taken from."""
    _table("top level", config, _TOP)
    field_ = _table("field", config.get("field", {}), {"reference_frequency", "center_shift"})
    acquisition_table = dict(_table("acquisition", config.get("acquisition", {}),
                                    _fields(Acquisition)))
    flips = acquisition_table.pop("flip_angles", {})
    if isinstance(flips, dict) and any(isinstance(v, dict) for v in flips.values()):
        # One schedule per metabolite: { pyruvate = { kind = ..., angle = ... }, ... }
        flip_angles = {name: _flip_angles(f"acquisition.flip_angles.{name}", table)
                       for name, table in flips.items()}
    else:
        flip_angles = _flip_angles("acquisition.flip_angles", flips)
    offsets = acquisition_table.pop("excitation_offsets", {})
    if not isinstance(offsets, dict):
        raise ExperimentError("[acquisition] excitation_offsets must be a table of metabolite "
                              "names and times in s, e.g. { lactate = 0.1 }")
    acquisition = Acquisition(flip_angles=flip_angles, excitation_offsets=offsets,
                              **acquisition_table)

    metabolite_tables = config.get("metabolites")
    if not isinstance(metabolite_tables, list) or len(metabolite_tables) < 2:
        raise ExperimentError("[[metabolites]] must list the precursor and at least one product")
    metabolites = []
    for i, table in enumerate(metabolite_tables):
        table = _table(f"metabolites.{i}", table, _fields(Metabolite))
        missing = [key for key in ("name", "t1", "t2", "chemical_shift") if key not in table]
        if missing:
            raise ExperimentError(f"[[metabolites]] entry {i} needs {', '.join(missing)}")
        metabolites.append(Metabolite(**table))
    names = [m.name for m in metabolites]

    inflow = None
    if "inflow" in config:
        inflow_table = dict(_table("inflow", config["inflow"], _fields(Inflow)))
        bolus = Bolus(**_table("inflow.bolus", inflow_table.pop("bolus", {}), _fields(Bolus)))
        inflow = Inflow(bolus=bolus, **inflow_table)

    voxels = _table("voxels", config.get("voxels", {}),
                    {"spins_per_voxel", "spin_spread", "equilibrium"})
    simulation = _table("simulation", config.get("simulation", {}),
                        {"max_half_interval", "memory_bound"})

    if "phantom" in config:
        if "regions" in config:
            raise ExperimentError("give either [[regions]] (runs of voxels) or [phantom] "
                                  "(a grid), not both")
        phantom = phantom_from_config(config["phantom"], base)
        return phantom.experiment(metabolites[0], tuple(metabolites[1:]),
                                  acquisition=acquisition, inflow=inflow,
                                  **field_, **voxels, **simulation)
    regions = config.get("regions")
    if not isinstance(regions, list) or not regions:
        raise ExperimentError("[[regions]] must list at least one region")
    counts = [r.get("voxels", 1) for r in regions if isinstance(r, dict)]
    if all(isinstance(c, int) and not isinstance(c, bool) and c > 0 for c in counts):
        # Before any per-voxel list is made: one per map, as Experiment counts them.
        check_maps(sum(counts), len(names) + 3 + 2 * len(names) + 1)
    labels, rates = [], [[] for _ in names[1:]]
    maps = {key: [] for key in ("delivery", "off_resonance", "transmit")}
    receive, initial_m, initial_c = [], [[] for _ in names], [[] for _ in names]
    any_transmit = any("transmit" in r for r in regions if isinstance(r, dict))
    _check_region_names(regions)
    coil_counts: list[tuple[str, int]] = []
    for i, region in enumerate(regions):
        region = _table(f"regions.{i}", region, _REGION_KEYS)
        name = region.get("name", f"region {i}")
        where = f"region {name!r}"
        count = region.get("voxels", 1)
        if isinstance(count, bool) or not isinstance(count, int) or count < 1:
            raise ExperimentError(f"{where}: voxels must be a positive integer")
        labels += [name] * count
        region_rates = _table(f"regions.{i}.rates", region.get("rates", {}), set(names[1:]))
        for q, product in enumerate(names[1:]):
            rates[q].append(_region_values(f"{where}: rates.{product}",
                                           region_rates.get(product, 0.0), count))
        maps["delivery"].append(_region_values(f"{where}: delivery",
                                               region.get("delivery", 1.0), count))
        maps["off_resonance"].append(_region_values(f"{where}: off_resonance",
                                                    region.get("off_resonance", 0.0), count))
        maps["transmit"].append(_region_values(f"{where}: transmit",
                                               region.get("transmit", 1.0), count))
        receive.append(_receive(where, region.get("receive", [1.0]), count))
        coil_counts.append((name, receive[-1].shape[0]))
        for key, target in (("initial_magnetization", initial_m),
                            ("initial_concentration", initial_c)):
            given = _table(f"regions.{i}.{key}", region.get(key, {}), set(names))
            for p, metabolite in enumerate(names):
                target[p].append(_region_values(f"{where}: {key}.{metabolite}",
                                                given.get(metabolite, 0.0), count))
    if len({r.shape[0] for r in receive}) != 1:
        raise ExperimentError("every region must give the same number of receive coils ("
                              + ", ".join(f"{n!r}: {c}" for n, c in coil_counts) + ")")
    join = np.concatenate
    return Experiment(
        precursor=metabolites[0],
        products=tuple(metabolites[1:]),
        conversion_rates=tuple(join(r) for r in rates),
        acquisition=acquisition,
        nvoxels=len(labels),
        regions=tuple(labels),
        off_resonance=join(maps["off_resonance"]),
        transmit=join(maps["transmit"]) if any_transmit else None,
        receive=np.concatenate(receive, axis=1),
        inflow=inflow,
        delivery=join(maps["delivery"]),
        initial_magnetization=tuple(join(m) for m in initial_m),
        initial_concentration=tuple(join(c) for c in initial_c),
        **field_, **voxels, **simulation,
    )


def load_experiment(path) -> Experiment:
    """Read an experiment from a TOML file."""
    path = Path(path)
    with path.open("rb") as file:
        try:
            config = tomllib.load(file)
        except tomllib.TOMLDecodeError as error:
            raise ExperimentError(f"{path}: {error}") from None
        except UnicodeDecodeError as error:
            raise ExperimentError(f"{path}: not a UTF-8 TOML text (byte {error.start} is "
                                  f"{error.object[error.start:error.start + 1]!r})") from None
    return experiment_from_config(config, base=path.parent)


def default_config_text() -> str:
    return resources.files("korvel.host").joinpath(DEFAULT_CONFIG).read_text(encoding="utf-8")


def default_experiment() -> Experiment:
    """The embedded default experiment: a small phantom of three tissue regions."""
    return experiment_from_config(tomllib.loads(default_config_text()))


__all__ = ["default_experiment", "experiment_from_config", "load_experiment",
           "phantom_from_config"]
