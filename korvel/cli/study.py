"""The study of ``python -m korvel simulate``: add noise to the simulation, fit the conversion
rates per voxel, compare them with the true ones per region, and draw the figure of it all.

simulate -> noise (``--snr``, default ``DEFAULT_SNR``) -> fit (``--fit-model``) -> table -> figure
"""

from __future__ import annotations

import csv
import math
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

DEFAULT_SNR = 30.0
"""The default signal-to-noise ratio: the peak pyruvate signal of the brightest voxel over the
noise level, as on a scanner's pyruvate image (tissue voxels have less)."""
DEFAULT_NOISE_SEED = 1
"""The seed of the default draw, so that two runs print the same table."""
FIT_MODELS = ("inputless", "bolus")
DEFAULT_FIT_MODEL = "bolus"
"""The model of the main job unless ``--fit-model`` says otherwise: korvel's own simulator,
so that without noise the rates come back exactly; ``default_model`` falls back to the
inputless model for an experiment it cannot represent."""
FIGURE = "study.png"
QUIET_SAMPLES = 50000
"""Up to this many voxels times excitations the bolus fit takes seconds and goes unannounced."""


def add_arguments(parser) -> None:
    """The study's options of the simulate command (after the simulate options)."""
    parser.add_argument("--no-noise", action="store_true",
                        help=f"keep the simulation noiseless (simulate; same as --snr 0; "
                             f"default: noise at SNR {DEFAULT_SNR:g})")
    parser.add_argument("--no-fit", action="store_true",
                        help="skip the kinetic fit, its table and figure (simulate)")
    parser.add_argument("--fit-model", choices=FIT_MODELS, default=None,
                        help="kinetic model of the fit (simulate; default bolus where the "
                             "experiment has its form, else inputless). bolus: a gamma-variate "
                             "input and korvel's own simulator as the model, exact without "
                             "noise; inputless: the measured pyruvate drives the products")


def noise_snr(options) -> float | None:
    """The SNR the options ask for: None for a noiseless run."""
    if getattr(options, "no_noise", False):
        return None
    snr = DEFAULT_SNR if options.snr is None else options.snr
    return None if snr == 0 else snr


def noise_seed(options):
    return DEFAULT_NOISE_SEED if options.noise_seed is None else options.noise_seed


@dataclass
class Study:
    """What the fit step produced: the fit, its model, per-region comparison and timings."""

    fit: object = None
    model: str = ""
    rows: list = field(default_factory=list)
    seconds: float = 0.0
    skipped: str = ""


def fitted_angles(result, experiment) -> np.ndarray:
    """The flip angles each voxel received, (nvoxels, nmetabolites, nexcitations) in degrees:
    the nominal schedules times the voxel's transmit (B1) scale, as a B1 map would give them."""
    angles = np.asarray(result.metabolite_flip_angles, dtype=np.float64)[np.newaxis]
    nvoxels = result.signal.shape[2]
    if experiment is None or experiment.transmit is None:
        return np.broadcast_to(angles, (nvoxels,) + angles.shape[1:])
    scale = np.abs(np.asarray(experiment.transmit)).reshape(nvoxels)
    return scale[:, np.newaxis, np.newaxis] * angles


def phased_signal(result, experiment=None) -> np.ndarray:
    """Real signals for the fit, (nvoxels, nmetabolites, nexcitations): the coils combined with
    their sensitivities (sum_c conj(s_c) x_c / sqrt(sum_c |s_c|^2), the combination of best SNR
    for white noise) and each metabolite's signal in a voxel turned by its phase (that of its
    sum over the frames: with the transverse magnetization spoiled every frame, the phase from
    pulse to readout is the same in each) and taken as its real part.

    Unlike a magnitude, whose noise floor (Rician; for a root sum of squares over n coils about
    about sigma sqrt(pi n / 2)) biases every small signal upward, the real part keeps the noise
    Gaussian with zero mean: low rates and late frames are not pushed up. Without noise it
    equals the combined magnitude up to rounding."""
    signal = np.asarray(result.signal)  # (nmetabolites, ncoils, nvoxels, nexcitations)
    receive = None if experiment is None else experiment.receive
    if receive is None or np.shape(receive)[0] != signal.shape[1]:
        weights = np.ones(signal.shape[1:3], dtype=np.complex128)
    else:
        weights = np.asarray(receive, dtype=np.complex128).reshape(signal.shape[1:3])
    norm = np.sqrt(np.sum(np.abs(weights) ** 2, axis=0))
    with np.errstate(divide="ignore", invalid="ignore"):
        combined = np.einsum("cv,mcvn->mvn", np.conj(weights), signal) \
            / np.where(norm > 0, norm, 1.0)[:, np.newaxis]
    total = np.sum(combined, axis=-1, keepdims=True)
    phase = np.where(np.abs(total) > 0, total / np.where(np.abs(total) > 0, np.abs(total), 1.0),
                     1.0)
    return np.ascontiguousarray(np.moveaxis(np.real(combined * np.conj(phase)), 0, 1))


