// Per-second compression: raw exports can hold several rows for one second,
// each carrying only some of the columns; they are merged into one row per
// second.
//
// The rows are put in the order in which pandas sorts the time column (its
// default sort is not stable, so rows with equal times keep pandas' order, not
// their own). Numeric and boolean columns are reduced by the native kernel,
// which returns row numbers; the output values are then taken from the
// caller's columns with pandas' own `take`, so every dtype promotion (a missing
// result in an integer column gives float64, in a boolean column object) is
// the library's; float64 columns are gathered straight into the one block the
// output frame keeps them in. Other columns (text, nullable, categorical...)
// go through the pandas group-by formulation.
#include "compression.hpp"

#include "core/arrays.hpp"
#include "core/kernels/iso_times.hpp"
#include "core/kernels/time_units.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace algo::hi {

namespace kn = kernels;

namespace {

using FlagArray = py::array_t<bool, py::array::c_style | py::array::forcecast>;

// Whether `text` is empty or all white space: what the pattern `\s*` matches
// in full (the regular-expression engine's `\s` is the host's isspace).
bool is_blank(PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i) {
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return false;
    }
    return true;
}

// Text cells that are empty or hold only blanks become missing: cells whose
// text form (`astype(str)`) is blank, tested cell by cell without a regular
// expression; missing cells stay missing.
py::object blank_text_as_missing(py::handle column) {
    auto cells = column.attr("to_numpy")("dtype"_a = py::dtype("O")).cast<py::array>();
    FlagArray blank(cells.size());
    auto* const* values = static_cast<PyObject* const*>(cells.data());
    bool* flags = blank.mutable_data();
    for (py::ssize_t i = 0; i < cells.size(); ++i) {
        PyObject* cell = values[i];
        if (PyUnicode_Check(cell)) {
            flags[i] = is_blank(cell);
        } else {
            const py::str shown{py::handle(cell)};
            flags[i] = is_blank(shown.ptr());
        }
    }
    return column.attr("mask")(blank);
}

}  // namespace

