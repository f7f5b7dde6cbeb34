"""Kinetic fitting: exact recovery from noiseless data, degenerate voxels, argument errors,
thread-count bits and the standard errors against a Monte Carlo spread."""

from __future__ import annotations

import math

import numpy as np
import pytest

import korvel
from korvel.fitting import FitError, fit_kinetics
from korvel.fitting.models import interval_weights

scipy_integrate = pytest.importorskip("scipy.integrate")

TR = 3.0
R1 = (1 / 30, 1 / 25, 1 / 15, 1 / 25)
RATES = (0.05, 0.01, 0.03)
M0 = (0.01, 0.0, 0.02)


def ivp_series(rates, r1, m0, p0, inputs, tr, angles_deg, k=1):
    """Signals of the inputless model's equations integrated by solve_ivp: the input constant
    over each interval, the k excitations of a frame applied one after the other."""
    nmet = len(r1)
    nframes = angles_deg.shape[-1] // k
    theta = np.radians(angles_deg).reshape(nmet, nframes, k)
    state = np.array([p0, *m0], dtype=float)
    signal = np.zeros((nmet, nframes))
    a = r1[0] + sum(rates)
    for n in range(nframes):
        for j in range(k):
            signal[:, n] += state * np.sin(theta[:, n, j]) / k
            state = state * np.cos(theta[:, n, j])
        if n == nframes - 1:
            break

        def derivative(t, y, u=inputs[n]):
            return np.array([-a * y[0] + u] + [-r1[q] * y[q] + rates[q - 1] * y[0]
                                               for q in range(1, nmet)])

        state = scipy_integrate.solve_ivp(derivative, (0, tr), state, method="DOP853",
                                          rtol=1e-12, atol=1e-15).y[:, -1]
    return signal


def bolus_inputs(nframes):
    rise = np.linspace(0.0, 0.5, 4)
    return np.r_[rise, rise[::-1][1:], np.zeros(nframes)][:nframes - 1]


@pytest.mark.parametrize("nproducts", [1, 2, 3])
@pytest.mark.parametrize("per_frame", [1, 3])
def test_noiseless_series_give_back_the_parameters(nproducts, per_frame):
    nframes = 18
    angles = np.vstack([np.full(nframes * per_frame, 8.0 + 6.0 * m)
                        for m in range(nproducts + 1)])
    angles[0, ::2] += 3.0  # excitations within a frame need not match
    inputs = bolus_inputs(nframes)
    signal = ivp_series(RATES[:nproducts], R1[:nproducts + 1], M0[:nproducts], 0.1, inputs, TR,
                        angles, per_frame)
    fit = fit_kinetics(signal, TR, angles)
    assert fit.converged
    for q, name in enumerate(fit.products):
        assert fit.parameters[f"k_{name}"] == pytest.approx(RATES[q], rel=1e-6)
        assert fit.parameters[f"m0_{name}"] == pytest.approx(M0[q], rel=1e-6, abs=1e-9)
        assert fit.r_squared[name] == pytest.approx(1.0, abs=1e-10)
    np.testing.assert_allclose(fit.input, inputs, rtol=1e-6, atol=1e-9)
    np.testing.assert_allclose(fit.fitted, signal, rtol=1e-8, atol=1e-12)


def test_every_parameter_free_and_per_voxel_angles():
    """None frees the R1s held by default; a transmit map scales each voxel's angles."""
    nframes = 20
    b1 = np.array([0.8, 1.0, 1.25])
    angles = b1[:, None, None] * np.array([[10.0], [25.0]]) * np.ones(nframes)
    inputs = bolus_inputs(nframes)
    signal = np.stack([ivp_series((0.04,), (0.03, 0.05), (0.02,), 0.0, inputs, TR, a)
                       for a in angles])
    fit = fit_kinetics(signal, TR, angles, fixed={"r1_pyruvate": None, "r1_lactate": None},
                       initial={"r1_pyruvate": 0.02, "r1_lactate": 0.03})
    assert fit.converged.all() and fit.free == fit.names
    np.testing.assert_allclose(fit.parameters["k_lactate"], 0.04, rtol=1e-6)
    np.testing.assert_allclose(fit.parameters["r1_lactate"], 0.05, rtol=1e-6)
    np.testing.assert_allclose(fit.parameters["r1_pyruvate"], 0.03, rtol=1e-5)


