"""The bolus model: an input function feeds the precursor, and korvel's own simulator is the model.

Every fitted voxel is a voxel of one simulated Experiment: the conversion rates and the input's
amplitude (the Experiment's delivery) are per-voxel maps, fitted per voxel; the input's arrival
and width belong to the Experiment's one bolus, so they are shared by the voxels fitted together
and fitted jointly with them (a Levenberg-Marquardt whose normal matrix is solved through the
Schur complement of the shared parameters). Jacobian columns come from extra simulations: one
with every voxel's copy of each per-voxel parameter stepped, one per shared parameter.
"""

from __future__ import annotations

import math

import numpy as np

from korvel.fitting import least_squares
from korvel.fitting.models import DEFAULT_RATE, Layout

# Frame n (time n TR from the first frame) is simulated at (n + 1) TR with korvel's default
# readout delay and pulse duration, as an Acquisition of default timing has it, and the bolus is
# shifted alike: a series simulated with that timing is then the model's own, node for node.
READOUT_DELAY = 0.005
PULSE_DURATION = 0.002
SHARED = ("arrival", "width")
MAX_ITERATIONS = 50
# A joint step that lowers the cost by less than this fraction ends the fit: with the cost about
# sigma^2 times the number of residuals, the estimates then move by well under a hundredth of
# their standard errors, and every further step costs four simulations.
FTOL = 1e-6
# A cost this small a fraction of the data's squares is rounding: an exact fit, nothing to gain.
ROUNDING = (64 * np.finfo(np.float64).eps) ** 2


def timing(tr: float) -> tuple[float, float]:
    """The readout delay and pulse duration of the model's simulation: korvel's defaults,
    shortened for a repetition time too short to hold them."""
    delay = min(READOUT_DELAY, tr / 4.0)
    return delay, min(PULSE_DURATION, 2.0 * delay)


