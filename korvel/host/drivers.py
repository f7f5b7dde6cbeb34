"""The plan drivers as the host sees them: one record per driver.

A record says everything the planner, ``simulate`` and ``korvel.distributed`` need to know about
a driver: the function it is in ``korvel.pelorine`` and ``korvel.reference``, which experiments it
runs, what its coefficient tables cost per spin, how those tables are built for a block, and where
its arrays have their spin and parent axes (the layout the distributed path cuts along).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable

import numpy as np

from korvel.host import half_interval
from korvel.host.experiment import Experiment

if TYPE_CHECKING:  # pragma: no cover
    from korvel.host.planner import BlockTables

TWO_POOL = "two-pool"
SOURCE_INTERVAL = "source-interval"
MULTI_POOL = "multi-pool"

RF_TABLES = ("rf_axis_x", "rf_axis_y", "rf_cosine", "rf_sine", "rf_one_minus_cosine")
WINDOWS = ("inflow_first_start", "inflow_first_end", "inflow_second_start", "inflow_second_end",
           "polarization_first_start", "polarization_first_end", "polarization_second_start",
           "polarization_second_end")


@dataclass(frozen=True)
class Layout:
    """Where a driver's arrays have their spin or parent axis, and what it writes.

    Arrays not named in ``spin_axes`` or ``parent_axes`` are shared whole by every chunk of
    spins. The RF tables are among ``spin_axes``: they are split when they hold one rotation per
    spin.
    """

    spin_axes: dict[str, int]
    parent_axes: dict[str, int]
    written: tuple[str, ...]
    # Arrays that take no part without an action stream (no-action mode).
    observation: tuple[str, ...] = ()


@dataclass(frozen=True)
class Driver:
    """One plan driver: its export, the experiments it runs, its table costs and builder."""

    name: str
    export: str
    """The function's name in ``korvel.pelorine`` and ``korvel.reference``."""
    layout: Layout
    longitudinal_bytes: Callable[[int], int]
    """Bytes per spin of one longitudinal group's tables that differ per spin, by products."""
    tables: Callable[["BlockTables"], dict[str, Any]]
    """The driver's own keyword arguments for a block: longitudinal tables and sources."""
    refusal: Callable[[Experiment], str | None]
    """Why the driver cannot run an experiment, or None if it can."""
    concentration: bool = True
    """Whether the driver advances concentrations (and takes ``concentration_state`` and the
    source windows)."""
    description: str = field(default="", compare=False)

    def function(self, module) -> Callable[..., None]:
        """The driver in ``module`` (``korvel.pelorine`` or ``korvel.reference``)."""
        return getattr(module, self.export)

    def check(self, experiment: Experiment) -> None:
        """Raise ValueError if the driver cannot run ``experiment``."""
        reason = self.refusal(experiment)
        if reason is not None:
            raise ValueError(reason)


# ---------------------------------------------------------------------------------------------
# Which experiments each driver runs


def _two_pool_refusal(experiment: Experiment) -> str | None:
    if len(experiment.products) != 1:
        return f"the {TWO_POOL} driver runs one product only"
    if experiment.inflow is not None or experiment.equilibrium != 0.0:
        return "the two-pool driver has neither inflow nor an equilibrium term"
    return None


def _source_interval_refusal(experiment: Experiment) -> str | None:
    if len(experiment.products) != 1:
        return f"the {SOURCE_INTERVAL} driver runs one product only"
    return None


def _multi_pool_refusal(experiment: Experiment) -> str | None:
    if len(experiment.products) < 2:
        return "the multi-pool driver needs at least two products"
    return None


# ---------------------------------------------------------------------------------------------
# Table builders: per-class values stacked over the block's groups, then spread over the spins


def _stack(rows, dtype=np.float64) -> np.ndarray:
    return np.stack(rows).astype(dtype, copy=False)


