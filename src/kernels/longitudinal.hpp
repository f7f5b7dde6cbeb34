// Longitudinal half-step of one voxel: pyruvate Mz decays, lactate Mz decays and receives the
// pyruvate converted at rate kpl. The caller supplies every exponential already rounded.
#pragma once

#include <cstdint>

#include "kernels/lanes.hpp"

namespace korvel::kernels {

// Regularity selection: mode 1 forces the regular form, -1 the duration form; any other mode
// defers to the voxel's mask byte (nonzero = regular). The plan drivers read modes from tables
// and do not validate them, hence "any other" rather than "0".
inline bool _uses_regular_form(int regular, int regular_mode) noexcept {
    if (regular_mode == 1) return true;
    if (regular_mode == -1) return false;
    return regular != 0;
}

// The two forms of the pyruvate-to-lactate transfer over the interval. The regular form
// divides by the rate difference; the duration form is its limit where that difference
// vanishes. T (values) and C (per-voxel coefficients) are doubles or lanes; exp_b and the
// duration are per-group doubles.
template <class T, class C>
inline T _regular_transfer(T pyruvate, C kpl, C exp_a, double exp_b, C difference) noexcept {
    const C decay_delta = exp_b - exp_a;
    return ((kpl * pyruvate) * decay_delta) / difference;
}

template <class T, class C>
inline T _duration_transfer(T pyruvate, C kpl, double exp_b, double duration) noexcept {
    return ((kpl * pyruvate) * duration) * exp_b;
}

// The decay of both pools given the transfer, which was formed from the pyruvate value before
// its own decay.
template <class T, class C>
inline void _decay_with_transfer(T& pyruvate, T& lactate, T transfer, C exp_a,
                                 double exp_b) noexcept {
    lactate = (exp_b * lactate) + transfer;
    pyruvate = exp_a * pyruvate;
}

// The transfer of a tile of lanes whose form is fixed for all of them (kAll regular, kNone
// duration) or chosen per lane by its mask byte (kMixed: both forms, each lane keeps its own).
template <class T, class C>
inline T _tile_transfer(MaskBytes form, const std::uint8_t* regular, T pyruvate, C kpl, C exp_a,
                        double exp_b, C difference, double duration) noexcept {
    if (form == MaskBytes::kAll) return _regular_transfer(pyruvate, kpl, exp_a, exp_b, difference);
    if (form == MaskBytes::kNone) return _duration_transfer(pyruvate, kpl, exp_b, duration);
    return select_by_bytes(regular, _regular_transfer(pyruvate, kpl, exp_a, exp_b, difference),
                           _duration_transfer(pyruvate, kpl, exp_b, duration));
}

// The form of a tile under a regularity mode: fixed by modes 1 and -1, else by its mask bytes.
inline MaskBytes _tile_form(int regular_mode, const std::uint8_t* regular, int lanes) noexcept {
    if (regular_mode == 1) return MaskBytes::kAll;
    if (regular_mode == -1) return MaskBytes::kNone;
    return classify_mask_bytes(regular, lanes);
}

inline double _longitudinal_transfer(double pyruvate, double kpl, double exp_a, double exp_b,
                                     double difference, int regular, double duration,
                                     int regular_mode) noexcept {
    if (_uses_regular_form(regular, regular_mode)) {
        return _regular_transfer(pyruvate, kpl, exp_a, exp_b, difference);
    }
    return _duration_transfer(pyruvate, kpl, exp_b, duration);
}

inline void _advance_no_inflow_voxel(double& pyruvate, double& lactate, double kpl, double exp_a,
                                     double exp_b, double difference, int regular, double duration,
                                     int regular_mode) noexcept {
    const double transfer = _longitudinal_transfer(pyruvate, kpl, exp_a, exp_b, difference, regular,
                                                   duration, regular_mode);
    _decay_with_transfer(pyruvate, lactate, transfer, exp_a, exp_b);
}

}  // namespace korvel::kernels
