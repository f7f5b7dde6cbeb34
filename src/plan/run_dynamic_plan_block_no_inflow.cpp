// run_dynamic_plan_block_no_inflow: binds its arguments; the kernel is not built yet.
#include "frame/exports.hpp"
#include "frame/frame.hpp"

namespace korvel::plan {
namespace {

constexpr frame::Param kParams[] = {
    {"state", frame::Arg::f64_array(3).modified()},
    {"transverse_state", frame::Arg::c128_array(2).modified()},
    {"transverse_factors", frame::Arg::c128_array(3)},
    {"kpl_by_group", frame::Arg::f64_array(2)},
    {"exp_a_by_group", frame::Arg::f64_array(2)},
    {"exp_b_by_group", frame::Arg::f64_array(1)},
    {"difference_by_group", frame::Arg::f64_array(2)},
    {"regular_by_group", frame::Arg::bool_array(2)},
    {"duration_by_group", frame::Arg::f64_array(1)},
    {"regular_mode_by_group", frame::Arg::i32_array(1)},
    {"longitudinal_groups", frame::Arg::i32_array(1)},
    {"first_factor_groups", frame::Arg::i32_array(1)},
    {"second_factor_groups", frame::Arg::i32_array(1)},
    {"rf_groups", frame::Arg::i32_array(1)},
    {"rf_axis_x", frame::Arg::f64_array(2)},
    {"rf_axis_y", frame::Arg::f64_array(2)},
    {"rf_cosine", frame::Arg::f64_array(2)},
    {"rf_sine", frame::Arg::f64_array(2)},
    {"rf_one_minus_cosine", frame::Arg::f64_array(2)},
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
};
static_assert(frame::well_formed(kParams));
frame::Signature kSignature{"run_dynamic_plan_block_no_inflow", kParams};

}  // namespace

const char run_dynamic_plan_block_no_inflow_doc[] =
    "Execute complete two-pool plan intervals and observations natively.";

PyObject* run_dynamic_plan_block_no_inflow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    return frame::not_built(kSignature);
}

}  // namespace korvel::plan
