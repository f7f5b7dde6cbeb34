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

// One spin's coefficients of one longitudinal group. The precursor's are scalars; product q
// reads exp_products[q] and the per-spin tables at [q * product_stride].
struct _MultiPoolGroup {
    double exp_precursor;
    double f0_precursor;
    double f1_precursor;
    double concentration_exp_precursor;
    double concentration_f0_precursor;
    double concentration_f1_precursor;
    const double* exp_products;
    const double* concentration_exp_products;
    const double* conversion_rates;
    const double* transfer_factor;
    const double* j0;
    const double* j1;
    const double* concentration_transfer_factor;
    const double* concentration_j0;
    const double* concentration_j1;
    std::int64_t product_stride;
};

// Pool p's magnetization is magnetization[p * pool_stride], its concentration likewise; pool 0 is
// the precursor. The products convert the precursor values from before this half-step's update.
// The zero-target shift is skipped for +-0.0 only (a NaN equilibrium is applied), while the
// precursor source always subtracts its concentration term, as in the two-pool inflow step.
inline void _advance_multi_pool_voxel(double* magnetization, double* concentration,
                                      std::int64_t pool_stride, std::int64_t npools,
                                      const _MultiPoolGroup& group, double duration,
                                      const _MultiPoolSources& sources,
                                      double equilibrium) noexcept {
    const bool shifted = equilibrium != 0.0;
    if (shifted) {
        for (std::int64_t p = 0; p < npools; ++p) {
            double& z = magnetization[p * pool_stride];
            z = z - (concentration[p * pool_stride] * equilibrium);
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
        const std::int64_t at = q * group.product_stride;
        const double rate = group.conversion_rates[at];
        double& z = magnetization[p * pool_stride];
        double& c = concentration[p * pool_stride];
        z = ((z * group.exp_products[q]) + ((precursor * rate) * group.transfer_factor[at])) +
            (((group.j0[at] * ramp.start) + (group.j1[at] * ramp.slope)) * rate);
        c = ((c * group.concentration_exp_products[q]) +
             ((concentration_precursor * rate) * group.concentration_transfer_factor[at])) +
            (((group.concentration_j0[at] * concentration_ramp.start) +
              (group.concentration_j1[at] * concentration_ramp.slope)) *
             rate);
    }

    if (shifted) {
        for (std::int64_t p = 0; p < npools; ++p) {
            double& z = magnetization[p * pool_stride];
            z = (concentration[p * pool_stride] * equilibrium) + z;
        }
    }
}

}  // namespace korvel::kernels
