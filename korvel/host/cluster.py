"""Simulate on a Dask cluster by voxels: the experiment travels, the arrays stay.

Voxels never interact, so an experiment cut into ranges of voxels runs as independent tasks.
Each task receives only its slice of the experiment (its part of every per-voxel map, a map
that is the same over the whole slice as one value, and the shared scalars), plans the slice
on its worker, runs every block there with its own thread team, and returns only the slice's
signal. The caller holds the experiment, the result's signal, and the slices in flight (at most
two per worker thread): no state array or coefficient table ever crosses the network.

The bits are those of one process: a voxel's arithmetic does not depend on which voxels share
its chunk, its block or its slice (``Experiment.slice_voxels``).

Failures: Dask runs the task of a lost worker again elsewhere (up to its
``distributed.scheduler.allowed-failures``; then the slice fails with ``KilledWorker``). A
slice that fails raises ``SimulationError`` naming its voxel range, after every other slice has
been cancelled; no task or result is left on the cluster, after a success or a failure.

``simulate_many`` runs a list of experiments (a parameter sweep) as such tasks, or on a local
thread pool without a client, and returns their results in order.
"""

from __future__ import annotations

import collections
import concurrent.futures
import pickle
import time
import uuid
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Sequence

import numpy as np

from korvel.host import planner, sanity, simulation
from korvel.host.experiment import VOXEL_MAP_TUPLES, VOXEL_MAPS, Experiment, ExperimentError
from korvel.host.progress import Progress
from korvel.host.result import SimulationResult

__all__ = ["SimulationError", "SlicePayload", "run_slice", "simulate_many", "simulate_on",
           "slice_ranges"]

SLICES_PER_SLOT = 2
"""Default slices per worker thread: enough to even out uneven workers, few enough that the
per-task cost stays small beside the work."""
MAX_SLICE_VOXELS = 2**17
"""Default largest slice: its signal (about 1 KiB per voxel for three metabolites, one coil and
20 excitations) and working set stay well within a worker's memory."""
IN_FLIGHT_PER_SLOT = 2
"""Slices submitted at a time per worker thread: one running, one waiting to start."""


class SimulationError(RuntimeError):
    """A slice of voxels failed; the other slices were cancelled and no result was made.

    ``voxels`` is the slice's range of voxels, ``experiment`` the index of its experiment in a
    ``simulate_many`` call (None for ``simulate``); the slice's own exception is ``__cause__``.
    """

    def __init__(self, voxels: range, nvoxels: int, cause: BaseException,
                 experiment: int | None = None):
        where = "" if experiment is None else f"experiment {experiment}: "
        super().__init__(f"{where}voxels {voxels.start}-{voxels.stop - 1} (of {nvoxels}) "
                         f"failed, the other slices were cancelled: "
                         f"{type(cause).__name__}: {cause}")
        self.voxels, self.experiment = voxels, experiment


# ---------------------------------------------------------------------------------------------
# The slice of an experiment that a task receives


@dataclass(frozen=True, eq=False)
class _Uniform:
    """A map with the same bits at every voxel of a slice: its first column of values."""

    column: np.ndarray  # the map's shape with the voxel axis (the last) of length one
    nvoxels: int

    def expand(self) -> np.ndarray:
        return np.repeat(self.column, self.nvoxels, axis=-1)


def _compact(array: np.ndarray):
    """``array`` (voxels on the last axis), or a ``_Uniform`` if every voxel has the same bits
    (compared as bits: -0.0 stays -0.0)."""
    contiguous = np.ascontiguousarray(array)
    bits = contiguous.view(np.uint64).reshape(array.shape + (-1,))
    if bits.shape[-2] > 1 and bool(np.all(bits == bits[..., :1, :])):
        return _Uniform(contiguous[..., :1].copy(), array.shape[-1])
    return contiguous


def _expand(value):
    return value.expand() if isinstance(value, _Uniform) else value


