// Multi-pool longitudinal half-step of one spin: a precursor converts into several products, each
// at its own rate, with concentration advancing alongside. Relies on the linear source ramp.
#pragma once

#include <cstdint>

#include "kernels/coupled_longitudinal.hpp"

namespace korvel::kernels {

// The four source values of one half-step, fed into the precursor.
struct _MultiPoolSources {
    double concentration_start;
    double concentration_end;
    double start;
    double end;
};

// Source modes: 0 delivers concentration and its polarized magnetization, 1 magnetization of
// delivery x inflow window alone, 2 nothing, 3 polarized magnetization without concentration.
// The two halves order the end product differently; one multiplication each, so only the
// operand order differs. Mode 2 reads no window; the caller may pass anything for it.
template <bool kSecondHalf>
inline _MultiPoolSources _multi_pool_sources(int source_mode, double delivery,
                                             double inflow_start, double inflow_end,
                                             double polarization_start,
                                             double polarization_end) noexcept {
    if (source_mode == 2) return {0.0, 0.0, 0.0, 0.0};
    const double delivered_start = inflow_start * delivery;
    const double delivered_end = kSecondHalf ? inflow_end * delivery : delivery * inflow_end;
    if (source_mode == 1) return {0.0, 0.0, delivered_start, delivered_end};
    const double start = polarization_start * delivered_start;
    const double end = polarization_end * delivered_end;
    if (source_mode == 3) return {0.0, 0.0, start, end};
    return {delivered_start, delivered_end, start, end};
}

// Values of one spin along the pool or product axis: element k is values[k * stride].
template <class T>
struct _Strided {
    T* values;
    std::int64_t stride;
    T& operator[](std::int64_t k) const noexcept { return values[k * stride]; }
};

// One spin's coefficients of one longitudinal group: the precursor's as scalars, the products'
// as columns indexed by product q = pool - 1.
struct _MultiPoolGroup {
    double exp_precursor;
    double f0_precursor;
    double f1_precursor;
    double concentration_exp_precursor;
    double concentration_f0_precursor;
    double concentration_f1_precursor;
    _Strided<const double> exp_products;
    _Strided<const double> concentration_exp_products;
    _Strided<const double> conversion_rates;
    _Strided<const double> transfer_factor;
    _Strided<const double> j0;
    _Strided<const double> j1;
    _Strided<const double> concentration_transfer_factor;
    _Strided<const double> concentration_j0;
    _Strided<const double> concentration_j1;
};

// Pool 0 is the precursor. The products convert the precursor values from before this
// half-step's update. The zero-target shift is skipped for +-0.0 only (a NaN equilibrium is
// applied), while the precursor source always subtracts its concentration term, as in the
// two-pool inflow step.
inline void _advance_multi_pool_voxel(_Strided<double> magnetization,
                                      _Strided<double> concentration, std::int64_t npools,
                                      const _MultiPoolGroup& group, double duration,
                                      const _MultiPoolSources& sources,
                                      double equilibrium) noexcept {
    const bool shifted = equilibrium != 0.0;
    if (shifted) {
        for (std::int64_t p = 0; p < npools; ++p) {
            magnetization[p] = magnetization[p] - (concentration[p] * equilibrium);
        }
    }
    const double precursor = magnetization[0];
    const double concentration_precursor = concentration[0];

    const _SourceRamp ramp =
        _linear_source_ramp(sources.start - (sources.concentration_start * equilibrium),
                            sources.end - (sources.concentration_end * equilibrium), duration);
    const _SourceRamp concentration_ramp = _linear_source_ramp(
        sources.concentration_start, sources.concentration_end, duration);

    magnetization[0] = ((group.f0_precursor * ramp.start) + (group.exp_precursor * precursor)) +
                       (group.f1_precursor * ramp.slope);
    concentration[0] =
        ((group.concentration_f0_precursor * concentration_ramp.start) +
         (group.concentration_exp_precursor * concentration_precursor)) +
        (group.concentration_f1_precursor * concentration_ramp.slope);

    for (std::int64_t p = 1; p < npools; ++p) {
        const std::int64_t q = p - 1;
        const double rate = group.conversion_rates[q];
        double& z = magnetization[p];
        double& c = concentration[p];
        z = ((z * group.exp_products[q]) + ((precursor * rate) * group.transfer_factor[q])) +
            (((group.j0[q] * ramp.start) + (group.j1[q] * ramp.slope)) * rate);
        c = ((c * group.concentration_exp_products[q]) +
             ((concentration_precursor * rate) * group.concentration_transfer_factor[q])) +
            (((group.concentration_j0[q] * concentration_ramp.start) +
              (group.concentration_j1[q] * concentration_ramp.slope)) *
             rate);
    }

    if (shifted) {
        for (std::int64_t p = 0; p < npools; ++p) {
            magnetization[p] = (concentration[p] * equilibrium) + magnetization[p];
        }
    }
}

}  // namespace korvel::kernels
