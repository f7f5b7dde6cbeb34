"""Metabolite-selective excitation: a flip-angle schedule and an excitation time per metabolite.

The simulator is checked against a direct integration of the model equations that knows the
acquisition only from its description: at each frame's start plus a metabolite's offset, that
metabolite (alone, or with those sharing its offset) is rotated by its own angle times the
voxel's transmit scale, then read out after the readout delay and crushed. The integration is
fed the plan's piecewise-linear source, so the two agree to rounding.
"""

from __future__ import annotations

import math
import tomllib
from collections.abc import Mapping
from dataclasses import replace

import numpy as np
import pytest

import korvel
from conftest import THREAD_COUNTS, same_bits
from korvel.host import planner
from korvel.host.config import default_config_text, experiment_from_config
from korvel.host.experiment import (
    Acquisition,
    Experiment,
    ExperimentError,
    FlipAngles,
    Metabolite,
)
from test_host_physics import (
    ALANINE,
    BICARBONATE,
    BOXCAR_INFLOW,
    GAMMA_INFLOW,
    LACTATE,
    PYRUVATE,
    exact_sources_sided,
    relative_error,
    rotate,
    spin_rates,
)

integrate = pytest.importorskip("scipy.integrate")


def solve_selective(e: Experiment) -> np.ndarray:
    """Signal (nmetabolites, ncoils, nvoxels, nframes) of ``e`` by direct integration, with
    the plan's node times as the source's interpolation nodes and nothing else from it."""
    metabolites = e.metabolites
    names = [m.name for m in metabolites]
    npools, nspv = len(metabolites), e.spins_per_voxel
    nspins = e.nvoxels * nspv
    voxel, offset, r2, r1, clear, k = spin_rates(e)
    delivery = e.delivery[voxel]
    E = e.equilibrium

    def rhs(t, y, source):
        mx, my, mz, c = y.reshape(4, npools, nspins)
        u_c, u_m = source(t)
        dc, dmz = np.empty_like(c), np.empty_like(mz)
        dc[0] = -(clear[0] + k.sum(0)) * c[0] + delivery * u_c
        dc[1:] = -clear[1:] * c[1:] + k * c[0]
        dmz[0] = -(r1[0] + clear[0] + k.sum(0)) * mz[0] + r1[0] * E * c[0] + delivery * u_m
        dmz[1:] = -(r1[1:] + clear[1:]) * mz[1:] + k * mz[0] + r1[1:] * E * c[1:]
        return np.concatenate([-r2 * mx + 2 * math.pi * offset * my,
                               -r2 * my - 2 * math.pi * offset * mx, dmz, dc], axis=None)

    def advance(y, a, b, source):
        solution = integrate.solve_ivp(rhs, (a, b), y.reshape(-1), method="DOP853",
                                       rtol=1e-12, atol=1e-16, args=(source,))
        assert solution.success
        return solution.y[:, -1].reshape(4, npools, nspins)

    # The acquisition, from its description alone.
    acquisition = e.acquisition
    angles = np.stack([acquisition.flip_angles[n].schedule(acquisition.excitations)
                       if isinstance(acquisition.flip_angles, Mapping)
                       else acquisition.flip_angles.schedule(acquisition.excitations)
                       for n in names])
    offsets = np.array([acquisition.excitation_offsets.get(n, 0.0) for n in names])
    events = []  # (time, order, kind, pools, frame): pulses before readouts at one instant
    for n, start in enumerate(acquisition.excitation_times()):
        for o in sorted(set(offsets.tolist())):
            pools = np.flatnonzero(offsets == o)
            events.append((start + o, 0, "pulse", pools, n))
            events.append(((start + o) + acquisition.readout_delay, 1, "readout", pools, n))
    events.sort(key=lambda event: event[:2])
    nodes = np.unique(planner.build_plan(e).node_times)
    assert all(np.any(nodes == t) for t, _, kind, _, _ in events if kind == "pulse")

    transmit = np.ones(e.nvoxels, complex) if e.transmit is None else e.transmit
    y = np.zeros((4, npools, nspins))
    for p in range(npools):
        y[2, p] = e.initial_magnetization[p][voxel]
        y[3, p] = e.initial_concentration[p][voxel]
    signal = np.zeros((npools, e.ncoils, e.nvoxels, acquisition.excitations), complex)

    def apply(kind, pools, n):
        if kind == "pulse":
            for p in pools:
                y[:, [p]] = rotate(y[:, [p]], angles[p, n] * np.abs(transmit[voxel]),
                                   np.angle(transmit[voxel]))
            return
        received = (y[0] + 1j * y[1]) / nspv
        for v in range(e.nvoxels):
            part = received[pools][:, voxel == v].sum(axis=1)
            signal[pools, :, v, n] = part[:, None] * e.receive[None, :, v]
        if acquisition.crushers:
            y[0:2] = 0.0

    queue = list(events)
    for a, b in zip(nodes[:-1], nodes[1:]):
        # The plan's half-interval [a, b], with its source linear between its sided ends,
        # integrated piece by piece between the events within it.
        u0, m0 = exact_sources_sided(e.inflow, a, +1)
        u1, m1 = exact_sources_sided(e.inflow, b, -1)
        source = (lambda t, a=a, b=b, u0=u0, u1=u1, m0=m0, m1=m1:
                  (u0 + (u1 - u0) * (t - a) / (b - a), m0 + (m1 - m0) * (t - a) / (b - a)))
        here = a
        while queue and queue[0][0] < b:
            time, _, kind, pools, n = queue.pop(0)
            if time > here:
                y = advance(y, here, time, source)
                here = time
            apply(kind, pools, n)
        y, here = advance(y, here, b, source), b
    for time, _, kind, pools, n in queue:  # after the plan's end: only transverse matters
        assert n == acquisition.excitations - 1
        if time > here:
            y = advance(y, here, time, lambda t: (0.0, 0.0))
            here = time
        apply(kind, pools, n)
    return signal


