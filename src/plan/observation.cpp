// Host side of the plan actions: gathering the observation arrays and the checks that keep a
// block's indices, payloads and shapes inside the arrays it was given.
#include "plan/observation.hpp"

#include <cstdint>
#include <cstdio>
#include <new>
#include <vector>

#include "plan/lane_actions.hpp"

namespace korvel::plan {
namespace {

const char* name_of(const frame::Signature& signature, int i) {
    return signature.params()[static_cast<std::size_t>(i)].name;
}

bool fail(const char* format, const char* name, const char* other = nullptr) {
    if (other == nullptr) {
        PyErr_Format(PyExc_ValueError, format, name);
    } else {
        PyErr_Format(PyExc_ValueError, format, name, other);
    }
    return false;
}

// The flat-addressed observation arrays: "<name> must be C-contiguous".
bool require_contiguous_named(const frame::Signature& signature, const frame::Bound& bound, int i) {
    char message[128];
    std::snprintf(message, sizeof message, "%s must be C-contiguous", name_of(signature, i));
    return frame::require_c_contiguous(bound, {i}, message);
}

}  // namespace

bool spins_fill_parents(Py_ssize_t nspins, long spins_per_parent, Py_ssize_t nparents) noexcept {
    if (spins_per_parent <= 0 || nspins < 0 || nparents < 0) return false;
    return nspins % spins_per_parent == 0 && nspins / spins_per_parent == nparents;
}

ActionStream gather_action_stream(const frame::Bound& bound, const ObservationArgs& args) noexcept {
    const frame::Buffer& offsets = bound.buffer(args.action_offsets);
    const frame::Buffer& kinds = bound.buffer(args.action_kinds);
    const frame::Buffer& payloads = bound.buffer(args.action_payloads);
    return {offsets.data(),  offsets.stride(0), kinds.data(),
            kinds.stride(0), payloads.data(),   payloads.stride(0)};
}

Observation gather_observation(const frame::Bound& bound, const ObservationArgs& args,
                               Py_ssize_t npools, Py_ssize_t nspins, double signal_scale,
                               bool ideal_crushers) noexcept {
    const frame::Buffer& weights = bound.buffer(args.signal_weights);
    Observation observation;
    observation.adc_demodulation =
        reinterpret_cast<const double*>(bound.buffer(args.adc_demodulation).data());
    observation.rx_sensitivities =
        reinterpret_cast<const double*>(bound.buffer(args.rx_sensitivities).data());
    observation.signal_weights = weights.data();
    observation.signal_weights_stride = weights.stride(0);
    observation.nweights = weights.acquired() ? weights.shape(0) : 0;
    observation.parent_species_signal =
        reinterpret_cast<double*>(bound.buffer(args.parent_species_signal).data());
    observation.checkpoint_states =
        reinterpret_cast<double*>(bound.buffer(args.checkpoint_states).data());
    observation.nspins = nspins;
    observation.npools = npools;
    observation.ncoils = bound.shape(args.parent_species_signal, 2);
    observation.nadc = bound.shape(args.parent_species_signal, 3);
    observation.nactions = bound.shape(args.action_kinds, 0);
    observation.signal_scale = signal_scale;
    observation.ideal_crushers = ideal_crushers;
    return observation;
}

bool check_extent(const frame::Signature& signature, const frame::Bound& bound,
                  std::initializer_list<int> arrays, int axis, Py_ssize_t extent,
                  const char* requirement) {
    for (const int i : arrays) {
        if (bound.shape(i, axis) != extent) {
            PyErr_Format(PyExc_ValueError, "%s %s", name_of(signature, i), requirement);
            return false;
        }
    }
    return true;
}

bool check_step_indices(const frame::Signature& signature, const frame::Bound& bound, int index,
                        Py_ssize_t nsteps, std::initializer_list<int> tables,
                        bool negative_means_none) {
    const char* name = name_of(signature, index);
    if (bound.shape(index, 0) < nsteps) {
        return fail("%s must have an entry for every plan step", name);
    }
    const auto groups = bound.view<std::int32_t, 1>(index);
    std::int32_t lowest = 0, highest = -1;
    for (Py_ssize_t step = 0; step < nsteps; ++step) {
        const std::int32_t group = groups.load(step);
        if (group < lowest) lowest = group;
        if (group > highest) highest = group;
    }
    for (const int table : tables) {
        if ((lowest < 0 && !negative_means_none) || highest >= bound.shape(table, 0)) {
            return fail("%s entries must index rows of %s", name, name_of(signature, table));
        }
    }
    return true;
}

bool check_actions(const frame::Signature& signature, const frame::Bound& bound,
                   const ObservationArgs& args, Py_ssize_t nsteps, Py_ssize_t npools,
                   Py_ssize_t nspins) {
    const Py_ssize_t nactions = bound.shape(args.action_kinds, 0);
    if (bound.shape(args.action_payloads, 0) != nactions) {
        return fail("%s and %s must have equal lengths", name_of(signature, args.action_kinds),
                    name_of(signature, args.action_payloads));
    }
    const Py_ssize_t nadc = bound.shape(args.parent_species_signal, 3);
    const Py_ssize_t ndemodulation = bound.shape(args.adc_demodulation, 0);
    const Py_ssize_t ncheckpoints = bound.shape(args.checkpoint_states, 0);
    const ActionStream stream = gather_action_stream(bound, args);
    enum Fault { kNone, kAdcPayload, kCheckpointPayload };
    const auto fault_of = [&](Py_ssize_t action) {
        const std::int64_t payload = stream.payload(action);
        switch (stream.kind(action)) {
            case kAdcAction:
                return payload < 0 || payload >= nadc || payload >= ndemodulation ? kAdcPayload
                                                                                  : kNone;
            case kCheckpointAction:
                return payload < 0 || payload >= ncheckpoints ? kCheckpointPayload : kNone;
            default: return kNone;
        }
    };
    // Running counts over all entries, so that each bracket costs O(1) however the brackets
    // overlap; only entries inside a bracket can fail.
    struct Counts {
        Py_ssize_t adc = 0, checkpoint = 0, faulty = 0;
    };
    std::vector<Counts> counts;
    try {
        counts.resize(static_cast<std::size_t>(nactions) + 1);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t action = 0; action < nactions; ++action) {
        Counts next = counts[static_cast<std::size_t>(action)];
        const std::int8_t kind = stream.kind(action);
        next.adc += kind == kAdcAction;
        next.checkpoint += kind == kCheckpointAction;
        next.faulty += fault_of(action) != kNone;
        counts[static_cast<std::size_t>(action) + 1] = next;
    }
    bool has_adc = false, has_checkpoint = false;
    for (Py_ssize_t step = 0; step < nsteps; ++step) {
        const Py_ssize_t begin = stream.offset(step), end = stream.offset(step + 1);
        if (begin >= end) continue;  // no actions, whatever the offsets
        if (begin < 0 || end > nactions) {
            return fail("%s must bracket entries of action_kinds and action_payloads",
                        name_of(signature, args.action_offsets));
        }
        const Counts& first = counts[static_cast<std::size_t>(begin)];
        const Counts& last = counts[static_cast<std::size_t>(end)];
        if (last.faulty != first.faulty) {
            Py_ssize_t action = begin;
            while (fault_of(action) == kNone) ++action;
            if (fault_of(action) == kAdcPayload) {
                return fail("ADC payloads must be below nadc and the length of %s",
                            name_of(signature, args.adc_demodulation));
            }
            return fail("checkpoint payloads must be below the length of %s",
                        name_of(signature, args.checkpoint_states));
        }
        has_adc = has_adc || last.adc != first.adc;
        has_checkpoint = has_checkpoint || last.checkpoint != first.checkpoint;
    }
    if (has_adc) {
        if (bound.shape(args.rx_sensitivities, 1) != nspins) {
            return fail("%s must have a column for every spin",
                        name_of(signature, args.rx_sensitivities));
        }
        if (bound.shape(args.signal_weights, 0) != nspins) {
            return fail("%s must have an entry for every spin",
                        name_of(signature, args.signal_weights));
        }
        for (const int i :
             {args.adc_demodulation, args.rx_sensitivities, args.parent_species_signal}) {
            if (!require_contiguous_named(signature, bound, i)) return false;
        }
    }
    if (has_checkpoint) {
        const int states = args.checkpoint_states;
        if (bound.shape(states, 1) != npools || bound.shape(states, 2) != nspins ||
            bound.shape(states, 3) != 3) {
            return fail("%s must have shape (ncheckpoints, npools, nspins, 3)",
                        name_of(signature, states));
        }
        if (!require_contiguous_named(signature, bound, states)) return false;
    }
    return true;
}

Table table_of(const frame::Buffer& buffer, int row_axis, int spin_axis,
               int product_axis) noexcept {
    const auto stride = [&buffer](int axis) { return axis < 0 ? 0 : buffer.stride(axis); };
    return {buffer.data(), stride(row_axis), stride(spin_axis), stride(product_axis)};
}

Common gather_common(const frame::Bound& bound, const EngineArgs& args, Py_ssize_t npools,
                     Py_ssize_t nspins, Py_ssize_t spins_per_parent, bool has_actions,
                     double signal_scale, bool ideal_crushers) noexcept {
    Common c;
    const auto flat = [&bound](int i) { return reinterpret_cast<double*>(bound.buffer(i).data()); };
    c.states = {flat(args.state), flat(args.transverse_state),
                args.concentration_state < 0 ? nullptr : flat(args.concentration_state), npools,
                nspins};
    const frame::Buffer& factors = bound.buffer(args.transverse_factors);
    c.factors = {factors.data(), factors.stride(0), factors.stride(1), factors.stride(2)};
    Table* const rf[] = {&c.rf.axis_x, &c.rf.axis_y, &c.rf.cosine, &c.rf.sine,
                         &c.rf.one_minus_cosine};
    for (int k = 0; k < 5; ++k) *rf[k] = table_of(bound.buffer(args.rf_axis_x + k), 0, 1);
    const auto column = [&bound](int i) {
        return Column{bound.buffer(i).data(), bound.buffer(i).stride(0)};
    };
    c.longitudinal_groups = column(args.longitudinal_groups);
    c.first_factor_groups = column(args.first_factor_groups);
    c.second_factor_groups = column(args.second_factor_groups);
    c.rf_groups = column(args.rf_groups);
    c.nsteps = bound.shape(args.longitudinal_groups, 0);
    c.spins_per_parent = spins_per_parent;
    for (Py_ssize_t step = 0; step < c.nsteps; ++step) {
        const Py_ssize_t group = c.longitudinal_groups[step];
        if (group + 1 > c.groups_used) c.groups_used = group + 1;
    }
    c.has_actions = has_actions;
    if (has_actions) {
        c.stream = gather_action_stream(bound, args.observation);
        c.observation = gather_observation(bound, args.observation, npools, nspins, signal_scale,
                                           ideal_crushers);
    }
    return c;
}

void allow_lanes(Common& common, std::initializer_list<const Table*> rows,
                 std::initializer_list<const Table*> masks,
                 std::initializer_list<const Table*> tables) noexcept {
    common.lanes = false;
    for (const Table* row : rows) common.broadcast_rows |= row->spin_stride == 0;
    for (const Table* mask : masks) common.broadcast_rows |= mask->spin_stride == 0;
    if (common.states.nspins == 0 || !common.factors.lanes_ok()) return;
    for (const auto& list : {rows, tables}) {
        for (const Table* table : list) {
            if (!table->lanes_ok(sizeof(double))) return;
        }
    }
    if (common.spatial_rf) {  // the axis form reads one value per group
        for (const Table* table :
             {&common.rf.axis_x, &common.rf.axis_y, &common.rf.cosine, &common.rf.sine}) {
            if (!table->lanes_ok(sizeof(double))) return;
        }
    }
    for (const Table* mask : masks) {
        if (!mask->lanes_ok(1)) return;
    }
    common.lanes = !common.has_actions || common.spins_per_parent == 1 ||
                   adc_samples_unique(common.stream, common.nsteps, common.observation.nactions,
                                      common.observation.nadc);
}

bool check_parents(Py_ssize_t nspins, long spins_per_parent, Py_ssize_t nparents) {
    if (spins_fill_parents(nspins, spins_per_parent, nparents)) return true;
    PyErr_SetString(PyExc_ValueError, "parent/spin dimensions are inconsistent");
    return false;
}

bool check_action_offsets(const frame::Bound& bound, int action_offsets, Py_ssize_t nsteps) {
    if (bound.shape(action_offsets, 0) == nsteps + 1) return true;
    PyErr_SetString(PyExc_ValueError, "action offsets must bracket every plan step");
    return false;
}

bool check_num_threads(int num_threads) {
    if (num_threads >= 1) return true;
    PyErr_SetString(PyExc_ValueError, "num_threads must be positive");
    return false;
}

bool check_rf_width(Py_ssize_t width, Py_ssize_t nspins, const char* message) {
    if (width == 1 || width == nspins) return true;
    PyErr_SetString(PyExc_ValueError, message);
    return false;
}

bool adc_samples_unique(const ActionStream& stream, std::ptrdiff_t nsteps, std::ptrdiff_t nactions,
                        std::ptrdiff_t nadc) noexcept {
    try {
        // The first ADC entry at or after each entry, so a bracket costs only its ADC entries:
        // each one marks a new sample or ends the search, whatever the brackets overlap.
        std::vector<std::ptrdiff_t> next_adc(static_cast<std::size_t>(nactions) + 1, nactions);
        for (std::ptrdiff_t action = nactions - 1; action >= 0; --action) {
            next_adc[static_cast<std::size_t>(action)] =
                stream.kind(action) == kAdcAction ? action
                                                  : next_adc[static_cast<std::size_t>(action) + 1];
        }
        std::vector<bool> seen(static_cast<std::size_t>(nadc), false);
        for (std::ptrdiff_t step = 0; step < nsteps; ++step) {
            const std::ptrdiff_t begin = stream.offset(step), end = stream.offset(step + 1);
            if (begin >= end) continue;
            for (std::ptrdiff_t action = next_adc[static_cast<std::size_t>(begin)]; action < end;
                 action = next_adc[static_cast<std::size_t>(action) + 1]) {
                const auto sample = static_cast<std::size_t>(stream.payload(action));
                if (seen[sample]) return false;
                seen[sample] = true;
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;  // the spin-by-spin order is right for every stream
    }
}

}  // namespace korvel::plan
