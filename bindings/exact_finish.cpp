#include "exact_finish.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "risk/exposure.hpp"

namespace kestrel::bind {

namespace {

// A limit kept within tolerance, after giving way by `excess` in units of
// `scale`: the limit itself, or for a limit of 0 the date's smallest positive
// limit (1 when every limit is 0).
double allowed(double limit, double excess, double scale, const FinishTolerance& tol) {
    return (limit + excess * scale) * (1.0 + tol.relative) + tol.absolute;
}

}  // namespace

bool over_tolerance(CSpan expo, CSpan limits, const FinishTolerance& tol) {
    for (std::size_t j = 0; j < expo.size(); ++j)
        if (std::abs(expo[j]) > allowed(limits[j], 0.0, 0.0, tol)) return true;
    return false;
}

ExactFinish::ExactFinish(py::object solver, CSpan limits, std::size_t n, const FinishTolerance& tol)
    : solver_(std::move(solver)), limits_(limits.begin(), limits.end()), tol_(tol) {
    const auto k = static_cast<py::ssize_t>(limits.size()), ni = static_cast<py::ssize_t>(n);
    limit_array_ = Array(k);
    std::copy(limits_.begin(), limits_.end(), limit_array_.mutable_data());
    for (Array* a : {&weights_, &lower_, &upper_, &pre_, &score_}) *a = Array(ni);
    factors_ = Array({ni, k});
    bench_expo_ = Array(k);
    candidate_.resize(n);
    check_.resize(limits.size());
}

namespace {

// Why a solver's row cannot replace the stored one; empty when it can.
std::string refusal(CSpan w, CSpan w0, CSpan lower, CSpan upper, CSpan expo, CSpan limits, const FinishOutcome& o,
                    CSpan pre, double max_turnover, const FinishTolerance& tol) {
    for (std::size_t i = 0; i < w.size(); ++i)
        if (!(w[i] >= lower[i] && w[i] <= upper[i])) return "weight " + std::to_string(i) + " outside its bounds";
    const double total = num::sum(w0);
    if (!(std::abs(num::sum(w) - total) <= 1e-9 * std::max(1.0, std::abs(total)))) return "total changed";
    const double excess = o.gave_way.find("limits") == std::string::npos ? 0.0 : o.excess;
    double smallest = std::numeric_limits<double>::infinity();
    for (double limit : limits)
        if (limit > 0.0) smallest = std::min(smallest, limit);
    if (!std::isfinite(smallest)) smallest = 1.0;
    for (std::size_t j = 0; j < expo.size(); ++j)
        if (!(std::abs(expo[j]) <= allowed(limits[j], excess, limits[j] > 0.0 ? limits[j] : smallest, tol)))
            return "exposure " + std::to_string(j) + " over its limit";
    if (!pre.empty() && std::isfinite(max_turnover) && o.gave_way.find("turnover") == std::string::npos) {
        double traded = 0.0;
        for (std::size_t i = 0; i < w.size(); ++i) traded += std::abs(w[i] - pre[i]);
        if (!(0.5 * traded <= allowed(max_turnover, 0.0, 0.0, tol))) return "turnover over its cap";
    }
    return {};
}

}  // namespace

FinishOutcome ExactFinish::repair(const optimizer::DateDetail& d, MSpan expo) {
    const std::size_t n = d.weights.size(), k = limits_.size();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    double* w0 = weights_.mutable_data();
    double* lower = lower_.mutable_data();
    double* upper = upper_.mutable_data();
    std::copy(d.weights.begin(), d.weights.end(), w0);
    if (!d.caps.empty()) {
        std::copy(d.caps.begin(), d.caps.end(), upper);
    } else {
        // A mapping without caps: max_weight where set, else the row's largest weight.
        const double top = d.params && d.params->max_weight > 0.0
                               ? d.params->max_weight
                               : (n ? *std::max_element(d.weights.begin(), d.weights.end()) : 0.0);
        std::fill(upper, upper + n, top);
    }
    std::fill(lower, lower + n, 0.0);
    if (!d.lower.empty()) {
        // Blocks: a name may not sell below its floor, even past its cap, nor buy past its ceiling.
        for (std::size_t i = 0; i < n; ++i) {
            lower[i] = d.lower[i];
            upper[i] = std::min(std::max(upper[i], lower[i]), d.upper[i]);
        }
    }
    double* f = factors_.mutable_data();
    for (std::size_t i = 0; i < n; ++i) std::copy_n(d.factors->of(i), k, f + i * k);
    std::copy(d.bench_expo.begin(), d.bench_expo.end(), bench_expo_.mutable_data());
    // A row traded from cash has no previous weights to keep near.
    const bool from_cash = d.pre_weight.empty() || num::sum(d.pre_weight) == 0.0;
    if (!from_cash) std::copy(d.pre_weight.begin(), d.pre_weight.end(), pre_.mutable_data());
    std::copy(d.score.begin(), d.score.end(), score_.mutable_data());
    const double cost =
        d.params && position::reads_risk_cost(position::info(d.params->algorithm).mapping) ? d.params->risk_cost : 0.0;
    const double cap = from_cash ? kInf : d.max_turnover;
    // Under a turnover cap the row may still hold a name above its weight cap,
    // partly sold from the previous row: keeping that is allowed, as selling
    // the rest would spend turnover the cap does not have.
    if (std::isfinite(cap))
        for (std::size_t i = 0; i < n; ++i) upper[i] = std::max(upper[i], w0[i]);

    FinishOutcome out;
    bool answered = false;
    {
        py::gil_scoped_acquire gil;
        try {
            const py::tuple res = solver_(weights_, lower_, upper_, factors_, bench_expo_, limit_array_,
                                          from_cash ? py::object(py::none()) : py::object(pre_), cap, score_, cost);
            if (res.size() != 4) throw py::value_error("the finish must return (weights, status, gave_way, excess)");
            out.status = py::str(res[1]);
            out.gave_way = py::str(res[2]);
            out.excess = res[3].cast<double>();
            if (!res[0].is_none()) {
                const Array w = as_vector(res[0], "the finish's weights", static_cast<py::ssize_t>(n));
                std::copy_n(w.data(), n, candidate_.data());
                answered = true;
            }
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;  // KeyboardInterrupt and the like end the run
            out = FinishOutcome{};
            out.status =
                "error: " + std::string(py::str(e.type().attr("__name__"))) + ": " + std::string(py::str(e.value()));
        } catch (const std::exception& e) {  // an answer of the wrong shape or type
            out = FinishOutcome{};
            out.status = std::string("error: ") + e.what();
        }
    }
    if (!answered) return out;
    risk::exposures(*d.factors, candidate_, check_);
    for (std::size_t j = 0; j < k; ++j) check_[j] -= d.bench_expo[j];
    const std::string why = refusal(candidate_, CSpan(w0, n), CSpan(lower, n), CSpan(upper, n), check_, limits_, out,
                                    from_cash ? CSpan() : CSpan(pre_.data(), n), cap, tol_);
    if (!why.empty()) {
        out.status = "refused (" + why + "): " + out.status;
        out.gave_way.clear();
        out.excess = 0.0;
        return out;
    }
    for (std::size_t i = 0; i < n; ++i) out.moved += std::abs(candidate_[i] - w0[i]);
    std::copy(candidate_.begin(), candidate_.end(), d.weights.begin());
    std::copy(check_.begin(), check_.end(), expo.begin());
    out.finished = true;
    return out;
}

}  // namespace kestrel::bind
