// Host side of the plan actions, shared by the three plan-block drivers: gathering the action
// stream and the observation arrays into the plain structs of actions.hpp, and the checks that
// keep a block inside the arrays it was given. Runs with the GIL held, before any region.
//
// The driver's own validation comes first, in its documented order. Then, for a block with
// spins (an empty block touches nothing), the checks below in this order, each returning false
// with a ValueError that names the array:
//   check_extent         table shapes the kernel reads (nspins columns, the RF tables alike)
//   check_step_indices   per-step index arrays: long enough, every entry a row of its tables
//   check_actions        brackets, payloads, and the shapes and contiguity of the arrays that
//                        the block's actions touch
// and last frame::check_memory (alignment, writability).
#pragma once

#include <Python.h>

#include <initializer_list>
#include <numeric>

#include "frame/frame.hpp"
#include "frame/simd.hpp"
#include "plan/actions.hpp"
#include "plan/engine.hpp"

namespace korvel::plan {

// Where a driver's parameter table holds the action stream and the observation arrays.
struct ObservationArgs {
    int action_offsets;
    int action_kinds;
    int action_payloads;
    int adc_demodulation;
    int rx_sensitivities;
    int signal_weights;
    int parent_species_signal;
    int checkpoint_states;
};

// nspins == spins_per_parent * nparents with spins_per_parent > 0, decided without forming the
// product, so a product that would wrap around cannot match.
bool spins_fill_parents(Py_ssize_t nspins, long spins_per_parent, Py_ssize_t nparents) noexcept;

ActionStream gather_action_stream(const frame::Bound& bound, const ObservationArgs& args) noexcept;

// npools is the driver's pool count; ncoils and nadc come from parent_species_signal.
Observation gather_observation(const frame::Bound& bound, const ObservationArgs& args,
                               Py_ssize_t npools, Py_ssize_t nspins, double signal_scale,
                               bool ideal_crushers) noexcept;

// Requires shape[axis] == extent of every listed array; the message is "<name> <requirement>",
// e.g. check_extent(sig, bound, {kKpl}, 1, nspins, "must have nspins columns").
bool check_extent(const frame::Signature& signature, const frame::Bound& bound,
                  std::initializer_list<int> arrays, int axis, Py_ssize_t extent,
                  const char* requirement);

// The int32 per-step array `index` has at least nsteps entries, and each of its first nsteps
// entries is a row of every listed table (shape[0] greater than the entry). With
// `negative_means_none` a negative entry selects nothing and passes (rf_groups).
bool check_step_indices(const frame::Signature& signature, const frame::Bound& bound, int index,
                        Py_ssize_t nsteps, std::initializer_list<int> tables,
                        bool negative_means_none = false);

// The action stream and observation arrays, given the driver's own checks (offsets of length
// nsteps + 1, parent_species_signal of shape (nspins / spins_per_parent, npools, ncoils, nadc)
// with ncoils rows of rx_sensitivities). Checks equal lengths of action_kinds and
// action_payloads; that every non-empty bracket of the first nsteps steps lies within them;
// that ADC payloads are below nadc and the length of adc_demodulation, checkpoint payloads
// below the length of checkpoint_states (kinds outside every bracket, and payloads of other
// kinds, are never looked at); with an ADC action, that rx_sensitivities and signal_weights
// cover every spin and adc_demodulation, rx_sensitivities and parent_species_signal are
// C-contiguous; with a checkpoint action, that checkpoint_states is (ncheckpoints, npools,
// nspins, 3) and C-contiguous.
bool check_actions(const frame::Signature& signature, const frame::Bound& bound,
                   const ObservationArgs& args, Py_ssize_t nsteps, Py_ssize_t npools,
                   Py_ssize_t nspins);

// ---- The engine's host side: gathering a block and running it ----------------------------------

// Where a driver's parameter table holds the arrays every plan block has. The five RF tables
// follow rf_axis_x in the order of plan::Rf; concentration_state is -1 for a driver without.
struct EngineArgs {
    int state;
    int transverse_state;
    int concentration_state;
    int transverse_factors;
    int longitudinal_groups;
    int first_factor_groups;
    int second_factor_groups;
    int rf_groups;
    int rf_axis_x;
    ObservationArgs observation;
};

// An array read as [row, spin] (product_axis for a third axis): an axis of -1 is one the table
// repeats along (stride zero), so a per-spin array serves as a table with the same row for every
// group, a per-group one as a table with the same value for every spin.
Table table_of(const frame::Buffer& buffer, int row_axis, int spin_axis,
               int product_axis = -1) noexcept;

// The common part of a validated block; with `has_actions` also its stream and observation.
// The lanes flags are left to allow_lanes().
Common gather_common(const frame::Bound& bound, const EngineArgs& args, Py_ssize_t npools,
                     Py_ssize_t nspins, Py_ssize_t spins_per_parent, bool has_actions,
                     double signal_scale, bool ideal_crushers) noexcept;

// Whether whole tiles may run in lanes (common.lanes): every per-spin group table read through
// Rows (`rows`; masks: single bytes) and every other per-spin table (`tables`) read with unit or
// zero stride along the spins, the spatial RF tables likewise, the factors with unit stride, and
// an order of the signal's additions that tiles keep (one spin per parent, or no ADC sample
// written twice). common.broadcast_rows: one of `rows` or `masks` has zero spin stride.
void allow_lanes(Common& common, std::initializer_list<const Table*> rows,
                 std::initializer_list<const Table*> masks,
                 std::initializer_list<const Table*> tables = {}) noexcept;

// The checks every driver makes in its own order, each with its own fixed message; false with
// a ValueError set.
bool check_parents(Py_ssize_t nspins, long spins_per_parent, Py_ssize_t nparents);
bool check_action_offsets(const frame::Bound& bound, int action_offsets, Py_ssize_t nsteps);
bool check_num_threads(int num_threads);
bool check_rf_width(Py_ssize_t width, Py_ssize_t nspins, const char* message);

// Runs `Run<W>::run(block, first_spin, end_spin)` over the block's parents in one region, in the
// lane variant of this process (Run<W>::kLanes lanes). A parent's spins all run on one thread,
// in ascending order, so each signal element sums its additions in one order for every team.
// Threads take the parents in units whose spins fill whole tiles, so that every spin runs in
// the same tile, or as the same one-lane tile, for every team: the instructions a spin meets
// then never depend on the team, down to the sign and payload of a NaN that meets another NaN
// (which the compiler may order differently in lanes and in a single lane). Units share no
// output, so they are handed out in chunks to whichever thread is free.
template <template <int> class Run, class Block>
void run_parents(const Block& block, int num_threads, Py_ssize_t nparents) {
    const auto runner = frame::simd_variant<Run, const Block&, Py_ssize_t, Py_ssize_t>();
    const Py_ssize_t spins_per_parent = block.common.spins_per_parent;
    const Py_ssize_t lanes = block.common.lanes ? frame::simd_lanes<Run>() : 1;
    const Py_ssize_t unit = lanes / std::gcd(lanes, spins_per_parent);
    frame::run_region_dynamic(
        num_threads, (nparents + unit - 1) / unit, [&](Py_ssize_t begin, Py_ssize_t end) {
            const Py_ssize_t last = end * unit < nparents ? end * unit : nparents;
            runner(block, begin * unit * spins_per_parent, last * spins_per_parent);
        });
}

}  // namespace korvel::plan
