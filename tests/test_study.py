"""The study of the simulate command: phased coil combination, B1-corrected angles, the bolus
model's exact recovery of a phantom's rates, and the command's noise, fit and figure options."""

from __future__ import annotations

import csv
import math

import numpy as np
import pytest

import korvel
from korvel import (CoilRing, Ellipse, GaussianTransmit, Metabolite, Phantom, Rectangle,
                    Region)
from korvel.__main__ import main
from korvel.cli import study
from korvel.fitting.driver import transmit_scales

TR = 3.0
ARRIVAL = 1.1  # s after the first frame: between two of the plan's nodes


SELECTIVE = {"pyruvate": korvel.FlipAngles("constant", 12.0),
             "lactate": korvel.FlipAngles("constant", 25.0),
             "alanine": korvel.FlipAngles("constant", 35.0)}


def small_phantom_experiment(*, transmit=True, nframes=16, flips=SELECTIVE, decay=True):
    """A 6 x 7 phantom of three regions under a B1 field and three coils, read out with its own
    angle per metabolite (default timing), the arrival off the plan's nodes; with ``decay``,
    transverse decay and two spins per voxel shrink each readout."""
    phantom = Phantom((6, 7), [
        Region("tissue", Rectangle((2.5, 3.0), (6.0, 7.0)), rates={"lactate": 0.02,
                                                                     "alanine": 0.01}),
        Region("tumour", Ellipse((2.0, 4.0), 1.6), rates={"lactate": 0.07, "alanine": 0.004},
               delivery=1.6, off_resonance=5.0),
        Region("vessel", Ellipse((4.5, 1.0), 1.0), rates={"lactate": 0.003, "alanine": 0.001},
               delivery=3.0)],
        transmit=GaussianTransmit(4.0, peak=1.1) if transmit else None,
        coils=CoilRing(3, 6.0, 3.0))
    acquisition = korvel.Acquisition(TR, nframes, flips)
    names = (("pyruvate", 30.0, 171.0), ("lactate", 25.0, 183.0), ("alanine", 25.0, 176.5))
    metabolites = [Metabolite(n, t1, 0.4 if decay else math.inf, shift)
                   for n, t1, shift in names]
    return phantom.experiment(
        metabolites[0], metabolites[1:], acquisition=acquisition, center_shift=171.0,
        inflow=korvel.Inflow(korvel.Bolus("gamma", arrival=ARRIVAL + TR, duration=8.0)),
        spins_per_voxel=2 if decay else 1, spin_spread=4.0 if decay else 0.0)


@pytest.mark.parametrize("flips, transmit", [
    (korvel.FlipAngles("constant", 20.0), False),  # one schedule, coils, shifts, off-resonance
    (SELECTIVE, True),  # an angle per metabolite and a B1 map
])
def test_bolus_model_gives_back_every_rate_of_a_noiseless_phantom(flips, transmit):
    # The bolus model, fed the phased coil combination and the B1-corrected angles, returns
    # the true rates in every voxel: transverse decay, several spins and coils scale every
    # metabolite of a voxel alike, and the amplitude takes that up.
    experiment = small_phantom_experiment(flips=flips, transmit=transmit)
    result = korvel.simulate(experiment, progress=False)
    fitted = study.fit_study(result, experiment, "bolus", num_threads=1)
    fit = fitted.fit
    assert fitted.skipped == "" and fit.converged.all()
    for q, product in enumerate(fit.products):
        np.testing.assert_allclose(fit.parameters[f"k_{product}"],
                                   experiment.conversion_rates[q], rtol=1e-6, atol=1e-12)
    np.testing.assert_allclose(fit.parameters["arrival"], ARRIVAL, rtol=1e-6)
    np.testing.assert_allclose(fit.parameters["width"], 8.0, rtol=1e-6)
    for row in fitted.rows:
        assert abs(row["bias"]) < 1e-6 and row["converged"] == row["voxels"]


def test_bolus_model_gives_back_every_rate_of_the_default_phantom():
    # The main job's experiment: 596 voxels, a B1 field, four coils, metabolite-selective
    # angles, an arrival a whole number of plan steps after a pulse.
    experiment = korvel.default_experiment()
    result = korvel.simulate(experiment, progress=False)
    fit = study.fit_study(result, experiment, "bolus").fit
    assert fit.converged.all()
    for q, product in enumerate(fit.products):
        np.testing.assert_allclose(fit.parameters[f"k_{product}"],
                                   experiment.conversion_rates[q], rtol=1e-6, atol=1e-12)


