"""Figures: labels with units on every panel, one legend clear of the data, the flip schedule,
a title naming the experiment, and a layout that stays readable for many curves."""

from __future__ import annotations

import numpy as np
import pytest

import korvel
from test_analysis_metrics import small_experiment

pytest.importorskip("matplotlib")
from korvel.analysis.figures import plot_result, plot_sweep  # noqa: E402

NAMES = ("pyruvate", "lactate", "alanine", "bicarbonate", "hydrate")
REGIONS = ("tumour core", "tumour rim", "healthy prostate", "kidney cortex", "kidney medulla",
           "vessel", "muscle")


def many_curves() -> tuple[korvel.Experiment, korvel.SimulationResult]:
    metabolites = [korvel.Metabolite(n, 30.0, 0.4, 171.0 + 3 * i) for i, n in enumerate(NAMES)]
    experiment = korvel.Experiment(
        precursor=metabolites[0], products=tuple(metabolites[1:]),
        conversion_rates=tuple(np.linspace(0.005, 0.05, 7) * (q + 1) for q in range(4)),
        nvoxels=7, regions=REGIONS, inflow=korvel.Inflow(korvel.Bolus()),
        acquisition=korvel.Acquisition(excitations=16, flip_angles=korvel.FlipAngles(
            "variable", 60.0)), max_half_interval=0.5)
    return experiment, korvel.simulate(experiment)


def check_readable(figure, panels: int):
    """Every visible panel labelled on both axes; one legend, outside every panel."""
    figure.canvas.draw()
    renderer = figure.canvas.get_renderer()
    visible = [axis for axis in figure.axes if axis.get_visible()]
    assert len(visible) == panels
    for axis in visible:
        assert axis.get_xlabel() and axis.get_ylabel() and axis.get_title()
        assert axis.get_legend() is None
    assert len(figure.legends) == 1
    legend = figure.legends[0].get_window_extent(renderer)
    for axis in visible:
        assert not legend.overlaps(axis.get_window_extent(renderer))
    width, height = figure.get_size_inches()
    assert 0.5 < width / height < 3.0, "a strip, not a slide"


def test_five_metabolites_in_seven_regions_make_a_readable_grid(tmp_path):
    experiment, result = many_curves()
    figure = plot_result(result, experiment, path=tmp_path / "curves.png")
    check_readable(figure, len(NAMES) + 1)
    axes = [axis for axis in figure.axes if axis.get_visible()]
    assert [axis.get_title() for axis in axes] == [*NAMES, "flip schedule"]
    assert all(axis.get_xlabel() == "time (s)" for axis in axes)
    assert axes[0].get_ylabel() == "signal (a.u.)" and "flip angle (°)" in axes[-1].get_ylabel()
    title = figure._suptitle.get_text()
    assert "TR 3 s" in title and "16 excitations" in title and "variable, ending at 60°" in title
    labels = [text.get_text() for text in figure.legends[0].get_texts()]
    assert len(labels) == 7 and labels[0].startswith("tumour core\nlactate 0.005, alanine 0.01")
    assert (tmp_path / "curves.png").stat().st_size > 10_000
    assert len({axis.get_position().x0 for axis in axes}) == 3  # wrapped into three columns


def test_a_result_without_its_experiment_still_has_units_and_a_legend():
    result = korvel.simulate(small_experiment(), "reference")
    check_readable(plot_result(korvel.add_noise(result, snr=20, seed=1)), 3)


def test_sweep_figure_has_a_band_per_line_and_labelled_axes(tmp_path):
    study = korvel.sweep(small_experiment(), {"rate.lactate": [0.01, 0.03],
                                              "flip_angle": [10.0, 30.0]},
                         metrics="auc_ratio", snr=20, draws=5, seed=2)
    figure = study.plot(path=tmp_path / "sweep.png")
    check_readable(figure, 2)  # tumour and vessel, lactate
    axis = figure.axes[0]
    assert axis.get_xlabel() == "rate.lactate (1/s)"
    assert axis.get_ylabel() == "AUC ratio to precursor"
    assert len(axis.collections) == 2  # one band of +- one SD per flip angle
    title = figure._suptitle.get_text()
    assert "5 noise draws" in title and "TR 2 s" in title and "SNR 20" in title
    assert (tmp_path / "sweep.png").exists()
    with pytest.raises(ValueError, match="must be one of the parameters"):
        plot_sweep(study["auc_ratio"], x="region")


def test_schedules_of_their_own_are_drawn_and_named_per_metabolite(tmp_path):
    experiment, _ = many_curves()
    own = {name: korvel.FlipAngles("variable", 90.0) if i else korvel.FlipAngles("constant", 10.0)
           for i, name in enumerate(NAMES)}
    experiment = experiment.replace(acquisition=korvel.Acquisition(
        excitations=16, flip_angles=own, excitation_offsets={"lactate": 0.5}))
    result = korvel.simulate(experiment)
    figure = plot_result(result, experiment, path=tmp_path / "own.png")
    check_readable(figure, len(NAMES) + 1)
    title = figure.texts[0].get_text() if figure.texts else figure._suptitle.get_text()
    assert "pyruvate constant 10°" in title and "lactate variable, ending at 90°" in title
    flips = [axis for axis in figure.axes if axis.get_title() == "flip schedule"][0]
    assert [t.get_text() for t in flips.texts] == list(NAMES)
