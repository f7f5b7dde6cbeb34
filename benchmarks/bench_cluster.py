"""The whole-experiment row of the suite on a cluster: the 10^5-voxel phantom simulated in one
process on two threads and by slices of voxels on a LocalCluster of two single-threaded worker
processes, side by side, with the bytes each slice sends and receives and the costs the scaling
model (README, "Simulating on a cluster") is built from.

    python benchmarks/bench_cluster.py [--cluster-voxels N] [--cluster-repeats N]

(``python -m korvel bench`` runs it after the kernels; ``--only cluster`` runs it alone.)
"""

from __future__ import annotations

import argparse
import statistics
import time
from dataclasses import dataclass, field

import numpy as np

LABEL = "simulate on a 2-worker cluster"
WORKERS = 2
OVERHEAD_TASKS = 24  # one-voxel slices timed for the per-task cost


def phantom(nvoxels: int):
    """The embedded default experiment's three regions (tumour, healthy tissue, vessel: 20%,
    70%, 10% of the voxels) over ``nvoxels`` voxels, with a smooth off-resonance map (0.1 Hz
    steps, about 110 distinct values) and a transmit map per region: three metabolites with
    inflow, two spins per voxel, 20 excitations."""
    import korvel

    from end_to_end import REGIONS

    base = korvel.load_experiment(REGIONS)
    names = ("tumour", "healthy", "vessel")
    counts = [nvoxels // 5, 0, nvoxels // 10]
    counts[1] = nvoxels - counts[0] - counts[2]
    labels = np.repeat(np.arange(3), counts)
    x = np.linspace(-1.0, 1.0, nvoxels)
    return base.replace(
        nvoxels=nvoxels, regions=tuple(names[i] for i in labels),
        conversion_rates=(np.array([0.06, 0.02, 0.002])[labels],
                          np.array([0.008, 0.015, 0.0])[labels]),
        delivery=np.array([1.2, 1.0, 3.0])[labels],
        off_resonance=np.round(8.0 * x**2 - 3.0 * x, 1),
        transmit=np.array([0.95, 1.0, 1.1])[labels],
        receive=None, initial_magnetization=None, initial_concentration=None)


@dataclass
class ClusterRow:
    nvoxels: int
    one_process: list[float] = field(default_factory=list)  # two threads
    on_cluster: list[float] = field(default_factory=list)
    slices: list[dict] = field(default_factory=list)  # of the last cluster run
    per_task: float = 0.0  # seconds of one worker per one-voxel slice
    same_bits: bool = False
    status: str = "ok"
    processes: bool = True

    @property
    def ratio(self) -> float:
        return statistics.median(self.on_cluster) / statistics.median(self.one_process)

    @property
    def per_voxel(self) -> float:
        """Worker-seconds per voxel on the cluster, the per-task cost taken out."""
        busy = statistics.median(self.on_cluster) * WORKERS
        return max(0.0, busy - len(self.slices) * self.per_task) / self.nvoxels


def _spread(samples: list[float]) -> float:
    middle = statistics.median(samples)
    return max(max(samples) - middle, middle - min(samples)) / middle


def measure(nvoxels: int, repeats: int, processes: bool = True) -> ClusterRow:
    """The row; ``processes=False`` runs the workers as threads of this process (a smoke run:
    they share its interpreter lock, so the times say little)."""
    row = ClusterRow(nvoxels, processes=processes)
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        row.status = "skipped (pip install \"korvel[distributed]\")"
        return row
    import korvel
    from korvel.host import cluster

    experiment = phantom(nvoxels)
    expected = korvel.simulate(experiment, num_threads=WORKERS, progress=False)  # warm-up
    for _ in range(repeats):
        started = time.perf_counter()
        korvel.simulate(experiment, num_threads=WORKERS, progress=False)
        row.one_process.append(time.perf_counter() - started)
    where = dict(host="127.0.0.1", protocol="tcp") if processes else {}
    with LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=processes,
                      dashboard_address=":0", **where) as local, Client(local) as client:
        got = korvel.simulate(experiment, client=client, progress=False)  # warm-up
        row.same_bits = got.signal.tobytes() == expected.signal.tobytes()
        del got
        for _ in range(repeats):
            started = time.perf_counter()
            korvel.simulate(experiment, client=client, progress=False)
            row.on_cluster.append(time.perf_counter() - started)
        cluster.simulate_on(client, experiment, progress=False, stats=row.slices)  # bytes
        small = experiment.slice_voxels(0, OVERHEAD_TASKS)
        started = time.perf_counter()
        cluster.simulate_on(client, small, slice_voxels=1, progress=False)
        row.per_task = (time.perf_counter() - started) * WORKERS / OVERHEAD_TASKS
    return row


def format_row(row: ClusterRow) -> list[str]:
    if row.status != "ok":
        return [f"{LABEL:<33}{row.status}"]
    one, on = statistics.median(row.one_process), statistics.median(row.on_cluster)
    sent = [s["sent"] for s in row.slices]
    received = [s["received"] for s in row.slices]
    voxels = [s["voxels"] for s in row.slices]
    signal = 16 * 3 * 20  # bytes of one voxel's signal: 3 metabolites, 1 coil, 20 excitations
    return [
        f"{LABEL:<33}{row.nvoxels} voxels: one process, {WORKERS} threads "
        f"{one:.3f} s ±{_spread(row.one_process) * 100:.0f}%; {WORKERS} single-threaded workers "
        f"{'' if row.processes else '(threads of this process) '}"
        f"{on:.3f} s ±{_spread(row.on_cluster) * 100:.0f}%; cluster / one process "
        f"{row.ratio:.2f}x (target 1.30x)   {'same' if row.same_bits else 'DIFFERENT'}",
        f"    {len(row.slices)} slices of {min(voxels)}-{max(voxels)} voxels; sent per slice "
        f"{min(sent) / 1e3:.1f}-{max(sent) / 1e3:.1f} kB ({max(sent) / max(voxels):.1f} B per "
        f"voxel), received {min(received) / 1e6:.3f}-{max(received) / 1e6:.3f} MB (signal "
        f"{signal} B per voxel + {max(r - signal * v for r, v in zip(received, voxels))} B)",
        f"    per voxel {row.per_voxel * 1e6:.1f} us of a worker; per task (a one-voxel slice: "
        f"Dask, planning, sending) {row.per_task * 1e3:.1f} ms of a worker; the caller per "
        f"voxel {sum(s['pack_seconds'] for s in row.slices) / row.nvoxels * 1e6:.2f} us to cut "
        f"and pack, {sum(s['place_seconds'] for s in row.slices) / row.nvoxels * 1e6:.2f} us "
        f"to place the signal",
    ]


def parse(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cluster-voxels", type=int, default=100_000,
                        help="voxels of the phantom")
    parser.add_argument("--cluster-repeats", type=int, default=3, help="timed runs per variant")
    options, _ = parser.parse_known_args(argv)
    return options


def main(argv: list[str] | None = None) -> int:
    options = parse(argv)
    row = measure(options.cluster_voxels, options.cluster_repeats)
    print("\n".join(format_row(row)))
    return 0 if row.status != "ok" or row.same_bits else 1


if __name__ == "__main__":
    raise SystemExit(main())
