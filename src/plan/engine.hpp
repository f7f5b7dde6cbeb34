// The plan-block engine shared by the three plan drivers: tables read as [row, spin], the rows a
// tile reads at every step (packed side by side where that pays), the pools of a tile, free
// evolution and RF of every pool, the step skeleton and the loop over a thread's spins. Plain
// pointers and strides only (no Python.h, no OpenMP).
//
// A tile is W consecutive spins advanced together, one per lane (kernels/lanes.hpp); a tile of
// one lane is the same code on doubles and reads any stride, so every spin runs through one code
// path whatever tile it lands in. A driver is a step policy over a tile (see run_tile):
//   Policy(block, first, packed)    reads what the tile keeps for the whole block
//   step(step)                      the coefficients of one step
//   half_step<kHalf>(c, step, v)    the longitudinal half-step of every pool
// and a parameter table with its own checks (the driver's .cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "kernels/lanes.hpp"
#include "kernels/voxel_ops.hpp"
#include "plan/actions.hpp"
#include "plan/lane_actions.hpp"

namespace korvel::plan {

using Index = std::ptrdiff_t;

// An array read as [row, spin] through its byte strides. A zero spin stride gives every spin the
// row's one value (a table broadcast over the spins); a zero row stride every row the same
// values. `product_stride` steps along a third axis (the products of a multi-pool table).
struct Table {
    const char* data = nullptr;
    Index row_stride = 0;
    Index spin_stride = 0;
    Index product_stride = 0;

    const char* at(Index row, Index spin) const noexcept {
        return data + row * row_stride + spin * spin_stride;
    }
    template <class V = double>
    V value(Index row, Index spin = 0) const noexcept {
        V value;
        std::memcpy(&value, at(row, spin), sizeof(V));
        return value;
    }
    // The spins first .. first + W - 1 of a row: any stride for one lane; unit or zero stride
    // (loaded once, in every lane) for W lanes.
    template <class T>
    T load(Index row, Index first) const noexcept {
        if constexpr (kernels::kLaneCount<T> == 1) {
            return value(row, first);
        } else {
            if (spin_stride == 0) return kernels::splat<T>(value(row, 0));
            return kernels::load_lanes<T>(reinterpret_cast<const double*>(at(row, first)));
        }
    }
    // The same table with spin `spin` as its first.
    Table from(Index spin) const noexcept {
        return {at(0, spin), row_stride, spin_stride, product_stride};
    }
    Table product(Index q) const noexcept {
        return {data + q * product_stride, row_stride, spin_stride, 0};
    }
    // Lanes read W consecutive elements of `element` bytes, or one for all of them.
    bool lanes_ok(Index element) const noexcept {
        return spin_stride == 0 || spin_stride == element;
    }
};

// The rows of per-spin tables a tile reads at every step: row r of group g holds the tile's W
// values at start[r] + g * group_stride[r] (masks likewise, in bytes), in the tables themselves
// or in a copy packed on the thread's stack. Tables of one shape tend to lie at the same offset
// within a page, so a step's rows from a dozen tables compete for one set of the L1 cache and
// miss it again at every step; the packed copy holds them side by side, read from the tables
// once per tile. Packing pays when the block's groups are few and each is read at several
// steps. A row broadcast over the spins (zero spin stride) reaches lanes only through the
// packed copy, written out in every lane, so that a lane load is always one plain load.
inline constexpr std::size_t kPackedDoubles = 4096;  // 32 KiB of each thread's stack

template <int N, int M = 0>
struct Rows {
    static constexpr std::size_t kN = N > 0 ? N : 1, kM = M > 0 ? M : 1;
    const char* start[kN];
    Index group_stride[kN];
    const std::uint8_t* mask_start[kM];
    Index mask_group_stride[kM];

    // Doubles a packed copy of `groups` groups takes, masks included.
    static constexpr std::size_t packed_size(Index groups, int lanes) noexcept {
        return static_cast<std::size_t>(groups * (N * lanes + (M * lanes + 7) / 8));
    }

