// Run-time choice of the lane variants: the CPU's features as libgcc reads them (CPUID, and
// XGETBV for the OS's saving of the wide registers), capped by the build and by the environment
// variable KORVEL_SIMD (avx2 or baseline; anything else leaves the choice alone), decided once
// per process.
#include "frame/simd.hpp"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace korvel::frame {
namespace {

Simd environment_ceiling() noexcept {
    const char* const wanted = std::getenv("KORVEL_SIMD");
    if (wanted == nullptr) return Simd::kAvx512;
    if (std::strcmp(wanted, "baseline") == 0) return Simd::kBaseline;
    if (std::strcmp(wanted, "avx2") == 0) return Simd::kAvx2;
    return Simd::kAvx512;
}

Simd detect() noexcept {
    __builtin_cpu_init();
    Simd level = Simd::kBaseline;
    if (__builtin_cpu_supports("avx2")) level = Simd::kAvx2;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) {
        level = Simd::kAvx512;
    }
    for (const Simd ceiling : {static_cast<Simd>(KORVEL_SIMD_CEILING), environment_ceiling()}) {
        if (ceiling < level) level = ceiling;
    }
    return level;
}

}  // namespace

Simd simd_level() noexcept {
    static const Simd level = detect();
    return level;
}

}  // namespace korvel::frame
