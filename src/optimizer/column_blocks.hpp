// Reading a row of the library at the universe's columns in whole blocks of
// eight, for the dates' factor rows and the trading blocks alike.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/numeric.hpp"

namespace kestrel::optimizer {

// Library columns 8 * block .. 8 * block + 7, of which `mask` marks the
// universe's.
struct ColumnBlock {
    std::uint32_t block;
    std::uint32_t mask;
};

// The whole blocks of eight of a row `width` wide that hold the first of the
// ascending columns `cols`, appended to `out`; returns how many columns they
// cover. 0 where a column is listed twice: it has two securities to store.
inline std::size_t plan_column_blocks(std::span<const Index> cols, std::size_t width, std::vector<ColumnBlock>& out) {
    if (std::adjacent_find(cols.begin(), cols.end()) != cols.end()) return 0;
    const std::size_t whole = width / 8;
    std::size_t covered = 0;
    for (; covered < cols.size(); ++covered) {
        const auto c = static_cast<std::size_t>(cols[covered]);
        const auto block = static_cast<std::uint32_t>(c / 8);
        if (block >= whole) break;
        if (out.empty() || out.back().block != block) out.push_back({block, 0});
        out.back().mask |= 1u << (c % 8);
    }
    return covered;
}

}  // namespace kestrel::optimizer
