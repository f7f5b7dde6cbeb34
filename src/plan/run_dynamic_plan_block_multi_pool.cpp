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
enum Index {
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
constexpr ObservationArgs kObservation{
    kActionOffsets,   kActionKinds,   kActionPayloads,      kAdcDemodulation,
    kRxSensitivities, kSignalWeights, kParentSpeciesSignal, kCheckpointStates};

using Table1 = frame::ArrayView<double, 1>;
using Table2 = frame::ArrayView<double, 2>;
using Table3 = frame::ArrayView<double, 3>;
using Groups = frame::ArrayView<std::int32_t, 1>;

// The product column of a [g, q] or [g, q, i] table at group g (and spin i). Strides are whole
// elements along every axis longer than one (frame::check_memory); the product axis has >= 2.
kernels::_Strided<const double> product_column(const Table2& table, std::int32_t g) noexcept {
    return {reinterpret_cast<const double*>(table.bytes() + g * table.stride(0)),
            table.stride(1) / static_cast<Py_ssize_t>(sizeof(double))};
}
kernels::_Strided<const double> product_column(const Table3& table, std::int32_t g,
                                               Py_ssize_t i) noexcept {
    return {reinterpret_cast<const double*>(table.bytes() + g * table.stride(0) +
                                            i * table.stride(2)),
            table.stride(1) / static_cast<Py_ssize_t>(sizeof(double))};
}

// Everything a thread reads or writes, gathered with the GIL held. The state arrays are flat
// (npools, nspins[, 3]) blocks; every table is read through its strides.
struct Block {
    double* state_data;
    double* transverse_data;
    double* concentration_data;
    Py_ssize_t npools;
    Py_ssize_t nspins;
    Py_ssize_t nsteps;
    Py_ssize_t spins_per_parent;
    frame::ArrayView<frame::Complex, 3> transverse_factors;
    Table3 conversion_rates, transfer_factor, j0, j1;
    Table3 concentration_transfer_factor, concentration_j0, concentration_j1;
    Table2 exp_precursor, f0_precursor, f1_precursor;
    Table2 concentration_exp_precursor, concentration_f0_precursor, concentration_f1_precursor;
    Table2 exp_products, concentration_exp_products;
    Table1 duration;
    Groups longitudinal_groups, first_factor_groups, second_factor_groups, rf_groups;
    Table2 rf_axis_x, rf_axis_y, rf_cosine, rf_sine, rf_one_minus_cosine;
    Py_ssize_t width;
    Table1 windows[8];  // in the order of the planes of spatial_source_values
    Table3 spatial_source_values;
    bool has_spatial_sources;
    Table1 inflow_delivery;
    double equilibrium;
    int source_mode;
    Py_ssize_t groups_used;  // 1 + the largest longitudinal group of the block's steps
    ActionStream stream;
    Observation observation;

    double window(int plane, Py_ssize_t step, Py_ssize_t i) const noexcept {
        return has_spatial_sources ? spatial_source_values.load(plane, step, i)
                                   : windows[plane].load(step);
    }

    using SpinGroup = kernels::_MultiPoolGroup<double, kernels::_Strided<const double>,
                                               kernels::_Strided<const double>>;
    SpinGroup group(std::int32_t g, Py_ssize_t i) const noexcept {
        return {exp_precursor.load(g, i),
                f0_precursor.load(g, i),
                f1_precursor.load(g, i),
                concentration_exp_precursor.load(g, i),
                concentration_f0_precursor.load(g, i),
                concentration_f1_precursor.load(g, i),
                product_column(exp_products, g),
                product_column(concentration_exp_products, g),
                product_column(conversion_rates, g, i),
                product_column(transfer_factor, g, i),
                product_column(j0, g, i),
                product_column(j1, g, i),
                product_column(concentration_transfer_factor, g, i),
                product_column(concentration_j0, g, i),
                product_column(concentration_j1, g, i)};
    }

