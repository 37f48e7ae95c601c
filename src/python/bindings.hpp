// Registration functions of the module body, one per subsystem, called in a fixed order.
#pragma once

#include <pybind11/pybind11.h>

namespace halberin::spatial::python {

void register_geometry(pybind11::module_& m);
void register_records(pybind11::module_& m);
void register_frame(pybind11::module_& m);
void register_timeline(pybind11::module_& m);
void register_resolve_target(pybind11::module_& m);
void register_encoding(pybind11::module_& m);
void register_reading(pybind11::module_& m);

}  // namespace halberin::spatial::python