def _experiment(rates, inflow=None, angle=20.0):
    names, t1 = ("pyruvate", "lactate", "bicarbonate", "alanine"), (30, 25, 15, 25)
    metabolites = [korvel.Metabolite(names[i], t1[i], math.inf, 170.0 + 4 * i)
                   for i in range(len(rates) + 1)]
    return korvel.Experiment(
        metabolites[0], tuple(metabolites[1:]), tuple(rates), nvoxels=len(rates[0]),
        acquisition=korvel.Acquisition(TR, 20, korvel.FlipAngles("constant", angle)),
        inflow=inflow, initial_magnetization=(1.0,) + (0.05,) * len(rates))


@pytest.mark.parametrize("rates, inflow", [
    ([[0.02, 0.1, 0.0]], None),
    ([[0.02, 0.1], [0.01, 0.03]], None),
    ([[0.02], [0.01], [0.05]], None),
    # a boxcar from one excitation to another: constant input over every interval
    ([[0.05, 0.01]], korvel.Inflow(korvel.Bolus("boxcar", arrival=6.0, duration=9.0))),
])
def test_simulation_results_fit_in_one_line(rates, inflow):
    result = korvel.simulate(_experiment(rates, inflow, angle=15.0))
    fit = result.fit()
    assert fit.converged.all() and fit.metabolites == result.metabolites
    for q, name in enumerate(fit.products):
        np.testing.assert_allclose(fit.parameters[f"k_{name}"], rates[q], rtol=1e-6, atol=1e-10)
    same = fit_kinetics(result)
    assert np.array_equal(same.parameters["k_lactate"], fit.parameters["k_lactate"])


def _noisy_map(shape, snr, seed=0):
    nframes = 25
    angles = np.array([[10.0], [30.0]]) * np.ones(nframes)
    clean = ivp_series((0.05,), (1 / 30, 1 / 25), (0.01,), 0.0, bolus_inputs(nframes), TR,
                       angles)
    if snr is None:
        return np.broadcast_to(clean, shape + clean.shape).copy(), angles
    rng = np.random.default_rng(seed)
    noise = rng.normal(0.0, clean.max() / snr, shape + clean.shape)
    return clean + noise, angles


def test_degenerate_voxels_give_nan_and_leave_the_others_alone():
    signal, angles = _noisy_map((8,), 50, 3)
    angles = np.broadcast_to(angles, (8,) + angles.shape).copy()
    alone = fit_kinetics(signal[1:2], TR, angles[1:2])
    signal[0] = 0.0  # all zero
    signal[2, :, 5] = np.nan  # a NaN frame
    signal[3, 0] = 0.0  # a precursor that never rises
    angles[4, 1, 3] = 0.0  # no signal from one frame
    angles[5, 0, 4] = 90.0  # nothing carried over to the next frame
    signal[6, 1, 7] = np.inf
    mask = np.ones(8, bool)
    mask[7] = False
    fit = fit_kinetics(signal, TR, angles, mask=mask)
    bad = [0, 2, 3, 4, 5, 6, 7]
    assert not fit.converged[bad].any() and fit.converged[1]
    for values in (*fit.parameters.values(), *fit.errors.values(), fit.fitted, fit.input,
                   *fit.r_squared.values()):
        assert np.isnan(values[bad]).all()
    assert np.array_equal(fit.parameters["k_lactate"][1], alone.parameters["k_lactate"][0])
    assert np.array_equal(fit.errors["k_lactate"][1], alone.errors["k_lactate"][0])

    last = fit_kinetics(signal[1], TR, np.where(np.arange(25) == 24, 90.0, angles[1]))
    assert last.converged  # a 90 degree final frame carries nothing anyway
    single = fit_kinetics(signal[:, :, :1], TR, angles[0, :, :1])
    assert not single.converged.any() and np.isnan(single.parameters["k_lactate"]).all()


def test_products_of_pure_noise_converge_on_the_bound():
    """Where the best rate is negative the rate is held at 0 and the fit still converges."""
    signal, angles = _noisy_map((300,), 20, 11)
    signal[:, 1] = np.random.default_rng(12).normal(0.0, 0.01, signal[:, 1].shape)
    fit = fit_kinetics(signal, TR, angles)
    rates = fit.parameters["k_lactate"]
    assert fit.converged.all() and np.all(rates >= 0) and np.any(rates == 0)
    assert np.all(fit.iterations < 50)


SIGNAL = np.ones((2, 4, 2, 5))
ANGLES = np.full((2, 5), 10.0)