def flips(**schedules) -> dict:
    return {name: FlipAngles(*value) if isinstance(value, tuple) else value
            for name, value in schedules.items()}


def two_site(**changes) -> Experiment:
    fields = dict(precursor=PYRUVATE, products=(LACTATE,), conversion_rates=([0.03, 0.05],),
                  nvoxels=2, initial_magnetization=([1.0, 0.8], [0.0, 0.1]),
                  max_half_interval=0.5)
    fields.update(changes)
    return Experiment(**fields)


def three_products(**changes) -> Experiment:
    fields = dict(precursor=Metabolite("pyruvate", 30.0, 0.3, 171.0, clearance=0.01),
                  products=(LACTATE, ALANINE, BICARBONATE),
                  conversion_rates=([0.03, 0.06], [0.01, 0.0], [0.004, 0.002]), nvoxels=2,
                  max_half_interval=0.5)
    fields.update(changes)
    return Experiment(**fields)


def acquisition(angles, offsets=None, **changes) -> Acquisition:
    fields = dict(repetition_time=2.0, excitations=10, flip_angles=angles,
                  excitation_offsets=offsets or {})
    fields.update(changes)
    return Acquisition(**fields)


SMALL_AND_LARGE = flips(pyruvate=("constant", 10.0), lactate=("constant", 30.0))
VARIABLE_EACH = flips(pyruvate=("variable", 40.0), lactate=("variable", 90.0))
THREE_SPSP = flips(pyruvate=("variable", 20.0), lactate=("constant", 30.0),
                   alanine=("constant", 30.0), bicarbonate=("constant", 30.0))
THREE_MIXED = flips(pyruvate=("constant", 12.0), lactate=("variable", 60.0),
                    alanine=("variable", 60.0), bicarbonate=("constant", 25.0))
# Pyruvate and lactate meet at 20 degrees in frames 2 and 5: there one shared pulse.
MEETING = flips(pyruvate=FlipAngles("list", angles=(5, 10, 20, 10, 10, 20, 10, 10, 10, 10)),
                lactate=FlipAngles("list", angles=(30, 30, 20, 30, 30, 20, 30, 30, 30, 30)))

CASES = {
    "two-site, one pulse, an angle each": two_site(acquisition=acquisition(SMALL_AND_LARGE)),
    "two-site, pulses apart, variable each, inflow, B1, spins, coils": two_site(
        acquisition=acquisition(VARIABLE_EACH, {"lactate": 0.1}), inflow=GAMMA_INFLOW,
        initial_magnetization=None, transmit=[0.9, 1.1 * np.exp(0.4j)], spins_per_voxel=3,
        spin_spread=6.0, receive=[[1.0, 0.5], [0.3 - 0.2j, 1.0]], delivery=[1.0, 1.7]),
    "two-site, lactate first, no crushers": two_site(
        acquisition=acquisition(SMALL_AND_LARGE, {"pyruvate": 0.7, "lactate": 0.2},
                                crushers=False, repetition_time=1.0),
        reference_frequency=5e5),
    "two-site, shared pulse in some frames only, boxcar inflow, equilibrium": two_site(
        acquisition=acquisition(MEETING), inflow=BOXCAR_INFLOW, equilibrium=0.05,
        initial_magnetization=None, initial_concentration=([0.5, 0.0], [0.2, 0.3]),
        transmit=[1.0, 0.9]),
    "three products, one pulse, inflow, B1": three_products(
        acquisition=acquisition(THREE_SPSP), inflow=GAMMA_INFLOW, transmit=[1.0, 0.95],
        equilibrium=0.02, initial_concentration=(0.0, 0.1, 0.0, 0.0)),
    "three products, three pulses, inflow, B1, spins": three_products(
        acquisition=acquisition(THREE_MIXED, {"lactate": 0.3, "alanine": 0.3,
                                              "bicarbonate": 0.6}),
        inflow=GAMMA_INFLOW, transmit=[1.05, 0.9 * np.exp(-0.3j)], spins_per_voxel=2,
        spin_spread=3.0),
    "three products, pulses apart, no inflow, no crushers": three_products(
        acquisition=acquisition(THREE_MIXED, {"pyruvate": 0.05, "alanine": 0.5},
                                crushers=False),
        reference_frequency=5e5, initial_magnetization=([1.0, 0.6], 0.0, 0.0, 0.0)),
}


