// Longitudinal half-step of one voxel: pyruvate Mz decays, lactate Mz decays and receives the
// pyruvate converted at rate kpl. The caller supplies every exponential already rounded.
#pragma once

namespace korvel::kernels {

// Regularity selection: mode 1 forces the regular form, -1 the duration form; any other mode
// defers to the voxel's mask byte (nonzero = regular). The plan drivers read modes from tables
// and do not validate them, hence "any other" rather than "0".
inline bool _uses_regular_form(int regular, int regular_mode) noexcept {
    if (regular_mode == 1) return true;
    if (regular_mode == -1) return false;
    return regular != 0;
}

// The pyruvate-to-lactate transfer over the interval. The regular form divides by the rate
// difference; the duration form is its limit where that difference vanishes.
inline double _longitudinal_transfer(double pyruvate, double kpl, double exp_a, double exp_b,
                                     double difference, int regular, double duration,
                                     int regular_mode) noexcept {
    if (_uses_regular_form(regular, regular_mode)) {
        const double decay_delta = exp_b - exp_a;
        return ((kpl * pyruvate) * decay_delta) / difference;
    }
    return ((kpl * pyruvate) * duration) * exp_b;
}

// The transfer is formed from the pyruvate value before its own decay.
inline void _advance_no_inflow_voxel(double& pyruvate, double& lactate, double kpl, double exp_a,
                                     double exp_b, double difference, int regular,
                                     double duration, int regular_mode) noexcept {
    const double transfer = _longitudinal_transfer(pyruvate, kpl, exp_a, exp_b, difference,
                                                   regular, duration, regular_mode);
    lactate = (exp_b * lactate) + transfer;
    pyruvate = exp_a * pyruvate;
}

}  // namespace korvel::kernels
