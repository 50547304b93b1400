// Exposure control for one date: measure active exposures, push the scores
// away from the securities behind any exposure over its limit, standardise,
// smooth and map again, until all limits hold or max_loop_num measurements.
#pragma once

#include <functional>
#include <optional>

#include "position/dispatch.hpp"
#include "risk/exposure.hpp"

namespace kestrel::optimizer {

struct LoopSettings {
    double learning_rate = 0.1;
    double max_loop_num = 100;
    double decay = 1.0;
    // Also measure the weights returned when the loop gives up (its last
    // correction is mapped but not measured): one more product on such dates.
    bool measure_returned = false;
};

// What the report line of a date shows.
struct LoopReport {
    long loop_count = 0;
    bool measured = false;  // false when max_loop_num < 1: no exposures to show
    Vec first_expo;         // all K entries
    Vec expo;
    Vec returned_expo;  // of the weights returned; filled when measure_returned is set
    double bench_hold = 0.0;
    long hold_num = 0;
    double total = 0.0;
};

// Buffers of one date's work, reused from date to date.
struct DateBuffers {
    Vec cur_model_value, try_ema_value, calc_pos, caps;
    Vec hold_barra, bench_barra, expo;
    Vec pre_barra;  // holdings' exposures of the previous weights, once a capped trade needs them
    bool have_pre_barra = false;
    Vec spread;       // per risk name: deviation of its bias, NaN until needed
    Vec scaled_bias;  // K x n: (factor - benchmark exposure) / spread
    Vec bench_held;   // the date's weights in benchmark members, for the report
    risk::SecurityMajor by_security;
    std::vector<Index> holdings;
    std::vector<Index> over_risk_idx;
    position::Workspace ws;
};

// On entry b.by_security holds the date's factor block, and b.cur_model_value,
// b.try_ema_value and b.calc_pos hold the date's first pass; on return they
// hold its final values. pre_ema_value is the smoothed score the date came in
// with (nullopt before the first processed date). Every pass maps within
// `limits`, so the loop measures and corrects the weights as they may be
// traded. between_passes runs before every correction pass and may throw to
// abandon the date. With b.ws.defer_turnover_step, b.calc_pos comes in and
// stays unscaled through the passes, and the cap's step is taken on return.
void control_exposure(const position::DispatchParams& params, const LoopSettings& settings, CSpan arr_expo_threshold,
                      CSpan cur_bench, CSpan pre_weight, std::optional<CSpan> pre_ema_value,
                      const position::TradeLimits& limits, DateBuffers& b, LoopReport& report,
                      const std::function<void()>& between_passes = {});

// Smoothed score: model itself (copied) when there is no previous value.
void smooth(CSpan model, std::optional<CSpan> pre_ema_value, double decay, Vec& out);

}  // namespace kestrel::optimizer
