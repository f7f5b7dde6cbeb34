"""``fit_kinetics``: checks the arguments, fits every voxel of a map together, assembles the maps.

Voxels go through the solver in chunks of a fixed size, whatever the thread count, and every
operation on a chunk is element by element across its voxels: the same bits for any
``num_threads``.
"""

from __future__ import annotations

import math
import numbers
import os
from concurrent.futures import ThreadPoolExecutor
from typing import Mapping, Sequence

import numpy as np

from korvel.fitting import least_squares
from korvel.fitting.models import (DEFAULT_METABOLITES, DEFAULT_RATE, MODELS, InputlessData,
                                   Layout, excitation_scales)
from korvel.fitting.result import KineticFit

# Voxels per solver call: at most CHUNK, fewer where the precursor-noise term's per-voxel
# (nproducts * nframes, nframes) matrices would pass CHUNK_VALUES doubles. Set by the data's
# shape alone, never by the thread count.
CHUNK = 512
CHUNK_VALUES = 2**22
MAX_ITERATIONS = 100
_NOTHING = 1e-12  # an excitation factor this small measures or carries nothing


class FitError(ValueError):
    """Arguments a fit cannot start from; the message names the argument."""


def _fail(message: str):
    raise FitError(message)


def _real_array(name: str, value) -> np.ndarray:
    try:
        array = np.asarray(value)
    except Exception:  # noqa: BLE001 - anything numpy cannot read is reported the same way
        _fail(f"{name} must be an array of real numbers")
    if array.dtype.kind in "c":
        _fail(f"{name} must be real (magnitudes or the real part of phased data), "
              f"got a complex array")
    if array.dtype.kind not in "biuf":
        _fail(f"{name} must be an array of real numbers, got dtype {array.dtype}")
    return array.astype(np.float64)


def _voxel_values(name: str, value, shape: tuple[int, ...]) -> np.ndarray:
    """A scalar or a map broadcast to the leading shape, flattened to one value per voxel."""
    array = _real_array(name, value)
    try:
        return np.broadcast_to(array, shape).reshape(-1)
    except ValueError:
        _fail(f"{name} must be a scalar or a map of the voxel shape {shape}, "
              f"got shape {array.shape}")


def _parameter_maps(argument: str, given, names: tuple[str, ...],
                    shape: tuple[int, ...]) -> dict[str, np.ndarray]:
    if given is None:
        return {}
    if not isinstance(given, Mapping):
        _fail(f"{argument} must map parameter names to values, got {type(given).__name__}")
    unknown = [key for key in given if key not in names]
    if unknown:
        _fail(f"{argument}: unknown parameter {unknown[0]!r}; the parameters are "
              f"{', '.join(names)}")
    return {key: _voxel_values(f"{argument}[{key!r}]", value, shape)
            for key, value in given.items()}


def _with_defaults(fixed, layout: Layout):
    """The default fixed values updated by ``fixed``; a value of None frees the parameter."""
    if fixed is None:
        return layout.default_fixed()
    if not isinstance(fixed, Mapping) or any(name not in layout.names for name in fixed):
        return fixed  # _parameter_maps reports it
    merged = {**layout.default_fixed(), **fixed}
    return {name: value for name, value in merged.items() if value is not None}


def _bounds(given, layout: Layout, shape: tuple[int, ...]) -> dict[str, tuple]:
    bounds = {name: tuple(np.full(1, v) for v in pair)
              for name, pair in layout.default_bounds().items()}
    if given is None:
        return bounds
    if not isinstance(given, Mapping):
        _fail(f"bounds must map parameter names to (low, high), got {type(given).__name__}")
    for key, pair in given.items():
        if key not in layout.names:
            _fail(f"bounds: unknown parameter {key!r}; the parameters are "
                  f"{', '.join(layout.names)}")
        if not isinstance(pair, Sequence) or isinstance(pair, str) or len(pair) != 2:
            _fail(f"bounds[{key!r}] must be a pair (low, high)")
        low = _voxel_values(f"bounds[{key!r}] low", pair[0], shape)
        high = _voxel_values(f"bounds[{key!r}] high", pair[1], shape)
        if np.any(np.isnan(low)) or np.any(np.isnan(high)) or not np.all(low < high):
            _fail(f"bounds[{key!r}] must have low < high (to hold a parameter, use fixed)")
        bounds[key] = (low, high)
    return bounds


