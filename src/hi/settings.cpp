#include "settings.hpp"

#include <initializer_list>
#include <string>
#include <utility>

namespace algo::hi::config {

namespace {

template <class Choice>
Choice choice_of(const std::string& field, std::initializer_list<std::pair<const char*, Choice>> codes,
                 Choice other) {
    for (const auto& [code, choice] : codes) {
        if (field == code) return choice;
    }
    return other;
}

}  // namespace

Settings Settings::parse(py::handle algo_config) {
    py::list stripped;
    for (py::handle piece : algo_config.attr("split")(",")) stripped.append(piece.attr("strip")());
    const auto fields = unpack<8>(stripped);
    auto field = [&](std::size_t i) { return text(fields[i]); };
    return {
        choice_of(field(0), {{"0", TimeScale::minute}, {"1", TimeScale::hour}}, TimeScale::other),
        choice_of(field(1), {{"1", Switch::on}}, Switch::off),
        choice_of(field(2), {{"1", Switch::on}}, Switch::off),
        choice_of(field(3), {{"1", Families::all}, {"2", Families::without_failure_modes},
                             {"3", Families::frequency_bands}}, Families::other),
        choice_of(field(4), {{"1", Scaling::none}, {"2", Scaling::standard}, {"3", Scaling::min_max}},
                  Scaling::other),
        choice_of(field(5), {{"1", Model::pca}}, Model::other),
        choice_of(field(6), {{"1", Deadline::mean_12_sd}, {"2", Deadline::warning_line}}, Deadline::other),
        choice_of(field(7), {{"1", Features::time_bins}, {"2", Features::rolling_120},
                             {"3", Features::rolling_3600}, {"4", Features::rolling_60}}, Features::other),
    };
}

}  // namespace algo::hi::config
