#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.hpp"
#include "spatial/frame.hpp"

namespace py = pybind11;

namespace halberin::spatial::python {

namespace {

// Grounds a copy of `frame` through the host's raycast. The input is read before the
// callback only: whatever the callback does to it cannot reach the result.
SpatialIntentFrame resolve_target(const SpatialIntentFrame& frame, const py::function& raycast) {
    SpatialIntentFrame result = frame;
    result.target.reset();
    if (!frame.pointing) {
        return result;
    }
    py::object hit = raycast(frame.pointing->ray);
    if (!hit.is_none()) {
        result.target = hit.cast<SpatialHit>();
    }
    return result;
}

}  // namespace

void register_resolve_target(py::module_& m) {
    m.def("resolve_target", &resolve_target, "Ground a copied frame using a host Python callback.",
          py::arg("frame"), py::arg("raycast"));
}

}  // namespace halberin::spatial::python
