// apply_rf_rotation_transverse_block: binds its arguments; the kernel is not built yet.
#include "frame/exports.hpp"
#include "frame/frame.hpp"

namespace korvel::rf {
namespace {

constexpr frame::Param kParams[] = {
    {"state", frame::Arg::f64_array(3).modified()},
    {"transverse_state", frame::Arg::c128_array(2).modified()},
    {"axis_x", frame::Arg::real()},
    {"axis_y", frame::Arg::real()},
    {"cosine", frame::Arg::real()},
    {"sine", frame::Arg::real()},
    {"one_minus_cosine", frame::Arg::real()},
    {"num_threads", frame::Arg::integer()},
};
static_assert(frame::well_formed(kParams));
frame::Signature kSignature{"apply_rf_rotation_transverse_block", kParams};

}  // namespace

const char apply_rf_rotation_transverse_block_doc[] =
    "Rotate one RF interval across the complete two-pool voxel block.\n"
    "\n"
    "    The optimized dynamic driver stores Mx/My in a compact complex array. This\n"
    "    primitive reads and writes that representation directly, avoiding two full\n"
    "    state synchronizations and all temporary ``numpy.cross`` arrays.\n"
    "    ";

PyObject* apply_rf_rotation_transverse_block(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    frame::Bound bound;
    if (!frame::bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    return frame::not_built(kSignature);
}

}  // namespace korvel::rf
