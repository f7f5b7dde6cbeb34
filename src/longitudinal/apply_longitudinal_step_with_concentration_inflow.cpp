// apply_longitudinal_step_with_concentration_inflow: the concentration inflow step over the block
// in one voxel-parallel region. Coefficients are read through their strides, the states as flat
// data; where every coefficient has unit stride, W voxels at a time in the lanes of a vector.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <iterator>

#include "frame/exports.hpp"
#include "frame/frame.hpp"
#include "frame/simd.hpp"
#include "kernels/lanes.hpp"
#include "kernels/voxel_ops.hpp"

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
enum Index {
    kState,
    kConcentrationState,
    kKpl,
    kExpA,
    kExpB,
    kDifference,
    kRegular,
    kF0A,
    kF1A,
    kJ0,
    kJ1,
    kConcentrationExpA,
    kConcentrationExpB,
    kConcentrationDifference,
    kConcentrationRegular,
    kConcentrationF0A,
    kConcentrationF1A,
    kConcentrationJ0,
    kConcentrationJ1,
    kSourceStart,
    kSourceEnd,
    kConcentrationSourceStart,
    kConcentrationSourceEnd,
    kDuration,
    kEquilibrium,
    kRegularMode,
    kConcentrationRegularMode,
    kNumThreads,
};
static_assert(frame::well_formed(kParams));

bool state_shaped(const frame::Bound& bound, int index, Py_ssize_t nvoxels) {
    return bound.shape(index, 0) == 2 && bound.shape(index, 1) == nvoxels &&
           bound.shape(index, 2) == 3;
}

bool lengths_match(const frame::Bound& bound, std::initializer_list<int> indices,
                   Py_ssize_t nvoxels) {
    for (const int index : indices) {
        if (bound.shape(index, 0) != nvoxels) return false;
    }
    return true;
}
frame::Signature kSignature{"apply_longitudinal_step_with_concentration_inflow", kParams};

// The per-voxel coefficient arrays.
constexpr int kVoxelCoefficients[] = {
    kKpl,
    kExpA,
    kDifference,
    kF0A,
    kF1A,
    kJ0,
    kJ1,
    kConcentrationExpA,
    kConcentrationDifference,
    kConcentrationF0A,
    kConcentrationF1A,
    kConcentrationJ0,
    kConcentrationJ1,
    kSourceStart,
    kSourceEnd,
    kConcentrationSourceStart,
    kConcentrationSourceEnd,
};

// Everything a thread reads or writes, gathered with the GIL held. The states are flat; the
// coefficients and masks are read one voxel at a time through their strides, or W at a time
// where every one of them has unit stride.
struct Step {
    double* state;
    double* concentration;
    Py_ssize_t nvoxels;
    std::array<frame::ArrayView<double, 1>, std::size(kParams)> coefficients;  // by parameter
    frame::ArrayView<std::uint8_t, 1> regular, concentration_regular;
    double exp_b, concentration_exp_b, duration, equilibrium;
    int regular_mode, concentration_regular_mode;

    // Voxels first .. first + W - 1 of a coefficient: one through its stride (a double), or W
    // neighbours (lanes, unit stride).
    template <class T>
    T lanes(Index index, Py_ssize_t first) const noexcept {
        const frame::ArrayView<double, 1>& view = coefficients[static_cast<std::size_t>(index)];
        return kernels::load_lanes<T>(
            reinterpret_cast<const double*>(view.bytes() + first * view.stride(0)));
    }

