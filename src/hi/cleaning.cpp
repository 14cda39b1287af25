#include "cleaning.hpp"

#include "core/arrays.hpp"
#include "core/kernels/fences.hpp"
#include "core/kernels/quantiles.hpp"

#include <algorithm>
#include <optional>
#include <string>

namespace algo::hi {

namespace {

// --- IQR filter -----------------------------------------------------------------

// A fence that the native comparisons take as it is: a float (Python's or
// numpy's float64). Any other fence (from an odd `iqr_k` or `max_ratio`:
// complex, arrays, missing markers...) is left to pandas, which compares or
// fails as it does.
std::optional<double> float_fence(py::handle fence) {
    if (!PyFloat_Check(fence.ptr())) return std::nullopt;
    return PyFloat_AS_DOUBLE(fence.ptr());
}

// One numeric column under the fence tests. Real-valued columns (numpy or
// nullable integers and floats) are compared natively as float64 with NaN
// for missing entries, which is how numpy compares them with a float fence;
// other numeric kinds (time spans) keep pandas' own comparisons. Quantiles of
// float64 columns are computed natively, bit for bit as pandas computes them;
// other dtypes (whose interpolation numpy does in their own arithmetic) ask
// pandas.
class FencedColumn {
public:
    FencedColumn(const Module& m, py::object column) : column_(std::move(column)) {
        py::object np = m.global("np");
        py::object dtype = column_.attr("dtype");
        const std::string kind = text(dtype.attr("kind"));
        if (kind != "i" && kind != "u" && kind != "f") return;
        values_ = as_doubles(column_.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan")));
        if (truthy(eq(dtype, np.attr("dtype")("float64")))) {
            py::gil_scoped_release nogil;
            order_.emplace(span_of(*values_));
        }
    }

    std::size_t present() const { return order_ ? order_->size() : column_.attr("count")().cast<std::size_t>(); }

    py::object quantile(py::handle q) {
        if (order_ && PyFloat_Check(q.ptr())) {
            const double level = PyFloat_AS_DOUBLE(q.ptr());
            if (level >= 0 && level <= 1) {
                double value;
                {
                    py::gil_scoped_release nogil;
                    value = order_->quantile(level);
                }
                return py::float_(value);
            }
        }
        return column_.attr("quantile")(q);  // also reports a level outside [0, 1]
    }

    std::size_t count_outside(py::handle lower, py::handle upper) const {
        const auto lo = float_fence(lower), hi = float_fence(upper);
        if (values_ && lo && hi) {
            py::gil_scoped_release nogil;
            return kernels::count_outside(span_of(*values_), *lo, *hi);
        }
        return outside(lower, upper).attr("sum")().cast<std::size_t>();
    }

    void mark_outside(py::handle lower, py::handle upper, py::array_t<bool>& marks) const {
        std::span<bool> target(marks.mutable_data(), static_cast<std::size_t>(marks.size()));
        const auto lo = float_fence(lower), hi = float_fence(upper);
        if (values_ && lo && hi) {
            py::gil_scoped_release nogil;
            kernels::mark_outside(span_of(*values_), *lo, *hi, target);
            return;
        }
        const py::array_t<bool, py::array::forcecast> found(outside(lower, upper));
        for (std::size_t i = 0; i < target.size(); ++i) target[i] = target[i] || found.data()[i];
    }

private:
    // (column < lower) | (column > upper); missing entries are never outside.
    py::object outside(py::handle lower, py::handle upper) const {
        py::object below = lt(column_, lower);
        py::object above = gt(column_, upper);
        return (below | above).attr("to_numpy")("dtype"_a = "bool", "na_value"_a = false);
    }

    py::object column_;
    std::optional<DoubleArray> values_;
    std::optional<kernels::OrderStatistics> order_;
};

// --- Chebyshev purge ------------------------------------------------------------

py::object absolute(py::handle value) {
    PyObject* r = PyNumber_Absolute(value.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

std::string formatted(py::handle value, const char* format) {
    PyObject* r = PyObject_Format(value.ptr(), py::str(format).ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r).cast<std::string>();
}

}  // namespace

namespace cleaning {

// A column's outliers: values outside the IQR fences, or, when those are more
// than the allowed share of the column, values outside its max_ratio/2 and
// 1 - max_ratio/2 quantiles.
struct OutlierMarks::Column {
    FencedColumn values;
    std::size_t present;
    py::object lower, upper;  // the IQR fences
    double outside_share = 0;
    std::optional<py::array_t<bool>> fence_marks;

    Column(const Module& m, py::object column, py::handle iqr_k) : values(m, std::move(column)) {
        present = values.present();
        if (present == 0) return;  // an all-missing column marks nothing
        py::object q1 = values.quantile(py::float_(0.25));
        py::object q3 = values.quantile(py::float_(0.75));
        py::object iqr = q3 - q1;
        lower = q1 - iqr_k * iqr;
        upper = q3 + iqr_k * iqr;
        outside_share = static_cast<double>(values.count_outside(lower, upper)) / static_cast<double>(present);
    }

    // Whether the column's outliers are those outside its IQR fences (not
    // more than `max_ratio` of the column), not its share quantiles.
    bool fenced(py::handle max_ratio) const {
        return present > 0 && truthy(le(py::float_(outside_share), max_ratio));
    }

    void mark_fenced(std::vector<char>& marks) {
        if (!fence_marks) {
            fence_marks.emplace(static_cast<py::ssize_t>(marks.size()));
            std::fill_n(fence_marks->mutable_data(), fence_marks->size(), false);
            values.mark_outside(lower, upper, *fence_marks);
        }
        const bool* fenced = fence_marks->data();
        for (std::size_t i = 0; i < marks.size(); ++i) marks[i] = marks[i] || fenced[i];
    }

    void mark_cut(py::handle max_ratio, py::array_t<bool>& marks) {
        py::object lower_cut = values.quantile(max_ratio / py::int_(2));
        py::object upper_cut = values.quantile(py::int_(1) - max_ratio / py::int_(2));
        values.mark_outside(lower_cut, upper_cut, marks);
    }
};

OutlierMarks::OutlierMarks(const Module& m, std::vector<py::object> columns, py::object iqr_k, std::size_t rows)
    : m_(m), sources_(std::move(columns)), iqr_k_(std::move(iqr_k)), rows_(rows) {}

OutlierMarks::~OutlierMarks() = default;
OutlierMarks::OutlierMarks(OutlierMarks&&) noexcept = default;

py::array_t<bool> OutlierMarks::rows_to_drop(py::handle max_ratio) {
    py::array_t<bool> drop(static_cast<py::ssize_t>(rows_));
    std::fill_n(drop.mutable_data(), drop.size(), false);
    std::vector<char> fenced(sources_.size(), 0);
    for (std::size_t j = 0; j < sources_.size(); ++j) {
        if (j == columns_.size()) {
            if (py::len(sources_[j]) != rows_) {
                raise(PyExc_ValueError, "a numeric column does not have one value per row");
            }
            columns_.push_back(std::make_unique<Column>(m_, sources_[j], iqr_k_));
        }
        if (columns_[j]->present == 0) continue;  // an all-missing column marks nothing
        fenced[j] = columns_[j]->fenced(max_ratio);
        if (!fenced[j]) columns_[j]->mark_cut(max_ratio, drop);
    }
    // The fence marks of the columns marked by their fences: a growing share
    // moves columns from their quantiles to their fences only, so the marks
    // of the fenced columns so far are kept and extended.
    fenced_marks_.resize(rows_, 0);
    fenced_columns_.resize(sources_.size(), 0);
    for (std::size_t j = 0; j < fenced.size(); ++j) {
        if (fenced_columns_[j] && !fenced[j]) {
            std::fill(fenced_marks_.begin(), fenced_marks_.end(), 0);
            std::fill(fenced_columns_.begin(), fenced_columns_.end(), 0);
            break;
        }
    }
    for (std::size_t j = 0; j < fenced.size(); ++j) {
        if (fenced[j] && !fenced_columns_[j]) {
            columns_[j]->mark_fenced(fenced_marks_);
            fenced_columns_[j] = 1;
        }
    }
    bool* target = drop.mutable_data();
    for (std::size_t i = 0; i < rows_; ++i) target[i] = target[i] || fenced_marks_[i];
    return drop;
}

}  // namespace cleaning

py::object IQR_outlier_percent_clean(const Module& m, py::object df, py::object max_ratio, py::object datetime_name,
                                     py::object iqr_k) {
    py::object np = m.global("np");
    py::list time_column;
    time_column.append(datetime_name);
    py::list number;
    number.append(np.attr("number"));
    py::object numeric = df.attr("drop")("columns"_a = time_column, "errors"_a = "ignore")
                             .attr("select_dtypes")("include"_a = number);
    // Rows are marked by position: one column's missing values leave its marks
    // unset without aligning labels, which also holds for repeated labels.
    std::vector<py::object> columns;
    const auto count = static_cast<py::ssize_t>(py::len(numeric.attr("columns")));
    for (py::ssize_t j = 0; j < count; ++j) {
        columns.push_back(numeric.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)]);
    }
    py::array_t<bool> drop = cleaning::OutlierMarks(m, std::move(columns), iqr_k, py::len(df)).rows_to_drop(max_ratio);
    return df.attr("loc")[np.attr("logical_not")(drop)];
}

py::object chebyshev_ucl(const Module& m, py::object T2_values, py::object alpha, py::object one_sided) {
    py::object np = m.global("np");
    py::object mean = np.attr("mean")(T2_values);
    py::object deviation = np.attr("std")(T2_values, "ddof"_a = 1);
    // Cantelli's one-sided bound when only large T² matter, else Chebyshev's.
    py::object k = truthy(one_sided) ? np.attr("sqrt")((py::int_(1) - alpha) / alpha)
                                     : py::int_(1) / np.attr("sqrt")(alpha);
    return mean + k * deviation;
}

py::object purge_by_chebyshev(const Module& m, py::object df_scaled, py::object alpha, py::object max_iter,
                              py::object one_sided) {
    py::object frame = df_scaled.attr("copy")();
    std::optional<py::object> previous_ucl;
    Local pca("pca"), mu("mu"), cov("cov"), ucl("ucl");
    py::object iterations = builtin("range")(max_iter);
    for (py::handle i : iterations) {
        py::object model = m.call("health_modeling", frame);
        mu = model[py::int_(0)];
        cov = model[py::int_(1)];
        pca = model[py::int_(3)];
        py::object index = frame.attr("index");
        py::object t2 = m.call("cal_T2", frame, pca.get(), mu.get(), cov.get(), index)[py::int_(0)];
        py::object tsquare = t2[py::str("tsquare")];
        ucl = m.call("chebyshev_ucl", tsquare.attr("values"), alpha, one_sided);
        py::object keep = le(tsquare, ucl);
        py::object removed = keep.attr("__invert__")().attr("sum")();
        py::object change = previous_ucl ? absolute(ucl.get() - *previous_ucl) : m.global("np").attr("inf");
        const std::string iteration = text(i + py::int_(1));
        const std::string limit = formatted(ucl, ".3f");
        const std::string count = text(removed);
        const std::string moved = formatted(change, ".4f");
        print_line("第 " + iteration + " 次篩選：UCL = " + limit + "，移除 " + count + " 筆；UCL 變化量 = " + moved);
        // Nothing left to remove, or a limit that no longer moves.
        if (truthy(eq(removed, py::int_(0))) || (previous_ucl && truthy(lt(change, py::float_(1e-3))))) {
            print_line("Chebyshev purging 收斂 ✅");
            break;
        }
        frame = frame.attr("loc")[keep];
        previous_ucl = ucl.get();
    }
    print_line("最終保留樣本數：" + std::to_string(py::len(frame)));
    // Read in return order: without any iteration `pca` is the first unbound.
    py::object final_pca = pca, final_mu = mu, final_cov = cov, final_ucl = ucl;
    return py::make_tuple(frame, final_pca, final_mu, final_cov, final_ucl);
}

}  // namespace algo::hi
