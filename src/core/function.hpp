// Exported functions: the function object type, the argument binder and the
// trampoline that turns a C++ implementation into a host callable.
//
// An implementation is a plain C++ function
//     py::object impl(const Module& m, py::object a, py::object b, ...);
// registered with `def<&impl>(name, signature, doc)`, where `signature` is
// written in Python syntax ("(df, alpha=0.05)") and gives the parameter names,
// their defaults and optional string annotations. Every parameter is
// positional-or-keyword. `m` gives the module's globals at call time, so a host
// that rebinds a module attribute changes what the implementation calls.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

namespace algo {

// The module an exported function belongs to, seen through its globals.
class Module {
public:
    explicit Module(py::handle module);

    // The module global `name`, looked up now; NameError when it is absent.
    py::object global(const char* name) const;

    // Calls the module global `name` (normally another exported function).
    template <class... Args>
    py::object call(const char* name, Args&&... args) const {
        return global(name)(std::forward<Args>(args)...);
    }

    // Whether the global `name` is still the module's own exported function
    // of that name, not a replacement the host bound in its place. A native
    // shortcut past a collaborator is taken only then.
    bool owns(const char* name) const;

    // Whether the global `name` is still `attribute` of the library `module`
    // (the whole module when `attribute` is null), as bound at initialisation.
    bool binds(const char* name, const char* module, const char* attribute = nullptr) const;

private:
    py::handle module_;
    py::handle dict_;
};

// The layout of an exported function object; created by `add_functions`.
struct NativeFunction;

struct FunctionDef {
    const char* name;
    const char* signature;
    const char* doc;  // nullptr: no docstring
    std::size_t arity;
    vectorcallfunc call;
};

// Creates the function objects of `defs` as attributes of `module`, in order.
// `source_file` names the file shown in traceback entries of these functions.
void add_functions(py::module_ module, const char* source_file, std::span<const FunctionDef> defs);

namespace detail {

// Binds positional and keyword arguments to the parameter slots (borrowed
// references). Returns false with a TypeError set when they do not fit.
bool bind_arguments(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots, std::size_t nslots);

PyObject* module_of(PyObject* callable);

// Sets the Python error for the C++ exception being handled and adds the
// function's traceback entry. Call only from a catch block.
void report_current_exception(PyObject* callable);

template <class F>
struct Arity;
template <class R, class... A>
struct Arity<R (*)(const Module&, A...)> {
    static constexpr std::size_t value = sizeof...(A);
};

template <auto Impl, std::size_t... I>
PyObject* invoke(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                 std::index_sequence<I...>) {
    constexpr std::size_t n = sizeof...(I);
    PyObject* slots[n > 0 ? n : 1];
    if (!bind_arguments(callable, args, PyVectorcall_NARGS(nargsf), kwnames, slots, n)) {
        return nullptr;
    }
    try {
        Module module(module_of(callable));
        py::object result = Impl(module, py::reinterpret_borrow<py::object>(slots[I])...);
        return result.release().ptr();
    } catch (...) {
        report_current_exception(callable);
        return nullptr;
    }
}

template <auto Impl>
PyObject* trampoline(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    constexpr std::size_t n = Arity<decltype(Impl)>::value;
    return invoke<Impl>(callable, args, nargsf, kwnames, std::make_index_sequence<n>{});
}

}  // namespace detail

template <auto Impl>
constexpr FunctionDef def(const char* name, const char* signature, const char* doc) {
    return {name, signature, doc, detail::Arity<decltype(Impl)>::value, &detail::trampoline<Impl>};
}

}  // namespace algo
