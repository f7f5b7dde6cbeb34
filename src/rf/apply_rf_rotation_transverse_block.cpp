// apply_rf_rotation_transverse_block: one axis rotation for every (pool, voxel) item of a
// two-pool block; Mx and My live in the complex transverse store, Mz in the state array.
#include "frame/exports.hpp"
#include "frame/frame.hpp"
#include "kernels/voxel_ops.hpp"

namespace korvel::rf {
namespace {

constexpr frame::Param kParams[] = {
    {"state", frame::Arg::f64_array(3).modified()},
    {"transverse_state", frame::Arg::c128_array(2).modified()},
    {"axis_x", frame::Arg::real()},
    {"axis_y", frame::Arg::real()},
    {"cosine", frame::Arg::real()},
    {"sine", frame::Arg::real()},
    {"one_minus_cosine", frame::Arg::real()},
    {"num_threads", frame::Arg::integer()},
};
static_assert(frame::well_formed(kParams));
frame::Signature kSignature{"apply_rf_rotation_transverse_block", kParams};
enum Index {
    kState,
    kTransverseState,
    kAxisX,
    kAxisY,
    kCosine,
    kSine,
    kOneMinusCosine,
    kNumThreads
};

}  // namespace

const char apply_rf_rotation_transverse_block_doc[] =
    "Rotate one RF interval across the complete two-pool voxel block.\n"
    "\n"
    "    The optimized dynamic driver stores Mx/My in a compact complex array. This\n"
    "    primitive reads and writes that representation directly, avoiding two full\n"
    "    state synchronizations and all temporary ``numpy.cross`` arrays.\n"
    "    ";

PyObject* apply_rf_rotation_transverse_block(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    if (bound.shape(kState, 0) != 2 || bound.shape(kState, 2) != 3) {
        return frame::value_error("state must have shape (2, nvoxels, 3)");
    }
    const Py_ssize_t nvoxels = bound.shape(kState, 1);
    if (bound.shape(kTransverseState, 0) != 2 || bound.shape(kTransverseState, 1) != nvoxels) {
        return frame::value_error("transverse_state must have shape (2, nvoxels)");
    }
    if (!frame::require_c_contiguous(bound, {kState, kTransverseState},
                                     "state arrays must be C-contiguous")) {
        return nullptr;
    }
    const int num_threads = bound.integer(kNumThreads);
    if (num_threads < 1) return frame::value_error("num_threads must be positive");
    if (!frame::check_memory(kSignature, bound)) return nullptr;

    double* const state_data = bound.view<double, 3>(kState).flat();
    double* const transverse_data = bound.view<double, 2>(kTransverseState).flat();
    const double axis_x = bound.real(kAxisX), axis_y = bound.real(kAxisY);
    const double cosine = bound.real(kCosine), sine = bound.real(kSine);
    const double one_minus_cosine = bound.real(kOneMinusCosine);
    // Items are (pool, voxel) pairs, pool-major; both pools get the same rotation.
    frame::run_region(num_threads, 2 * nvoxels, [&](Py_ssize_t begin, Py_ssize_t end) {
        for (Py_ssize_t item = begin; item < end; ++item) {
            double* const transverse = transverse_data + 2 * item;
            kernels::_rotate_rf_voxel(transverse[0], transverse[1], state_data[3 * item + 2],
                                      axis_x, axis_y, cosine, sine, one_minus_cosine);
        }
    });
    Py_RETURN_NONE;
}

}  // namespace korvel::rf
