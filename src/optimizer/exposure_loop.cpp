#include "optimizer/exposure_loop.hpp"

#include <algorithm>
#include <limits>

#include "common/nonzero.hpp"
#include "signal/smoothing.hpp"

namespace kestrel::optimizer {

void smooth(CSpan model, std::optional<CSpan> pre_ema_value, double decay, Vec& out) {
    out.resize(model.size());
    if (pre_ema_value)
        signal::ema_step(model, *pre_ema_value, decay, out);
    else
        std::copy(model.begin(), model.end(), out.begin());
}

namespace {

// Exposures of `weight` to every risk name: over its holdings only when the
// skipped zero-weight terms are exactly 0.
void exposures_of(CSpan weight, DateBuffers& b, MSpan out) {
    if (!b.by_security.all_finite) {
        risk::exposures(b.by_security, weight, out);
        return;
    }
    num::nonzero(weight, b.holdings);
    risk::exposures_over(b.by_security, weight, b.holdings, out);
}

// Exposures of the date's weights. A trade scaled back to the turnover cap,
// pre + a (w - pre), holds the names of both rows, and a name it sells
// keeps part of its weight for dates: its exposures come from those of the
// two rows instead, the previous row's measured once per date, so that a
// pass costs what it costs without the cap. With the step deferred,
// calc_pos holds w until the date's end.
void measure(DateBuffers& b, CSpan pre_weight) {
    const double a = b.ws.turnover_scale;
    if (a == 1.0 || !b.by_security.all_finite) {
        exposures_of(b.calc_pos, b, b.hold_barra);
    } else {
        if (!b.have_pre_barra) {
            b.pre_barra.resize(b.by_security.k);
            exposures_of(pre_weight, b, b.pre_barra);
            b.have_pre_barra = true;
        }
        exposures_of(b.calc_pos, b, b.hold_barra);  // unscaled: the step is deferred while the loop runs
        for (std::size_t k = 0; k < b.by_security.k; ++k)
            b.hold_barra[k] = b.pre_barra[k] + a * (b.hold_barra[k] - b.pre_barra[k]);
    }
    for (std::size_t k = 0; k < b.by_security.k; ++k) b.expo[k] = b.hold_barra[k] - b.bench_barra[k];
}

// Shifts the scores against risk name k. A factor with no spread around the
// benchmark's exposure gives no direction to move in, so it is left out. The
// bias scaled by its spread depends only on the date's data, so it is
// computed once per date, the first time the name needs correcting.
KESTREL_HOT void correct(std::size_t k, double limit, double learning_rate, DateBuffers& b) {
    const risk::SecurityMajor& block = b.by_security;
    const std::size_t n = block.size();
    double* scaled = b.scaled_bias.data() + k * n;
    double& d = b.spread[k];
    if (std::isnan(d)) {
        const double bench = b.bench_barra[k];
        for (std::size_t i = 0; i < n; ++i) scaled[i] = block.of(i)[k] - bench;
        d = num::nan_mean_std(CSpan(scaled, n)).std;
        if (std::isnan(d)) d = 0.0;  // no spread either way; marks the name as seen
        if (d != 0.0 && std::isfinite(d))
            for (std::size_t i = 0; i < n; ++i) scaled[i] = scaled[i] / d;
    }
    if (d == 0.0 || !std::isfinite(d)) return;
    const double cur_expo = b.expo[k];
    const double direction = num::sign(cur_expo);
    const double sigmoid = 1.0 / (1.0 + std::exp(-std::abs(std::abs(cur_expo) - limit)));
    double* score = b.cur_model_value.data();
    for (std::size_t i = 0; i < n; ++i) {
        const double risk_punish = scaled[i] * direction * sigmoid;
        score[i] = score[i] - risk_punish * learning_rate;
    }
}

void fill_report(CSpan cur_bench, DateBuffers& b, LoopReport& report) {
    const CSpan pos(b.calc_pos);
    // Selected into a buffer, then summed: GCC 12 vectorises a sum whose
    // terms select from one array by another wrongly for AVX2 (-O3
    // -march=x86-64-v3), which a build for the local machine may use.
    b.bench_held.resize(pos.size());
    for (std::size_t i = 0; i < pos.size(); ++i) b.bench_held[i] = cur_bench[i] >= 0.00001 ? pos[i] : 0.0;
    report.bench_hold = num::sum(b.bench_held);
    report.hold_num = 0;
    for (double w : pos) report.hold_num += w >= 0.0001;
    report.total = num::sum(pos);
}

}  // namespace

void control_exposure(const position::DispatchParams& params, const LoopSettings& settings, CSpan arr_expo_threshold,
                      CSpan cur_bench, CSpan pre_weight, std::optional<CSpan> pre_ema_value,
                      const position::TradeLimits& limits, DateBuffers& b, LoopReport& report,
                      const std::function<void()>& between_passes) {
    const std::size_t nk = b.by_security.k;
    b.hold_barra.resize(nk);
    b.bench_barra.resize(nk);
    b.expo.resize(nk);
    b.spread.assign(nk, std::numeric_limits<double>::quiet_NaN());
    b.scaled_bias.resize(nk * b.by_security.size());
    // The benchmark side cannot change within a date.
    exposures_of(cur_bench, b, b.bench_barra);
    b.have_pre_barra = false;

    report = LoopReport{};
    bool settled = false;
    while (static_cast<double>(report.loop_count) < settings.max_loop_num) {
        ++report.loop_count;
        measure(b, pre_weight);
        if (!report.measured) {
            report.measured = true;
            report.first_expo = b.expo;
        }
        b.over_risk_idx.clear();
        for (std::size_t k = 0; k < nk; ++k)
            if (std::abs(b.expo[k]) > arr_expo_threshold[k]) b.over_risk_idx.push_back(static_cast<Index>(k));
        if (b.over_risk_idx.empty()) {
            settled = true;
            break;
        }
        if (between_passes) between_passes();

        for (Index k : b.over_risk_idx)
            correct(static_cast<std::size_t>(k), arr_expo_threshold[k], settings.learning_rate, b);
        if (pre_ema_value) {
            b.try_ema_value.resize(b.cur_model_value.size());
            signal::standardise_and_smooth(b.cur_model_value, *pre_ema_value, settings.decay, b.try_ema_value);
        } else {
            signal::standardise(b.cur_model_value, b.cur_model_value);
            smooth(b.cur_model_value, pre_ema_value, settings.decay, b.try_ema_value);
        }
        position::calc_current_position(params, {b.cur_model_value, b.try_ema_value, cur_bench, pre_weight}, b.ws,
                                        b.caps, b.calc_pos, limits);
    }
    if (report.measured) report.expo = b.expo;
    if (settings.measure_returned) {
        // A loop that settled has just measured the weights it returns.
        if (!settled) measure(b, pre_weight);
        report.returned_expo = b.expo;
    }
    if (b.ws.defer_turnover_step && b.ws.turnover_scale != 1.0)
        position::take_turnover_step(pre_weight, b.ws.turnover_scale, b.calc_pos);
    fill_report(cur_bench, b, report);
}

}  // namespace kestrel::optimizer
