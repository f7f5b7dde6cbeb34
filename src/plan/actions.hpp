// The action stream of the plan-block drivers: crushers, ADC samples and checkpoints applied to
// one spin after each plan step. Plain pointers and strides only (no Python.h, no OpenMP), so the
// per-spin code is the same for every driver and every state layout.
//
// Use from a driver:
//   1. On the host, after validation: `ActionStream stream = gather_action_stream(...)` and
//      `Observation observation = gather_observation(...)` (observation.hpp), after the checks
//      of observation.hpp have passed for the block.
//   2. Per spin i of parent P, after plan step s: `run_step_actions(stream, observation, s, P, i,
//      spin)`, where `spin` exposes the spin's current values per pool. Two adapters exist:
//      `TwoPoolLocals` (six working doubles held as locals) and `PoolsInPlace` (npools pools read
//      and written directly in the flat transverse and longitudinal state arrays). Any type with
//      the same members works (see TwoPoolLocals for the interface).
// Every parent must be run by one thread with its spins in ascending local spin, each spin
// through its steps in ascending order: then each signal element sums its additions in one
// fixed order for every team size, with no partial sums and no reduction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvel::plan {

enum ActionKind : std::int8_t { kCrusherAction = 1, kAdcAction = 2, kCheckpointAction = 3 };

// Reads element i of a one-dimensional array through its byte stride, at any alignment.
template <class T>
inline T load_strided(const char* data, std::ptrdiff_t stride, std::ptrdiff_t i) noexcept {
    T value;
    std::memcpy(&value, data + i * stride, sizeof(T));
    return value;
}

// `action_offsets` (int32), `action_kinds` (int8), `action_payloads` (int64), read through
// their strides. The actions of step s are the entries a with offsets[s] <= a < offsets[s + 1].
struct ActionStream {
    const char* offsets = nullptr;
    std::ptrdiff_t offsets_stride = 0;
    const char* kinds = nullptr;
    std::ptrdiff_t kinds_stride = 0;
    const char* payloads = nullptr;
    std::ptrdiff_t payloads_stride = 0;

    std::int32_t offset(std::ptrdiff_t step) const noexcept {
        return load_strided<std::int32_t>(offsets, offsets_stride, step);
    }
    std::int8_t kind(std::ptrdiff_t action) const noexcept {
        return load_strided<std::int8_t>(kinds, kinds_stride, action);
    }
    std::int64_t payload(std::ptrdiff_t action) const noexcept {
        return load_strided<std::int64_t>(payloads, payloads_stride, action);
    }
};

// The observation arrays of a block. Complex arrays are seen as interleaved (real, imag)
// doubles; the flat ones are C-contiguous, `signal_weights` is read through its stride.
struct Observation {
    const double* adc_demodulation = nullptr;  // (>= nadc,) complex
    const double* rx_sensitivities = nullptr;  // (ncoils, nspins) complex
    const char* signal_weights = nullptr;      // (nspins,) float64, strided
    std::ptrdiff_t signal_weights_stride = 0;
    std::ptrdiff_t nweights = 0;  // entries of signal_weights: nspins when the block has an ADC
    double* parent_species_signal = nullptr;   // (nparents, npools, ncoils, nadc) complex
    double* checkpoint_states = nullptr;       // (ncheckpoints, npools, nspins, 3)
    std::ptrdiff_t nspins = 0;
    std::ptrdiff_t npools = 0;
    std::ptrdiff_t ncoils = 0;
    std::ptrdiff_t nadc = 0;
    double signal_scale = 1.0;
    bool ideal_crushers = false;
};

// A spin of a two-pool driver whose six working values are locals: pool 0 is (pyruvate_x,
// pyruvate_y, pyruvate_z), pool 1 (lactate_x, lactate_y, lactate_z). The members below are the
// interface run_step_actions() expects from any spin type.
struct TwoPoolLocals {
    double& pyruvate_x;
    double& pyruvate_y;
    double& pyruvate_z;
    double& lactate_x;
    double& lactate_y;
    double& lactate_z;

    std::ptrdiff_t pools() const noexcept { return 2; }
    double transverse_real(std::ptrdiff_t pool) const noexcept {
        return pool == 0 ? pyruvate_x : lactate_x;
    }
    double transverse_imag(std::ptrdiff_t pool) const noexcept {
        return pool == 0 ? pyruvate_y : lactate_y;
    }
    double longitudinal(std::ptrdiff_t pool) const noexcept {
        return pool == 0 ? pyruvate_z : lactate_z;
    }
    void clear_transverse() noexcept { pyruvate_x = pyruvate_y = lactate_x = lactate_y = +0.0; }
};

// A spin whose values stay in the flat state arrays: `transverse` points at the real part of
// transverse_state[0, i] (complex128, (npools, nspins)), `longitudinal_values` at state[0, i, 2]
// (float64, (npools, nspins, 3)); pool p lies p * nspins elements further in each.
struct PoolsInPlace {
    double* transverse;
    double* longitudinal_values;
    std::ptrdiff_t npools;
    std::ptrdiff_t nspins;

