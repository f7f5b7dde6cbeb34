// The action stream applied to a tile of W consecutive spins advanced together, one per lane
// (kernels/lanes.hpp; W = 1 with plain doubles is a single spin). Lanes are added into the
// signal in ascending order, so a tile is exact wherever the spins of a parent may run in tiles:
// when every parent has one spin, or when each signal element receives at most one addition per
// spin in the block (adc_samples_unique()). Then every element still sums its additions in the
// order (spin, step, action) of actions.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "kernels/lanes.hpp"
#include "plan/actions.hpp"

namespace korvel::plan {

// The pools of a tile (plan/engine.hpp) have members x, y, z (transverse real, imaginary,
// longitudinal), each indexed by pool, count() pools, and kFixed, their count if fixed at
// compile time (else 0).
// f(p) for every pool p of a tile: unrolled at compile time for a fixed pool count, so that the
// pools' values stay in registers.
template <class Pools, class F>
inline void for_each_pool(const Pools& v, F&& f) noexcept {
    if constexpr (Pools::kFixed > 0) {
        [&]<int... p>(std::integer_sequence<int, p...>) { (f(std::ptrdiff_t{p}), ...); }
        (std::make_integer_sequence<int, Pools::kFixed>{});
    } else {
        for (std::ptrdiff_t p = 0; p < v.count(); ++p) f(p);
    }
}

// How far ahead of an ADC sample the next ones' accumulators are fetched.
inline constexpr std::ptrdiff_t kSamplesAhead = 8;

// A tile's spins: first_spin .. first_spin + W - 1, with their receive weights in lanes.
template <class T>
struct Tile {
    std::ptrdiff_t first_spin;
    std::ptrdiff_t spins_per_parent;
    T weight;
};

// A block without ADC actions may pass signal_weights of any length (even empty) and never
// reads it; then the weights stay zero.
template <class T>
inline Tile<T> tile_at(const Observation& observation, std::ptrdiff_t first_spin,
                       std::ptrdiff_t spins_per_parent) noexcept {
    constexpr std::ptrdiff_t W = kernels::kLaneCount<T>;
    if (first_spin + W > observation.nweights) return {first_spin, spins_per_parent, T{}};
    const T weight = kernels::gather_lanes<T>(
        observation.signal_weights + first_spin * observation.signal_weights_stride,
        observation.signal_weights_stride);
    return {first_spin, spins_per_parent, weight};
}

// Adds W rows of lanes into their accumulators: rows[j] holds the tile's lanes of the quantity
// whose accumulator is targets[j] (null for padding), each accumulator summing the lanes in
// ascending order.
template <class T>
inline void add_lanes(const T* rows, double* const* targets) noexcept {
    constexpr int W = kernels::kLaneCount<T>;
    T sums{};
#pragma GCC unroll 8
    for (int j = 0; j < W; ++j) {
        if (targets[j] != nullptr) sums[j] = *targets[j];
    }
    sums = kernels::add_lanes_in_order(sums, rows);
#pragma GCC unroll 8
    for (int j = 0; j < W; ++j) {
        if (targets[j] != nullptr) *targets[j] = sums[j];
    }
}

// Adds every lane's received signal into sample `sample` of its parent, lane after lane: each
// (pool, coil) accumulator of a parent receives the tile's spins in ascending order. A tile
// within one parent goes through add_lanes, a group of coils at a time: G coils give the
// 2 x P x G real and imaginary parts that fill whole rows of W lanes. With one spin per parent
// each lane adds into its own parent's accumulators, which no other lane touches: one vector
// addition per accumulator row, in the lane's own order.
template <class T, class Pools>
inline void tile_adc_sample(const Observation& observation, std::int64_t sample,
                            const Tile<T>& tile, const Pools& pools) noexcept {
    constexpr int W = kernels::kLaneCount<T>, P = Pools::kFixed;
    const double demod_real = observation.adc_demodulation[2 * sample];
    const double demod_imag = observation.adc_demodulation[2 * sample + 1];
    const std::ptrdiff_t first_parent = tile.first_spin / tile.spins_per_parent;
    const auto received = [&](std::ptrdiff_t coil, std::ptrdiff_t pool, T& received_real,
                              T& received_imag) {
        T rx_real, rx_imag;
        kernels::load_complex_lanes(
            observation.rx_sensitivities + 2 * (coil * observation.nspins + tile.first_spin),
            rx_real, rx_imag);
        received_signal(pools.x[pool], pools.y[pool], rx_real, rx_imag, tile.weight,
                        observation.signal_scale, demod_real, demod_imag, received_real,
                        received_imag);
    };
    if constexpr (W > 1 && P > 0) {
        if (tile.spins_per_parent == 1) {
            const std::ptrdiff_t parent_stride = 2 * P * observation.ncoils * observation.nadc;
            using Pair = kernels::Lanes<2>;  // one accumulator's (real, imag)
            for (std::ptrdiff_t coil = 0; coil < observation.ncoils; ++coil) {
#pragma GCC unroll 8
                for (int pool = 0; pool < P; ++pool) {
                    T received_real, received_imag;
                    received(coil, pool, received_real, received_imag);
                    double* const signal =
                        signal_element(observation, first_parent, pool, coil, sample);
#pragma GCC unroll 8
                    for (int lane = 0; lane < W; ++lane) {
                        double* const at = signal + lane * parent_stride;
                        const Pair sum = kernels::load_lanes<Pair>(at) +
                                         Pair{received_real[lane], received_imag[lane]};
                        kernels::store_lanes(at, sum);
                        // Each lane walks its own row of samples, a cache line per four: more
                        // streams than the hardware follows, so the row is fetched ahead.
                        __builtin_prefetch(at + 2 * kSamplesAhead, 1);
                    }
                }
            }
            return;
        }
        if ((tile.first_spin + W - 1) / tile.spins_per_parent == first_parent) {
            constexpr int G = W > 2 * P ? W / (2 * P) : 1;
            // Rows, padded to whole blocks of W.
            constexpr auto R = static_cast<std::size_t>((2 * P * G + W - 1) / W * W);
            for (std::ptrdiff_t group = 0; group < observation.ncoils; group += G) {
                T rows[R];
                double* targets[R];
#pragma GCC unroll 8
                for (std::size_t j = 2 * P * G; j < R; ++j) {
                    rows[j] = T{};
                    targets[j] = nullptr;
                }
#pragma GCC unroll 8
                for (int g = 0; g < G; ++g) {
                    const std::ptrdiff_t coil = group + g;
#pragma GCC unroll 8
                    for (int pool = 0; pool < P; ++pool) {
                        const int j = 2 * (g * P + pool);
                        if (coil < observation.ncoils) {
                            received(coil, pool, rows[j], rows[j + 1]);
                            targets[j] =
                                signal_element(observation, first_parent, pool, coil, sample);
                            targets[j + 1] = targets[j] + 1;
                        } else {
                            rows[j] = rows[j + 1] = T{};
                            targets[j] = targets[j + 1] = nullptr;
                        }
                    }
                }
#pragma GCC unroll 8
                for (std::size_t block = 0; block < R; block += W) {
                    add_lanes(rows + block, targets + block);
                }
            }
            return;
        }
    }
    for (std::ptrdiff_t coil = 0; coil < observation.ncoils; ++coil) {
        for_each_pool(pools, [&](std::ptrdiff_t pool) {
            T received_real, received_imag;
            received(coil, pool, received_real, received_imag);
            for (int lane = 0; lane < W; ++lane) {
                const std::ptrdiff_t parent = (tile.first_spin + lane) / tile.spins_per_parent;
                double* signal = signal_element(observation, parent, pool, coil, sample);
                signal[0] = signal[0] + kernels::lane_of(received_real, lane);
                signal[1] = signal[1] + kernels::lane_of(received_imag, lane);
            }
        });
    }
}

template <class T, class Pools>
inline void tile_checkpoint(const Observation& observation, std::int64_t index, const Tile<T>& tile,
                            const Pools& pools) noexcept {
    for_each_pool(pools, [&](std::ptrdiff_t pool) {
        double* snapshot =
            observation.checkpoint_states +
            3 * ((index * observation.npools + pool) * observation.nspins + tile.first_spin);
        for (int lane = 0; lane < kernels::kLaneCount<T>; ++lane) {
            snapshot[3 * lane] = kernels::lane_of(pools.x[pool], lane);
            snapshot[3 * lane + 1] = kernels::lane_of(pools.y[pool], lane);
            snapshot[3 * lane + 2] = kernels::lane_of(pools.z[pool], lane);
        }
    });
}

// The actions of `step` for every spin of the tile, in stream order.
template <class T, class Pools>
inline void run_tile_actions(const ActionStream& stream, const Observation& observation,
                             std::ptrdiff_t step, const Tile<T>& tile, Pools& pools) noexcept {
    const std::ptrdiff_t end = stream.offset(step + 1);
    for (std::ptrdiff_t action = stream.offset(step); action < end; ++action) {
        switch (stream.kind(action)) {
            case kCrusherAction:
                if (observation.ideal_crushers) pools.clear_transverse();
                break;
            case kAdcAction:
                tile_adc_sample(observation, stream.payload(action), tile, pools);
                break;
            case kCheckpointAction:
                tile_checkpoint(observation, stream.payload(action), tile, pools);
                break;
            default: break;
        }
    }
}

// True when no ADC sample is the payload of two actions the block runs (counting an entry once
// per bracket that holds it), so that every signal element receives at most one addition per
// spin. Needs the brackets and payloads checked (check_actions); false also when out of memory.
bool adc_samples_unique(const ActionStream& stream, std::ptrdiff_t nsteps, std::ptrdiff_t nactions,
                        std::ptrdiff_t nadc) noexcept;

}  // namespace korvel::plan
