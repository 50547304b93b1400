// Scratch buffers of the mappings, kept by the caller so that a mapping run
// once per correction pass allocates nothing after its first date.
#pragma once

#include "position/crossing.hpp"

namespace kestrel::position {

struct Workspace {
    Vec blend;                          // blended scores of the top-N mapping
    std::vector<Index> order;           // visiting order / selection
    std::vector<std::uint32_t> counts;  // values per bucket of the top-N edge search
    Vec edge;                           // values of the bucket holding that edge
    Vec key;                            // candidate sort keys
    Vec bound;                          // candidate floors or ceilings
    Vec room;                           // candidate room to move
    CrossingScratch crossing;
    // Within bounds: the blocked names' own caps while theirs are bounded,
    // the bounds' fixed names, and the weights the unbounded mapping gives,
    // to tell whether the bounds alone keep a date from its target.
    Vec saved_caps, unbounded;
    std::vector<std::uint8_t> fixed;
    // The turnover cap's step in the last dispatch: its weights are
    // pre + turnover_scale * (unscaled - pre); 1 where the trade was within
    // the cap.
    double turnover_scale = 1.0;
    // Set by a caller that measures the weights before the step and takes
    // it itself, once a date (take_turnover_step): a dispatch then leaves
    // its weights unscaled.
    bool defer_turnover_step = false;

    // The top-N blend's standardised benchmark and previous weights depend
    // on the date alone, so a run's date keeps them for all its passes.
    // date 0 (outside a run) keeps nothing.
    std::uint64_t date = 0, blend_terms_date = 0;
    Vec z_bench, z_pre;
    bool pre_in_blend = false;
    void begin_date() { ++date; }
};

}  // namespace kestrel::position
