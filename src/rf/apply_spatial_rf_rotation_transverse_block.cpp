// apply_spatial_rf_rotation_transverse_block: binds its arguments; the kernel is not built yet.
#include "frame/exports.hpp"
#include "frame/frame.hpp"

namespace korvel::rf {
namespace {

constexpr frame::Param kParams[] = {
    {"state", frame::Arg::f64_array(3).modified()},
    {"transverse_state", frame::Arg::c128_array(2).modified()},
    {"axis_x", frame::Arg::f64_array(1)},
    {"axis_y", frame::Arg::f64_array(1)},
    {"cosine", frame::Arg::f64_array(1)},
    {"sine", frame::Arg::f64_array(1)},
    {"num_threads", frame::Arg::integer()},
};
static_assert(frame::well_formed(kParams));
frame::Signature kSignature{"apply_spatial_rf_rotation_transverse_block", kParams};

}  // namespace

const char apply_spatial_rf_rotation_transverse_block_doc[] =
    "Rotate one RF interval using precomputed per-spin Float64 B1 data.";

PyObject* apply_spatial_rf_rotation_transverse_block(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    return frame::not_built(kSignature);
}

}  // namespace korvel::rf
