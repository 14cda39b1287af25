#include "rows.hpp"

#include "core/kernels/bin_moments.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace algo::hi {

namespace {

namespace kn = kernels;
using compression::RowArray;

constexpr const char* kTimeFormat = "%Y-%m-%d %H:%M:%S";

// A column of the caller's frame: a float column the native steps keep, or
// plain text, which compression carries along and no later step keeps.
struct SourceColumn {
    py::object label;
    std::optional<kn::ValueType> type;  // float64 or float32; nothing for text
    py::object values;  // of a float column, as the frame holds them; None when not taken yet
};

// Text cells whose text form (str) cannot fail: what compression makes of
// text can then be left undone when no step keeps it.
bool plain_text_cells(py::handle column) {
    auto cells = column.attr("to_numpy")("dtype"_a = py::dtype("O")).cast<py::array>();
    auto* const* values = static_cast<PyObject* const*>(cells.data());
    for (py::ssize_t i = 0; i < cells.size(); ++i) {
        PyObject* cell = values[i];
        if (!PyUnicode_CheckExact(cell) && !PyFloat_CheckExact(cell) && !PyLong_CheckExact(cell) &&
            !PyBool_Check(cell) && cell != Py_None) {
            return false;
        }
    }
    return true;
}

// The caller's non-time columns when the native steps take them all.
std::optional<std::vector<SourceColumn>> source_columns(py::handle pd, py::handle df, py::handle time_col) {
    py::object columns = df.attr("columns");
    if (!truthy(columns.attr("is_unique")) || !contains(columns, time_col) || contains(columns, py::str("_sec"))) {
        return std::nullopt;
    }
    std::vector<SourceColumn> sources;
    py::list labels = columns.attr("tolist")();
    py::list dtypes = df.attr("dtypes").attr("tolist")();
    // Every column's array at once, where pandas offers it: taking 50 columns one by one by their labels
    // costs a one-hour batch a sixth of its scoring under pandas 3.
    py::list arrays = py::hasattr(df, "_iter_column_arrays") ? py::list(df.attr("_iter_column_arrays")()) : py::list();
    for (std::size_t j = 0; j < labels.size(); ++j) {
        py::object label = labels[j], dtype = dtypes[j];
        if (label.equal(time_col)) continue;
        const auto type = compression::kernel_type(dtype);
        if (type == kn::ValueType::float64 || type == kn::ValueType::float32) {
            const bool taken = arrays.size() == labels.size() && py::isinstance<py::array>(arrays[j]);
            sources.push_back({label, type, taken ? py::object(arrays[j]) : py::none()});
        } else if (compression::holds_text(pd, dtype) &&
                   (!py::isinstance<py::dtype>(dtype) || plain_text_cells(df[label]))) {
            sources.push_back({label, std::nullopt, py::none()});
        } else {
            return std::nullopt;
        }
    }
    return sources;
}

// values.take(rows, allow_fill=True) of a float column: missing where a row is -1.
template <class T>
void gather(const std::byte* source, std::ptrdiff_t stride, const std::int64_t* rows, std::size_t n, T* target) {
    for (std::size_t i = 0; i < n; ++i) {
        if (rows[i] < 0) {
            target[i] = std::numeric_limits<T>::quiet_NaN();
        } else {
            std::memcpy(target + i, source + rows[i] * stride, sizeof(T));
        }
    }
}

py::array gathered(const py::array& values, const RowArray& rows) {
    const auto n = static_cast<std::size_t>(rows.size());
    py::array out(values.dtype(), rows.size());
    const auto* source = static_cast<const std::byte*>(values.data());
    const std::ptrdiff_t stride = values.strides(0);
    const bool single = values.itemsize() == 4;
    void* target = out.mutable_data();
    py::gil_scoped_release nogil;
    if (single) {
        gather(source, stride, rows.data(), n, static_cast<float*>(target));
    } else {
        gather(source, stride, rows.data(), n, static_cast<double*>(target));
    }
    return out;
}

}  // namespace

struct Rows::Native {
    // One column of the compressed rows.
    struct Column {
        SourceColumn source;
        mutable std::optional<py::array> values;  // over the compressed rows, picked on first use
    };
    static constexpr int kTime = -1;

