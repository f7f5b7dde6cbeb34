"""The simulator: both backends, shared groups, blocks and chunks, validation, the command."""

from __future__ import annotations

import re
import subprocess
import sys

import numpy as np
import pytest

import korvel
from conftest import THREAD_COUNTS, same_bits
from korvel.host import planner
from korvel.__main__ import main
from korvel.host.config import experiment_from_config
from korvel.host.experiment import (
    Acquisition,
    Bolus,
    Experiment,
    ExperimentError,
    FlipAngles,
    Inflow,
    Metabolite,
)

PYRUVATE = Metabolite("pyruvate", 30.0, 0.3, 171.0, clearance=0.01)
LACTATE = Metabolite("lactate", 25.0, 0.3, 183.0)
ALANINE = Metabolite("alanine", 25.0, 0.3, 176.5, clearance=0.02)
ACQUISITION = Acquisition(repetition_time=2.0, excitations=8,
                          flip_angles=FlipAngles("list", angles=(10, 15, 15, 20, 20, 30, 30, 70)))


def experiment_for(driver: str, **changes) -> Experiment:
    """A small experiment on each driver, with spins, coils, a transmit map and (where the
    driver has them) inflow and the equilibrium term."""
    fields = dict(
        precursor=PYRUVATE, products=(LACTATE,), conversion_rates=([0.02, 0.05, 0.0],),
        nvoxels=3, acquisition=ACQUISITION, transmit=[1.0, 0.9, 1.1j],
        receive=[[1.0, 0.7, 0.2], [0.1j, 0.5, 1.0]], spins_per_voxel=2, spin_spread=5.0,
        off_resonance=[0.0, 4.0, -7.0], initial_magnetization=(1.0, 0.1), max_half_interval=0.5,
    )
    if driver != planner.TWO_POOL:
        fields.update(inflow=Inflow(Bolus("boxcar", arrival=1.5, duration=5.0)),
                      equilibrium=0.03, initial_concentration=(0.4, 0.0))
    if driver == planner.MULTI_POOL:
        fields.update(products=(LACTATE, ALANINE), conversion_rates=([0.02, 0.05, 0.0], 0.01),
                      initial_magnetization=None, initial_concentration=None)
    fields.update(changes)
    return Experiment(**fields)


@pytest.fixture(scope="module")
def reference_results():
    return {driver: korvel.simulate(experiment_for(driver), "reference")
            for driver in planner.DRIVERS}


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
@pytest.mark.parametrize("driver", planner.DRIVERS)
def test_native_gives_the_reference_bits(driver, num_threads, reference_results):
    native = korvel.simulate(experiment_for(driver), "native", num_threads)
    assert native.driver == driver
    assert native.signal.shape == (len(native.metabolites), 2, 3, 8)
    assert same_bits(native.signal, reference_results[driver].signal)
    assert np.abs(native.signal).max() > 0


@pytest.mark.parametrize("driver", planner.DRIVERS)
def test_shared_groups_and_any_blocking_reproduce_the_unshared_plan(driver):
    experiment = experiment_for(driver)
    shared = planner.build_plan(experiment)
    unshared = planner.build_plan(experiment, share=False)
    assert len(shared.group_durations) < len(unshared.group_durations) == unshared.nsteps
    assert len(shared.rf_angles) < len(unshared.rf_angles) == experiment.acquisition.excitations
    expected = korvel.simulate(experiment, share_groups=False).signal
    assert same_bits(korvel.simulate(experiment).signal, expected)
    # A bound this small makes every block one step and every chunk one voxel.
    tiny = experiment.replace(memory_bound=1)
    chunks = planner.plan_chunks(tiny, planner.driver_record(driver))
    assert [(c.start, c.stop) for c in chunks] == [(0, 1), (1, 2), (2, 3)]
    assert same_bits(korvel.simulate(tiny, "reference").signal, expected)


def test_blocks_keep_their_group_tables_within_the_bound():
    experiment = experiment_for(planner.SOURCE_INTERVAL, max_half_interval=0.1)
    plan = planner.build_plan(experiment, share=False)
    costs = planner.chunk_costs(experiment, planner.driver_record(planner.SOURCE_INTERVAL), False)
    per_group, per_factor, per_rf = costs.longitudinal, costs.factor, costs.rf
    nspins = experiment.nspins
    bound = 3 * nspins * (per_group + per_factor + per_rf)
    blocks = planner.plan_blocks(plan, costs, nspins, bound + nspins * costs.chunk)
    assert blocks[0][0] == 0 and blocks[-1][1] == plan.nsteps
    assert all(a[1] == b[0] for a, b in zip(blocks, blocks[1:]))
    for start, stop in blocks:
        steps = slice(start, stop)
        size = nspins * (
            len(set(plan.longitudinal_groups[steps].tolist())) * per_group
            + len(set(plan.factor_groups[steps].tolist())) * per_factor
            + len(set(plan.rf_groups[steps].tolist()) - {-1}) * per_rf)
        assert size <= bound
    assert len(blocks) > 10


