"""``python -m korvel simulate``: simulate an experiment, print its summary, write its curves."""

from __future__ import annotations

import contextlib
import csv
import math
import os
import signal
import sys
import threading
import time
from decimal import ROUND_HALF_UP, Decimal
import warnings
from pathlib import Path

import numpy as np

from korvel.host.cluster import SimulationError
from korvel.host.config import default_experiment, load_experiment
from korvel.host.experiment import ExperimentError
from korvel.host.result import SimulationResult
from korvel.host.simulation import simulate
from korvel.cli.outputs import OutputFolder, one_line, quiet_pipe

_CONNECT_SECONDS = 10
OUTPUT_NAMES = ("curves.csv", "summary.csv", "voxels.csv", "fit.csv", "curves.png", "study.png")

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
                             "over the noise level; simulate; default 30, 0: no noise)")
    parser.add_argument("--noise-seed", type=int, default=None, metavar="N",
                        help="seed of the noise (simulate; default 1: the same draw every run)")
    parser.add_argument("--print-config", action="store_true",
                        help="print the embedded default experiment's TOML and exit (simulate)")
    from korvel.cli import study

    study.add_arguments(parser)


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


def format_summary(result: SimulationResult, experiment=None, fitted=None) -> str:
    """The summary table per region and metabolite: peak, time to peak and mean time, area
    and area ratio, and (given the experiment) the configured rate beside each ratio. Missing
    values (an all-zero curve's peak time, a ratio to a zero precursor) print as "-".
    ``fitted`` maps (region, product) to the cells of the fitted rate and its spread."""
    precursor = result.metabolites[0]
    header = ["region", "metabolite", "peak (a.u.)", "time to peak (s)", "mean time (s)",
              "AUC (a.u. s)", f"AUC / {precursor}"]
    if experiment is not None:
        header.append("rate (1/s)")
    if fitted is not None:
        header += ["fitted (1/s)", "sd (1/s)"]
    rows = [header]
    for row in result.summary(experiment):
        product = row["metabolite"] != precursor
        cells = [row["region"], row["metabolite"], significant(row["peak"]),
                 fixed(row["time_to_peak"], 2), fixed(row["mean_time"], 2),
                 significant(row["auc"]), fixed(row["ratio"], 4) if product else ""]
        if experiment is not None:
            cells.append(significant(row["rate"]) if product else "")
        if fitted is not None:
            cells += fitted.get((row["region"], row["metabolite"]), ["", ""]) if product \
                else ["", ""]
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
    metrics = result.metrics_at_own_times(curve_metrics(result))
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
    import matplotlib

    with matplotlib.rc_context({"text.parse_math": False}):  # names and labels as they are
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
    try:
        client = Client(address, timeout=_CONNECT_SECONDS)
    except (OSError, TimeoutError) as error:
        raise OSError(f"cannot reach the scheduler at {address} within {_CONNECT_SECONDS} s "
                      f"({type(error).__name__})") from None
    with client:
        yield client


def _one_line_warning(message, category, filename, lineno, file=None, line=None):
    print(f"warning: {message}", file=sys.stderr)


def run(options) -> int:
    """Run the simulate command with parsed ``options``; returns the exit status: 0, 2 for a
    failure of the run (one line on stderr), 1 for an internal error, 130 when interrupted."""
    if options.print_config:
        from korvel.host.config import default_config_text

        with quiet_pipe():
            sys.stdout.write(default_config_text())
            sys.stdout.flush()
        return 0
    folders: list[OutputFolder] = []
    interrupts: list[int] = []

    def on_interrupt(number, frame):
        interrupts.append(number)  # an extension may turn the KeyboardInterrupt into its own error
        raise KeyboardInterrupt

    previous = None
    if threading.current_thread() is threading.main_thread() and \
            signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        previous = signal.signal(signal.SIGINT, on_interrupt)
    with warnings.catch_warnings():
        warnings.showwarning = _one_line_warning
        try:
            return _run(options, folders)
        except Exception as error:  # one line, whatever went wrong
            if not interrupts:
                print(f"internal error: {type(error).__name__}: {error}".splitlines()[0],
                      file=sys.stderr)
                return 1
        except KeyboardInterrupt:
            pass
        finally:
            if previous is not None:
                signal.signal(signal.SIGINT, previous)
        written = bool(folders) and folders[0].committed
        print("interrupted after the outputs were written" if written else
              "interrupted; no output was changed", file=sys.stderr)
        return 130