@pytest.mark.parametrize("args, kwargs, message", [
    ((SIGNAL, TR, ANGLES), dict(model="bogus"),
     "model must be one of inputless, bolus, got 'bogus'"),
    ((SIGNAL + 0j, TR, ANGLES), {}, "signal must be real (magnitudes or the real part of phased "
                                    "data), got a complex array"),
    ((np.ones(5), TR, ANGLES), {}, "signal must have shape (..., nmetabolites, nframes), got "
                                   "shape (5,)"),
    ((np.ones((1, 5)), TR, ANGLES[:1]), {}, "signal needs the precursor and at least one "
                                            "product, got 1 metabolite"),
    ((SIGNAL, 0.0, ANGLES), {}, "repetition_time must be a positive number of seconds, got 0.0"),
    ((SIGNAL, TR, None), {}, "flip_angles are needed: (nmetabolites, nframes * k) in degrees"),
    ((SIGNAL, TR, np.ones((2, 7))), {}, "flip_angles must have shape (..., 2, 5 * k) for 2 "
                                        "metabolites, 5 frames and k excitations per frame, got "
                                        "shape (2, 7)"),
    ((SIGNAL, TR, np.ones((3, 2, 5))), {}, "flip_angles' leading shape (3,) does not match the "
                                           "signal's voxel shape (2, 4)"),
    ((SIGNAL, TR, ANGLES), dict(metabolites=("a", "a")), "metabolites must be 2 distinct names, "
                                                         "precursor first, got ('a', 'a')"),
    ((SIGNAL, TR, ANGLES), dict(fixed={"k_alanine": 0.1}),
     "fixed: unknown parameter 'k_alanine'; the parameters are k_lactate, r1_pyruvate, "
     "r1_lactate, m0_lactate"),
    ((SIGNAL, TR, ANGLES), dict(initial={"k_lactate": np.ones(3)}),
     "initial['k_lactate'] must be a scalar or a map of the voxel shape (2, 4), got shape (3,)"),
    ((SIGNAL, TR, ANGLES), dict(bounds={"k_lactate": (1.0, 0.0)}),
     "bounds['k_lactate'] must have low < high (to hold a parameter, use fixed)"),
    ((SIGNAL, TR, ANGLES), dict(bounds={"k_lactate": 1.0}),
     "bounds['k_lactate'] must be a pair (low, high)"),
    ((SIGNAL, TR, ANGLES), dict(mask=np.ones((2, 4))), "mask must be a boolean map, got dtype "
                                                       "float64"),
    ((SIGNAL, TR, ANGLES), dict(num_threads=0), "num_threads must be a positive integer, got 0"),
])
def test_malformed_arguments_raise_one_clear_error(args, kwargs, message):
    with pytest.raises(FitError) as excinfo:
        fit_kinetics(*args, **kwargs)
    assert str(excinfo.value) == message


def test_leading_axes_and_maps_keep_their_shape():
    signal, angles = _noisy_map((3, 4), 50, 5)
    fit = fit_kinetics(signal, TR, angles, fixed={"r1_lactate": np.full((3, 4), 1 / 25)})
    assert fit.shape == (3, 4) and fit.fitted.shape == signal.shape
    assert fit.input.shape == (3, 4, 24) and fit.covariance.shape == (3, 4, 2, 2)
    assert all(v.shape == (3, 4) for v in fit.maps().values() if v is not fit.input)
    assert np.all(fit.errors["r1_lactate"] == 0.0) and fit.free == ("k_lactate", "m0_lactate")
    assert np.all(fit.parameters["r1_pyruvate"] == 1 / 30)  # still held at its default
    assert [row["name"] for row in fit.summary()] == ["k_lactate", "m0_lactate", "R^2 lactate"]


def test_same_bits_for_every_thread_count():
    signal, angles = _noisy_map((1300,), 20, 7)  # three chunks
    fits = [fit_kinetics(signal, TR, angles, num_threads=n) for n in (1, 2, 3, 64)]
    for other in fits[1:]:
        for name in fits[0].names:
            assert np.array_equal(fits[0].parameters[name].view(np.uint64),
                                  other.parameters[name].view(np.uint64))
            assert np.array_equal(fits[0].errors[name].view(np.uint64),
                                  other.errors[name].view(np.uint64))
        assert np.array_equal(fits[0].fitted.view(np.uint64), other.fitted.view(np.uint64))


