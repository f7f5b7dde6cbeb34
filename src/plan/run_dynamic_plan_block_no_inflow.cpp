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

// A row of a group table at one group: element i at data + i * stride bytes.
struct Row {
    const char* data;
    std::ptrdiff_t stride;

    // One spin through the stride; W spins from a row of unit stride (Block::lanes).
    template <class T>
    T load(Py_ssize_t i) const noexcept {
        if constexpr (sizeof(T) == sizeof(double)) {
            return kernels::gather_lanes<T>(data + i * stride, stride);
        } else {
            return kernels::load_lanes<T>(reinterpret_cast<const double*>(data) + i);
        }
    }
    const std::uint8_t* bytes(Py_ssize_t i) const noexcept {
        return reinterpret_cast<const std::uint8_t*>(data + i * stride);
    }
};

template <class T, std::size_t N>
Row row_of(const frame::ArrayView<T, N>& table, std::int32_t group) noexcept {
    return {table.bytes() + group * table.stride(0), table.stride(N - 1)};
}

// What the block reads besides the action stream and the observation arrays: the group tables
// through their strides, the state and the factors as flat blocks.
struct Block {
    double* state_data;
    double* transverse_data;
    const double* factors_data;  // (nfactor_groups, 2, nspins) complex as (real, imag) doubles
    frame::ArrayView<double, 2> kpl, exp_a, difference;
    frame::ArrayView<std::uint8_t, 2> regular;
    frame::ArrayView<double, 1> exp_b, duration;
    frame::ArrayView<std::int32_t, 1> regular_mode;
    frame::ArrayView<std::int32_t, 1> longitudinal_groups, first_factor_groups,
        second_factor_groups, rf_groups;
    frame::ArrayView<double, 2> rf_axis_x, rf_axis_y, rf_cosine, rf_sine, rf_one_minus_cosine;
    Py_ssize_t nspins;
    Py_ssize_t nsteps;
    Py_ssize_t spins_per_parent;
    bool spatial_rf;
    bool lanes;  // tiles of spins may run in lanes: unit-stride rows, and an order that allows it
    ActionStream stream;
    Observation observation;

    // The coefficients step `step` reads, for any spin.
    struct Step {
        Row kpl, exp_a, difference, regular;
        double exp_b, duration;
        int mode;
        const double* first_factors;  // pool 0 at spin 0; pool 1 lies 2 * nspins doubles on
        const double* second_factors;
        std::int32_t rf;
    };

    Step step_at(Py_ssize_t step) const noexcept {
        const std::int32_t g = longitudinal_groups.load(step);
        return {row_of(kpl, g),
                row_of(exp_a, g),
                row_of(difference, g),
                row_of(regular, g),
                exp_b.load(g),
                duration.load(g),
                regular_mode.load(g),
                factors_data + 4 * nspins * first_factor_groups.load(step),
                factors_data + 4 * nspins * second_factor_groups.load(step),
                rf_groups.load(step)};
    }
};

// One longitudinal half-step of a tile in the form chosen for it (kernels::_tile_form).
template <class T>
inline void half_step(T& pyruvate, T& lactate, const T& kpl, const T& exp_a, const T& difference,
                      double exp_b, double duration, kernels::MaskBytes form,
                      const std::uint8_t* regular) noexcept {
    const T transfer = kernels::_tile_transfer(form, regular, pyruvate, kpl, exp_a, exp_b,
                                               difference, duration);
    kernels::_decay_with_transfer(pyruvate, lactate, transfer, exp_a, exp_b);
}

template <class T>
inline void evolve(T& real, T& imag, const double* factor) noexcept {
    T factor_real, factor_imag;
    kernels::load_complex_lanes(factor, factor_real, factor_imag);
    kernels::_evolve_transverse_voxel(real, imag, factor_real, factor_imag);
}

