"""A two-pool plan block of 10**6 spins run directly and through a two-worker Dask cluster on this
machine: the overhead of the distributed path (cutting, sending, gathering and writing back the
chunks) as a ratio to one direct call on as many cores. Medians after a warm-up.

Run with ``python benchmarks/bench_distributed.py [--spins N] [--repeats N]`` from the checkout
root; needs ``pip install "korvel[distributed]"`` (``python -m korvel bench`` runs the kernel
suite, benchmarks/suite.py).
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

from korvel import distributed, examples, pelorine

NAME = "run_dynamic_plan_block_no_inflow"
WORKERS = 2


def _median_seconds(run, block, repeats: int) -> float:
    run(**block)  # warm-up: pages, thread teams, the workers' imports
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        run(**block)
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spins", type=int, default=1_000_000, help="spins of the block")
    parser.add_argument("--steps", type=int, default=16, help="plan steps of the block")
    parser.add_argument("--repeats", type=int, default=3, help="timed runs per variant")
    # Known options only: under ``python -m korvel bench`` the command line is korvel's.
    options, _ = parser.parse_known_args(argv)
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        print(f"{NAME} on a Dask cluster: skipped (pip install \"korvel[distributed]\")")
        return
    block = examples.two_pool_plan(np.random.default_rng(11), options.spins, options.steps)
    block["num_threads"] = WORKERS
    nbytes = sum(v.nbytes for v in block.values() if isinstance(v, np.ndarray))
    direct = _median_seconds(getattr(pelorine, NAME), block, options.repeats)
    with LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        chunks = []

        def chunked(**arguments):
            chunked_run(**arguments, client=client, task_threads=1,
                        progress=lambda done, total: chunks.append(total))

        chunked_run = getattr(distributed, NAME)
        on_cluster = _median_seconds(chunked, block, options.repeats)
    nspins = block["state"].shape[1]
    print(f"{NAME}: {nspins} spins, {options.steps} steps, {nbytes / 2**20:.0f} MiB of arrays, "
          f"median of {options.repeats} runs after a warm-up")
    print(f"{'variant':<40}{'time':>12}{'variant / direct':>20}")
    for label, seconds in ((f"direct, {WORKERS} threads", direct),
                           (f"{WORKERS}-worker cluster, {chunks[-1]} chunks", on_cluster)):
        print(f"{label:<40}{seconds:>10.2f} s{seconds / direct:>19.2f}x")


if __name__ == "__main__":
    main()