@pytest.mark.parametrize("snr", [20, 50])
def test_standard_errors_match_the_monte_carlo_spread(snr):
    signal, angles = _noisy_map((32, 32), snr, snr)
    fit = fit_kinetics(signal, TR, angles)
    assert fit.converged.all()
    for name in ("k_lactate", "m0_lactate"):
        spread = np.std(fit.parameters[name])
        reported = np.sqrt(np.mean(fit.errors[name] ** 2))
        assert reported == pytest.approx(spread, rel=0.2), name


def test_excitation_scales_by_hand():
    """Two excitations of 30 then 60 degrees: the second sees what the first left."""
    from korvel.fitting.models import excitation_scales

    scale, remaining = excitation_scales(np.radians([[30.0, 60.0]]), 1)
    assert scale[0, 0] == pytest.approx((0.5 + math.sin(math.radians(60)) * math.cos(
        math.radians(30))) / 2, rel=1e-15)
    assert remaining[0, 0] == pytest.approx(math.cos(math.radians(30)) * 0.5, rel=1e-15)


def test_standard_errors_of_an_exact_precursor():
    """precursor_noise=False: with noise on the products only, sigma^2 (J^T J)^-1 is right
    and the default (which counts precursor noise that is not there) is larger."""
    signal, angles = _noisy_map((32, 32), 20, 21)
    clean, _ = _noisy_map((1,), None)
    signal[..., 0, :] = clean[0, 0]
    exact = fit_kinetics(signal, TR, angles, precursor_noise=False)
    default = fit_kinetics(signal, TR, angles)
    spread = np.std(exact.parameters["k_lactate"])
    assert np.sqrt(np.mean(exact.errors["k_lactate"] ** 2)) == pytest.approx(spread, rel=0.2)
    assert np.all(default.errors["k_lactate"] > exact.errors["k_lactate"])
    assert np.array_equal(default.parameters["k_lactate"], exact.parameters["k_lactate"])


def test_bounds_and_initial_values():
    """A bound that excludes the truth holds the rate on it (converged); a start outside the
    bounds is moved into them; one voxel alone is a map of shape ()."""
    signal, angles = _noisy_map((1,), None)
    capped = fit_kinetics(signal[0], TR, angles, bounds={"k_lactate": (0.0, 0.03)},
                          initial={"k_lactate": 0.5})
    assert capped.shape == () and capped.converged
    assert capped.parameters["k_lactate"] == 0.03 and capped.r_squared["lactate"] < 1
    free = fit_kinetics(signal[0], TR, angles, initial={"k_lactate": 0.5, "m0_lactate": -3.0})
    assert free.parameters["k_lactate"] == pytest.approx(0.05, rel=1e-6)


def test_coil_combined_simulation_fits_like_one_coil():
    """Root-sum-of-squares over coils scales every metabolite alike: same rates."""
    receive = np.array([[1.0, 0.5 + 0.5j], [0.3j, 2.0]])
    experiment = _experiment([[0.03, 0.08]]).replace(receive=receive)
    fit = korvel.simulate(experiment).fit()
    np.testing.assert_allclose(fit.parameters["k_lactate"], [0.03, 0.08], rtol=1e-6)


@pytest.mark.parametrize("a, b", [(0.05, 0.04), (0.04, 0.04), (1e-12, 0.04), (0.0, 0.0),
                                  (0.2, 5.0)])
def test_interval_weights_match_quadrature(a, b):
    """The closed forms, their coincident-rate and vanishing-decay limits, against quadrature
    of the product's response to the precursor's two end values."""
    from scipy.integrate import quad

    tr = 3.0
    decay, weight0, weight1, _, _ = interval_weights(np.array(a), np.array(b), tr)
    shape = (lambda t: -math.expm1(-a * t) / -math.expm1(-a * tr)) if a > 0 else \
        (lambda t: t / tr)
    expected1 = quad(lambda t: math.exp(-b * (tr - t)) * shape(t), 0, tr, epsabs=0,
                     epsrel=1e-13)[0]
    expected0 = quad(lambda t: math.exp(-b * (tr - t)) * (1 - shape(t)), 0, tr, epsabs=0,
                     epsrel=1e-13)[0]
    assert float(decay) == pytest.approx(math.exp(-b * tr), rel=1e-15)
    assert float(weight1) == pytest.approx(expected1, rel=1e-7)
    assert float(weight0) == pytest.approx(expected0, rel=1e-7)