    void evolve(double* transverse, std::int32_t f, Py_ssize_t i) const noexcept {
        for (Py_ssize_t p = 0; p < npools; ++p) {
            const frame::Complex factor = transverse_factors.load(f, p, i);
            double* const value = transverse + 2 * nspins * p;
            kernels::_evolve_transverse_voxel(value[0], value[1], factor.real, factor.imag);
        }
    }

    // All pools turn with the same coefficients: one rotation per group, or one per spin.
    void rotate(double* transverse, kernels::_Strided<double> z, std::int32_t r,
                Py_ssize_t i) const noexcept {
        if (width == 1) {
            const double axis_x = rf_axis_x.load(r, 0), axis_y = rf_axis_y.load(r, 0);
            const double cosine = rf_cosine.load(r, 0), sine = rf_sine.load(r, 0);
            const double one_minus_cosine = rf_one_minus_cosine.load(r, 0);
            for (Py_ssize_t p = 0; p < npools; ++p) {
                double* const value = transverse + 2 * nspins * p;
                kernels::_rotate_rf_voxel(value[0], value[1], z[p], axis_x, axis_y, cosine, sine,
                                          one_minus_cosine);
            }
            return;
        }
        const double axis_x = rf_axis_x.load(r, i), axis_y = rf_axis_y.load(r, i);
        const double cosine = rf_cosine.load(r, i), sine = rf_sine.load(r, i);
        for (Py_ssize_t p = 0; p < npools; ++p) {
            double* const value = transverse + 2 * nspins * p;
            kernels::_rotate_rf_voxel_plane(value[0], value[1], z[p], axis_x, axis_y, cosine,
                                            sine);
        }
    }

    // Spin i of `parent` through every step, on the state arrays in place.
    void advance_spin(Py_ssize_t parent, Py_ssize_t i) const noexcept {
        double* const transverse = transverse_data + 2 * i;
        const kernels::_Strided<double> z{state_data + (3 * i + 2), 3 * nspins};
        const kernels::_Strided<double> c{concentration_data + (3 * i + 2), 3 * nspins};
        PoolsInPlace spin = PoolsInPlace::at(transverse_data, state_data, npools, nspins, i);
        const double delivery = inflow_delivery.load(i);
        for (Py_ssize_t s = 0; s < nsteps; ++s) {
            const std::int32_t g = longitudinal_groups.load(s);
            const std::int32_t r = rf_groups.load(s);
            const double interval = duration.load(g);
            const SpinGroup coefficients = group(g, i);

            evolve(transverse, first_factor_groups.load(s), i);
            const kernels::_MultiPoolSources<double> first = kernels::_multi_pool_sources<false>(
                source_mode, delivery, window(0, s, i), window(1, s, i), window(4, s, i),
                window(5, s, i));
            kernels::_advance_multi_pool_voxel(z, c, npools, coefficients, interval, first,
                                               equilibrium);
            if (r >= 0) rotate(transverse, z, r, i);
            evolve(transverse, second_factor_groups.load(s), i);
            const kernels::_MultiPoolSources<double> second = kernels::_multi_pool_sources<true>(
                source_mode, delivery, window(2, s, i), window(3, s, i), window(6, s, i),
                window(7, s, i));
            kernels::_advance_multi_pool_voxel(z, c, npools, coefficients, interval, second,
                                               equilibrium);
            run_step_actions(stream, observation, s, parent, i, spin);
        }
    }
};

// Tiles of W spins in lanes, for blocks of kPools pools (the common small counts); any other
// block, and the spins after the last whole tile, run spin by spin (Block::advance_spin).

template <class T>
T lane_row(const Table2& table, std::int32_t g, Py_ssize_t i) noexcept {
    return kernels::load_lanes<T>(
        reinterpret_cast<const double*>(table.bytes() + g * table.stride(0)) + i);
}

// The per-spin coefficient rows of a tile: the six precursor tables, then the seven product
// tables, product by product. Row r of group g holds the tile's W values at
// start[r] + g * group_stride[r], in the tables themselves or in a copy packed on the thread's
// stack. Tables of one shape tend to lie at the same offset within a page, so the rows a step
// reads from a dozen tables compete for one set of the L1 cache and miss it again at every
// step; the packed copy holds them side by side, read from the tables once per tile. Packing
// pays when the block's groups are few and each is read at several steps.
constexpr int kPrecursorRows = 6;
constexpr std::size_t kPackedDoubles = 4096;  // 32 KiB of each thread's stack

template <int P>
struct TileRows {
    static constexpr int kRows = kPrecursorRows + 7 * (P - 1);
    const double* start[static_cast<std::size_t>(kRows)];
    std::ptrdiff_t group_stride[static_cast<std::size_t>(kRows)];

