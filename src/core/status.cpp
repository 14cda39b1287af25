#include "status.hpp"

namespace algo::status {

void append_success(py::dict& result, const Progress& progress) {
    result["is_error"] = "False";
    result["error_code"] = progress.note;
    result["error_stage"] = kNone;
    result["error_message"] = kNone;
}

void append_failure(py::dict& result, const Progress& progress, const std::string& message) {
    result["is_error"] = "True";
    result["error_code"] = progress.note;
    result["error_stage"] = progress.stage;
    result["error_message"] = message;
}

namespace detail {

std::string exception_text() {
    try {
        throw;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        PyObject* text = PyObject_Str(e.value().ptr());
        if (!text) {
            PyErr_Clear();
            return "<exception str() failed>";
        }
        return py::reinterpret_steal<py::str>(text).cast<std::string>();
    } catch (const py::builtin_exception& e) {
        return e.what();
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace detail
}  // namespace algo::status
