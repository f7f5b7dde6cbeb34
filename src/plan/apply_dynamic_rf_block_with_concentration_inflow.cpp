// apply_dynamic_rf_block_with_concentration_inflow: two-pool source intervals with a coupled
// concentration, in one region over parents; with an action stream the block is also observed.
// The arithmetic is in kernels; the actions and their checks are shared with the plan drivers.
#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>

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
    {"concentration_state", frame::Arg::f64_array(3).modified()},
    {"kpl", frame::Arg::f64_array(1)},
    {"inflow_delivery", frame::Arg::f64_array(1)},
    {"transverse_factors", frame::Arg::c128_array(3)},
    {"exp_a_by_group", frame::Arg::f64_array(2)},
    {"exp_b_by_group", frame::Arg::f64_array(1)},
    {"difference_by_group", frame::Arg::f64_array(2)},
    {"regular_by_group", frame::Arg::bool_array(2)},
    {"f0_a_by_group", frame::Arg::f64_array(2)},
    {"f1_a_by_group", frame::Arg::f64_array(2)},
    {"j0_by_group", frame::Arg::f64_array(2)},
    {"j1_by_group", frame::Arg::f64_array(2)},
    {"concentration_exp_a_by_group", frame::Arg::f64_array(2)},
    {"concentration_exp_b_by_group", frame::Arg::f64_array(1)},
    {"concentration_difference_by_group", frame::Arg::f64_array(2)},
    {"concentration_regular_by_group", frame::Arg::bool_array(2)},
    {"concentration_f0_a_by_group", frame::Arg::f64_array(2)},
    {"concentration_f1_a_by_group", frame::Arg::f64_array(2)},
    {"concentration_j0_by_group", frame::Arg::f64_array(2)},
    {"concentration_j1_by_group", frame::Arg::f64_array(2)},
    {"duration_by_group", frame::Arg::f64_array(1)},
    {"regular_mode_by_group", frame::Arg::i32_array(1)},
    {"concentration_regular_mode_by_group", frame::Arg::i32_array(1)},
    {"longitudinal_groups", frame::Arg::i32_array(1)},
    {"first_factor_groups", frame::Arg::i32_array(1)},
    {"second_factor_groups", frame::Arg::i32_array(1)},
    {"rf_groups", frame::Arg::i32_array(1)},
    {"rf_axis_x", frame::Arg::f64_array(2)},
    {"rf_axis_y", frame::Arg::f64_array(2)},
    {"rf_cosine", frame::Arg::f64_array(2)},
    {"rf_sine", frame::Arg::f64_array(2)},
    {"rf_one_minus_cosine", frame::Arg::f64_array(2)},
    {"inflow_first_start", frame::Arg::f64_array(1)},
    {"inflow_first_end", frame::Arg::f64_array(1)},
    {"inflow_second_start", frame::Arg::f64_array(1)},
    {"inflow_second_end", frame::Arg::f64_array(1)},
    {"polarization_first_start", frame::Arg::f64_array(1)},
    {"polarization_first_end", frame::Arg::f64_array(1)},
    {"polarization_second_start", frame::Arg::f64_array(1)},
    {"polarization_second_end", frame::Arg::f64_array(1)},
    {"equilibrium", frame::Arg::real()},
    {"num_threads", frame::Arg::integer()},
    {"action_offsets", frame::Arg::i32_array(1).or_none()},
    {"action_kinds", frame::Arg::i8_array(1).or_none()},
    {"action_payloads", frame::Arg::i64_array(1).or_none()},
    {"adc_demodulation", frame::Arg::c128_array(1).or_none()},
    {"rx_sensitivities", frame::Arg::c128_array(2).or_none()},
    {"signal_weights", frame::Arg::f64_array(1).or_none()},
    {"parent_species_signal", frame::Arg::c128_array(4).or_none().modified()},
    {"checkpoint_states", frame::Arg::f64_array(4).or_none().modified()},
    {"spins_per_parent", frame::Arg::integer().defaults_to(1)},
    {"signal_scale", frame::Arg::real().defaults_to(1.0)},
    {"ideal_crushers", frame::Arg::flag().defaults_to(false)},
    {"kpl_by_group", frame::Arg::f64_array(2).or_none()},
    {"spatial_source_values", frame::Arg::f64_array(3).or_none()},
    {"source_mode", frame::Arg::integer().defaults_to(0)},
};
static_assert(frame::well_formed(kParams));
frame::Signature kSignature{"apply_dynamic_rf_block_with_concentration_inflow", kParams};

