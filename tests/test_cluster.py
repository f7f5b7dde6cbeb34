"""Experiments run by slices of voxels on a Dask cluster, and lists of experiments: the bits of
one process for every slicing and worker count, slices that travel small, lost workers run
again, failed slices named after the others are cancelled, and nothing left on the cluster."""

from __future__ import annotations

import dataclasses
import os
import re
import signal
import sys
import time

import numpy as np
import pytest
import test_host_simulate
from conftest import same_bits

import korvel
from korvel.host import cluster as slices
from korvel.host import planner

pytest.importorskip("distributed")

NVOXELS = 12


def phantom(driver: str, **changes) -> korvel.Experiment:
    """Twelve voxels on ``driver``: classes in several runs, two coils, per-voxel initial
    values, a signed zero and a map the same everywhere; tables small enough for several
    chunks and blocks."""
    n = NVOXELS
    rates = np.array([0.02, 0.05, 0.0, 0.02, 0.02, 0.05, 0.0, 0.0, 0.05, 0.02, 0.03, 0.02])
    fields = dict(
        nvoxels=n, regions=("a",) * 4 + ("b",) * 5 + ("a",) * 3,
        conversion_rates=(rates,) + ((0.01,) if driver == planner.MULTI_POOL else ()),
        transmit=np.tile([1.0, 0.9, 1.1j, 1.0], 3),
        receive=np.stack([np.linspace(0.1, 1.0, n), np.full(n, 0.5j)]),
        off_resonance=np.repeat([-0.0, 0.0, 4.0, -7.0], [1, 3, 4, 4]),
        initial_magnetization=tuple(np.linspace(0.0, 1.0, n) * (p + 1) for p in
                                    range(3 if driver == planner.MULTI_POOL else 2)),
        initial_concentration=tuple(np.full(n, 0.4 if p == 0 else 0.0) for p in
                                    range(3 if driver == planner.MULTI_POOL else 2)),
        delivery=np.repeat([1.0, 2.0], [8, 4]), memory_bound=6000,
    )
    fields.update(changes)
    return test_host_simulate.experiment_for(driver).replace(**fields)


@pytest.fixture(scope="module")
def client():
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=False, host="127.0.0.1",
                      protocol="tcp", dashboard_address=":0") as local, Client(local) as c:
        yield c


@pytest.fixture(scope="module")
def expected():
    return {driver: korvel.simulate(phantom(driver), progress=False)
            for driver in planner.DRIVERS}


def scheduler_tasks(client) -> int:
    return client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))


def assert_nothing_left(client):
    """No task or result stays on the cluster (the scheduler forgets released keys soon)."""
    deadline = time.monotonic() + 10
    while scheduler_tasks(client) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert scheduler_tasks(client) == 0


# ---------------------------------------------------------------------------------------------
# Slices of an experiment


def test_a_slice_cuts_every_per_voxel_field():
    experiment = phantom(planner.MULTI_POOL, delivery=np.arange(NVOXELS) + 1.0)
    part = experiment.slice_voxels(2, 7)
    assert part.nvoxels == 5 and part.regions == experiment.regions[2:7]
    for field in dataclasses.fields(experiment):
        if field.name in ("nvoxels", "regions", "grid"):
            continue
        whole, cut = getattr(experiment, field.name), getattr(part, field.name)
        for w, c in zip(*(v if isinstance(v, tuple) else (v,) for v in (whole, cut))):
            if isinstance(w, np.ndarray) and w.shape[-1] == NVOXELS:
                # A per-voxel field left whole here would misplace voxels on the workers.
                assert same_bits(c, w[..., 2:7]), field.name
            else:
                assert c is w or c == w or same_bits(np.asarray(c), np.asarray(w)), field.name


@pytest.mark.parametrize("start, stop, error", [(0, 0, ValueError), (3, 2, ValueError),
                                                (-1, 2, ValueError), (0, NVOXELS + 1, ValueError),
                                                (1.0, 2, TypeError), (0, True, TypeError)])
def test_a_slice_needs_a_range_of_the_voxels(start, stop, error):
    with pytest.raises(error, match="start|stop|voxels"):
        phantom(planner.TWO_POOL).slice_voxels(start, stop)


