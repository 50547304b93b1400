#include "optimizer/driver.hpp"

#include <algorithm>
#include <limits>

#include "position/position_error.hpp"
#include "signal/smoothing.hpp"

namespace kestrel::optimizer {

namespace {

constexpr double kMax = std::numeric_limits<double>::max();

// NaN to 0 and infinities to the largest finite double of their sign.
double clamp_finite(double v) {
    if (std::isnan(v)) return 0.0;
    if (v == std::numeric_limits<double>::infinity()) return kMax;
    if (v == -std::numeric_limits<double>::infinity()) return -kMax;
    return v;
}

// One date's row of a library matrix at the universe's columns, cleaned.
// Deliberately not multiversioned: vector gather instructions are slow on
// many processors, plain loads are not.
void gather(const MatrixView& m, std::size_t row, const Index* cols, std::size_t n, double* out) {
    if (m.col_stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        // Views are aligned (unaligned data is converted before viewing).
        const double* r = reinterpret_cast<const double*>(m.base + static_cast<std::ptrdiff_t>(row) * m.row_stride);
        for (std::size_t i = 0; i < n; ++i) {
            const double v = r[cols[i]];
            const double c = v > kMax ? kMax : (v < -kMax ? -kMax : v);
            out[i] = v != v ? 0.0 : c;
        }
        return;
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = clamp_finite(m.at(row, static_cast<std::size_t>(cols[i])));
}

bool all_nan(CSpan x) {
    for (double v : x)
        if (!std::isnan(v)) return false;
    return true;
}

bool all_finite(CSpan x) {
    for (double v : x)
        if (!std::isfinite(v)) return false;
    return true;
}

}  // namespace

RunOutcome run_dates(const RunConfig& config, const RunData& data, MSpan weight_res, RunHooks& hooks) {
    const std::size_t t_rows = data.scores.rows;
    const std::size_t n = data.scores.cols;
    const std::size_t nk = data.barra.size();
    position::DispatchParams params = config.params;

    DateBuffers b;
    Vec zeros(n, 0.0), row(n), cur_bench(n), arr_barra(nk * n), pre_ema;
    bool have_pre_ema = false;
    RunOutcome outcome;
    LoopReport report;

    for (std::size_t bi = 0; bi < t_rows; ++bi) {
        const CSpan pre_weight = bi > 0 ? CSpan(weight_res.data() + (bi - 1) * n, n) : CSpan(zeros);
        const LoopReport* printed = nullptr;

        for (std::size_t i = 0; i < n; ++i) {
            const double v = data.scores.at(bi, i);
            row[i] = std::isfinite(v) ? v : 0.0;
        }
        gather(data.bench, bi, data.bench_cols.data(), n, cur_bench.data());
        const double bench_sum = num::sum(cur_bench);
        if (std::isnan(bench_sum) || bench_sum < 80.0) {
            hooks.date_done(bi, nullptr, params);
            continue;
        }
        for (double& w : cur_bench) w /= bench_sum;

        // Standardised per row, then once more as the date's vector.
        b.cur_model_value.resize(n);
        signal::standardise(row, b.cur_model_value);
        signal::standardise(b.cur_model_value, b.cur_model_value);
        if (all_nan(b.cur_model_value)) {
            outcome.empty_rows.push_back(bi);
            hooks.date_done(bi, nullptr, params);
            continue;
        }
        const std::optional<CSpan> pre_ema_value =
            have_pre_ema ? std::optional<CSpan>(CSpan(pre_ema)) : std::nullopt;
        smooth(b.cur_model_value, pre_ema_value, config.loop.decay, b.try_ema_value);

        for (std::size_t k = 0; k < nk; ++k) gather(data.barra[k], bi, data.barra_cols[k].data(), n, &arr_barra[k * n]);

        b.calc_pos.resize(n);
        try {
            position::calc_current_position(params, {b.cur_model_value, b.try_ema_value, cur_bench, pre_weight}, b.ws,
                                            b.caps, b.calc_pos);
            if (nk > 0) {
                const risk::FactorRows rows{arr_barra.data(), nk, n, n};
                control_exposure(params, config.loop, rows, config.arr_expo_threshold, cur_bench, pre_weight,
                                 pre_ema_value, b, report, [&hooks] { hooks.between_passes(); });
                if (config.print_result) printed = &report;
            }
        } catch (position::PositionError& e) {
            e.set_row(static_cast<std::ptrdiff_t>(bi));  // the mappings do not know the date
            throw;
        }

        if (all_finite(b.calc_pos)) {
            pre_ema.assign(b.try_ema_value.begin(), b.try_ema_value.end());
            have_pre_ema = true;
            std::copy(b.calc_pos.begin(), b.calc_pos.end(), weight_res.begin() + static_cast<std::ptrdiff_t>(bi * n));
        } else {
            outcome.empty_rows.push_back(bi);
        }
        hooks.date_done(bi, printed, params);
    }
    return outcome;
}

}  // namespace kestrel::optimizer
