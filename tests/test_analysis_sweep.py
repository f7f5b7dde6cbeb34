"""Sweeps: the grid, its labelled axes, agreement with single runs, seeds, parameters, errors."""

from __future__ import annotations

import dataclasses

import numpy as np
import pytest

import korvel
from korvel.analysis import Labelled, Metric, apply_parameter, auc_ratio
from korvel.host.experiment import ExperimentError
from test_analysis_metrics import small_experiment


@pytest.fixture(scope="module")
def experiment():
    return small_experiment()


def test_noiseless_grid_equals_single_runs(experiment):
    rates, flips = [0.01, 0.04], [10.0, 25.0, 40.0]
    study = korvel.sweep(experiment, {"rate.lactate": rates, "flip_angle": flips},
                         metrics=("auc_ratio", "time_to_peak"), workers=3, backend="reference")
    ratio = study["auc_ratio"]
    assert ratio.dims == ("rate.lactate", "flip_angle", "region", "product")
    assert ratio.shape == (2, 3, 2, 1)
    assert ratio.coords["region"] == ("tumour", "vessel") and ratio.coords["product"] == (
        "lactate",)
    assert ratio.parameter_units == {"rate.lactate": "1/s", "flip_angle": "°"}
    assert study["time_to_peak"].units == "s"
    for i, rate in enumerate(rates):
        for j, flip in enumerate(flips):
            single = korvel.simulate(dataclasses.replace(
                experiment, conversion_rates=(rate,), acquisition=dataclasses.replace(
                    experiment.acquisition, flip_angles=korvel.FlipAngles("constant", flip))),
                "reference")
            expected = auc_ratio(np.moveaxis(single.region_curves(), 1, 0))
            np.testing.assert_array_equal(ratio.values[i, j], expected)
            assert ratio.sel(**{"rate.lactate": rate, "flip_angle": flip}).values.shape == (2, 1)


def test_noise_draws_are_reproducible_whatever_the_workers(experiment):
    grid = {"b1_scale": [0.8, 1.0, 1.2]}
    runs = [korvel.sweep(experiment, grid, metrics="mean_time", snr=15, draws=6, seed=11,
                         workers=w) for w in (1, 3)]
    first = runs[0]["mean_time"]
    assert first.dims == ("b1_scale", "draw", "region", "metabolite")
    assert np.array_equal(first.values, runs[1]["mean_time"].values, equal_nan=True)
    again = korvel.sweep(experiment, grid, metrics="mean_time", snr=15, draws=6,
                         seed=np.random.default_rng(11))
    other = korvel.sweep(experiment, grid, metrics="mean_time", snr=15, draws=6, seed=12)
    assert not np.array_equal(first.values, other["mean_time"].values)
    assert again["mean_time"].shape == first.shape
    # the draws differ from one another, and their spread is what std() reports
    spread = runs[0].std("mean_time")
    assert spread.dims == ("b1_scale", "region", "metabolite") and np.all(spread.values > 0)
    np.testing.assert_allclose(spread.values, first.values.std(axis=1, ddof=1))
    np.testing.assert_allclose(runs[0].mean("mean_time").values, first.values.mean(axis=1))


def test_callable_metrics_and_custom_parameters(experiment):
    peak = Metric(lambda result: result.magnitude()[0].max(), units="a.u.")
    schedules = [korvel.FlipAngles("constant", 15.0), korvel.FlipAngles("variable", 60.0)]
    study = korvel.sweep(
        experiment, {"schedule": schedules, "t1.lactate": [20.0, 30.0]},
        metrics={"peak": peak, "ratio": lambda r: auc_ratio(r)[0, 0]},
        apply={"schedule": lambda e, s: apply_parameter(e, "flip_angles", s)},
        sigma=1e-3, draws=4, seed=1)
    assert study["peak"].dims == ("schedule", "t1.lactate", "draw")
    assert study["peak"].units == "a.u." and study["ratio"].shape == (2, 2, 4)
    assert study["ratio"].parameter_units == {"schedule": "", "t1.lactate": "s"}
    assert study["peak"].coords["schedule"] == tuple(schedules)


def test_the_spread_of_a_ratio_falls_as_one_over_the_snr(experiment):
    snrs = [10.0, 100.0]
    study = korvel.sweep(experiment, {"snr": snrs}, metrics="auc_ratio", draws=300, seed=5,
                         reference="voxel")
    spread = study.std("auc_ratio").sel(region="tumour", product="lactate").values
    assert spread[0] / spread[1] == pytest.approx(10.0, rel=0.2)
    assert study.noise["axis"] == "snr"
    with pytest.raises(ValueError, match="not both"):
        korvel.sweep(experiment, {"snr": [1.0], "sigma": [1.0]})


