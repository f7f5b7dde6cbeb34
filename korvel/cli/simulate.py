"""``python -m korvel simulate``: simulate an experiment, print its summary, write its curves."""

from __future__ import annotations

import contextlib
import csv
import signal
import sys
import threading
import time
import warnings
from pathlib import Path

from korvel.host.config import default_experiment, load_experiment
from korvel.host.experiment import ExperimentError
from korvel.host.result import SimulationResult
from korvel.host.simulation import simulate
from korvel.cli.outputs import OutputFolder, one_line, quiet_pipe

_CONNECT_SECONDS = 10
OUTPUT_NAMES = ("curves.csv", "summary.csv", "curves.png")

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
                        help="thread team size (simulate; default: all CPUs)")
    parser.add_argument("--scheduler", default=None, metavar="ADDRESS",
                        help="run on the Dask cluster of this scheduler, e.g. "
                             "tcp://scheduler:8786 (simulate; needs korvel[distributed])")
    parser.add_argument("--print-config", action="store_true",
                        help="print the embedded default experiment's TOML and exit (simulate)")


def format_summary(result: SimulationResult) -> str:
    """The summary table: peak and area per metabolite and region, and the area ratios."""
    precursor = result.metabolites[0]
    header = ("region", "metabolite", "peak", "peak at (s)", "AUC", f"AUC / {precursor}")
    rows = [header]
    for row in result.summary():
        rows.append((row["region"], row["metabolite"], f"{row['peak']:.4g}",
                     f"{row['peak_time']:.2f}", f"{row['auc']:.4g}",
                     "" if row["ratio"] is None else f"{row['ratio']:.4f}"))
    widths = [max(len(r[i]) for r in rows) for i in range(len(header))]
    lines = []
    for i, r in enumerate(rows):
        cells = [r[0].ljust(widths[0]), r[1].ljust(widths[1])]
        cells += [c.rjust(w) for c, w in zip(r[2:], widths[2:])]
        lines.append("  ".join(cells).rstrip())
        if i == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def write_curves(result: SimulationResult, path: Path) -> None:
    """One row per excitation: time, flip angle, then the mean magnitude per metabolite and
    region (columns named metabolite/region)."""
    curves = result.region_curves()
    regions = result.region_names()
    with path.open("w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["excitation", "time_s", "flip_angle_deg"]
                        + [f"{m}/{r}" for m in result.metabolites for r in regions])
        for n, t in enumerate(result.time):
            values = [f"{curves[m, r, n]:.10g}" for m in range(len(result.metabolites))
                      for r in range(len(regions))]
            writer.writerow([n, f"{t:.6g}", f"{result.flip_angles[n]:.6g}", *values])


def write_summary(result: SimulationResult, path: Path) -> None:
    with path.open("w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["region", "metabolite", "peak", "peak_time_s", "auc",
                         f"auc_ratio_to_{result.metabolites[0]}"])
        for row in result.summary():
            writer.writerow([row["region"], row["metabolite"], f"{row['peak']:.10g}",
                             f"{row['peak_time']:.6g}", f"{row['auc']:.10g}",
                             "" if row["ratio"] is None else f"{row['ratio']:.10g}"])


def plain_text(text: str) -> str:
    """``text`` as matplotlib shows it literally: a ``$`` would start a formula."""
    text = text.replace("$", r"\$")
    return text if not text.startswith("_") else " " + text  # "_..." labels are hidden


def write_plot(result: SimulationResult, path: Path) -> bool:
    """The curves as a PNG, one panel per metabolite; False when matplotlib is missing."""
    try:
        import matplotlib
    except ModuleNotFoundError as error:
        if error.name != "matplotlib":  # installed but broken: a failure, not "no plot"
            raise
        return False
    matplotlib.use("Agg")
    from matplotlib import pyplot

    curves = result.region_curves()
    count = len(result.metabolites)
    figure, axes = pyplot.subplots(1, count, figsize=(4.2 * count, 3.6), squeeze=False)
    for m, (axis, name) in enumerate(zip(axes[0], result.metabolites)):
        for r, region in enumerate(result.region_names()):
            axis.plot(result.time, curves[m, r], marker="o", markersize=3, label=plain_text(region))
        axis.set_title(plain_text(name))
        axis.set_xlabel("time (s)")
        axis.grid(alpha=0.3)
    axes[0, 0].set_ylabel("signal (a.u.)")
    axes[0, -1].legend(frameon=False)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    pyplot.close(figure)
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
        except (ValueError, ImportError, OSError, RuntimeError, MemoryError) as error:
            print(f"error: {one_line(error)}", file=sys.stderr)
            return 2
        elapsed = time.perf_counter() - started
        plotted: list[bool] = []

        def plot(path: Path) -> bool:
            plotted.append(write_plot(result, path))
            return plotted[-1]

        try:
            written = folder.commit({"curves.csv": lambda path: write_curves(result, path),
                                     "summary.csv": lambda path: write_summary(result, path),
                                     "curves.png": plot})
        except OSError as error:
            print(f"error: {error}", file=sys.stderr)
            return 2
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
              f"{elapsed:.3f} s")
        print()
        print(format_summary(result))
        print()
        if plotted and not plotted[0]:
            print("matplotlib is not installed: no plot (pip install 'korvel[plot]')")
        print("wrote " + ", ".join(str(p) for p in written))
        sys.stdout.flush()
    return 0
