"""Run a planned experiment through the plan-block drivers and collect the signal."""

from __future__ import annotations

import os

import numpy as np

from korvel.host import admission, planner, sanity
from korvel.host.experiment import Experiment
from korvel.host.progress import Progress
from korvel.host.result import SimulationResult

BACKENDS = ("native", "reference")


def _backend_module(backend: str):
    if backend == "native":
        from korvel import pelorine
        return pelorine
    if backend == "reference":
        from korvel import reference
        return reference
    raise ValueError(f"backend must be one of {', '.join(BACKENDS)}, got {backend!r}")


def simulate(experiment: Experiment, backend: str = "native", num_threads: int | None = None,
             *, progress: bool | None = None, driver: str | None = None,
             share_groups: bool = True, client=None) -> SimulationResult:
    """Simulate ``experiment`` and return its signal.

    ``backend`` "native" runs the compiled drivers, "reference" their NumPy counterparts; both
    give the same bits. ``num_threads`` defaults to the CPUs this process may use. ``progress``
    shows a bar on stderr (None: only for runs longer than a second). ``driver`` forces a driver
    where several fit; ``share_groups=False`` gives every step its own coefficient groups.

    ``client``, a ``dask.distributed.Client``, runs every block in chunks of voxels on its
    workers (``korvel.distributed``), with the same bits; ``num_threads`` is then each task's
    team (default 1), and the bar moves per finished chunk.
    """
    if not isinstance(experiment, Experiment):
        raise TypeError(f"experiment must be an Experiment, got {type(experiment).__name__}")
    module = _backend_module(backend)
    if num_threads is None and client is not None:
        num_threads = 1  # a worker runs one task per thread of its own
    if num_threads is None:
        num_threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") \
            else (os.cpu_count() or 1)
    if isinstance(num_threads, bool) or not isinstance(num_threads, (int, np.integer)) \
            or num_threads < 1:
        raise ValueError(f"num_threads must be a positive integer, got {num_threads!r}")
    record = planner.choose_driver(experiment) if driver is None else \
        planner.driver_record(driver)
    record.check(experiment)
    admission.check_run(experiment)  # before anything of the run's size is allocated
    sanity.warn_if_empty(experiment)
    function = record.function(module)
    if client is not None:
        function = _chunked(record, function, client)
    run = planner.Run(experiment, record, (module.prepare_spatial_rf_rotation_coefficients,
                                           module.prepare_transverse_factors_coefficients),
                      share=share_groups)
    bar = Progress(run.nblocks, progress)
    try:
        for block in run.blocks():
            if client is None:
                function(**block.arguments, num_threads=int(num_threads))
                bar.advance()
            else:
                function(**block.arguments, num_threads=int(num_threads), progress=lambda done,
                         total: bar.advance(1 / total, f", chunk {done}/{total}"))
    finally:
        bar.close()
    sanity.check_finite(experiment, run.signal)
    acquisition = experiment.acquisition
    nexc = acquisition.excitations
    return SimulationResult(
        metabolites=tuple(m.name for m in experiment.metabolites),
        regions=experiment.regions,
        time=acquisition.readout_times(),
        flip_angles=np.degrees(acquisition.flip_angles.schedule(nexc)),
        signal=np.ascontiguousarray(run.signal.transpose(1, 2, 0, 3)),
        repetition_time=acquisition.repetition_time,
        backend=backend,
        driver=record.name,
    )


def _chunked(record: planner.Driver, function, client):
    """The driver's counterpart in ``korvel.distributed``, running ``function`` per chunk."""
    from korvel import distributed

    chunked = distributed.chunked(record)
    return lambda **arguments: chunked(**arguments, client=client, driver=function)
