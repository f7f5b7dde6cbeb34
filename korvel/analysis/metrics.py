"""Model-free metrics of dynamic curves: area ratio, time to peak and mean time.

Every function takes signals shaped ``(..., nmetabolites, nframes)``, the precursor first, and
the frame times (a 1-D array of ``nframes`` increasing times in s, or a scalar TR meaning
``t_n = n TR``), or a :class:`~korvel.SimulationResult`, whose coil-combined magnitude is used
voxel by voxel (the result is then ``(nvoxels, ...)``).

A curve that is zero at every frame, or holds a NaN or an infinity, has no peak and no mean
time: those metrics are NaN there. The area ratio is NaN where the precursor's area is zero or
not finite, and 0 where only the product's curve is zero.
"""

from __future__ import annotations

import numpy as np

from korvel.host.result import SimulationResult

__all__ = ["auc_ratio", "curve_metrics", "frame_times", "mean_time", "time_to_peak"]


def _signals(signal) -> np.ndarray:
    """The curves as float64 (..., nmetabolites, nframes): magnitude of complex input, and of
    a result voxel by voxel."""
    if isinstance(signal, SimulationResult):
        return np.moveaxis(signal.magnitude(), 1, 0)
    array = np.asarray(signal)
    if np.iscomplexobj(array):
        array = np.abs(array)
    try:
        array = array.astype(np.float64, copy=False)
    except (TypeError, ValueError):
        raise TypeError("signal must be an array of numbers") from None
    if array.ndim < 2:
        raise ValueError(f"signal must have shape (..., nmetabolites, nframes), "
                         f"got shape {array.shape}")
    return array


def frame_times(time, nframes: int) -> np.ndarray:
    """``time`` as ``nframes`` frame times: a scalar TR gives ``n TR``; an array is checked."""
    array = np.asarray(time, dtype=np.float64)
    if array.ndim == 0:
        if not (np.isfinite(array) and array > 0):
            raise ValueError(f"the repetition time must be positive and finite, got {time!r}")
        return float(array) * np.arange(nframes)
    if array.shape != (nframes,):
        raise ValueError(f"time must have one value per frame ({nframes}), "
                         f"got shape {array.shape}")
    if not np.all(np.isfinite(array)) or np.any(np.diff(array) <= 0):
        raise ValueError("time must be finite and strictly increasing")
    return array


def _times_of(signal, time) -> np.ndarray:
    if time is None:
        if not isinstance(signal, SimulationResult):
            raise TypeError("time is needed for an array of signals (frame times or the TR)")
        return np.asarray(signal.time, dtype=np.float64)
    return time


def _valid(curves: np.ndarray) -> np.ndarray:
    """True for curves with a peak: finite everywhere and not all zero."""
    return np.all(np.isfinite(curves), axis=-1) & np.any(curves != 0, axis=-1)


def auc_ratio(signal, time=None) -> np.ndarray:
    """Area under each product's curve over the precursor's: ``sum_n S[q, n] / sum_n S[0, n]``.

    Returns ``(..., nmetabolites - 1)``, one ratio per product. ``time`` is accepted for a
    uniform call signature and ignored: with one TR between frames the widths cancel.
    """
    curves = _signals(signal)
    if curves.shape[-2] < 2:
        raise ValueError("an area ratio needs the precursor and at least one product")
    areas = curves.sum(axis=-1)
    precursor = areas[..., :1]
    good = np.isfinite(precursor) & (precursor != 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = areas[..., 1:] / np.where(good, precursor, 1.0)
    return np.where(good, ratio, np.nan)


def time_to_peak(signal, time=None) -> np.ndarray:
    """Time of each curve's largest signal, refined between frames: the vertex of the parabola
    through the peak frame and its two neighbours (kept inside their span); a peak at the first
    or last frame, or a flat top, is the frame's own time. Returns ``(..., nmetabolites)`` in s.
    """
    curves = _signals(signal)
    t = frame_times(_times_of(signal, time), curves.shape[-1])
    valid = _valid(curves)
    safe = np.where(np.isfinite(curves), curves, -np.inf)
    peak = np.argmax(safe, axis=-1)
    peak_time = t[peak]
    if curves.shape[-1] >= 3:
        inner = np.clip(peak, 1, curves.shape[-1] - 2)
        y0, y1, y2 = (np.take_along_axis(safe, (inner + d)[..., None], axis=-1)[..., 0]
                      for d in (-1, 0, 1))
        t0, t1, t2 = t[inner - 1], t[inner], t[inner + 1]
        with np.errstate(divide="ignore", invalid="ignore"):
            slope_left = (y1 - y0) / (t1 - t0)
            slope_right = (y2 - y1) / (t2 - t1)
            curvature = (slope_right - slope_left) / (t2 - t0)
            vertex = 0.5 * (t0 + t1) - slope_left / (2.0 * curvature)
        refine = (peak == inner) & (curvature < 0) & np.isfinite(vertex)
        peak_time = np.where(refine, np.clip(vertex, t0, t2), peak_time)
    return np.where(valid, peak_time, np.nan)


def mean_time(signal, time=None) -> np.ndarray:
    """Signal-weighted mean time ``sum_n t_n S[m, n] / sum_n S[m, n]`` of each curve, in s;
    returns ``(..., nmetabolites)``; NaN where the curve's sum is zero."""
    curves = _signals(signal)
    t = frame_times(_times_of(signal, time), curves.shape[-1])
    total = curves.sum(axis=-1)
    good = _valid(curves) & (total != 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = (curves * t).sum(axis=-1) / np.where(good, total, 1.0)
    return np.where(good, mean, np.nan)


def curve_metrics(signal, time=None) -> dict[str, np.ndarray]:
    """All three metrics at once: ``auc_ratio`` (..., nproducts), ``time_to_peak`` and
    ``mean_time`` (..., nmetabolites)."""
    time = _times_of(signal, time)
    return {"auc_ratio": auc_ratio(signal, time), "time_to_peak": time_to_peak(signal, time),
            "mean_time": mean_time(signal, time)}
