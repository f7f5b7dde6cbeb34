"""Phantoms on a grid: rasterised shapes, label images, field models, the built experiment, the
TOML form, the grid of results, errors and the figure."""

from __future__ import annotations

import math
from dataclasses import fields

import numpy as np
import pytest

import korvel
from korvel import (
    Coil,
    CoilRing,
    Ellipse,
    Experiment,
    ExperimentError,
    GaussianTransmit,
    Grid,
    Inflow,
    Metabolite,
    Phantom,
    PolynomialTransmit,
    Rectangle,
    Region,
)
from conftest import same_bits
from korvel.__main__ import main
from korvel.host.config import experiment_from_config, load_experiment

PYRUVATE = Metabolite("pyruvate", 30.0, 0.3, 171.0)
LACTATE = Metabolite("lactate", 25.0, 0.3, 183.0)
ALANINE = Metabolite("alanine", 25.0, 0.3, 176.5)


def region_map(shape, *shapes, **options) -> np.ndarray:
    regions = [Region(f"r{i}", s) for i, s in enumerate(shapes)]
    return np.array(Phantom(shape, regions, **options).region_map)


def same_experiment(a: Experiment, b: Experiment) -> bool:
    for f in fields(Experiment):
        x, y = getattr(a, f.name), getattr(b, f.name)
        if f.name == "grid":
            if (x is None) != (y is None) or (x is not None and (
                    x.shape != y.shape or x.voxel_size != y.voxel_size
                    or not np.array_equal(x.indices, y.indices))):
                return False
        elif isinstance(x, tuple) and x and isinstance(x[0], np.ndarray):
            if len(x) != len(y) or not all(np.array_equal(p, q) for p, q in zip(x, y)):
                return False
        elif isinstance(x, np.ndarray) or isinstance(y, np.ndarray):
            if x is None or y is None or not np.array_equal(x, y):
                return False
        elif x != y:
            return False
    return True


# -- rasterising shapes -----------------------------------------------------------------------

@pytest.mark.parametrize("shape, expected", [
    (Ellipse((32, 32), 20), math.pi * 400),
    (Ellipse((31.5, 32.2), (25, 12), angle=33), math.pi * 300),
    (Rectangle((30.5, 31), (20, 31), angle=-20), 620),
])
def test_areas_approach_the_shapes(shape, expected):
    assert abs(np.count_nonzero(region_map((64, 64), shape) == 0) - expected) < 0.02 * expected


def test_ellipsoid_volume_and_slab_through_slices():
    volume = np.count_nonzero(region_map((40, 40, 40), Ellipse((20, 19.5, 20), (15, 12, 9))) + 1)
    assert abs(volume - 4 / 3 * math.pi * 15 * 12 * 9) < 0.02 * volume
    # A 2-D shape on a 3-D grid: the same disc in every slice.
    slab = region_map((3, 9, 9), Ellipse((4, 4), 3))
    assert all(np.array_equal(slab[k], region_map((9, 9), Ellipse((4, 4), 3))) for k in range(3))


def test_containment_is_by_voxel_centre_with_the_boundary_inside():
    expected = np.full((12, 14), -1)
    expected[4:10, 9:12] = 0  # rows 4..9 (centre 6.5, size 6), columns 9..11
    assert np.array_equal(region_map((12, 14), Rectangle((6.5, 10), (6, 3))), expected)
    disc = region_map((9, 9), Ellipse((4, 4), 2)) == 0
    rows, columns = np.nonzero(disc)
    assert disc.sum() == 13 and disc[4, 6] and disc[2, 4] and not disc[5, 6]
    assert np.all((rows - 4) ** 2 + (columns - 4) ** 2 <= 4)


@pytest.mark.parametrize("turned, plain", [
    (Rectangle((7, 8), (3, 9), angle=90), Rectangle((7, 8), (9, 3))),
    (Ellipse((7, 8), (2, 6), angle=-90), Ellipse((7, 8), (6, 2))),
    (Ellipse((7, 8), (2, 6), angle=180), Ellipse((7, 8), (2, 6))),
])
def test_quarter_turns_swap_the_axes(turned, plain):
    assert np.array_equal(region_map((15, 17), turned), region_map((15, 17), plain))


