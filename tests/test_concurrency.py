"""Python threads calling kernels at once, each on its own arrays, get exactly what the same calls
give one after the other, and a process forked after a parallel call completes its own."""

from __future__ import annotations

import os
import sys
import textwrap
import threading

import numpy as np
import pytest

from calls import BUILT, CALLS, damaged_call
from conftest import THREAD_COUNTS, run_python
from korvel import pelorine

SANITIZED = os.environ.get("KORVEL_SANITIZED") == "1"
PYTHON_THREADS = 4
REPEATS = 2 if SANITIZED else 5  # calls per task, each continuing from the last one's arrays
N = 100


# Every function twice, with different seeds: (function, seed).
TASKS = [(function, seed) for seed in (1, 2) for function in BUILT]


def run_task(function: str, seed: int, num_threads: int) -> list[np.ndarray]:
    """REPEATS calls on one call's arrays; returns what they wrote and returned."""
    call, _ = damaged_call(function, seed, N, num_threads, None, guarded=False)
    results = []
    for _ in range(REPEATS):
        result = getattr(pelorine, function)(**call)
        results.extend(result if isinstance(result, tuple) else [])
    return results + [call[name] for name in CALLS[function].written if name in call]


def identical(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
def test_threads_calling_at_once_match_calls_in_turn(num_threads):
    todo = TASKS
    expected = [run_task(function, seed, num_threads) for function, seed in todo]

    got: list = [None] * len(todo)
    errors: list[BaseException] = []
    start = threading.Barrier(PYTHON_THREADS)

    def worker(first: int) -> None:
        try:
            start.wait()
            for i in range(first, len(todo), PYTHON_THREADS):
                got[i] = run_task(*todo[i], num_threads)
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # hand the GIL over often, between and around the calls
    try:
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(PYTHON_THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert not errors, errors
    for (function, seed), mine, theirs in zip(todo, got, expected):
        assert len(mine) == len(theirs)
        assert all(identical(a, b) for a, b in zip(mine, theirs)), (function, seed)


@pytest.mark.parametrize("num_threads", [10**5, 2**31 - 1])
def test_a_team_beyond_the_system_runs_on_fewer_threads(num_threads):
    # The runtime aborts the process when it cannot make a requested thread; the module asks
    # for no more than it can use, and any team gives the same bits.
    for function in BUILT:
        expected = run_task(function, 3, 1)
        got = run_task(function, 3, num_threads)
        assert all(identical(a, b) for a, b in zip(got, expected)), function


@pytest.mark.skipif(os.environ.get("KORVEL_SANITIZED") == "1", reason="fork under sanitizers")
def test_a_forked_child_completes_its_call():
    source = textwrap.dedent("""
        import os
        import numpy as np
        from korvel import pelorine
        state, transverse = np.zeros((2, 5000, 3)), np.zeros((2, 5000), complex)
        pelorine.apply_rf_rotation_transverse_block(state, transverse, 1, 0, 0, 1, 1, 2)
        pid = os.fork()
        if pid == 0:
            pelorine.apply_rf_rotation_transverse_block(state, transverse, 1, 0, 0, 1, 1, 2)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        print("child", os.waitstatus_to_exitcode(status))
        pelorine.apply_rf_rotation_transverse_block(state, transverse, 1, 0, 0, 1, 1, 2)
        """)
    result = run_python(source, timeout=60)
    assert result.stdout.strip() == "child 0", result
