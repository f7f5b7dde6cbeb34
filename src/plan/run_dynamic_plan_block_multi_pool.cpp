// run_dynamic_plan_block_multi_pool: a bounded plan block of one precursor converting into
// several products, with concentrations, sources, RF and the shared action stream, in one
// parallel region over parents. The arithmetic lives in kernels; actions in plan/actions.hpp.
#include <cstdint>

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
    {"transverse_factors", frame::Arg::c128_array(3)},
    {"conversion_rates_by_group", frame::Arg::f64_array(3)},
    {"exp_precursor_by_group", frame::Arg::f64_array(2)},
    {"exp_products_by_group", frame::Arg::f64_array(2)},
    {"transfer_factor_by_group", frame::Arg::f64_array(3)},
    {"f0_precursor_by_group", frame::Arg::f64_array(2)},
    {"f1_precursor_by_group", frame::Arg::f64_array(2)},
    {"j0_by_group", frame::Arg::f64_array(3)},
    {"j1_by_group", frame::Arg::f64_array(3)},
    {"concentration_exp_precursor_by_group", frame::Arg::f64_array(2)},
    {"concentration_exp_products_by_group", frame::Arg::f64_array(2)},
    {"concentration_transfer_factor_by_group", frame::Arg::f64_array(3)},
    {"concentration_f0_precursor_by_group", frame::Arg::f64_array(2)},
    {"concentration_f1_precursor_by_group", frame::Arg::f64_array(2)},
    {"concentration_j0_by_group", frame::Arg::f64_array(3)},
    {"concentration_j1_by_group", frame::Arg::f64_array(3)},
    {"duration_by_group", frame::Arg::f64_array(1)},
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
    {"inflow_delivery", frame::Arg::f64_array(1)},
    {"equilibrium", frame::Arg::real()},
    {"source_mode", frame::Arg::integer()},
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
    {"spatial_source_values", frame::Arg::f64_array(3).or_none()},
};
static_assert(frame::well_formed(kParams));
frame::Signature kSignature{"run_dynamic_plan_block_multi_pool", kParams};
enum ParamIndex {
    kState,
    kTransverseState,
    kConcentrationState,
    kTransverseFactors,
    kConversionRates,
    kExpPrecursor,
    kExpProducts,
    kTransferFactor,
    kF0Precursor,
    kF1Precursor,
    kJ0,
    kJ1,
    kConcentrationExpPrecursor,
    kConcentrationExpProducts,
    kConcentrationTransferFactor,
    kConcentrationF0Precursor,
    kConcentrationF1Precursor,
    kConcentrationJ0,
    kConcentrationJ1,
    kDuration,
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
    kInflowDelivery,
    kEquilibrium,
    kSourceMode,
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
    kSpatialSourceValues,
};
constexpr ObservationArgs kObservation{kActionOffsets,       kActionKinds,     kActionPayloads,
                                       kAdcDemodulation,     kRxSensitivities, kSignalWeights,
                                       kParentSpeciesSignal, kCheckpointStates};
constexpr int kPrecursorTables[6] = {kExpPrecursor,
                                     kF0Precursor,
                                     kF1Precursor,
                                     kConcentrationExpPrecursor,
                                     kConcentrationF0Precursor,
                                     kConcentrationF1Precursor};
constexpr int kProductTables[7] = {
    kConversionRates, kTransferFactor, kJ0, kJ1, kConcentrationTransferFactor,
    kConcentrationJ0, kConcentrationJ1};

constexpr EngineArgs kEngine{kState,
                             kTransverseState,
                             kConcentrationState,
                             kTransverseFactors,
                             kLongitudinalGroups,
                             kFirstFactorGroups,
                             kSecondFactorGroups,
                             kRfGroups,
                             kRfAxisX,
                             kObservation};

// The block: the common part, the per-spin precursor tables [g, spin], the per-spin product
// tables [g, q, spin], the per-group product columns [g, q], and the sources.
struct Block {
    Common common;
    Table precursor[6];  // exp, f0, f1, then the concentration's
    Table products[7];   // conversion rates, transfer, j0, j1, then the concentration's
    Table exp_products, concentration_exp_products, duration;
    Table windows[8];  // [step, spin], in the order of the planes of spatial_source_values
    Table delivery;
    double equilibrium;
    int source_mode;
    bool spatial_sources;
};

// Tiles hold the rows of the six precursor tables, then of the seven product tables, product
// by product.
template <int P>
using MultiPoolRows = Rows<6 + 7 * (P - 1)>;

template <class T, int P>
struct LaneColumn {
    const MultiPoolRows<P>* rows;
    int table;
    std::int32_t g;
    T operator[](std::int64_t q) const noexcept {
        return rows->template load<T>(6 + table * (P - 1) + static_cast<int>(q), g);
    }
};

