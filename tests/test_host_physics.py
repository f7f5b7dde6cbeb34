"""The simulator against an independent ODE integration of the same experiment.

The ODE solver integrates the Bloch equations with conversion, clearance, the equilibrium term
and the inflow directly (scipy's solve_ivp), rotates at each pulse with Rodrigues' formula and
samples at each readout. Fed the piecewise-linear source that the plan samples at its nodes, it
must agree to 1e-8 of each metabolite's largest signal; fed the true bolus curve, the difference
is the interpolation error, which falls as the square of the half-interval.
"""

from __future__ import annotations

import math

import numpy as np
import pytest

import korvel
from korvel.host import planner
from korvel.host.experiment import Acquisition, Bolus, Experiment, FlipAngles, Inflow, Metabolite

integrate = pytest.importorskip("scipy.integrate")

PYRUVATE = Metabolite("pyruvate", 30.0, 0.3, 171.0)
LACTATE = Metabolite("lactate", 25.0, 0.3, 183.0)
ALANINE = Metabolite("alanine", 25.0, 0.3, 176.5)
BICARBONATE = Metabolite("bicarbonate", 15.0, 0.3, 161.0)


def spin_rates(e: Experiment):
    """Per spin: its voxel, each pool's frequency offset (Hz), R2, R1, clearance and the
    conversion rates (nproducts, nspins), written out from the experiment's description."""
    metabolites = e.metabolites
    nspv = e.spins_per_voxel
    voxel = np.repeat(np.arange(e.nvoxels), nspv)
    spread = e.spin_spread * ((np.arange(nspv) + 0.5) / nspv - 0.5)
    shift = np.array([m.chemical_shift for m in metabolites]) - e.center_shift
    offset = (shift[:, None] * e.reference_frequency * 1e-6 + e.off_resonance[voxel][None, :]
              + np.tile(spread, e.nvoxels)[None, :])
    r2 = np.array([1.0 / m.t2 for m in metabolites])[:, None]
    r1 = np.array([1.0 / m.t1 for m in metabolites])[:, None]
    clear = np.array([m.clearance for m in metabolites])[:, None]
    k = np.stack([rate[voxel] for rate in e.conversion_rates])
    return voxel, offset, r2, r1, clear, k


def solve_experiment(e: Experiment, linear_source: bool) -> np.ndarray:
    """Signal (nmetabolites, ncoils, nvoxels, nexcitations) by direct integration."""
    metabolites = e.metabolites
    npools, nspv = len(metabolites), e.spins_per_voxel
    nspins = e.nvoxels * nspv
    voxel, offset, r2, r1, clear, k = spin_rates(e)  # k: (nproducts, nspins)
    delivery = e.delivery[voxel]
    E = e.equilibrium
    inflow = e.inflow

    def exact_sources(t):
        if inflow is None:
            return 0.0, 0.0
        u = float(inflow.bolus.rate(t))
        return u, u * inflow.polarization * math.exp(-t / inflow.polarization_t1)

    def rhs(t, y, sources):
        mx, my, mz, c = y.reshape(4, npools, nspins)
        u_c, u_m = sources(t)
        dmx = -r2 * mx + 2 * math.pi * offset * my
        dmy = -r2 * my - 2 * math.pi * offset * mx
        dc = np.empty_like(c)
        dmz = np.empty_like(mz)
        dc[0] = -(clear[0] + k.sum(0)) * c[0] + delivery * u_c
        dc[1:] = -clear[1:] * c[1:] + k * c[0]
        dmz[0] = -(r1[0] + clear[0] + k.sum(0)) * mz[0] + r1[0] * E * c[0] + delivery * u_m
        dmz[1:] = -(r1[1:] + clear[1:]) * mz[1:] + k * mz[0] + r1[1:] * E * c[1:]
        return np.concatenate([dmx, dmy, dmz, dc], axis=None)

    y = np.zeros((4, npools, nspins))
    for p in range(npools):
        y[2, p] = e.initial_magnetization[p][voxel]
        y[3, p] = e.initial_concentration[p][voxel]
    acquisition = e.acquisition
    angles = acquisition.flip_angles.schedule(acquisition.excitations)
    transmit = np.ones(e.nvoxels, complex) if e.transmit is None else e.transmit
    plan = planner.build_plan(e)
    signal = np.zeros((npools, e.ncoils, e.nvoxels, acquisition.excitations), complex)
    excitation = -1
    for step in range(plan.nsteps):
        start, middle, end = plan.node_times[step]
        for a, b in ((start, middle), (middle, end)):
            if linear_source:
                u0, m0 = exact_sources_sided(inflow, a, +1)
                u1, m1 = exact_sources_sided(inflow, b, -1)
                sources = (lambda t, a=a, b=b, u0=u0, u1=u1, m0=m0, m1=m1:
                           (u0 + (u1 - u0) * (t - a) / (b - a), m0 + (m1 - m0) * (t - a) / (b - a)))
            else:
                sources = exact_sources
            solution = integrate.solve_ivp(rhs, (a, b), y.reshape(-1), method="DOP853",
                                           rtol=1e-12, atol=1e-16, args=(sources,))
            assert solution.success
            y = solution.y[:, -1].reshape(4, npools, nspins)
            if a == start and plan.rf_groups[step] >= 0:
                excitation += 1
                y = rotate(y, angles[excitation] * np.abs(transmit[voxel]),
                           np.angle(transmit[voxel]))
        if plan.rf_groups[step] >= 0:
            received = (y[0] + 1j * y[1]) / nspv  # (npools, nspins)
            for v in range(e.nvoxels):
                part = received[:, voxel == v].sum(axis=1)
                signal[:, :, v, excitation] = part[:, None] * e.receive[None, :, v]
            if acquisition.crushers:
                y[0:2] = 0.0
    return signal