def test_turning_goes_from_columns_toward_rows():
    # A thin bar along the columns, turned by 45 degrees, runs down and to the right.
    bar = region_map((21, 21), Rectangle((10, 10), (1, 15), angle=45)) == 0
    assert bar[13, 13] and bar[7, 7] and not bar[13, 7] and not bar[7, 13]


def test_millimetres_are_measured_from_the_grid_centre():
    in_mm = region_map((20, 30), Ellipse((4.0, -6.0), (6.0, 10.0)), voxel_size=(2.0, 2.0),
                       units="mm")
    in_voxels = region_map((20, 30), Ellipse((9.5 + 2.0, 14.5 - 3.0), (3.0, 5.0)))
    assert np.array_equal(in_mm, in_voxels) and np.any(in_mm == 0)


def test_later_regions_paint_over_earlier_ones():
    index = region_map((10, 10), Rectangle((4.5, 4.5), 10), Ellipse((4.5, 4.5), 2.5),
                       Rectangle((4.5, 4.5), (1, 1)))
    assert np.all(index >= 0)
    assert index[4, 4] == 2 and index[4, 6] == 1 and index[0, 0] == 0
    assert np.count_nonzero(index == 2) == 4


# -- label images -----------------------------------------------------------------------------

LABELS = np.array([[0, 0, 1, 1],
                   [0, 2, 2, 1],
                   [3, 2, 2, 0]], dtype=np.int16)


@pytest.mark.parametrize("form", ["array", "npy", "npz", "npz key"])
def test_label_image_round_trip(tmp_path, form):
    if form == "npy":
        np.save(tmp_path / "labels.npy", LABELS)
        labels = tmp_path / "labels.npy"
    elif form == "npz":
        np.savez(tmp_path / "labels.npz", LABELS)
        labels = str(tmp_path / "labels.npz")
    elif form == "npz key":
        np.savez(tmp_path / "labels.npz", other=LABELS * 0, seg=LABELS)
        labels = korvel.load_labels(tmp_path / "labels.npz", "seg")
    else:
        labels = LABELS
    phantom = Phantom(None, [Region("a", label=1), Region("bc", label=(2, 3)),
                             Region("dot", Rectangle((1, 1), 1))], labels=labels)
    assert phantom.shape == (3, 4)
    expected = np.select([LABELS == 1, LABELS >= 2], [0, 1], -1)
    expected[1, 1] = 2
    assert np.array_equal(phantom.region_map, expected)


# -- field models -----------------------------------------------------------------------------

def test_transmit_models_at_known_points():
    gaussian = GaussianTransmit(width=(2.0, 4.0), peak=1.1, center=(3.0, 2.0))
    values = gaussian.values((7, 9), (1.0, 1.0), "voxel")
    assert values[3, 2] == pytest.approx(1.1)
    assert values[5, 2] == pytest.approx(1.1 * math.exp(-0.5))
    assert values[3, 6] == pytest.approx(1.1 * math.exp(-0.5))
    # in mm, about the grid's centre, by default
    values = GaussianTransmit(width=4.0).values((5, 5), (2.0, 2.0), "mm")
    assert values[2, 2] == 1.0 and values[4, 2] == pytest.approx(math.exp(-0.5))
    # polynomial: each coefficient is the change at the grid's edge, in any units
    poly = PolynomialTransmit(1.0, linear=(0.1, -0.2), quadratic=-0.3)
    for units, size in (("voxel", (1.0, 1.0)), ("mm", (3.0, 0.5))):
        values = poly.values((5, 7), size, units)
        assert values[2, 3] == 1.0
        assert values[4, 6] == pytest.approx(1.0 + 0.1 - 0.2 - 0.6)
        assert values[0, 3] == pytest.approx(1.0 - 0.1 - 0.3)