@pytest.mark.parametrize("start, stop", [(0, NVOXELS), (4, 9), (0, 4), (5, 6), (0, 1)])
def test_a_payload_rebuilds_the_slice_and_sends_uniform_maps_once(start, stop):
    experiment = phantom(planner.MULTI_POOL)
    payload = slices.SlicePayload.of(experiment, start, stop)
    rebuilt, part = payload.experiment(), experiment.slice_voxels(start, stop)
    assert rebuilt.regions == part.regions
    for field in dataclasses.fields(part):
        got, want = getattr(rebuilt, field.name), getattr(part, field.name)
        for g, w in zip(*(v if isinstance(v, tuple) else (v,) for v in (got, want))):
            if isinstance(w, np.ndarray):
                assert same_bits(g, w), field.name
    # The second product's rate is one value everywhere: sent as one column.
    uniform = isinstance(payload.fields["conversion_rates"][1], slices._Uniform)
    assert uniform == (stop - start > 1)
    # Neither is the off-resonance map: in 0-3, -0.0 and 0.0 differ in their bits.
    assert not isinstance(payload.fields["off_resonance"], slices._Uniform)


@pytest.mark.parametrize("nvoxels, size", [(1, 1), (12, 5), (12, 12), (12, 100), (10, 3)])
def test_slice_ranges_cover_the_voxels_once_and_evenly(nvoxels, size):
    ranges = slices.slice_ranges(nvoxels, size)
    assert [v for r in ranges for v in r] == list(range(nvoxels))
    lengths = [len(r) for r in ranges]
    assert max(lengths) <= size and max(lengths) - min(lengths) <= 1


# ---------------------------------------------------------------------------------------------
# On a cluster


@pytest.mark.parametrize("slice_voxels", [1, 5, 7, None])
@pytest.mark.parametrize("driver", planner.DRIVERS)
def test_slices_give_the_bits_of_one_process(client, expected, driver, slice_voxels):
    stats = []
    got = slices.simulate_on(client, phantom(driver), slice_voxels=slice_voxels, stats=stats)
    assert same_bits(got.signal, expected[driver].signal)
    assert (got.driver, got.regions) == (driver, expected[driver].regions)
    assert sum(s["voxels"] for s in stats) == NVOXELS
    for s in stats:  # the signal and a small constant come back
        signal_bytes = s["voxels"] * expected[driver].signal[:, :, :1].nbytes
        assert signal_bytes < s["received"] < signal_bytes + 1024
    assert_nothing_left(client)


@pytest.mark.parametrize("workers, threads", [(1, 1), (3, 2)])
def test_any_worker_count_and_team_gives_the_same_bits(expected, workers, threads):
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=False, host="127.0.0.1",
                      protocol="tcp", dashboard_address=":0") as local, Client(local) as c:
        got = korvel.simulate(phantom(planner.MULTI_POOL), client=c, num_threads=threads,
                              slice_voxels=3, backend="reference")
    assert same_bits(got.signal, expected[planner.MULTI_POOL].signal)


def failing_at(voxel: int):
    """A task that fails on the slice holding ``voxel``."""
    def task(payload, *options):
        if payload.start <= voxel < payload.stop:
            raise MemoryError("out of memory on this worker")
        return slices.run_slice(payload, *options)
    return task


def test_a_failed_slice_is_named_and_the_others_are_cancelled(client):
    experiment = phantom(planner.SOURCE_INTERVAL)
    with pytest.raises(slices.SimulationError, match=r"^voxels 4-7 \(of 12\) failed, the other "
                       r"slices were cancelled: MemoryError: out of memory") as caught:
        slices.simulate_on(client, experiment, slice_voxels=4, task_function=failing_at(5))
    assert caught.value.voxels == range(4, 8) and caught.value.experiment is None
    assert isinstance(caught.value.__cause__, MemoryError)
    assert_nothing_left(client)


def test_progress_moves_per_slice(client, capsys):
    korvel.simulate(phantom(planner.TWO_POOL), client=client, slice_voxels=4, progress=True)
    assert re.search(r"simulating \[#+\] 3/3 slices\n$", capsys.readouterr().err)


