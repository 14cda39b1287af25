#include "health_model.hpp"

#include "core/arrays.hpp"
#include "core/kernels/quadratic_form.hpp"
#include "fitted_models.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace algo::hi {

namespace {

// pd.DataFrame(scaler.transform(df), index=df.index, columns=df.columns): the
// scaler runs before the labels are read, so a frame without them fails only
// after fitting or applying the scaler.
py::object transformed_frame(const Module& m, py::handle scaler, py::handle df) {
    py::object values = fitted::transformed(scaler, df);
    py::object index = df.attr("index");
    py::object columns = df.attr("columns");
    return m.global("pd").attr("DataFrame")(values, "index"_a = index, "columns"_a = columns);
}

py::object fit_transformed(const Module& m, py::object scaler, py::handle df) {
    scaler.attr("fit")(df);
    py::object frame = transformed_frame(m, scaler, df);
    return py::make_tuple(frame, scaler);
}

// A PCA model with its training scores, their mean vector and covariance.
struct ScoreModel {
    py::object pca, scores, mu, cov;
};

ScoreModel fit_score_model(const Module& m, py::object n_components, py::handle df_scaled) {
    ScoreModel model;
    model.pca = m.global("PCA")("n_components"_a = n_components);
    model.pca.attr("fit")(df_scaled);
    model.scores = fitted::pca_scores(model.pca, df_scaled);
    model.mu = model.scores.attr("mean")("axis"_a = 0);
    model.cov = m.global("np").attr("cov")(model.scores.attr("T"));
    return model;
}

// A frame of one column, as `frame = DataFrame(index=index); frame[label] =
// values` builds it: values aligned on the index (a Series) or taken in order
// (an array of the index's length); anything else goes through that very
// assignment, which reports a length that does not fit in its own words.
py::object single_column_frame(const Module& m, const char* label, py::handle values, py::handle index) {
    py::object pd = m.global("pd");
    const bool fits = py::isinstance(values, pd.attr("Series"))
                          ? truthy(values.attr("index").attr("equals")(index))
                          : py::isinstance<py::array>(values) && py::reinterpret_borrow<py::array>(values).ndim() == 1 &&
                                py::len(values) == py::len(index);
    if (fits) {
        py::dict data;
        data[py::str(label)] = values;
        return pd.attr("DataFrame")(data, "index"_a = index);
    }
    py::object frame = pd.attr("DataFrame")("index"_a = index);
    set_column(frame, py::str(label), values);
    return frame;
}

// A Python or numpy number that numpy combines with float64 values as with
// a float64 Series.
bool plain_number(py::handle value) {
    return PyFloat_CheckExact(value.ptr()) || (PyLong_CheckExact(value.ptr())) ||
           py::isinstance(value, py::module_::import("numpy").attr("floating"));
}

bool plain_float64(py::handle series) {
    py::object dtype = series.attr("dtype");
    return py::isinstance<py::dtype>(dtype) && py::reinterpret_borrow<py::dtype>(dtype).is(py::dtype::of<double>());
}

// With one retained component the covariance is a 0-d array; it stands for the
// 1-by-1 matrix that the pseudo-inverse needs.
py::object as_matrix(py::handle np, py::object cov) {
    if (np.attr("ndim")(cov).cast<int>() == 0) return np.attr("reshape")(cov, py::make_tuple(1, 1));
    return cov;
}

py::object hotelling_t2(py::handle scores, py::handle model_mu, py::handle metric) {
    DoubleArray x = as_doubles(scores);
    DoubleArray mu = as_doubles(model_mu);
    DoubleArray s = as_doubles(metric);
    if (x.ndim() != 2) raise(PyExc_ValueError, "PCA scores must be a 2-D array");
    const py::ssize_t k = x.shape(1);
    if (mu.size() != k || s.ndim() != 2 || s.shape(0) != k || s.shape(1) != k) {
        raise(PyExc_ValueError, "model_mu and model_cov do not match the " + std::to_string(k) +
                                    " components of the PCA model (model_mu has " + std::to_string(mu.size()) +
                                    " values, the covariance " + std::to_string(s.size()) + ")");
    }
    DoubleArray t2(x.shape(0));
    {
        py::gil_scoped_release nogil;
        kernels::quadratic_forms(span_of(x), span_of(mu), span_of(s), mutable_span_of(t2));
    }
    return t2;
}

// Jackson–Mudholkar limit of the SPE from the eigenvalues the model leaves out,
// evaluated in the order of its usual textbook form.
double jackson_mudholkar_limit(double theta1, double theta2, double theta3, double z) {
    const double h0 = 1 - (2 * theta1 * theta3) / (3 * (theta2 * theta2));
    const double bracket =
        z * std::sqrt(2 * theta2 * (h0 * h0)) / theta1 + 1 + theta2 * h0 * (h0 - 1) / (theta1 * theta1);
    return theta1 * std::pow(bracket, 1 / h0);
}

// The SPE model on data that is already standardised; `df` gives the labels
// of the residual columns.
py::object spe_model(const Module& m, py::handle df, py::object scaled, py::object index, py::object alpha) {
    py::object np = m.global("np");
    py::object pd = m.global("pd");

    py::object pca = m.global("PCA")("n_components"_a = 0.9);
    pca.attr("fit")(scaled);
    py::object scores = fitted::pca_scores(pca, scaled);
    py::object reconstruction = fitted::pca_reconstruction(pca, scores);
    py::object residual = scaled - reconstruction;
    py::object columns = df.attr("columns");
    py::object residual_df = pd.attr("DataFrame")(residual, "index"_a = index, "columns"_a = columns);
    py::object spe = np.attr("sum")(power(residual, py::int_(2)), "axis"_a = 1);

    py::object spectrum = m.global("PCA")();
    spectrum.attr("fit")(scaled);
    py::object all_eigenvalues = spectrum.attr("explained_variance_");
    py::object k = pca.attr("n_components_");
    py::object residual_eigenvalues = all_eigenvalues[py::slice(k, py::none(), py::none())];
    auto theta = [&](int order) {
        return float_of(np.attr("sum")(power(residual_eigenvalues, py::int_(order))));
    };
    const double theta1 = theta(1), theta2 = theta(2), theta3 = theta(3);
    const double z = float_of(m.global("norm").attr("ppf")(py::int_(1) - alpha));
    py::float_ spe_ucl(jackson_mudholkar_limit(theta1, theta2, theta3, z));

    py::object spe_df = pd.attr("Series")(spe, "index"_a = index, "name"_a = "SPE").attr("to_frame")();
    py::object ratio = np.attr("sum")(gt(spe, spe_ucl)) / py::int_(py::len(spe));
    return py::make_tuple(residual_df, spe_df, spe_ucl, ratio);
}

}  // namespace

