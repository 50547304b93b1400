// A whole run over a score matrix: OptimizerTopM.gen_position.
#pragma once

#include "optimizer.hpp"

namespace kestrel::bind {

// Reads the settings from self.cfg, requests the library data (attached to
// self as barra_data and benchweight_data) and returns the T x N weights.
py::object gen_position(Optimizer& self, py::handle predict_values, py::handle univ_idx);

}  // namespace kestrel::bind
