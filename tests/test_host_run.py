"""A run's own arrays: the overflow check of the signal in the drivers' layout."""

from __future__ import annotations

import numpy as np
import pytest
from test_host_simulate import experiment_for

from korvel.host import planner, sanity
from korvel.host.experiment import ExperimentError

# (voxel, metabolite, coil, excitation) of the drivers' layout; experiment_for has 3 voxels,
# 2 metabolites, 2 coils and 8 excitations.
SHAPE = (3, 2, 2, 8)
HUGE = np.finfo(np.float64).max


def _signal(value, at=(2, 1, 1, 5)):
    signal = np.full(SHAPE, 0.5 - 0.25j)
    signal[at] = value
    return signal


@pytest.mark.parametrize("piece", [sanity._PIECE, 4, 1])  # the value in a later piece too
@pytest.mark.parametrize("value, message", [
    (complex(np.nan, 0.0), "first at metabolite 'lactate', voxel 2, coil 1, excitation 5"),
    (complex(0.0, -np.inf), "first at metabolite 'lactate', voxel 2, coil 1, excitation 5"),
    (complex(HUGE / 20, HUGE / 20), "the signal reaches"),
    # Neither part alone reaches the limit, the modulus does.
    (complex(HUGE / 200, HUGE / 200), "the signal reaches"),
    (complex(HUGE / 300, HUGE / 300), None),
    (complex(1.0, -1.0), None),
])
def test_the_overflow_check_names_the_first_value_in_the_drivers_layout(monkeypatch, piece,
                                                                        value, message):
    monkeypatch.setattr(sanity, "_PIECE", piece)
    experiment = experiment_for(planner.TWO_POOL)
    signal = _signal(value)
    if message is None:
        sanity.check_finite(experiment, signal)
        return
    with pytest.raises(ExperimentError, match=message):
        sanity.check_finite(experiment, signal)


def test_the_overflow_check_names_the_first_of_several():
    experiment = experiment_for(planner.TWO_POOL)
    signal = _signal(np.nan, (2, 1, 1, 5))
    signal[1, 0, 1, 7] = np.inf
    with pytest.raises(ExperimentError, match="'pyruvate', voxel 1, coil 1, excitation 7"):
        sanity.check_finite(experiment, signal)
    # A view in another order is read as it stands.
    with pytest.raises(ExperimentError, match="'pyruvate', voxel 1, coil 1, excitation 7"):
        sanity.check_finite(experiment, np.asfortranarray(signal))


@pytest.mark.parametrize("driver", planner.DRIVERS)
def test_simulate_names_the_voxel_and_coil_that_overflowed(driver):
    import korvel

    # Only voxel 2's second coil overflows, from its first excitation on.
    pools = 3 if driver == planner.MULTI_POOL else 2
    experiment = experiment_for(driver, receive=[[1.0, 0.7, 0.2], [0.1j, 0.5, 1e308]],
                                initial_magnetization=([1.0, 1.0, 1e3],) + (0.0,) * (pools - 1))
    with pytest.raises(ExperimentError, match="'pyruvate', voxel 2, coil 1, excitation 0"):
        korvel.simulate(experiment, "native", 2)
