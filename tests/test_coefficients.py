"""The coefficient preparers against the pure-NumPy path, bit for bit."""

from __future__ import annotations

import ctypes
import types

import numpy as np
import pytest
from conftest import same_bits, sprinkle

from korvel import pelorine, reference
from korvel.reference import coefficients as reference_coefficients

IMPLEMENTATIONS = pytest.mark.parametrize(
    "impl", [pelorine, reference], ids=["native", "reference"]
)


def random_sensitivity(rng, nvoxels):
    tx = rng.normal(size=nvoxels) + 1j * rng.normal(size=nvoxels)
    tx[rng.choice(nvoxels, size=nvoxels // 8, replace=False)] = 0.0
    return sprinkle(rng, tx)


def assert_tuple_bits(got, expected):
    assert len(got) == len(expected)
    for a, b in zip(got, expected):
        assert a.flags.c_contiguous
        assert same_bits(a, b)


def test_quarter_period_rotation():
    axis_x, axis_y, cosine, sine = pelorine.prepare_spatial_rf_rotation_coefficients(
        1.0, 0.0, np.array([1.0 + 0.0j]), 0.25
    )
    assert (axis_x[0], axis_y[0], cosine[0], sine[0]) == (-1.0, 0.0, 6.123233995736766e-17, 1.0)


@pytest.mark.parametrize("rf_real, rf_imag, tx", [(0.0, 0.0, 1.0 + 2.0j), (0.7, -0.2, 0.0j)])
def test_zero_angle_keeps_the_unit_axis(rf_real, rf_imag, tx):
    tx = np.array([tx])
    result = pelorine.prepare_spatial_rf_rotation_coefficients(rf_real, rf_imag, tx, 1.0)
    assert [value.tolist() for value in result] == [[1.0], [0.0], [1.0], [0.0]]
    assert not np.signbit(result[1][0]) and not np.signbit(result[3][0])


def test_minus_quarter_turn_factor():
    factors = pelorine.prepare_transverse_factors_coefficients(np.array([[0.25]]), np.ones(1), 0.0)
    assert factors.dtype == np.complex128 and factors.shape == (1, 1)
    assert (factors.real[0, 0], factors.imag[0, 0]) == (6.123233995736766e-17, -1.0)


@pytest.mark.parametrize("rf", [(0.31, -0.17), (1e3, 2e-3), (np.inf, 0.0), (np.nan, 1.0)])
@pytest.mark.parametrize("duration", [0.25, 1e-3, np.nan])
def test_spatial_coefficients_match_reference(rng, rf, duration):
    tx = random_sensitivity(rng, 97)
    tx_before = tx.copy()
    got = pelorine.prepare_spatial_rf_rotation_coefficients(*rf, tx, duration)
    assert_tuple_bits(got, reference.prepare_spatial_rf_rotation_coefficients(*rf, tx, duration))
    assert same_bits(tx, tx_before)
    # a voxel's coefficients do not depend on the block it is passed in
    for lo, hi in [(0, 1), (5, 6), (3, 40), (96, 97)]:
        chunk = pelorine.prepare_spatial_rf_rotation_coefficients(*rf, tx[lo:hi].copy(), duration)
        assert_tuple_bits(chunk, [value[lo:hi] for value in got])


@pytest.mark.parametrize("duration", [0.0, 1e-3, -2.5, 1e300, np.nan])
def test_transverse_factors_match_reference(rng, duration):
    phase = sprinkle(rng, rng.normal(scale=3.0, size=(3, 41)))
    t2_s = np.array([0.05, np.inf, 0.0])
    before = phase.copy(), t2_s.copy()
    got = pelorine.prepare_transverse_factors_coefficients(phase, t2_s, duration)
    assert got.flags.c_contiguous
    assert same_bits(got, reference.prepare_transverse_factors_coefficients(phase, t2_s, duration))
    assert same_bits(phase, before[0]) and same_bits(t2_s, before[1])
    for pool, lo, hi in [(0, 0, 1), (1, 7, 8), (2, 3, 30)]:
        chunk = pelorine.prepare_transverse_factors_coefficients(
            phase[pool : pool + 1, lo:hi].copy(), t2_s[pool : pool + 1].copy(), duration
        )
        assert same_bits(chunk, got[pool : pool + 1, lo:hi])


def test_libm_sincos_agrees_with_sin_and_cos(rng):
    """The reference calls sin and cos where the module calls sincos once."""
    libm = reference_coefficients._LIBM
    sincos = libm.sincos
    double_pointer = ctypes.POINTER(ctypes.c_double)
    sincos.argtypes = [ctypes.c_double, double_pointer, double_pointer]
    sincos.restype = None
    angles = np.concatenate(
        [rng.normal(scale=20.0, size=2000), -6.283185307179586 * rng.normal(scale=3.0, size=2000),
         [0.0, -0.0, 1e-300, 1e22, 1e300, np.pi / 2, np.inf, -np.inf, np.nan]]
    )
    s, c = ctypes.c_double(), ctypes.c_double()
    for angle in angles.tolist():
        sincos(angle, ctypes.byref(s), ctypes.byref(c))
        assert same_bits(np.float64(s.value), np.float64(reference_coefficients.libm_sin(angle)))
        assert same_bits(np.float64(c.value), np.float64(reference_coefficients.libm_cos(angle)))


@IMPLEMENTATIONS
def test_empty_inputs(impl):
    result = impl.prepare_spatial_rf_rotation_coefficients(1.0, 0.0, np.zeros(0, complex), 1.0)
    assert [(a.dtype, a.shape) for a in result] == [(np.float64, (0,))] * 4
    for phase, t2_s in [(np.zeros((0, 4)), np.zeros(0)), (np.zeros((2, 0)), np.ones(2))]:
        factors = impl.prepare_transverse_factors_coefficients(phase, t2_s, 1.0)
        assert factors.dtype == np.complex128 and factors.shape == phase.shape


STRIDED_TX = np.arange(8, dtype=complex)[::2]
SPATIAL_FAULTS = {
    "strided tx before duration": (STRIDED_TX, 0.0, "tx_sensitivity must be C-contiguous"),
    "zero duration": (np.ones(4, complex), 0.0, "duration must be positive"),
    "negative duration": (np.ones(4, complex), -1.0, "duration must be positive"),
}


@IMPLEMENTATIONS
@pytest.mark.parametrize("case", SPATIAL_FAULTS, ids=list(SPATIAL_FAULTS))
def test_spatial_coefficient_checks(impl, case):
    tx, duration, message = SPATIAL_FAULTS[case]
    before = tx.copy()
    with pytest.raises(ValueError) as excinfo:
        impl.prepare_spatial_rf_rotation_coefficients(1.0, 0.0, tx, duration)
    assert str(excinfo.value) == message
    assert same_bits(tx, before)


CONTIGUITY = "transverse coefficient inputs must be C-contiguous"
FACTOR_FAULTS = {
    "t2 length before contiguity": (
        np.ones((4, 6), order="F"), np.ones(6)[::2], "t2_s must contain one value per pool"
    ),
    "fortran phases": (np.ones((2, 3), order="F"), np.ones(2), CONTIGUITY),
    "strided t2": (np.ones((2, 3)), np.ones(4)[::2], CONTIGUITY),
}


@IMPLEMENTATIONS
@pytest.mark.parametrize("case", FACTOR_FAULTS, ids=list(FACTOR_FAULTS))
def test_transverse_factor_checks(impl, case):
    phase, t2_s, message = FACTOR_FAULTS[case]
    before = phase.copy(), t2_s.copy()
    with pytest.raises(ValueError) as excinfo:
        impl.prepare_transverse_factors_coefficients(phase, t2_s, 1.0)
    assert str(excinfo.value) == message
    assert same_bits(phase, before[0]) and same_bits(t2_s, before[1])


def patched_numpy(empty):
    return types.SimpleNamespace(empty=empty, float64=np.float64, complex128=np.complex128)


def call_with_faults(name):
    """Each preparer called with every later check failing too."""
    if name == "spatial":
        return pelorine.prepare_spatial_rf_rotation_coefficients(1.0, 0.0, STRIDED_TX, -1.0)
    phase = np.ones((2, 3), order="F")
    return pelorine.prepare_transverse_factors_coefficients(phase, np.ones(3), 1.0)


@pytest.mark.parametrize("name", ["spatial", "factors"])
def test_results_are_made_through_the_module_numpy_first(monkeypatch, name):
    calls = []

    def empty(shape, dtype):
        calls.append((shape, dtype))
        return []

    monkeypatch.setattr(pelorine, "np", patched_numpy(empty))
    with pytest.raises(TypeError) as excinfo:
        call_with_faults(name)
    assert str(excinfo.value) == "Cannot convert list to numpy.ndarray"
    assert calls == [(4, np.float64)] if name == "spatial" else [((2, 3), np.complex128)]


@pytest.mark.parametrize("name", ["spatial", "factors"])
@pytest.mark.parametrize("bad", ["short", "read-only", "wrong dtype"])
def test_unusable_result_arrays_are_rejected(monkeypatch, name, bad):
    def empty(shape, dtype):
        if bad == "wrong dtype":
            return np.zeros(shape, dtype=np.float32)
        array = np.zeros(np.atleast_1d(shape) - 1 if bad == "short" else shape, dtype=dtype)
        array.flags.writeable = bad != "read-only"
        return array

    monkeypatch.setattr(pelorine, "np", patched_numpy(empty))
    with pytest.raises(ValueError) as excinfo:
        if name == "spatial":
            pelorine.prepare_spatial_rf_rotation_coefficients(1.0, 0.0, np.ones(4, complex), 1.0)
        else:
            pelorine.prepare_transverse_factors_coefficients(np.ones((2, 3)), np.ones(2), 1.0)
    message = str(excinfo.value)
    expected = {
        "short": "np.empty must return arrays of the requested shape",
        "read-only": "buffer source array is read-only",
        "wrong dtype": "Buffer dtype mismatch, expected ",
    }[bad]
    assert message.startswith(expected)