def default_model(experiment) -> tuple[str, str]:
    """The model the main job fits ``experiment`` with when none is asked for, and, when that
    is not ``DEFAULT_FIT_MODEL``, why: the bolus model represents an inflow of a gamma variate
    of shape 4 whose polarization does not decay in transit, into empty pools, read out with
    one pulse per frame."""
    from korvel.host.experiment import Bolus

    inflow = experiment.inflow
    bolus = None if inflow is None else inflow.bolus
    reasons = []
    if bolus is None or bolus.shape != "gamma" or bolus.gamma_shape != Bolus().gamma_shape:
        reasons.append("the inflow is not a gamma-variate bolus of shape "
                       f"{Bolus().gamma_shape:g}")
    elif math.isfinite(inflow.polarization_t1):
        reasons.append("the inflow's polarization decays in transit")
    if experiment.equilibrium != 0 or any(np.any(np.asarray(m) != 0)
                                          for m in experiment.initial_magnetization):
        reasons.append("the pools do not start empty")
    if experiment.acquisition.excitation_offsets and len(
            set(experiment.excitation_offsets().tolist())) > 1:
        reasons.append("each frame has several pulses")
    if reasons:
        return "inputless", "; ".join(reasons)
    return DEFAULT_FIT_MODEL, ""


def fit_study(result, experiment, model: str = DEFAULT_FIT_MODEL,
              num_threads: int | None = None) -> Study:
    """Fit ``model`` to every voxel of ``result`` (its phased, coil-combined signal, with the
    B1-corrected angles) and compare the fitted rates with the experiment's per region."""
    from korvel.fitting import FitError, fit_kinetics

    started = time.perf_counter()
    try:
        fit = fit_kinetics(phased_signal(result, experiment), result.repetition_time,
                           fitted_angles(result, experiment),
                           metabolites=result.metabolites, model=model,
                           num_threads=num_threads)
    except FitError as error:
        return Study(model=model, skipped=str(error))
    return Study(fit=fit, model=model, rows=region_rows(result, experiment, fit),
                 seconds=time.perf_counter() - started)


def region_rows(result, experiment, fit) -> list[dict]:
    """Per region and product: the true rate (mean over the region), the fitted rates' mean and
    standard deviation over its converged voxels, the relative bias and the voxel counts."""
    regions = np.asarray(result.regions)
    rows = []
    for region in result.region_names():
        inside = regions == region
        for q, product in enumerate(result.metabolites[1:]):
            fitted = np.asarray(fit.parameters[f"k_{product}"]).reshape(-1)[inside]
            good = np.asarray(fit.converged).reshape(-1)[inside] & np.isfinite(fitted)
            chosen = fitted[good]
            true = None if experiment is None \
                else float(np.mean(np.asarray(experiment.conversion_rates[q])[inside]))
            mean = float(np.mean(chosen)) if chosen.size else math.nan
            spread = float(np.std(chosen, ddof=1)) if chosen.size > 1 else math.nan
            bias = (mean - true) / true if true else math.nan
            rows.append(dict(region=region, metabolite=product, true=true, mean=mean,
                             std=spread, bias=bias, converged=int(chosen.size),
                             voxels=int(inside.sum())))
    return rows


