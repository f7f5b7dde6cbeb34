"""Strict floating-point kernels of a dynamic hyperpolarized 13C metabolic MRI simulation.

``korvel.pelorine`` is the native extension: it applies coefficients that the host computed with
NumPy to state arrays in place, in a fixed IEEE operation order, across an OpenMP thread team.
``korvel.reference`` performs the same operations in pure NumPy, bit for bit.

``korvel.simulate`` plans and runs a whole experiment described by ``korvel.Experiment``
(on a Dask cluster by slices of voxels with ``client=``; ``korvel.simulate_many`` for a list);
``korvel.add_noise``, ``korvel.sweep`` and ``korvel.plot_result`` (``korvel.analysis``) add
noise, run it over a grid of parameters and draw it.
``korvel.fit_kinetics`` fits conversion-rate maps to measured (or simulated) dynamic series.
"""

from korvel._startup import quiet_interrupt_while_starting as _quiet_start

_quiet_start()  # `python -m korvel`: Ctrl-C during the imports is one line, not a traceback

from pkgutil import extend_path as _extend_path  # noqa: E402

# Run from the root of a source checkout (`python -m pytest`, `python -m korvel`), this folder
# shadows the installed package, which alone holds the built extension: search both.
__path__ = _extend_path(__path__, __name__)

from korvel import pelorine, reference  # noqa: E402
from korvel.host import (  # noqa: E402
    Acquisition,
    Bolus,
    Experiment,
    ExperimentError,
    FlipAngles,
    Inflow,
    Metabolite,
    SimulationResult,
    default_experiment,
    load_experiment,
    simulate,
)
from korvel.host import SimulationError, simulate_many  # noqa: E402
from korvel.analysis import (  # noqa: E402
    Labelled,
    SweepResult,
    add_noise,
    plot_result,
    plot_sweep,
    sweep,
)
from korvel.fitting import FitError, KineticFit, fit_kinetics  # noqa: E402
from korvel.host import (  # noqa: E402
    Coil,
    CoilRing,
    Ellipse,
    GaussianTransmit,
    Grid,
    Phantom,
    PolynomialTransmit,
    Rectangle,
    Region,
    load_labels,
    phantom_from_config,
    plot_phantom,
)

__all__ = [
    "Acquisition", "Bolus", "Experiment", "ExperimentError", "FlipAngles", "Inflow", "Metabolite",
    "SimulationResult", "default_experiment", "load_experiment", "pelorine", "reference",
    "simulate",
    "SimulationError", "simulate_many",
    "Labelled", "SweepResult", "add_noise", "plot_result", "plot_sweep", "sweep",
    "FitError", "KineticFit", "fit_kinetics",
    "Coil", "CoilRing", "Ellipse", "GaussianTransmit", "Grid", "Phantom", "PolynomialTransmit",
    "Rectangle", "Region", "load_labels", "phantom_from_config", "plot_phantom",
]
__version__ = "0.1.0"
