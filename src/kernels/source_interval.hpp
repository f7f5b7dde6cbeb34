// Source selection of the source-interval block: a half-interval's four source values from its
// windows and the voxel's delivery.
#pragma once

namespace korvel::kernels {

// The four sources of a half-interval, by the names of the coupled half-step. Doubles or lanes.
template <class T>
struct _IntervalSources {
    T source_start;
    T source_end;
    T concentration_source_start;
    T concentration_source_end;
};

// source_mode 0: coupled concentration and polarization sources; 1: direct magnetization
// sources; 2: none; 3: polarized magnetization sources without concentration delivery. Modes 0
// and 3 multiply the polarization by the rounded inflow x delivery. Mode 1 reads no
// polarization and mode 2 nothing at all, so their windows may hold anything. The windows (W)
// are per-step doubles or per-voxel lanes like the delivery (T).
template <int kSourceMode, class T, class W>
inline _IntervalSources<T> _select_interval_sources(W inflow_start, W inflow_end,
                                                    W polarization_start, W polarization_end,
                                                    T delivery) noexcept {
    static_assert(kSourceMode >= 0 && kSourceMode <= 3);
    if constexpr (kSourceMode == 0) {
        const T concentration_start = inflow_start * delivery;
        const T concentration_end = inflow_end * delivery;
        return {polarization_start * concentration_start, polarization_end * concentration_end,
                concentration_start, concentration_end};
    } else if constexpr (kSourceMode == 1) {
        return {inflow_start * delivery, inflow_end * delivery, T{}, T{}};
    } else if constexpr (kSourceMode == 2) {
        return {T{}, T{}, T{}, T{}};
    } else {
        return {polarization_start * (inflow_start * delivery),
                polarization_end * (inflow_end * delivery), T{}, T{}};
    }
}

}  // namespace korvel::kernels
