"""The machine's limits, measured in the benchmark run itself: memory bandwidth (the faster of a
large NumPy copy and a large in-place scaling, the way the kernels stream their arrays) and the
rates of independent double multiplies and divisions (a compiled probe, else NumPy).

Both are measured on one thread and on a team of Python threads that each do the same work on
their own data at once; NumPy's copy and ctypes calls release the GIL.
"""

from __future__ import annotations

import ctypes
import os
import shutil
import statistics
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np

PROBE_SOURCE = Path(__file__).with_name("peak_rates.cpp")


@dataclass
class Limits:
    bandwidth: dict[int, float]  # bytes per second (read + write), by thread count
    copy_bandwidth: dict[int, float]  # of the copy alone
    multiply_rate: dict[int, float]  # double multiplies per second, by thread count
    divide_rate: dict[int, float]  # double divisions per second, by thread count
    rate_source: str  # how the rates were measured


def _concurrently(jobs: list[Callable[[], object]]) -> float:
    """Wall time of running every job on its own thread, all started together."""
    if len(jobs) == 1:
        start = time.perf_counter()
        jobs[0]()
        return time.perf_counter() - start
    threads = [threading.Thread(target=job) for job in jobs]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start


def memory_bandwidth(team: int, megabytes: int, repeats: int) -> tuple[float, float]:
    """Bytes read and written per second by `team` threads, each on its share of one array:
    copying it to another, and scaling it in place (by exactly 1.0)."""
    n = megabytes * 2**20 // 8
    source = np.ones(n)
    target = np.zeros(n)
    shares = [slice(t * n // team, (t + 1) * n // team) for t in range(team)]
    rates = []
    for job in (lambda s: np.copyto(target[s], source[s]),
                lambda s: np.multiply(source[s], 1.0, out=source[s])):
        jobs = [lambda s=s: job(s) for s in shares]
        _concurrently(jobs)  # warm-up: page faults, caches
        rates.append(2 * 8 * n / statistics.median(_concurrently(jobs) for _ in range(repeats)))
    return rates[0], rates[1]


def _compile_probe() -> ctypes.CDLL | None:
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if compiler is None or not PROBE_SOURCE.is_file():
        return None
    folder = tempfile.mkdtemp(prefix="korvel-probe-")
    library = Path(folder) / "peak_rates.so"
    try:
        subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-ffp-contract=off",
                        str(PROBE_SOURCE), "-o", str(library)],
                       check=True, capture_output=True, timeout=60)
        probe = ctypes.CDLL(str(library))
    except (OSError, subprocess.SubprocessError):
        return None
    finally:
        shutil.rmtree(folder, ignore_errors=True)  # the loaded library stays mapped
    for function in (probe.probe_multiply, probe.probe_divide):
        function.restype = ctypes.c_double
        function.argtypes = [ctypes.c_int64, ctypes.c_double]
    return probe


def _probe_rate(probe: ctypes.CDLL, function, team: int, seconds: float, repeats: int) -> float:
    per_round = probe.probe_chains() * probe.probe_lanes()
    rounds = 10_000
    while True:  # calibrate to about `seconds` per run
        elapsed = _concurrently([lambda: function(rounds, 1.0)])
        if elapsed >= seconds / 4 or rounds > 10**10:
            break
        rounds *= 4
    rounds = max(1, int(rounds * seconds / elapsed))
    jobs = [lambda: function(rounds, 1.0)] * team
    return team * rounds * per_round / statistics.median(
        _concurrently(jobs) for _ in range(repeats))


def _numpy_rate(operation, team: int, repeats: int) -> float:
    """In-place operations on cache-resident arrays (one per thread): the overhead of each call
    and the loads and stores keep this well below the arithmetic peak."""
    n, calls = 16_384, 400
    arrays = [np.ones(n) for _ in range(team)]

    def job(values):
        for _ in range(calls):
            operation(values, 1.0, out=values)

    jobs = [lambda a=a: job(a) for a in arrays]
    _concurrently(jobs)
    return team * n * calls / statistics.median(_concurrently(jobs) for _ in range(repeats))


def measure(teams: list[int], quick: bool) -> Limits:
    repeats = 3 if quick else 5
    megabytes = 32 if quick else 512
    copy, in_place = {}, {}
    for team in teams:
        copy[team], in_place[team] = memory_bandwidth(team, megabytes, repeats)
    bandwidth = {team: max(copy[team], in_place[team]) for team in teams}
    probe = _compile_probe()
    if probe is not None:
        seconds = 0.02 if quick else 0.25
        multiply = {team: _probe_rate(probe, probe.probe_multiply, team, seconds, repeats)
                    for team in teams}
        divide = {team: _probe_rate(probe, probe.probe_divide, team, seconds, repeats)
                  for team in teams}
        source = f"compiled probe, {probe.probe_lanes()} lanes"
    else:
        multiply = {team: _numpy_rate(np.multiply, team, repeats) for team in teams}
        divide = {team: _numpy_rate(np.divide, team, repeats) for team in teams}
        source = "NumPy in place (no compiler for the probe: low estimates)"
    return Limits(bandwidth, copy, multiply, divide, source)