    // Voxels first .. first + W - 1 in the lanes of T (one voxel when T is double), each
    // transfer in the form its mode or its mask byte selects.
    template <class T>
    void advance_tile(Py_ssize_t first) const noexcept {
        constexpr int W = kernels::kLaneCount<T>;
        constexpr std::ptrdiff_t kStateRow = 3 * sizeof(double);
        char* const pyruvate_at = reinterpret_cast<char*>(state + (3 * first + 2));
        char* const lactate_at = reinterpret_cast<char*>(state + (3 * (nvoxels + first) + 2));
        char* const concentration_pyruvate_at =
            reinterpret_cast<char*>(concentration + (3 * first + 2));
        char* const concentration_lactate_at =
            reinterpret_cast<char*>(concentration + (3 * (nvoxels + first) + 2));
        T pyruvate = kernels::gather_lanes<T>(pyruvate_at, kStateRow);
        T lactate = kernels::gather_lanes<T>(lactate_at, kStateRow);
        T concentration_pyruvate = kernels::gather_lanes<T>(concentration_pyruvate_at, kStateRow);
        T concentration_lactate = kernels::gather_lanes<T>(concentration_lactate_at, kStateRow);
        const T kpl = lanes<T>(kKpl, first), exp_a = lanes<T>(kExpA, first);
        const T difference = lanes<T>(kDifference, first);
        const T concentration_exp_a = lanes<T>(kConcentrationExpA, first);
        const T concentration_difference = lanes<T>(kConcentrationDifference, first);
        const std::uint8_t* const regular_bytes = regular.flat() + first * regular.stride(0);
        const std::uint8_t* const concentration_regular_bytes =
            concentration_regular.flat() + first * concentration_regular.stride(0);
        const kernels::MaskBytes form = kernels::_tile_form(regular_mode, regular_bytes, W);
        const kernels::MaskBytes concentration_form =
            kernels::_tile_form(concentration_regular_mode, concentration_regular_bytes, W);
        kernels::_advance_coupled_longitudinal(
            pyruvate, lactate, concentration_pyruvate, concentration_lactate, kpl, exp_a, exp_b,
            lanes<T>(kF0A, first), lanes<T>(kF1A, first), lanes<T>(kJ0, first),
            lanes<T>(kJ1, first), concentration_exp_a, concentration_exp_b,
            lanes<T>(kConcentrationF0A, first), lanes<T>(kConcentrationF1A, first),
            lanes<T>(kConcentrationJ0, first), lanes<T>(kConcentrationJ1, first),
            lanes<T>(kSourceStart, first), lanes<T>(kSourceEnd, first),
            lanes<T>(kConcentrationSourceStart, first), lanes<T>(kConcentrationSourceEnd, first),
            duration, equilibrium,
            [&](T magnetization_pyruvate) {
                return kernels::_tile_transfer(form, regular_bytes, magnetization_pyruvate, kpl,
                                               exp_a, exp_b, difference, duration);
            },
            [&](T held_pyruvate) {
                return kernels::_tile_transfer(
                    concentration_form, concentration_regular_bytes, held_pyruvate, kpl,
                    concentration_exp_a, concentration_exp_b, concentration_difference, duration);
            });
        kernels::scatter_lanes(pyruvate_at, kStateRow, pyruvate);
        kernels::scatter_lanes(lactate_at, kStateRow, lactate);
        kernels::scatter_lanes(concentration_pyruvate_at, kStateRow, concentration_pyruvate);
        kernels::scatter_lanes(concentration_lactate_at, kStateRow, concentration_lactate);
    }
};

template <int W>
struct RunTiles {
    static void run(const Step& step, Py_ssize_t begin, Py_ssize_t end) noexcept {
        Py_ssize_t voxel = begin;
        for (; voxel + W <= end; voxel += W) step.advance_tile<kernels::Lanes<W>>(voxel);
        for (; voxel < end; ++voxel) step.advance_tile<double>(voxel);
    }
};

void run_one_by_one(const Step& step, Py_ssize_t begin, Py_ssize_t end) noexcept {
    for (Py_ssize_t voxel = begin; voxel < end; ++voxel) step.advance_tile<double>(voxel);
}

using VoxelRunner = void (*)(const Step&, Py_ssize_t, Py_ssize_t) noexcept;

// Tiles read W neighbouring voxels of every coefficient and mask at once.
VoxelRunner voxel_runner(const Step& step) noexcept {
    for (const int index : kVoxelCoefficients) {
        if (step.coefficients[static_cast<std::size_t>(index)].stride(0) != sizeof(double)) {
            return run_one_by_one;
        }
    }
    if (step.regular.stride(0) != 1 || step.concentration_regular.stride(0) != 1) {
        return run_one_by_one;
    }
    return frame::simd_variant<RunTiles, const Step&, Py_ssize_t, Py_ssize_t>();
}

}  // namespace