namespace compression {

// Object columns, and the NaN-missing string dtype ("str") that holds text
// by default in newer pandas where older versions used object.
bool holds_text(py::handle pd, py::handle dtype) {
    if (py::isinstance<py::dtype>(dtype)) return py::reinterpret_borrow<py::dtype>(dtype).kind() == 'O';
    return py::isinstance(dtype, pd.attr("StringDtype")) && PyFloat_Check(dtype.attr("na_value").ptr());
}

std::optional<kn::ValueType> kernel_type(py::handle dtype) {
    if (!py::isinstance<py::dtype>(dtype)) return std::nullopt;
    auto dt = py::reinterpret_borrow<py::dtype>(dtype);
    if (!dt.attr("isnative").cast<bool>()) return std::nullopt;
    const auto size = dt.itemsize();
    switch (dt.kind()) {
        case 'f':
            if (size == 8) return kn::ValueType::float64;
            if (size == 4) return kn::ValueType::float32;
            return std::nullopt;
        case 'i':
            if (size == 8) return kn::ValueType::int64;
            if (size == 4) return kn::ValueType::int32;
            if (size == 2) return kn::ValueType::int16;
            if (size == 1) return kn::ValueType::int8;
            return std::nullopt;
        case 'u':
            if (size == 8) return kn::ValueType::uint64;
            if (size == 4) return kn::ValueType::uint32;
            if (size == 2) return kn::ValueType::uint16;
            if (size == 1) return kn::ValueType::uint8;
            return std::nullopt;
        case 'b':
            return kn::ValueType::boolean;
        default:
            return std::nullopt;
    }
}


namespace {

// Times as counts of a unit since the epoch (UTC for zoned times), NaT as
// kNoSecond.
struct Instants {
    Int64Array values;
    std::string unit;
};

// The UTF-8 texts of an object array of str cells; nothing when a cell is
// anything else.
std::optional<std::vector<std::string_view>> object_texts(py::handle column) {
    auto cells = column.attr("to_numpy")("dtype"_a = py::dtype("O")).cast<py::array>();
    auto* const* values = static_cast<PyObject* const*>(cells.data());
    std::vector<std::string_view> texts(static_cast<std::size_t>(cells.size()));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (!PyUnicode_Check(values[i])) return std::nullopt;
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(values[i], &size);
        if (data == nullptr) {
            PyErr_Clear();
            return std::nullopt;
        }
        texts[i] = std::string_view(data, static_cast<std::size_t>(size));
    }
    return texts;
}

// The texts of an Arrow-backed string column without a missing value, read
// from its buffers; nothing for other layouts. `keep` holds the Arrow data.
std::optional<std::vector<std::string_view>> arrow_texts(py::handle column, py::object& keep) {
    py::object array = column.attr("array");
    if (!py::hasattr(array, "__arrow_array__")) return std::nullopt;
    keep = array.attr("__arrow_array__")();
    std::vector<std::string_view> texts;
    for (py::handle chunk : py::iter(keep.attr("chunks"))) {
        const std::string type = text(chunk.attr("type"));
        const bool wide = type == "large_string";
        if ((!wide && type != "string") || chunk.attr("null_count").cast<std::size_t>() != 0) return std::nullopt;
        const auto length = py::len(chunk);
        if (length == 0) continue;
        py::list buffers = chunk.attr("buffers")();
        if (buffers[1].is_none() || buffers[2].is_none()) return std::nullopt;
        const auto offset = chunk.attr("offset").cast<std::size_t>();
        const auto* data = reinterpret_cast<const char*>(buffers[2].attr("address").cast<std::uintptr_t>());
        const auto offsets = buffers[1].attr("address").cast<std::uintptr_t>();
        auto at = [&](std::size_t i) -> std::int64_t {
            if (wide) return reinterpret_cast<const std::int64_t*>(offsets)[offset + i];
            return reinterpret_cast<const std::int32_t*>(offsets)[offset + i];
        };
        for (std::size_t i = 0; i < length; ++i) {
            texts.emplace_back(data + at(i), static_cast<std::size_t>(at(i + 1) - at(i)));
        }
    }
    return texts;
}

std::optional<Instants> iso_instants(py::handle pd, py::handle column) {
    py::object dtype = column.attr("dtype");
    py::object keep;
    std::optional<std::vector<std::string_view>> texts;
    if (py::isinstance(dtype, pd.attr("StringDtype")) && is_text(dtype.attr("storage"), "pyarrow")) {
        texts = arrow_texts(column, keep);
    } else {
        texts = object_texts(column);
    }
    if (!texts) return std::nullopt;
    Int64Array values(static_cast<py::ssize_t>(texts->size()));
    bool read;
    {
        py::gil_scoped_release nogil;
        read = kn::read_iso_times(*texts, std::span<std::int64_t>(values.mutable_data(), texts->size()));
    }
    if (!read) return std::nullopt;
    return Instants{std::move(values), "ns"};
}

// The times of a datetime column, or of text in one ISO layout, read
// natively; nothing for any other column (pandas then parses it).
std::optional<Instants> native_instants(py::handle pd, py::handle column) {
    py::object dtype = column.attr("dtype");
    const bool zoned = py::isinstance(dtype, pd.attr("DatetimeTZDtype"));
    const bool naive = py::isinstance<py::dtype>(dtype) && py::reinterpret_borrow<py::dtype>(dtype).kind() == 'M';
    if (zoned || naive) {
        py::object array = column.attr("array");
        Instants instants{as_int64s(array.attr("asi8")), text(array.attr("unit"))};
        if (!kn::units_per_second(instants.unit)) return std::nullopt;
        return instants;
    }
    if (holds_text(pd, dtype)) return iso_instants(pd, column);
    return std::nullopt;
}

bool strictly_increasing(const Int64Array& values) {
    const std::span<const std::int64_t> v = span_of(values);
    if (!v.empty() && v[0] == kNoSecond) return false;
    for (std::size_t i = 1; i < v.size(); ++i) {
        if (v[i] <= v[i - 1]) return false;
    }
    return true;
}

// Row numbers in the order of pandas' default sort of `times` (a datetime
// Series or array): the order in which DataFrame.sort_values puts the rows,
// ties included, rows without a time last.
RowArray pandas_order(py::handle pd, py::handle times) {
    return RowArray(pd.attr("Series")(times).attr("sort_values")().attr("index").attr("to_numpy")());
}

// Whole seconds of the instants, rounded down as numpy does.
RowArray seconds_of(const Instants& instants) {
    const std::int64_t per_second = *kn::units_per_second(instants.unit);
    RowArray seconds(instants.values.size());
    const std::int64_t* v = instants.values.data();
    std::int64_t* s = seconds.mutable_data();
    for (py::ssize_t i = 0; i < instants.values.size(); ++i) {
        s[i] = v[i] == kNoSecond ? kNoSecond : kn::floor_div(v[i], per_second);
    }
    return seconds;
}

}  // namespace