@pytest.mark.parametrize("name", list(CASES))
def test_agrees_with_direct_integration(name):
    experiment = CASES[name]
    result = korvel.simulate(experiment, num_threads=2, progress=False)
    assert relative_error(result.signal, solve_selective(experiment)) < 1e-8
    expected_times = (experiment.acquisition.excitation_times()[None, :]
                      + experiment.excitation_offsets()[:, None]) + 0.005
    assert same_bits(result.readout_times, expected_times)


@pytest.mark.parametrize("offsets", [{}, {"lactate": 0.25}])
@pytest.mark.parametrize("transmit", [None, [0.8, 1.2j]])
def test_a_metabolite_at_angle_zero_is_never_disturbed(offsets, transmit):
    # Lactate only observes; pyruvate is never excited, so lactate grows by conversion
    # and relaxation alone, and pyruvate's signal is exactly zero.
    angles = flips(pyruvate=("constant", 0.0), lactate=("constant", 1e-6))
    experiment = two_site(acquisition=acquisition(angles, offsets), transmit=transmit,
                          initial_magnetization=(1.0, 0.0))
    result = korvel.simulate(experiment, progress=False)
    assert np.all(result.signal[0] == 0)
    # The closed form of undisturbed conversion, seen by a 1e-6 degree observer through
    # the transverse decay over the readout delay.
    a, b = 1 / 30 + np.array([0.03, 0.05])[:, None], 1 / 25
    t = result.readout_times[1] - 0.005
    lactate = np.array([0.03, 0.05])[:, None] * (np.exp(-b * t) - np.exp(-a * t)) / (a - b)
    b1 = np.abs(np.array([1.0, 1.0] if transmit is None else transmit))[:, None]
    expected = lactate * np.sin(np.radians(1e-6) * b1) * math.exp(-0.005 / 0.3)
    np.testing.assert_allclose(np.abs(result.signal[1, 0]), expected, rtol=1e-9)


def mixed_and_pure(**changes) -> Experiment:
    """Forty voxels: a long run of one class (a chunk of its own) and short runs of several."""
    transmit = np.concatenate([np.full(30, 0.97), [1.0, 0.9, 1.1j, 0.95] * 2, [1.02, 0.93]])
    fields = dict(nvoxels=40, transmit=transmit, spins_per_voxel=3, spin_spread=2.0,
                  conversion_rates=(np.r_[np.full(30, 0.03), np.linspace(0.01, 0.05, 10)],
                                    0.01, 0.003),
                  inflow=GAMMA_INFLOW, memory_bound=40_000,
                  acquisition=acquisition(THREE_MIXED, {"lactate": 0.3, "alanine": 0.3,
                                                        "bicarbonate": 0.6}, excitations=6))
    fields.update(changes)
    return three_products(**fields)


SAME_BITS = {
    "mixed and pure chunks, B1": mixed_and_pure(),
    "uniform field, an odd number of spins": mixed_and_pure(
        transmit=None, spins_per_voxel=1, nvoxels=41,
        conversion_rates=(np.r_[np.full(30, 0.03), np.linspace(0.01, 0.05, 11)], 0.01, 0.003)),
    "one pulse, three products alike, no crushers": mixed_and_pure(acquisition=acquisition(
        THREE_SPSP, excitations=5, crushers=False)),
}


