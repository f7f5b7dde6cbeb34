// Array arguments: the six element types, buffer acquisition with the binder's messages, and
// typed views over an acquired buffer. Relies on the CPython buffer protocol only.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvel::frame {

enum class Element : std::uint8_t { kFloat64, kComplex128, kInt64, kInt32, kInt8, kBool };

// The name messages use for an element type ('DTYPE_t', 'double complex', ...).
const char* element_name(Element element) noexcept;
// The address alignment the kernels assume for an element (a complex is two doubles).
Py_ssize_t element_alignment(Element element) noexcept;

// A complex128 element as the kernels see it: two plain doubles.
struct Complex {
    double real;
    double imag;
};

// Owns one acquired Py_buffer (strides and format requested, writability not) and releases it
// when destroyed, on every return path.
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(); }

    // Acquires `object` as `ndim`-dimensional `element` data; on failure sets the exporter's error
    // or the ValueError of the array contract and returns false (nothing stays acquired).
    bool acquire(PyObject* object, Element element, int ndim);
    void release() noexcept;

    bool acquired() const noexcept { return acquired_; }
    const Py_buffer& view() const noexcept { return view_; }
    char* data() const noexcept { return static_cast<char*>(view_.buf); }
    Py_ssize_t shape(int axis) const noexcept { return view_.shape[axis]; }
    Py_ssize_t stride(int axis) const noexcept { return view_.strides[axis]; }
    bool readonly() const noexcept { return view_.readonly != 0; }

private:
    Py_buffer view_{};
    bool acquired_ = false;
};

// Reads and writes elements of a buffer through its byte strides. Loads and stores go through
// memcpy, so an element at any byte address is accessed without undefined behaviour; for aligned
// data this compiles to plain loads and stores.
template <class T, std::size_t N>
class ArrayView {
public:
    ArrayView() noexcept = default;
    explicit ArrayView(const Buffer& buffer) noexcept : data_(buffer.data()) {
        for (std::size_t axis = 0; axis < N; ++axis) {
            shape_[axis] = buffer.shape(static_cast<int>(axis));
            strides_[axis] = buffer.stride(static_cast<int>(axis));
        }
    }

    Py_ssize_t shape(int axis) const noexcept { return shape_[static_cast<std::size_t>(axis)]; }
    Py_ssize_t stride(int axis) const noexcept { return strides_[static_cast<std::size_t>(axis)]; }
    // The first element; for C-contiguous buffers the whole array as one flat block.
    T* flat() const noexcept { return reinterpret_cast<T*>(data_); }
    char* bytes() const noexcept { return data_; }

    template <class... Index>
    T load(Index... index) const noexcept {
        static_assert(sizeof...(Index) == N);
        T value;
        std::memcpy(&value, address(index...), sizeof(T));
        return value;
    }
    template <class... Index>
    void store(T value, Index... index) const noexcept {
        static_assert(sizeof...(Index) == N);
        std::memcpy(address(index...), &value, sizeof(T));
    }

private:
    template <class... Index>
    char* address(Index... index) const noexcept {
        const Py_ssize_t indices[] = {static_cast<Py_ssize_t>(index)...};
        Py_ssize_t offset = 0;
        for (std::size_t axis = 0; axis < N; ++axis) offset += indices[axis] * strides_[axis];
        return data_ + offset;
    }

    char* data_ = nullptr;
    Py_ssize_t shape_[N] = {};
    Py_ssize_t strides_[N] = {};
};

// The array's own `flags.c_contiguous`, looked up as attributes: 1 or 0, or -1 with the lookup's
// or the truth test's error set.
int is_c_contiguous(PyObject* array);

}  // namespace korvel::frame
