"""Benchmark rows of kinetic fitting: a whole map through ``korvel.fit_kinetics``, end to end.

The map: 32 x 32 voxels, 25 frames every 3 s, pyruvate and lactate at 10 and 30 degrees, lactate
rates spread over 0.01 to 0.1 1/s, noise at SNR 30 on the precursor's peak; fitted: k_lactate and
m0_lactate with every R1 fixed. Beside it, the same problem solved one voxel at a time with
scipy.optimize.least_squares (timed on a few voxels and scaled to the map), the way a general
optimiser per voxel does it. The bolus row fits korvel's own simulation of a gamma bolus over the
same size of map (per-voxel rates and amplitudes, shared arrival and width) with the bolus model.
"""

from __future__ import annotations

import statistics
import time

import numpy as np

SEED = 20261208
NFRAMES = 25
TR = 3.0


def fit_map(side: int, seed: int = SEED):
    """Signal (side, side, 2, NFRAMES) and flip angles (2, NFRAMES) of the benchmark map."""
    from korvel.fitting.models import InputlessData, Layout, excitation_scales

    angles = np.array([[10.0], [30.0]]) * np.ones(NFRAMES)
    scale, remaining = excitation_scales(np.radians(angles), NFRAMES)
    t = TR * np.arange(NFRAMES)
    bolus = (t / 12.0) ** 3 * np.exp(-(t - 12.0) / 4.0)  # a gamma-shaped precursor curve
    nvoxels = side * side
    rng = np.random.default_rng(seed)
    signal = np.zeros((nvoxels, 2, NFRAMES))
    signal[:, 0] = bolus * scale[0]
    parameters = np.stack([rng.uniform(0.01, 0.1, nvoxels), np.full(nvoxels, 1 / 30),
                           np.full(nvoxels, 1 / 25), np.zeros(nvoxels)], axis=-1)
    data = InputlessData(Layout(("pyruvate", "lactate")), signal, scale, remaining, TR)
    clean = data.fitted_signal(parameters)
    noisy = clean + rng.normal(0.0, clean[:, 0].max() / 30.0, clean.shape)
    return noisy.reshape(side, side, 2, NFRAMES), angles


def _per_voxel_scipy(signal, angles, count: int) -> float:
    """Seconds per voxel of one least_squares call per voxel on the first ``count`` voxels."""
    from scipy.optimize import least_squares

    from korvel.fitting.models import InputlessData, Layout, excitation_scales

    scale, remaining = excitation_scales(np.radians(angles), NFRAMES)
    layout = Layout(("pyruvate", "lactate"))
    flat = signal.reshape(-1, 2, NFRAMES)[:count]
    started = time.perf_counter()
    for voxel in flat:
        data = InputlessData(layout, voxel[np.newaxis], scale, remaining, TR)

        def residual(theta, data=data):
            full = np.array([[theta[0], 1 / 30, 1 / 25, theta[1]]])
            return data.residuals(full)[0]

        least_squares(residual, [0.02, 0.0], bounds=([0.0, -np.inf], [np.inf, np.inf]))
    return (time.perf_counter() - started) / len(flat)


def bolus_map(side: int, seed: int = SEED):
    """korvel's simulation of a gamma bolus (arrival 2 s, width 8 s) over a side x side map with
    per-voxel rates and amplitudes, noise at SNR 30: signal (side, side, 2, NFRAMES)."""
    import math

    from korvel.host.experiment import (Acquisition, Bolus, Experiment, FlipAngles, Inflow,
                                        Metabolite)
    from korvel.host.simulation import simulate

    nvoxels = side * side
    rng = np.random.default_rng(seed)
    # default timing (first frame at one TR), the form of the bolus model's own simulation
    experiment = Experiment(
        Metabolite("pyruvate", 30.0, math.inf, 0.0), (Metabolite("lactate", 25.0, math.inf, 0.0),),
        (rng.uniform(0.01, 0.1, nvoxels),), nvoxels=nvoxels,
        acquisition=Acquisition(TR, NFRAMES, FlipAngles("constant", 15.0)),
        inflow=Inflow(Bolus("gamma", 2.0 + TR, 8.0)), delivery=rng.uniform(0.5, 2.0, nvoxels))
    clean = np.moveaxis(simulate(experiment, progress=False).magnitude(), 0, 1)
    noisy = clean + rng.normal(0.0, clean[:, 0].max() / 30.0, clean.shape)
    return noisy.reshape(side, side, 2, NFRAMES), np.full((2, NFRAMES), 15.0)


def _time(call, team: int, repeats: int):
    call(team)  # warm-up
    samples = []
    for _ in range(repeats):
        started = time.perf_counter()
        result = call(team)
        samples.append(time.perf_counter() - started)
    median = statistics.median(samples)
    return result, median, max(max(samples) - median, median - min(samples)) / median


def run(only: str, quick: bool, repeats: int, teams: list[int]) -> list[str]:
    """The fitting rows as printed lines (none when ``only`` selects none of them)."""
    from korvel.fitting import fit_kinetics

    side = 8 if quick else 32
    size = f"{side}x{side}, {NFRAMES} frames"
    fixed = {"r1_pyruvate": 1 / 30, "r1_lactate": 1 / 25}
    rows = []
    if only in f"fit inputless {size}":
        signal, angles = fit_map(side)
        per_voxel = _per_voxel_scipy(signal, angles, 8 if quick else 32) * side * side
        rows.append((f"fit inputless {size}", per_voxel, repeats, lambda team: fit_kinetics(
            signal, TR, angles, fixed=fixed, num_threads=team)))
    if only in f"fit bolus {size}":
        bolus_signal, bolus_angles = bolus_map(side)
        rows.append((f"fit bolus {size}", None, min(repeats, 3), lambda team: fit_kinetics(
            bolus_signal, TR, bolus_angles, model="bolus", fixed=fixed, num_threads=team)))
    if not rows:
        return []
    lines = [f"{'fitting (whole map, end to end)':<33}{'per voxel':>11}"
             + "".join(f"{f'{team} thread' + ('s' if team > 1 else ''):>16}" for team in teams)
             + f"{'voxel/1t':>10}{'converged':>11}   bits"]
    for label, per_voxel, count, call in rows:
        results, timings = [], []
        for team in teams:
            result, median, spread = _time(call, team, count)
            results.append(result)
            timings.append((median, spread))
        same = all(np.array_equal(results[0].parameters[n], r.parameters[n], equal_nan=True)
                   for r in results[1:] for n in results[0].names)
        converged = f"{int(results[0].converged.sum())}/{results[0].converged.size}"
        cells = [f"{label:<33}", f"{per_voxel:>9.3f} s*" if per_voxel else f"{'':>11}"]
        cells += [f"{median:>11.3f} s ±{spread * 100:>2.0f}%" for median, spread in timings]
        cells += [f"{per_voxel / timings[0][0]:>9.1f}x" if per_voxel else f"{'':>10}",
                  f"{converged:>11}", "   same" if same else "   DIFFERENT"]
        lines.append("".join(cells))
    lines.append("    * scipy.optimize.least_squares one voxel at a time, timed on "
                 f"{8 if quick else 32} voxels and scaled to the map. Targets for the 32x32 map: "
                 "inputless under 0.5 s, bolus under 5 s")
    return lines
