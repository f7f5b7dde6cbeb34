// apply_spatial_rf_rotation_transverse_block: one RF interval with a rotation per voxel, applied
// to every (pool, voxel) item of the two-pool block; the arithmetic is the spatial rotation form.
#include "frame/exports.hpp"
#include "frame/frame.hpp"
#include "kernels/voxel_ops.hpp"

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

enum Index { kState, kTransverseState, kAxisX, kAxisY, kCosine, kSine, kNumThreads };

}  // namespace

const char apply_spatial_rf_rotation_transverse_block_doc[] =
    "Rotate one RF interval using precomputed per-spin Float64 B1 data.";

PyObject* apply_spatial_rf_rotation_transverse_block(PyObject*, PyObject* const* args,
                                                     Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    if (bound.shape(kState, 0) != 2 || bound.shape(kState, 2) != 3) {
        return frame::value_error("state must have shape (2, nvoxels, 3)");
    }
    const Py_ssize_t nvoxels = bound.shape(kState, 1);
    if (bound.shape(kTransverseState, 0) != 2 || bound.shape(kTransverseState, 1) != nvoxels) {
        return frame::value_error("transverse_state must have shape (2, nvoxels)");
    }
    for (const int coefficient : {kAxisX, kAxisY, kCosine, kSine}) {
        if (bound.shape(coefficient, 0) != nvoxels) {
            return frame::value_error("spatial RF coefficient lengths must match nvoxels");
        }
    }
    if (!frame::require_c_contiguous(bound, {kState, kTransverseState},
                                     "state arrays must be C-contiguous") ||
        !frame::require_c_contiguous(bound, {kAxisX, kAxisY, kCosine, kSine},
                                     "spatial RF coefficients must be C-contiguous")) {
        return nullptr;
    }
    const int num_threads = bound.integer(kNumThreads);
    if (num_threads < 1) return frame::value_error("num_threads must be positive");
    if (!frame::check_memory(kSignature, bound)) return nullptr;

    double* const state_data = bound.view<double, 3>(kState).flat();
    frame::Complex* const transverse_data = bound.view<frame::Complex, 2>(kTransverseState).flat();
    const double* const axis_x = bound.view<double, 1>(kAxisX).flat();
    const double* const axis_y = bound.view<double, 1>(kAxisY).flat();
    const double* const cosine = bound.view<double, 1>(kCosine).flat();
    const double* const sine = bound.view<double, 1>(kSine).flat();
    frame::run_region(num_threads, 2 * nvoxels, [&](Py_ssize_t begin, Py_ssize_t end) {
        for (Py_ssize_t item = begin; item < end; ++item) {
            // Items are pool-major, so both pools of a voxel share its coefficients.
            const Py_ssize_t voxel = item % nvoxels;
            frame::Complex& transverse = transverse_data[item];
            kernels::_rotate_rf_voxel_plane(transverse.real, transverse.imag,
                                            state_data[3 * item + 2], axis_x[voxel], axis_y[voxel],
                                            cosine[voxel], sine[voxel]);
        }
    });
    Py_RETURN_NONE;
}

}  // namespace korvel::rf
