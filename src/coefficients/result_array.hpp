// The result arrays of the coefficient preparers: made by the module's own `np.empty` at call
// time and acquired writable, so that the kernels can fill them. Relies on the frame's buffers.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "frame/array_contract.hpp"

namespace korvel::coefficients {

// A strong reference, dropped when it goes out of scope unless released.
class Owned {
public:
    explicit Owned(PyObject* object = nullptr) noexcept : object_(object) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    PyObject* release() noexcept {
        PyObject* const object = object_;
        object_ = nullptr;
        return object;
    }
    void reset(PyObject* object) noexcept {
        Py_XDECREF(object_);
        object_ = object;
    }

private:
    PyObject* object_;
};

// Calls `np.empty(shape, dtype=np.<dtype>)` with the module global `np`, requires an ndarray
// (TypeError otherwise) and acquires it writable as `ndim`-dimensional `element` data into
// `buffer`. Returns the new array, or nullptr with the error set.
PyObject* new_result_array(PyObject* shape, const char* dtype, frame::Element element, int ndim,
                           frame::Buffer& buffer);

// True when the acquired result has exactly the given shape. A rebound `np.empty` may hand back
// any ndarray, and the preparers write by index into what they asked for.
bool has_shape(const frame::Buffer& buffer, std::initializer_list<Py_ssize_t> shape) noexcept;

}  // namespace korvel::coefficients