@pytest.fixture(scope="module")
def reference_signals():
    return {name: korvel.simulate(e, "reference", progress=False).signal
            for name, e in SAME_BITS.items()}


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
@pytest.mark.parametrize("name", list(SAME_BITS))
def test_native_gives_the_reference_bits_for_any_team_and_chunking(name, num_threads,
                                                                   reference_signals):
    experiment = SAME_BITS[name]
    chunks = planner.plan_chunks(experiment, planner.choose_driver(experiment))
    assert {c.pure for c in chunks} == {True, False}
    native = korvel.simulate(experiment, "native", num_threads, progress=False).signal
    assert same_bits(native, reference_signals[name])
    assert np.abs(native).max() > 0
    if num_threads == 2:  # other chunks and blocks, the same bits
        for bound in (1, 10**9):
            other = korvel.simulate(experiment.replace(memory_bound=bound), "native", 2,
                                    progress=False).signal
            assert same_bits(other, native)


def test_one_shared_schedule_keeps_the_bits_and_the_plan_of_one_flip_angles():
    shared = three_products(acquisition=acquisition(FlipAngles("variable", 50.0)),
                            inflow=GAMMA_INFLOW, transmit=[1.0, 0.9])
    named = shared.replace(acquisition=replace(shared.acquisition, flip_angles={
        m.name: FlipAngles("variable", 50.0) for m in shared.metabolites}))
    assert planner.build_plan(named).nsteps == planner.build_plan(shared).nsteps
    assert not planner.build_plan(named).host_pulses
    a, b = (korvel.simulate(e, progress=False) for e in (shared, named))
    assert same_bits(a.signal, b.signal)
    assert same_bits(b.time, shared.acquisition.readout_times())
    assert b.metabolite_flip_angles.shape == (4, 10) and same_bits(b.flip_angles,
                                                                   b.metabolite_flip_angles[2])


def test_per_metabolite_settings_keep_the_acquisition_frozen_and_hashable():
    angles = {"pyruvate": FlipAngles("constant", 10.0), "lactate": FlipAngles("constant", 30.0)}
    a, b = (acquisition(dict(angles), {"lactate": 0.1}) for _ in range(2))
    assert a == b and hash(a) == hash(b) and hash(Acquisition()) == hash(Acquisition())
    angles["lactate"] = FlipAngles("constant", 90.0)  # the caller's dict is copied
    assert a.flip_angles["lactate"].angle == 30.0
    with pytest.raises(TypeError):
        a.excitation_offsets["lactate"] = 0.2


def test_result_and_summary_use_each_metabolites_own_times():
    experiment = CASES["two-site, pulses apart, variable each, inflow, B1, spins, coils"]
    result = korvel.simulate(experiment, progress=False)
    assert result.readout_times.shape == result.metabolite_flip_angles.shape == (2, 10)
    np.testing.assert_allclose(result.readout_times[1] - result.readout_times[0], 0.1)
    np.testing.assert_allclose(result.metabolite_flip_angles[:, -1], [40.0, 90.0])
    # Each variable schedule ends at its own angle: tan(theta_n) = sin(theta_n+1).
    radians = np.radians(result.metabolite_flip_angles)
    np.testing.assert_allclose(np.tan(radians[:, :-1]), np.sin(radians[:, 1:]))
    curves = result.region_curves()
    for row in result.summary():
        m = result.metabolites.index(row["metabolite"])
        r = result.region_names().index(row["region"])
        assert row["peak_time"] == result.readout_times[m, int(np.argmax(curves[m, r]))]


BAD = [
    (dict(flip_angles={"pyruvate": FlipAngles()}),
     "acquisition flip_angles must name every metabolite exactly once (pyruvate, lactate): "
     "missing 'lactate'"),
    (dict(flip_angles={"pyruvate": FlipAngles(), "lactate": FlipAngles(), "urea": FlipAngles()}),
     "acquisition flip_angles must name every metabolite exactly once (pyruvate, lactate): "
     "unknown 'urea'"),
    (dict(flip_angles={"pyruvate": FlipAngles(), "lactate": 20.0}),
     "acquisition flip_angles['lactate'] must be FlipAngles, got float"),
    (dict(flip_angles={}), "acquisition flip_angles must not be an empty mapping"),
    (dict(flip_angles={"pyruvate": FlipAngles(), "lactate": FlipAngles("list", angles=(1, 2))}),
     "flip angles: 2 angles given for 10 excitations"),
    (dict(excitation_offsets={"lactate": -0.1}),
     "acquisition excitation_offsets['lactate'] must not be negative, got -0.1"),
    (dict(excitation_offsets={"lactate": float("nan")}),
     "acquisition excitation_offsets['lactate'] must not be NaN"),
    (dict(excitation_offsets={"lactate": "0.1"}),
     "acquisition excitation_offsets['lactate'] must be a number, got '0.1'"),
    (dict(excitation_offsets=[0.1]),
     "acquisition excitation_offsets must map metabolite names to times in s, got list"),
    (dict(excitation_offsets={"alanine": 0.1}),
     "acquisition excitation_offsets: unknown metabolite 'alanine' (metabolites: pyruvate, "
     "lactate)"),
    (dict(excitation_offsets={"lactate": 0.009}),
     "acquisition excitation_offsets 0 s and 0.009 s must be at least twice the readout_delay "
     "(0.01 s) apart"),
    (dict(excitation_offsets={"lactate": 1.99}),
     "acquisition excitation_offsets must fit within one repetition"),
]


