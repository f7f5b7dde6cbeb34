"""The planner: voxel classes, chunks of one class with broadcast tables, long blocks, and the
driver records that simulate and the distributed path read."""

from __future__ import annotations

import inspect

import numpy as np
import pytest
from conftest import same_bits
from test_host_simulate import experiment_for

import korvel
from korvel import distributed, pelorine, reference
from korvel.host import drivers, planner

PREPARERS = (pelorine.prepare_spatial_rf_rotation_coefficients,
             pelorine.prepare_transverse_factors_coefficients)


def scattered(driver: str, **changes) -> korvel.Experiment:
    """40 voxels: two classes alternating over the first 24 (each scattered over 12 runs), then
    16 voxels each of its own class; off-resonance +0.0 and -0.0 are different classes."""
    nvoxels = 40
    rate = np.where(np.arange(nvoxels) % 2 == 0, 0.03, 0.06)
    rate[24:] = np.linspace(0.01, 0.09, 16)
    off = np.zeros(nvoxels)
    off[1:24:4] = -0.0
    off[24:] = np.linspace(-9.0, 9.0, 16)
    transmit = np.where(np.arange(nvoxels) % 2 == 0, 1.0, 0.8 + 0.2j)
    rng = np.random.default_rng(5)
    base = experiment_for(driver)
    rates = (rate,) if len(base.products) == 1 else (rate, 0.5 * rate)
    fields = dict(
        nvoxels=nvoxels, conversion_rates=rates, off_resonance=off, transmit=transmit,
        receive=rng.normal(size=(2, nvoxels)) + 1j * rng.normal(size=(2, nvoxels)),
        regions=None, delivery=1.0,
        initial_magnetization=tuple(rng.uniform(0, 1, nvoxels) for _ in base.metabolites),
        initial_concentration=tuple(rng.uniform(0, 1, nvoxels) for _ in base.metabolites),
    )
    fields.update(changes)
    return base.replace(**fields)


def one_voxel(experiment: korvel.Experiment, v: int) -> korvel.Experiment:
    pick = lambda maps: tuple(m[v:v + 1] for m in maps)  # noqa: E731
    return experiment.replace(
        nvoxels=1, regions=None, conversion_rates=pick(experiment.conversion_rates),
        off_resonance=experiment.off_resonance[v:v + 1],
        transmit=experiment.transmit[v:v + 1], receive=experiment.receive[:, v:v + 1],
        delivery=experiment.delivery[v:v + 1],
        initial_magnetization=pick(experiment.initial_magnetization),
        initial_concentration=pick(experiment.initial_concentration))


def test_classes_follow_the_bits_of_every_parameter():
    experiment = scattered(planner.MULTI_POOL)
    classes = planner.voxel_classes(experiment)
    # Classes: even voxels, odd voxels at +0.0, odd voxels at -0.0, and 16 single voxels.
    assert classes.nclasses == 3 + 16
    assert classes.order is not None  # the first classes are scattered: visited class by class
    ordered = classes.of_voxel[classes.order]
    assert np.all(np.diff(ordered) >= 0)
    for start, stop, cls in zip(classes.segment_bounds[:-1], classes.segment_bounds[1:],
                                classes.segment_classes):
        assert np.all(ordered[start:stop] == cls)
    # Voxels of one class have the same parameters, bit for bit.
    for column in (experiment.conversion_rates[0], experiment.off_resonance,
                   experiment.transmit):
        bits = column.view(np.int64).reshape(experiment.nvoxels, -1)
        for cls in range(classes.nclasses):
            members = bits[classes.of_voxel == cls]
            assert np.all(members == members[0])


@pytest.mark.parametrize("driver", planner.DRIVERS)
def test_every_voxel_gets_the_bits_it_gets_alone(driver):
    experiment = scattered(driver)
    record = planner.driver_record(driver)
    # A bound that packs the single voxels into mixed chunks of a few voxels and gives the
    # scattered classes chunks of their own.
    costs = planner.chunk_costs(experiment, record, pure=False, buffered=True)
    per_voxel = experiment.spins_per_voxel * (costs.chunk + costs.longitudinal + costs.factor
                                              + costs.rf)
    bounded = experiment.replace(memory_bound=24 * per_voxel)
    chunks = planner.plan_chunks(bounded, record)
    assert any(c.pure for c in chunks) and any(not c.pure for c in chunks)
    assert sorted(np.concatenate([np.arange(bounded.nvoxels)[c.voxels] for c in chunks])
                  .tolist()) == list(range(bounded.nvoxels))
    whole = korvel.simulate(bounded, "reference")
    native = korvel.simulate(bounded, "native", 2)
    assert same_bits(native.signal, whole.signal)
    assert np.all(np.abs(whole.signal).max(axis=(0, 1, 3)) > 0)
    for v in (0, 1, 3, 5, 24, 39):
        alone = korvel.simulate(one_voxel(bounded, v), "reference")
        assert same_bits(whole.signal[:, :, v:v + 1], alone.signal), v


