// The instruction sets the kernels' lane variants are compiled for (per function, with target
// attributes), and the one this process uses: the widest the CPU and the OS support, capped by
// the build's KORVEL_SIMD setting. Every variant gives the same bits; only the speed differs.
#pragma once

#ifndef KORVEL_SIMD_CEILING
#define KORVEL_SIMD_CEILING 2  // no cap: AVX-512 where available
#endif
#ifndef KORVEL_FLATTEN
#define KORVEL_FLATTEN gnu::flatten  // each variant inlined whole (not in the sanitizer build)
#endif

namespace korvel::frame {

enum class Simd { kBaseline, kAvx2, kAvx512 };

Simd simd_level() noexcept;

// The variants of a lane kernel `Run<W>::run(args...)`, W doubles per register (a kernel may
// use fewer lanes): one per instruction set, each with everything it calls inlined into it, so
// that all of its lane arithmetic is compiled for that set. The AVX-512 variant also has the
// 32 registers of AVX-512VL for vectors of 2 and 4 lanes.
template <template <int> class Run, class... Args>
[[KORVEL_FLATTEN]] void run_baseline(Args... args) noexcept {
    Run<2>::run(args...);
}
template <template <int> class Run, class... Args>
[[gnu::target("avx2"), KORVEL_FLATTEN]] void run_avx2(Args... args) noexcept {
    Run<4>::run(args...);
}
template <template <int> class Run, class... Args>
[[gnu::target("avx512f,avx512vl"), KORVEL_FLATTEN]] void run_avx512(Args... args) noexcept {
    Run<8>::run(args...);
}

// The variant of `Run` for this process's instruction set. Variants above the build's ceiling
// are not compiled at all.
template <template <int> class Run, class... Args>
auto simd_variant() noexcept -> void (*)(Args...) noexcept {
    if constexpr (KORVEL_SIMD_CEILING >= 2) {
        if (simd_level() == Simd::kAvx512) return run_avx512<Run, Args...>;
    }
    if constexpr (KORVEL_SIMD_CEILING >= 1) {
        if (simd_level() == Simd::kAvx2) return run_avx2<Run, Args...>;
    }
    return run_baseline<Run, Args...>;
}

// The lanes `Run<W>::kLanes` of the variant simd_variant<Run>() picks.
template <template <int> class Run>
int simd_lanes() noexcept {
    if constexpr (KORVEL_SIMD_CEILING >= 2) {
        if (simd_level() == Simd::kAvx512) return Run<8>::kLanes;
    }
    if constexpr (KORVEL_SIMD_CEILING >= 1) {
        if (simd_level() == Simd::kAvx2) return Run<4>::kLanes;
    }
    return Run<2>::kLanes;
}

}  // namespace korvel::frame
