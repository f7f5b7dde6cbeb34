// Result arrays of the preparers, created through the module global `np` at call time.
#include "coefficients/result_array.hpp"

#include "frame/module_state.hpp"

namespace korvel::coefficients {
namespace {

// Asks for a writable buffer once, so that a read-only result fails with its exporter's own
// message; the frame's acquisition then checks element type and dimensions.
bool writable(PyObject* array) {
    Py_buffer probe;
    if (PyObject_GetBuffer(array, &probe, PyBUF_WRITABLE | PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        return false;
    }
    PyBuffer_Release(&probe);
    return true;
}

}  // namespace

PyObject* new_result_array(PyObject* shape, const char* dtype, frame::Element element, int ndim,
                           frame::Buffer& buffer) {
    Owned array;
    {
        const Owned np(frame::module_global("np"));
        if (!np) return nullptr;
        const Owned empty(PyObject_GetAttrString(np.get(), "empty"));
        if (!empty) return nullptr;
        const Owned dtype_object(PyObject_GetAttrString(np.get(), dtype));
        if (!dtype_object) return nullptr;
        const Owned kwargs(PyDict_New());
        if (!kwargs || PyDict_SetItemString(kwargs.get(), "dtype", dtype_object.get()) < 0) {
            return nullptr;
        }
        const Owned args(PyTuple_Pack(1, shape));
        if (!args) return nullptr;
        array.reset(PyObject_Call(empty.get(), args.get(), kwargs.get()));
        if (!array) return nullptr;
    }
    PyTypeObject* const ndarray = frame::ndarray_type();
    if (!PyObject_TypeCheck(array.get(), ndarray)) {
        PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "",
                     Py_TYPE(array.get())->tp_name, ndarray->tp_name);
        return nullptr;
    }
    if (!writable(array.get()) || !buffer.acquire(array.get(), element, ndim)) return nullptr;
    return array.release();
}

bool has_shape(const frame::Buffer& buffer, std::initializer_list<Py_ssize_t> shape) noexcept {
    int axis = 0;
    for (const Py_ssize_t extent : shape) {
        if (buffer.shape(axis++) != extent) return false;
    }
    return true;
}

}  // namespace korvel::coefficients