@pytest.mark.parametrize("options, message", [
    (dict(slice_voxels=0), "slice_voxels must be a positive integer"),
    (dict(slice_voxels=2.0), "slice_voxels must be a positive integer"),
    (dict(num_threads=0), "num_threads must be a positive integer"),
    (dict(backend="gpu"), "backend must be one of"),
])
def test_options_are_checked_before_anything_is_sent(client, options, message):
    with pytest.raises(ValueError, match=message):
        korvel.simulate(phantom(planner.TWO_POOL), client=client, **options)
    assert_nothing_left(client)


def test_a_client_that_is_not_one_is_named():
    with pytest.raises(TypeError, match="client must be a dask.distributed.Client"):
        korvel.simulate(phantom(planner.TWO_POOL), client="tcp://127.0.0.1:8786")


def test_slice_voxels_needs_a_client():
    with pytest.raises(ValueError, match="slice_voxels needs a client"):
        korvel.simulate(phantom(planner.TWO_POOL), slice_voxels=4)


# ---------------------------------------------------------------------------------------------
# Lists of experiments


def grid() -> list[korvel.Experiment]:
    """Conversion rates x flip schedules, and one experiment on each driver."""
    base = phantom(planner.SOURCE_INTERVAL)
    flips = [korvel.FlipAngles("constant", 15.0), korvel.FlipAngles("variable", 60.0)]
    points = [base.replace(conversion_rates=(rate,),
                           acquisition=dataclasses.replace(base.acquisition, flip_angles=flip))
              for rate in (0.01, 0.05) for flip in flips]
    return points + [phantom(driver) for driver in planner.DRIVERS]


@pytest.mark.parametrize("where", ["threads", "cluster"])
def test_many_experiments_come_back_in_order_with_their_own_bits(request, where):
    client = request.getfixturevalue("client") if where == "cluster" else None
    experiments = grid()
    got = korvel.simulate_many(experiments, client=client, slice_voxels=5 if client else None,
                               workers=3)
    assert len(got) == len(experiments)
    for experiment, result in zip(experiments, got):
        want = korvel.simulate(experiment, progress=False)
        assert same_bits(result.signal, want.signal) and result.driver == want.driver
    assert korvel.simulate_many([], client=client) == []


def test_a_failed_experiment_is_named_in_a_local_pool(monkeypatch):
    experiments = grid()
    simulate = korvel.host.simulation.simulate

    def failing(experiment, *args, **kwargs):
        if experiment is experiments[2]:
            raise ValueError("broken")
        return simulate(experiment, *args, **kwargs)

    monkeypatch.setattr(korvel.host.simulation, "simulate", failing)
    with pytest.raises(slices.SimulationError,
                       match=r"^experiment 2: voxels 0-11 \(of 12\) failed.*ValueError: broken"):
        korvel.simulate_many(experiments, workers=2)


def test_a_failed_experiment_is_named_on_a_cluster(client):
    experiments = grid()
    drivers = [planner.choose_driver(e).name for e in experiments]
    with pytest.raises(slices.SimulationError, match=r"^experiment \d+: voxels 4-7 \(of 12\)"):
        slices._on_cluster(client, experiments, drivers, backend="native", num_threads=1,
                           progress=False, share_groups=True, slice_voxels=4,
                           name_experiment=True, task_function=failing_at(5))
    assert_nothing_left(client)


@pytest.mark.parametrize("experiments, error, message", [
    (lambda: phantom(planner.TWO_POOL), TypeError, "sequence of Experiment"),
    (lambda: [phantom(planner.TWO_POOL), 3], TypeError, r"experiments\[1\] must be an Experiment"),
    (lambda: None, TypeError, "experiments must be a sequence of Experiment, got NoneType"),
])
def test_many_checks_every_experiment_first(experiments, error, message):
    with pytest.raises(error, match=message):
        korvel.simulate_many(experiments())


@pytest.mark.parametrize("options, message", [(dict(workers=0), "workers must be"),
                                              (dict(slice_voxels=3), "needs a client"),
                                              (dict(num_threads=-1), "num_threads must be")])