const char apply_longitudinal_step_with_concentration_inflow_doc[] =
    "Advance magnetization and concentration in one voxel-parallel pass.\n"
    "\n"
    "    All exponential and convolution coefficients are prepared by NumPy.  The\n"
    "    arithmetic order mirrors ``longitudinal_step_with_inflow`` and its\n"
    "    scratch-backed zero-target solver while avoiding four complete strided\n"
    "    state passes and the associated interval-sized temporaries.\n"
    "    ";

PyObject* apply_longitudinal_step_with_concentration_inflow(PyObject*, PyObject* const* args,
                                                            Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    const Py_ssize_t nvoxels = bound.shape(kKpl, 0);
    if (!state_shaped(bound, kState, nvoxels)) {
        return frame::value_error("state must have shape (2, nvoxels, 3)");
    }
    if (!state_shaped(bound, kConcentrationState, nvoxels)) {
        return frame::value_error("concentration_state must have shape (2, nvoxels, 3)");
    }
    if (!frame::require_c_contiguous(bound, {kState, kConcentrationState},
                                     "state arrays must be C-contiguous")) {
        return nullptr;
    }
    if (!lengths_match(bound, {kExpA, kDifference, kRegular}, nvoxels)) {
        return frame::value_error("magnetization coefficient lengths must match nvoxels");
    }
    if (!lengths_match(bound, {kConcentrationExpA, kConcentrationDifference, kConcentrationRegular},
                       nvoxels)) {
        return frame::value_error("concentration coefficient lengths must match nvoxels");
    }
    if (!lengths_match(bound,
                       {kF0A, kF1A, kJ0, kJ1, kConcentrationF0A, kConcentrationF1A,
                        kConcentrationJ0, kConcentrationJ1},
                       nvoxels)) {
        return frame::value_error("source coefficient lengths must match nvoxels");
    }
    if (!lengths_match(
            bound, {kSourceStart, kSourceEnd, kConcentrationSourceStart, kConcentrationSourceEnd},
            nvoxels)) {
        return frame::value_error("source lengths must match nvoxels");
    }
    const int regular_mode = bound.integer(kRegularMode);
    if (regular_mode < -1 || regular_mode > 1) {
        return frame::value_error("regular_mode must be -1, 0, or 1");
    }
    const int concentration_regular_mode = bound.integer(kConcentrationRegularMode);
    if (concentration_regular_mode < -1 || concentration_regular_mode > 1) {
        return frame::value_error("concentration_regular_mode must be -1, 0, or 1");
    }
    const double duration = bound.real(kDuration);
    if (duration <= 0.0) return frame::value_error("duration must be positive");  // NaN passes
    const int num_threads = bound.integer(kNumThreads);
    if (num_threads < 1) return frame::value_error("num_threads must be positive");
    if (!frame::check_memory(kSignature, bound)) return nullptr;

    Step step{};
    step.state = bound.view<double, 3>(kState).flat();
    step.concentration = bound.view<double, 3>(kConcentrationState).flat();
    step.nvoxels = nvoxels;
    for (const int index : kVoxelCoefficients) {
        step.coefficients[static_cast<std::size_t>(index)] = bound.view<double, 1>(index);
    }
    step.regular = bound.view<std::uint8_t, 1>(kRegular);
    step.concentration_regular = bound.view<std::uint8_t, 1>(kConcentrationRegular);
    step.exp_b = bound.real(kExpB);
    step.concentration_exp_b = bound.real(kConcentrationExpB);
    step.duration = duration;
    step.equilibrium = bound.real(kEquilibrium);
    step.regular_mode = regular_mode;
    step.concentration_regular_mode = concentration_regular_mode;
    const VoxelRunner runner = voxel_runner(step);
    frame::run_region(num_threads, nvoxels,
                      [&](Py_ssize_t lo, Py_ssize_t hi) { runner(step, lo, hi); });
    Py_RETURN_NONE;
}

}  // namespace korvel::longitudinal
