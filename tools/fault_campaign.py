#!/usr/bin/env python
"""Scripted faults against the layers around the native module, bounded in time.

Sections (each stops at its count or at its share of ``--seconds``, whichever comes first):

- ``threads`` / ``cluster``: SIGINT at a random moment into ``korvel.distributed`` calls, on
  local threads and on a two-worker ``LocalCluster`` on 127.0.0.1;
- ``cli``: SIGINT at a random moment into ``python -m korvel simulate`` over old outputs;
- ``failing``: chunks that raise, at a random chunk, on the cluster;
- ``killed``: drivers that kill their worker (once: retried; always: ChunkError);
- ``configs``: every malformed configuration of the tests, and unusable output folders,
  through the command line.

Each trial is checked for partial writes (arrays neither all old nor all new; outputs neither
all old nor all new), stale or temporary outputs, memory retained after the call (the caller's
arrays alive once dropped, with the garbage collector off), keys left on the cluster, and
tracebacks (any exception but the documented ones in-process; more than one line on stderr from
the command line). The report ends with one line per section and a total; the exit status is 1
if anything was found.

    python tools/fault_campaign.py --seconds 600
    python tools/fault_campaign.py --sigints 200 --failing 50 --killed 20 --seconds 1800
"""

from __future__ import annotations

import argparse
import collections
import gc
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time
import weakref
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
FINDINGS = ("partial writes", "stale outputs", "retained", "keys left", "tracebacks")


class Tally:
    def __init__(self, name: str):
        self.name = name
        self.trials = 0
        self.outcomes: collections.Counter = collections.Counter()
        self.findings: collections.Counter = collections.Counter({k: 0 for k in FINDINGS})
        self.examples: list[str] = []

    def find(self, kind: str, detail: str) -> None:
        self.findings[kind] += 1
        if len(self.examples) < 5:
            self.examples.append(f"{kind}: {detail}")

    def line(self) -> str:
        outcomes = ", ".join(f"{k} {v}" for k, v in sorted(self.outcomes.items()))
        findings = ", ".join(f"{k} {self.findings[k]}" for k in FINDINGS)
        return f"{self.name:8s} {self.trials:4d} trials ({outcomes}); {findings}"


# ---------------------------------------------------------------------------------------------
# A block of a real experiment, through the planner


def make_block(nvoxels: int, driver_name: str = "multi-pool"):
    """(record, arguments) of the first block of an experiment of ``nvoxels`` voxels."""
    from korvel import pelorine
    from korvel.host import planner
    from korvel.host.experiment import (
        Acquisition,
        Bolus,
        Experiment,
        FlipAngles,
        Inflow,
        Metabolite,
    )

    rng = np.random.default_rng(17)
    products = (Metabolite("lactate", 25.0, 0.3, 183.0), Metabolite("alanine", 25.0, 0.3, 176.5))
    experiment = Experiment(
        precursor=Metabolite("pyruvate", 30.0, 0.3, 171.0, clearance=0.01), products=products,
        conversion_rates=(rng.uniform(0, 0.05, nvoxels), 0.01), nvoxels=nvoxels,
        acquisition=Acquisition(repetition_time=2.0, excitations=12,
                                flip_angles=FlipAngles("constant", 15.0)),
        transmit=rng.uniform(0.9, 1.1, nvoxels), receive=rng.uniform(0, 1, (2, nvoxels)),
        spins_per_voxel=2, spin_spread=3.0, off_resonance=rng.uniform(-5, 5, nvoxels),
        inflow=Inflow(Bolus("gamma", arrival=2.0, duration=6.0)), equilibrium=0.01,
        memory_bound=1 << 30)
    record = planner.driver_record(driver_name)
    run = planner.Run(experiment, record, (pelorine.prepare_spatial_rf_rotation_coefficients,
                                           pelorine.prepare_transverse_factors_coefficients))
    block = next(iter(run.blocks()))
    arguments = {name: np.array(value) if isinstance(value, np.ndarray) else value
                 for name, value in block.arguments.items()}
    arguments["num_threads"] = 1
    return record, arguments


def copied(arguments):
    return {k: v.copy() if isinstance(v, np.ndarray) else v for k, v in arguments.items()}


def same(a, b) -> bool:
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def keys_left(client, timeout: float = 3.0) -> list:
    deadline = time.monotonic() + timeout
    while True:
        tasks = client.run_on_scheduler(lambda dask_scheduler: list(dask_scheduler.tasks))
        data = client.run(lambda dask_worker: list(dask_worker.data))
        left = tasks + [key for keys in data.values() for key in keys]
        if not left or time.monotonic() > deadline:
            return left


