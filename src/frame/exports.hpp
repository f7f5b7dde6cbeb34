// The ten exported functions and their docstrings, in the order of the module's function table.
// Each is defined in the file of its own name under its subsystem's directory.
#pragma once

#include <Python.h>

#define KORVEL_EXPORT(name)                                                                       \
    PyObject* name(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames); \
    extern const char name##_doc[]

namespace korvel::coefficients {
KORVEL_EXPORT(prepare_spatial_rf_rotation_coefficients);
KORVEL_EXPORT(prepare_transverse_factors_coefficients);
}  // namespace korvel::coefficients

namespace korvel::plan {
KORVEL_EXPORT(run_dynamic_plan_block_no_inflow);
KORVEL_EXPORT(run_dynamic_plan_block_multi_pool);
KORVEL_EXPORT(apply_dynamic_rf_block_with_concentration_inflow);
}  // namespace korvel::plan

namespace korvel::rf {
KORVEL_EXPORT(apply_rf_rotation_transverse_block);
KORVEL_EXPORT(apply_spatial_rf_rotation_transverse_block);
}  // namespace korvel::rf

namespace korvel::longitudinal {
KORVEL_EXPORT(apply_longitudinal_step_no_inflow);
KORVEL_EXPORT(apply_longitudinal_step_with_concentration_inflow);
KORVEL_EXPORT(apply_longitudinal_block_no_inflow);
}  // namespace korvel::longitudinal

#undef KORVEL_EXPORT
