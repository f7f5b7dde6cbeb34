"""Inputs that are wrong, or valid but meaningless: one line naming the cause (an error, or a
warning for what may be meant), from the Python API and from the command line."""

from __future__ import annotations

import warnings

import numpy as np
import pytest
from pathlib import Path
import test_host_simulate

import korvel
from korvel.__main__ import main
from korvel.host.config import default_config_text, load_experiment
from korvel.host.experiment import (
    EmptyExperimentWarning,
    ExperimentError,
    FlipAngles,
    Inflow,
    UnitWarning,
)
from korvel.host.result import SimulationResult

# Each: text replacements of the default config, and the message of its one-line error. The
# fault campaign (tools/fault_campaign.py) runs every one through the command line as well.
MALFORMED = {
    "delivery as text": ([("delivery = 1.2", 'delivery = "1.2"')],
                         "region 'tumour': delivery must be a number or a list of numbers, "
                         "got '1.2'"),
    "delivery as a truth value": ([("delivery = 1.2", "delivery = true")],
                                  "region 'tumour': delivery must be a number or a list of "
                                  "numbers, got True"),
    "rate as text": ([("lactate = 0.06", 'lactate = "0.06"')],
                     "region 'tumour': rates.lactate must be a number or a list of numbers, "
                     "got '0.06'"),
    "a text in a per-voxel list": ([("[0.0, 3.0, -2.0, 5.0]", '[0.0, "3.0", -2.0, 5.0]')],
                                   "region 'tumour': off_resonance must be a number or a list "
                                   "of numbers, got [0.0, '3.0', -2.0, 5.0]"),
    "receive as (voxels, coils)": (
        [('name = "vessel"', 'name = "vessel"\nreceive = [[1.0, 0.5, 0.1], [0.2, 0.1, 0.3]]')],
        "region 'vessel': receive must list one sensitivity per coil, or one list per coil of 2 "
        "values (one per voxel of the region); got shape (2, 3)"),
    "receive coils that differ": (
        [('name = "vessel"', 'name = "vessel"\nreceive = [[1.0, 0.5], [0.2, 0.1]]')],
        "every region must give the same number of receive coils ('tumour': 1, 'healthy': 1, "
        "'vessel': 2)"),
    "receive as text": ([('name = "vessel"', 'name = "vessel"\nreceive = ["1.0"]')],
                        "region 'vessel': receive must list numbers, got ['1.0']"),
    "two regions of one name": ([('name = "healthy"', 'name = "tumour"')],
                                "[[regions]] entries 0 and 1 are both named 'tumour'; name them "
                                "apart, or set shared_name = true on the later one to make them "
                                "one region"),
    "angles for a variable schedule": (
        [("angle = 90.0 }", "angle = 90.0, angles = [10.0] }")],
        "[acquisition.flip_angles] of kind 'variable' takes angle, not angles"),
    "angle for a list": (
        [('kind = "variable", angle = 90.0', 'kind = "list", angle = 90.0, angles = [10.0]')],
        "[acquisition.flip_angles] of kind 'list' takes angles, not angle"),
    "10^9 excitations": ([("excitations = 20", "excitations = 1000000000")],
                         "an acquisition of 1,000,000,000 excitations needs about"),
    "half-intervals of 1e-300 s": ([("max_half_interval = 0.25", "max_half_interval = 1e-300")],
                                   "the run needs about"),
    "an overflowing dose": ([("dose = 1.0", "dose = 1e308")],
                            "the signal reaches 4.6e+307, too large for its sums over coils, "
                            "voxels and excitations to stay finite; the largest inputs are bolus "
                            "dose = 1e+308, bolus dose / duration = 1.25e+307: scale them down"),
    "an overflowing equilibrium": (
        [("equilibrium = 0.0 ", "equilibrium = 1e308"), ("dose = 1.0", "dose = 1e5")],
        "the signal overflowed to inf or NaN (first at metabolite 'pyruvate', voxel 0, coil 0, "
        "excitation 2); the largest inputs are equilibrium = 1e+308"),
}


# The run form of a configuration: regions as runs of voxels, the layout these checks read.
RUN_FORM = Path(__file__).with_name("regions.toml")


def config_text(replacements) -> str:
    text = RUN_FORM.read_text(encoding="utf-8")
    for old, new in replacements:
        assert old in text, old
        text = text.replace(old, new, 1)
    return text


@pytest.mark.parametrize("case", MALFORMED)
def test_malformed_configs_are_one_line(tmp_path, capsys, case):
    replacements, message = MALFORMED[case]
    config = tmp_path / "config.toml"
    config.write_text(config_text(replacements))
    output = tmp_path / "out"
    assert main(["simulate", "--config", str(config), "--output", str(output)]) == 2
    captured = capsys.readouterr()
    assert captured.err.startswith("error: " + message) and captured.err.count("\n") == 1
    assert captured.out == "" and not output.exists()


@pytest.mark.parametrize("content", [b"\xff\xfe\x00\x01binary", "dose = 1.0 # caf\xe9".encode(
    "latin-1")])
def test_a_config_that_is_not_utf8_is_one_line(tmp_path, content):
    config = tmp_path / "config.toml"
    config.write_bytes(content)
    with pytest.raises(ExperimentError, match=r"config.toml: not a UTF-8 TOML text \(byte \d+ is"):
        load_experiment(config)


