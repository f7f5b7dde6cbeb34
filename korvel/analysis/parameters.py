"""Named parameters of an experiment that a sweep can vary, each set by dataclasses.replace.

A name is a path through the experiment's dataclasses, with a metabolite by its name:
``"pyruvate.t1"``, ``"acquisition.excitations"``, ``"inflow.bolus.arrival"``, ``"spin_spread"``.
Shorter names for what is swept most:

========================  ============================================================  =====
``rate.<product>``        conversion rate to the product, the same in every voxel       1/s
``rate_scale.<product>``  factor on that rate's map (keeps the regions' differences)
``t1.<metabolite>``       T1 of the metabolite (``t2.<metabolite>`` likewise)           s
``flip_angle``            the schedule's angle (constant, or the variable one's last)   °
``flip_angles``           a whole schedule: ``korvel.FlipAngles`` values
``repetition_time``       TR; a first excitation at one TR moves with it                s
``b1_scale``              scale of the transmit field in every voxel (1: nominal)
``bolus.<field>``         a field of the inflow's bolus (``arrival``, ``duration``...)  s
========================  ============================================================  =====

Every new experiment is validated as it is made, so a value out of range fails with the
experiment's own message before anything runs.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from korvel.host.experiment import Experiment, ExperimentError, FlipAngles

__all__ = ["apply_parameter", "parameter_units"]

_ALIASES = {"flip_angle": "acquisition.flip_angles.angle",
            "flip_angles": "acquisition.flip_angles",
            "excitations": "acquisition.excitations"}
_UNITS = {"t1": "s", "t2": "s", "chemical_shift": "ppm", "clearance": "1/s", "angle": "°",
          "repetition_time": "s", "first_excitation": "s", "readout_delay": "s",
          "arrival": "s", "duration": "s", "spin_spread": "Hz", "polarization_t1": "s"}


def _canonical(name: str) -> str:
    if not isinstance(name, str) or not name:
        raise ExperimentError(f"a parameter name must be a non-empty string, got {name!r}")
    head, _, rest = name.partition(".")
    if head in ("t1", "t2") and rest:
        return f"{rest}.{head}"
    if head == "bolus" and rest:
        return f"inflow.bolus.{rest}"
    return _ALIASES.get(name, name)


def parameter_units(name: str) -> str:
    """The units of a parameter's values ("" where they have none)."""
    if name == "sigma":
        return "a.u."
    if name.startswith("rate."):
        return "1/s"
    if name == "b1_scale":
        return ""
    return _UNITS.get(_canonical(name).rpartition(".")[2], "")


def _replace_path(obj, parts: list[str], value, where: str):
    if not parts:
        return value
    head, rest = parts[0], parts[1:]
    if isinstance(obj, Experiment):
        names = [m.name for m in obj.metabolites]
        if head in names:
            index = names.index(head)
            changed = _replace_path(obj.metabolites[index], rest, value, where)
            if index == 0:
                return dataclasses.replace(obj, precursor=changed)
            products = list(obj.products)
            products[index - 1] = changed
            return dataclasses.replace(obj, products=tuple(products))
    if not dataclasses.is_dataclass(obj) or head not in {f.name for f in dataclasses.fields(obj)}:
        known = ([f.name for f in dataclasses.fields(obj)] if dataclasses.is_dataclass(obj)
                 else [])
        if isinstance(obj, Experiment):
            known += [m.name for m in obj.metabolites]
        raise ExperimentError(f"parameter {where!r}: no {head!r} in "
                              f"{type(obj).__name__}; known: {', '.join(known)}")
    child = getattr(obj, head)
    if rest and child is None:
        raise ExperimentError(f"parameter {where!r}: the experiment has no {head}")
    return dataclasses.replace(obj, **{head: _replace_path(child, rest, value, where)})


def apply_parameter(experiment: Experiment, name: str, value) -> Experiment:
    """A copy of ``experiment`` with the parameter ``name`` set to ``value`` (see the module's
    description for the names)."""
    if not isinstance(experiment, Experiment):
        raise TypeError(f"experiment must be an Experiment, got {type(experiment).__name__}")
    if not isinstance(name, str) or not name:
        raise ExperimentError(f"a parameter name must be a non-empty string, got {name!r}")
    name = _ALIASES.get(name, name)
    if name.startswith(("rate.", "rate_scale.")):
        kind, _, product = name.partition(".")
        products = [p.name for p in experiment.products]
        if product not in products:
            raise ExperimentError(f"parameter {name!r}: no product {product!r}; "
                                  f"the products are {', '.join(products)}")
        rates = list(experiment.conversion_rates)
        q = products.index(product)
        if kind == "rate_scale":
            if isinstance(value, bool) or not isinstance(value, (int, float, np.number)):
                raise ExperimentError(f"parameter {name!r} must be a number, got {value!r}")
            value = rates[q] * value
        rates[q] = value
        return dataclasses.replace(experiment, conversion_rates=tuple(rates))
    if name == "b1_scale":
        base = np.ones(experiment.nvoxels) if experiment.transmit is None \
            else experiment.transmit
        if isinstance(value, bool) or not isinstance(value, (int, float, complex, np.number)):
            raise ExperimentError(f"parameter 'b1_scale' must be a number, got {value!r}")
        return dataclasses.replace(experiment, transmit=base * value)
    if name in ("repetition_time", "acquisition.repetition_time"):
        acquisition = experiment.acquisition
        changes = {"repetition_time": value}
        if acquisition.first_excitation == acquisition.repetition_time:
            changes["first_excitation"] = None  # the default, one TR, follows the TR
        return dataclasses.replace(
            experiment, acquisition=dataclasses.replace(acquisition, **changes))
    if name == "acquisition.flip_angles":
        if not isinstance(value, FlipAngles):
            raise ExperimentError(f"parameter {name!r} takes FlipAngles values, "
                                  f"got {type(value).__name__}")
    path = _canonical(name)
    return _replace_path(experiment, path.split("."), value, name)
