"""Chunked calls under faults: nothing kept after a failure or a success (no arrays held by the
exception, no key on the cluster, nothing left for the garbage collector), every array or none
written under Ctrl-C, and a closed client reported at once."""

from __future__ import annotations

import gc
import os
import signal
import threading
import time
import traceback
import weakref

import numpy as np
import pytest
from conftest import same_bits
from test_distributed import (  # noqa: F401 - fixtures
    BLOCKS,
    FailingDriver,
    client,
    cluster,
    copy_block,
    direct,
    two_pool,
)

from korvel import distributed


@pytest.fixture
def no_collector():
    """Objects must go by reference counting alone."""
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def keys_left(client, timeout=5.0):
    """Keys the scheduler or a worker still holds (they go shortly after a release)."""
    deadline = time.monotonic() + timeout
    while True:
        tasks = client.run_on_scheduler(lambda dask_scheduler: list(dask_scheduler.tasks))
        data = client.run(lambda dask_worker: list(dask_worker.data))
        left = tasks + [key for keys in data.values() for key in keys]
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.05)


def interrupting(after):
    """A progress callback raising KeyboardInterrupt at the ``after``-th finished chunk, as
    Ctrl-C there would."""
    def progress(done, total):
        if done == after:
            raise KeyboardInterrupt
    return progress


@pytest.mark.parametrize("ending", ["success", "failed chunk", "interrupt"])
def test_nothing_is_kept_after_the_call(rng, client, no_collector, ending):
    functions, block = two_pool(rng)
    options = dict(client=client, chunk_parents=2)
    if ending == "failed chunk":
        options["driver"] = FailingDriver(functions[0].__name__,
                                          block["parent_species_signal"][5].copy())
    elif ending == "interrupt":
        options["progress"] = interrupting(2)
    got = copy_block(block)
    alive = [weakref.ref(value) for value in got.values() if isinstance(value, np.ndarray)]
    error = None
    try:
        functions[1](**got, **options)
    except (distributed.ChunkError, KeyboardInterrupt) as caught:
        error = caught  # kept: it must not hold the arrays
    assert (error is None) == (ending == "success")
    if error is not None:
        # Only this test's frame and the public function's (whose names are gone) remain.
        frames = [frame.f_code.co_name for frame, _ in traceback.walk_tb(error.__traceback__)]
        assert frames == ["test_nothing_is_kept_after_the_call", "run"]
        for name in functions[2]:
            assert same_bits(got[name], block[name]), name
    del got
    assert [ref for ref in alive if ref() is not None] == []
    if client is not None:
        assert keys_left(client) == []


def test_a_failed_chunk_keeps_the_text_of_its_traceback(rng):
    functions, block = two_pool(rng)
    failing = FailingDriver(functions[0].__name__, block["parent_species_signal"][5].copy())
    with pytest.raises(distributed.ChunkError) as raised:
        functions[1](**block, chunk_parents=4, driver=failing)
    assert "ArithmeticError: parent 5 went wrong" in raised.value.chunk_traceback
    assert "in __call__" in raised.value.chunk_traceback
    assert raised.value.__cause__.__traceback__ is None


@pytest.mark.parametrize("block_name", ["two-pool special", "multi-pool"])
def test_ctrl_c_at_any_moment_writes_every_array_or_none(rng, block_name):
    """SIGINT every few hundred microseconds into repeated calls: each call ends with the old
    arrays (KeyboardInterrupt) or with every array written, and no chunk runs on after it."""
    functions, block = BLOCKS[block_name](rng)
    expected = direct(functions, block)
    pid, stop, armed = os.getpid(), threading.Event(), [False]

    def interrupt():
        while not stop.wait(0.0003 + 0.002 * np.random.default_rng().random()):
            os.kill(pid, signal.SIGINT)

    def handler(number, frame):
        if armed[0]:  # only inside the call below
            raise KeyboardInterrupt

    outcomes = []
    previous = signal.signal(signal.SIGINT, handler)
    sender = threading.Thread(target=interrupt)
    sender.start()
    try:
        for _ in range(60):
            got = copy_block(block)
            try:
                try:
                    armed[0] = True
                    functions[1](**got, chunk_parents=1)
                finally:
                    armed[0] = False
            except KeyboardInterrupt:
                pass
            assert not [t for t in threading.enumerate() if t.name.startswith("korvel-chunk")]
            new = [same_bits(got[name], expected[name]) for name in functions[2]]
            old = [same_bits(got[name], block[name]) for name in functions[2]]
            assert all(new) or all(old), (new, old)
            outcomes.append(all(new))
    finally:
        stop.set()
        sender.join()
        signal.signal(signal.SIGINT, previous)
    assert len(outcomes) == 60


def test_a_closed_client_fails_at_once(rng):
    pytest.importorskip("distributed")
    from distributed import Client

    client = Client(processes=False, dashboard_address=":0", n_workers=1, threads_per_worker=1)
    client.close()
    functions, block = two_pool(rng)
    got = copy_block(block)
    started = time.monotonic()
    with pytest.raises(distributed.ClusterError, match="^the Dask cluster cannot run the chunks, "
                       "no array was changed: the client is closed$"):
        functions[1](**got, client=client)
    assert time.monotonic() - started < 10
    for name in functions[2]:
        assert same_bits(got[name], block[name]), name