def test_plan_steps_tile_the_time_axis():
    experiment = experiment_for(planner.SOURCE_INTERVAL, max_half_interval=0.3)
    plan = planner.build_plan(experiment)
    nodes = plan.node_times
    assert nodes[0, 0] == 0.0
    assert np.array_equal(nodes[1:, 0], nodes[:-1, 2])
    np.testing.assert_allclose(nodes[:, 1] - nodes[:, 0], plan.half_durations, rtol=1e-12)
    assert plan.half_durations.max() <= 0.3
    rf_steps = plan.rf_groups >= 0
    np.testing.assert_allclose(nodes[rf_steps, 1], experiment.acquisition.excitation_times())
    # The boxcar's edges are nodes, where a half takes the limit from its own side.
    for edge in (1.5, 6.5):
        step = int(np.flatnonzero(nodes[:, 0] == edge)[0])
        assert plan.windows[0, step] == (0.2 if edge == 1.5 else 0.0)
        assert plan.windows[3, step - 1] == (0.0 if edge == 1.5 else 0.2)
    assert plan.action_kinds.tolist() == [planner.ADC_ACTION, planner.CRUSHER_ACTION] * 8
    assert plan.action_payloads[::2].tolist() == list(range(8))


def test_progress_bar_goes_to_stderr_when_asked(capsys):
    experiment = experiment_for(planner.MULTI_POOL, memory_bound=1, max_half_interval=2.0)
    korvel.simulate(experiment, progress=True)
    err = capsys.readouterr().err
    blocks = 3 * planner.build_plan(experiment).nsteps  # one step per block, one voxel per chunk
    assert err.startswith("\rsimulating [") and err.endswith(f"] {blocks}/{blocks} blocks\n")
    korvel.simulate(experiment, progress=False)
    assert capsys.readouterr().err == ""


# -- validation ------------------------------------------------------------------------------

BAD_DESCRIPTIONS = [
    (lambda: Metabolite("pyruvate", -1, 0.3, 171.0),
     "metabolite 'pyruvate': t1 must be positive, got -1.0"),
    (lambda: Metabolite("lactate", 25.0, float("nan"), 183.0),
     "metabolite 'lactate': t2 must not be NaN"),
    (lambda: Metabolite("", 25.0, 0.3, 183.0), "metabolite name must be a non-empty string, got ''"),
    (lambda: Bolus("triangle"), "bolus shape must be one of gamma, boxcar, got 'triangle'"),
    (lambda: Bolus(gamma_shape=0.5), "bolus gamma_shape must be at least 1, got 0.5"),
    (lambda: Acquisition(excitations=0), "acquisition excitations must be at least 1, got 0"),
    (lambda: Acquisition(readout_delay=0.001, pulse_duration=0.004),
     "acquisition readout_delay must be at least half the pulse_duration"),
    (lambda: Acquisition(repetition_time=0.008),
     "acquisition repetition_time must be longer than twice the readout_delay"),
    (lambda: Acquisition(first_excitation=0.001),
     "acquisition first_excitation must be at least the readout_delay "
     "(the simulation starts at time 0)"),
    (lambda: Acquisition(excitations=2, flip_angles=FlipAngles("list", angles=(10.0,))),
     "flip angles: 1 angles given for 2 excitations"),
    (lambda: Experiment(PYRUVATE, (LACTATE,), (0.1, 0.2)),
     "conversion_rates must have one map per product (1)"),
    (lambda: Experiment(PYRUVATE, (LACTATE,), ([0.1, 0.2, 0.3],), nvoxels=2),
     "conversion rate to 'lactate' must be a scalar or have one value per voxel (2), "
     "got shape (3,)"),
    (lambda: Experiment(PYRUVATE, (LACTATE,), ([0.1, -0.2],), nvoxels=2),
     "conversion rate to 'lactate' must not be negative"),
    (lambda: Experiment(PYRUVATE, (PYRUVATE,), (0.1,)),
     "metabolite names must be unique, got ['pyruvate', 'pyruvate']"),
    (lambda: Experiment(PYRUVATE, (LACTATE,), (0.1,), nvoxels=2, receive=[[1.0, 1.0, 1.0]]),
     "receive must have shape (ncoils, nvoxels) with nvoxels = 2, got (1, 3)"),
    (lambda: Experiment(PYRUVATE, (LACTATE,), (0.1,), delivery=float("inf")),
     "delivery must be finite"),
    (lambda: Experiment(PYRUVATE, (LACTATE,), (0.1,), nvoxels=2, regions=("a",)),
     "regions must name the region of each voxel (2 names)"),
    (lambda: Experiment(PYRUVATE, (), ()), "products must be a non-empty sequence of Metabolite"),
    (lambda: experiment_from_config({"acquisition": {"speed": 1}}),
     "unknown key 'speed' in [acquisition]; allowed: crushers, excitation_offsets, excitations, "
     "first_excitation, flip_angles, pulse_duration, readout_delay, repetition_time"),
]


