// The instruction sets the kernels' lane variants are compiled for (per function, with target
// attributes), and the one this process uses: the widest the CPU and the OS support, capped by
// the build's KORVEL_SIMD setting. Every variant gives the same bits; only the speed differs.
#pragma once

namespace korvel::frame {

enum class Simd { kBaseline, kAvx2, kAvx512 };

Simd simd_level() noexcept;

}  // namespace korvel::frame
