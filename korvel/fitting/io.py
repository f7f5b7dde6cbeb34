"""Reading measured series from .npz and MATLAB .mat files; writing the fitted maps and figures."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np

from korvel.fitting.driver import FitError
from korvel.fitting.result import KineticFit

READABLE = (".npz", ".mat")


def read_variables(path: Path) -> dict[str, object]:
    """Every variable of a .npz or MATLAB .mat file (v4 to v7.2) by name."""
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix not in READABLE:
        raise FitError(f"{path}: cannot read {suffix or 'files without a suffix'}; "
                       f"use {' or '.join(READABLE)}")
    if not path.is_file():
        raise FitError(f"{path}: no such file")
    if suffix == ".npz":
        try:
            archive = np.load(path, allow_pickle=False)
        except Exception:  # noqa: BLE001 - zipfile, zlib and numpy each have their own kinds
            raise FitError(f"{path}: not a .npz archive of arrays") from None
        if not isinstance(archive, np.lib.npyio.NpzFile):
            raise FitError(f"{path}: holds one array, not a .npz archive of named arrays")
        try:
            with archive:
                return {name: archive[name] for name in archive.files}
        except Exception as error:  # noqa: BLE001
            raise FitError(f"{path}: a damaged .npz archive ({error})") from None
    try:
        from scipy import io as scipy_io
    except ImportError:
        raise FitError("reading .mat files needs SciPy: pip install scipy") from None
    try:
        contents = scipy_io.loadmat(path, squeeze_me=True)
    except NotImplementedError:
        raise FitError(f"{path}: MATLAB v7.3 (HDF5) files are not read; save with "
                       f"-v7 or as .npz") from None
    except Exception as error:  # noqa: BLE001 - scipy's reader raises many kinds on bad files
        raise FitError(f"{path}: not a readable .mat file ({error})") from None
    return {name: value for name, value in contents.items() if not name.startswith("__")}


def pick(variables: dict[str, object], name: str, path: Path, what: str):
    if name not in variables:
        available = ", ".join(sorted(variables)) or "none"
        raise FitError(f"{path}: no variable {name!r} for the {what} (variables: {available})")
    return variables[name]


def names_from(value) -> tuple[str, ...]:
    """Metabolite names stored as an array of strings (a cell array in MATLAB)."""
    array = np.atleast_1d(np.asarray(value, dtype=object))
    return tuple(str(v).strip() for v in array.ravel())


def write_maps(fit: KineticFit, folder: Path, *, signal=None, dpi: int = 120) -> list[Path]:
    """``maps.npz`` with every map, and a PNG per fitted parameter and per product's R^2 where
    matplotlib is installed and the maps have at least one voxel axis; with the fitted
    ``signal``, ``curves.png``: measured and fitted curves of a few voxels. Returns the files."""
    folder.mkdir(parents=True, exist_ok=True)
    written = [folder / "maps.npz"]
    np.savez(written[0], metabolites=np.array(fit.metabolites), **fit.maps())
    if not fit.shape and signal is None:
        return written
    try:
        import matplotlib
    except ImportError:
        return written
    matplotlib.use("Agg")
    if signal is not None and fit.converged.any():
        written.append(folder / "curves.png")
        _curves(fit, np.asarray(signal, dtype=np.float64), written[-1], dpi)
    figures = [(name, fit.parameters[name], _unit(name)) for name in fit.free]
    figures += [(f"r_squared_{p}", fit.r_squared[p], f"$R^2$ {p}") for p in fit.products]
    for name, values, unit in figures:
        path = folder / f"{name}.png"
        _figure(values, name, unit, fit.converged, path, dpi)
        written.append(path)
    return written


def _unit(name: str) -> str:
    if name.startswith(("k_", "r1_")):
        return f"{name} (1/s)"
    if name in ("arrival", "width"):
        return f"{name} (s)"
    if name == "amplitude":
        return "amplitude (a.u., the input's integral)"
    return f"{name} (signal units)"


def _figure(values: np.ndarray, title: str, label: str, converged: np.ndarray, path: Path,
            dpi: int) -> None:
    from matplotlib import pyplot

    shown = np.where(converged, values, np.nan)
    finite = shown[np.isfinite(shown)]
    if title.startswith("r_squared"):
        limits = (min(0.0, float(finite.min())) if finite.size else 0.0, 1.0)
    elif finite.size:
        low, high = np.percentile(finite, [1, 99])
        limits = (float(low), float(high)) if high > low else (None, None)
    else:
        limits = (None, None)
    if shown.ndim == 1:
        figure, axis = pyplot.subplots(figsize=(6.4, 3.6), constrained_layout=True)
        axis.plot(np.arange(shown.size), shown, marker="o", markersize=3, linestyle="none")
        axis.set_xlabel("voxel")
        axis.set_ylabel(label)
        axis.grid(alpha=0.3)
    else:
        planes = shown.reshape((-1,) + shown.shape[-2:])
        count = planes.shape[0]
        columns = min(count, 4)
        rows = math.ceil(count / columns)
        figure, axes = pyplot.subplots(rows, columns, figsize=(3.4 * columns + 1.2, 3.2 * rows),
                                       squeeze=False, constrained_layout=True)
        cmap = pyplot.get_cmap("viridis").with_extremes(bad="0.85")  # grey: no fit
        for i, axis in enumerate(axes.flat):
            if i >= count:
                axis.set_visible(False)
                continue
            image = axis.imshow(planes[i], cmap=cmap, vmin=limits[0], vmax=limits[1],
                                origin="lower", interpolation="nearest")
            axis.set_xlabel("x (voxel)")
            axis.set_ylabel("y (voxel)")
            if count > 1:
                axis.set_title(f"plane {i}", fontsize=9)
        figure.colorbar(image, ax=axes.ravel().tolist(), label=label, shrink=0.9)
    figure.suptitle(f"{title}: {int(np.count_nonzero(converged))} of {converged.size} voxels "
                    f"converged (grey: no fit)", fontsize=10)
    figure.savefig(path, dpi=dpi)
    pyplot.close(figure)


def _curves(fit: KineticFit, signal: np.ndarray, path: Path, dpi: int) -> None:
    """Measured (points) and fitted (lines) signals of the converged voxels at the 10th, 50th
    and 90th percentiles of the first product's rate, one panel per voxel."""
    from matplotlib import pyplot

    rates = fit.parameters[f"k_{fit.products[0]}"].reshape(-1)
    converged = np.flatnonzero(fit.converged.reshape(-1))
    order = converged[np.argsort(rates[converged], kind="stable")]
    picks = list(dict.fromkeys(order[int(q * (order.size - 1))] for q in (0.1, 0.5, 0.9)))
    measured = signal.reshape((-1,) + signal.shape[-2:])
    fitted = fit.fitted.reshape((-1,) + fit.fitted.shape[-2:])
    time = fit.repetition_time * np.arange(measured.shape[-1])
    figure, axes = pyplot.subplots(1, len(picks), figsize=(4.2 * len(picks), 3.4), squeeze=False,
                                   constrained_layout=True)
    for axis, voxel in zip(axes[0], picks):
        for m, name in enumerate(fit.metabolites):
            line, = axis.plot(time, fitted[voxel, m], label=name)
            axis.plot(time, measured[voxel, m], "o", markersize=3, color=line.get_color())
        index = np.unravel_index(voxel, fit.shape) if fit.shape else ()
        axis.set_title(f"voxel {tuple(int(i) for i in index)}: {fit.names[0]} = "
                       f"{rates[voxel]:.4g} 1/s", fontsize=9)
        axis.set_xlabel("time from the first frame (s)")
        axis.grid(alpha=0.3)
    axes[0, 0].set_ylabel("signal (a.u.)")
    axes[0, -1].legend(frameon=False, fontsize=8)
    figure.suptitle(f"{fit.model} fit: measured (points) and fitted (lines)", fontsize=10)
    figure.savefig(path, dpi=dpi)
    pyplot.close(figure)