    template <class T>
    T load(int row, Index g) const noexcept {
        const auto r = static_cast<std::size_t>(row);
        return kernels::load_lanes<T>(
            reinterpret_cast<const double*>(start[r] + g * group_stride[r]));
    }
    const std::uint8_t* mask(int m, Index g) const noexcept {
        return mask_start[m] + g * mask_group_stride[m];
    }
    template <int W>
    kernels::MaskBytes form(int m, Index g, int regular_mode) const noexcept {
        return kernels::_tile_form(regular_mode, mask(m, g), W);
    }

    // The rows of the spins from `first` on; with `packed`, groups 0 .. groups - 1 copied there
    // (groups, then rows, then lanes; the masks after all the doubles).
    void set(const Table (&tables)[kN], const Table (&masks)[kM], Index first, int lanes,
             Index groups, double* packed) noexcept {
        for (int r = 0; r < N; ++r) {
            start[r] = tables[r].at(0, first);
            group_stride[r] = tables[r].row_stride;
        }
        for (int m = 0; m < M; ++m) {
            mask_start[m] = reinterpret_cast<const std::uint8_t*>(masks[m].at(0, first));
            mask_group_stride[m] = masks[m].row_stride;
        }
        if (packed == nullptr) return;
        const Index group_size = N * lanes;
        const auto width = static_cast<std::size_t>(lanes);
        for (int r = 0; r < N; ++r) {
            for (Index g = 0; g < groups; ++g) {
                double* const to = packed + g * group_size + r * lanes;
                const char* const from = start[r] + g * group_stride[r];
                if (tables[r].spin_stride == 0) {
                    for (int lane = 0; lane < lanes; ++lane)
                        std::memcpy(to + lane, from, sizeof(double));
                } else {
                    std::memcpy(to, from, width * sizeof(double));
                }
            }
            start[r] = reinterpret_cast<const char*>(packed + r * lanes);
            group_stride[r] = group_size * Index{sizeof(double)};
        }
        auto* const bytes = reinterpret_cast<std::uint8_t*>(packed + groups * group_size);
        for (int m = 0; m < M; ++m) {
            for (Index g = 0; g < groups; ++g) {
                std::uint8_t* const to = bytes + (M * g + m) * lanes;
                if (masks[m].spin_stride == 0) {
                    std::memset(to, *mask(m, g), width);
                } else {
                    std::memcpy(to, mask(m, g), width);
                }
            }
            mask_start[m] = bytes + m * lanes;
            mask_group_stride[m] = M * lanes;
        }
    }
};

// The flat state arrays of a block: state and concentration (npools, nspins, 3), transverse
// (npools, nspins) complex as (real, imag) doubles; all C-contiguous.
struct States {
    double* state = nullptr;
    double* transverse = nullptr;
    double* concentration = nullptr;  // null for a driver without concentrations
    Index npools = 0;
    Index nspins = 0;
};

template <class T, int P>
struct PoolArray {
    T values[static_cast<std::size_t>(P)];
    T& operator[](std::int64_t pool) noexcept { return values[static_cast<std::size_t>(pool)]; }
    const T& operator[](std::int64_t pool) const noexcept {
        return values[static_cast<std::size_t>(pool)];
    }
};

// A tile's values of P pools (P fixed), held by value so that they stay in registers; they
// touch the state arrays once each way.
template <class T, int P, bool kConcentration>
struct PoolRegisters {
    static constexpr int kFixed = P;
    PoolArray<T, P> x, y, z, c;

    static constexpr int count() noexcept { return P; }
    void load(const States& s, Index first) noexcept {
        constexpr Index kRow = 3 * sizeof(double);
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) {
            const Index at = p * s.nspins + first;
            kernels::load_complex_lanes(s.transverse + 2 * at, x[p], y[p]);
            z[p] =
                kernels::gather_lanes<T>(reinterpret_cast<const char*>(s.state + 3 * at + 2), kRow);
            if constexpr (kConcentration) {
                c[p] = kernels::gather_lanes<T>(
                    reinterpret_cast<const char*>(s.concentration + 3 * at + 2), kRow);
            }
        }
    }
    void store(const States& s, Index first) const noexcept {
        constexpr Index kRow = 3 * sizeof(double);
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) {
            const Index at = p * s.nspins + first;
            kernels::store_complex_lanes(s.transverse + 2 * at, x[p], y[p]);
            kernels::scatter_lanes(reinterpret_cast<char*>(s.state + 3 * at + 2), kRow, z[p]);
            if constexpr (kConcentration) {
                kernels::scatter_lanes(reinterpret_cast<char*>(s.concentration + 3 * at + 2), kRow,
                                       c[p]);
            }
        }
    }
    void clear_transverse() noexcept {
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) x[p] = y[p] = T{};
    }
};

