"""Up-front admission: what a run will need, from the experiment alone, before it allocates.

Every array the host makes grows with a few sizes of the experiment: voxels (the maps),
excitations (the schedule and the signal), plan steps (the timeline) and voxels x metabolites x
coils x excitations (the signal). ``check_run`` estimates the peak memory of a whole run from
those sizes, and ``check_maps`` / ``check_excitations`` the arrays made while an experiment is
described; each refuses with one line naming the quantities and the memory available, before
anything that would not fit is allocated. The estimates are upper bounds in the sense of the
host's own arrays (NumPy and Python overheads per step included); the simulation's chunk arrays
and coefficient tables stay within ``memory_bound`` by construction.

The number of plan steps is counted in floating point, so that a half-interval of 1e-300 s gives
a huge count instead of an overflow, and the host's loops over steps, excitations and voxels are
all bounded by what is admitted here.
"""

from __future__ import annotations

import math
import os

__all__ = ["AdmissionError", "available_memory", "check_excitations", "check_maps", "check_run",
           "plan_steps", "run_bytes"]

# Bytes per plan step while the plan is built and used: the timeline's Python lists (a float,
# a three-node array and an index per step), the plan's arrays (durations, nodes, groups,
# actions, source windows) and the block-local copies.
STEP_BYTES = 512
# Bytes per excitation beside the signal: schedule, times, actions and the result's copies.
EXCITATION_BYTES = 128
# Bytes per voxel of one map, with the copies made while it is built from a description.
MAP_BYTES = 3 * 8
# The signal lives as the run's array, the result's reordered copy and one temporary of the
# summaries (the magnitude).
SIGNAL_COPIES = 3


class AdmissionError(ValueError, MemoryError):
    """A run or description that would not fit in memory; the message names the quantities.

    A ValueError like every refused description, and a MemoryError for what it prevents.
    """


def available_memory() -> int | None:
    """Bytes of memory this process can still use: the smaller of the system's available
    memory and the control group's free limit; None where neither is known."""
    limits = []
    try:
        with open("/proc/meminfo") as file:
            for line in file:
                if line.startswith("MemAvailable:"):
                    limits.append(int(line.split()[1]) * 1024)
                    break
    except (OSError, ValueError, IndexError):
        pass
    if not limits:
        try:
            limits.append(os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"))
        except (ValueError, OSError, AttributeError):
            pass
    try:
        with open("/sys/fs/cgroup/memory.max") as file:
            maximum = file.read().strip()
        if maximum != "max":
            with open("/sys/fs/cgroup/memory.current") as file:
                current = int(file.read().strip())
            limits.append(max(0, int(maximum) - current))
    except (OSError, ValueError):
        pass
    return min(limits) if limits else None


def _size(count: float) -> str:
    """A byte count for a message: 715 GiB, 3.2 MiB."""
    if not math.isfinite(count):
        return "more bytes than can be counted"
    for unit, scale in (("TiB", 2**40), ("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if count >= scale:
            return f"{count / scale:.3g} {unit}"
    return f"{int(count)} bytes"


def _count(value: float) -> str:
    return f"{value:,.0f}" if value < 1e15 else f"{value:.3g}"


def _refuse(needed: float, what: str, available: int | None) -> None:
    if available is not None and needed > available:
        raise AdmissionError(f"{what} needs about {_size(needed)}, but only {_size(available)} "
                             f"of memory is available")


def check_maps(nvoxels: int, nmaps: int, available: int | None = None) -> None:
    """Refuse ``nmaps`` per-voxel maps of ``nvoxels`` voxels that would not fit."""
    available = available_memory() if available is None else available
    _refuse(float(nvoxels) * nmaps * MAP_BYTES,
            f"describing {_count(nvoxels)} voxels ({nmaps} maps per voxel)", available)


def check_excitations(excitations: int, available: int | None = None) -> None:
    """Refuse an acquisition whose per-excitation arrays alone would not fit."""
    available = available_memory() if available is None else available
    _refuse(float(excitations) * EXCITATION_BYTES,
            f"an acquisition of {_count(excitations)} excitations", available)


def _pieces(length: float, max_half: float) -> float:
    """Steps of one free stretch: as ``planner._split`` counts them, in floating point."""
    if length <= 0:
        return 0.0
    ratio = length / (2.0 * max_half)
    return float(max(1, math.ceil(ratio))) if math.isfinite(ratio) else math.inf


def plan_steps(experiment) -> float:
    """The number of plan steps of ``experiment`` (an upper bound where bolus breakpoints
    cut a stretch: each cut adds at most one step)."""
    acquisition = experiment.acquisition
    delay, tr = acquisition.readout_delay, acquisition.repetition_time
    max_half = experiment.max_half_interval
    breakpoints = len(experiment.inflow.bolus.breakpoints()) if experiment.inflow else 0
    excitations = float(acquisition.excitations)
    before = _pieces(acquisition.first_excitation - delay, max_half)
    between = _pieces(tr - 2.0 * delay, max_half) * (excitations - 1.0)
    return excitations + before + between + 2.0 * breakpoints


def run_bytes(experiment) -> dict[str, float]:
    """Estimated peak bytes of a run of ``experiment`` by kind: signal, plan, excitations,
    voxels (classes and the maps' per-voxel copies) and the chunk arrays."""
    npools = len(experiment.metabolites)
    excitations = float(experiment.acquisition.excitations)
    nvoxels = float(experiment.nvoxels)
    signal = nvoxels * npools * experiment.ncoils * excitations * 16.0
    return {
        "signal": SIGNAL_COPIES * signal,
        "plan": plan_steps(experiment) * STEP_BYTES,
        "excitations": excitations * EXCITATION_BYTES,
        "voxels": nvoxels * (len(experiment.products) + 8) * 8.0 * 2,
        "chunks": 2.0 * experiment.memory_bound,
    }


def check_run(experiment, available: int | None = None) -> dict[str, float]:
    """Refuse a run of ``experiment`` that would not fit in memory; returns the estimate."""
    available = available_memory() if available is None else available
    parts = run_bytes(experiment)
    total = sum(parts.values())
    if available is not None and total > available:
        acquisition = experiment.acquisition
        raise AdmissionError(
            f"the run needs about {_size(total)}: a signal of {_count(experiment.nvoxels)} "
            f"voxels x {len(experiment.metabolites)} metabolites x {experiment.ncoils} coils x "
            f"{_count(acquisition.excitations)} excitations ({_size(parts['signal'])} with its "
            f"copies) and {_count(plan_steps(experiment))} plan steps "
            f"({_size(parts['plan'])}); only {_size(available)} of memory is available")
    return parts
