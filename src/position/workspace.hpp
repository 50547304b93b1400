// Scratch buffers of the mappings, kept by the caller so that a mapping run
// once per correction pass allocates nothing after its first date.
#pragma once

#include "common/numeric.hpp"

namespace kestrel::position {

struct Workspace {
    Vec blend;                 // blended scores of the top-N mapping
    Vec scratch;               // a normalised term of the blend
    std::vector<Index> order;  // visiting order / selection
    std::vector<Index> idx;    // candidate indices
    Vec key;                   // candidate sort keys
    Vec bound;                 // candidate floors or ceilings
};

}  // namespace kestrel::position