def test_a_voxel_without_signal_leaves_the_joint_bolus_fit_of_the_others_alone():
    # A voxel of noise alone: its amplitude goes to zero and its rates to their bound, its own
    # normal matrix turns singular, and it once filled every voxel's result with NaN.
    experiment = small_phantom_experiment()
    result = korvel.simulate(experiment, progress=False)
    signal = study.phased_signal(result, experiment)
    angles = study.fitted_angles(result, experiment)
    noise = 1e-3 * np.max(signal) * np.random.default_rng(0).standard_normal(
        (1,) + signal.shape[1:])
    fit = korvel.fit_kinetics(np.concatenate([signal, noise]), TR,
                              np.concatenate([angles, angles[:1]]),
                              metabolites=result.metabolites, model="bolus", num_threads=1)
    assert fit.converged[:-1].all()
    np.testing.assert_allclose(fit.parameters["k_lactate"][:-1], experiment.conversion_rates[0],
                               rtol=1e-5)
    np.testing.assert_allclose(fit.parameters["arrival"], ARRIVAL, rtol=1e-5)


def test_bolus_model_at_the_true_values_reproduces_a_b1_selective_phantom():
    experiment = small_phantom_experiment(decay=False)
    result = korvel.simulate(experiment, progress=False)
    signal = study.phased_signal(result, experiment)
    truth = {"arrival": ARRIVAL, "width": 8.0, "k_lactate": experiment.conversion_rates[0],
             "k_alanine": experiment.conversion_rates[1],
             "amplitude": experiment.delivery * np.sqrt(np.sum(np.abs(experiment.receive) ** 2,
                                                               axis=0))}
    fit = korvel.fit_kinetics(signal, TR, study.fitted_angles(result, experiment),
                              metabolites=result.metabolites, model="bolus", initial=truth,
                              num_threads=1)
    np.testing.assert_allclose(fit.fitted, signal, rtol=0, atol=1e-12 * np.max(signal))
    np.testing.assert_allclose(fit.parameters["k_lactate"], truth["k_lactate"], rtol=1e-9)


def test_phased_signal_is_the_sensitivity_weighted_magnitude_without_noise():
    experiment = small_phantom_experiment()
    result = korvel.simulate(experiment, progress=False)
    phased = study.phased_signal(result, experiment)
    # every coil sees the voxel's one signal times its sensitivity: the combination of best
    # SNR is the root sum of squares of the magnitudes
    np.testing.assert_allclose(phased, np.moveaxis(result.magnitude(), 0, 1), rtol=1e-12,
                               atol=1e-15)
    # and without coil maps, the coils' plain sum over the square root of their count
    plain = study.phased_signal(result, None)
    np.testing.assert_allclose(plain, np.moveaxis(np.abs(result.signal.sum(axis=1)), 0, 1)
                               / math.sqrt(result.signal.shape[1]), rtol=1e-12, atol=1e-15)


def test_phased_signal_keeps_the_noise_of_a_late_frame_unbiased():
    # Magnitude data float on the noise; the phased real part averages to the true signal.
    experiment = small_phantom_experiment(nframes=16)
    clean = korvel.simulate(experiment, progress=False)
    true = study.phased_signal(clean, experiment)
    noisy = korvel.add_noise(clean, snr=5.0, seed=7)
    phased, magnitude = study.phased_signal(noisy, experiment), np.moveaxis(noisy.magnitude(),
                                                                           0, 1)
    late = np.s_[:, 1:, -4:]  # products in the last frames: small signals
    sigma = float(noisy.noise_sigma[0])
    assert abs(np.mean(phased[late] - true[late])) < 0.25 * sigma
    assert np.mean(magnitude[late] - np.moveaxis(clean.magnitude(), 0, 1)[late]) > sigma


