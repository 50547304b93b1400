// Scratch buffers of the mappings, kept by the caller so that a mapping run
// once per correction pass allocates nothing after its first date.
#pragma once

#include "position/crossing.hpp"

namespace kestrel::position {

struct Workspace {
    Vec blend;                 // blended scores of the top-N mapping
    Vec scratch;               // a normalised term of the blend
    std::vector<Index> order;  // visiting order / selection
    Vec key;                   // candidate sort keys
    Vec bound;                 // candidate floors or ceilings
    Vec room;                  // candidate room to move
    CrossingScratch crossing;
};

}  // namespace kestrel::position
