"""The host layer: describe an experiment, plan it, run it through the drivers, read the result.

- ``experiment``: the experiment description (metabolites, acquisition, inflow, maps);
- ``config``: the same description from TOML (``default_experiment.toml`` is the template);
- ``half_interval``: the closed-form coefficients of one half-interval of the kinetic model;
- ``drivers``: one record per plan driver (export, experiments it runs, table costs and builder,
  distributed layout), read by the planner, ``simulate`` and ``korvel.distributed``;
- ``planner``: steps, shared coefficient groups, voxel classes, chunks and blocks, and each
  block's driver arguments;
- ``simulation``: ``simulate``, one loop over the planned blocks;
- ``cluster``: ``simulate`` on a Dask cluster by slices of voxels, and ``simulate_many``;
- ``result``: ``SimulationResult`` and its summaries; ``progress``: the progress bar.

Everything a user needs is re-exported from ``korvel``.
"""

from korvel.host.cluster import SimulationError, simulate_many
from korvel.host.config import default_experiment, load_experiment
from korvel.host.experiment import (
    Acquisition,
    Bolus,
    Experiment,
    ExperimentError,
    FlipAngles,
    Inflow,
    Metabolite,
)
from korvel.host.result import SimulationResult
from korvel.host.simulation import simulate

__all__ = [
    "Acquisition", "Bolus", "Experiment", "ExperimentError", "FlipAngles", "Inflow", "Metabolite",
    "SimulationResult", "default_experiment", "load_experiment", "simulate",
    "SimulationError", "simulate_many",
]