@pytest.mark.parametrize("angles, expected", [
    (np.array([[[10.0, 10.0], [30.0, 20.0]], [[11.0, 11.0], [33.0, 22.0]]]), [1.0, 1.1]),
    (np.array([[[0.0, 0.0], [0.0, 0.0]], [[5.0, 5.0], [15.0, 10.0]],
               [[10.0, 10.0], [30.0, 20.0]]]), [0.0, 1.0, 2.0]),
    (np.array([[[10.0, 10.0], [30.0, 20.0]], [[10.0, 10.0], [20.0, 30.0]]]), None),
    (np.zeros((2, 2, 3)), [1.0, 1.0]),
])
def test_transmit_scales_of_per_voxel_angles(angles, expected):
    found = transmit_scales(angles)
    if expected is None:
        assert found is None
    else:
        schedule, scales = found
        np.testing.assert_allclose(scales, expected, rtol=1e-15)
        np.testing.assert_allclose(scales[:, None, None] * schedule, angles, rtol=1e-15)


def test_fitted_angles_are_the_nominal_ones_times_b1():
    experiment = small_phantom_experiment()
    result = korvel.simulate(experiment, progress=False)
    angles = study.fitted_angles(result, experiment)
    assert angles.shape == (experiment.nvoxels, 3, 16)
    np.testing.assert_allclose(angles[:, 1, 0], 25.0 * np.abs(experiment.transmit))
    uniform = small_phantom_experiment(transmit=False)
    assert np.all(study.fitted_angles(result, uniform)[:, 2] == 35.0)


def _rows(path):
    with path.open() as file:
        return list(csv.DictReader(file))


