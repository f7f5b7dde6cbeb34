// Source selection of the source-interval block: a half-interval's four source values from its
// windows and the voxel's delivery.
#pragma once

namespace korvel::kernels {

// The four sources of a half-interval, by the names of the coupled half-step.
struct _IntervalSources {
    double source_start;
    double source_end;
    double concentration_source_start;
    double concentration_source_end;
};

// source_mode 0: coupled concentration and polarization sources; 1: direct magnetization
// sources; 2: none; 3: polarized magnetization sources without concentration delivery. Modes 0
// and 3 multiply the polarization by the rounded inflow x delivery. Mode 1 reads no
// polarization and mode 2 nothing at all, so their windows may hold anything.
template <int kSourceMode>
inline _IntervalSources _select_interval_sources(double inflow_start, double inflow_end,
                                                 double polarization_start,
                                                 double polarization_end,
                                                 double delivery) noexcept {
    static_assert(kSourceMode >= 0 && kSourceMode <= 3);
    if constexpr (kSourceMode == 0) {
        const double concentration_start = inflow_start * delivery;
        const double concentration_end = inflow_end * delivery;
        return {polarization_start * concentration_start, polarization_end * concentration_end,
                concentration_start, concentration_end};
    } else if constexpr (kSourceMode == 1) {
        return {inflow_start * delivery, inflow_end * delivery, +0.0, +0.0};
    } else if constexpr (kSourceMode == 2) {
        return {+0.0, +0.0, +0.0, +0.0};
    } else {
        return {polarization_start * (inflow_start * delivery),
                polarization_end * (inflow_end * delivery), +0.0, +0.0};
    }
}

}  // namespace korvel::kernels