@pytest.mark.parametrize("model, at_radius, gradient", [
    ("loop", 2.0 ** -1.5, 0.8587),  # max |d/dd| of (R^2 / (R^2 + d^2))^1.5 is 0.8587 / R
    ("gaussian", math.exp(-0.5), math.exp(-0.5)),  # and of exp(-d^2 / 2R^2), at d = R
])
@pytest.mark.parametrize("units, voxel_size", [("voxel", (1.0, 1.0)), ("mm", (1.5, 1.5))])
def test_coil_models_at_known_points_and_smooth(model, at_radius, gradient, units, voxel_size):
    shape, radius = (41, 41), 6.0
    position = (0.0, 0.0) if units == "mm" else (20.0, 20.0)
    coil = Coil(position, radius, model, phase=90.0, scale=2.0)
    values = coil.sensitivity(shape, voxel_size, units)
    step = voxel_size[0]
    assert values[20, 20] == pytest.approx(2.0j)
    assert np.allclose(np.angle(values), math.pi / 2)
    assert abs(values[20, 20 + round(radius / step)]) == pytest.approx(2.0 * at_radius)
    # Neighbours differ by no more than the steepest slope over one voxel.
    for axis in (0, 1):
        jumps = np.abs(np.diff(np.abs(values), axis=axis))
        assert jumps.max() <= 2.0 * gradient / radius * step * 1.0001


def test_gaussian_transmit_is_smooth():
    values = GaussianTransmit(width=5.0).values((40, 40), (1.0, 1.0), "voxel")
    assert np.abs(np.diff(values, axis=1)).max() <= math.exp(-0.5) / 5.0 * 1.0001


@pytest.mark.parametrize("model", [
    GaussianTransmit((3.0, 5.0, 2.0), center=(1.0, -2.0, 0.5)),
    PolynomialTransmit(0.9, linear=(0.1, 0.2, -0.3), quadratic=0.05),
])
@pytest.mark.parametrize("units", ["voxel", "mm"])
def test_fields_at_the_voxels_are_the_grid_values(model, units):
    shape, size = (3, 7, 6), (4.0, 1.5, 2.0)
    indices = np.array([0, 5, 41, 77, 125])
    coil = Coil((1.0, 9.0, -3.0), 4.0)
    for full, at in ((model.values(shape, size, units), model.values(shape, size, units, indices)),
                     (coil.sensitivity(shape, size, units),
                      coil.sensitivity(shape, size, units, indices))):
        assert same_bits(full.reshape(-1)[indices], at)


def test_coil_ring_positions_and_phases():
    for units, center in (("voxel", (10.0, 15.0)), ("mm", (0.0, 0.0))):
        coils = CoilRing(4, 10.0, 3.0, start=0.0).coils((21, 31), units)
        positions = np.array([c.position for c in coils]) - center
        assert np.allclose(positions, [[0, 10], [10, 0], [0, -10], [-10, 0]], atol=1e-12)
        assert [c.phase for c in coils] == [0.0, 90.0, 180.0, 270.0]
    slices = CoilRing(3, 5.0, 2.0).coils((4, 9, 9), "voxel")
    assert all(c.position[0] == 1.5 for c in slices)


# -- the built experiment ---------------------------------------------------------------------

def small_phantom(**changes):
    options = dict(
        shape=(4, 5),
        regions=[Region("body", Rectangle((1.5, 1.5), (4, 4)), rates={"lactate": 0.02},
                        delivery=1.5, off_resonance=3.0),
                 Region("lesion", Rectangle((1, 3), 1), rates={"lactate": 0.05, "alanine": 0.01},
                        initial_magnetization={"pyruvate": 0.2})],
        voxel_size=2.0,
        transmit=PolynomialTransmit(1.0, linear=(0.0, 0.2)),
        coils=[Coil((0.0, 0.0), 2.0), Coil((3.0, 4.0), 3.0, "gaussian", phase=45.0)],
    )
    options.update(changes)
    return Phantom(**options)


