// Names a date may not buy or sell, read date by date from dates x columns
// matrices of flags (data library fields, or the caller's arrays): 1 blocked,
// 0 or NaN not. A source's row is read at the universe's columns in
// ascending order, eight columns at a time where it is contiguous, so that
// its reads go front to back as the factor rows' do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/matrix_view.hpp"
#include "common/numeric.hpp"
#include "optimizer/column_blocks.hpp"

namespace kestrel::optimizer {

struct BlockSource {
    // float64 flags; with `bytes` one byte an element (a bool array), where
    // non-zero is blocked. Strides and columns as in any MatrixView.
    MatrixView values;
    bool bytes = false;
    bool integers = false;           // converted from integers: a bad value is shown as one
    std::vector<Index> cols;         // the universe's N columns in `values`, checked
    bool buy = false, sell = false;  // the sides it blocks
    std::string name;                // in errors: "no_buy: data library field 'suspended'"
};

// A date's flags from every source.
class BlockReader {
public:
    BlockReader(const std::vector<BlockSource>& sources, std::size_t n);

    // Row bi's flags, each side the OR of its sources, into buy and sell (n
    // bytes each, 0 or 1), and the names they block into buy_names(),
    // sell_names() and either_names(), ascending. A value at the universe's
    // columns that is neither 0, 1 nor NaN throws std::invalid_argument
    // naming the source, the row and the column.
    void read(std::size_t bi, std::uint8_t* buy, std::uint8_t* sell);

    const std::vector<Index>& buy_names() const { return buy_names_; }
    const std::vector<Index>& sell_names() const { return sell_names_; }
    const std::vector<Index>& either_names() const { return either_names_; }

private:
    // How a source's row is read: its universe columns ascending, with the
    // member at each; where no column is listed twice, the whole blocks of
    // eight among them, which cover the first `tiled` of them.
    struct Plan {
        std::vector<Index> cols, members;
        std::vector<ColumnBlock> blocks;
        std::size_t tiled = 0;
        std::size_t width = 0;     // of the sources it serves
        std::vector<Index> given;  // their columns, as given
    };
    void read_source(const BlockSource& s, const Plan& p, std::size_t bi);
    [[noreturn]] void refuse(const BlockSource& s, const Plan& p, std::size_t bi) const;

    const std::vector<BlockSource>& sources_;
    std::size_t n_;
    std::vector<Plan> plans_;
    std::vector<std::size_t> plan_of_;  // per source
    std::vector<Index> hit_;            // the members blocked by the source being read
    // The row's blocked names as bits (64 a word), listed in order from them.
    std::vector<std::uint64_t> buy_bits_, sell_bits_;
    std::vector<Index> buy_names_, sell_names_, either_names_;
};

}  // namespace kestrel::optimizer
