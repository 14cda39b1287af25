#include "module_frame.hpp"

#include <cstdio>
#include <string>

namespace algo {

namespace {

// The extension is compiled for one minor version of the host; a mismatch is
// reported as a warning and loading continues unless the host makes it an error.
bool warn_on_version_mismatch(const char* qualified) {
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return true;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, qualified, "does not match", major, minor) == 0;
}

}  // namespace

PyObject* create_module(ModuleFrame& frame, PyObject* module_spec) {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (frame.interpreter == -1) {
        frame.interpreter = current;
    } else if (frame.interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    PyObject* name = PyObject_GetAttrString(module_spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    return module;
}

int exec_module(ModuleFrame& frame, PyObject* module) {
    if (frame.executed) {
        if (frame.executed == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", frame.name);
        return -1;
    }
    if (!warn_on_version_mismatch(frame.qualified)) return -1;
    try {
        frame.populate(py::reinterpret_borrow<py::module_>(module));
    } catch (py::error_already_set& e) {
        e.restore();
        return -1;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return -1;
    }
    frame.executed = Py_NewRef(module);
    return 0;
}

py::object import_module(const char* module) { return py::module_::import(module); }

// Through `__import__` with a from-list, so that `name` may also be a
// submodule that nothing has imported yet (`from algo.HI import HI`).
py::object import_from(const char* module, const char* name) {
    py::object import = py::module_::import("builtins").attr("__import__");
    return import(module, "fromlist"_a = py::make_tuple(name)).attr(name);
}

}  // namespace algo
