"""Time the longitudinal block and the concentration inflow step: native on one and two threads
against the NumPy reference, side by side in one run.

    python benchmarks/bench_longitudinal.py [--nvoxels 1000000] [--nsteps 64] [--repeats 3]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from korvel import pelorine, reference


def block_inputs(rng, nvoxels, nsteps, ngroups=4):
    state = rng.uniform(0.0, 1.0, (2, nvoxels, 3))
    return dict(
        state=state, kpl=rng.uniform(0.01, 0.1, nvoxels),
        exp_a_by_group=rng.uniform(0.8, 0.99, (ngroups, nvoxels)),
        exp_b_by_group=rng.uniform(0.9, 0.99, ngroups),
        difference=rng.uniform(0.01, 0.05, nvoxels), regular=rng.random(nvoxels) < 0.9,
        step_groups=rng.integers(0, ngroups, nsteps).astype(np.int32),
        duration_by_group=rng.uniform(0.1, 1.0, ngroups), regular_mode=0, num_threads=1,
    )


def inflow_inputs(rng, nvoxels):
    names = (
        "kpl", "exp_a", "difference", "f0_a", "f1_a", "j0", "j1", "concentration_exp_a",
        "concentration_difference", "concentration_f0_a", "concentration_f1_a",
        "concentration_j0", "concentration_j1", "source_start", "source_end",
        "concentration_source_start", "concentration_source_end",
    )
    inputs = {name: rng.uniform(0.01, 1.0, nvoxels) for name in names}
    inputs.update(
        state=rng.uniform(0.0, 1.0, (2, nvoxels, 3)),
        concentration_state=rng.uniform(0.0, 1.0, (2, nvoxels, 3)),
        regular=rng.random(nvoxels) < 0.9, concentration_regular=rng.random(nvoxels) < 0.9,
        exp_b=0.97, concentration_exp_b=0.98, duration=1.0, equilibrium=0.1, regular_mode=0,
        concentration_regular_mode=0, num_threads=1,
    )
    return inputs


def best_time(function, inputs, repeats, **changes):
    """Best wall time of `repeats` calls, each on fresh copies of the state arrays."""
    best = float("inf")
    for _ in range(repeats):
        arguments = {**inputs, **changes}
        for name in ("state", "concentration_state"):
            if name in arguments:
                arguments[name] = arguments[name].copy()
        start = time.perf_counter()
        function(**arguments)
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nvoxels", type=int, default=1_000_000)
    parser.add_argument("--nsteps", type=int, default=64)
    parser.add_argument("--repeats", type=int, default=3)
    options = parser.parse_args()
    rng = np.random.default_rng(7)
    cases = [
        (f"longitudinal block, {options.nsteps} steps", "apply_longitudinal_block_no_inflow",
         block_inputs(rng, options.nvoxels, options.nsteps)),
        ("concentration inflow step", "apply_longitudinal_step_with_concentration_inflow",
         inflow_inputs(rng, options.nvoxels)),
    ]
    print(f"nvoxels = {options.nvoxels}, best of {options.repeats}")
    print(f"{'function':<32} {'1 thread':>10} {'2 threads':>10} {'NumPy':>10}"
          f" {'NumPy/1t':>9} {'NumPy/2t':>9}")
    for label, name, inputs in cases:
        one = best_time(getattr(pelorine, name), inputs, options.repeats, num_threads=1)
        two = best_time(getattr(pelorine, name), inputs, options.repeats, num_threads=2)
        numpy_time = best_time(getattr(reference, name), inputs, options.repeats)
        print(f"{label:<32} {one:>9.4f}s {two:>9.4f}s {numpy_time:>9.4f}s"
              f" {numpy_time / one:>8.1f}x {numpy_time / two:>8.1f}x")


if __name__ == "__main__":
    main()