def _thread_count(num_threads) -> int:
    if num_threads is None:
        return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") \
            else (os.cpu_count() or 1)
    if isinstance(num_threads, bool) or not isinstance(num_threads, numbers.Integral) \
            or num_threads < 1:
        _fail(f"num_threads must be a positive integer, got {num_threads!r}")
    return int(num_threads)


def _from_result(result, repetition_time, flip_angles, metabolites):
    """The coil-combined magnitude of a simulation and what it was acquired with."""
    magnitude = np.moveaxis(result.magnitude(), 0, 1)  # (nvoxels, nmetabolites, nexcitations)
    if repetition_time is None:
        repetition_time = result.repetition_time
    if flip_angles is None:
        flip_angles = np.broadcast_to(result.metabolite_flip_angles, magnitude.shape[-2:])
    if metabolites is None:
        metabolites = result.metabolites
    return magnitude, repetition_time, flip_angles, metabolites


def fit_kinetics(signal, repetition_time: float | None = None, flip_angles=None, *,
                 metabolites: Sequence[str] | None = None, model: str = "inputless",
                 fixed: Mapping[str, object] | None = None,
                 initial: Mapping[str, object] | None = None,
                 bounds: Mapping[str, tuple] | None = None, mask=None,
                 num_threads: int | None = None, precursor_noise: bool = True,
                 input_shape: str = "gamma") -> KineticFit:
    """Fit a kinetic model to a measured dynamic series, every voxel at once.

    Parameters
    ----------
    signal : array (..., nmetabolites, nframes), or a ``korvel.SimulationResult``
        Real signals, precursor first (magnitudes, or the real part of phased data); leading
        axes are voxels. A simulation result is fitted with its coil-combined magnitude, its
        repetition time, flip angles and metabolite names (each overridable here).
    repetition_time : float
        Time between frames in s.
    flip_angles : array (nmetabolites, nframes * k) or (..., nmetabolites, nframes * k)
        Flip angles in degrees, the k excitations of each frame together (spectroscopic phase
        encodes: no relaxation between them); leading axes give per-voxel (B1-corrected) angles.
    metabolites : names, default ("pyruvate", "lactate", "bicarbonate", "alanine")[:n]
    model : "inputless" or "bolus"
        inputless: the measured precursor drives the products; the products' signals are
        fitted. bolus: an input of ``input_shape`` ("gamma", a gamma variate of shape 4 whose
        width at half maximum is about ``width``, is the only one for now) with a per-voxel
        ``amplitude`` and a shared ``arrival`` and ``width`` (s, from the first frame; at
        most one repetition before it) feeds the precursor, and every metabolite's signal is
        fitted with korvel's own simulator as the model (every metabolite starts at zero; one
        flip angle per frame and metabolite, the same schedule in every voxel up to a
        per-voxel transmit scale, as B1-corrected angles are; R1s fixed; arrival and width
        are one value for the voxels fitted together). The model simulates frame n at
        (n + 1) TR with korvel's default readout delay, so a series korvel simulated with its
        default timing is reproduced exactly, sampling of the input included.
    fixed : {name: scalar or map}
        Parameters held at given values. Default: every ``r1_<metabolite>`` at its typical
        value (1/30 pyruvate, 1/25 lactate and alanine, 1/15 bicarbonate, 1/25 others, in 1/s),
        so ``k_<product>`` and ``m0_<product>`` are fitted. A given mapping updates that
        default; None frees a parameter (``{"r1_lactate": None}`` fits lactate's R1 too).
    initial : {name: scalar or map}
        Starting values. Default: R1 at the typical values above; k and m0 from a linear
        least-squares solve of the products at the starting precursor decay.
    bounds : {name: (low, high)}
        Default: rates and R1 in [0, inf), m0 unbounded. Steps are projected onto them.
    mask : bool map
        Voxels to fit; the others hold NaN.
    num_threads : int
        Threads over chunks of voxels (default: the CPUs available); the same bits for any.
    precursor_noise : bool
        The inputless model takes the measured precursor as its driver, so the precursor's
        noise moves the estimates too. True (default): the standard errors count it, taking
        the precursor's samples to be as noisy as the products' (one receiver). False: the
        precursor is exact and the covariance is sigma^2 (J^T J)^-1 alone.

    Returns
    -------
    KineticFit
        Maps of the parameters (``k_<product>``, ``r1_<metabolite>``, ``m0_<product>``), their
        standard errors (from the Jacobian at the optimum and the residual variance), the fitted
        signal, R^2 and normalised RMS error per product, the estimated input and ``converged``.

    Voxels that cannot be fitted (all zero, fewer than two frames, a NaN or infinite sample,
    a precursor with no effect on the products, angles whose sine or, before the last frame,
    cosine is not positive) give NaN and ``converged`` False. Malformed arguments raise
    ``FitError`` before any work.
    """
    from korvel.host.result import SimulationResult

    if isinstance(signal, SimulationResult):
        signal, repetition_time, flip_angles, metabolites = _from_result(
            signal, repetition_time, flip_angles, metabolites)
    if model not in MODELS:
        _fail(f"model must be one of {', '.join(MODELS)}, got {model!r}")
    signal = _real_array("signal", signal)
    if signal.ndim < 2:
        _fail(f"signal must have shape (..., nmetabolites, nframes), got shape {signal.shape}")
    nmetabolites, nframes = signal.shape[-2:]
    if nmetabolites < 2:
        _fail(f"signal needs the precursor and at least one product, got {nmetabolites} "
              f"metabolite{'s' * (nmetabolites != 1)}")
    if nframes < 1:
        _fail("signal has no frames")
    shape = signal.shape[:-2]
    if isinstance(repetition_time, bool) or not isinstance(repetition_time, numbers.Real) \
            or not math.isfinite(repetition_time) or repetition_time <= 0:
        _fail(f"repetition_time must be a positive number of seconds, got {repetition_time!r}")
    if flip_angles is None:
        _fail("flip_angles are needed: (nmetabolites, nframes * k) in degrees")
    angles = _real_array("flip_angles", flip_angles)
    if angles.ndim < 2 or angles.shape[-2] != nmetabolites or angles.shape[-1] == 0 \
            or angles.shape[-1] % nframes:
        _fail(f"flip_angles must have shape (..., {nmetabolites}, {nframes} * k) for "
              f"{nmetabolites} metabolites, {nframes} frames and k excitations per frame, "
              f"got shape {angles.shape}")
    try:
        angles = np.broadcast_to(angles, shape + angles.shape[-2:])
    except ValueError:
        _fail(f"flip_angles' leading shape {angles.shape[:-2]} does not match the signal's "
              f"voxel shape {shape}")
    if metabolites is None:
        if nmetabolites > len(DEFAULT_METABOLITES):
            _fail(f"metabolites must name the {nmetabolites} metabolites")
        metabolites = DEFAULT_METABOLITES[:nmetabolites]
    if isinstance(metabolites, str) or not isinstance(metabolites, Sequence) \
            or len(metabolites) != nmetabolites \
            or not all(isinstance(m, str) and m.strip() for m in metabolites) \
            or len(set(metabolites)) != nmetabolites:
        _fail(f"metabolites must be {nmetabolites} distinct names, precursor first, "
              f"got {metabolites!r}")
    layout = Layout(tuple(metabolites), model)
    fixed_maps = _parameter_maps("fixed", _with_defaults(fixed, layout), layout.names, shape)
    initial_maps = _parameter_maps("initial", initial, layout.names, shape)
    bound_maps = _bounds(bounds, layout, shape)
    if mask is None:
        voxel_mask = np.ones(int(np.prod(shape)), dtype=bool)
    else:
        mask_array = np.asarray(mask)
        if mask_array.dtype != bool:
            _fail(f"mask must be a boolean map, got dtype {mask_array.dtype}")
        voxel_mask = _voxel_values("mask", mask_array, shape).astype(bool)
    threads = _thread_count(num_threads)

    if model == "bolus":
        _check_bolus(angles, nframes, fixed_maps, initial_maps, layout, input_shape)
    problem = _Problem(layout, signal.reshape((-1, nmetabolites, nframes)),
                       np.radians(angles).reshape((-1,) + angles.shape[-2:]),
                       float(repetition_time), fixed_maps, initial_maps, bound_maps, voxel_mask,
                       bool(precursor_noise))
    if model == "bolus":
        from korvel.fitting.bolus import fit_bolus

        return fit_bolus(layout, problem.signal, angles.reshape((-1,) + angles.shape[-2:]),
                         problem.tr, fixed_maps, initial_maps, bound_maps,
                         problem._usable(np.arange(problem.signal.shape[0])), shape,
                         input_shape, threads)
    return problem.solve(threads, shape)