    template <class T>
    T load(int row, std::int32_t g) const noexcept {
        const std::size_t r = static_cast<std::size_t>(row);
        return kernels::load_lanes<T>(start[r] + g * group_stride[r]);
    }
};

template <class T, int P>
struct LaneColumn {
    const TileRows<P>* rows;
    int table;
    std::int32_t g;
    T operator[](std::int64_t q) const noexcept {
        return rows->template load<T>(kPrecursorRows + table * (P - 1) + static_cast<int>(q), g);
    }
};

template <int P>
void set_tile_rows(const Block& b, Py_ssize_t first, int lanes, double* packed,
                   TileRows<P>& rows) noexcept {
    const Table2* const precursor[kPrecursorRows] = {
        &b.exp_precursor, &b.f0_precursor, &b.f1_precursor, &b.concentration_exp_precursor,
        &b.concentration_f0_precursor, &b.concentration_f1_precursor};
    const Table3* const products[7] = {&b.conversion_rates, &b.transfer_factor, &b.j0, &b.j1,
                                       &b.concentration_transfer_factor, &b.concentration_j0,
                                       &b.concentration_j1};
    for (int r = 0; r < TileRows<P>::kRows; ++r) {
        const std::size_t i = static_cast<std::size_t>(r);
        if (r < kPrecursorRows) {
            const Table2& table = *precursor[i];
            rows.start[i] = reinterpret_cast<const double*>(table.bytes()) + first;
            rows.group_stride[i] = table.stride(0) / static_cast<std::ptrdiff_t>(sizeof(double));
        } else {
            const Table3& table =
                *products[static_cast<std::size_t>((r - kPrecursorRows) / (P - 1))];
            const std::ptrdiff_t q = (r - kPrecursorRows) % (P - 1);
            rows.start[i] = reinterpret_cast<const double*>(table.bytes() + q * table.stride(1)) +
                            first;
            rows.group_stride[i] = table.stride(0) / static_cast<std::ptrdiff_t>(sizeof(double));
        }
    }
    if (packed == nullptr) return;
    const std::ptrdiff_t group_size = TileRows<P>::kRows * lanes;
    for (int r = 0; r < TileRows<P>::kRows; ++r) {
        const std::size_t i = static_cast<std::size_t>(r);
        for (Py_ssize_t g = 0; g < b.groups_used; ++g) {
            __builtin_memcpy(packed + g * group_size + r * lanes,
                             rows.start[i] + g * rows.group_stride[i],
                             static_cast<std::size_t>(lanes) * sizeof(double));
        }
        rows.start[i] = packed + r * lanes;
        rows.group_stride[i] = group_size;
    }
}

// A tile's values of every pool; the interface run_tile_actions() expects.
template <class T, int P>
struct PoolLanes {
    T values[static_cast<std::size_t>(P)];
    T& operator[](std::int64_t pool) noexcept { return values[pool]; }
};

template <class T, int P>
struct MultiPoolLanes {
    static constexpr int kPools = P;
    PoolLanes<T, P> x, y, z, c;

