// apply_longitudinal_block_no_inflow: many grouped half-steps per voxel in one voxel-parallel
// region; each voxel's two z values stay in registers across all steps.
#include "frame/exports.hpp"
#include "frame/frame.hpp"
#include "kernels/voxel_ops.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

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
enum Index {
    kState,
    kKpl,
    kExpAByGroup,
    kExpBByGroup,
    kDifference,
    kRegular,
    kStepGroups,
    kDurationByGroup,
    kRegularMode,
    kNumThreads,
};
static_assert(frame::well_formed(kParams));
// Voxels advanced side by side, so that their step chains overlap in the pipeline.
constexpr int kLanes = 4;  // the unroll pragma below repeats it
frame::Signature kSignature{"apply_longitudinal_block_no_inflow", kParams};

}  // namespace

const char apply_longitudinal_block_no_inflow_doc[] =
    "Apply many longitudinal half-steps in one voxel-parallel region.";

PyObject* apply_longitudinal_block_no_inflow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    const Py_ssize_t nvoxels = bound.shape(kKpl, 0);
    if (bound.shape(kState, 0) != 2 || bound.shape(kState, 1) != nvoxels ||
        bound.shape(kState, 2) != 3) {
        return frame::value_error("state must have shape (2, nvoxels, 3)");
    }
    if (bound.shape(kExpAByGroup, 1) != nvoxels) {
        return frame::value_error("exp_a_by_group must have shape (ngroups, nvoxels)");
    }
    const Py_ssize_t ngroups = bound.shape(kExpAByGroup, 0);
    if (bound.shape(kExpBByGroup, 0) != ngroups || bound.shape(kDurationByGroup, 0) != ngroups) {
        return frame::value_error("group coefficient arrays must have equal lengths");
    }
    if (bound.shape(kDifference, 0) != nvoxels || bound.shape(kRegular, 0) != nvoxels) {
        return frame::value_error("voxel coefficient lengths must match nvoxels");
    }
    const Py_ssize_t nsteps = bound.shape(kStepGroups, 0);
    if (!frame::require_c_contiguous(bound, {kState, kKpl}, "state and kpl must be C-contiguous") ||
        !frame::require_c_contiguous(bound, {kExpAByGroup}, "exp_a_by_group must be C-contiguous") ||
        !frame::require_c_contiguous(bound, {kExpBByGroup}, "exp_b_by_group must be C-contiguous") ||
        !frame::require_c_contiguous(bound, {kDifference, kRegular},
                                     "voxel coefficients must be C-contiguous") ||
        !frame::require_c_contiguous(bound, {kStepGroups, kDurationByGroup},
                                     "block coefficient indices must be C-contiguous")) {
        return nullptr;
    }
    const int regular_mode = bound.integer(kRegularMode);
    if (regular_mode < -1 || regular_mode > 1) {
        return frame::value_error("regular_mode must be -1, 0, or 1");
    }
    const int num_threads = bound.integer(kNumThreads);
    if (num_threads < 1) return frame::value_error("num_threads must be positive");
    // Read through loads that allow any address: alignment is only checked after this test.
    const auto step_group = bound.view<std::int32_t, 1>(kStepGroups);
    if (nsteps > 0) {
        std::int32_t smallest = step_group.load(0), largest = smallest;
        for (Py_ssize_t step = 1; step < nsteps; ++step) {
            smallest = std::min(smallest, step_group.load(step));
            largest = std::max(largest, step_group.load(step));
        }
        if (smallest < 0 || largest >= ngroups) {
            return frame::value_error("step group index is out of range");
        }
    }
    if (!frame::check_memory(kSignature, bound)) return nullptr;

    const std::int32_t* const step_groups = step_group.flat();

    double* const state_data = bound.view<double, 3>(kState).flat();
    const double* const kpl_data = bound.view<double, 1>(kKpl).flat();
    const double* const exp_a_data = bound.view<double, 2>(kExpAByGroup).flat();
    const double* const exp_b_data = bound.view<double, 1>(kExpBByGroup).flat();
    const double* const difference_data = bound.view<double, 1>(kDifference).flat();
    const std::uint8_t* const regular_data = bound.view<std::uint8_t, 1>(kRegular).flat();
    const double* const duration_data = bound.view<double, 1>(kDurationByGroup).flat();
    // Advances voxels first .. first + Lanes - 1 through every step. The mode is a constant, so
    // the form selection folds away unless the lanes' mask bytes (read only for Mode 0) differ.
    const auto advance = [&]<int Lanes, int Mode>(Py_ssize_t first, const int* regular) {
        constexpr auto size = static_cast<std::size_t>(Lanes);
        double pyruvate[size], lactate[size], kpl[size], difference[size];
        for (int lane = 0; lane < Lanes; ++lane) {
            const Py_ssize_t voxel = first + lane;
            pyruvate[lane] = state_data[3 * voxel + 2];
            lactate[lane] = state_data[3 * nvoxels + 3 * voxel + 2];
            kpl[lane] = kpl_data[voxel];
            difference[lane] = difference_data[voxel];
        }
        for (Py_ssize_t step = 0; step < nsteps; ++step) {
            const Py_ssize_t group = step_groups[step];
            const double* const exp_a = exp_a_data + group * nvoxels + first;
            const double exp_b = exp_b_data[group], duration = duration_data[group];
#pragma GCC unroll 4
            for (int lane = 0; lane < Lanes; ++lane) {
                kernels::_advance_no_inflow_voxel(pyruvate[lane], lactate[lane], kpl[lane],
                                                  exp_a[lane], exp_b, difference[lane],
                                                  Mode == 0 ? regular[lane] : 0, duration, Mode);
            }
        }
        for (int lane = 0; lane < Lanes; ++lane) {
            const Py_ssize_t voxel = first + lane;
            state_data[3 * voxel + 2] = pyruvate[lane];
            state_data[3 * nvoxels + 3 * voxel + 2] = lactate[lane];
        }
    };
    // With mode 0, lanes whose masks agree run the fixed form of that mask value: the same
    // selection, without a branch per step.
    const auto advance_masked = [&](Py_ssize_t first) {
        int regular[kLanes], nregular = 0;
        for (int lane = 0; lane < kLanes; ++lane) {
            regular[lane] = regular_data[first + lane];
            nregular += regular[lane] != 0;
        }
        if (nregular == kLanes) {
            advance.template operator()<kLanes, 1>(first, regular);
        } else if (nregular == 0) {
            advance.template operator()<kLanes, -1>(first, regular);
        } else {
            advance.template operator()<kLanes, 0>(first, regular);
        }
    };
    const auto run = [&]<int Mode>() {
        frame::run_region(num_threads, nvoxels, [&](Py_ssize_t lo, Py_ssize_t hi) {
            Py_ssize_t voxel = lo;
            for (; voxel + kLanes <= hi; voxel += kLanes) {
                if constexpr (Mode == 0) {
                    advance_masked(voxel);
                } else {
                    advance.template operator()<kLanes, Mode>(voxel, nullptr);
                }
            }
            for (; voxel < hi; ++voxel) {
                const int regular = Mode == 0 ? regular_data[voxel] : 0;
                advance.template operator()<1, Mode>(voxel, &regular);
            }
        });
    };
    if (regular_mode == 1) {
        run.template operator()<1>();
    } else if (regular_mode == -1) {
        run.template operator()<-1>();
    } else {
        run.template operator()<0>();
    }
    Py_RETURN_NONE;
}

}  // namespace korvel::longitudinal
