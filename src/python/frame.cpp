#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "attributes.hpp"
#include "bindings.hpp"
#include "spatial/frame.hpp"

namespace py = pybind11;

namespace halberin::spatial::python {

void register_frame(py::module_& m) {
    using F = SpatialIntentFrame;
    py::class_<F> frame(m, "SpatialIntentFrame");
    frame.def(py::init<>())
        .def_readwrite("timestamp_ns", &F::timestamp_ns)
        .def_readwrite("timestamp_domain", &F::timestamp_domain)
        .def_readwrite("reference_space", &F::reference_space)
        .def_readwrite("head_pose", &F::head_pose);
    def_enum_field(frame, "head_tracking", &F::head_tracking);
    def_optional_record(frame, "pointing", &F::pointing);
    def_optional_record(frame, "primary_select", &F::primary_select);
    def_optional_record(frame, "left_hand_pose", &F::left_hand_pose);
    def_optional_record(frame, "right_hand_pose", &F::right_hand_pose);
    def_optional_record(frame, "gaze_ray", &F::gaze_ray);
    def_optional_record(frame, "target", &F::target);
    frame.def_readwrite("capabilities", &F::capabilities);

    using E = ContextualIntentEvent;
    py::class_<E>(m, "ContextualIntentEvent")
        .def_readonly("timestamp_ns", &E::timestamp_ns)
        .def_readonly("text", &E::text)
        .def_readonly("spatial_context", &E::spatial_context)
        .def_readonly("spatial_age_ns", &E::spatial_age_ns);
}

}  // namespace halberin::spatial::python
