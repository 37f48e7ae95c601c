#include <pybind11/pybind11.h>

#include "bindings.hpp"
#include "spatial/geometry.hpp"

namespace py = pybind11;

namespace halberin::spatial::python {

void register_geometry(py::module_& m) {
    py::class_<Vec3>(m, "Vec3")
        .def(py::init<>())
        .def(py::init<double, double, double>())
        .def_readwrite("x", &Vec3::x)
        .def_readwrite("y", &Vec3::y)
        .def_readwrite("z", &Vec3::z);

    py::class_<Quaternion>(m, "Quaternion")
        .def(py::init<>())
        .def(py::init<double, double, double, double>())
        .def_readwrite("x", &Quaternion::x)
        .def_readwrite("y", &Quaternion::y)
        .def_readwrite("z", &Quaternion::z)
        .def_readwrite("w", &Quaternion::w);

    py::class_<Pose>(m, "Pose")
        .def(py::init<>())
        .def_readwrite("position", &Pose::position)
        .def_readwrite("orientation", &Pose::orientation);

    py::class_<Ray>(m, "Ray")
        .def(py::init<>())
        .def(py::init<Vec3, Vec3>())
        .def_readwrite("origin", &Ray::origin)
        .def_readwrite("direction", &Ray::direction);
}

}  // namespace halberin::spatial::python
