"""Model-free curve metrics: area ratio, time to peak between frames, mean time."""

from __future__ import annotations

import numpy as np
import pytest

import korvel
from korvel.analysis.metrics import auc_ratio, curve_metrics, mean_time, time_to_peak

NAN = np.nan


def parabola(times, top, vertex=1.0, curvature=0.01):
    return vertex - curvature * (np.asarray(times) - top) ** 2


@pytest.mark.parametrize("times", [
    np.arange(12) * 3.0,                                   # uniform TR
    np.array([0.0, 1.0, 3.0, 4.5, 7.0, 8.0, 11.0, 15.0]),  # uneven frames
], ids=["uniform", "uneven"])
@pytest.mark.parametrize("fraction", [0.0, 0.23, 0.5, 0.81])
def test_time_to_peak_is_the_vertex_of_sampled_parabolas(times, fraction):
    # The peak frame k: a top between t_k and the midpoint toward a neighbour keeps k the peak.
    k = len(times) // 2
    top = times[k] + fraction * 0.5 * (times[k + 1] - times[k])
    curve = np.stack([parabola(times, top), parabola(times, top)])
    assert time_to_peak(curve, times) == pytest.approx([top, top], abs=1e-12)


@pytest.mark.parametrize("curve,expected", [
    ([5.0, 4.0, 3.0, 1.0], 0.0),        # peak at the first frame: not refined
    ([1.0, 2.0, 3.0, 5.0], 9.0),        # at the last frame
    ([1.0, 4.0, 4.0, 4.0, 1.0], 4.5),   # plateau: the parabola through its first frame
    ([4.0, 4.0, 4.0, 4.0], 0.0),        # flat: the first frame, no curvature to refine by
    ([0.0, 0.0, 0.0, 0.0], NAN),        # zero curve: no peak (not the first frame)
    ([0.0, 1.0, NAN, 0.0], NAN),        # a NaN anywhere: no peak
    ([0.0, np.inf, 1.0, 0.0], NAN),
    ([-1.0, -0.5, -2.0, -3.0], 2.25),   # negative values (real parts) still have a peak
    ([2.0], 0.0),                       # one frame
    ([1.0, 3.0], 3.0),                  # two frames: no neighbours to refine with
])
def test_time_to_peak_edges(curve, expected):
    curve = np.array([curve], dtype=float)
    got = time_to_peak(curve, 3.0)[0]
    if np.isnan(expected):
        assert np.isnan(got)
    else:
        assert got == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize("precursor,product,expected", [
    ([1.0, 2.0, 1.0], [0.5, 0.5, 1.0], 0.5),
    ([1.0, 2.0, 1.0], [0.0, 0.0, 0.0], 0.0),   # no product: a true zero ratio
    ([0.0, 0.0, 0.0], [1.0, 1.0, 1.0], NAN),   # no precursor: undefined
    ([1.0, NAN, 1.0], [1.0, 1.0, 1.0], NAN),
])
def test_auc_ratio(precursor, product, expected):
    got = auc_ratio(np.array([precursor, product]))
    assert got.shape == (1,)
    np.testing.assert_equal(got, [expected])


def test_mean_time_and_batched_shapes(rng):
    times = np.array([1.0, 2.0, 4.0, 8.0])
    curves = rng.random((3, 2, 4, 4))  # (..., metabolites, frames)
    curves[1, 0, 2] = 0.0              # one zero curve among others
    metrics = curve_metrics(curves, times)
    assert metrics["auc_ratio"].shape == (3, 2, 3)
    assert metrics["time_to_peak"].shape == metrics["mean_time"].shape == (3, 2, 4)
    with np.errstate(invalid="ignore"):
        expected = (curves * times).sum(-1) / curves.sum(-1)
    np.testing.assert_allclose(metrics["mean_time"], expected, rtol=1e-15)
    assert np.isnan(metrics["time_to_peak"][1, 0, 2])
    # symmetric curve: the mean time is its centre
    assert mean_time(np.array([[1.0, 3.0, 3.0, 1.0]]), 2.0)[0] == pytest.approx(3.0)


@pytest.mark.parametrize("call,error,message", [
    (lambda: time_to_peak(np.ones((2, 4))), TypeError, "time is needed"),
    (lambda: time_to_peak(np.ones((2, 4)), [0, 1, 2]), ValueError, "one value per frame"),
    (lambda: time_to_peak(np.ones((2, 3)), [0, 2, 1]), ValueError, "strictly increasing"),
    (lambda: mean_time(np.ones((2, 3)), -3.0), ValueError, "positive"),
    (lambda: auc_ratio(np.ones((1, 3))), ValueError, "at least one product"),
    (lambda: auc_ratio(np.ones(3)), ValueError, "nmetabolites, nframes"),
    (lambda: auc_ratio(np.array([["a", "b"], ["c", "d"]], dtype=object)), TypeError, "numbers"),
])
def test_wrong_input_is_one_clear_error(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_a_result_gives_voxel_metrics_at_its_readout_times():
    result = korvel.simulate(small_experiment(), "reference")
    metrics = curve_metrics(result)
    magnitude = np.moveaxis(result.magnitude(), 1, 0)
    np.testing.assert_array_equal(metrics["time_to_peak"], time_to_peak(magnitude, result.time))
    assert metrics["auc_ratio"].shape == (result.signal.shape[2], 1)
    # the voxel without conversion has a zero product curve: ratio 0, no peak, no mean time
    assert metrics["auc_ratio"][2, 0] == 0.0
    assert np.isnan(metrics["time_to_peak"][2, 1]) and np.isnan(metrics["mean_time"][2, 1])
    assert np.all(np.isfinite(metrics["time_to_peak"][:2]))


def small_experiment(**changes) -> korvel.Experiment:
    """Three voxels in two regions, inflow, one product; the last voxel converts nothing."""
    fields = dict(
        precursor=korvel.Metabolite("pyruvate", 30.0, 0.3, 171.0),
        products=(korvel.Metabolite("lactate", 25.0, 0.3, 183.0),),
        conversion_rates=([0.05, 0.02, 0.0],), nvoxels=3,
        regions=("tumour", "tumour", "vessel"), receive=[[1.0, 0.5, 0.2], [0.3j, 0.8, 1.0]],
        acquisition=korvel.Acquisition(repetition_time=2.0, excitations=12,
                                       flip_angles=korvel.FlipAngles("constant", 20.0)),
        inflow=korvel.Inflow(korvel.Bolus("gamma", arrival=2.0, duration=6.0)),
        max_half_interval=0.5,
    )
    fields.update(changes)
    return korvel.Experiment(**fields)
