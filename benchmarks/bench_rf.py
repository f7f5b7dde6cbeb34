"""Axis RF rotation of a 10**6-voxel two-pool block: native on one thread and on all cores
against the NumPy reference. Medians of several runs after a warm-up; ratios from the same run.

Run with ``python -m korvel bench`` or ``python benchmarks/bench_rf.py`` from the checkout root.
"""

from __future__ import annotations

import os
import statistics
import time

import numpy as np

from korvel import pelorine, reference

NVOXELS = 1_000_000
REPEATS = 7


def _block(rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    state = rng.standard_normal((2, NVOXELS, 3))
    transverse = rng.standard_normal((2, NVOXELS)) + 1j * rng.standard_normal((2, NVOXELS))
    return state, transverse


def _median_seconds(function, state, transverse, coefficients, num_threads) -> float:
    function(state, transverse, *coefficients, num_threads)  # warm-up: pages, thread team
    samples = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        function(state, transverse, *coefficients, num_threads)
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def main() -> None:
    rng = np.random.default_rng(7)
    state, transverse = _block(rng)
    angle, phase = 0.3, 1.1
    # A rotation keeps the magnitudes bounded, so repeated calls time ordinary values throughout.
    coefficients = (np.cos(phase), np.sin(phase), np.cos(angle), np.sin(angle), 1.0 - np.cos(angle))
    cores = os.cpu_count() or 1
    name = "apply_rf_rotation_transverse_block"
    timings = [
        ("native, 1 thread", _median_seconds(getattr(pelorine, name), state, transverse,
                                             coefficients, 1)),
        (f"native, {cores} threads", _median_seconds(getattr(pelorine, name), state, transverse,
                                                     coefficients, cores)),
        ("reference (NumPy)", _median_seconds(getattr(reference, name), state, transverse,
                                              coefficients, 1)),
    ]
    reference_seconds = timings[-1][1]
    print(f"{name}: {NVOXELS} voxels x 2 pools, median of {REPEATS} runs after a warm-up")
    print(f"{'variant':<22}{'time':>12}{'reference / variant':>22}")
    for label, seconds in timings:
        print(f"{label:<22}{seconds * 1e3:>9.2f} ms{reference_seconds / seconds:>21.1f}x")


if __name__ == "__main__":
    main()
