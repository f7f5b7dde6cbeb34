"""The simulate command's outputs: the folder checked before the work, every file or none,
no stale file of its names, one line for every failure, quiet on a closed pipe and on Ctrl-C."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time

import pytest

from korvel.__main__ import main
from korvel.cli import simulate as cli
from korvel.host.config import default_config_text

NAMES = cli.OUTPUT_NAMES


def snapshot(folder):
    return {path.name: path.read_bytes() for path in sorted(folder.iterdir()) if path.is_file()}


@pytest.fixture
def old_outputs(tmp_path):
    """A folder with the outputs of an earlier run (and a file that is not the command's)."""
    folder = tmp_path / "out"
    folder.mkdir()
    for name in NAMES + ("notes.txt",):
        (folder / name).write_bytes(f"old {name}".encode())
    return folder


@pytest.fixture
def no_simulation(monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("simulated although the output folder was unusable")
    monkeypatch.setattr(cli, "simulate", refuse)


@pytest.mark.parametrize("layout, output, message", [
    ("file", "taken", "output folder {tmp}/taken is a file, not a folder"),
    ("file", "taken/sub/folder", "output folder {tmp}/taken/sub/folder cannot be made: "
                                 "{tmp}/taken is a file"),
    ("summary folder", "out", "output {tmp}/out/summary.csv is a folder; remove it or choose "
                              "another --output"),
])
def test_an_unusable_output_folder_fails_before_simulating(tmp_path, capsys, no_simulation,
                                                           layout, output, message):
    if layout == "file":
        (tmp_path / "taken").write_text("a file")
    else:
        (tmp_path / "out" / "summary.csv").mkdir(parents=True)
    assert main(["simulate", "--output", str(tmp_path / output)]) == 2
    assert capsys.readouterr().err == "error: " + message.format(tmp=tmp_path) + "\n"
    assert not (tmp_path / "taken" / "sub").exists()


def test_a_failed_run_removes_the_folders_it_made(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(cli, "simulate", lambda *a, **k: (_ for _ in ()).throw(
        ValueError("no memory for this")))
    assert main(["simulate", "--output", str(tmp_path / "a" / "b")]) == 2
    assert capsys.readouterr().err == "error: no memory for this\n"
    assert not (tmp_path / "a").exists()


class Interrupted(KeyboardInterrupt):
    pass


def fail_plot(kind):
    def plot(result, path, experiment=None):
        path.write_bytes(b"half a png")
        raise {"error": RuntimeError("the plot failed"), "interrupt": Interrupted()}[kind]
    return plot


@pytest.mark.parametrize("kind, status, line", [
    ("error", 1, "internal error: RuntimeError: the plot failed"),
    ("interrupt", 130, "interrupted; no output was changed"),
])
def test_a_failure_while_writing_keeps_every_old_output(old_outputs, capsys, monkeypatch, kind,
                                                        status, line):
    before = snapshot(old_outputs)
    monkeypatch.setattr(cli, "write_plot", fail_plot(kind))
    assert main(["simulate", "--output", str(old_outputs)]) == status
    captured = capsys.readouterr()
    assert captured.err == line + "\n" and captured.out == ""
    assert snapshot(old_outputs) == before
    assert sorted(os.listdir(old_outputs)) == sorted(before)


def test_outputs_not_made_this_time_are_removed(old_outputs, capsys, monkeypatch):
    monkeypatch.setattr(cli, "write_plot", lambda result, path, experiment=None: False)
    assert main(["simulate", "--output", str(old_outputs)]) == 0
    assert "no plot" in capsys.readouterr().out
    # No figures this time: the old ones go; the tables of this run and the foreign file stay.
    assert sorted(os.listdir(old_outputs)) == ["curves.csv", "fit.csv", "notes.txt", "summary.csv",
                                               "voxels.csv"]
    assert (old_outputs / "notes.txt").read_bytes() == b"old notes.txt"
    assert (old_outputs / "curves.csv").read_text().startswith("excitation,")


def test_a_name_that_cannot_be_replaced_keeps_every_old_output(old_outputs, capsys,
                                                               monkeypatch):
    """The second rename fails: the first file goes back."""
    real = os.replace
    calls = []

    def replace(source, target):
        calls.append(target)
        if str(target).endswith("summary.csv") and ".partial-" in str(source):
            raise PermissionError(13, "Permission denied")
        return real(source, target)

    before = snapshot(old_outputs)
    monkeypatch.setattr(os, "replace", replace)
    assert main(["simulate", "--output", str(old_outputs)]) == 2
    assert capsys.readouterr().err == \
        f"error: cannot write the outputs in {old_outputs}: Permission denied\n"
    assert snapshot(old_outputs) == before
    assert sorted(os.listdir(old_outputs)) == sorted(before)


def test_metabolite_names_are_plotted_literally(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    config = tmp_path / "odd.toml"
    config.write_text(default_config_text().replace('"lactate"', '"lac$\\\\bogus$tate"')
                      .replace("lactate =", '"lac$\\\\bogus$tate" ='))
    assert main(["simulate", "--config", str(config), "--output", str(tmp_path / "out")]) == 0
    assert (tmp_path / "out" / "curves.png").stat().st_size > 0


def command(output, *options):
    return [sys.executable, "-P", "-m", "korvel", "simulate", "--output", str(output), *options]


def test_a_closed_pipe_ends_quietly_after_writing(tmp_path):
    with subprocess.Popen(command(tmp_path / "out"), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as process:
        first = process.stdout.readline()
        process.stdout.close()
        error = process.stderr.read()
        status = process.wait(timeout=120)
    assert first.startswith(b"embedded default experiment")
    assert error == b"" and status == 0
    assert sorted(os.listdir(tmp_path / "out"))[:2] == ["curves.csv", "curves.png"] or \
        (tmp_path / "out" / "curves.csv").exists()
    assert not [n for n in os.listdir(tmp_path / "out") if n.startswith(".")]


LONG_CONFIG = default_config_text().replace("excitations = 20", "excitations = 400")


@pytest.mark.parametrize("delay", [0.3, 0.9, 1.6, 2.5])
def test_sigint_at_any_moment_leaves_old_or_new_outputs(tmp_path, delay):
    config = tmp_path / "long.toml"
    config.write_text(LONG_CONFIG)
    folder = tmp_path / "out"
    folder.mkdir()
    for name in NAMES:
        (folder / name).write_bytes(b"old")
    with subprocess.Popen(command(folder, "--config", str(config)), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as process:
        time.sleep(delay)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=120)
    contents = snapshot(folder)
    assert sorted(os.listdir(folder)) == sorted(NAMES)
    if "init_import_site" in err and "korvel" not in err:
        # Python's own start-up, before any code of the package: nothing to hold on to.
        assert set(contents.values()) == {b"old"}
        return
    err = err.rsplit("\n", 2)[-2] + "\n" if err else err  # the last line, after the bar
    written = process.returncode == 0 or err == "interrupted after the outputs were written\n"
    if written:
        assert all(value != b"old" for value in contents.values())
    else:
        # Killed by the signal: before Python's own handler is in place, or once it has gone.
        assert (process.returncode, err) in {(130, "interrupted; no output was changed\n"),
                                             (-signal.SIGINT, "")}
        values = list(contents.values())
        assert values.count(b"old") in (0, len(values))
