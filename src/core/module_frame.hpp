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
    // Binds the module's globals, `__all__` and functions, in order.
    void (*populate)(py::module_ module);

    std::int64_t interpreter = -1;
    PyObject* executed = nullptr;
};

// Py_mod_create and Py_mod_exec slot bodies.
PyObject* create_module(ModuleFrame& frame, PyObject* spec);
int exec_module(ModuleFrame& frame, PyObject* module);

// `import <module>` / `from <module> import <name>` for the globals table.
py::object import_module(const char* module);
py::object import_from(const char* module, const char* name);

}  // namespace algo