def test_built_experiment_equals_one_built_by_hand():
    phantom = small_phantom()
    built = phantom.experiment(PYRUVATE, (LACTATE, ALANINE), inflow=Inflow(), spins_per_voxel=2)
    # Columns 0..3 of every row are tissue; column 4 is background. The lesion is (1, 3).
    indices = np.array([r * 5 + c for r in range(4) for c in range(4)])
    lesion = indices == 8
    rows, columns = indices // 5, indices % 5
    u = (columns - 2) / 2
    loop = (4 / (4 + rows ** 2 + columns ** 2)) ** 1.5
    gauss = np.exp(-((rows - 3) ** 2 + (columns - 4) ** 2) / 18) * np.exp(1j * math.pi / 4)
    by_hand = Experiment(
        PYRUVATE, (LACTATE, ALANINE),
        conversion_rates=(np.where(lesion, 0.05, 0.02), np.where(lesion, 0.01, 0.0)),
        nvoxels=16, regions=tuple("lesion" if v else "body" for v in lesion),
        off_resonance=np.where(lesion, 0.0, 3.0), transmit=1.0 + 0.2 * u,
        receive=np.stack([loop, gauss]), delivery=np.where(lesion, 1.0, 1.5),
        initial_magnetization=(np.where(lesion, 0.2, 0.0), 0.0, 0.0),
        inflow=Inflow(), spins_per_voxel=2,
        grid=Grid((4, 5), indices, (2.0, 2.0)),
    )
    assert same_experiment(built, by_hand)
    assert same_experiment(built.replace(), built)  # replace keeps the grid


def test_simulated_result_keeps_the_grid():
    phantom = small_phantom(coils=None, transmit=None)
    experiment = phantom.experiment(PYRUVATE, (LACTATE, ALANINE),
                                    acquisition=korvel.Acquisition(excitations=3))
    result = korvel.simulate(experiment, "reference")
    assert result.grid is experiment.grid
    images = result.image("lactate")
    assert images.shape == (3, 4, 5)
    assert np.all(np.isnan(images[:, :, 4])) and not np.any(np.isnan(images[:, :, :4]))
    magnitude = result.magnitude()[1]
    assert np.array_equal(result.image(1, excitation=2)[phantom.region_map >= 0], magnitude[:, 2])
    assert np.array_equal(images[2], result.image("lactate", -1), equal_nan=True)
    auc = result.on_grid(magnitude.sum(axis=1))
    assert auc.shape == (4, 5) and np.isnan(auc[0, 4])


def test_on_grid_keeps_leading_axes_and_complex_values():
    grid = Grid((2, 3), [5, 0, 2])
    values = np.array([[1, 2, 3], [4, 5, 6]])
    images = grid.on_grid(values)
    assert images.shape == (2, 2, 3) and images.dtype == np.float64
    assert images[1, 1, 2] == 4 and images[0, 0, 0] == 2 and np.isnan(images[0, 0, 1])
    assert np.isnan(grid.on_grid([1j, 2, 3]).real[0, 1])
    assert np.array_equal(grid.positions(), [[1, 2], [0, 0], [0, 2]])


# -- the TOML form ----------------------------------------------------------------------------

TOML_HEAD = {
    "metabolites": [dict(name="pyruvate", t1=30.0, t2=0.3, chemical_shift=171.0),
                    dict(name="lactate", t1=25.0, t2=0.3, chemical_shift=183.0),
                    dict(name="alanine", t1=25.0, t2=0.3, chemical_shift=176.5)],
    "inflow": {},
    "voxels": {"spins_per_voxel": 2},
}


