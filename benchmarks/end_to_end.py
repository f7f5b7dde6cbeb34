"""End to end: korvel.simulate on scaled copies of the default phantom, as a user runs it.

The phantom is the embedded default experiment with its three regions scaled to 40 %, 40 % and
20 % of the voxels (the tumour's per-voxel off-resonance and transmit lists repeated over its
voxels), in four variants: three metabolites (multi-pool driver) or pyruvate and lactate only
(two-pool drivers), each with the bolus or without it (then the pyruvate starts polarized).

Each row runs in a fresh interpreter, so that its peak resident memory is its own, and reports:
the wall time of ``simulate``; the share of it inside the driver calls (timed by wrapping the
driver); the drivers' rate inside the run (spin-steps per second of driver time) against the
driver's kernel row at the same team size; the time before the first driver call (planning);
the peak resident memory of the run above the interpreter's resident memory before it, beside
the state and signal arrays of the whole run and the experiment's memory bound; and the floor the
signal's size sets: one write pass over a new array of the signal's bytes (np.empty, then fill),
timed in the same interpreter just before the run. On a virtual machine whose free memory goes
back to its host, that first touch of new pages can cost seconds per GB; the pass also leaves the
run pages the machine has at hand, so that the run's time is the run's.

With --before DIR, every row runs first on DIR's korvel (an export of an earlier commit; the
installed extension), then on this one, and the two print side by side.

    python -m korvel bench --only end-to-end [--quick] [--threads N]
    python benchmarks/end_to_end.py [--source DIR] [--only TEXT] [--csv FILE]
        [--before DIR]
        (--source: the rows for another checkout's korvel, with the installed extension;
         --before: that checkout's rows beside this one's)
"""

from __future__ import annotations

import json
import os
import resource
import subprocess
import sys
import time
import tomllib
from dataclasses import dataclass
from pathlib import Path

LABEL = "end-to-end"
MB = 2**20

# The three-region phantom the rows scale (a run of voxels per region, no grid).
REGIONS = Path(__file__).with_name("regions.toml")


@dataclass(frozen=True)
class Phantom:
    nvoxels: int
    spins_per_voxel: int
    products: int  # 2: multi-pool, 1: two-pool
    inflow: bool

    @property
    def label(self) -> str:
        kind = "multi-pool" if self.products == 2 else "two-pool"
        flow = "inflow" if self.inflow else "no inflow"
        return f"{LABEL} {kind}, {flow}, {self.nvoxels:.0e} x {self.spins_per_voxel}"


def phantoms(quick: bool) -> list[Phantom]:
    sizes = [(2_000, 2)] if quick else [(10_000, 8), (100_000, 8), (1_000_000, 2)]
    return [Phantom(n, spv, products, inflow) for n, spv in sizes
            for products in (2, 1) for inflow in (True, False)]


def reference_phantoms(quick: bool) -> list[Phantom]:
    """The reference backend runs on the smallest size only (it is 10-40x slower)."""
    return [p for p in phantoms(quick) if p.nvoxels == (2_000 if quick else 10_000)]


