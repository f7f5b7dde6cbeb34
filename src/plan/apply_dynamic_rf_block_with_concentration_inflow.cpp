// apply_dynamic_rf_block_with_concentration_inflow: binds its arguments; the kernel is not built yet.
#include "frame/exports.hpp"
#include "frame/frame.hpp"

namespace korvel::plan {
namespace {

constexpr frame::Param kParams[] = {
    {"state", frame::Arg::f64_array(3).modified()},
    {"transverse_state", frame::Arg::c128_array(2).modified()},
    {"concentration_state", frame::Arg::f64_array(3).modified()},
    {"kpl", frame::Arg::f64_array(1)},
    {"inflow_delivery", frame::Arg::f64_array(1)},
    {"transverse_factors", frame::Arg::c128_array(3)},
    {"exp_a_by_group", frame::Arg::f64_array(2)},
    {"exp_b_by_group", frame::Arg::f64_array(1)},
    {"difference_by_group", frame::Arg::f64_array(2)},
    {"regular_by_group", frame::Arg::bool_array(2)},
    {"f0_a_by_group", frame::Arg::f64_array(2)},
    {"f1_a_by_group", frame::Arg::f64_array(2)},
    {"j0_by_group", frame::Arg::f64_array(2)},
    {"j1_by_group", frame::Arg::f64_array(2)},
    {"concentration_exp_a_by_group", frame::Arg::f64_array(2)},
    {"concentration_exp_b_by_group", frame::Arg::f64_array(1)},
    {"concentration_difference_by_group", frame::Arg::f64_array(2)},
    {"concentration_regular_by_group", frame::Arg::bool_array(2)},
    {"concentration_f0_a_by_group", frame::Arg::f64_array(2)},
    {"concentration_f1_a_by_group", frame::Arg::f64_array(2)},
    {"concentration_j0_by_group", frame::Arg::f64_array(2)},
    {"concentration_j1_by_group", frame::Arg::f64_array(2)},
    {"duration_by_group", frame::Arg::f64_array(1)},
    {"regular_mode_by_group", frame::Arg::i32_array(1)},
    {"concentration_regular_mode_by_group", frame::Arg::i32_array(1)},
    {"longitudinal_groups", frame::Arg::i32_array(1)},
    {"first_factor_groups", frame::Arg::i32_array(1)},
    {"second_factor_groups", frame::Arg::i32_array(1)},
    {"rf_groups", frame::Arg::i32_array(1)},
    {"rf_axis_x", frame::Arg::f64_array(2)},
    {"rf_axis_y", frame::Arg::f64_array(2)},
    {"rf_cosine", frame::Arg::f64_array(2)},
    {"rf_sine", frame::Arg::f64_array(2)},
    {"rf_one_minus_cosine", frame::Arg::f64_array(2)},
    {"inflow_first_start", frame::Arg::f64_array(1)},
    {"inflow_first_end", frame::Arg::f64_array(1)},
    {"inflow_second_start", frame::Arg::f64_array(1)},
    {"inflow_second_end", frame::Arg::f64_array(1)},
    {"polarization_first_start", frame::Arg::f64_array(1)},
    {"polarization_first_end", frame::Arg::f64_array(1)},
    {"polarization_second_start", frame::Arg::f64_array(1)},
    {"polarization_second_end", frame::Arg::f64_array(1)},
    {"equilibrium", frame::Arg::real()},
    {"num_threads", frame::Arg::integer()},
    {"action_offsets", frame::Arg::i32_array(1).or_none()},
    {"action_kinds", frame::Arg::i8_array(1).or_none()},
    {"action_payloads", frame::Arg::i64_array(1).or_none()},
    {"adc_demodulation", frame::Arg::c128_array(1).or_none()},
    {"rx_sensitivities", frame::Arg::c128_array(2).or_none()},
    {"signal_weights", frame::Arg::f64_array(1).or_none()},
    {"parent_species_signal", frame::Arg::c128_array(4).or_none().modified()},
    {"checkpoint_states", frame::Arg::f64_array(4).or_none().modified()},
    {"spins_per_parent", frame::Arg::integer().defaults_to(1)},
    {"signal_scale", frame::Arg::real().defaults_to(1.0)},
    {"ideal_crushers", frame::Arg::flag().defaults_to(false)},
    {"kpl_by_group", frame::Arg::f64_array(2).or_none()},
    {"spatial_source_values", frame::Arg::f64_array(3).or_none()},
    {"source_mode", frame::Arg::integer().defaults_to(0)},
};
static_assert(frame::well_formed(kParams));
frame::Signature kSignature{"apply_dynamic_rf_block_with_concentration_inflow", kParams};

}  // namespace

const char apply_dynamic_rf_block_with_concentration_inflow_doc[] =
    "Execute two-pool source intervals in one persistent parallel region.\n"
    "\n"
    "    Without action arrays this retains the established RF-waveform-block API.\n"
    "    With action arrays it also performs deterministic parent-resolved ADC,\n"
    "    crushers, and checkpoints for a bounded full-plan block. ``source_mode``\n"
    "    selects coupled concentration/polarization sources (0), direct\n"
    "    magnetization sources (1), no sources (2), or polarized magnetization\n"
    "    sources without concentration delivery (3).\n"
    "    ";

PyObject* apply_dynamic_rf_block_with_concentration_inflow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    return frame::not_built(kSignature);
}

}  // namespace korvel::plan