    T transverse_real(int pool) const noexcept { return x.values[pool]; }
    T transverse_imag(int pool) const noexcept { return y.values[pool]; }
    T longitudinal(int pool) const noexcept { return z.values[pool]; }
    void clear_transverse() noexcept {
#pragma GCC unroll 8
        for (int pool = 0; pool < P; ++pool) x.values[pool] = y.values[pool] = T{};
    }
};

template <class T, int P>
inline void evolve_pools(const Block& b, MultiPoolLanes<T, P>& v, std::int32_t f,
                         Py_ssize_t first) noexcept {
    const frame::ArrayView<frame::Complex, 3>& factors = b.transverse_factors;
#pragma GCC unroll 8
    for (int pool = 0; pool < P; ++pool) {
        const char* row = factors.bytes() + f * factors.stride(0) + pool * factors.stride(1);
        T factor_real, factor_imag;
        kernels::load_complex_lanes(reinterpret_cast<const double*>(row) + 2 * first,
                                    factor_real, factor_imag);
        kernels::_evolve_transverse_voxel(v.x[pool], v.y[pool], factor_real, factor_imag);
    }
}

// The four windows of one half-step (planes 0, 1, 4, 5 or 2, 3, 6, 7): per step (doubles), or
// per spin (lanes).
template <class W>
struct HalfWindows {
    W inflow_start, inflow_end, polarization_start, polarization_end;
};

template <class T, bool kSpatialSources, int kHalf>
inline auto half_windows(const Block& b, Py_ssize_t step, Py_ssize_t first) noexcept {
    constexpr int kInflow = 2 * kHalf, kPolarization = 4 + 2 * kHalf;
    if constexpr (kSpatialSources) {
        const Table3& spatial = b.spatial_source_values;
        const auto plane = [&](int k) {
            return kernels::load_lanes<T>(
                reinterpret_cast<const double*>(spatial.bytes() + k * spatial.stride(0) +
                                                step * spatial.stride(1)) +
                first);
        };
        return HalfWindows<T>{plane(kInflow), plane(kInflow + 1), plane(kPolarization),
                              plane(kPolarization + 1)};
    } else {
        return HalfWindows<double>{b.windows[kInflow].load(step), b.windows[kInflow + 1].load(step),
                                   b.windows[kPolarization].load(step),
                                   b.windows[kPolarization + 1].load(step)};
    }
}

template <class T, int P, bool kSpatialRf, bool kSpatialSources>
inline void run_tile(const Block& b, Py_ssize_t first, double* packed) noexcept {
    constexpr std::ptrdiff_t kStateRow = 3 * sizeof(double);
    constexpr int W = kernels::kLaneCount<T>;
    const Py_ssize_t nspins = b.nspins;
    TileRows<P> rows;
    set_tile_rows<P>(b, first, W, packed, rows);
    MultiPoolLanes<T, P> v;
#pragma GCC unroll 8
    for (int pool = 0; pool < P; ++pool) {
        kernels::load_complex_lanes(b.transverse_data + 2 * (pool * nspins + first), v.x[pool],
                                    v.y[pool]);
        v.z[pool] = kernels::gather_lanes<T>(
            reinterpret_cast<const char*>(b.state_data + (3 * (pool * nspins + first) + 2)),
            kStateRow);
        v.c[pool] = kernels::gather_lanes<T>(
            reinterpret_cast<const char*>(b.concentration_data + (3 * (pool * nspins + first) + 2)),
            kStateRow);
    }
    const T delivery = kernels::gather_lanes<T>(
        b.inflow_delivery.bytes() + first * b.inflow_delivery.stride(0),
        b.inflow_delivery.stride(0));
    const Tile<T> tile = tile_at<T>(b.observation, first, b.spins_per_parent);
    for (Py_ssize_t step = 0; step < b.nsteps; ++step) {
        const std::int32_t g = b.longitudinal_groups.load(step);
        const std::int32_t r = b.rf_groups.load(step);
        const double interval = b.duration.load(g);
        using Group =
            kernels::_MultiPoolGroup<T, LaneColumn<T, P>, kernels::_Strided<const double>>;
        const Group group{rows.template load<T>(0, g),
                          rows.template load<T>(1, g),
                          rows.template load<T>(2, g),
                          rows.template load<T>(3, g),
                          rows.template load<T>(4, g),
                          rows.template load<T>(5, g),
                          product_column(b.exp_products, g),
                          product_column(b.concentration_exp_products, g),
                          LaneColumn<T, P>{&rows, 0, g},
                          LaneColumn<T, P>{&rows, 1, g},
                          LaneColumn<T, P>{&rows, 2, g},
                          LaneColumn<T, P>{&rows, 3, g},
                          LaneColumn<T, P>{&rows, 4, g},
                          LaneColumn<T, P>{&rows, 5, g},
                          LaneColumn<T, P>{&rows, 6, g}};

        // Free evolution, then the longitudinal half-step with that half's sources.
        const auto half_step = [&]<int kHalf>(std::int32_t factor_group) {
            evolve_pools(b, v, factor_group, first);
            const auto w = half_windows<T, kSpatialSources, kHalf>(b, step, first);
            const kernels::_MultiPoolSources<T> sources = kernels::_multi_pool_sources<kHalf == 1>(
                b.source_mode, delivery, w.inflow_start, w.inflow_end, w.polarization_start,
                w.polarization_end);
            kernels::_advance_multi_pool_voxel(v.z, v.c, P, group, interval, sources,
                                               b.equilibrium);
        };
        half_step.template operator()<0>(b.first_factor_groups.load(step));
        if (r >= 0) {
            if constexpr (kSpatialRf) {
                const T ax = lane_row<T>(b.rf_axis_x, r, first);
                const T ay = lane_row<T>(b.rf_axis_y, r, first);
                const T cosine = lane_row<T>(b.rf_cosine, r, first);
                const T sine = lane_row<T>(b.rf_sine, r, first);
#pragma GCC unroll 8
                for (int pool = 0; pool < P; ++pool) {
                    kernels::_rotate_rf_voxel_plane(v.x[pool], v.y[pool], v.z[pool], ax, ay,
                                                    cosine, sine);
                }
            } else {
                const double ax = b.rf_axis_x.load(r, 0), ay = b.rf_axis_y.load(r, 0);
                const double cosine = b.rf_cosine.load(r, 0), sine = b.rf_sine.load(r, 0);
                const double omc = b.rf_one_minus_cosine.load(r, 0);
#pragma GCC unroll 8
                for (int pool = 0; pool < P; ++pool) {
                    kernels::_rotate_rf_voxel(v.x[pool], v.y[pool], v.z[pool], ax, ay, cosine,
                                              sine, omc);
                }
            }
        }
        half_step.template operator()<1>(b.second_factor_groups.load(step));
        run_tile_actions(b.stream, b.observation, step, tile, v);
    }
#pragma GCC unroll 8
    for (int pool = 0; pool < P; ++pool) {
        kernels::store_complex_lanes(b.transverse_data + 2 * (pool * nspins + first), v.x[pool],
                                     v.y[pool]);
        kernels::scatter_lanes(
            reinterpret_cast<char*>(b.state_data + (3 * (pool * nspins + first) + 2)), kStateRow,
            v.z[pool]);
        kernels::scatter_lanes(
            reinterpret_cast<char*>(b.concentration_data + (3 * (pool * nspins + first) + 2)),
            kStateRow, v.c[pool]);
    }
}

// Spins begin .. end - 1 (whole parents, ascending): whole tiles in lanes, the rest one by one.
template <class T, int P, bool kSpatialRf, bool kSpatialSources>
inline void run_spins(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
    constexpr int W = kernels::kLaneCount<T>;
    constexpr std::size_t kGroupDoubles = static_cast<std::size_t>(TileRows<P>::kRows * W);
    const auto groups = static_cast<std::size_t>(b.groups_used);
    // Packing pays when the groups are read again in later steps.
    const bool pack = groups * kGroupDoubles <= kPackedDoubles && 2 * b.groups_used <= b.nsteps;
    alignas(64) double packed[kPackedDoubles];
    Py_ssize_t spin = begin;
    for (; spin + W <= end; spin += W) {
        run_tile<T, P, kSpatialRf, kSpatialSources>(b, spin, pack ? packed : nullptr);
    }
    for (; spin < end; ++spin) b.advance_spin(spin / b.spins_per_parent, spin);
}

template <class T>
inline void run_block(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
    const bool spatial_rf = b.width != 1, spatial_sources = b.has_spatial_sources;
    const auto pick = [&]<int P>() {
        if (spatial_rf) {
            spatial_sources ? run_spins<T, P, true, true>(b, begin, end)
                            : run_spins<T, P, true, false>(b, begin, end);
        } else {
            spatial_sources ? run_spins<T, P, false, true>(b, begin, end)
                            : run_spins<T, P, false, false>(b, begin, end);
        }
    };
    if (b.npools == 3) {
        pick.template operator()<3>();
    } else {
        pick.template operator()<4>();
    }
}

template <int W>
struct RunBlock {
    static void run(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
        run_block<kernels::Lanes<W>>(b, begin, end);
    }
};

// Spin by spin, in place: any pool count, any table layout, any action stream.
void run_one_by_one(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
    for (Py_ssize_t spin = begin; spin < end; ++spin) {
        b.advance_spin(spin / b.spins_per_parent, spin);
    }
}

using SpinRunner = void (*)(const Block&, Py_ssize_t, Py_ssize_t) noexcept;

// Tiles need kPools of 3 or 4, rows of unit stride along the spins wherever a tile reads W
// spins at once, and an order of the signal's additions that tiles keep.
bool tiles_allowed(const frame::Bound& bound, Py_ssize_t npools, Py_ssize_t nsteps,
                   Py_ssize_t width, int spins_per_parent) noexcept {
    if (npools != 3 && npools != 4) return false;
    for (const int table : {kExpPrecursor, kF0Precursor, kF1Precursor, kConcentrationExpPrecursor,
                            kConcentrationF0Precursor, kConcentrationF1Precursor}) {
        if (bound.buffer(table).stride(1) != sizeof(double)) return false;
    }
    for (const int table : {kConversionRates, kTransferFactor, kJ0, kJ1,
                            kConcentrationTransferFactor, kConcentrationJ0, kConcentrationJ1}) {
        if (bound.buffer(table).stride(2) != sizeof(double)) return false;
    }
    if (bound.buffer(kTransverseFactors).stride(2) != sizeof(frame::Complex)) return false;
    if (width != 1) {
        for (const int table : {kRfAxisX, kRfAxisY, kRfCosine, kRfSine}) {
            if (bound.buffer(table).stride(1) != sizeof(double)) return false;
        }
    }
    if (bound.has(kSpatialSourceValues) &&
        bound.buffer(kSpatialSourceValues).stride(2) != sizeof(double)) {
        return false;
    }
    return spins_per_parent == 1 ||
           adc_samples_unique(gather_action_stream(bound, kObservation), nsteps,
                              bound.shape(kActionKinds, 0), bound.shape(kParentSpeciesSignal, 3));
}

SpinRunner spin_runner(bool tiles) noexcept {
    if (!tiles) return run_one_by_one;
    return frame::simd_variant<RunBlock, const Block&, Py_ssize_t, Py_ssize_t>();
}

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
    if (!spins_fill_parents(nspins, spins_per_parent, nparents)) {
        return frame::value_error("parent/spin dimensions are inconsistent");
    }
    if (bound.shape(kParentSpeciesSignal, 1) != npools ||
        bound.shape(kRxSensitivities, 0) != bound.shape(kParentSpeciesSignal, 2)) {
        return frame::value_error("parent signal shape is inconsistent");
    }
    const Py_ssize_t nsteps = bound.shape(kLongitudinalGroups, 0);
    if (bound.shape(kActionOffsets, 0) != nsteps + 1) {
        return frame::value_error("action offsets must bracket every plan step");
    }
    const int source_mode = bound.integer(kSourceMode);
    if (source_mode < 0 || source_mode > 3) {
        return frame::value_error("source_mode must be between zero and three");
    }
    const int num_threads = bound.integer(kNumThreads);
    if (num_threads < 1) return frame::value_error("num_threads must be positive");
    const Py_ssize_t width = bound.shape(kRfAxisX, 1);
    if (width != 1 && width != nspins) {
        return frame::value_error("RF coefficient width must be one or nspins");
    }
    // An empty block touches nothing, so only a block with spins needs its obligations.
    if (nspins > 0 && !check_obligations(bound, npools, nspins, nsteps, width)) return nullptr;
    if (!frame::check_memory(kSignature, bound)) return nullptr;

