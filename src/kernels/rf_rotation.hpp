// RF rotation of one magnetization vector (Mx, My, Mz) about a transverse axis. The values may be
// doubles or lanes of doubles (kernels/lanes.hpp); the coefficients doubles or lanes alike.
#pragma once

namespace korvel::kernels {

// Axis rotation form: v cos + (k x v) sin + k (k . v)(1 - cos) with k = (axis_x, axis_y, 0.0),
// term by term. The products with the axis' literal zero z component are performed: they carry
// NaN, infinity and the sign of zero exactly as the NumPy path does. One rounding per operation;
// all three results are formed from the vector before the rotation.
template <class T, class C>
inline void _rotate_rf_voxel(T& value_x, T& value_y, T& value_z, C axis_x, C axis_y, C cosine,
                             C sine, C one_minus_cosine) noexcept {
    const T vx = value_x, vy = value_y, vz = value_z;
    const T cross_x = (axis_y * vz) - (0.0 * vy);
    const T cross_y = (0.0 * vx) - (axis_x * vz);
    const T cross_z = (axis_x * vy) - (axis_y * vx);
    const T projection = ((axis_x * vx) + (axis_y * vy)) + (0.0 * vz);
    value_x = ((cosine * vx) + (sine * cross_x)) + ((axis_x * projection) * one_minus_cosine);
    value_y = ((cosine * vy) + (sine * cross_y)) + ((axis_y * projection) * one_minus_cosine);
    value_z = ((cosine * vz) + (sine * cross_z)) + ((0.0 * projection) * one_minus_cosine);
}

// Spatial rotation form: the transverse vector splits into its part along the axis, which the
// rotation keeps, and its part along the in-plane perpendicular (-axis_y, axis_x); that part
// and Mz turn together in their plane. No zero-multiplied terms, so it rounds differently from
// the axis form for the same rotation. All three results use the vector before the rotation.
template <class T, class C>
inline void _rotate_rf_voxel_plane(T& value_x, T& value_y, T& value_z, C axis_x, C axis_y, C cosine,
                                   C sine) noexcept {
    const T vx = value_x, vy = value_y, vz = value_z;
    const T parallel = (axis_x * vx) + (axis_y * vy);
    const T perpendicular = (axis_x * vy) - (axis_y * vx);
    const T rotated_perpendicular = (cosine * perpendicular) - (sine * vz);
    value_x = (parallel * axis_x) - (rotated_perpendicular * axis_y);
    value_y = (rotated_perpendicular * axis_x) + (parallel * axis_y);
    value_z = (sine * perpendicular) + (cosine * vz);
}

}  // namespace korvel::kernels
