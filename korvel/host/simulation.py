"""Run a planned experiment through the plan-block drivers and collect the signal."""

from __future__ import annotations

import os

import numpy as np

from korvel.host import planner
from korvel.host.experiment import Experiment
from korvel.host.progress import Progress
from korvel.host.result import SimulationResult

BACKENDS = ("native", "reference")
# Spin-steps times pools beyond which a run is cut into blocks fine enough to show progress.
_LONG_RUN = 20_000_000
_FUNCTIONS = {
    planner.TWO_POOL: "run_dynamic_plan_block_no_inflow",
    planner.SOURCE_INTERVAL: "apply_dynamic_rf_block_with_concentration_inflow",
    planner.MULTI_POOL: "run_dynamic_plan_block_multi_pool",
}


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
    chosen = planner.choose_driver(experiment) if driver is None else driver
    _check_driver(chosen, experiment)
    function = getattr(module, _FUNCTIONS[chosen])
    if client is not None:
        function = _chunked(function, client)
    preparers = (module.prepare_spatial_rf_rotation_coefficients,
                 module.prepare_transverse_factors_coefficients)

    plan = planner.build_plan(experiment, share=share_groups)
    acquisition = experiment.acquisition
    npools = len(experiment.metabolites)
    nexc = acquisition.excitations
    signal = np.zeros((experiment.nvoxels, npools, experiment.ncoils, nexc), np.complex128)
    chunks = planner.plan_chunks(experiment, chosen)
    # Long runs go in about twenty blocks so that the progress bar moves.
    long_run = experiment.nspins * plan.nsteps * npools > _LONG_RUN
    max_steps = -(-plan.nsteps // 20) if long_run else None
    block_lists = [planner.plan_blocks(plan, experiment, chosen,
                                       (stop - first) * experiment.spins_per_voxel, max_steps)
                   for first, stop in chunks]
    bar = Progress(sum(len(blocks) for blocks in block_lists), progress)
    try:
        for (first, stop), blocks in zip(chunks, block_lists):
            tables = planner.ChunkTables(experiment, first, stop, preparers)
            state, transverse, concentration = tables.initial_state(npools)
            arrays = dict(
                state=state, transverse_state=transverse, concentration_state=concentration,
                adc_demodulation=np.ones(nexc, np.complex128),
                rx_sensitivities=np.ascontiguousarray(tables.spin(experiment.receive)),
                signal_weights=np.full(tables.nspins, 1.0 / experiment.spins_per_voxel),
                parent_species_signal=signal[first:stop],
                checkpoint_states=np.zeros((0, npools, tables.nspins, 3)),
            )
            for block in blocks:
                arguments = planner.block_arguments(chosen, plan, block, tables, arrays)
                if client is None:
                    function(**arguments, num_threads=int(num_threads))
                    bar.advance()
                else:
                    function(**arguments, num_threads=int(num_threads), progress=lambda done,
                             total: bar.advance(1 / total, f", chunk {done}/{total}"))
                tables.forget_unused()
    finally:
        bar.close()
    return SimulationResult(
        metabolites=tuple(m.name for m in experiment.metabolites),
        regions=experiment.regions,
        time=acquisition.readout_times(),
        flip_angles=np.degrees(acquisition.flip_angles.schedule(nexc)),
        signal=np.ascontiguousarray(signal.transpose(1, 2, 0, 3)),
        repetition_time=acquisition.repetition_time,
        backend=backend,
        driver=chosen,
        grid=experiment.grid,
    )


def _chunked(function, client):
    """``function``'s counterpart in ``korvel.distributed``, running ``function`` per chunk."""
    from korvel import distributed

    chunked = getattr(distributed, function.__name__)
    return lambda **arguments: chunked(**arguments, client=client, driver=function)


def _check_driver(driver: str, experiment: Experiment) -> None:
    if driver not in planner.DRIVERS:
        raise ValueError(f"driver must be one of {', '.join(planner.DRIVERS)}, got {driver!r}")
    nproducts = len(experiment.products)
    if driver == planner.MULTI_POOL and nproducts < 2:
        raise ValueError("the multi-pool driver needs at least two products")
    if driver != planner.MULTI_POOL and nproducts != 1:
        raise ValueError(f"the {driver} driver runs one product only")
    if driver == planner.TWO_POOL and (experiment.inflow is not None
                                       or experiment.equilibrium != 0.0):
        raise ValueError("the two-pool driver has neither inflow nor an equilibrium term")