// A product column of one group, through the product stride: per spin or per group.
inline kernels::_Strided<const double> product_column(const Table& table, std::int32_t g,
                                                      Index spin) noexcept {
    return {reinterpret_cast<const double*>(table.at(g, spin)),
            table.product_stride / static_cast<Index>(sizeof(double))};
}

// The step policy for P pools in lanes, or (P = 0) any pool count one spin at a time in place.
template <class T, int P, bool kSpatialSources>
struct Policy {
    using Block = plan::Block;
    using Pools = std::conditional_t<P == 0, PoolsInPlace, PoolRegisters<T, P, true>>;
    const Block& b;
    const Index first;
    T delivery;
    MultiPoolRows<P == 0 ? 1 : P> rows;

    Policy(const Block& block, Index first_spin, double* packed) noexcept
        : b(block), first(first_spin) {
        delivery = kernels::gather_lanes<T>(b.delivery.at(0, first), b.delivery.spin_stride);
        if constexpr (P > 0) {
            Table tables[MultiPoolRows<P>::kN];
            for (int k = 0; k < 6; ++k) tables[k] = b.precursor[k];
            for (int t = 0; t < 7; ++t) {
                for (int q = 0; q < P - 1; ++q)
                    tables[6 + t * (P - 1) + q] = b.products[t].product(q);
            }
            const Table no_masks[1] = {};
            rows.set(tables, no_masks, first, kernels::kLaneCount<T>, b.common.groups_used, packed);
        }
    }
    auto step(Index step) const noexcept {
        const std::int32_t g = b.common.longitudinal_groups[step];
        const auto group_column = [g](const Table& table) { return product_column(table, g, 0); };
        if constexpr (P > 0) {
            using Column = LaneColumn<T, P>;
            return kernels::_MultiPoolGroup<T, Column, kernels::_Strided<const double>>{
                rows.template load<T>(0, g),  rows.template load<T>(1, g),
                rows.template load<T>(2, g),  rows.template load<T>(3, g),
                rows.template load<T>(4, g),  rows.template load<T>(5, g),
                group_column(b.exp_products), group_column(b.concentration_exp_products),
                Column{&rows, 0, g},          Column{&rows, 1, g},
                Column{&rows, 2, g},          Column{&rows, 3, g},
                Column{&rows, 4, g},          Column{&rows, 5, g},
                Column{&rows, 6, g}};
        } else {
            const auto column = [&](int t) { return product_column(b.products[t], g, first); };
            return kernels::_MultiPoolGroup<double, kernels::_Strided<const double>,
                                            kernels::_Strided<const double>>{
                b.precursor[0].load<T>(g, first),
                b.precursor[1].load<T>(g, first),
                b.precursor[2].load<T>(g, first),
                b.precursor[3].load<T>(g, first),
                b.precursor[4].load<T>(g, first),
                b.precursor[5].load<T>(g, first),
                group_column(b.exp_products),
                group_column(b.concentration_exp_products),
                column(0),
                column(1),
                column(2),
                column(3),
                column(4),
                column(5),
                column(6)};
        }
    }
    // The half's sources (planes 0, 1, 4, 5 or 2, 3, 6, 7), then every pool's half-step.
    template <int kHalf, class Group>
    void half_step(const Group& group, Index step, Pools& v) const noexcept {
        constexpr int kInflow = 2 * kHalf, kPolarization = 4 + 2 * kHalf;
        const auto window = [&](int plane) {
            if constexpr (kSpatialSources) {
                return b.windows[plane].template load<T>(step, first);
            } else {
                return b.windows[plane].value(step);
            }
        };
        const kernels::_MultiPoolSources<T> sources = kernels::_multi_pool_sources<kHalf == 1>(
            b.source_mode, delivery, window(kInflow), window(kInflow + 1), window(kPolarization),
            window(kPolarization + 1));
        const double interval = b.duration.value(b.common.longitudinal_groups[step]);
        kernels::_advance_multi_pool_voxel(v.z, v.c, v.count(), group, interval, sources,
                                           b.equilibrium);
    }
};

template <int P, bool kSpatialRf, bool kSpatialSources>
struct TileOf {
    template <class L>
    struct At {
        static void run(const Block& b, Index first, double* packed) noexcept {
            run_tile<Policy<L, P, kSpatialSources>, L, kSpatialRf>(b, first, packed);
        }
    };
};

