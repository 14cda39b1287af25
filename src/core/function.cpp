#include "function.hpp"

#include <structmember.h>

#include <new>
#include <string>

namespace algo {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* module;       // owner; its dict holds the globals
    PyObject* name;         // str
    PyObject* traceback_name;  // str, "<module>.<name>"
    PyObject* module_name;  // str
    PyObject* doc;          // str or None
    PyObject* params;       // tuple of str
    PyObject* defaults;     // tuple: defaults of the trailing parameters
    PyObject* annotations;  // dict
    const char* source_file;
};

Module::Module(py::handle module) : module_(module), dict_(PyModule_GetDict(module.ptr())) {
    if (!dict_) throw py::error_already_set();
}

py::object Module::global(const char* name) const {
    PyObject* value = PyDict_GetItemString(dict_.ptr(), name);
    if (value == nullptr) {
        raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
    }
    return py::reinterpret_borrow<py::object>(value);
}

namespace {

PyTypeObject* function_type = nullptr;

}  // namespace

bool Module::owns(const char* name) const {
    PyObject* value = PyDict_GetItemString(dict_.ptr(), name);
    if (value == nullptr || function_type == nullptr || Py_TYPE(value) != function_type) return false;
    auto* f = reinterpret_cast<NativeFunction*>(value);
    return f->module == module_.ptr() && PyUnicode_CompareWithASCIIString(f->name, name) == 0;
}

bool Module::binds(const char* name, const char* module, const char* attribute) const {
    PyObject* value = PyDict_GetItemString(dict_.ptr(), name);
    if (value == nullptr) return false;
    py::object library = py::module_::import(module);
    return attribute ? library.attr(attribute).ptr() == value : library.ptr() == value;
}

namespace {

NativeFunction* as_function(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

const char* name_of(PyObject* callable) { return PyUnicode_AsUTF8(as_function(callable)->name); }

// Wrong argument counts use the host's traditional wording, e.g.
// "standardize() takes at most 1 positional argument (2 given)".
void raise_count_error(PyObject* callable, const char* at, Py_ssize_t bound, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name_of(callable), at, bound, bound == 1 ? "" : "s", given);
}

Py_ssize_t find_param(PyObject* params, PyObject* key) {
    Py_ssize_t n = PyTuple_GET_SIZE(params);
    for (Py_ssize_t i = 0; i < n; ++i) {  // identity first: keywords are normally interned
        if (PyTuple_GET_ITEM(params, i) == key) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        int r = PyUnicode_Compare(PyTuple_GET_ITEM(params, i), key);
        if (r == 0) return i;
        if (r == -1 && PyErr_Occurred()) return -2;
    }
    return -1;
}

// --- function object type -------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->doc);
    return 0;
}

int function_clear(PyObject* self) {
    NativeFunction* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->name);
    Py_CLEAR(f->traceback_name);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->params);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->name, self);
}

// Pickled by reference, like any module-level function.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->name); }

// inspect.signature(): every parameter positional-or-keyword, with its default
// and annotation.
PyObject* function_signature(PyObject* self, void*) {
    NativeFunction* f = as_function(self);
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object parameter = inspect.attr("Parameter");
        py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
        py::object empty = parameter.attr("empty");
        py::dict annotations = py::reinterpret_borrow<py::dict>(f->annotations);
        Py_ssize_t n = PyTuple_GET_SIZE(f->params);
        Py_ssize_t first_default = n - PyTuple_GET_SIZE(f->defaults);
        py::list params;
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::handle name = PyTuple_GET_ITEM(f->params, i);
            py::object dflt = i >= first_default
                                  ? py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(f->defaults, i - first_default))
                                  : empty;
            py::object annotation = annotations.contains(name) ? annotations[name] : empty;
            params.append(parameter(name, kind, "default"_a = dflt, "annotation"_a = annotation));
        }
        py::object ret = annotations.contains("return") ? annotations["return"] : empty;
        return inspect.attr("Signature")(params, "return_annotation"_a = ret).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
}

