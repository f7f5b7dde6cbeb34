"""The host layer: describe an experiment, plan it, run it through the drivers, read the result.

- ``experiment``: the experiment description (metabolites, acquisition, inflow, maps);
- ``config``: the same description from TOML (``default_experiment.toml`` is the template);
- ``phantom``, ``fields``, ``grid``: phantoms on a 2-D or 3-D grid (regions as shapes or labels,
  transmit and coil fields) built into experiments, and the grid their results are laid out on;
  ``phantom_plot``: the figure of a phantom's maps;
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
from korvel.host.config import default_experiment, load_experiment, phantom_from_config
from korvel.host.experiment import (
    Acquisition,
    Bolus,
    Experiment,
    ExperimentError,
    FlipAngles,
    Inflow,
    Metabolite,
)
from korvel.host.fields import Coil, CoilRing, GaussianTransmit, PolynomialTransmit
from korvel.host.grid import Grid
from korvel.host.phantom import Ellipse, Phantom, Rectangle, Region, load_labels
from korvel.host.phantom_plot import plot_phantom
from korvel.host.result import SimulationResult
from korvel.host.simulation import simulate

__all__ = [
    "Acquisition", "Bolus", "Experiment", "ExperimentError", "FlipAngles", "Inflow", "Metabolite",
    "SimulationResult", "default_experiment", "load_experiment", "simulate",
    "Coil", "CoilRing", "Ellipse", "GaussianTransmit", "Grid", "Phantom", "PolynomialTransmit",
    "Rectangle", "Region", "load_labels", "phantom_from_config", "plot_phantom",
    "SimulationError", "simulate_many",
]