class BolusFit:
    """One joint fit of the voxels given; ``solve`` returns every parameter and its error."""

    def __init__(self, layout: Layout, signal: np.ndarray, angles: np.ndarray, tr: float,
                 r1: np.ndarray, free: tuple[str, ...], start: dict[str, np.ndarray],
                 bounds: dict[str, tuple], shape: str, threads: int):
        self.layout = layout
        self.signal = signal  # (nvoxels, nmetabolites, nframes)
        from korvel.fitting.driver import transmit_scales

        # degrees, (nmetabolites, nframes): the schedule, and each voxel's transmit scale of it
        self.angles, scales = transmit_scales(angles)
        self.transmit = None if np.all(scales == 1.0) else scales
        self.tr = tr
        self.r1 = r1
        self.shape = shape
        self.threads = threads
        self.local = tuple(n for n in layout.names if n in free and n not in SHARED)
        self.shared = tuple(n for n in SHARED if n in free)
        self.start = start
        self.bounds = bounds

    def simulate(self, values: dict[str, np.ndarray]) -> np.ndarray:
        """Magnitudes (nvoxels, nmetabolites, nframes) for per-voxel rates and amplitude and a
        shared arrival and width."""
        from korvel.host.experiment import (Acquisition, Bolus, Experiment, FlipAngles, Inflow,
                                            Metabolite)
        from korvel.host.simulation import simulate

        layout = self.layout
        amplitude = values["amplitude"]
        nvoxels = amplitude.shape[0]
        metabolites = [Metabolite(name, 1.0 / r if r > 0 else math.inf, math.inf, 0.0)
                       for name, r in zip(layout.metabolites, self.r1)]
        schedules = {name: FlipAngles("list", angles=tuple(row.tolist()))
                     for name, row in zip(layout.metabolites, self.angles)}
        if all(np.array_equal(row, self.angles[0]) for row in self.angles):
            schedules = schedules[layout.metabolites[0]]
        delay, pulse = timing(self.tr)
        acquisition = Acquisition(self.tr, self.angles.shape[-1], schedules,
                                  first_excitation=self.tr, readout_delay=delay,
                                  pulse_duration=pulse)
        # the stacked copies of the Jacobian's simulation repeat the voxels in order
        transmit = None if self.transmit is None \
            else np.tile(self.transmit, nvoxels // self.transmit.size)
        bolus = Bolus(self.shape, arrival=float(values["arrival"]) + self.tr,
                      duration=float(values["width"]))
        experiment = Experiment(
            metabolites[0], tuple(metabolites[1:]),
            tuple(values[f"k_{p}"] for p in layout.products), acquisition=acquisition,
            nvoxels=nvoxels, inflow=Inflow(bolus), delivery=amplitude, transmit=transmit)
        result = simulate(experiment, num_threads=self.threads, progress=False)
        return np.moveaxis(result.magnitude(), 0, 1)

    def _values(self, local: np.ndarray, shared: np.ndarray) -> dict[str, np.ndarray]:
        values = dict(self.start)
        for i, name in enumerate(self.local):
            values[name] = local[:, i]
        for i, name in enumerate(self.shared):
            values[name] = shared[i]
        return values

    def _residuals(self, local, shared) -> np.ndarray:
        simulated = self.simulate(self._values(local, shared))
        return (simulated - self.signal).reshape(self.signal.shape[0], -1)

    def _jacobian(self, local, shared, residuals):
        """Forward differences: (nlocal, nvoxels, nresiduals) and (nshared, nvoxels, nresid.)."""
        nvoxels, nlocal = local.shape
        step = math.sqrt(np.finfo(np.float64).eps)
        local_columns = np.empty((nlocal, nvoxels, residuals.shape[-1]))
        if nlocal:
            # every column's stepped copy of every voxel in one simulation
            h = step * np.maximum(np.abs(local), self._typical_local(local))
            stacked = np.concatenate([local] * nlocal)
            for i in range(nlocal):
                stacked[i * nvoxels:(i + 1) * nvoxels, i] += h[:, i]
            taken = np.concatenate([stacked[i * nvoxels:(i + 1) * nvoxels, i] - local[:, i]
                                    for i in range(nlocal)])
            values = self._values(stacked, shared)
            values = {k: (v if np.ndim(v) == 0 or k in self.local else np.concatenate([v] * nlocal))
                      for k, v in values.items()}
            simulated = self.simulate(values).reshape(nlocal * nvoxels, -1)
            base = np.concatenate([residuals] * nlocal) + np.concatenate([self.flat] * nlocal)
            local_columns = ((simulated - base) / taken[:, np.newaxis]).reshape(
                nlocal, nvoxels, -1)
        shared_columns = np.empty((len(self.shared), nvoxels, residuals.shape[-1]))
        for i in range(len(self.shared)):
            h = step * max(abs(shared[i]), self.tr)
            moved = shared.copy()
            moved[i] += h
            shared_columns[i] = (self._residuals(local, moved) - residuals) / (moved[i] - shared[i])
        return local_columns, shared_columns

    def _typical_local(self, local):
        typical = np.full(local.shape, 1e-2)
        for i, name in enumerate(self.local):
            if name == "amplitude":
                typical[:, i] = np.maximum(np.abs(self.start["amplitude"]), 1e-12)
        return typical

    def solve(self):
        nvoxels = self.signal.shape[0]
        self.flat = self.signal.reshape(nvoxels, -1)
        local = np.stack([self.start[n] for n in self.local] + [np.empty(nvoxels)],
                         axis=-1)[:, :-1].copy()
        shared = np.array([float(self.start[n]) for n in self.shared])
        low_local = np.stack([np.broadcast_to(self.bounds[n][0], (nvoxels,)) for n in self.local]
                             + [np.empty(nvoxels)], axis=-1)[:, :-1]
        high_local = np.stack([np.broadcast_to(self.bounds[n][1], (nvoxels,))
                               for n in self.local] + [np.empty(nvoxels)], axis=-1)[:, :-1]
        # The simulation starts one repetition before the first frame: the input cannot
        # arrive earlier.
        low_shared = np.array([max(float(np.min(self.bounds[n][0])), -self.tr)
                               if n == "arrival" else float(np.min(self.bounds[n][0]))
                               for n in self.shared])
        high_shared = np.array([float(np.max(self.bounds[n][1])) for n in self.shared])
        residuals = self._residuals(local, shared)
        cost = float(np.sum(residuals * residuals))
        floor = ROUNDING * float(np.sum(self.flat * self.flat))
        # The start (the inputless rates, the precursor's input) is close: Gauss-Newton steps,
        # damped only as far as a failed step asks.
        damping = 1e-6
        converged = False
        iterations = 0
        local_columns, shared_columns = self._jacobian(local, shared, residuals)
        for iterations in range(1, MAX_ITERATIONS + 1):
            # A voxel's parameter on a bound that its descent pushes through is held for this
            # step, so the others (and the shared ones) move as the problem on that face asks:
            # clipped steps of all of them at once stall near a rate of zero.
            descent = least_squares.gradient(local_columns, residuals) if self.local else \
                np.zeros(local.shape)
            pinned = ((local <= low_local) & (descent > 0)) | \
                ((local >= high_local) & (descent < 0))
            step_local, step_shared, _ = self._step(local_columns, shared_columns, residuals,
                                                    damping, pinned)
            # A shared parameter on a bound that the step pushes through is held for this step.
            held = ((shared <= low_shared) & (step_shared < 0)) | \
                ((shared >= high_shared) & (step_shared > 0))
            if held.any():
                step_local, kept, _ = self._step(local_columns, shared_columns[~held],
                                                 residuals, damping, pinned)
                step_shared = np.zeros_like(shared)
                step_shared[~held] = kept
            trial_local = np.clip(local + step_local, low_local, high_local)
            trial_shared = np.clip(shared + step_shared, low_shared, high_shared)
            if np.all(np.isfinite(trial_local)) and np.all(np.isfinite(trial_shared)):
                trial = self._residuals(trial_local, trial_shared)
                trial_cost = float(np.sum(trial * trial))
            else:  # a singular step: damp harder
                trial_cost = math.inf
            small = (np.all(np.abs(trial_local - local)
                            <= 1e-10 * (np.abs(local) + self._typical_local(local)))
                     and np.all(np.abs(trial_shared - shared) <= 1e-10 * (np.abs(shared)
                                                                          + self.tr)))
            if trial_cost < cost:
                flat = cost - trial_cost <= FTOL * cost
                local, shared, residuals, cost = trial_local, trial_shared, trial, trial_cost
                damping = max(damping / 10.0, 1e-12)
                if small or flat or cost <= floor:
                    # The Jacobian of the point before this last, small step serves the
                    # covariance: it differs from the one here by far less than its own error.
                    converged = True
                    break
                local_columns, shared_columns = self._jacobian(local, shared, residuals)
            else:
                # At the tiny damping of steps that went well, growing it fourfold per failed
                # step (a simulation each) would take a dozen steps to matter.
                damping = max(damping * 4.0, 1e-3)
                if small or damping > 1e16:
                    converged = small
                    break
        # Every accepted step that does not end the fit recomputes the Jacobian: it is at the
        # final point, or (see above) at the one before the last, small step.
        _, _, covariance = self._step(local_columns, shared_columns, residuals, 0.0)
        return local, shared, residuals, covariance, converged, iterations

    def _step(self, local_columns, shared_columns, residuals, damping, pinned=None):
        """The damped Gauss-Newton step of the joint problem, and at zero damping the
        covariances: per voxel of its own parameters (shared uncertainty included) and of the
        shared ones. ``pinned`` (nvoxels, nlocal) marks parameters held where they are.

        A voxel whose own normal matrix is singular (no signal left to move its parameters)
        takes no step and has no covariance, and is left out of the shared parameters' Schur
        complement, which it would otherwise fill with NaN for every voxel."""
        nlocal, nshared = local_columns.shape[0], shared_columns.shape[0]
        nvoxels = residuals.shape[0]
        h_local = least_squares.normal_matrix(local_columns)  # (nvoxels, nlocal, nlocal)
        cross = np.stack([np.stack([np.sum(local_columns[i] * shared_columns[j], axis=-1)
                                    for j in range(nshared)] + [np.empty(nvoxels)], axis=-1)
                          for i in range(nlocal)] + [np.empty((nvoxels, nshared + 1))],
                         axis=1)[:, :nlocal, :nshared]
        g_local = least_squares.gradient(local_columns, residuals) if nlocal else \
            np.zeros((nvoxels, 0))
        g_shared = np.array([np.sum(shared_columns[j] * residuals) for j in range(nshared)])
        h_shared = np.array([[np.sum(shared_columns[i] * shared_columns[j])
                              for j in range(nshared)] for i in range(nshared)])
        if damping:
            for i in range(nlocal):
                h_local[:, i, i] = h_local[:, i, i] * (1.0 + damping) + 1e-300
            for j in range(nshared):
                h_shared[j, j] = h_shared[j, j] * (1.0 + damping)
        if pinned is not None and pinned.any():
            free = ~pinned
            h_local = np.where(free[:, :, np.newaxis] & free[:, np.newaxis, :], h_local, 0.0) \
                + pinned[:, :, np.newaxis] * np.eye(nlocal)
            cross = np.where(free[:, :, np.newaxis], cross, 0.0)
            g_local = np.where(free, g_local, 0.0)
        factor, ok = least_squares.cholesky(h_local)
        solve = lambda rhs: least_squares.cholesky_solve(factor, rhs)  # noqa: E731
        local_inverse_cross = np.stack([solve(cross[:, :, j]) for j in range(nshared)]
                                       + [np.empty((nvoxels, nlocal))], axis=-1)[..., :nshared]
        local_inverse_gradient = solve(g_local) if nlocal else g_local
        local_inverse_cross[~ok] = 0.0
        local_inverse_gradient[~ok] = 0.0
        cross = np.where(ok[:, np.newaxis, np.newaxis], cross, 0.0)
        schur = h_shared - np.einsum("vij,vik->jk", cross, local_inverse_cross)
        rhs = g_shared - np.einsum("vij,vi->j", cross, local_inverse_gradient)
        if nshared:
            try:
                step_shared = -np.linalg.solve(schur, rhs)
                schur_inverse = np.linalg.inv(schur)
            except np.linalg.LinAlgError:
                step_shared = np.full(nshared, np.nan)
                schur_inverse = np.full((nshared, nshared), np.nan)
        else:
            step_shared = np.zeros(0)
            schur_inverse = np.zeros((0, 0))
        step_local = -(local_inverse_gradient
                       + np.einsum("vij,j->vi", local_inverse_cross, step_shared))
        if damping:
            return step_local, step_shared, None
        nresiduals = residuals.shape[-1]
        local_inverse, ok = least_squares.covariance_inverse(h_local)
        with np.errstate(divide="ignore", invalid="ignore"):
            variance = np.sum(residuals * residuals, axis=-1) / (nresiduals - nlocal)
            pooled = np.sum(residuals * residuals) / (nvoxels * (nresiduals - nlocal) - nshared)
        spread = np.einsum("vij,jk,vlk->vil", local_inverse_cross, schur_inverse,
                           local_inverse_cross)
        local_covariance = variance[:, None, None] * (local_inverse + spread)
        local_covariance[~ok] = np.nan
        return None, None, (local_covariance, pooled * schur_inverse)


def starting_values(layout: Layout, signal: np.ndarray, tr: float, angles: np.ndarray,
                    initial: dict, fixed: dict, threads: int) -> dict[str, np.ndarray]:
    """Rates from the inputless fit of the same data, arrival and width from the precursor
    curves of the brightest voxels (``input_start``), amplitude by linear least squares
    against a unit-amplitude simulation (by the caller)."""
    from korvel.fitting.driver import fit_kinetics

    nvoxels = signal.shape[0]
    start: dict[str, np.ndarray] = {}
    rates = fit_kinetics(signal, tr, angles,
                         metabolites=layout.metabolites,
                         fixed={f"r1_{m}": float(fixed[f"r1_{m}"][0])
                                for m in layout.metabolites}, num_threads=threads)
    for product in layout.products:
        name = f"k_{product}"
        guess = rates.parameters[name]
        start[name] = np.where(np.isfinite(guess), guess, DEFAULT_RATE)
    rate_sum = sum(start[f"k_{p}"] for p in layout.products)
    arrival, width = input_start(signal, angles, tr, float(fixed[f"r1_{layout.metabolites[0]}"][0]),
                                 rate_sum)
    start["arrival"] = np.array(arrival)
    start["width"] = np.array(width)
    start["amplitude"] = np.ones(nvoxels)
    return start


def fit_bolus(layout: Layout, signal: np.ndarray, angles: np.ndarray, tr: float,
              fixed: dict[str, np.ndarray], initial: dict[str, np.ndarray],
              bounds: dict[str, tuple], usable: np.ndarray, shape: tuple[int, ...],
              input_shape: str, threads: int):
    """The bolus model over the usable voxels; the maps of ``KineticFit`` in flat form.

    ``angles`` holds the angles in degrees, (nvoxels, nmetabolites, nframes): one schedule
    times a transmit scale per voxel;
    ``fixed`` and ``initial`` hold one value per voxel (R1, arrival and width uniform).
    """
    from korvel.fitting.driver import FitError
    from korvel.fitting.result import KineticFit

    names = layout.names
    nvoxels, nmetabolites, nframes = signal.shape
    free = tuple(n for n in names if n not in fixed)
    voxels = np.nonzero(usable)[0]
    parameters = np.full((nvoxels, len(names)), np.nan)
    errors = np.full((nvoxels, len(names)), np.nan)
    nfree_local = len([n for n in free if n not in SHARED])
    covariance = np.full((nvoxels, len(free), len(free)), np.nan)
    fitted = np.full(signal.shape, np.nan)
    converged = np.zeros(nvoxels, dtype=bool)
    iterations = np.zeros(nvoxels, dtype=int)
    if voxels.size:
        data = signal[voxels]
        r1 = np.array([float(fixed[f"r1_{m}"][0]) for m in layout.metabolites])
        start = starting_values(layout, data, tr, angles[voxels], initial, fixed, threads)
        for name in names:
            if name in fixed:
                start[name] = fixed[name][voxels] if name not in SHARED else \
                    np.array(fixed[name][0])
            elif name in initial:
                start[name] = initial[name][voxels] if name not in SHARED else \
                    np.array(initial[name][0])
        problem = BolusFit(layout, data, angles[voxels], tr, r1, free, start,
                           {n: tuple(np.asarray(b)[voxels] if np.size(b) > 1 else b
                                     for b in bounds[n]) for n in names},
                           input_shape, threads)
        if "amplitude" in free and "amplitude" not in initial:
            unit = problem.simulate(dict(start, amplitude=np.ones(voxels.size)))
            with np.errstate(divide="ignore", invalid="ignore"):
                scale = np.sum(unit * data, axis=(1, 2)) / np.sum(unit * unit, axis=(1, 2))
            start["amplitude"] = np.where(np.isfinite(scale) & (scale > 0), scale, 1.0)
        try:
            local, shared, residuals, (local_cov, shared_cov), ok, count = problem.solve()
        except ValueError as error:  # an Experiment the simulator refuses
            raise FitError(f"bolus model: {error}") from None
        values = problem._values(local, shared)
        for i, name in enumerate(names):
            parameters[voxels, i] = np.broadcast_to(
                values[name] if not name.startswith("r1_") else r1[layout.metabolites.index(
                    name[3:])], voxels.shape)
            errors[voxels, i] = 0.0
        for i, name in enumerate(problem.local):
            errors[voxels, names.index(name)] = np.sqrt(local_cov[:, i, i])
        for i, name in enumerate(problem.shared):
            errors[voxels, names.index(name)] = math.sqrt(shared_cov[i, i]) \
                if shared_cov[i, i] >= 0 else np.nan
        order = [problem.local.index(n) if n in problem.local else None for n in free]
        block = np.full((voxels.size, len(free), len(free)), np.nan)
        for a, i in enumerate(order):
            for b, j in enumerate(order):
                if i is not None and j is not None:
                    block[:, a, b] = local_cov[:, i, j]
                elif i is None and j is None:
                    block[:, a, b] = shared_cov[problem.shared.index(free[a]),
                                                problem.shared.index(free[b])]
        covariance[voxels] = block
        fitted[voxels] = residuals.reshape(data.shape) + data
        good = np.all(np.isfinite(local_cov.reshape(voxels.size, -1)), axis=-1) \
            if nfree_local else np.ones(voxels.size, dtype=bool)
        converged[voxels] = ok & good
        bad = voxels[~good]
        parameters[bad] = errors[bad] = fitted[bad] = np.nan
        iterations[voxels] = count
    from korvel.fitting.driver import _goodness
    r_squared, nrmse = _goodness(signal[:, 1:], fitted[:, 1:])
    times = tr * np.arange(nframes)
    input_curve = np.full((nvoxels, nframes), np.nan)
    if voxels.size:
        from korvel.host.experiment import Bolus

        arrival, width = parameters[voxels[0], names.index("arrival")], \
            parameters[voxels[0], names.index("width")]
        if np.isfinite(arrival) and np.isfinite(width):
            # counted, as in the model's simulation, from one repetition before frame 0
            rate = Bolus(input_shape, arrival=float(arrival) + tr,
                         duration=float(width)).rate(times + tr)
            input_curve[voxels] = parameters[voxels, names.index("amplitude"), None] * rate
    return KineticFit(
        model="bolus", metabolites=layout.metabolites, names=names, free=free,
        parameters={n: parameters[:, i].reshape(shape) for i, n in enumerate(names)},
        errors={n: errors[:, i].reshape(shape) for i, n in enumerate(names)},
        covariance=covariance.reshape(shape + (len(free), len(free))),
        fitted=fitted.reshape(shape + (nmetabolites, nframes)),
        r_squared={p: r_squared[:, q].reshape(shape) for q, p in enumerate(layout.products)},
        nrmse={p: nrmse[:, q].reshape(shape) for q, p in enumerate(layout.products)},
        input=input_curve.reshape(shape + (nframes,)),
        converged=converged.reshape(shape), iterations=iterations.reshape(shape),
        repetition_time=tr)


# The voxels, quadrature nodes per interval and grid of ``input_start``.
_START_VOXELS = 64
_START_NODES = 33
_START_ARRIVALS = 25
_START_WIDTHS = 24


def _precursor_responses(arrival, width, tr, nframes, decay, remaining):
    """The precursor's longitudinal magnetization just before each frame for a unit-dose gamma
    input of each (arrival, width), from one repetition before the first frame on:
    (ncandidates, nvoxels, nframes). The input's integral over each interval by Simpson's rule,
    the decay ``decay`` (nvoxels,) exact between frames, each pulse leaving ``remaining``
    (nvoxels, nframes) of it."""
    from korvel.host.experiment import Bolus

    arrival = np.atleast_1d(np.asarray(arrival, dtype=np.float64))
    width = np.atleast_1d(np.asarray(width, dtype=np.float64))
    tau = np.linspace(0.0, tr, _START_NODES)
    simpson = np.ones(_START_NODES)
    simpson[1:-1:2], simpson[2:-1:2] = 4.0, 2.0
    simpson *= tr / (3.0 * (_START_NODES - 1))
    # interval n ends at frame n; the first one, from one repetition before frame 0, has no
    # pulse at its start
    times = tr * (np.arange(nframes) - 1.0)[:, np.newaxis] + tau  # (nframes, nodes)
    shape = Bolus().gamma_shape
    scale = width / shape
    elapsed = np.maximum(times[np.newaxis] - arrival[:, np.newaxis, np.newaxis], 0.0) \
        / scale[:, np.newaxis, np.newaxis]
    with np.errstate(divide="ignore", invalid="ignore"):
        density = np.where(elapsed > 0, np.exp((shape - 1.0) * np.log(elapsed) - elapsed
                                               - math.lgamma(shape)), 0.0)
    density /= scale[:, np.newaxis, np.newaxis]
    weights = np.exp(-decay[:, np.newaxis] * (tr - tau)) * simpson  # (nvoxels, nodes)
    added = np.einsum("cnj,vj->cvn", density, weights)
    carried = np.exp(-decay * tr)[:, np.newaxis] * remaining[:, :-1]
    response = np.empty(added.shape)
    response[..., 0] = added[..., 0]
    for n in range(nframes - 1):
        response[..., n + 1] = carried[:, n] * response[..., n] + added[..., n + 1]
    return response


def _projected_cost(response, measured):
    """The residual sum of squares of ``measured`` (nvoxels, nframes) after each voxel's best
    amplitude times ``response`` (ncandidates, nvoxels, nframes): (ncandidates,)."""
    cross = np.sum(response * measured, axis=-1)
    power = np.sum(response * response, axis=-1)
    with np.errstate(divide="ignore", invalid="ignore"):
        explained = np.where(power > 0, cross * cross / power, 0.0)
    return np.sum(measured * measured) - np.sum(explained, axis=-1)


def input_start(signal: np.ndarray, angles: np.ndarray, tr: float, r1_precursor: float,
                rate_sum: np.ndarray) -> tuple[float, float]:
    """Arrival and width of the gamma input that best explain the precursor's measured
    longitudinal magnetization in the brightest voxels (each with its own amplitude), with the
    decay R1 + sum of the starting rates: a grid search, then a simplex search from its best
    point. ``angles`` in degrees, (nvoxels, nmetabolites, nframes)."""
    from scipy.optimize import minimize

    nframes = signal.shape[-1]
    if nframes < 3:
        return 0.0, tr
    brightness = np.sum(np.abs(signal[:, 0]), axis=-1)
    chosen = np.argsort(-brightness, kind="stable")[:_START_VOXELS]
    theta = np.radians(angles[chosen, 0])
    measured = signal[chosen, 0] / np.sin(theta)
    remaining = np.cos(theta)
    decay = r1_precursor + np.asarray(rate_sum, dtype=np.float64)[chosen]
    decay = np.where(np.isfinite(decay), decay, r1_precursor)
    span = tr * (nframes - 1)
    peak = tr * int(np.argmax(np.sum(measured, axis=0)))
    arrivals = np.linspace(-tr, max(peak, tr), _START_ARRIVALS)
    widths = np.geomspace(tr / 2.0, max(span, tr), _START_WIDTHS)
    grid_a, grid_w = (g.reshape(-1) for g in np.meshgrid(arrivals, widths, indexing="ij"))
    cost = _projected_cost(_precursor_responses(grid_a, grid_w, tr, nframes, decay,
                                                remaining), measured)
    best = int(np.argmin(cost))

    def objective(point):
        arrival, log_width = point
        if arrival < -tr:
            return math.inf
        response = _precursor_responses(arrival, math.exp(log_width), tr, nframes, decay,
                                        remaining)
        return float(_projected_cost(response, measured)[0])

    found = minimize(objective, [grid_a[best], math.log(grid_w[best])], method="Nelder-Mead",
                     options=dict(xatol=1e-4, fatol=0.0, maxfev=200))
    arrival, log_width = found.x if found.fun <= cost[best] else (grid_a[best],
                                                                    math.log(grid_w[best]))
    return max(float(arrival), -tr), float(math.exp(log_width))
