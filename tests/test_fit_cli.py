"""``python -m korvel fit``: .npz and .mat files in, maps and figures out, one line on bad input."""

from __future__ import annotations

import numpy as np
import pytest

from korvel.__main__ import main

NFRAMES = 12


def _series(shape=(3, 4)):
    """A small noiseless map whose lactate rate grows along the last axis."""
    from korvel.fitting.models import InputlessData, Layout, excitation_scales

    angles = np.array([[10.0], [25.0]]) * np.ones(NFRAMES)
    scale, remaining = excitation_scales(np.radians(angles), NFRAMES)
    nvoxels = int(np.prod(shape))
    precursor = np.exp(-0.1 * np.arange(NFRAMES)) * scale[0]
    signal = np.zeros((nvoxels, 2, NFRAMES))
    signal[:, 0] = precursor
    data = InputlessData(Layout(("pyruvate", "lactate")), signal, scale, remaining, 3.0)
    rates = np.linspace(0.01, 0.1, nvoxels)
    parameters = np.stack([rates, np.full(nvoxels, 1 / 30), np.full(nvoxels, 1 / 25),
                           np.full(nvoxels, 0.01)], axis=-1)
    signal = data.fitted_signal(parameters)
    return signal.reshape(shape + (2, NFRAMES)), angles, rates.reshape(shape)


def test_npz_in_maps_and_figures_out(tmp_path, capsys):
    signal, angles, rates = _series()
    source = tmp_path / "series.npz"
    np.savez(source, signal=signal, flip_angles=angles, repetition_time=3.0,
             mask=np.arange(12).reshape(3, 4) != 5)
    output = tmp_path / "out"
    assert main(["fit", str(source), "--mask", "mask", "--output", str(output)]) == 0
    printed = capsys.readouterr().out
    assert "k_lactate" in printed and "11/12" in printed
    with np.load(output / "maps.npz") as maps:
        expected = np.where(np.arange(12).reshape(3, 4) != 5, rates, np.nan)
        np.testing.assert_allclose(maps["k_lactate"], expected, rtol=1e-6)
        assert {"k_lactate_error", "r_squared_lactate", "converged"} <= set(maps.files)
    pytest.importorskip("matplotlib")
    for name in ("k_lactate", "m0_lactate", "r_squared_lactate", "curves"):
        assert (output / f"{name}.png").stat().st_size > 1000


def test_mat_with_named_variables(tmp_path, capsys):
    scipy_io = pytest.importorskip("scipy.io")
    signal, angles, rates = _series((5,))
    source = tmp_path / "series.mat"
    scipy_io.savemat(source, dict(S=signal, FA=angles, TR=3.0))
    output = tmp_path / "out"
    assert main(["fit", str(source), "--signal", "S", "--angles", "FA", "--tr-name", "TR",
                 "--metabolites", "pyr,lac", "--fix", f"r1_pyr={1 / 30!r}", "--fix",
                 "r1_lac=0.04", "--output", str(output)]) == 0
    with np.load(output / "maps.npz") as maps:
        np.testing.assert_allclose(maps["k_lac"], rates, rtol=1e-6)


@pytest.mark.parametrize("name, content, options, message", [
    ("missing.npz", None, [], "missing.npz: no such file"),
    ("series.txt", b"1 2 3", [], "series.txt: cannot read .txt; use .npz or .mat"),
    ("broken.npz", b"PK\x03\x04 not really", [], "broken.npz: not a .npz archive of arrays"),
    ("series.npz", "good", ["--signal", "nope"],
     "series.npz: no variable 'nope' for the signals (variables: flip_angles, signal)"),
    ("series.npz", "good", [], "series.npz: no variable 'repetition_time' for the repetition "
                               "time (or give --tr) (variables: flip_angles, signal)"),
    ("series.npz", "good", ["--tr", "3", "--fix", "k_alanine=1"],
     "fixed: unknown parameter 'k_alanine'; the parameters are k_lactate, r1_pyruvate, "
     "r1_lactate, m0_lactate"),
])
def test_bad_input_is_one_line_and_status_2(tmp_path, capsys, name, content, options, message):
    path = tmp_path / name
    if content == "good":
        signal, angles, _ = _series()
        np.savez(path, signal=signal, flip_angles=angles)
    elif content is not None:
        path.write_bytes(content)
    assert main(["fit", str(path), "--output", str(tmp_path / "out"), *options]) == 2
    captured = capsys.readouterr()
    located = message if message.startswith("fixed") else f"{tmp_path}/{message}"
    assert captured.err == f"error: {located}\n"
    assert not (tmp_path / "out").exists()
