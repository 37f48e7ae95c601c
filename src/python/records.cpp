#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "attributes.hpp"
#include "bindings.hpp"
#include "spatial/records.hpp"

namespace py = pybind11;

namespace halberin::spatial::python {

void register_records(py::module_& m) {
    py::enum_<TrackingConfidence>(m, "TrackingConfidence")
        .value("UNAVAILABLE", TrackingConfidence::UNAVAILABLE)
        .value("ORIENTATION_ONLY", TrackingConfidence::ORIENTATION_ONLY)
        .value("POSITION_AND_ORIENTATION", TrackingConfidence::POSITION_AND_ORIENTATION);

    py::enum_<PointingSource>(m, "PointingSource")
        .value("CONTROLLER", PointingSource::CONTROLLER)
        .value("HAND", PointingSource::HAND)
        .value("EYE_GAZE", PointingSource::EYE_GAZE)
        .value("HEAD", PointingSource::HEAD);

    py::class_<PointingIntent> pointing(m, "PointingIntent");
    pointing.def(py::init<>()).def_readwrite("ray", &PointingIntent::ray);
    def_enum_field(pointing, "source", &PointingIntent::source);
    def_enum_field(pointing, "confidence", &PointingIntent::confidence);

    py::class_<SelectState>(m, "SelectState")
        .def(py::init<>())
        .def_readwrite("pressed", &SelectState::pressed)
        .def_readwrite("changed", &SelectState::changed)
        .def_readwrite("last_change_time_ns", &SelectState::last_change_time_ns);

    py::class_<SpatialHit>(m, "SpatialHit")
        .def(py::init<>())
        .def_readwrite("position", &SpatialHit::position)
        .def_readwrite("normal", &SpatialHit::normal)
        .def_readwrite("host_id", &SpatialHit::host_id);

    py::class_<ReferenceSpace>(m, "ReferenceSpace")
        .def(py::init<>())
        .def_readwrite("type", &ReferenceSpace::type)
        .def_readwrite("id", &ReferenceSpace::id)
        .def_readwrite("generation", &ReferenceSpace::generation);

    py::class_<CapabilitySnapshot>(m, "CapabilitySnapshot")
        .def(py::init<>())
        .def_readwrite("head_pose", &CapabilitySnapshot::head_pose)
        .def_readwrite("action_input", &CapabilitySnapshot::action_input)
        .def_readwrite("hand_tracking", &CapabilitySnapshot::hand_tracking)
        .def_readwrite("hand_interaction", &CapabilitySnapshot::hand_interaction)
        .def_readwrite("eye_gaze", &CapabilitySnapshot::eye_gaze)
        .def_readwrite("enabled_extensions", &CapabilitySnapshot::enabled_extensions);
}

}  // namespace halberin::spatial::python
