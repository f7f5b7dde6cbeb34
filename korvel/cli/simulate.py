"""``python -m korvel simulate``: simulate an experiment, print its summary, write its curves."""

from __future__ import annotations

import contextlib
import csv
import math
import os
import sys
import time
from decimal import ROUND_HALF_UP, Decimal
from pathlib import Path

import numpy as np

from korvel.host.cluster import SimulationError
from korvel.host.config import default_experiment, load_experiment
from korvel.host.experiment import ExperimentError
from korvel.host.result import SimulationResult
from korvel.host.simulation import simulate

DEFAULT_OUTPUT = "korvel-simulation"


def add_arguments(parser) -> None:
    """The options of the simulate command."""
    parser.add_argument("--config", type=Path, default=None,
                        help="experiment TOML file (simulate; default: the embedded phantom)")
    parser.add_argument("--output", type=Path, default=Path(DEFAULT_OUTPUT),
                        help=f"folder for the CSV files and the plot (simulate; default "
                             f"{DEFAULT_OUTPUT})")
    parser.add_argument("--backend", choices=("native", "reference"), default="native",
                        help="native drivers or their NumPy counterparts (simulate)")
    parser.add_argument("--threads", type=int, default=None,
                        help="thread team size (simulate; default: all CPUs; with --scheduler "
                             "each task's team, default 1)")
    parser.add_argument("--scheduler", default=None, metavar="ADDRESS",
                        help="run in slices of voxels on the Dask cluster of this scheduler, e.g. "
                             "tcp://scheduler:8786 (simulate; needs korvel[distributed])")
    parser.add_argument("--snr", type=float, default=None,
                        help="add complex Gaussian noise at this SNR (the precursor's peak "
                             "over the noise level; simulate)")
    parser.add_argument("--noise-seed", type=int, default=None, metavar="N",
                        help="seed of the noise, for a reproducible draw (simulate)")
    parser.add_argument("--print-config", action="store_true",
                        help="print the embedded default experiment's TOML and exit (simulate)")


def decimal_round(value: float, digits: int) -> Decimal:
    """``value`` as written (its shortest decimal form) rounded to ``digits`` decimals, halves
    away from zero: 16.005 and 37.005 both round up, which binary rounding of the nearest
    doubles (16.00499.. and 37.00500..) would not."""
    return Decimal(repr(float(value))).quantize(Decimal(1).scaleb(-digits), ROUND_HALF_UP)


def fixed(value: float | None, digits: int) -> str:
    """``value`` with ``digits`` decimals by ``decimal_round``; "-" for a missing value."""
    if value is None or not math.isfinite(value):
        return "-"
    return f"{decimal_round(value, digits):f}"


def significant(value: float | None, digits: int = 4) -> str:
    """``value`` to ``digits`` significant digits by the same rule as ``fixed``, in the style of
    the ``g`` format (trailing zeros dropped, exponent outside 1e-4 .. 10**digits)."""
    if value is None or not math.isfinite(value):
        return "-"
    if value == 0:
        return "0"
    exponent = Decimal(repr(float(value))).adjusted()
    rounded = decimal_round(value, digits - 1 - exponent)
    if -4 <= rounded.adjusted() < digits:
        text = f"{rounded:f}"
        return text.rstrip("0").rstrip(".") if "." in text else text
    mantissa, power = format(rounded, f".{digits - 1}e").split("e")
    if "." in mantissa:
        mantissa = mantissa.rstrip("0").rstrip(".")
    return f"{mantissa}e{int(power):+03d}"