    py::object pd, compress, df, time_label;
    std::shared_ptr<const compression::TimeOrder> order;
    std::shared_ptr<const std::vector<Column>> columns;
    RowArray seconds;  // of the compressed rows
    // The columns in frame order: kTime or an index into `columns`; nothing
    // while the frame is the compressed one as it is.
    std::optional<std::vector<int>> selection;
    bool indexed = false;
    // Positions among the compressed rows, in order; nothing for all of them.
    std::shared_ptr<const std::vector<std::int64_t>> rows;

    std::vector<int> slots() const {
        if (selection) return *selection;
        std::vector<int> all{kTime};
        for (std::size_t i = 0; i < columns->size(); ++i) all.push_back(static_cast<int>(i));
        return all;
    }
    std::size_t length() const { return rows ? rows->size() : static_cast<std::size_t>(seconds.size()); }
    // Whether `time_col` is the selected columns' one compressed time column.
    bool holds_time(py::handle time_col) const {
        return !indexed && selection && time_label.equal(time_col) &&
               std::count(selection->begin(), selection->end(), kTime) == 1;
    }
    RowArray positions() const {
        if (rows) return RowArray(static_cast<py::ssize_t>(rows->size()), rows->data());
        RowArray all(seconds.size());
        for (py::ssize_t i = 0; i < all.size(); ++i) all.mutable_at(i) = i;
        return all;
    }
    // A column over the compressed rows: the caller's buffer when compression
    // changes nothing, the values picked from it otherwise.
    const py::array& compressed_values(const Column& column) const {
        if (!column.values) {
            py::array own = column.source.values.is_none()
                                ? py::array(df[column.source.label].attr("to_numpy")())
                                : py::array(column.source.values);
            if (order->identity()) {
                column.values = own;
            } else {
                const kn::TypedColumn typed{static_cast<const std::byte*>(own.data()), own.strides(0),
                                            *column.source.type};
                column.values = order->picked_values(typed, kn::End::last);
            }
        }
        return *column.values;
    }
    py::array values(const Column& column) const {
        const py::array& all = compressed_values(column);
        return rows ? gathered(all, positions()) : all;
    }
    py::object row_seconds() const {
        py::array all = seconds;
        return (rows ? gathered(all, positions()) : all).attr("view")("datetime64[s]");
    }
    std::optional<int> slot_of(py::handle label) const {
        if (label.equal(time_label)) return kTime;
        for (std::size_t i = 0; i < columns->size(); ++i) {
            if ((*columns)[i].source.label.equal(label)) return static_cast<int>(i);
        }
        return std::nullopt;
    }
    py::object label_of(int slot) const { return slot == kTime ? time_label : (*columns)[slot].source.label; }
    bool numeric(int slot) const { return slot != kTime && (*columns)[slot].source.type.has_value(); }

    py::object frame() const;
};

py::object Rows::Native::frame() const {
    if (!selection) return item(compress(df, time_label), 0);
    py::dict data;
    for (int slot : *selection) data[label_of(slot)] = slot == kTime ? row_seconds() : py::object(values((*columns)[slot]));
    py::object frame = pd.attr("DataFrame")(data);
    frame.attr("columns").attr("name") = df.attr("columns").attr("name");
    if (indexed) {
        frame.attr("index") = pd.attr("DatetimeIndex")(row_seconds(), "name"_a = time_label);
        return frame;
    }
    py::object index = df.attr("index").attr("take")(order->end_rows(kn::End::last));
    if (rows) {
        py::array_t<bool> kept(seconds.size());
        std::fill_n(kept.mutable_data(), kept.size(), false);
        for (std::int64_t position : *rows) kept.mutable_at(position) = true;
        index = index[kept];
    }
    frame.attr("index") = index;
    return frame;
}

