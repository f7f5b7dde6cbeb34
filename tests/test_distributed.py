"""Plan blocks run in chunks of parents, on local threads and on a two-process Dask cluster:
the bits of one direct call, the driver's validation before anything is sent, retried lost
workers, and failed chunks that leave every array as it was."""

from __future__ import annotations

import os
import re
import signal
import sys

import numpy as np
import pytest
from conftest import same_bits

from korvel import distributed, pelorine, plan_blocks, reference

TWO_POOL = (pelorine.run_dynamic_plan_block_no_inflow,
            distributed.run_dynamic_plan_block_no_inflow, plan_blocks.TWO_POOL.written)
MULTI_POOL = (pelorine.run_dynamic_plan_block_multi_pool,
              distributed.run_dynamic_plan_block_multi_pool, plan_blocks.MULTI_POOL.written)
SOURCE_INTERVAL = (pelorine.apply_dynamic_rf_block_with_concentration_inflow,
                   distributed.apply_dynamic_rf_block_with_concentration_inflow, ())
NPARENTS = 9


def source_interval(rng, spins_per_parent=1, plan=False, **shape):
    block = plan_blocks.source_interval_block(
        rng, nparents=NPARENTS, spins_per_parent=spins_per_parent,
        actions="varied" if plan else None, **shape)
    written = tuple(name for name in plan_blocks.SOURCE_INTERVAL.written if name in block)
    return SOURCE_INTERVAL[:2] + (written,), block


def two_pool(rng, **shape):
    return TWO_POOL, plan_blocks.two_pool_block(rng, **{"nparents": NPARENTS, **shape})


def multi_pool(rng, **shape):
    return MULTI_POOL, plan_blocks.multi_pool_block(
        rng, **{"nparents": NPARENTS, "special": 0.05, **shape})


# Each: a driver, and a block with one rotation per spin and one spin per parent (so chunks of
# one parent would be one column wide), or with several spins per parent; the source-interval
# block without actions is cut by voxels.
BLOCKS = {
    "two-pool spatial": lambda rng: two_pool(rng, spins_per_parent=1, rf_per_spin=True),
    "two-pool special": lambda rng: two_pool(rng, spins_per_parent=2, special=0.05),
    "multi-pool spatial": lambda rng: multi_pool(rng, spins_per_parent=1, rf_per_spin=True,
                                                 spatial_sources=True, npools=4),
    "multi-pool": lambda rng: multi_pool(rng, spins_per_parent=3, source_mode=3),
    "source-interval spatial": lambda rng: source_interval(rng, rf_per_spin=True,
                                                           spatial_sources=True, kpl_groups=True),
    "source-interval plan": lambda rng: source_interval(rng, spins_per_parent=3, plan=True,
                                                        source_mode=1),
}


def copy_block(block):
    return {k: v.copy() if isinstance(v, np.ndarray) else v for k, v in block.items()}


def direct(functions, block):
    native, _, _ = functions
    expected = copy_block(block)
    native(**expected)
    return expected


def assert_same(functions, got, expected):
    for name in functions[2]:
        assert same_bits(got[name], expected[name]), name


@pytest.fixture(scope="module")
def cluster():
    pytest.importorskip("distributed")
    if os.environ.get("KORVEL_SANITIZED"):
        pytest.skip("worker processes are not started under the sanitizers")
    import cloudpickle
    import dask
    from distributed import Client, LocalCluster

    # The test drivers below run on the workers, which cannot import this module.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    # A task may lose one worker and run again; the second loss fails it.
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}), \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                         dashboard_address=None) as local, Client(local) as client:
        yield client
    cloudpickle.unregister_pickle_by_value(sys.modules[__name__])


@pytest.fixture(params=["threads", "cluster"])
def client(request):
    return None if request.param == "threads" else request.getfixturevalue("cluster")


@pytest.mark.parametrize("block", BLOCKS)
@pytest.mark.parametrize("chunk_parents", [1, 4, 100])
def test_chunks_give_the_bits_of_one_call(rng, client, block, chunk_parents):
    functions, block = BLOCKS[block](rng)
    expected = direct(functions, block)
    got = copy_block(block)
    finished = []
    functions[1](**got, client=client, chunk_parents=chunk_parents, task_threads=2,
                 progress=lambda done, total: finished.append((done, total)))
    assert_same(functions, got, expected)
    total = finished[-1][1]
    assert finished == [(done, total) for done in range(1, total + 1)]