def format_summary(result: SimulationResult, experiment=None) -> str:
    """The summary table per region and metabolite: peak, time to peak and mean time, area
    and area ratio, and (given the experiment) the configured rate beside each ratio. Missing
    values (an all-zero curve's peak time, a ratio to a zero precursor) print as "-"."""
    precursor = result.metabolites[0]
    header = ["region", "metabolite", "peak (a.u.)", "time to peak (s)", "mean time (s)",
              "AUC (a.u. s)", f"AUC / {precursor}"]
    if experiment is not None:
        header.append("rate (1/s)")
    rows = [header]
    for row in result.summary(experiment):
        product = row["metabolite"] != precursor
        cells = [row["region"], row["metabolite"], significant(row["peak"]),
                 fixed(row["time_to_peak"], 2), fixed(row["mean_time"], 2),
                 significant(row["auc"]), fixed(row["ratio"], 4) if product else ""]
        if experiment is not None:
            cells.append(significant(row["rate"]) if product else "")
        rows.append(cells)
    widths = [max(len(r[i]) for r in rows) for i in range(len(header))]
    lines = []
    for i, r in enumerate(rows):
        cells = [r[0].ljust(widths[0]), r[1].ljust(widths[1])]
        cells += [c.rjust(w) for c, w in zip(r[2:], widths[2:])]
        lines.append("  ".join(cells).rstrip())
        if i == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def _cell(value: float | None, form: str) -> str:
    return "" if value is None or not math.isfinite(value) else format(value, form)


def write_curves(result: SimulationResult, path: Path) -> None:
    """One row per excitation: time, flip angle, then the mean magnitude per metabolite and
    region (columns named metabolite/region). Where metabolites have readout times or flip
    angles of their own, each metabolite's follow (time_s/metabolite, flip_angle_deg/...)."""
    curves = result.region_curves()
    regions = result.region_names()
    count = len(result.metabolites)
    own = bool(np.any(result.readout_times != result.readout_times[:1])
               or np.any(result.metabolite_flip_angles != result.metabolite_flip_angles[:1]))
    with path.open("w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["excitation", "time_s", "flip_angle_deg"]
                        + [f"{m}/{r}" for m in result.metabolites for r in regions]
                        + ([f"{kind}/{m}" for kind in ("time_s", "flip_angle_deg")
                            for m in result.metabolites] if own else []))
        for n, t in enumerate(result.time):
            values = [f"{curves[m, r, n]:.10g}" for m in range(count)
                      for r in range(len(regions))]
            if own:
                values += [f"{result.readout_times[m, n]:.6g}" for m in range(count)]
                values += [f"{result.metabolite_flip_angles[m, n]:.6g}" for m in range(count)]
            writer.writerow([n, f"{t:.6g}", f"{result.flip_angles[n]:.6g}", *values])


def _columns(precursor: str) -> list[str]:
    """The metric columns, the new ones after those of earlier versions."""
    return ["peak", "peak_time_s", "auc", f"auc_ratio_to_{precursor}", "time_to_peak_s",
            "mean_time_s", "rate_per_s"]


