#include <pybind11/pybind11.h>

#include "bindings.hpp"

namespace py = pybind11;
using namespace halberin::spatial::python;

// Multi-phase initialisation with the interpreter version check; one interpreter only.
PYBIND11_MODULE(_spatial, m, py::multiple_interpreters::not_supported()) {
    m.attr("__doc__") = "Host-neutral spatial intent values and host grounding pass";
    register_geometry(m);
    register_records(m);
    register_frame(m);
    register_timeline(m);
    register_resolve_target(m);
    register_encoding(m);
    register_reading(m);
}
