"""End-to-end rows for metabolite-selective excitation: ``korvel.simulate`` on the scaled default
phantom with one shared flip-angle schedule, and with an angle (and a time) of its own for every
metabolite, side by side in one process.

The phantom is the embedded default experiment (three metabolites, the gamma-variate bolus, a
transmit map) with its three regions scaled to 40 %, 40 % and 20 % of the voxels. The variants:

- shared: the default acquisition, one variable schedule for every metabolite;
- one pulse: pyruvate 10 degrees, lactate and alanine 30 (one spectral-spatial pulse per frame);
- offsets: the same angles, lactate and alanine excited and read out on their own, at the given
  offsets (s) after the frame's start.

Each round runs every variant once, in turn, so that a busy host slows them alike; the table
gives the median wall time, its spread over the rounds and each variant's time over the shared
one, and the same for the process's CPU time (user and system, all threads), which a busy host
disturbs much less than the wall time where the team is one thread.

    python benchmarks/selective.py [--voxels 100000] [--spins 8] [--threads N] [--rounds 5]
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

SELECTIVE_ANGLES = {"pyruvate": {"kind": "constant", "angle": 10.0},
                    "lactate": {"kind": "constant", "angle": 30.0},
                    "alanine": {"kind": "constant", "angle": 30.0}}
VARIANTS = {
    "shared": (None, None),
    "one pulse, an angle each": (SELECTIVE_ANGLES, None),
    "offsets 0.1, 0.2 s": (SELECTIVE_ANGLES, {"lactate": 0.1, "alanine": 0.2}),
    "offsets 1, 2 s": (SELECTIVE_ANGLES, {"lactate": 1.0, "alanine": 2.0}),
}


def experiment(nvoxels: int, spins_per_voxel: int, flip_angles=None, offsets=None):
    """The scaled default phantom with the given per-metabolite acquisition."""
    from end_to_end import scaled_regions
    from korvel.host.config import experiment_from_config

    config = scaled_regions(nvoxels, spins_per_voxel)
    if flip_angles is not None:
        config["acquisition"]["flip_angles"] = flip_angles
    if offsets is not None:
        config["acquisition"]["excitation_offsets"] = offsets
    return experiment_from_config(config)


def measure(nvoxels: int, spins: int, threads: int, rounds: int) -> list[dict]:
    import korvel
    from korvel.host import planner

    experiments = {name: experiment(nvoxels, spins, *variant)
                   for name, variant in VARIANTS.items()}
    for variant in VARIANTS.values():  # warm-up: imports, first touch of the libraries
        korvel.simulate(experiment(100, spins, *variant), num_threads=threads, progress=False)
    seconds = {name: [] for name in experiments}
    cpu = {name: [] for name in experiments}
    for _ in range(rounds):
        for name, e in experiments.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            korvel.simulate(e, num_threads=threads, progress=False)
            seconds[name].append(time.perf_counter() - start)
            cpu[name].append(time.process_time() - start_cpu)
    base = statistics.median(seconds["shared"])
    base_cpu = statistics.median(cpu["shared"])
    rows = []
    for name, e in experiments.items():
        plan = planner.build_plan(e)
        median, median_cpu = statistics.median(seconds[name]), statistics.median(cpu[name])
        rows.append(dict(name=name, steps=plan.nsteps, host_pulses=sum(
            len(p) for p in plan.host_pulses.values()), median=median, low=min(seconds[name]),
            high=max(seconds[name]), ratio=median / base, cpu=median_cpu,
            cpu_low=min(cpu[name]), cpu_high=max(cpu[name]), cpu_ratio=median_cpu / base_cpu))
    return rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--voxels", type=int, default=100_000)
    parser.add_argument("--spins", type=int, default=8)
    parser.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args(argv)
    rows = measure(options.voxels, options.spins, options.threads, options.rounds)
    print(f"korvel simulate, selective excitation: default phantom x {options.voxels} voxels x "
          f"{options.spins} spins, {options.threads} threads, median of {options.rounds} "
          f"rounds (load before: {os.getloadavg()[0]:.1f})")
    print(f"{'variant':<26}{'steps':>6}{'pulses':>8}{'wall':>9}{'range':>16}{'vs shared':>10}"
          f"{'cpu':>9}{'range':>16}{'vs shared':>10}")
    for row in rows:
        spread = f"{row['low']:.2f}-{row['high']:.2f} s"
        cpu_spread = f"{row['cpu_low']:.2f}-{row['cpu_high']:.2f} s"
        print(f"{row['name']:<26}{row['steps']:>6}{row['host_pulses']:>8}"
              f"{row['median']:>8.2f}s{spread:>16}{row['ratio']:>9.2f}x"
              f"{row['cpu']:>8.2f}s{cpu_spread:>16}{row['cpu_ratio']:>9.2f}x")
    print(f"(load after: {os.getloadavg()[0]:.1f}; pulses: host pulses, each rotating, reading "
          f"and spoiling its metabolites between two blocks)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