def write_summary(result: SimulationResult, path: Path, experiment=None) -> None:
    """The summary per region and metabolite; a missing value is an empty cell."""
    precursor = result.metabolites[0]
    with path.open("w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["region", "metabolite", *_columns(precursor)])
        for row in result.summary(experiment):
            writer.writerow([row["region"], row["metabolite"], _cell(row["peak"], ".10g"),
                             _cell(row["peak_time"], ".6g"), _cell(row["auc"], ".10g"),
                             _cell(row["ratio"], ".10g"), _cell(row["time_to_peak"], ".6g"),
                             _cell(row["mean_time"], ".6g"), _cell(row["rate"], ".10g")])


def write_voxels(result: SimulationResult, path: Path, experiment=None) -> None:
    """The same metrics per voxel and metabolite (voxel curves: coil-combined magnitude)."""
    from korvel.analysis.metrics import curve_metrics

    magnitude = result.magnitude()  # (nmetabolites, nvoxels, nexcitations)
    metrics = result._own_times(curve_metrics(result))
    precursor = result.metabolites[0]
    with path.open("w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["voxel", "region", "metabolite", *_columns(precursor)])
        for v, region in enumerate(result.regions):
            for m, name in enumerate(result.metabolites):
                curve = magnitude[m, v]
                peak = int(np.argmax(curve))
                top = metrics["time_to_peak"][v, m]
                rate = (float(experiment.conversion_rates[m - 1][v])
                        if m and experiment is not None else None)
                writer.writerow([v, region, name, _cell(curve[peak], ".10g"),
                                 _cell(result.readout_times[m, peak] if np.isfinite(top)
                                       else None, ".6g"),
                                 _cell(curve.sum() * result.repetition_time, ".10g"),
                                 _cell(metrics["auc_ratio"][v, m - 1] if m else None, ".10g"),
                                 _cell(top, ".6g"), _cell(metrics["mean_time"][v, m], ".6g"),
                                 _cell(rate, ".10g")])


def write_plot(result: SimulationResult, path: Path, experiment=None) -> bool:
    """The curves and the flip schedule as a PNG; False when matplotlib is missing."""
    try:
        from korvel.analysis.figures import plot_result
    except ImportError:
        return False
    plot_result(result, experiment, path=path)
    return True


@contextlib.contextmanager
def _client(address: str | None):
    """A Dask client of the scheduler at ``address`` for the run, or None without one."""
    if address is None:
        yield None
        return
    try:
        from distributed import Client
    except ImportError as error:
        raise ImportError("--scheduler needs Dask: pip install 'korvel[distributed]'") from error
    with Client(address) as client:
        yield client


def run(options) -> int:
    """Run the simulate command with parsed ``options``; returns the exit status."""
    try:
        status = _run(options)
        sys.stdout.flush()  # here, so that a closed pipe is caught below and not at exit
        return status
    except KeyboardInterrupt:  # the cluster's slices are cancelled on the way out
        print("\ninterrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`... | head`): stop quietly, as other command-line tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def _run(options) -> int:
    if options.print_config:
        from korvel.host.config import default_config_text

        sys.stdout.write(default_config_text())
        return 0
    try:
        experiment = (default_experiment() if options.config is None
                      else load_experiment(options.config))
    except (ExperimentError, OSError, TypeError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    started = time.perf_counter()
    try:
        with _client(options.scheduler) as client:
            result = simulate(experiment, backend=options.backend, num_threads=options.threads,
                              client=client)
    except (ValueError, ImportError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    except SimulationError as error:  # a slice failed on the cluster
        print(f"error: {error}", file=sys.stderr)
        return 1
    elapsed = time.perf_counter() - started
    if options.snr is not None:
        from korvel.analysis.noise import add_noise

        try:
            result = add_noise(result, snr=options.snr, seed=options.noise_seed)
        except (TypeError, ValueError) as error:
            print(f"error: --snr: {error}", file=sys.stderr)
            return 2
    source = "embedded default experiment" if options.config is None else str(options.config)
    acquisition = experiment.acquisition
    print(f"{source}: {len(result.metabolites)} metabolites, {experiment.nvoxels} voxels x "
          f"{experiment.spins_per_voxel} spins, {acquisition.excitations} excitations every "
          f"{acquisition.repetition_time:g} s; {result.driver} driver, {result.backend} backend"
          f"{'' if options.scheduler is None else ' on ' + options.scheduler}, {elapsed:.3f} s"
          f"{'' if options.snr is None else f'; noise at SNR {options.snr:g}'}")
    print()
    print(format_summary(result, experiment))
    print()
    output = options.output
    output.mkdir(parents=True, exist_ok=True)
    write_curves(result, output / "curves.csv")
    write_summary(result, output / "summary.csv", experiment)
    write_voxels(result, output / "voxels.csv", experiment)
    written = [output / "curves.csv", output / "summary.csv", output / "voxels.csv"]
    if write_plot(result, output / "curves.png", experiment):
        written.append(output / "curves.png")
    else:
        print("matplotlib is not installed: no plot (pip install matplotlib)")
    print("wrote " + ", ".join(str(p) for p in written))
    return 0