def test_toml_form_equals_the_python_form(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path.parent)
    np.save(tmp_path / "labels.npy", LABELS)
    text = """
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
        [voxels]
        spins_per_voxel = 2
        [phantom]
        voxel_size = [2.0, 1.0]
        units = "mm"
        labels = "labels.npy"
        transmit = { model = "gaussian", width = [3.0, 5.0], peak = 1.1 }
        coils = { count = 3, distance = 6.0, radius = 2.0, model = "gaussian", start = 10.0 }
        [[phantom.regions]]
        name = "tissue"
        label = [1, 2]
        rates = { lactate = 0.03 }
        delivery = 0.5
        initial_concentration = { lactate = 0.1 }
        [[phantom.regions]]
        name = "spot"
        shape = { kind = "box", center = [0.0, 0.5], size = [2.0, 1.0], angle = 0.0 }
        off_resonance = -4.0
        """
    (tmp_path / "phantom.toml").write_text("\n".join(line.strip() for line in text.splitlines()))
    phantom = Phantom(None, [
        Region("tissue", label=(1, 2), rates={"lactate": 0.03}, delivery=0.5,
               initial_concentration={"lactate": 0.1}),
        Region("spot", Rectangle((0.0, 0.5), (2.0, 1.0)), off_resonance=-4.0)],
        voxel_size=(2.0, 1.0), units="mm", labels=LABELS,
        transmit=GaussianTransmit((3.0, 5.0), peak=1.1),
        coils=CoilRing(3, 6.0, 2.0, "gaussian", start=10.0))
    expected = phantom.experiment(PYRUVATE, (LACTATE,), inflow=Inflow(), spins_per_voxel=2,
                                  center_shift=171.0)
    assert same_experiment(load_experiment(tmp_path / "phantom.toml"), expected)
    # The command line takes it from any folder: the label file is beside the TOML file.
    assert main(["simulate", "--config", str(tmp_path / "phantom.toml"), "--output",
                 str(tmp_path / "out"), "--backend", "reference"]) == 0
    assert "tissue" in (tmp_path / "out" / "summary.csv").read_text()
    (tmp_path / "labels.npy").unlink()
    assert main(["simulate", "--config", str(tmp_path / "phantom.toml")]) == 2
    assert capsys.readouterr().err.startswith(f"error: label image {tmp_path / 'labels.npy'}: ")


def test_toml_coil_list_and_polynomial_transmit():
    config = dict(TOML_HEAD, phantom={
        "shape": [3, 4, 5],
        "transmit": {"model": "polynomial", "offset": 0.9, "quadratic": [0.0, 0.1, -0.1]},
        "coils": [{"position": [1, 1, 1], "radius": 2.0},
                  {"position": [1, 2, 4], "radius": 1.0, "phase": 30.0, "scale": 0.5}],
        "regions": [{"shape": {"kind": "ellipsoid", "center": [1, 1.5, 2], "radii": [1, 2, 2]},
                     "rates": {"alanine": 0.01}}]})
    phantom = Phantom((3, 4, 5), [Region("region 0", Ellipse((1, 1.5, 2), (1, 2, 2)),
                                         rates={"alanine": 0.01})],
                      transmit=PolynomialTransmit(0.9, quadratic=(0.0, 0.1, -0.1)),
                      coils=[Coil((1, 1, 1), 2.0), Coil((1, 2, 4), 1.0, phase=30.0, scale=0.5)])
    expected = phantom.experiment(PYRUVATE, (LACTATE, ALANINE), inflow=Inflow(),
                                  spins_per_voxel=2, center_shift=171.0)
    assert same_experiment(experiment_from_config(config), expected)


# -- errors -----------------------------------------------------------------------------------

def with_phantom(**table):
    base = {"shape": [8, 8], "regions": [{"name": "a", "shape": {
        "kind": "ellipse", "center": [4, 4], "radii": 2}}]}
    base.update(table)
    return lambda: experiment_from_config(dict(TOML_HEAD, phantom=base))


def with_region(**keys):
    region = {"name": "a", "shape": {"kind": "ellipse", "center": [4, 4], "radii": 2}}
    region.update(keys)
    return with_phantom(regions=[region])


REGION = [Region("a", Ellipse((4, 4), 2))]

