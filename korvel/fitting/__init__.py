"""Kinetic fitting: conversion-rate maps, with uncertainties, from measured dynamic series.

``fit_kinetics`` fits every voxel of a map together (a batched Levenberg-Marquardt in NumPy)
and returns a ``KineticFit`` of parameter maps, standard errors and goodness of fit.
"""

from korvel.fitting.driver import FitError, fit_kinetics
from korvel.fitting.models import DEFAULT_METABOLITES, MODELS, TYPICAL_T1
from korvel.fitting.result import KineticFit

__all__ = ["DEFAULT_METABOLITES", "FitError", "KineticFit", "MODELS", "TYPICAL_T1",
           "fit_kinetics"]
