"""Run a planned experiment through the plan-block drivers and collect the signal."""

from __future__ import annotations

import os
import sys
import time
from dataclasses import dataclass

import numpy as np

from korvel import planner
from korvel.experiment import Experiment

BACKENDS = ("native", "reference")
# Spin-steps times pools beyond which a run is cut into blocks fine enough to show progress.
_LONG_RUN = 20_000_000
_FUNCTIONS = {
    planner.TWO_POOL: "run_dynamic_plan_block_no_inflow",
    planner.SOURCE_INTERVAL: "apply_dynamic_rf_block_with_concentration_inflow",
    planner.MULTI_POOL: "run_dynamic_plan_block_multi_pool",
}


@dataclass(frozen=True, eq=False)
class SimulationResult:
    """The received signal of every metabolite, coil, voxel and excitation.

    ``signal`` is complex, (nmetabolites, ncoils, nvoxels, nexcitations); ``time`` holds the
    readout time of each excitation in s and ``flip_angles`` its flip angle in degrees.
    ``regions`` names the region of each voxel.
    """

    metabolites: tuple[str, ...]
    regions: tuple[str, ...]
    time: np.ndarray
    flip_angles: np.ndarray
    signal: np.ndarray
    repetition_time: float
    backend: str
    driver: str

    def magnitude(self) -> np.ndarray:
        """Coil-combined magnitude (root sum of squares), (nmetabolites, nvoxels, nexcitations)."""
        return np.sqrt(np.sum(np.abs(self.signal) ** 2, axis=1))

    def region_names(self) -> tuple[str, ...]:
        return tuple(dict.fromkeys(self.regions))

    def region_curves(self) -> np.ndarray:
        """Mean coil-combined magnitude over each region's voxels, (nmetabolites, nregions,
        nexcitations), regions in ``region_names()`` order."""
        magnitude = self.magnitude()
        labels = np.array(self.regions)
        return np.stack([magnitude[:, labels == name].mean(axis=1)
                         for name in self.region_names()], axis=1)

    def summary(self) -> list[dict]:
        """Peak, time of peak and area under the curve per metabolite and region, with the
        area ratio of each product to the precursor (the first metabolite)."""
        curves = self.region_curves()
        # Rectangle rule: the area ratio is the ratio of the summed signals.
        areas = curves.sum(axis=2) * self.repetition_time
        rows = []
        for r, region in enumerate(self.region_names()):
            for m, name in enumerate(self.metabolites):
                peak = int(np.argmax(curves[m, r]))
                precursor_area = areas[0, r]
                ratio = areas[m, r] / precursor_area if m and precursor_area > 0 else None
                rows.append(dict(region=region, metabolite=name, peak=float(curves[m, r, peak]),
                                 peak_time=float(self.time[peak]), auc=float(areas[m, r]),
                                 ratio=None if ratio is None else float(ratio)))
        return rows


class _Progress:
    """A one-line progress bar on stderr, shown once a run has taken more than a second."""

    def __init__(self, total: int, enabled: bool | None):
        self.total, self.enabled, self.done = total, enabled, 0
        self.started = self.last = time.monotonic()
        self.shown, self.written = False, 0

    def advance(self, blocks: float = 1.0, detail: str = ""):
        """Count ``blocks`` more done (a fraction for a finished chunk of a block)."""
        self.done += blocks
        if self.enabled is False:
            return
        now = time.monotonic()
        finished = self.done >= self.total - 1e-9
        if (self.enabled or now - self.started > 1.0) and (now - self.last > 0.1 or finished):
            self.last, self.shown = now, True
            width = 30
            filled = min(width, int(width * self.done / max(self.total, 1) + 1e-9))
            line = (f"simulating [{'#' * filled}{'.' * (width - filled)}] "
                    f"{int(self.done + 1e-9)}/{self.total} blocks{detail}")
            # Blanks over the rest of a longer line before it.
            sys.stderr.write("\r" + line.ljust(self.written))
            self.written = len(line)
            sys.stderr.flush()

    def close(self):
        if self.shown:
            sys.stderr.write("\n")
            sys.stderr.flush()


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
    bar = _Progress(sum(len(blocks) for blocks in block_lists), progress)
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
