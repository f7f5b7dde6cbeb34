// apply_longitudinal_step_no_inflow: one longitudinal half-step over the block, serial with the
// GIL held. The arithmetic is kernels::_advance_no_inflow_voxel.
#include <cstdint>

#include "frame/exports.hpp"
#include "frame/frame.hpp"
#include "kernels/voxel_ops.hpp"

namespace korvel::longitudinal {
namespace {

constexpr frame::Param kParams[] = {
    {"state", frame::Arg::f64_array(3).modified()},
    {"kpl", frame::Arg::f64_array(1)},
    {"exp_a", frame::Arg::f64_array(1)},
    {"exp_b", frame::Arg::real()},
    {"difference", frame::Arg::f64_array(1)},
    {"regular", frame::Arg::bool_array(1)},
    {"duration", frame::Arg::real()},
    {"regular_mode", frame::Arg::integer()},
};
enum Index { kState, kKpl, kExpA, kExpB, kDifference, kRegular, kDuration, kRegularMode };
static_assert(frame::well_formed(kParams));
frame::Signature kSignature{"apply_longitudinal_step_no_inflow", kParams};

}  // namespace

const char apply_longitudinal_step_no_inflow_doc[] =
    "Apply one longitudinal half-step without evaluating exponentials.";

PyObject* apply_longitudinal_step_no_inflow(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    const Py_ssize_t nvoxels = bound.shape(kKpl, 0);
    if (bound.shape(kState, 0) != 2 || bound.shape(kState, 1) != nvoxels ||
        bound.shape(kState, 2) != 3) {
        return frame::value_error("state must have shape (2, nvoxels, 3)");
    }
    if (bound.shape(kExpA, 0) != nvoxels || bound.shape(kDifference, 0) != nvoxels) {
        return frame::value_error("longitudinal coefficient lengths must match nvoxels");
    }
    if (bound.shape(kRegular, 0) != nvoxels) {
        return frame::value_error("regular mask length must match nvoxels");
    }
    if (!frame::require_c_contiguous(bound, {kState}, "state must be C-contiguous")) return nullptr;
    if (!frame::require_c_contiguous(bound, {kKpl, kExpA, kDifference, kRegular},
                                     "longitudinal inputs must be C-contiguous")) {
        return nullptr;
    }
    const int regular_mode = bound.integer(kRegularMode);
    if (regular_mode < -1 || regular_mode > 1) {
        return frame::value_error("regular_mode must be -1, 0, or 1");
    }
    if (!frame::check_memory(kSignature, bound)) return nullptr;

    double* const state_data = bound.view<double, 3>(kState).flat();
    const double* const kpl_data = bound.view<double, 1>(kKpl).flat();
    const double* const exp_a_data = bound.view<double, 1>(kExpA).flat();
    const double* const difference_data = bound.view<double, 1>(kDifference).flat();
    const std::uint8_t* const regular_data = bound.view<std::uint8_t, 1>(kRegular).flat();
    const double exp_b = bound.real(kExpB);
    const double duration = bound.real(kDuration);
    for (Py_ssize_t voxel = 0; voxel < nvoxels; ++voxel) {
        const Py_ssize_t state_offset = 3 * voxel;
        double& pyruvate = state_data[state_offset + 2];
        double& lactate = state_data[3 * nvoxels + state_offset + 2];
        // The mask is only consulted when the mode defers to it.
        const int regular = regular_mode == 0 ? regular_data[voxel] : 0;
        kernels::_advance_no_inflow_voxel(pyruvate, lactate, kpl_data[voxel], exp_a_data[voxel],
                                          exp_b, difference_data[voxel], regular, duration,
                                          regular_mode);
    }
    Py_RETURN_NONE;
}

}  // namespace korvel::longitudinal
