// run_dynamic_plan_block_multi_pool: binds its arguments; the kernel is not built yet.
#include "frame/exports.hpp"
#include "frame/frame.hpp"

namespace korvel::plan {
namespace {

constexpr frame::Param kParams[] = {
    {"state", frame::Arg::f64_array(3).modified()},
    {"transverse_state", frame::Arg::c128_array(2).modified()},
    {"concentration_state", frame::Arg::f64_array(3).modified()},
    {"transverse_factors", frame::Arg::c128_array(3)},
    {"conversion_rates_by_group", frame::Arg::f64_array(3)},
    {"exp_precursor_by_group", frame::Arg::f64_array(2)},
    {"exp_products_by_group", frame::Arg::f64_array(2)},
    {"transfer_factor_by_group", frame::Arg::f64_array(3)},
    {"f0_precursor_by_group", frame::Arg::f64_array(2)},
    {"f1_precursor_by_group", frame::Arg::f64_array(2)},
    {"j0_by_group", frame::Arg::f64_array(3)},
    {"j1_by_group", frame::Arg::f64_array(3)},
    {"concentration_exp_precursor_by_group", frame::Arg::f64_array(2)},
    {"concentration_exp_products_by_group", frame::Arg::f64_array(2)},
    {"concentration_transfer_factor_by_group", frame::Arg::f64_array(3)},
    {"concentration_f0_precursor_by_group", frame::Arg::f64_array(2)},
    {"concentration_f1_precursor_by_group", frame::Arg::f64_array(2)},
    {"concentration_j0_by_group", frame::Arg::f64_array(3)},
    {"concentration_j1_by_group", frame::Arg::f64_array(3)},
    {"duration_by_group", frame::Arg::f64_array(1)},
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
    {"inflow_delivery", frame::Arg::f64_array(1)},
    {"equilibrium", frame::Arg::real()},
    {"source_mode", frame::Arg::integer()},
    {"action_offsets", frame::Arg::i32_array(1)},
    {"action_kinds", frame::Arg::i8_array(1)},
    {"action_payloads", frame::Arg::i64_array(1)},
    {"adc_demodulation", frame::Arg::c128_array(1)},
    {"rx_sensitivities", frame::Arg::c128_array(2)},
    {"signal_weights", frame::Arg::f64_array(1)},
    {"parent_species_signal", frame::Arg::c128_array(4).modified()},
    {"checkpoint_states", frame::Arg::f64_array(4).modified()},
    {"spins_per_parent", frame::Arg::integer()},
    {"signal_scale", frame::Arg::real()},
    {"ideal_crushers", frame::Arg::flag()},
    {"num_threads", frame::Arg::integer()},
    {"spatial_source_values", frame::Arg::f64_array(3).or_none()},
};
static_assert(frame::well_formed(kParams));
frame::Signature kSignature{"run_dynamic_plan_block_multi_pool", kParams};

}  // namespace

const char run_dynamic_plan_block_multi_pool_doc[] =
    "Execute a bounded multi-pool precursor-to-products plan block.";

PyObject* run_dynamic_plan_block_multi_pool(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    return frame::not_built(kSignature);
}

}  // namespace korvel::plan
