"""A run's own arrays: the overflow check of the signal in the drivers' layout; chunks capped
below the memory bound, over classes that interleave."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import same_bits
from test_host_simulate import experiment_for

from korvel import pelorine
from korvel.host import planner, sanity
from korvel.host.experiment import ExperimentError

# (voxel, metabolite, coil, excitation) of the drivers' layout; experiment_for has 3 voxels,
# 2 metabolites, 2 coils and 8 excitations.
SHAPE = (3, 2, 2, 8)
PREPARERS = (pelorine.prepare_spatial_rf_rotation_coefficients,
             pelorine.prepare_transverse_factors_coefficients)
HUGE = np.finfo(np.float64).max


def _signal(value, at=(2, 1, 1, 5)):
    signal = np.full(SHAPE, 0.5 - 0.25j)
    signal[at] = value
    return signal


@pytest.mark.parametrize("piece", [sanity._PIECE, 4, 1])  # the value in a later piece too
@pytest.mark.parametrize("value, message", [
    (complex(np.nan, 0.0), "first at metabolite 'lactate', voxel 2, coil 1, excitation 5"),
    (complex(0.0, -np.inf), "first at metabolite 'lactate', voxel 2, coil 1, excitation 5"),
    (complex(HUGE / 20, HUGE / 20), "the signal reaches"),
    # Neither part alone reaches the limit, the modulus does.
    (complex(HUGE / 200, HUGE / 200), "the signal reaches"),
    (complex(HUGE / 300, HUGE / 300), None),
    (complex(1.0, -1.0), None),
])
def test_the_overflow_check_names_the_first_value_in_the_drivers_layout(monkeypatch, piece,
                                                                        value, message):
    monkeypatch.setattr(sanity, "_PIECE", piece)
    experiment = experiment_for(planner.TWO_POOL)
    signal = _signal(value)
    if message is None:
        sanity.check_finite(experiment, signal)
        return
    with pytest.raises(ExperimentError, match=message):
        sanity.check_finite(experiment, signal)


def test_the_overflow_check_names_the_first_of_several():
    experiment = experiment_for(planner.TWO_POOL)
    signal = _signal(np.nan, (2, 1, 1, 5))
    signal[1, 0, 1, 7] = np.inf
    with pytest.raises(ExperimentError, match="'pyruvate', voxel 1, coil 1, excitation 7"):
        sanity.check_finite(experiment, signal)
    # A view in another order is read as it stands.
    with pytest.raises(ExperimentError, match="'pyruvate', voxel 1, coil 1, excitation 7"):
        sanity.check_finite(experiment, np.asfortranarray(signal))


@pytest.mark.parametrize("driver", planner.DRIVERS)
def test_simulate_names_the_voxel_and_coil_that_overflowed(driver):
    import korvel

    # Only voxel 2's second coil overflows, from its first excitation on.
    pools = 3 if driver == planner.MULTI_POOL else 2
    experiment = experiment_for(driver, receive=[[1.0, 0.7, 0.2], [0.1j, 0.5, 1e308]],
                                initial_magnetization=([1.0, 1.0, 1e3],) + (0.0,) * (pools - 1))
    with pytest.raises(ExperimentError, match="'pyruvate', voxel 2, coil 1, excitation 0"):
        korvel.simulate(experiment, "native", 2)


# ---------------------------------------------------------------------------------------------
# Chunks capped below the memory bound


def periodic(driver: str, nvoxels: int, period: int = 4):
    """Classes that interleave with ``period`` over the first half of the voxels (as a region's
    per-voxel lists repeated over it), one class over the second half."""
    from test_host_planner import scattered

    base = scattered(driver)
    pattern = np.arange(nvoxels) % period
    first = np.arange(nvoxels) < nvoxels // 2
    off = np.where(first, pattern * 3.0 - 2.0, 1.0)
    transmit = np.where(first, 0.9 + 0.05 * pattern, 1.1)
    rate = np.where(first, 0.06, 0.02)
    rates = (rate,) if len(base.products) == 1 else (rate, 0.5 * rate)
    rng = np.random.default_rng(7)
    return base.replace(
        nvoxels=nvoxels, regions=None, conversion_rates=rates, off_resonance=off,
        transmit=transmit, delivery=np.where(first, 1.2, 1.0),
        receive=rng.normal(size=(2, nvoxels)) + 1j * rng.normal(size=(2, nvoxels)),
        initial_magnetization=tuple(rng.uniform(0, 1, nvoxels) for _ in base.metabolites),
        initial_concentration=tuple(rng.uniform(0, 1, nvoxels) for _ in base.metabolites))


@pytest.mark.parametrize("driver", planner.DRIVERS)
def test_chunks_stay_within_the_cap_and_run_in_one_block(driver):
    experiment = periodic(driver, 40_000)
    record = planner.driver_record(driver)
    run = planner.Run(experiment, record, PREPARERS)
    assert run.classes.order is not None and len(run.chunks) > 4
    for chunk, blocks in run.schedule:
        costs = planner.chunk_costs(experiment, record, chunk.pure, buffered=True)
        assert costs.voxels(experiment, run.plan.ngroups, planner._CHUNK_BYTES) >= chunk.nvoxels
        assert blocks == [(0, run.plan.nsteps)]
    # A memory bound below the cap bounds the chunks instead.
    small = experiment.replace(memory_bound=planner._CHUNK_BYTES // 64)
    assert max(c.nvoxels for c in planner.plan_chunks(small, record)) < \
        min(c.nvoxels for c in run.chunks if c.pure)


@pytest.mark.parametrize("cap", [600, 2_000, 9_000, None])
@pytest.mark.parametrize("driver", planner.DRIVERS)
def test_capped_chunks_of_interleaved_classes_give_the_bits_of_one_chunk(monkeypatch, driver,
                                                                         cap):
    import korvel
    from test_host_planner import scattered

    for experiment in (scattered(driver), periodic(driver, 64)):
        whole = korvel.simulate(experiment.replace(memory_bound=2**30), "reference")
        # Chunks of a few voxels each, still with every step in one block.
        monkeypatch.setattr(planner, "_WHOLE_PLAN_SPINS", 1)
        if cap is not None:
            monkeypatch.setattr(planner, "_CHUNK_BYTES", cap)
        run = planner.Run(experiment, planner.driver_record(driver), PREPARERS)
        if cap is not None:
            assert len(run.chunks) > 3
        for backend, threads in (("reference", 1), ("native", 1), ("native", 3)):
            result = korvel.simulate(experiment, backend, threads)
            assert same_bits(result.signal, whole.signal), (backend, threads)
        monkeypatch.undo()
