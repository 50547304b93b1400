#include "signal/smoothing.hpp"

namespace kestrel::signal {

KESTREL_HOT void ema_step(CSpan model, CSpan pre, double decay, MSpan out) {
    const double keep = 1.0 - decay;
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = model[i] * decay + pre[i] * keep;
}

Vec ema_matrix(CSpan values, std::size_t rows, std::size_t cols, double decay) {
    Vec out(values.begin(), values.end());
    for (std::size_t r = 1; r < rows; ++r) {
        MSpan row(out.data() + r * cols, cols);
        ema_step(CSpan(values.data() + r * cols, cols), CSpan(out.data() + (r - 1) * cols, cols), decay, row);
    }
    return out;
}

KESTREL_HOT void standardise(CSpan x, MSpan out) {
    const auto [mean, std] = num::nan_mean_std(x);
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = (x[i] - mean) / std;
}

KESTREL_HOT void standardise_and_smooth(MSpan x, CSpan pre, double decay, MSpan ema) {
    const auto [mean, std] = num::nan_mean_std(x);
    const double keep = 1.0 - decay;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double z = (x[i] - mean) / std;
        x[i] = z;
        ema[i] = z * decay + pre[i] * keep;
    }
}

Vec standardise_rows(CSpan values, std::size_t rows, std::size_t cols) {
    Vec out(values.size());
    for (std::size_t r = 0; r < rows; ++r)
        standardise(values.subspan(r * cols, cols), MSpan(out.data() + r * cols, cols));
    return out;
}

}  // namespace kestrel::signal