def _divisors(halves) -> tuple[np.ndarray, np.ndarray]:
    pairs = [half_interval.regular_divisor(h.exp_a, h.exp_b[0], h.transfer[0]) for h in halves]
    return _stack([p[0] for p in pairs]), _stack([p[1] for p in pairs], np.bool_)


def _two_pool_tables(tables: "BlockTables") -> dict[str, Any]:
    halves = tables.halves("magnetization")
    difference, regular = _divisors(halves)
    return dict(
        kpl_by_group=tables.per_group(tables.rates[0]),
        exp_a_by_group=tables.spread(_stack([h.exp_a for h in halves])),
        exp_b_by_group=np.array([h.exp_b[0] for h in halves]),
        difference_by_group=tables.spread(difference),
        regular_by_group=tables.spread(regular),
        regular_mode_by_group=np.zeros(len(halves), np.int32),
    )


def _source_interval_tables(tables: "BlockTables") -> dict[str, Any]:
    out: dict[str, Any] = {"kpl": tables.spread(tables.rates[0]),
                           "inflow_delivery": tables.spread(tables.delivery)}
    for prefix, kind in (("", "magnetization"), ("concentration_", "concentration")):
        halves = tables.halves(kind)
        difference, regular = _divisors(halves)
        rows = dict(
            exp_a=tables.spread(_stack([h.exp_a for h in halves])),
            exp_b=np.array([h.exp_b[0] for h in halves]),
            difference=tables.spread(difference), regular=tables.spread(regular),
            f0_a=tables.spread(_stack([h.f0 for h in halves])),
            f1_a=tables.spread(_stack([h.f1 for h in halves])),
            j0=tables.spread(_stack([h.j0[0] for h in halves])),
            j1=tables.spread(_stack([h.j1[0] for h in halves])),
        )
        out.update({f"{prefix}{name}_by_group": value for name, value in rows.items()})
        out[f"{prefix}regular_mode_by_group"] = np.zeros(len(halves), np.int32)
    out.update(_sources(tables))
    return out


def _multi_pool_tables(tables: "BlockTables") -> dict[str, Any]:
    out: dict[str, Any] = {"conversion_rates_by_group": tables.per_group(tables.rates)}
    for prefix, kind in (("", "magnetization"), ("concentration_", "concentration")):
        halves = tables.halves(kind)
        for name, attribute in (("exp_precursor", "exp_a"), ("f0_precursor", "f0"),
                                ("f1_precursor", "f1"), ("transfer_factor", "transfer"),
                                ("j0", "j0"), ("j1", "j1")):
            out[f"{prefix}{name}_by_group"] = tables.spread(
                _stack([getattr(h, attribute) for h in halves]))
        out[f"{prefix}exp_products_by_group"] = _stack([h.exp_b for h in halves])
    out["inflow_delivery"] = tables.spread(tables.delivery)
    out.update(_sources(tables))
    return out


def _sources(tables: "BlockTables") -> dict[str, Any]:
    experiment = tables.experiment
    return dict(equilibrium=experiment.equilibrium,
                source_mode=0 if experiment.inflow is not None else 2)


# ---------------------------------------------------------------------------------------------
# The records

_RF = {name: 1 for name in RF_TABLES}
_RECEIVE = {"rx_sensitivities": 1, "signal_weights": 0, "checkpoint_states": 2}
_SIGNAL = {"parent_species_signal": 0}

TWO_POOL_DRIVER = Driver(
    name=TWO_POOL,
    export="run_dynamic_plan_block_no_inflow",
    layout=Layout(
        spin_axes={"state": 1, "transverse_state": 1, "transverse_factors": 2, "kpl_by_group": 1,
                   "exp_a_by_group": 1, "difference_by_group": 1, "regular_by_group": 1,
                   **_RF, **_RECEIVE},
        parent_axes=_SIGNAL,
        written=("state", "transverse_state", "parent_species_signal", "checkpoint_states"),
    ),
    # exp_a, difference and the regular mask
    longitudinal_bytes=lambda nproducts: 2 * 8 + 1,
    tables=_two_pool_tables,
    refusal=_two_pool_refusal,
    concentration=False,
    description="one product, no inflow, no equilibrium term",
)

