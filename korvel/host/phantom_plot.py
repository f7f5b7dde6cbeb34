"""The figure of a phantom: its regions, tissue maps, transmit field and coils as images."""

from __future__ import annotations

from pathlib import Path

import numpy as np

from korvel.host.experiment import Experiment
from korvel.host.phantom import Phantom

# Beyond this many coils the figure shows their combination only.
_MAX_COIL_PANELS = 8


def _region_maps(source, index: np.ndarray) -> tuple[list, list]:
    """(title, image, colour-bar label) of the tissue maps, and of the fields."""
    if isinstance(source, Phantom):
        regions = source.regions
        inside = index >= 0
        safe = np.where(inside, index, 0)

        def per_region(values):
            return np.where(inside, np.array(values, dtype=np.float64)[safe], np.nan)

        products = list(dict.fromkeys(p for r in regions for p in r.rates))
        tissue = [(f"conversion rate to {p}", per_region([r.rates.get(p, 0.0) for r in regions]),
                   "1/s") for p in products]
        tissue.append(("delivery", per_region([r.delivery for r in regions]), "relative"))
        off = per_region([r.off_resonance for r in regions])
        transmit, receive = source.transmit_map(), source.receive_maps()
    else:
        grid = source.grid
        tissue = [(f"conversion rate to {p.name}", grid.on_grid(rate), "1/s")
                  for p, rate in zip(source.products, source.conversion_rates)]
        tissue.append(("delivery", grid.on_grid(source.delivery), "relative"))
        off = grid.on_grid(source.off_resonance)
        transmit = None if source.transmit is None else grid.on_grid(np.abs(source.transmit))
        receive = None if source.ncoils == 1 and np.all(source.receive == 1) \
            else grid.on_grid(source.receive)
    if np.any(np.nan_to_num(off) != 0):
        tissue.append(("off-resonance", off, "Hz"))
    shape = index.shape
    fields = [("transmit (B1 scale)", np.ones(shape) if transmit is None else np.abs(transmit),
               "relative")]
    if receive is not None:
        magnitude = np.abs(receive)
        if len(receive) <= _MAX_COIL_PANELS:
            fields += [(f"coil {c + 1} sensitivity", m, "magnitude")
                       for c, m in enumerate(magnitude)]
        if len(receive) > 1:
            fields.append(("coils combined (RSS)",
                           np.sqrt(np.sum(magnitude ** 2, axis=0)), "magnitude"))
    return tissue, fields


def plot_phantom(source: Phantom | Experiment, path=None, *, slice_index: int | None = None,
                 dpi: int = 120):
    """Draw a phantom's maps as images with colour bars: the regions, the conversion rates, the
    delivery (and the off-resonance where any is set), then the transmit field and each coil's
    sensitivity. ``source`` is a ``Phantom`` (fields drawn over the whole grid) or an
    ``Experiment`` built from one (everything drawn over its voxels). A 3-D grid shows the slice
    ``slice_index`` of the first axis (default: the middle one). Saves to ``path`` when given,
    and returns the matplotlib Figure. Needs matplotlib (``pip install 'korvel[plot]'``)."""
    try:
        from matplotlib.colors import BoundaryNorm, ListedColormap
        from matplotlib.figure import Figure
    except ImportError as error:
        raise ImportError("plot_phantom needs matplotlib: pip install 'korvel[plot]'") from error
    if isinstance(source, Phantom):
        index = np.array(source.region_map)
        names = list(dict.fromkeys(r.name for r in source.regions))
        by_region = np.array([names.index(r.name) for r in source.regions])
        index = np.where(index >= 0, by_region[np.maximum(index, 0)], -1)
        voxel_size = source.voxel_size
    elif isinstance(source, Experiment) and source.grid is not None:
        names = list(dict.fromkeys(source.regions))
        labels = np.array([names.index(r) for r in source.regions])
        index = np.nan_to_num(source.grid.on_grid(labels), nan=-1).astype(np.int64)
        voxel_size = source.grid.voxel_size
    else:
        raise TypeError("plot_phantom draws a Phantom, or an Experiment built from one")
    tissue, fields = _region_maps(source, index)
    title = "phantom " + " x ".join(str(n) for n in index.shape) + " (" \
        + " x ".join(f"{s:g}" for s in voxel_size) + " mm voxels)"
    if index.ndim == 3:
        count = index.shape[0]
        slice_index = count // 2 if slice_index is None else slice_index
        if isinstance(slice_index, bool) or not isinstance(slice_index, (int, np.integer)) \
                or not 0 <= slice_index < count:
            raise ValueError(f"slice_index must be in [0, {count}), got {slice_index!r}")
        take = lambda image: image[slice_index]  # noqa: E731
        title += f", slice {slice_index} of {count}"
    else:
        take = lambda image: image  # noqa: E731

    columns = max(len(tissue) + 1, len(fields))
    figure = Figure(figsize=(3.1 * columns, 5.8), layout="constrained")
    axes = figure.subplots(2, columns, squeeze=False)
    figure.suptitle(title)
    for axis in axes.flat:
        axis.set_axis_off()

    def show(axis, image, name, label, **style):
        axis.set_axis_on()
        shown = axis.imshow(take(image), interpolation="nearest", **style)
        axis.set_title(name, fontsize=10)
        axis.set_xlabel("column (voxel)")
        axis.set_ylabel("row (voxel)")
        bar = figure.colorbar(shown, ax=axis, shrink=0.8)
        bar.set_label(label)
        return bar

    colours = [(0.93, 0.93, 0.93)] + [tuple(c) for c in _palette(len(names))]
    cmap = ListedColormap(colours)
    norm = BoundaryNorm(np.arange(-1.5, len(names)), cmap.N)
    bar = show(axes[0, 0], index, "regions", "", cmap=cmap, norm=norm)
    bar.set_ticks(np.arange(-1, len(names)), labels=["background", *names])
    bar.ax.tick_params(length=0)
    for axis, (name, image, label) in zip(axes[0, 1:], tissue):
        if "resonance" in name:  # a signed quantity: zero in the middle of the scale
            limit = np.nanmax(np.abs(image))
            show(axis, image, name, label, cmap="coolwarm", vmin=-limit, vmax=limit)
        else:
            show(axis, image, name, label, cmap="magma" if "rate" in name else "viridis")
    for axis, (name, image, label) in zip(axes[1], fields):
        show(axis, image, name, label, cmap="cividis" if "transmit" in name else "gray")
        if isinstance(source, Phantom):  # the regions' outlines over fields drawn everywhere
            for r in range(len(names)):
                axis.contour(take(index) == r, levels=[0.5], colors="white", linewidths=0.6,
                             alpha=0.7)
    if path is not None:
        figure.savefig(Path(path), dpi=dpi)
    return figure


def _palette(count: int) -> np.ndarray:
    from matplotlib import colormaps

    return colormaps["tab10" if count <= 10 else "tab20"](np.arange(count) % 20)


__all__ = ["plot_phantom"]
