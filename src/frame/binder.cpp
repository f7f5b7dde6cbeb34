// Binding a call: positional and keyword matching, conversion of scalars, the ndarray type test
// and buffer acquisition, in this fixed order, with the messages callers see.
#include "frame/binder.hpp"

#include <climits>

#include "frame/module_state.hpp"

namespace korvel::frame {
namespace {

constexpr Py_ssize_t required_count(std::span<const Param> params) noexcept {
    Py_ssize_t count = 0;
    for (const Param& param : params) count += param.arg.optional ? 0 : 1;
    return count;
}

// Too many positional arguments, or a required parameter left unfilled. `given` is the number
// of positional arguments, or the index of the first missing parameter after keywords.
bool count_error(const Signature& signature, Py_ssize_t given) {
    const auto nparams = static_cast<Py_ssize_t>(signature.params().size());
    const Py_ssize_t nrequired = required_count(signature.params());
    const char* more_or_less;
    Py_ssize_t expected;
    if (nrequired == nparams) {
        more_or_less = "exactly", expected = nparams;
    } else if (given < nrequired) {
        more_or_less = "at least", expected = nrequired;
    } else {
        more_or_less = "at most", expected = nparams;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 signature.name(), more_or_less, expected, expected == 1 ? "" : "s", given);
    return false;
}

// The value of keyword `name` among the call's keywords: identity first, then string equality.
// nullptr when absent (no error) or on error (error set).
PyObject* keyword_value(PyObject* name, PyObject* kwnames, PyObject* const* kwvalues) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == name) return kwvalues[k];
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && PyUnicode_Compare(name, key) == 0) return kwvalues[k];
    }
    return nullptr;
}

// Assigns the keywords that the first pass did not consume and reports the ones that fit no
// parameter: keywords must be strings, name a parameter, and not repeat a positional one.
bool assign_remaining_keywords(const Signature& signature, PyObject* const* names, Py_ssize_t nargs,
                               PyObject* kwnames, PyObject* const* kwvalues, PyObject** values) {
    const auto nparams = static_cast<Py_ssize_t>(signature.params().size());
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t match = -1;
        for (Py_ssize_t i = nargs; i < nparams && match < 0; ++i) {
            if (names[i] == key) match = i;
        }
        if (match < 0 && !PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.name());
            return false;
        }
        for (Py_ssize_t i = nargs; i < nparams && match < 0; ++i) {
            if (PyUnicode_Compare(names[i], key) == 0) match = i;
        }
        if (match >= 0) {
            values[match] = kwvalues[k];
            continue;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            if (PyUnicode_Compare(names[i], key) == 0) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             signature.name(), key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     signature.name(), key);
        return false;
    }
    return true;
}

bool match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** values) {
    const auto params = signature.params();
    const auto nparams = static_cast<Py_ssize_t>(params.size());
    if (nargs > nparams) return count_error(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        return nargs >= required_count(params) || count_error(signature, nargs);
    }
    PyObject* const* names = signature.names();
    if (names == nullptr) return false;
    // Parameters after the positional ones take their keywords in parameter order; a required
    // one that has none is reported before any keyword is examined for errors.
    Py_ssize_t unconsumed = nkw;
    for (Py_ssize_t i = nargs; i < nparams; ++i) {
        const bool required = !params[static_cast<std::size_t>(i)].arg.optional;
        if (!required && unconsumed == 0) break;
        PyObject* value = keyword_value(names[i], kwnames, args + nargs);
        if (value != nullptr) {
            values[i] = value;
            --unconsumed;
        } else if (PyErr_Occurred()) {
            return false;
        } else if (required) {
            return count_error(signature, i);
        }
    }
    return unconsumed == 0 ||
           assign_remaining_keywords(signature, names, nargs, kwnames, args + nargs, values);
}

bool convert_real(PyObject* object, double& out) {
    out = PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
    return !(out == -1.0 && PyErr_Occurred());
}

bool long_to_int(PyObject* number, int& out) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(number, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %.200s", "int");
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

// An int is range-checked; anything else goes through its type's __int__ (a float truncates).
bool convert_integer(PyObject* object, int& out) {
    if (PyLong_Check(object)) return long_to_int(object, out);
    const PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    PyObject* result = number->nb_int(object);
    if (result == nullptr) return false;
    if (!PyLong_CheckExact(result)) {
        if (!PyLong_Check(result)) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(result)->tp_name);
            Py_DECREF(result);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result)->tp_name) < 0) {
            Py_DECREF(result);
            return false;
        }
    }
    const bool converted = long_to_int(result, out);
    Py_DECREF(result);
    return converted;
}

