// The one use of pybind11's internals (py::detail), kept here so that a new
// pybind11 major version has a single place to check.
#include "optimizer.hpp"

namespace kestrel::bind {

// An instance made by OptimizerTopM.__new__ alone has no C++ state: pybind11
// would hand out unconstructed storage, so every access to the state goes
// through this check first.
Optimizer* initialised_state(py::handle self) {
    py::detail::type_info* info = py::detail::get_type_info(typeid(Optimizer));
    if (!info || !PyObject_TypeCheck(self.ptr(), info->type)) return nullptr;
    auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
    py::detail::value_and_holder v_h = inst->get_value_and_holder(info, false);
    if (v_h.inst == nullptr || !v_h.holder_constructed()) return nullptr;
    return v_h.value_ptr<Optimizer>();
}

}  // namespace kestrel::bind