def summary_cells(study: Study) -> dict:
    """Extra cells of the summary table per (region, product): the fitted rate and spread."""
    from korvel.cli.simulate import significant

    return {(row["region"], row["metabolite"]): [significant(row["mean"]),
                                                 significant(row["std"], 2)]
            for row in study.rows}


def write_fit_csv(study: Study, path: Path) -> None:
    """The per-region comparison: true rate, fitted mean and spread, bias, voxel counts."""
    def cell(value, form):
        return "" if value is None or not math.isfinite(value) else format(value, form)

    with path.open("w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["region", "metabolite", "model", "true_rate_per_s",
                         "fitted_mean_per_s", "fitted_std_per_s", "relative_bias",
                         "converged_voxels", "voxels"])
        for row in study.rows:
            writer.writerow([row["region"], row["metabolite"], study.model,
                             cell(row["true"], ".10g"), cell(row["mean"], ".10g"),
                             cell(row["std"], ".10g"), cell(row["bias"], ".6g"),
                             row["converged"], row["voxels"]])


def _slice(result, values: np.ndarray) -> np.ndarray:
    """Per-voxel values on the grid; a 3-D grid's middle slice."""
    image = result.on_grid(values)
    return image[image.shape[0] // 2] if image.ndim == 3 else image


def region_edges(labels: np.ndarray) -> np.ndarray:
    """The voxel edges between different regions of a label image (NaN outside every region),
    as segments ((x0, y0), (x1, y1)) in the coordinates of ``imshow``: outlines that follow
    the voxels, drawn at once, where a contour per region would cut their corners."""
    labels = np.where(np.isfinite(labels), labels, -1.0)
    rows, columns = np.nonzero(labels[:, 1:] != labels[:, :-1])  # between columns c and c + 1
    vertical = np.stack([np.stack([columns + 0.5, rows - 0.5], -1),
                         np.stack([columns + 0.5, rows + 0.5], -1)], 1)
    rows, columns = np.nonzero(labels[1:, :] != labels[:-1, :])  # between rows r and r + 1
    horizontal = np.stack([np.stack([columns - 0.5, rows + 0.5], -1),
                           np.stack([columns + 0.5, rows + 0.5], -1)], 1)
    return np.concatenate([vertical, horizontal]).astype(np.float64)


def plot_study(result, experiment, study: Study, path, *, snr: float | None = None):
    """The study as one figure: true and fitted conversion-rate maps of the first product side
    by side, its AUC-ratio map, the precursor's and the product's mean (phased, coil-combined)
    signal per region with the fit's, and the flip schedules."""
    import matplotlib

    matplotlib.use("Agg", force=False)
    from matplotlib.collections import LineCollection
    from matplotlib.figure import Figure

    from korvel.analysis.metrics import curve_metrics

    fit = study.fit
    product = result.metabolites[1]
    precursor = result.metabolites[0]
    # Fixed margins rather than a layout engine: the figure's parts are known, and the
    # constrained layout's measuring of every tick label took a third of the figure's time.
    figure = Figure(figsize=(15.0, 9.0))
    axes = figure.subplots(2, 3, gridspec_kw=dict(left=0.045, right=0.96, top=0.925,
                                                  bottom=0.125, wspace=0.22, hspace=0.2))
    true = np.asarray(experiment.conversion_rates[0], dtype=np.float64)
    fitted = np.asarray(fit.parameters[f"k_{product}"], dtype=np.float64).reshape(-1)
    ratio = curve_metrics(result)["auc_ratio"][:, 0]
    regions = result.region_names()
    labels = np.asarray([regions.index(r) for r in result.regions], dtype=np.float64)
    outline = _slice(result, labels)
    edges = region_edges(outline)
    top = max(float(np.max(true)), 1e-12) * 1.2

    def show(axis, values, title, label, vmin, vmax, cmap):
        image = axis.imshow(_slice(result, values), cmap=cmap, vmin=vmin, vmax=vmax,
                            interpolation="nearest")
        axis.add_collection(LineCollection(edges, colors="white", linewidths=0.6, alpha=0.6))
        axis.set_title(title)
        axis.set_xticks([])
        axis.set_yticks([])
        axis.set_facecolor("0.15")
        figure.colorbar(image, ax=axis, shrink=0.9, fraction=0.06, pad=0.03, label=label)

    show(axes[0, 0], true, f"true k {precursor}→{product}", "1/s", 0.0, top, "viridis")
    show(axes[0, 1], fitted, f"fitted k {precursor}→{product} ({study.model} model)", "1/s",
         0.0, top, "viridis")
    finite = ratio[np.isfinite(ratio)]
    show(axes[0, 2], ratio, f"AUC ratio {product} / {precursor}", "ratio", 0.0,
         float(np.percentile(finite, 99)) * 1.05 if finite.size else 1.0, "magma")

    magnitude = np.moveaxis(phased_signal(result, experiment), 1, 0)
    names = np.asarray(result.regions)
    colours = matplotlib.colormaps["tab10"](np.arange(len(regions)) % 10)
    model_curves = np.asarray(fit.fitted)  # (nvoxels, nmetabolites, nframes)
    by_region = {row["region"]: row for row in study.rows if row["metabolite"] == product}
    for panel, m in ((axes[1, 0], 0), (axes[1, 1], 1)):
        times = result.readout_times[m]
        for r, region in enumerate(regions):
            inside = names == region
            panel.plot(times, magnitude[m, inside].mean(axis=0), "o", markersize=3.5,
                       color=colours[r])
            if m or study.model != "inputless":  # the inputless model takes pyruvate as measured
                curve = np.nanmean(model_curves[inside, m], axis=0) \
                    if np.any(np.isfinite(model_curves[inside, m])) else None
                if curve is not None:
                    panel.plot(times, curve, "-", linewidth=1.4, color=colours[r])
            else:
                panel.plot(times, magnitude[m, inside].mean(axis=0), "-", linewidth=0.6,
                           color=colours[r], alpha=0.6)
        panel.set_title(f"{result.metabolites[m]}: region mean (dots) and fit (lines)"
                        if m or study.model != "inputless"
                        else f"{precursor}: region mean (drives the fit)")
        panel.set_xlabel("time (s)")
        panel.set_ylabel("signal (a.u.)")
        panel.grid(alpha=0.3)
    handles = [matplotlib.lines.Line2D([], [], color=colours[r], marker="o", markersize=4)
               for r in range(len(regions))]
    legend = []
    for region in regions:
        row = by_region.get(region)
        legend.append(region if row is None else
                      f"{region}: k {row['true']:.3g} → {row['mean']:.3g} ± {row['std']:.2g}")
    figure.legend(handles, legend, loc="lower center", bbox_to_anchor=(0.5, 0.0),
                  ncol=min(len(regions), 4), fontsize=9,
                  title=f"regions: k {product} (1/s) true → fitted mean ± sd", title_fontsize=9,
                  frameon=False)

    flips = axes[1, 2]
    styles = ("o-", "s--", "^:", "d-.")
    for m, name in enumerate(result.metabolites):
        flips.plot(result.readout_times[m], result.metabolite_flip_angles[m],
                   styles[m % len(styles)], markersize=5 - m, linewidth=1.2, label=name)
    flips.set_ylim(0, float(np.max(result.metabolite_flip_angles)) * 1.25)
    b1 = None if experiment.transmit is None else np.abs(np.asarray(experiment.transmit))
    flips.set_title("flip schedules (nominal)" if b1 is None else
                    f"flip schedules (nominal; B1 scales them by {b1.min():.2f}–{b1.max():.2f})")
    flips.set_xlabel("time (s)")
    flips.set_ylabel("flip angle (°)")
    flips.grid(alpha=0.3)
    flips.legend(fontsize=8, loc="lower right")
    noise = "noiseless" if snr is None else f"SNR {snr:g} (brightest pyruvate voxel)"
    figure.suptitle(f"Simulated, noised and fitted: {len(names)} voxels, {noise}, "
                    f"{study.model} model", fontsize=13)
    figure.savefig(path, dpi=110)
    return figure


def format_fit_header(study: Study, snr: float | None) -> str:
    fit = study.fit
    converged = int(np.count_nonzero(fit.converged))
    noise = "noiseless" if snr is None else f"SNR {snr:g}"
    return (f"fit: {study.model} model, {converged}/{fit.converged.size} voxels converged, "
            f"{noise}, {study.seconds:.2f} s")
