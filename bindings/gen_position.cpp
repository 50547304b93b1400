// OptimizerTopM.gen_position: settings, risk names, data requests, then the
// date loop with the GIL released between the Python-facing moments of each date.
#include "gen_position.hpp"

#include "python_output.hpp"
#include "run_data.hpp"
#include "run_hooks.hpp"

namespace kestrel::bind {

py::object gen_position(Optimizer& self, py::handle predict_values, py::handle univ_idx) {
    PreparedRun run = prepare_run(self, predict_values, univ_idx);
    const optimizer::RunData& data = run.data;

    const auto t_rows = static_cast<py::ssize_t>(data.scores.rows);
    Array weight_res({t_rows, static_cast<py::ssize_t>(data.scores.cols)});
    std::fill(weight_res.mutable_data(), weight_res.mutable_data() + weight_res.size(), 0.0);

    ProgressBar bar(data.scores.rows);
    PythonHooks hooks(self, bar, run.config.print_result, run.risk.caller_count);
    const optimizer::RunOutcome outcome =
        run_dates_without_gil(run.config, data, span_of_mutable(weight_res), hooks, self.opt_name);
    bar.close();
    if (!outcome.empty_rows.empty()) warn_empty_dates(outcome.empty_rows);
    return weight_res;
}

}  // namespace kestrel::bind