@pytest.mark.parametrize("name,value,read", [
    ("rate.lactate", 0.07, lambda e: e.conversion_rates[0][0]),
    ("t1.pyruvate", 41.0, lambda e: e.precursor.t1),
    ("t2.lactate", 0.9, lambda e: e.products[0].t2),
    ("lactate.chemical_shift", 184.0, lambda e: e.products[0].chemical_shift),
    ("flip_angle", 33.0, lambda e: e.acquisition.flip_angles.angle),
    ("flip_angles", korvel.FlipAngles("variable", 80.0), lambda e: e.acquisition.flip_angles),
    ("excitations", 7, lambda e: e.acquisition.excitations),
    ("bolus.arrival", 6.5, lambda e: e.inflow.bolus.arrival),
    ("inflow.bolus.duration", 3.0, lambda e: e.inflow.bolus.duration),
    ("spin_spread", 2.0, lambda e: e.spin_spread),
    ("b1_scale", 0.9, lambda e: None if e.transmit is None else e.transmit[1]),
])
def test_parameters_set_the_field_they_name(experiment, name, value, read):
    changed = apply_parameter(experiment, name, value)
    assert read(changed) == value
    assert read(experiment) != value  # the original is unchanged


def test_scales_multiply_maps_and_the_tr_carries_its_default():
    mapped = small_experiment(transmit=[1.0, 0.5, 2.0])
    np.testing.assert_array_equal(apply_parameter(mapped, "b1_scale", 0.5).transmit,
                                  [0.5, 0.25, 1.0])
    np.testing.assert_array_equal(
        apply_parameter(mapped, "rate_scale.lactate", 2.0).conversion_rates[0], [0.1, 0.04, 0.0])
    experiment = small_experiment()  # first excitation at its default, one TR
    assert apply_parameter(experiment, "repetition_time", 4.0).acquisition.first_excitation == 4.0
    pinned = small_experiment(acquisition=dataclasses.replace(
        experiment.acquisition, first_excitation=0.5))
    assert apply_parameter(pinned, "repetition_time", 4.0).acquisition.first_excitation == 0.5


@pytest.mark.parametrize("call,error,message", [
    (lambda e: korvel.sweep(e, {"rate.pyruvate": [0.1]}), ExperimentError, "no product"),
    (lambda e: korvel.sweep(e, {"t1.pyruvate": [10.0, -1.0]}), ExperimentError,
     "t1 must be positive"),
    (lambda e: korvel.sweep(e, {"acquisition.speed": [1]}), ExperimentError, "no 'speed'"),
    (lambda e: korvel.sweep(e, {"flip_angles": [20.0]}), ExperimentError, "FlipAngles"),
    (lambda e: korvel.sweep(e, {"flip_angle": []}), ValueError, "non-empty sequence"),
    (lambda e: korvel.sweep(e, {"flip_angle": [10.0]}, draws=3), ValueError, "needs noise"),
    (lambda e: korvel.sweep(e, {"flip_angle": [10.0]}, metrics="peak"), ValueError,
     "unknown metric 'peak'"),
    (lambda e: korvel.sweep(e, {"flip_angle": [10.0]}, workers=0), ValueError, "workers"),
    (lambda e: korvel.sweep(e, {"snr": [10.0, -1.0]}), ValueError, "snr must be positive"),
    (lambda e: korvel.sweep(e, {"flip_angle": [10.0]}, backend="gpu"), ValueError, "backend"),
    (lambda e: korvel.sweep(e, {"x": [1]}, apply={"x": lambda e, v: None}), TypeError,
     "must return an Experiment"),
    (lambda e: korvel.sweep(e, {"flip_angle": [10.0, 20.0]},
                            metrics=lambda r: np.zeros(int(r.flip_angles[0]))), ValueError,
     "different shapes"),
    (lambda e: korvel.sweep(small_experiment(inflow=None), {"bolus.arrival": [1.0]}),
     ExperimentError, "has no inflow"),
])
def test_wrong_input_is_one_clear_error(experiment, call, error, message):
    with pytest.raises(error, match=message):
        call(experiment)


def test_labelled_selection_and_reduction():
    values = np.arange(24.0).reshape(2, 3, 4)
    array = Labelled(values, ("a", "b", "draw"), {"a": (0.1, 0.2), "b": ("x", "y", "z")},
                     "m", "s", ("a", "b"), {"a": "1/s"})
    assert array.sel(a=0.2, b="y").values.tolist() == values[1, 1].tolist()
    assert array.sel(a=0.1 + 1e-17).dims == ("b", "draw")
    assert array.transpose("draw").dims == ("draw", "a", "b")
    mean = array.mean()
    assert mean.dims == ("a", "b") and mean.parameter_units == {"a": "1/s"}
    np.testing.assert_array_equal(array.std().values, values.std(axis=2, ddof=1))
    with pytest.raises(KeyError, match="not a coordinate"):
        array.sel(a=0.3)
    with pytest.raises(KeyError, match="no axis 'c'"):
        array.mean("c")
    with pytest.raises(ValueError, match="3 values but 2 coordinates"):
        Labelled(values, ("a", "b", "c"), {"b": (1, 2)})
