"""Benchmark rows of the simulate command's study at scale: a 3-D phantom simulated, noised at
SNR 30 and fitted voxel by voxel, each step timed on its own.

The phantom: 128 x 128 x 16 voxels (262,144; --quick: 32 x 32 x 2), every point tissue (a box
over the grid) holding a tumour with a necrotic core and a vessel (ellipsoids through the
slices) under a Gaussian B1 field; pyruvate, lactate and alanine at 10, 30 and 30 degrees, 20
frames every 3 s, one spin per voxel and one coil (four coils would hold 1 GiB of signal). The
fit is the inputless model (the bolus model runs korvel's simulator several times per
iteration: minutes at this size), with B1-corrected angles, on the phased signal.
"""

from __future__ import annotations

import time

import numpy as np

SNR = 30.0
SEED = 20261208


def phantom_experiment(shape: tuple[int, int, int]):
    import korvel
    from korvel import Ellipse, GaussianTransmit, Phantom, Rectangle, Region

    slices, rows, columns = shape
    centre = ((rows - 1) / 2, (columns - 1) / 2)
    scale = rows / 32.0
    phantom = Phantom(shape, [
        Region("tissue", Rectangle(centre, (rows, columns)),
               rates={"lactate": 0.02, "alanine": 0.015}),
        Region("tumour", Ellipse((12.0 * scale, 19.0 * scale), (6.5 * scale, 5.5 * scale), 30.0),
               rates={"lactate": 0.06, "alanine": 0.008}, delivery=1.4),
        Region("necrosis", Ellipse((12.0 * scale, 19.5 * scale), 2.5 * scale),
               rates={"lactate": 0.03, "alanine": 0.004}, delivery=0.4),
        Region("vessel", Ellipse((22.0 * scale, 9.0 * scale), 2.0 * scale),
               rates={"lactate": 0.002}, delivery=3.0)],
        transmit=GaussianTransmit(24.0 * scale, peak=1.05, center=(
            (slices - 1) / 2, *centre)))
    flips = {"pyruvate": korvel.FlipAngles("constant", 10.0),
             "lactate": korvel.FlipAngles("constant", 30.0),
             "alanine": korvel.FlipAngles("constant", 30.0)}
    metabolites = [korvel.Metabolite("pyruvate", 30.0, 0.4, 171.0),
                   korvel.Metabolite("lactate", 25.0, 0.4, 183.0),
                   korvel.Metabolite("alanine", 25.0, 0.4, 176.5)]
    return phantom.experiment(
        metabolites[0], metabolites[1:], center_shift=171.0,
        acquisition=korvel.Acquisition(3.0, 20, flips),
        inflow=korvel.Inflow(korvel.Bolus("gamma", arrival=4.0, duration=8.0)))


def command_rows(threads: int | None, repeats: int = 3,
                 models: tuple[str, ...] = ("bolus", "inputless")) -> list[str]:
    """``python -m korvel simulate`` itself, as a newcomer runs it (the embedded phantom, noise,
    the default fit, the figures), in a fresh interpreter each time: the wall time of the whole
    command and the split it prints, per model; the median of ``repeats`` runs, the models
    alternating so that a change of the machine's load touches both."""
    import re
    import statistics
    import subprocess
    import sys
    import tempfile

    pattern = re.compile(r"time: simulate ([\d.]+) s, fit ([\d.]+) s, figures and files "
                         r"([\d.]+) s")
    samples: dict[str, list[tuple[float, ...]]] = {model: [] for model in models}
    with tempfile.TemporaryDirectory() as folder:
        for _ in range(repeats):
            for model in samples:
                command = [sys.executable, "-m", "korvel", "simulate", "--output", folder,
                           "--fit-model", model]
                if threads is not None:
                    command += ["--threads", str(threads)]
                started = time.perf_counter()
                done = subprocess.run(command, capture_output=True, text=True, timeout=600)
                wall = time.perf_counter() - started
                found = pattern.search(done.stdout)
                if done.returncode or not found:
                    return [f"main job command: failed ({done.stderr.strip()[-200:]})"]
                samples[model].append((wall, *map(float, found.groups())))
    lines = [f"{'main job command (embedded phantom)':<40}{'total':>9}{'simulate':>10}"
             f"{'fit':>9}{'figures':>9}   (median of {repeats}, fresh interpreter each)"]
    for model, rows in samples.items():
        wall, simulated, fitted, drawn = (statistics.median(c) for c in zip(*rows))
        spread = max(r[0] for r in rows) - min(r[0] for r in rows)
        lines.append(f"{'  --fit-model ' + model:<40}{wall:>7.2f} s{simulated:>8.2f} s"
                     f"{fitted:>7.2f} s{drawn:>7.2f} s   total spread {spread:.2f} s")
    return lines


def run(only: str, quick: bool, threads: int) -> list[str]:
    """The study rows as printed lines (none when ``only`` selects none of them)."""
    import korvel
    from korvel.cli import study

    shape = (2, 32, 32) if quick else (16, 128, 128)
    label = f"main job {'x'.join(map(str, shape))}"
    lines = [] if only not in "main job command" else \
        command_rows(threads, 1, ("bolus",)) if quick else command_rows(threads)
    if only not in label:
        return lines
    experiment = phantom_experiment(shape)
    started = time.perf_counter()
    result = korvel.simulate(experiment, num_threads=threads, progress=False)
    simulated = time.perf_counter() - started
    started = time.perf_counter()
    noisy = korvel.add_noise(result, snr=SNR, seed=SEED)
    noised = time.perf_counter() - started
    fitted = study.fit_study(noisy, experiment, "inputless", num_threads=threads)
    tumour = next(row for row in fitted.rows
                  if row["region"] == "tumour" and row["metabolite"] == "lactate")
    converged = int(np.count_nonzero(fitted.fit.converged))
    return lines + [f"{'main job (simulate, noise, fit)':<33}{'voxels':>9}{'simulate':>11}{'noise':>9}"
            f"{'fit':>10}{'total':>10}{'converged':>11}   tumour k_lactate",
            f"{label:<33}{experiment.nvoxels:>9}{simulated:>9.2f} s{noised:>7.2f} s"
            f"{fitted.seconds:>8.2f} s{simulated + noised + fitted.seconds:>8.2f} s"
            f"{converged:>11}   {tumour['mean']:.4f} ± {tumour['std']:.4f} (true 0.06)",
            f"    {threads} thread{'s' if threads > 1 else ''}, SNR {SNR:g}, inputless model, "
            f"{result.driver} driver"]