bool convert_flag(PyObject* object, bool& out) {
    if (object == Py_True || object == Py_False || object == Py_None) {
        out = object == Py_True;
        return true;
    }
    const int truth = PyObject_IsTrue(object);
    out = truth == 1;
    return truth >= 0;
}

}  // namespace

PyObject* const* Signature::names() const {
    for (std::size_t i = 0; i < params_.size(); ++i) {
        if (interned_[i] != nullptr) continue;
        interned_[i] = PyUnicode_InternFromString(params_[i].name);
        if (interned_[i] == nullptr) return nullptr;
    }
    return interned_;
}

bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Bound& bound) {
    const auto params = signature.params();
    if (!match_arguments(signature, args, nargs, kwnames, bound.objects_)) return false;

    for (std::size_t i = 0; i < params.size(); ++i) {
        const Arg& arg = params[i].arg;
        PyObject* object = bound.objects_[i];
        bool converted = true;
        switch (arg.kind) {
            case Kind::kReal:
                if (object == nullptr)
                    bound.reals_[i] = arg.real_default;
                else
                    converted = convert_real(object, bound.reals_[i]);
                break;
            case Kind::kInteger:
                if (object == nullptr)
                    bound.integers_[i] = arg.integer_default;
                else
                    converted = convert_integer(object, bound.integers_[i]);
                break;
            case Kind::kFlag:
                if (object == nullptr)
                    bound.flags_[i] = arg.flag_default;
                else
                    converted = convert_flag(object, bound.flags_[i]);
                break;
            case Kind::kArray:
                if (object == nullptr) bound.objects_[i] = Py_None;  // an absent array is None
                break;
        }
        if (!converted) return false;
    }

    PyTypeObject* ndarray = ndarray_type();
    for (std::size_t i = 0; i < params.size(); ++i) {
        PyObject* object = bound.objects_[i];
        if (params[i].arg.kind != Kind::kArray || object == Py_None) continue;
        if (!PyObject_TypeCheck(object, ndarray)) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         params[i].name, ndarray->tp_name, Py_TYPE(object)->tp_name);
            return false;
        }
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Arg& arg = params[i].arg;
        PyObject* object = bound.objects_[i];
        if (arg.kind != Kind::kArray || object == Py_None) continue;
        if (!bound.buffers_[i].acquire(object, arg.element, arg.ndim)) return false;
    }
    // None passes the type test but is no array to read a shape from.
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Arg& arg = params[i].arg;
        if (arg.kind == Kind::kArray && !arg.optional && bound.objects_[i] == Py_None) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' must not be None", params[i].name);
            return false;
        }
    }
    return true;
}

bool check_memory(const Signature& signature, const Bound& bound) {
    const auto params = signature.params();
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Buffer& buffer = bound.buffers_[i];
        if (params[i].arg.kind != Kind::kArray || !buffer.acquired()) continue;
        // The kernels address elements as typed memory: misaligned data or strides would make
        // that undefined (and vector loads fault).
        const Py_ssize_t alignment = element_alignment(params[i].arg.element);
        bool aligned = reinterpret_cast<std::uintptr_t>(buffer.data()) %
                           static_cast<std::uintptr_t>(alignment) ==
                       0;
        for (int axis = 0; axis < buffer.view().ndim && aligned; ++axis) {
            aligned = buffer.shape(axis) <= 1 || buffer.stride(axis) % alignment == 0;
        }
        if (!aligned) {
            PyErr_Format(PyExc_ValueError, "%s must be aligned", params[i].name);
            return false;
        }
        if (params[i].arg.written && buffer.readonly()) {
            PyErr_Format(PyExc_ValueError, "%s must be writable", params[i].name);
            return false;
        }
    }
    return true;
}

bool require_c_contiguous(const Bound& bound, std::initializer_list<int> indices,
                          const char* message) {
    for (const int i : indices) {
        const int contiguous = is_c_contiguous(bound.object(i));
        if (contiguous < 0) return false;
        if (contiguous == 0) {
            PyErr_SetString(PyExc_ValueError, message);
            return false;
        }
    }
    return true;
}

PyObject* value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

}  // namespace korvel::frame
