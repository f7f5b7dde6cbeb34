"""The ten exported signatures, written out independently of the extension's own tables.

Kinds: ``d`` double, ``i`` 32-bit int, ``b`` flag; arrays ``<dtype><ndim>`` with dtype ``f``
float64, ``c`` complex128, ``q`` int64, ``l`` int32, ``y`` int8, ``?`` bool; a trailing ``=`` marks
an optional parameter (None for arrays).
"""

from __future__ import annotations

import numpy as np

_F64_PLAN_TABLES = "kpl_by_group:f2 exp_a_by_group:f2 exp_b_by_group:f1 difference_by_group:f2"
_RF_TABLES = "rf_axis_x:f2 rf_axis_y:f2 rf_cosine:f2 rf_sine:f2 rf_one_minus_cosine:f2"
_STEP_GROUPS = "longitudinal_groups:l1 first_factor_groups:l1 second_factor_groups:l1 rf_groups:l1"
_ACTIONS = (
    "action_offsets:l1 action_kinds:y1 action_payloads:q1 adc_demodulation:c1 rx_sensitivities:c2"
    " signal_weights:f1 parent_species_signal:c4 checkpoint_states:f4"
)
_WINDOWS = (
    "inflow_first_start:f1 inflow_first_end:f1 inflow_second_start:f1 inflow_second_end:f1"
    " polarization_first_start:f1 polarization_first_end:f1 polarization_second_start:f1"
    " polarization_second_end:f1"
)

SIGNATURES: dict[str, str] = {
    "prepare_spatial_rf_rotation_coefficients": "rf_real:d rf_imag:d tx_sensitivity:c1 duration:d",
    "prepare_transverse_factors_coefficients": "phase_cycles:f2 t2_s:f1 duration:d",
    "run_dynamic_plan_block_no_inflow": (
        f"state:f3 transverse_state:c2 transverse_factors:c3 {_F64_PLAN_TABLES}"
        " regular_by_group:?2 duration_by_group:f1 regular_mode_by_group:l1"
        f" {_STEP_GROUPS} {_RF_TABLES} {_ACTIONS}"
        " spins_per_parent:i signal_scale:d ideal_crushers:b num_threads:i"
    ),
    "run_dynamic_plan_block_multi_pool": (
        "state:f3 transverse_state:c2 concentration_state:f3 transverse_factors:c3"
        " conversion_rates_by_group:f3 exp_precursor_by_group:f2 exp_products_by_group:f2"
        " transfer_factor_by_group:f3 f0_precursor_by_group:f2 f1_precursor_by_group:f2"
        " j0_by_group:f3 j1_by_group:f3 concentration_exp_precursor_by_group:f2"
        " concentration_exp_products_by_group:f2 concentration_transfer_factor_by_group:f3"
        " concentration_f0_precursor_by_group:f2 concentration_f1_precursor_by_group:f2"
        " concentration_j0_by_group:f3 concentration_j1_by_group:f3 duration_by_group:f1"
        f" {_STEP_GROUPS} {_RF_TABLES} {_WINDOWS} inflow_delivery:f1 equilibrium:d source_mode:i"
        f" {_ACTIONS} spins_per_parent:i signal_scale:d ideal_crushers:b num_threads:i"
        " spatial_source_values:f3="
    ),
    "apply_rf_rotation_transverse_block": (
        "state:f3 transverse_state:c2 axis_x:d axis_y:d cosine:d sine:d one_minus_cosine:d"
        " num_threads:i"
    ),
    "apply_spatial_rf_rotation_transverse_block": (
        "state:f3 transverse_state:c2 axis_x:f1 axis_y:f1 cosine:f1 sine:f1 num_threads:i"
    ),
    "apply_longitudinal_step_no_inflow": (
        "state:f3 kpl:f1 exp_a:f1 exp_b:d difference:f1 regular:?1 duration:d regular_mode:i"
    ),
    "apply_longitudinal_step_with_concentration_inflow": (
        "state:f3 concentration_state:f3 kpl:f1 exp_a:f1 exp_b:d difference:f1 regular:?1"
        " f0_a:f1 f1_a:f1 j0:f1 j1:f1 concentration_exp_a:f1 concentration_exp_b:d"
        " concentration_difference:f1 concentration_regular:?1 concentration_f0_a:f1"
        " concentration_f1_a:f1 concentration_j0:f1 concentration_j1:f1 source_start:f1"
        " source_end:f1 concentration_source_start:f1 concentration_source_end:f1 duration:d"
        " equilibrium:d regular_mode:i concentration_regular_mode:i num_threads:i"
    ),
    "apply_dynamic_rf_block_with_concentration_inflow": (
        "state:f3 transverse_state:c2 concentration_state:f3 kpl:f1 inflow_delivery:f1"
        " transverse_factors:c3 exp_a_by_group:f2 exp_b_by_group:f1 difference_by_group:f2"
        " regular_by_group:?2 f0_a_by_group:f2 f1_a_by_group:f2 j0_by_group:f2 j1_by_group:f2"
        " concentration_exp_a_by_group:f2 concentration_exp_b_by_group:f1"
        " concentration_difference_by_group:f2 concentration_regular_by_group:?2"
        " concentration_f0_a_by_group:f2 concentration_f1_a_by_group:f2"
        " concentration_j0_by_group:f2 concentration_j1_by_group:f2 duration_by_group:f1"
        " regular_mode_by_group:l1 concentration_regular_mode_by_group:l1"
        f" {_STEP_GROUPS} {_RF_TABLES} {_WINDOWS} equilibrium:d num_threads:i"
        " action_offsets:l1= action_kinds:y1= action_payloads:q1= adc_demodulation:c1="
        " rx_sensitivities:c2= signal_weights:f1= parent_species_signal:c4= checkpoint_states:f4="
        " spins_per_parent:i= signal_scale:d= ideal_crushers:b= kpl_by_group:f2="
        " spatial_source_values:f3= source_mode:i="
    ),
    "apply_longitudinal_block_no_inflow": (
        "state:f3 kpl:f1 exp_a_by_group:f2 exp_b_by_group:f1 difference:f1 regular:?1"
        " step_groups:l1 duration_by_group:f1 regular_mode:i num_threads:i"
    ),
}