// The spins first .. first + W - 1 (one per lane of T) through every step of the block; their
// six working values stay in registers and touch the state arrays once each way.
template <class T, bool kSpatialRf>
inline void run_tile(const Block& b, Py_ssize_t first) noexcept {
    constexpr int W = kernels::kLaneCount<T>;
    double* const pyruvate = b.transverse_data + 2 * first;
    double* const lactate = b.transverse_data + 2 * (b.nspins + first);
    char* const pyruvate_mz = reinterpret_cast<char*>(b.state_data + (3 * first + 2));
    char* const lactate_mz = reinterpret_cast<char*>(b.state_data + (3 * (b.nspins + first) + 2));
    constexpr std::ptrdiff_t kStateRow = 3 * sizeof(double);
    TwoPoolLanes<T> v;
    kernels::load_complex_lanes(pyruvate, v.pyruvate_x, v.pyruvate_y);
    kernels::load_complex_lanes(lactate, v.lactate_x, v.lactate_y);
    v.pyruvate_z = kernels::gather_lanes<T>(pyruvate_mz, kStateRow);
    v.lactate_z = kernels::gather_lanes<T>(lactate_mz, kStateRow);
    const Tile<T> tile = tile_at<T>(b.observation, first, b.spins_per_parent);
    const Py_ssize_t pool_offset = 2 * b.nspins;
    for (Py_ssize_t step = 0; step < b.nsteps; ++step) {
        const Block::Step c = b.step_at(step);
        const T kpl = c.kpl.load<T>(first), exp_a = c.exp_a.load<T>(first);
        const T difference = c.difference.load<T>(first);
        const std::uint8_t* const regular = c.regular.bytes(first);
        const kernels::MaskBytes form = kernels::_tile_form(c.mode, regular, W);

        evolve(v.pyruvate_x, v.pyruvate_y, c.first_factors + 2 * first);
        evolve(v.lactate_x, v.lactate_y, c.first_factors + (pool_offset + 2 * first));
        half_step(v.pyruvate_z, v.lactate_z, kpl, exp_a, difference, c.exp_b, c.duration, form,
                  regular);
        if (c.rf >= 0) {
            if constexpr (kSpatialRf) {
                const T ax = row_of(b.rf_axis_x, c.rf).load<T>(first);
                const T ay = row_of(b.rf_axis_y, c.rf).load<T>(first);
                const T cosine = row_of(b.rf_cosine, c.rf).load<T>(first);
                const T sine = row_of(b.rf_sine, c.rf).load<T>(first);
                kernels::_rotate_rf_voxel_plane(v.pyruvate_x, v.pyruvate_y, v.pyruvate_z, ax, ay,
                                                cosine, sine);
                kernels::_rotate_rf_voxel_plane(v.lactate_x, v.lactate_y, v.lactate_z, ax, ay,
                                                cosine, sine);
            } else {
                const double ax = b.rf_axis_x.load(c.rf, 0), ay = b.rf_axis_y.load(c.rf, 0);
                const double cosine = b.rf_cosine.load(c.rf, 0), sine = b.rf_sine.load(c.rf, 0);
                const double omc = b.rf_one_minus_cosine.load(c.rf, 0);
                kernels::_rotate_rf_voxel(v.pyruvate_x, v.pyruvate_y, v.pyruvate_z, ax, ay,
                                          cosine, sine, omc);
                kernels::_rotate_rf_voxel(v.lactate_x, v.lactate_y, v.lactate_z, ax, ay, cosine,
                                          sine, omc);
            }
        }
        evolve(v.pyruvate_x, v.pyruvate_y, c.second_factors + 2 * first);
        evolve(v.lactate_x, v.lactate_y, c.second_factors + (pool_offset + 2 * first));
        // The second half-step starts from the rotated longitudinal values.
        half_step(v.pyruvate_z, v.lactate_z, kpl, exp_a, difference, c.exp_b, c.duration, form,
                  regular);
        run_tile_actions(b.stream, b.observation, step, tile, v);
    }
    kernels::store_complex_lanes(pyruvate, v.pyruvate_x, v.pyruvate_y);
    kernels::store_complex_lanes(lactate, v.lactate_x, v.lactate_y);
    kernels::scatter_lanes(pyruvate_mz, kStateRow, v.pyruvate_z);
    kernels::scatter_lanes(lactate_mz, kStateRow, v.lactate_z);
}

// Spins begin .. end - 1 (whole parents, in ascending order): in tiles of W lanes where the
// block allows it, the rest one by one.
template <class T, bool kSpatialRf>
inline void run_spins(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
    constexpr int W = kernels::kLaneCount<T>;
    Py_ssize_t spin = begin;
    if (b.lanes) {
        for (; spin + W <= end; spin += W) run_tile<T, kSpatialRf>(b, spin);
    }
    for (; spin < end; ++spin) run_tile<double, kSpatialRf>(b, spin);
}

template <class T>
inline void run_block(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
    if (b.spatial_rf) {
        run_spins<T, true>(b, begin, end);
    } else {
        run_spins<T, false>(b, begin, end);
    }
}

template <int W>
struct RunBlock {
    static void run(const Block& b, Py_ssize_t begin, Py_ssize_t end) noexcept {
        run_block<kernels::Lanes<W>>(b, begin, end);
    }
};

// Tiles read W consecutive entries of a row at once: every table row a step reads per spin must
// have unit stride.
bool rows_are_flat(const frame::Bound& bound, bool spatial_rf) noexcept {
    for (const int table : {kKplByGroup, kExpAByGroup, kDifferenceByGroup}) {
        if (bound.buffer(table).stride(1) != sizeof(double)) return false;
    }
    if (bound.buffer(kRegularByGroup).stride(1) != 1) return false;
    if (spatial_rf) {
        for (const int table : {kRfAxisX, kRfAxisY, kRfCosine, kRfSine}) {
            if (bound.buffer(table).stride(1) != sizeof(double)) return false;
        }
    }
    return true;
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

    const ActionStream stream = gather_action_stream(bound, kObservation);
    const bool spatial_rf = width != 1;
    // Lanes add a tile's spins into the signal one after the other at each step, which is the
    // spin order only when a spin adds at most once to each element, or is its parent's only one.
    const bool lanes =
        nspins > 0 && rows_are_flat(bound, spatial_rf) &&
        (spins_per_parent == 1 ||
         adc_samples_unique(stream, nsteps, bound.shape(kActionKinds, 0),
                            bound.shape(kParentSpeciesSignal, 3)));
    const Block block{
        bound.view<double, 3>(kState).flat(),
        reinterpret_cast<double*>(bound.view<frame::Complex, 2>(kTransverseState).flat()),
        reinterpret_cast<const double*>(bound.view<frame::Complex, 3>(kTransverseFactors).flat()),
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
        spins_per_parent,
        spatial_rf,
        lanes,
        stream,
        gather_observation(bound, kObservation, 2, nspins, bound.real(kSignalScale),
                           bound.flag(kIdealCrushers)),
    };
    const auto runner = frame::simd_variant<RunBlock, const Block&, Py_ssize_t, Py_ssize_t>();
    // A parent's spins all run on one thread, in ascending local spin, so each signal element
    // sums its additions in one order for every team size.
    frame::run_region(num_threads, nparents, [&](Py_ssize_t begin, Py_ssize_t end) {
        runner(block, begin * spins_per_parent, end * spins_per_parent);
    });
    Py_RETURN_NONE;
}

}  // namespace korvel::plan
