#include "codebook.hpp"

#include <string>

namespace algo::hi {
namespace {

// Back-end time-domain types and the measures they stand for.
py::dict time_domain_name_map() {
    py::dict map;
    map["overall_rms"] = "Overall";
    map["peak"] = "Peak";
    map["peak_to_peak"] = "Peak_to_Peak";
    map["crest_factor"] = "Crest_Factor";
    return map;
}

// Back-end failure-mode types and the indicator columns they stand for. The
// back end spells the vane-pass type with a capital V.
py::dict fail_mode_name_map() {
    py::dict map;
    map["bearing"] = "Bearing";
    map["looseness"] = "Looseness";
    map["misalignment"] = "Misalignment";
    map["imbalance"] = "Imbalance";
    map["gear_mesh"] = "Gear_mesh";
    map["Van_pass"] = "Van_Pass";
    return map;
}

// `target &= mask`, with the in-place operator the way Python applies it.
void and_into(py::object& target, py::handle mask) {
    PyObject* r = PyNumber_InPlaceAnd(target.ptr(), mask.ptr());
    if (!r) throw py::error_already_set();
    target = py::reinterpret_steal<py::object>(r);
}

py::dict limits_of(py::handle item) {
    py::dict limits;
    limits["min"] = item.attr("get")("min");
    limits["max"] = item.attr("get")("max");
    return limits;
}

// result[axis_name + "_" + measure] for every item of one list of an axis record.
template <class Measure>
void add_axis_items(py::dict& result, py::handle axis_name, py::handle items, Measure measure_of) {
    py::str underscore("_");
    for (py::handle item : items) {
        py::object measure = measure_of(item[py::str("type")]);
        result[axis_name + underscore + measure] = limits_of(item);
    }
}

}  // namespace

py::object feature_threshold_mapping(const Module&, py::object config_data) {
    py::dict result;
    py::dict time_domain = time_domain_name_map();
    py::dict fail_modes = fail_mode_name_map();
    py::object config = config_data[py::str("config")];
    py::object axis_config = config[py::str("axis")];
    py::list no_items;
    for (py::handle entry : axis_config.attr("items")()) {
        py::object axis_name = entry[py::int_(0)];
        py::object axis_data = entry[py::int_(1)];
        add_axis_items(result, axis_name, axis_data.attr("get")("time_domain", no_items),
                       [&](py::object raw_type) { return time_domain.attr("get")(raw_type, raw_type); });
        add_axis_items(result, axis_name, axis_data.attr("get")("power_in_band", no_items),
                       [](py::object raw_type) { return raw_type.attr("replace")("in_band", "in_Band"); });
    }
    for (py::handle item : config.attr("get")("fail_mode_thresholds", no_items)) {
        py::object raw_type = item[py::str("type")];
        result[fail_modes.attr("get")(raw_type, raw_type)] = limits_of(item);
    }
    return result;
}

py::object codebook_df_filter(const Module& m, py::object df, py::object threshold_map, py::object control,
                              py::object verbose) {
    const bool check_max = is_text(control, "all");
    if (!check_max && !is_text(control, "min")) raise(PyExc_ValueError, "control 只允許 'all' 或 'min'");
    py::object pd = m.global("pd");
    py::object index = df.attr("index");
    py::object mask = pd.attr("Series")(true, "index"_a = index);
    for (py::handle entry : threshold_map.attr("items")()) {
        py::object col = entry[py::int_(0)];
        py::object limit = entry[py::int_(1)];
        if (!truthy(df.attr("columns").attr("__contains__")(col))) {
            if (truthy(verbose)) print_line("[跳過] df中沒有欄位: " + text(col));
            continue;
        }
        py::object min_val = limit.attr("get")("min");
        py::object max_val = limit.attr("get")("max");
        py::object col_mask = pd.attr("Series")(true, "index"_a = index);
        if (!min_val.is_none()) and_into(col_mask, ge(df[col], min_val));
        if (check_max && !max_val.is_none()) and_into(col_mask, le(df[col], max_val));
        and_into(mask, col_mask);
        if (truthy(verbose)) {
            const std::string removed = text((~col_mask).attr("sum")());
            if (check_max) {
                print_line("[卡控] " + text(col) + ": min=" + text(min_val) + ", max=" + text(max_val) + ", 超限筆數=" + removed);
            } else {
                print_line("[卡控下限] " + text(col) + ": min=" + text(min_val) + ", 小於下限筆數=" + removed);
            }
        }
    }
    py::object df_filtered = df.attr("loc")[mask].attr("copy")();
    py::object df_removed = df.attr("loc")[~mask].attr("copy")();
    if (truthy(verbose)) {
        print_line("原始筆數: " + std::to_string(py::len(df)));
        print_line("保留筆數: " + std::to_string(py::len(df_filtered)));
        print_line("刪除筆數: " + std::to_string(py::len(df_removed)));
    }
    return py::make_tuple(df_filtered, df_removed);
}

}  // namespace algo::hi
