// Element types and buffer acquisition: the accepted formats, and the messages for every way a
// buffer can fail to match its declared element type and number of dimensions.
#include "frame/array_contract.hpp"

namespace korvel::frame {
namespace {

// How a format character is classed: signed integer, unsigned integer, real, complex, or one of
// the kinds no numeric element type accepts.
enum class Group : char {
    kSigned = 'I',
    kUnsigned = 'U',
    kReal = 'R',
    kComplex = 'C',
    kChar = 'H',
    kObject = 'O',
    kPointer = 'P',
    kStruct = 'S',
};

struct Contract {
    const char* name;
    Group group;
    Py_ssize_t size;
};

constexpr Contract contract_of(Element element) noexcept {
    switch (element) {
        case Element::kFloat64: return {"DTYPE_t", Group::kReal, 8};
        case Element::kComplex128: return {"double complex", Group::kComplex, 16};
        case Element::kInt64: return {"int64_t", Group::kSigned, 8};
        case Element::kInt32: return {"int32_t", Group::kSigned, 4};
        case Element::kInt8: return {"int8_t", Group::kSigned, 1};
        case Element::kBool: return {"BOOL_t", Group::kUnsigned, 1};
    }
    return {"", Group::kObject, 0};
}

// The received type as the dtype-mismatch message names it.
const char* describe(char type, bool complex) noexcept {
    switch (type) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return complex ? "'complex float'" : "'float'";
        case 'd': return complex ? "'complex double'" : "'double'";
        case 'g': return complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's':
        case 'p': return "a string";
        default: return "unparsable format string";
    }
}

// Group and size of a format character under native ('@', '^') or standard ('=', '<') sizes;
// false for a character that no format of ours can contain.
bool classify(char type, bool complex, bool standard, Group& group, Py_ssize_t& size) noexcept {
    switch (type) {
        case 'c': group = Group::kChar, size = 1; break;
        case 'b':
        case 's':
        case 'p': group = Group::kSigned, size = 1; break;
        case '?':
        case 'B': group = Group::kUnsigned, size = 1; break;
        case 'h': group = Group::kSigned, size = 2; break;
        case 'H': group = Group::kUnsigned, size = 2; break;
        case 'i': group = Group::kSigned, size = 4; break;
        case 'I': group = Group::kUnsigned, size = 4; break;
        case 'l': group = Group::kSigned, size = standard ? 4 : 8; break;
        case 'L': group = Group::kUnsigned, size = standard ? 4 : 8; break;
        case 'q': group = Group::kSigned, size = 8; break;
        case 'Q': group = Group::kUnsigned, size = 8; break;
        case 'f': group = Group::kReal, size = 4; break;
        case 'd': group = Group::kReal, size = 8; break;
        case 'g':
            if (standard) return false;
            group = Group::kReal, size = 16;
            break;
        case 'O': group = Group::kObject, size = 8; break;
        case 'P': group = Group::kPointer, size = 8; break;
        case 'T': group = Group::kStruct, size = 0; break;
        default: return false;
    }
    if (complex && group == Group::kReal) group = Group::kComplex, size *= 2;
    return true;
}

// Checks the buffer's format against the declared element type; false with ValueError set.
bool check_format(const char* format, const Contract& expected) {
    const char* cursor = format != nullptr ? format : "B";
    bool standard = false;
    for (;; ++cursor) {
        const char order = *cursor;
        if (order == '@' || order == '^') {
            standard = false;
        } else if (order == '=' || order == '<') {
            standard = true;
        } else if (order == '>' || order == '!') {
            PyErr_SetString(PyExc_ValueError,
                            "Big-endian buffer not supported on little-endian compiler");
            return false;
        } else {
            break;
        }
    }
    while (*cursor >= '0' && *cursor <= '9') ++cursor;  // a repeat count names the same type
    const bool complex = *cursor == 'Z';
    if (complex) ++cursor;
    const char type = *cursor;
    Group group;
    Py_ssize_t size;
    if (!classify(type, complex, standard, group, size)) {
        if (type == '\0' || type == '(' || type == '{') {
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got %s",
                         expected.name, "unparsable format string");
        } else {
            PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", type);
        }
        return false;
    }
    if (group != expected.group || size != expected.size) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got %s",
                     expected.name, describe(type, complex));
        return false;
    }
    return true;
}

}  // namespace

const char* element_name(Element element) noexcept { return contract_of(element).name; }

Py_ssize_t element_alignment(Element element) noexcept {
    const Py_ssize_t size = contract_of(element).size;
    return size > 8 ? 8 : size;
}

bool Buffer::acquire(PyObject* object, Element element, int ndim) {
    release();
    if (PyObject_GetBuffer(object, &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) return false;
    acquired_ = true;
    if (view_.ndim != ndim) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     view_.ndim);
        release();
        return false;
    }
    const Contract expected = contract_of(element);
    if (!check_format(view_.format, expected)) {
        release();
        return false;
    }
    if (view_.itemsize != expected.size) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     view_.itemsize, view_.itemsize == 1 ? "" : "s", expected.name, expected.size,
                     expected.size == 1 ? "" : "s");
        release();
        return false;
    }
    return true;
}

void Buffer::release() noexcept {
    if (acquired_) PyBuffer_Release(&view_);
    acquired_ = false;
}

int is_c_contiguous(PyObject* array) {
    PyObject* flags = PyObject_GetAttrString(array, "flags");
    if (flags == nullptr) return -1;
    PyObject* contiguous = PyObject_GetAttrString(flags, "c_contiguous");
    Py_DECREF(flags);
    if (contiguous == nullptr) return -1;
    const int truth = PyObject_IsTrue(contiguous);
    Py_DECREF(contiguous);
    return truth;
}

}  // namespace korvel::frame
