// Lanes: W voxels advanced together, one per lane of a GCC vector of doubles, through the same
// per-voxel operations as a single double. A vector +, -, x or / rounds each lane exactly as the
// scalar operation does, and the build never contracts (-ffp-contract=off), so every lane gets
// the bits of the scalar code. Nothing here picks an instruction set: a caller compiled for
// AVX-512 or AVX2 (a target attribute) gets those instructions, any other the x86-64 baseline.
//
// The same kernels run on `double` (one voxel, tables read through their strides) and on
// `Lanes<W>` (W consecutive voxels, tables with unit stride); the helpers below have both forms.
#pragma once

#include <cstdint>
#include <utility>

namespace korvel::kernels {

template <int W>
struct LaneTypes {
    typedef double Real __attribute__((vector_size(8 * W)));
    typedef std::int64_t Mask __attribute__((vector_size(8 * W)));
};
template <int W>
using Lanes = typename LaneTypes<W>::Real;

template <class T>
constexpr int kLaneCount = sizeof(T) / sizeof(double);

// The (real, imag) index pairs that split W interleaved complex values into two vectors.
template <int W>
struct Interleave;
template <>
struct Interleave<2> {
    static constexpr LaneTypes<2>::Mask real{0, 2}, imag{1, 3};
};
template <>
struct Interleave<4> {
    static constexpr LaneTypes<4>::Mask real{0, 2, 4, 6}, imag{1, 3, 5, 7};
};
template <>
struct Interleave<8> {
    static constexpr LaneTypes<8>::Mask real{0, 2, 4, 6, 8, 10, 12, 14};
    static constexpr LaneTypes<8>::Mask imag{1, 3, 5, 7, 9, 11, 13, 15};
};

// Lane `lane` of a vector; a double is its own only lane.
inline double lane_of(double value, int) noexcept { return value; }
template <class T>
inline double lane_of(const T& value, int lane) noexcept {
    return value[lane];
}

// A double in every lane (a double stays itself).
template <class T>
inline T splat(double value) noexcept {
    if constexpr (sizeof(T) == sizeof(double)) {
        return value;
    } else {
        return [value]<int... lane>(std::integer_sequence<int, lane...>) {
            return T{((void)lane, value)...};
        }
        (std::make_integer_sequence<int, kLaneCount<T>>{});
    }
}

// W consecutive doubles from `data` (or one).
template <class T>
inline T load_lanes(const double* data) noexcept {
    T value;
    __builtin_memcpy(&value, data, sizeof value);
    return value;
}

template <class T>
inline void store_lanes(double* data, const T& value) noexcept {
    __builtin_memcpy(data, &value, sizeof value);
}

// Lanes from elements `stride` doubles apart (the Mz column of a state array, a strided weight).
template <class T>
inline T gather_lanes(const char* data, std::ptrdiff_t stride_bytes) noexcept {
    if constexpr (sizeof(T) == sizeof(double)) {
        double value;
        __builtin_memcpy(&value, data, sizeof value);
        return value;
    } else {
        T value{};
        for (int lane = 0; lane < kLaneCount<T>; ++lane) {
            double element;
            __builtin_memcpy(&element, data + lane * stride_bytes, sizeof element);
            value[lane] = element;
        }
        return value;
    }
}

template <class T>
inline void scatter_lanes(char* data, std::ptrdiff_t stride_bytes, const T& value) noexcept {
    for (int lane = 0; lane < kLaneCount<T>; ++lane) {
        const double element = lane_of(value, lane);
        __builtin_memcpy(data + lane * stride_bytes, &element, sizeof element);
    }
}

// Adds the lanes of W rows into W running sums, lane after lane: sums[q] becomes
// (((sums[q] + rows[q][0]) + rows[q][1]) + ...) + rows[q][W - 1]. The rows are transposed in
// registers, so that each lane costs one vector addition and every sum keeps its order.
inline Lanes<2> add_lanes_in_order(Lanes<2> sums, const Lanes<2>* rows) noexcept {
    using Mask = LaneTypes<2>::Mask;
    sums = sums + __builtin_shuffle(rows[0], rows[1], Mask{0, 2});
    return sums + __builtin_shuffle(rows[0], rows[1], Mask{1, 3});
}
inline Lanes<4> add_lanes_in_order(Lanes<4> sums, const Lanes<4>* rows) noexcept {
    using Mask = LaneTypes<4>::Mask;
    const Mask low{0, 4, 2, 6}, high{1, 5, 3, 7}, front{0, 1, 4, 5}, back{2, 3, 6, 7};
    const Lanes<4> t0 = __builtin_shuffle(rows[0], rows[1], low);
    const Lanes<4> t1 = __builtin_shuffle(rows[0], rows[1], high);
    const Lanes<4> t2 = __builtin_shuffle(rows[2], rows[3], low);
    const Lanes<4> t3 = __builtin_shuffle(rows[2], rows[3], high);
    sums = sums + __builtin_shuffle(t0, t2, front);  // lane 0 of every row
    sums = sums + __builtin_shuffle(t1, t3, front);
    sums = sums + __builtin_shuffle(t0, t2, back);
    return sums + __builtin_shuffle(t1, t3, back);
}
inline Lanes<8> add_lanes_in_order(Lanes<8> sums, const Lanes<8>* rows) noexcept {
    using Mask = LaneTypes<8>::Mask;
    const Mask low{0, 8, 2, 10, 4, 12, 6, 14}, high{1, 9, 3, 11, 5, 13, 7, 15};
    const Mask pair_low{0, 1, 8, 9, 4, 5, 12, 13}, pair_high{2, 3, 10, 11, 6, 7, 14, 15};
    const Mask front{0, 1, 2, 3, 8, 9, 10, 11}, back{4, 5, 6, 7, 12, 13, 14, 15};
    const Lanes<8> r0 = rows[0], r1 = rows[1], r2 = rows[2], r3 = rows[3];
    const Lanes<8> r4 = rows[4], r5 = rows[5], r6 = rows[6], r7 = rows[7];
    // Pairs of rows interleaved, then pairs of pairs: u0 holds lanes 0 and 4 of rows 0-3, ...
    const Lanes<8> t0 = __builtin_shuffle(r0, r1, low), t1 = __builtin_shuffle(r0, r1, high);
    const Lanes<8> t2 = __builtin_shuffle(r2, r3, low), t3 = __builtin_shuffle(r2, r3, high);
    const Lanes<8> t4 = __builtin_shuffle(r4, r5, low), t5 = __builtin_shuffle(r4, r5, high);
    const Lanes<8> t6 = __builtin_shuffle(r6, r7, low), t7 = __builtin_shuffle(r6, r7, high);
    const Lanes<8> u0 = __builtin_shuffle(t0, t2, pair_low),
                   u1 = __builtin_shuffle(t1, t3, pair_low);
    const Lanes<8> u2 = __builtin_shuffle(t0, t2, pair_high);
    const Lanes<8> u3 = __builtin_shuffle(t1, t3, pair_high);
    const Lanes<8> u4 = __builtin_shuffle(t4, t6, pair_low),
                   u5 = __builtin_shuffle(t5, t7, pair_low);
    const Lanes<8> u6 = __builtin_shuffle(t4, t6, pair_high);
    const Lanes<8> u7 = __builtin_shuffle(t5, t7, pair_high);
    sums = sums + __builtin_shuffle(u0, u4, front);  // lane 0 of every row
    sums = sums + __builtin_shuffle(u1, u5, front);
    sums = sums + __builtin_shuffle(u2, u6, front);
    sums = sums + __builtin_shuffle(u3, u7, front);
    sums = sums + __builtin_shuffle(u0, u4, back);  // lane 4
    sums = sums + __builtin_shuffle(u1, u5, back);
    sums = sums + __builtin_shuffle(u2, u6, back);
    return sums + __builtin_shuffle(u3, u7, back);
}

// W interleaved complex values (real, imag, real, imag, ...) as real lanes and imag lanes.
inline void load_complex_lanes(const double* data, double& real, double& imag) noexcept {
    real = data[0];
    imag = data[1];
}
template <class T>
inline void load_complex_lanes(const double* data, T& real, T& imag) noexcept {
    constexpr int W = kLaneCount<T>;
    const T low = load_lanes<T>(data), high = load_lanes<T>(data + W);
    real = __builtin_shuffle(low, high, Interleave<W>::real);
    imag = __builtin_shuffle(low, high, Interleave<W>::imag);
}

inline void store_complex_lanes(double* data, double real, double imag) noexcept {
    data[0] = real;
    data[1] = imag;
}
template <class T>
inline void store_complex_lanes(double* data, const T& real, const T& imag) noexcept {
    for (int lane = 0; lane < kLaneCount<T>; ++lane) {
        data[2 * lane] = real[lane];
        data[2 * lane + 1] = imag[lane];
    }
}

// Which of W mask bytes are nonzero: all of them, none, or some.
enum class MaskBytes { kAll, kNone, kMixed };
inline MaskBytes classify_mask_bytes(const std::uint8_t* bytes, int count) noexcept {
    std::uint64_t word = ~std::uint64_t{0};  // bytes past `count` count as set
    __builtin_memcpy(&word, bytes, static_cast<unsigned>(count));
    const std::uint64_t used =
        count == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * count)) - 1;
    if ((word & used) == 0) return MaskBytes::kNone;
    const std::uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
    return ((word - ones) & ~word & highs) == 0 ? MaskBytes::kAll : MaskBytes::kMixed;
}

// Per lane: `when_set` where the mask byte is nonzero, else `when_clear`.
inline double select_by_bytes(const std::uint8_t* bytes, double when_set,
                              double when_clear) noexcept {
    return bytes[0] != 0 ? when_set : when_clear;
}
template <class T>
inline T select_by_bytes(const std::uint8_t* bytes, const T& when_set,
                         const T& when_clear) noexcept {
    typename LaneTypes<kLaneCount<T>>::Mask set{};
    for (int lane = 0; lane < kLaneCount<T>; ++lane) set[lane] = bytes[lane] != 0 ? -1 : 0;
    return set ? when_set : when_clear;
}

}  // namespace korvel::kernels
