// Shared helpers for code that works on host objects through pybind11.
//
// Everything numeric in the modules is done by calling the host's packages
// (numpy, pandas, scikit-learn, ...) through the interpreter; these helpers keep
// those calls short and make Python's own semantics (rich comparison, truth
// tests, unbound locals) explicit where the C++ operators would differ.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>

namespace algo {

namespace py = pybind11;
using namespace pybind11::literals;

// Raise a Python exception of the given type from C++.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// Element-wise rich comparison, as Python's operators do it: for pandas and
// numpy operands the result is a boolean Series or array, not a bool.
inline py::object compare(py::handle a, py::handle b, int op) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}
inline py::object gt(py::handle a, py::handle b) { return compare(a, b, Py_GT); }
inline py::object ge(py::handle a, py::handle b) { return compare(a, b, Py_GE); }
inline py::object lt(py::handle a, py::handle b) { return compare(a, b, Py_LT); }
inline py::object le(py::handle a, py::handle b) { return compare(a, b, Py_LE); }
inline py::object eq(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }
inline py::object ne(py::handle a, py::handle b) { return compare(a, b, Py_NE); }

// `base ** exponent`, element-wise for numpy and pandas operands.
inline py::object power(py::handle base, py::handle exponent) {
    PyObject* r = PyNumber_Power(base.ptr(), exponent.ptr(), Py_None);
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// Python's truth test (`if x:`), which raises for ambiguous pandas objects.
inline bool truthy(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// float(value) as the host computes it (numbers, objects with __float__,
// numeric text); a value it rejects fails with the host's TypeError or
// ValueError, where a binding cast would throw a C++ exception.
inline double float_of(py::handle value) {
    PyObject* converted = PyNumber_Float(value.ptr());
    if (converted == nullptr) throw py::error_already_set();
    const double result = PyFloat_AS_DOUBLE(converted);
    Py_DECREF(converted);
    return result;
}

// `str(value)` as a C++ string.
inline std::string text(py::handle value) { return py::str(value).cast<std::string>(); }

// `a == "literal"` for a host object that is normally a str (configuration
// fields, option names); anything that is not equal compares false.
inline bool is_text(py::handle value, const char* literal) {
    return truthy(eq(value, py::str(literal)));
}

// A builtin of the host (`max`, `round`, `range`, ...), for the places where
// its exact semantics (argument types, NaN handling, result type) matter.
inline py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

// One line on the host's standard output, through its `print`, so that
// redirections and captures of `sys.stdout` see it.
inline void print_line(const std::string& line) { builtin("print")(line); }

// `frame[key] = value` as Python code performs it. pandas 2 tells a chained
// assignment (`df["a"][rows] = v`) from a plain one by counting the references
// to the frame, and a plain item assignment from native code holds one fewer
// than the same statement in Python, so it would be warned about as chained.
// The bound method holds that reference.
inline void set_column(py::handle frame, py::handle key, py::handle value) {
    frame.attr("__setitem__")(key, value);
}

// `seq[i]` through the host's item protocol.
inline py::object item(py::handle seq, Py_ssize_t i) { return seq[py::int_(i)]; }

// `item in container`, with the host's fallback to iteration for containers
// without `__contains__`.
inline bool contains(py::handle container, py::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// `a, b, ... = value`: the N items of an iterable that must hold exactly N,
// failing with the host's unpacking messages otherwise.
template <std::size_t N>
std::array<py::object, N> unpack(py::handle value) {
    PyObject* raw = PyObject_GetIter(value.ptr());
    if (raw == nullptr) {
        PyTypeObject* type = Py_TYPE(value.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && type->tp_iter == nullptr && !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            raise(PyExc_TypeError, std::string("cannot unpack non-iterable ") + type->tp_name + " object");
        }
        throw py::error_already_set();
    }
    py::object iterator = py::reinterpret_steal<py::object>(raw);
    auto next = [&]() -> py::object {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (item == nullptr && PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(item);
    };
    std::array<py::object, N> values;
    for (std::size_t i = 0; i < N; ++i) {
        values[i] = next();
        if (!values[i]) {
            raise(PyExc_ValueError, "not enough values to unpack (expected " + std::to_string(N) + ", got " +
                                        std::to_string(i) + ")");
        }
    }
    if (next()) raise(PyExc_ValueError, "too many values to unpack (expected " + std::to_string(N) + ")");
    return values;
}

// The host's error for reading a local variable that was never assigned.
[[noreturn]] inline void raise_unbound(const char* name) {
    raise(PyExc_UnboundLocalError,
          std::string("cannot access local variable '") + name + "' where it is not associated with a value");
}

// The value of an optional local, or the unbound-local error naming it.
template <class T>
const T& bound(const std::optional<T>& value, const char* name) {
    if (!value) raise_unbound(name);
    return *value;
}

// A local that a pipeline may leave unassigned (a configuration field with an
// unknown value); reading it then fails the way the host reports an unbound
// local variable.
class Local {
public:
    explicit Local(const char* name) : name_(name) {}
    Local(const char* name, py::object value) : name_(name), value_(std::move(value)) {}
    Local& operator=(py::object value) {
        value_ = std::move(value);
        return *this;
    }
    const py::object& get() const { return algo::bound(value_, name_); }
    operator const py::object&() const { return get(); }

private:
    const char* name_;
    std::optional<py::object> value_;
};

}  // namespace algo