Rows Rows::compressed(const Module& m, py::handle df, py::handle time_col, StageClock* clock) {
    auto enter = [&](const char* stage) {
        if (clock) clock->enter(stage);
    };
    py::object pd = m.global("pd");
    const bool own = m.owns("compress_by_second") && m.binds("pd", "pandas") && m.binds("np", "numpy") &&
                     PyUnicode_Check(time_col.ptr()) && py::isinstance(df, pd.attr("DataFrame"));
    auto sources = own ? source_columns(pd, df, time_col) : std::nullopt;
    if (!sources) {
        enter("compression");
        return Rows(item(m.call("compress_by_second", df, time_col), 0));
    }
    auto native = std::make_shared<Native>();
    native->pd = pd;
    native->compress = m.global("compress_by_second");
    native->df = py::reinterpret_borrow<py::object>(df);
    native->time_label = py::reinterpret_borrow<py::object>(time_col);
    enter("time parsing");
    native->order = std::make_shared<const compression::TimeOrder>(m, df[time_col]);
    enter("compression");
    native->seconds = native->order->output_seconds();
    auto columns = std::make_shared<std::vector<Native::Column>>();
    for (SourceColumn& source : *sources) columns->push_back({std::move(source), std::nullopt});
    native->columns = std::move(columns);
    return Rows(std::move(native));
}

Rows Rows::of(py::object frame) { return Rows(std::move(frame)); }

const py::object& Rows::frame() {
    if (native_) {
        frame_ = native_->frame();
        native_.reset();
    }
    return frame_;
}

std::size_t Rows::length() const { return native_ ? native_->length() : py::len(frame_); }

bool Rows::empty() const {
    if (!native_) return truthy(frame_.attr("empty"));
    std::size_t columns = native_->slots().size();
    if (native_->indexed) --columns;  // the time is the index
    return native_->length() == 0 || columns == 0;
}

py::list Rows::labels() const {
    if (!native_) return py::list(frame_.attr("columns"));
    py::list labels;
    for (int slot : native_->slots()) labels.append(native_->label_of(slot));
    return labels;
}

py::list Rows::numeric_labels(py::handle time_col) const {
    py::list labels;
    labels.append(time_col);
    if (!native_) {
        const py::object numeric = frame_.attr("select_dtypes")("include"_a = "number").attr("columns");
        for (py::handle label : numeric) labels.append(label);
        return labels;
    }
    for (int slot : native_->slots()) {
        if (native_->numeric(slot)) labels.append(native_->label_of(slot));
    }
    return labels;
}

void Rows::select(py::handle labels) {
    if (native_ && !native_->indexed) {
        std::vector<int> selection;
        bool found = true;
        for (py::handle label : labels) {
            const auto slot = native_->slot_of(label);
            found = found && slot && (*slot == Native::kTime || native_->numeric(*slot)) &&
                    std::find(selection.begin(), selection.end(), *slot) == selection.end();
            if (found) selection.push_back(*slot);
        }
        if (found) {
            auto next = std::make_shared<Native>(*native_);
            next->selection = std::move(selection);
            native_ = std::move(next);
            return;
        }
    }
    frame_ = frame()[labels];
}

void Rows::drop(py::handle labels) {
    if (native_ && native_->selection) {
        std::vector<int> selection;
        for (int slot : *native_->selection) {
            if (!contains(labels, native_->label_of(slot))) selection.push_back(slot);
        }
        auto next = std::make_shared<Native>(*native_);
        next->selection = std::move(selection);
        native_ = std::move(next);
        return;
    }
    frame_ = frame().attr("drop")("columns"_a = labels, "errors"_a = "ignore");
}

void Rows::parse_times(const Module& m, py::handle time_col) {
    // The compressed time column holds whole seconds as datetimes already,
    // which parsing leaves as they are.
    if (native_ && native_->holds_time(time_col)) return;
    py::object df = frame();
    py::object parsed = m.global("pd").attr("to_datetime")(df[time_col], "errors"_a = "coerce");
    // A frame of its own, so that the assignment never writes through to the
    // caller's data nor warns about it.
    df = df.attr("copy")("deep"_a = false);
    set_column(df, time_col, parsed);
    frame_ = df;
}

TimeSpan Rows::time_span(py::handle time_col) const {
    if (!native_ || native_->indexed || !native_->time_label.equal(time_col)) {
        py::object times = native_ ? native_->frame()[time_col] : frame_[time_col];
        return {times.attr("min")().attr("strftime")(kTimeFormat), times.attr("max")().attr("strftime")(kTimeFormat)};
    }
    // The compressed seconds are in order, the row without a time last.
    const RowArray positions = native_->positions();
    std::optional<std::int64_t> first, last;
    for (py::ssize_t i = 0; i < positions.size(); ++i) {
        const std::int64_t second = native_->seconds.at(positions.at(i));
        if (second == compression::kNoSecond) continue;
        if (!first) first = second;
        last = second;
    }
    py::object pd = native_->pd;
    auto stamp = [&](const std::optional<std::int64_t>& second) {
        py::object time = second ? pd.attr("Timestamp")(*second, "unit"_a = "s") : pd.attr("NaT");
        return time.attr("strftime")(kTimeFormat);
    };
    return {stamp(first), stamp(last)};
}