// One spin of any number of pools, read and written in place in the state arrays.
struct PoolsInPlace {
    static constexpr int kFixed = 0;
    kernels::_Strided<double> x, y, z, c;
    Index n = 0;

    Index count() const noexcept { return n; }
    void load(const States& s, Index spin) noexcept {
        x = {s.transverse + 2 * spin, 2 * s.nspins};
        y = {s.transverse + 2 * spin + 1, 2 * s.nspins};
        z = {s.state + 3 * spin + 2, 3 * s.nspins};
        c = {s.concentration + 3 * spin + 2, 3 * s.nspins};
        n = s.npools;
    }
    void store(const States&, Index) const noexcept {}
    void clear_transverse() noexcept {
        for (Index p = 0; p < n; ++p) x[p] = y[p] = +0.0;
    }
};

// transverse_factors (nfactor_groups, npools, nspins) complex through its byte strides.
struct Factors {
    const char* data = nullptr;
    Index group_stride = 0;
    Index pool_stride = 0;
    Index spin_stride = 0;
    bool lanes_ok() const noexcept {
        return spin_stride == 0 || spin_stride == 2 * static_cast<Index>(sizeof(double));
    }
};

// Free evolution of every pool of a tile with factor group `group`; `f` starts at the tile's
// first spin.
template <class T, class Pools>
inline void evolve_pools(const Factors& f, std::int32_t group, Pools& v) noexcept {
    for_each_pool(v, [&](Index p) {
        const auto* const row =
            reinterpret_cast<const double*>(f.data + group * f.group_stride + p * f.pool_stride);
        T real, imag;
        if constexpr (kernels::kLaneCount<T> != 1) {
            if (f.spin_stride == 0) [[unlikely]] {
                real = kernels::splat<T>(kernels::load_lanes<double>(row));
                imag = kernels::splat<T>(kernels::load_lanes<double>(row + 1));
            } else {
                kernels::load_complex_lanes(row, real, imag);
            }
        } else {
            real = kernels::load_lanes<double>(row);
            imag = kernels::load_lanes<double>(row + 1);
        }
        kernels::_evolve_transverse_voxel(v.x[p], v.y[p], real, imag);
    });
}

// The RF tables (nrf_groups, width): one rotation per group in the axis form (width one), or
// one per spin in the spatial form.
struct Rf {
    Table axis_x, axis_y, cosine, sine, one_minus_cosine;
};

// Every pool turns with the same coefficients; concentrations never turn.
// In the spatial form `rf` starts at the tile's first spin.
template <bool kSpatial, class T, class Pools>
inline void rotate_pools(const Rf& rf, std::int32_t r, Pools& v) noexcept {
    if constexpr (kSpatial) {
        const T axis_x = rf.axis_x.load<T>(r, 0), axis_y = rf.axis_y.load<T>(r, 0);
        const T cosine = rf.cosine.load<T>(r, 0), sine = rf.sine.load<T>(r, 0);
        for_each_pool(v, [&](Index p) {
            kernels::_rotate_rf_voxel_plane(v.x[p], v.y[p], v.z[p], axis_x, axis_y, cosine, sine);
        });
    } else {
        const double axis_x = rf.axis_x.value(r), axis_y = rf.axis_y.value(r);
        const double cosine = rf.cosine.value(r), sine = rf.sine.value(r);
        const double one_minus_cosine = rf.one_minus_cosine.value(r);
        for_each_pool(v, [&](Index p) {
            kernels::_rotate_rf_voxel(v.x[p], v.y[p], v.z[p], axis_x, axis_y, cosine, sine,
                                      one_minus_cosine);
        });
    }
}