enum Index {
    kState, kTransverseState, kConcentrationState, kKpl, kInflowDelivery, kTransverseFactors,
    kExpA, kExpB, kDifference, kRegular, kF0A, kF1A, kJ0, kJ1,
    kConcentrationExpA, kConcentrationExpB, kConcentrationDifference, kConcentrationRegular,
    kConcentrationF0A, kConcentrationF1A, kConcentrationJ0, kConcentrationJ1,
    kDuration, kRegularMode, kConcentrationRegularMode,
    kLongitudinalGroups, kFirstFactorGroups, kSecondFactorGroups, kRfGroups,
    kRfAxisX, kRfAxisY, kRfCosine, kRfSine, kRfOneMinusCosine,
    kInflowFirstStart, kInflowFirstEnd, kInflowSecondStart, kInflowSecondEnd,
    kPolarizationFirstStart, kPolarizationFirstEnd, kPolarizationSecondStart,
    kPolarizationSecondEnd,
    kEquilibrium, kNumThreads,
    kActionOffsets, kActionKinds, kActionPayloads, kAdcDemodulation, kRxSensitivities,
    kSignalWeights, kParentSpeciesSignal, kCheckpointStates,
    kSpinsPerParent, kSignalScale, kIdealCrushers, kKplByGroup, kSpatialSourceValues, kSourceMode,
    kParamCount
};
static_assert(static_cast<std::size_t>(kParamCount) == std::size(kParams));

// In no-action mode the observation arrays take no part in the call, whatever they hold, so the
// memory checks (alignment, writability) see this table, where they are no arrays.
constexpr auto kNoActionParams = [] {
    std::array<frame::Param, std::size(kParams)> params{};
    for (std::size_t i = 0; i < params.size(); ++i) params[i] = kParams[i];
    for (std::size_t i = kActionKinds; i <= kCheckpointStates; ++i) {
        params[i].arg = frame::Arg::flag();
    }
    return params;
}();
frame::Signature kNoActionSignature{"apply_dynamic_rf_block_with_concentration_inflow",
                                    kNoActionParams};

constexpr ObservationArgs kObservationArgs{kActionOffsets,   kActionKinds,    kActionPayloads,
                                           kAdcDemodulation, kRxSensitivities, kSignalWeights,
                                           kParentSpeciesSignal, kCheckpointStates};

// The caller's obligations that would otherwise take the block outside its arrays, after the
// documented checks: the table shapes read, every group, factor and RF index used, and the
// actions' brackets, payloads and arrays.
bool check_block(const frame::Bound& bound, Py_ssize_t nsteps, Py_ssize_t nvoxels,
                 bool has_kpl_groups, bool has_actions) {
    const char* const factors_shape = "must have shape (nfactor_groups, 2, nvoxels)";
    return check_extent(kSignature, bound,
                        {kExpA, kDifference, kRegular, kF0A, kF1A, kJ0, kJ1, kConcentrationExpA,
                         kConcentrationDifference, kConcentrationRegular, kConcentrationF0A,
                         kConcentrationF1A, kConcentrationJ0, kConcentrationJ1},
                        1, nvoxels, "must have nvoxels columns") &&
           check_extent(kSignature, bound, {kTransverseFactors}, 1, 2, factors_shape) &&
           check_extent(kSignature, bound, {kTransverseFactors}, 2, nvoxels, factors_shape) &&
           check_step_indices(kSignature, bound, kLongitudinalGroups, nsteps,
                              {kExpA, kExpB, kDifference, kRegular, kF0A, kF1A, kJ0, kJ1,
                               kConcentrationExpA, kConcentrationExpB, kConcentrationDifference,
                               kConcentrationRegular, kConcentrationF0A, kConcentrationF1A,
                               kConcentrationJ0, kConcentrationJ1, kDuration, kRegularMode,
                               kConcentrationRegularMode}) &&
           (!has_kpl_groups ||
            check_step_indices(kSignature, bound, kLongitudinalGroups, nsteps, {kKplByGroup})) &&
           check_step_indices(kSignature, bound, kFirstFactorGroups, nsteps,
                              {kTransverseFactors}) &&
           check_step_indices(kSignature, bound, kSecondFactorGroups, nsteps,
                              {kTransverseFactors}) &&
           check_step_indices(kSignature, bound, kRfGroups, nsteps, {kRfAxisX}, true) &&
           (!has_actions || check_actions(kSignature, bound, kObservationArgs, nsteps, 2, nvoxels));
}

