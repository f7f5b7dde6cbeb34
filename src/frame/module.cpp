// Module initialisation (a create and an exec step) and the table of exported functions. The
// module object is one per process: created once, in one interpreter, and never re-initialised.
#include <Python.h>

#include <cstdint>
#include <cstdio>

#include "frame/exports.hpp"
#include "frame/module_state.hpp"
#include "frame/numpy_api.hpp"
#include "frame/parallel.hpp"

namespace korvel::frame {
namespace {

constexpr char kModuleName[] = "korvel.pelorine";

constexpr char kModuleDoc[] =
    "Strict floating-point primitives for the dynamic two-pool pilot kernel.\n"
    "\n"
    "The state-independent longitudinal and RF coefficients are computed by NumPy\n"
    "in a sibling module of the host package. This module only applies those\n"
    "already-rounded values in the same operation order as the optimized Python\n"
    "implementation. Complex free evolution stays in NumPy; the RF block reads and\n"
    "writes its complex Mx/My storage as two unchanged doubles.";

template <auto function>
constexpr PyCFunction fastcall() noexcept {
    // METH_FASTCALL | METH_KEYWORDS functions are stored as PyCFunction; the cast goes through
    // void (*)() as CPython's own tables do.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

#define KORVEL_ENTRY(space, name) \
    { #name, fastcall < &space::name>(), METH_FASTCALL | METH_KEYWORDS, space::name##_doc }

PyMethodDef kMethods[] = {
    KORVEL_ENTRY(coefficients, prepare_spatial_rf_rotation_coefficients),
    KORVEL_ENTRY(coefficients, prepare_transverse_factors_coefficients),
    KORVEL_ENTRY(plan, run_dynamic_plan_block_no_inflow),
    KORVEL_ENTRY(plan, run_dynamic_plan_block_multi_pool),
    KORVEL_ENTRY(rf, apply_rf_rotation_transverse_block),
    KORVEL_ENTRY(rf, apply_spatial_rf_rotation_transverse_block),
    KORVEL_ENTRY(longitudinal, apply_longitudinal_step_no_inflow),
    KORVEL_ENTRY(longitudinal, apply_longitudinal_step_with_concentration_inflow),
    KORVEL_ENTRY(plan, apply_dynamic_rf_block_with_concentration_inflow),
    KORVEL_ENTRY(longitudinal, apply_longitudinal_block_no_inflow),
    {nullptr, nullptr, 0, nullptr},
};
#undef KORVEL_ENTRY

// The process-wide state: the first interpreter, the module object, numpy.ndarray.
std::int64_t main_interpreter = -1;
PyObject* the_module = nullptr;
PyTypeObject* ndarray = nullptr;

bool single_interpreter() {
    const std::int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (main_interpreter == -1) {
        main_interpreter = current;
        return current != -1;
    }
    if (main_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

// Copies module_spec.<from> into the module's namespace as <to>; a missing attribute is skipped.
bool copy_import_attribute(PyObject* module_spec, PyObject* namespace_, const char* from,
                           const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(module_spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    int result = 0;
    if (allow_none || value != Py_None) result = PyDict_SetItemString(namespace_, to, value);
    Py_DECREF(value);
    return result == 0;
}

PyObject* create(PyObject* module_spec, PyModuleDef*) {
    if (!single_interpreter()) return nullptr;
    if (the_module != nullptr) return Py_NewRef(the_module);
    PyObject* name = PyObject_GetAttrString(module_spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    PyObject* namespace_ = PyModule_GetDict(module);
    if (!copy_import_attribute(module_spec, namespace_, "loader", "__loader__", true) ||
        !copy_import_attribute(module_spec, namespace_, "origin", "__file__", true) ||
        !copy_import_attribute(module_spec, namespace_, "parent", "__package__", true) ||
        !copy_import_attribute(module_spec, namespace_, "submodule_search_locations", "__path__",
                               false)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

bool warn_on_version_mismatch() {
    const char* runtime = Py_GetVersion();
    int major = 0, minor = 0;
    if (std::sscanf(runtime, "%d.%d", &major, &minor) != 2 ||
        (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION)) {
        return true;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

// numpy.ndarray, kept for the argument type test.
bool look_up_ndarray() {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) return false;
    PyObject* type = PyObject_GetAttrString(numpy, "ndarray");
    Py_DECREF(numpy);
    if (type == nullptr) return false;
    if (!PyType_Check(type)) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", "numpy", "ndarray");
        Py_DECREF(type);
        return false;
    }
    if (ndarray == nullptr) {
        ndarray = reinterpret_cast<PyTypeObject*>(type);
    } else {
        Py_DECREF(type);  // kept from an earlier, failed initialisation
    }
    return true;
}

bool populate(PyObject* module) {
    if (!warn_on_version_mismatch()) return false;
    if (!import_numpy_api()) return false;
    if (!look_up_ndarray()) return false;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = PyDict_GetItemString(modules, kModuleName);
    if (registered == nullptr && PyDict_SetItemString(modules, kModuleName, module) < 0)
        return false;
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) return false;
    const int bound_np = PyModule_AddObjectRef(module, "np", numpy);
    Py_DECREF(numpy);
    if (bound_np < 0) return false;
    if (PyModule_AddFunctions(module, kMethods) < 0) return false;
    PyObject* test = PyDict_New();
    if (test == nullptr) return false;
    const int bound_test = PyModule_AddObjectRef(module, "__test__", test);
    Py_DECREF(test);
    if (bound_test < 0) return false;
    watch_forks();
    return true;
}

int exec(PyObject* module) {
    if (the_module != nullptr) {
        if (the_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'pelorine' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    the_module = Py_NewRef(module);
    if (populate(module)) return 0;
    // A failed initialisation leaves no module behind.
    Py_CLEAR(the_module);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init korvel.pelorine");
    return -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "pelorine", kModuleDoc, 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* module_global(const char* name) {
    PyObject* value =
        the_module != nullptr ? PyDict_GetItemString(PyModule_GetDict(the_module), name) : nullptr;
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return nullptr;
    }
    return Py_NewRef(value);
}

PyTypeObject* ndarray_type() noexcept { return ndarray; }

}  // namespace korvel::frame

PyMODINIT_FUNC PyInit_pelorine() { return PyModuleDef_Init(&korvel::frame::kModule); }