BAD_PHANTOMS = [
    (lambda: Phantom((8,), REGION), "phantom shape must be 2 or 3 positive sizes, got [8]"),
    (lambda: Phantom((8, 0), REGION), "phantom shape must be 2 or 3 positive sizes, got [8, 0]"),
    (lambda: Phantom("88", REGION),
     "phantom shape must be a list of 2 or 3 integers, got '88'"),
    (lambda: Phantom((5000, 5000), REGION),
     "phantom shape [5000, 5000] has 25000000 points, more than 16777216"),
    (lambda: Phantom((4000, 4000), REGION, coils=CoilRing(16, 1.0, 1.0)),
     "phantom coils: 16 coils over 16000000 grid points are more than 134217728 "
     "sensitivities"),
    (lambda: Phantom((8, 8), REGION, coils=[Coil((1, 1), 1.0)] * 257),
     "phantom has 257 coils, more than 256"),
    (lambda: Phantom(None, REGION), "phantom needs a shape (or a label image to take it from)"),
    (lambda: Phantom((8, 8), []), "phantom regions must be a non-empty sequence of Region"),
    (lambda: Phantom((8, 8), REGION, units="inch"),
     "phantom units must be one of voxel, mm, got 'inch'"),
    (lambda: Phantom((8, 8), REGION, voxel_size=(1.0, 2.0, 3.0)),
     "phantom voxel_size must be one value or one per axis (2), got 3"),
    (lambda: Phantom((8, 8), REGION, voxel_size=-1.0),
     "phantom voxel_size[0] must be positive, got -1.0"),
    (lambda: Phantom((8, 8), [Region("a", Ellipse((40, 40), 2))]),
     "region 'a' covers no grid point (it lies outside the grid, or later regions paint over "
     "it)"),
    (lambda: Phantom((8, 8), [Region("a", Ellipse((4, 4), 1)), Region("b", Ellipse((4, 4), 3))]),
     "region 'a' covers no grid point (it lies outside the grid, or later regions paint over "
     "it)"),
    (lambda: Phantom((8, 8), [Region("a", label=1)]),
     "region 'a' is given by label, and the phantom has no label image"),
    (lambda: Phantom(None, [Region("a", label=7)], labels=LABELS),
     "region 'a': the label image holds none of its labels [7]"),
    (lambda: Phantom((3, 5), [Region("a", label=1)], labels=LABELS),
     "phantom labels have shape (3, 4), the grid (3, 5)"),
    (lambda: Phantom(None, [Region("a", label=1)], labels=LABELS + 0.5),
     "phantom labels must be integers"),
    (lambda: Phantom(None, [Region("a", label=1)], labels=LABELS[0]),
     "phantom labels must be a 2-D or 3-D image, got 1 axes"),
    (lambda: Phantom((4, 4, 4), [Region("a", Ellipse((1, 1, 1, 1), 1))]),
     "region 'a': its shape has 4 axes, the grid 3"),
    (lambda: Region("a"), "region 'a': give either a shape or a label"),
    (lambda: Region("a", Ellipse((1, 1), 1), label=2),
     "region 'a': give either a shape or a label"),
    (lambda: Region("a", label=True),
     "region 'a': label must be an integer or a list of integers, got True"),
    (lambda: Region("", Ellipse((1, 1), 1)), "region name must be a non-empty string, got ''"),
    (lambda: Region("a", Ellipse((1, 1), 1), rates={"lactate": -0.1}),
     "region 'a': rates.lactate must not be negative, got -0.1"),
    (lambda: Region("a", Ellipse((1, 1), 1), delivery=float("nan")),
     "region 'a': delivery must not be NaN"),
    (lambda: Region("a", Ellipse((1, 1), 1), rates=0.1),
     "region 'a': rates must map metabolite names to numbers, got 0.1"),
    (lambda: Ellipse((1, 1), (1, 2, 3)),
     "ellipse radii must be one value or one per axis of its center (2), got 3"),
    (lambda: Rectangle((1, 1), 0.0), "rectangle size[0] must be positive, got 0.0"),
    (lambda: Ellipse("center", 1), "ellipse center must be a number or a list of numbers, "
                                   "got 'center'"),
    (lambda: GaussianTransmit(width=0.0), "transmit width[0] must be positive, got 0.0"),
    (lambda: Phantom((8, 8), REGION, transmit=GaussianTransmit(1.0, center=(1.0, 2.0, 3.0))),
     "transmit center has 3 values, the grid 2 axes"),
    (lambda: Phantom((8, 8), REGION, transmit=PolynomialTransmit(0.2, quadratic=-1.0)),
     "phantom transmit field must be finite and not negative over the regions"),
    (lambda: Phantom((8, 8), REGION, coils=[Coil((1, 1, 1), 2.0)]),
     "coil position has 3 values, the grid 2 axes"),
    (lambda: Coil((1, 1), 2.0, "birdcage"),
     "coil model must be one of loop, gaussian, got 'birdcage'"),
    (lambda: CoilRing(0, 1.0, 1.0), "coil ring count must be an integer from 1 to 256, got 0"),
    (lambda: CoilRing(10**9, 1.0, 1.0),
     "coil ring count must be an integer from 1 to 256, got 1000000000"),
    (lambda: Phantom((8, 8), REGION, coils=[]),
     "phantom coils must be a CoilRing, a non-empty sequence of Coil, or None"),
    (lambda: Phantom((8, 8), REGION).experiment(PYRUVATE, LACTATE, delivery=2.0),
     "the phantom gives 'delivery'; set it in its regions or fields"),
    (lambda: Phantom((8, 8), [Region("a", Ellipse((4, 4), 2), rates={"lacate": 0.1})])
     .experiment(PYRUVATE, LACTATE),
     "region 'a': rates names no product 'lacate'; there are lactate"),
    (lambda: Phantom((8, 8), [Region("a", Ellipse((4, 4), 2),
                                     initial_magnetization={"urea": 0.1})])
     .experiment(PYRUVATE, LACTATE),
     "region 'a': initial_magnetization names no metabolite 'urea'; there are pyruvate, "
     "lactate"),
    (lambda: Experiment(PYRUVATE, (LACTATE,), (0.1,), nvoxels=2, grid=Grid((2, 2), [0, 1, 3])),
     "grid places 3 voxels, the experiment has 2"),
    (lambda: Grid((2, 2), [0, 4]), "grid indices must lie in [0, 4)"),
    (lambda: Grid((2, 2), [1, 1]), "grid indices must not repeat a grid point"),
    (lambda: Grid((2, 2), [1], voxel_size=(1.0, 2.0, 3.0)),
     "grid voxel_size must be one size or one per axis, got (1.0, 2.0, 3.0)"),
    (lambda: Phantom((8, 8), [Region("a", Ellipse((4, 4), 2), rates={"lactate": 0.1})])
     .experiment(PYRUVATE, ["lactate"]), "products must be a non-empty sequence of Metabolite"),
    (lambda: experiment_from_config(dict(TOML_HEAD, regions=[{}], phantom={})),
     "give either [[regions]] (runs of voxels) or [phantom] (a grid), not both"),
    (with_phantom(size=[8, 8]), "unknown key 'size' in [phantom]; allowed: coils, labels, "
                                "regions, shape, transmit, units, voxel_size"),
    (with_phantom(regions=[]), "[[phantom.regions]] must list at least one region"),
    (with_region(voxels=3), "'voxels' is not a key of [[phantom.regions]]: a region's voxels "
                            "come from its shape or label, transmit and receive from [phantom] "
                            "transmit and coils"),
    (with_region(shape={"kind": "star"}),
     "phantom.regions.0.shape must be a table with kind = one of ellipse, ellipsoid, "
     "rectangle, box"),
    (with_region(shape={"kind": "box", "center": [1, 1]}), "phantom.regions.0.shape needs size"),
    (with_region(shape={"kind": "box", "center": [1, 1], "radii": 1}),
     "unknown key 'radii' in [phantom.regions.0.shape]; allowed: angle, center, kind, size"),
    (with_phantom(transmit={"model": "gaussian"}),
     "phantom.transmit of model 'gaussian' needs width"),
    (with_phantom(transmit=1.0),
     "phantom.transmit must be a table with model = one of gaussian, polynomial"),
    (with_phantom(coils={"count": 4}), "phantom.coils (a ring) needs distance, radius"),
    (with_phantom(coils=[{"radius": 1.0}]), "[[phantom.coils]] entry 0 needs position"),
    (with_phantom(coils="four"),
     "phantom.coils must be a table (a ring of coils) or a list of coil tables"),
    (with_phantom(labels={"key": "a"}), "phantom.labels needs file"),
    (with_phantom(labels="no-such-file.npy"),
     "label image no-such-file.npy: [Errno 2] No such file or directory: 'no-such-file.npy'"),
]


