// What the module keeps for the life of the process: the module object itself (for the globals
// that functions look up at call time) and NumPy's ndarray type (for the argument type test).
#pragma once

#include <Python.h>

namespace korvel::frame {

// The module global `name` (for example "np") as a new reference, or nullptr with NameError set.
PyObject* module_global(const char* name);

// numpy.ndarray, looked up when the module was initialised.
PyTypeObject* ndarray_type() noexcept;

}  // namespace korvel::frame