def test_shared_names_make_one_region(tmp_path):
    config = tmp_path / "config.toml"
    config.write_text(config_text([('name = "vessel"', 'name = "tumour"\nshared_name = true')]))
    experiment = load_experiment(config)
    assert experiment.regions.count("tumour") == 6


def test_receive_is_coils_by_voxels(tmp_path):
    config = tmp_path / "config.toml"
    config.write_text(config_text([
        ('name = "tumour"', 'name = "tumour"\nreceive = [[1.0, 0.9, 0.8, 0.7], [0.1, 0.2, 0.3, '
                            '0.4]]'),
        ('name = "healthy"', 'name = "healthy"\nreceive = [0.5, 0.6]'),
        ('name = "vessel"', 'name = "vessel"\nreceive = [[1.0, 2.0], [3.0, 4.0]]')]))
    receive = load_experiment(config).receive.real
    assert receive.shape == (2, 10)
    assert receive[:, :4].tolist() == [[1.0, 0.9, 0.8, 0.7], [0.1, 0.2, 0.3, 0.4]]
    assert receive[:, 4:8].tolist() == [[0.5] * 4, [0.6] * 4]
    assert receive[:, 8:].tolist() == [[1.0, 2.0], [3.0, 4.0]]


@pytest.mark.parametrize("build, message", [
    (lambda: FlipAngles("constant", angles=(10.0,)), "of kind 'constant' take angle, not angles"),
    (lambda: FlipAngles("list", angle=45.0, angles=(10.0,)), "of kind 'list' take angles, not "
                                                             "angle"),
    (lambda: test_host_simulate.experiment_for("two-pool", delivery="1.2"),
     "delivery must be a number or a sequence of numbers, not text or true/false"),
    (lambda: test_host_simulate.experiment_for("two-pool", off_resonance=[True, 0.0, 1.0]),
     "off_resonance must be a number or a sequence of numbers, not text or true/false"),
    (lambda: test_host_simulate.experiment_for("two-pool", conversion_rates=(np.array(
        ["0.1", "0.2", "0.3"]),)), "conversion rate to 'lactate' must be a number"),
])
def test_api_inputs_of_the_wrong_kind(build, message):
    with pytest.raises(ExperimentError, match=message):
        build()


@pytest.mark.parametrize("build, message", [
    (lambda: FlipAngles("constant", 0.35), "flip angle 0.35 is below 1 degree; flip angles are "
                                           "in degrees"),
    (lambda: FlipAngles("list", angles=(10.0, 0.2)), "flip angle 0.2 is below 1 degree"),
    (lambda: test_host_simulate.LACTATE.__class__("lactate", 30000.0, 0.3, 183.0),
     "metabolite 'lactate': t1 = 30000 s is longer than 1000 s; relaxation times are in seconds"),
])
def test_likely_unit_slips_warn(build, message):
    with pytest.warns(UnitWarning, match=message):
        build()


@pytest.mark.parametrize("build", [
    lambda: FlipAngles("constant", 0.0), lambda: FlipAngles("variable", 90.0),
    lambda: test_host_simulate.LACTATE.__class__("lactate", float("inf"), 0.3, 183.0),
])
def test_usual_values_do_not_warn(build):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        build()


@pytest.mark.parametrize("changes, empty", [
    (dict(initial_magnetization=None), True),
    (dict(initial_magnetization=None, inflow=Inflow(polarization=0.0), equilibrium=0.0), True),
    (dict(initial_magnetization=None, delivery=0.0, equilibrium=0.0), True),
    (dict(initial_magnetization=None, equilibrium=0.03), False),
    (dict(), False),
])
def test_an_experiment_without_magnetization_warns(changes, empty):
    driver = "two-pool" if "inflow" not in changes and "equilibrium" not in changes and \
        "delivery" not in changes else "source-interval"
    experiment = test_host_simulate.experiment_for(driver, **changes)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = korvel.simulate(experiment, progress=False)
    warned = [w for w in caught if issubclass(w.category, EmptyExperimentWarning)]
    assert bool(warned) == empty
    if empty:
        assert not np.any(result.signal)


def test_the_command_line_shows_warnings_in_one_line(tmp_path, capsys):
    config = tmp_path / "config.toml"
    config.write_text(config_text([("angle = 90.0", "angle = 0.35")]))
    assert main(["simulate", "--config", str(config), "--output", str(tmp_path / "o")]) == 0
    assert capsys.readouterr().err == ("warning: flip angle 0.35 is below 1 degree; flip angles "
                                       "are in degrees (radians given?)\n")


@pytest.mark.parametrize("scale", [1e-200, 1e-170, 1.0, 1e160, 1e300])
def test_magnitude_neither_overflows_nor_underflows(scale):
    signal = np.zeros((1, 2, 2, 1), complex)
    signal[0, :, 0, 0] = [3.0 * scale, 4.0j * scale]
    signal[0, :, 1, 0] = [scale, 0.0]
    result = SimulationResult(("a",), ("r", "r"), np.zeros(1), np.zeros(1), signal, 1.0, "x", "y")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        magnitude = result.magnitude()
    assert np.allclose(magnitude[0, :, 0] / scale, [5.0, 1.0], rtol=1e-15)