TimeOrder::TimeOrder(const Module& m, py::handle time_column) {
    py::object pd = m.global("pd");
    if (auto instants = native_instants(pd, time_column)) {
        seconds_ = seconds_of(*instants);
        if (strictly_increasing(instants->values)) {
            order_ = RowArray(instants->values.size());
            for (py::ssize_t i = 0; i < order_.size(); ++i) order_.mutable_at(i) = i;
            identity_ = true;
        } else {
            order_ = pandas_order(pd, instants->values.attr("view")("datetime64[" + instants->unit + "]"));
        }
    } else {
        py::object time = py::reinterpret_borrow<py::object>(time_column);
        if (holds_text(pd, time.attr("dtype"))) time = blank_text_as_missing(time);
        py::object times = pd.attr("to_datetime")(time, "errors"_a = "coerce");
        // DataFrame.sort_values(time_col) and Series.sort_values() run the
        // same default sort on the same values, so the positions below are
        // the order in which the frame itself would be sorted, ties included.
        order_ = pandas_order(pd, times.attr("array"));
        // Time-zone aware times count in UTC, as their plain numpy values do.
        py::object naive = times;
        if (py::isinstance(times.attr("dtype"), pd.attr("DatetimeTZDtype"))) {
            naive = times.attr("dt").attr("tz_convert")(py::none());
        }
        seconds_ = RowArray(naive.attr("values").attr("astype")("datetime64[s]").attr("view")("int64"));
    }
    py::gil_scoped_release nogil;
    groups_.emplace(span_of(order_), span_of(seconds_), kNoSecond);
    identity_ = identity_ && !untimed() && seconds() == groups_->rows();
}

RowArray TimeOrder::output_seconds() const {
    RowArray values(static_cast<py::ssize_t>(output_rows()));
    std::int64_t* out = values.mutable_data();
    for (std::size_t g = 0; g < seconds(); ++g) out[g] = groups_->second(g);
    if (untimed()) out[seconds()] = kNoSecond;
    return values;
}

RowArray TimeOrder::end_positions(kn::End end) const {
    RowArray positions(static_cast<py::ssize_t>(output_rows()));
    std::int64_t* out = positions.mutable_data();
    const bool last = end == kn::End::last;
    for (std::size_t g = 0; g < seconds(); ++g) {
        out[g] = static_cast<std::int64_t>(last ? groups_->end(g) - 1 : groups_->begin(g));
    }
    if (untimed()) out[seconds()] = static_cast<std::int64_t>(last ? groups_->rows() - 1 : groups_->timed_rows());
    return positions;
}

RowArray TimeOrder::end_rows(kn::End end) const {
    RowArray rows = end_positions(end);
    for (py::ssize_t i = 0; i < rows.size(); ++i) rows.mutable_at(i) = groups_->row(static_cast<std::size_t>(rows.at(i)));
    return rows;
}

RowArray TimeOrder::picked_rows(const kn::TypedColumn& column, kn::End end,
                                std::vector<std::uint8_t>* conflicting) const {
    // Each second's only row holds its value, or its missing value; it has no
    // conflict.
    if (identity_) return RowArray(order_.attr("copy")());
    RowArray rows(static_cast<py::ssize_t>(output_rows()));
    if (untimed()) rows.mutable_at(static_cast<py::ssize_t>(seconds())) = -1;
    py::gil_scoped_release nogil;
    const std::span<std::int64_t> picks(rows.mutable_data(), seconds());
    if (conflicting) {
        kn::pick_rows_marking_conflicts(column, *groups_, end, picks, *conflicting);
    } else {
        kn::pick_rows(column, *groups_, end, picks);
    }
    return rows;
}

namespace {

template <class T>
py::array picked_float_values(const TimeOrder& order, const kn::TypedColumn& column, kn::End end) {
    py::array_t<T> out(static_cast<py::ssize_t>(order.output_rows()));
    T* target = out.mutable_data();
    if (order.untimed()) target[order.seconds()] = std::numeric_limits<T>::quiet_NaN();
    py::gil_scoped_release nogil;
    kn::pick_values(column, order.groups(), end, std::span<T>(target, order.seconds()));
    return out;
}

}  // namespace

py::array TimeOrder::picked_values(const kn::TypedColumn& column, kn::End end) const {
    if (column.type == kn::ValueType::float32) return picked_float_values<float>(*this, column, end);
    return picked_float_values<double>(*this, column, end);
}

}  // namespace compression

namespace {

using compression::holds_text;
using compression::kernel_type;
using compression::RowArray;
// Per feature column, per second: whether the second holds several distinct values.
using ConflictFlags = std::vector<std::vector<std::uint8_t>>;

void require_str(py::handle value, const char* name) {
    if (!PyUnicode_Check(value.ptr())) {
        raise(PyExc_TypeError, std::string("compress_by_second() argument '") + name + "' must be str, not " +
                                   Py_TYPE(value.ptr())->tp_name);
    }
}

py::object str_type() { return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type)); }

