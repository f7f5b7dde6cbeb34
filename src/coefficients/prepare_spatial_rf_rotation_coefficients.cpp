// prepare_spatial_rf_rotation_coefficients: the rotation axis, cosine and sine of every voxel for
// one RF interval, from one scalar hypot and one sincos per voxel, so chunking cannot change them.
#include <cmath>

#include "coefficients/result_array.hpp"
#include "frame/exports.hpp"
#include "frame/frame.hpp"

namespace korvel::coefficients {
namespace {

constexpr frame::Param kParams[] = {
    {"rf_real", frame::Arg::real()},
    {"rf_imag", frame::Arg::real()},
    {"tx_sensitivity", frame::Arg::c128_array(1)},
    {"duration", frame::Arg::real()},
};
static_assert(frame::well_formed(kParams));
frame::Signature kSignature{"prepare_spatial_rf_rotation_coefficients", kParams};

enum Index { kRfReal, kRfImag, kTxSensitivity, kDuration };
enum Result { kAxisX, kAxisY, kCosine, kSine, kResults };

constexpr double kTwoPi = 6.283185307179586;
constexpr double kMinusTwoPi = -6.283185307179586;

}  // namespace

const char prepare_spatial_rf_rotation_coefficients_doc[] =
    "Prepare spatial-B1 coefficients with chunk-stable scalar libm calls.";

PyObject* prepare_spatial_rf_rotation_coefficients(PyObject*, PyObject* const* args,
                                                   Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    const Py_ssize_t nvoxels = bound.shape(kTxSensitivity, 0);
    Owned results[kResults];
    frame::Buffer result_buffers[kResults];
    {
        const Owned shape(PyLong_FromSsize_t(nvoxels));
        if (!shape) return nullptr;
        for (int result = 0; result < kResults; ++result) {
            results[result].reset(new_result_array(shape.get(), "float64", frame::Element::kFloat64,
                                                   1, result_buffers[result]));
            if (!results[result]) return nullptr;
        }
    }
    if (!frame::require_c_contiguous(bound, {kTxSensitivity},
                                     "tx_sensitivity must be C-contiguous")) {
        return nullptr;
    }
    const double duration = bound.real(kDuration);
    if (duration <= 0.0) return frame::value_error("duration must be positive");
    if (!frame::check_memory(kSignature, bound)) return nullptr;
    for (const frame::Buffer& buffer : result_buffers) {
        if (!has_shape(buffer, {nvoxels})) {
            return frame::value_error("np.empty must return arrays of the requested shape");
        }
    }

    const double rf_real = bound.real(kRfReal), rf_imag = bound.real(kRfImag);
    const frame::Complex* const tx_data = bound.view<frame::Complex, 1>(kTxSensitivity).flat();
    const frame::ArrayView<double, 1> axis_x(result_buffers[kAxisX]);
    const frame::ArrayView<double, 1> axis_y(result_buffers[kAxisY]);
    const frame::ArrayView<double, 1> cosine(result_buffers[kCosine]);
    const frame::ArrayView<double, 1> sine(result_buffers[kSine]);
    for (Py_ssize_t voxel = 0; voxel < nvoxels; ++voxel) {
        const double tx_real = tx_data[voxel].real, tx_imag = tx_data[voxel].imag;
        const double effective_real = (rf_real * tx_real) - (rf_imag * tx_imag);
        const double effective_imag = (rf_real * tx_imag) + (rf_imag * tx_real);
        const double nx = (kMinusTwoPi * effective_real) * duration;
        const double ny = (kTwoPi * effective_imag) * duration;
        const double angle = std::hypot(nx, ny);
        // A zero angle has no axis of its own; any unit axis gives the identity rotation.
        if (angle == 0.0) {
            axis_x.store(1.0, voxel);
            axis_y.store(0.0, voxel);
        } else {
            axis_x.store(nx / angle, voxel);
            axis_y.store(ny / angle, voxel);
        }
        double sin_angle, cos_angle;
        sincos(angle, &sin_angle, &cos_angle);
        cosine.store(cos_angle, voxel);
        sine.store(sin_angle, voxel);
    }
    return PyTuple_Pack(kResults, results[kAxisX].get(), results[kAxisY].get(),
                        results[kCosine].get(), results[kSine].get());
}

}  // namespace korvel::coefficients