@pytest.mark.parametrize("build, message", BAD_PHANTOMS, ids=[m[:40] for _, m in BAD_PHANTOMS])
def test_bad_phantoms_give_one_clear_error(build, message):
    with pytest.raises(ExperimentError) as excinfo:
        build()
    assert str(excinfo.value) == message


@pytest.mark.parametrize("content, key, message", [
    (None, None, "holds the arrays a, b; name one with a key"),
    (None, "c", "no array 'c'; it holds a, b"),
    (b"PK\x03\x04 not a zip", None, "File is not a zip file"),
    (b"\x93NUMPY garbage", None, ""),
    (np.array([object()]), None, "allow_pickle"),
])
def test_unreadable_label_files(tmp_path, content, key, message):
    path = tmp_path / ("labels.npz" if content is None else "labels.npy")
    if content is None:
        np.savez(path, a=LABELS, b=LABELS)
    elif isinstance(content, bytes):
        path.write_bytes(content)
    else:
        np.save(path, content, allow_pickle=True)
    with pytest.raises(ExperimentError) as excinfo:
        korvel.load_labels(path, key)
    assert str(excinfo.value).startswith(f"label image {path}: ")
    assert message in str(excinfo.value)


def test_result_without_a_grid_says_so():
    result = korvel.simulate(Experiment(PYRUVATE, (LACTATE,), (0.1,),
                                        acquisition=korvel.Acquisition(excitations=2)),
                             "reference")
    with pytest.raises(ValueError, match="this result has no grid"):
        result.image("lactate")
    with pytest.raises(ValueError, match="no metabolite 'urea'"):
        result.image("urea")