// One column of an array read through its byte stride: element [row] for row = group or step.
template <class T>
struct Column {
    const char* data = nullptr;
    Py_ssize_t stride = 0;

    T operator[](Py_ssize_t row) const noexcept {
        T value;
        std::memcpy(&value, data + row * stride, sizeof(T));
        return value;
    }
};

// An array read as [row, column] through its byte strides. A zero stride repeats it along that
// axis: a per-voxel array serves as a table with the same row for every group, a per-group or
// per-step array as one with the same value for every voxel.
template <class T>
struct Strided {
    const char* data = nullptr;
    Py_ssize_t row_stride = 0;
    Py_ssize_t column_stride = 0;

    Column<T> column(Py_ssize_t column) const noexcept {
        return {data + column * column_stride, row_stride};
    }
};

template <class T>
Strided<T> rows_and_columns(const frame::Buffer& buffer) noexcept {
    return {buffer.data(), buffer.stride(0), buffer.stride(1)};
}
template <class T>
Strided<T> rows_only(const frame::Buffer& buffer) noexcept {
    return {buffer.data(), buffer.stride(0), 0};
}
template <class T>
Strided<T> columns_only(const frame::Buffer& buffer) noexcept {
    return {buffer.data(), 0, buffer.stride(0)};
}

// Everything the region reads, gathered with the GIL held. Tables are [group, voxel], per-group
// values [group, any], per-step arrays [step, any], source windows [step, voxel].
struct Block {
    double* state_data;
    double* concentration_data;
    frame::Complex* transverse_data;
    const frame::Complex* factor_data;  // (nfactor_groups, 2, nvoxels)
    Py_ssize_t nvoxels;
    Py_ssize_t nsteps;
    Py_ssize_t spins_per_parent;
    double equilibrium;
    Strided<double> kpl, delivery;
    Strided<double> exp_a, exp_b, difference, f0_a, f1_a, j0, j1;
    Strided<std::uint8_t> regular, concentration_regular;
    Strided<double> concentration_exp_a, concentration_exp_b, concentration_difference;
    Strided<double> concentration_f0_a, concentration_f1_a, concentration_j0, concentration_j1;
    Strided<double> duration;
    Strided<std::int32_t> regular_mode, concentration_regular_mode;
    Strided<std::int32_t> longitudinal_groups, first_factor_groups, second_factor_groups,
        rf_groups;
    Strided<double> rf_axis_x, rf_axis_y, rf_cosine, rf_sine, rf_one_minus_cosine;
    // Per half-interval: inflow start, inflow end, polarization start, polarization end.
    std::array<std::array<Strided<double>, 4>, 2> windows;
    ActionStream stream;
    Observation observation;
};

// The block's arrays at one voxel, so that a step only indexes rows. The RF column is the
// voxel's for the spatial form and column 0 for the axis form.
struct VoxelColumns {
    Column<double> kpl, exp_a, exp_b, difference, f0_a, f1_a, j0, j1;
    Column<std::uint8_t> regular, concentration_regular;
    Column<double> concentration_exp_a, concentration_exp_b, concentration_difference;
    Column<double> concentration_f0_a, concentration_f1_a, concentration_j0, concentration_j1;
    Column<double> duration;
    Column<std::int32_t> regular_mode, concentration_regular_mode;
    Column<double> rf_axis_x, rf_axis_y, rf_cosine, rf_sine, rf_one_minus_cosine;
    std::array<std::array<Column<double>, 4>, 2> windows;

