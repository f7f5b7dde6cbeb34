// apply_longitudinal_block_no_inflow: binds its arguments; the kernel is not built yet.
#include "frame/exports.hpp"
#include "frame/frame.hpp"

namespace korvel::longitudinal {
namespace {

constexpr frame::Param kParams[] = {
    {"state", frame::Arg::f64_array(3).modified()},
    {"kpl", frame::Arg::f64_array(1)},
    {"exp_a_by_group", frame::Arg::f64_array(2)},
    {"exp_b_by_group", frame::Arg::f64_array(1)},
    {"difference", frame::Arg::f64_array(1)},
    {"regular", frame::Arg::bool_array(1)},
    {"step_groups", frame::Arg::i32_array(1)},
    {"duration_by_group", frame::Arg::f64_array(1)},
    {"regular_mode", frame::Arg::integer()},
    {"num_threads", frame::Arg::integer()},
};
static_assert(frame::well_formed(kParams));
frame::Signature kSignature{"apply_longitudinal_block_no_inflow", kParams};

}  // namespace

const char apply_longitudinal_block_no_inflow_doc[] =
    "Apply many longitudinal half-steps in one voxel-parallel region.";

PyObject* apply_longitudinal_block_no_inflow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    return frame::not_built(kSignature);
}

}  // namespace korvel::longitudinal
