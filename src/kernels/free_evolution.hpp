// Free evolution of one transverse value: multiplication by a complex factor, written out as
// real operations so that every rounding is the one the NumPy path makes.
#pragma once

namespace korvel::kernels {

// Both results are formed from the value before the multiplication. Doubles or lanes.
template <class T, class C>
inline void _evolve_transverse_voxel(T& real, T& imag, C factor_real, C factor_imag) noexcept {
    const T tr = real, ti = imag;
    real = (tr * factor_real) - (factor_imag * ti);
    imag = (tr * factor_imag) + (factor_real * ti);
}

}  // namespace korvel::kernels