    VoxelColumns(const Block& b, Py_ssize_t voxel, Py_ssize_t rf_column) noexcept
        : kpl(b.kpl.column(voxel)),
          exp_a(b.exp_a.column(voxel)),
          exp_b(b.exp_b.column(0)),
          difference(b.difference.column(voxel)),
          f0_a(b.f0_a.column(voxel)),
          f1_a(b.f1_a.column(voxel)),
          j0(b.j0.column(voxel)),
          j1(b.j1.column(voxel)),
          regular(b.regular.column(voxel)),
          concentration_regular(b.concentration_regular.column(voxel)),
          concentration_exp_a(b.concentration_exp_a.column(voxel)),
          concentration_exp_b(b.concentration_exp_b.column(0)),
          concentration_difference(b.concentration_difference.column(voxel)),
          concentration_f0_a(b.concentration_f0_a.column(voxel)),
          concentration_f1_a(b.concentration_f1_a.column(voxel)),
          concentration_j0(b.concentration_j0.column(voxel)),
          concentration_j1(b.concentration_j1.column(voxel)),
          duration(b.duration.column(0)),
          regular_mode(b.regular_mode.column(0)),
          concentration_regular_mode(b.concentration_regular_mode.column(0)),
          rf_axis_x(b.rf_axis_x.column(rf_column)),
          rf_axis_y(b.rf_axis_y.column(rf_column)),
          rf_cosine(b.rf_cosine.column(rf_column)),
          rf_sine(b.rf_sine.column(rf_column)),
          rf_one_minus_cosine(b.rf_one_minus_cosine.column(rf_column)) {
        for (std::size_t half = 0; half < 2; ++half) {
            for (std::size_t k = 0; k < 4; ++k) windows[half][k] = b.windows[half][k].column(voxel);
        }
    }
};

// The coefficients of a step's group at one voxel, read once for both half-intervals.
struct GroupCoefficients {
    double kpl, exp_a, exp_b, difference, f0_a, f1_a, j0, j1;
    double concentration_exp_a, concentration_exp_b, concentration_difference;
    double concentration_f0_a, concentration_f1_a, concentration_j0, concentration_j1;
    double duration;
    int regular, concentration_regular, regular_mode, concentration_regular_mode;
};

inline GroupCoefficients read_group(const VoxelColumns& v, Py_ssize_t group) noexcept {
    return {v.kpl[group],
            v.exp_a[group],
            v.exp_b[group],
            v.difference[group],
            v.f0_a[group],
            v.f1_a[group],
            v.j0[group],
            v.j1[group],
            v.concentration_exp_a[group],
            v.concentration_exp_b[group],
            v.concentration_difference[group],
            v.concentration_f0_a[group],
            v.concentration_f1_a[group],
            v.concentration_j0[group],
            v.concentration_j1[group],
            v.duration[group],
            v.regular[group],
            v.concentration_regular[group],
            v.regular_mode[group],
            v.concentration_regular_mode[group]};
}

// The source selection of one half-interval; mode 1 reads no polarization, mode 2 nothing.
template <int kSourceMode>
inline kernels::_IntervalSources half_sources(const VoxelColumns& v, std::size_t half,
                                              Py_ssize_t step, double delivery) noexcept {
    const auto& w = v.windows[half];
    if constexpr (kSourceMode == 2) {
        return kernels::_select_interval_sources<2>(0.0, 0.0, 0.0, 0.0, 0.0);
    } else if constexpr (kSourceMode == 1) {
        return kernels::_select_interval_sources<1>(w[0][step], w[1][step], 0.0, 0.0, delivery);
    } else {
        return kernels::_select_interval_sources<kSourceMode>(w[0][step], w[1][step], w[2][step],
                                                              w[3][step], delivery);
    }
}

inline void coupled_half_step(double& pyruvate, double& lactate, double& concentration_pyruvate,
                              double& concentration_lactate, const GroupCoefficients& g,
                              const kernels::_IntervalSources& s, double equilibrium) noexcept {
    kernels::_advance_coupled_longitudinal_voxel(
        pyruvate, lactate, concentration_pyruvate, concentration_lactate, g.kpl, g.exp_a,
        g.exp_b, g.difference, g.regular, g.f0_a, g.f1_a, g.j0, g.j1, g.concentration_exp_a,
        g.concentration_exp_b, g.concentration_difference, g.concentration_regular,
        g.concentration_f0_a, g.concentration_f1_a, g.concentration_j0, g.concentration_j1,
        s.source_start, s.source_end, s.concentration_source_start, s.concentration_source_end,
        g.duration, equilibrium, g.regular_mode, g.concentration_regular_mode);
}

