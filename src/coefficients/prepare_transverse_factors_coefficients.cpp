// prepare_transverse_factors_coefficients: binds its arguments; the kernel is not built yet.
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

}  // namespace

const char prepare_transverse_factors_coefficients_doc[] =
    "Prepare complex free-evolution factors in a chunk-stable order.";

PyObject* prepare_transverse_factors_coefficients(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    return frame::not_built(kSignature);
}

}  // namespace korvel::coefficients
