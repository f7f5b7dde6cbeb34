// run_dynamic_plan_block_no_inflow: whole two-pool plan blocks in one region over parents. The
// per-spin arithmetic is in kernels; the actions and their checks are shared with the other
// plan drivers (plan/actions.hpp, plan/observation.hpp).
#include <cstdint>
#include <initializer_list>

#include "frame/exports.hpp"
#include "frame/frame.hpp"
#include "kernels/voxel_ops.hpp"
#include "plan/actions.hpp"
#include "plan/observation.hpp"

namespace korvel::plan {
namespace {

constexpr frame::Param kParams[] = {
    {"state", frame::Arg::f64_array(3).modified()},
    {"transverse_state", frame::Arg::c128_array(2).modified()},
    {"transverse_factors", frame::Arg::c128_array(3)},
    {"kpl_by_group", frame::Arg::f64_array(2)},
    {"exp_a_by_group", frame::Arg::f64_array(2)},
    {"exp_b_by_group", frame::Arg::f64_array(1)},
    {"difference_by_group", frame::Arg::f64_array(2)},
    {"regular_by_group", frame::Arg::bool_array(2)},
    {"duration_by_group", frame::Arg::f64_array(1)},
    {"regular_mode_by_group", frame::Arg::i32_array(1)},
    {"longitudinal_groups", frame::Arg::i32_array(1)},
    {"first_factor_groups", frame::Arg::i32_array(1)},
    {"second_factor_groups", frame::Arg::i32_array(1)},
    {"rf_groups", frame::Arg::i32_array(1)},
    {"rf_axis_x", frame::Arg::f64_array(2)},
    {"rf_axis_y", frame::Arg::f64_array(2)},
    {"rf_cosine", frame::Arg::f64_array(2)},
    {"rf_sine", frame::Arg::f64_array(2)},
    {"rf_one_minus_cosine", frame::Arg::f64_array(2)},
    {"action_offsets", frame::Arg::i32_array(1)},
    {"action_kinds", frame::Arg::i8_array(1)},
    {"action_payloads", frame::Arg::i64_array(1)},
    {"adc_demodulation", frame::Arg::c128_array(1)},
    {"rx_sensitivities", frame::Arg::c128_array(2)},
    {"signal_weights", frame::Arg::f64_array(1)},
    {"parent_species_signal", frame::Arg::c128_array(4).modified()},
    {"checkpoint_states", frame::Arg::f64_array(4).modified()},
    {"spins_per_parent", frame::Arg::integer()},
    {"signal_scale", frame::Arg::real()},
    {"ideal_crushers", frame::Arg::flag()},
    {"num_threads", frame::Arg::integer()},
};
static_assert(frame::well_formed(kParams));
enum Index {
    kState,
    kTransverseState,
    kTransverseFactors,
    kKplByGroup,
    kExpAByGroup,
    kExpBByGroup,
    kDifferenceByGroup,
    kRegularByGroup,
    kDurationByGroup,
    kRegularModeByGroup,
    kLongitudinalGroups,
    kFirstFactorGroups,
    kSecondFactorGroups,
    kRfGroups,
    kRfAxisX,
    kRfAxisY,
    kRfCosine,
    kRfSine,
    kRfOneMinusCosine,
    kActionOffsets,
    kActionKinds,
    kActionPayloads,
    kAdcDemodulation,
    kRxSensitivities,
    kSignalWeights,
    kParentSpeciesSignal,
    kCheckpointStates,
    kSpinsPerParent,
    kSignalScale,
    kIdealCrushers,
    kNumThreads,
};
frame::Signature kSignature{"run_dynamic_plan_block_no_inflow", kParams};
constexpr ObservationArgs kObservation{
    kActionOffsets,   kActionKinds,   kActionPayloads,      kAdcDemodulation,
    kRxSensitivities, kSignalWeights, kParentSpeciesSignal, kCheckpointStates,
};

// Free evolution of one transverse value by a complex factor of the table.
inline void multiply_factor(double& real, double& imag, frame::Complex factor) noexcept {
    kernels::_evolve_transverse_voxel(real, imag, factor.real, factor.imag);
}

// What the block reads besides the action stream and the observation arrays: the group tables
// through their strides, the state and the factors as flat blocks.
struct Block {
    double* state_data;
    frame::Complex* transverse_data;
    const frame::Complex* factors_data;
    frame::ArrayView<double, 2> kpl, exp_a, difference;
    frame::ArrayView<std::uint8_t, 2> regular;
    frame::ArrayView<double, 1> exp_b, duration;
    frame::ArrayView<std::int32_t, 1> regular_mode;
    frame::ArrayView<std::int32_t, 1> longitudinal_groups, first_factor_groups,
        second_factor_groups, rf_groups;
    frame::ArrayView<double, 2> rf_axis_x, rf_axis_y, rf_cosine, rf_sine, rf_one_minus_cosine;
    Py_ssize_t nspins;
    Py_ssize_t nsteps;
    bool spatial_rf;
};

// One spin through every step of the block; its six working values stay locals throughout and
// touch the state arrays once on the way in and once on the way out.
void run_spin(const Block& b, const ActionStream& stream, const Observation& observation,
              Py_ssize_t parent, Py_ssize_t i) noexcept {
    frame::Complex* const pyruvate = b.transverse_data + i;
    frame::Complex* const lactate = b.transverse_data + (b.nspins + i);
    double* const pyruvate_mz = b.state_data + (3 * i + 2);
    double* const lactate_mz = b.state_data + (3 * (b.nspins + i) + 2);
    double pre = pyruvate->real, pim = pyruvate->imag, pz = *pyruvate_mz;
    double lre = lactate->real, lim = lactate->imag, lz = *lactate_mz;
    TwoPoolLocals spin{pre, pim, pz, lre, lim, lz};
    for (Py_ssize_t step = 0; step < b.nsteps; ++step) {
        const std::int32_t g = b.longitudinal_groups.load(step);
        const std::int32_t f1 = b.first_factor_groups.load(step);
        const std::int32_t r = b.rf_groups.load(step);
        const std::int32_t f2 = b.second_factor_groups.load(step);
        const double kpl = b.kpl.load(g, i), exp_a = b.exp_a.load(g, i);
        const double difference = b.difference.load(g, i);
        const int regular = b.regular.load(g, i);
        const double exp_b = b.exp_b.load(g), duration = b.duration.load(g);
        const int mode = b.regular_mode.load(g);

        const frame::Complex* const first = b.factors_data + (2 * b.nspins * f1 + i);
        double pyruvate_x = pre, pyruvate_y = pim, lactate_x = lre, lactate_y = lim;
        multiply_factor(pyruvate_x, pyruvate_y, first[0]);
        multiply_factor(lactate_x, lactate_y, first[b.nspins]);
        double pyruvate_z = pz, lactate_z = lz;
        kernels::_advance_no_inflow_voxel(pyruvate_z, lactate_z, kpl, exp_a, exp_b, difference,
                                          regular, duration, mode);
        if (r >= 0) {
            if (b.spatial_rf) {
                const double ax = b.rf_axis_x.load(r, i), ay = b.rf_axis_y.load(r, i);
                const double c = b.rf_cosine.load(r, i), sn = b.rf_sine.load(r, i);
                kernels::_rotate_rf_voxel_plane(pyruvate_x, pyruvate_y, pyruvate_z, ax, ay, c, sn);
                kernels::_rotate_rf_voxel_plane(lactate_x, lactate_y, lactate_z, ax, ay, c, sn);
            } else {
                const double ax = b.rf_axis_x.load(r, 0), ay = b.rf_axis_y.load(r, 0);
                const double c = b.rf_cosine.load(r, 0), sn = b.rf_sine.load(r, 0);
                const double omc = b.rf_one_minus_cosine.load(r, 0);
                kernels::_rotate_rf_voxel(pyruvate_x, pyruvate_y, pyruvate_z, ax, ay, c, sn, omc);
                kernels::_rotate_rf_voxel(lactate_x, lactate_y, lactate_z, ax, ay, c, sn, omc);
            }
        }
        const frame::Complex* const second = b.factors_data + (2 * b.nspins * f2 + i);
        multiply_factor(pyruvate_x, pyruvate_y, second[0]);
        multiply_factor(lactate_x, lactate_y, second[b.nspins]);
        // The second half-step starts from the rotated longitudinal values.
        kernels::_advance_no_inflow_voxel(pyruvate_z, lactate_z, kpl, exp_a, exp_b, difference,
                                          regular, duration, mode);
        pre = pyruvate_x, pim = pyruvate_y, pz = pyruvate_z;
        lre = lactate_x, lim = lactate_y, lz = lactate_z;
        run_step_actions(stream, observation, step, parent, i, spin);
    }
    pyruvate->real = pre, pyruvate->imag = pim, *pyruvate_mz = pz;
    lactate->real = lre, lactate->imag = lim, *lactate_mz = lz;
}

// The checks that keep the block inside its arrays, after the documented ones: the table
// shapes read, every group, factor and RF index used, the actions' brackets and payloads.
bool check_block(const frame::Bound& bound, Py_ssize_t nsteps, Py_ssize_t nspins) {
    const char* const factors_shape = "must have shape (nfactor_groups, 2, nspins)";
    const char* const rf_shape = "must have the shape of rf_axis_x";
    const std::initializer_list<int> rf_tables = {kRfAxisY, kRfCosine, kRfSine,
                                                  kRfOneMinusCosine};
    return check_extent(kSignature, bound,
                        {kKplByGroup, kExpAByGroup, kDifferenceByGroup, kRegularByGroup}, 1,
                        nspins, "must have nspins columns") &&
           check_extent(kSignature, bound, {kTransverseFactors}, 1, 2, factors_shape) &&
           check_extent(kSignature, bound, {kTransverseFactors}, 2, nspins, factors_shape) &&
           check_extent(kSignature, bound, rf_tables, 0, bound.shape(kRfAxisX, 0), rf_shape) &&
           check_extent(kSignature, bound, rf_tables, 1, bound.shape(kRfAxisX, 1), rf_shape) &&
           check_step_indices(kSignature, bound, kLongitudinalGroups, nsteps,
                              {kKplByGroup, kExpAByGroup, kExpBByGroup, kDifferenceByGroup,
                               kRegularByGroup, kDurationByGroup, kRegularModeByGroup}) &&
           check_step_indices(kSignature, bound, kFirstFactorGroups, nsteps,
                              {kTransverseFactors}) &&
           check_step_indices(kSignature, bound, kSecondFactorGroups, nsteps,
                              {kTransverseFactors}) &&
           check_step_indices(kSignature, bound, kRfGroups, nsteps, {kRfAxisX}, true) &&
           check_actions(kSignature, bound, kObservation, nsteps, 2, nspins);
}

}  // namespace

const char run_dynamic_plan_block_no_inflow_doc[] =
    "Execute complete two-pool plan intervals and observations natively.";

PyObject* run_dynamic_plan_block_no_inflow(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    if (bound.shape(kState, 0) != 2 || bound.shape(kState, 2) != 3) {
        return frame::value_error("state must have shape (2, nspins, 3)");
    }
    const Py_ssize_t nspins = bound.shape(kState, 1);
    if (bound.shape(kTransverseState, 0) != 2 || bound.shape(kTransverseState, 1) != nspins) {
        return frame::value_error("transverse_state must have shape (2, nspins)");
    }
    const int spins_per_parent = bound.integer(kSpinsPerParent);
    const Py_ssize_t nparents = bound.shape(kParentSpeciesSignal, 0);
    if (!spins_fill_parents(nspins, spins_per_parent, nparents)) {
        return frame::value_error("parent/spin dimensions are inconsistent");
    }
    if (bound.shape(kParentSpeciesSignal, 1) != 2 ||
        bound.shape(kRxSensitivities, 0) != bound.shape(kParentSpeciesSignal, 2)) {
        return frame::value_error("parent signal shape is inconsistent");
    }
    if (bound.shape(kRxSensitivities, 1) != nspins || bound.shape(kSignalWeights, 0) != nspins) {
        return frame::value_error("receive arrays must contain every spin");
    }
    const Py_ssize_t nsteps = bound.shape(kLongitudinalGroups, 0);
    if (bound.shape(kActionOffsets, 0) != nsteps + 1) {
        return frame::value_error("action offsets must bracket every plan step");
    }
    const int num_threads = bound.integer(kNumThreads);
    if (num_threads < 1) return frame::value_error("num_threads must be positive");
    if (!frame::require_c_contiguous(bound, {kState, kTransverseState},
                                     "state arrays must be C-contiguous") ||
        !frame::require_c_contiguous(bound, {kTransverseFactors},
                                     "transverse factors must be C-contiguous")) {
        return nullptr;
    }
    const Py_ssize_t width = bound.shape(kRfAxisX, 1);
    if (width != 1 && width != nspins) {
        return frame::value_error("RF coefficient width must be one or nspins");
    }
    // A block without spins reads and writes nothing, whatever its tables hold.
    if (nspins > 0 && !check_block(bound, nsteps, nspins)) return nullptr;
    if (!frame::check_memory(kSignature, bound)) return nullptr;

    const Block block{
        bound.view<double, 3>(kState).flat(),
        bound.view<frame::Complex, 2>(kTransverseState).flat(),
        bound.view<frame::Complex, 3>(kTransverseFactors).flat(),
        bound.view<double, 2>(kKplByGroup),
        bound.view<double, 2>(kExpAByGroup),
        bound.view<double, 2>(kDifferenceByGroup),
        bound.view<std::uint8_t, 2>(kRegularByGroup),
        bound.view<double, 1>(kExpBByGroup),
        bound.view<double, 1>(kDurationByGroup),
        bound.view<std::int32_t, 1>(kRegularModeByGroup),
        bound.view<std::int32_t, 1>(kLongitudinalGroups),
        bound.view<std::int32_t, 1>(kFirstFactorGroups),
        bound.view<std::int32_t, 1>(kSecondFactorGroups),
        bound.view<std::int32_t, 1>(kRfGroups),
        bound.view<double, 2>(kRfAxisX),
        bound.view<double, 2>(kRfAxisY),
        bound.view<double, 2>(kRfCosine),
        bound.view<double, 2>(kRfSine),
        bound.view<double, 2>(kRfOneMinusCosine),
        nspins,
        nsteps,
        width != 1,
    };
    const ActionStream stream = gather_action_stream(bound, kObservation);
    const Observation observation =
        gather_observation(bound, kObservation, 2, nspins, bound.real(kSignalScale),
                           bound.flag(kIdealCrushers));
    // A parent's spins all run on one thread, in ascending local spin, so each signal element
    // sums its additions in one order for every team size.
    frame::run_region(num_threads, nparents, [&](Py_ssize_t begin, Py_ssize_t end) {
        for (Py_ssize_t parent = begin; parent < end; ++parent) {
            for (Py_ssize_t local = 0; local < spins_per_parent; ++local) {
                run_spin(block, stream, observation, parent, parent * spins_per_parent + local);
            }
        }
    });
    Py_RETURN_NONE;
}

}  // namespace korvel::plan
