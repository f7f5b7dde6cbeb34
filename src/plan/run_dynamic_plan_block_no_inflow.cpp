// run_dynamic_plan_block_no_inflow: whole two-pool plan blocks in one region over parents. The
// per-spin arithmetic is in kernels; the actions and their checks are shared with the other
// plan drivers (plan/actions.hpp, plan/observation.hpp).
#include <cstdint>
#include <initializer_list>

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
enum ParamIndex {
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

constexpr EngineArgs kEngine{kState,
                             kTransverseState,
                             -1,
                             kTransverseFactors,
                             kLongitudinalGroups,
                             kFirstFactorGroups,
                             kSecondFactorGroups,
                             kRfGroups,
                             kRfAxisX,
                             kObservation};

// The block: the common part, the per-spin group tables (kpl, exp_a, difference; the regular
// mask) and the per-group values.
struct Block {
    Common common;
    Table rows[3];
    Table masks[1];
    Table exp_b, duration, regular_mode;
};

using TwoPoolRows = Rows<3, 1>;

// The step policy: the tile's rows once, per step the group's coefficients, the same
// half-step on both sides of the RF.
template <class T>
struct Policy {
    using Block = plan::Block;
    using Pools = PoolRegisters<T, 2, false>;
    static constexpr int W = kernels::kLaneCount<T>;
    const Block& b;
    TwoPoolRows rows;

    Policy(const Block& block, Index first, double* packed) noexcept : b(block) {
        rows.set(b.rows, b.masks, first, W, b.common.groups_used, packed);
    }
    struct Step {
        T kpl, exp_a, difference;
        double exp_b, duration;
        const std::uint8_t* regular;
        kernels::MaskBytes form;
    };
    Step step(Index step) const noexcept {
        const std::int32_t g = b.common.longitudinal_groups[step];
        return {rows.load<T>(0, g),
                rows.load<T>(1, g),
                rows.load<T>(2, g),
                b.exp_b.value(g),
                b.duration.value(g),
                rows.mask(0, g),
                rows.template form<W>(0, g, b.regular_mode.value<std::int32_t>(g))};
    }
    template <int kHalf>
    void half_step(const Step& c, Index, Pools& v) const noexcept {
        const T transfer = kernels::_tile_transfer(c.form, c.regular, v.z[0], c.kpl, c.exp_a,
                                                   c.exp_b, c.difference, c.duration);
        kernels::_decay_with_transfer(v.z[0], v.z[1], transfer, c.exp_a, c.exp_b);
    }
};

template <class T, bool kSpatialRf>
struct TileOf {
    template <class L>
    struct At {
        static void run(const Block& b, Index first, double* packed) noexcept {
            run_tile<Policy<L>, L, kSpatialRf>(b, first, packed);
        }
    };
};

template <int W>
struct RunBlock {
    using T = kernels::Lanes<W>;
    static constexpr int kLanes = W;
    static void run(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
        const std::size_t packed = TwoPoolRows::packed_size(b.common.groups_used, W);
        if (b.common.spatial_rf) {
            run_spins<T, TileOf<T, true>::template At>(b, begin, end, packed);
        } else {
            run_spins<T, TileOf<T, false>::template At>(b, begin, end, packed);
        }
    }
};

// The checks that keep the block inside its arrays, after the documented ones: the table
// shapes read, every group, factor and RF index used, the actions' brackets and payloads.
bool check_block(const frame::Bound& bound, Py_ssize_t nsteps, Py_ssize_t nspins) {
    const char* const factors_shape = "must have shape (nfactor_groups, 2, nspins)";
    const char* const rf_shape = "must have the shape of rf_axis_x";
    const std::initializer_list<int> rf_tables = {kRfAxisY, kRfCosine, kRfSine, kRfOneMinusCosine};
    return check_extent(kSignature, bound,
                        {kKplByGroup, kExpAByGroup, kDifferenceByGroup, kRegularByGroup}, 1, nspins,
                        "must have nspins columns") &&
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
    if (!check_parents(nspins, spins_per_parent, nparents)) return nullptr;
    if (bound.shape(kParentSpeciesSignal, 1) != 2 ||
        bound.shape(kRxSensitivities, 0) != bound.shape(kParentSpeciesSignal, 2)) {
        return frame::value_error("parent signal shape is inconsistent");
    }
    if (bound.shape(kRxSensitivities, 1) != nspins || bound.shape(kSignalWeights, 0) != nspins) {
        return frame::value_error("receive arrays must contain every spin");
    }
    const Py_ssize_t nsteps = bound.shape(kLongitudinalGroups, 0);
    if (!check_action_offsets(bound, kActionOffsets, nsteps)) return nullptr;
    const int num_threads = bound.integer(kNumThreads);
    if (!check_num_threads(num_threads)) return nullptr;
    if (!frame::require_c_contiguous(bound, {kState, kTransverseState},
                                     "state arrays must be C-contiguous") ||
        !frame::require_c_contiguous(bound, {kTransverseFactors},
                                     "transverse factors must be C-contiguous")) {
        return nullptr;
    }
    const Py_ssize_t width = bound.shape(kRfAxisX, 1);
    if (!check_rf_width(width, nspins, "RF coefficient width must be one or nspins")) {
        return nullptr;
    }
    // A block without spins reads and writes nothing, whatever its tables hold.
    if (nspins > 0 && !check_block(bound, nsteps, nspins)) return nullptr;
    if (!frame::check_memory(kSignature, bound)) return nullptr;

    Block block{
        gather_common(bound, kEngine, 2, nspins, spins_per_parent, true, bound.real(kSignalScale),
                      bound.flag(kIdealCrushers)),
        {table_of(bound.buffer(kKplByGroup), 0, 1), table_of(bound.buffer(kExpAByGroup), 0, 1),
         table_of(bound.buffer(kDifferenceByGroup), 0, 1)},
        {table_of(bound.buffer(kRegularByGroup), 0, 1)},
        table_of(bound.buffer(kExpBByGroup), 0, -1),
        table_of(bound.buffer(kDurationByGroup), 0, -1),
        table_of(bound.buffer(kRegularModeByGroup), 0, -1)};
    Common& common = block.common;
    common.spatial_rf = width != 1;
    allow_lanes(common, {&block.rows[0], &block.rows[1], &block.rows[2]}, {&block.masks[0]});
    run_parents<RunBlock>(block, num_threads, nparents);
    Py_RETURN_NONE;
}

}  // namespace korvel::plan
