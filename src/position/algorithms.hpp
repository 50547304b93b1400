// The five algorithms as one table: each is a choice of caps and of mapping,
// and that choice decides which settings it reads.
//
// The three mappings go by three names; this is where they meet:
//
//   Mapping::CappedFill  position::capped_fill  OptimizerTopM.MapValue2Position_MaxWeight
//   Mapping::Rebalance   position::rebalance    OptimizerTopM.MapValue2Position_MaxWeight_RiskCost
//   Mapping::TopNBlend   position::top_n_blend  OptimizerTopM.MapValue2Position
#pragma once

#include <array>
#include <string_view>

namespace kestrel::position {

enum class Algorithm { TopM, TopM2, TopKR, TopEqual, TopEqual2, Unknown };

enum class Caps {
    Proportional,  // max_weight_caps, sized by "weight_multi"
    Equal,         // equal_caps, sized by "each_single_weight"
    None,          // no caps; the mapping takes "num_long" instead
};

enum class Mapping { CappedFill, Rebalance, TopNBlend };

struct AlgorithmInfo {
    std::string_view name;  // as Python passes it, compared exactly
    Algorithm algorithm;
    Caps caps;
    Mapping mapping;
};

// In the fixed order of the public names.
inline constexpr std::array<AlgorithmInfo, 5> kAlgorithms{{
    {"TopM", Algorithm::TopM, Caps::Proportional, Mapping::Rebalance},
    {"TopM2", Algorithm::TopM2, Caps::Proportional, Mapping::CappedFill},
    {"TopKR", Algorithm::TopKR, Caps::None, Mapping::TopNBlend},
    {"TopEqual", Algorithm::TopEqual, Caps::Equal, Mapping::Rebalance},
    {"TopEqual2", Algorithm::TopEqual2, Caps::Equal, Mapping::CappedFill},
}};

static_assert(
    [] {
        for (std::size_t i = 0; i < kAlgorithms.size(); ++i)
            if (static_cast<std::size_t>(kAlgorithms[i].algorithm) != i) return false;
        return true;
    }(),
    "kAlgorithms is indexed by Algorithm");

// The entry of a known algorithm (not Unknown).
constexpr const AlgorithmInfo& info(Algorithm a) { return kAlgorithms[static_cast<std::size_t>(a)]; }

// The setting that sizes the caps (or, without caps, the number of names held).
constexpr const char* level_setting(Caps caps) {
    switch (caps) {
        case Caps::Proportional:
            return "weight_multi";
        case Caps::Equal:
            return "each_single_weight";
        case Caps::None:
            break;
    }
    return "num_long";
}

// Only the turnover-cost rebalance reads "risk_cost" and the raw scores.
constexpr bool reads_risk_cost(Mapping m) { return m == Mapping::Rebalance; }

// "max_weight" bounds the caps, so an algorithm without caps ignores it.
constexpr bool reads_max_weight(Caps caps) { return caps != Caps::None; }

}  // namespace kestrel::position