@pytest.mark.parametrize("max_chunk_bytes", [1, "one parent", "three parents"])
def test_chunks_respect_the_working_set_bound(rng, max_chunk_bytes):
    functions, block = two_pool(rng, spins_per_parent=2)
    # State, transverse state and checkpoints written (counted twice), tables, receive arrays.
    one_spin = 2 * (48 + 32 + 3 * 48) + 3 * 32 + 4 * 25 + 2 * 16 + 8
    one_parent = 2 * one_spin + 2 * 2 * 2 * 4 * 16
    limit = {"one parent": one_parent, "three parents": 3 * one_parent}.get(max_chunk_bytes, 1)
    got = copy_block(block)
    if limit < one_parent:
        with pytest.raises(ValueError, match=f"a chunk of 1 parent.s. needs {one_parent} bytes"):
            functions[1](**got, max_chunk_bytes=limit)
        assert_same(functions, got, block)
        return
    totals = []
    functions[1](**got, chunk_parents=100, max_chunk_bytes=limit,
                 progress=lambda done, total: totals.append(total))
    assert totals[-1] == -(-NPARENTS // (limit // one_parent))
    assert_same(functions, got, direct(functions, block))


def test_the_reference_runs_as_the_driver(rng, client):
    functions, block = multi_pool(rng)
    got = copy_block(block)
    functions[1](**got, client=client, chunk_parents=2,
                 driver=reference.run_dynamic_plan_block_multi_pool)
    assert_same(functions, got, direct(functions, block))


def test_unread_receive_arrays_need_not_have_every_spin(rng, client):
    """Without ADC and checkpoint actions the multi-pool block reads neither receive arrays nor
    snapshots, whatever their spin extent."""
    functions, block = multi_pool(rng)
    block["action_kinds"][block["action_kinds"] >= 2] = 0
    block.update(rx_sensitivities=np.ones((2, 1), complex), signal_weights=np.ones(5),
                 checkpoint_states=np.ones((1, 3, 2, 3)))
    got = copy_block(block)
    functions[1](**got, client=client, chunk_parents=2)
    assert_same(functions, got, direct(functions, block))


class FailingDriver:
    """The native driver, raising after it ran the chunk whose signal holds ``row`` on entry."""

    def __init__(self, name, row):
        self.name, self.row = name, row

    def __call__(self, **arguments):
        holds = any(same_bits(row, self.row) for row in arguments["parent_species_signal"])
        getattr(pelorine, self.name)(**arguments)
        if holds:
            raise ArithmeticError("parent 5 went wrong")


@pytest.mark.parametrize("functions_block", [
    two_pool, multi_pool, lambda rng: source_interval(rng, spins_per_parent=2, plan=True)])
def test_a_failed_chunk_names_its_parents_and_changes_nothing(rng, client, functions_block):
    functions, block = functions_block(rng)
    failing = FailingDriver(functions[0].__name__, block["parent_species_signal"][5].copy())
    got = copy_block(block)
    with pytest.raises(distributed.ChunkError, match="parents 4-7 .of 9. failed, no array was "
                       "changed: ArithmeticError: parent 5 went wrong") as raised:
        functions[1](**got, client=client, chunk_parents=4, driver=failing)
    assert raised.value.parents == range(4, 8)
    assert isinstance(raised.value.__cause__, ArithmeticError)
    for name, value in block.items():
        if isinstance(value, np.ndarray):
            assert same_bits(got[name], value), name


def kill_once(marker, name):
    """A driver that kills its worker process the first time any chunk runs (``marker`` None:
    every time)."""
    def driver(**arguments):
        try:
            if marker is not None:
                os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return getattr(pelorine, name)(**arguments)
        os.kill(os.getpid(), signal.SIGKILL)
    return driver


@pytest.mark.parametrize("block", ["two-pool special", "multi-pool"])
def test_a_lost_worker_is_retried(rng, cluster, tmp_path, block):
    functions, block = BLOCKS[block](rng)
    got = copy_block(block)
    functions[1](**got, client=cluster, chunk_parents=2,
                 driver=kill_once(str(tmp_path / "killed"), functions[0].__name__))
    assert (tmp_path / "killed").exists()
    assert_same(functions, got, direct(functions, block))


def test_a_chunk_that_keeps_killing_workers_fails(rng, cluster):
    functions, block = two_pool(rng)
    got = copy_block(block)
    # Dask gives up on the task, or on its shared tables, each lost with every worker.
    with pytest.raises(distributed.ChunkError, match="parents 0-8 .of 9. failed, no array was "
                       "changed: (KilledWorker|FutureCancelledError)"):
        functions[1](**got, client=cluster, chunk_parents=100,
                     driver=kill_once(None, functions[0].__name__))
    for name in functions[2]:
        assert same_bits(got[name], block[name]), name


def _misaligned(array):
    """A copy of ``array`` whose data starts one byte past an aligned address."""
    raw = np.empty(array.nbytes + 1, np.uint8)
    copy = raw[1:].view(array.dtype).reshape(array.shape)
    copy[...] = array
    return copy


def _read_only(array):
    array.flags.writeable = False
    return array


FAULTS = {
    "team": lambda b: dict(num_threads=0),
    "shape": lambda b: dict(transverse_state=b["transverse_state"][:, 1:]),
    "dtype": lambda b: dict(signal_weights=b["signal_weights"].astype(np.float32)),
    "contents": lambda b: dict(rf_groups=b["rf_groups"] + 50),
    "read-only state": lambda b: dict(state=_read_only(b["state"])),
    "read-only checkpoints": lambda b: dict(checkpoint_states=_read_only(b["checkpoint_states"])),
    "misaligned checkpoints": lambda b: dict(checkpoint_states=_misaligned(
        b["checkpoint_states"])),
    "misaligned spatial sources": lambda b: dict(spatial_source_values=_misaligned(
        b["spatial_source_values"])),
}


def assert_fails_as_the_driver(functions, block):
    before = copy_block(block)
    with pytest.raises((TypeError, ValueError)) as direct_error:
        functions[0](**block)
    called = []
    with pytest.raises(type(direct_error.value)) as error:
        functions[1](**block, driver=lambda **arguments: called.append(arguments))
    assert str(error.value) == str(direct_error.value)
    assert not called
    for name, value in before.items():
        if isinstance(value, np.ndarray):
            assert same_bits(block[name], value), name


@pytest.mark.parametrize("fault", FAULTS)
def test_validation_is_the_drivers_and_comes_first(rng, fault):
    functions, block = multi_pool(rng, spatial_sources=True)
    block.update(FAULTS[fault](block))
    assert_fails_as_the_driver(functions, block)


@pytest.mark.parametrize("fault", ["read-only concentration", "misaligned kpl",
                                   "misaligned spatial sources"])
def test_validation_without_actions(rng, fault):
    """Without actions the last array written is the concentration: every array after it is
    checked for alignment, but for the observation arrays, which take no part."""
    functions, block = source_interval(rng, spatial_sources=True)
    block["parent_species_signal"] = _misaligned(np.ones((1, 1, 1, 1), complex))
    if fault == "read-only concentration":
        _read_only(block["concentration_state"])
    else:
        name = fault.replace("misaligned ", "").replace("spatial sources",
                                                        "spatial_source_values")
        block[name] = _misaligned(block[name])
    assert_fails_as_the_driver(functions, block)


def test_observation_arrays_without_actions_take_no_part(rng):
    functions, block = source_interval(rng, spatial_sources=True)
    got = copy_block(block)
    got.update(parent_species_signal=_misaligned(np.ones((1, 1, 1, 1), complex)),
               checkpoint_states=_read_only(np.ones((1, 1, 1, 1))))
    functions[1](**got, chunk_parents=2)
    assert_same(functions, got, direct(functions, block))


@pytest.mark.parametrize("option, value", [("chunk_parents", 0), ("max_chunk_bytes", 0),
                                           ("task_threads", 0), ("chunk_parents", 2.0),
                                           ("task_threads", True)])
def test_options_are_checked(rng, option, value):
    functions, block = two_pool(rng)
    with pytest.raises(ValueError, match=f"{option} must be an integer of at least"):
        functions[1](**block, **{option: value})


def test_a_block_without_parents_sends_nothing(rng):
    functions, block = two_pool(rng, nparents=0)
    called = []
    functions[1](**block, driver=lambda **arguments: called.append(arguments))
    assert not called



@pytest.mark.parametrize("driver", ["two-pool", "source-interval", "multi-pool"])
def test_simulate_on_a_cluster_gives_the_bits_of_one_process(cluster, driver, capsys):
    import test_host_simulate

    import korvel

    experiment = test_host_simulate.experiment_for(driver)
    expected = korvel.simulate(experiment, progress=False)
    got = korvel.simulate(experiment, client=cluster, progress=True)
    assert same_bits(got.signal, expected.signal)
    assert got.driver == expected.driver == driver
    assert re.search(r"(\d+)/\1 slices\n$", capsys.readouterr().err)


def test_the_simulate_command_runs_on_a_scheduler(cluster, tmp_path, capsys):
    from korvel.__main__ import main

    local, remote = tmp_path / "local", tmp_path / "remote"
    assert main(["simulate", "--output", str(local)]) == 0
    assert main(["simulate", "--output", str(remote), "--scheduler",
                 cluster.scheduler.address]) == 0
    assert f"backend on {cluster.scheduler.address}, " in capsys.readouterr().out
    for name in ("curves.csv", "summary.csv"):
        assert (remote / name).read_bytes() == (local / name).read_bytes()