void Rows::index_by_time(py::handle time_col) {
    if (native_ && native_->holds_time(time_col)) {
        auto next = std::make_shared<Native>(*native_);
        std::erase(*next->selection, Native::kTime);
        next->indexed = true;
        if (next->order->untimed()) {
            const RowArray positions = next->positions();
            auto rows = std::make_shared<std::vector<std::int64_t>>();
            for (py::ssize_t i = 0; i < positions.size(); ++i) {
                if (next->seconds.at(positions.at(i)) != compression::kNoSecond) rows->push_back(positions.at(i));
            }
            next->rows = std::move(rows);
        }
        native_ = std::move(next);
        return;
    }
    py::list subset;
    subset.append(time_col);
    frame_ = frame().attr("dropna")("subset"_a = subset).attr("set_index")(time_col);
}

void Rows::keep(py::array_t<bool> keep) {
    if (native_ && static_cast<std::size_t>(keep.size()) == native_->length()) {
        const RowArray positions = native_->positions();
        auto rows = std::make_shared<std::vector<std::int64_t>>();
        for (py::ssize_t i = 0; i < positions.size(); ++i) {
            if (keep.at(i)) rows->push_back(positions.at(i));
        }
        auto next = std::make_shared<Native>(*native_);
        next->rows = std::move(rows);
        native_ = std::move(next);
        return;
    }
    frame_ = frame().attr("loc")[keep];
}

bool Rows::drop_thin_hours(std::size_t min_rows) {
    if (!native_ || !native_->indexed) return false;
    const RowArray positions = native_->positions();
    Int64Array times(positions.size());
    for (py::ssize_t i = 0; i < positions.size(); ++i) times.mutable_at(i) = native_->seconds.at(positions.at(i));
    std::vector<std::size_t> full;
    {
        py::gil_scoped_release nogil;
        full = kn::rows_of_full_bins(kn::cut_sorted_times(span_of(times), 3600), min_rows);
    }
    if (full.size() == positions.size()) return true;  // no hour is thin
    auto rows = std::make_shared<std::vector<std::int64_t>>();
    for (std::size_t i : full) rows->push_back(positions.at(static_cast<py::ssize_t>(i)));
    auto next = std::make_shared<Native>(*native_);
    next->rows = std::move(rows);
    native_ = std::move(next);
    return true;
}

std::optional<features::SortedRows> Rows::sorted_rows(const features::Names& names) const {
    if (!native_ || !native_->indexed) return std::nullopt;
    std::vector<int> slots;
    for (py::handle name : names.indicator) {
        const auto slot = native_->slot_of(name);
        if (!slot || *slot == Native::kTime || (*native_->columns)[*slot].source.type != kn::ValueType::float64 ||
            std::find(native_->selection->begin(), native_->selection->end(), *slot) == native_->selection->end()) {
            return std::nullopt;
        }
        slots.push_back(*slot);
    }
    py::object seconds = native_->row_seconds();
    features::SortedRows rows{as_int64s(seconds.attr("view")("int64")), seconds.attr("dtype"),
                              native_->time_label, {}};
    std::shared_ptr<const Native> native = native_;
    rows.column = [native, slots](std::size_t j) {
        return as_doubles(native->values((*native->columns)[slots[j]]));
    };
    return rows;
}

std::vector<Rows::Numeric> Rows::numeric_columns() const {
    std::vector<Numeric> columns;
    if (!native_) return columns;
    for (int slot : native_->slots()) {
        if (!native_->numeric(slot)) continue;
        const Native::Column& column = (*native_->columns)[slot];
        columns.push_back({column.source.label, as_doubles(native_->values(column)),
                           column.source.type == kn::ValueType::float64});
    }
    return columns;
}

}  // namespace algo::hi
