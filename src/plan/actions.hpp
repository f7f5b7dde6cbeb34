// The action stream of the plan-block drivers: crushers, ADC samples and checkpoints applied to
// a tile of spins after each plan step (plan/lane_actions.hpp). Plain pointers and strides only
// (no Python.h, no OpenMP).
//
// Use from a driver: on the host, after validation, `ActionStream stream =
// gather_action_stream(...)` and `Observation observation = gather_observation(...)`
// (observation.hpp), after the checks of observation.hpp have passed for the block.
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
    double* parent_species_signal = nullptr;  // (nparents, npools, ncoils, nadc) complex
    double* checkpoint_states = nullptr;      // (ncheckpoints, npools, nspins, 3)
    std::ptrdiff_t nspins = 0;
    std::ptrdiff_t npools = 0;
    std::ptrdiff_t ncoils = 0;
    std::ptrdiff_t nadc = 0;
    std::ptrdiff_t nactions = 0;  // entries of action_kinds
    double signal_scale = 1.0;
    bool ideal_crushers = false;
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

}  // namespace korvel::plan