def scaled_regions(nvoxels: int, spins_per_voxel: int) -> dict:
    """The three-region phantom's configuration over ``nvoxels`` voxels (40%, 40% and 20%),
    each region's per-voxel lists repeated to its new size."""
    config = tomllib.loads(REGIONS.read_text(encoding="utf-8"))
    config["voxels"]["spins_per_voxel"] = spins_per_voxel
    counts = [nvoxels * 2 // 5, nvoxels * 2 // 5]
    counts.append(nvoxels - sum(counts))
    for region, count in zip(config["regions"], counts):
        repeat = -(-count // region["voxels"])
        for key in ("off_resonance", "transmit"):
            if isinstance(region.get(key), list):
                region[key] = (region[key] * repeat)[:count]
        region["voxels"] = count
    return config


def experiment(phantom: Phantom):
    """The scaled default experiment (imports the korvel on sys.path)."""
    from korvel.host.config import experiment_from_config

    config = scaled_regions(phantom.nvoxels, phantom.spins_per_voxel)
    if phantom.products == 1:
        config["metabolites"] = config["metabolites"][:2]
        for region in config["regions"]:
            region["rates"] = {"lactate": region["rates"]["lactate"]}
    if not phantom.inflow:
        del config["inflow"]
        for region in config["regions"]:
            region["initial_magnetization"] = {"pyruvate": 1.0}
            region["initial_concentration"] = {"pyruvate": 1.0}
    return experiment_from_config(config)


def _child(phantom: Phantom, backend: str, threads: int) -> dict:
    """One row, in this interpreter: build the phantom, then time ``simulate`` on it."""
    import numpy as np

    import korvel
    from korvel import pelorine, reference

    module = pelorine if backend == "native" else reference
    e = experiment(phantom)
    exports = ("run_dynamic_plan_block_no_inflow", "run_dynamic_plan_block_multi_pool",
               "apply_dynamic_rf_block_with_concentration_inflow")
    driver_time, calls, work, first = [0.0], [0], [0], [None]

    def timed(function):
        def call(**arguments):
            start = time.perf_counter()
            if first[0] is None:
                first[0] = start
            function(**arguments)
            driver_time[0] += time.perf_counter() - start
            calls[0] += 1
            groups = arguments["longitudinal_groups"]
            work[0] += arguments["state"].shape[1] * groups.shape[0]
        return call

    floor = _signal_floor(e)
    originals = {name: getattr(module, name) for name in exports}
    for name, function in originals.items():
        setattr(module, name, timed(function))
    baseline = _reset_peak()
    try:
        start = time.perf_counter()
        result = korvel.simulate(e, backend, threads, progress=False)
        wall = time.perf_counter() - start
    finally:
        for name, function in originals.items():
            setattr(module, name, function)
    peak = _status("VmHWM") if baseline is not None else None
    if peak is None:  # no resettable high-water mark: the process's whole peak
        baseline, peak = 0, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    npools = len(e.metabolites)
    state = e.nspins * npools * (24 + 16 + 24)
    signal = result.signal.nbytes
    assert np.isfinite(result.signal).all()
    return dict(label=phantom.label, backend=backend, threads=threads, driver=result.driver,
                source=os.path.dirname(korvel.host.__file__),
                wall=wall, driver_seconds=driver_time[0], calls=calls[0], spin_steps=work[0],
                planning=(first[0] - start) if first[0] else wall, peak_added=peak - baseline,
                peak=peak, state=state, signal=signal, memory_bound=e.memory_bound,
                floor=floor, function=_export(result.driver))


def _signal_floor(experiment) -> float:
    """Seconds of one write pass over a new array of the signal's bytes (the pages' first
    touch included)."""
    import numpy as np

    shape = (experiment.nvoxels, len(experiment.metabolites), experiment.ncoils,
             experiment.acquisition.excitations)
    start = time.perf_counter()
    array = np.empty(shape, np.complex128)
    array.fill(0.0)
    seconds = time.perf_counter() - start
    del array
    return seconds


def _status(key: str) -> int | None:
    """A size in bytes from /proc/self/status (Linux), or None."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def _reset_peak() -> int | None:
    """Reset the resident high-water mark to the current resident size (Linux 4.0 and later)
    and return that size, or None where it cannot be reset."""
    import gc

    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
    except OSError:
        return None
    return _status("VmRSS")


def median_run(runs: list[dict]) -> dict:
    """The run of median wall time (a failed run if any failed)."""
    failed = [r for r in runs if "error" in r]
    if failed:
        return failed[0]
    return sorted(runs, key=lambda r: r["wall"])[(len(runs) - 1) // 2]


def _load() -> str:
    try:
        return " ".join(f"{v:.1f}" for v in os.getloadavg())
    except OSError:  # pragma: no cover - no load average on this system
        return "unknown"


def _export(driver: str) -> str:
    return {"two-pool": "run_dynamic_plan_block_no_inflow",
            "source-interval": "apply_dynamic_rf_block_with_concentration_inflow",
            "multi-pool": "run_dynamic_plan_block_multi_pool"}[driver]


def run_row(phantom: Phantom, backend: str, threads: int, source: str | None = None) -> dict:
    """One row in a fresh interpreter (``source``: put that checkout first on sys.path)."""
    code = ("import json, sys; sys.path[:0] = [p for p in (sys.argv[5], sys.argv[1]) if p]; "
            "from end_to_end import _child, Phantom; "
            "print(json.dumps(_child(Phantom(*json.loads(sys.argv[2])), sys.argv[3], "
            "int(sys.argv[4]))))")
    phantom_json = json.dumps([phantom.nvoxels, phantom.spins_per_voxel, phantom.products,
                              phantom.inflow])
    here = os.path.dirname(os.path.abspath(__file__))
    completed = subprocess.run(
        [sys.executable, "-c", code, here, phantom_json, backend, str(threads), source or ""],
        capture_output=True, text=True)
    if completed.returncode != 0:
        return dict(label=phantom.label, backend=backend, threads=threads,
                    error=completed.stderr.strip().splitlines()[-1:])
    return json.loads(completed.stdout.strip().splitlines()[-1])


def header() -> str:
    return (f"{'simulate':<56}{'driver':>16}{'wall':>10}{'in driver':>11}{'planning':>10}"
            f"{'rate in run':>13}{'kernel row':>12}{'share':>7}{'peak added':>12}"
            f"{'state+signal':>14}{'calls':>7}{'floor':>9}")


def format_row(row: dict, kernel_rates: dict[str, float], tag: str = "") -> str:
    label = row["label"] + (" (ref)" if row["backend"] == "reference" else "") + tag
    if "error" in row:
        return f"{label:<56} failed: {' '.join(row['error'])}"
    rate = row["spin_steps"] / row["driver_seconds"] if row["driver_seconds"] else 0.0
    kernel = kernel_rates.get(row["function"]) if row["backend"] == "native" else None
    share = f"{rate / kernel * 100:>6.0f}%" if kernel else f"{'':>7}"
    kernel_cell = f"{kernel:>12.2e}" if kernel else f"{'':>12}"
    floor = f"{row['floor']:>8.3f}s" if "floor" in row else f"{'':>9}"
    return (f"{label:<56}{row['driver']:>16}{row['wall']:>9.3f}s"
            f"{row['driver_seconds'] / row['wall'] * 100:>10.0f}%{row['planning']:>9.3f}s"
            f"{rate:>13.2e}{kernel_cell}{share}{row['peak_added'] / MB:>10.0f}MB"
            f"{(row['state'] + row['signal']) / MB:>12.0f}MB{row['calls']:>7}{floor}")


def write_csv(path: str, rows: list[dict], kernel_rates: dict[str, float]) -> None:
    import csv

    fields = ["label", "backend", "threads", "driver", "function", "wall", "driver_seconds",
              "driver_share", "planning", "calls", "spin_steps", "rate_in_run", "kernel_rate",
              "kernel_share", "peak_added", "peak", "state", "signal", "memory_bound", "floor",
              "version", "error"]
    with open(path, "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=fields, extrasaction="ignore")
        writer.writeheader()
        for row in rows:
            record = dict(row)
            if "error" in row:
                record["error"] = " ".join(row["error"])
            else:
                rate = row["spin_steps"] / row["driver_seconds"] if row["driver_seconds"] else 0.0
                kernel = kernel_rates.get(row["function"]) if row["backend"] == "native" else None
                record.update(driver_share=row["driver_seconds"] / row["wall"], rate_in_run=rate,
                              kernel_rate=kernel, kernel_share=rate / kernel if kernel else None)
            writer.writerow(record)


def notes(rows: list[dict]) -> list[str]:
    native = {r["label"]: r for r in rows if r["backend"] == "native" and "error" not in r
              and r.get("version") != "before"}
    lines = []
    before = {(r["label"], r["backend"]): r for r in rows
              if r.get("version") == "before" and "error" not in r}
    for row in rows:
        old = before.get((row["label"], row["backend"]))
        if row.get("version") == "after" and "error" not in row and old is not None:
            backend = " (ref)" if row["backend"] == "reference" else ""
            lines.append(f"  {row['label']}{backend}: {old['wall']:.3f} s before, "
                         f"{row['wall']:.3f} s after ({old['wall'] / row['wall']:.1f}x)")
    for row in rows:
        if row["backend"] == "reference" and "error" not in row and row["label"] in native \
                and row.get("version") != "before":
            ratio = row["wall"] / native[row["label"]]["wall"]
            lines.append(f"  {row['label']}: native {ratio:.1f}x the reference end to end")
    return lines


def main(argv: list[str] | None = None) -> int:
    """The end-to-end rows alone, for this checkout's korvel or another's (--source)."""
    import argparse

    import suite

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", default=None, help="checkout whose korvel to run")
    parser.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default="", help="rows whose label contains this")
    parser.add_argument("--repeat", type=int, default=3, help="timed calls of the kernel rows")
    parser.add_argument("--csv", metavar="FILE", help="also write the rows as CSV")
    parser.add_argument("--before", metavar="DIR", default=None,
                        help="checkout whose rows run before each of this one's")
    parser.add_argument("--backend", choices=("native", "reference", "both"), default="both")
    parser.add_argument("--runs", type=int, default=1,
                        help="runs of each row (versions interleaved); the median run is shown")
    options = parser.parse_args(argv)
    sizes = suite.QUICK if options.quick else suite.Sizes()
    print(f"# load average {_load()} before the kernel rows", flush=True)
    rates = suite.kernel_rates(sizes, [], options.threads, 1 if options.quick else options.repeat)
    print(f"# load average {_load()} after them; teams of {options.threads}", flush=True)
    print(header(), flush=True)
    rows = []
    jobs = [(p, "native") for p in phantoms(options.quick)] \
        if options.backend != "reference" else []
    if options.backend != "native":
        jobs += [(p, "reference") for p in reference_phantoms(options.quick)]
    versions = [("before", options.before), ("after", options.source)] if options.before \
        else [("", options.source)]
    for phantom, backend in jobs:
        if options.only not in phantom.label:
            continue
        runs: dict[str, list[dict]] = {}
        for _ in range(max(1, options.runs)):
            for version, source in versions:
                runs.setdefault(version, []).append(
                    run_row(phantom, backend, options.threads, source))
        for version, _ in versions:
            rows.append(dict(median_run(runs[version]), version=version or None))
            print(format_row(rows[-1], rates, f" {version}" if version else ""), flush=True)
            if len(runs[version]) > 1 and "error" not in rows[-1]:
                walls = sorted(r["wall"] for r in runs[version] if "error" not in r)
                print(f"{'':<8}{len(walls)} runs, wall {' '.join(f'{w:.3f}' for w in walls)} s",
                      flush=True)
    print(f"# load average {_load()} at the end", flush=True)
    print("\n".join(notes(rows)))
    if options.csv:
        write_csv(options.csv, rows, rates)
    return 0


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(main())
