// apply_longitudinal_step_with_concentration_inflow: the concentration inflow step over the block in
// one voxel-parallel region. Coefficients are read through their strides, the states as flat data.
#include "frame/exports.hpp"
#include "frame/frame.hpp"
#include "kernels/voxel_ops.hpp"

#include <cstdint>
#include <initializer_list>

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
    if (!lengths_match(bound,
                       {kSourceStart, kSourceEnd, kConcentrationSourceStart,
                        kConcentrationSourceEnd},
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

    double* const state_data = bound.view<double, 3>(kState).flat();
    double* const concentration_data = bound.view<double, 3>(kConcentrationState).flat();
    const auto coefficient = [&bound](int index) { return bound.view<double, 1>(index); };
    const auto mask = [&bound](int index) { return bound.view<std::uint8_t, 1>(index); };
    const auto kpl = coefficient(kKpl), exp_a = coefficient(kExpA),
               difference = coefficient(kDifference), f0_a = coefficient(kF0A),
               f1_a = coefficient(kF1A), j0 = coefficient(kJ0), j1 = coefficient(kJ1);
    const auto concentration_exp_a = coefficient(kConcentrationExpA),
               concentration_difference = coefficient(kConcentrationDifference),
               concentration_f0_a = coefficient(kConcentrationF0A),
               concentration_f1_a = coefficient(kConcentrationF1A),
               concentration_j0 = coefficient(kConcentrationJ0),
               concentration_j1 = coefficient(kConcentrationJ1);
    const auto source_start = coefficient(kSourceStart), source_end = coefficient(kSourceEnd),
               concentration_source_start = coefficient(kConcentrationSourceStart),
               concentration_source_end = coefficient(kConcentrationSourceEnd);
    const auto regular = mask(kRegular), concentration_regular = mask(kConcentrationRegular);
    const double exp_b = bound.real(kExpB);
    const double concentration_exp_b = bound.real(kConcentrationExpB);
    const double equilibrium = bound.real(kEquilibrium);
    frame::run_region(num_threads, nvoxels, [&](Py_ssize_t lo, Py_ssize_t hi) {
        for (Py_ssize_t voxel = lo; voxel < hi; ++voxel) {
            const Py_ssize_t pyruvate_offset = 3 * voxel + 2;
            const Py_ssize_t lactate_offset = 3 * nvoxels + 3 * voxel + 2;
            double pyruvate = state_data[pyruvate_offset];
            double lactate = state_data[lactate_offset];
            double concentration_pyruvate = concentration_data[pyruvate_offset];
            double concentration_lactate = concentration_data[lactate_offset];
            kernels::_advance_coupled_longitudinal_voxel(
                pyruvate, lactate, concentration_pyruvate, concentration_lactate, kpl.load(voxel),
                exp_a.load(voxel), exp_b, difference.load(voxel), regular.load(voxel),
                f0_a.load(voxel), f1_a.load(voxel), j0.load(voxel), j1.load(voxel),
                concentration_exp_a.load(voxel), concentration_exp_b,
                concentration_difference.load(voxel), concentration_regular.load(voxel),
                concentration_f0_a.load(voxel), concentration_f1_a.load(voxel),
                concentration_j0.load(voxel), concentration_j1.load(voxel),
                source_start.load(voxel), source_end.load(voxel),
                concentration_source_start.load(voxel), concentration_source_end.load(voxel),
                duration, equilibrium, regular_mode, concentration_regular_mode);
            state_data[pyruvate_offset] = pyruvate;
            state_data[lactate_offset] = lactate;
            concentration_data[pyruvate_offset] = concentration_pyruvate;
            concentration_data[lactate_offset] = concentration_lactate;
        }
    });
    Py_RETURN_NONE;
}

}  // namespace korvel::longitudinal