    Block block{};
    block.state_data = bound.view<double, 3>(kState).flat();
    block.transverse_data = bound.view<double, 2>(kTransverseState).flat();
    block.concentration_data = bound.view<double, 3>(kConcentrationState).flat();
    block.npools = npools;
    block.nspins = nspins;
    block.nsteps = nsteps;
    block.spins_per_parent = spins_per_parent;
    block.transverse_factors = bound.view<frame::Complex, 3>(kTransverseFactors);
    block.conversion_rates = bound.view<double, 3>(kConversionRates);
    block.transfer_factor = bound.view<double, 3>(kTransferFactor);
    block.j0 = bound.view<double, 3>(kJ0);
    block.j1 = bound.view<double, 3>(kJ1);
    block.concentration_transfer_factor = bound.view<double, 3>(kConcentrationTransferFactor);
    block.concentration_j0 = bound.view<double, 3>(kConcentrationJ0);
    block.concentration_j1 = bound.view<double, 3>(kConcentrationJ1);
    block.exp_precursor = bound.view<double, 2>(kExpPrecursor);
    block.f0_precursor = bound.view<double, 2>(kF0Precursor);
    block.f1_precursor = bound.view<double, 2>(kF1Precursor);
    block.concentration_exp_precursor = bound.view<double, 2>(kConcentrationExpPrecursor);
    block.concentration_f0_precursor = bound.view<double, 2>(kConcentrationF0Precursor);
    block.concentration_f1_precursor = bound.view<double, 2>(kConcentrationF1Precursor);
    block.exp_products = bound.view<double, 2>(kExpProducts);
    block.concentration_exp_products = bound.view<double, 2>(kConcentrationExpProducts);
    block.duration = bound.view<double, 1>(kDuration);
    block.longitudinal_groups = bound.view<std::int32_t, 1>(kLongitudinalGroups);
    block.first_factor_groups = bound.view<std::int32_t, 1>(kFirstFactorGroups);
    block.second_factor_groups = bound.view<std::int32_t, 1>(kSecondFactorGroups);
    block.rf_groups = bound.view<std::int32_t, 1>(kRfGroups);
    block.rf_axis_x = bound.view<double, 2>(kRfAxisX);
    block.rf_axis_y = bound.view<double, 2>(kRfAxisY);
    block.rf_cosine = bound.view<double, 2>(kRfCosine);
    block.rf_sine = bound.view<double, 2>(kRfSine);
    block.rf_one_minus_cosine = bound.view<double, 2>(kRfOneMinusCosine);
    block.width = width;
    for (int plane = 0; plane < 8; ++plane) {
        block.windows[plane] = bound.view<double, 1>(kInflowFirstStart + plane);
    }
    block.has_spatial_sources = bound.has(kSpatialSourceValues);
    if (block.has_spatial_sources) {
        block.spatial_source_values = bound.view<double, 3>(kSpatialSourceValues);
    }
    block.inflow_delivery = bound.view<double, 1>(kInflowDelivery);
    block.equilibrium = bound.real(kEquilibrium);
    block.source_mode = source_mode;
    for (Py_ssize_t step = 0; step < nsteps; ++step) {
        const Py_ssize_t group = block.longitudinal_groups.load(step);
        if (group + 1 > block.groups_used) block.groups_used = group + 1;
    }
    block.stream = gather_action_stream(bound, kObservation);
    block.observation = gather_observation(bound, kObservation, npools, nspins,
                                           bound.real(kSignalScale), bound.flag(kIdealCrushers));

    const SpinRunner runner =
        spin_runner(nspins > 0 && tiles_allowed(bound, npools, nsteps, width, spins_per_parent));
    // A parent's spins all run on one thread, in ascending order, so each signal element sums
    // its additions in one order for any team.
    frame::run_region(num_threads, nparents, [&](Py_ssize_t begin, Py_ssize_t end) {
        runner(block, begin * spins_per_parent, end * spins_per_parent);
    });
    Py_RETURN_NONE;
}

}  // namespace korvel::plan