template <int W>
struct RunBlock {
    static constexpr int kLanes = W;
    template <class T, int P>
    static void run_pools(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
        const std::size_t packed =
            P == 0 ? 0
                   : MultiPoolRows<P>::packed_size(b.common.groups_used, kernels::kLaneCount<T>);
        const bool spatial_sources = b.spatial_sources;
        if (b.common.spatial_rf) {
            spatial_sources
                ? run_spins<T, TileOf<P, true, true>::template At>(b, begin, end, packed)
                : run_spins<T, TileOf<P, true, false>::template At>(b, begin, end, packed);
        } else {
            spatial_sources
                ? run_spins<T, TileOf<P, false, true>::template At>(b, begin, end, packed)
                : run_spins<T, TileOf<P, false, false>::template At>(b, begin, end, packed);
        }
    }
    static void run(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
        switch (b.common.states.npools) {
            case 3: return run_pools<kernels::Lanes<W>, 3>(b, begin, end);
            case 4: return run_pools<kernels::Lanes<W>, 4>(b, begin, end);
            default: return run_pools<double, 0>(b, begin, end);
        }
    }
};

// The caller's obligations the block relies on, for a block with spins, each failing with a
// ValueError that names the array: flat state arrays, table shapes, sources, group indices
// within their tables, then the action stream.
bool check_obligations(const frame::Bound& bound, Py_ssize_t npools, Py_ssize_t nspins,
                       Py_ssize_t nsteps, Py_ssize_t width) {
    const frame::Signature& sig = kSignature;
    const Py_ssize_t nproducts = npools - 1;
    const char* const factors_shape = "must have shape (nfactor_groups, npools, nspins)";
    const char* const rf_shape = "must have the shape of rf_axis_x";
    if (!frame::require_c_contiguous(bound, {kState, kTransverseState, kConcentrationState},
                                     "state arrays must be C-contiguous") ||
        !check_extent(sig, bound, {kTransverseFactors}, 1, npools, factors_shape) ||
        !check_extent(sig, bound, {kTransverseFactors}, 2, nspins, factors_shape) ||
        !check_extent(sig, bound,
                      {kExpPrecursor, kF0Precursor, kF1Precursor, kConcentrationExpPrecursor,
                       kConcentrationF0Precursor, kConcentrationF1Precursor},
                      1, nspins, "must have nspins columns") ||
        !check_extent(sig, bound, {kExpProducts, kConcentrationExpProducts}, 1, nproducts,
                      "must have nproducts columns") ||
        !check_extent(sig, bound,
                      {kTransferFactor, kJ0, kJ1, kConcentrationTransferFactor, kConcentrationJ0,
                       kConcentrationJ1},
                      1, nproducts, "must have nproducts rows per group") ||
        !check_extent(sig, bound,
                      {kTransferFactor, kJ0, kJ1, kConcentrationTransferFactor, kConcentrationJ0,
                       kConcentrationJ1},
                      2, nspins, "must have nspins columns")) {
        return false;
    }
    if (!check_extent(sig, bound, {kRfAxisY, kRfCosine, kRfSine, kRfOneMinusCosine}, 0,
                      bound.shape(kRfAxisX, 0), rf_shape) ||
        !check_extent(sig, bound, {kRfAxisY, kRfCosine, kRfSine, kRfOneMinusCosine}, 1, width,
                      rf_shape)) {
        return false;
    }
    if (!check_extent(sig, bound, {kInflowDelivery}, 0, nspins,
                      "must have an entry for every spin")) {
        return false;
    }
    if (bound.has(kSpatialSourceValues)) {
        const char* const shape = "must have shape (8, nsteps, nspins)";
        if (!check_extent(sig, bound, {kSpatialSourceValues}, 0, 8, shape) ||
            !check_extent(sig, bound, {kSpatialSourceValues}, 1, nsteps, shape) ||
            !check_extent(sig, bound, {kSpatialSourceValues}, 2, nspins, shape)) {
            return false;
        }
    } else if (!check_extent(sig, bound,
                             {kInflowFirstStart, kInflowFirstEnd, kInflowSecondStart,
                              kInflowSecondEnd, kPolarizationFirstStart, kPolarizationFirstEnd,
                              kPolarizationSecondStart, kPolarizationSecondEnd},
                             0, nsteps, "must have an entry for every plan step")) {
        return false;
    }
    if (!check_step_indices(
            sig, bound, kLongitudinalGroups, nsteps,
            {kConversionRates, kExpPrecursor, kExpProducts, kTransferFactor, kF0Precursor,
             kF1Precursor, kJ0, kJ1, kConcentrationExpPrecursor, kConcentrationExpProducts,
             kConcentrationTransferFactor, kConcentrationF0Precursor, kConcentrationF1Precursor,
             kConcentrationJ0, kConcentrationJ1, kDuration}) ||
        !check_step_indices(sig, bound, kFirstFactorGroups, nsteps, {kTransverseFactors}) ||
        !check_step_indices(sig, bound, kSecondFactorGroups, nsteps, {kTransverseFactors}) ||
        !check_step_indices(sig, bound, kRfGroups, nsteps, {kRfAxisX}, true)) {
        return false;
    }
    return check_actions(sig, bound, kObservation, nsteps, npools, nspins);
}

}  // namespace

