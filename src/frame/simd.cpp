// Run-time choice of the lane variants: the CPU's features as libgcc reads them (CPUID, and
// XGETBV for the OS's saving of the wide registers), decided once per process.
#include "frame/simd.hpp"

#ifndef KORVEL_SIMD_CEILING
#define KORVEL_SIMD_CEILING 2  // no cap: AVX-512 where available
#endif

namespace korvel::frame {
namespace {

Simd detect() noexcept {
    __builtin_cpu_init();
    Simd level = Simd::kBaseline;
    if (__builtin_cpu_supports("avx2")) level = Simd::kAvx2;
    if (__builtin_cpu_supports("avx512f")) level = Simd::kAvx512;
    const auto ceiling = static_cast<Simd>(KORVEL_SIMD_CEILING);
    return level < ceiling ? level : ceiling;
}

}  // namespace

Simd simd_level() noexcept {
    static const Simd level = detect();
    return level;
}

}  // namespace korvel::frame
