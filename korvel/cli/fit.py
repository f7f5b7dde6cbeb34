"""``python -m korvel fit FILE``: fit conversion-rate maps to a measured series, write the maps."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from korvel.fitting import FitError, fit_kinetics
from korvel.fitting.io import names_from, pick, read_variables, write_maps

DEFAULT_OUTPUT = "korvel-fit"


def _assignment(text: str) -> tuple[str, float]:
    name, equals, value = text.partition("=")
    try:
        if not equals:
            raise ValueError
        return name.strip(), float(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE, got {text!r}") from None


def parser() -> argparse.ArgumentParser:
    command = argparse.ArgumentParser(
        prog="python -m korvel fit",
        description="Fit kinetic-model maps (conversion rates with standard errors) to the "
                    "dynamic series in a .npz or MATLAB .mat file.")
    command.add_argument("file", type=Path, help="a .npz or .mat file")
    command.add_argument("--signal", default="signal", metavar="NAME",
                         help="variable of the signals, (..., nmetabolites, nframes), precursor "
                              "first (default: signal)")
    command.add_argument("--angles", default="flip_angles", metavar="NAME",
                         help="variable of the flip angles in degrees, (nmetabolites, nframes "
                              "* k) or per voxel (default: flip_angles)")
    command.add_argument("--tr", type=float, default=None, metavar="SECONDS",
                         help="time between frames (default: the variable named by --tr-name)")
    command.add_argument("--tr-name", default="repetition_time", metavar="NAME",
                         help="variable of the time between frames (default: repetition_time)")
    command.add_argument("--mask", default=None, metavar="NAME",
                         help="variable of a boolean map of the voxels to fit")
    command.add_argument("--metabolites", default=None, metavar="A,B,...",
                         help="metabolite names, precursor first (default: the variable "
                              "'metabolites' if present, else pyruvate, lactate, ...)")
    command.add_argument("--model", choices=("inputless", "bolus"), default="inputless",
                         help="inputless (default): the measured precursor drives the products; "
                              "bolus: a gamma-variate input, korvel's simulator as the model")
    command.add_argument("--fix", action="append", type=_assignment, default=None,
                         metavar="NAME=VALUE",
                         help="hold a parameter, e.g. r1_lactate=0.04 (repeatable; every R1 is "
                              "held at its typical value unless given here)")
    command.add_argument("--output", type=Path, default=Path(DEFAULT_OUTPUT),
                         help=f"folder for maps.npz and the PNGs (default: {DEFAULT_OUTPUT})")
    command.add_argument("--threads", type=int, default=None, help="threads (default: all CPUs)")
    return command


def main(argv: list[str]) -> int:
    options = parser().parse_args(argv)
    try:
        variables = read_variables(options.file)
        signal = pick(variables, options.signal, options.file, "signals")
        angles = pick(variables, options.angles, options.file, "flip angles")
        if options.tr is not None:
            tr = options.tr
        else:
            tr_value = np.asarray(pick(variables, options.tr_name, options.file,
                                       "repetition time (or give --tr)"))
            if tr_value.size != 1 or tr_value.dtype.kind not in "iuf":
                raise FitError(f"{options.file}: {options.tr_name!r} must be one number of "
                               f"seconds")
            tr = float(tr_value.reshape(()))
        mask = None if options.mask is None else \
            np.asarray(pick(variables, options.mask, options.file, "mask")).astype(bool)
        if options.metabolites is not None:
            metabolites = tuple(n.strip() for n in options.metabolites.split(","))
        elif "metabolites" in variables:
            metabolites = names_from(variables["metabolites"])
        else:
            metabolites = None
        fixed = None if options.fix is None else dict(options.fix)
        started = time.perf_counter()
        fit = fit_kinetics(signal, tr, angles, metabolites=metabolites, fixed=fixed, mask=mask,
                           num_threads=options.threads, model=options.model)
        elapsed = time.perf_counter() - started
        written = write_maps(fit, options.output, signal=signal)
    except (FitError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    voxels = fit.converged.size
    print(f"{options.file}: {len(fit.metabolites)} metabolites ({', '.join(fit.metabolites)}), "
          f"{fit.fitted.shape[-1]} frames every {tr:g} s, {voxels} voxel"
          f"{'s' * (voxels != 1)} {fit.shape}; {fit.model} model, fitted "
          f"{', '.join(fit.free)} in {elapsed:.3f} s")
    print()
    print(fit.format_summary())
    print()
    print("wrote " + ", ".join(str(p) for p in written))
    return 0