def test_command_noise_fit_and_figure(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    assert main(["simulate", "--output", str(tmp_path / "a")]) == 0
    printed = capsys.readouterr().out
    assert f"noise at SNR {study.DEFAULT_SNR:g}" in printed
    assert "fit: bolus model, 596/596 voxels converged" in printed
    assert "fitted (1/s)" in printed and "time: simulate " in printed
    experiment = korvel.default_experiment()
    rows = _rows(tmp_path / "a" / "fit.csv")
    assert len(rows) == len(set(experiment.regions)) * len(experiment.products)
    tumour = next(r for r in rows if r["region"] == "tumour" and r["metabolite"] == "lactate")
    assert float(tumour["true_rate_per_s"]) == 0.06
    assert abs(float(tumour["relative_bias"])) < 0.1  # the default draw; a loose check
    assert (tmp_path / "a" / "study.png").read_bytes()[:4] == b"\x89PNG"
    # the default draw is the same every run
    assert main(["simulate", "--output", str(tmp_path / "b")]) == 0
    assert (tmp_path / "b" / "fit.csv").read_bytes() == (tmp_path / "a" / "fit.csv").read_bytes()
    capsys.readouterr()
    # without noise, two ways
    for name, flags in (("c", ["--no-noise"]), ("d", ["--snr", "0"])):
        assert main(["simulate", "--output", str(tmp_path / name), *flags]) == 0
        assert "noise at SNR" not in capsys.readouterr().out
    assert (tmp_path / "c" / "summary.csv").read_bytes() \
        == (tmp_path / "d" / "summary.csv").read_bytes()
    # without the fit: no fit table, no study figure
    assert main(["simulate", "--output", str(tmp_path / "e"), "--no-fit"]) == 0
    printed = capsys.readouterr().out
    assert "fitted (1/s)" not in printed and "fit:" not in printed
    assert not (tmp_path / "e" / "fit.csv").exists()
    assert not (tmp_path / "e" / "study.png").exists()


def test_command_fits_a_run_of_voxels_without_a_figure_of_maps(tmp_path, capsys):
    # A run of voxels has no grid: the fit table is written, the map figure is not.
    config = tmp_path / "run.toml"
    text = """
[acquisition]
repetition_time = 2.0
excitations = 8
[[metabolites]]
name = "pyruvate"
t1 = 30.0
t2 = 0.4
chemical_shift = 171.0
[[metabolites]]
name = "lactate"
t1 = 25.0
t2 = 0.4
chemical_shift = 183.0
[inflow]
bolus = { shape = "gamma", arrival = 1.0, duration = 6.0 }
[[regions]]
name = "only"
voxels = 3
rates = { lactate = 0.05 }
"""
    config.write_text(text)
    out = tmp_path / "out"
    assert main(["simulate", "--config", str(config), "--output", str(out)]) == 0
    assert "fit: bolus model, 3/3 voxels converged" in capsys.readouterr().out
    assert (out / "fit.csv").exists() and not (out / "study.png").exists()
    # an inflow the bolus model cannot represent: the inputless model, and why
    config.write_text(text.replace('shape = "gamma"', 'shape = "boxcar"'))
    assert main(["simulate", "--config", str(config), "--output", str(out)]) == 0
    printed = capsys.readouterr().out
    assert "fit: the inputless model, as the bolus model cannot represent this experiment " \
        "(the inflow is not a gamma-variate bolus of shape 4)" in printed
    assert "fit: inputless model, 3/3 voxels converged" in printed
    # unless the model is asked for
    assert main(["simulate", "--config", str(config), "--output", str(out),
                 "--fit-model", "bolus"]) == 0
    assert "fit: bolus model, 3/3 voxels" in capsys.readouterr().out
    # No inflow: nothing to take the default noise level from, so no noise, and no error;
    # an SNR asked for is an error.
    config.write_text(text.replace("[inflow]", "[inflow]\npolarization = 0.0"))
    assert main(["simulate", "--config", str(config), "--output", str(out), "--no-fit"]) == 0
    assert "no noise: the precursor's signal is zero everywhere" in capsys.readouterr().out
    assert main(["simulate", "--config", str(config), "--output", str(out), "--snr", "20"]) == 2
    # (after the one-line warning that the experiment has no magnetization)
    assert "\nerror: --snr: the precursor's signal is zero" in capsys.readouterr().err


@pytest.mark.parametrize("flips", [korvel.FlipAngles("constant", 20.0), SELECTIVE])
def test_simulated_signal_is_smooth_in_the_bolus_arrival(flips):
    # The bolus model differentiates the simulation with respect to the arrival. An arrival a
    # whole number of plan steps after a pulse (4 s here, the first pulse at 3 s) once moved
    # the plan's nodes and changed the signal by its sampling error, about 1e-4 of its peak.
    names = (("pyruvate", 30.0), ("lactate", 25.0), ("alanine", 25.0))
    metabolites = [Metabolite(n, t1, math.inf, 0.0) for n, t1 in names]

    def signal(arrival):
        experiment = korvel.Experiment(
            metabolites[0], tuple(metabolites[1:]), (0.05, 0.01),
            acquisition=korvel.Acquisition(TR, 12, flips),
            inflow=korvel.Inflow(korvel.Bolus("gamma", arrival=arrival, duration=8.0)))
        return korvel.simulate(experiment, progress=False).magnitude()

    at = signal(4.0)
    for step in (-1e-9, 1e-9):
        np.testing.assert_allclose(signal(4.0 + step), at, rtol=0, atol=1e-8 * np.max(at))


@pytest.mark.parametrize("change, reason", [
    ({}, ""),
    (dict(inflow=korvel.Inflow(korvel.Bolus("gamma", gamma_shape=3.0))),
     "the inflow is not a gamma-variate bolus of shape 4"),
    (dict(inflow=None), "the inflow is not a gamma-variate bolus of shape 4"),
    (dict(inflow=korvel.Inflow(polarization_t1=50.0)),
     "the inflow's polarization decays in transit"),
    (dict(equilibrium=0.1), "the pools do not start empty"),
    (dict(inflow=None, initial_magnetization=(1.0, 0.0, 0.0)),
     "the inflow is not a gamma-variate bolus of shape 4; the pools do not start empty"),
])
def test_default_model_is_the_bolus_model_where_it_represents_the_experiment(change, reason):
    experiment = korvel.default_experiment().replace(**change)
    assert study.default_model(experiment) == ("inputless" if reason else "bolus", reason)


def test_region_edges_follow_the_voxels():
    # regions 0 and 1 and a point outside every region (NaN): three voxel edges between them
    edges = study.region_edges(np.array([[0.0, 0.0], [1.0, np.nan]]))
    assert sorted(map(tuple, edges.reshape(-1, 4).tolist())) == [
        (-0.5, 0.5, 0.5, 0.5), (0.5, 0.5, 0.5, 1.5), (0.5, 0.5, 1.5, 0.5)]
    assert study.region_edges(np.zeros((3, 4))).shape == (0, 2, 2)