// A Series of `values` that keeps their dtype: pandas would otherwise read an
// object array of text as its string dtype.
py::object series_of(py::handle pd, py::handle values) {
    return pd.attr("Series")(values, "dtype"_a = values.attr("dtype"), "copy"_a = false);
}

// A value column of the caller's frame.
struct Feature {
    py::object label;
    py::object column;  // the caller's Series, blank text already missing
    py::array values;   // the buffer the kernel reads; empty for columns pandas handles
    std::optional<kn::TypedColumn> native;

    bool float64() const { return native && native->type == kn::ValueType::float64; }
};

bool any_set(const std::vector<std::uint8_t>& flags) {
    return std::any_of(flags.begin(), flags.end(), [](std::uint8_t flag) { return flag != 0; });
}

kn::Resolution resolution_for(py::handle on_conflict) {
    if (is_text(on_conflict, "mode")) return kn::Resolution::mode;
    if (is_text(on_conflict, "nan") || is_text(on_conflict, "concat")) return kn::Resolution::missing;
    return kn::Resolution::last;
}

// The per-group reducer of conflicting columns, for the columns pandas handles.
py::cpp_function series_reducer(const Module& m, py::object on_conflict) {
    return py::cpp_function([m, on_conflict](py::object s) -> py::object {
        py::object pd = m.global("pd");
        py::object np = m.global("np");
        s = s.attr("dropna")();
        if (truthy(s.attr("empty"))) return np.attr("nan");
        py::object uniq = pd.attr("unique")(s);
        if (py::len(uniq) == 1) return uniq[py::int_(0)];
        if (is_text(on_conflict, "mode")) {
            py::object modes = s.attr("mode")("dropna"_a = true);
            return (truthy(modes.attr("empty")) ? s : modes).attr("iloc")[py::int_(-1)];
        }
        if (is_text(on_conflict, "concat")) {
            py::list texts;
            for (py::handle value : pd.attr("unique")(s.attr("astype")(str_type()))) texts.append(py::str(value));
            return py::str("|").attr("join")(texts);
        }
        if (is_text(on_conflict, "nan")) return np.attr("nan");
        return s.attr("iloc")[py::int_(-1)];
    });
}

// The values of the output's feature columns: float64 columns as rows of one
// block (the one the output frame keeps them in), the others as arrays.
struct Columns {
    DoubleArray block;
    std::vector<py::ssize_t> block_row;  // per feature, its row in the block or -1
    std::vector<py::object> arrays;      // per feature, when not in the block
};

// The caller's frame in time order, grouped by second.
class PerSecond {
public:
    PerSecond(const Module& m, py::handle df, py::handle time_col);

    std::size_t seconds() const { return order_->seconds(); }
    std::size_t output_rows() const { return order_->output_rows(); }

    // Each column's first or last non-missing value per second; marks the
    // native columns' conflicting seconds in `native_flags` on the way.
    Columns picked(kn::End end, ConflictFlags* native_flags = nullptr) const;
    // The caller's index labels of the first or last row of each second.
    py::object index_of(kn::End end) const;
    // Flags of no conflict, to be marked.
    ConflictFlags native_flags() const;
    // The conflicting seconds of every column: those of the native columns
    // as picking marked them in `native`, completed with the others'.
    ConflictFlags conflict_flags(ConflictFlags native) const;
    py::object conflict_report(const ConflictFlags& flags) const;
    // The output with the conflicting columns resolved by `on_conflict` and
    // moved to the end; `base` holds the last values of every column.
    py::object resolved(py::handle on_conflict, const ConflictFlags& flags, Columns base) const;
    // The output frame: the time column, then `order` of the feature columns.
    py::object table(const std::vector<std::size_t>& order, const Columns& columns, py::handle index) const;
    std::vector<std::size_t> all_features() const;

private:
    RowArray rows_with_untimed() const;
    py::object output_seconds() const;
    py::object sorted_seconds() const;
    py::list pandas_labels() const;
    py::object pandas_frame() const;
    py::object resolved_native(const Feature& feature, kn::Resolution resolution,
                               const std::vector<std::uint8_t>* concat_flags) const;
    py::object joined_distinct_values(const Feature& feature, const std::vector<std::uint8_t>& flags) const;
    py::object stacked_report(const std::vector<std::size_t>& chosen, const ConflictFlags& flags) const;
    void complete_pandas_flags(ConflictFlags& flags) const;