def _bolus_series(rates, amplitude, arrival, width, shape="gamma", angle=15.0, nframes=20):
    """korvel's own simulation of a bolus (default timing: frame 0 at TR, the arrival counted
    from it), no transverse decay."""
    names, t1 = ("pyruvate", "lactate", "bicarbonate"), (30, 25, 15)
    metabolites = [korvel.Metabolite(names[i], t1[i], math.inf, 0.0)
                   for i in range(len(rates) + 1)]
    experiment = korvel.Experiment(
        metabolites[0], tuple(metabolites[1:]), tuple(rates), nvoxels=len(amplitude),
        acquisition=korvel.Acquisition(TR, nframes, korvel.FlipAngles("constant", angle)),
        inflow=korvel.Inflow(korvel.Bolus(shape, arrival + TR, width)), delivery=amplitude)
    signal = np.moveaxis(korvel.simulate(experiment).magnitude(), 0, 1)
    return signal, np.full((len(rates) + 1, nframes), angle)


def _first(fit, count):
    """The fit's maps of its first ``count`` voxels."""
    from dataclasses import replace

    return replace(fit, parameters={n: v[:count] for n, v in fit.parameters.items()},
                   fitted=fit.fitted[:count], converged=fit.converged[:count])


@pytest.mark.parametrize("rates, shape", [
    ([[0.01, 0.05, 0.1]], "gamma"),
    ([[0.02, 0.08], [0.01, 0.03]], "gamma"),
    ([[0.03, 0.06]], "gamma"),
])
def test_bolus_model_gives_back_a_simulation(rates, shape):
    nvoxels = len(rates[0])
    amplitude = np.linspace(0.5, 2.0, nvoxels)
    arrival, width = (2.0, 8.0) if nvoxels != 2 else (0.0, 5.0)  # arrival on its bound
    signal, angles = _bolus_series(rates, amplitude, arrival, width, shape)
    signal = np.concatenate([signal, np.full((1,) + signal.shape[1:], np.nan)])
    fit = fit_kinetics(signal, TR, angles, model="bolus", input_shape=shape)
    assert not fit.converged[-1] and np.isnan(fit.parameters["amplitude"][-1])
    signal, fit = signal[:-1], _first(fit, nvoxels)
    assert fit.converged.all() and fit.model == "bolus"
    for q, name in enumerate(fit.products):
        np.testing.assert_allclose(fit.parameters[f"k_{name}"], rates[q], rtol=1e-6)
    np.testing.assert_allclose(fit.parameters["amplitude"], amplitude, rtol=1e-6)
    np.testing.assert_allclose(fit.parameters["arrival"], arrival, rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(fit.parameters["width"], width, rtol=1e-6)
    np.testing.assert_allclose(fit.fitted, signal, rtol=1e-6, atol=1e-9)


@pytest.mark.parametrize("change, message", [
    (dict(flip_angles=np.array([[[10.0] * 20, [20.0] * 20], [[10.0] * 20, [30.0] * 20]])),
     "the bolus model needs one flip angle per frame and metabolite, the same in every voxel up "
     "to a transmit (B1) scale of the voxel (its simulator applies one pulse per frame and one "
     "B1 scale per voxel)"),
    (dict(flip_angles=np.full((2, 40), 15.0)),
     "the bolus model needs one flip angle per frame and metabolite, the same in every voxel up "
     "to a transmit (B1) scale of the voxel (its simulator applies one pulse per frame and one "
     "B1 scale per voxel)"),
    (dict(fixed={"r1_lactate": None}),
     "the bolus model needs r1_lactate fixed (its simulator relaxes every voxel alike)"),
    (dict(fixed={"arrival": np.array([1.0, 2.0])}),
     "the bolus model needs one arrival for the whole map"),
    (dict(input_shape="triangle"), "input_shape must be one of gamma, boxcar, got 'triangle'"),
    (dict(input_shape="boxcar"), "the bolus model fits a gamma-variate input only: the "
                                 "simulated boxcar's signal jumps as its edges move"),
])
def test_bolus_model_refuses_what_its_simulator_cannot_represent(change, message):
    arguments = dict(flip_angles=np.full((2, 20), 15.0), model="bolus")
    arguments.update(change)
    with pytest.raises(FitError) as excinfo:
        fit_kinetics(np.ones((2, 2, 20)), TR, **arguments)
    assert str(excinfo.value) == message