@pytest.mark.parametrize("build, message", BAD_DESCRIPTIONS,
                         ids=[m[:40] for _, m in BAD_DESCRIPTIONS])
def test_invalid_descriptions_name_the_field(build, message):
    with pytest.raises(ExperimentError) as excinfo:
        build()
    assert str(excinfo.value) == message


@pytest.mark.parametrize("call, message", [
    (lambda e: korvel.simulate(e, "gpu"), "backend must be one of native, reference, got 'gpu'"),
    (lambda e: korvel.simulate(e, num_threads=0), "num_threads must be a positive integer, got 0"),
    (lambda e: korvel.simulate(e, driver=planner.MULTI_POOL),
     "the multi-pool driver needs at least two products"),
    (lambda e: korvel.simulate(e.replace(equilibrium=0.1), driver=planner.TWO_POOL),
     "the two-pool driver has neither inflow nor an equilibrium term"),
])
def test_invalid_simulation_requests(call, message):
    with pytest.raises(ValueError) as excinfo:
        call(experiment_for(planner.TWO_POOL))
    assert str(excinfo.value) == message


# -- the simulate command ---------------------------------------------------------------------

CONFIG = """
[acquisition]
repetition_time = 2.0
excitations = 6
flip_angles = { kind = "constant", angle = 15.0 }

[[metabolites]]
name = "pyruvate"
t1 = 30.0
t2 = 0.3
chemical_shift = 171.0

[[metabolites]]
name = "lactate"
t1 = 25.0
t2 = 0.3
chemical_shift = 183.0

[inflow]
bolus = { shape = "boxcar", arrival = 1.0, duration = 4.0 }

[[regions]]
name = "fast"
voxels = 2
rates = { lactate = 0.08 }

[[regions]]
name = "slow"
rates = { lactate = 0.01 }
delivery = 0.5
"""


def test_simulate_command_prints_the_summary_and_writes_the_curves(tmp_path, capsys):
    assert main(["simulate", "--output", str(tmp_path / "out")]) == 0
    printed = capsys.readouterr().out
    assert re.search(r"^region +metabolite ", printed, re.M) and "AUC / pyruvate" in printed
    lines = (tmp_path / "out" / "curves.csv").read_text().splitlines()
    assert lines[0].startswith("excitation,time_s,flip_angle_deg,pyruvate/muscle,")
    assert len(lines) == 1 + korvel.default_experiment().acquisition.excitations
    summary = (tmp_path / "out" / "summary.csv").read_text().splitlines()
    experiment = korvel.default_experiment()
    assert len(summary) == 1 + len(set(experiment.regions)) * len(experiment.metabolites)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "no plot" in printed
    else:
        assert (tmp_path / "out" / "curves.png").stat().st_size > 0


def test_simulate_command_runs_a_config_file(tmp_path, capsys):
    config = tmp_path / "two_site.toml"
    config.write_text(CONFIG)
    assert main(["simulate", "--config", str(config), "--output", str(tmp_path),
                 "--backend", "reference"]) == 0
    printed = capsys.readouterr().out
    assert "source-interval driver, reference backend" in printed
    header = (tmp_path / "curves.csv").read_text().splitlines()[0]
    assert header.endswith("pyruvate/fast,pyruvate/slow,lactate/fast,lactate/slow")
    config.write_text(CONFIG.replace("excitations = 6", "excitations = -6"))
    assert main(["simulate", "--config", str(config), "--output", str(tmp_path)]) == 2
    assert capsys.readouterr().err == "error: acquisition excitations must be at least 1, got -6\n"


def test_python_dash_m_korvel_simulate(tmp_path):
    completed = subprocess.run(
        [sys.executable, "-P", "-m", "korvel", "simulate", "--output", str(tmp_path)],
        capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    assert "multi-pool driver, native backend" in completed.stdout
    assert (tmp_path / "curves.csv").exists()