    const Module& m_;
    py::object pd_, np_, take_;
    py::handle df_, time_col_;
    std::optional<compression::TimeOrder> order_;
    std::vector<Feature> features_;
    py::object feature_labels_;  // the labels as the group-by result names them
    mutable py::object pandas_frame_;
};

PerSecond::PerSecond(const Module& m, py::handle df, py::handle time_col)
    : m_(m), pd_(m.global("pd")), np_(m.global("np")), df_(df), time_col_(time_col) {
    // The compression works on a copy of the frame; an argument that cannot be
    // copied fails on that, before anything reads its columns.
    py::getattr(df, "copy");
    take_ = pd_.attr("api").attr("extensions").attr("take");
    py::object columns = df.attr("columns");
    if (!truthy(columns.attr("is_unique"))) {
        py::object repeated = columns[columns.attr("duplicated")()].attr("unique")().attr("tolist")();
        raise(PyExc_ValueError, "compress_by_second needs unique column labels; repeated: " + text(repeated));
    }
    order_.emplace(m, df[time_col]);

    py::str sec("_sec");
    py::list feature_positions;
    py::ssize_t position = 0;
    for (py::handle item : df.attr("items")()) {
        auto pair = py::reinterpret_borrow<py::tuple>(item);
        py::object label = pair[0];
        const py::ssize_t here = position++;
        if (label.equal(time_col) || label.equal(sec)) continue;
        feature_positions.append(here);
        Feature feature{label, pair[1], py::array(), std::nullopt};
        py::object dtype = feature.column.attr("dtype");
        if (auto type = kernel_type(dtype)) {
            feature.values = py::array(feature.column.attr("to_numpy")());
            feature.native = kn::TypedColumn{static_cast<const std::byte*>(feature.values.data()),
                                             feature.values.strides(0), *type};
        } else if (holds_text(pd_, dtype)) {
            feature.column = blank_text_as_missing(feature.column);
        }
        features_.push_back(std::move(feature));
    }
    // The labels as the group-by results name them: those of the working
    // copy, which gains "_sec" at its end.
    if (!truthy(columns.attr("__contains__")(sec))) columns = columns.attr("insert")(py::len(columns), sec);
    feature_labels_ = columns.attr("take")(feature_positions);
}