def exact_sources_sided(inflow, t, side):
    if inflow is None:
        return 0.0, 0.0
    u = float(inflow.bolus.rate(t, side))
    return u, u * inflow.polarization * math.exp(-t / inflow.polarization_t1)


def rotate(y, angle, phase):
    """Rotate (Mx, My, Mz) of every pool by ``angle`` about (sin phase, cos phase, 0)."""
    kx, ky = np.sin(phase), np.cos(phase)
    v = y[0:3]
    cross = np.stack([ky * v[2], -kx * v[2], kx * v[1] - ky * v[0]])
    along = kx * v[0] + ky * v[1]
    axis = np.stack([kx * np.ones_like(along), ky * np.ones_like(along), np.zeros_like(along)])
    rotated = v * np.cos(angle) + cross * np.sin(angle) + axis * along * (1 - np.cos(angle))
    out = y.copy()
    out[0:3] = rotated
    return out


def two_site(**changes) -> Experiment:
    """Two voxels; the second has R1P + kPL equal to R1L, the duration form's case."""
    fields = dict(
        precursor=Metabolite("pyruvate", 25.0, 0.3, 171.0), products=(LACTATE,),
        conversion_rates=([0.03, 0.0],), nvoxels=2,
        acquisition=Acquisition(repetition_time=2.0, excitations=12,
                                flip_angles=FlipAngles("constant", 20.0)),
        initial_magnetization=([1.0, 0.8], [0.0, 0.1]), max_half_interval=0.5,
    )
    fields.update(changes)
    return Experiment(**fields)


GAMMA_INFLOW = Inflow(Bolus("gamma", arrival=2.0, duration=6.0), polarization=0.9,
                      polarization_t1=40.0)
BOXCAR_INFLOW = Inflow(Bolus("boxcar", arrival=1.3, duration=4.1, dose=2.0))
VARIABLE = Acquisition(repetition_time=2.0, excitations=12, flip_angles=FlipAngles("variable", 60))
NO_CRUSHERS = Acquisition(repetition_time=1.0, excitations=10, crushers=False,
                          flip_angles=FlipAngles("list", angles=tuple(range(5, 55, 5))))

