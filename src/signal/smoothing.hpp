// Exponential smoothing and standardisation of scores.
#pragma once

#include "common/numeric.hpp"

namespace kestrel::signal {

// One smoothing step: out = model * decay + pre * (1 - decay). out may alias model.
void ema_step(CSpan model, CSpan pre, double decay, MSpan out);

// Whole-matrix smoothing of a row-major rows x cols matrix, row 0 copied.
Vec ema_matrix(CSpan values, std::size_t rows, std::size_t cols, double decay);

// out = (x - mean) / std with NaN-ignoring statistics over all of x. out may alias x.
void standardise(CSpan x, MSpan out);

// standardise(x, x), then ema_step(x, pre, decay, ema), in one sweep.
void standardise_and_smooth(MSpan x, CSpan pre, double decay, MSpan ema);

// Row-by-row standardisation of a row-major rows x cols matrix.
Vec standardise_rows(CSpan values, std::size_t rows, std::size_t cols);

}  // namespace kestrel::signal