@dataclass(frozen=True, eq=False)
class SlicePayload:
    """What a task receives: the experiment restricted to voxels [start, stop) of the whole,
    its per-voxel maps compacted (``experiment()`` rebuilds and validates it on the worker)."""

    start: int
    stop: int
    fields: dict[str, Any]
    region_names: tuple[str, ...]
    region_runs: np.ndarray  # int64 (nruns, 2): index into region_names, length

    @classmethod
    def of(cls, experiment: Experiment, start: int, stop: int) -> "SlicePayload":
        changes = experiment.voxel_fields(start, stop)
        fields = {name: getattr(experiment, name)
                  for name in experiment.__dataclass_fields__}
        fields.update(changes)
        for name in VOXEL_MAP_TUPLES:
            fields[name] = tuple(_compact(m) for m in fields[name])
        for name in VOXEL_MAPS:
            if fields[name] is not None:
                fields[name] = _compact(fields[name])
        fields["receive"] = _compact(fields["receive"])
        regions = fields.pop("regions")
        # Runs of one region (a few per slice in a phantom), found by comparing neighbours in
        # one vectorized pass: names are hashed once per run, not once per voxel.
        labels = np.empty(len(regions), dtype=object)
        labels[:] = regions
        change = np.ones(len(regions), dtype=bool)
        change[1:] = labels[1:] != labels[:-1]
        starts = np.flatnonzero(change)
        firsts = [regions[i] for i in starts.tolist()]
        names = tuple(dict.fromkeys(firsts))
        index = {name: i for i, name in enumerate(names)}
        runs = np.stack([np.array([index[name] for name in firsts], dtype=np.int64),
                         np.diff(np.append(starts, len(regions)))], axis=1)
        return cls(start, stop, fields, names, runs)

    @property
    def nvoxels(self) -> int:
        return self.stop - self.start

    def experiment(self) -> Experiment:
        fields = dict(self.fields)
        for name in VOXEL_MAP_TUPLES:
            fields[name] = tuple(_expand(m) for m in fields[name])
        for name in (*VOXEL_MAPS, "receive"):
            fields[name] = _expand(fields[name])
        regions: list[str] = []
        for name, length in self.region_runs.tolist():
            regions += [self.region_names[name]] * length
        return Experiment(**fields, regions=tuple(regions))


def run_slice(payload: SlicePayload, driver: str, backend: str, num_threads: int,
              share_groups: bool = True) -> np.ndarray:
    """A task: plan and run the slice, return its signal (nvoxels, nmetabolites, ncoils,
    nexcitations)."""
    experiment = payload.experiment()
    record = planner.driver_record(driver)
    module = simulation._backend_module(backend)
    run = simulation.plan_run(experiment, record, module, share_groups, num_threads)
    return simulation.run_blocks(run, record.function(module), num_threads)


# ---------------------------------------------------------------------------------------------
# Slices and their tasks


