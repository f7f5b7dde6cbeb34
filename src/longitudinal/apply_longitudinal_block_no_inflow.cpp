// apply_longitudinal_block_no_inflow: many grouped half-steps per voxel in one voxel-parallel
// region; each voxel's two z values stay in registers across all steps, W voxels at a time in
// the lanes of a vector (kernels/lanes.hpp), the rest one by one.
#include <algorithm>
#include <cstdint>

#include "frame/exports.hpp"
#include "frame/frame.hpp"
#include "frame/simd.hpp"
#include "kernels/lanes.hpp"
#include "kernels/voxel_ops.hpp"

namespace korvel::longitudinal {
namespace {

constexpr frame::Param kParams[] = {
    {"state", frame::Arg::f64_array(3).modified()}, {"kpl", frame::Arg::f64_array(1)},
    {"exp_a_by_group", frame::Arg::f64_array(2)},   {"exp_b_by_group", frame::Arg::f64_array(1)},
    {"difference", frame::Arg::f64_array(1)},       {"regular", frame::Arg::bool_array(1)},
    {"step_groups", frame::Arg::i32_array(1)},      {"duration_by_group", frame::Arg::f64_array(1)},
    {"regular_mode", frame::Arg::integer()},        {"num_threads", frame::Arg::integer()},
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
frame::Signature kSignature{"apply_longitudinal_block_no_inflow", kParams};

struct Block {
    double* state_data;
    const double* kpl;
    const double* exp_a;  // (ngroups, nvoxels)
    const double* exp_b;
    const double* difference;
    const std::uint8_t* regular;
    const std::int32_t* step_groups;
    const double* duration;
    Py_ssize_t nvoxels;
    Py_ssize_t nsteps;
    int regular_mode;
};

// Voxels first .. first + W - 1 through every step, with one transfer form for all of them:
// regular, duration, or (kMixed) both with each lane keeping the one its mask byte selects.
template <class T, kernels::MaskBytes kForm>
inline void run_tile(const Block& b, Py_ssize_t first) noexcept {
    constexpr std::ptrdiff_t kStateRow = 3 * sizeof(double);
    char* const pyruvate_z = reinterpret_cast<char*>(b.state_data + (3 * first + 2));
    char* const lactate_z = reinterpret_cast<char*>(b.state_data + (3 * (b.nvoxels + first) + 2));
    T pyruvate = kernels::gather_lanes<T>(pyruvate_z, kStateRow);
    T lactate = kernels::gather_lanes<T>(lactate_z, kStateRow);
    const T kpl = kernels::load_lanes<T>(b.kpl + first);
    const T difference = kernels::load_lanes<T>(b.difference + first);
    const std::uint8_t* const regular = b.regular + first;
    for (Py_ssize_t step = 0; step < b.nsteps; ++step) {
        const Py_ssize_t group = b.step_groups[step];
        const T exp_a = kernels::load_lanes<T>(b.exp_a + (group * b.nvoxels + first));
        const double exp_b = b.exp_b[group];
        T transfer;
        if constexpr (kForm == kernels::MaskBytes::kAll) {
            transfer = kernels::_regular_transfer(pyruvate, kpl, exp_a, exp_b, difference);
        } else if constexpr (kForm == kernels::MaskBytes::kNone) {
            transfer = kernels::_duration_transfer(pyruvate, kpl, exp_b, b.duration[group]);
        } else {
            transfer = kernels::select_by_bytes(
                regular, kernels::_regular_transfer(pyruvate, kpl, exp_a, exp_b, difference),
                kernels::_duration_transfer(pyruvate, kpl, exp_b, b.duration[group]));
        }
        kernels::_decay_with_transfer(pyruvate, lactate, transfer, exp_a, exp_b);
    }
    kernels::scatter_lanes(pyruvate_z, kStateRow, pyruvate);
    kernels::scatter_lanes(lactate_z, kStateRow, lactate);
}

// The form of a tile: fixed by the mode, else by the tile's mask bytes (read once per voxel).
template <class T>
inline void run_tile(const Block& b, Py_ssize_t first) noexcept {
    using kernels::MaskBytes;
    const MaskBytes form = b.regular_mode == 1    ? MaskBytes::kAll
                           : b.regular_mode == -1 ? MaskBytes::kNone
                                                  : kernels::classify_mask_bytes(
                                                        b.regular + first, kernels::kLaneCount<T>);
    switch (form) {
        case MaskBytes::kAll: return run_tile<T, MaskBytes::kAll>(b, first);
        case MaskBytes::kNone: return run_tile<T, MaskBytes::kNone>(b, first);
        default: return run_tile<T, MaskBytes::kMixed>(b, first);
    }
}

template <class T>
inline void run_voxels(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
    constexpr int W = kernels::kLaneCount<T>;
    Py_ssize_t voxel = begin;
    for (; voxel + W <= end; voxel += W) run_tile<T>(b, voxel);
    for (; voxel < end; ++voxel) run_tile<double>(b, voxel);
}

template <int W>
struct RunVoxels {
    static void run(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
        run_voxels<kernels::Lanes<W>>(b, begin, end);
    }
};

}  // namespace

const char apply_longitudinal_block_no_inflow_doc[] =
    "Apply many longitudinal half-steps in one voxel-parallel region.";

PyObject* apply_longitudinal_block_no_inflow(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
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
        !frame::require_c_contiguous(bound, {kExpAByGroup},
                                     "exp_a_by_group must be C-contiguous") ||
        !frame::require_c_contiguous(bound, {kExpBByGroup},
                                     "exp_b_by_group must be C-contiguous") ||
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

    const Block block{
        bound.view<double, 3>(kState).flat(),
        bound.view<double, 1>(kKpl).flat(),
        bound.view<double, 2>(kExpAByGroup).flat(),
        bound.view<double, 1>(kExpBByGroup).flat(),
        bound.view<double, 1>(kDifference).flat(),
        bound.view<std::uint8_t, 1>(kRegular).flat(),
        step_groups,
        bound.view<double, 1>(kDurationByGroup).flat(),
        nvoxels,
        nsteps,
        regular_mode,
    };
    const auto runner = frame::simd_variant<RunVoxels, const Block&, Py_ssize_t, Py_ssize_t>();
    frame::run_region(num_threads, nvoxels,
                      [&](Py_ssize_t lo, Py_ssize_t hi) { runner(block, lo, hi); });
    Py_RETURN_NONE;
}

}  // namespace korvel::longitudinal
