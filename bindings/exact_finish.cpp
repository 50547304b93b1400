#include "exact_finish.hpp"

#include <algorithm>
#include <cmath>

#include "risk/exposure.hpp"

namespace kestrel::bind {

bool over_tolerance(CSpan expo, CSpan limits) {
    for (std::size_t j = 0; j < expo.size(); ++j)
        if (std::abs(expo[j]) > limits[j] * (1.0 + kFinishTolerance)) return true;
    return false;
}

ExactFinish::ExactFinish(py::object solver, CSpan limits, std::size_t n) : limits_(limits.begin(), limits.end()) {
    const auto k = static_cast<py::ssize_t>(limits.size()), ni = static_cast<py::ssize_t>(n);
    solver_ = solver.is_none() ? py::module_::import("kestrel_tools.finish").attr("Finisher")() : std::move(solver);
    limit_array_ = Array(k);
    std::copy(limits_.begin(), limits_.end(), limit_array_.mutable_data());
    weights_ = Array(ni);
    caps_ = Array(ni);
    factors_ = Array({ni, k});
    expo_ = Array(k);
    candidate_.resize(n);
    check_.resize(limits.size());
}

namespace {

// Why a solver's row cannot replace the stored one; empty when it can.
std::string refusal(CSpan w, CSpan w0, CSpan caps, CSpan expo, CSpan limits) {
    for (std::size_t i = 0; i < w.size(); ++i)
        if (!(w[i] >= 0.0 && w[i] <= caps[i])) return "weight " + std::to_string(i) + " outside [0, cap]";
    const double total = num::sum(w0);
    if (!(std::abs(num::sum(w) - total) <= 1e-9 * std::max(1.0, std::abs(total)))) return "total changed";
    for (std::size_t j = 0; j < expo.size(); ++j)
        if (!(std::abs(expo[j]) <= limits[j] * (1.0 + kFinishTolerance)))
            return "exposure " + std::to_string(j) + " over its limit";
    return {};
}

}  // namespace

FinishOutcome ExactFinish::repair(const optimizer::DateDetail& d, MSpan expo) {
    const std::size_t n = d.weights.size(), k = limits_.size();
    double* w0 = weights_.mutable_data();
    double* caps = caps_.mutable_data();
    std::copy(d.weights.begin(), d.weights.end(), w0);
    if (!d.caps.empty()) {
        std::copy(d.caps.begin(), d.caps.end(), caps);
    } else {
        // A mapping without caps: max_weight where set, else the row's largest weight.
        const double top = d.params && d.params->max_weight > 0.0
                               ? d.params->max_weight
                               : (n ? *std::max_element(d.weights.begin(), d.weights.end()) : 0.0);
        std::fill(caps, caps + n, top);
    }
    double* f = factors_.mutable_data();
    for (std::size_t i = 0; i < n; ++i) std::copy_n(d.factors->of(i), k, f + i * k);
    std::copy(d.expo.begin(), d.expo.end(), expo_.mutable_data());

    FinishOutcome out;
    bool answered = false;
    {
        py::gil_scoped_acquire gil;
        try {
            const py::tuple res = solver_(weights_, caps_, factors_, expo_, limit_array_);
            out.status = py::str(res[1]);
            if (!res[0].is_none()) {
                const Array w = as_vector(res[0], "the finish's weights", static_cast<py::ssize_t>(n));
                std::copy_n(w.data(), n, candidate_.data());
                answered = true;
            }
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;  // KeyboardInterrupt and the like end the run
            out.status =
                "error: " + std::string(py::str(e.type().attr("__name__"))) + ": " + std::string(py::str(e.value()));
        } catch (const std::exception& e) {  // an answer of the wrong shape or type
            out.status = std::string("error: ") + e.what();
        }
    }
    if (!answered) return out;
    risk::exposures(*d.factors, candidate_, check_);
    for (std::size_t j = 0; j < k; ++j) check_[j] -= d.bench_expo[j];
    const std::string why = refusal(candidate_, CSpan(w0, n), CSpan(caps, n), check_, limits_);
    if (!why.empty()) {
        out.status = "refused (" + why + "): " + out.status;
        return out;
    }
    for (std::size_t i = 0; i < n; ++i) out.moved += std::abs(candidate_[i] - w0[i]);
    std::copy(candidate_.begin(), candidate_.end(), d.weights.begin());
    std::copy(check_.begin(), check_.end(), expo.begin());
    out.finished = true;
    return out;
}

}  // namespace kestrel::bind
