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

enum ParamIndex {
    kState,
    kTransverseState,
    kConcentrationState,
    kKpl,
    kInflowDelivery,
    kTransverseFactors,
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
    kDuration,
    kRegularMode,
    kConcentrationRegularMode,
    kLongitudinalGroups,
    kFirstFactorGroups,
    kSecondFactorGroups,
    kRfGroups,
    kRfAxisX,
    kRfAxisY,
    kRfCosine,
    kRfSine,
    kRfOneMinusCosine,
    kInflowFirstStart,
    kInflowFirstEnd,
    kInflowSecondStart,
    kInflowSecondEnd,
    kPolarizationFirstStart,
    kPolarizationFirstEnd,
    kPolarizationSecondStart,
    kPolarizationSecondEnd,
    kEquilibrium,
    kNumThreads,
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
    kKplByGroup,
    kSpatialSourceValues,
    kSourceMode,
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

constexpr ObservationArgs kObservationArgs{kActionOffsets,       kActionKinds,     kActionPayloads,
                                           kAdcDemodulation,     kRxSensitivities, kSignalWeights,
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
           check_step_indices(
               kSignature, bound, kLongitudinalGroups, nsteps,
               {kExpA, kExpB, kDifference, kRegular, kF0A, kF1A, kJ0, kJ1, kConcentrationExpA,
                kConcentrationExpB, kConcentrationDifference, kConcentrationRegular,
                kConcentrationF0A, kConcentrationF1A, kConcentrationJ0, kConcentrationJ1, kDuration,
                kRegularMode, kConcentrationRegularMode}) &&
           (!has_kpl_groups ||
            check_step_indices(kSignature, bound, kLongitudinalGroups, nsteps, {kKplByGroup})) &&
           check_step_indices(kSignature, bound, kFirstFactorGroups, nsteps,
                              {kTransverseFactors}) &&
           check_step_indices(kSignature, bound, kSecondFactorGroups, nsteps,
                              {kTransverseFactors}) &&
           check_step_indices(kSignature, bound, kRfGroups, nsteps, {kRfAxisX}, true) &&
           (!has_actions || check_actions(kSignature, bound, kObservationArgs, nsteps, 2, nvoxels));
}

constexpr EngineArgs kEngine{kState,
                             kTransverseState,
                             kConcentrationState,
                             kTransverseFactors,
                             kLongitudinalGroups,
                             kFirstFactorGroups,
                             kSecondFactorGroups,
                             kRfGroups,
                             kRfAxisX,
                             kObservationArgs};

// The per-voxel rows a tile reads at every step, and its two masks.
enum Row {
    kRowKpl,
    kRowExpA,
    kRowDifference,
    kRowF0A,
    kRowF1A,
    kRowJ0,
    kRowJ1,
    kRowConcentrationExpA,
    kRowConcentrationDifference,
    kRowConcentrationF0A,
    kRowConcentrationF1A,
    kRowConcentrationJ0,
    kRowConcentrationJ1,
    kRowCount
};
using IntervalRows = Rows<kRowCount, 2>;

// The block: the common part, the per-voxel tables [group, voxel] in the order of Row, the masks
// (regular, concentration_regular), the per-group values, and per half-interval the source
// windows [step, voxel]: inflow start, inflow end, polarization start, polarization end.
struct Block {
    Common common;
    Table rows[kRowCount];
    Table masks[2];
    Table exp_b, concentration_exp_b, duration, regular_mode, concentration_regular_mode;
    Table windows[2][4];
    Table delivery;
    double equilibrium;
    int source_mode;
};

// The step policy; the source mode is fixed for the block.
template <class T, int kSourceMode>
struct Policy {
    using Block = plan::Block;
    using Pools = PoolRegisters<T, 2, true>;
    static constexpr int W = kernels::kLaneCount<T>;
    const Block& b;
    const Index first;
    T delivery{};
    IntervalRows rows;

