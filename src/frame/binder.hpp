// Argument binding for every exported function: one table of parameters per function, one
// generic bind() that matches, converts, type-tests and acquires in a fixed order and formats
// every binding message. Relies on array_contract for the buffers.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <span>

#include "frame/array_contract.hpp"

namespace korvel::frame {

enum class Kind : std::uint8_t { kReal, kInteger, kFlag, kArray };

// What a parameter accepts. Scalars: a double, a 32-bit signed integer, a truth value. Arrays:
// an ndarray of one element type and number of dimensions. `optional` parameters take their
// default when not passed (None for arrays); `written` arrays must be writable.
struct Arg {
    Kind kind = Kind::kReal;
    Element element = Element::kFloat64;
    int ndim = 0;
    bool optional = false;
    bool written = false;
    double real_default = 0.0;
    int integer_default = 0;
    bool flag_default = false;

    static constexpr Arg real() { return {Kind::kReal}; }
    static constexpr Arg integer() { return {Kind::kInteger}; }
    static constexpr Arg flag() { return {Kind::kFlag}; }
    static constexpr Arg array(Element element, int ndim) { return {Kind::kArray, element, ndim}; }
    static constexpr Arg f64_array(int ndim) { return array(Element::kFloat64, ndim); }
    static constexpr Arg c128_array(int ndim) { return array(Element::kComplex128, ndim); }
    static constexpr Arg i64_array(int ndim) { return array(Element::kInt64, ndim); }
    static constexpr Arg i32_array(int ndim) { return array(Element::kInt32, ndim); }
    static constexpr Arg i8_array(int ndim) { return array(Element::kInt8, ndim); }
    static constexpr Arg bool_array(int ndim) { return array(Element::kBool, ndim); }

    // An array whose default is None, or a scalar with the given default.
    constexpr Arg or_none() const {
        return with([](Arg& a) { a.optional = true; });
    }
    constexpr Arg defaults_to(double value) const {
        return with([value](Arg& a) { a.optional = true, a.real_default = value; });
    }
    constexpr Arg defaults_to(int value) const {
        return with([value](Arg& a) { a.optional = true, a.integer_default = value; });
    }
    constexpr Arg defaults_to(bool value) const {
        return with([value](Arg& a) { a.optional = true, a.flag_default = value; });
    }
    // An array the function modifies in place.
    constexpr Arg modified() const {
        return with([](Arg& a) { a.written = true; });
    }

private:
    template <class Change>
    constexpr Arg with(Change change) const {
        Arg copy = *this;
        change(copy);
        return copy;
    }
};

struct Param {
    const char* name;
    Arg arg;
};

inline constexpr int kMaxParams = 64;

// A table is well formed when it fits the binder and no required parameter follows an
// optional one.
constexpr bool well_formed(std::span<const Param> params) {
    if (params.size() > kMaxParams) return false;
    bool seen_optional = false;
    for (const Param& param : params) {
        if (seen_optional && !param.arg.optional) return false;
        seen_optional = seen_optional || param.arg.optional;
        if (param.arg.kind == Kind::kArray && (param.arg.ndim < 1 || param.arg.ndim > 4))
            return false;
    }
    return true;
}

// One exported function's name and parameter table, with the interned parameter names that
// keyword matching compares by identity first (made on first use, kept for the process).
class Signature {
public:
    constexpr Signature(const char* name, std::span<const Param> params) noexcept
        : name_(name), params_(params) {}
    const char* name() const noexcept { return name_; }
    std::span<const Param> params() const noexcept { return params_; }
    // The interned parameter names, in table order, or nullptr with an error set.
    PyObject* const* names() const;

private:
    const char* name_;
    std::span<const Param> params_;
    mutable PyObject* interned_[kMaxParams] = {};
};

// The arguments of one call after binding: converted scalars and acquired buffers. Owns every
// buffer it acquired and releases them when it goes out of scope.
class Bound {
public:
    Bound() noexcept = default;
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;

    double real(int i) const noexcept { return reals_[i]; }
    int integer(int i) const noexcept { return integers_[i]; }
    bool flag(int i) const noexcept { return flags_[i]; }
    // True when array parameter i was given as an array (not None).
    bool has(int i) const noexcept { return buffers_[i].acquired(); }
    PyObject* object(int i) const noexcept { return objects_[i]; }
    const Buffer& buffer(int i) const noexcept { return buffers_[i]; }
    Py_ssize_t shape(int i, int axis) const noexcept { return buffers_[i].shape(axis); }

    template <class T, std::size_t N>
    ArrayView<T, N> view(int i) const noexcept {
        return ArrayView<T, N>(buffers_[i]);
    }

private:
    friend bool bind(const Signature&, PyObject* const*, Py_ssize_t, PyObject*, Bound&);
    friend bool check_memory(const Signature&, const Bound&);

    PyObject* objects_[kMaxParams] = {};
    double reals_[kMaxParams] = {};
    int integers_[kMaxParams] = {};
    bool flags_[kMaxParams] = {};
    Buffer buffers_[kMaxParams];
};

// Binds a METH_FASTCALL | METH_KEYWORDS call: positional and keyword matching, scalar conversion
// in parameter order, the ndarray type test of every array in parameter order, acquisition of
// every array that is not None in parameter order, and finally the rejection of None for an
// array that has no default. Returns false with the exception set.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Bound& bound);

// The checks every function makes after its own: each acquired buffer is aligned for its
// element type (the kernels address it as typed memory), and each array the function modifies
// is writable. Returns false with a ValueError set.
bool check_memory(const Signature& signature, const Bound& bound);

// Tests the given array parameters for C-contiguity in order and stops at the first failure:
// false with ValueError(message) set, or with the attribute lookup's own error.
bool require_c_contiguous(const Bound& bound, std::initializer_list<int> indices,
                          const char* message);

// Sets ValueError(message) and returns nullptr, for `return value_error("...")`.
PyObject* value_error(const char* message);

}  // namespace korvel::frame