# ---------------------------------------------------------------------------------------------
# Drivers the chunks run (module level: sent by value to the workers)


class FailAt:
    """Raises in the chunk holding spin ``spin`` (after running it)."""

    def __init__(self, export: str, marker: np.ndarray):
        self.export, self.marker = export, marker

    def __call__(self, **arguments):
        from korvel import pelorine

        hit = any(same(row, self.marker) for row in arguments["parent_species_signal"])
        getattr(pelorine, self.export)(**arguments)
        if hit:
            raise ArithmeticError("injected chunk failure")


class KillWorker:
    """Kills its worker process the first time (``marker`` a path) or every time (None)."""

    def __init__(self, export: str, marker: str | None):
        self.export, self.marker = export, marker

    def __call__(self, **arguments):
        from korvel import pelorine

        if self.marker is not None:
            try:
                os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
            except FileExistsError:
                return getattr(pelorine, self.export)(**arguments)
        os.kill(os.getpid(), signal.SIGKILL)


# ---------------------------------------------------------------------------------------------
# In-process trials


def one_call(tally: Tally, function, block, expected, written, *, client=None, delay=None,
             driver=None, chunk_parents=None):
    """Run one chunked call (SIGINT after ``delay`` seconds if given) and check it."""
    from korvel import distributed

    got = copied(block)
    alive = [weakref.ref(v) for v in got.values() if isinstance(v, np.ndarray)]
    armed = [False]

    def handler(number, frame):
        if armed[0]:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, handler)
    timer = None
    if delay is not None:
        timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
    outcome, error = "completed", None
    gc.disable()
    try:
        try:
            if timer is not None:
                timer.start()
            armed[0] = True
            function(**got, client=client, chunk_parents=chunk_parents, driver=driver)
        finally:
            armed[0] = False
    except KeyboardInterrupt as caught:
        outcome, error = "interrupted", caught
    except distributed.ChunkError as caught:
        outcome, error = type(caught).__name__, caught
    except Exception as caught:  # noqa: BLE001 - every other exception is a finding
        outcome, error = "unexpected", caught
        tally.find("tracebacks", f"{type(caught).__name__}: {caught}")
    finally:
        if timer is not None:
            timer.cancel()
            timer.join()
        signal.signal(signal.SIGINT, previous)
    tally.trials += 1
    tally.outcomes[outcome] += 1
    new = all(same(got[n], expected[n]) for n in written)
    old = all(same(got[n], block[n]) for n in written)
    if outcome == "completed" and not new:
        tally.find("partial writes", "a completed call did not write every array")
    elif outcome != "completed" and not old:
        tally.find("partial writes", f"{outcome}: arrays changed "
                                     f"({'all new' if new else 'partly new'})")
    if error is not None and error.__traceback__ is not None:
        frames = [tb.tb_frame.f_code.co_name for tb in _walk(error.__traceback__)]
        if set(frames) - {"one_call", "run"}:
            tally.find("retained", f"exception keeps frames {frames}")
    del got, error
    if [ref for ref in alive if ref() is not None]:
        tally.find("retained", f"{sum(ref() is not None for ref in alive)} arrays alive after "
                               f"the call ({outcome})")
    gc.enable()
    if client is not None:
        left = keys_left(client)
        if left:
            tally.find("keys left", f"{len(left)} keys after {outcome}: {left[:2]}")


def _walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


def timed(function, block, **options) -> float:
    started = time.perf_counter()
    function(**copied(block), **options)
    return time.perf_counter() - started


