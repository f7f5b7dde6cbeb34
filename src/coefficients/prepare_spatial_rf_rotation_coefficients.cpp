// prepare_spatial_rf_rotation_coefficients: binds its arguments; the kernel is not built yet.
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

}  // namespace

const char prepare_spatial_rf_rotation_coefficients_doc[] =
    "Prepare spatial-B1 coefficients with chunk-stable scalar libm calls.";

PyObject* prepare_spatial_rf_rotation_coefficients(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    return frame::not_built(kSignature);
}

}  // namespace korvel::coefficients
