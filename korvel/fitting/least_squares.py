"""A Levenberg-Marquardt least-squares solver for many small independent problems at once.

Every voxel is its own problem with its own damping, bounds and stopping test; one model call
evaluates all voxels still iterating, and one more call (the perturbed parameters stacked on a
leading axis) gives their forward-difference Jacobians. All arithmetic is element by element
across voxels, so a voxel's iterates do not depend on the other voxels of the batch.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

import numpy as np

# Relative pivot below which a normalised normal matrix counts as singular (condition ~ 1e12).
SINGULAR = 1e-12
_DIFFERENCE_STEP = np.sqrt(np.finfo(np.float64).eps)


@dataclass
class Solution:
    parameters: np.ndarray  # (nvoxels, nfree)
    residuals: np.ndarray  # (nvoxels, nresiduals)
    jacobian: np.ndarray  # (nfree, nvoxels, nresiduals), at the parameters
    converged: np.ndarray  # (nvoxels,) bool
    iterations: np.ndarray  # (nvoxels,) int


def cholesky(matrix: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Lower factor of symmetric matrices (..., p, p) and whether each is positive definite
    (every pivot above SINGULAR times its diagonal entry). Failed factors hold NaN."""
    p = matrix.shape[-1]
    factor = np.zeros_like(matrix)
    ok = np.ones(matrix.shape[:-2], dtype=bool)
    for j in range(p):
        pivot = matrix[..., j, j].copy()
        for k in range(j):
            pivot = pivot - factor[..., j, k] * factor[..., j, k]
        good = pivot > SINGULAR * np.abs(matrix[..., j, j])
        ok &= good
        root = np.sqrt(np.where(good, pivot, np.nan))
        factor[..., j, j] = root
        for i in range(j + 1, p):
            value = matrix[..., i, j].copy()
            for k in range(j):
                value = value - factor[..., i, k] * factor[..., j, k]
            factor[..., i, j] = value / root
    return factor, ok


def cholesky_solve(factor: np.ndarray, rhs: np.ndarray) -> np.ndarray:
    """Solves L L^T x = rhs for (..., p) right-hand sides."""
    p = factor.shape[-1]
    y = np.empty_like(rhs)
    for i in range(p):
        value = rhs[..., i].copy()
        for k in range(i):
            value = value - factor[..., i, k] * y[..., k]
        y[..., i] = value / factor[..., i, i]
    x = np.empty_like(rhs)
    for i in range(p - 1, -1, -1):
        value = y[..., i].copy()
        for k in range(i + 1, p):
            value = value - factor[..., k, i] * x[..., k]
        x[..., i] = value / factor[..., i, i]
    return x


def normal_matrix(jacobian: np.ndarray) -> np.ndarray:
    """J^T J per voxel from the columns (p, nvoxels, nresiduals): (nvoxels, p, p)."""
    p, nvoxels = jacobian.shape[:2]
    matrix = np.empty((nvoxels, p, p))
    for i in range(p):
        for j in range(i + 1):
            matrix[:, i, j] = matrix[:, j, i] = np.sum(jacobian[i] * jacobian[j], axis=-1)
    return matrix


def gradient(jacobian: np.ndarray, residuals: np.ndarray) -> np.ndarray:
    return np.stack([np.sum(column * residuals, axis=-1) for column in jacobian], axis=-1)


