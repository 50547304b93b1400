// Per-date choice of caps and mapping by algorithm name.
#pragma once

#include <stdexcept>

#include "position/algorithms.hpp"
#include "position/bounds.hpp"
#include "position/workspace.hpp"

namespace kestrel::position {

// Dispatch with a name outside the five (changed after construction).
class UnknownAlgorithm : public std::runtime_error {
public:
    UnknownAlgorithm() : std::runtime_error("unknown algorithm name") {}
};

// The scalar settings of one dispatch; only the ones the algorithm reads
// need to be meaningful.
struct DispatchParams {
    Algorithm algorithm = Algorithm::TopM;
    double secu_pct = 1.0;
    double weight_multi = 0.0;
    Index num_long = 0;
    double risk_cost = 0.0;
    double each_single_weight = 0.0;
    double bench_coeff = 0.0;
    double pre_coeff = 0.0;
    double max_weight = -1.0;
};

struct DateVectors {
    CSpan cur_model_value;
    CSpan try_ema_value;
    CSpan cur_bench;
    CSpan pre_weight;
};

// Writes the date's weights into out; caps is scratch of n (left holding the
// caps for the capped algorithms, before any bounds). Within `limits` the
// mapping honours the bounds and its trade from v.pre_weight is then scaled
// back to the turnover cap (ws.turnover_scale tells how; with
// ws.defer_turnover_step the weights are left unscaled, for the caller).
void calc_current_position(const DispatchParams& p, const DateVectors& v, Workspace& ws, Vec& caps, MSpan out,
                           const TradeLimits& limits = {});

}  // namespace kestrel::position
