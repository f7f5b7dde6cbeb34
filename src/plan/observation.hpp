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

#include "frame/frame.hpp"
#include "plan/actions.hpp"

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

}  // namespace korvel::plan