// A per-step int32 array read through its stride.
struct Column {
    const char* data = nullptr;
    Index stride = 0;
    std::int32_t operator[](Index i) const noexcept {
        return load_strided<std::int32_t>(data, stride, i);
    }
};

// What every driver's block holds besides its own tables, gathered with the GIL held.
struct Common {
    States states;
    Factors factors;
    Rf rf;
    Column longitudinal_groups, first_factor_groups, second_factor_groups, rf_groups;
    Index nsteps = 0;
    Index spins_per_parent = 1;
    Index groups_used = 0;        // 1 + the largest longitudinal group of the block's steps
    bool lanes = false;           // whole tiles may run in lanes
    bool broadcast_rows = false;  // a per-spin group table or mask has zero spin stride
    bool spatial_rf = false;      // one rotation per spin (RF width nspins), else one per group
    bool has_actions = false;
    ActionStream stream;
    Observation observation;
};

// W spins from `first` through every step of the block: free evolution, the first longitudinal
// half-step, RF, free evolution, the second half-step, then the step's actions. (Free evolution
// touches only the transverse values and the half-steps only the longitudinal ones, so the
// drivers' orders of the two within a half agree.)
template <class Policy, class T, bool kSpatialRf>
inline void run_tile(const typename Policy::Block& b, Index first, double* packed) noexcept {
    const Common& c = b.common;
    Policy policy(b, first, packed);
    Factors factors = c.factors;
    factors.data += first * factors.spin_stride;
    Rf rf = c.rf;
    if constexpr (kSpatialRf) {
        for (Table* table : {&rf.axis_x, &rf.axis_y, &rf.cosine, &rf.sine}) {
            *table = table->from(first);
        }
    }
    typename Policy::Pools v;
    v.load(c.states, first);
    Tile<T> tile{first, c.spins_per_parent, T{}};
    if (c.has_actions) tile = tile_at<T>(c.observation, first, c.spins_per_parent);
    for (Index step = 0; step < c.nsteps; ++step) {
        const auto coefficients = policy.step(step);
        evolve_pools<T>(factors, c.first_factor_groups[step], v);
        policy.template half_step<0>(coefficients, step, v);
        const std::int32_t r = c.rf_groups[step];
        if (r >= 0) rotate_pools<kSpatialRf, T>(rf, r, v);
        evolve_pools<T>(factors, c.second_factor_groups[step], v);
        policy.template half_step<1>(coefficients, step, v);
        if (c.has_actions) run_tile_actions(c.stream, c.observation, step, tile, v);
    }
    v.store(c.states, first);
}

// The spins begin .. end - 1 of one thread (whole parents, ascending): whole tiles of the lanes
// of T where the block allows them, then the rest as tiles of one lane. `Tile<L>::run(b, first,
// packed)` runs one tile; `packed_doubles` is what a packed copy of the block's rows takes for
// W lanes (0: never pack).
template <class T, template <class> class TileOf, class Block>
inline void run_spins(const Block& b, Index begin, Index end, std::size_t packed_doubles) noexcept {
    constexpr int W = kernels::kLaneCount<T>;
    const Common& c = b.common;
    Index spin = begin;
    // Packing pays when the groups are read again in later steps; rows broadcast over the spins
    // run in lanes only packed, and only where writing them out costs little beside the steps.
    const bool fits = packed_doubles > 0 && packed_doubles <= kPackedDoubles;
    const bool pack = fits && (2 * c.groups_used <= c.nsteps ||
                               (c.broadcast_rows && c.groups_used <= 4 * c.nsteps));
    if (c.lanes && (pack || !c.broadcast_rows)) {
        alignas(64) double packed[kPackedDoubles];
        for (; spin + W <= end; spin += W) TileOf<T>::run(b, spin, pack ? packed : nullptr);
    }
    for (; spin < end; ++spin) TileOf<double>::run(b, spin, nullptr);
}

}  // namespace korvel::plan
