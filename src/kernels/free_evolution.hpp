// Free evolution of one transverse value: multiplication by a complex factor, written out as
// real operations so that every rounding is the one the NumPy path makes.
#pragma once

namespace korvel::kernels {

// Both results are formed from the value before the multiplication.
inline void _evolve_transverse_voxel(double& real, double& imag, double factor_real,
                                     double factor_imag) noexcept {
    const double tr = real, ti = imag;
    real = (tr * factor_real) - (factor_imag * ti);
    imag = (tr * factor_imag) + (factor_real * ti);
}

}  // namespace korvel::kernels