const char run_dynamic_plan_block_multi_pool_doc[] =
    "Execute a bounded multi-pool precursor-to-products plan block.";

PyObject* run_dynamic_plan_block_multi_pool(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    const Py_ssize_t npools = bound.shape(kState, 0);
    if (npools <= 2 || bound.shape(kState, 2) != 3) {
        return frame::value_error("multi-pool state must have shape (>=3, nspins, 3)");
    }
    const Py_ssize_t nspins = bound.shape(kState, 1);
    if (bound.shape(kTransverseState, 0) != npools || bound.shape(kTransverseState, 1) != nspins) {
        return frame::value_error("transverse state must match multi-pool state");
    }
    if (bound.shape(kConcentrationState, 0) != npools ||
        bound.shape(kConcentrationState, 1) != nspins || bound.shape(kConcentrationState, 2) != 3) {
        return frame::value_error("concentration state must match multi-pool state");
    }
    if (bound.shape(kConversionRates, 1) + 1 != npools ||
        bound.shape(kConversionRates, 2) != nspins) {
        return frame::value_error("conversion tables must contain every product and spin");
    }
    const Py_ssize_t nparents = bound.shape(kParentSpeciesSignal, 0);
    const int spins_per_parent = bound.integer(kSpinsPerParent);
    if (!check_parents(nspins, spins_per_parent, nparents)) return nullptr;
    if (bound.shape(kParentSpeciesSignal, 1) != npools ||
        bound.shape(kRxSensitivities, 0) != bound.shape(kParentSpeciesSignal, 2)) {
        return frame::value_error("parent signal shape is inconsistent");
    }
    const Py_ssize_t nsteps = bound.shape(kLongitudinalGroups, 0);
    if (!check_action_offsets(bound, kActionOffsets, nsteps)) return nullptr;
    const int source_mode = bound.integer(kSourceMode);
    if (source_mode < 0 || source_mode > 3) {
        return frame::value_error("source_mode must be between zero and three");
    }
    const int num_threads = bound.integer(kNumThreads);
    if (!check_num_threads(num_threads)) return nullptr;
    const Py_ssize_t width = bound.shape(kRfAxisX, 1);
    if (!check_rf_width(width, nspins, "RF coefficient width must be one or nspins")) {
        return nullptr;
    }
    // An empty block touches nothing, so only a block with spins needs its obligations.
    if (nspins > 0 && !check_obligations(bound, npools, nspins, nsteps, width)) return nullptr;
    if (!frame::check_memory(kSignature, bound)) return nullptr;

    Block block{gather_common(bound, kEngine, npools, nspins, spins_per_parent, true,
                              bound.real(kSignalScale), bound.flag(kIdealCrushers)),
                {},
                {},
                table_of(bound.buffer(kExpProducts), 0, -1, 1),
                table_of(bound.buffer(kConcentrationExpProducts), 0, -1, 1),
                table_of(bound.buffer(kDuration), 0, -1),
                {},
                table_of(bound.buffer(kInflowDelivery), -1, 0),
                bound.real(kEquilibrium),
                source_mode,
                bound.has(kSpatialSourceValues)};
    for (int k = 0; k < 6; ++k) {
        block.precursor[k] = table_of(bound.buffer(kPrecursorTables[k]), 0, 1);
    }
    for (int k = 0; k < 7; ++k) {
        block.products[k] = table_of(bound.buffer(kProductTables[k]), 0, 2, 1);
    }
    const bool spatial_sources = block.spatial_sources;
    for (int plane = 0; plane < 8; ++plane) {
        if (spatial_sources) {
            // Plane k of spatial_source_values replaces window k, in the order of the windows.
            const frame::Buffer& values = bound.buffer(kSpatialSourceValues);
            block.windows[plane] = {values.data() + plane * values.stride(0), values.stride(1),
                                    values.stride(2)};
        } else {
            block.windows[plane] = table_of(bound.buffer(kInflowFirstStart + plane), 0, -1);
        }
    }
    Common& common = block.common;
    common.spatial_rf = width != 1;
    allow_lanes(common,
                {&block.precursor[0], &block.precursor[1], &block.precursor[2], &block.precursor[3],
                 &block.precursor[4], &block.precursor[5], &block.products[0], &block.products[1],
                 &block.products[2], &block.products[3], &block.products[4], &block.products[5],
                 &block.products[6]},
                {}, {&block.windows[0]});
    common.lanes = common.lanes && (npools == 3 || npools == 4);
    run_parents<RunBlock>(block, num_threads, nparents);
    Py_RETURN_NONE;
}

}  // namespace korvel::plan
