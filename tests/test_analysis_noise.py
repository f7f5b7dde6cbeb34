"""Measurement noise: its level against the stated reference, reproducibility, no side effects."""

from __future__ import annotations

import dataclasses

import numpy as np
import pytest

import korvel
from korvel.analysis.noise import noise_sigma
from test_analysis_metrics import small_experiment


@pytest.fixture(scope="module")
def result():
    return korvel.simulate(small_experiment(), "reference")


@pytest.fixture(scope="module")
def big_result(result):
    """The same result repeated over many voxels, so that noise statistics are tight."""
    signal = np.tile(result.signal, (1, 1, 400, 1))
    return dataclasses.replace(result, signal=signal, regions=result.regions * 400)


@pytest.mark.parametrize("reference", ["experiment", "voxel"])
def test_noise_statistics_match_the_stated_snr(big_result, reference):
    snr = 25.0
    noisy = korvel.add_noise(big_result, snr=snr, reference=reference, seed=7)
    noise = noisy.signal - big_result.signal
    peaks = big_result.magnitude()[0].max(axis=1)  # precursor peak per voxel
    expected = np.full_like(peaks, peaks.max()) if reference == "experiment" else peaks
    np.testing.assert_allclose(noisy.noise_sigma, expected / snr, rtol=1e-15)
    # every voxel's level: real and imaginary parts, each with 2 coils x 12 samples per voxel
    scaled = noise / noisy.noise_sigma[np.newaxis, np.newaxis, :, np.newaxis]
    for part in (scaled.real, scaled.imag):
        assert abs(part.mean()) < 4 / np.sqrt(part.size)
        assert part.std() == pytest.approx(1.0, abs=4 * np.sqrt(0.5 / part.size))
    assert abs(np.corrcoef(scaled.real.ravel(), scaled.imag.ravel())[0, 1]) < 4 / np.sqrt(
        scaled.size)
    coils = scaled.transpose(1, 0, 2, 3).reshape(2, -1)
    assert abs(np.corrcoef(coils.real)[0, 1]) < 4 / np.sqrt(coils.shape[1])


def test_seed_reproduces_and_the_input_is_untouched(result):
    before = result.signal.copy()
    first = korvel.add_noise(result, snr=10, seed=3)
    assert np.array_equal(first.signal, korvel.add_noise(result, snr=10, seed=3).signal)
    assert not np.array_equal(first.signal, korvel.add_noise(result, snr=10, seed=4).signal)
    generator = np.random.default_rng(3)
    from_generator = korvel.add_noise(result, snr=10, seed=generator)
    assert np.array_equal(from_generator.signal, first.signal)  # same stream as the int seed
    advanced = korvel.add_noise(result, snr=10, seed=generator)   # and the generator moved on
    assert not np.array_equal(advanced.signal, first.signal)
    assert np.array_equal(result.signal, before) and result.noise_sigma is None
    assert first.time is result.time and first.metabolites == result.metabolites


def test_a_fixed_level_and_noise_added_twice(result):
    once = korvel.add_noise(result, sigma=0.01, seed=1)
    assert np.all(once.noise_sigma == 0.01)
    twice = korvel.add_noise(once, sigma=0.02, seed=2)
    np.testing.assert_allclose(twice.noise_sigma, np.hypot(0.01, 0.02))
    assert np.array_equal(korvel.add_noise(result, sigma=0.0, seed=1).signal, result.signal)


@pytest.mark.parametrize("call,error,message", [
    (lambda r: korvel.add_noise(r), TypeError, "exactly one of snr and sigma"),
    (lambda r: korvel.add_noise(r, 10, sigma=1.0), TypeError, "exactly one"),
    (lambda r: korvel.add_noise(r, snr=0), ValueError, "snr must be positive"),
    (lambda r: korvel.add_noise(r, snr=np.nan), ValueError, "snr must be positive"),
    (lambda r: korvel.add_noise(r, snr="20"), TypeError, "snr must be a number"),
    (lambda r: korvel.add_noise(r, sigma=-1.0), ValueError, "sigma must be non-negative"),
    (lambda r: korvel.add_noise(r, snr=5, reference="coil"), ValueError, "reference must be"),
    (lambda r: korvel.add_noise(r, snr=5, seed="x"), TypeError, "seed must be"),
    (lambda r: korvel.add_noise(r.signal, snr=5), TypeError, "SimulationResult"),
    (lambda r: korvel.add_noise(dataclasses.replace(r, signal=np.zeros_like(r.signal)), snr=5),
     ValueError, "zero everywhere"),
    (lambda r: korvel.add_noise(dataclasses.replace(
        r, signal=r.signal * np.array([1.0, 1.0, 0.0])[:, None]), snr=5, reference="voxel"),
     ValueError, "zero in voxel 2"),
])
def test_wrong_input_is_one_clear_error(result, call, error, message):
    with pytest.raises(error, match=message):
        call(result)


def test_noise_sigma_alone(result):
    peak = result.magnitude()[0].max()
    np.testing.assert_allclose(noise_sigma(result, 4.0), np.full(3, peak / 4.0))