def _check_bolus(angles, nframes, fixed, initial, layout, input_shape) -> None:
    """What the simulator behind the bolus model can represent today."""
    from korvel.fitting.models import BOLUS_SHAPES

    if input_shape not in BOLUS_SHAPES:
        _fail(f"input_shape must be one of {', '.join(BOLUS_SHAPES)}, got {input_shape!r}")
    if input_shape != "gamma":
        # Moving a boxcar's edge by 1e-9 of its width moves the simulated signal by up to a few
        # percent of its peak, so no derivative of the fit could be trusted.
        _fail("the bolus model fits a gamma-variate input only: the simulated boxcar's signal "
              "jumps as its edges move")
    if angles.shape[-1] != nframes or transmit_scales(angles) is None:
        _fail("the bolus model needs one flip angle per frame and metabolite, the same in "
              "every voxel up to a transmit (B1) scale of the voxel (its simulator applies "
              "one pulse per frame and one B1 scale per voxel)")
    for name in layout.names:
        uniform = name.startswith("r1_") or name in ("arrival", "width")
        for given in (fixed, initial):
            if uniform and name in given and not np.all(given[name] == given[name][0]):
                _fail(f"the bolus model needs one {name} for the whole map")
        if name.startswith("r1_") and name not in fixed:
            _fail(f"the bolus model needs {name} fixed (its simulator relaxes every voxel "
                  f"alike)")