def slice_ranges(nvoxels: int, slice_voxels: int) -> list[range]:
    """Consecutive ranges of at most ``slice_voxels`` voxels, as even as possible."""
    count = -(-nvoxels // slice_voxels)
    edges = [nvoxels * i // count for i in range(count + 1)]
    return [range(a, b) for a, b in zip(edges[:-1], edges[1:])]


def _check_slice_voxels(slice_voxels) -> None:
    if slice_voxels is not None and (isinstance(slice_voxels, bool) or not isinstance(
            slice_voxels, (int, np.integer)) or slice_voxels < 1):
        raise ValueError(f"slice_voxels must be a positive integer, got {slice_voxels!r}")


def _slots(client) -> int:
    return max(1, sum(client.nthreads().values()))


def _default_slice_voxels(total_voxels: int, slots: int) -> int:
    return max(1, min(MAX_SLICE_VOXELS, -(-total_voxels // (SLICES_PER_SLOT * slots))))


@dataclass(frozen=True)
class _Task:
    experiment: int
    voxels: range


def _run_tasks(client, experiments: Sequence[Experiment], tasks: list[_Task],
               submit_options: Callable[[int], tuple], on_result: Callable[[_Task, Any], None],
               advance: Callable[[_Task], None], task_function: Callable,
               name_experiment: bool, stats: list | None) -> None:
    """Run ``tasks`` on ``client``, at most ``IN_FLIGHT_PER_SLOT`` per worker thread at a
    time, each slice built only when it is submitted; ``on_result`` gets each signal in the
    order they finish. On any failure or interruption every submitted task is cancelled and
    released before the error propagates."""
    from distributed import wait
    from distributed.client import FuturesCancelledError

    limit = IN_FLIGHT_PER_SLOT * _slots(client)
    waiting = collections.deque(range(len(tasks)))
    running: dict[Any, int] = {}
    run_id = uuid.uuid4().hex[:12]
    sizes: dict[int, dict] = {}
    try:
        while waiting or running:
            while waiting and len(running) < limit:
                i = waiting.popleft()
                task = tasks[i]
                packing = time.perf_counter()
                payload = SlicePayload.of(experiments[task.experiment], task.voxels.start,
                                          task.voxels.stop)
                if stats is not None:
                    sizes[i] = {"voxels": len(task.voxels),
                                "pack_seconds": time.perf_counter() - packing,
                                "sent": len(pickle.dumps(payload, protocol=5))}
                    stats.append(sizes[i])
                # The slice travels inside its task, so that Dask can run it again elsewhere
                # when its worker is lost.
                with warnings.catch_warnings():
                    warnings.filterwarnings("ignore", message="Sending large graph")
                    future = client.submit(task_function, payload,
                                           *submit_options(task.experiment), pure=False,
                                           key=f"korvel-slice-{run_id}-{i}")
                running[future] = i
                del payload
            try:
                wait(list(running), return_when="FIRST_COMPLETED")
            except FuturesCancelledError:  # each cancelled future's result() says so below
                pass
            for future in [f for f in running if f.done()]:
                i = running.pop(future)
                task = tasks[i]
                try:
                    signal = future.result()
                except Exception as error:
                    nvoxels = experiments[task.experiment].nvoxels
                    raise SimulationError(task.voxels, nvoxels, error,
                                          task.experiment if name_experiment else None) \
                        from error
                finally:
                    future.release()
                placing = time.perf_counter()
                on_result(task, signal)
                if stats is not None:
                    sizes[i]["place_seconds"] = time.perf_counter() - placing
                    sizes[i]["received"] = len(pickle.dumps(signal, protocol=5))
                del signal
                advance(task)
    finally:
        if running:
            client.cancel(list(running), force=True)
            for future in running:
                future.release()


def _check_all(experiments: Iterable, driver: str | None) -> tuple[list[Experiment], list[str]]:
    if isinstance(experiments, Experiment):
        raise TypeError("experiments must be a sequence of Experiment (for one, use "
                        "korvel.simulate)")
    try:
        experiments = list(experiments)
    except TypeError:
        raise TypeError(f"experiments must be a sequence of Experiment, "
                        f"got {type(experiments).__name__}") from None
    names = []
    for i, experiment in enumerate(experiments):
        if not isinstance(experiment, Experiment):
            raise TypeError(f"experiments[{i}] must be an Experiment, "
                            f"got {type(experiment).__name__}")
        record = planner.choose_driver(experiment) if driver is None else \
            planner.driver_record(driver)
        try:
            record.check(experiment)
        except ValueError as error:
            raise ValueError(f"experiments[{i}]: {error}") from None
        names.append(record.name)
    return experiments, names


def _empty_signal(experiment: Experiment) -> np.ndarray:
    return np.empty((len(experiment.metabolites), experiment.ncoils, experiment.nvoxels,
                     experiment.acquisition.excitations), np.complex128)


def _on_cluster(client, experiments: list[Experiment], drivers: list[str], *, backend: str,
                num_threads: int, progress: bool | None, share_groups: bool,
                slice_voxels: int | None, name_experiment: bool,
                task_function: Callable | None = None,
                stats: list | None = None) -> list[SimulationResult]:
    if not all(hasattr(client, name) for name in ("submit", "nthreads", "cancel")):
        raise TypeError(f"client must be a dask.distributed.Client (Client(\"tcp://host:port\") "
                        f"for a scheduler), got {type(client).__name__}")
    slots = _slots(client)
    if slice_voxels is None:
        slice_voxels = _default_slice_voxels(sum(e.nvoxels for e in experiments), slots)
    tasks = [_Task(i, voxels) for i, e in enumerate(experiments)
             for voxels in slice_ranges(e.nvoxels, int(slice_voxels))]
    signals: list[np.ndarray | None] = [None] * len(experiments)

    def on_result(task: _Task, signal: np.ndarray) -> None:
        if signals[task.experiment] is None:
            signals[task.experiment] = _empty_signal(experiments[task.experiment])
        voxels = task.voxels
        signals[task.experiment][:, :, voxels.start:voxels.stop] = signal.transpose(1, 2, 0, 3)

    bar = Progress(len(tasks), progress, unit="slices")
    try:
        _run_tasks(client, experiments, tasks,
                   lambda e: (drivers[e], backend, num_threads, share_groups), on_result,
                   lambda task: bar.advance(), task_function or run_slice, name_experiment,
                   stats)
    finally:
        bar.close()
    for index, (experiment, signal) in enumerate(zip(experiments, signals)):
        # The overflow check of a run in one process, on the assembled signal.
        if signal is None:
            continue
        try:
            sanity.check_finite(experiment, signal.transpose(2, 0, 1, 3))
        except ExperimentError as error:
            if not name_experiment:
                raise
            raise ExperimentError(f"experiment {index}: {error}") from None
    return [simulation.make_result(e, signal, backend, driver)
            for e, signal, driver in zip(experiments, signals, drivers)]


def simulate_on(client, experiment: Experiment, *, backend: str = "native",
                num_threads: int = 1, progress: bool | None = None, driver: str | None = None,
                share_groups: bool = True, slice_voxels: int | None = None,
                task_function: Callable | None = None,
                stats: list | None = None) -> SimulationResult:
    """``korvel.simulate(experiment, client=client)``: the experiment in slices of
    ``slice_voxels`` voxels (default: about ``SLICES_PER_SLOT`` slices per worker thread, at
    most ``MAX_SLICE_VOXELS``), each a task of ``num_threads`` threads.

    ``stats``, a list, receives one dict per slice: its ``voxels``, the pickled bytes ``sent``
    to its task and ``received`` from it, and the caller's seconds to cut and pack the slice
    (``pack_seconds``) and to place its signal in the result (``place_seconds``).
    ``task_function`` replaces ``run_slice`` (tests)."""
    _check_slice_voxels(slice_voxels)
    simulation._backend_module(backend)
    experiments, drivers = _check_all([experiment], driver)
    return _on_cluster(client, experiments, drivers, backend=backend,
                       num_threads=simulation.check_threads(num_threads), progress=progress,
                       share_groups=share_groups, slice_voxels=slice_voxels,
                       name_experiment=False, task_function=task_function, stats=stats)[0]


def simulate_many(experiments: Iterable[Experiment], client=None, *, backend: str = "native",
                  num_threads: int | None = None, progress: bool | None = None,
                  workers: int | None = None,
                  slice_voxels: int | None = None) -> list[SimulationResult]:
    """Simulate every experiment of ``experiments`` (for example a grid of conversion rates and
    flip schedules) and return their results in the same order, each with the bits of
    ``korvel.simulate``.

    With ``client`` (a ``dask.distributed.Client``) every experiment runs in slices of voxels
    as tasks on its workers (see ``korvel.host.cluster``; a small experiment is one slice);
    ``num_threads`` is each task's team (default 1). Without one, ``workers`` threads of this
    process (default: its CPUs) run one experiment each, on ``num_threads`` threads (default
    1). Every experiment is checked before anything runs. A failure raises
    ``SimulationError`` naming the experiment and its voxels after cancelling the rest.
    ``progress`` shows a bar per finished slice or experiment on stderr (None: after a second).
    """
    experiments, drivers = _check_all(experiments, None)
    simulation._backend_module(backend)
    num_threads = simulation.check_threads(1 if num_threads is None else num_threads)
    _check_slice_voxels(slice_voxels)
    if client is not None:
        if not experiments:
            return []
        return _on_cluster(client, experiments, drivers, backend=backend,
                           num_threads=num_threads, progress=progress, share_groups=True,
                           slice_voxels=slice_voxels, name_experiment=True)
    if slice_voxels is not None:
        raise ValueError("slice_voxels needs a client")
    if workers is None:
        workers = simulation.default_threads()
    if isinstance(workers, bool) or not isinstance(workers, (int, np.integer)) or workers < 1:
        raise ValueError(f"workers must be a positive integer, got {workers!r}")
    if not experiments:
        return []
    return _on_threads(experiments, drivers, backend, num_threads, int(workers), progress)


def _on_threads(experiments: list[Experiment], drivers: list[str], backend: str,
                num_threads: int, workers: int,
                progress: bool | None) -> list[SimulationResult]:
    """One experiment per thread; the native drivers release the interpreter lock."""
    results: list[SimulationResult | None] = [None] * len(experiments)
    bar = Progress(len(experiments), progress, unit="experiments")
    pool = concurrent.futures.ThreadPoolExecutor(min(workers, len(experiments)),
                                                 thread_name_prefix="korvel-experiment")
    try:
        futures = {pool.submit(simulation.simulate, e, backend, num_threads, progress=False,
                               driver=d): i for i, (e, d) in enumerate(zip(experiments, drivers))}
        for future in concurrent.futures.as_completed(futures):
            i = futures[future]
            try:
                results[i] = future.result()
            except Exception as error:
                nvoxels = experiments[i].nvoxels
                raise SimulationError(range(nvoxels), nvoxels, error, i) from error
            bar.advance()
    finally:
        # Nothing keeps running after the call: the queued experiments are dropped and the
        # running ones finish (a native driver cannot be stopped half-way).
        pool.shutdown(wait=True, cancel_futures=True)
        bar.close()
    return results  # type: ignore[return-value]
