// Concentration inflow step of one voxel: magnetization and concentration of both pools advance
// together over one interval with a linearly ramped pyruvate source.
#pragma once

#include "kernels/longitudinal.hpp"

namespace korvel::kernels {

// Linear source ramp: the source's value at the interval's start and its slope over the interval.
// Doubles or lanes.
template <class T>
struct _SourceRamp {
    T start;
    T slope;
};

template <class T>
inline _SourceRamp<T> _linear_source_ramp(T value_start, T value_end, double duration) noexcept {
    const T source_delta = value_end - value_start;
    return {value_start, source_delta / duration};
}

// The magnetization relaxes toward equilibrium x concentration, so it is advanced as its
// deviation from that target (the zero-target shift) and the target is added back afterwards.
// The shift is skipped for +-0.0 only; a NaN equilibrium is applied and poisons the
// magnetization. The shifted source ramp subtracts its products whatever equilibrium is, so an
// infinite concentration source reaches the magnetization even at equilibrium 0.
//
// Doubles or lanes: T for the values and sources, C for the per-voxel coefficients. The two
// transfers come from the caller, each a function of the pyruvate value it converts (the
// shifted magnetization, the held concentration), so that lanes may choose their forms per tile.
template <class T, class C, class MagnetizationTransfer, class ConcentrationTransfer>
inline void _advance_coupled_longitudinal(
    T& pyruvate, T& lactate, T& concentration_pyruvate, T& concentration_lactate, C kpl, C exp_a,
    double exp_b, C f0_a, C f1_a, C j0, C j1, C concentration_exp_a, double concentration_exp_b,
    C concentration_f0_a, C concentration_f1_a, C concentration_j0, C concentration_j1,
    T source_start, T source_end, T concentration_source_start, T concentration_source_end,
    double duration, double equilibrium, MagnetizationTransfer magnetization_transfer,
    ConcentrationTransfer concentration_transfer) noexcept {
    const bool shifted = equilibrium != 0.0;
    T magnetization_pyruvate = pyruvate;
    T magnetization_lactate = lactate;
    const T held_pyruvate = concentration_pyruvate;
    const T held_lactate = concentration_lactate;
    if (shifted) {
        magnetization_pyruvate = magnetization_pyruvate - (held_pyruvate * equilibrium);
        magnetization_lactate = magnetization_lactate - (held_lactate * equilibrium);
    }

    const T transfer_m = magnetization_transfer(magnetization_pyruvate);
    const _SourceRamp<T> ramp_m =
        _linear_source_ramp<T>(source_start - (concentration_source_start * equilibrium),
                               source_end - (concentration_source_end * equilibrium), duration);
    T new_pyruvate =
        (exp_a * magnetization_pyruvate) + ((f0_a * ramp_m.start) + (f1_a * ramp_m.slope));
    T new_lactate = (((j0 * ramp_m.start) + (j1 * ramp_m.slope)) * kpl) +
                    (transfer_m + (exp_b * magnetization_lactate));

    const _SourceRamp<T> ramp_c =
        _linear_source_ramp<T>(concentration_source_start, concentration_source_end, duration);
    const T transfer_c = concentration_transfer(held_pyruvate);
    const T source_addition =
        ((concentration_j0 * ramp_c.start) + (concentration_j1 * ramp_c.slope)) * kpl;
    const T new_concentration_lactate =
        ((concentration_exp_b * held_lactate) + transfer_c) + source_addition;
    const T new_concentration_pyruvate =
        ((concentration_f0_a * ramp_c.start) + (concentration_f1_a * ramp_c.slope)) +
        (concentration_exp_a * held_pyruvate);

    if (shifted) {
        new_pyruvate = new_pyruvate + (new_concentration_pyruvate * equilibrium);
        new_lactate = new_lactate + (new_concentration_lactate * equilibrium);
    }
    pyruvate = new_pyruvate;
    lactate = new_lactate;
    concentration_pyruvate = new_concentration_pyruvate;
    concentration_lactate = new_concentration_lactate;
}

}  // namespace korvel::kernels
