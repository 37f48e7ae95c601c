#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.hpp"
#include "spatial/timeline.hpp"

namespace py = pybind11;

namespace halberin::spatial::python {

void register_timeline(py::module_& m) {
    py::class_<IntentTimeline>(m, "IntentTimeline")
        .def(py::init<std::size_t, std::int64_t>(), py::arg("capacity") = 240,
             py::arg("max_context_age_ns") = 2000000000)
        .def("push", &IntentTimeline::push)
        .def("latest", &IntentTimeline::latest)
        .def("submit_text", &IntentTimeline::submit_text, py::arg("text"), py::arg("timestamp_ns"));
}

}  // namespace halberin::spatial::python
