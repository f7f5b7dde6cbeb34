// prepare_transverse_factors_coefficients: the complex free-evolution factor of every (pool,
// voxel), T2 decay times a phase rotation, from one scalar exp per pool and one sincos per element.
#include <cmath>

#include "coefficients/result_array.hpp"
#include "frame/exports.hpp"
#include "frame/frame.hpp"

namespace korvel::coefficients {
namespace {

constexpr frame::Param kParams[] = {
    {"phase_cycles", frame::Arg::f64_array(2)},
    {"t2_s", frame::Arg::f64_array(1)},
    {"duration", frame::Arg::real()},
};
static_assert(frame::well_formed(kParams));
frame::Signature kSignature{"prepare_transverse_factors_coefficients", kParams};

enum Index { kPhaseCycles, kT2, kDuration };

constexpr double kMinusTwoPi = -6.283185307179586;

}  // namespace

const char prepare_transverse_factors_coefficients_doc[] =
    "Prepare complex free-evolution factors in a chunk-stable order.";

PyObject* prepare_transverse_factors_coefficients(PyObject*, PyObject* const* args,
                                                  Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    const Py_ssize_t npools = bound.shape(kPhaseCycles, 0);
    const Py_ssize_t nvoxels = bound.shape(kPhaseCycles, 1);
    frame::Buffer factors_buffer;
    Owned factors;
    {
        const Owned shape(Py_BuildValue("(nn)", npools, nvoxels));
        if (!shape) return nullptr;
        factors.reset(new_result_array(shape.get(), "complex128", frame::Element::kComplex128, 2,
                                       factors_buffer));
        if (!factors) return nullptr;
    }
    if (bound.shape(kT2, 0) != npools) {
        return frame::value_error("t2_s must contain one value per pool");
    }
    if (!frame::require_c_contiguous(bound, {kPhaseCycles, kT2},
                                     "transverse coefficient inputs must be C-contiguous")) {
        return nullptr;
    }
    if (!frame::check_memory(kSignature, bound)) return nullptr;
    if (!has_shape(factors_buffer, {npools, nvoxels})) {
        return frame::value_error("np.empty must return arrays of the requested shape");
    }

    const double duration = bound.real(kDuration);
    const double* const phase_data = bound.view<double, 2>(kPhaseCycles).flat();
    const double* const t2_s = bound.view<double, 1>(kT2).flat();
    const frame::ArrayView<frame::Complex, 2> factor_data(factors_buffer);
    for (Py_ssize_t pool = 0; pool < npools; ++pool) {
        const double decay = std::exp((-duration) / t2_s[pool]);
        for (Py_ssize_t voxel = 0; voxel < nvoxels; ++voxel) {
            const double angle = kMinusTwoPi * phase_data[pool * nvoxels + voxel];
            double s, c;
            sincos(angle, &s, &c);
            factor_data.store({c * decay, s * decay}, pool, voxel);
        }
    }
    return factors.release();
}

}  // namespace korvel::coefficients
