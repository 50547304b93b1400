// OptimizerTopM.gen_position: settings, risk names, data requests, then the
// date loop with the GIL released between the Python-facing moments of each date.
#include "gen_position.hpp"

#include "errors.hpp"
#include "python_output.hpp"
#include "risk_names.hpp"
#include "run_data.hpp"
#include "run_hooks.hpp"
#include "settings.hpp"

namespace kestrel::bind {

py::object gen_position(Optimizer& self, py::handle predict_values, py::handle univ_idx) {
    const position::Algorithm algorithm = algorithm_of(self.opt_name);
    const RawSettings raw = read_settings(self.cfg, algorithm);
    optimizer::RunConfig config = run_config(raw, algorithm, self.secu_pct);
    RiskNames risk = risk_names(raw.risk_factor_expo, raw.each_sector_expo);
    config.arr_expo_threshold = risk.limits;

    std::vector<py::object> keep;
    optimizer::RunData data;
    data.scores = score_view(predict_values, keep);
    const std::vector<Index> positions = column_positions(univ_idx, static_cast<py::ssize_t>(data.scores.cols));
    request_library_data(self, risk.names, positions, data, keep);

    const auto t_rows = static_cast<py::ssize_t>(data.scores.rows);
    Array weight_res({t_rows, static_cast<py::ssize_t>(data.scores.cols)});
    std::fill(weight_res.mutable_data(), weight_res.mutable_data() + weight_res.size(), 0.0);

    ProgressBar bar(data.scores.rows);
    PythonHooks hooks(self, bar, risk.caller_count);
    optimizer::RunOutcome outcome;
    try {
        outcome = run_dates_without_gil(config, data, span_of_mutable(weight_res), hooks, self.opt_name);
    } catch (const position::PositionError& e) {
        set_position_error(e, &config.params);  // the note names the settings behind the caps
        throw py::error_already_set();
    }
    bar.close();
    if (!outcome.empty_rows.empty()) warn_empty_dates(outcome.empty_rows);
    return weight_res;
}

}  // namespace kestrel::bind
