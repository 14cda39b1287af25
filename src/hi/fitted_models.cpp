#include "fitted_models.hpp"

#include "core/arrays.hpp"
#include "core/kernels/projections.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <optional>

namespace algo::hi::fitted {

namespace {

namespace kn = kernels;

// Whether `estimator` is exactly the scikit-learn class `name` of `module`
// (a subclass may change what its methods do).
bool is_exactly(py::handle estimator, const char* module, const char* name) {
    return reinterpret_cast<PyObject*>(Py_TYPE(estimator.ptr())) == py::module_::import(module).attr(name).ptr();
}

// scikit-learn returns plain arrays: neither the global configuration nor
// the estimator asks for other containers.
bool default_output(py::handle estimator) {
    py::object config = py::module_::import("sklearn").attr("get_config")();
    if (!is_text(config["transform_output"], "default")) return false;
    py::object own = py::getattr(estimator, "__dict__", py::none());
    return own.is_none() || !contains(own, py::str("_sklearn_output_config"));
}

// A fitted float64 vector attribute of `length` values.
std::optional<DoubleArray> fitted_vector(py::handle estimator, const char* name, std::size_t length) {
    py::object value = py::getattr(estimator, name, py::none());
    if (!py::isinstance<py::array>(value)) return std::nullopt;
    auto array = py::reinterpret_borrow<py::array>(value);
    if (array.ndim() != 1 || static_cast<std::size_t>(array.shape(0)) != length ||
        !array.dtype().is(py::dtype::of<double>())) {
        return std::nullopt;
    }
    return as_doubles(array);
}

std::optional<std::size_t> fitted_features(py::handle estimator) {
    py::object count = py::getattr(estimator, "n_features_in_", py::none());
    if (!PyLong_Check(count.ptr())) return std::nullopt;
    return count.cast<std::size_t>();
}

struct Input {
    py::array values;
    kn::Matrix matrix;
};

kn::Matrix matrix_of(const py::array& values) {
    const auto item = static_cast<std::ptrdiff_t>(sizeof(double));
    return {static_cast<const double*>(values.data()), static_cast<std::size_t>(values.shape(0)),
            static_cast<std::size_t>(values.shape(1)), values.strides(0) / item, values.strides(1) / item};
}

bool all_float64(const py::array& values) {
    return values.ndim() == 2 && values.dtype().is(py::dtype::of<double>()) && values.strides(0) % 8 == 0 &&
           values.strides(1) % 8 == 0;
}

// Whether every column of a frame holds numpy floats and its labels are the
// names the estimator was fitted with, in order: then the estimator reads
// the frame's values as they are, without a warning.
bool named_as_fitted(py::handle estimator, py::handle frame) {
    py::object names = py::getattr(estimator, "feature_names_in_", py::none());
    if (names.is_none()) return false;
    py::list labels = frame.attr("columns").attr("tolist")();
    py::list fitted = names.attr("tolist")();
    if (labels.size() != fitted.size()) return false;
    for (std::size_t j = 0; j < labels.size(); ++j) {
        if (!PyUnicode_Check(labels[j].ptr()) || !labels[j].equal(fitted[j])) return false;
    }
    for (py::handle dtype : py::list(frame.attr("dtypes").attr("tolist")())) {
        if (!py::isinstance<py::dtype>(dtype) || py::reinterpret_borrow<py::dtype>(dtype).kind() != 'f') return false;
    }
    return true;
}

// X as the estimator's transform reads it, when it takes it without converting,
// warning or failing: a frame named as fitted or, for an estimator fitted
// without names, a plain array; float64, one row at least, the fitted width,
// and finite (missing values too when `nan_allowed`).
std::optional<Input> native_input(py::handle estimator, py::handle X, bool nan_allowed) {
    const auto width = fitted_features(estimator);
    if (!width || !default_output(estimator)) return std::nullopt;
    py::object values;
    if (py::isinstance(X, py::module_::import("pandas").attr("DataFrame"))) {
        if (!named_as_fitted(estimator, X)) return std::nullopt;
        values = X.attr("to_numpy")();
    } else if (py::isinstance<py::array>(X) && !py::hasattr(estimator, "feature_names_in_")) {
        values = py::reinterpret_borrow<py::object>(X);
    } else {
        return std::nullopt;
    }
    auto array = py::reinterpret_borrow<py::array>(values);
    if (!all_float64(array) || array.shape(0) < 1 || static_cast<std::size_t>(array.shape(1)) != *width) {
        return std::nullopt;
    }
    const kn::Matrix matrix = matrix_of(array);
    for (std::size_t i = 0; i < matrix.rows; ++i) {
        for (std::size_t j = 0; j < matrix.columns; ++j) {
            const double v = matrix.at(i, j);
            if (std::isinf(v) || (!nan_allowed && std::isnan(v))) return std::nullopt;
        }
    }
    return Input{array, matrix};
}

DoubleArray output(std::size_t rows, std::size_t columns) {
    return DoubleArray({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(columns)});
}

std::optional<py::object> standardized(py::handle scaler, py::handle X) {
    if (!is_exactly(scaler, "sklearn.preprocessing", "StandardScaler") || !truthy(scaler.attr("copy"))) {
        return std::nullopt;
    }
    auto input = native_input(scaler, X, /*nan_allowed=*/true);
    if (!input) return std::nullopt;
    const std::size_t p = input->matrix.columns;
    std::optional<DoubleArray> center, scale;
    if (truthy(scaler.attr("with_mean")) && !(center = fitted_vector(scaler, "mean_", p))) return std::nullopt;
    if (truthy(scaler.attr("with_std")) && !(scale = fitted_vector(scaler, "scale_", p))) return std::nullopt;
    DoubleArray out = output(input->matrix.rows, p);
    {
        py::gil_scoped_release nogil;
        kn::standardized(input->matrix, center ? span_of(*center) : std::span<const double>(),
                         scale ? span_of(*scale) : std::span<const double>(), mutable_span_of(out));
    }
    return out;
}

std::optional<py::object> min_max_scaled(py::handle scaler, py::handle X) {
    if (!is_exactly(scaler, "sklearn.preprocessing", "MinMaxScaler") || !truthy(scaler.attr("copy")) ||
        truthy(scaler.attr("clip"))) {
        return std::nullopt;
    }
    auto input = native_input(scaler, X, /*nan_allowed=*/true);
    if (!input) return std::nullopt;
    const std::size_t p = input->matrix.columns;
    const auto scale = fitted_vector(scaler, "scale_", p), offset = fitted_vector(scaler, "min_", p);
    if (!scale || !offset) return std::nullopt;
    DoubleArray out = output(input->matrix.rows, p);
    {
        py::gil_scoped_release nogil;
        kn::rescaled(input->matrix, span_of(*scale), span_of(*offset), mutable_span_of(out));
    }
    return out;
}

// The fitted components of a PCA without whitening, k-by-p row-major.
std::optional<DoubleArray> components_of(py::handle pca, std::size_t p) {
    if (!is_exactly(pca, "sklearn.decomposition", "PCA") || truthy(pca.attr("whiten"))) return std::nullopt;
    py::object value = py::getattr(pca, "components_", py::none());
    if (!py::isinstance<py::array>(value)) return std::nullopt;
    auto components = py::reinterpret_borrow<py::array>(value);
    if (components.ndim() != 2 || static_cast<std::size_t>(components.shape(1)) != p ||
        !components.dtype().is(py::dtype::of<double>())) {
        return std::nullopt;
    }
    return as_doubles(components);
}

}  // namespace

py::object transformed(py::handle scaler, py::handle X) {
    if (auto values = standardized(scaler, X)) return *values;
    if (auto values = min_max_scaled(scaler, X)) return *values;
    return scaler.attr("transform")(X);
}

py::object pca_scores(py::handle pca, py::handle X) {
    const auto width = fitted_features(pca);
    const auto components = width ? components_of(pca, *width) : std::nullopt;
    const auto mean = components ? fitted_vector(pca, "mean_", *width) : std::nullopt;
    auto input = mean ? native_input(pca, X, /*nan_allowed=*/false) : std::nullopt;
    if (!input) return pca.attr("transform")(X);
    const auto k = static_cast<std::size_t>(components->shape(0));
    DoubleArray out = output(input->matrix.rows, k);
    {
        py::gil_scoped_release nogil;
        kn::project(input->matrix, span_of(*mean), span_of(*components), k, mutable_span_of(out));
    }
    return out;
}

py::object pca_reconstruction(py::handle pca, py::handle scores) {
    const auto width = fitted_features(pca);
    const auto components = width ? components_of(pca, *width) : std::nullopt;
    const auto mean = components ? fitted_vector(pca, "mean_", *width) : std::nullopt;
    const bool plain = mean && py::isinstance<py::array>(scores) &&
                       all_float64(py::reinterpret_borrow<py::array>(scores)) &&
                       py::reinterpret_borrow<py::array>(scores).shape(1) == components->shape(0) &&
                       py::reinterpret_borrow<py::array>(scores).shape(0) >= 1;
    if (!plain) return pca.attr("inverse_transform")(scores);
    const kn::Matrix matrix = matrix_of(py::reinterpret_borrow<py::array>(scores));
    for (std::size_t i = 0; i < matrix.rows; ++i) {
        for (std::size_t c = 0; c < matrix.columns; ++c) {
            if (!std::isfinite(matrix.at(i, c))) return pca.attr("inverse_transform")(scores);
        }
    }
    DoubleArray out = output(matrix.rows, *width);
    {
        py::gil_scoped_release nogil;
        kn::reconstruct(matrix, span_of(*mean), span_of(*components), mutable_span_of(out));
    }
    return out;
}

}  // namespace algo::hi::fitted
