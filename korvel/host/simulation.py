"""Run a planned experiment through the plan-block drivers and collect the signal."""

from __future__ import annotations

import os
import time

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


def default_threads() -> int:
    """The CPUs this process may use."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") \
        else (os.cpu_count() or 1)


def check_threads(num_threads) -> int:
    if isinstance(num_threads, bool) or not isinstance(num_threads, (int, np.integer)) \
            or num_threads < 1:
        raise ValueError(f"num_threads must be a positive integer, got {num_threads!r}")
    return int(num_threads)


def simulate(experiment: Experiment, backend: str = "native", num_threads: int | None = None,
             *, progress: bool | None = None, driver: str | None = None,
             share_groups: bool = True, client=None,
             slice_voxels: int | None = None) -> SimulationResult:
    """Simulate ``experiment`` and return its signal.

    ``backend`` "native" runs the compiled drivers, "reference" their NumPy counterparts; both
    give the same bits. ``num_threads`` defaults to the CPUs this process may use. ``progress``
    shows a bar on stderr (None: only for runs longer than a second). ``driver`` forces a driver
    where several fit; ``share_groups=False`` gives every step its own coefficient groups.

    The result's ``signal`` is a view of the array the drivers filled, whose memory runs voxel by
    voxel (``np.ascontiguousarray`` makes a copy in its own order, at the cost of a second
    array of its size).

    ``client``, a ``dask.distributed.Client``, runs the experiment in slices of voxels on its
    workers (``korvel.host.cluster``): each task receives only its slice of the experiment,
    plans and runs it there and returns only its signal, with the same bits. ``num_threads``
    is then each task's team (default 1: a worker runs one task per thread of its own),
    ``slice_voxels`` the voxels per task (default: a few slices per worker thread), and the
    bar moves per finished slice.
    """
    if not isinstance(experiment, Experiment):
        raise TypeError(f"experiment must be an Experiment, got {type(experiment).__name__}")
    module = _backend_module(backend)
    if num_threads is None:
        num_threads = 1 if client is not None else default_threads()
    num_threads = check_threads(num_threads)
    record = planner.choose_driver(experiment) if driver is None else \
        planner.driver_record(driver)
    record.check(experiment)
    admission.check_run(experiment)  # before anything of the run's size is allocated
    sanity.warn_if_empty(experiment)
    if client is not None:
        from korvel.host import cluster

        return cluster.simulate_on(client, experiment, backend=backend, num_threads=num_threads,
                                   progress=progress, driver=record.name,
                                   share_groups=share_groups, slice_voxels=slice_voxels)
    if slice_voxels is not None:
        raise ValueError("slice_voxels needs a client")
    run = plan_run(experiment, record, module, share_groups, num_threads)
    bar = Progress(run.nblocks, progress)
    started, done = time.monotonic(), 0

    def advance(block) -> None:
        # Blocks differ in length: the time left is estimated from the spin-steps.
        nonlocal done
        done += block.work
        left = (time.monotonic() - started) * (run.work - done) / max(done, 1)
        bar.advance(1.0, f", about {left:.0f} s left" if done < run.work else "")

    try:
        signal = run_blocks(run, record.function(module), num_threads, advance)
    finally:
        bar.close()
    sanity.check_finite(experiment, signal)
    return make_result(experiment, run.signal, backend, record.name)


def plan_run(experiment: Experiment, record: planner.Driver, module, share_groups: bool,
             num_threads: int) -> planner.Run:
    """The run of ``experiment`` on ``record``'s driver, its coefficients and host-side pulses
    computed by ``module`` (``korvel.pelorine`` or ``korvel.reference``)."""
    return planner.Run(experiment, record, (module.prepare_spatial_rf_rotation_coefficients,
                                            module.prepare_transverse_factors_coefficients),
                       share=share_groups,
                       rotators=(module.apply_rf_rotation_transverse_block,
                                 module.apply_spatial_rf_rotation_transverse_block),
                       num_threads=int(num_threads))


def run_blocks(run: planner.Run, function, num_threads: int, advance=None) -> np.ndarray:
    """Run every block of ``run`` through ``function``, calling ``advance(block)`` after each;
    returns the run's signal in the drivers' layout, (nvoxels, nmetabolites, ncoils,
    nexcitations)."""
    for block in run.blocks():
        function(**block.arguments, num_threads=num_threads)
        if advance is not None:
            advance(block)
        del block  # its tables go before the next block's are built
    return run.signal.transpose(2, 0, 1, 3)


def make_result(experiment: Experiment, signal: np.ndarray, backend: str,
                driver: str) -> SimulationResult:
    """The result of ``experiment`` with ``signal`` (nmetabolites, ncoils, nvoxels,
    nexcitations)."""
    acquisition = experiment.acquisition
    return SimulationResult(
        metabolites=tuple(m.name for m in experiment.metabolites),
        regions=experiment.regions,
        time=acquisition.readout_times(),
        flip_angles=np.degrees(experiment.flip_angle_schedules()[0]),
        readout_times=experiment.readout_times(),
        metabolite_flip_angles=np.degrees(experiment.flip_angle_schedules()),
        signal=signal,
        repetition_time=acquisition.repetition_time,
        backend=backend,
        driver=driver,
        grid=experiment.grid,
    )