CASES = {
    "two-site": two_site(),
    "two-site, no crushers": two_site(acquisition=NO_CRUSHERS, reference_frequency=5e5),
    "two-site, inflow, B1, spins, coils": two_site(
        inflow=GAMMA_INFLOW, acquisition=VARIABLE, initial_magnetization=None,
        transmit=[0.9, 1.1 * np.exp(0.4j)], spins_per_voxel=3, spin_spread=6.0,
        receive=[[1.0, 0.5], [0.3 - 0.2j, 1.0]], delivery=[1.0, 1.7]),
    "two-site, boxcar inflow, equilibrium, clearance": two_site(
        precursor=Metabolite("pyruvate", 30.0, 0.3, 171.0, clearance=0.02),
        products=(Metabolite("lactate", 25.0, 0.3, 183.0, clearance=0.01),),
        conversion_rates=([0.03, 0.08],), inflow=BOXCAR_INFLOW, equilibrium=0.05,
        initial_magnetization=None, initial_concentration=([0.5, 0.0], [0.2, 0.3])),
    "three products, inflow, equilibrium": Experiment(
        precursor=Metabolite("pyruvate", 30.0, 0.3, 171.0, clearance=0.01),
        products=(LACTATE, ALANINE, Metabolite("bicarbonate", 15.0, 0.3, 161.0, clearance=0.02)),
        conversion_rates=([0.03, 0.06], [0.01, 0.0], [0.004, 0.002]), nvoxels=2,
        acquisition=VARIABLE, inflow=GAMMA_INFLOW, equilibrium=0.02, transmit=[1.0, 0.95],
        initial_concentration=(0.0, 0.1, 0.0, 0.0), max_half_interval=0.5),
    "three products, no inflow, no crushers": Experiment(
        precursor=PYRUVATE, products=(LACTATE, ALANINE, BICARBONATE),
        conversion_rates=(0.03, [0.01, 0.02], 0.005), nvoxels=2, acquisition=NO_CRUSHERS,
        reference_frequency=5e5, initial_magnetization=([1.0, 0.6], 0.0, 0.0, 0.0),
        max_half_interval=0.5),
}


def relative_error(simulated: np.ndarray, expected: np.ndarray) -> float:
    """Largest difference per metabolite over that metabolite's largest signal."""
    scale = np.abs(expected).max(axis=(1, 2, 3))
    assert np.all(scale > 0)
    return float((np.abs(simulated - expected).max(axis=(1, 2, 3)) / scale).max())


@pytest.mark.parametrize("name", list(CASES))
def test_agrees_with_direct_integration_of_the_planned_source(name):
    experiment = CASES[name]
    result = korvel.simulate(experiment, num_threads=2)
    expected = solve_experiment(experiment, linear_source=True)
    assert relative_error(result.signal, expected) < 1e-8


def test_interpolation_error_of_the_true_bolus_falls_as_the_half_interval_squared():
    experiment = two_site(inflow=GAMMA_INFLOW, acquisition=VARIABLE, initial_magnetization=None,
                          nvoxels=1, conversion_rates=(0.05,))
    expected = solve_experiment(experiment, linear_source=False)
    errors = [relative_error(korvel.simulate(experiment.replace(max_half_interval=h)).signal,
                             expected) for h in (0.5, 0.25, 0.125)]
    assert errors[0] < 3e-3
    for coarse, fine in zip(errors, errors[1:]):
        assert 3.5 < coarse / fine < 4.5


def test_area_ratio_is_conversion_over_product_relaxation_without_rf_losses():
    # integral(L) / integral(P) = kPL / R1L for any input when both start and end at zero;
    # flips of 1e-6 degrees observe without depleting, and dense readouts sum to the integrals.
    experiment = Experiment(
        precursor=PYRUVATE, products=(LACTATE,), conversion_rates=(0.04,),
        acquisition=Acquisition(repetition_time=1.0, excitations=300,
                                flip_angles=FlipAngles("constant", 1e-6)),
        inflow=GAMMA_INFLOW)
    pyruvate, lactate = np.abs(korvel.simulate(experiment).signal[:, 0, 0, :])
    assert lactate.sum() / pyruvate.sum() == pytest.approx(0.04 * 25.0, rel=1e-4)


@pytest.mark.parametrize("arrival, width", [(2.101, 6.5), (0.3, 2.7), (4.3, 7.9)])
def test_boxcar_signal_is_continuous_in_its_width(arrival, width):
    # A node sits on the boxcar's end; its source must not depend on how t - arrival rounds there.
    def signal(duration):
        experiment = two_site(inflow=Inflow(Bolus("boxcar", arrival, duration)),
                              acquisition=VARIABLE, initial_magnetization=None, nvoxels=1,
                              conversion_rates=(0.05,))
        return korvel.simulate(experiment).signal

    base, nudged = signal(width), signal(width * (1 + 1e-9))
    assert np.abs(nudged - base).max() < 1e-6 * np.abs(base).max()
