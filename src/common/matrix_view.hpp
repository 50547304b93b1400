// Read-only view of a float64 matrix owned elsewhere (a numpy array of any
// layout), addressed through byte strides so nothing is copied.
#pragma once

#include <cstddef>
#include <cstring>

namespace kestrel {

struct MatrixView {
    const char* base = nullptr;
    std::ptrdiff_t row_stride = 0;  // bytes
    std::ptrdiff_t col_stride = 0;  // bytes
    std::size_t rows = 0;
    std::size_t cols = 0;

    // Callers check bounds once per run; the element may be unaligned only if
    // the owner says so, in which case it was converted before viewing.
    double at(std::size_t r, std::size_t c) const {
        double v;
        std::memcpy(&v,
                    base + static_cast<std::ptrdiff_t>(r) * row_stride + static_cast<std::ptrdiff_t>(c) * col_stride,
                    sizeof v);
        return v;
    }
};

}  // namespace kestrel