def transmit_scales(angles: np.ndarray):
    """Per-voxel angles (..., nmetabolites, nframes) as one schedule (nmetabolites, nframes)
    times a scale per voxel (flat), or None when they are not of that form. The schedule is
    the first voxel's whose angles are not all zero (its scale 1)."""
    flat = angles.reshape((-1,) + angles.shape[-2:])
    peaks = np.max(np.abs(flat), axis=(1, 2))
    nonzero = np.nonzero(peaks > 0)[0]
    if nonzero.size == 0:
        return flat[0], np.ones(flat.shape[0])
    schedule = flat[nonzero[0]]
    scales = peaks / peaks[nonzero[0]]
    if not np.allclose(flat, scales[:, None, None] * schedule, rtol=1e-12, atol=0.0):
        return None
    return schedule, scales


class _Problem:
    """The flattened fit: (nvoxels, nmetabolites, nframes) data and per-voxel settings."""

    def __init__(self, layout, signal, angles, tr, fixed, initial, bounds, mask,
                 precursor_noise):
        self.precursor_noise = precursor_noise
        self.layout = layout
        self.signal = signal
        self.nframes = signal.shape[-1]
        self.scale, self.remaining = excitation_scales(angles, self.nframes)
        self.tr = tr
        self.fixed = fixed
        self.initial = initial
        self.bounds = bounds
        self.free = tuple(n for n in layout.names if n not in fixed)
        self.mask = mask

    def _usable(self, voxels: np.ndarray) -> np.ndarray:
        """Voxels the model can be fitted to at all."""
        signal = self.signal[voxels]
        scale = np.broadcast_to(self.scale[voxels], signal.shape)
        remaining = np.broadcast_to(self.remaining[voxels], signal.shape)
        usable = self.mask[voxels] & (self.nframes >= 2)
        usable &= np.all(np.isfinite(signal), axis=(1, 2)) & np.any(signal != 0, axis=(1, 2))
        # 90 degrees leaves cos = 6e-17, not 0: anything that small counts as nothing
        usable &= np.all(scale > _NOTHING, axis=(1, 2))
        usable &= np.all(remaining[..., :-1] > _NOTHING, axis=(1, 2))
        for values in (*self.fixed.values(), *self.initial.values()):
            usable &= np.isfinite(values[voxels])
        return usable

    def solve(self, threads: int, shape: tuple[int, ...]) -> KineticFit:
        layout = self.layout
        nvoxels, nmetabolites, nframes = self.signal.shape
        nfree = len(self.free)
        out = dict(
            parameters=np.full((nvoxels, len(layout.names)), np.nan),
            errors=np.full((nvoxels, len(layout.names)), np.nan),
            covariance=np.full((nvoxels, nfree, nfree), np.nan),
            fitted=np.full(self.signal.shape, np.nan),
            r_squared=np.full((nvoxels, layout.nproducts), np.nan),
            nrmse=np.full((nvoxels, layout.nproducts), np.nan),
            input=np.full((nvoxels, max(nframes - 1, 0)), np.nan),
            converged=np.zeros(nvoxels, dtype=bool),
            iterations=np.zeros(nvoxels, dtype=int),
        )
        size = max(1, min(CHUNK, CHUNK_VALUES // (layout.nproducts * nframes * nframes)))
        chunks = [np.arange(first, min(first + size, nvoxels))
                  for first in range(0, nvoxels, size)]
        if threads == 1 or len(chunks) <= 1:
            for chunk in chunks:
                self._solve_chunk(chunk, out)
        else:
            with ThreadPoolExecutor(max_workers=min(threads, len(chunks))) as pool:
                list(pool.map(lambda chunk: self._solve_chunk(chunk, out), chunks))
        names = layout.names
        return KineticFit(
            model="inputless", metabolites=layout.metabolites, names=names, free=self.free,
            parameters={n: out["parameters"][:, i].reshape(shape) for i, n in enumerate(names)},
            errors={n: out["errors"][:, i].reshape(shape) for i, n in enumerate(names)},
            covariance=out["covariance"].reshape(shape + (nfree, nfree)),
            fitted=out["fitted"].reshape(shape + (nmetabolites, nframes)),
            r_squared={p: out["r_squared"][:, q].reshape(shape)
                       for q, p in enumerate(layout.products)},
            nrmse={p: out["nrmse"][:, q].reshape(shape) for q, p in enumerate(layout.products)},
            input=out["input"].reshape(shape + (max(nframes - 1, 0),)),
            converged=out["converged"].reshape(shape),
            iterations=out["iterations"].reshape(shape),
            repetition_time=self.tr,
        )

    def _solve_chunk(self, chunk: np.ndarray, out: dict) -> None:
        voxels = chunk[self._usable(chunk)]
        if voxels.size == 0:
            return
        layout = self.layout
        data = InputlessData(layout, self.signal[voxels], self.scale[voxels],
                             self.remaining[voxels], self.tr)
        parameters = self._starting_point(data, voxels)
        free_index = [layout.names.index(n) for n in self.free]
        low, high = (np.stack([self._map(self.bounds[n][side], voxels) for n in self.free]
                              + [np.empty(voxels.size)], axis=-1)[:, :-1] for side in (0, 1))
        typical = self._typical(data, parameters)[:, free_index]

        subsets = _SubsetCache(data)
        solution = least_squares.levenberg_marquardt(
            lambda theta, rows: subsets.get(rows).residuals(_fill(parameters[rows], theta,
                                                                  free_index)),
            parameters[:, free_index], low, high, typical, max_iterations=MAX_ITERATIONS)
        parameters[:, free_index] = solution.parameters
        inverse, ok = least_squares.covariance_inverse(
            least_squares.normal_matrix(solution.jacobian))
        ok &= np.all(np.isfinite(solution.parameters), axis=-1)
        covariance = self._covariance(data, parameters, solution, inverse)
        errors = np.zeros_like(parameters)
        errors[:, free_index] = np.sqrt(np.einsum("...ii->...i", covariance))
        fitted = data.fitted_signal(parameters)
        good = voxels[ok]
        out["parameters"][good] = parameters[ok]
        out["errors"][good] = errors[ok]
        out["covariance"][good] = covariance[ok]
        out["fitted"][good] = fitted[ok]
        out["r_squared"][good], out["nrmse"][good] = _goodness(data.signal[ok, 1:],
                                                               fitted[ok, 1:])
        out["input"][good] = data.input(parameters)[ok]
        out["converged"][good] = solution.converged[ok]
        out["iterations"][voxels] = solution.iterations

    def _covariance(self, data, parameters, solution, inverse) -> np.ndarray:
        """sigma^2 (J^T J)^-1, widened by the measured precursor's noise where it counts.

        With the precursor's samples as noisy as the products' (variance sigma^2) and K the
        residuals' derivative with respect to them, the estimates' covariance is
        sigma^2 (H^-1 + H^-1 B B^T H^-1), H = J^T J, B = J^T K, and the expected residual sum
        of squares sigma^2 (dof + |K|^2 - trace(H^-1 B B^T)) sets sigma^2.
        """
        nvoxels, nresiduals = solution.residuals.shape
        nfree = len(self.free)
        cost = np.sum(solution.residuals * solution.residuals, axis=-1)
        effective = np.full(nvoxels, float(nresiduals - nfree))
        covariance = inverse
        if self.precursor_noise and nfree:
            columns = np.moveaxis(solution.jacobian, 0, -1)  # (nvoxels, nresiduals, nfree)
            sensitivity = data.precursor_sensitivity(parameters)
            b = np.matmul(np.swapaxes(columns, 1, 2), sensitivity)
            spread = np.matmul(inverse, b)
            covariance = inverse + np.matmul(spread, np.swapaxes(spread, 1, 2))
            effective = effective + np.sum(sensitivity * sensitivity, axis=(1, 2)) \
                - np.sum(spread * b, axis=(1, 2))
        with np.errstate(divide="ignore", invalid="ignore"):
            variance = np.where(effective > 0, cost / effective, np.nan) \
                if nresiduals > nfree else np.full(nvoxels, np.nan)
        return variance[:, np.newaxis, np.newaxis] * covariance

    def _map(self, values: np.ndarray, voxels: np.ndarray) -> np.ndarray:
        return values[voxels] if values.size > 1 else np.broadcast_to(values, voxels.shape)

    def _starting_point(self, data: InputlessData, voxels: np.ndarray) -> np.ndarray:
        """Every parameter per voxel: fixed and initial values where given, typical R1, and
        k and m0 by linear least squares of the products at the starting precursor decay."""
        layout = self.layout
        nproducts = layout.nproducts
        parameters = np.empty((voxels.size, len(layout.names)))
        given = dict(layout.default_fixed())
        for i, name in enumerate(layout.names):
            if name in self.fixed:
                parameters[:, i] = self.fixed[name][voxels]
            elif name in self.initial:
                parameters[:, i] = self.initial[name][voxels]
            elif name in given:
                parameters[:, i] = given[name]
            elif name.startswith("k_"):
                parameters[:, i] = DEFAULT_RATE
            else:  # m0: the measured first frame
                q = layout.products.index(name[3:])
                parameters[:, i] = data.longitudinal[:, q + 1, 0]
        solve = [name for name in layout.names if name not in self.fixed
                 and name not in self.initial and name[:3] in ("k_", "m0_")]
        if not solve:
            return self._clip(parameters, voxels)
        signal = data.signal[:, 1:, :]
        scale = data.scale[:, 1:, :]
        for _ in range(2):  # the rates also set the precursor's decay: refine once
            first, second = data.linear_parts(parameters)
            columns, unknown = [], []
            for q, product in enumerate(layout.products):
                rate_i, m0_i = layout.names.index(f"k_{product}"), layout.names.index(
                    f"m0_{product}")
                known = np.zeros_like(signal[:, q])
                cols = []
                for index, part in ((m0_i, first[:, q]), (rate_i, second[:, q])):
                    if layout.names[index] in solve:
                        cols.append((index, part * scale[:, q]))
                    else:
                        known = known + parameters[:, index, np.newaxis] * part * scale[:, q]
                if cols:
                    columns.append((cols, signal[:, q] - known))
                    unknown.append(q)
            for cols, target in columns:
                jac = np.stack([c for _, c in cols])
                factor, ok = least_squares.cholesky(least_squares.normal_matrix(jac))
                solution = least_squares.cholesky_solve(
                    factor, least_squares.gradient(jac, target))
                for j, (index, _) in enumerate(cols):
                    parameters[:, index] = np.where(ok & np.isfinite(solution[:, j]),
                                                    solution[:, j], parameters[:, index])
            parameters = self._clip(parameters, voxels)
        return parameters

    def _clip(self, parameters: np.ndarray, voxels: np.ndarray) -> np.ndarray:
        for i, name in enumerate(self.layout.names):
            if name in self.fixed:
                continue
            low, high = (self._map(v, voxels) for v in self.bounds[name])
            parameters[:, i] = np.clip(parameters[:, i], low, high)
        return parameters

    def _typical(self, data: InputlessData, parameters: np.ndarray) -> np.ndarray:
        """A magnitude per parameter and voxel: 1e-2 1/s for rates, the product's largest
        measured magnetization for m0."""
        typical = np.full(parameters.shape, 1e-2)
        peak = np.max(np.abs(data.longitudinal[:, 1:, :]), axis=-1)
        typical[:, self.layout.m0_slice()] = np.where(peak > 0, peak, 1.0)
        return typical


class _SubsetCache:
    """The data of the voxels a solver call names, kept while the same set comes back."""

    def __init__(self, data: InputlessData):
        self.data = data
        self.rows = None
        self.subset = data

    def get(self, rows: np.ndarray) -> InputlessData:
        if self.rows is None or self.rows.shape != rows.shape or np.any(self.rows != rows):
            self.rows = rows.copy()
            self.subset = self.data.subset(rows)
        return self.subset


def _fill(parameters: np.ndarray, theta: np.ndarray, free_index: list[int]) -> np.ndarray:
    full = np.broadcast_to(parameters, theta.shape[:-1] + parameters.shape[-1:]).copy()
    full[..., free_index] = theta
    return full


def _goodness(signal: np.ndarray, fitted: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """R^2 and RMS residual over the peak absolute signal, per voxel and product."""
    residual = np.sum((signal - fitted) ** 2, axis=-1)
    mean = np.mean(signal, axis=-1, keepdims=True)
    spread = np.sum((signal - mean) ** 2, axis=-1)
    peak = np.max(np.abs(signal), axis=-1)
    with np.errstate(divide="ignore", invalid="ignore"):
        r_squared = np.where(spread > 0, 1.0 - residual / spread, np.nan)
        nrmse = np.where(peak > 0, np.sqrt(residual / signal.shape[-1]) / peak, np.nan)
    return r_squared, nrmse