py::object standardize(const Module& m, py::object df) { return fit_transformed(m, m.global("StandardScaler")(), df); }

py::object testing_scaler(const Module& m, py::object df, py::object scaler) {
    return transformed_frame(m, scaler, df);
}

py::object minmax_scale(const Module& m, py::object df) {
    // The min-max scaler is not one of the module globals; it is taken from
    // scikit-learn itself.
    py::object scaler_type = py::module_::import("sklearn.preprocessing").attr("MinMaxScaler");
    return fit_transformed(m, scaler_type(), df);
}

py::object testing_minmax(const Module& m, py::object df, py::object scaler) {
    return transformed_frame(m, scaler, df);
}

py::object health_modeling(const Module& m, py::object df_scaled, py::object alpha) {
    py::object np = m.global("np");
    ScoreModel model = fit_score_model(m, py::float_(0.9), df_scaled);
    // A single component leaves no covariance structure to monitor: refit with
    // two components, or one when there is only one feature.
    if (np.attr("ndim")(model.cov).cast<int>() < 2) {
        const auto features = df_scaled.attr("shape")[py::int_(1)].cast<py::ssize_t>();
        model = fit_score_model(m, py::int_(std::min<py::ssize_t>(features, 2)), df_scaled);
    }
    py::tuple shape = model.scores.attr("shape");
    py::int_ n(shape[0]), k(shape[1]);
    py::object f_quantile = m.global("f").attr("ppf")(py::int_(1) - alpha, k, n - k);
    py::object ucl = k * (n - py::int_(1)) / (n - k) * f_quantile;
    return py::make_tuple(model.mu, model.cov, ucl, model.pca);
}

py::object cal_T2(const Module& m, py::object df_scaled, py::object pca, py::object model_mu, py::object model_cov,
                  py::object df_scaled_index) {
    py::object np = m.global("np");
    py::object df_pca = fitted::pca_scores(pca, df_scaled);
    py::object metric = np.attr("linalg").attr("pinv")(as_matrix(np, model_cov));
    py::object values = hotelling_t2(df_pca, model_mu, metric);
    return py::make_tuple(single_column_frame(m, "tsquare", values, df_scaled_index), df_pca);
}

py::object Health_Index(const Module& m, py::object tsquare_df, py::object ucl, py::object score_tightness) {
    py::object np = m.global("np");
    py::object tsquare = tsquare_df[py::str("tsquare")];
    // The arithmetic on the column's plain values when the operands are plain
    // numbers: the same ufuncs on the same values as on the Series.
    if (plain_number(ucl) && plain_number(score_tightness) && plain_float64(tsquare)) {
        tsquare = tsquare.attr("to_numpy")();
    }
    py::object ratio = tsquare / ucl;
    py::object exponent = np.attr("log")(score_tightness) * ratio;
    py::object score = np.attr("exp")(exponent) * py::int_(100);
    return single_column_frame(m, "Score", score, tsquare_df.attr("index"));
}

py::object T2_Anomaly_Rate(const Module& m, py::object tsquare_values, py::object ucl) {
    py::object np = m.global("np");
    py::object values = np.attr("array")(tsquare_values);
    py::object above = np.attr("sum")(gt(values, ucl));
    return above / py::int_(py::len(values));
}

py::object SPE_residual(const Module& m, py::object df, py::object df_scaled_index, py::object alpha) {
    py::object scaler = m.global("StandardScaler")();
    scaler.attr("fit")(df);
    py::object scaled = fitted::transformed(scaler, df);
    return spe_model(m, df, scaled, df_scaled_index, alpha);
}

py::object SPE_residual_testing(const Module& m, py::object df, py::object df_scaled, py::object df_scaled_index,
                                py::object alpha) {
    return spe_model(m, df, df_scaled, df_scaled_index, alpha);
}

}  // namespace algo::hi
