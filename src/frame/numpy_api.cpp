// Built against NumPy 2 headers that target the C API of NumPy 1.23, so one build runs on
// NumPy 1.23 to 2.x; this is the run-time half of that promise.
#include <Python.h>

#include "frame/numpy_api.hpp"

#include <numpy/ndarrayobject.h>

namespace korvel::frame {
namespace {

PyObject* import_multiarray() {
    PyObject* module = PyImport_ImportModule("numpy._core._multiarray_umath");
    if (module == nullptr && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();  // NumPy 1.x keeps it under numpy.core
        module = PyImport_ImportModule("numpy.core._multiarray_umath");
    }
    return module;
}

bool check_api() {
    PyObject* multiarray = import_multiarray();
    if (multiarray == nullptr) return false;
    PyObject* capsule = PyObject_GetAttrString(multiarray, "_ARRAY_API");
    Py_DECREF(multiarray);
    if (capsule == nullptr) return false;
    void* table = PyCapsule_CheckExact(capsule) ? PyCapsule_GetPointer(capsule, nullptr) : nullptr;
    Py_DECREF(capsule);  // the module that owns the table stays imported
    if (table == nullptr) return false;
    PyArray_API = static_cast<void**>(table);
    return PyArray_GetNDArrayCVersion() <= NPY_ABI_VERSION &&
           PyArray_GetNDArrayCFeatureVersion() >= NPY_FEATURE_VERSION &&
           PyArray_GetEndianness() == NPY_CPU_LITTLE;
}

}  // namespace

bool import_numpy_api() {
    if (check_api()) return true;
    // Whatever failed, the caller sees one ImportError.
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError,
                    "numpy.core.multiarray failed to import (the NumPy C API could not be "
                    "initialised: korvel.pelorine needs NumPy 1.23 or later, up to NumPy 2's ABI, "
                    "on a little-endian machine)");
    return false;
}

}  // namespace korvel::frame
