// The RUL extension module: its globals, `__all__` and exported functions.
#include "core/function.hpp"
#include "core/module_frame.hpp"
#include "forecast.hpp"

namespace algo::rul {
namespace {

constexpr FunctionDef kFunctions[] = {
    def<&rul_model>("rul_model", "(train, max_RUL, deadline)", nullptr),
    def<&death_probability>("death_probability", "(predict, UCL, LCL, deadline)",
                            "使用 predict 與 deadline 的距離，並用 UCL-LCL 作為不確定性寬度，\n"
                            "計算死亡風險。\n"
                            "前提：\n"
                            "- HI 越低代表越差\n"
                            "- HI <= deadline 視為死亡 / 失效\n"
                            "- UCL / LCL 已經被限制在 0~100"),
    def<&rul_calculation>("rul_calculation", "(tsquare_df, dictionary, score_tightness)", nullptr),
};

void populate(py::module_ m) {
    m.attr("pd") = import_module("pandas");
    m.attr("np") = import_module("numpy");
    py::object plt = import_module("matplotlib.pyplot");
    m.attr("plt") = plt;
    m.attr("HI") = import_from("algo.HI", "HI");
    m.attr("os") = import_module("os");
    m.attr("ARIMA") = import_from("statsmodels.tsa.arima.model", "ARIMA");
    m.attr("__all__") = py::list(py::make_tuple("rul_model", "rul_calculation"));
    // A sans-serif font able to show Chinese labels, for hosts that plot the
    // results.
    plt.attr("rcParams")["font.sans-serif"] = py::list(py::make_tuple("Microsoft YaHei"));
    add_functions(m, "algo/RUL/RUL.py", kFunctions);
}

ModuleFrame frame{"RUL", "algo.RUL.RUL", "Remaining useful life: ARIMA forecast of the health index.", &populate};

}  // namespace
}  // namespace algo::rul

PyMODINIT_FUNC PyInit_RUL() { return PyModuleDef_Init(&algo::ModuleDefinition<algo::rul::frame>::definition); }
