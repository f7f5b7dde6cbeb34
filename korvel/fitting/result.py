"""The result of a kinetic fit: parameter maps, their standard errors and the goodness of fit."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True, eq=False)
class KineticFit:
    """Per-voxel estimates of a kinetic model; every map has the leading (voxel) shape of the
    fitted signal. Voxels masked out or too degenerate to fit hold NaN and ``converged`` False.

    ``parameters`` and ``errors`` map every parameter name (``names``, fixed ones included) to a
    map; a fixed parameter's error is 0. ``free`` names the fitted parameters, in the order of
    the last two axes of ``covariance``. ``fitted`` is the model signal (shape of the data; for
    the inputless model the precursor's is the measured one). ``r_squared`` and ``nrmse``
    (root-mean-square residual over the product's peak absolute signal) map each product to a
    map. ``input`` is the estimated input of the precursor per interval between frames
    (..., nframes - 1), in signal units per s (longitudinal magnetization per s).
    """

    model: str
    metabolites: tuple[str, ...]
    names: tuple[str, ...]
    free: tuple[str, ...]
    parameters: dict[str, np.ndarray]
    errors: dict[str, np.ndarray]
    covariance: np.ndarray
    fitted: np.ndarray
    r_squared: dict[str, np.ndarray]
    nrmse: dict[str, np.ndarray]
    input: np.ndarray
    converged: np.ndarray
    iterations: np.ndarray
    repetition_time: float

    @property
    def shape(self) -> tuple[int, ...]:
        """The leading (voxel) shape of every map."""
        return self.converged.shape

    @property
    def products(self) -> tuple[str, ...]:
        return self.metabolites[1:]

    def maps(self) -> dict[str, np.ndarray]:
        """Every map by a flat name: the parameters, ``<name>_error``, ``r_squared_<product>``,
        ``nrmse_<product>``, ``converged`` and ``input``."""
        maps = dict(self.parameters)
        maps.update({f"{name}_error": value for name, value in self.errors.items()})
        maps.update({f"r_squared_{p}": value for p, value in self.r_squared.items()})
        maps.update({f"nrmse_{p}": value for p, value in self.nrmse.items()})
        maps["converged"] = self.converged
        maps["input"] = self.input
        return maps

    def summary(self) -> list[dict]:
        """Per fitted parameter, then per product's R^2: median, mean and standard deviation
        over the converged voxels, median standard error, and the voxel counts."""
        good = self.converged
        rows = []
        entries = [(name, self.parameters[name], self.errors[name]) for name in self.free]
        entries += [(f"R^2 {p}", self.r_squared[p], None) for p in self.products]
        for name, values, errors in entries:
            chosen = values[good]
            count = chosen.size
            rows.append(dict(
                name=name, converged=int(count), voxels=int(values.size),
                median=float(np.median(chosen)) if count else float("nan"),
                mean=float(np.mean(chosen)) if count else float("nan"),
                std=float(np.std(chosen)) if count > 1 else float("nan"),
                error=float(np.median(errors[good])) if count and errors is not None
                else float("nan")))
        return rows

    def format_summary(self) -> str:
        """``summary()`` as an aligned text table."""
        header = ("parameter", "median", "mean", "std", "median error", "converged")
        lines = [header]
        for row in self.summary():
            lines.append((row["name"], f"{row['median']:.5g}", f"{row['mean']:.5g}",
                          f"{row['std']:.3g}", f"{row['error']:.3g}",
                          f"{row['converged']}/{row['voxels']}"))
        widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
        text = []
        for i, line in enumerate(lines):
            cells = [line[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(line[1:],
                                                                                 widths[1:])]
            text.append("  ".join(cells))
            if i == 0:
                text.append("  ".join("-" * w for w in widths))
        return "\n".join(text)
