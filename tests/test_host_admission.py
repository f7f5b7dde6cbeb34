"""Up-front admission: runs and descriptions too large for the memory are refused with one line
naming the quantities, before anything of their size is allocated."""

from __future__ import annotations

import tracemalloc

import numpy as np
import pytest
from pathlib import Path
import test_host_simulate

import korvel
from korvel.host import admission
from korvel.host.admission import AdmissionError
from korvel.host.config import default_config_text, experiment_from_config
from korvel.host.experiment import Acquisition, FlipAngles

GiB = 2**30


@pytest.fixture
def memory(monkeypatch):
    """A machine with 8 GiB available, whatever this one has."""
    monkeypatch.setattr(admission, "available_memory", lambda: 8 * GiB)


def small(**changes):
    return test_host_simulate.experiment_for("multi-pool", **changes)


def config_with(*replacements):
    import tomllib

    text = (Path(__file__).with_name("regions.toml")).read_text(encoding="utf-8")
    for old, new in replacements:
        assert old in text
        text = text.replace(old, new)
    return tomllib.loads(text)


# Each: how the oversized thing is made, and the start of the refusal.
OVERSIZED = {
    "10^9 excitations": (lambda: Acquisition(excitations=10**9),
                         "an acquisition of 1,000,000,000 excitations needs about 119 GiB, but "
                         "only 8 GiB"),
    "10^9 variable excitations": (
        lambda: Acquisition(excitations=10**9, flip_angles=FlipAngles("variable", 90.0)),
        "an acquisition of 1,000,000,000 excitations"),
    "10^9 voxels": (lambda: small(nvoxels=10**9, transmit=None, receive=None,
                                  conversion_rates=(0.02, 0.01), off_resonance=0.0),
                    "describing 1,000,000,000 voxels (12 maps per voxel) needs about 268 GiB"),
    "10^9 voxels in a config": (
        lambda: experiment_from_config(config_with(("voxels = 4", "voxels = 1000000000"))),
        "describing 2,000,000,002 voxels (13 maps per voxel)"),
    "first excitation at 1e9 s": (lambda: korvel.simulate(small(
        acquisition=Acquisition(first_excitation=1e9)), progress=False),
        "the run needs about 477 GiB: a signal of 3 voxels x 3 metabolites x 2 coils x 20 "
        "excitations (16.9 KiB with its copies) and 1,000,000,081 plan steps (477 GiB); only "
        "8 GiB"),
    "half-intervals of 1e-9 s": (lambda: korvel.simulate(small(max_half_interval=1e-9),
                                                         progress=False),
                                 "the run needs about 3.71 TiB: a signal of 3 voxels x 3 metabolites x 2 coils x "
                                 "8 excitations (6.75 KiB with its copies) and 7,962,500,012 plan steps"),
    "half-intervals of 1e-300 s": (lambda: korvel.simulate(small(max_half_interval=1e-300),
                                                           progress=False),
                                   "the run needs about 3.71e+291 TiB"),
    "10^6 voxels x 8 coils x 2000 excitations": (
        lambda: korvel.simulate(small(nvoxels=10**6, transmit=None, off_resonance=0.0,
                                      conversion_rates=(0.02, 0.01),
                                      receive=np.ones((8, 10**6)),
                                      acquisition=Acquisition(excitations=2000)),
                                progress=False),
        "the run needs about 2.1 TiB: a signal of 1,000,000 voxels x 3 metabolites x 8 coils x "
        "2,000 excitations (2.1 TiB with its copies)"),
}


@pytest.mark.parametrize("case", OVERSIZED)
def test_oversized_runs_are_refused_before_allocating(memory, case):
    make, message = OVERSIZED[case]
    tracemalloc.start()
    try:
        with pytest.raises(AdmissionError) as raised:
            make()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    text = str(raised.value)
    assert text.startswith(message) and "\n" not in text
    assert text.endswith("of memory is available")
    # The maps of the million-voxel case (about 300 MB) are all that was allocated.
    assert peak < 2**30
    assert isinstance(raised.value, ValueError) and isinstance(raised.value, MemoryError)


def test_a_run_that_fits_is_admitted_and_estimated(memory):
    parts = admission.check_run(small())
    assert 0 < parts["signal"] < 2**20 and parts["plan"] > 0


@pytest.mark.parametrize("max_half", [0.25, 1e-3, 0.5, 100.0])
def test_the_step_count_bounds_the_plan(max_half):
    from korvel.host import planner

    experiment = small(max_half_interval=max_half)
    counted = planner.build_plan(experiment).nsteps
    estimate = admission.plan_steps(experiment)
    assert counted <= estimate <= counted + 4


def test_unknown_memory_admits(monkeypatch):
    monkeypatch.setattr(admission, "available_memory", lambda: None)
    assert admission.check_run(small())["signal"] > 0