PyObject* function_defaults(PyObject* self, void*) {
    NativeFunction* f = as_function(self);
    if (PyTuple_GET_SIZE(f->defaults) == 0) Py_RETURN_NONE;
    return Py_NewRef(f->defaults);
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(NativeFunction, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(NativeFunction, name), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(NativeFunction, module_name), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(NativeFunction, annotations), READONLY, nullptr},
    {"__self__", T_OBJECT, offsetof(NativeFunction, module), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", function_signature, nullptr, nullptr, nullptr},
    {"__defaults__", function_defaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* get_function_type() {
    if (function_type) return function_type;
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_members, function_members},
        {Py_tp_getset, function_getset},
        {Py_tp_methods, function_methods},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {
        "algo.native_function",
        sizeof(NativeFunction),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (!function_type) throw py::error_already_set();
    return function_type;
}

// Parameter names, defaults and annotations from a signature in Python syntax.
struct ParsedSignature {
    py::tuple params;
    py::tuple defaults;
    py::dict annotations;
};

ParsedSignature parse_signature(const FunctionDef& def) {
    py::module_ ast = py::module_::import("ast");
    py::object tree = ast.attr("parse")(std::string("def f") + def.signature + ": pass");
    py::object args = tree.attr("body")[py::int_(0)].attr("args");
    py::object literal = ast.attr("literal_eval");
    ParsedSignature parsed;
    py::list names;
    for (py::handle arg : args.attr("args")) {
        names.append(arg.attr("arg"));
        if (!arg.attr("annotation").is_none()) {
            parsed.annotations[arg.attr("arg")] = literal(arg.attr("annotation"));
        }
    }
    py::object returns = tree.attr("body")[py::int_(0)].attr("returns");
    if (!returns.is_none()) parsed.annotations["return"] = literal(returns);
    py::list defaults;
    for (py::handle d : args.attr("defaults")) defaults.append(literal(d));
    parsed.params = py::tuple(names);
    parsed.defaults = py::tuple(defaults);
    if (parsed.params.size() != def.arity) {
        raise(PyExc_SystemError, std::string("signature of ") + def.name + " does not match its implementation");
    }
    return parsed;
}

py::object make_function(py::module_ module, const char* source_file, const FunctionDef& def) {
    ParsedSignature sig = parse_signature(def);
    py::object module_name = module.attr("__name__");
    py::str name(def.name);
    py::str traceback_name(module_name.cast<std::string>() + "." + def.name);
    py::object doc = def.doc ? py::object(py::str(def.doc)) : py::object(py::none());
    PyTypeObject* type = get_function_type();

    // Nothing below can fail, so the object never exists half-initialised.
    auto* f = PyObject_GC_New(NativeFunction, type);
    if (!f) throw py::error_already_set();
    f->vectorcall = def.call;
    f->module = Py_NewRef(module.ptr());
    f->module_name = module_name.release().ptr();
    f->name = name.release().ptr();
    f->traceback_name = traceback_name.release().ptr();
    f->doc = doc.release().ptr();
    f->params = sig.params.release().ptr();
    f->defaults = sig.defaults.release().ptr();
    f->annotations = sig.annotations.release().ptr();
    f->source_file = source_file;
    PyObject_GC_Track(f);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

}  // namespace

void add_functions(py::module_ module, const char* source_file, std::span<const FunctionDef> defs) {
    for (const FunctionDef& def : defs) {
        module.attr(def.name) = make_function(module, source_file, def);
    }
}

namespace detail {

PyObject* module_of(PyObject* callable) { return as_function(callable)->module; }

bool bind_arguments(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots, std::size_t nslots) {
    NativeFunction* f = as_function(callable);
    const auto n = static_cast<Py_ssize_t>(nslots);
    const Py_ssize_t required = n - PyTuple_GET_SIZE(f->defaults);
    if (nargs > n) {
        raise_count_error(callable, "at most", n, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = i < nargs ? args[i] : nullptr;

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name_of(callable));
            return false;
        }
        Py_ssize_t i = find_param(f->params, key);
        if (i == -2) return false;
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", name_of(callable), key);
            return false;
        }
        if (slots[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for keyword argument '%U'", name_of(callable),
                         key);
            return false;
        }
        slots[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (slots[i] != nullptr) continue;
        if (i < required) {
            raise_count_error(callable, "at least", required, i);
            return false;
        }
        slots[i] = PyTuple_GET_ITEM(f->defaults, i - required);
    }
    return true;
}

void report_current_exception(PyObject* callable) {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in native code");
    }
    NativeFunction* f = as_function(callable);
    _PyTraceback_Add(PyUnicode_AsUTF8(f->traceback_name), f->source_file, 0);
}

}  // namespace detail
}  // namespace algo