std::vector<std::size_t> PerSecond::all_features() const {
    std::vector<std::size_t> order(features_.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    return order;
}

py::object PerSecond::index_of(kn::End end) const { return df_.attr("index").attr("take")(order_->end_rows(end)); }

// A row array of one entry per output row, the untimed row left missing.
RowArray PerSecond::rows_with_untimed() const {
    RowArray rows(static_cast<py::ssize_t>(output_rows()));
    if (order_->untimed()) rows.mutable_at(static_cast<py::ssize_t>(seconds())) = -1;
    return rows;
}

py::object PerSecond::output_seconds() const { return order_->output_seconds().attr("view")("datetime64[s]"); }

py::object PerSecond::sorted_seconds() const {
    return order_->row_seconds().attr("take")(order_->order()).attr("view")("datetime64[s]");
}

py::list PerSecond::pandas_labels() const {
    py::list labels;
    for (const Feature& f : features_) {
        if (!f.native) labels.append(f.label);
    }
    return labels;
}

// The columns pandas handles, in time order, beside their seconds.
py::object PerSecond::pandas_frame() const {
    if (!pandas_frame_) {
        py::dict data;
        data["_sec"] = sorted_seconds();
        for (const Feature& f : features_) {
            if (!f.native) data[f.label] = series_of(pd_, f.column.attr("array").attr("take")(order_->order()));
        }
        pandas_frame_ = pd_.attr("DataFrame")(data);
    }
    return pandas_frame_;
}

Columns PerSecond::picked(kn::End end, ConflictFlags* native_flags) const {
    Columns out;
    out.arrays.resize(features_.size());
    out.block_row.assign(features_.size(), -1);
    py::ssize_t float64_columns = 0;
    for (std::size_t i = 0; i < features_.size(); ++i) {
        if (features_[i].float64()) out.block_row[i] = float64_columns++;
    }
    const auto n = static_cast<py::ssize_t>(output_rows());
    out.block = DoubleArray({float64_columns, n});
    for (std::size_t i = 0; i < features_.size(); ++i) {
        const Feature& f = features_[i];
        if (!f.native) continue;
        std::vector<std::uint8_t>* flags = native_flags ? &(*native_flags)[i] : nullptr;
        if (out.block_row[i] < 0) {
            out.arrays[i] = take_(f.values, order_->picked_rows(*f.native, end, flags), "allow_fill"_a = true);
            continue;
        }
        double* target = out.block.mutable_data() + out.block_row[i] * n;
        const auto* source = static_cast<const std::byte*>(f.values.data());
        const py::ssize_t stride = f.values.strides(0);
        py::gil_scoped_release nogil;
        if (order_->identity()) {  // each second's only row, as it is
            for (py::ssize_t g = 0; g < n; ++g) std::memcpy(target + g, source + g * stride, sizeof(double));
            continue;
        }
        // take(values, picked rows, allow_fill=True): missing where no row
        // holds a value.
        if (order_->untimed()) target[seconds()] = std::numeric_limits<double>::quiet_NaN();
        std::span<std::uint8_t> marks;
        if (flags) marks = std::span<std::uint8_t>(*flags);
        kn::pick_values(*f.native, order_->groups(), end, std::span<double>(target, seconds()), marks);
    }
    py::list labels = pandas_labels();
    if (labels.empty()) return out;
    py::object grouped = pandas_frame().attr("groupby")("_sec", "sort"_a = false)[labels];
    py::object filled = end == kn::End::last ? grouped.attr("ffill")() : grouped.attr("bfill")();
    py::object kept = filled.attr("take")(order_->end_positions(end));
    py::ssize_t j = 0;
    for (std::size_t i = 0; i < features_.size(); ++i) {
        if (!features_[i].native) out.arrays[i] = kept.attr("iloc")[py::make_tuple(py::slice(), j++)].attr("array");
    }
    return out;
}

ConflictFlags PerSecond::native_flags() const {
    return ConflictFlags(features_.size(), std::vector<std::uint8_t>(seconds()));
}

ConflictFlags PerSecond::conflict_flags(ConflictFlags native) const {
    complete_pandas_flags(native);
    return native;
}

void PerSecond::complete_pandas_flags(ConflictFlags& flags) const {
    if (order_->identity()) return;
    py::list labels = pandas_labels();
    if (labels.empty()) return;
    py::object counts = pandas_frame().attr("groupby")("_sec")[labels].attr("nunique")("dropna"_a = true);
    FlagArray many(counts.attr("gt")(1).attr("to_numpy")());
    if (static_cast<std::size_t>(many.shape(0)) != seconds()) {
        raise(PyExc_RuntimeError, "per-second value counts do not line up with the seconds of the frame");
    }
    auto view = many.unchecked<2>();
    py::ssize_t j = 0;
    for (std::size_t i = 0; i < features_.size(); ++i) {
        if (features_[i].native) continue;
        for (std::size_t g = 0; g < seconds(); ++g) flags[i][g] = view(g, j);
        ++j;
    }
}

// The report as pandas stacks it, for labels that name their level.
py::object PerSecond::stacked_report(const std::vector<std::size_t>& chosen, const ConflictFlags& flags) const {
    const auto k = static_cast<py::ssize_t>(features_.size());
    FlagArray matrix({static_cast<py::ssize_t>(chosen.size()), k});
    RowArray chosen_seconds(static_cast<py::ssize_t>(chosen.size()));
    auto cells = matrix.mutable_unchecked<2>();
    for (std::size_t r = 0; r < chosen.size(); ++r) {
        chosen_seconds.mutable_at(static_cast<py::ssize_t>(r)) = order_->groups().second(chosen[r]);
        for (py::ssize_t i = 0; i < k; ++i) cells(r, i) = flags[static_cast<std::size_t>(i)][chosen[r]] != 0;
    }
    py::object index = pd_.attr("Index")(chosen_seconds.attr("view")("datetime64[s]"), "name"_a = "_sec");
    py::object many = pd_.attr("DataFrame")(matrix, "index"_a = index, "columns"_a = feature_labels_);
    py::object stacked = many.attr("stack")();
    py::dict names;
    names["level_1"] = "column";
    names[py::int_(0)] = "conflict";
    return stacked.attr("loc")[stacked]
        .attr("reset_index")()
        .attr("rename")("columns"_a = names)
        .attr("drop")("columns"_a = "conflict");
}

py::object PerSecond::conflict_report(const ConflictFlags& flags) const {
    // Stacking keeps only the pairs that conflict, so only the seconds holding
    // one need to be stacked.
    std::vector<std::size_t> chosen;
    for (std::size_t g = 0; g < seconds(); ++g) {
        for (const auto& column : flags) {
            if (column[g]) {
                chosen.push_back(g);
                break;
            }
        }
    }
    // A named column level is left to pandas' stacking (the level's name
    // becomes a column of its own); otherwise the pairs are listed directly,
    // second by second in column order, as the stacking lists them.
    if (!feature_labels_.attr("name").is_none()) return stacked_report(chosen, flags);
    std::vector<std::int64_t> seconds, columns;
    for (std::size_t g : chosen) {
        for (std::size_t i = 0; i < flags.size(); ++i) {
            if (!flags[i][g]) continue;
            seconds.push_back(order_->groups().second(g));
            columns.push_back(static_cast<std::int64_t>(i));
        }
    }
    py::dict data;
    data["_sec"] = RowArray(static_cast<py::ssize_t>(seconds.size()), seconds.data()).attr("view")("datetime64[s]");
    data["column"] = feature_labels_.attr("take")(RowArray(static_cast<py::ssize_t>(columns.size()), columns.data()));
    return pd_.attr("DataFrame")(data);
}

// Texts of the distinct values of each flagged second, joined by "|" in order
// of first appearance.
py::object PerSecond::joined_distinct_values(const Feature& feature, const std::vector<std::uint8_t>& flags) const {
    kn::RowLists lists;
    {
        py::gil_scoped_release nogil;
        lists = kn::distinct_rows(*feature.native, order_->groups(), flags);
    }
    RowArray rows(static_cast<py::ssize_t>(lists.rows.size()), lists.rows.data());
    py::list texts =
        pd_.attr("Series")(feature.values.attr("take")(rows)).attr("astype")(str_type()).attr("tolist")();
    py::list joined;
    py::str bar("|");
    py::object unique_in_order = py::dict().attr("fromkeys");
    for (std::size_t g = 0; g < seconds(); ++g) {
        if (!flags[g]) {
            joined.append(py::none());
            continue;
        }
        py::object parts = texts[py::slice(static_cast<py::ssize_t>(lists.offsets[g]),
                                           static_cast<py::ssize_t>(lists.offsets[g + 1]), 1)];
        joined.append(bar.attr("join")(unique_in_order(parts)));
    }
    return joined;
}

py::object PerSecond::resolved_native(const Feature& feature, kn::Resolution resolution,
                                      const std::vector<std::uint8_t>* concat_flags) const {
    const std::size_t n = seconds();
    RowArray rows = rows_with_untimed();
    {
        py::gil_scoped_release nogil;
        kn::resolve_rows(*feature.native, order_->groups(), resolution,
                         std::span<std::int64_t>(rows.mutable_data(), n));
    }
    auto row = rows.unchecked<1>();
    if (!concat_flags) {
        // pandas casts the reduced values back to the column's dtype where it
        // can; a boolean column whose every second came out missing is left
        // as float64.
        bool all_missing = n > 0;
        for (std::size_t g = 0; g < n && all_missing; ++g) all_missing = row(g) < 0;
        if (all_missing && feature.native->type == kn::ValueType::boolean) {
            return np_.attr("full")(output_rows(), np_.attr("nan"));
        }
        return take_(feature.values, rows, "allow_fill"_a = true);
    }
    // Joined texts mixed with single values: their dtype is what pandas
    // infers for the mixture (object, or text when every second is text).
    py::list joined = joined_distinct_values(feature, *concat_flags);
    py::list outcomes;
    py::object nan = np_.attr("nan");
    for (std::size_t g = 0; g < n; ++g) {
        if ((*concat_flags)[g]) {
            outcomes.append(joined[g]);
        } else if (row(g) >= 0) {
            PyObject* scalar = PySequence_GetItem(feature.values.ptr(), row(g));
            if (!scalar) throw py::error_already_set();
            outcomes.append(py::reinterpret_steal<py::object>(scalar));
        } else {
            outcomes.append(nan);
        }
    }
    py::object inferred = pd_.attr("Series")(outcomes).attr("array");
    RowArray per_second = rows_with_untimed();
    for (std::size_t g = 0; g < n; ++g) per_second.mutable_at(static_cast<py::ssize_t>(g)) = std::int64_t(g);
    // The array's own take: pandas 2.2's take() function warns on arrays of
    // the numpy-backed kind that Series(...).array gives here.
    return inferred.attr("take")(per_second, "allow_fill"_a = true);
}

py::object PerSecond::resolved(py::handle on_conflict, const ConflictFlags& flags, Columns base) const {
    std::vector<std::size_t> order;
    std::vector<std::size_t> conflicting;
    for (std::size_t i = 0; i < features_.size(); ++i) (any_set(flags[i]) ? conflicting : order).push_back(i);
    const kn::Resolution resolution = resolution_for(on_conflict);
    const bool concat = is_text(on_conflict, "concat");
    py::list labels;
    for (std::size_t i : conflicting) {
        const Feature& f = features_[i];
        if (f.native) {
            base.arrays[i] = resolved_native(f, resolution, concat ? &flags[i] : nullptr);
            base.block_row[i] = -1;
        } else {
            labels.append(f.label);
        }
    }
    if (!labels.empty()) {
        py::object reduced = pandas_frame()
                                 .attr("groupby")("_sec", "as_index"_a = false)[labels]
                                 .attr("agg")(series_reducer(m_, py::reinterpret_borrow<py::object>(on_conflict)));
        py::dict keys;
        keys["_sec"] = output_seconds();
        py::object merged =
            pd_.attr("DataFrame")(keys).attr("merge")(reduced, "on"_a = "_sec", "how"_a = "left");
        py::ssize_t j = 1;
        for (std::size_t i : conflicting) {
            if (!features_[i].native) {
                base.arrays[i] = merged.attr("iloc")[py::make_tuple(py::slice(), j++)].attr("array");
            }
        }
    }
    order.insert(order.end(), conflicting.begin(), conflicting.end());
    return table(order, base, py::none());
}

py::object PerSecond::table(const std::vector<std::size_t>& order, const Columns& columns, py::handle index) const {
    // The float64 columns come as one block, kept by the frame as it is; the
    // other columns are inserted at their places. Many of those would leave
    // the frame in fragments, so such frames are built column by column.
    constexpr std::size_t kMostInserted = 50;
    py::list block_labels;
    std::vector<py::ssize_t> block_rows;
    for (std::size_t i : order) {
        if (columns.block_row[i] >= 0) {
            block_labels.append(features_[i].label);
            block_rows.push_back(columns.block_row[i]);
        }
    }
    py::object frame;
    const std::size_t inserted = order.size() + 1 - block_rows.size();
    if (inserted <= kMostInserted) {
        py::object block = columns.block;
        if (block_rows.size() != static_cast<std::size_t>(columns.block.shape(0))) {
            block = block[py::array_t<py::ssize_t>(static_cast<py::ssize_t>(block_rows.size()), block_rows.data())];
        }
        frame = pd_.attr("DataFrame")(block.attr("T"), "columns"_a = block_labels, "copy"_a = false);
        frame.attr("insert")(0, time_col_, output_seconds());
        for (std::size_t position = 0; position < order.size(); ++position) {
            const std::size_t i = order[position];
            if (columns.block_row[i] < 0) {
                frame.attr("insert")(position + 1, features_[i].label, series_of(pd_, columns.arrays[i]));
            }
        }
    } else {
        py::dict data;
        data[time_col_] = output_seconds();
        for (std::size_t i : order) {
            data[features_[i].label] = columns.block_row[i] >= 0
                                           ? py::object(columns.block[py::int_(columns.block_row[i])])
                                           : series_of(pd_, columns.arrays[i]);
        }
        frame = pd_.attr("DataFrame")(data);
    }
    frame.attr("columns").attr("name") = df_.attr("columns").attr("name");
    if (!index.is_none()) frame.attr("index") = index;
    return frame;
}

bool any_conflict(const ConflictFlags& flags) { return std::any_of(flags.begin(), flags.end(), any_set); }

}  // namespace