def sigint_section(name, count, seconds, client, nvoxels, rng) -> Tally:
    from korvel import distributed, pelorine

    tally = Tally(name)
    record, block = make_block(nvoxels)
    function = distributed.chunked(record)
    expected = copied(block)
    record.function(pelorine)(**expected)
    written = [n for n in record.layout.written if isinstance(block.get(n), np.ndarray)]
    chunk_parents = max(1, block["parent_species_signal"].shape[0] // 24)
    duration = timed(function, block, client=client, chunk_parents=chunk_parents)
    deadline = time.monotonic() + seconds
    while tally.trials < count and time.monotonic() < deadline:
        one_call(tally, function, block, expected, written, client=client,
                 delay=rng.uniform(0, 1.3 * duration), chunk_parents=chunk_parents)
    return tally


def failing_section(count, seconds, client, rng) -> Tally:
    from korvel import distributed, pelorine

    tally = Tally("failing")
    record, block = make_block(600)
    function = distributed.chunked(record)
    expected = copied(block)
    record.function(pelorine)(**expected)
    written = [n for n in record.layout.written if isinstance(block.get(n), np.ndarray)]
    nparents = block["parent_species_signal"].shape[0]
    deadline = time.monotonic() + seconds
    while tally.trials < count and time.monotonic() < deadline:
        marker = block["parent_species_signal"][int(rng.integers(nparents))].copy()
        driver = FailAt(record.export, marker)
        completed = tally.outcomes["completed"]
        one_call(tally, function, block, expected, written, client=client, driver=driver,
                 chunk_parents=max(1, nparents // 12))
        if tally.outcomes["completed"] > completed:
            tally.find("tracebacks", "a failing chunk was reported as success")
    return tally


def killed_section(count, seconds, client, rng) -> Tally:
    from korvel import distributed, pelorine

    tally = Tally("killed")
    record, block = make_block(300)
    function = distributed.chunked(record)
    expected = copied(block)
    record.function(pelorine)(**expected)
    written = [n for n in record.layout.written if isinstance(block.get(n), np.ndarray)]
    deadline = time.monotonic() + seconds
    with tempfile.TemporaryDirectory() as folder:
        while tally.trials < count and time.monotonic() < deadline:
            always = tally.trials % 4 == 3  # one in four keeps killing: it must fail cleanly
            marker = None if always else os.path.join(folder, f"killed-{tally.trials}")
            one_call(tally, function, block, expected, written, client=client,
                     driver=KillWorker(record.export, marker), chunk_parents=50)
            _wait_for_workers(client, 2)
    return tally


def _wait_for_workers(client, count, timeout=60.0):
    deadline = time.monotonic() + timeout
    while len(client.scheduler_info()["workers"]) < count and time.monotonic() < deadline:
        time.sleep(0.1)


# ---------------------------------------------------------------------------------------------
# The command line


OUTPUTS = ("curves.csv", "summary.csv", "curves.png")


def command(*options) -> list[str]:
    return [sys.executable, "-P", "-m", "korvel", "simulate", *options]


def check_stderr(tally: Tally, err: str, what: str) -> None:
    if err.count("\n") > 1 or "Traceback" in err:
        tally.find("tracebacks", f"{what}: {err.strip().splitlines()[-1] if err.strip() else ''}"
                                 f" ({err.count(chr(10))} lines)")


def cli_section(count, seconds, rng) -> Tally:
    from korvel.host.config import default_config_text

    tally = Tally("cli")
    deadline = time.monotonic() + seconds
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        config = folder / "long.toml"
        config.write_text(default_config_text().replace("excitations = 20", "excitations = 300"))
        started = time.monotonic()
        subprocess.run(command("--config", str(config), "--output", str(folder / "first")),
                       capture_output=True, check=True)
        duration = time.monotonic() - started
        while tally.trials < count and time.monotonic() < deadline:
            output = folder / f"out-{tally.trials}"
            output.mkdir()
            for name in OUTPUTS:
                (output / name).write_bytes(b"old")
            with subprocess.Popen(command("--config", str(config), "--output", str(output)),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True) as process:
                time.sleep(rng.uniform(0, 1.1 * duration))
                process.send_signal(signal.SIGINT)
                _, err = process.communicate(timeout=300)
            tally.trials += 1
            status = process.returncode
            if "init_import_site" in err and "korvel" not in err:
                # Python's own start-up (site-packages) before any code of the package runs.
                tally.outcomes["interrupted in Python's start-up"] += 1
                _clear(output)
                continue
            tally.outcomes[{0: "completed", 130: "interrupted", -signal.SIGINT: "killed by SIGINT"}
                           .get(status, f"status {status}")] += 1
            check_stderr(tally, err, f"SIGINT, status {status}")
            names = sorted(os.listdir(output))
            contents = [(output / n).read_bytes() for n in OUTPUTS if (output / n).exists()]
            if names != sorted(OUTPUTS):
                tally.find("stale outputs", f"status {status}: folder holds {names}")
            elif not (all(c == b"old" for c in contents) or all(c != b"old" for c in contents)):
                tally.find("partial writes", f"status {status}: old and new outputs together")
            elif status == 0 and any(c == b"old" for c in contents):
                tally.find("stale outputs", "a completed run left old outputs")
            elif status == 130 and any(c != b"old" for c in contents) and \
                    "after the outputs were written" not in err:
                tally.find("partial writes", f"status {status} but new outputs")
            if status not in (0, 130, -signal.SIGINT):
                tally.find("tracebacks", f"status {status}: {err.strip()[-200:]}")
            _clear(output)
    return tally


def _clear(output: Path) -> None:
    for name in os.listdir(output):
        (output / name).unlink()
    output.rmdir()


def configs_section(seconds) -> Tally:
    sys.path.insert(0, str(ROOT / "tests"))
    import test_host_inputs

    tally = Tally("configs")
    deadline = time.monotonic() + seconds
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        cases = {name: (test_host_inputs.config_text(replacements).encode(), [])
                 for name, (replacements, _) in test_host_inputs.MALFORMED.items()}
        cases["binary"] = (bytes(range(256)), [])
        cases["latin-1"] = ("# caf\xe9\n".encode("latin-1"), [])
        (folder / "a file").write_text("x")
        cases["output is a file"] = (None, ["--output", str(folder / "a file")])
        cases["output under a file"] = (None, ["--output", str(folder / "a file" / "sub")])
        cases["output not creatable"] = (None, ["--output", "/proc/korvel-campaign"])
        for name, (content, options) in cases.items():
            if time.monotonic() > deadline:
                break
            config = folder / "config.toml"
            arguments = options or ["--output", str(folder / "out")]
            if content is not None:
                config.write_bytes(content)
                arguments = ["--config", str(config), *arguments]
            done = subprocess.run(command(*arguments), capture_output=True, text=True,
                                  timeout=300)
            tally.trials += 1
            tally.outcomes[f"status {done.returncode}"] += 1
            if done.returncode != 2 or done.stderr.count("\n") != 1 or done.stdout:
                tally.find("tracebacks", f"{name}: status {done.returncode}, "
                                         f"{done.stderr.strip()[-200:]!r}")
            if (folder / "out").exists():
                tally.find("stale outputs", f"{name}: wrote {os.listdir(folder / 'out')}")
    return tally


# ---------------------------------------------------------------------------------------------


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=600.0,
                        help="time budget of the whole campaign (default 600)")
    parser.add_argument("--sigints", type=int, default=200,
                        help="SIGINTs per section: threads, cluster and the command line")
    parser.add_argument("--failing", type=int, default=50, help="failing chunks on the cluster")
    parser.add_argument("--killed", type=int, default=20, help="killed workers on the cluster")
    parser.add_argument("--voxels", type=int, default=3000, help="voxels of the SIGINT block")
    parser.add_argument("--sections", default="threads,cluster,cli,failing,killed,configs")
    parser.add_argument("--seed", type=int, default=20261208)
    options = parser.parse_args(argv)
    rng = np.random.default_rng(options.seed)
    random.seed(options.seed)
    sections = options.sections.split(",")
    shares = {"threads": 0.2, "cluster": 0.25, "cli": 0.25, "failing": 0.1, "killed": 0.15,
              "configs": 0.05}
    total = sum(shares[s] for s in sections)
    budget = {s: options.seconds * shares[s] / total for s in sections}
    tallies = []
    started = time.monotonic()
    if "threads" in sections:
        tallies.append(sigint_section("threads", options.sigints, budget["threads"], None,
                                      options.voxels, rng))
        print(tallies[-1].line(), flush=True)
    if {"cluster", "failing", "killed"} & set(sections):
        import dask
        from distributed import Client, LocalCluster

        with dask.config.set({"distributed.scheduler.allowed-failures": 1,
                              "logging.distributed": "error"}), \
                LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                             host="127.0.0.1", dashboard_address=None,
                             silence_logs=50) as cluster, Client(cluster) as client:
            if "cluster" in sections:
                tallies.append(sigint_section("cluster", options.sigints, budget["cluster"],
                                              client, options.voxels, rng))
                print(tallies[-1].line(), flush=True)
            if "failing" in sections:
                tallies.append(failing_section(options.failing, budget["failing"], client, rng))
                print(tallies[-1].line(), flush=True)
            if "killed" in sections:
                tallies.append(killed_section(options.killed, budget["killed"], client, rng))
                print(tallies[-1].line(), flush=True)
    if "cli" in sections:
        tallies.append(cli_section(options.sigints, budget["cli"], rng))
        print(tallies[-1].line(), flush=True)
    if "configs" in sections:
        tallies.append(configs_section(max(budget["configs"], 60.0)))
        print(tallies[-1].line(), flush=True)
    found = sum(sum(t.findings.values()) for t in tallies)
    print(f"total    {sum(t.trials for t in tallies):4d} trials in "
          f"{time.monotonic() - started:.0f} s; findings {found}")
    for tally in tallies:
        for example in tally.examples:
            print(f"  {tally.name}: {example}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
