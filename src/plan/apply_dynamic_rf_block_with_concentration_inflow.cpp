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
#include "frame/simd.hpp"
#include "kernels/lanes.hpp"
#include "kernels/voxel_ops.hpp"
#include "plan/actions.hpp"
#include "plan/lane_actions.hpp"
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
    Py_ssize_t groups_used;  // 1 + the largest longitudinal group of the block's steps
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
inline kernels::_IntervalSources<double> half_sources(const VoxelColumns& v, std::size_t half,
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
                              const kernels::_IntervalSources<double>& s,
                              double equilibrium) noexcept {
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

// Tiles: W consecutive voxels (one per lane, kernels/lanes.hpp) through every step together.
// They need each per-voxel row read with unit stride, or stride 0 (the same value for every
// voxel), and mask rows of single bytes; a tile of one voxel reads any stride.

template <class T>
inline T lanes_of(const Strided<double>& table, Py_ssize_t row, Py_ssize_t first) noexcept {
    const char* const at = table.data + row * table.row_stride;
    if constexpr (sizeof(T) == sizeof(double)) {
        return kernels::gather_lanes<T>(at + first * table.column_stride, 0);
    } else {
        if (table.column_stride == 0) return kernels::splat<T>(Column<double>{at, 0}[0]);
        return kernels::load_lanes<T>(reinterpret_cast<const double*>(at) + first);
    }
}

inline const std::uint8_t* bytes_of(const Strided<std::uint8_t>& table, Py_ssize_t row,
                                    Py_ssize_t first) noexcept {
    return reinterpret_cast<const std::uint8_t*>(table.data + row * table.row_stride +
                                                 first * table.column_stride);
}

// The per-voxel coefficient rows a tile reads at every step: row r of group g holds the tile's
// W values at start[r] + g * group_stride[r] (the mask rows likewise, in bytes), in the tables
// themselves or in a copy packed on the thread's stack. Tables of one shape tend to lie at the
// same offset within a page, so a step's rows from a dozen tables compete for one set of the L1
// cache and miss it again at every step; the packed copy holds them side by side, read from the
// tables once per tile. Packing pays when the block's groups are few and read at many steps.
enum Row { kRowKpl, kRowExpA, kRowDifference, kRowF0A, kRowF1A, kRowJ0, kRowJ1,
           kRowConcentrationExpA, kRowConcentrationDifference, kRowConcentrationF0A,
           kRowConcentrationF1A, kRowConcentrationJ0, kRowConcentrationJ1, kRowCount };
constexpr std::size_t kPackedDoubles = 4096;  // 32 KiB of each thread's stack

struct IntervalRows {
    const double* start[kRowCount];
    std::ptrdiff_t group_stride[kRowCount];  // in doubles
    const std::uint8_t* mask_start[2];  // regular, concentration_regular
    std::ptrdiff_t mask_group_stride[2];

    template <class T>
    T load(int row, Py_ssize_t g) const noexcept {
        const std::size_t r = static_cast<std::size_t>(row);
        return kernels::load_lanes<T>(start[r] + g * group_stride[r]);
    }
    const std::uint8_t* mask(int which, Py_ssize_t g) const noexcept {
        const std::size_t m = static_cast<std::size_t>(which);
        return mask_start[m] + g * mask_group_stride[m];
    }
};

// The rows of the voxels from `first` on; with `packed`, copied there (groups, then rows, then
// lanes; the masks after all the doubles).
inline void set_interval_rows(const Block& b, Py_ssize_t first, int lanes, double* packed,
                              IntervalRows& rows) noexcept {
    const Strided<double>* const tables[kRowCount] = {
        &b.kpl, &b.exp_a, &b.difference, &b.f0_a, &b.f1_a, &b.j0, &b.j1,
        &b.concentration_exp_a, &b.concentration_difference, &b.concentration_f0_a,
        &b.concentration_f1_a, &b.concentration_j0, &b.concentration_j1};
    const Strided<std::uint8_t>* const masks[2] = {&b.regular, &b.concentration_regular};
    for (std::size_t r = 0; r < kRowCount; ++r) {
        rows.start[r] = reinterpret_cast<const double*>(tables[r]->data +
                                                        first * tables[r]->column_stride);
        rows.group_stride[r] = tables[r]->row_stride / static_cast<Py_ssize_t>(sizeof(double));
    }
    for (std::size_t m = 0; m < 2; ++m) {
        rows.mask_start[m] = bytes_of(*masks[m], 0, first);
        rows.mask_group_stride[m] = masks[m]->row_stride;
    }
    if (packed == nullptr) return;
    const std::ptrdiff_t group_size = kRowCount * lanes;
    for (std::size_t r = 0; r < kRowCount; ++r) {
        for (Py_ssize_t g = 0; g < b.groups_used; ++g) {
            __builtin_memcpy(packed + g * group_size + static_cast<Py_ssize_t>(r) * lanes,
                             rows.start[r] + g * rows.group_stride[r],
                             static_cast<std::size_t>(lanes) * sizeof(double));
        }
        rows.start[r] = packed + static_cast<Py_ssize_t>(r) * lanes;
        rows.group_stride[r] = group_size;
    }
    auto* const packed_masks = reinterpret_cast<std::uint8_t*>(packed + b.groups_used * group_size);
    for (std::size_t m = 0; m < 2; ++m) {
        for (Py_ssize_t g = 0; g < b.groups_used; ++g) {
            __builtin_memcpy(packed_masks + (2 * g + static_cast<Py_ssize_t>(m)) * lanes,
                             rows.mask(static_cast<int>(m), g), static_cast<std::size_t>(lanes));
        }
        rows.mask_start[m] = packed_masks + static_cast<Py_ssize_t>(m) * lanes;
        rows.mask_group_stride[m] = 2 * lanes;
    }
}

// Doubles a packed copy of `groups` groups takes, masks included.
constexpr std::size_t packed_size(Py_ssize_t groups, int lanes) noexcept {
    return static_cast<std::size_t>(groups * (kRowCount * lanes + (2 * lanes + 7) / 8));
}

// The voxels first .. first + W - 1 of `parent`'s block of spins through every step, their
// eight working values held in lanes from load to store.
template <class T, int kSourceMode, bool kSpatialRf, bool kHasActions>
inline void run_tile(const Block& b, Py_ssize_t first, double* packed) noexcept {
    constexpr int W = kernels::kLaneCount<T>;
    IntervalRows rows;
    set_interval_rows(b, first, W, packed, rows);
    constexpr std::ptrdiff_t kStateRow = 3 * sizeof(double);
    const Py_ssize_t nvoxels = b.nvoxels;
    const double equilibrium = b.equilibrium;
    char* const pyruvate_at = reinterpret_cast<char*>(b.state_data + (3 * first + 2));
    constexpr auto kDouble = static_cast<Py_ssize_t>(sizeof(double));
    char* const lactate_at = pyruvate_at + 3 * nvoxels * kDouble;
    char* const concentration_pyruvate_at =
        reinterpret_cast<char*>(b.concentration_data + (3 * first + 2));
    char* const concentration_lactate_at = concentration_pyruvate_at + 3 * nvoxels * kDouble;
    double* const transverse = reinterpret_cast<double*>(b.transverse_data + first);
    const double* const factors = reinterpret_cast<const double*>(b.factor_data + first);
    const Py_ssize_t pool_offset = 2 * nvoxels;  // doubles from pool 0 to pool 1

    TwoPoolLanes<T> v;
    kernels::load_complex_lanes(transverse, v.pyruvate_x, v.pyruvate_y);
    kernels::load_complex_lanes(transverse + pool_offset, v.lactate_x, v.lactate_y);
    v.pyruvate_z = kernels::gather_lanes<T>(pyruvate_at, kStateRow);
    v.lactate_z = kernels::gather_lanes<T>(lactate_at, kStateRow);
    T concentration_pyruvate = kernels::gather_lanes<T>(concentration_pyruvate_at, kStateRow);
    T concentration_lactate = kernels::gather_lanes<T>(concentration_lactate_at, kStateRow);
    T delivery{};
    if constexpr (kSourceMode != 2) {
        delivery = kernels::gather_lanes<T>(b.delivery.data + first * b.delivery.column_stride,
                                            b.delivery.column_stride);
    }
    Tile<T> tile{first, b.spins_per_parent, T{}};
    if constexpr (kHasActions) tile = tile_at<T>(b.observation, first, b.spins_per_parent);

    const auto multiply_factors = [&](Py_ssize_t factor_group) {
        const double* const factor = factors + 2 * pool_offset * factor_group;
        T factor_real, factor_imag;
        kernels::load_complex_lanes(factor, factor_real, factor_imag);
        kernels::_evolve_transverse_voxel(v.pyruvate_x, v.pyruvate_y, factor_real, factor_imag);
        kernels::load_complex_lanes(factor + pool_offset, factor_real, factor_imag);
        kernels::_evolve_transverse_voxel(v.lactate_x, v.lactate_y, factor_real, factor_imag);
    };
    const auto sources = [&](std::size_t half, Py_ssize_t step) {
        const auto& w = b.windows[half];
        if constexpr (kSourceMode == 2) {
            return kernels::_select_interval_sources<2>(T{}, T{}, T{}, T{}, delivery);
        } else if constexpr (kSourceMode == 1) {
            return kernels::_select_interval_sources<1>(lanes_of<T>(w[0], step, first),
                                                        lanes_of<T>(w[1], step, first), T{}, T{},
                                                        delivery);
        } else {
            return kernels::_select_interval_sources<kSourceMode>(
                lanes_of<T>(w[0], step, first), lanes_of<T>(w[1], step, first),
                lanes_of<T>(w[2], step, first), lanes_of<T>(w[3], step, first), delivery);
        }
    };
    const Column<std::int32_t> longitudinal_groups = b.longitudinal_groups.column(0);
    const Column<std::int32_t> first_factor_groups = b.first_factor_groups.column(0);
    const Column<std::int32_t> second_factor_groups = b.second_factor_groups.column(0);
    const Column<std::int32_t> rf_groups = b.rf_groups.column(0);
    for (Py_ssize_t step = 0; step < b.nsteps; ++step) {
        const Py_ssize_t g = longitudinal_groups[step];
        const T kpl = rows.load<T>(kRowKpl, g), exp_a = rows.load<T>(kRowExpA, g);
        const T difference = rows.load<T>(kRowDifference, g);
        const T concentration_exp_a = rows.load<T>(kRowConcentrationExpA, g);
        const T concentration_difference = rows.load<T>(kRowConcentrationDifference, g);
        const double exp_b = b.exp_b.column(0)[g];
        const double concentration_exp_b = b.concentration_exp_b.column(0)[g];
        const double duration = b.duration.column(0)[g];
        const std::uint8_t* const regular = rows.mask(0, g);
        const std::uint8_t* const concentration_regular = rows.mask(1, g);
        const kernels::MaskBytes form =
            kernels::_tile_form(b.regular_mode.column(0)[g], regular, W);
        const kernels::MaskBytes concentration_form = kernels::_tile_form(
            b.concentration_regular_mode.column(0)[g], concentration_regular, W);
        const auto half_step = [&](const kernels::_IntervalSources<T>& s) {
            kernels::_advance_coupled_longitudinal(
                v.pyruvate_z, v.lactate_z, concentration_pyruvate, concentration_lactate, kpl,
                exp_a, exp_b, rows.load<T>(kRowF0A, g), rows.load<T>(kRowF1A, g),
                rows.load<T>(kRowJ0, g), rows.load<T>(kRowJ1, g), concentration_exp_a,
                concentration_exp_b, rows.load<T>(kRowConcentrationF0A, g),
                rows.load<T>(kRowConcentrationF1A, g), rows.load<T>(kRowConcentrationJ0, g),
                rows.load<T>(kRowConcentrationJ1, g), s.source_start, s.source_end,
                s.concentration_source_start, s.concentration_source_end, duration, equilibrium,
                [&](T pyruvate) {
                    return kernels::_tile_transfer(form, regular, pyruvate, kpl, exp_a, exp_b,
                                                   difference, duration);
                },
                [&](T held_pyruvate) {
                    return kernels::_tile_transfer(concentration_form, concentration_regular,
                                                   held_pyruvate, kpl, concentration_exp_a,
                                                   concentration_exp_b, concentration_difference,
                                                   duration);
                });
        };

        multiply_factors(first_factor_groups[step]);
        half_step(sources(0, step));
        const Py_ssize_t rf_group = rf_groups[step];
        if (rf_group >= 0) {
            // Both pools turn with the same coefficients; concentrations never turn.
            if constexpr (kSpatialRf) {
                const T axis_x = lanes_of<T>(b.rf_axis_x, rf_group, first);
                const T axis_y = lanes_of<T>(b.rf_axis_y, rf_group, first);
                const T cosine = lanes_of<T>(b.rf_cosine, rf_group, first);
                const T sine = lanes_of<T>(b.rf_sine, rf_group, first);
                kernels::_rotate_rf_voxel_plane(v.pyruvate_x, v.pyruvate_y, v.pyruvate_z, axis_x,
                                                axis_y, cosine, sine);
                kernels::_rotate_rf_voxel_plane(v.lactate_x, v.lactate_y, v.lactate_z, axis_x,
                                                axis_y, cosine, sine);
            } else {
                const double axis_x = b.rf_axis_x.column(0)[rf_group];
                const double axis_y = b.rf_axis_y.column(0)[rf_group];
                const double cosine = b.rf_cosine.column(0)[rf_group];
                const double sine = b.rf_sine.column(0)[rf_group];
                const double one_minus_cosine = b.rf_one_minus_cosine.column(0)[rf_group];
                kernels::_rotate_rf_voxel(v.pyruvate_x, v.pyruvate_y, v.pyruvate_z, axis_x,
                                          axis_y, cosine, sine, one_minus_cosine);
                kernels::_rotate_rf_voxel(v.lactate_x, v.lactate_y, v.lactate_z, axis_x, axis_y,
                                          cosine, sine, one_minus_cosine);
            }
        }
        half_step(sources(1, step));
        multiply_factors(second_factor_groups[step]);
        if constexpr (kHasActions) run_tile_actions(b.stream, b.observation, step, tile, v);
    }
    kernels::store_complex_lanes(transverse, v.pyruvate_x, v.pyruvate_y);
    kernels::store_complex_lanes(transverse + pool_offset, v.lactate_x, v.lactate_y);
    kernels::scatter_lanes(pyruvate_at, kStateRow, v.pyruvate_z);
    kernels::scatter_lanes(lactate_at, kStateRow, v.lactate_z);
    kernels::scatter_lanes(concentration_pyruvate_at, kStateRow, concentration_pyruvate);
    kernels::scatter_lanes(concentration_lactate_at, kStateRow, concentration_lactate);
}

// Parents begin .. end - 1: their voxels in whole tiles, the rest one by one.
template <class T, int kSourceMode, bool kSpatialRf, bool kHasActions>
inline void run_tiles(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
    constexpr int W = kernels::kLaneCount<T>;
    const bool pack =
        packed_size(b.groups_used, W) <= kPackedDoubles && 2 * b.groups_used <= b.nsteps;
    alignas(64) double packed[kPackedDoubles];
    const Py_ssize_t last = end * b.spins_per_parent;
    Py_ssize_t voxel = begin * b.spins_per_parent;
    for (; voxel + W <= last; voxel += W) {
        run_tile<T, kSourceMode, kSpatialRf, kHasActions>(b, voxel, pack ? packed : nullptr);
    }
    for (; voxel < last; ++voxel) {
        run_tile<double, kSourceMode, kSpatialRf, kHasActions>(b, voxel, nullptr);
    }
}

template <class T>
inline void run_lanes(const Block& b, Py_ssize_t begin, Py_ssize_t end, int source_mode,
                      bool spatial_rf, bool has_actions) noexcept {
    const auto with_mode = [&]<int kSourceMode>() {
        if (spatial_rf) {
            has_actions ? run_tiles<T, kSourceMode, true, true>(b, begin, end)
                        : run_tiles<T, kSourceMode, true, false>(b, begin, end);
        } else {
            has_actions ? run_tiles<T, kSourceMode, false, true>(b, begin, end)
                        : run_tiles<T, kSourceMode, false, false>(b, begin, end);
        }
    };
    switch (source_mode) {
        case 0:
            return with_mode.template operator()<0>();
        case 1:
            return with_mode.template operator()<1>();
        case 2:
            return with_mode.template operator()<2>();
        default:
            return with_mode.template operator()<3>();
    }
}

// What a region needs besides the block: the choices that pick the tile variant.
struct Choices {
    int source_mode;
    bool spatial_rf;
    bool has_actions;
};

// At most four lanes, also where eight fit a register: a tile of eight keeps more values live
// than the registers hold, and its spills cost more than the wider arithmetic gains (the
// AVX-512 variant ran about 25% slower with eight).
template <int W>
struct RunLanes {
    static constexpr int kLanes = W < 4 ? W : 4;
    static void run(const Block& b, Py_ssize_t begin, Py_ssize_t end, Choices c) noexcept {
        run_lanes<kernels::Lanes<kLanes>>(b, begin, end, c.source_mode, c.spatial_rf,
                                          c.has_actions);
    }
};

// Tiles read W voxels of a row at once: unit strides (or zero, a value shared by every voxel)
// along the voxels, single-byte masks; with actions, an order of the signal's additions that
// tiles keep (one spin per parent, or no ADC sample written twice).
bool tiles_allowed(const Block& b, bool spatial_rf, bool has_actions, Py_ssize_t nadc,
                   Py_ssize_t nactions) noexcept {
    for (const Strided<double>* table :
         {&b.kpl, &b.exp_a, &b.difference, &b.f0_a, &b.f1_a, &b.j0, &b.j1,
          &b.concentration_exp_a, &b.concentration_difference, &b.concentration_f0_a,
          &b.concentration_f1_a, &b.concentration_j0, &b.concentration_j1}) {
        if (table->column_stride != sizeof(double)) return false;
    }
    for (const auto& half : b.windows) {
        for (const Strided<double>& window : half) {
            if (window.column_stride != 0 && window.column_stride != sizeof(double)) return false;
        }
    }
    if (b.regular.column_stride != 1 || b.concentration_regular.column_stride != 1) return false;
    if (spatial_rf) {
        for (const Strided<double>* table :
             {&b.rf_axis_x, &b.rf_axis_y, &b.rf_cosine, &b.rf_sine}) {
            if (table->column_stride != sizeof(double)) return false;
        }
    }
    return !has_actions || b.spins_per_parent == 1 ||
           adc_samples_unique(b.stream, b.nsteps, nactions, nadc);
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

    for (Py_ssize_t step = 0; step < nsteps; ++step) {
        const Py_ssize_t group = block.longitudinal_groups.column(0)[step];
        if (group + 1 > block.groups_used) block.groups_used = group + 1;
    }
    const bool spatial_rf = width != 1;
    // A parent's spins all run on one thread, so each signal element sums in one order.
    if (nvoxels > 0 && tiles_allowed(block, spatial_rf, has_actions,
                                     has_actions ? shape(kParentSpeciesSignal, 3) : 0,
                                     has_actions ? shape(kActionKinds, 0) : 0)) {
        const auto runner =
            frame::simd_variant<RunLanes, const Block&, Py_ssize_t, Py_ssize_t, Choices>();
        const Choices choices{source_mode, spatial_rf, has_actions};
        frame::run_region(num_threads, nparents, [&](Py_ssize_t begin, Py_ssize_t end) {
            runner(block, begin, end, choices);
        });
        Py_RETURN_NONE;
    }
    const Advance advance = kAdvance[static_cast<std::size_t>(source_mode)]
                                    [2 * static_cast<std::size_t>(spatial_rf) + has_actions];
    frame::run_region(num_threads, nparents, [&block, advance](Py_ssize_t begin, Py_ssize_t end) {
        advance(block, begin, end);
    });
    Py_RETURN_NONE;
}

}  // namespace korvel::plan
