"""Experiments from TOML: a phantom of regions, each a run of voxels with its own tissue values.

See ``default_experiment.toml`` beside this file for every key; unknown keys are errors, and a
missing key takes the default of the matching dataclass field.
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

DEFAULT_CONFIG = "default_experiment.toml"

_TOP = {"field", "acquisition", "metabolites", "inflow", "voxels", "regions", "simulation"}
_REGION_KEYS = {"name", "voxels", "rates", "delivery", "off_resonance", "transmit", "receive",
                "initial_magnetization", "initial_concentration", "shared_name"}
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


def experiment_from_config(config: dict) -> Experiment:
    """Build an Experiment from a parsed TOML document (a dict)."""
    _table("top level", config, _TOP)
    field_ = _table("field", config.get("field", {}), {"reference_frequency", "center_shift"})
    acquisition_table = dict(_table("acquisition", config.get("acquisition", {}),
                                    _fields(Acquisition)))
    flips = acquisition_table.pop("flip_angles", {})
    flips = dict(_table("acquisition.flip_angles", flips, _fields(FlipAngles)))
    kind = flips.get("kind", FlipAngles.kind)
    if kind in _FLIP_KEYS:
        unused = sorted(set(flips) & set(_FLIP_KEYS.values()) - {_FLIP_KEYS[kind]})
        if unused:
            raise ExperimentError(f"[acquisition.flip_angles] of kind {kind!r} takes "
                                  f"{_FLIP_KEYS[kind]}, not {unused[0]}")
    if "angles" in flips:
        flips["angles"] = tuple(flips["angles"])
    acquisition = Acquisition(flip_angles=FlipAngles(**flips), **acquisition_table)

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
    return experiment_from_config(config)


def default_config_text() -> str:
    return resources.files("korvel.host").joinpath(DEFAULT_CONFIG).read_text(encoding="utf-8")


def default_experiment() -> Experiment:
    """The embedded default experiment: a small phantom of three tissue regions."""
    return experiment_from_config(tomllib.loads(default_config_text()))


__all__ = ["default_experiment", "experiment_from_config", "load_experiment"]
