// apply_longitudinal_step_with_concentration_inflow: binds its arguments; the kernel is not built yet.
#include "frame/exports.hpp"
#include "frame/frame.hpp"

namespace korvel::longitudinal {
namespace {

constexpr frame::Param kParams[] = {
    {"state", frame::Arg::f64_array(3).modified()},
    {"concentration_state", frame::Arg::f64_array(3).modified()},
    {"kpl", frame::Arg::f64_array(1)},
    {"exp_a", frame::Arg::f64_array(1)},
    {"exp_b", frame::Arg::real()},
    {"difference", frame::Arg::f64_array(1)},
    {"regular", frame::Arg::bool_array(1)},
    {"f0_a", frame::Arg::f64_array(1)},
    {"f1_a", frame::Arg::f64_array(1)},
    {"j0", frame::Arg::f64_array(1)},
    {"j1", frame::Arg::f64_array(1)},
    {"concentration_exp_a", frame::Arg::f64_array(1)},
    {"concentration_exp_b", frame::Arg::real()},
    {"concentration_difference", frame::Arg::f64_array(1)},
    {"concentration_regular", frame::Arg::bool_array(1)},
    {"concentration_f0_a", frame::Arg::f64_array(1)},
    {"concentration_f1_a", frame::Arg::f64_array(1)},
    {"concentration_j0", frame::Arg::f64_array(1)},
    {"concentration_j1", frame::Arg::f64_array(1)},
    {"source_start", frame::Arg::f64_array(1)},
    {"source_end", frame::Arg::f64_array(1)},
    {"concentration_source_start", frame::Arg::f64_array(1)},
    {"concentration_source_end", frame::Arg::f64_array(1)},
    {"duration", frame::Arg::real()},
    {"equilibrium", frame::Arg::real()},
    {"regular_mode", frame::Arg::integer()},
    {"concentration_regular_mode", frame::Arg::integer()},
    {"num_threads", frame::Arg::integer()},
};
static_assert(frame::well_formed(kParams));
frame::Signature kSignature{"apply_longitudinal_step_with_concentration_inflow", kParams};

}  // namespace

const char apply_longitudinal_step_with_concentration_inflow_doc[] =
    "Advance magnetization and concentration in one voxel-parallel pass.\n"
    "\n"
    "    All exponential and convolution coefficients are prepared by NumPy.  The\n"
    "    arithmetic order mirrors ``longitudinal_step_with_inflow`` and its\n"
    "    scratch-backed zero-target solver while avoiding four complete strided\n"
    "    state passes and the associated interval-sized temporaries.\n"
    "    ";

PyObject* apply_longitudinal_step_with_concentration_inflow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    return frame::not_built(kSignature);
}

}  // namespace korvel::longitudinal
