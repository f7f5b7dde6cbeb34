// run_dynamic_plan_block_multi_pool: a bounded plan block of one precursor converting into
// several products, with concentrations, sources, RF and the shared action stream, in one
// parallel region over parents. The arithmetic lives in kernels; actions in plan/actions.hpp.
#include <cstdint>

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
    ActionStream stream;
    Observation observation;

    double window(int plane, Py_ssize_t step, Py_ssize_t i) const noexcept {
        return has_spatial_sources ? spatial_source_values.load(plane, step, i)
                                   : windows[plane].load(step);
    }

    kernels::_MultiPoolGroup group(std::int32_t g, Py_ssize_t i) const noexcept {
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
            const kernels::_MultiPoolGroup coefficients = group(g, i);

            evolve(transverse, first_factor_groups.load(s), i);
            const kernels::_MultiPoolSources first = kernels::_multi_pool_sources<false>(
                source_mode, delivery, window(0, s, i), window(1, s, i), window(4, s, i),
                window(5, s, i));
            kernels::_advance_multi_pool_voxel(z, c, npools, coefficients, interval, first,
                                               equilibrium);
            if (r >= 0) rotate(transverse, z, r, i);
            evolve(transverse, second_factor_groups.load(s), i);
            const kernels::_MultiPoolSources second = kernels::_multi_pool_sources<true>(
                source_mode, delivery, window(2, s, i), window(3, s, i), window(6, s, i),
                window(7, s, i));
            kernels::_advance_multi_pool_voxel(z, c, npools, coefficients, interval, second,
                                               equilibrium);
            run_step_actions(stream, observation, s, parent, i, spin);
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
    block.stream = gather_action_stream(bound, kObservation);
    block.observation = gather_observation(bound, kObservation, npools, nspins,
                                           bound.real(kSignalScale), bound.flag(kIdealCrushers));

    // A parent's spins all run on one thread, in ascending order, so each signal element sums
    // its additions in one order for any team.
    frame::run_region(num_threads, nparents, [&block](Py_ssize_t begin, Py_ssize_t end) {
        for (Py_ssize_t parent = begin; parent < end; ++parent) {
            for (Py_ssize_t local_spin = 0; local_spin < block.spins_per_parent; ++local_spin) {
                block.advance_spin(parent, parent * block.spins_per_parent + local_spin);
            }
        }
    });
    Py_RETURN_NONE;
}

}  // namespace korvel::plan
