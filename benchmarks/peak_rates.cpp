// Peak rates of independent double multiplies and divisions, the compute limits of the benchmark
// suite's roofline. Built by the suite into a temporary folder and loaded with ctypes; never part
// of the package. Each lane multiplies or divides by exactly `factor` (1.0 keeps every value).
#include <cstdint>

namespace {

constexpr int kChains = 16;  // enough independent products in flight to hide the latency

template <class Vector, bool kDivide>
__attribute__((always_inline)) inline double chains(std::int64_t rounds, double factor) {
    constexpr int lanes = sizeof(Vector) / sizeof(double);
    Vector values[kChains];
    Vector f;
    for (int lane = 0; lane < lanes; ++lane) f[lane] = factor;
    for (int k = 0; k < kChains; ++k) values[k] = f + double(k);
    for (std::int64_t r = 0; r < rounds; ++r) {
#pragma GCC unroll 16
        for (int k = 0; k < kChains; ++k) values[k] = kDivide ? values[k] / f : values[k] * f;
    }
    double sum = 0.0;
    for (int k = 0; k < kChains; ++k) {
        for (int lane = 0; lane < lanes; ++lane) sum += values[k][lane];
    }
    return sum;
}

typedef double Lanes2 __attribute__((vector_size(16)));
typedef double Lanes4 __attribute__((vector_size(32)));
typedef double Lanes8 __attribute__((vector_size(64)));

template <bool kDivide>
double baseline(std::int64_t rounds, double factor) {
    return chains<Lanes2, kDivide>(rounds, factor);
}
template <bool kDivide>
__attribute__((target("avx2"))) double avx2(std::int64_t rounds, double factor) {
    return chains<Lanes4, kDivide>(rounds, factor);
}
template <bool kDivide>
__attribute__((target("avx512f"))) double avx512(std::int64_t rounds, double factor) {
    return chains<Lanes8, kDivide>(rounds, factor);
}

// Lanes of the widest double vectors this machine runs.
int widest_lanes() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return 8;
    if (__builtin_cpu_supports("avx2")) return 4;
    return 2;
}

template <bool kDivide>
double widest(std::int64_t rounds, double factor) {
    switch (widest_lanes()) {
        case 8: return avx512<kDivide>(rounds, factor);
        case 4: return avx2<kDivide>(rounds, factor);
        default: return baseline<kDivide>(rounds, factor);
    }
}

}  // namespace

extern "C" {

int probe_lanes() { return widest_lanes(); }

int probe_chains() { return kChains; }

// rounds x probe_chains() x probe_lanes() multiplies or divisions; the sum keeps them from
// being dropped.
double probe_multiply(std::int64_t rounds, double factor) { return widest<false>(rounds, factor); }
double probe_divide(std::int64_t rounds, double factor) { return widest<true>(rounds, factor); }
}
