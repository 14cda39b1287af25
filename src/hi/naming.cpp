#include "naming.hpp"

#include <string>

namespace algo::hi {
namespace {

constexpr const char* kAxes[] = {"X", "Y", "Z"};
constexpr const char* kFailModes[] = {"Bearing", "Looseness", "Misalignment", "Imbalance", "Gear_mesh", "Van_Pass"};

// "Peak to Peak" -> "Peak_to_Peak".
std::string joined_by_underscores(std::string words) {
    for (char& c : words) {
        if (c == ' ') c = '_';
    }
    return words;
}

// "X-Peak to Peak" -> "X_Peak_to_Peak" for every axis.
void add_axis_measure(py::dict& mapping, const std::string& measure) {
    for (const char* axis : kAxes) {
        mapping[py::str(std::string(axis) + "-" + measure)] = std::string(axis) + "_" + joined_by_underscores(measure);
    }
}

void add_identity(py::dict& mapping, const char* name) { mapping[py::str(name)] = name; }

// The 60 raw labels of an export and their feature names, in export order.
py::dict raw_label_mapping() {
    py::dict mapping;
    mapping["Time"] = "_time";
    add_identity(mapping, "RPM");
    for (const char* measure : {"Overall", "Peak", "Peak to Peak", "Crest Factor"}) add_axis_measure(mapping, measure);
    for (const char* axis : kAxes) {
        for (int band = 1; band <= 10; ++band) {
            const std::string number = (band < 10 ? "0" : "") + std::to_string(band);
            mapping[py::str(std::string(axis) + "-Power in Band " + number)] =
                std::string(axis) + "_Power_in_Band_" + number;
        }
    }
    for (const char* mode : kFailModes) add_identity(mapping, mode);
    for (const char* mode : kFailModes) mapping[py::str(std::string(mode) + " %")] = std::string(mode) + "_percentage";
    add_identity(mapping, "Temperature");
    add_axis_measure(mapping, "Overall QC");
    return mapping;
}

}  // namespace

py::object rename_columns(const Module&, py::object df) {
    df.attr("columns") = df.attr("columns").attr("str").attr("strip")();
    return df.attr("rename")("columns"_a = raw_label_mapping(), "errors"_a = "ignore");
}

}  // namespace algo::hi
