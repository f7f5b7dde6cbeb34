"""Pure-NumPy implementations of the native kernels, operation for operation.

Every function here has the signature of its namesake in ``korvel.pelorine`` and performs the
same IEEE double operations in the same grouping, vectorised over voxels, so both give the same
bits. One NumPy operation stands for each parenthesised operation of the kernel: NumPy never
regroups an expression that is written one operation at a time. They are the oracle of the
bit-identity tests and a fallback where the extension cannot be built.
"""

from korvel.reference.coefficients import (
    prepare_spatial_rf_rotation_coefficients,
    prepare_transverse_factors_coefficients,
)
from korvel.reference.longitudinal import (
    apply_longitudinal_block_no_inflow,
    apply_longitudinal_step_no_inflow,
    apply_longitudinal_step_with_concentration_inflow,
)
from korvel.reference.multi_pool import run_dynamic_plan_block_multi_pool
from korvel.reference.plan import run_dynamic_plan_block_no_inflow
from korvel.reference.rf import (
    apply_rf_rotation_transverse_block,
    apply_spatial_rf_rotation_transverse_block,
)
from korvel.reference.source_interval import apply_dynamic_rf_block_with_concentration_inflow

__all__ = [
    "apply_dynamic_rf_block_with_concentration_inflow",
    "apply_longitudinal_block_no_inflow",
    "apply_longitudinal_step_no_inflow",
    "apply_longitudinal_step_with_concentration_inflow",
    "apply_rf_rotation_transverse_block",
    "apply_spatial_rf_rotation_transverse_block",
    "prepare_spatial_rf_rotation_coefficients",
    "prepare_transverse_factors_coefficients",
    "run_dynamic_plan_block_multi_pool",
    "run_dynamic_plan_block_no_inflow",
]