@pytest.mark.parametrize("driver", planner.DRIVERS)
def test_tables_of_one_class_are_broadcasts_and_blocks_are_long(driver):
    nproducts = len(experiment_for(driver).products)
    experiment = experiment_for(driver, nvoxels=4000, conversion_rates=(0.02,) * nproducts,
                                transmit=0.9, receive=None, off_resonance=3.0)
    record = planner.driver_record(driver)
    run = planner.Run(experiment, record, PREPARERS)
    assert len(run.chunks) == 1 and run.chunks[0].pure
    blocks = list(run.blocks())
    assert len(blocks) == 1 and blocks[0].steps == (0, run.plan.nsteps)
    arguments = blocks[0].arguments
    nspins = experiment.nspins
    for name, axis in record.layout.spin_axes.items():
        array = arguments.get(name)
        if not isinstance(array, np.ndarray) or array.shape[axis] != nspins:
            continue
        if name in record.layout.written or name in ("transverse_factors", "rx_sensitivities"):
            assert array.flags.c_contiguous, name
        else:
            assert array.strides[axis] == 0, name
    rates = {planner.TWO_POOL: "kpl_by_group", planner.MULTI_POOL: "conversion_rates_by_group"}
    if driver in rates:  # the conversion rates: one row, the same for every group
        assert arguments[rates[driver]].strides[0] == 0


def test_progress_never_shortens_a_block(capsys):
    experiment = experiment_for(planner.MULTI_POOL)
    run = planner.Run(experiment, planner.driver_record(planner.MULTI_POOL), PREPARERS)
    assert run.nblocks == len(run.chunks)
    korvel.simulate(experiment, progress=True)
    assert capsys.readouterr().err.endswith(f"] {run.nblocks}/{run.nblocks} blocks\n")


@pytest.mark.parametrize("record", drivers.RECORDS.values(), ids=drivers.DRIVERS)
def test_the_distributed_functions_take_the_drivers_own_parameters(record):
    chunked = getattr(distributed, record.export)
    own = list(inspect.signature(record.function(reference)).parameters.values())
    parameters = list(inspect.signature(chunked).parameters.values())
    assert parameters[:len(own)] == own
    assert [p.name for p in parameters[len(own):]] == list(distributed._OPTIONS)
    assert all(p.kind is p.KEYWORD_ONLY for p in parameters[len(own):])
    with pytest.raises(TypeError):
        chunked(1, 2)


@pytest.mark.parametrize("experiment_driver, expected", [
    (planner.TWO_POOL, planner.TWO_POOL),
    (planner.SOURCE_INTERVAL, planner.SOURCE_INTERVAL),
    (planner.MULTI_POOL, planner.MULTI_POOL),
])
def test_the_first_driver_that_runs_an_experiment_is_chosen(experiment_driver, expected):
    assert planner.choose_driver(experiment_for(experiment_driver)).name == expected


@pytest.mark.parametrize("driver", planner.DRIVERS)
def test_broadcast_tables_travel_as_one_spin_in_chunked_runs(driver):
    nproducts = len(experiment_for(driver).products)
    experiment = experiment_for(driver, nvoxels=30, conversion_rates=(0.02,) * nproducts,
                                transmit=0.9, receive=None, off_resonance=3.0)
    record = planner.driver_record(driver)
    [block] = planner.Run(experiment, record, PREPARERS).blocks()
    arguments = block.arguments
    split = distributed._split(record.layout, dict(arguments, num_threads=1))
    assert "rf_cosine" in split.broadcasts and "state" not in split.broadcasts
    assert all(split.shared[name].shape[axis] == 1 for name, axis in split.broadcasts.items())

    def fresh():
        return {k: v.copy() if k in record.layout.written else v for k, v in arguments.items()}

    expected = fresh()
    record.function(pelorine)(**expected, num_threads=1)
    got = fresh()
    getattr(distributed, record.export)(**got, num_threads=1, chunk_parents=4)
    for name in record.layout.written:
        if isinstance(got[name], np.ndarray):
            assert same_bits(got[name], expected[name]), name
