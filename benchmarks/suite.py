"""The benchmark suite: every parallel function of korvel.pelorine at a realistic size, native on
one thread and on every core side by side with the NumPy reference, and each kernel set against
the machine's own limits (roofline) measured in the same run.

    python -m korvel bench [--spins N] [--steps N] [--voxels N] [--repeat N] [--quick] [--csv FILE]
                           [--only TEXT]

After the kernels come the end-to-end rows (benchmarks/end_to_end.py): ``korvel.simulate`` on
phantoms of 10^4 to 10^6 voxels, the reference backend on the smallest; ``--only end-to-end``
runs those alone, ``--only kernel-label`` the kernels alone.

Every time is the median of --repeat calls after a warm-up call, each call on the same inputs
(the arrays a call modifies are restored before the next). The reference of a block with many
steps may be timed on its first --reference-steps steps and scaled per unit of work: per step it
does the same work whatever the step count, so the scaled time is what the full block would take.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import os
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from workloads import WORKLOADS, Sizes, Workload, bytes_per_unit  # noqa: E402
from machine import Limits, measure  # noqa: E402
import bench_cluster  # noqa: E402
import end_to_end  # noqa: E402

SEED = 20261208
QUICK = Sizes(spins=2_000, steps=8, spins_per_parent=10, voxels=20_000, voxel_steps=8)


@dataclass
class Timing:
    median: float
    low: float
    high: float

    @property
    def spread(self) -> float:
        """Largest distance of a sample from the median, relative to it."""
        return max(self.high - self.median, self.median - self.low) / self.median


@dataclass
class Row:
    workload: Workload
    work: int = 0
    status: str = "ok"  # "ok" or "not built"
    reference_per_unit: float | None = None
    steps: int = 0  # steps of the full-size block
    reference_steps: int = 0  # steps the reference was timed on
    same_bits: bool | None = None
    native: dict[int, Timing] = field(default_factory=dict)
    operations: float = 0.0
    divisions: float = 0.0
    bytes: float = 0.0


def _copy(args: dict[str, Any]) -> dict[str, Any]:
    return {k: v.copy() if isinstance(v, np.ndarray) else v for k, v in args.items()}


def time_calls(function: Callable[..., Any], args: dict[str, Any], modified: tuple[str, ...],
               team: int, repeats: int, warm_up: bool = True) -> Timing:
    call = dict(args, num_threads=team)
    pristine = {name: args[name].copy() for name in modified}

    def restore() -> None:
        for name in modified:
            np.copyto(call[name], pristine[name])

    if warm_up:
        function(**call)
    samples = []
    for _ in range(repeats):
        restore()
        start = time.perf_counter()
        function(**call)
        samples.append(time.perf_counter() - start)
    restore()
    return Timing(statistics.median(samples), min(samples), max(samples))


@contextlib.contextmanager
def competing(count: int):
    """``count`` CPU-bound processes running for the duration of the block."""
    busy = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]
    try:
        if busy:
            time.sleep(0.2)  # let the scheduler place them
        yield
    finally:
        for process in busy:
            process.kill()
            process.wait()


def run_workload(workload: Workload, sizes: Sizes, teams: list[int], repeats: int,
                 reference_steps: int) -> Row:
    from korvel import pelorine, reference

    native = getattr(pelorine, workload.function)
    python = getattr(reference, workload.function, None)
    steps = workload.steps(sizes)
    args = workload.build(np.random.default_rng(SEED), sizes, steps)
    row = Row(workload, work=workload.work(args), steps=steps,
              operations=workload.operations(args), divisions=workload.divisions(args),
              bytes=bytes_per_unit(workload, args))
    try:
        native(**_copy(args))
    except NotImplementedError:
        python = None
    if python is None:
        row.status = "not built"
        return row
    with competing(workload.competing):
        for team in teams:
            row.native[team] = time_calls(native, args, workload.modified, team, repeats)

    row.reference_steps = steps if reference_steps <= 0 else min(steps, reference_steps)
    small = (args if row.reference_steps == steps else
             workload.build(np.random.default_rng(SEED), sizes, row.reference_steps))
    expected, actual = _copy(small), _copy(small)
    python(**expected)  # also the reference's warm-up
    native(**actual)
    row.same_bits = all(a.tobytes() == b.tobytes() for a, b in
                        ((actual[name], expected[name]) for name in workload.modified))
    timing = time_calls(python, small, workload.modified, 1, min(repeats, 3), warm_up=False)
    row.reference_per_unit = timing.median / max(workload.work(small), 1)
    return row


def roofline(row: Row, limits: Limits, team: int) -> tuple[float, str]:
    """Units of work per second the machine's limits allow, and which limit binds: every
    operation at the multiply rate, the divisions at the division rate, the bytes at the copy
    bandwidth."""
    infinite = float("inf")
    bounds = [
        (limits.multiply_rate[team] / row.operations if row.operations else infinite, "compute"),
        (limits.divide_rate[team] / row.divisions if row.divisions else infinite, "division"),
        (limits.bandwidth[team] / row.bytes if row.bytes else infinite, "memory"),
    ]
    return min(bounds)


def _seconds(value: float) -> str:
    return f"{value:.3f} s" if value >= 0.1 else f"{value * 1e3:.2f} ms"


def _rate(value: float) -> str:
    return f"{value:.2e}/s"


def format_row(row: Row, limits: Limits, teams: list[int]) -> list[str]:
    label = row.workload.label
    if row.status != "ok":
        return [f"{label:<33}{row.status}"]
    reference_seconds = row.reference_per_unit * row.work
    scaled = "*" if row.reference_steps < row.steps else " "
    cells = [f"{label:<33}", f"{_seconds(reference_seconds) + scaled:>11}"]
    for team in teams:
        timing = row.native[team]
        cells.append(f"{_seconds(timing.median):>11} ±{timing.spread * 100:>2.0f}%")
    one = row.native[teams[0]].median
    cells.append(f"{reference_seconds / one:>8.1f}x")
    if len(teams) > 1:
        cells.append(f"{one / row.native[teams[-1]].median:>7.2f}x")
    cells += [f"{_rate(row.work / row.native[team].median):>12}" for team in teams]
    cells.append("   same" if row.same_bits else "   DIFFERENT")
    lines = ["".join(cells)]
    bounds, shares = [], []
    for team in teams:
        bound, limit = roofline(row, limits, team)
        bounds.append(f"{_rate(bound)} ({team}t, {limit})")
        shares.append(f"{row.work / row.native[team].median / bound * 100:.0f}%")
    divisions = f" ({row.divisions:.1f} /)" if row.divisions else ""
    lines.append(f"    roofline: {row.operations:.0f} ops{divisions} and {row.bytes:.1f} B per "
                 f"{row.workload.units[:-1]}; bound {', '.join(bounds)}; "
                 f"achieved {', '.join(shares)}")
    return lines


def header(teams: list[int]) -> str:
    cells = [f"{'kernel':<33}", f"{'reference':>11}"]
    cells += [f"{f'{team} thread' + ('s' if team > 1 else ''):>16}" for team in teams]
    cells.append(f"{'ref/1t':>9}")
    if len(teams) > 1:
        cells.append(f"{f'1t/{teams[-1]}t':>8}")
    cells += [f"{f'rate {team}t':>12}" for team in teams]
    cells.append("   bits")
    return "".join(cells)


def write_csv(path: str, rows: list[Row], limits: Limits, teams: list[int]) -> None:
    fields = ["kernel", "function", "units", "work", "status", "reference_seconds",
              "reference_steps_timed", "same_bits", "operations_per_unit", "divisions_per_unit",
              "bytes_per_unit"]
    for team in teams:
        fields += [f"native_{team}t_seconds", f"native_{team}t_min", f"native_{team}t_max",
                   f"rate_{team}t", f"roofline_{team}t", f"roofline_{team}t_limit",
                   f"roofline_{team}t_fraction"]
    fields += ["reference_ratio_1t", "speedup"]
    with open(path, "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=fields)
        writer.writeheader()
        for row in rows:
            record: dict[str, Any] = {
                "kernel": row.workload.label, "function": row.workload.function,
                "units": row.workload.units, "work": row.work, "status": row.status,
                "operations_per_unit": row.operations, "divisions_per_unit": row.divisions,
                "bytes_per_unit": row.bytes,
            }
            if row.status == "ok":
                reference_seconds = row.reference_per_unit * row.work
                record.update(reference_seconds=reference_seconds,
                              reference_steps_timed=row.reference_steps,
                              same_bits=row.same_bits)
                for team in teams:
                    timing = row.native[team]
                    bound, limit = roofline(row, limits, team)
                    rate = row.work / timing.median
                    record.update({
                        f"native_{team}t_seconds": timing.median,
                        f"native_{team}t_min": timing.low, f"native_{team}t_max": timing.high,
                        f"rate_{team}t": rate, f"roofline_{team}t": bound,
                        f"roofline_{team}t_limit": limit,
                        f"roofline_{team}t_fraction": rate / bound,
                    })
                record["reference_ratio_1t"] = reference_seconds / row.native[teams[0]].median
                record["speedup"] = row.native[teams[0]].median / row.native[teams[-1]].median
            writer.writerow(record)


def parse(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m korvel bench",
                                     description=__doc__.splitlines()[0])
    default = Sizes()
    parser.add_argument("--spins", type=int, default=default.spins,
                        help="spins of the plan blocks")
    parser.add_argument("--steps", type=int, default=default.steps,
                        help="plan steps of the plan blocks")
    parser.add_argument("--spins-per-parent", type=int, default=default.spins_per_parent,
                        help="spins summed into one parent's signal")
    parser.add_argument("--voxels", type=int, default=default.voxels,
                        help="voxels of the longitudinal block and the one-step primitives")
    parser.add_argument("--voxel-steps", type=int, default=default.voxel_steps,
                        help="half-steps of the longitudinal block")
    parser.add_argument("--repeat", type=int, default=5, help="timed calls per figure")
    parser.add_argument("--reference-steps", type=int, default=16,
                        help="time the reference on this many steps and scale (0: all steps)")
    parser.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)),
                        help="the 'every core' team size")
    parser.add_argument("--only", default="", help="run the kernels whose label contains this")
    parser.add_argument("--quick", action="store_true",
                        help="tiny sizes and one repetition: a smoke run of a few seconds")
    parser.add_argument("--csv", metavar="FILE", help="also write the results as CSV")
    parser.add_argument("--cluster-voxels", type=int, default=100_000,
                        help="voxels of the phantom of the cluster row")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    options = parse(argv)
    if options.quick:
        sizes, repeats = QUICK, 1
    else:
        sizes = Sizes(options.spins, options.steps, options.spins_per_parent, options.voxels,
                      options.voxel_steps)
        repeats = max(1, options.repeat)
    if sizes.spins % sizes.spins_per_parent:
        print("--spins must be a multiple of --spins-per-parent", file=sys.stderr)
        return 2
    teams = [1] if options.threads <= 1 else [1, options.threads]
    print(f"korvel bench: plan blocks {sizes.spins} spins x {sizes.steps} steps "
          f"({sizes.spins_per_parent} spins per parent, RF and ADC every step, 2 coils); "
          f"voxel kernels {sizes.voxels} voxels (longitudinal block {sizes.voxel_steps} steps)")
    print(f"median of {repeats} after a warm-up; teams {teams} of "
          f"{len(os.sched_getaffinity(0))} cores; numpy {np.__version__}", flush=True)
    limits = measure(teams, options.quick)
    for team in teams:
        print(f"machine, {team} thread{'s' if team > 1 else ''}: memory "
              f"{limits.bandwidth[team] / 1e9:.1f} GB/s (copy alone "
              f"{limits.copy_bandwidth[team] / 1e9:.1f}), independent multiplies "
              f"{limits.multiply_rate[team] / 1e9:.1f} G/s, divisions "
              f"{limits.divide_rate[team] / 1e9:.1f} G/s ({limits.rate_source})")
    print()
    print(header(teams), flush=True)
    rows = []
    for workload in WORKLOADS:
        if options.only not in workload.label:
            continue
        row = run_workload(workload, sizes, teams, repeats, options.reference_steps)
        rows.append(row)
        print("\n".join(format_row(row, limits, teams)), flush=True)
    cluster_row = None
    if options.only in bench_cluster.LABEL:
        cluster_row = bench_cluster.measure(2_000 if options.quick else options.cluster_voxels,
                                            min(repeats, 3), processes=not options.quick)
        print("\n".join(bench_cluster.format_row(cluster_row)), flush=True)
    print(f"\n* reference timed on {options.reference_steps} steps and scaled per unit of work. "
          "bits: native and reference outputs compared at the reference's size.")
    print("roofline: the lowest of bandwidth / bytes, multiply rate / operations and division "
          "rate / divisions per unit; bandwidth is the faster of a copy and an in-place scaling "
          "of a large array; bytes count every array once (modified ones twice), operations every "
          "double +, -, x and / of the kernel's formulas, each as one multiply.")
    if options.csv:
        write_csv(options.csv, rows, limits, teams)
    failed = run_end_to_end(options, sizes, rows, teams, repeats)
    from bench_fit import run as fitting_rows

    fitting = fitting_rows(options.only, options.quick, repeats, teams)
    if fitting:
        print("\n" + "\n".join(fitting), flush=True)
    from bench_mainjob import run as mainjob_rows

    study = mainjob_rows(options.only, options.quick, options.threads)
    if study:
        print("\n" + "\n".join(study), flush=True)
    cluster_bad = cluster_row is not None and cluster_row.status == "ok" and \
        not cluster_row.same_bits
    different = any(row.same_bits is False for row in rows) or "DIFFERENT" in "".join(fitting)
    return 1 if failed or different or cluster_bad else 0


# The kernel row each driver's in-run rate is set against.
KERNEL_ROWS = {
    "run_dynamic_plan_block_no_inflow": "two-pool plan block, spatial RF",
    "run_dynamic_plan_block_multi_pool": "multi-pool plan block, 3 pools",
    "apply_dynamic_rf_block_with_concentration_inflow": "source-interval block",
}


def kernel_rates(sizes: Sizes, rows: list[Row], team: int, repeats: int) -> dict[str, float]:
    """Spin-steps per second of each driver's kernel row on ``team`` threads: from this run's
    rows where they ran, else timed here (native only)."""
    from korvel import pelorine

    rates = {}
    for function, label in KERNEL_ROWS.items():
        row = next((r for r in rows if r.workload.label == label and team in r.native), None)
        if row is not None:
            rates[function] = row.work / row.native[team].median
            continue
        workload = next(w for w in WORKLOADS if w.label == label)
        args = workload.build(np.random.default_rng(SEED), sizes, workload.steps(sizes))
        timing = time_calls(getattr(pelorine, function), args, workload.modified, team, repeats)
        rates[function] = workload.work(args) / timing.median
    return rates


def run_end_to_end(options: argparse.Namespace, sizes: Sizes, rows: list[Row], teams: list[int],
                   repeats: int) -> bool:
    """The end-to-end rows selected by --only; True if one failed."""
    jobs = [(p, "native") for p in end_to_end.phantoms(options.quick)]
    jobs += [(p, "reference") for p in end_to_end.reference_phantoms(options.quick)]
    jobs = [(p, backend) for p, backend in jobs if options.only in p.label]
    if not jobs:
        return False
    team = teams[-1]
    rates = kernel_rates(sizes, rows, team, repeats)
    print(f"\n{end_to_end.__doc__.splitlines()[0]} Teams of {team}; kernel row: the driver's "
          f"rate in its row ({'; '.join(sorted(set(KERNEL_ROWS.values())))}).")
    print(end_to_end.header(), flush=True)
    results = []
    for phantom, backend in jobs:
        results.append(end_to_end.run_row(phantom, backend, team))
        print(end_to_end.format_row(results[-1], rates), flush=True)
    print("\n".join(end_to_end.notes(results)))
    print("in driver: share of the wall time inside the driver calls; rate in run: spin-steps per "
          "second of driver time; share: of the kernel row's rate; peak added: resident memory "
          "the run added to the interpreter's (state+signal: the whole run's state arrays and "
          "its signal; the memory bound is 64 MB).")
    if options.csv:
        stem, _ = os.path.splitext(options.csv)
        end_to_end.write_csv(f"{stem}-end-to-end.csv", results, rates)
    return any("error" in row for row in results)


if __name__ == "__main__":
    sys.exit(main())
