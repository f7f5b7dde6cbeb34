// Peak rate of independent double multiplies, the compute limit of the benchmark suite's
// roofline. Built by the suite into a temporary folder and loaded with ctypes; never part of the
// package. Each lane multiplies by exactly `factor` (1.0 keeps every value as it is).
#include <cstdint>

namespace {

constexpr int kChains = 16;  // enough independent products in flight to hide the latency

template <class Vector>
__attribute__((always_inline)) inline double multiply_chains(std::int64_t rounds, double factor) {
    constexpr int lanes = sizeof(Vector) / sizeof(double);
    Vector chains[kChains];
    Vector f;
    for (int lane = 0; lane < lanes; ++lane) f[lane] = factor;
    for (int k = 0; k < kChains; ++k) chains[k] = f + double(k);
    for (std::int64_t r = 0; r < rounds; ++r) {
#pragma GCC unroll 16
        for (int k = 0; k < kChains; ++k) chains[k] = chains[k] * f;
    }
    double sum = 0.0;
    for (int k = 0; k < kChains; ++k) {
        for (int lane = 0; lane < lanes; ++lane) sum += chains[k][lane];
    }
    return sum;
}

typedef double Lanes2 __attribute__((vector_size(16)));
typedef double Lanes4 __attribute__((vector_size(32)));
typedef double Lanes8 __attribute__((vector_size(64)));

double baseline(std::int64_t rounds, double factor) {
    return multiply_chains<Lanes2>(rounds, factor);
}
__attribute__((target("avx2"))) double avx2(std::int64_t rounds, double factor) {
    return multiply_chains<Lanes4>(rounds, factor);
}
__attribute__((target("avx512f"))) double avx512(std::int64_t rounds, double factor) {
    return multiply_chains<Lanes8>(rounds, factor);
}

}  // namespace

extern "C" {

// Lanes of the widest double vectors this machine runs.
int probe_lanes() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return 8;
    if (__builtin_cpu_supports("avx2")) return 4;
    return 2;
}

int probe_chains() { return kChains; }

// rounds x probe_chains() x probe_lanes() multiplies; the sum keeps them from being dropped.
double probe_multiply(std::int64_t rounds, double factor) {
    switch (probe_lanes()) {
        case 8:
            return avx512(rounds, factor);
        case 4:
            return avx2(rounds, factor);
        default:
            return baseline(rounds, factor);
    }
}
}