def covariance_inverse(matrix: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(J^T J)^-1 through the correlation form, so columns of any scale are judged alike;
    NaN and False where the matrix is singular."""
    diagonal = np.einsum("...ii->...i", matrix).copy()
    with np.errstate(divide="ignore", invalid="ignore"):
        norm = 1.0 / np.sqrt(diagonal)
        scaled = matrix * norm[..., :, np.newaxis] * norm[..., np.newaxis, :]
    factor, ok = cholesky(np.where(np.isfinite(scaled), scaled, 0.0))
    ok &= np.all(diagonal > 0, axis=-1)
    p = matrix.shape[-1]
    identity = np.broadcast_to(np.eye(p), matrix.shape)
    inverse = np.empty_like(matrix)
    for i in range(p):
        inverse[..., i] = cholesky_solve(factor, identity[..., i])
    inverse = inverse * norm[..., :, np.newaxis] * norm[..., np.newaxis, :]
    inverse[~ok] = np.nan
    return inverse, ok


def _cost(residuals: np.ndarray) -> np.ndarray:
    return np.sum(residuals * residuals, axis=-1)


def levenberg_marquardt(residual: Callable[[np.ndarray, np.ndarray], np.ndarray],
                        start: np.ndarray, lower: np.ndarray, upper: np.ndarray,
                        typical: np.ndarray, *, max_iterations: int = 100,
                        xtol: float = 1e-10, ftol: float = 1e-14) -> Solution:
    """Minimises |residual(theta)|^2 for every voxel within [lower, upper].

    ``residual(theta, voxels)`` maps parameters (..., len(voxels), nfree) of the voxels with
    the given indices to residuals (..., len(voxels), nresiduals). ``typical`` is a magnitude
    per parameter: it sets the difference step where a parameter is near zero and the absolute
    part of the step test. A voxel stops when a step changes every parameter by less than
    ``xtol`` (|theta| + typical), when an accepted step lowers the cost by less than ``ftol``
    of it, or at zero cost; trial steps are projected onto the bounds.
    """
    nvoxels, nfree = start.shape
    theta = np.clip(start, lower, upper)
    everyone = np.arange(nvoxels)
    residuals = residual(theta, everyone)
    jacobian = _jacobian(residual, theta, residuals, lower, upper, typical, everyone)
    cost = _cost(residuals)
    damping = np.full(nvoxels, 1e-3)
    converged = np.zeros(nvoxels, dtype=bool)
    iterations = np.zeros(nvoxels, dtype=int)
    active = everyone[np.isfinite(cost) & (cost > 0)]
    converged[cost == 0] = True
    for _ in range(max_iterations):
        if active.size == 0:
            break
        iterations[active] += 1
        columns = jacobian[:, active]
        matrix = normal_matrix(columns)
        diagonal = np.einsum("...ii->...i", matrix).copy()
        floor = SINGULAR * np.max(diagonal, axis=-1, keepdims=True)
        diagonal = np.maximum(diagonal, floor)
        damped = matrix.copy()
        for i in range(nfree):
            damped[:, i, i] = matrix[:, i, i] + damping[active] * diagonal[:, i]
        descent = gradient(columns, residuals[active])
        current = theta[active]
        # A parameter on a bound that the step would push through is held for this step, so
        # the others move as the problem on that face of the box asks (no zig-zag at a bound).
        held = (((current <= lower[active]) & (descent > 0))
                | ((current >= upper[active]) & (descent < 0)))
        if held.any():
            moving = ~held
            damped = np.where(moving[:, :, np.newaxis] & moving[:, np.newaxis, :], damped, 0.0)
            damped = damped + held[:, :, np.newaxis] * np.eye(nfree)
            descent = np.where(held, 0.0, descent)
        factor, ok = cholesky(damped)
        step = -cholesky_solve(factor, descent)
        trial = np.clip(current + step, lower[active], upper[active])
        trial_residuals = residual(trial, active)
        trial_cost = _cost(trial_residuals)
        old_cost = cost[active]
        accepted = ok & (trial_cost < old_cost)
        moved = np.abs(trial - current)
        small = np.all(moved <= xtol * (np.abs(current) + typical[active]), axis=-1)
        flat = accepted & (old_cost - trial_cost <= ftol * old_cost)

        winners = active[accepted]
        theta[winners] = trial[accepted]
        residuals[winners] = trial_residuals[accepted]
        cost[winners] = trial_cost[accepted]
        if winners.size:
            jacobian[:, winners] = _jacobian(residual, theta[winners], residuals[winners],
                                             lower[winners], upper[winners], typical[winners],
                                             winners)
        damping[active] = np.where(accepted, np.maximum(damping[active] / 3.0, 1e-12),
                                   damping[active] * 4.0)
        finished = small | flat | (cost[active] == 0)
        converged[active] = finished
        done = finished | (damping[active] > 1e20)
        active = active[~done]
    return Solution(theta, residuals, jacobian, converged, iterations)


def _jacobian(residual, theta, residuals, lower, upper, typical, voxels) -> np.ndarray:
    """Forward differences, every parameter at once: (nfree, nvoxels, nresiduals). A parameter
    at its upper bound steps down."""
    nfree = theta.shape[-1]
    step = _DIFFERENCE_STEP * np.maximum(np.abs(theta), typical)
    step = np.where(theta + step > upper, -step, step)
    shifted = np.broadcast_to(theta, (nfree,) + theta.shape).copy()
    for i in range(nfree):
        shifted[i, :, i] = theta[:, i] + step[:, i]
    # The step actually taken, after rounding of theta + step.
    taken = np.stack([shifted[i, :, i] - theta[:, i] for i in range(nfree)])
    return (residual(shifted, voxels) - residuals) / taken[..., np.newaxis]
