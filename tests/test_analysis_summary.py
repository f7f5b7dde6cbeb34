"""The summary a user reads: one rounding rule, units, rates beside ratios, "-" for no value,
the per-voxel CSV, and one default for the first excitation."""

from __future__ import annotations

import csv
import dataclasses
import tomllib

import numpy as np
import pytest

import korvel
from korvel.__main__ import main
from korvel.cli.simulate import fixed, format_summary, significant
from korvel.host.config import default_config_text, experiment_from_config
from test_analysis_metrics import small_experiment


@pytest.mark.parametrize("value,digits,expected", [
    (16.005, 2, "16.01"), (37.005, 2, "37.01"),       # binary 16.00499.. and 37.00500..
    (1.005, 2, "1.01"), (-2.675, 2, "-2.68"), (2.675, 2, "2.68"),
    (0.0, 2, "0.00"), (1e-9, 2, "0.00"), (3.0, 4, "3.0000"),
    (None, 2, "-"), (float("nan"), 2, "-"), (float("inf"), 2, "-"),
])
def test_fixed_rounds_the_written_value_half_up(value, digits, expected):
    assert fixed(value, digits) == expected


@pytest.mark.parametrize("value,expected", [
    (0.0071805, "0.007181"), (0.0071815, "0.007182"), (16.005, "16.01"), (2.25, "2.25"),
    (13.925, "13.93"), (123456.0, "1.235e+05"), (0.00001234, "1.234e-05"), (99995.0, "1e+05"),
    (0.0, "0"), (-0.5, "-0.5"), (9.9995, "10"), (None, "-"),
])
def test_significant_digits_follow_the_same_rule(value, expected):
    assert significant(value) == expected


@pytest.fixture(scope="module")
def run():
    experiment = small_experiment()
    return experiment, korvel.simulate(experiment, "reference")


def test_summary_rows_hold_the_metrics_and_the_configured_rates(run):
    experiment, result = run
    rows = {(r["region"], r["metabolite"]): r for r in result.summary(experiment)}
    tumour = rows["tumour", "lactate"]
    assert tumour["rate"] == pytest.approx(0.035)                # mean of 0.05 and 0.02
    assert rows["vessel", "lactate"]["rate"] == 0.0
    precursor = rows["tumour", "pyruvate"]
    assert precursor["rate"] is None and precursor["ratio"] is None
    # the vessel converts nothing: a zero curve has no peak time (not the first frame)
    vessel = rows["vessel", "lactate"]
    assert vessel["peak"] == 0.0 and vessel["ratio"] == 0.0
    assert vessel["peak_time"] is vessel["time_to_peak"] is vessel["mean_time"] is None
    # the refined time to peak lies within a frame of the peak frame
    assert abs(tumour["time_to_peak"] - tumour["peak_time"]) <= result.repetition_time / 2
    assert all(r["rate"] is None for r in result.summary())      # no experiment: no rates


def test_summary_table_units_dashes_and_rates(run):
    experiment, result = run
    table = format_summary(result, experiment).splitlines()
    assert table[0].split()[:2] == ["region", "metabolite"]
    for header in ("peak (a.u.)", "time to peak (s)", "mean time (s)", "AUC (a.u. s)",
                   "AUC / pyruvate", "rate (1/s)"):
        assert header in table[0]
    vessel = next(line.split() for line in table if line.split()[:2] == ["vessel", "lactate"])
    assert vessel[2:] == ["0", "-", "-", "0", "0.0000", "0"]
    assert "rate" not in format_summary(result)  # without the experiment


def test_command_writes_region_and_voxel_metrics_and_the_figure(tmp_path, capsys):
    # noiseless, so that a product with no signal has no peak
    assert main(["simulate", "--output", str(tmp_path), "--no-noise"]) == 0
    printed = capsys.readouterr().out
    assert "time to peak (s)" in printed and "rate (1/s)" in printed
    experiment = korvel.default_experiment()
    with (tmp_path / "voxels.csv").open() as file:
        voxels = list(csv.DictReader(file))
    assert len(voxels) == experiment.nvoxels * len(experiment.metabolites)
    lactate = [row for row in voxels if row["metabolite"] == "lactate"]
    assert [float(row["rate_per_s"]) for row in lactate] == list(experiment.conversion_rates[0])
    alanine_in_vessel = [row for row in voxels
                         if row["metabolite"] == "alanine" and row["region"] == "vessel"]
    assert all(row["time_to_peak_s"] == "" and row["auc_ratio_to_pyruvate"] == "0"
               for row in alanine_in_vessel)
    with (tmp_path / "summary.csv").open() as file:
        summary = list(csv.DictReader(file))
    assert {"time_to_peak_s", "mean_time_s", "rate_per_s"} <= set(summary[0])
    assert (tmp_path / "curves.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_first_excitation_has_one_default_wherever_the_experiment_is_described():
    # Python, TOML without the key, and the embedded template agree: one repetition time.
    assert korvel.Acquisition(repetition_time=2.5).first_excitation == 2.5
    template = tomllib.loads(default_config_text())
    assert "first_excitation" not in template["acquisition"]
    assert "# first_excitation = 3.0" in default_config_text()
    acquisition = korvel.default_experiment().acquisition
    assert acquisition.first_excitation == acquisition.repetition_time == 3.0
    # the commented value is that default: uncommenting it changes nothing
    text = default_config_text().replace("# first_excitation = 3.0", "first_excitation = 3.0")
    assert experiment_from_config(tomllib.loads(text)).acquisition == acquisition
    template["acquisition"]["repetition_time"] = 2.0
    assert experiment_from_config(template).acquisition.first_excitation == 2.0


def test_a_noisy_result_keeps_its_summary_finite():
    result = korvel.simulate(small_experiment(), "reference")
    noisy = korvel.add_noise(result, snr=30, seed=0)
    rows = noisy.summary()
    assert all(r["time_to_peak"] is not None and r["mean_time"] is not None for r in rows)
    assert dataclasses.replace(noisy, signal=result.signal).summary() == result.summary()
    assert np.isfinite([r["ratio"] for r in rows if r["ratio"] is not None]).all()
