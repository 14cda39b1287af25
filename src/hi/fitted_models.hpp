// Fitted scikit-learn scalers and PCA models applied natively from their
// fitted attributes.
//
// Each function gives what the estimator's own method would return, and calls
// that method whenever the native arithmetic might not be its equal: an
// estimator of another type (a subclass, a host's own scaler), one set to
// other output containers or options, input it would convert, warn about or
// reject. The sums run in a fixed order instead of the BLAS order, so values
// agree with scikit-learn's to within a few units in the last place.
#pragma once

#include "core/function.hpp"

namespace algo::hi::fitted {

// scaler.transform(X): StandardScaler and MinMaxScaler natively.
py::object transformed(py::handle scaler, py::handle X);

// pca.transform(X)
py::object pca_scores(py::handle pca, py::handle X);

// pca.inverse_transform(scores)
py::object pca_reconstruction(py::handle pca, py::handle scores);

}  // namespace algo::hi::fitted
