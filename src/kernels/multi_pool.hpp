// Multi-pool longitudinal half-step of one spin: a precursor converts into several products, each
// at its own rate, with concentration advancing alongside. Relies on the linear source ramp.
// Doubles or lanes (kernels/lanes.hpp) throughout.
#pragma once

#include <cstdint>

#include "kernels/coupled_longitudinal.hpp"

namespace korvel::kernels {

// The four source values of one half-step, fed into the precursor.
template <class T>
struct _MultiPoolSources {
    T concentration_start;
    T concentration_end;
    T start;
    T end;
};

// Source modes: 0 delivers concentration and its polarized magnetization, 1 magnetization of
// delivery x inflow window alone, 2 nothing, 3 polarized magnetization without concentration.
// The two halves order the end product differently; one multiplication each, so only the
// operand order differs. Mode 2 reads no window; the caller may pass anything for it. The
// windows (W) are per-step doubles or per-spin lanes like the delivery (T).
template <bool kSecondHalf, class T, class W>
inline _MultiPoolSources<T> _multi_pool_sources(int source_mode, T delivery, W inflow_start,
                                                W inflow_end, W polarization_start,
                                                W polarization_end) noexcept {
    if (source_mode == 2) return {T{}, T{}, T{}, T{}};
    const T delivered_start = inflow_start * delivery;
    const T delivered_end = kSecondHalf ? inflow_end * delivery : delivery * inflow_end;
    if (source_mode == 1) return {T{}, T{}, delivered_start, delivered_end};
    const T start = polarization_start * delivered_start;
    const T end = polarization_end * delivered_end;
    if (source_mode == 3) return {T{}, T{}, start, end};
    return {delivered_start, delivered_end, start, end};
}

// Values of one spin along the pool or product axis: element k is values[k * stride].
template <class T>
struct _Strided {
    T* values;
    std::int64_t stride;
    T& operator[](std::int64_t k) const noexcept { return values[k * stride]; }
};

// One spin's coefficients of one longitudinal group: the precursor's as values (T), the
// products' as columns indexed by product q = pool - 1: per spin (Spin[q] gives a T) or per
// group (Group[q] gives a double).
template <class T, class Spin, class Group>
struct _MultiPoolGroup {
    T exp_precursor;
    T f0_precursor;
    T f1_precursor;
    T concentration_exp_precursor;
    T concentration_f0_precursor;
    T concentration_f1_precursor;
    Group exp_products;
    Group concentration_exp_products;
    Spin conversion_rates;
    Spin transfer_factor;
    Spin j0;
    Spin j1;
    Spin concentration_transfer_factor;
    Spin concentration_j0;
    Spin concentration_j1;
};

// Pool 0 is the precursor. The products convert the precursor values from before this
// half-step's update. The zero-target shift is skipped for +-0.0 only (a NaN equilibrium is
// applied), while the precursor source always subtracts its concentration term, as in the
// two-pool inflow step. `magnetization` and `concentration` give a spin's values by pool.
template <class Values, class T, class Spin, class Group>
inline void _advance_multi_pool_voxel(Values& magnetization, Values& concentration,
                                      std::int64_t npools,
                                      const _MultiPoolGroup<T, Spin, Group>& group, double duration,
                                      const _MultiPoolSources<T>& sources,
                                      double equilibrium) noexcept {
    const bool shifted = equilibrium != 0.0;
    if (shifted) {
#pragma GCC unroll 8
        for (std::int64_t p = 0; p < npools; ++p) {
            magnetization[p] = magnetization[p] - (concentration[p] * equilibrium);
        }
    }
    const T precursor = magnetization[0];
    const T concentration_precursor = concentration[0];

    const _SourceRamp<T> ramp =
        _linear_source_ramp<T>(sources.start - (sources.concentration_start * equilibrium),
                               sources.end - (sources.concentration_end * equilibrium), duration);
    const _SourceRamp<T> concentration_ramp =
        _linear_source_ramp<T>(sources.concentration_start, sources.concentration_end, duration);

    magnetization[0] = ((group.f0_precursor * ramp.start) + (group.exp_precursor * precursor)) +
                       (group.f1_precursor * ramp.slope);
    concentration[0] = ((group.concentration_f0_precursor * concentration_ramp.start) +
                        (group.concentration_exp_precursor * concentration_precursor)) +
                       (group.concentration_f1_precursor * concentration_ramp.slope);

#pragma GCC unroll 8
    for (std::int64_t p = 1; p < npools; ++p) {
        const std::int64_t q = p - 1;
        const T rate = group.conversion_rates[q];
        T& z = magnetization[p];
        T& c = concentration[p];
        z = ((z * group.exp_products[q]) + ((precursor * rate) * group.transfer_factor[q])) +
            (((group.j0[q] * ramp.start) + (group.j1[q] * ramp.slope)) * rate);
        c = ((c * group.concentration_exp_products[q]) +
             ((concentration_precursor * rate) * group.concentration_transfer_factor[q])) +
            (((group.concentration_j0[q] * concentration_ramp.start) +
              (group.concentration_j1[q] * concentration_ramp.slope)) *
             rate);
    }

    if (shifted) {
#pragma GCC unroll 8
        for (std::int64_t p = 0; p < npools; ++p) {
            magnetization[p] = (concentration[p] * equilibrium) + magnetization[p];
        }
    }
}

}  // namespace korvel::kernels
