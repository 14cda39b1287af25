// Multi-phase initialisation shared by the extension modules.
//
// Each module is loaded into one interpreter per process and executed once:
// creating it in a second interpreter fails with ImportError, executing the
// already executed module object again is a no-op, and executing any other
// module object of the same extension fails with RuntimeError.
#pragma once

#include "python.hpp"

#include <cstdint>

namespace algo {

struct ModuleFrame {
    const char* name;       // "HI"
    const char* qualified;  // "algo.HI.HI"
    const char* doc;
    // Binds the module's globals, `__all__` and functions, in order.
    void (*populate)(py::module_ module);

    std::int64_t interpreter = -1;
    PyObject* executed = nullptr;
};

// Py_mod_create and Py_mod_exec slot bodies.
PyObject* create_module(ModuleFrame& frame, PyObject* module_spec);
int exec_module(ModuleFrame& frame, PyObject* module);

// The module definition of a frame, for its PyInit function:
//     PyMODINIT_FUNC PyInit_HI() { return PyModuleDef_Init(&ModuleDefinition<frame>::definition); }
template <ModuleFrame& Frame>
struct ModuleDefinition {
    static PyObject* create(PyObject* module_spec, PyModuleDef*) { return create_module(Frame, module_spec); }
    static int exec(PyObject* module) { return exec_module(Frame, module); }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(&create)},
        {Py_mod_exec, reinterpret_cast<void*>(&exec)},
        {0, nullptr},
    };
    static inline PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, Frame.name, Frame.doc, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };
};

// `import <module>` / `from <module> import <name>` for the globals table.
py::object import_module(const char* module);
py::object import_from(const char* module, const char* name);

}  // namespace algo