PARAMETER_COUNTS = {
    "prepare_spatial_rf_rotation_coefficients": 4,
    "prepare_transverse_factors_coefficients": 3,
    "run_dynamic_plan_block_no_inflow": 31,
    "run_dynamic_plan_block_multi_pool": 53,
    "apply_rf_rotation_transverse_block": 8,
    "apply_spatial_rf_rotation_transverse_block": 7,
    "apply_longitudinal_step_no_inflow": 8,
    "apply_longitudinal_step_with_concentration_inflow": 28,
    "apply_dynamic_rf_block_with_concentration_inflow": 58,
    "apply_longitudinal_block_no_inflow": 10,
}

DTYPES = {
    "f": np.float64,
    "c": np.complex128,
    "q": np.int64,
    "l": np.int32,
    "y": np.int8,
    "?": np.bool_,
}

ELEMENT_NAMES = {
    "f": "DTYPE_t",
    "c": "double complex",
    "q": "int64_t",
    "l": "int32_t",
    "y": "int8_t",
    "?": "BOOL_t",
}


class Parameter:
    def __init__(self, text: str) -> None:
        name, kind = text.split(":")
        self.name = name
        self.optional = kind.endswith("=")
        kind = kind.rstrip("=")
        self.is_array = kind[0] in DTYPES and len(kind) == 2
        self.kind = kind[0]
        self.ndim = int(kind[1]) if self.is_array else 0

    def valid_value(self):
        """A value that binds: a one-element array of the declared kind, or a scalar."""
        if self.is_array:
            return np.zeros((1,) * self.ndim, dtype=DTYPES[self.kind])
        return {"d": 1.0, "i": 1, "b": False}[self.kind]

    def __repr__(self) -> str:
        return self.name


def parameters(function: str) -> list[Parameter]:
    return [Parameter(text) for text in SIGNATURES[function].split()]


def valid_arguments(function: str) -> list:
    """Positional arguments for every parameter that bind without a binding error."""
    return [p.valid_value() for p in parameters(function)]
