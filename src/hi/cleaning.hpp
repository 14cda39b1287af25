// Outlier cleaning of training data: the per-column IQR filter with its
// percentile fallback, and the Chebyshev-limit purge of T² outliers.
#pragma once

#include "core/function.hpp"

#include <pybind11/numpy.h>

#include <memory>
#include <vector>

namespace algo::hi {

py::object IQR_outlier_percent_clean(const Module& m, py::object df, py::object max_ratio, py::object datetime_name,
                                     py::object iqr_k);

namespace cleaning {

// The outliers of numeric columns under the rule of IQR_outlier_percent_clean,
// for any allowed outlier share: each column's quartiles, IQR fences and share
// of values outside them are found once, so that passes which differ only in
// the share repeat none of it.
class OutlierMarks {
public:
    // `columns`: pandas Series of `rows` values each.
    OutlierMarks(const Module& m, std::vector<py::object> columns, py::object iqr_k, std::size_t rows);
    ~OutlierMarks();
    OutlierMarks(OutlierMarks&&) noexcept;

    // The rows that hold an outlier of some column when at most `max_ratio`
    // of a column may be cut. Column after column, as the cleaning runs: a
    // column's fences are found when it is first reached.
    py::array_t<bool> rows_to_drop(py::handle max_ratio);

private:
    struct Column;
    const Module& m_;
    std::vector<py::object> sources_;
    py::object iqr_k_;
    std::vector<std::unique_ptr<Column>> columns_;
    std::size_t rows_;
    std::vector<char> fenced_marks_;    // rows outside the fences of the columns in
    std::vector<char> fenced_columns_;  // these
};

}  // namespace cleaning

py::object chebyshev_ucl(const Module& m, py::object T2_values, py::object alpha, py::object one_sided);
py::object purge_by_chebyshev(const Module& m, py::object df_scaled, py::object alpha, py::object max_iter,
                              py::object one_sided);

}  // namespace algo::hi