    static PoolsInPlace at(double* transverse_data, double* state_data, std::ptrdiff_t npools,
                           std::ptrdiff_t nspins, std::ptrdiff_t spin) noexcept {
        return {transverse_data + 2 * spin, state_data + (3 * spin + 2), npools, nspins};
    }
    std::ptrdiff_t pools() const noexcept { return npools; }
    double transverse_real(std::ptrdiff_t pool) const noexcept {
        return transverse[2 * nspins * pool];
    }
    double transverse_imag(std::ptrdiff_t pool) const noexcept {
        return transverse[2 * nspins * pool + 1];
    }
    double longitudinal(std::ptrdiff_t pool) const noexcept {
        return longitudinal_values[3 * nspins * pool];
    }
    void clear_transverse() noexcept {
        for (std::ptrdiff_t pool = 0; pool < npools; ++pool) {
            transverse[2 * nspins * pool] = +0.0;
            transverse[2 * nspins * pool + 1] = +0.0;
        }
    }
};

// The signal one pool of one spin sends to one coil, received: sensitivity times transverse
// value, weighted, scaled, demodulated. The weight and the scale are two roundings, weight
// first; never premultiplied. Doubles or lanes (one spin per lane).
template <class T>
inline void received_signal(T mx, T my, T rx_real, T rx_imag, T weight, double signal_scale,
                            double demod_real, double demod_imag, T& received_real,
                            T& received_imag) noexcept {
    const T transverse_real = (rx_real * mx) - (rx_imag * my);
    const T transverse_imag = (rx_imag * mx) + (rx_real * my);
    const T weighted_real = (transverse_real * weight) * signal_scale;
    const T weighted_imag = (transverse_imag * weight) * signal_scale;
    received_real = (weighted_real * demod_real) - (weighted_imag * demod_imag);
    received_imag = (weighted_real * demod_imag) + (weighted_imag * demod_real);
}

// Element (parent, pool, coil, sample) of the signal accumulator, as (real, imag) doubles.
inline double* signal_element(const Observation& observation, std::ptrdiff_t parent,
                              std::ptrdiff_t pool, std::ptrdiff_t coil,
                              std::int64_t sample) noexcept {
    return observation.parent_species_signal +
           2 * (((parent * observation.npools + pool) * observation.ncoils + coil) *
                    observation.nadc +
                sample);
}

// Adds the received signal of every pool and coil of `spin` to sample `sample` of `parent`.
// Each (pool, coil) pair has its own accumulator, so the visiting order within the action is
// immaterial.
template <class Spin>
inline void adc_sample(const Observation& observation, std::int64_t sample, std::ptrdiff_t parent,
                       std::ptrdiff_t spin, const Spin& values) noexcept {
    const double demod_real = observation.adc_demodulation[2 * sample];
    const double demod_imag = observation.adc_demodulation[2 * sample + 1];
    const double weight = load_strided<double>(observation.signal_weights,
                                               observation.signal_weights_stride, spin);
    const std::ptrdiff_t npools = values.pools();
    for (std::ptrdiff_t coil = 0; coil < observation.ncoils; ++coil) {
        const double* rx = observation.rx_sensitivities + 2 * (coil * observation.nspins + spin);
        for (std::ptrdiff_t pool = 0; pool < npools; ++pool) {
            double received_real, received_imag;
            received_signal(values.transverse_real(pool), values.transverse_imag(pool), rx[0],
                            rx[1], weight, observation.signal_scale, demod_real, demod_imag,
                            received_real, received_imag);
            double* signal = signal_element(observation, parent, pool, coil, sample);
            signal[0] = signal[0] + received_real;
            signal[1] = signal[1] + received_imag;
        }
    }
}

// Copies every pool's current (real, imag, longitudinal) values of `spin` into snapshot `index`.
template <class Spin>
inline void checkpoint(const Observation& observation, std::int64_t index, std::ptrdiff_t spin,
                       const Spin& values) noexcept {
    const std::ptrdiff_t npools = values.pools();
    for (std::ptrdiff_t pool = 0; pool < npools; ++pool) {
        double* snapshot = observation.checkpoint_states +
                           3 * ((index * observation.npools + pool) * observation.nspins + spin);
        snapshot[0] = values.transverse_real(pool);
        snapshot[1] = values.transverse_imag(pool);
        snapshot[2] = values.longitudinal(pool);
    }
}

// The actions of `step` for `spin` of `parent`, in stream order, each seeing the effect of the
// ones before it. An empty or inverted bracket has no actions; unknown kinds are skipped.
template <class Spin>
inline void run_step_actions(const ActionStream& stream, const Observation& observation,
                             std::ptrdiff_t step, std::ptrdiff_t parent, std::ptrdiff_t spin,
                             Spin& values) noexcept {
    const std::ptrdiff_t end = stream.offset(step + 1);
    for (std::ptrdiff_t action = stream.offset(step); action < end; ++action) {
        switch (stream.kind(action)) {
            case kCrusherAction:
                if (observation.ideal_crushers) values.clear_transverse();
                break;
            case kAdcAction:
                adc_sample(observation, stream.payload(action), parent, spin, values);
                break;
            case kCheckpointAction:
                checkpoint(observation, stream.payload(action), spin, values);
                break;
            default:
                break;
        }
    }
}

}  // namespace korvel::plan