py::object compress_by_second(const Module& m, py::object df, py::object time_col, py::object on_conflict,
                              py::object want_conflicts) {
    require_str(time_col, "time_col");
    require_str(on_conflict, "on_conflict");
    PerSecond frame(m, df, time_col);

    const bool first = is_text(on_conflict, "first");
    if (first || is_text(on_conflict, "last")) {
        const kn::End end = first ? kn::End::first : kn::End::last;
        const bool report = truthy(want_conflicts);
        std::optional<ConflictFlags> native;
        if (report) native = frame.native_flags();
        py::object out = frame.table(frame.all_features(), frame.picked(end, native ? &*native : nullptr),
                                     frame.index_of(end));
        py::object conflicts = py::none();
        if (report) conflicts = frame.conflict_report(frame.conflict_flags(std::move(*native)));
        return py::make_tuple(out, conflicts);
    }

    ConflictFlags native = frame.native_flags();
    Columns base = frame.picked(kn::End::last, &native);
    ConflictFlags flags = frame.conflict_flags(std::move(native));
    py::object conflicts = truthy(want_conflicts) ? frame.conflict_report(flags) : py::none();
    if (!any_conflict(flags)) {
        py::object out = frame.table(frame.all_features(), base, frame.index_of(kn::End::last));
        return py::make_tuple(out, conflicts);
    }
    return py::make_tuple(frame.resolved(on_conflict, flags, std::move(base)), conflicts);
}

}  // namespace algo::hi