@pytest.mark.parametrize("changes, message", BAD)
def test_invalid_selective_acquisitions_name_the_field(changes, message):
    with pytest.raises(ExperimentError) as error:
        two_site(acquisition=acquisition(**{"angles": FlipAngles(), **{
            ("angles" if k == "flip_angles" else "offsets"): v for k, v in changes.items()}}))
    assert str(error.value).startswith(message)


def test_config_takes_a_schedule_and_an_offset_per_metabolite():
    config = tomllib.loads(default_config_text())
    config["acquisition"]["flip_angles"] = {
        "pyruvate": {"kind": "constant", "angle": 10},
        "lactate": {"kind": "variable", "angle": 90},
        "alanine": {"kind": "list", "angles": [30] * 20}}
    config["acquisition"]["excitation_offsets"] = {"lactate": 0.1, "alanine": 0.2}
    e = experiment_from_config(config)
    np.testing.assert_allclose(np.degrees(e.flip_angle_schedules()[:, -1]), [10.0, 90.0, 30.0])
    assert e.excitation_offsets().tolist() == [0.0, 0.1, 0.2]
    for bad, message in (({"pyruvate": {"kind": "constant", "angle": 10}},
                          "missing 'lactate', 'alanine'"),
                         ({"pyruvate": {"angel": 10}, "lactate": {}, "alanine": {}},
                          "unknown key 'angel' in [acquisition.flip_angles.pyruvate]"),
                         ({"pyruvate": 10, "lactate": {}, "alanine": {}},
                          "[acquisition.flip_angles.pyruvate] must be a table")):
        config["acquisition"]["flip_angles"] = bad
        with pytest.raises(ExperimentError, match=message.replace("[", r"\[")):
            experiment_from_config(config)


def test_printed_config_shows_both_keys_commented_and_still_loads():
    # The default reads out with an angle per metabolite; one schedule for all and the
    # offsets of metabolite-specific imaging are commented alternatives.
    text = default_config_text()
    assert "\nflip_angles = { pyruvate = {" in text
    assert "# flip_angles = { kind" in text
    assert "# excitation_offsets = {" in text
    assert isinstance(experiment_from_config(tomllib.loads(text)).acquisition.flip_angles, Mapping)
    uncommented = "\n".join(line[2:] if line.startswith("# excitation_offsets") else line
                            for line in text.splitlines())
    e = experiment_from_config(tomllib.loads(uncommented))
    assert isinstance(e.acquisition.flip_angles, Mapping) and e.acquisition.excitation_offsets
    assert np.isfinite(korvel.simulate(e, progress=False).signal).all()
    single = "\n".join(line[2:] if line.startswith("# flip_angles = { kind") else line
                       for line in text.splitlines()
                       if not line.startswith("flip_angles = { pyruvate"))
    e = experiment_from_config(tomllib.loads(single))
    assert not isinstance(e.acquisition.flip_angles, Mapping)
    assert np.isfinite(korvel.simulate(e, progress=False).signal).all()


def test_curves_file_gives_each_metabolites_times_only_where_they_differ(tmp_path):
    import csv

    from korvel.cli.simulate import write_curves

    # Own angles at shared times, and own times.
    for name in ("two-site, one pulse, an angle each", "two-site, lactate first, no crushers"):
        result = korvel.simulate(CASES[name], progress=False)
        write_curves(result, tmp_path / "curves.csv")
        with (tmp_path / "curves.csv").open() as file:
            header, *rows = list(csv.reader(file))
        column = header.index("time_s/lactate")
        assert [float(row[column]) for row in rows] == pytest.approx(result.readout_times[1])
    shared = korvel.simulate(two_site(acquisition=acquisition(FlipAngles())), progress=False)
    write_curves(shared, tmp_path / "curves.csv")
    header = (tmp_path / "curves.csv").read_text().splitlines()[0].split(",")
    assert header[:3] == ["excitation", "time_s", "flip_angle_deg"] and len(header) == 7