    Policy(const Block& block, Index first_spin, double* packed) noexcept
        : b(block), first(first_spin) {
        rows.set(b.rows, b.masks, first, W, b.common.groups_used, packed);
        if constexpr (kSourceMode != 2) {
            delivery = kernels::gather_lanes<T>(b.delivery.at(0, first), b.delivery.spin_stride);
        }
    }
    struct Step {
        Index g;
        T kpl, exp_a, difference, concentration_exp_a, concentration_difference;
        double exp_b, concentration_exp_b, duration;
        const std::uint8_t *regular, *concentration_regular;
        kernels::MaskBytes form, concentration_form;
    };
    Step step(Index step) const noexcept {
        const Index g = b.common.longitudinal_groups[step];
        return {g,
                rows.load<T>(kRowKpl, g),
                rows.load<T>(kRowExpA, g),
                rows.load<T>(kRowDifference, g),
                rows.load<T>(kRowConcentrationExpA, g),
                rows.load<T>(kRowConcentrationDifference, g),
                b.exp_b.value(g),
                b.concentration_exp_b.value(g),
                b.duration.value(g),
                rows.mask(0, g),
                rows.mask(1, g),
                rows.template form<W>(0, g, b.regular_mode.value<std::int32_t>(g)),
                rows.template form<W>(1, g, b.concentration_regular_mode.value<std::int32_t>(g))};
    }
    // Mode 1 reads no polarization and mode 2 nothing.
    template <int kHalf>
    kernels::_IntervalSources<T> sources(Index step) const noexcept {
        const Table* const w = b.windows[kHalf];
        const auto window = [&](int k) { return w[k].template load<T>(step, first); };
        if constexpr (kSourceMode == 2) {
            return kernels::_select_interval_sources<2>(T{}, T{}, T{}, T{}, delivery);
        } else if constexpr (kSourceMode == 1) {
            return kernels::_select_interval_sources<1>(window(0), window(1), T{}, T{}, delivery);
        } else {
            return kernels::_select_interval_sources<kSourceMode>(window(0), window(1), window(2),
                                                                  window(3), delivery);
        }
    }
    template <int kHalf>
    void half_step(const Step& c, Index step, Pools& v) const noexcept {
        const kernels::_IntervalSources<T> s = sources<kHalf>(step);
        const Index g = c.g;
        kernels::_advance_coupled_longitudinal(
            v.z[0], v.z[1], v.c[0], v.c[1], c.kpl, c.exp_a, c.exp_b, rows.load<T>(kRowF0A, g),
            rows.load<T>(kRowF1A, g), rows.load<T>(kRowJ0, g), rows.load<T>(kRowJ1, g),
            c.concentration_exp_a, c.concentration_exp_b, rows.load<T>(kRowConcentrationF0A, g),
            rows.load<T>(kRowConcentrationF1A, g), rows.load<T>(kRowConcentrationJ0, g),
            rows.load<T>(kRowConcentrationJ1, g), s.source_start, s.source_end,
            s.concentration_source_start, s.concentration_source_end, c.duration, b.equilibrium,
            [&](T pyruvate) {
                return kernels::_tile_transfer(c.form, c.regular, pyruvate, c.kpl, c.exp_a, c.exp_b,
                                               c.difference, c.duration);
            },
            [&](T held_pyruvate) {
                return kernels::_tile_transfer(c.concentration_form, c.concentration_regular,
                                               held_pyruvate, c.kpl, c.concentration_exp_a,
                                               c.concentration_exp_b, c.concentration_difference,
                                               c.duration);
            });
    }
};

template <int kSourceMode, bool kSpatialRf>
struct TileOf {
    template <class L>
    struct At {
        static void run(const Block& b, Index first, double* packed) noexcept {
            run_tile<Policy<L, kSourceMode>, L, kSpatialRf>(b, first, packed);
        }
    };
};

// At most four lanes, also where eight fit a register: a tile of eight keeps more values live
// than the registers hold, and its spills cost more than the wider arithmetic gains (the
// AVX-512 variant ran about 25% slower with eight).
template <int W>
struct RunLanes {
    static constexpr int kLanes = W < 4 ? W : 4;
    using T = kernels::Lanes<kLanes>;
    template <int kSourceMode>
    static void run_mode(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
        const std::size_t packed = IntervalRows::packed_size(b.common.groups_used, kLanes);
        if (b.common.spatial_rf) {
            run_spins<T, TileOf<kSourceMode, true>::template At>(b, begin, end, packed);
        } else {
            run_spins<T, TileOf<kSourceMode, false>::template At>(b, begin, end, packed);
        }
    }
    static void run(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
        switch (b.source_mode) {
            case 0: return run_mode<0>(b, begin, end);
            case 1: return run_mode<1>(b, begin, end);
            case 2: return run_mode<2>(b, begin, end);
            default: return run_mode<3>(b, begin, end);
        }
    }
};

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

    const auto table = [&bound](int i, int row_axis, int spin_axis) {
        return table_of(bound.buffer(i), row_axis, spin_axis);
    };
    Block block{gather_common(bound, kEngine, 2, nvoxels, spins_per_parent, has_actions,
                              bound.real(kSignalScale), bound.flag(kIdealCrushers)),
                {},
                {table(kRegular, 0, 1), table(kConcentrationRegular, 0, 1)},
                table(kExpB, 0, -1),
                table(kConcentrationExpB, 0, -1),
                table(kDuration, 0, -1),
                table(kRegularMode, 0, -1),
                table(kConcentrationRegularMode, 0, -1),
                {},
                table(kInflowDelivery, -1, 0),
                bound.real(kEquilibrium),
                source_mode};
    // Without kpl_by_group every group reads the per-voxel rates.
    constexpr int kRowTables[kRowCount] = {-1,
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
                                           kConcentrationJ1};
    for (int r = kRowKpl + 1; r < kRowCount; ++r) block.rows[r] = table(kRowTables[r], 0, 1);
    block.rows[kRowKpl] = has_kpl_groups ? table(kKplByGroup, 0, 1) : table(kKpl, -1, 0);
    // Row r of spatial_source_values replaces window r, in the order of the window parameters.
    constexpr int kWindowOf[2][4] = {{0, 1, 4, 5}, {2, 3, 6, 7}};
    for (int half = 0; half < 2; ++half) {
        for (int k = 0; k < 4; ++k) {
            const int window = kWindowOf[half][k];
            if (has_spatial_sources) {
                const frame::Buffer& values = bound.buffer(kSpatialSourceValues);
                block.windows[half][k] = {values.data() + window * values.stride(0),
                                          values.stride(1), values.stride(2)};
            } else {
                block.windows[half][k] = table(kInflowFirstStart + window, 0, -1);
            }
        }
    }
    Common& common = block.common;
    common.spatial_rf = width != 1;
    allow_lanes(
        common,
        {&block.rows[0], &block.rows[1], &block.rows[2], &block.rows[3], &block.rows[4],
         &block.rows[5], &block.rows[6], &block.rows[7], &block.rows[8], &block.rows[9],
         &block.rows[10], &block.rows[11], &block.rows[12]},
        {&block.masks[0], &block.masks[1]},
        {&block.windows[0][0], &block.windows[0][1], &block.windows[0][2], &block.windows[0][3],
         &block.windows[1][0], &block.windows[1][1], &block.windows[1][2], &block.windows[1][3]});
    run_parents<RunLanes>(block, num_threads, nparents);
    Py_RETURN_NONE;
}

}  // namespace korvel::plan