// Parents begin ... end - 1, each spin through every step, its eight working values held as
// locals from load to store. The mode choices are template parameters: no branch on them in
// the step loop.
template <int kSourceMode, bool kSpatialRf, bool kHasActions>
void advance_parents(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
    const Py_ssize_t nvoxels = b.nvoxels, nsteps = b.nsteps;
    const double equilibrium = b.equilibrium;
    const Column<std::int32_t> longitudinal_groups = b.longitudinal_groups.column(0);
    const Column<std::int32_t> first_factor_groups = b.first_factor_groups.column(0);
    const Column<std::int32_t> second_factor_groups = b.second_factor_groups.column(0);
    const Column<std::int32_t> rf_groups = b.rf_groups.column(0);
    for (Py_ssize_t parent = begin; parent < end; ++parent) {
        for (Py_ssize_t local_spin = 0; local_spin < b.spins_per_parent; ++local_spin) {
            const Py_ssize_t voxel = parent * b.spins_per_parent + local_spin;
            const VoxelColumns v(b, voxel, kSpatialRf ? voxel : 0);
            const double delivery = kSourceMode == 2 ? 0.0 : b.delivery.column(voxel)[0];
            // Pool 1 lies nvoxels elements after pool 0 in every flat array.
            const frame::Complex* const factors = b.factor_data + voxel;
            double* const pyruvate_at = b.state_data + (3 * voxel + 2);
            double* const concentration_pyruvate_at = b.concentration_data + (3 * voxel + 2);
            frame::Complex* const transverse_at = b.transverse_data + voxel;
            double pyruvate = pyruvate_at[0], lactate = pyruvate_at[3 * nvoxels];
            double concentration_pyruvate = concentration_pyruvate_at[0];
            double concentration_lactate = concentration_pyruvate_at[3 * nvoxels];
            double pyruvate_x = transverse_at[0].real, pyruvate_y = transverse_at[0].imag;
            double lactate_x = transverse_at[nvoxels].real, lactate_y = transverse_at[nvoxels].imag;

            const auto multiply_factors = [&](Py_ssize_t factor_group) {
                const frame::Complex* const factor = factors + 2 * nvoxels * factor_group;
                kernels::_evolve_transverse_voxel(pyruvate_x, pyruvate_y, factor[0].real,
                                                  factor[0].imag);
                kernels::_evolve_transverse_voxel(lactate_x, lactate_y, factor[nvoxels].real,
                                                  factor[nvoxels].imag);
            };
            for (Py_ssize_t step = 0; step < nsteps; ++step) {
                const GroupCoefficients g = read_group(v, longitudinal_groups[step]);
                multiply_factors(first_factor_groups[step]);
                coupled_half_step(pyruvate, lactate, concentration_pyruvate,
                                  concentration_lactate, g,
                                  half_sources<kSourceMode>(v, 0, step, delivery), equilibrium);
                const Py_ssize_t rf_group = rf_groups[step];
                if (rf_group >= 0) {
                    // Both pools turn with the same coefficients; concentrations never turn.
                    const double axis_x = v.rf_axis_x[rf_group], axis_y = v.rf_axis_y[rf_group];
                    const double cosine = v.rf_cosine[rf_group], sine = v.rf_sine[rf_group];
                    if constexpr (kSpatialRf) {
                        kernels::_rotate_rf_voxel_plane(pyruvate_x, pyruvate_y, pyruvate, axis_x,
                                                        axis_y, cosine, sine);
                        kernels::_rotate_rf_voxel_plane(lactate_x, lactate_y, lactate, axis_x,
                                                        axis_y, cosine, sine);
                    } else {
                        const double one_minus_cosine = v.rf_one_minus_cosine[rf_group];
                        kernels::_rotate_rf_voxel(pyruvate_x, pyruvate_y, pyruvate, axis_x,
                                                  axis_y, cosine, sine, one_minus_cosine);
                        kernels::_rotate_rf_voxel(lactate_x, lactate_y, lactate, axis_x, axis_y,
                                                  cosine, sine, one_minus_cosine);
                    }
                }
                coupled_half_step(pyruvate, lactate, concentration_pyruvate,
                                  concentration_lactate, g,
                                  half_sources<kSourceMode>(v, 1, step, delivery), equilibrium);
                multiply_factors(second_factor_groups[step]);
                if constexpr (kHasActions) {
                    TwoPoolLocals spin{pyruvate_x, pyruvate_y, pyruvate,
                                       lactate_x,  lactate_y,  lactate};
                    run_step_actions(b.stream, b.observation, step, parent, voxel, spin);
                }
            }
            pyruvate_at[0] = pyruvate;
            pyruvate_at[3 * nvoxels] = lactate;
            concentration_pyruvate_at[0] = concentration_pyruvate;
            concentration_pyruvate_at[3 * nvoxels] = concentration_lactate;
            transverse_at[0] = {pyruvate_x, pyruvate_y};
            transverse_at[nvoxels] = {lactate_x, lactate_y};
        }
    }
}