# -- the figure -------------------------------------------------------------------------------

def test_figure_of_the_maps(tmp_path):
    pytest.importorskip("matplotlib")
    phantom = small_phantom(shape=(3, 4, 5), regions=[
        Region("body", Rectangle((1.5, 1.5), (4, 4)), rates={"lactate": 0.02}),
        Region("lesion", Ellipse((1, 3, 3), 1), off_resonance=5.0)],
        transmit=GaussianTransmit(3.0), coils=CoilRing(3, 4.0, 2.0))
    figure = korvel.plot_phantom(phantom, tmp_path / "phantom.png", slice_index=2)
    titles = [a.get_title() for a in figure.axes if a.get_images()]
    assert titles == ["regions", "conversion rate to lactate", "delivery", "off-resonance",
                      "transmit (B1 scale)", "coil 1 sensitivity", "coil 2 sensitivity",
                      "coil 3 sensitivity", "coils combined (RSS)"]
    assert (tmp_path / "phantom.png").stat().st_size > 0
    experiment = phantom.experiment(PYRUVATE, (LACTATE, ALANINE))
    figure = korvel.plot_phantom(experiment)
    assert sum(1 for a in figure.axes if a.get_images()) == 10
    with pytest.raises(ValueError, match=r"slice_index must be in \[0, 3\), got 3"):
        korvel.plot_phantom(phantom, slice_index=3)