def test_many_checks_its_options(options, message):
    with pytest.raises(ValueError, match=message):
        korvel.simulate_many(grid(), **options)


# ---------------------------------------------------------------------------------------------
# Worker processes that die


def kill_once(marker: str | None):
    """A task that kills its worker process the first time any slice runs (``marker`` None:
    every time)."""
    def task(payload, *options):
        try:
            if marker is not None:
                os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return slices.run_slice(payload, *options)
        os.kill(os.getpid(), signal.SIGKILL)
    return task


@pytest.fixture(scope="module")
def processes():
    if os.environ.get("KORVEL_SANITIZED"):
        pytest.skip("worker processes are not started under the sanitizers")
    import cloudpickle
    import dask
    from distributed import Client, LocalCluster

    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    try:  # a slice may lose one worker and run again; the second loss fails it
        with dask.config.set({"distributed.scheduler.allowed-failures": 1}), \
                LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                             host="127.0.0.1", dashboard_address=":0") as local, \
                Client(local) as c:
            yield c
    finally:
        cloudpickle.unregister_pickle_by_value(sys.modules[__name__])


def test_a_lost_workers_slice_runs_again_with_the_same_bits(processes, expected, tmp_path):
    marker = tmp_path / "killed"
    got = slices.simulate_on(processes, phantom(planner.MULTI_POOL), slice_voxels=3,
                             task_function=kill_once(str(marker)))
    assert marker.exists()
    assert same_bits(got.signal, expected[planner.MULTI_POOL].signal)
    assert_nothing_left(processes)


def test_a_slice_that_keeps_killing_workers_fails(processes):
    with pytest.raises(slices.SimulationError, match=r"^voxels 0-11 \(of 12\) failed, the "
                       r"other slices were cancelled: KilledWorker"):
        slices.simulate_on(processes, phantom(planner.TWO_POOL), slice_voxels=12,
                           task_function=kill_once(None))
    assert_nothing_left(processes)


def test_a_phantom_runs_in_slices_and_keeps_its_grid(client):
    from test_host_phantom import ALANINE, LACTATE, PYRUVATE, small_phantom

    experiment = small_phantom().experiment(PYRUVATE, (LACTATE, ALANINE),
                                            inflow=korvel.Inflow(), spins_per_voxel=2)
    assert experiment.slice_voxels(0, 3).grid is None  # a slice is voxels, not an image
    alone = korvel.simulate(experiment, num_threads=1)
    sliced = korvel.simulate(experiment, client=client, slice_voxels=3)
    assert same_bits(sliced.signal, alone.signal)
    assert sliced.grid is experiment.grid


def test_selective_pulses_run_in_slices_with_the_bits_of_one_process(client):
    from test_host_selective import SMALL_AND_LARGE, acquisition, two_site

    experiment = two_site(acquisition=acquisition(SMALL_AND_LARGE, {"lactate": 0.5}))
    alone = korvel.simulate(experiment, num_threads=1)
    sliced = korvel.simulate(experiment, client=client, slice_voxels=1)
    assert same_bits(sliced.signal, alone.signal)
    assert same_bits(sliced.readout_times, alone.readout_times)


def test_an_overflow_on_a_cluster_is_refused_as_in_one_process(client):
    # Voxel 9's first coil overflows, in the third slice of four.
    receive = phantom(planner.TWO_POOL).receive.copy()
    receive[0, 9] = 1e308
    experiment = phantom(planner.TWO_POOL, receive=receive,
                         initial_magnetization=(np.full(NVOXELS, 1e3), 0.0))
    with pytest.raises(korvel.ExperimentError) as local:
        korvel.simulate(experiment, progress=False)
    assert "voxel 9, coil 0" in str(local.value)
    with pytest.raises(korvel.ExperimentError, match=re.escape(str(local.value))):
        korvel.simulate(experiment, client=client, slice_voxels=3, progress=False)
    with pytest.raises(korvel.ExperimentError, match="^experiment 1: " + re.escape(
            str(local.value))):
        korvel.simulate_many([phantom(planner.TWO_POOL), experiment], client=client,
                             slice_voxels=3)
    assert_nothing_left(client)