def _run(options, folders: list) -> int:
    try:
        experiment = (default_experiment() if options.config is None
                      else load_experiment(options.config))
    except (ExperimentError, ValueError, MemoryError, OSError, TypeError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    folder = OutputFolder(options.output, OUTPUT_NAMES)
    folders.append(folder)
    try:
        folder.check()
    except OSError as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    started = time.perf_counter()
    try:
        try:
            with _client(options.scheduler) as client:
                result = simulate(experiment, backend=options.backend,
                                  num_threads=options.threads, client=client)
        except SimulationError as error:  # a slice failed on the cluster
            print(f"error: {one_line(error)}", file=sys.stderr)
            return 1
        except (ValueError, ImportError, OSError, RuntimeError, MemoryError) as error:
            print(f"error: {one_line(error)}", file=sys.stderr)
            return 2
        elapsed = time.perf_counter() - started
        from korvel.cli import study

        notes: list[str] = []
        snr = study.noise_snr(options)
        if snr is not None:
            from korvel.analysis.noise import add_noise

            try:
                result = add_noise(result, snr=snr, seed=study.noise_seed(options))
            except (TypeError, ValueError) as error:
                if options.snr is not None:
                    print(f"error: --snr: {error}", file=sys.stderr)
                    return 2
                # the default noise, not asked for: a run it cannot apply to stays noiseless
                notes.append(f"no noise: {error}")
                snr = None
        model = options.fit_model
        if model is None and not options.no_fit:
            model, reason = study.default_model(experiment)
            if reason:
                notes.append(f"fit: the inputless model, as the bolus model cannot represent "
                             f"this experiment ({reason})")
        if not options.no_fit and model == "bolus" and \
                experiment.nvoxels * experiment.acquisition.excitations > study.QUIET_SAMPLES:
            print(f"fitting {experiment.nvoxels} voxels with the bolus model (it simulates the "
                  f"experiment a few times per step) ...", file=sys.stderr, flush=True)
        fitted = None if options.no_fit else study.fit_study(result, experiment, model,
                                                             options.threads)
        if fitted is not None and fitted.skipped and options.fit_model is None \
                and model != "inputless":
            notes.append(f"fit: the inputless model, as the bolus model cannot fit this "
                         f"experiment ({fitted.skipped})")
            fitted = study.fit_study(result, experiment, "inputless", options.threads)
        fit = fitted if fitted is not None and fitted.fit is not None else None
        plotted: list[bool] = []

        def plot(path: Path) -> bool:
            plotted.append(write_plot(result, path, experiment))
            return plotted[-1]

        def plot_study(path: Path) -> bool:
            if not plotted[-1]:
                return False
            import matplotlib

            with matplotlib.rc_context({"text.parse_math": False}):  # names as they are
                study.plot_study(result, experiment, fit, path, snr=snr)
            return True

        writers = {"curves.csv": lambda path: write_curves(result, path),
                   "summary.csv": lambda path: write_summary(result, path, experiment),
                   "voxels.csv": lambda path: write_voxels(result, path, experiment)}
        if fit is not None:
            writers["fit.csv"] = lambda path: study.write_fit_csv(fit, path)
        writers["curves.png"] = plot
        if fit is not None and result.grid is not None:
            writers[study.FIGURE] = plot_study
        figures = time.perf_counter()
        try:
            written = folder.commit(writers)
        except OSError as error:
            print(f"error: {error}", file=sys.stderr)
            return 2
        figures = time.perf_counter() - figures
    finally:
        folder.discard()  # the folders check() made, when nothing was written into them
    # Printed only once every file is in place: a reader that stops early loses nothing.
    with quiet_pipe():
        source = "embedded default experiment" if options.config is None else str(options.config)
        acquisition = experiment.acquisition
        print(f"{source}: {len(result.metabolites)} metabolites, {experiment.nvoxels} voxels x "
              f"{experiment.spins_per_voxel} spins, {acquisition.excitations} excitations every "
              f"{acquisition.repetition_time:g} s; {result.driver} driver, {result.backend} "
              f"backend{'' if options.scheduler is None else ' on ' + options.scheduler}, "
              f"{elapsed:.3f} s{'' if snr is None else f'; noise at SNR {snr:g}'}")
        for note in notes:
            print(note)
        if fitted is not None:
            print(study.format_fit_header(fitted, snr) if fit is not None
                  else f"no fit: {fitted.skipped}")
        print()
        print(format_summary(result, experiment,
                             None if fit is None else study.summary_cells(fitted)))
        print()
        if plotted and not plotted[0]:
            print("matplotlib is not installed: no plot (pip install matplotlib)")
        print("wrote " + ", ".join(str(p) for p in written))
        if fit is not None:
            print(f"time: simulate {elapsed:.2f} s, fit {fitted.seconds:.2f} s, "
                  f"figures and files {figures:.2f} s")
        sys.stdout.flush()
    return 0
