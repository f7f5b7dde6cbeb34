"""The benchmark suite runs end to end on tiny sizes (a smoke run, no timings asserted)."""

from __future__ import annotations

import csv
from pathlib import Path

from korvel.__main__ import main

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"


def test_quick_suite_reports_every_workload(tmp_path, capsys):
    table = tmp_path / "bench.csv"
    status = main(["bench", "--quick", "--benchmarks", str(BENCHMARKS), "--csv", str(table)])
    assert status == 0  # a native result that differs from the reference fails the run
    with open(table, newline="") as rows:
        records = list(csv.DictReader(rows))
    output = capsys.readouterr().out
    assert "simulate on a 2-worker cluster" in output  # its bits are in the status above
    assert "--fit-model bolus" in output  # the main job's command, timed
    assert records and all(r["kernel"] in output for r in records)
    built = [r for r in records if r["status"] == "ok"]
    assert len(built) >= 7
    for r in built:
        assert r["same_bits"] == "True"
        assert float(r["native_1t_seconds"]) > 0 and float(r["reference_seconds"]) > 0
        assert float(r["roofline_1t"]) > 0 and float(r["operations_per_unit"]) > 0
    # The end-to-end rows: simulate on every phantom variant, native and reference, each
    # spending time in its driver.
    with open(tmp_path / "bench-end-to-end.csv", newline="") as rows:
        runs = list(csv.DictReader(rows))
    assert {(r["driver"], r["backend"]) for r in runs} == {
        (d, b) for d in ("two-pool", "source-interval", "multi-pool")
        for b in ("native", "reference")}
    for r in runs:
        assert not r["error"] and r["label"] in output
        assert 0 < float(r["driver_seconds"]) <= float(r["wall"])
        assert int(r["spin_steps"]) > 0 and int(r["calls"]) >= 1