using Advance = void (*)(const Block&, Py_ssize_t, Py_ssize_t) noexcept;

template <int kSourceMode>
constexpr std::array<Advance, 4> advance_for_mode() {
    return {advance_parents<kSourceMode, false, false>, advance_parents<kSourceMode, false, true>,
            advance_parents<kSourceMode, true, false>, advance_parents<kSourceMode, true, true>};
}
// [source_mode][2 * spatial_rf + has_actions]
constexpr std::array<std::array<Advance, 4>, 4> kAdvance = {
    advance_for_mode<0>(), advance_for_mode<1>(), advance_for_mode<2>(), advance_for_mode<3>()};

}  // namespace

const char apply_dynamic_rf_block_with_concentration_inflow_doc[] =
    "Execute two-pool source intervals in one persistent parallel region.\n"
    "\n"
    "    Without action arrays this retains the established RF-waveform-block API.\n"
    "    With action arrays it also performs deterministic parent-resolved ADC,\n"
    "    crushers, and checkpoints for a bounded full-plan block. ``source_mode``\n"
    "    selects coupled concentration/polarization sources (0), direct\n"
    "    magnetization sources (1), no sources (2), or polarized magnetization\n"
    "    sources without concentration delivery (3).\n"
    "    ";

PyObject* apply_dynamic_rf_block_with_concentration_inflow(PyObject*, PyObject* const* args,
                                                           Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    const auto shape = [&bound](int i, int axis) { return bound.shape(i, axis); };

    const Py_ssize_t nvoxels = shape(kKpl, 0);
    if (shape(kState, 0) != 2 || shape(kState, 1) != nvoxels || shape(kState, 2) != 3) {
        return frame::value_error("state must have shape (2, nvoxels, 3)");
    }
    if (shape(kTransverseState, 0) != 2 || shape(kTransverseState, 1) != nvoxels) {
        return frame::value_error("transverse_state must have shape (2, nvoxels)");
    }
    if (shape(kConcentrationState, 0) != 2 || shape(kConcentrationState, 1) != nvoxels ||
        shape(kConcentrationState, 2) != 3) {
        return frame::value_error("concentration_state must have shape (2, nvoxels, 3)");
    }
    if (shape(kInflowDelivery, 0) != nvoxels) {
        return frame::value_error("inflow_delivery length must match nvoxels");
    }
    const Py_ssize_t nsteps = shape(kLongitudinalGroups, 0);
    for (const int i : {kFirstFactorGroups, kSecondFactorGroups, kRfGroups}) {
        if (shape(i, 0) != nsteps) {
            return frame::value_error("RF block arrays must have equal step counts");
        }
    }
    for (const int i : {kRfAxisY, kRfCosine, kRfSine, kRfOneMinusCosine}) {
        if (shape(i, 0) != shape(kRfAxisX, 0)) {
            return frame::value_error("RF coefficient tables must have equal group counts");
        }
    }
    const Py_ssize_t width = shape(kRfAxisX, 1);
    if (width != 1 && width != nvoxels) {
        return frame::value_error("RF coefficient width must be one or nvoxels");
    }
    for (const int i : {kRfAxisY, kRfCosine, kRfSine, kRfOneMinusCosine}) {
        if (shape(i, 1) != width) {
            return frame::value_error("RF coefficient tables must have equal widths");
        }
    }
    for (int i = kInflowFirstStart; i <= kPolarizationSecondEnd; ++i) {
        if (shape(i, 0) != nsteps) {
            return frame::value_error("source block arrays must have equal step counts");
        }
    }
    const bool has_spatial_sources = bound.has(kSpatialSourceValues);
    if (has_spatial_sources &&
        (shape(kSpatialSourceValues, 0) != 8 || shape(kSpatialSourceValues, 1) != nsteps ||
         shape(kSpatialSourceValues, 2) != nvoxels)) {
        return frame::value_error("spatial source values must have shape (8, nsteps, nvoxels)");
    }
    const int num_threads = bound.integer(kNumThreads);
    if (num_threads < 1) return frame::value_error("num_threads must be positive");
    const int source_mode = bound.integer(kSourceMode);
    if (source_mode < 0 || source_mode > 3) {
        return frame::value_error("source_mode must be between zero and three");
    }
    if (!frame::require_c_contiguous(bound, {kState, kConcentrationState},
                                     "state arrays must be C-contiguous") ||
        !frame::require_c_contiguous(bound, {kTransverseState, kTransverseFactors},
                                     "transverse arrays must be C-contiguous")) {
        return nullptr;
    }

    const bool has_actions = bound.has(kActionOffsets);
    const bool has_kpl_groups = bound.has(kKplByGroup);
    Py_ssize_t spins_per_parent = 1, nparents = nvoxels;
    if (has_actions) {
        for (const int i : {kActionKinds, kActionPayloads, kAdcDemodulation, kRxSensitivities,
                            kSignalWeights, kParentSpeciesSignal, kCheckpointStates}) {
            if (!bound.has(i)) {
                return frame::value_error("complete plan actions require observation arrays");
            }
        }
        if (shape(kActionOffsets, 0) != nsteps + 1) {
            return frame::value_error("action offsets must bracket every plan step");
        }
        spins_per_parent = bound.integer(kSpinsPerParent);
        if (spins_per_parent < 1 || nvoxels % spins_per_parent != 0) {
            return frame::value_error("parent/spin dimensions are inconsistent");
        }
        nparents = nvoxels / spins_per_parent;
        if (shape(kParentSpeciesSignal, 0) != nparents) {
            return frame::value_error("parent signal shape is inconsistent");
        }
        if (shape(kParentSpeciesSignal, 1) != 2 ||
            shape(kRxSensitivities, 0) != shape(kParentSpeciesSignal, 2)) {
            return frame::value_error("parent signal shape is inconsistent");
        }
        if (shape(kRxSensitivities, 1) != nvoxels || shape(kSignalWeights, 0) != nvoxels) {
            return frame::value_error("receive arrays must contain every spin");
        }
    }
    // Plan mode checks the columns among its own checks; no-action mode reads them just the same.
    if (has_kpl_groups && shape(kKplByGroup, 1) != nvoxels) {
        return frame::value_error("kpl_by_group must contain every spin");
    }

    // A block without spins reads and writes nothing, whatever its tables hold.
    if (nparents > 0 && !check_block(bound, nsteps, nvoxels, has_kpl_groups, has_actions)) {
        return nullptr;
    }
    if (!frame::check_memory(has_actions ? kSignature : kNoActionSignature, bound)) {
        return nullptr;
    }

    const auto buffer = [&bound](int i) -> const frame::Buffer& { return bound.buffer(i); };
    Block block{};
    block.state_data = bound.view<double, 3>(kState).flat();
    block.concentration_data = bound.view<double, 3>(kConcentrationState).flat();
    block.transverse_data = bound.view<frame::Complex, 2>(kTransverseState).flat();
    block.factor_data = bound.view<frame::Complex, 3>(kTransverseFactors).flat();
    block.nvoxels = nvoxels;
    block.nsteps = nsteps;
    block.spins_per_parent = spins_per_parent;
    block.equilibrium = bound.real(kEquilibrium);
    // Without kpl_by_group every group reads the per-voxel rates.
    block.kpl = has_kpl_groups ? rows_and_columns<double>(buffer(kKplByGroup))
                               : columns_only<double>(buffer(kKpl));
    block.delivery = columns_only<double>(buffer(kInflowDelivery));
    block.exp_a = rows_and_columns<double>(buffer(kExpA));
    block.exp_b = rows_only<double>(buffer(kExpB));
    block.difference = rows_and_columns<double>(buffer(kDifference));
    block.regular = rows_and_columns<std::uint8_t>(buffer(kRegular));
    block.f0_a = rows_and_columns<double>(buffer(kF0A));
    block.f1_a = rows_and_columns<double>(buffer(kF1A));
    block.j0 = rows_and_columns<double>(buffer(kJ0));
    block.j1 = rows_and_columns<double>(buffer(kJ1));
    block.concentration_exp_a = rows_and_columns<double>(buffer(kConcentrationExpA));
    block.concentration_exp_b = rows_only<double>(buffer(kConcentrationExpB));
    block.concentration_difference = rows_and_columns<double>(buffer(kConcentrationDifference));
    block.concentration_regular = rows_and_columns<std::uint8_t>(buffer(kConcentrationRegular));
    block.concentration_f0_a = rows_and_columns<double>(buffer(kConcentrationF0A));
    block.concentration_f1_a = rows_and_columns<double>(buffer(kConcentrationF1A));
    block.concentration_j0 = rows_and_columns<double>(buffer(kConcentrationJ0));
    block.concentration_j1 = rows_and_columns<double>(buffer(kConcentrationJ1));
    block.duration = rows_only<double>(buffer(kDuration));
    block.regular_mode = rows_only<std::int32_t>(buffer(kRegularMode));
    block.concentration_regular_mode = rows_only<std::int32_t>(buffer(kConcentrationRegularMode));
    block.longitudinal_groups = rows_only<std::int32_t>(buffer(kLongitudinalGroups));
    block.first_factor_groups = rows_only<std::int32_t>(buffer(kFirstFactorGroups));
    block.second_factor_groups = rows_only<std::int32_t>(buffer(kSecondFactorGroups));
    block.rf_groups = rows_only<std::int32_t>(buffer(kRfGroups));
    block.rf_axis_x = rows_and_columns<double>(buffer(kRfAxisX));
    block.rf_axis_y = rows_and_columns<double>(buffer(kRfAxisY));
    block.rf_cosine = rows_and_columns<double>(buffer(kRfCosine));
    block.rf_sine = rows_and_columns<double>(buffer(kRfSine));
    block.rf_one_minus_cosine = rows_and_columns<double>(buffer(kRfOneMinusCosine));
    // Row r of spatial_source_values replaces window r, in the order of the window parameters.
    constexpr int kWindowOf[2][4] = {{0, 1, 4, 5}, {2, 3, 6, 7}};
    for (std::size_t half = 0; half < 2; ++half) {
        for (std::size_t k = 0; k < 4; ++k) {
            const int window = kWindowOf[half][k];
            if (has_spatial_sources) {
                const frame::Buffer& values = buffer(kSpatialSourceValues);
                block.windows[half][k] = {values.data() + window * values.stride(0),
                                          values.stride(1), values.stride(2)};
            } else {
                block.windows[half][k] = rows_only<double>(buffer(kInflowFirstStart + window));
            }
        }
    }
    if (has_actions) {
        block.stream = gather_action_stream(bound, kObservationArgs);
        block.observation =
            gather_observation(bound, kObservationArgs, 2, nvoxels, bound.real(kSignalScale),
                               bound.flag(kIdealCrushers));
    }

    const Advance advance = kAdvance[static_cast<std::size_t>(source_mode)]
                                    [2 * static_cast<std::size_t>(width != 1) + has_actions];
    // A parent's spins all run on one thread, so each signal element sums in one order.
    frame::run_region(num_threads, nparents, [&block, advance](Py_ssize_t begin, Py_ssize_t end) {
        advance(block, begin, end);
    });
    Py_RETURN_NONE;
}

}  // namespace korvel::plan