SOURCE_INTERVAL_DRIVER = Driver(
    name=SOURCE_INTERVAL,
    export="apply_dynamic_rf_block_with_concentration_inflow",
    layout=Layout(
        spin_axes={"state": 1, "transverse_state": 1, "concentration_state": 1, "kpl": 0,
                   "inflow_delivery": 0, "transverse_factors": 2,
                   **{f"{prefix}{name}_by_group": 1 for prefix in ("", "concentration_")
                      for name in ("exp_a", "difference", "regular", "f0_a", "f1_a", "j0", "j1")},
                   **_RF, **_RECEIVE, "kpl_by_group": 1, "spatial_source_values": 2},
        parent_axes=_SIGNAL,
        written=("state", "transverse_state", "concentration_state", "parent_species_signal",
                 "checkpoint_states"),
        observation=("action_kinds", "action_payloads", "adc_demodulation", "rx_sensitivities",
                     "signal_weights", "parent_species_signal", "checkpoint_states"),
    ),
    # exp_a, difference, f0, f1, j0, j1 and the mask, for magnetization and concentration
    longitudinal_bytes=lambda nproducts: 2 * (6 * 8 + 1),
    tables=_source_interval_tables,
    refusal=_source_interval_refusal,
    description="one product, with inflow or an equilibrium term",
)

MULTI_POOL_DRIVER = Driver(
    name=MULTI_POOL,
    export="run_dynamic_plan_block_multi_pool",
    layout=Layout(
        spin_axes={"state": 1, "transverse_state": 1, "concentration_state": 1,
                   "transverse_factors": 2, "conversion_rates_by_group": 2,
                   "exp_precursor_by_group": 1, "transfer_factor_by_group": 2,
                   "f0_precursor_by_group": 1, "f1_precursor_by_group": 1, "j0_by_group": 2,
                   "j1_by_group": 2, "concentration_exp_precursor_by_group": 1,
                   "concentration_transfer_factor_by_group": 2,
                   "concentration_f0_precursor_by_group": 1,
                   "concentration_f1_precursor_by_group": 1,
                   "concentration_j0_by_group": 2, "concentration_j1_by_group": 2,
                   "inflow_delivery": 0, **_RF, **_RECEIVE, "spatial_source_values": 2},
        parent_axes=_SIGNAL,
        written=("state", "transverse_state", "concentration_state", "parent_species_signal",
                 "checkpoint_states"),
    ),
    # exp, f0, f1 of the precursor and transfer, j0, j1 per product, for both kinds
    longitudinal_bytes=lambda nproducts: 2 * (3 * 8 + 3 * 8 * nproducts),
    tables=_multi_pool_tables,
    refusal=_multi_pool_refusal,
    description="several products, with or without inflow",
)

# In order of preference: the first that runs an experiment is chosen for it.
RECORDS: dict[str, Driver] = {record.name: record for record in (
    TWO_POOL_DRIVER, SOURCE_INTERVAL_DRIVER, MULTI_POOL_DRIVER)}
DRIVERS = tuple(RECORDS)


def driver_record(name: str) -> Driver:
    """The record of the driver called ``name``."""
    if name not in RECORDS:
        raise ValueError(f"driver must be one of {', '.join(DRIVERS)}, got {name!r}")
    return RECORDS[name]


def choose_driver(experiment: Experiment) -> Driver:
    """The first driver that runs ``experiment``: several products need the multi-pool driver;
    inflow or an equilibrium term the source-interval driver; the rest runs on the two-pool
    driver."""
    for record in RECORDS.values():
        if record.refusal(experiment) is None:
            return record
    raise ValueError("no driver runs this experiment")  # pragma: no cover - multi-pool runs all


__all__ = ["DRIVERS", "Driver", "Layout", "MULTI_POOL", "RECORDS", "SOURCE_INTERVAL", "TWO_POOL",
           "choose_driver", "driver_record"]
